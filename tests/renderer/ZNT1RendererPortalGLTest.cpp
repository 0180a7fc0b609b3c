#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "RendererContentEngine.h"
#include "RendererGLRecorder.h"
#include "RendererTestMap.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"

// Camera portals and mirrors of OpenArena maps, seen from just before them, in both qualities.
namespace {

constexpr int32_t W = 160, H = 120;

class RendererPortalGL : public RendererContentFixture {
 protected:
  static void SetUpTestSuite() { OpenWindow("portal", W, H); }

  // A portal context's picture, bottom row first, RGBA.
  static std::vector<uint8_t> Picture(const TZNT1RendererContext& c) {
    std::vector<uint8_t> Pixels(size_t(W) * H * 4);
    glBindTexture(GL_TEXTURE_2D, c.FrameBufferObject->TextureHandles[0]);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, Pixels.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    return Pixels;
  }

  // Distinct colours in a portal context's picture.
  static size_t Colours(const TZNT1RendererContext& c) {
    const std::vector<uint8_t> Pixels = Picture(c);
    std::set<uint32_t> Seen;
    for (size_t i = 0; i < Pixels.size(); i += 4)
      Seen.insert(uint32_t(Pixels[i]) << 16 | uint32_t(Pixels[i + 1]) << 8 | Pixels[i + 2]);
    return Seen.size();
  }
};

}  // namespace

TEST_F(RendererPortalGL, PortalContextsHoldRenderedViews) {
  struct Case {
    const char* Map;
    bool Mirrors;
  };
  for (const int LowQuality : {1, 0}) {
    for (const Case& m : {Case{"oa_dm5", false}, Case{"oa_dm3", false}, Case{"oa_dm2", true}}) {
      SCOPED_TRACE(testing::Message() << m.Map << (LowQuality ? " low" : " full"));
      RendererContentEngine e(testdata::ContentDir(), W, H, LowQuality);
      ASSERT_TRUE(e.MapCommand(m.Map));
      e.Plain();
      int Rendered = 0, Portals = 0;
      for (const TZNT1Portal& p : e.BSP->Portals) {
        if (p.SourceMirror != m.Mirrors) continue;
        ++Portals;
        // Just before the portal, facing it; oa_dm2's mirrors lie in floors and ceilings.
        const TZNT1Vector3 n = p.Plane.Normal;
        const TZNT1Vector3 Eye = Vector3Sub(p.SourceOrigin, Vector3ScalarMul(n, 48.0f));
        const bool Vertical = std::fabs(n.z) > 0.5f;
        bool Seen = false;
        for (const float Pitch : Vertical ? std::vector<float>{1.3f, -1.3f} : std::vector<float>{0.0f}) {
          e.View(Eye, Vector3(Pitch, Vertical ? 0.0f : std::atan2(n.y, n.x), 0));
          e.Frame();
          ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
          if (!p.Visible[0]) continue;
          const TZNT1RendererContext* c = e.Renderer->Contexts[p.FBO[0]].get();
          ASSERT_NE(c, nullptr);
          EXPECT_GT(Colours(*c), 100u) << "portal " << p.Name;
          Seen = true;
          break;
        }
        Rendered += Seen;
      }
      EXPECT_GT(Portals, 0);
      EXPECT_GT(Rendered, 0);
      RecordProperty(std::string(m.Map) + (LowQuality ? "_low" : "_full"),
                     std::to_string(Rendered) + "/" + std::to_string(Portals));
    }
  }
}

namespace {

// Where an eye stands and looks. The direct view of a mirror's picture is cut at the mirror (what
// lies before Clip is kept) and is the picture mirrored left to right.
struct Eye {
  TZNT1Vector3 Position, Forward, Up;
  bool Mirror = false;
  TZNT1Plane Clip{};
};

// Up for a view along Forward: world z made square to it, x for a vertical look.
TZNT1Vector3 UpFor(const TZNT1Vector3& Forward) {
  const TZNT1Vector3 z = std::fabs(Forward.z) > 0.99f ? Vector3(1, 0, 0) : Vector3(0, 0, 1);
  return Vector3Norm(Vector3Sub(z, Vector3ScalarMul(Forward, Vector3Dot(Forward, z))));
}

// v turned by Degrees about the unit Axis, counter-clockwise looking down the axis.
TZNT1Vector3 Turned(const TZNT1Vector3& v, const TZNT1Vector3& Axis, float Degrees) {
  const float a = Degrees * float(DEG2RAD), c = std::cos(a), s = std::sin(a);
  return Vector3Add(Vector3Add(Vector3ScalarMul(v, c), Vector3ScalarMul(Vector3Cross(Axis, v), s)),
                    Vector3ScalarMul(Axis, Vector3Dot(Axis, v) * (1 - c)));
}

// Distance units before a portal surface, facing it, so that it fills the frame, and where the
// view it shows is seen directly: for a camera portal from as far behind the camera, along the
// camera's look and turned by its roll key less 180 degrees; for a mirror from the eye mirrored
// in the surface (that picture mirrored left to right is what the mirror shows). The viewer
// stands on the side of the surface entity: before the first source face that has the entity's
// origin in front of it (the map's own face plane, not the portal record's).
void PortalEyes(const TZNT1BSP& b, const TZNT1Portal& p, float Distance, Eye& Viewer, Eye& Direct) {
  const TBSPMapFace* f = &b.BSPMapFaces[size_t(p.SourceFaces[0])];
  for (int32_t i : p.SourceFaces) {
    const TBSPMapFace& Face = b.BSPMapFaces[size_t(i)];
    if (Vector3Dot(Face.Plane.Normal, p.SourceOrigin) > Face.Plane.Distance) {
      f = &Face;
      break;
    }
  }
  const TZNT1Vector3 n = f->Plane.Normal;
  // The camera's counterpart on the surface is the entity's origin moved onto its plane.
  const TZNT1Vector3 OnPlane =
      Vector3Sub(p.SourceOrigin, Vector3ScalarMul(n, Vector3Dot(n, p.SourceOrigin) - f->Plane.Distance));
  Viewer = {Vector3Add(OnPlane, Vector3ScalarMul(n, Distance)), Vector3Neg(n), UpFor(Vector3Neg(n))};
  if (p.SourceMirror) {
    auto Mirrored = [&](const TZNT1Vector3& v) { return Vector3Sub(v, Vector3ScalarMul(n, 2 * Vector3Dot(n, v))); };
    Direct = {Vector3Sub(Viewer.Position, Vector3ScalarMul(n, 2 * Distance)), Mirrored(Viewer.Forward),
              Mirrored(Viewer.Up)};
    Direct.Mirror = true;
    Direct.Clip.Normal = n;
    Direct.Clip.Distance = -f->Plane.Distance;
    return;
  }
  TZNT1Vector3 Look;
  if (Vector3Dist(p.TargetOrigin, p.TargetPosition) >= 0.1f) {
    Look = Vector3Norm(Vector3Sub(p.TargetPosition, p.TargetOrigin));
  } else {
    const float Pitch = p.TargetAngles.x * float(DEG2RAD), Yaw = p.TargetAngles.y * float(DEG2RAD);
    Look = Vector3(std::cos(Pitch) * std::cos(Yaw), std::cos(Pitch) * std::sin(Yaw), -std::sin(Pitch));
  }
  Direct = {Vector3Sub(p.TargetOrigin, Vector3ScalarMul(Look, Distance)), Look,
            Turned(UpFor(Look), Look, p.TargetRoll - 180.0f)};
}

// The fraction of the frame seen by Viewer that matches the frame seen by Direct within 24 in
// every channel. The direct frame draws no portal views, as a portal's own view does not.
double ShownFraction(RendererContentEngine& e, const Eye& Viewer, const Eye& Direct) {
  e.Look(Viewer.Position, Viewer.Forward, Viewer.Up);
  e.Frame();
  const std::vector<uint8_t> Seen = e.ReadFrame();
  const int32_t Portals = e.BSP->CountPortals;
  e.BSP->CountPortals = 0;
  TZNT1RendererContext& m = *e.Renderer->MainContext;
  m.ClipPlaneActive = Direct.Mirror;
  m.ClipPlane = Direct.Clip;
  e.Look(Direct.Position, Direct.Forward, Direct.Up);
  e.Frame();
  m.ClipPlaneActive = false;
  e.BSP->CountPortals = Portals;
  const std::vector<uint8_t> Expected = e.ReadFrame();
  size_t Match = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const uint8_t* a = &Seen[(size_t(y) * W + size_t(x)) * 4];
      const uint8_t* b = &Expected[(size_t(y) * W + size_t(Direct.Mirror ? W - 1 - x : x)) * 4];
      Match += std::abs(a[0] - b[0]) <= 24 && std::abs(a[1] - b[1]) <= 24 && std::abs(a[2] - b[2]) <= 24;
    }
  return double(Match) / double(W * H);
}

}  // namespace

// The camera portals of oa_dm3 (cameras given by angles, roll keys 180 and 90) and oa_dm5 (a
// slab with the portal material on both sides, the far side first), seen from before them, show
// what their cameras see, the way up their roll keys give.
TEST_F(RendererPortalGL, CameraPortalsOfRealMapsShowTheirCameras) {
  for (const int LowQuality : {1, 0}) {
    for (const char* Map : {"oa_dm3", "oa_dm5"}) {
      SCOPED_TRACE(testing::Message() << Map << (LowQuality ? " low" : " full"));
      RendererContentEngine e(testdata::ContentDir(), W, H, LowQuality);
      ASSERT_TRUE(e.MapCommand(Map));
      e.Plain();
      ASSERT_EQ(e.BSP->CountPortals, 2);
      for (int32_t i = 0; i < e.BSP->CountPortals; ++i) {
        const TZNT1Portal& p = e.BSP->Portals[size_t(i)];
        ASSERT_FALSE(p.SourceMirror);
        Eye Viewer, Direct;
        PortalEyes(*e.BSP, p, 8.0f, Viewer, Direct);
        const double Shown = ShownFraction(e, Viewer, Direct);
        EXPECT_GE(Shown, 0.9) << "portal " << i;
        RecordProperty(std::string(Map) + "_" + std::to_string(i) + (LowQuality ? "_low" : "_full"),
                       std::to_string(Shown));
      }
    }
  }
}

// The same for the camera portal and the mirror of a small room built here.
TEST_F(RendererPortalGL, PortalRoomShowsItsCameraAndItsMirrorImage) {
  using Room = RendererTestMap::PortalRoom;
  for (const int LowQuality : {1, 0}) {
    SCOPED_TRACE(LowQuality ? "low" : "full");
    RendererContentEngine e(testdata::ContentDir(), W, H, LowQuality, 0, Room::Files());
    ASSERT_TRUE(e.MapCommand(Room::Name));
    e.Plain();
    ASSERT_EQ(e.BSP->CountPortals, 2);
    for (const TZNT1Portal& p : e.BSP->Portals) {
      SCOPED_TRACE(p.SourceMirror ? "mirror" : "camera portal");
      Eye Viewer, Direct;
      PortalEyes(*e.BSP, p, 32.0f, Viewer, Direct);
      const double Shown = ShownFraction(e, Viewer, Direct);
      EXPECT_GE(Shown, 0.95);
      RecordProperty(std::string(p.SourceMirror ? "mirror" : "camera") + (LowQuality ? "_low" : "_full"),
                     std::to_string(Shown));
    }
  }
}

// A camera looking straight down (a target point below its origin) still gives a view.
TEST_F(RendererPortalGL, CameraLookingStraightDownStillRenders) {
  RendererContentEngine e(testdata::ContentDir(), W, H, 1);
  ASSERT_TRUE(e.MapCommand("oa_dm3"));
  ASSERT_FALSE(e.BSP->Portals.empty());
  TZNT1Portal& p = e.BSP->Portals[0];
  ASSERT_FALSE(p.SourceMirror);
  p.TargetPosition = Vector3Sub(p.TargetOrigin, Vector3(0, 0, 100));
  const TZNT1Vector3 n = p.Plane.Normal;
  e.View(Vector3Sub(p.SourceOrigin, Vector3ScalarMul(n, 48.0f)), Vector3(0, std::atan2(n.y, n.x), 0));
  e.Frame();
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  ASSERT_TRUE(p.Visible[0]);
  EXPECT_GT(Colours(*e.Renderer->Contexts[p.FBO[0]]), 100u);
}

namespace {

// The pixel rectangle (left, bottom, right, top; inclusive) a world box covers in the main view.
struct PixelRect {
  int x0 = W, y0 = H, x1 = -1, y1 = -1;
};
PixelRect ScreenRect(const RendererContentEngine& e, const TZNT1AABB& Box) {
  const TZNT1RendererContext& c = *e.Renderer->MainContext;
  TZNT1Matrix4x4 ViewProjection;
  Matrix4x4Mul(ViewProjection, c.TranslatedViewMatrix, c.ProjectionMatrix);
  PixelRect r;
  for (int k = 0; k < 8; ++k) {
    const float v[4] = {(k & 1) ? Box.Max.x : Box.Min.x, (k & 2) ? Box.Max.y : Box.Min.y,
                        (k & 4) ? Box.Max.z : Box.Min.z, 1};
    float p[4] = {};
    for (int j = 0; j < 4; ++j)
      for (int i = 0; i < 4; ++i) p[j] += v[i] * ViewProjection.M[i][j];
    const int x = int((p[0] / p[3] * 0.5f + 0.5f) * W), y = int((p[1] / p[3] * 0.5f + 0.5f) * H);
    r.x0 = std::min(r.x0, x), r.x1 = std::max(r.x1, x), r.y0 = std::min(r.y0, y), r.y1 = std::max(r.y1, y);
  }
  return r;
}

}  // namespace

// The built-in scene's five portals seen at once: the first four collected get views of their
// own, each surface shows its own view (so two portals side by side show different pictures), the
// fifth shows the first view's picture, and the portal views render no portals themselves.
TEST_F(RendererPortalGL, FivePortalsInViewOfTheBuiltInScene) {
  using Scene = RendererTestMap::Scene;
  for (const int LowQuality : {1, 0}) {
    SCOPED_TRACE(LowQuality ? "low" : "full");
    RendererContentEngine e(testdata::ContentDir(), W, H, LowQuality, 0, Scene::Files());
    ASSERT_TRUE(e.MapCommand(Scene::Name));
    ASSERT_EQ(e.BSP->CountPortals, Scene::PortalCount);
    e.Plain();
    Matrix4x4Perspective(e.ProjectionMatrix, 90.0f, float(W) / float(H), 1.0f, 8192.0f);
    e.View(Scene::PortalEye, Vector3(0, 3.14159265f, 0));
    RendererGLRecorder Recorder;
    e.Frame();
    ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    const std::vector<uint8_t> Frame = e.ReadFrame();
    const TZNT1RendererContext& m = *e.Renderer->MainContext;
    ASSERT_EQ(m.CountPortalsToDraw, Scene::PortalCount);
    EXPECT_EQ(m.FallbackContextIndex, 0);
    std::vector<std::vector<uint8_t>> Pictures;
    std::map<uint32_t, int> Expected;
    for (int i = 0; i < Scene::PortalCount; ++i) {
      const TZNT1Portal& p = *static_cast<const TZNT1Portal*>(m.PortalsToDraw[size_t(i)]);
      SCOPED_TRACE(testing::Message() << "collected " << i << ", portal " << (&p - e.BSP->Portals.data()));
      for (int v = 1; v < BSPCountContexts; ++v) EXPECT_FALSE(p.Visible[v]);
      const int32_t Context = i < 4 ? i : m.FallbackContextIndex;
      if (i < 4) {
        ASSERT_TRUE(p.Visible[0]);
        EXPECT_EQ(p.FBO[0], i);
        EXPECT_EQ(e.Renderer->Contexts[i]->FallbackContextIndex, -1);
      } else {
        EXPECT_FALSE(p.Visible[0]);
      }
      const TZNT1RendererContext& c = *e.Renderer->Contexts[Context];
      ++Expected[c.FrameBufferObject->TextureHandles[0]];
      // The surface shows its view: inside the surface (a pixel in from its edges) the frame is
      // that view's picture.
      const std::vector<uint8_t> View = Picture(c);
      const PixelRect r = ScreenRect(e, p.SourceAABB);
      ASSERT_GT(r.x1 - r.x0, 8);
      ASSERT_GT(r.y1 - r.y0, 8);
      std::vector<uint8_t> Shown;
      size_t Differ = 0;
      for (int y = r.y0 + 1; y < r.y1; ++y)
        for (int x = r.x0 + 1; x < r.x1; ++x)
          for (int k = 0; k < 3; ++k) {
            const size_t o = (size_t(y) * W + size_t(x)) * 4 + size_t(k);
            Differ += Frame[o] != View[o];
            Shown.push_back(Frame[o]);
          }
      EXPECT_EQ(Differ, 0u);
      Pictures.push_back(Shown);
    }
    // Side by side, the first two show different pictures.
    const size_t n = std::min(Pictures[0].size(), Pictures[1].size());
    size_t Same = 0;
    for (size_t k = 0; k < n; ++k) Same += Pictures[0][k] == Pictures[1][k];
    EXPECT_LT(Same, n / 2);
    // One portal draw per surface, the fifth with the first view's picture.
    const uint32_t PortalProgram = uint32_t(e.GLSLShaders->DefaultGLSLPortalShader->ProgramHandle);
    EXPECT_EQ(RendererGLRecorder::DrawsByTexture(PortalProgram, 2), Expected);
    // The view of camera 3, which looks back at the portals, saw them but drew none.
    const TZNT1Portal& Back = e.BSP->Portals[3];
    ASSERT_TRUE(Back.Visible[0]);
    EXPECT_GT(e.Renderer->Contexts[Back.FBO[0]]->CountPortalsToDraw, 0);
  }
}
