#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "RendererBaseline.h"
#include "RendererContentEngine.h"
#include "core/ZNT1StringList.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"

namespace {

struct TZNT1BSPModelRange {
  int32_t First, Count;
};

class RendererContentGL : public RendererContentFixture {
 protected:
  static void SetUpTestSuite() { OpenEngine("renderer", 1280, 720); }
};

}  // namespace

TEST_F(RendererContentGL, MapCommandThenSpawnViewsOfTheTableMaps) {
  RendererContentEngine& e = *engine_;
  e.SetCanvas(1280, 720);
  const char* const Maps[] = {"oa_dm1", "oa_dm2", "oa_dm3", "oa_dm4",     "oa_dm5",       "oa_dm6",
                              "oa_dm7", "kaos2",  "oa_rpg3dm2", "hydronex2", "am_underworks2"};
  for (const char* Name : Maps) {
    SCOPED_TRACE(Name);
    ASSERT_TRUE(e.MapCommand(Name));
    ASSERT_TRUE(e.SpawnView());
    // The first frame compiles programs; the second is the one measured.
    e.Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    const auto t0 = std::chrono::steady_clock::now();
    e.Frame();
    glFinish();
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    const auto Pixels = e.ReadFrame();
    const FrameStats s = MeasureFrame(Pixels);
    if (const char* Dump = std::getenv("ZNT1_DUMP_FRAME")) {
      FILE* f = std::fopen((std::string(Dump) + Name + ".ppm").c_str(), "wb");
      std::fprintf(f, "P6 %d %d 255\n", e.CanvasWidth, e.CanvasHeight);
      for (int y = e.CanvasHeight - 1; y >= 0; --y)
        for (int x = 0; x < e.CanvasWidth; ++x) std::fwrite(&Pixels[(size_t(y) * e.CanvasWidth + x) * 4], 1, 3, f);
      std::fclose(f);
    }
    std::printf("%-14s %s lit %.3f colours %6zu items %4u gl calls %5u %7.1f ms\n", Name,
                e.GLCapabilities->LowQuality ? "low " : "full", s.LitFraction, s.Colours, e.Renderer->CountBatchItems,
                e.Renderer->GLCalls, std::chrono::duration<double, std::milli>(t1 - t0).count());
    EXPECT_GT(s.LitFraction, 0.5);
    EXPECT_GT(s.Colours, 1000u);
    if (!e.GLCapabilities->LowQuality) {
      // No model stands in these views and no light is added, so the light buffer reads "no shadow" everywhere.
      const TZNT1FrameBufferObject& Light = *e.Renderer->LightBufferFrameBufferObject;
      std::vector<uint8_t> L(size_t(Light.Width) * size_t(Light.Height) * 4, 0xFF);
      glBindFramebuffer(GL_READ_FRAMEBUFFER, Light.FrameBuffer);
      glReadPixels(0, 0, Light.Width, Light.Height, GL_RGBA, GL_UNSIGNED_BYTE, L.data());
      glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
      EXPECT_EQ(std::count(L.begin(), L.end(), uint8_t(0)), std::ptrdiff_t(L.size()));
    }
  }
}

TEST_F(RendererContentGL, EveryMapDrawsASmallLowQualityFrame) {
  RendererContentEngine& e = *engine_;
  if (!e.GLCapabilities->LowQuality) GTEST_SKIP() << "the low-quality pass runs with the plain driver";
  TStringList Found;
  ASSERT_TRUE(e.Archives->FindFiles("maps/*.bsp", &Found));
  std::sort(Found.Strings.begin(), Found.Strings.end());
  Found.Strings.erase(std::unique(Found.Strings.begin(), Found.Strings.end()), Found.Strings.end());
  // The stock archives' maps are counted; any other archive's maps are drawn as well.
  const std::vector<std::string> Stock = testdata::StockFiles("maps/*.bsp");
  EXPECT_EQ(Stock.size(), 72u);
  for (const std::string& Path : Stock)
    EXPECT_TRUE(std::binary_search(Found.Strings.begin(), Found.Strings.end(), Path)) << Path;
  e.SetCanvas(320, 240);
  int Drawn = 0;
  for (const std::string& Path : Found.Strings) {
    const std::string Name = Path.substr(5, Path.size() - 9);
    SCOPED_TRACE(Name);
    ASSERT_TRUE(e.MapCommand(Name));
    ASSERT_TRUE(e.SpawnView());
    e.Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    const FrameStats s = MeasureFrame(e.ReadFrame());
    EXPECT_GT(s.LitFraction, 0.05);  // not a cleared frame
    EXPECT_GT(s.Colours, 16u);
    Drawn += s.LitFraction > 0.05;
  }
  std::printf("%d of %zu maps drawn at 320 x 240\n", Drawn, Found.Strings.size());
  e.SetCanvas(1280, 720);
}

TEST_F(RendererContentGL, CullingFromTheOaDm1SpawnPointsAndFromTheSolid) {
  RendererContentEngine& e = *engine_;
  e.SetCanvas(640, 360);
  ASSERT_TRUE(e.MapCommand("oa_dm1"));
  const TZNT1BSP& Map = *e.BSP;
  const TZNT1RendererContext& c = *e.Renderer->MainContext;
  const size_t Spawns = e.SpawnPoints().size();
  ASSERT_GT(Spawns, 1u);
  int32_t Least = Map.CountBSPGroups, LeastFaces = 0, LeastItems = 0;
  for (size_t i = 0; i < Spawns; ++i) {
    ASSERT_TRUE(e.SpawnView(i));
    e.Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    if (c.CountGroupsToDraw < Least) {
      Least = c.CountGroupsToDraw;
      LeastItems = c.CountBatchItems;
      LeastFaces = 0;
      for (int32_t k = 0; k < c.CountGroupsToDraw; ++k)
        LeastFaces += c.SortedGroupBatchItems[size_t(c.GroupsToDraw[size_t(k)])].GroupIndex >= 0
                          ? Map.BSPGroups[size_t(c.SortedGroupBatchItems[size_t(c.GroupsToDraw[size_t(k)])].GroupIndex)].CountFaces
                          : 0;
    }
  }
  std::printf("oa_dm1: %zu spawn points; the one that sees least collects %d of %d groups (%d of %d faces), %d items\n",
              Spawns, Least, Map.CountBSPGroups, LeastFaces, Map.CountBSPFaces, LeastItems);
  EXPECT_LT(Least * 2, Map.CountBSPGroups);

  // From the solid outside the map every world group that can be drawn is collected.
  const TZNT1BSPModelRange World{Map.BSPMapModels[0].GroupIndex, Map.BSPMapModels[0].CountGroups};
  int32_t Drawable = 0;
  for (int32_t g = World.First; g < World.First + World.Count; ++g)
    Drawable += c.PassesFilters(Map.BSPGroups[size_t(g)].Shader, Map.BSPGroups[size_t(g)].FaceType);
  e.View(Vector3Add(Map.WorldAABB.Max, Vector3(500, 500, 500)), Vector3(0, 0, 0));
  e.Frame();
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  EXPECT_EQ(c.RenderCluster, -1);
  EXPECT_EQ(c.CountGroupsToDraw, Drawable);
  std::printf("oa_dm1 from the solid: %d groups\n", c.CountGroupsToDraw);
  e.SetCanvas(1280, 720);
}

TEST_F(RendererContentGL, SargeOnItsTagsInTheFrame) {
  RendererContentEngine& e = *engine_;
  e.SetCanvas(640, 360);
  ASSERT_TRUE(e.MapCommand("oa_dm1"));
  ASSERT_TRUE(e.SpawnView());
  const TZNT1Entity& Spawn = *e.SpawnPoints()[0];
  const float Yaw = Spawn.GetFloat("angle") * float(DEG2RAD);
  const TZNT1Vector3 Feet = Vector3Add(Spawn.GetVector("origin"), Vector3(std::cos(Yaw) * 90, std::sin(Yaw) * 90, 0));

  TZNT1Model* Parts[3] = {e.Models->GetModel("models/players/sarge/lower.md3"),
                          e.Models->GetModel("models/players/sarge/upper.md3"),
                          e.Models->GetModel("models/players/sarge/head.md3")};
  for (TZNT1Model* m : Parts) {
    ASSERT_NE(m, nullptr);
    m->IncRef();
  }
  TZNT1ModelInstance* Legs = Parts[0]->CreateInstance();
  TZNT1ModelInstance* Torso = Parts[1]->CreateInstance();
  TZNT1ModelInstance* Head = Parts[2]->CreateInstance();
  ASSERT_TRUE(Legs->Link("tag_torso", Torso));
  ASSERT_TRUE(Torso->Link("tag_head", Head));
  Legs->Transform = Matrix4x4Translate(Feet);
  Legs->ViewTransform = Legs->Transform;
  // Half way between the first two frames, drawn as is.
  for (TZNT1ModelInstance* i : {Legs, Torso, Head}) {
    i->Animation.Frame = 0;
    i->Animation.NextFrame = std::min<int32_t>(1, int32_t(i->Model->Frames.size()) - 1);
    i->Animation.FrameTime = 0.5;
    i->Animation.Animation = false;
  }
  auto Draw = [&](bool WithModel) {
    if (WithModel) e.AddInstance(Legs);
    e.Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    return e.ReadFrame();
  };
  auto Differing = [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size(); i += 4) n += std::memcmp(&a[i], &b[i], 3) != 0;
    return n;
  };
  const auto Without = Draw(false);
  const auto With = Draw(true);
  const size_t Covered = Differing(Without, With);
  std::printf("sarge covers %zu of %d pixels\n", Covered, e.CanvasWidth * e.CanvasHeight);
  EXPECT_GT(Covered, 1000u);

  // The same pose blended on the processor.
  const int32_t Attribs = e.GLCapabilities->MaxVertexAttribs;
  e.GLCapabilities->MaxVertexAttribs = 8;
  const auto Cpu = Draw(true);
  e.GLCapabilities->MaxVertexAttribs = Attribs;
  const size_t Apart = Differing(With, Cpu);
  std::printf("GPU and CPU blends differ in %zu pixels\n", Apart);
  EXPECT_LT(Apart, Covered / 50);
  // ... and not the pose of the first frame.
  for (TZNT1ModelInstance* i : {Legs, Torso, Head}) i->Animation.FrameTime = 0.0;
  const size_t FromFirst = Differing(With, Draw(true));
  std::printf("the half-way pose differs from the first frame in %zu pixels\n", FromFirst);
  EXPECT_GT(FromFirst, 100u);

  // Render type 1 (the player's own body) stays out of the main view; its shadow, in full
  // quality, is not what is checked here.
  for (TZNT1ModelInstance* i : {Legs, Torso, Head}) {
    i->RenderType = 1;
    i->CastShadow = false;
  }
  EXPECT_EQ(Differing(Without, Draw(true)), 0u);

  for (TZNT1ModelInstance* i : {Legs, Torso, Head}) delete i;
  for (TZNT1Model* m : Parts) m->DecRef();
  e.SetCanvas(1280, 720);
}

TEST_F(RendererContentGL, FramesAgreeWithTheBruteForceBaseline) {
  RendererContentEngine& e = *engine_;
  e.SetCanvas(1280, 720);
  RendererBaseline Baseline(e);
  for (const char* Name : {"oa_dm1", "oa_dm3", "oa_dm6", "kaos2", "oa_rpg3dm2"}) {
    SCOPED_TRACE(Name);
    ASSERT_TRUE(e.MapCommand(Name));
    ASSERT_TRUE(e.SpawnView());
    Baseline.Prepare();
    // The baseline draws no sky: compare with no sky box or dome to draw.
    e.FrameWithoutSky();
    const auto Renderer = e.ReadFrame();
    Baseline.Render();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    const auto Brute = e.ReadFrame();
    size_t Same = 0, n = Renderer.size() / 4;
    for (size_t i = 0; i < n; ++i) {
      int d = 0;
      for (int k = 0; k < 3; ++k) d = std::max(d, std::abs(int(Renderer[i * 4 + k]) - int(Brute[i * 4 + k])));
      Same += d <= 2;
    }
    std::printf("%-12s renderer and baseline agree on %.2f%% of pixels (%zu faces in the baseline)\n", Name,
                100.0 * double(Same) / double(n), Baseline.CountFaces());
    EXPECT_GE(double(Same), 0.98 * double(n));
  }
}
