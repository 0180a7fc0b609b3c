#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "RendererContentEngine.h"
#include "RendererGLRecorder.h"
#include "RendererTestMap.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"

// The sun's model shadows and the dynamic lights on the oa_dm1 floor, in the quality the probe
// chooses; the shadow-map formats in full quality.
namespace {

constexpr int32_t W = 200, H = 150;

// Sarge standing 90 units before the first spawn point, in its view.
class Sarge {
 public:
  explicit Sarge(RendererContentEngine& e) : e_(e) {
    const TZNT1Entity& Spawn = *e.SpawnPoints()[0];
    const float Yaw = Spawn.GetFloat("angle") * float(DEG2RAD);
    Feet = Vector3Add(Spawn.GetVector("origin"), Vector3(std::cos(Yaw) * 90, std::sin(Yaw) * 90, 0));
    const char* Names[3] = {"models/players/sarge/lower.md3", "models/players/sarge/upper.md3",
                            "models/players/sarge/head.md3"};
    for (int i = 0; i < 3; ++i) {
      Parts[i] = e.Models->GetModel(Names[i]);
      if (!Parts[i]) return;
      Parts[i]->IncRef();
      Instances[i] = Parts[i]->CreateInstance();
    }
    Instances[0]->Link("tag_torso", Instances[1]);
    Instances[1]->Link("tag_head", Instances[2]);
    Instances[0]->Transform = Matrix4x4Translate(Feet);
    Instances[0]->ViewTransform = Instances[0]->Transform;
    for (TZNT1ModelInstance* i : Instances) i->Animation.Animation = false;
  }
  ~Sarge() {
    for (TZNT1ModelInstance* i : Instances) delete i;
    for (TZNT1Model* m : Parts)
      if (m) m->DecRef();
  }
  bool Loaded() const { return Instances[2] != nullptr; }
  void CastShadow(bool On) {
    for (TZNT1ModelInstance* i : Instances) i->CastShadow = On;
  }
  void Add() {
    for (TZNT1ModelInstance* i : Instances) i->CastShadow = Shadow;
    e_.AddInstance(Instances[0]);
  }
  TZNT1AABB Box() const {
    TZNT1AABB b = Instances[0]->ViewAABB;
    for (TZNT1ModelInstance* i : Instances) b = AABBCombine(b, i->ViewAABB);
    return b;
  }

  TZNT1Vector3 Feet{};
  bool Shadow = true;
  TZNT1Model* Parts[3] = {};
  TZNT1ModelInstance* Instances[3] = {};

 private:
  RendererContentEngine& e_;
};

class RendererShadowGL : public RendererContentFixture {
 protected:
  static void SetUpTestSuite() { OpenWindow("shadow", W, H); }

  // One frame with or without Sarge and the lights; the picture.
  static std::vector<uint8_t> Draw(RendererContentEngine& e, Sarge* s, const std::vector<TZNT1RendererLight>& Lights) {
    if (s) s->Add();
    for (const TZNT1RendererLight& l : Lights) e.Renderer->AddLight(l);
    e.Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    return e.ReadFrame();
  }

  struct Change {
    size_t Darker = 0, Brighter = 0;
  };
  // Pixels of b darker (or brighter) than a in some channel and not brighter (darker) in any.
  static Change Compare(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                        std::vector<size_t>* DarkerPixels = nullptr) {
    Change c;
    for (size_t i = 0; i < a.size(); i += 4) {
      bool Down = false, Up = false;
      for (size_t k = 0; k < 3; ++k) {
        Down |= b[i + k] < a[i + k];
        Up |= b[i + k] > a[i + k];
      }
      if (Down && !Up) {
        ++c.Darker;
        if (DarkerPixels) DarkerPixels->push_back(i / 4);
      }
      if (Up && !Down) ++c.Brighter;
    }
    return c;
  }

  void LightAndCaster(int32_t Format);
};

// The world point of a pixel of the main view, from its depth buffer.
TZNT1Vector3 WorldOf(const RendererContentEngine& e, size_t Pixel, float Depth) {
  const TZNT1RendererContext& c = *e.Renderer->MainContext;
  const float x = (float(Pixel % size_t(W)) + 0.5f) / float(W) * 2 - 1;
  const float y = (float(Pixel / size_t(W)) + 0.5f) / float(H) * 2 - 1;
  const float v[4] = {x, y, Depth * 2 - 1, 1};
  TZNT1Matrix4x4 ViewProjection, Inverse;
  Matrix4x4Mul(ViewProjection, c.TranslatedViewMatrix, c.ProjectionMatrix);
  Matrix4x4Inverse(Inverse, ViewProjection);
  float r[4] = {};
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 4; ++i) r[j] += v[i] * Inverse.M[i][j];
  return Vector3(r[0] / r[3], r[1] / r[3], r[2] / r[3]);
}

float DistanceToBox(const TZNT1Vector3& p, const TZNT1AABB& b) {
  const float dx = std::max({b.Min.x - p.x, 0.0f, p.x - b.Max.x});
  const float dy = std::max({b.Min.y - p.y, 0.0f, p.y - b.Max.y});
  const float dz = std::max({b.Min.z - p.z, 0.0f, p.z - b.Max.z});
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Every darkened pixel of the main view sees Box (within Tolerance units) when looking towards the
// sun, and enough of them lie beyond the box itself (the shadow falls on what is behind it).
void ExpectShadowAlongTheSun(const RendererContentEngine& e, const std::vector<size_t>& Darker, const TZNT1AABB& Box,
                             float Tolerance = 4) {
  std::vector<float> Depths(size_t(W) * H);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, e.Renderer->MainContext->FrameBufferObject->FrameBuffer);
  glReadPixels(0, 0, W, H, GL_DEPTH_COMPONENT, GL_FLOAT, Depths.data());
  glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
  ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  const TZNT1Vector3 Towards = Vector3Neg(e.Renderer->LightDirection);
  size_t Astray = 0, Away = 0;
  float Worst = 0;
  for (size_t p : Darker) {
    const TZNT1Vector3 World = WorldOf(e, p, Depths[p]);
    float Nearest = 1e9f;
    for (float t = 0; t < 2048; t += 1)
      Nearest = std::min(Nearest, DistanceToBox(Vector3Add(World, Vector3ScalarMul(Towards, t)), Box));
    Worst = std::max(Worst, Nearest);
    if (Nearest > Tolerance) ++Astray;
    if (DistanceToBox(World, Box) > 4) ++Away;
  }
  std::printf("sun (%g %g %g): %zu of the shadow lie away from the model, %zu astray, worst %g\n", Towards.x, Towards.y,
              Towards.z, Away, Astray, double(Worst));
  EXPECT_EQ(Astray, 0u);
  EXPECT_GT(Away, 30u);
}

}  // namespace

TEST_F(RendererShadowGL, SargeDarkensTheFloorBehindItAlongTheSunOnly) {
  RendererContentEngine e(testdata::ContentDir(), W, H);
  ASSERT_TRUE(e.MapCommand("oa_dm1"));
  ASSERT_TRUE(e.SpawnView());
  e.Plain();
  Sarge s(e);
  ASSERT_TRUE(s.Loaded());
  const bool Low = e.GLCapabilities->LowQuality;
  s.Shadow = false;
  const auto Without = Draw(e, &s, {});
  s.Shadow = true;
  const auto With = Draw(e, &s, {});
  std::vector<size_t> Darker;
  const Change c = Compare(Without, With, &Darker);
  std::printf("%s: the shadow darkens %zu pixels, brightens %zu\n", Low ? "low" : "full", c.Darker, c.Brighter);
  if (Low) {
    EXPECT_EQ(e.Renderer->MainContext->AllModelShadowMapBitmap, 0u);
    EXPECT_EQ(std::memcmp(Without.data(), With.data(), With.size()), 0);
    return;
  }
  EXPECT_NE(e.Renderer->MainContext->AllModelShadowMapBitmap, 0u);
  EXPECT_EQ(c.Brighter, 0u);
  EXPECT_GT(c.Darker, 30u);
  // Every darkened point sees Sarge when looking towards the sun.
  ExpectShadowAlongTheSun(e, Darker, s.Box());
}

// The built-in scene's box model on its floor, in full quality and both shadow-map formats: its
// shadow darkens the floor on its far side from the sun, and nothing else.
TEST_F(RendererShadowGL, BoxModelDarkensTheBuiltInFloorBehindItAlongTheSunOnly) {
  using Scene = RendererTestMap::Scene;
  for (const int32_t Format : {GL_TEXTURE_R32F, GL_TEXTURE_RG32F}) {
    SCOPED_TRACE(testing::Message() << "format " << Format);
    RendererContentEngine e(testdata::ContentDir(), W, H, 0, Format, Scene::Files());
    ASSERT_TRUE(e.MapCommand(Scene::Name));
    e.Plain();
    TZNT1Model* Model = e.Models->GetModel(Scene::BoxModel);
    ASSERT_NE(Model, nullptr);
    Model->IncRef();
    TZNT1ModelInstance* Box = Model->CreateInstance();
    Box->Transform = Box->ViewTransform = Matrix4x4Translate(Vector3(300, 250, 0));
    Box->Animation.Animation = false;
    // From the side, the floor on the box's far side from the sun in view.
    e.View(Vector3(250, 420, 160), Vector3(0.6f, -1.5707963f, 0));
    auto Frame = [&](bool Shadow) {
      Box->CastShadow = Shadow;
      e.AddInstance(Box);
      e.Frame();
      EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
      return e.ReadFrame();
    };
    const auto Without = Frame(false), With = Frame(true);
    std::vector<size_t> Darker;
    const Change c = Compare(Without, With, &Darker);
    std::printf("format %d: the box's shadow darkens %zu pixels, brightens %zu\n", Format, c.Darker, c.Brighter);
    EXPECT_NE(e.Renderer->MainContext->AllModelShadowMapBitmap, 0u);
    EXPECT_EQ(c.Brighter, 0u);
    EXPECT_GT(c.Darker, 30u);
    // The two-channel format's soft edge is blurred on screen, also over pixels far behind the
    // shadow in depth: there only its core is followed towards the sun, and its penumbra widens
    // to some 40 units at the shadow's far end.
    if (Format == GL_TEXTURE_RG32F)
      std::erase_if(Darker, [&](size_t p) {
        int Drop = 0;
        for (size_t k = 0; k < 3; ++k) Drop = std::max(Drop, int(Without[p * 4 + k]) - int(With[p * 4 + k]));
        return Drop < 32;
      });
    ExpectShadowAlongTheSun(e, Darker, Box->ViewAABB, Format == GL_TEXTURE_RG32F ? 48.0f : 4.0f);
    delete Box;
    Model->DecRef();
  }
}

namespace {

TZNT1RendererLight PointLight(const TZNT1Vector3& Position, float Radius) {
  TZNT1RendererLight l{};
  l.Position = Position;
  l.Direction = Vector3(0, 0, -1);
  l.Color = Vector3(1, 0.8f, 0.6f);
  l.Radius = Radius;
  l.RadiusExponent = 1;
  l.ConstantAttenuation = 1;
  return l;
}

}  // namespace

// One light-and-caster scene in the given shadow-map format.
void RendererShadowGL::LightAndCaster(int32_t Format) {
  RendererContentEngine e(testdata::ContentDir(), W, H, -1, Format);
  ASSERT_TRUE(e.MapCommand("oa_dm1"));
  ASSERT_TRUE(e.SpawnView());
  e.Plain();
  Sarge s(e);
  ASSERT_TRUE(s.Loaded());
  const bool Low = e.GLCapabilities->LowQuality;
  const TZNT1Vector3 Ahead = Vector3Norm(Vector3Sub(s.Feet, e.SpawnPoints()[0]->GetVector("origin")));
  const auto Light = PointLight(Vector3Add(Vector3Add(s.Feet, Vector3ScalarMul(Ahead, 60)), Vector3(0, 0, 40)), 400);
  s.Shadow = false;
  const auto Dark = Draw(e, &s, {});
  const auto Lit = Draw(e, &s, {Light});
  s.Shadow = true;
  const auto SunShadow = Draw(e, &s, {});
  const auto Shadowed = Draw(e, &s, {Light});
  std::vector<size_t> BySun, ByCaster;
  Compare(Dark, SunShadow, &BySun);
  const Change ByLight = Compare(Dark, Lit), Caster = Compare(Lit, Shadowed, &ByCaster);
  std::vector<bool> Sun(size_t(W) * H);
  for (size_t p : BySun) Sun[p] = true;
  const size_t Patch = size_t(std::count_if(ByCaster.begin(), ByCaster.end(), [&](size_t p) { return !Sun[p]; }));
  std::printf("format %d, %s: the light brightens %zu pixels (darkens %zu); the caster darkens %zu more "
              "(brightens %zu)\n",
              Format, Low ? "low" : "full", ByLight.Brighter, ByLight.Darker, Patch, Caster.Brighter);
  if (Low) {
    EXPECT_EQ(std::memcmp(Dark.data(), Lit.data(), Lit.size()), 0);
    EXPECT_EQ(std::memcmp(Lit.data(), Shadowed.data(), Lit.size()), 0);
    return;
  }
  EXPECT_GT(ByLight.Brighter, 1000u);
  EXPECT_EQ(ByLight.Darker, 0u);
  EXPECT_GT(Patch, 30u);
  // The patch lies where Sarge stands between the floor and the light.
  std::vector<float> Depths(size_t(W) * H);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, e.Renderer->MainContext->FrameBufferObject->FrameBuffer);
  glReadPixels(0, 0, W, H, GL_DEPTH_COMPONENT, GL_FLOAT, Depths.data());
  glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
  const TZNT1AABB Box = s.Box();
  size_t Astray = 0;
  for (size_t p : ByCaster) {
    if (Sun[p]) continue;
    const TZNT1Vector3 World = WorldOf(e, p, Depths[p]);
    float Nearest = 1e9f;
    for (float t = 0; t <= 1; t += 1.0f / 256)
      Nearest = std::min(Nearest, DistanceToBox(Vector3Add(World, Vector3ScalarMul(Vector3Sub(Light.Position, World), t)), Box));
    if (Nearest > 4) ++Astray;
  }
  std::printf("%zu of the patch astray\n", Astray);
  EXPECT_EQ(Astray, 0u);
}

// A light beyond Sarge, low over the floor, facing the camera: the lit floor brightens and
// Sarge's shadow, thrown towards the camera, darkens part of it again. Both shadow-map formats:
// their geometry buffers hold the pixel positions in different layouts.
TEST_F(RendererShadowGL, LightBrightensTheFloorAndACasterLeavesADarkerPatch) {
  for (const int32_t Format : {GL_TEXTURE_R32F, GL_TEXTURE_RG32F}) {
    SCOPED_TRACE(testing::Message() << "format " << Format);
    LightAndCaster(Format);
  }
}

// Both shadow-map formats draw the sun's shadows and a light in full quality without a GL error.
TEST_F(RendererShadowGL, FormatsTwentyAndFifteenRenderWithoutGLError) {
  for (const int32_t Format : {GL_TEXTURE_R32F, GL_TEXTURE_RG32F}) {
    SCOPED_TRACE(Format);
    RendererContentEngine e(testdata::ContentDir(), W, H, 0, Format);
    ASSERT_TRUE(e.MapCommand("oa_dm1"));
    ASSERT_TRUE(e.SpawnView());
    e.Plain();
    Sarge s(e);
    ASSERT_TRUE(s.Loaded());
    s.Shadow = false;
    const auto Without = Draw(e, &s, {});
    s.Shadow = true;
    const auto With = Draw(e, &s, {PointLight(Vector3Add(s.Feet, Vector3(0, 0, 100)), 300)});
    EXPECT_NE(e.Renderer->MainContext->AllModelShadowMapBitmap, 0u);
    const Change c = Compare(Without, With);
    std::printf("format %d: %zu pixels darker, %zu brighter\n", Format, c.Darker, c.Brighter);
  }
}

namespace {

// The fill programs used by one FillGlobalShadowBuffer, as program entries (maps - 1), and the
// other built-in programs as -2 (copy) and -3 (combine).
std::vector<int> FillPasses(RendererContentEngine& e) {
  const TZNT1GLSLShaders& s = *e.GLSLShaders;
  std::vector<int> r;
  for (const std::string& Call : RendererGLRecorder::Calls()) {
    for (int i = 0; i < TZNT1GLSLShaders::MaxShadowFillMaps; ++i)
      if (s.DefaultGLSLShadowFillShader[i] &&
          Call == RendererGLRecorder::Format("UseProgram", s.DefaultGLSLShadowFillShader[i]->ProgramHandle))
        r.push_back(i);
    if (Call == RendererGLRecorder::Format("UseProgram", s.DefaultGLSLCopyShader->ProgramHandle)) r.push_back(-2);
    if (Call == RendererGLRecorder::Format("UseProgram", s.DefaultGLSLShadowCombineShader->ProgramHandle))
      r.push_back(-3);
  }
  return r;
}

float UniformOf(const TZNT1GLSLShader* P, int32_t Location) {
  float v[4] = {};
  if (Location >= 0) glGetUniformfv(GLuint(P->ProgramHandle), Location, v);
  return v[0];
}

}  // namespace

// Which finished slots go into which fill pass, in which queue position, for both formats.
TEST_F(RendererShadowGL, FinishedSlotsAreQueuedInIndexOrder) {
  struct Case {
    int32_t Format;
    uint32_t Bitmap, ToRender;
    std::vector<int> Passes;
  };
  const Case Cases[] = {
      {GL_TEXTURE_R32F, 0x0A, 0x1F, {1}},           // slots 1 and 3 in one pass
      {GL_TEXTURE_R32F, 0x0A, 0x02, {0}},           // slot 3's bit without a finished map
      {GL_TEXTURE_R32F, 0x1F, 0x1F, {3, 0}},        // four at once, then the fifth
      {GL_TEXTURE_R32F, 0x00, 0x1F, {}},            // nothing finished
      {GL_TEXTURE_RG32F, 0x1F, 0x1F, {3, -2, 0, -3}},  // the first batch copied, the second combined
  };
  for (const int32_t Format : {GL_TEXTURE_R32F, GL_TEXTURE_RG32F}) {
    RendererContentEngine e(testdata::ContentDir(), W, H, 0, Format);
    ASSERT_EQ(e.GLSLShaders->MaxShadowMapCountAtOnce, 4);
    e.Renderer->CheckFrameBufferObjects();
    TZNT1RendererContext& c = *e.Renderer->MainContext;
    c.ViewPortRight = W;
    c.ViewPortBottom = H;
    for (int k = 0; k < MaxShadowMaps; ++k) e.Renderer->ShadowMaps[k]->LightRadius = float(100 + k);
    for (const Case& t : Cases) {
      if (t.Format != Format) continue;
      SCOPED_TRACE(testing::Message() << Format << " bitmap " << t.Bitmap << " finished " << t.ToRender);
      for (int k = 0; k < MaxShadowMaps; ++k) e.Renderer->ShadowMaps[k]->ToRender = (t.ToRender >> k) & 1;
      c.AllModelShadowMapBitmap = t.Bitmap;
      e.Renderer->State->Reset();
      RendererGLRecorder Recorder;
      c.FillGlobalShadowBuffer();
      EXPECT_EQ(FillPasses(e), t.Passes);
      EXPECT_EQ(c.ShadowMapQueueCount, 0);
      EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }
    // Slot 1 went to queue position 0 and slot 3 to position 1.
    if (Format == GL_TEXTURE_R32F) {
      for (int k = 0; k < MaxShadowMaps; ++k) e.Renderer->ShadowMaps[k]->ToRender = true;
      c.AllModelShadowMapBitmap = 0x0A;
      c.FillGlobalShadowBuffer();
      const TZNT1GLSLShader* P = e.GLSLShaders->DefaultGLSLShadowFillShader[1];
      EXPECT_EQ(UniformOf(P, P->uShadowMapLightRadiusArray[0]), 101.0f);
      EXPECT_EQ(UniformOf(P, P->uShadowMapLightRadiusArray[1]), 103.0f);
    }
  }
}

// A light without the spot flag still sends its radius exponent; a nil light draws nothing.
TEST_F(RendererShadowGL, LightPassUniforms) {
  RendererContentEngine e(testdata::ContentDir(), W, H, 0);
  e.Renderer->CheckFrameBufferObjects();
  TZNT1RendererContext& c = *e.Renderer->MainContext;
  TZNT1RendererLight l = PointLight(Vector3(1, 2, 3), 200);
  l.RadiusExponent = 2.5f;
  const TZNT1GLSLShader* P = e.GLSLShaders->DefaultGLSLLightFillShader;
  ASSERT_NE(P, nullptr);
  ASSERT_GE(P->uLightSpot, 0);
  {
    RendererGLRecorder Recorder;
    c.FlushLight(nullptr);
    EXPECT_EQ(RendererGLRecorder::Count("DrawElements"), 0);
  }
  for (const uint32_t Spot : {0u, 1u}) {
    l.Spot = Spot;
    RendererGLRecorder Recorder;
    c.FlushLight(&l);
    EXPECT_EQ(RendererGLRecorder::Count("DrawElements"), 1);
    float v[2] = {};
    glGetUniformfv(GLuint(P->ProgramHandle), P->uLightSpot, v);
    EXPECT_EQ(v[0], float(Spot));
    EXPECT_EQ(v[1], 2.5f);
  }
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

namespace {

// The slot holding an instance, or -1.
int SlotOf(const RendererContentEngine& e, const TZNT1ModelInstance* i) {
  for (int k = 0; k < MaxShadowMaps; ++k) {
    const TZNT1RendererShadowMap& s = *e.Renderer->ShadowMaps[k];
    for (int n = 0; n < s.CountModelInstances; ++n)
      if (s.ModelInstances[size_t(n)] == i) return k;
  }
  return -1;
}

}  // namespace

// The local player's slot stays reserved for it; an instance 129 units behind the camera plane
// or one that casts no shadow takes no slot, one 127.5 units behind does, and so does one of
// render type 2 wherever it is.
TEST_F(RendererShadowGL, SlotReservationAndCandidateWindow) {
  RendererContentEngine e(testdata::ContentDir(), W, H);
  ASSERT_TRUE(e.MapCommand("oa_dm1"));
  ASSERT_TRUE(e.SpawnView());
  e.Plain();
  TZNT1Model* Head = e.Models->GetModel("models/players/sarge/head.md3");
  ASSERT_NE(Head, nullptr);
  Head->IncRef();
  const bool Low = e.GLCapabilities->LowQuality;
  const TZNT1RendererContext& c = *e.Renderer->MainContext;
  std::vector<TZNT1ModelInstance*> Heads;
  for (int i = 0; i < 6; ++i) Heads.push_back(Head->CreateInstance());
  auto Place = [&](TZNT1ModelInstance* h, const TZNT1Vector3& p) {
    h->Transform = h->ViewTransform = Matrix4x4Translate(p);
    RendererContentEngine::Pose(h);
    h->Leaf = e.BSP->FindLeaf(p);
  };
  auto Frame = [&](std::initializer_list<TZNT1ModelInstance*> List) {
    for (TZNT1ModelInstance* h : List) e.Renderer->AddModelInstance(h);
    e.Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  };
  e.Frame();
  // Step forward, so that the spawn point's open floor lies behind the camera.
  {
    const TZNT1Entity& Spawn = *e.SpawnPoints()[0];
    const TZNT1Vector3 Start = Vector3Add(c.RenderPosition, Vector3ScalarMul(c.ViewAxis[0], 150));
    e.View(Start, Vector3(0, Spawn.GetFloat("angle") * float(DEG2RAD), 0));
    e.Frame();
  }
  const TZNT1Vector3 Eye = c.RenderPosition, Forward = c.ViewAxis[0];
  const TZNT1Vector3 Ahead = Vector3Add(Eye, Vector3ScalarMul(Forward, 100));
  // Where the head's sphere centre lies relative to its origin.
  Place(Heads[0], Ahead);
  const TZNT1Vector3 Offset = Vector3Sub(Heads[0]->ViewSphere.Center, Ahead);
  auto AtDistance = [&](float d) { return Vector3Sub(Vector3Add(Eye, Vector3ScalarMul(Forward, d)), Offset); };

  TZNT1ModelInstance *Player = Heads[0], *Other = Heads[1], *Behind129 = Heads[2], *Behind128 = Heads[3],
                     *NoShadow = Heads[4], *TypeTwo = Heads[5];
  Player->LocalPlayerModel = true;
  Place(Player, Ahead);
  Place(Other, Vector3Add(Ahead, Vector3(0, 0, 8)));
  Place(Behind129, AtDistance(-129));
  Place(Behind128, AtDistance(-127.5f));
  NoShadow->CastShadow = false;
  Place(NoShadow, Vector3Add(Ahead, Vector3(0, 0, -8)));
  TypeTwo->RenderType = 2;
  Place(TypeTwo, AtDistance(-600));
  Frame({Player, Other, Behind129, Behind128, NoShadow, TypeTwo});
  if (Low) {
    EXPECT_EQ(c.AllModelShadowMapBitmap, 0u);
    for (const auto& s : e.Renderer->ShadowMaps) EXPECT_TRUE(!s || s->CountCasters == 0);
  } else {
    const int Reserved = SlotOf(e, Player);
    ASSERT_GE(Reserved, 0);
    EXPECT_TRUE(e.Renderer->ShadowMaps[Reserved]->LocalPlayerModel);
    EXPECT_EQ(e.Renderer->ShadowMaps[Reserved]->CountModelInstances, 1);
    // Overlapping the player's box, Other still goes elsewhere.
    EXPECT_GE(SlotOf(e, Other), 0);
    EXPECT_NE(SlotOf(e, Other), Reserved);
    EXPECT_EQ(SlotOf(e, Behind129), -1);
    EXPECT_GE(SlotOf(e, Behind128), 0);
    EXPECT_EQ(SlotOf(e, NoShadow), -1);
    EXPECT_GE(SlotOf(e, TypeTwo), 0);
    // Without the player the reserved slot stays empty.
    Frame({Other, Behind128});
    EXPECT_TRUE(e.Renderer->ShadowMaps[Reserved]->LocalPlayerModel);
    EXPECT_EQ(e.Renderer->ShadowMaps[Reserved]->CountCasters, 0);
    EXPECT_GE(SlotOf(e, Other), 0);
    EXPECT_NE(SlotOf(e, Other), Reserved);
  }
  for (TZNT1ModelInstance* h : Heads) delete h;
  Head->DecRef();
}

// A light behind the camera gets its cube shadow map while its sphere widened to 3 x radius + 256
// reaches before the near plane, and none beyond.
TEST_F(RendererShadowGL, LightsBehindTheCameraAreSkippedBeyondTheWidenedSphere) {
  RendererContentEngine e(testdata::ContentDir(), W, H);
  ASSERT_TRUE(e.MapCommand("oa_dm1"));
  ASSERT_TRUE(e.SpawnView());
  e.Plain();
  e.Frame();
  const TZNT1RendererContext& c = *e.Renderer->MainContext;
  const TZNT1RendererContext& Cube = *e.Renderer->ShadowCubeMapContext;
  const TZNT1Vector3 Eye = c.RenderPosition, Forward = c.ViewAxis[0];
  const float R = 100;  // widened radius 556
  for (const float Behind : {520.0f, 600.0f}) {
    SCOPED_TRACE(Behind);
    const TZNT1Vector3 p = Vector3Sub(Eye, Vector3ScalarMul(Forward, Behind));
    const TZNT1Vector3 Before = Cube.ShadowMapLightPosition;
    Draw(e, nullptr, {PointLight(p, R)});
    const bool Rendered = Vector3Dist(Cube.ShadowMapLightPosition, p) < 1e-3f;
    if (e.GLCapabilities->LowQuality) {
      EXPECT_EQ(Vector3Dist(Cube.ShadowMapLightPosition, Before), 0.0f);
    } else {
      EXPECT_EQ(Rendered, Behind < 556.0f);
    }
  }
}

namespace {

std::vector<uint8_t> ReadLightBuffer(const RendererContentEngine& e) {
  const TZNT1FrameBufferObject& Light = *e.Renderer->LightBufferFrameBufferObject;
  std::vector<uint8_t> Pixels(size_t(Light.Width) * size_t(Light.Height) * 4);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, Light.FrameBuffer);
  glReadPixels(0, 0, Light.Width, Light.Height, GL_RGBA, GL_UNSIGNED_BYTE, Pixels.data());
  glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
  return Pixels;
}

}  // namespace

// The sun's shadow passes run only where a finished slot's shadow can fall, and leave the light
// buffer and the picture as passes over the whole view do: Sarges before, around and far from the
// camera (one of them the local player's, whose slot holds the eye), under suns from above and
// aslant, alone and several slots at once.
TEST_F(RendererShadowGL, MaskedShadowPassesGiveTheWholeViewsResult) {
  RendererContentEngine e(testdata::ContentDir(), W, H, 0);
  ASSERT_TRUE(e.MapCommand("oa_dm1"));
  ASSERT_TRUE(e.SpawnView());
  e.Plain();
  const TZNT1Entity& Spawn = *e.SpawnPoints()[0];
  const float Yaw = Spawn.GetFloat("angle") * float(DEG2RAD);
  const TZNT1Vector3 Origin = Spawn.GetVector("origin"), Ahead = Vector3(std::cos(Yaw), std::sin(Yaw), 0);
  std::vector<std::unique_ptr<Sarge>> Sarges;
  for (const float Distance : {0.0f, 90.0f, 250.0f, 600.0f, -60.0f}) {
    auto s = std::make_unique<Sarge>(e);
    ASSERT_TRUE(s->Loaded());
    s->Feet = Vector3Add(Origin, Vector3ScalarMul(Ahead, Distance));
    s->Instances[0]->Transform = s->Instances[0]->ViewTransform = Matrix4x4Translate(s->Feet);
    for (TZNT1ModelInstance* i : s->Instances) {
      i->LocalPlayerModel = Distance == 0;
      i->Leaf = e.BSP->FindLeaf(s->Feet);
    }
    Sarges.push_back(std::move(s));
  }
  e.Renderer->CheckFrameBufferObjects();
  const TZNT1Vector3 Suns[] = {Vector3(0, 0, 1), Vector3(0.6f, 0.3f, 0.74f), Vector3(-0.9f, 0.2f, 0.38f)};
  const std::vector<std::vector<int>> Casters = {{1}, {2}, {0}, {0, 1, 2, 3, 4}};
  size_t MaskedShadows = 0;
  for (const TZNT1Vector3& Sun : Suns) {
    e.BSP->SunDirection = Sun;
    for (const std::vector<int>& Set : Casters) {
      SCOPED_TRACE(testing::Message() << "sun (" << Sun.x << " " << Sun.y << " " << Sun.z << "), " << Set.size()
                                      << " Sarges from " << Set[0]);
      auto Frame = [&] {
        for (int i : Set) Sarges[size_t(i)]->Add();
        e.Frame();
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
        return std::make_pair(ReadLightBuffer(e), e.ReadFrame());
      };
      const auto Masked = Frame();
      // The mask the passes ran on is left in the geometry fill's stencil.
      const TZNT1FrameBufferObject& Fill = *e.Renderer->GeometryFillContext->FrameBufferObject;
      ASSERT_TRUE(Fill.HasStencilBuffer);
      std::vector<uint8_t> Stencil(size_t(W) * H);
      glBindFramebuffer(GL_READ_FRAMEBUFFER, Fill.FrameBuffer);
      glPixelStorei(GL_PACK_ALIGNMENT, 1);
      glReadPixels(0, 0, W, H, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE, Stencil.data());
      glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
      EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
      const size_t Marked = size_t(std::count_if(Stencil.begin(), Stencil.end(), [](uint8_t v) { return v != 0; }));
      e.Renderer->BoundShadowPasses = false;
      const auto Reference = Frame();
      e.Renderer->BoundShadowPasses = true;
      size_t Shadowed = 0;
      for (size_t p = 3; p < Reference.first.size(); p += 4) Shadowed += Reference.first[p] != 0;
      std::printf("sun (%g %g %g), %zu Sarges from %d: %d slots, %zu pixels in the shadow mask, %zu shadowed\n", Sun.x,
                  Sun.y, Sun.z, Set.size(), Set[0], std::popcount(e.Renderer->MainContext->AllModelShadowMapBitmap),
                  Marked, Shadowed);
      EXPECT_NE(e.Renderer->MainContext->AllModelShadowMapBitmap, 0u);
      EXPECT_LT(Marked, size_t(W) * H);
      if (Marked >= Shadowed) MaskedShadows += Shadowed;
      EXPECT_TRUE(Masked.first == Reference.first);
      EXPECT_TRUE(Masked.second == Reference.second);
    }
  }
  // Some of the shadows were drawn through the mask, not only within its rectangle.
  EXPECT_GT(MaskedShadows, 100u);
}
