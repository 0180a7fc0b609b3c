#pragma once
// The brute-force picture the renderer is measured against: every map face the renderer could
// draw (the same face and material filters), in material order, one draw call per face, through
// the renderer's own material routines, buffers and programs; no walk, no buckets, no merging.
#include <algorithm>
#include <vector>

#include "core/ZNT1Engine.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "material/ZNT1Shader.h"
#include "renderer/ZNT1Renderer.h"
#include "world/ZNT1BSP.h"

class RendererBaseline {
 public:
  explicit RendererBaseline(TZNT1Engine& AEngine) : Engine(AEngine) {}

  // Takes the faces of the map just loaded; once per map, before its frames.
  void Prepare() {
    Faces.clear();
    if (Engine.BSP) Sort(*Engine.BSP);
  }

  // Draws the frame of the engine's current view into the same target as the renderer's frame.
  void Render() {
    TZNT1Renderer& r = *Engine.Renderer;
    TZNT1BSP* BSP = Engine.BSP.get();
    if (!BSP) return;
    r.CheckFrameBufferObjects();
    TZNT1RendererContext& c = *r.MainContext;
    c.ViewMatrix = Engine.ViewMatrix;
    c.FOV = 90;
    c.CanvasWidth = Engine.CanvasWidth;
    c.CanvasHeight = Engine.CanvasHeight;
    c.ViewPortLeft = Engine.ViewPortLeft;
    c.ViewPortTop = Engine.ViewPortTop;
    c.ViewPortRight = Engine.ViewPortRight;
    c.ViewPortBottom = Engine.ViewPortBottom;
    c.Clip2D = false;
    c.ContextTask = ctNORMAL;
    r.CurrentContext = &c;
    c.CheckFrameBufferObject();
    c.UseFrameBufferObject = !Engine.GLCapabilities->LowQuality;
    c.CurrentContextIndex = -1;
    c.Check();
    c.InitRendering();
    c.ExtractWalkthroughFrustum();  // the far plane of the whole map
    if (c.UseFrameBufferObject) c.RenderLightAndShadowPrepass();
    c.BeginRendering();
    c.RenderBatchItems(false);  // nothing collected: resets the batch keys only
    c.BatchItemKind = zbikBSPFACE;
    c.UseMultiDrawElements = true;
    c.MultiDrawElementsRangeStarts.resize(1);
    c.MultiDrawElementsRangeCounts.resize(1);
    c.MultiDrawElementsCountRanges = 1;
    int32_t Model = -2;
    for (int32_t f : Faces) {
      const TBSPMapFace& Face = BSP->BSPMapFaces[size_t(f)];
      TZNT1Shader* Resolved = r.ResolveShader(Face.Shader);
      if (!Resolved || (Resolved->SurfaceFlags & SURF_NODRAW) || Resolved->IsSky) continue;
      if (Face.ModelIndex > 0 && !BSP->BSPMapModels[size_t(Face.ModelIndex)].Visible) continue;
      // Maps with groups keep their faces on the GPU only in the group buffers.
      const bool Grouped = BSP->CountBSPGroups > 0;
      std::vector<TBSPVBO>& Buffers = Grouped ? BSP->BSPGroupVBOs : BSP->BSPVBOs;
      const int32_t Buffer = Grouped ? Face.GroupVBOIndex : Face.VBOIndex;
      const int32_t First = Grouped ? Face.StartGroupVBOIndex : Face.StartVBOIndex;
      if (Buffer < 0 || size_t(Buffer) >= Buffers.size() || (Grouped && !BSP->GroupsSingleVBO)) continue;
      TBSPVBO& v = Buffers[size_t(Buffer)];
      r.State->BindSingleVBO(v.VertexVBOID, v.StaticIndexVBOID, 0, v.VAO);
      c.BindLightMap(Face.LightMapAtlas);
      const int32_t m = std::max(0, Face.ModelIndex);
      if (m != Model) {
        Model = m;
        const TBSPMapModel& mm = BSP->BSPMapModels[size_t(m)];
        c.ModelMatrix = m > 0 ? mm.ViewTransform : Matrix4x4Identity;
        c.ForceValue = m > 0 ? 1.0f : -1.0f;
        r.IncrementLinkCounter();
      }
      if (Face.effect != c.EffectIndex) {
        c.EffectIndex = Face.effect;
        r.IncrementLinkCounter();
      }
      c.PrimaryLightDirection = r.LightDirection;
      c.PortalIndex = NoKey;
      c.Group = nullptr;
      c.CurrentShader = Face.Shader;
      c.ResolvedShader = Resolved;
      c.MultiDrawElementsRangeStarts[0] = reinterpret_cast<const void*>(size_t(First) * 4);
      c.MultiDrawElementsRangeCounts[0] = Face.CountIndices;
      c.FlushVBO(0, 1, false);
    }
    c.UseMultiDrawElements = false;
    r.State->RemoveVertexAttributes();
    c.FinishRendering();
    if (c.UseFrameBufferObject && c.FrameBufferObject) r.PostProcess();
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(Engine.ViewPortLeft, Engine.ViewPortTop, Engine.ViewPortRight, Engine.ViewPortBottom);
    glUseProgram(0);
  }

  size_t CountFaces() const { return Faces.size(); }

 private:
  // The faces that pass the renderer's filters, in material order.
  void Sort(TZNT1BSP& BSP) {
    Faces.clear();
    const TZNT1RendererContext& c = *Engine.Renderer->MainContext;
    for (int32_t f = 0; f < BSP.CountBSPFaces; ++f) {
      const TBSPMapFace& Face = BSP.BSPMapFaces[size_t(f)];
      if (Face.CountIndices > 0 && c.PassesFilters(Face.Shader, Face.FaceType)) Faces.push_back(f);
    }
    std::stable_sort(Faces.begin(), Faces.end(), [&BSP](int32_t a, int32_t b) {
      const TZNT1Shader* sa = BSP.BSPMapFaces[size_t(a)].Shader;
      const TZNT1Shader* sb = BSP.BSPMapFaces[size_t(b)].Shader;
      if (sa->Sort != sb->Sort) return sa->Sort < sb->Sort;
      return sa->SortedIndex < sb->SortedIndex;
    });
  }

  TZNT1Engine& Engine;
  std::vector<int32_t> Faces;
};
