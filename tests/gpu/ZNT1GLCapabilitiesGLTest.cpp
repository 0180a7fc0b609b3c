#include <gtest/gtest.h>

#include "gpu/ZNT1GLCapabilities.h"
#include "platform/ZNT1OpenGL.h"
#include "support/GLContextFixture.h"

class GLCapabilitiesGL : public GLContextFixture {};

TEST_F(GLCapabilitiesGL, QueryReadsTheContext) {
  TZNT1GLCapabilities caps(nullptr);
  caps.Query();
  EXPECT_EQ(caps.Vendor, reinterpret_cast<const char*>(glGetString(GL_VENDOR)));
  EXPECT_FALSE(caps.Renderer.empty());
  EXPECT_FALSE(caps.Version.empty());
  EXPECT_EQ(caps.ShadingLanguageVersion,
            TZNT1GLCapabilities::ParseShadingLanguageVersion(caps.ShadingLanguageVersionString));
  EXPECT_GE(caps.ShadingLanguageVersion, 0x100u);
  EXPECT_EQ(caps.MaxElementsVertices, 1048576);
  EXPECT_EQ(caps.MaxElementsIndices, 3145728);

  GLint v = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &v);
  EXPECT_EQ(caps.MaxTextureSize, v);
  glGetIntegerv(GL_MAX_FRAGMENT_UNIFORM_COMPONENTS, &v);
  EXPECT_EQ(caps.MaxFragmentUniformVectors, v / 4);
  glGetIntegerv(GL_MAX_VARYING_FLOATS, &v);
  EXPECT_EQ(caps.MaxVaryingVectors, v / 4);

  const bool anisotropic = caps.Extensions.find("GL_EXT_texture_filter_anisotropic") != std::string::npos;
  // llvmpipe: a software rasterizer samples without anisotropy.
  EXPECT_EQ(caps.SoftwareRasterizer, caps.Renderer.find("llvmpipe") != std::string::npos) << caps.Renderer;
  if (anisotropic && caps.SoftwareRasterizer)
    EXPECT_EQ(caps.MaxAnisotropy, 1.0f);
  else if (anisotropic)
    EXPECT_GE(caps.MaxAnisotropy, 1.0f);
  else
    EXPECT_EQ(caps.MaxAnisotropy, 0.0f);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}
