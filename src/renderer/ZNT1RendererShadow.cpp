// The sun's model shadow maps, the shadow contexts and the light and shadow prepass.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "core/ZNT1Sort.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1GLSLShader.h"
#include "assets/ZNT1Texture.h"
#include "material/ZNT1Shader.h"
#include "renderer/ZNT1Renderer.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1Model.h"

namespace {

template <typename T>
void Append(std::vector<T>& Array, int32_t& Count, const T& Value) {
  if (Array.size() <= size_t(Count) + 1) Array.resize(RoundUpToPowerOfTwo(uint32_t(Count) + 1u));
  Array[size_t(Count++)] = Value;
}

bool TwoChannel(const TZNT1Engine* Engine) {
  return Engine->GLCapabilities && Engine->GLCapabilities->ShadowMapTextureFormat == GL_TEXTURE_RG32F;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Shadow-map slot

TZNT1RendererShadowMap::TZNT1RendererShadowMap(TZNT1Renderer* ARenderer, TZNT1Engine* AEngine)
    : Renderer(ARenderer), Engine(AEngine) {
  Clusters.resize(1024);
  ModelInstances.resize(1024);
  MapModels.resize(1024);
  CasterAABBs.resize(1024);
  ReceiverAABBs.resize(1024);
  if (!Engine || Engine->Dedicated) return;
  const int32_t Format = Engine->GLCapabilities ? Engine->GLCapabilities->ShadowMapTextureFormat : GL_TEXTURE_R32F;
  // With a depth buffer: the shadow context draws the casters straight into it.
  FrameBufferObject = std::make_unique<TZNT1FrameBufferObject>(Engine, Renderer->ShadowMapWidth,
                                                               Renderer->ShadowMapHeight, 1, false, false, true, true,
                                                               true, false, std::vector<int32_t>{Format}, false, 1);
}

void TZNT1RendererShadowMap::Clear() {
  CountClusters = 0;
  SplittedDistanceIndex = -1;
  CountModelInstances = 0;
  CountMapModels = 0;
  AABB = TZNT1AABB{};
  Sphere = TZNT1Sphere{};
  CountCasters = 0;
  CountReceivers = 0;
}

void TZNT1RendererShadowMap::AddCaster(const TZNT1AABB& CasterAABB, const TZNT1Sphere&) {
  AllCasterAABB = CountCasters == 0 ? CasterAABB : AABBCombine(AllCasterAABB, CasterAABB);
  Append(CasterAABBs, CountCasters, CasterAABB);
}

void TZNT1RendererShadowMap::AddReceiver(const TZNT1AABB& ReceiverAABB) {
  AllReceiverAABB = CountReceivers == 0 ? ReceiverAABB : AABBCombine(AllReceiverAABB, ReceiverAABB);
  Append(ReceiverAABBs, CountReceivers, ReceiverAABB);
}

void TZNT1RendererShadowMap::AddModelInstance(TZNT1ModelInstance* ModelInstance, bool Caster, bool Receiver) {
  Append(ModelInstances, CountModelInstances, ModelInstance);
  if (Caster && ModelInstance->CastShadow) AddCaster(ModelInstance->ViewAABB, ModelInstance->ViewSphere);
  if (Receiver && ModelInstance->RecieveShadow) AddReceiver(ModelInstance->ViewAABB);
}

void TZNT1RendererShadowMap::AddMapModel(TBSPMapModel* MapModel, bool Caster, bool Receiver) {
  Append(MapModels, CountMapModels, MapModel);
  if (Caster) AddCaster(MapModel->ViewTransformedAABB, MapModel->ViewTransformedSphere);
  if (Receiver) AddReceiver(MapModel->ViewTransformedAABB);
}

void TZNT1RendererShadowMap::AddCluster(int32_t Cluster) {
  if (!ContainCluster(Cluster)) Append(Clusters, CountClusters, Cluster);
}

bool TZNT1RendererShadowMap::ContainCluster(int32_t Cluster) const {
  for (int32_t i = 0; i < CountClusters; ++i)
    if (Clusters[size_t(i)] == Cluster) return true;
  return false;
}

bool TZNT1RendererShadowMap::IsPrimaryCluster(int32_t Cluster) const {
  return CountClusters > 0 && Clusters[0] == Cluster;
}

bool TZNT1RendererShadowMap::IsVisibleClusterToTheOthers(int32_t Cluster) const {
  const TZNT1BSP* BSP = Engine ? Engine->BSP.get() : nullptr;
  if (!BSP) return false;
  for (int32_t i = 0; i < CountClusters; ++i)
    if (Clusters[size_t(i)] == Cluster || BSP->IsClusterVisible(Cluster, Clusters[size_t(i)], true)) return true;
  return false;
}

int32_t CompareShadowItem(const TZNT1RendererShadowItem& a, const TZNT1RendererShadowItem& b) {
  const bool pa = a.ModelInstance && a.ModelInstance->LocalPlayerModel;
  const bool pb = b.ModelInstance && b.ModelInstance->LocalPlayerModel;
  if (pa != pb) return pa ? -1 : 1;
  return a.SortIndex < b.SortIndex ? -1 : a.SortIndex > b.SortIndex ? 1 : 0;
}

void ShadowMapLightView(const TZNT1Vector3& ViewDirection, const TZNT1Vector3& LightDirection,
                        const TZNT1AABB& CasterAABB, TZNT1Matrix4x4& ModelViewMatrix,
                        TZNT1Matrix4x4& ProjectionMatrix, float& ZNear, float& ZFar) {
  const TZNT1Vector3 Forward = Vector3Norm(Vector3Neg(LightDirection));
  TZNT1Vector3 Side = Vector3Cross(ViewDirection, Forward);
  if (Vector3Length(Side) < 1e-4f) {
    // Looking along the sun: any axis across the light direction will do; take the world axis
    // least aligned with it.
    const float ax = std::fabs(Forward.x), ay = std::fabs(Forward.y), az = std::fabs(Forward.z);
    const TZNT1Vector3 Reference = (ax <= ay && ax <= az) ? Vector3(1, 0, 0) : (ay <= az ? Vector3(0, 1, 0) : Vector3(0, 0, 1));
    Side = Vector3Cross(Reference, Forward);
  }
  Side = Vector3Norm(Side);
  const TZNT1Vector3 Up = Vector3Norm(Vector3Cross(Forward, Side));
  ModelViewMatrix = Matrix4x4Identity;
  const float* s = &Side.x;
  const float* u = &Up.x;
  const float* f = &Forward.x;
  for (int j = 0; j < 3; ++j) {
    ModelViewMatrix.M[j][0] = s[j];
    ModelViewMatrix.M[j][1] = u[j];
    ModelViewMatrix.M[j][2] = f[j];
    ModelViewMatrix.M[j][3] = 0;
  }
  TZNT1AABB B = AABBTransform(CasterAABB, ModelViewMatrix);
  B.Min = Vector3(B.Min.x - 16, B.Min.y - 16, B.Min.z - 144);
  B.Max = Vector3(B.Max.x + 16, B.Max.y + 16, B.Max.z + 16);
  const float Near = -B.Max.z, Far = -B.Min.z;
  ProjectionMatrix = TZNT1Matrix4x4{};
  ProjectionMatrix.M[0][0] = 2.0f / (B.Max.x - B.Min.x);
  ProjectionMatrix.M[1][1] = 2.0f / (B.Max.y - B.Min.y);
  ProjectionMatrix.M[2][2] = -2.0f / (Far - Near);
  ProjectionMatrix.M[3][0] = -(B.Max.x + B.Min.x) / (B.Max.x - B.Min.x);
  ProjectionMatrix.M[3][1] = -(B.Max.y + B.Min.y) / (B.Max.y - B.Min.y);
  ProjectionMatrix.M[3][2] = -(Far + Near) / (Far - Near);
  ProjectionMatrix.M[3][3] = 1;
  ZNear = Near;
  ZFar = Far;
}

bool ShadowMapRegion(const TZNT1RendererShadowMap& Slot, const TZNT1AABB& World, int32_t ShadowMapSize,
                     const TZNT1AABB* Caster, TZNT1AABB& Region) {
  // The fill compares taps of the map (distances to the sun over the radius, 1 where empty) with
  // the point's own: no tap nearer than the point, or a first tap more than 256 units from it,
  // gives 0. The casters lie in the light box, whose 16-unit rim keeps the edge texels empty, so a
  // point beside the footprint reads only empty taps, and one nearer the sun than the box reads
  // none nearer than itself; an empty first tap is far enough from every point of World when the
  // radius exceeds their distances by more than 256. A caster's share of the map lies within its
  // box: beside that by more than a tap's reach (a texel of offset, a texel of filter, a texel of
  // rasterisation), the taps read none of it.
  const TZNT1Matrix4x4& Ortho = Slot.ProjectionMatrix;
  const float sx = Ortho.M[0][0], sy = Ortho.M[1][1];
  if (!(sx > 0.0f && sy > 0.0f && std::isfinite(sx) && std::isfinite(sy) && ShadowMapSize > 0)) return false;
  TZNT1AABB Box;
  Box.Min = Vector3((-1.0f - Ortho.M[3][0]) / sx, (-1.0f - Ortho.M[3][1]) / sy, -Slot.ZFar);
  Box.Max = Vector3((1.0f - Ortho.M[3][0]) / sx, (1.0f - Ortho.M[3][1]) / sy, -Slot.ZNear);
  const float Width = std::max(Box.Max.x - Box.Min.x, Box.Max.y - Box.Min.y);
  if (!(std::isfinite(Box.Min.x + Box.Min.y + Box.Min.z + Box.Max.x + Box.Max.y + Box.Max.z) && Box.Max.z >= Box.Min.z &&
        Width * 2.0f <= 16.0f * float(ShadowMapSize)))
    return false;
  const float Texel = Width / float(ShadowMapSize);
  auto Light = [&Slot](const TZNT1Vector3& p) {
    const auto& m = Slot.ModelViewMatrix.M;
    return Vector3(p.x * m[0][0] + p.y * m[1][0] + p.z * m[2][0], p.x * m[0][1] + p.y * m[1][1] + p.z * m[2][1],
                   p.x * m[0][2] + p.y * m[1][2] + p.z * m[2][2]);
  };
  // The footprint, and the part of the light box that holds the caster.
  Region.Min = Vector3(Box.Min.x - 2.0f * Texel - 1.0f, Box.Min.y - 2.0f * Texel - 1.0f, 0.0f);
  Region.Max = Vector3(Box.Max.x + 2.0f * Texel + 1.0f, Box.Max.y + 2.0f * Texel + 1.0f, 0.0f);
  if (Caster) {
    TZNT1AABB c;
    c.Min = Vector3(INFINITY, INFINITY, INFINITY);
    c.Max = Vector3(-INFINITY, -INFINITY, -INFINITY);
    for (int i = 0; i < 8; ++i) {
      const TZNT1Vector3 p = Light(Vector3((i & 1) ? Caster->Max.x : Caster->Min.x, (i & 2) ? Caster->Max.y : Caster->Min.y,
                                           (i & 4) ? Caster->Max.z : Caster->Min.z));
      c.Min = Vector3(std::min(c.Min.x, p.x), std::min(c.Min.y, p.y), std::min(c.Min.z, p.z));
      c.Max = Vector3(std::max(c.Max.x, p.x), std::max(c.Max.y, p.y), std::max(c.Max.z, p.z));
    }
    if (!std::isfinite(c.Min.x + c.Min.y + c.Min.z + c.Max.x + c.Max.y + c.Max.z)) return false;
    const float Reach = 3.0f * Texel + 1.0f;
    Region.Min = Vector3(std::max(Region.Min.x, c.Min.x - Reach), std::max(Region.Min.y, c.Min.y - Reach), 0.0f);
    Region.Max = Vector3(std::min(Region.Max.x, c.Max.x + Reach), std::min(Region.Max.y, c.Max.y + Reach), 0.0f);
    Box.Min.z = std::max(Box.Min.z, c.Min.z);
    Box.Max.z = std::min(Box.Max.z, c.Max.z);
    Box.Min.x = std::max(Box.Min.x, c.Min.x);
    Box.Min.y = std::max(Box.Min.y, c.Min.y);
    Box.Max.x = std::min(Box.Max.x, c.Max.x);
    Box.Max.y = std::min(Box.Max.y, c.Max.y);
    if (Box.Min.x > Box.Max.x || Box.Min.y > Box.Max.y || Box.Min.z > Box.Max.z) {
      Region.Min = Vector3(1, 1, 1);  // outside the light box: drawn nowhere
      Region.Max = Vector3(-1, -1, -1);
      return true;
    }
  }
  const TZNT1Vector3 Sun = Light(Slot.LightPosition);
  float FarthestPoint = 0.0f, Bottom = INFINITY, Top = -INFINITY;
  for (int i = 0; i < 8; ++i) {
    const TZNT1Vector3 c = Vector3((i & 1) ? World.Max.x + 64 : World.Min.x - 64, (i & 2) ? World.Max.y + 64 : World.Min.y - 64,
                                   (i & 4) ? World.Max.z + 64 : World.Min.z - 64);
    FarthestPoint = std::max(FarthestPoint, Vector3Dist(c, Slot.LightPosition));
    const float z = Light(c).z;
    Bottom = std::min(Bottom, z);
    Top = std::max(Top, z);
  }
  if (!(Slot.LightRadius - FarthestPoint > 257.0f && Top < Sun.z && std::isfinite(Bottom))) return false;
  // The nearest the sun a darkening tap can be, and the lateral reach of the footprint.
  const float dx = std::max({Box.Min.x - Sun.x, 0.0f, Sun.x - Box.Max.x}),
              dy = std::max({Box.Min.y - Sun.y, 0.0f, Sun.y - Box.Max.y}),
              dz = std::max({Box.Min.z - Sun.z, 0.0f, Sun.z - Box.Max.z});
  const float Nearest = std::sqrt(dx * dx + dy * dy + dz * dz) - 1.0f;
  Region.Min.z = Bottom - 1.0f;
  Region.Max.z = Sun.z + 1.0f;
  const float Lx = std::max(std::fabs(Region.Min.x - Sun.x), std::fabs(Region.Max.x - Sun.x)),
              Ly = std::max(std::fabs(Region.Min.y - Sun.y), std::fabs(Region.Max.y - Sun.y));
  if (Nearest > 0.0f) Region.Max.z -= std::sqrt(std::max(0.0f, Nearest * Nearest - (Lx * Lx + Ly * Ly)));
  return true;
}

int32_t AssignShadowMapSlot(std::unique_ptr<TZNT1RendererShadowMap> (&Slots)[MaxShadowMaps], int32_t& MaxShadowMap,
                            const TZNT1RendererShadowItem& Item, int32_t Range, int32_t Cluster) {
  const TZNT1AABB Box = Item.MapModel ? Item.MapModel->ViewTransformedAABB : Item.ModelInstance->ViewAABB;
  auto Slot = [&](int32_t k) -> TZNT1RendererShadowMap& { return *Slots[size_t(k)]; };
  const bool Player = Item.ModelInstance && Item.ModelInstance->LocalPlayerModel;
  const bool ValidCluster = Cluster >= 0;
  auto Open = [&](int32_t k) { return Slot(k).CountCasters > 0 && !Slot(k).LocalPlayerModel; };
  int32_t Chosen = -1;
  if (Player) {
    for (int32_t k = 0; k < MaxShadowMaps && Chosen < 0; ++k)
      if (Slot(k).LocalPlayerModel) Chosen = k;
    for (int32_t k = 0; k < MaxShadowMaps && Chosen < 0; ++k)
      if (Slot(k).CountCasters == 0) Chosen = k;
  }
  for (int32_t k = 0; k <= MaxShadowMap && Chosen < 0; ++k) {
    if (!Open(k) || !AABBIntersectEx(Slot(k).AABB, Box, 1e-12f)) continue;
    for (int32_t c = 0; c < Slot(k).CountCasters; ++c)
      if (AABBIntersectEx(Slot(k).CasterAABBs[size_t(c)], Box, 1e-12f)) {
        Chosen = k;
        break;
      }
  }
  if (ValidCluster)
    for (int32_t k = 0; k <= MaxShadowMap && Chosen < 0; ++k)
      if (Open(k) && (Slot(k).ContainCluster(Cluster) || Slot(k).SplittedDistanceIndex == Range)) Chosen = k;
  for (int32_t k = 0; k < MaxShadowMaps && Chosen < 0; ++k)
    if (Slot(k).CountCasters == 0 && !Slot(k).LocalPlayerModel) Chosen = k;
  if (Chosen < 0) {
    float Best = 1e18f;
    for (int32_t k = 0; k <= MaxShadowMap; ++k) {
      if (!Open(k)) continue;
      if (AABBIntersectEx(Slot(k).AABB, Box, 1e-12f)) {
        Chosen = k;
        break;
      }
      const float d = AABBDistance(Slot(k).AABB, Box);
      if (d < Best) {
        Best = d;
        Chosen = k;
      }
    }
  }
  if (Chosen < 0) return -1;
  MaxShadowMap = std::max(MaxShadowMap, Chosen);
  TZNT1RendererShadowMap& s = Slot(Chosen);
  if (Player && s.CountCasters == 0) s.LocalPlayerModel = true;
  if (ValidCluster) s.AddCluster(Cluster);
  if (s.SplittedDistanceIndex < 0) s.SplittedDistanceIndex = Range;
  if (Item.ModelInstance) s.AddModelInstance(Item.ModelInstance, true, false);
  if (Item.MapModel) s.AddMapModel(Item.MapModel, true, false);
  if (s.CountCasters > 0) s.AABB = s.AllCasterAABB;
  return Chosen;
}

// ---------------------------------------------------------------------------------------------
// Model shadow pass

void TZNT1RendererContext::UpdateSplitDist(TZNT1RendererShadowMapFrustums& Frustums, float NearDistance,
                                           float FarDistance) {
  const float n = NearDistance, f = FarDistance, Lambda = ShadowMapSplitWidth;
  Frustums[0].NearDistance = n;
  for (int32_t i = 1; i < ShadowMapSplits; ++i) {
    const float s = float(i) / float(ShadowMapSplits);
    const float Split = Lambda * n * std::pow(f / n, s) + (1.0f - Lambda) * (n + (f - n) * s);
    Frustums[size_t(i)].NearDistance = Split;
    Frustums[size_t(i) - 1].FarDistance = Split * 1.005f;
  }
  Frustums[ShadowMapSplits - 1].FarDistance = f;
}

void TZNT1RendererContext::RenderModelShadowMaps() {
  AllModelShadowMapBitmap = 0;
  if (!BSP || BSP->CountBSPClusters <= 0) return;
  TZNT1Renderer& R = *Renderer;
  for (auto& s : R.ShadowMaps)
    if (!s) s = std::make_unique<TZNT1RendererShadowMap>(Renderer, Engine);
  const int32_t CountMapModels = std::min<int32_t>(BSP->CountBSPModels, int32_t(BSP->BSPMapModels.size()));
  const size_t Needed = size_t(std::max(0, CountMapModels)) + size_t(R.CountModelInstances);
  if (R.ShadowItems.size() < Needed) {
    R.ShadowItems.resize(RoundUpToPowerOfTwo(uint32_t(Needed)));
    R.ShadowItemPointers.resize(R.ShadowItems.size());
  }
  int32_t MaxShadowMap = -1;
  uint32_t BitmapActive = 0;
  UpdateSplitDist(ShadowMapFrustums, NearClippingDistance, FarClippingDistance);
  for (auto& s : R.ShadowMaps) {
    s->Clear();
    s->LightRadius = 128;
  }

  // Candidates.
  int32_t CountItems = 0;
  const TZNT1Vector3 Forward = ViewAxis[0];
  for (int32_t i = 0; i < R.CountModelInstances; ++i) {
    TZNT1ModelInstance* Instance = R.ModelInstances[size_t(i)];
    if (!Instance) continue;
    const float Distance = Vector3Dot(Vector3Sub(Instance->ViewSphere.Center, RenderPosition), Forward);
    float SortIndex = -2;
    bool Candidate = false;
    if (Instance->LocalPlayerModel) {
      SortIndex = -512;
      Candidate = true;
    } else if (Instance->RenderType == 2) {
      SortIndex = 0;
      Candidate = true;
    } else if (SeesEverything()) {  // every model casts in a frame that draws everything
      SortIndex = Distance;
      Candidate = true;
    } else if (Distance >= -ModelShadowDistance && Distance <= FarClippingDistance + ModelShadowDistance &&
               AABBDistance(TransformedAABB, Instance->ViewAABB) < ModelShadowDistance &&
               Frustum->SphereInFrustum(Instance->ViewSphere, 2.0f * Instance->ViewSphere.Radius + ModelShadowDistance) !=
                   COMPLETE_OUT &&
               BSP->IsLeafFromLeafVisible(Instance->Leaf, RenderLeaf, true)) {
      SortIndex = Distance;
      Candidate = true;
    }
    Instance->CastShadowToProcess = Candidate;
    if (Candidate) {
      TZNT1RendererShadowItem& Item = R.ShadowItems[size_t(CountItems)];
      Item.SortIndex = SortIndex;
      Item.MapModel = nullptr;
      Item.ModelInstance = Instance;
      R.ShadowItemPointers[size_t(CountItems)] = &Item;
      ++CountItems;
    }
  }
  if (CountItems >= 2)
    IntroSort(R.ShadowItemPointers.data(), 0, CountItems - 1, [](const void* a, const void* b) {
      return CompareShadowItem(*static_cast<const TZNT1RendererShadowItem*>(a),
                               *static_cast<const TZNT1RendererShadowItem*>(b));
    });

  // Slot assignment.
  auto Slot = [&](int32_t k) -> TZNT1RendererShadowMap& { return *R.ShadowMaps[size_t(k)]; };
  for (int32_t n = 0; n < CountItems; ++n) {
    TZNT1RendererShadowItem& Item = *static_cast<TZNT1RendererShadowItem*>(R.ShadowItemPointers[size_t(n)]);
    if (!Item.MapModel && !(Item.ModelInstance && Item.ModelInstance->CastShadow)) continue;
    const TZNT1AABB Box = Item.MapModel ? Item.MapModel->ViewTransformedAABB : Item.ModelInstance->ViewAABB;
    const TZNT1Sphere Sphere = Item.MapModel ? Item.MapModel->ViewTransformedSphere : Item.ModelInstance->ViewSphere;
    const float Distance = Vector3Dot(Vector3Sub(Sphere.Center, RenderPosition), Forward);
    int32_t Range = ShadowMapSplits - 1;
    for (int32_t i = 0; i < ShadowMapSplits; ++i)
      if (Distance <= ShadowMapFrustums[size_t(i)].FarDistance) {
        Range = i;
        break;
      }
    const int32_t Leaf = BSP->FindLeaf(Vector3Avg(Box.Min, Box.Max));
    const int32_t Cluster = (Leaf < 0 || Leaf >= BSP->CountBSPLeafs || size_t(Leaf) >= BSP->BSPMapLeafs.size())
                                ? -1
                                : BSP->BSPMapLeafs[size_t(Leaf)].Cluster;
    const bool ValidCluster = Cluster >= 0 && Cluster < BSP->CountBSPClusters;
    AssignShadowMapSlot(R.ShadowMaps, MaxShadowMap, Item, Range, ValidCluster ? Cluster : -1);
  }

  // Slot summary.
  CountShadowMaps = 0;
  for (int32_t k = 0; k <= MaxShadowMap; ++k) {
    TZNT1RendererShadowMap& s = Slot(k);
    s.ToRender = false;
    if (s.CountCasters > 0) {
      s.Sphere = SphereFromAABB(s.AABB);
      ++CountShadowMaps;
    }
  }
  if (CountShadowMaps == 0) return;

  // Light placement and view.
  const TZNT1Vector3 Towards = Vector3Neg(R.LightDirection);
  TZNT1Vector3 ViewDirection =
      Vector3(-TranslatedViewMatrix.M[2][0], -TranslatedViewMatrix.M[2][1], -TranslatedViewMatrix.M[2][2]);
  Vector3Normalize(ViewDirection);
  for (int32_t k = 0; k <= MaxShadowMap; ++k) {
    TZNT1RendererShadowMap& s = Slot(k);
    if (s.CountCasters == 0) continue;
    s.LightRadius = std::max(s.LightRadius, 3.0f * s.Sphere.Radius);
    s.LightOrigin = Vector3Add(s.Sphere.Center, Vector3ScalarMul(Towards, s.LightRadius));
    s.LightDirection = Vector3Neg(Towards);
    s.ClipPlane.Normal = s.LightDirection;
    s.ClipPlane.Distance = Vector3Dot(s.ClipPlane.Normal, s.LightOrigin);
    s.ToRender = true;
    BitmapActive |= 1u << k;
    ShadowMapLightView(ViewDirection, s.LightDirection, s.AllCasterAABB, s.ModelViewMatrix, s.ProjectionMatrix,
                       s.ZNear, s.ZFar);
    Matrix4x4Mul(s.LightMatrix, s.ModelViewMatrix, s.ProjectionMatrix);
    if (!Matrix4x4Inverse(s.LightInvMatrix, s.LightMatrix)) s.LightInvMatrix = Matrix4x4Identity;
  }

  auto SetCasting = [&](const TZNT1RendererShadowMap& s, bool On) {
    for (int32_t i = 0; i < s.CountModelInstances; ++i) s.ModelInstances[size_t(i)]->CastShadowToProcess = On;
    for (int32_t i = 0; i < s.CountMapModels; ++i) s.MapModels[size_t(i)]->CastShadowToProcess = On;
  };
  for (int32_t i = 0; i < R.CountModelInstances; ++i)
    if (R.ModelInstances[size_t(i)]) R.ModelInstances[size_t(i)]->CastShadowToProcess = false;
  for (int32_t m = 1; m < CountMapModels; ++m) BSP->BSPMapModels[size_t(m)].CastShadowToProcess = false;

  // Rendering.
  for (int32_t k = 0; k <= MaxShadowMap; ++k) {
    TZNT1RendererShadowMap& s = Slot(k);
    if (s.CountCasters == 0 || !s.ToRender) continue;
    SetCasting(s, true);
    s.LightPosition = R.LightPosition;
    s.LightRadius = R.LightRadius;
    ShadowMapViewMatrix = s.ModelViewMatrix;
    ShadowMapProjectionMatrix = s.ProjectionMatrix;
    ShadowMapZBias = s.ZBias;
    ShadowMapZNear = s.ZNear;
    ShadowMapZFar = s.ZFar;
    ShadowMapLightOrigin = s.LightOrigin;
    ShadowMapLightPosition = s.LightPosition;
    ShadowMapLightDirection = s.LightDirection;
    ShadowMapLightRadius = s.LightRadius;
    ShadowMapLightInvRadius = ShadowMapLightRadius != 0.0f ? 1.0f / ShadowMapLightRadius : 0.0f;
    ShadowMapLightMatrix = s.LightMatrix;
    ShadowMapLightInvMatrix = s.LightInvMatrix;
    ShadowMapAABB = s.AllCasterAABB;
    ShadowMapLightAABB = AABBCombine(s.AllCasterAABB, s.AllReceiverAABB);
    // The shadow context draws into the slot's own target for the while.
    TZNT1RendererContext* N = R.ShadowMapContext.get();
    const bool Direct = N && s.FrameBufferObject;
    if (Direct) std::swap(N->FrameBufferObject, s.FrameBufferObject);
    RenderShadowMap(false, false, true);
    if (Direct) std::swap(N->FrameBufferObject, s.FrameBufferObject);
    if (HasShadowReceivers) {
      R.IncrementLinkCounter();
    } else {
      s.ToRender = false;
      BitmapActive &= ~(1u << k);
    }
    SetCasting(s, false);
  }
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  R.GLCalls++;
  AllModelShadowMapBitmap = BitmapActive;
}

void TZNT1RendererContext::RenderShadowMap(bool DoCubeMap, bool DoBlur, bool DoIgnoreBSP) {
  TZNT1Renderer& R = *Renderer;
  R.IncrementLinkCounter();
  R.IncrementVisibleFrame();
  TZNT1RendererContext* N = DoCubeMap ? R.ShadowCubeMapContext.get() : R.ShadowMapContext.get();
  if (!N) return;
  N->Portal = false;
  N->CheckFrameBufferObject();
  N->TranslatedViewMatrix = TranslatedViewMatrix;
  N->ViewMatrix = ViewMatrix;
  N->ProjectionMatrix = ProjectionMatrix;
  N->FOV = FOV;
  N->RenderPosition = RenderPosition;
  N->CanvasWidth = R.ShadowMapWidth;
  N->CanvasHeight = R.ShadowMapHeight;
  N->ViewPortLeft = 0;
  N->ViewPortTop = 0;
  N->ViewPortRight = R.ShadowMapWidth;
  N->ViewPortBottom = R.ShadowMapHeight;
  N->Clip2D = false;
  N->StencilUsed = true;
  N->ContextTask = DoCubeMap ? ctSHADOWCUBEMAP : ctSHADOWMAP;
  N->ShadowMapAABB = ShadowMapAABB;
  N->ShadowMapViewOrigin = RenderPosition;
  N->ShadowMapLightOrigin = ShadowMapLightOrigin;
  N->ShadowMapLightPosition = ShadowMapLightPosition;
  N->ShadowMapLightDirection = ShadowMapLightDirection;
  N->ShadowMapLightAABB = ShadowMapLightAABB;
  N->ShadowMapLightInvRadius = ShadowMapLightInvRadius;
  N->ShadowMapLightRadius = ShadowMapLightRadius;
  N->ShadowMapViewMatrix = ShadowMapViewMatrix;
  N->ShadowMapProjectionMatrix = ShadowMapProjectionMatrix;
  N->ShadowMapZBias = ShadowMapZBias;
  N->ShadowMapZNear = ShadowMapZNear;
  N->ShadowMapZFar = ShadowMapZFar;
  N->ShadowMapIgnoreBSP = DoIgnoreBSP;
  N->CheckFrameBufferObject();
  TZNT1FrameBufferObject* T = N->FrameBufferObject.get();
  if (!T) return;
  auto Begin = [&] {
    glBindFramebuffer(GL_FRAMEBUFFER, T->FrameBuffer);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glViewport(0, 0, T->Width, T->Height);
    glClearDepth(1.0);
    glClearStencil(0);
    glClearColor(1, 1, 1, 1);
    R.GLCalls += 6;
    State->SetDepthMask(true);
  };
  const bool SinglePassCube = Engine->GLCapabilities && Engine->GLCapabilities->UseSinglePassShadowCubeMaps;
  if (!DoCubeMap && TwoChannel(Engine)) {
    Begin();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glColorMask(GL_TRUE, GL_FALSE, GL_FALSE, GL_FALSE);
    R.GLCalls += 2;
    N->ShadowMapPass = 1;
    N->Render(-1);
    glBindFramebuffer(GL_FRAMEBUFFER, T->FrameBuffer);
    glColorMask(GL_FALSE, GL_TRUE, GL_FALSE, GL_FALSE);
    State->SetDepthMask(true);
    glClear(GL_DEPTH_BUFFER_BIT);
    R.GLCalls += 3;
    N->ShadowMapPass = 2;
    N->Render(-1);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    R.GLCalls++;
  } else if (!DoCubeMap) {
    Begin();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    R.GLCalls++;
    N->ShadowMapPass = 0;
    N->Render(-1);
  } else {
    if (!(ContextTask == ctSHADOWCUBEMAP && !SinglePassCube)) {
      Begin();
      glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
      R.GLCalls++;
    }
    N->ShadowMapPass = 0;
    N->Render(-1);
  }
  R.IncrementLinkCounter();
  R.IncrementVisibleFrame();
  TZNT1GLSLShaders* Shaders = Engine->GLSLShaders.get();
  if (DoBlur && !DoCubeMap && N->TempFrameBufferObject && Shaders) {
    TZNT1FrameBufferObject* Temp = N->TempFrameBufferObject.get();
    auto Blur = [&](TZNT1FrameBufferObject* Target, uint32_t Source, float sx, float sy) {
      glBindFramebuffer(GL_FRAMEBUFFER, Target->FrameBuffer);
      glViewport(0, 0, Target->Width, Target->Height);
      glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
      R.GLCalls += 3;
      State->Disable(GL_DEPTH_TEST);
      State->Disable(GL_CULL_FACE);
      State->Disable(GL_BLEND);
      TZNT1GLSLShader* P = Shaders->DefaultGLSLBlurShader;
      if (!State->UseShader(P)) return;
      State->BindTexture(GL_TEXTURE2, Source, GL_TEXTURE_2D);
      if (P->uTex0 >= 0) glUniform1i(P->uTex0, 2);
      if (P->uScale >= 0) glUniform2f(P->uScale, sx, sy);
      R.GLCalls += 2;
      ScreenPass();
    };
    Blur(Temp, T->TextureHandles[0], ShadowMapBlurDiv / float(T->Width), 0);
    Blur(T, Temp->TextureHandles[0], 0, 1.0f / float(Temp->Height));
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    R.GLCalls++;
    R.IncrementLinkCounter();
  }
}

// ---------------------------------------------------------------------------------------------
// Light and shadow prepass

void TZNT1RendererContext::ScreenPass() {
  const TZNT1VBO* Quad = Renderer->QuadVBO.get();
  if (!Quad) return;
  State->BindSingleVBO(uint32_t(Quad->VerticesVBOHandle), uint32_t(Quad->IndicesVBOHandle), 0, 0);
  RendererGL.DrawElements(GL_TRIANGLES, Quad->CountIndices, GL_UNSIGNED_INT, nullptr);
  Renderer->GLCalls++;
}

void TZNT1RendererContext::BindTarget(TZNT1FrameBufferObject* Target) {
  glBindFramebuffer(GL_FRAMEBUFFER, Target ? Target->FrameBuffer : 0);
  if (Target) glViewport(0, 0, Target->Width, Target->Height);
  Renderer->GLCalls += Target ? 2 : 1;
}

namespace {

void SetSampler(TZNT1RendererState& State, TZNT1Renderer& R, int32_t Location, uint32_t Unit, uint32_t Handle,
                uint32_t Type = GL_TEXTURE_2D) {
  State.BindTexture(GL_TEXTURE0 + Unit, Handle, Type);
  if (Location >= 0) {
    glUniform1i(Location, GLint(Unit));
    R.GLCalls++;
  }
}

// Rect := the smallest rectangle (x, y, width, height) holding both; an empty one adds nothing.
void UniteRect(int32_t (&Rect)[4], const int32_t (&Other)[4]) {
  if (Other[2] <= 0 || Other[3] <= 0) return;
  if (Rect[2] <= 0 || Rect[3] <= 0) {
    std::copy_n(Other, 4, Rect);
    return;
  }
  const int32_t x1 = std::max(Rect[0] + Rect[2], Other[0] + Other[2]), y1 = std::max(Rect[1] + Rect[3], Other[1] + Other[3]);
  Rect[0] = std::min(Rect[0], Other[0]);
  Rect[1] = std::min(Rect[1], Other[1]);
  Rect[2] = x1 - Rect[0];
  Rect[3] = y1 - Rect[1];
}

void SetMatrix(TZNT1Renderer& R, int32_t Location, const TZNT1Matrix4x4& m) {
  if (Location < 0) return;
  glUniformMatrix4fv(Location, 1, GL_FALSE, &m.M[0][0]);
  R.GLCalls++;
}

void SetFloat(TZNT1Renderer& R, int32_t Location, float v) {
  if (Location < 0) return;
  glUniform1f(Location, v);
  R.GLCalls++;
}

void SetVec2(TZNT1Renderer& R, int32_t Location, float x, float y) {
  if (Location < 0) return;
  glUniform2f(Location, x, y);
  R.GLCalls++;
}

void SetVec3(TZNT1Renderer& R, int32_t Location, const TZNT1Vector3& v) {
  if (Location < 0) return;
  glUniform3f(Location, v.x, v.y, v.z);
  R.GLCalls++;
}

void SetVec4(TZNT1Renderer& R, int32_t Location, float x, float y, float z, float w) {
  if (Location < 0) return;
  glUniform4f(Location, x, y, z, w);
  R.GLCalls++;
}

}  // namespace

void TZNT1RendererContext::SetViewUniforms(TZNT1GLSLShader* P) {
  TZNT1Renderer& R = *Renderer;
  SetFloat(R, P->uShadowMapInvScale, 1.0f / float(std::max(1, std::max(R.ShadowMapWidth, R.ShadowMapHeight))));
  SetFloat(R, P->uWorldSpaceRadius, R.WorldSpaceRadius);
  SetMatrix(R, P->uInverseViewMatrix, InverseViewMatrix);
  SetMatrix(R, P->uInverseProjectionMatrix, InverseProjectionMatrix);
  SetMatrix(R, P->uInverseViewProjectionMatrix, InverseViewProjectionMatrix);
  const TZNT1RendererContext& c = Parent ? *Parent : *this;
  SetVec2(R, P->uClippingDistances, c.NearClippingDistance, c.FarClippingDistance);
}

void TZNT1RendererContext::SetShadowFillUniforms(TZNT1GLSLShader* P) {
  TZNT1Renderer& R = *Renderer;
  const TZNT1RendererContext* Fill = R.GeometryFillContext.get();
  const TZNT1FrameBufferObject* G = Fill ? Fill->FrameBufferObject.get() : nullptr;
  SetSampler(*State, R, P->uTex0, 2, G ? G->TextureHandles[0] : 0);
  SetSampler(*State, R, P->uTex1, 3, G && G->Textures > 1 ? G->TextureHandles[1] : 0);
  const TZNT1Texture* White = Engine->Textures ? Engine->Textures->WhiteTexture : nullptr;
  for (int32_t i = 0; i < ShadowMapQueueCount && i < 4; ++i) {
    const TZNT1RendererShadowMap& s = *ShadowMapQueue[i];
    const uint32_t Handle =
        s.FrameBufferObject ? s.FrameBufferObject->TextureHandles[0] : (White ? uint32_t(White->Handle) : 0u);
    SetSampler(*State, R, P->uShadowMapTexArray[i], uint32_t(4 + i), Handle);
    SetMatrix(R, P->uShadowMapViewMatrixArray[i], s.ModelViewMatrix);
    SetMatrix(R, P->uShadowMapLightMatrixArray[i], s.LightMatrix);
    const auto& M = s.LightInvMatrix.M;
    SetVec4(R, P->uShadowMapLightInvMatrixRow2Array[i], M[0][2], M[1][2], M[2][2], M[3][2]);
    SetVec4(R, P->uShadowMapLightInvMatrixRow3Array[i], M[0][3], M[1][3], M[2][3], M[3][3]);
    SetVec3(R, P->uShadowMapLightOriginArray[i], s.LightOrigin);
    SetVec3(R, P->uShadowMapLightPositionArray[i], s.LightPosition);
    SetVec4(R, P->uShadowMapLightDirectionArray[i], s.LightDirection.x, s.LightDirection.y, s.LightDirection.z, -1);
    SetFloat(R, P->uShadowMapLightInvRadiusArray[i], s.LightRadius != 0.0f ? 1.0f / s.LightRadius : 0.0f);
    SetFloat(R, P->uShadowMapLightRadiusArray[i], s.LightRadius);
    SetFloat(R, P->uShadowMapZBiasArray[i], s.ZBias);
    SetFloat(R, P->uShadowMapZNearArray[i], s.ZNear);
    SetFloat(R, P->uShadowMapZFarArray[i], s.ZFar);
  }
  SetViewUniforms(P);
}

void TZNT1RendererContext::RenderLightAndShadowPrepass() {
  TZNT1Renderer& R = *Renderer;
  FillGlobalShadowBuffer();
  TZNT1GLSLShaders* Shaders = Engine->GLSLShaders.get();
  TZNT1FrameBufferObject* Light = R.LightBufferFrameBufferObject.get();
  if (TwoChannel(Engine) && Light && R.ShadowBufferFrameBufferObject) {
    PostprocessShadowBuffer(R.LightRadius);
    glBindFramebuffer(GL_FRAMEBUFFER, Light->FrameBuffer);
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    glViewport(ViewPortLeft, ViewPortTop, ViewPortRight, ViewPortBottom);
    glClearColor(0, 0, 0, 0);
    glClearDepth(1.0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_TRUE);
    R.GLCalls += 7;
    State->Disable(GL_BLEND);
    TZNT1GLSLShader* P = Shaders ? Shaders->DefaultGLSLGlobalShadowCopyShader : nullptr;
    if (State->UseShader(P)) {
      SetSampler(*State, R, P->uTex0, 2, R.ShadowBufferFrameBufferObject->TextureHandles[0]);
      ScreenPass();
    }
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    R.GLCalls++;
    R.IncrementLinkCounter();
  }
  for (int32_t i = 0; i < R.CountModelInstances; ++i)
    if (TZNT1ModelInstance* m = R.ModelInstances[size_t(i)]) m->CastShadowToProcess = m->CastShadow;
  if (BSP) {
    const int32_t CountMapModels = std::min<int32_t>(BSP->CountBSPModels, int32_t(BSP->BSPMapModels.size()));
    for (int32_t m = 1; m < CountMapModels; ++m) BSP->BSPMapModels[size_t(m)].CastShadowToProcess = true;
  }
  MarkRendererStage("lights", CurrentContextIndex);
  for (int32_t i = 0; i < R.CountLights; ++i) {
    const TZNT1RendererLight& L = R.Lights[size_t(i)];
    TZNT1Sphere Sphere;
    Sphere.Center = L.Position;
    Sphere.Radius = L.Radius;
    ShadowMapAABB = AABBFromSphere(Sphere);
    if (!LightInView(L)) continue;
    ShadowMapZBias = 0;
    ShadowMapZNear = 0.1f;
    ShadowMapZFar = 2.0f * L.Radius;
    ShadowMapViewMatrix = Matrix4x4Identity;
    Matrix4x4Perspective(ShadowMapProjectionMatrix, 90,
                         float(R.ShadowMapWidth) / float(std::max(1, R.ShadowMapHeight)), 0.1f, 2.0f * L.Radius);
    ShadowMapLightOrigin = L.Position;
    ShadowMapLightPosition = L.Position;
    ShadowMapLightDirection = L.Direction;
    ShadowMapLightRadius = L.Radius;
    ShadowMapLightInvRadius = L.Radius != 0.0f ? 1.0f / L.Radius : 0.0f;
    Matrix4x4Mul(ShadowMapLightMatrix, ShadowMapViewMatrix, ShadowMapProjectionMatrix);
    if (!Matrix4x4Inverse(ShadowMapLightInvMatrix, ShadowMapLightMatrix)) ShadowMapLightInvMatrix = Matrix4x4Identity;
    ShadowMapLightAABB = ShadowMapAABB;
    State->Disable(GL_BLEND);
    State->Enable(GL_DEPTH_TEST);
    RenderShadowMap(true, false, false);
    if (!Light) continue;
    glBindFramebuffer(GL_FRAMEBUFFER, Light->FrameBuffer);
    glDrawBuffers(Light->Textures, DrawBuffers);
    glViewport(ViewPortLeft, ViewPortTop, ViewPortRight, ViewPortBottom);
    R.GLCalls += 3;
    State->Disable(GL_DEPTH_TEST);
    State->Enable(GL_BLEND);
    State->SetBlendEquation(GL_FUNC_ADD);
    State->SetBlendFunc(GL_ONE, GL_ONE);
    FlushLight(&L);
  }
  State->Disable(GL_BLEND);
  glDrawBuffer(GL_COLOR_ATTACHMENT0);
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  R.GLCalls += 2;
  R.IncrementLinkCounter();
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  R.GLCalls++;
}

bool TZNT1RendererContext::LightInView(const TZNT1RendererLight& Light) const {
  TZNT1Sphere Sphere;
  Sphere.Center = Light.Position;
  Sphere.Radius = Light.Radius;
  return Frustum->SphereInFrustum(Sphere, 2.0f * Light.Radius + 256.0f) != COMPLETE_OUT;
}

bool TZNT1RendererContext::PrepassReadsGeometryFill() const {
  if (AllModelShadowMapBitmap != 0) return true;
  for (int32_t i = 0; i < Renderer->CountLights; ++i)
    if (LightInView(Renderer->Lights[size_t(i)])) return true;
  return false;
}

void TZNT1RendererContext::FillGlobalShadowBuffer() {
  TZNT1Renderer& R = *Renderer;
  const bool Two = TwoChannel(Engine);
  TZNT1FrameBufferObject* Target = Two ? R.ShadowBufferFrameBufferObject.get() : R.LightBufferFrameBufferObject.get();
  if (!Target) return;
  glBindFramebuffer(GL_FRAMEBUFFER, Target->FrameBuffer);
  glDrawBuffer(GL_COLOR_ATTACHMENT0);
  glViewport(ViewPortLeft, ViewPortTop, ViewPortRight, ViewPortBottom);
  if (Two)
    glClearColor(0, 1, 1, 0);
  else
    glClearColor(0, 0, 0, 0);
  glClearDepth(1.0);
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  R.GLCalls += 7;
  const int32_t Max = Engine->GLSLShaders ? Engine->GLSLShaders->MaxShadowMapCountAtOnce : 0;
  if (Max <= 0) return;
  if (!Two) {
    glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_TRUE);
    R.GLCalls++;
  }
  glDepthMask(GL_FALSE);
  R.GLCalls++;
  State->SetDepthMask(false);
  State->Disable(GL_DEPTH_TEST);
  if (!Two) {
    State->Enable(GL_BLEND);
    State->SetBlendEquation(GL_MAX);
    State->SetBlendFunc(GL_ONE, GL_ONE);
  }
  // The single-channel passes run only where the finished slots' shadows can fall: each batch
  // within its slots' reach on screen, and on the pixels in their regions.
  // Bounded only for single-channel shadows with a finished slot (see Render).
  const TZNT1ShadowRegions& Regions = ShadowRegions;
  const bool Bounded = ShadowRegionsBounded;
  if (Bounded) {
    State->Enable(GL_SCISSOR_TEST);
    glScissor(Regions.Scissor[0], Regions.Scissor[1], Regions.Scissor[2], Regions.Scissor[3]);
    R.GLCalls++;
  }
  MarkRendererStage("shadow mask", CurrentContextIndex);
  const bool Masked = Bounded && MarkShadowRegions(*Target);
  MarkRendererStage("shadow fill", CurrentContextIndex);
  uint32_t Bitmap = AllModelShadowMapBitmap;
  ShadowMapQueueCount = 0;
  bool First = true;
  // With the later passes' regions apart (bit 6), the first pass runs on its own and the overlay.
  const TZNT1RendererContext* Fill = R.GeometryFillContext.get();
  const bool Split = Masked && Fill && Fill->ShadowVolumesSplit;
  int32_t Passes = 0;
  auto Flush = [&] {
    if (Two) {
      const bool Had = ShadowMapQueueCount > 0;
      FlushShadowMapQueueEx(First);
      if (Had) First = false;
    } else {
      if (Bounded && ShadowMapQueueCount > 0) {
        int32_t Rect[4] = {ViewPortLeft, ViewPortTop, 0, 0};
        for (int32_t i = 0; i < ShadowMapQueueCount; ++i)
          for (int32_t k = 0; k < MaxShadowMaps; ++k)
            if (R.ShadowMaps[size_t(k)].get() == ShadowMapQueue[i]) UniteRect(Rect, Regions.SlotScissor[k]);
        glScissor(Rect[0], Rect[1], Rect[2], Rect[3]);
        R.GLCalls++;
        if (Split) {
          glStencilFunc(GL_NOTEQUAL, 0, Passes == 0 ? 0xBF : 0xC0);
          R.GLCalls++;
        }
        ++Passes;
      }
      FlushShadowMapQueue();
    }
  };
  for (int32_t k = 0; k < MaxShadowMaps && Bitmap != 0; ++k) {
    if (!(Bitmap & (1u << k))) continue;
    Bitmap &= ~(1u << k);
    TZNT1RendererShadowMap* s = R.ShadowMaps[size_t(k)].get();
    if (s && s->ToRender) {
      ShadowMapQueue[ShadowMapQueueCount++] = s;
      if (ShadowMapQueueCount >= Max) Flush();
    }
  }
  Flush();
  if (Masked) {
    State->Disable(GL_STENCIL_TEST);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER, 0);
    ++R.GLCalls;
  }
  if (Bounded) State->Disable(GL_SCISSOR_TEST);
}

namespace {

// Whether drawing with the material, its remaps or its chain moves vertices; walks too long for
// any real chain count as moving them.
bool DeformsVertices(const TZNT1Shader* Shader) {
  int32_t Steps = 0;
  for (const TZNT1Shader* Head = Shader; Head; Head = Head->NextShader) {
    for (const TZNT1Shader* r = Head; r; r = r->RemappedShader) {
      if (r->NumDeformations > 0 || ++Steps > 32) return true;
      if (r->RemappedShader == Head) break;
    }
    if (Head->NextShader == Shader) break;
  }
  return false;
}

// The world box holding what a caster of the slot draws into its map, when one is known.
bool CasterBox(const TZNT1ModelInstance& Instance, TZNT1AABB& Box) {
  const TZNT1Model* Model = Instance.Model;
  if (!Model || !(Model->FrameBoxReach >= 0.0f)) return false;
  for (const TZNT1ModelMesh& Mesh : Model->Meshs)
    if (Instance.Skin >= 0 && size_t(Instance.Skin) < Mesh.Skins.size() && DeformsVertices(Mesh.Skins[size_t(Instance.Skin)]))
      return false;
  // The frame boxes, blended as the frames are, hold the geometry but for the model's reach,
  // which the instance's transform scales.
  const auto& m = Instance.ViewTransform.M;
  float Scale = 0.0f;
  for (int r = 0; r < 3; ++r) Scale = std::max(Scale, std::sqrt(m[r][0] * m[r][0] + m[r][1] * m[r][1] + m[r][2] * m[r][2]));
  const float Reach = Model->FrameBoxReach * Scale + 0.5f;
  Box.Min = Vector3Sub(Instance.ViewAABB.Min, Vector3(Reach, Reach, Reach));
  Box.Max = Vector3Add(Instance.ViewAABB.Max, Vector3(Reach, Reach, Reach));
  return std::isfinite(Box.Min.x + Box.Min.y + Box.Min.z + Box.Max.x + Box.Max.y + Box.Max.z);
}

// The area a light-view box covers across the light.
float LightArea(const TZNT1AABB& b) { return (b.Max.x - b.Min.x) * (b.Max.y - b.Min.y); }

}  // namespace

bool TZNT1RendererContext::ShadowRegionScreenRect(const TZNT1Matrix4x4& LightView, const TZNT1AABB& Box,
                                                  int32_t (&Rect)[4]) const {
  const int32_t vx = ViewPortLeft, vy = ViewPortTop, vw = ViewPortRight, vh = ViewPortBottom;
  Rect[0] = vx;
  Rect[1] = vy;
  Rect[2] = Rect[3] = 0;
  if (!(Box.Min.x <= Box.Max.x && Box.Min.y <= Box.Max.y && Box.Min.z <= Box.Max.z)) return false;
  // The box's corners, and where its edges cross the near plane, in front of it.
  TZNT1Vector4 c[8];
  for (int i = 0; i < 8; ++i) {
    const TZNT1Vector3 l = Vector3((i & 1) ? Box.Max.x : Box.Min.x, (i & 2) ? Box.Max.y : Box.Min.y,
                                   (i & 4) ? Box.Max.z : Box.Min.z);
    // The light view is a rotation: its transpose takes the corner back to the world.
    const auto& m = LightView.M;
    c[i] = Vector4(l.x * m[0][0] + l.y * m[0][1] + l.z * m[0][2], l.x * m[1][0] + l.y * m[1][1] + l.z * m[1][2],
                   l.x * m[2][0] + l.y * m[2][1] + l.z * m[2][2], 1.0f);
    Vector4MatrixMul(c[i], ViewProjectionMatrix);
  }
  float x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
  auto Take = [&](const TZNT1Vector4& p) {
    x0 = std::min(x0, p.x / p.w);
    x1 = std::max(x1, p.x / p.w);
    y0 = std::min(y0, p.y / p.w);
    y1 = std::max(y1, p.y / p.w);
  };
  for (int i = 0; i < 8; ++i) {
    const float di = c[i].z + c[i].w;
    if (di >= 0.0f) Take(c[i]);
    for (int b = 1; b < 8; b <<= 1) {
      const int j = i | b;
      const float dj = c[j].z + c[j].w;
      if (j == i || (di >= 0.0f) == (dj >= 0.0f)) continue;
      const float t = di / (di - dj);
      Take(Vector4(c[i].x + (c[j].x - c[i].x) * t, c[i].y + (c[j].y - c[i].y) * t, 0.0f, c[i].w + (c[j].w - c[i].w) * t));
    }
  }
  // Whole pixels, a pixel wider on each side, within the viewport.
  const float px0 = std::max(std::floor(float(vx) + (x0 + 1.0f) * 0.5f * float(vw)) - 1.0f, float(vx));
  const float px1 = std::min(std::ceil(float(vx) + (x1 + 1.0f) * 0.5f * float(vw)) + 1.0f, float(vx + vw));
  const float py0 = std::max(std::floor(float(vy) + (y0 + 1.0f) * 0.5f * float(vh)) - 1.0f, float(vy));
  const float py1 = std::min(std::ceil(float(vy) + (y1 + 1.0f) * 0.5f * float(vh)) + 1.0f, float(vy + vh));
  if (!(px0 < px1 && py0 < py1)) return false;  // behind the near plane or beside the view
  Rect[0] = int32_t(px0);
  Rect[1] = int32_t(py0);
  Rect[2] = int32_t(px1) - Rect[0];
  Rect[3] = int32_t(py1) - Rect[1];
  return true;
}

bool TZNT1RendererContext::GatherShadowRegions(TZNT1ShadowRegions& Regions) const {
  const TZNT1Renderer& R = *Renderer;
  if (!BSP || !R.BoundShadowPasses) return false;
  Regions = TZNT1ShadowRegions{};
  Regions.Scissor[0] = ViewPortLeft;
  Regions.Scissor[1] = ViewPortTop;
  const int32_t Size = std::max(R.ShadowMapWidth, R.ShadowMapHeight);
  constexpr int32_t MaxBoxes = TZNT1ShadowRegions::MaxBoxes;
  // A far slot gathers every item across the map; their boxes, joined, still bound far less than
  // the slot's whole footprint.
  constexpr int32_t MaxCasterBoxes = 64;
  // The fill passes take the finished slots in order, so many at once.
  const int32_t PerPass = Engine->GLSLShaders ? std::max(1, Engine->GLSLShaders->MaxShadowMapCountAtOnce) : 1;
  int32_t Finished = 0;
  for (int32_t k = 0; k < MaxShadowMaps; ++k) {
    int32_t(&SlotRect)[4] = Regions.SlotScissor[k];
    SlotRect[0] = ViewPortLeft;
    SlotRect[1] = ViewPortTop;
    const TZNT1RendererShadowMap* s = R.ShadowMaps[size_t(k)].get();
    if (!s || !(AllModelShadowMapBitmap & (1u << k)) || !s->ToRender) continue;
    // The slots of one view share their light view.
    if (Regions.LightView && std::memcmp(Regions.LightView, &s->ModelViewMatrix, sizeof(TZNT1Matrix4x4)) != 0)
      return false;
    Regions.LightView = &s->ModelViewMatrix;
    const uint8_t Pass = Finished++ < PerPass ? 1 : 2;
    // A region per caster whose geometry its box holds, else one for the whole slot.
    TZNT1AABB Boxes[MaxCasterBoxes];
    int32_t n = 0;
    bool Whole = s->CountMapModels > 0 || s->CountModelInstances > MaxCasterBoxes;
    for (int32_t i = 0; i < s->CountModelInstances && !Whole; ++i) {
      const TZNT1ModelInstance* Instance = s->ModelInstances[size_t(i)];
      TZNT1AABB Box;
      if (!Instance || !Instance->CastShadow) continue;
      if (!CasterBox(*Instance, Box) || !ShadowMapRegion(*s, BSP->WorldAABB, Size, &Box, Boxes[n])) Whole = true;
      ++n;
    }
    if (Whole) {
      n = 1;
      if (!ShadowMapRegion(*s, BSP->WorldAABB, Size, nullptr, Boxes[0])) return false;
    }
    // Boxes that overlap much (the parts of one body) are tested as one.
    for (bool Joined = true; Joined;) {
      Joined = false;
      for (int32_t i = 0; i < n && !Joined; ++i)
        for (int32_t j = i + 1; j < n && !Joined; ++j) {
          const TZNT1AABB u = AABBCombine(Boxes[i], Boxes[j]);
          if (LightArea(u) <= 1.25f * (LightArea(Boxes[i]) + LightArea(Boxes[j]))) {
            Boxes[i] = u;
            Boxes[j] = Boxes[--n];
            Joined = true;
          }
        }
    }
    for (int32_t i = 0; i < n; ++i) {
      int32_t Rect[4];
      if (!ShadowRegionScreenRect(*Regions.LightView, Boxes[i], Rect)) continue;
      UniteRect(SlotRect, Rect);
      // Past the mask's room, a box joins the one it enlarges least.
      if (Regions.Count == MaxBoxes) {
        int32_t Best = 0;
        float Least = INFINITY;
        for (int32_t j = 0; j < Regions.Count; ++j) {
          const float Growth = LightArea(AABBCombine(Regions.Boxes[j], Boxes[i])) - LightArea(Regions.Boxes[j]);
          if (Growth < Least) {
            Least = Growth;
            Best = j;
          }
        }
        Regions.Boxes[Best] = AABBCombine(Regions.Boxes[Best], Boxes[i]);
        Regions.Passes[Best] |= Pass;
        continue;
      }
      Regions.Passes[Regions.Count] = Pass;
      Regions.Boxes[Regions.Count++] = Boxes[i];
    }
    UniteRect(Regions.Scissor, SlotRect);
  }
  return true;
}

bool TZNT1RendererContext::TwoChannelShadows() const { return TwoChannel(Engine); }

void TZNT1RendererContext::CountShadowVolumes(const TZNT1ShadowRegions& Regions) {
  TZNT1Renderer& R = *Renderer;
  TZNT1GLSLShaders* Shaders = Engine->GLSLShaders.get();
  TZNT1GLSLShader* P = Shaders ? Shaders->DefaultGLSLZPrepassShader : nullptr;
  if (!Regions.LightView || Regions.Count <= 0 || !P || P->ProgramHandle <= 0 || !State->UseShader(P)) return;

  // The faces of each box in the world, those facing the viewer apart from the others; the boxes of
  // the later passes alone first when some are, then the others.
  bool Split = false;
  for (int32_t b = 0; b < Regions.Count; ++b) Split |= Regions.Passes[b] == 2;
  std::vector<TZNT1VBOVertex>& Vertices = R.ShadowVolumeVertices[0];
  std::vector<TZNT1VBOVertex>& Back = R.ShadowVolumeVertices[1];
  Vertices.clear();
  const auto& m = Regions.LightView->M;
  auto World = [&m](float x, float y, float z) {
    // The light view is a rotation: its transpose takes a point back to the world.
    return Vector3(x * m[0][0] + y * m[0][1] + z * m[0][2], x * m[1][0] + y * m[1][1] + z * m[1][2],
                   x * m[2][0] + y * m[2][1] + z * m[2][2]);
  };
  static constexpr int Faces[6][4] = {{0, 2, 6, 4}, {1, 3, 7, 5}, {0, 1, 5, 4}, {2, 3, 7, 6}, {0, 1, 3, 2}, {4, 5, 7, 6}};
  // Per phase: where its front faces start, its back faces, and its end.
  GLsizei Ranges[2][3] = {};
  for (int Phase = Split ? 0 : 1; Phase < 2; ++Phase) {
    Back.clear();
    Ranges[Phase][0] = GLsizei(Vertices.size());
    for (int32_t b = 0; b < Regions.Count; ++b) {
      if (Split && (Regions.Passes[b] & (Phase == 0 ? 2 : 1)) == 0) continue;
      const TZNT1AABB& Box = Regions.Boxes[b];
      TZNT1Vector3 c[8];
      for (int i = 0; i < 8; ++i)
        c[i] = World((i & 1) ? Box.Max.x : Box.Min.x, (i & 2) ? Box.Max.y : Box.Min.y, (i & 4) ? Box.Max.z : Box.Min.z);
      const TZNT1Vector3 Centre = Vector3Avg(c[0], c[7]);
      for (const auto& f : Faces) {
        const TZNT1Vector3 Mid = Vector3Avg(Vector3Avg(c[f[0]], c[f[2]]), Vector3Avg(c[f[1]], c[f[3]]));
        const bool Facing = Vector3Dot(Vector3Sub(RenderPosition, Mid), Vector3Sub(Mid, Centre)) > 0.0f;
        std::vector<TZNT1VBOVertex>& List = Facing ? Vertices : Back;
        for (int k : {0, 1, 2, 0, 2, 3}) {
          TZNT1VBOVertex v{};
          v.Position = c[f[k]];
          List.push_back(v);
        }
      }
    }
    Ranges[Phase][1] = GLsizei(Vertices.size());
    Vertices.insert(Vertices.end(), Back.begin(), Back.end());
    Ranges[Phase][2] = GLsizei(Vertices.size());
  }
  // A quad over the view, in clip space, to turn the first phase's counts into bit 6.
  const GLsizei Quad = GLsizei(Vertices.size());
  if (Split)
    for (int k : {0, 1, 2, 0, 2, 3}) {
      TZNT1VBOVertex v{};
      v.Position = Vector3((k == 1 || k == 2) ? 1.0f : -1.0f, k >= 2 ? 1.0f : -1.0f, 0.0f);
      Vertices.push_back(v);
    }
  if (!R.ShadowVolumeBuffer) glGenBuffers(1, &R.ShadowVolumeBuffer);
  State->BindSingleVBO(R.ShadowVolumeBuffer, 0, 0, 0);
  glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(Vertices.size() * sizeof(TZNT1VBOVertex)), Vertices.data(), GL_STREAM_DRAW);
  SetMatrix(R, P->uModelMatrix, Matrix4x4Identity);
  SetMatrix(R, P->uViewMatrix, TranslatedViewMatrix);
  SetMatrix(R, P->uProjectionMatrix, ProjectionMatrix);

  // A pixel whose point lies within a box sees that box's far side at or behind the point and its
  // near side (when it has one before the viewer) in front of it: counting far sides less near
  // sides at or behind the point leaves a non-zero count only within the boxes. Where the count
  // and the regions' own bounds could disagree, at their edges, the shadows are nil.
  // The fill's own state comes back after.
  const int32_t DepthTest = State->CachedCapability(GL_DEPTH_TEST), Cull = State->CachedCapability(GL_CULL_FACE),
                Offset = State->CachedCapability(GL_POLYGON_OFFSET_FILL);
  const uint32_t DepthFunc = State->DepthFunc, DepthMask = State->DepthMask;
  glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
  glEnable(GL_DEPTH_CLAMP);
  State->SetDepthMask(false);
  State->SetDepthFunc(GL_GEQUAL);
  State->Disable(GL_CULL_FACE);
  State->Disable(GL_POLYGON_OFFSET_FILL);
  State->Enable(GL_STENCIL_TEST);
  R.GLCalls += 2;
  for (int Phase = Split ? 0 : 1; Phase < 2; ++Phase) {
    // The wrapping counts stay right within the written bits whatever the bits above hold.
    glStencilMask(Split && Phase == 1 ? 0x3F : 0x7F);
    glStencilFunc(GL_ALWAYS, 0, 0xFF);
    glStencilOp(GL_KEEP, GL_KEEP, GL_DECR_WRAP);
    State->Enable(GL_DEPTH_TEST);
    glDrawArrays(GL_TRIANGLES, Ranges[Phase][0], Ranges[Phase][1] - Ranges[Phase][0]);
    glStencilOp(GL_KEEP, GL_KEEP, GL_INCR_WRAP);
    glDrawArrays(GL_TRIANGLES, Ranges[Phase][1], Ranges[Phase][2] - Ranges[Phase][1]);
    R.GLCalls += 6;
    if (Phase == 0) {
      State->Disable(GL_DEPTH_TEST);
      SetMatrix(R, P->uViewMatrix, Matrix4x4Identity);
      SetMatrix(R, P->uProjectionMatrix, Matrix4x4Identity);
      glStencilFunc(GL_NOTEQUAL, 0x40, 0x3F);  // a count in the low bits: at most MaxBoxes
      glStencilOp(GL_KEEP, GL_KEEP, GL_REPLACE);
      glDrawArrays(GL_TRIANGLES, Quad, 6);
      SetMatrix(R, P->uViewMatrix, TranslatedViewMatrix);
      SetMatrix(R, P->uProjectionMatrix, ProjectionMatrix);
      R.GLCalls += 3;
    }
  }
  glDisable(GL_DEPTH_CLAMP);
  glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  R.GLCalls += 3;
  State->Disable(GL_STENCIL_TEST);
  State->RestoreCapability(GL_DEPTH_TEST, DepthTest);
  State->RestoreCapability(GL_CULL_FACE, Cull);
  State->RestoreCapability(GL_POLYGON_OFFSET_FILL, Offset);
  if (DepthFunc == GL_NEVER || (DepthFunc >= GL_LESS && DepthFunc <= GL_ALWAYS)) State->SetDepthFunc(DepthFunc);
  if (DepthMask == 0u || DepthMask == 0xFFFFFFFFu) State->SetDepthMask(DepthMask != 0u);
  ShadowVolumesCounted = true;
  ShadowVolumesSplit = Split;
  // The batches after this bind their own buffers and send their programs' uniforms again.
  ForgetBatchState();
  R.IncrementLinkCounter();
}

bool TZNT1RendererContext::MarkShadowRegions(TZNT1FrameBufferObject& Target) {
  TZNT1Renderer& R = *Renderer;
  const TZNT1RendererContext* Fill = R.GeometryFillContext.get();
  const TZNT1FrameBufferObject* G = Fill ? Fill->FrameBufferObject.get() : nullptr;
  if (!G || !Fill->ShadowVolumesCounted || G->DepthBuffer == 0 || G->Width != Target.Width ||
      G->Height != Target.Height)
    return false;
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER, G->DepthBuffer);
  glStencilMask(0xFF);
  glStencilFunc(GL_NOTEQUAL, 0, 0xFF);
  glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
  R.GLCalls += 4;
  State->Enable(GL_STENCIL_TEST);
  State->Disable(GL_DEPTH_TEST);
  return true;
}

void TZNT1RendererContext::FlushShadowMapQueue() {
  if (ShadowMapQueueCount <= 0) return;
  TZNT1GLSLShader* P = Engine->GLSLShaders->DefaultGLSLShadowFillShader[ShadowMapQueueCount - 1];
  if (State->UseShader(P)) {
    SetShadowFillUniforms(P);
    ScreenPass();
  }
  ShadowMapQueueCount = 0;
}

void TZNT1RendererContext::FlushShadowMapQueueEx(bool First) {
  if (ShadowMapQueueCount <= 0) return;
  TZNT1Renderer& R = *Renderer;
  TZNT1GLSLShaders* Shaders = Engine->GLSLShaders.get();
  TZNT1FrameBufferObject* Shadow = R.ShadowBufferFrameBufferObject.get();
  TZNT1FrameBufferObject* Temp0 = R.TempFloatRGBAFrameBufferObjects[0].get();
  TZNT1FrameBufferObject* Temp1 = R.TempFloatRGBAFrameBufferObjects[1].get();
  if (!Shadow || !Temp0 || !Temp1) {
    ShadowMapQueueCount = 0;
    return;
  }
  State->Disable(GL_DEPTH_TEST);
  State->Disable(GL_CULL_FACE);
  State->Disable(GL_BLEND);
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  R.GLCalls++;
  auto Copy = [&](TZNT1FrameBufferObject* Source) {
    TZNT1GLSLShader* P = Shaders->DefaultGLSLCopyShader;
    if (!State->UseShader(P)) return;
    SetSampler(*State, R, P->uTex0, 2, Source->TextureHandles[0]);
    ScreenPass();
  };
  if (!First) {
    BindTarget(Temp0);
    Copy(Shadow);
    R.IncrementLinkCounter();
  }
  BindTarget(Temp1);
  TZNT1GLSLShader* P = Shaders->DefaultGLSLShadowFillShader[ShadowMapQueueCount - 1];
  if (State->UseShader(P)) {
    SetShadowFillUniforms(P);
    SetFloat(R, P->uFocalLength, 1.0f / (2.0f * std::tan(FOV * 0.5f * float(DEG2RAD))));
    SetFloat(R, P->uLightRadius, R.LightRadius);
    SetFloat(R, P->uPenumbraScale, 0.00390625f);
    SetMatrix(R, P->uViewMatrix, TranslatedViewMatrix);
    ScreenPass();
  }
  R.IncrementLinkCounter();
  BindTarget(Shadow);
  if (First) {
    Copy(Temp1);
  } else {
    TZNT1GLSLShader* C = Shaders->DefaultGLSLShadowCombineShader;
    if (State->UseShader(C)) {
      SetSampler(*State, R, C->uTex0, 2, Temp0->TextureHandles[0]);
      SetSampler(*State, R, C->uTex1, 3, Temp1->TextureHandles[0]);
      ScreenPass();
    }
  }
  R.IncrementLinkCounter();
  ShadowMapQueueCount = 0;
}

void TZNT1RendererContext::PostprocessShadowBuffer(float) {
  TZNT1Renderer& R = *Renderer;
  TZNT1GLSLShaders* Shaders = Engine->GLSLShaders.get();
  TZNT1FrameBufferObject* Shadow = R.ShadowBufferFrameBufferObject.get();
  TZNT1FrameBufferObject* Temp1 = R.TempFloatRGBAFrameBufferObjects[1].get();
  const TZNT1RendererContext* Fill = R.GeometryFillContext.get();
  const TZNT1FrameBufferObject* G = Fill ? Fill->FrameBufferObject.get() : nullptr;
  if (!Shaders || !Shadow || !Temp1) return;
  auto Clear = [&] {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    R.GLCalls++;
  };
  BindTarget(Temp1);
  glClearColor(0, 0, 0, 0);
  R.GLCalls++;
  Clear();
  State->Disable(GL_DEPTH_TEST);
  State->Disable(GL_CULL_FACE);
  State->Disable(GL_BLEND);
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  R.GLCalls++;
  if (TZNT1GLSLShader* P = Shaders->DefaultGLSLShadowCombineAndBlockerSearchShader; State->UseShader(P)) {
    SetSampler(*State, R, P->uTex0, 2, Shadow->TextureHandles[0]);
    SetSampler(*State, R, P->uTex1, 3, G && G->Textures > 2 ? G->TextureHandles[2] : 0);
    SetVec2(R, P->uScale, 1.0f / float(Shadow->Width), 1.0f / float(Shadow->Height));
    ScreenPass();
  }
  R.IncrementLinkCounter();
  TZNT1FrameBufferObject* Source = Temp1;
  for (int32_t L = 0; L < 7; ++L) {
    TZNT1FrameBufferObject* Level = R.ShadowBlurFrameBufferObjects[L].get();
    if (!Level) break;
    glBindFramebuffer(GL_FRAMEBUFFER, Level->FrameBuffer);
    glClearDepth(1.0);
    glClearStencil(0);
    R.GLCalls += 3;
    State->SetDepthMask(false);
    StencilUsed = false;
    glViewport(0, 0, Level->Width, Level->Height);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    R.GLCalls += 2;
    if (TZNT1GLSLShader* P = Shaders->DefaultGLSLShadowMipMapBlurFilterShader; State->UseShader(P)) {
      SetSampler(*State, R, P->uTex0, 2, Source->TextureHandles[0]);
      SetVec2(R, P->uScale, 1.0f / float(Source->Width), 1.0f / float(Source->Height));
      ScreenPass();
    }
    R.IncrementLinkCounter();
    Source = Level;
  }
  BindTarget(Shadow);
  glClearColor(0, 0, 0, 0);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  R.GLCalls += 2;
  State->Disable(GL_DEPTH_TEST);
  State->Disable(GL_CULL_FACE);
  State->Disable(GL_BLEND);
  if (TZNT1GLSLShader* P = Shaders->DefaultGLSLShadowMipMapBlurCombineShader; State->UseShader(P)) {
    SetSampler(*State, R, P->uTexs[0], 0, Temp1->TextureHandles[0]);
    for (int32_t L = 0; L < 7; ++L)
      if (R.ShadowBlurFrameBufferObjects[L])
        SetSampler(*State, R, P->uTexs[L + 1], uint32_t(L + 1), R.ShadowBlurFrameBufferObjects[L]->TextureHandles[0]);
    SetFloat(R, P->uPenumbraScale, 256.0f);
    ScreenPass();
  }
  R.IncrementLinkCounter();
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  R.GLCalls += 2;
}

void TZNT1RendererContext::FlushLight(const TZNT1RendererLight* Light) {
  if (!Light) return;
  TZNT1Renderer& R = *Renderer;
  TZNT1GLSLShader* P = Engine->GLSLShaders ? Engine->GLSLShaders->DefaultGLSLLightFillShader : nullptr;
  if (!State->UseShader(P)) return;
  const TZNT1RendererContext* Fill = R.GeometryFillContext.get();
  const TZNT1FrameBufferObject* G = Fill ? Fill->FrameBufferObject.get() : nullptr;
  const TZNT1RendererContext* Cube = R.ShadowCubeMapContext.get();
  SetSampler(*State, R, P->uTex0, 2, G ? G->TextureHandles[0] : 0);
  SetSampler(*State, R, P->uTex1, 3, G && G->Textures > 1 ? G->TextureHandles[1] : 0);
  SetSampler(*State, R, P->uTex2, 4, Cube && Cube->FrameBufferObject ? Cube->FrameBufferObject->TextureHandles[0] : 0,
             GL_TEXTURE_CUBE_MAP);
  SetViewUniforms(P);
  const TZNT1RendererLight& L = *Light;
  SetVec4(R, P->uLightPosition, L.Position.x, L.Position.y, L.Position.z, L.Radius);
  SetVec4(R, P->uLightDirection, L.Direction.x, L.Direction.y, L.Direction.z, L.SpotCosCutOff);
  SetVec4(R, P->uLightColor, L.Color.x, L.Color.y, L.Color.z, L.SpotExponent);
  SetVec4(R, P->uLightAttenuation, L.ConstantAttenuation, L.LinearAttenuation, L.QuadraticAttenuation, L.Specular);
  SetVec2(R, P->uLightSpot, L.Spot ? 1.0f : 0.0f, L.RadiusExponent);
  ScreenPass();
}
