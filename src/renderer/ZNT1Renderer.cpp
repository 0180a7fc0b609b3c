#include "renderer/ZNT1Renderer.h"

#include "core/ZNT1Engine.h"
#include "platform/ZNT1OpenGL.h"

void TZNT1Renderer::Render() {
  if (Engine->Dedicated) return;
  glViewport(Engine->ViewPortLeft, Engine->ViewPortTop, Engine->ViewPortRight, Engine->ViewPortBottom);
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClearDepth(1.0);
  glClearStencil(0);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
}
