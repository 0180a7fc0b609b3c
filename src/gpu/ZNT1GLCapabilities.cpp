#include "gpu/ZNT1GLCapabilities.h"

#include "platform/ZNT1OpenGL.h"

static std::string GLString(GLenum Name) {
  const GLubyte* s = glGetString(Name);
  return s ? std::string(reinterpret_cast<const char*>(s)) : std::string();
}

void TZNT1GLCapabilities::Query() {
  Vendor = GLString(GL_VENDOR);
  Renderer = GLString(GL_RENDERER);
  Version = GLString(GL_VERSION);
  ShadingLanguageVersionString = GLString(GL_SHADING_LANGUAGE_VERSION);
}
