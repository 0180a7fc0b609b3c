#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "RendererTestMap.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "material/ZNT1Shader.h"
#include "renderer/ZNT1Renderer.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1Model.h"

namespace {

// A dedicated engine: the renderer's logic runs, nothing touches OpenGL.
class RendererLogic : public ::testing::Test {
 protected:
  void SetUp() override {
    engine.CanvasWidth = 320;
    engine.CanvasHeight = 240;
    renderer = std::make_unique<TZNT1Renderer>(&engine);
  }
  void TearDown() override {
    renderer.reset();
    engine.BSP.reset();
  }

  static TZNT1BatchItem Item(int32_t Kind, int32_t SortKey, int32_t Shader) {
    TZNT1BatchItem i{};
    i.BatchItemKind = Kind;
    i.SortKey = SortKey;
    i.SortedShaderIndex = Shader;
    return i;
  }

  // The camera view of the main context at Eye, walked as Render does (without drawing).
  TZNT1RendererContext& Walk(const TZNT1Vector3& Eye) {
    TZNT1RendererContext& c = *renderer->MainContext;
    c.ViewMatrix = Matrix4x4LookAtViewerLDX(Eye, Vector3(0, 0, 0));
    c.CanvasWidth = 320;
    c.CanvasHeight = 240;
    c.ContextTask = ctNORMAL;
    c.CurrentContextIndex = -1;
    c.Check();
    c.InitRendering();
    c.WalkThroughMap();
    ++renderer->VisibleFrame;
    return c;
  }

  // Material numbers of the items in the buckets, bucket by bucket.
  static std::vector<int32_t> Drawn(const TZNT1RendererContext& c) {
    std::vector<int32_t> r;
    for (const auto& b : c.SortKeyBatchs)
      for (int32_t i = 0; i < b.CountBatchItems; ++i) r.push_back(b.Item(i)->SortedShaderIndex);
    return r;
  }

  TZNT1Engine engine{&CreateGameOfClass<TZNT1Game>, true};
  std::unique_ptr<TZNT1Renderer> renderer;
};

}  // namespace

TEST_F(RendererLogic, BucketsGrowBeforeStoringAndRouteByKey) {
  TZNT1RendererContext& c = *renderer->MainContext;
  c.InitRendering();
  std::vector<TZNT1BatchItem> Items(40);
  // Every store into an empty or full bucket must land inside the array.
  for (int32_t n = 0; n < 40; ++n) {
    Items[size_t(n)] = Item(zbikMODEL, SORT_OPAQUE, n);
    EXPECT_EQ(c.AddBatchItem(&Items[size_t(n)]), n);
    ASSERT_GT(c.SortKeyBatchs[3].BatchItems.size(), size_t(n));
    EXPECT_EQ(c.SortKeyBatchs[3].Item(n), &Items[size_t(n)]);
  }
  EXPECT_EQ(c.CountBatchItems, 40);

  struct Case {
    int32_t Key;
    int Bucket;  // -1: dropped
  };
  const Case Cases[] = {{-1, -1}, {0, 0}, {16, 16}, {17, 17}, {20, 17}, {128 + 3, 17}};
  std::vector<TZNT1BatchItem> More(std::size(Cases));
  for (size_t i = 0; i < std::size(Cases); ++i) {
    More[i] = Item(zbikMODEL, Cases[i].Key, 100 + int32_t(i));
    const int32_t Before = c.CountBatchItems;
    const int32_t r = c.AddBatchItem(&More[i]);
    if (Cases[i].Bucket < 0) {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(c.CountBatchItems, Before);
    } else {
      const auto& b = c.SortKeyBatchs[size_t(Cases[i].Bucket)];
      EXPECT_EQ(b.Item(b.CountBatchItems - 1), &More[i]) << Cases[i].Key;
    }
  }
  // Bucket 17 is the one sorted per frame: key 17 before 20 before 131.
  c.SortBatchItems();
  const auto& Top = c.SortKeyBatchs[17];
  ASSERT_EQ(Top.CountBatchItems, 3);
  EXPECT_EQ(Top.Item(0)->SortKey, 17);
  EXPECT_EQ(Top.Item(1)->SortKey, 20);
  EXPECT_EQ(Top.Item(2)->SortKey, 131);
}

TEST_F(RendererLogic, CompareFunctionCases) {
  TZNT1BatchItem a = Item(zbikBSPGROUP, 3, 1), b = Item(zbikBSPGROUP, 3, 1);
  a.SortIndex = 5, b.SortIndex = 7;
  EXPECT_EQ(CompareBatchItems(a, b), -1);  // map items of one kind: presorted position
  b.SortedShaderIndex = 0;
  EXPECT_EQ(CompareBatchItems(a, b), -1);  // ... not the material
  TZNT1BatchItem m = Item(zbikMODEL, 3, 0);
  EXPECT_EQ(CompareBatchItems(a, m), 1);   // kinds differ: material first
  m.SortedShaderIndex = 1;
  m.EntityIndex = 0x80000000u;             // unsigned entity order
  EXPECT_EQ(CompareBatchItems(a, m), -1);

  // World items carry the model index 0x80000003, which sorts before brush models as a negative number.
  TZNT1BatchItem w = Item(zbikBSPFACE, 3, 1), bm = w;
  w.ModelIndex = WorldModelIndex;
  bm.ModelIndex = 1;
  EXPECT_EQ(CompareFaceOrGroupBatchItems(w, bm), -1);
  w.ModelIndex = 1;
  w.FaceIndex = 9, bm.FaceIndex = 2;
  EXPECT_EQ(CompareFaceOrGroupBatchItems(w, bm), 1);
  EXPECT_EQ(CompareFaceOrGroupBatchItemsForDepthCategory(w, bm), 0);

  // Opaque: within a depth category the larger depth index first; transparent: the smaller.
  TZNT1BatchItem n = Item(zbikMODEL, 3, 1), f = n;
  n.DepthIndex = 10, f.DepthIndex = 20;
  EXPECT_EQ(CompareOpaqueBatchItems(n, f), 1);
  EXPECT_EQ(CompareTransparentBatchItems(n, f), -1);
  f.DepthCategory = 1;
  EXPECT_EQ(CompareOpaqueBatchItems(n, f), 0);
  EXPECT_EQ(CompareAllAboveBatchItems(Item(zbikMODEL, 131, 0), Item(zbikMODEL, 17, 5)), 1);
}

TEST_F(RendererLogic, ResolveShaderFollowsRemapsAndStopsOnLoops) {
  std::vector<std::unique_ptr<TZNT1Shader>> s;
  for (int i = 0; i < 5; ++i) s.push_back(std::make_unique<TZNT1Shader>(&engine, nullptr));
  TZNT1Shader *A = s[0].get(), *B = s[1].get(), *C = s[2].get(), *D = s[3].get(), *E = s[4].get();
  EXPECT_EQ(renderer->ResolveShader(nullptr), nullptr);
  EXPECT_EQ(renderer->ResolveShader(A), A);
  A->RemappedShader = B;
  B->RemappedShader = C;
  EXPECT_EQ(renderer->ResolveShader(A), C);  // chain: its last material
  C->RemappedShader = A;
  EXPECT_EQ(renderer->ResolveShader(A), A);  // back to the start
  // A loop that avoids the start: D -> A -> B -> E -> B ... ends at the last new material.
  C->RemappedShader = nullptr;
  D->RemappedShader = A;
  B->RemappedShader = E;
  E->RemappedShader = B;
  EXPECT_EQ(renderer->ResolveShader(D), E);
  E->RemappedShader = E;
  EXPECT_EQ(renderer->ResolveShader(D), E);
}

TEST_F(RendererLogic, TextureAnimationAndMaterialTime) {
  TZNT1Shader Material(&engine, nullptr);
  TZNT1ShaderStage Stage(&Material);
  Stage.NumImageAnimation = 4;
  Stage.ImageAnimationSpeed = 2;
  struct Case {
    double Time;
    int32_t Index;
  };
  for (const Case& c : {Case{0, 0}, Case{1.6, 3}, Case{2.1, 0}, Case{-1.6, 3}, Case{0.49, 0}, Case{0.5, 1}})
    EXPECT_EQ(TZNT1RendererContext::GetTextureAnimationIndex(&Stage, c.Time), c.Index) << c.Time;
  // Speed 52 near the end of the day clock: |t| x 52 x 1024 is past 2^31.
  Stage.ImageAnimationSpeed = 52;
  Stage.NumImageAnimation = 7;
  EXPECT_EQ(TZNT1RendererContext::GetTextureAnimationIndex(&Stage, 80000.0), int32_t((80000LL * 52) % 7));
  EXPECT_EQ(TZNT1RendererContext::GetTextureAnimationIndex(&Stage, 86399.5), int32_t((86399LL * 52 + 26) % 7));
  Stage.NumImageAnimation = 0;
  EXPECT_EQ(TZNT1RendererContext::GetTextureAnimationIndex(&Stage, 5.0), 0);

  TZNT1RendererContext& c = *renderer->MainContext;
  Material.ClampTime = 2;
  Material.TimeOffset = 10;
  for (auto [Game, Expected] : {std::pair{11.5, 1.5f}, std::pair{20.0, 2.0f}, std::pair{3.0, 0.0f}}) {
    engine.InGameTime = Game;
    EXPECT_FLOAT_EQ(c.GetShaderTime(&Material), Expected) << Game;
  }
  Material.ClampTime = 0;
  engine.InGameTime = 3.0;
  EXPECT_FLOAT_EQ(c.GetShaderTime(&Material), -7.0f);
}

TEST_F(RendererLogic, DerivedTargetSizesNeverReachZero) {
  struct Case {
    int32_t Size, Shift, Shifted, Blur;
  };
  const Case Cases[] = {{1280, 0, 1280, 640}, {1280, 6, 20, 10}, {50, 6, 1, 1}, {63, 6, 1, 1},
                        {64, 6, 1, 1},       {1, 0, 1, 1},      {1, 5, 1, 1},   {3, 1, 1, 1}};
  for (const Case& c : Cases) {
    EXPECT_EQ(TZNT1Renderer::ShiftedSize(c.Size, c.Shift), c.Shifted) << c.Size << " " << c.Shift;
    EXPECT_EQ(TZNT1Renderer::BlurSize(c.Size, c.Shift), c.Blur) << c.Size << " " << c.Shift;
  }
  EXPECT_EQ(TZNT1Renderer::BlurSize(1280, 6), (1280 + 64) >> 7);
  EXPECT_EQ(TZNT1Renderer::BlurSize(101, 0), 51);  // halves round up
}

TEST_F(RendererLogic, ModelInstancesAndTheirTagLinks) {
  TZNT1Model Model(&engine, nullptr);
  Model.Tags.resize(2);
  auto Make = [&] { return Model.CreateInstance(); };
  TZNT1ModelInstance *Root = Make(), *Torso = Make(), *Head = Make(), *Weapon = Make();
  Root->Tags[0].LinkedModelInstance = Torso;
  Torso->Tags[0].LinkedModelInstance = Head;
  Torso->Tags[1].LinkedModelInstance = Weapon;
  Head->Tags[0].LinkedModelInstance = Root;   // back to the root: skipped
  Weapon->Tags[0].LinkedModelInstance = Torso;  // a loop below the root: added once
  Weapon->Tags[1].LinkedModelInstance = Weapon;
  EXPECT_EQ(renderer->AddModelInstance(nullptr), -1);
  TZNT1ModelInstance Orphan(&engine, nullptr);
  EXPECT_EQ(renderer->AddModelInstance(&Orphan), -1);
  EXPECT_EQ(renderer->AddModelInstance(Root), 0);
  ASSERT_EQ(renderer->CountModelInstances, 4);
  EXPECT_EQ(renderer->ModelInstances[0], Root);
  EXPECT_EQ(renderer->ModelInstances[1], Torso);
  EXPECT_EQ(renderer->ModelInstances[2], Head);
  EXPECT_EQ(renderer->ModelInstances[3], Weapon);
  // Another root of the frame adds its own tree: weapon, torso, head and, through the head, the
  // first root (the torso is not added twice).
  EXPECT_EQ(renderer->AddModelInstance(Weapon), 4);
  EXPECT_EQ(renderer->CountModelInstances, 8);
  EXPECT_EQ(renderer->ModelInstances[7], Root);

  renderer->Render();  // a dedicated frame still empties the lists
  EXPECT_EQ(renderer->CountModelInstances, 0);
  TZNT1ModelInstance* Single = Make();
  for (int i = 0; i < 1024; ++i) renderer->AddModelInstance(Single);
  EXPECT_EQ(renderer->ModelInstances.size(), size_t(1024));
  EXPECT_EQ(renderer->AddModelInstance(Single), 1024);
  EXPECT_EQ(renderer->ModelInstances.size(), size_t(2048));
  TZNT1RendererLight Light{};
  for (int i = 0; i < 1025; ++i) EXPECT_EQ(renderer->AddLight(Light), i);
  EXPECT_EQ(renderer->Lights.size(), size_t(2048));
}

TEST_F(RendererLogic, GroupItemsArePresortedOnceWithDepthCategories) {
  RendererTestMap Map;
  TZNT1BSP* b = Map.Build(engine, true);
  // A brush model owning group 1, and one whose range runs past the groups.
  b->BSPMapModels.resize(3);
  b->BSPMapModels[1].GroupIndex = 1, b->BSPMapModels[1].CountGroups = 1, b->BSPMapModels[1].EntityIndex = 0x10000004;
  b->BSPMapModels[2].GroupIndex = 6, b->BSPMapModels[2].CountGroups = 1000000;
  b->CountBSPModels = 3;
  Map.Materials[2]->Sort = SORT_OPAQUE;
  renderer->ResetBSP();
  const TZNT1RendererContext& c = *renderer->MainContext;
  EXPECT_TRUE(c.SortedFaceBatchItems.empty());
  EXPECT_TRUE(c.FaceBatchItems.empty());
  ASSERT_EQ(c.SortedGroupBatchItems.size(), size_t(RendererTestMap::Count));
  for (size_t i = 0; i < c.SortedGroupBatchItems.size(); ++i) {
    const TZNT1BatchItem& it = c.SortedGroupBatchItems[i];
    EXPECT_EQ(it.SortIndex, i);
    EXPECT_EQ(c.GroupBatchItems[size_t(it.GroupIndex)], &it);
    if (i) {
      EXPECT_LE(CompareFaceOrGroupBatchItems(c.SortedGroupBatchItems[i - 1], it), 0);
    }
  }
  const TZNT1BatchItem& Brush = *c.GroupBatchItems[1];
  EXPECT_EQ(Brush.ModelIndex, 1);
  EXPECT_EQ(Brush.EntityIndex, 0x10000004u);
  EXPECT_EQ(c.GroupBatchItems[0]->ModelIndex, WorldModelIndex);
  EXPECT_EQ(c.GroupBatchItems[0]->EntityIndex, 0u);
  EXPECT_EQ(c.GroupBatchItems[6]->ModelIndex, 2);
  EXPECT_EQ(c.GroupBatchItems[0]->PortalIndex, NoKey);
  // Categories: a new number wherever anything but the face index differs.
  std::set<uint32_t> Categories;
  for (const auto& it : c.SortedGroupBatchItems) Categories.insert(it.DepthCategory);
  EXPECT_EQ(Categories.size(), c.SortedGroupBatchItems.size());
}

TEST_F(RendererLogic, GroupWalkKeepsToThePVS) {
  RendererTestMap Map;
  Map.Build(engine, true);
  renderer->ResetBSP();
  struct Case {
    TZNT1Vector3 Eye;
    std::vector<int32_t> Materials;
  };
  // NODRAW (4) and flares (6) never make items; the other room gives none.
  const Case Cases[] = {
      {Vector3(-100, 10, 0), {0}},
      {Vector3(100, 10, 0), {1, 2, 5, 3}},
      {Vector3(100, -10, 0), {1, 2, 5, 3}},
      {Vector3(2000, 0, 0), {0, 1, 2, 5, 3}},  // in the solid: every world group
  };
  for (const Case& k : Cases) {
    TZNT1RendererContext& c = Walk(k.Eye);
    EXPECT_EQ(Drawn(c), k.Materials) << k.Eye.x << " " << k.Eye.y;
    EXPECT_TRUE(c.HasShadowReceivers);
  }
  renderer->Curves = false;
  EXPECT_EQ(Drawn(Walk(Vector3(100, 10, 0))), (std::vector<int32_t>{1, 2, 3}));
}

TEST_F(RendererLogic, VisibilityHeaderCountBeyondTheClustersIsIgnored) {
  RendererTestMap Map;
  TZNT1BSP* b = Map.Build(engine, true);
  // The header claims 16 clusters and every bit is set; the map has three.
  b->BSPVisData.Header = {16, 2};
  b->BSPVisData.pBitsets.assign(32, 0xFF);
  renderer->ResetBSP();
  const TZNT1RendererContext& c = Walk(Vector3(-100, 10, 0));
  EXPECT_EQ(c.CountClustersToDraw, 3);
  EXPECT_EQ(Drawn(c), (std::vector<int32_t>{0, 1, 2, 5, 3}));
  // A row cut short by the file reads as not visible past its end.
  b->BSPVisData.Header = {3, 4};
  b->BSPVisData.pBitsets.assign(5, 0xFF);
  const TZNT1RendererContext& d = Walk(Vector3(100, -10, 0));  // cluster 2: row at bytes 8..11
  EXPECT_EQ(d.CountClustersToDraw, 1);
}

TEST_F(RendererLogic, FaceWalkWithoutGroups) {
  RendererTestMap Map;
  Map.Build(engine, false);
  renderer->ResetBSP();
  const TZNT1RendererContext& c0 = *renderer->MainContext;
  EXPECT_TRUE(c0.SortedGroupBatchItems.empty());
  EXPECT_EQ(c0.SortedFaceBatchItems.size(), size_t(RendererTestMap::Count));
  // Face 1 is listed in both leaves of room B (twice in one): one item.
  EXPECT_EQ(Drawn(Walk(Vector3(100, 10, 0))), (std::vector<int32_t>{1, 2, 5, 3}));
  EXPECT_EQ(Drawn(Walk(Vector3(-100, 10, 0))), (std::vector<int32_t>{0}));
  EXPECT_EQ(Drawn(Walk(Vector3(2000, 0, 0))), (std::vector<int32_t>{0, 1, 2, 5, 3}));
  renderer->Curves = false;
  EXPECT_EQ(Drawn(Walk(Vector3(100, 10, 0))), (std::vector<int32_t>{1, 2, 3}));
}

TEST_F(RendererLogic, BrokenRangesFromTheFileAreSkipped) {
  RendererTestMap Map;
  TZNT1BSP* b = Map.Build(engine, false);
  b->BSPLeafFaces.push_back(99);      // a face index past the faces
  b->BSPLeafFaces.push_back(-5);
  b->BSPMapLeafs[0].CountLeafFaces = 1000;  // runs past the leaf-face list
  b->BSPMapModels.resize(2);
  b->BSPMapModels[1].FaceIndex = 5, b->BSPMapModels[1].CountFaces = 0x7FFFFFFF;
  b->BSPMapModels[1].Visible = true;
  b->CountBSPModels = 2;
  b->BSPMapNodes[2].Front = -9;  // a leaf that does not exist
  renderer->ResetBSP();
  const TZNT1RendererContext& c = Walk(Vector3(-100, 10, 0));
  EXPECT_FALSE(Drawn(c).empty());
  EXPECT_EQ(renderer->MainContext->FaceBatchItems[5]->ModelIndex, 1);
}

TEST_F(RendererLogic, ModelItemsTakeTheirSkinsSortAndOverlayBit) {
  RendererTestMap Map;
  Map.Build(engine, true);
  renderer->ResetBSP();
  TZNT1Model Model(&engine, nullptr);
  Model.Meshs.resize(2);
  Model.Meshs[0].Skins = {Map.Materials[1].get(), Map.Materials[3].get()};
  Model.Meshs[0].NumSkins = 2;
  Model.Meshs[1].Skins = {Map.Materials[2].get()};  // a mesh the .skin file did not name
  Model.Meshs[1].NumSkins = 1;
  TZNT1ModelInstance* Instance = Model.CreateInstance();
  Instance->Skin = 1;
  renderer->AddModelInstance(Instance);
  TZNT1RendererContext& c = Walk(Vector3(-100, 10, 0));
  c.InsertModelBatchItems();
  const auto& Blend = c.SortKeyBatchs[SORT_BLEND0];
  ASSERT_EQ(Blend.CountBatchItems, 1);
  EXPECT_EQ(Blend.Item(0)->ModelInstance, Instance);
  EXPECT_EQ(Blend.Item(0)->MeshIndex, 0);
  EXPECT_EQ(Blend.Item(0)->EffectIndex, NoModelEffect);
  Instance->Skin = 0;
  Instance->RenderType = 2;
  TZNT1RendererContext& d = Walk(Vector3(-100, 10, 0));
  d.InsertModelBatchItems();
  const auto& Top = d.SortKeyBatchs[17];
  ASSERT_EQ(Top.CountBatchItems, 2);
  EXPECT_EQ(Top.Item(0)->SortKey, 128 + SORT_OPAQUE);
}

TEST_F(RendererLogic, LightWithoutAGridComesFromAbove) {
  TZNT1RendererContext& c = *renderer->MainContext;
  c.ApplyLight(false, 10, 20, 30);
  EXPECT_FLOAT_EQ(c.PrimaryLightAmbient.x, 0.25f);
  EXPECT_FLOAT_EQ(c.PrimaryLightDirectional.y, 0.75f);
  EXPECT_FLOAT_EQ(c.PrimaryLightDirection.z, 1.0f);
  // A grid of one lit cell: ambient and directional from its bytes, direction from its angles.
  RendererTestMap Map;
  TZNT1BSP* b = Map.Build(engine, true);
  renderer->ResetBSP();
  TZNT1RendererContext& d = *renderer->MainContext;
  b->UseLightGrid = true;
  b->LightGridBounds.x = b->LightGridBounds.y = b->LightGridBounds.z = 1;
  b->LightGridInvSize = Vector3(1.0f / 64, 1.0f / 64, 1.0f / 128);
  b->BSPLightVolumes = {TBSPLightVolume{{128, 64, 0}, {255, 255, 255}, {0, 0}}};
  b->CountBSPLightVolumes = 1;
  d.ApplyLight(true, 5000, -5000, 7);  // far outside: clamped into the grid
  EXPECT_FLOAT_EQ(d.PrimaryLightAmbient.x, 0.5f);
  EXPECT_FLOAT_EQ(d.PrimaryLightAmbient.y, 0.25f);
  EXPECT_NEAR(d.PrimaryLightDirectional.z, 255.0f / 256, 1e-6f);
  EXPECT_NEAR(d.PrimaryLightDirection.z, 1.0f, 1e-6f);
  b->BSPLightVolumes[0].Ambient[0] = b->BSPLightVolumes[0].Ambient[1] = 0;  // an empty cell
  d.ApplyLight(true, 0, 0, 0);
  EXPECT_FLOAT_EQ(d.PrimaryLightAmbient.x, 1.0f);
  EXPECT_FLOAT_EQ(d.PrimaryLightDirectional.x, 0.0f);
}

TEST_F(RendererLogic, VisibleFrameWrapResetsTheMapStamps) {
  RendererTestMap Map;
  TZNT1BSP* b = Map.Build(engine, true);
  b->Portals.resize(1);
  b->CountPortals = 1;
  for (auto& l : b->BSPMapLeafs) l.VisibleFrame[0] = 0xFFFFFFFDu;
  b->Portals[0].VisibleFrame[2] = 7;
  renderer->VisibleFrame = 0xFFFFFFFDu;
  renderer->IncrementVisibleFrame();
  EXPECT_EQ(renderer->VisibleFrame, 0xFFFFFFFEu);
  EXPECT_EQ(b->BSPMapLeafs[1].VisibleFrame[0], 0xFFFFFFFDu);
  renderer->IncrementVisibleFrame();
  EXPECT_EQ(renderer->VisibleFrame, 0u);
  for (const auto& l : b->BSPMapLeafs) EXPECT_EQ(l.VisibleFrame[0], 0xFFFFFFFFu);
  EXPECT_EQ(b->Portals[0].VisibleFrame[2], 0xFFFFFFFFu);
  // The link counter wraps the same way, without a program library to reset.
  renderer->LinkCounter = 0xFFFFFFFEu;
  renderer->IncrementLinkCounter();
  EXPECT_EQ(renderer->LinkCounter, 0u);
}

TEST_F(RendererLogic, PortalsByRangeAndSide) {
  RendererTestMap Map;
  TZNT1BSP* b = Map.Build(engine, true);
  struct Case {
    bool Mirror;
    float Distance;  // signed distance of the eye from the portal plane (N.p + D)
    bool Collected;
  };
  const Case Cases[] = {{false, -100, true}, {false, -300, false}, {true, -3000, true}, {true, 50, false},
                        {false, 50, false}};
  b->Portals.resize(std::size(Cases));
  b->CountPortals = int32_t(std::size(Cases));
  for (size_t i = 0; i < std::size(Cases); ++i) {
    TZNT1Portal& p = b->Portals[i];
    p.SourceMirror = Cases[i].Mirror;
    p.PortalRange = 256;
    // Plane x = c with the normal along +x: N.p + D at x = 100 is 100 + D.
    p.Plane = Plane(Vector3(1, 0, 0), Cases[i].Distance - 100);
    p.VisibleFrame[0] = 0xFFFFFFFFu;
    b->BSPGroups[1].Portals.push_back(int32_t(i));
    b->BSPGroups[1].CountPortals++;
  }
  renderer->ResetBSP();
  const TZNT1RendererContext& c = Walk(Vector3(100, 10, 0));
  std::vector<const void*> Expected;
  for (size_t i = 0; i < std::size(Cases); ++i)
    if (Cases[i].Collected) Expected.push_back(&b->Portals[i]);
  ASSERT_EQ(c.CountPortalsToDraw, int32_t(Expected.size()));
  for (size_t i = 0; i < Expected.size(); ++i) EXPECT_EQ(c.PortalsToDraw[i], Expected[i]);
  // Room A sees none of them.
  EXPECT_EQ(Walk(Vector3(-100, 10, 0)).CountPortalsToDraw, 0);
}
