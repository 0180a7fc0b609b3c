#include "game/GameEntity.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "game/GameClient.h"
#include "game/GameWeaponCache.h"
#include "material/ZNT1Shader.h"
#include "renderer/ZNT1Renderer.h"
#include "sound/ZNT1Sound.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1BSPCollision.h"
#include "world/ZNT1DynamicAABBTree.h"
#include "world/ZNT1Entity.h"
#include "world/ZNT1Model.h"

namespace {

constexpr float Pi = 3.14159265358979f;
constexpr float DegToRad = Pi / 180.0f;

// Grows a slot array to the next power of two above Needed, nil-filled.
void GrowSlots(std::vector<TGameEntity*>& Slots, int32_t Needed) {
  if (Needed <= static_cast<int32_t>(Slots.size())) return;
  size_t n = 1;
  while (n < static_cast<size_t>(Needed)) n <<= 1;
  Slots.resize(n, nullptr);
}

TZNT1Matrix4x4 PlacementMatrix(const TZNT1Vector3& Scaling, const TZNT1Matrix4x4& Rotation,
                               const TZNT1Vector3& Translation) {
  return Matrix4x4TermMul(Matrix4x4TermMul(Matrix4x4Scale(Scaling), Rotation), Matrix4x4Translate(Translation));
}

TZNT1Matrix4x4 RotationOfDegrees(const TZNT1Vector3& Degrees) {
  return Matrix4x4RotateAnglesLDXModel(Vector3ScalarMul(Degrees, DegToRad));
}

TZNT1Vector3 Centre(const TZNT1AABB& Box) { return Vector3Avg(Box.Min, Box.Max); }

}  // namespace

// ---- Entity ----

TGameEntity::TGameEntity(TGameEntities* AEntities) : Engine(AEntities->Engine), Entities(AEntities) {}

TGameEntity::~TGameEntity() {
  Client.reset();
  delete ModelInstance;
  ModelInstance = nullptr;
  if (Model) Model->DecRef();
  delete AddOnModelInstance;
  AddOnModelInstance = nullptr;
  if (AddOnModel) AddOnModel->DecRef();
  if (CollisionDynamicAABBTreeProxy >= 0 && Entities->CollisionDynamicAABBTree)
    Entities->CollisionDynamicAABBTree->DestroyProxy(CollisionDynamicAABBTreeProxy);
}

TBSPMapModel* TGameEntity::MapModel() const {
  TZNT1BSP* BSP = Engine->BSP.get();
  if (!BSP || MapModelIndex < 0 || MapModelIndex >= static_cast<int32_t>(BSP->BSPMapModels.size())) return nullptr;
  return &BSP->BSPMapModels[static_cast<size_t>(MapModelIndex)];
}

void TGameEntity::SmoothStore() {
  if (!HasPlacement()) return;
  LastTranslation = Translation;
  LastRotation = Rotation;
  LastScaling = Scaling;
  if (ModelInstance) ModelInstance->SmoothStore();
  for (TGameEntity* Child : Children)
    if (Child) Child->SmoothStore();
}

void TGameEntity::SmoothInterpolate(float Interpolation, float DeltaTime) {
  if (!HasPlacement()) return;
  const float t = Interpolation < 0.0f ? 0.0f : Interpolation > 1.0f ? 1.0f : Interpolation;
  const TZNT1Quaternion q = QuaternionSlerp(QuaternionFromMatrix4x4(RotationOfDegrees(LastRotation)),
                                            QuaternionFromMatrix4x4(RotationOfDegrees(Rotation)), t);
  const TZNT1Matrix4x4 V = PlacementMatrix(Vector3Lerp(LastScaling, Scaling, t), QuaternionToMatrix4x4(q),
                                           Vector3Lerp(LastTranslation, Translation, t));
  if (ModelInstance) {
    ModelInstance->ViewTransform = V;
    ModelInstance->SmoothInterpolate(t, false, nullptr, -1);
  }
  if (MapModelIndex > 0) {
    if (TBSPMapModel* m = MapModel()) {
      m->Visible = Visible;
      m->ViewTransform = V;
      // The map model's own box: the entity's AABB is already in world space.
      m->ViewTransformedAABB = AABBTransform(m->AABB, V);
      m->ViewTransformedSphere = SphereFromAABB(m->ViewTransformedAABB);
      m->ViewTransformedCluster = Engine->BSP->FindCluster(m->ViewTransformedSphere.Center);
    }
  }
  for (TGameEntity* Child : Children)
    if (Child) Child->SmoothInterpolate(t, DeltaTime);
}

bool TGameEntity::GetAABB(TZNT1AABB& TheAABB, bool SelfOnly) {
  bool Found = false;
  if (MapModelIndex > 0 && MapModel()) {
    TheAABB = MapModel()->TransformedAABB;
    Found = true;
  } else if (ModelInstance) {
    TheAABB = ModelInstance->AABB;
    Found = true;
  } else if (Client) {
    TheAABB = Client->AABB;
    Found = true;
  }
  if (!SelfOnly) {
    auto Merge = [&](TGameEntity* Other) {
      TZNT1AABB Box;
      if (!Other || Other == this || !Other->GetAABB(Box, false)) return;
      TheAABB = Found ? AABBCombine(TheAABB, Box) : Box;
      Found = true;
    };
    for (TGameEntity* Child : Children) Merge(Child);
    // A chain member asks its own successors, so each member's box spans the rest of the team.
    Merge(TeamChain);
  }
  if (!Found) TheAABB = TZNT1AABB{};
  return Found;
}

void TGameEntity::UpdateCollisionAABB(const TZNT1AABB* InputAABB) {
  TZNT1AABB Box{};
  if (InputAABB) {
    Box = *InputAABB;
  } else if (EntityType == ET_CLIENT) {
    Box = Client ? Client->AABB : AABB;
  } else if (HasTouchAABB) {
    Box = TouchAABB;
  } else if (ModelInstance && NumChildren == 0) {
    Box = ModelInstance->AABB;
  } else {
    GetAABB(Box, false);
  }
  OldCollisionAABB = CollisionAABB;
  HasOldCollisionAABB = HasCollisionAABB;
  CollisionAABB = Box;
  HasCollisionAABB = true;
  if (HasOldCollisionAABB) {
    const TZNT1Vector3 OldCentre = Centre(OldCollisionAABB), NewCentre = Centre(CollisionAABB);
    CollisionDisplacement = Vector3Sub(NewCentre, OldCentre);
    TZNT1AABB Relative;
    Relative.Min = Vector3Sub(OldCollisionAABB.Min, OldCentre);
    Relative.Max = Vector3Sub(OldCollisionAABB.Max, OldCentre);
    TZNT1AABB NewRelative;
    NewRelative.Min = Vector3Sub(CollisionAABB.Min, NewCentre);
    NewRelative.Max = Vector3Sub(CollisionAABB.Max, NewCentre);
    Relative = AABBCombine(Relative, NewRelative);
    CollisionDisplacementAABB.Min = Vector3Add(Relative.Min, OldCentre);
    CollisionDisplacementAABB.Max = Vector3Add(Relative.Max, OldCentre);
    HasCollisionDisplacement = true;
  } else {
    CollisionDisplacement = Vector3Origin;
    CollisionDisplacementAABB = CollisionAABB;
    HasCollisionDisplacement = false;
  }
  ColisionOldTranslation = Translation;
  HasColisionOldTranslation = true;
}

void TGameEntity::UpdateCollisionAABBProxy() {
  if (!HasCollisionAABB || !Entities->CollisionDynamicAABBTree) return;
  TZNT1DynamicAABBTree& Tree = *Entities->CollisionDynamicAABBTree;
  if (CollisionDynamicAABBTreeProxy < 0) {
    CollisionDynamicAABBTreeProxy = Tree.CreateProxy(CollisionAABB, this);
  } else if (HasOldCollisionAABB && HasCollisionDisplacement) {
    // The stored box must hold the end of the sweep too: the start box alone can stay inside an
    // old stretched box while the entity has left it, and its pairs would be lost.
    Tree.MoveProxy(CollisionDynamicAABBTreeProxy, AABBCombine(CollisionDisplacementAABB, CollisionAABB),
                   Vector3ScalarMul(CollisionDisplacement, 10.0f));
  } else {
    Tree.MoveProxy(CollisionDynamicAABBTreeProxy, CollisionAABB, Vector3Origin);
  }
}

void TGameEntity::AddCollision(TGameEntity* CollisionEntity) {
  if (!CollisionEntity || CollisionEntity == this) return;
  for (int32_t i = 0; i < CountCollisions; ++i)
    if (Collisions[static_cast<size_t>(i)] == CollisionEntity) return;
  GrowSlots(Collisions, CountCollisions + 1);
  Collisions[static_cast<size_t>(CountCollisions++)] = CollisionEntity;
}

namespace {

// The box one side of a contact test offers; Answered when a player decides through map models.
struct TTouchSide {
  bool HasBox = false;
  TZNT1AABB Box{};
  bool Answered = false;
  bool Result = false;
};

TTouchSide TouchSideOf(TGameEntity* Side, TGameEntity* Other) {
  TTouchSide s;
  if (Side->EntityType == ET_CLIENT && Side->Client) {
    if (Other->MapModelIndex >= 1 && !Other->HasTouchAABB) {
      s.Answered = true;
      s.Result = Side->Client->HasTouchedMapModel(Other->MapModelIndex) ||
                 Side->Client->GroundMapModel == Other->MapModelIndex;
    } else {
      s.HasBox = true;
      s.Box = Side->Client->AABB;
    }
  } else if (Side->HasTouchAABB) {
    s.HasBox = true;
    s.Box = Side->TouchAABB;
  } else if (Side->HasCollisionAABB) {
    s.HasBox = true;
    s.Box = Side->CollisionAABB;
  } else if (Side->ModelInstance) {
    s.HasBox = true;
    s.Box = Side->ModelInstance->AABB;
  }
  return s;
}

}  // namespace

bool TGameEntity::Touched(TGameEntity* EntityToCheck) {
  if (!EntityToCheck) return false;
  const TTouchSide Other = TouchSideOf(EntityToCheck, this);
  const TTouchSide Self = TouchSideOf(this, EntityToCheck);
  bool Result;
  if (Other.Answered || Self.Answered)
    Result = (Other.Answered && Other.Result) || (Self.Answered && Self.Result);
  else
    Result = Other.HasBox && Self.HasBox && AABBIntersectEx(Self.Box, Other.Box, 1e-12f);
  if (!Result)
    for (TGameEntity* Child : Children)
      if (Child && Child != EntityToCheck && Child->Touched(EntityToCheck)) return true;
  return Result;
}

bool TGameEntity::GetSoundOrigin(TZNT1Vector3& Position) {
  if (MapModelIndex > 0 && MapModel()) {
    Position = Centre(MapModel()->TransformedAABB);
    return true;
  }
  if (ModelInstance) {
    Position = Centre(ModelInstance->AABB);
    return true;
  }
  for (TGameEntity* Child : Children)
    if (Child && Child->GetSoundOrigin(Position)) return true;
  return false;
}

void TGameEntity::UpdateTransformMatrix() {
  if (!Model && MapModelIndex < 1 && NumChildren < 1) return;
  if (!Parent || EntityType != ET_MODEL) {
    Transform = PlacementMatrix(Scaling, RotationOfDegrees(Rotation), Translation);
  } else if (DoNotUseParentRotation) {
    Translation = Parent->Translation;
    Scaling = Parent->Scaling;
    Transform = PlacementMatrix(Scaling, RotationOfDegrees(Rotation), Translation);
    Visible = Parent->Visible;
  } else {
    Translation = Parent->Translation;
    Rotation = Parent->Rotation;
    Scaling = Parent->Scaling;
    Transform = Parent->Transform;
    Visible = Parent->Visible;
  }
  if (ModelInstance) {
    ModelInstance->Transform = Transform;
    // The box goes with the new placement at once: the entity's box below is read from it, and a
    // box left over from the last place (or, before the first step, at the world origin) would
    // count as a sweep from there.
    ModelInstance->UpdateAABB();
  }
  if (MapModelIndex > 0) {
    if (TBSPMapModel* m = MapModel()) {
      m->Transform = Transform;
      m->TransformedAABB = AABBTransform(m->AABB, Transform);
      m->TransformedSphere = SphereFromAABB(m->TransformedAABB);
      m->Visible = Visible && MapModelVisible;
      m->Collision = Visible && MapModelCollision;
      m->Touchable = Visible && MapModelTouchable;
    }
  }
  for (TGameEntity* Child : Children)
    if (Child) Child->UpdateTransformMatrix();
  GetAABB(AABB, false);
  if (AutoUpdateCollisionAABB) {
    UpdateCollisionAABB(&AABB);
    UpdateCollisionAABBProxy();
  }
}

void TGameEntity::AddChild(TGameEntity* ChildEntity) {
  if (!ChildEntity) return;
  int32_t Slot = -1;
  for (int32_t i = 0; i < NumChildren; ++i)
    if (!Children[static_cast<size_t>(i)]) {
      Slot = i;
      break;
    }
  if (Slot < 0) {
    Slot = NumChildren++;
    GrowSlots(Children, NumChildren);
  }
  Children[static_cast<size_t>(Slot)] = ChildEntity;
  ChildEntity->Parent = this;
}

void TGameEntity::RemoveChild(TGameEntity* ChildEntity) {
  if (!ChildEntity) return;
  for (int32_t i = 0; i < NumChildren; ++i)
    if (Children[static_cast<size_t>(i)] == ChildEntity) {
      Children[static_cast<size_t>(i)] = nullptr;
      ChildEntity->Parent = nullptr;
    }
}

void TGameEntity::AddTarget(TGameEntity* TargetEntity) {
  if (!TargetEntity) return;
  int32_t Slot = -1;
  for (int32_t i = 0; i < NumTargets; ++i)
    if (!Targets[static_cast<size_t>(i)]) {
      Slot = i;
      break;
    }
  if (Slot < 0) {
    Slot = NumTargets++;
    GrowSlots(Targets, NumTargets);
  }
  Targets[static_cast<size_t>(Slot)] = TargetEntity;
  TargetEntity->Source = this;
}

void TGameEntity::RemoveTarget(TGameEntity* TargetEntity) {
  if (!TargetEntity) return;
  for (int32_t i = 0; i < NumTargets; ++i)
    if (Targets[static_cast<size_t>(i)] == TargetEntity) {
      Targets[static_cast<size_t>(i)] = nullptr;
      TargetEntity->Source = nullptr;
    }
}

void TGameEntity::UseTargets(TGameEntity* UsedByEntity) {
  if (TargetShader && TargetShaderNew) {
    if (TargetShader == TargetShaderNew) {
      TargetShader->RemappedShader = nullptr;
    } else {
      TargetShader->RemappedShader = TargetShaderNew;
      TargetShader->TimeOffset = Entities->Time;
      TargetShaderNew->TimeOffset = Entities->Time;
      if (TargetShaderNew->ReferenceCounter == 0) {
        TargetShaderNew->IncRef();
        TargetShaderNew->Upload();
      }
    }
  }
  // Two relays aiming at each other would otherwise recurse without end.
  const bool WasInUseTargets = InUseTargets;
  InUseTargets = true;
  for (int32_t i = 0; i < NumTargets; ++i)
    if (TGameEntity* t = Targets[static_cast<size_t>(i)]; t && !t->InUseTargets) t->Use(UsedByEntity);
  InUseTargets = WasInUseTargets;
}

void TGameEntity::UpdateFuncStatic() {
  Translation = Vector3Origin;
  UpdateTransformMatrix();
}

void SetMoveDir(TZNT1Vector3& InputAngles, TZNT1Vector3& MoveDir) {
  if (InputAngles.x == 0.0f && InputAngles.y == -1.0f && InputAngles.z == 0.0f) {
    MoveDir = Vector3(0, 0, 1);
  } else if (InputAngles.x == 0.0f && InputAngles.y == -2.0f && InputAngles.z == 0.0f) {
    MoveDir = Vector3(0, 0, -1);
  } else {
    TZNT1Vector3 Right, Up;
    AnglesToVector3LDX(Vector3ScalarMul(InputAngles, DegToRad), MoveDir, Right, Up);
  }
  InputAngles = Vector3Origin;
}

void MapModelSwitchesOfClass(const std::string& ClassName, bool& Visible, bool& Collision, bool& Touchable) {
  TGameEntityMapModelSwitches Switches = mmsNone;
  if (FindItemListRow(ClassName) > 0) Switches = mmsAll;
  else if (const TGameEntityFixedClass* c = FindFixedClass(ClassName)) Switches = c->Switches;
  Visible = Touchable = Switches != mmsNone;
  Collision = Switches == mmsAll;
}

// ---- Model child ----

TGameEntityModel::TGameEntityModel(TGameEntities* AEntities) : TGameEntity(AEntities) { EntityType = ET_MODEL; }

// ---- Client entity ----

TGameEntityClient::TGameEntityClient(TGameEntities* AEntities) : TGameEntity(AEntities) {
  EntityType = ET_CLIENT;
  Client = std::make_unique<TGameClient>(Engine, Entities->WeaponCache.get(), this);
  Health = 100;
}

TGameEntityClient::~TGameEntityClient() { Client.reset(); }

namespace {

template <class F>
void ForBodies(TGameClient& Client, F&& f) {
  for (TGamePlayerModel* Body : {Client.PlayerModel.get(), Client.ViewPlayerModel.get()})
    if (Body) f(*Body);
}

}  // namespace

void TGameEntityClient::Update() {
  Client->Update(static_cast<float>(Entities->DeltaTime));
  Translation = Client->SmoothedPosition;
  AABB = Client->AABB;
  TouchAABB = Client->AABB;
  // Animations advance by the tick's length, whatever the clock reads.
  ForBodies(*Client, [&](TGamePlayerModel& Body) {
    if (Body.LowerInstance) Body.LowerInstance->Update(Entities->DeltaTime);
    if (Body.WeaponLocalInstance) Body.WeaponLocalInstance->Update(Entities->DeltaTime);
  });
  // After a respawn or teleport the box starts afresh: a sweep from the old place would meet
  // everything on the straight line between, through walls.
  if (Client->PositionJumped) {
    Client->PositionJumped = false;
    HasCollisionAABB = false;
  }
  UpdateCollisionAABB(nullptr);
  UpdateCollisionAABBProxy();
  GroundEntity = nullptr;
  const int32_t g = Client->GroundMapModel;
  if (g >= 1 && g < static_cast<int32_t>(Entities->MapModelsToEntities.size()) &&
      !Entities->MapModelsToEntities[static_cast<size_t>(g)].empty())
    GroundEntity = Entities->MapModelsToEntities[static_cast<size_t>(g)][0];
}

void TGameEntityClient::SmoothStore() {
  Client->SmoothStore();
  ForBodies(*Client, [](TGamePlayerModel& Body) {
    if (Body.LowerInstance) Body.LowerInstance->SmoothStore();
    if (Body.WeaponLocalInstance) Body.WeaponLocalInstance->SmoothStore();
  });
}

void TGameEntityClient::SmoothInterpolate(float Interpolation, float DeltaTime) {
  TGameClient& c = *Client;
  Leaf = Engine->BSP && !Engine->BSP->BSPMapNodes.empty() ? Engine->BSP->FindLeaf(c.InternalPosition) : -1;
  if (c.Teleported) {
    c.Teleported = false;
    SmoothStore();
    Interpolation = 1.0f;
  }
  c.SmoothInterpolate(Interpolation);
  ForBodies(c, [&](TGamePlayerModel& Body) {
    if (Body.LowerInstance) Body.LowerInstance->SmoothInterpolate(Interpolation, true, nullptr, Leaf);
    if (Body.WeaponInstance) Body.WeaponInstance->SmoothInterpolate(Interpolation, true, nullptr, Leaf);
  });

  const bool FirstPerson = c.ViewInterpolation <= 0.125f;
  if (TGamePlayerModel* Body = c.PlayerModel.get()) {
    const int32_t BodyType = FirstPerson ? 4 : 0;
    if (Body->LowerInstance) Body->LowerInstance->RenderType = BodyType;
    if (Body->UpperInstance) Body->UpperInstance->RenderType = BodyType;
    if (Body->HeadInstance) Body->HeadInstance->RenderType = FirstPerson ? 1 : 0;
    if (Body->WeaponInstance) {
      Body->WeaponInstance->RenderType = BodyType;
      Body->WeaponInstance->RecieveShadow = !FirstPerson;
      Body->WeaponInstance->CastShadow = true;
    }
    if (Body->WeaponLocalInstance) {
      Body->WeaponLocalInstance->RenderType = 3;
      Body->WeaponLocalInstance->Synchronize();
    }
    if (Body->WeaponInstance) Body->WeaponInstance->Synchronize();
  }

  const TZNT1Vector3 Position = c.GetPosition(Interpolation);
  if (TGamePlayerModel* Body = c.PlayerModel.get()) {
    for (TZNT1ModelInstance* i : {Body->LowerInstance, Body->UpperInstance, Body->HeadInstance, Body->WeaponInstance}) {
      if (!i) continue;
      i->HasLightOrigin = true;
      i->LightOrigin = Position;
      i->LocalPlayerModel = c.Local;
    }
  }
  ClientLightPosition = Position;
  ClientLightAABB = c.GetModelViewAABB(Interpolation);
  ClientViewMatrix = c.GetViewMatrix(DeltaTime, Interpolation);
  if (FirstPerson && c.PlayerModel && c.ViewPlayerModel && c.PlayerModel->WeaponLocalInstance &&
      c.ViewPlayerModel->WeaponInstance)
    c.PlayerModel->WeaponLocalInstance->ViewTransform = c.ViewPlayerModel->WeaponInstance->ViewTransform;
  ClientWaterEffect = c.WaterLevel > 2 && c.ViewInterpolation < 0.125f;
}

void TGameEntityClient::AddModelInstances() {
  TGamePlayerModel* Body = Client->PlayerModel.get();
  if (!Body || !Body->LowerInstance || Client->Mode == gcmSPECTATOR || !Engine->Renderer) return;
  Engine->Renderer->AddModelInstance(Body->LowerInstance, nullptr);
  if (Client->Local && Client->ViewInterpolation <= 0.125f && Body->WeaponInstance)
    Engine->Renderer->AddModelInstance(Body->WeaponInstance, nullptr);
}

void TGameEntityClient::UpdateSound(TGameEntity* /*LocalEntity*/) { Client->UpdateSound(); }

void TGameEntityClient::ClientRespawn() {
  const int32_t N = static_cast<int32_t>(Entities->RespawnPositions.size());
  if (N <= 0) return;
  int32_t& Next = Entities->RespawnPositionIndex;
  if (Next < 0 || Next >= N) Next = 0;
  for (int32_t k = 0; k < 2 * N; ++k) {
    const TRespawnPosition& p = Entities->RespawnPositions[static_cast<size_t>(Next)];
    Next = Next + 1 >= N ? 0 : Next + 1;
    if (!(p.RespawnPositionType & RespawnPositionType)) continue;
    Translation = p.Origin;
    Client->SetPosition(p.Origin);
    Client->Angle = Vector3(0, p.Angle * DegToRad, 0);
    Client->UpdateAABB();
    Client->Respawn();
    Client->Teleported = true;
    AABB = Client->AABB;
    return;
  }
}

// ---- The list ----

TGameEntities::TGameEntities(TZNT1Engine* AEngine)
    : Engine(AEngine),
      WeaponCache(std::make_unique<TGameWeaponCache>(AEngine)),
      CollisionDynamicAABBTree(std::make_unique<TZNT1DynamicAABBTree>()),
      SoundSystem(AEngine->SoundSystem.get()),
      Console(AEngine->Console.get()) {
  Items.assign(MaxClients, nullptr);
  CollisionPairHashMap = std::make_unique<TGameEntitiesCollisionPairHashMap>();
}

TGameEntities::~TGameEntities() {
  for (TGameEntity*& e : Items) {
    delete e;
    e = nullptr;
  }
  Items.clear();
  WeaponCache.reset();
  CollisionDynamicAABBTree.reset();
}

int32_t TGameEntities::Add(TGameEntity* Entity) {
  Items.push_back(Entity);
  Entity->Index = Count() - 1;
  return Entity->Index;
}

TGameEntity* TGameEntities::GetEntity(const std::string& Name) const {
  return static_cast<TGameEntity*>(HashMap.GetValue(Name));
}

void TGameEntities::LoadEntity(TZNT1BSP* BSP, const TZNT1Entity& e, int32_t i) {
  const std::string ClassName = e.GetString("classname");
  TGameEntity* Entity = CreateEntityOfClass(this, ClassName);
  MapModelSwitchesOfClass(ClassName, Entity->MapModelVisible, Entity->MapModelCollision, Entity->MapModelTouchable);
  const int32_t EntityIndex = static_cast<int32_t>(static_cast<uint32_t>(EntityIndexBase) + 2u * static_cast<uint32_t>(i));
  Add(Entity);
  Entity->SpawnFlags = e.GetInteger("spawnflags", 0);
  Entity->Origin = e.GetVector("origin");
  Entity->Translation = Entity->Origin;
  if (e.Exist("angles")) Entity->Angles = e.GetVector("angles");
  else if (e.Exist("angle")) Entity->Angles = Vector3(0, e.GetFloat("angle"), 0);
  Entity->TargetName = e.GetString("targetname");
  Entity->Target = e.GetString("target");
  Entity->Wait = e.GetFloat("wait");
  Entity->Count = e.GetInteger("count", 0);
  if (!Entity->TargetName.empty()) HashMap.Add(Entity->TargetName, Entity);
  Entity->MapModelIndex = e.GetInteger("model", -1);
  const std::string Model2 = e.GetString("model2");
  if (!Model2.empty() && Engine->Models) {
    if (TZNT1Model* m = Engine->Models->GetModel(Model2)) {
      TZNT1ModelInstance* Instance = m->CreateInstance();
      Instance->EntityIndex = EntityIndex;
      m->IncRef();
      auto* Child = new TGameEntityModel(this);
      Child->Model = m;
      Child->ModelInstance = Instance;
      Add(Child);
      Entity->AddChild(Child);
    }
  }
  const std::string ShaderName = e.GetString("targetShaderName"), ShaderNewName = e.GetString("targetShaderNewName");
  if (!ShaderName.empty() && !ShaderNewName.empty() && Engine->Shaders) {
    Entity->TargetShader = Engine->Shaders->GetShader(ShaderName);
    Entity->TargetShaderNew = Engine->Shaders->GetShader(ShaderNewName);
  }
  LoadClassKeys(Entity, e, EntityIndex);
  if (Entity->MapModelIndex > 0 && BSP) {
    if (TBSPMapModel* m = Entity->MapModel()) {
      m->Visible = Entity->MapModelVisible;
      m->Collision = Entity->MapModelCollision;
      m->Touchable = Entity->MapModelTouchable;
    }
  }
}

bool TGameEntities::Quitting() const { return Engine && Engine->Quit; }

void TGameEntities::Load(TZNT1BSP* BSP) {
  // The loading screen's keep-alives run inside the model and sound loads, so a quit shows here.
  WeaponCache->Load();
  const TZNT1Entities* MapEntities = BSP ? BSP->Entities.get() : nullptr;
  const int32_t CountMapEntities = MapEntities ? MapEntities->Count() : 0;
  for (int32_t i = 0; i < CountMapEntities && !Quitting(); ++i)
    if (const TZNT1Entity* e = MapEntities->GetEntity(i)) LoadEntity(BSP, *e, i);
  if (Quitting()) return;

  static const struct {
    const char* ClassName;
    uint32_t Type;
  } RespawnClasses[] = {{"info_player_start", rptSTART},        {"info_player_race", rptRACE},
                        {"info_player_team1", rptTEAM1},        {"info_player_team2", rptTEAM2},
                        {"info_player_deathmatch", rptDEATHMATCH}, {"team_CTF_blueplayer", rptCTFBLUE},
                        {"team_CTF_redplayer", rptCTFRED}};
  for (const auto& r : RespawnClasses)
    for (int32_t i = 0; i < CountMapEntities; ++i) {
      const TZNT1Entity* e = MapEntities->GetEntity(i);
      if (!e || e->GetString("classname") != r.ClassName) continue;
      TRespawnPosition p;
      p.RespawnPositionType = r.Type;
      p.Origin = e->GetVector("origin");
      p.Angle = e->GetFloat("angle");
      RespawnPositions.push_back(p);
    }

  LinkTeams();
  LinkTargets();

  for (int32_t i = 0; i < Count(); ++i)
    if (TGameEntity* E = Items[static_cast<size_t>(i)]) E->Initialize();

  const int32_t CountModels = BSP ? static_cast<int32_t>(BSP->BSPMapModels.size()) : 0;
  MapModelsToEntities.assign(static_cast<size_t>(CountModels), {});
  for (TGameEntity* E : Items)
    if (E && E->MapModelIndex >= 0 && E->MapModelIndex < CountModels)
      MapModelsToEntities[static_cast<size_t>(E->MapModelIndex)].push_back(E);
}

void TGameEntities::LinkTeams() {
  for (int32_t i = 0; i < Count(); ++i) {
    TGameEntity* E = Items[static_cast<size_t>(i)];
    if (!E || E->Team.empty() || E->TeamSlave) continue;
    E->TeamMaster = E;
    for (int32_t j = i + 1; j < Count(); ++j) {
      TGameEntity* O = Items[static_cast<size_t>(j)];
      if (!O || O->TeamSlave || O->Team != E->Team) continue;
      O->TeamMaster = E;
      O->TeamChain = E->TeamChain;
      E->TeamChain = O;
      O->TeamSlave = true;
      if (!O->TargetName.empty()) {
        E->TargetName = O->TargetName;
        O->TargetName.clear();
      }
    }
  }
}

void TGameEntities::LinkTargets() {
  std::unordered_map<std::string, std::vector<TGameEntity*>> ByName;
  for (TGameEntity* O : Items)
    if (O && !O->TargetName.empty()) ByName[O->TargetName].push_back(O);
  for (TGameEntity* E : Items) {
    if (!E || E->Target.empty()) continue;
    if (const auto It = ByName.find(E->Target); It != ByName.end())
      for (TGameEntity* O : It->second) E->AddTarget(O);
  }
}

TGameEntityClient* TGameEntities::NewClient() {
  for (int32_t Slot = 0; Slot < MaxClients && Slot < Count(); ++Slot) {
    if (Items[static_cast<size_t>(Slot)]) continue;
    auto* c = new TGameEntityClient(this);
    c->Index = Slot;
    Items[static_cast<size_t>(Slot)] = c;
    if (CountMaxPlayers < Slot + 1) CountMaxPlayers = Slot + 1;
    return c;
  }
  return nullptr;
}

void TGameEntities::Init() {
  // Sound files decode here.
  for (int32_t i = 0; i < Count() && !Quitting(); ++i)
    if (TGameEntity* E = Items[static_cast<size_t>(i)]) E->LoadSound();
}

void TGameEntities::SmoothStore() {
  for (TGameEntity* E : Items)
    if (E && !E->Parent) E->SmoothStore();
}

void TGameEntities::SmoothInterpolate(float Interpolation, float ADeltaTime) {
  for (TGameEntity* E : Items)
    if (E && !E->Parent) E->SmoothInterpolate(Interpolation, ADeltaTime);
}

void TGameEntities::ApplyTimeOffset(double ATimeOffset) {
  for (TGameEntity* E : Items)
    if (E) E->ApplyTimeOffset(ATimeOffset);
}

void TGameEntities::Update(double ADeltaTime) {
  DeltaTime = ADeltaTime;
  CollisionDetection();
  for (TGameEntity* E : Items) {
    if (!E) continue;
    E->OldAABB = E->AABB;
    E->OldTranslation = E->Translation;
    E->OldRotation = E->Rotation;
    E->OldTransform = E->Transform;
  }
  for (int32_t i = 0; i < Count(); ++i)
    if (TGameEntity* E = Items[static_cast<size_t>(i)]; E && !E->Parent) E->Update();
  for (TGameEntity* E : Items) {
    if (!E) continue;
    E->TranslationOffset = Vector3Sub(E->Translation, E->OldTranslation);
    for (int k = 0; k < 3; ++k)
      E->RotationOffset.xyz[k] = AngleDiff(E->OldRotation.xyz[k] * DegToRad, E->Rotation.xyz[k] * DegToRad) / DegToRad;
    switch (E->EntityType) {
      case ET_FUNC_BOBBING:
      case ET_FUNC_PENDULUM:
      case ET_FUNC_ROTATING:
      case ET_FUNC_TRAIN:
      case ET_FUNC_BUTTON:
      case ET_FUNC_DOOR:
      case ET_FUNC_PLAT:
        E->MoverPush();
        break;
      default:
        break;
    }
  }
  for (TGameEntity* M : Items) {
    if (!M) continue;
    M->Velocity = DeltaTime > 0.0 ? Vector3ScalarMul(M->TranslationOffset, static_cast<float>(1.0 / DeltaTime))
                                  : M->TranslationOffset;
    if (M->MapModelIndex <= 0) continue;
    for (TGameEntity* O : Items) {
      if (!O || O == M) continue;
      if (O->EntityType == ET_ITEM && !(O->SpawnFlags & 1) && O->GroundEntity == M) {
        O->BaseTranslation = Vector3Add(O->BaseTranslation, M->TranslationOffset);
      } else if (O->EntityType == ET_CLIENT && O->Client && O->Client->GroundMapModel == M->MapModelIndex) {
        TGameClient& c = *O->Client;
        c.ApplyOffset(M->TranslationOffset, M->Velocity);
        const float Turn = M->RotationOffset.y * DegToRad;
        c.DestAngleYawLegs = AngleClamp(c.DestAngleYawLegs + Turn);
        c.AngleYawLegs = AngleClamp(c.AngleYawLegs + Turn);
        c.AngleYawTorso = AngleClamp(c.AngleYawTorso + Turn);
        c.Angle.Yaw = AngleClamp(c.Angle.Yaw + Turn);
      }
    }
  }
  for (TGameEntity* E : Items) {
    if (!E || !E->ModelInstance) continue;
    E->ModelInstance->ShaderRGBA = E->Parent ? E->Parent->Color : E->Color;
    E->ModelInstance->Update(DeltaTime);
  }
  Time = ModuloPos(Time + DeltaTime, TimeWrap);
}

void TGameEntities::UpdateSound(TGameEntity* LocalEntity) {
  bool Underwater = false;
  if (LocalEntity && LocalEntity->EntityType == ET_CLIENT && LocalEntity->Client) {
    const TGameClient& c = *LocalEntity->Client;
    ListenerMatrix = Matrix4x4LookAtViewerLDX(ListenerOrigin, ListenerAngles);
    ListenerOrigin = Vector3Add(c.SmoothedPosition, Vector3(0, 0, c.ViewHeight));
    ListenerVelocity = c.MovedVelocity;
    ListenerAngles = c.Angle;
    ListenerRotationMatrix = Matrix4x4Rotation(ListenerMatrix);
    Underwater = c.WaterLevel > 2;
  } else {
    ListenerMatrix = Matrix4x4Identity;
    ListenerRotationMatrix = Matrix4x4Identity;
    ListenerOrigin = ListenerVelocity = ListenerAngles = Vector3Origin;
  }
  if (SoundSystem) {
    SoundSystem->ListenerOrigin = ListenerOrigin;
    SoundSystem->ListenerVelocity = ListenerVelocity;
    SoundSystem->ListenerMatrix = ListenerRotationMatrix;
    SoundSystem->ListenerUnderwater = Underwater;
  }
  for (const auto& Sound : SoundList) Sound->Update();
  for (TGameEntity* E : Items)
    if (E) E->UpdateSound(LocalEntity);
}

void TGameEntities::AddModelInstances() {
  for (TGameEntity* E : Items) {
    if (!E) continue;
    E->AddModelInstances();
    if (E->ModelInstance && E->Visible) {
      E->ModelInstance->Synchronize();
      if (Engine->Renderer) Engine->Renderer->AddModelInstance(E->ModelInstance, nullptr);
    }
  }
}

// ===================================================================== entity classes

const TGameEntityFixedClass FixedClassList[CountFixedClasses] = {
    {"worldspawn", ET_WORLDSPAWN, mmsNone},
    {"info_player_start", ET_INFO_PLAYER_START, mmsNone},
    {"info_player_deathmatch", ET_INFO_PLAYER_DEATHMATCH, mmsNone},
    {"team_CTF_blueplayer", ET_TEAM_CTF_BLUEPLAYER, mmsNone},
    {"team_CTF_redplayer", ET_TEAM_CTF_REDPLAYER, mmsNone},
    {"target_speaker", ET_TARGET_SPEAKER, mmsNone},
    {"target_print", ET_TARGET_PRINT, mmsNone},
    {"target_location", ET_TARGET_LOCATION, mmsNone},
    {"target_position", ET_TARGET_POSITION, mmsNone},
    {"target_delay", ET_TARGET_DELAY, mmsNone},
    {"target_give", ET_TARGET_GIVE, mmsNone},
    {"target_kill", ET_TARGET_KILL, mmsNone},
    {"target_laser", ET_TARGET_LASER, mmsNone},
    {"target_push", ET_TARGET_PUSH, mmsNone},
    {"target_relay", ET_TARGET_RELAY, mmsNone},
    {"target_remove_powerups", ET_TARGET_REMOVE_POWERUPS, mmsNone},
    {"target_score", ET_TARGET_SCORE, mmsNone},
    {"target_teleporter", ET_TARGET_TELEPORTER, mmsNone},
    {"trigger_always", ET_TRIGGER_ALWAYS, mmsNone},
    {"trigger_hurt", ET_TRIGGER_HURT, mmsTouch},
    {"trigger_multiple", ET_TRIGGER_MULTIPLE, mmsTouch},
    {"trigger_push", ET_TRIGGER_PUSH, mmsTouch},
    {"trigger_teleport", ET_TRIGGER_TELEPORT, mmsTouch},
    {"func_timer", ET_FUNC_TIMER, mmsNone},
    {"func_bobbing", ET_FUNC_BOBBING, mmsAll},
    {"func_pendulum", ET_FUNC_PENDULUM, mmsAll},
    {"func_rotating", ET_FUNC_ROTATING, mmsAll},
    {"func_train", ET_FUNC_TRAIN, mmsAll},
    {"path_corner", ET_PATH_CORNER, mmsNone},
    {"func_button", ET_FUNC_BUTTON, mmsAll},
    {"func_door", ET_FUNC_DOOR, mmsAll},
    {"func_group", ET_FUNC_GROUP, mmsAll},
    {"func_plat", ET_FUNC_PLAT, mmsAll},
    {"func_static", ET_FUNC_STATIC, mmsAll},
    {"misc_teleporter_dest", ET_MISC_TELEPORTER_DEST, mmsNone},
    {"info_notnull", ET_INFO_NOTNULL, mmsNone},
    {"info_null", ET_INFO_NULL, mmsNone},
    {"func_breakable", ET_FUNC_BREAKABLE, mmsAll},
};

const TGameEntityPredefinedItem ItemList[CountItemList] = {
    {"", "", {"", "", "", ""}, "", "", 0, IT_UNKNOWN, 0, "", ""},
    {"item_armor_shard", "sound/misc/ar1_pkup.wav", {"models/powerups/armor/shard.md3", "", "", ""}, "icons/iconr_shard", "Armor Shard", 5, IT_ARMOR, 0, "", ""},
    {"item_armor_combat", "sound/misc/ar2_pkup.wav", {"models/powerups/armor/armor_yel.md3", "", "", ""}, "icons/iconr_yellow", "Armor", 50, IT_ARMOR, 0, "", ""},
    {"item_armor_body", "sound/misc/ar2_pkup.wav", {"models/powerups/armor/armor_red.md3", "", "", ""}, "icons/iconr_red", "Heavy Armor", 100, IT_ARMOR, 0, "", ""},
    {"item_health_small", "sound/items/s_health.wav", {"models/powerups/health/small_cross.md3", "models/powerups/health/small_sphere.md3", "", ""}, "icons/iconh_green", "5 Health", 5, IT_HEALTH, 0, "", ""},
    {"item_health", "sound/items/n_health.wav", {"models/powerups/health/medium_cross.md3", "models/powerups/health/medium_sphere.md3", "", ""}, "icons/iconh_yellow", "25 Health", 25, IT_HEALTH, 0, "", ""},
    {"item_health_large", "sound/items/l_health.wav", {"models/powerups/health/large_cross.md3", "models/powerups/health/large_sphere.md3", "", ""}, "icons/iconh_red", "50 Health", 50, IT_HEALTH, 0, "", ""},
    {"item_health_mega", "sound/items/m_health.wav", {"models/powerups/health/mega_cross.md3", "models/powerups/health/mega_sphere.md3", "", ""}, "icons/iconh_mega", "Mega Health", 100, IT_HEALTH, 0, "", ""},
    {"weapon_gauntlet", "sound/misc/w_pkup.wav", {"models/weapons2/gauntlet/gauntlet.md3", "", "", ""}, "icons/iconw_gauntlet", "Gauntlet", 0, IT_WEAPON, WP_GAUNTLET, "", ""},
    {"weapon_shotgun", "sound/misc/w_pkup.wav", {"models/weapons2/shotgun/shotgun.md3", "", "", ""}, "icons/iconw_shotgun", "Shotgun", 10, IT_WEAPON, WP_SHOTGUN, "", ""},
    {"weapon_machinegun", "sound/misc/w_pkup.wav", {"models/weapons2/machinegun/machinegun.md3", "", "", ""}, "icons/iconw_machinegun", "Machinegun", 40, IT_WEAPON, WP_MACHINEGUN, "", ""},
    {"weapon_grenadelauncher", "sound/misc/w_pkup.wav", {"models/weapons2/grenadel/grenadel.md3", "", "", ""}, "icons/iconw_grenade", "Grenade Launcher", 10, IT_WEAPON, WP_GRENADE_LAUNCHER, "", "sound/weapons/grenade/hgrenb1a.wav sound/weapons/grenade/hgrenb2a.wav"},
    {"weapon_rocketlauncher", "sound/misc/w_pkup.wav", {"models/weapons2/rocketl/rocketl.md3", "", "", ""}, "icons/iconw_rocket", "Rocket Launcher", 10, IT_WEAPON, WP_ROCKET_LAUNCHER, "", ""},
    {"weapon_lightning", "sound/misc/w_pkup.wav", {"models/weapons2/lightning/lightning.md3", "", "", ""}, "icons/iconw_lightning", "Lightning Gun", 100, IT_WEAPON, WP_LIGHTNING, "", ""},
    {"weapon_railgun", "sound/misc/w_pkup.wav", {"models/weapons2/railgun/railgun.md3", "", "", ""}, "icons/iconw_railgun", "Railgun", 10, IT_WEAPON, WP_RAILGUN, "", ""},
    {"weapon_plasmagun", "sound/misc/w_pkup.wav", {"models/weapons2/plasma/plasma.md3", "", "", ""}, "icons/iconw_plasma", "Plasma Gun", 50, IT_WEAPON, WP_PLASMAGUN, "", ""},
    {"weapon_bfg", "sound/misc/w_pkup.wav", {"models/weapons2/bfg/bfg.md3", "", "", ""}, "icons/iconw_bfg", "BFG10K", 20, IT_WEAPON, WP_BFG, "", ""},
    {"weapon_grapplinghook", "sound/misc/w_pkup.wav", {"models/weapons2/grapple/grapple.md3", "", "", ""}, "icons/iconw_grapple", "Grappling Hook", 0, IT_WEAPON, WP_GRAPPLING_HOOK, "", ""},
    {"ammo_shells", "sound/misc/am_pkup.wav", {"models/powerups/ammo/shotgunam.md3", "", "", ""}, "icons/icona_shotgun", "Shells", 10, IT_AMMO, WP_SHOTGUN, "", ""},
    {"ammo_bullets", "sound/misc/am_pkup.wav", {"models/powerups/ammo/machinegunam.md3", "", "", ""}, "icons/icona_machinegun", "Bullets", 50, IT_AMMO, WP_MACHINEGUN, "", ""},
    {"ammo_grenades", "sound/misc/am_pkup.wav", {"models/powerups/ammo/grenadeam.md3", "", "", ""}, "icons/icona_grenade", "Grenades", 5, IT_AMMO, WP_GRENADE_LAUNCHER, "", ""},
    {"ammo_cells", "sound/misc/am_pkup.wav", {"models/powerups/ammo/plasmaam.md3", "", "", ""}, "icons/icona_plasma", "Cells", 30, IT_AMMO, WP_PLASMAGUN, "", ""},
    {"ammo_lightning", "sound/misc/am_pkup.wav", {"models/powerups/ammo/lightningam.md3", "", "", ""}, "icons/icona_lightning", "Lightning", 60, IT_AMMO, WP_LIGHTNING, "", ""},
    {"ammo_rockets", "sound/misc/am_pkup.wav", {"models/powerups/ammo/rocketam.md3", "", "", ""}, "icons/icona_rocket", "Rockets", 5, IT_AMMO, WP_ROCKET_LAUNCHER, "", ""},
    {"ammo_slugs", "sound/misc/am_pkup.wav", {"models/powerups/ammo/railgunam.md3", "", "", ""}, "icons/icona_railgun", "Slugs", 10, IT_AMMO, WP_RAILGUN, "", ""},
    {"ammo_bfg", "sound/misc/am_pkup.wav", {"models/powerups/ammo/bfgam.md3", "", "", ""}, "icons/icona_bfg", "Bfg Ammo", 15, IT_AMMO, WP_BFG, "", ""},
    {"holdable_teleporter", "sound/items/holdable.wav", {"models/powerups/holdable/teleporter.md3", "", "", ""}, "icons/teleporter", "Personal Teleporter", 60, IT_HOLDABLE, HI_TELEPORTER, "", ""},
    {"holdable_medkit", "sound/items/holdable.wav", {"models/powerups/holdable/medkit.md3", "models/powerups/holdable/medkit_sphere.md3", "", ""}, "icons/medkit", "Medkit", 60, IT_HOLDABLE, HI_MEDKIT, "", "sound/items/use_medkit.wav"},
    {"item_quad", "sound/items/quaddamage.wav", {"models/powerups/instant/quad.md3", "models/powerups/instant/quad.md3", "", ""}, "icons/quad", "Quad Damage", 30, IT_POWERUP, PW_QUAD, "", "sound/items/damage2.wav sound/items/damage3.wav"},
    {"item_enviro", "sound/items/protect.wav", {"models/powerups/instant/enviro.md3", "models/powerups/instant/enviro_ring.md3", "", ""}, "icons/envirosuit", "Battle Suit", 30, IT_POWERUP, PW_BATTLESUIT, "", "sound/items/airout.wav sound/items/protect3.wav"},
    {"item_haste", "sound/items/haste.wav", {"models/powerups/instant/haste.md3", "models/powerups/instant/haste_ring.md3", "", ""}, "icons/haste", "Speed", 30, IT_POWERUP, PW_HASTE, "", ""},
    {"item_invis", "sound/items/invisibility.wav", {"models/powerups/instant/invis.md3", "models/powerups/instant/invis_ring.md3", "", ""}, "icons/invis", "Invisibility", 30, IT_POWERUP, PW_INVIS, "", ""},
    {"item_regen", "sound/items/regeneration.wav", {"models/powerups/instant/regen.md3", "models/powerups/instant/regen_ring.md3", "", ""}, "icons/regen", "Regeneration", 30, IT_POWERUP, PW_REGEN, "", "sound/items/regen.wav"},
    {"item_flight", "sound/items/flight.wav", {"models/powerups/instant/flight.md3", "models/powerups/instant/flight_ring.md3", "", ""}, "icons/flight", "Flight", 60, IT_POWERUP, PW_FLIGHT, "", "sound/items/flight.wav"},
    {"team_CTF_redflag", "", {"models/flags/r_flag.md3", "", "", ""}, "icons/iconf_red1", "Red Flag", 0, IT_TEAM, PW_REDFLAG, "", ""},
    {"team_CTF_blueflag", "", {"models/flags/b_flag.md3", "", "", ""}, "icons/iconf_blu1", "Blue Flag", 0, IT_TEAM, PW_BLUEFLAG, "", ""},
    {"holdable_kamikaze", "sound/items/holdable.wav", {"models/powerups/kamikazi.md3", "", "", ""}, "icons/kamikaze", "Kamikaze", 60, IT_HOLDABLE, HI_KAMIKAZE, "", "sound/items/kamikazerespawn.wav"},
    {"holdable_portal", "sound/items/holdable.wav", {"models/powerups/holdable/porter.md3", "", "", ""}, "icons/portal", "Portal", 60, IT_HOLDABLE, HI_PORTAL, "", ""},
    {"holdable_invulnerability", "sound/items/holdable.wav", {"models/powerups/holdable/invulnerability.md3", "", "", ""}, "icons/invulnerability", "Invulnerability", 60, IT_HOLDABLE, HI_INVULNERABILITY, "", ""},
    {"ammo_nails", "sound/misc/am_pkup.wav", {"models/powerups/ammo/nailgunam.md3", "", "", ""}, "icons/icona_nailgun", "Nails", 20, IT_AMMO, WP_NAILGUN, "", ""},
    {"ammo_mines", "sound/misc/am_pkup.wav", {"models/powerups/ammo/proxmineam.md3", "", "", ""}, "icons/icona_proxlauncher", "Proximity Mines", 10, IT_AMMO, WP_PROX_LAUNCHER, "", ""},
    {"ammo_belt", "sound/misc/am_pkup.wav", {"models/powerups/ammo/chaingunam.md3", "", "", ""}, "icons/icona_chaingun", "Chaingun Belt", 100, IT_AMMO, WP_CHAINGUN, "", ""},
    {"item_scout", "sound/items/scout.wav", {"models/powerups/scout.md3", "", "", ""}, "icons/scout", "Scout", 30, IT_PERSISTANT_POWERUP, PW_SCOUT, "", ""},
    {"item_guard", "sound/items/guard.wav", {"models/powerups/guard.md3", "", "", ""}, "icons/guard", "Guard", 30, IT_PERSISTANT_POWERUP, PW_GUARD, "", ""},
    {"item_doubler", "sound/items/doubler.wav", {"models/powerups/doubler.md3", "", "", ""}, "icons/doubler", "Doubler", 30, IT_PERSISTANT_POWERUP, PW_DOUBLER, "", ""},
    {"item_ammoregen", "sound/items/ammoregen.wav", {"models/powerups/ammo.md3", "", "", ""}, "icons/ammo_regen", "Ammo Regen", 30, IT_PERSISTANT_POWERUP, PW_AMMOREGEN, "", ""},
    {"team_CTF_neutralflag", "", {"models/flags/n_flag.md3", "", "", ""}, "icons/iconf_neutral1", "Neutral Flag", 0, IT_TEAM, PW_NEUTRALFLAG, "", ""},
    {"item_redcube", "sound/misc/am_pkup.wav", {"models/powerups/orb/r_orb.md3", "", "", ""}, "icons/iconh_rorb", "Red Cube", 0, IT_TEAM, 0, "", ""},
    {"item_bluecube", "sound/misc/am_pkup.wav", {"models/powerups/orb/b_orb.md3", "", "", ""}, "icons/iconh_borb", "Blue Cube", 0, IT_TEAM, 0, "", ""},
    {"weapon_nailgun", "sound/misc/w_pkup.wav", {"models/weapons/nailgun/nailgun.md3", "", "", ""}, "icons/iconw_nailgun", "Nailgun", 10, IT_WEAPON, WP_NAILGUN, "", ""},
    {"weapon_prox_launcher", "sound/misc/w_pkup.wav", {"models/weapons/proxmine/proxmine.md3", "", "", ""}, "icons/iconw_proxlauncher", "Prox Launcher", 5, IT_WEAPON, WP_PROX_LAUNCHER, "", "sound/weapons/proxmine/wstbtick.wav sound/weapons/proxmine/wstbactv.wav sound/weapons/proxmine/wstbimpl.wav sound/weapons/proxmine/wstbimpm.wav sound/weapons/proxmine/wstbimpd.wav sound/weapons/proxmine/wstbactv.wav"},
    {"weapon_chaingun", "sound/misc/w_pkup.wav", {"models/weapons/vulcan/vulcan.md3", "", "", ""}, "icons/iconw_chaingun", "Chaingun", 80, IT_WEAPON, WP_CHAINGUN, "", "sound/weapons/vulcan/wvulwind.wav"},
};

namespace {

// Classname -> item row (positive) or -(fixed index + 1). The names are distinct, so one exact map
// gives what comparing items first and then the fixed names in order would.
const std::unordered_map<std::string, int32_t>& ClassNameMap() {
  static const std::unordered_map<std::string, int32_t> Map = [] {
    std::unordered_map<std::string, int32_t> m;
    for (int32_t i = CountItemList - 1; i >= 1; --i) m[ItemList[i].ClassName] = i;
    for (int32_t i = CountFixedClasses - 1; i >= 0; --i) m.emplace(FixedClassList[i].ClassName, -(i + 1));
    return m;
  }();
  return Map;
}

}  // namespace

int32_t FindItemListRow(const std::string& ClassName) {
  const auto& m = ClassNameMap();
  const auto it = m.find(ClassName);
  return it != m.end() && it->second > 0 ? it->second : -1;
}

const TGameEntityFixedClass* FindFixedClass(const std::string& ClassName) {
  const auto& m = ClassNameMap();
  const auto it = m.find(ClassName);
  return it != m.end() && it->second < 0 ? &FixedClassList[-it->second - 1] : nullptr;
}

// ===================================================================== collision pairs

TGameEntitiesCollisionPairHashMap::TGameEntitiesCollisionPairHashMap() {
  Pairs.resize(1024);
  Reset();
}

void TGameEntitiesCollisionPairHashMap::Reset() {
  First = Last = Free = -1;
  for (int32_t& b : Buckets) b = -1;
  for (int32_t i = static_cast<int32_t>(Pairs.size()) - 1; i >= 0; --i) {
    TGameEntitiesCollisionPair& p = Pairs[static_cast<size_t>(i)];
    p.Entities[0] = p.Entities[1] = nullptr;
    p.BucketNext = -1;
    p.Next = Free;
    Free = i;
  }
}

void TGameEntitiesCollisionPairHashMap::Add(TGameEntity* A, int32_t AIndex, TGameEntity* B, int32_t BIndex) {
  if (!A || !B) return;
  if (BIndex < AIndex) {
    std::swap(A, B);
    std::swap(AIndex, BIndex);
  }
  const int32_t Bucket = static_cast<int32_t>(Hash(AIndex, BIndex));
  for (int32_t p = Buckets[Bucket]; p >= 0; p = Pairs[static_cast<size_t>(p)].BucketNext) {
    const TGameEntitiesCollisionPair& Pair = Pairs[static_cast<size_t>(p)];
    if (Pair.Entities[0] == A && Pair.Entities[1] == B) return;
  }
  if (Free < 0) {
    const size_t OldSize = Pairs.size();
    Pairs.resize(std::max<size_t>(OldSize * 2, 1024));
    for (size_t i = Pairs.size(); i-- > OldSize;) {
      Pairs[i].Next = Free;
      Free = static_cast<int32_t>(i);
    }
  }
  const int32_t p = Free;
  TGameEntitiesCollisionPair& Pair = Pairs[static_cast<size_t>(p)];
  Free = Pair.Next;
  Pair.Next = -1;
  Pair.BucketNext = Buckets[Bucket];
  Pair.Bucket = Bucket;
  Pair.Entities[0] = A;
  Pair.Entities[1] = B;
  Pair.Indices[0] = AIndex;
  Pair.Indices[1] = BIndex;
  Buckets[Bucket] = p;
  if (Last >= 0)
    Pairs[static_cast<size_t>(Last)].Next = p;
  else
    First = p;
  Last = p;
}

int32_t TGameEntitiesCollisionPairHashMap::CountPairs() const {
  int32_t n = 0;
  for (int32_t p = First; p >= 0; p = Pairs[static_cast<size_t>(p)].Next) ++n;
  return n;
}

// ===================================================================== collision detection and pushing

void TGameEntities::AddCollisionPair(TGameEntity* EntityA, TGameEntity* EntityB) {
  if (!EntityA || !EntityB) return;
  CollisionPairHashMap->Add(EntityA, EntityA->Index, EntityB, EntityB->Index);
}

namespace {

constexpr float PairTolerance = 1e-12f;  // AABBIntersectEx's tolerance in the pair walk

// A box met the way AABBIntersectEx meets it with the pair tolerance, which is, on every axis,
// (Max + t >= other.Min - t) and (other.Max + t >= Min - t): both sides carry their tolerance
// already, so a test is plain comparisons.
struct TWalkBox {
  TWalkBox() = default;
  explicit TWalkBox(const TZNT1AABB& b)
      : Lo{b.Min.x - PairTolerance, b.Min.y - PairTolerance, b.Min.z - PairTolerance, 0.0f},
        Hi{b.Max.x + PairTolerance, b.Max.y + PairTolerance, b.Max.z + PairTolerance, 0.0f} {}
  float Lo[4], Hi[4];
};

// 1 when the child c of node w meets q, else 0.
inline int32_t ChildMeets(const TGameEntitiesCollisionWalkNode& w, int c, const TWalkBox& q) {
#if defined(__SSE2__)
  const __m128 Met = _mm_and_ps(_mm_cmpge_ps(_mm_load_ps(w.Hi[c]), _mm_loadu_ps(q.Lo)),
                                _mm_cmpge_ps(_mm_loadu_ps(q.Hi), _mm_load_ps(w.Lo[c])));
  return (_mm_movemask_ps(Met) & 7) == 7;
#else
  return static_cast<int32_t>((w.Hi[c][0] >= q.Lo[0]) & (w.Hi[c][1] >= q.Lo[1]) & (w.Hi[c][2] >= q.Lo[2]) &
                              (q.Hi[0] >= w.Lo[c][0]) & (q.Hi[1] >= w.Lo[c][1]) & (q.Hi[2] >= w.Lo[c][2]));
#endif
}

bool BoxMeets(const TWalkBox& a, const TWalkBox& b) {
  return a.Hi[0] >= b.Lo[0] && a.Hi[1] >= b.Lo[1] && a.Hi[2] >= b.Lo[2] && b.Hi[0] >= a.Lo[0] &&
         b.Hi[1] >= a.Lo[1] && b.Hi[2] >= a.Lo[2];
}

// Refreshes Walk from the nodes the root reaches. Inner nodes take slots in the order the walk
// goes down (both children of a node side by side, the second child's subtree next), and the
// walk's codes are those slots, or the complemented node id for a leaf. Answers the root's code
// in RootCode and the depth of the deepest node; Pending is scratch for (node, slot, depth).
int32_t BuildWalkNodes(const TZNT1DynamicAABBTree& Tree, std::vector<TGameEntitiesCollisionWalkNode>& Walk,
                       std::vector<int32_t>& Pending, int32_t& RootCode) {
  if (Walk.size() < Tree.Nodes.size()) Walk.resize(Tree.Nodes.size());
  auto IsLeaf = [&](int32_t NodeID) { return Tree.Nodes[static_cast<size_t>(NodeID)].Children[0] == daabbtNULLNODE; };
  int32_t Slots = 0, Depth = 0;
  RootCode = IsLeaf(Tree.Root) ? ~Tree.Root : Slots++;
  Pending.clear();
  if (RootCode >= 0) Pending.insert(Pending.end(), {Tree.Root, RootCode, 0});
  while (!Pending.empty()) {
    const int32_t d = Pending.back();
    const int32_t Slot = Pending[Pending.size() - 2];
    const int32_t NodeID = Pending[Pending.size() - 3];
    Pending.resize(Pending.size() - 3);
    Depth = std::max(Depth, d + 1);
    const TZNT1DynamicAABBTreeNode& Node = Tree.Nodes[static_cast<size_t>(NodeID)];
    TGameEntitiesCollisionWalkNode& w = Walk[static_cast<size_t>(Slot)];
    for (int c = 0; c < 2; ++c) {
      const int32_t Child = Node.Children[c];
      if (Child < 0) {
        // Never met: NaN compares false.
        for (int k = 0; k < 4; ++k) w.Lo[c][k] = w.Hi[c][k] = std::numeric_limits<float>::quiet_NaN();
        continue;
      }
      const TWalkBox b(Tree.Nodes[static_cast<size_t>(Child)].AABB);
      int32_t Code = ~Child;
      if (!IsLeaf(Child)) {
        Code = Slots++;
        Pending.insert(Pending.end(), {Child, Code, d + 1});
      }
      for (int k = 0; k < 3; ++k) {
        w.Lo[c][k] = b.Lo[k];
        w.Hi[c][k] = b.Hi[k];
      }
      std::memcpy(&w.Lo[c][3], &Code, sizeof(Code));
      w.Hi[c][3] = 0.0f;
    }
  }
  return Depth;
}

// The box an entity sweeps this tick and its motion.
void SweepOf(const TGameEntity& E, TZNT1AABB& Box, TZNT1Vector3& Motion) {
  if (E.HasCollisionDisplacement) {
    Box = E.CollisionDisplacementAABB;
    Motion = E.CollisionDisplacement;
  } else {
    Box = E.CollisionAABB;
    Motion = Vector3Origin;
  }
}

}  // namespace

void TGameEntities::CollisionDetection() {
  TGameEntitiesCollisionPairHashMap& Pairs = *CollisionPairHashMap;
  if (Pairs.First >= 0 && Pairs.Last >= 0) Pairs.Reset();
  for (TGameEntity* E : Items)
    if (E) E->CountCollisions = 0;
  TZNT1DynamicAABBTree* Tree = CollisionDynamicAABBTree.get();
  const int32_t CountModels = static_cast<int32_t>(MapModelsToEntities.size());
  auto FirstOfModel = [&](int32_t m) -> TGameEntity* {
    return m >= 0 && m < CountModels && !MapModelsToEntities[static_cast<size_t>(m)].empty()
               ? MapModelsToEntities[static_cast<size_t>(m)][0]
               : nullptr;
  };
  // The walks read both children's boxes from one line per inner node. Having taken a node of
  // depth d, a walk holds at most one pending sibling for each of the d levels above and writes
  // the node's children after them, so the deepest depth + 1 entries each suffice (one more is
  // kept spare), in its share of the tree's own stack, grown to the next power of two.
  const bool HasTree = Tree && Tree->Root != daabbtNULLNODE;
  int32_t RootCode = 0, StackPerWalk = 0;
  const TWalkBox RootBox(HasTree ? Tree->Nodes[static_cast<size_t>(Tree->Root)].AABB : TZNT1AABB{});
  if (HasTree) {
    StackPerWalk = BuildWalkNodes(*Tree, CollisionWalkNodes, CollisionWalkPending, RootCode) + 2;
    const size_t Needed = static_cast<size_t>(StackPerWalk) * CollisionWalks;
    if (Tree->Stack.size() < Needed) {
      size_t n = 16;
      while (n < Needed) n <<= 1;
      Tree->Stack.resize(n);
      Tree->StackCapacity = static_cast<int32_t>(n);
    }
  }
  const TGameEntitiesCollisionWalkNode* WalkNodes = CollisionWalkNodes.data();

  struct TWalk {
    TWalkBox Query;
    int32_t* Stack;
    int32_t Top;
    int32_t Found;  // leaves met so far, in CollisionCandidates
  };
  const size_t Count = Items.size();
  for (size_t Next = 0; Next < Count;) {
    // The next entities in list order; each with a box starts a walk when the root meets it.
    TGameEntity* Batch[CollisionWalks];
    int32_t WalkOf[CollisionWalks];  // per batch entry, its walk or -1
    TWalk Walks[CollisionWalks];
    int32_t CountBatch = 0, CountWalks = 0;
    for (; Next < Count && CountBatch < CollisionWalks; ++Next, ++CountBatch) {
      TGameEntity* E = Items[Next];
      Batch[CountBatch] = E;
      WalkOf[CountBatch] = -1;
      if (!E || !E->HasCollisionAABB || !HasTree) continue;
      const TWalkBox Query(E->HasCollisionDisplacement ? AABBCombine(E->CollisionAABB, E->OldCollisionAABB)
                                                       : E->CollisionAABB);
      if (!BoxMeets(RootBox, Query)) continue;
      TWalk& w = Walks[CountWalks];
      w.Query = Query;
      w.Stack = Tree->Stack.data() + static_cast<size_t>(CountWalks) * static_cast<size_t>(StackPerWalk);
      w.Stack[0] = RootCode;
      w.Top = 1;
      w.Found = 0;
      WalkOf[CountBatch] = CountWalks++;
    }

    // The walks take one node each in turn, so their loads overlap. Children are tested before
    // they are written to the stack and only those that meet stay; the second child comes out
    // first, so each walk meets its leaves in the plain depth-first order.
    for (int32_t Active = CountWalks; Active > 0;) {
      Active = 0;
      for (int32_t k = 0; k < CountWalks; ++k) {
        TWalk& w = Walks[k];
        if (w.Top == 0) continue;
        ++Active;
        const int32_t Code = w.Stack[--w.Top];
        if (Code < 0) {
          std::vector<int32_t>& Found = CollisionCandidates[k];
          if (static_cast<size_t>(w.Found) == Found.size()) Found.resize(std::max<size_t>(64, Found.size() * 2));
          Found[static_cast<size_t>(w.Found++)] = ~Code;
          continue;
        }
        const TGameEntitiesCollisionWalkNode& n = WalkNodes[Code];
        std::memcpy(&w.Stack[w.Top], &n.Lo[0][3], sizeof(int32_t));
        w.Top += ChildMeets(n, 0, w.Query);
        std::memcpy(&w.Stack[w.Top], &n.Lo[1][3], sizeof(int32_t));
        w.Top += ChildMeets(n, 1, w.Query);
      }
    }

    // Pairs are recorded in list order: a player's map models first, then the leaves its walk
    // met whose entities its sweep touches.
    for (int32_t i = 0; i < CountBatch; ++i) {
      TGameEntity* E = Batch[i];
      if (!E) continue;
      if (E->EntityType == ET_CLIENT && E->Client) {
        const TGameClient& c = *E->Client;
        if (c.GroundMapModel > 0) AddCollisionPair(E, FirstOfModel(c.GroundMapModel));
        const int32_t n = std::min<int32_t>(c.TouchedMapModelsListSize, static_cast<int32_t>(c.TouchedMapModelsList.size()));
        for (int32_t j = 0; j < n; ++j) {
          const int32_t m = c.TouchedMapModelsList[static_cast<size_t>(j)];
          if (m >= 0 && m < CountModels)
            for (TGameEntity* X : MapModelsToEntities[static_cast<size_t>(m)]) AddCollisionPair(E, X);
        }
      }
      if (WalkOf[i] < 0) continue;
      const int32_t k = WalkOf[i];
      TZNT1AABB SweepE;
      TZNT1Vector3 MotionE;
      SweepOf(*E, SweepE, MotionE);
      const std::vector<int32_t>& Found = CollisionCandidates[k];
      for (int32_t j = 0; j < Walks[k].Found; ++j) {
        auto* X = static_cast<TGameEntity*>(Tree->Nodes[static_cast<size_t>(Found[static_cast<size_t>(j)])].UserData);
        if (!X || X == E) continue;
        TZNT1AABB SweepX;
        TZNT1Vector3 MotionX;
        SweepOf(*X, SweepX, MotionX);
        float FirstTime, LastTime;
        if (AABBSweepTest(SweepE, SweepX, MotionE, MotionX, FirstTime, LastTime)) AddCollisionPair(E, X);
      }
    }
  }
  Pairs.Dispatch([](TGameEntity* A, TGameEntity* B) {
    A->AddCollision(B);
    A->Touch(B);
    B->AddCollision(A);
    B->Touch(A);
  });
}

namespace {

constexpr int32_t PushMask = 0x2010001;  // solid, player clip and bodies

bool IsLivePlayer(const TGameEntity* E) {
  return E && E->EntityType == ET_CLIENT && E->Client && E->Client->Mode == gcmALIVE;
}

}  // namespace

void TGameEntity::MoverPush() {
  if (MapModelIndex <= 0) return;
  TZNT1BSP* BSP = Engine->BSP.get();
  if (!BSP || !BSP->Collision) return;
  const TZNT1AABB TotalAABB = AABBCombine(OldAABB, AABB);
  // The turn of this tick, applied the way Transform turns the brush (row vectors), so what it
  // pushes moves along the arc with it.
  const TZNT1Matrix4x4 R = RotationOfDegrees(RotationOffset);
  for (TGameEntity* E : Entities->Items) {
    if (!E || E == this || (E->EntityType != ET_ITEM && E->EntityType != ET_CLIENT)) continue;
    if (E->GroundEntity == this || !AABBIntersectEx(E->AABB, TotalAABB, 1e-12f)) continue;
    if (E->EntityType == ET_CLIENT && !E->Client) continue;
    TZNT1Vector3 P, Mins, Maxs;
    if (E->EntityType == ET_ITEM) {
      P = Centre(E->AABB);
      Mins = Vector3Sub(E->AABB.Min, P);
      Maxs = Vector3Sub(E->AABB.Max, P);
    } else {
      P = E->Client->InternalPosition;
      Mins = E->Client->Mins;
      Maxs = E->Client->Maxs;
    }
    TZNT1BSPCollisionTrace Trace;
    Trace.Alive = IsLivePlayer(E);  // doors and platforms do not block the dead
    BSP->Collision->TraceBox(P, P, Mins, Maxs, 1, Trace, PushMask);
    if (!Trace.StartSolid) continue;
    const TZNT1Vector3 d = Vector3Sub(P, Translation);
    const TZNT1Vector3 Move = Vector3Sub(Vector3TermMatrixMul(d, R), d);
    const TZNT1Vector3 PNew = Vector3Add(Vector3Add(P, TranslationOffset), Move);
    const TZNT1Vector3 PFar = Vector3Add(Vector3Add(PNew, TranslationOffset), Vector3ScalarMul(Move, 16.0f));
    TZNT1BSPCollisionTrace Escape;
    Escape.Alive = Trace.Alive;
    BSP->Collision->TraceBox(PFar, PNew, Mins, Maxs, 4, Escape, PushMask);
    if (Escape.StartSolid) continue;
    const TZNT1Vector3 Delta = Vector3Sub(Escape.EndPos, P);
    if (E->EntityType == ET_ITEM) {
      E->Translation = Vector3Add(E->Translation, Delta);
      E->UpdateTransformMatrix();
    } else {
      TGameClient& c = *E->Client;
      c.InternalPosition = Vector3Add(c.InternalPosition, Delta);
      c.Angle.Yaw = AngleClamp(c.Angle.Yaw + RotationOffset.y * DegToRad);
      c.UpdateAABB();
      E->AABB = c.AABB;
    }
  }
}

// ===================================================================== entity sounds

TGameEntitySound::TGameEntitySound(TGameEntities* AEntities, TGameEntity* AEntity)
    : Entities(AEntities), Entity(AEntity) {}

TGameEntitySound::~TGameEntitySound() {
  if (!Sample) return;
  const int32_t v = VoiceIndex.load();
  if (v >= 0) Sample->Stop(v);
  Sample->DecRef();
}

namespace {

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) && std::atomic<int32_t>::is_always_lock_free,
              "the mixer writes voice handles as plain 32-bit integers");

// Raises a request only when none is pending.
void Raise(std::atomic<int32_t>& Counter, int32_t Value) {
  int32_t Expected = 0;
  Counter.compare_exchange_strong(Expected, Value);
}

std::string WithExtension(const std::string& Name, const std::string& Ext) {
  const size_t Dot = Name.find_last_of('.');
  const size_t Slash = Name.find_last_of("/\\");
  if (Dot == std::string::npos || (Slash != std::string::npos && Dot < Slash)) return Name + Ext;
  return Name.substr(0, Dot) + Ext;
}

}  // namespace

void TGameEntitySound::Play(bool Local) { Raise(ToPlay, Local ? 1 : -1); }

void TGameEntitySound::Stop() {
  if (VoiceIndex.load() >= 0) Raise(ToStop, -1);
}

void TGameEntitySound::Toggle() { Raise(ToToggle, -1); }

void TGameEntitySound::Update() {
  if (!Entity || !Sample) return;
  TGameEntity& E = *Entity;
  if (ToToggle.load() != 0) {
    if (VoiceIndex.load() < 0)
      Raise(ToPlay, -1);
    else
      Raise(ToStop, -1);
    ToToggle.store(0);
  }
  int32_t* Handle = reinterpret_cast<int32_t*>(&VoiceIndex);
  const int32_t Request = ToPlay.load();
  if (Request != 0) {
    auto Start = [&](float Volume, bool EffectMix) {
      const int32_t v = Sample->Play(Volume, 0.0f, 1.0f, Handle);
      if (v >= 0) Sample->SetEffectMix(v, EffectMix ? 1 : 0);
      return v;
    };
    switch (E.EntityType) {
      case ET_WORLDSPAWN:
        Start(0.25f, false);
        break;
      case ET_TARGET_SPEAKER:
      case ET_FUNC_TRAIN:
      case ET_ITEM:
        if (VoiceIndex.load() < 0) Start(0.75f, true);
        break;
      case ET_FUNC_BUTTON:
      case ET_FUNC_DOOR:
      case ET_FUNC_PLAT:
        if (VoiceIndex.load() < 0) Start(0.8f, true);
        break;
      case ET_TARGET_TELEPORTER:
      case ET_TRIGGER_PUSH:
      case ET_TRIGGER_TELEPORT:
        if (VoiceIndex.load() < 0) {
          const int32_t v = Start(0.75f, true);
          TZNT1Vector3 Origin;
          if (v >= 0) {
            if (Request == -1 && E.GetSoundOrigin(Origin)) {
              Sample->SetPosition(v, 1, Origin, Vector3Origin);
            } else {
              Sample->SetPosition(v, 0, Vector3Origin, Vector3Origin);
              Sample->SetVolume(v, 0.75f);
              Sample->SetPanning(v, 0.0f);
            }
          }
        }
        break;
      default:
        break;
    }
    ToPlay.store(0);
  }
  if (ToStop.load() != 0) {
    const int32_t v = VoiceIndex.load();
    if (v >= 0) Sample->Stop(v);
    ToStop.store(0);
  }
  const int32_t v = VoiceIndex.load();
  if (v < 0) return;
  switch (E.EntityType) {
    case ET_TARGET_SPEAKER:
      if (E.SpawnFlags & 4) {
        Sample->SetPosition(v, 0, E.Translation, E.Velocity);
        Sample->SetEffectMix(v, 0);
        Sample->SetVolume(v, 0.75f);
        Sample->SetPanning(v, 0.0f);
      } else {
        Sample->SetEffectMix(v, 1);
        Sample->SetPosition(v, 1, E.Translation, E.Velocity);
      }
      break;
    case ET_FUNC_TRAIN:
    case ET_ITEM:
      Sample->SetPosition(v, 1, E.Translation, Vector3Origin);
      break;
    case ET_FUNC_BUTTON:
    case ET_FUNC_DOOR:
    case ET_FUNC_PLAT:
      Sample->SetPosition(v, 1, Centre(E.AABB), Vector3Origin);
      break;
    default:
      break;
  }
}

std::array<std::string, 3> SoundFileCandidates(const std::string& Name) {
  return {Name, WithExtension(Name, ".ogg"), WithExtension(Name, ".wav")};
}

std::string FindSoundFile(const TZNT1Engine* Engine, const std::string& Name) {
  if (!Engine || !Engine->Archives || Name.empty()) return {};
  for (const std::string& Candidate : SoundFileCandidates(Name))
    if (Engine->Archives->ExistFile(Candidate)) return Candidate;
  return {};
}

TGameEntitySound* TGameEntities::LoadSound(TGameEntity* Entity, const std::string& SoundFile, bool Loop, bool Start,
                                           int32_t Polyphony) {
  if (!SoundSystem || SoundFile.empty()) return nullptr;
  const std::string File = FindSoundFile(Engine, SoundFile);
  if (File.empty()) return nullptr;
  std::unique_ptr<TMemoryStream> Stream = Engine->Archives->ExtractFile(File);
  if (!Stream) return nullptr;
  // Registered under the name asked for, whichever file was found.
  TZNT1SoundSample* Sample = SoundSystem->Samples->Load(SoundFile, Stream.get(), Loop ? 2u : 0u, Polyphony);
  if (!Sample) return nullptr;
  auto Sound = std::make_unique<TGameEntitySound>(this, Entity);
  Sound->Name = SoundFile;
  Sound->Sample = Sample;
  Sound->Loop = Loop;
  Sound->Start = Start;
  SoundList.push_back(std::move(Sound));
  return SoundList.back().get();
}

// ===================================================================== entity classes: the classes

namespace {


// Whether a countdown ends in this tick. A hair of slack keeps sums of 1/60 s steps from
// pushing an event whose time is a whole number of ticks into the tick after.
bool RunsOut(double RemainTime, double DeltaTime) { return RemainTime <= DeltaTime + 1e-9; }

// |Random x RandomEx| + Wait.
float RandomDelay(const TGameEntity& E) { return std::fabs(static_cast<float>(Random()) * E.RandomEx) + E.Wait; }

void PlaySound(TGameEntitySound* Sound, bool Local) {
  if (Sound) Sound->Play(Local);
}

// When Value is exactly 0 it becomes Default.
void OrDefault(float& Value, float Default) {
  if (Value == 0.0f) Value = Default;
}

// Travel time of a two-position mover, never 0, negative or NaN.
float TravelTime(const TGameEntity& E) {
  const float d = Vector3Length(Vector3Sub(E.Pos2, E.Pos1)) / E.Speed;
  return d > 0.0f ? d : 0.001f;
}

TGameEntity* NewEntity(TGameEntities* A, int32_t Type) {
  switch (Type) {
    case ET_WORLDSPAWN: return new TGameEntityWorldSpawn(A);
    case ET_INFO_PLAYER_START: return new TGameEntityInfoPlayerStart(A);
    case ET_INFO_PLAYER_DEATHMATCH: return new TGameEntityInfoPlayerDeathmatch(A);
    case ET_TEAM_CTF_BLUEPLAYER: return new TGameEntityTeamCTFBluePlayer(A);
    case ET_TEAM_CTF_REDPLAYER: return new TGameEntityTeamCTFRedPlayer(A);
    case ET_TARGET_SPEAKER: return new TGameEntityTargetSpeaker(A);
    case ET_TARGET_PRINT: return new TGameEntityTargetPrint(A);
    case ET_TARGET_LOCATION: return new TGameEntityTargetLocation(A);
    case ET_TARGET_POSITION: return new TGameEntityTargetPosition(A);
    case ET_TARGET_DELAY: return new TGameEntityTargetDelay(A);
    case ET_TARGET_GIVE: return new TGameEntityTargetGive(A);
    case ET_TARGET_KILL: return new TGameEntityTargetKill(A);
    case ET_TARGET_LASER: return new TGameEntityTargetLaser(A);
    case ET_TARGET_PUSH: return new TGameEntityTargetPush(A);
    case ET_TARGET_RELAY: return new TGameEntityTargetRelay(A);
    case ET_TARGET_REMOVE_POWERUPS: return new TGameEntityTargetRemovePowerups(A);
    case ET_TARGET_SCORE: return new TGameEntityTargetScore(A);
    case ET_TARGET_TELEPORTER: return new TGameEntityTargetTeleporter(A);
    case ET_TRIGGER_ALWAYS: return new TGameEntityTriggerAlways(A);
    case ET_TRIGGER_HURT: return new TGameEntityTriggerHurt(A);
    case ET_TRIGGER_MULTIPLE: return new TGameEntityTriggerMultiple(A);
    case ET_TRIGGER_PUSH: return new TGameEntityTriggerPush(A);
    case ET_TRIGGER_TELEPORT: return new TGameEntityTriggerTeleport(A);
    case ET_FUNC_TIMER: return new TGameEntityFuncTimer(A);
    case ET_FUNC_BOBBING: return new TGameEntityFuncBobbing(A);
    case ET_FUNC_PENDULUM: return new TGameEntityFuncPendulum(A);
    case ET_FUNC_ROTATING: return new TGameEntityFuncRotating(A);
    case ET_FUNC_TRAIN: return new TGameEntityFuncTrain(A);
    case ET_PATH_CORNER: return new TGameEntityPathCorner(A);
    case ET_FUNC_BUTTON: return new TGameEntityFuncButton(A);
    case ET_FUNC_DOOR: return new TGameEntityFuncDoor(A);
    case ET_FUNC_GROUP: return new TGameEntityFuncGroup(A);
    case ET_FUNC_PLAT: return new TGameEntityFuncPlat(A);
    case ET_FUNC_STATIC: return new TGameEntityFuncStatic(A);
    case ET_MISC_TELEPORTER_DEST: return new TGameEntityMiscTeleporterDest(A);
    case ET_INFO_NOTNULL: return new TGameEntityInfoNotNull(A);
    case ET_INFO_NULL: return new TGameEntityInfoNull(A);
    case ET_FUNC_BREAKABLE: return new TGameEntityFuncBreakable(A);
    default: return new TGameEntityUnknown(A);
  }
}

// A model child of E holding Model (and AddOn); nothing when the model is missing.
void AddModelChild(TGameEntity& E, TZNT1Model* Model, TZNT1Model* AddOn, int32_t EntityIndex) {
  auto* Child = new TGameEntityModel(E.Entities);
  Child->Model = Model;
  Child->ModelInstance = Model->CreateInstance();
  Child->ModelInstance->EntityIndex = EntityIndex;
  if (AddOn) {
    Child->AddOnModel = AddOn;
    Child->AddOnModelInstance = AddOn->CreateInstance();
    Child->AddOnModelInstance->EntityIndex = EntityIndex;
    Child->ModelInstance->Link("tag_barrel", Child->AddOnModelInstance);
  }
  Child->Translation = E.Translation;
  E.Entities->Add(Child);
  E.AddChild(Child);
}

}  // namespace

TGameEntity* CreateEntityOfClass(TGameEntities* AEntities, const std::string& ClassName) {
  if (FindItemListRow(ClassName) > 0) return new TGameEntityItem(AEntities);
  const TGameEntityFixedClass* c = FindFixedClass(ClassName);
  return NewEntity(AEntities, c ? c->EntityType : ET_UNKNOWN);
}

void LoadClassKeys(TGameEntity* E, const TZNT1Entity& e, int32_t EntityIndex) {
  if (!E) return;
  const auto RGB = [&] {
    const TZNT1Vector3 c = e.GetRGB("color");
    return Vector4(c.x, c.y, c.z, 1.0f);
  };
  if (E->EntityType == ET_ITEM) {
    const int32_t Row = FindItemListRow(e.GetString("classname"));
    if (Row <= 0) return;
    const TGameEntityPredefinedItem& Item = ItemList[Row];
    E->ItemType = Item.giType;
    E->ItemTag = Item.giTag;
    E->Quantity = Item.Quantity;
    E->Angles.y = static_cast<float>(Random());
    OrDefault(E->Wait, 20.0f);
    E->Noise = Item.PickUpSound;
    TZNT1Models* Models = E->Engine->Models.get();
    for (const char* Name : Item.WorldModel) {
      if (!Name[0] || !Models) continue;
      TZNT1Model* Model = Models->GetModel(Name);
      if (!Model) continue;
      Model->IncRef();
      TZNT1Model* Barrel = nullptr;
      if (Item.giType == IT_WEAPON) {
        Barrel = Models->GetModel(WithExtension(Name, "_barrel.md3"));
        if (Barrel) Barrel->IncRef();
      }
      AddModelChild(*E, Model, Barrel, EntityIndex);
    }
    return;
  }
  switch (E->EntityType) {
    case ET_WORLDSPAWN:
      E->MessageText = e.GetString("message");
      E->Ambient = e.GetInteger("ambient", 0);
      E->Color = RGB();  // no "color" reads black
      E->Noise = e.GetString("music");
      break;
    case ET_TARGET_SPEAKER:
      E->Noise = e.GetString("noise");
      break;
    case ET_TARGET_PRINT:
    case ET_TARGET_LOCATION:
    case ET_TARGET_POSITION:
      E->MessageText = e.GetString("message");
      break;
    case ET_TARGET_DELAY:
      E->Wait = e.GetFloat("delay");
      if (E->Wait == 0.0f) E->Wait = e.GetFloat("wait");
      OrDefault(E->Wait, 1.0f);
      E->RandomEx = e.GetFloat("random");
      break;
    case ET_TARGET_PUSH:
      E->Speed = e.GetFloat("speed");
      OrDefault(E->Speed, 1000.0f);
      SetMoveDir(E->Angles, E->MoveDirection);
      E->MoveDirection = Vector3ScalarMul(E->MoveDirection, E->Speed);
      break;
    case ET_TARGET_SCORE:
      if (E->Count == 0) E->Count = 1;
      break;
    case ET_TRIGGER_ALWAYS:
      E->RemainTime = 0.3;
      E->ToTrigger = true;
      break;
    case ET_TRIGGER_HURT:
      E->Damage = e.GetInteger("dmg", 0);
      if (E->Damage == 0) E->Damage = 5;
      break;
    case ET_TRIGGER_MULTIPLE:
      E->RandomEx = e.GetFloat("random");
      OrDefault(E->Wait, 0.2f);
      break;
    case ET_FUNC_TIMER:
      E->RandomEx = e.GetFloat("random");
      OrDefault(E->RandomEx, 1.0f);
      OrDefault(E->Wait, 1.0f);
      if (E->RandomEx >= E->Wait) E->RandomEx = E->Wait - 1.0f / 60.0f;
      if (E->SpawnFlags & 1) E->RemainTime = 1.0 / 60.0;
      E->ToTrigger = true;
      break;
    case ET_FUNC_BOBBING:
      E->Height = e.GetFloat("height");
      OrDefault(E->Height, 32.0f);
      E->Phase = e.GetFloat("phase");
      E->Speed = e.GetFloat("speed");
      OrDefault(E->Speed, 4.0f);
      break;
    case ET_FUNC_PENDULUM:
      E->Phase = e.GetFloat("phase");
      E->Speed = e.GetFloat("speed");
      OrDefault(E->Speed, 30.0f);
      E->Damage = e.GetInteger("dmg", 0);
      break;
    case ET_FUNC_ROTATING:
      E->Speed = e.GetFloat("speed");
      OrDefault(E->Speed, 100.0f);
      E->InvSpeed = 360.0 / E->Speed;
      break;
    case ET_FUNC_TRAIN:
      E->Speed = e.GetFloat("speed");
      OrDefault(E->Speed, 100.0f);
      E->Wait = 0.0f;
      E->RemainTime = 0.0;
      E->Duration = 0.0f;
      break;
    case ET_PATH_CORNER:
      E->Speed = e.GetFloat("speed");
      break;
    case ET_FUNC_BUTTON:
      SetMoveDir(E->Angles, E->MoveDirection);
      E->CloseWhenIdle = e.GetInteger("CloseWhenIdle", 0) != 0;
      E->Lip = static_cast<float>(e.GetInteger("lip", 4));
      E->Speed = 40.0f;
      OrDefault(E->Wait, 1.0f);
      break;
    case ET_FUNC_DOOR:
      E->CloseWhenIdle = e.GetInteger("CloseWhenIdle", 0) != 0;
      E->Speed = e.GetFloat("speed");
      E->Lip = static_cast<float>(e.GetInteger("lip", 0));
      E->Health = e.GetInteger("health", 0);
      E->Damage = e.GetInteger("dmg", 0);
      E->Team = e.GetString("team");
      E->Light = e.GetFloat("light");
      E->Color = RGB();
      SetMoveDir(E->Angles, E->MoveDirection);
      OrDefault(E->Speed, 400.0f);
      OrDefault(E->Accel, E->Speed);
      OrDefault(E->Decel, E->Speed);
      OrDefault(E->Wait, 2.0f);
      OrDefault(E->Lip, 8.0f);
      if (E->Damage == 0) E->Damage = 2;
      break;
    case ET_FUNC_PLAT:
      E->CloseWhenIdle = e.GetInteger("CloseWhenIdle", 0) != 0;
      E->Speed = e.GetFloat("speed");
      E->Damage = e.GetInteger("dmg", 0);
      E->Lip = static_cast<float>(e.GetInteger("lip", 0));
      E->Height = e.GetFloat("height");
      OrDefault(E->Speed, 200.0f);
      OrDefault(E->Wait, 1.0f);
      OrDefault(E->Lip, 8.0f);
      if (E->Damage == 0) E->Damage = 2;
      break;
    default:
      break;
  }
}

// ---- worldspawn, speakers, prints ----

void TGameEntityWorldSpawn::LoadSound() {
  SampleInstance = Entities->LoadSound(this, Noise, true, true, 1);
  PlaySound(SampleInstance, false);
}

void TGameEntityTargetSpeaker::LoadSound() {
  SampleInstance = Entities->LoadSound(this, Noise, (SpawnFlags & 3) != 0, true, 4);
  if (SpawnFlags & 1) PlaySound(SampleInstance, false);
}

void TGameEntityTargetSpeaker::Use(TGameEntity*) {
  if (!SampleInstance) return;
  if (SpawnFlags & 3)
    SampleInstance->Toggle();
  else
    SampleInstance->Play(false);
}

namespace {

void PrintMessage(TGameEntity& E) {
  if (!E.Entities->Console) return;
  std::string Line(1, '\0');
  Line += static_cast<char>(13);
  Line += E.MessageText;
  E.Entities->Console->Lines.Add(Line);
}

}  // namespace

void TGameEntityTargetPrint::Use(TGameEntity*) { PrintMessage(*this); }
void TGameEntityTargetLocation::Use(TGameEntity*) { PrintMessage(*this); }

// ---- delays, relays, pushes, teleporters ----

void TGameEntityTargetDelay::Use(TGameEntity*) {
  if (Triggered) return;
  Triggered = true;
  RemainTime = Wait;
}

void TGameEntityTargetDelay::Update() {
  if (!Triggered) return;
  if (RunsOut(RemainTime, Entities->DeltaTime)) {
    RemainTime = 0.0;
    UseTargets(this);
    Triggered = false;
  } else {
    RemainTime -= Entities->DeltaTime;
  }
}

void TGameEntityTargetPush::LoadSound() {
  SampleInstance = Entities->LoadSound(
      this, (SpawnFlags & 1) ? "sound/world/jumppad.wav" : "sound/world/windfly.wav", false, false, 4);
}

void TGameEntityTargetPush::Use(TGameEntity* UsedByEntity) {
  if (!IsLivePlayer(UsedByEntity)) return;
  UsedByEntity->Client->Velocity = MoveDirection;
  if (RemainTime == 0.0) {
    RemainTime = 1.5;
    PlaySound(SampleInstance, false);
  }
}

void TGameEntityTargetPush::Update() {
  if (RunsOut(RemainTime, Entities->DeltaTime))
    RemainTime = 0.0;
  else
    RemainTime -= Entities->DeltaTime;
}

void TGameEntityTargetRelay::Use(TGameEntity* UsedByEntity) {
  if (!(SpawnFlags & 4)) {
    UseTargets(UsedByEntity);
    return;
  }
  const bool WasInUseTargets = InUseTargets;
  InUseTargets = true;
  for (int32_t Try = 0; Try < NumTargets; ++Try) {
    TGameEntity* t = Targets[static_cast<size_t>(Random(NumTargets))];
    if (!t) continue;
    if (!t->InUseTargets) t->Use(UsedByEntity);
    break;
  }
  InUseTargets = WasInUseTargets;
}

void TGameEntityTargetTeleporter::LoadSound() {
  SampleInstance = Entities->LoadSound(this, "sound/world/telein.wav", false, false, 4);
}

void TGameEntityTargetTeleporter::Use(TGameEntity* UsedByEntity) {
  if (!UsedByEntity || UsedByEntity->EntityType != ET_CLIENT || !UsedByEntity->Client || NumTargets <= 0) return;
  TGameEntity* t = Targets[0];
  if (!t) return;
  UsedByEntity->Client->TeleportTo(t->Origin, t->Angles.y);
  PlaySound(SampleInstance, UsedByEntity->Client->Local);
}

// ---- triggers ----

void TGameEntityTriggerAlways::Update() {
  if (!ToTrigger) return;
  if (RunsOut(RemainTime, Entities->DeltaTime)) {
    ToTrigger = false;
    RemainTime = 0.0;
    UseTargets(this);
  } else {
    RemainTime -= Entities->DeltaTime;
  }
}

void TGameEntityTriggerMultiple::Initialize() { ToWait = RemainTime > 0.0; }

void TGameEntityTriggerMultiple::Update() {
  if (RunsOut(RemainTime, Entities->DeltaTime)) {
    RemainTime = 0.0;
    ToWait = false;
  } else {
    RemainTime -= Entities->DeltaTime;
    ToWait = true;
  }
}

void TGameEntityTriggerMultiple::Fire(TGameEntity* By) {
  if (ToWait) return;
  UseTargets(By);
  if (Wait > 0.0f) RemainTime = RandomDelay(*this);
  ToWait = true;
}

void TGameEntityTriggerMultiple::Touch(TGameEntity* TouchedByEntity) {
  if (IsLivePlayer(TouchedByEntity)) Fire(TouchedByEntity);
}

void TGameEntityTriggerMultiple::Use(TGameEntity* UsedByEntity) {
  if (UsedByEntity) Fire(UsedByEntity);
}

void TGameEntityTriggerPush::LoadSound() {
  SampleInstance = Entities->LoadSound(this, "sound/world/jumppad.wav", false, false, 4);
}

void TGameEntityTriggerPush::Touch(TGameEntity* TouchedByEntity) {
  if (NumTargets < 1 || !IsLivePlayer(TouchedByEntity)) return;
  TGameEntity* t = NumTargets >= 2 ? Targets[static_cast<size_t>(Random(NumTargets) % NumTargets)] : Targets[0];
  if (!t) return;
  TGameClient& c = *TouchedByEntity->Client;
  TZNT1BSP* BSP = Engine->BSP.get();
  if (BSP && MapModelIndex >= 1 && MapModelIndex < static_cast<int32_t>(BSP->BSPMapModels.size()))
    c.JumpFromTo(Index, Centre(MapModel()->TransformedAABB), t->Origin);
  else
    c.JumpTo(Index, t->Origin);
  PlaySound(SampleInstance, c.Local);
}

void TGameEntityTriggerTeleport::LoadSound() {
  SampleInstance = Entities->LoadSound(this, "sound/world/telein.wav", false, false, 4);
}

void TGameEntityTriggerTeleport::Touch(TGameEntity* TouchedByEntity) {
  if (NumTargets < 1 || !IsLivePlayer(TouchedByEntity)) return;
  const int32_t k = NumTargets >= 2 ? Random(NumTargets) % NumTargets : 0;
  TGameEntity* t = Targets[static_cast<size_t>(k)];
  if (!t) return;
  TouchedByEntity->Client->TeleportTo(t->Origin, t->Angles.y);
  PlaySound(SampleInstance, TouchedByEntity->Client->Local);
}

void TGameEntityFuncTimer::Update() {
  if (ToTrigger) {
    ToTrigger = false;
    if (SpawnFlags & 1) Use(nullptr);
  }
  if (!RunsOut(RemainTime, Entities->DeltaTime)) {
    RemainTime -= Entities->DeltaTime;
  } else {
    RemainTime = RandomDelay(*this);
    if (Active) UseTargets(this);
  }
}

void TGameEntityFuncTimer::Use(TGameEntity*) {
  if (!Triggered) {
    Triggered = true;
    Active = true;
    RemainTime = RandomDelay(*this);
  } else {
    Active = !Active;
  }
}

// ---- clock movers ----

namespace {

// CurrentTime advanced and wrapped into one period; a period that is not positive does not wrap.
void AdvanceClock(TGameEntity& E, double Step, double Period) {
  E.CurrentTime = ModuloPos(E.CurrentTime + Step, Period);
}

double Frac(double x) { return x - std::floor(x); }

constexpr double TwoPi = 6.283185307179586;
constexpr double PendulumPeriod = 1.0 / 0.15;

}  // namespace

void TGameEntityFuncBobbing::ApplyTimeOffset(double TimeOffset) { AdvanceClock(*this, TimeOffset, Speed); }

void TGameEntityFuncBobbing::Update() {
  const float d = static_cast<float>(std::sin(TwoPi * Frac(CurrentTime / Speed + Phase)) * Height);
  if (SpawnFlags == 1)
    Translation = Vector3Add(Origin, Vector3(-d, 0, 0));
  else if (SpawnFlags == 2)
    Translation = Vector3Add(Origin, Vector3(0, d, 0));
  else
    Translation = Vector3Add(Origin, Vector3(0, 0, d));
  UpdateTransformMatrix();
  AdvanceClock(*this, Entities->DeltaTime, Speed);
}

void TGameEntityFuncPendulum::ApplyTimeOffset(double TimeOffset) { AdvanceClock(*this, TimeOffset, PendulumPeriod); }

void TGameEntityFuncPendulum::Update() {
  Translation = Origin;
  Rotation = Vector3Add(
      Angles, Vector3(0, 0, static_cast<float>(Speed * std::sin(TwoPi * (Frac(0.15 * CurrentTime) + Phase)))));
  UpdateTransformMatrix();
  AdvanceClock(*this, Entities->DeltaTime, PendulumPeriod);
}

void TGameEntityFuncRotating::ApplyTimeOffset(double TimeOffset) { AdvanceClock(*this, TimeOffset, InvSpeed); }

void TGameEntityFuncRotating::Update() {
  Translation = Origin;
  const float a = static_cast<float>(CurrentTime * Speed);
  if (SpawnFlags & 4)
    Rotation = Vector3(0, 0, a);
  else if (SpawnFlags & 8)
    Rotation = Vector3(a, 0, 0);
  else
    Rotation = Vector3(0, a, 0);
  UpdateTransformMatrix();
  AdvanceClock(*this, Entities->DeltaTime, InvSpeed);
}

// ---- trains ----

void TGameEntityFuncTrain::LoadSound() {
  // Nothing sets Noise for a train, so it stays silent unless a map gives it one.
  SampleInstance = Entities->LoadSound(this, Noise, false, false, 4);
}

void TGameEntityFuncTrain::Initialize() {
  Looping = false;
  Corners.clear();
  TotalDuration = 0.0f;
  Current = 0;
  TGameEntity* First = NumTargets > 0 ? Targets[0] : nullptr;
  if (First) {
    Origin = First->Origin;
    std::vector<const TGameEntity*> Visited;
    TGameEntity* c = First;
    for (;;) {
      TGameEntity* Next = c->NumTargets > 0 ? c->Targets[0] : nullptr;
      if (!Next) break;
      Corners.push_back({c->Origin, TotalDuration});
      float SegmentSpeed = c->Speed > 0.0f ? c->Speed : Speed != 0.0f ? Speed : 100.0f;
      if (!(SegmentSpeed >= 1.0f)) SegmentSpeed = 1.0f;
      TotalDuration += std::max(0.001f, Vector3Length(Vector3Sub(Next->Origin, c->Origin)) / SegmentSpeed);
      if (c->Wait > 0.0f) {
        Corners.push_back({Next->Origin, TotalDuration});
        TotalDuration += c->Wait;
      }
      Visited.push_back(c);
      c = Next;
      if (c == First) {
        Corners.push_back({First->Origin, TotalDuration});
        Looping = true;
        break;
      }
      // A chain that runs into a later corner again ends there instead of circling at load.
      if (std::find(Visited.begin(), Visited.end(), c) != Visited.end()) {
        Corners.push_back({c->Origin, TotalDuration});
        break;
      }
    }
  }
  CountCorners = static_cast<int32_t>(Corners.size());
}

void TGameEntityFuncTrain::ApplyTimeOffset(double TimeOffset) {
  if (Looping)
    CurrentTime = ModuloPos(CurrentTime + TimeOffset, TotalDuration);
  else
    CurrentTime += TimeOffset;
  if (CountCorners <= 0) return;
  const double t = Looping ? CurrentTime : std::clamp(CurrentTime, 0.0, static_cast<double>(TotalDuration));
  Current = CountCorners - 1;
  for (int32_t i = 0; i < CountCorners; ++i)
    if (Corners[static_cast<size_t>(i)].Time > t) {
      Current = i;
      break;
    }
}

void TGameEntityFuncTrain::Update() {
  if (CountCorners <= 0) return;
  const double t = Looping ? ModuloPos(CurrentTime, TotalDuration)
                           : std::clamp(CurrentTime, 0.0, static_cast<double>(TotalDuration));
  if (CountCorners == 1) {
    Current = 0;
  } else if (t >= Corners.back().Time) {
    Current = CountCorners - 1;
  } else {
    Current = std::clamp(Current, 0, CountCorners - 1);
    // At key point 0 there is no key point before to compare with.
    if (Current >= 1 && t < Corners[static_cast<size_t>(Current - 1)].Time) Current = 0;
    while (Current + 1 < CountCorners && t >= Corners[static_cast<size_t>(Current)].Time) ++Current;
  }
  if (Current < 1) {
    Translation = Corners[0].Origin;
  } else {
    const TGameEntityFuncTrainCorner& a = Corners[static_cast<size_t>(Current - 1)];
    const TGameEntityFuncTrainCorner& b = Corners[static_cast<size_t>(Current)];
    if (t < b.Time && a.Time < b.Time) {
      const float f = std::clamp(static_cast<float>((t - a.Time) / (b.Time - a.Time)), 0.0f, 1.0f);
      Translation = Vector3Lerp(a.Origin, b.Origin, f);
    } else {
      Translation = b.Origin;
    }
  }
  UpdateTransformMatrix();
  CurrentTime += Entities->DeltaTime;
  if (Looping && (CurrentTime < 0.0 || CurrentTime >= TotalDuration)) {
    CurrentTime = ModuloPos(CurrentTime, TotalDuration);
    PlaySound(SampleInstance, false);
    Current = 0;
  }
}

// ---- doors, platforms, buttons ----

namespace {

enum TMoverKind { mkButton, mkDoor, mkPlat };

struct TMoverInputs {
  bool Triggered = false;
  bool IsTouched = false;
  bool TouchStarts = true;  // doors and platforms: only without health and without a source
  TGameEntitySound* StartSound = nullptr;
  TGameEntitySound* EndSound = nullptr;
  TGameEntity* Fires = nullptr;  // whose targets fire on arrival
  float RandomPart = 0.0f;       // |Random x RandomEx| of this update
};

// One tick of T seconds of the two-position machine of M.
void StepMover(TGameEntity& M, float& CurrentWait, TMoverKind Kind, const TMoverInputs& In, double T) {
  while (T > 0.0) {
    switch (M.MoverState) {
      case 0:
        M.Translation = M.Pos1;
        if (In.Triggered || (In.IsTouched && In.TouchStarts)) {
          M.CurrentTime = 0.0;
          M.MoverState = 1;
          PlaySound(In.StartSound, false);
          if (Kind != mkDoor) T = 0.0;
        } else {
          T = 0.0;
        }
        break;
      case 1:
        if (M.CurrentTime < M.Duration)
          M.Translation = Vector3Lerp(M.Pos1, M.Pos2, static_cast<float>(M.CurrentTime / M.Duration));
        M.CurrentTime += T;
        if (M.CurrentTime < M.Duration) {
          T = 0.0;
          break;
        }
        T = M.CurrentTime - M.Duration;
        M.CurrentTime = 0.0;
        M.Translation = M.Pos2;
        M.MoverState = 16;
        CurrentWait = M.Wait + In.RandomPart;
        if (Kind != mkButton) PlaySound(In.EndSound, false);
        if (In.Fires) In.Fires->UseTargets(In.Fires);
        break;
      case 16: {
        M.Translation = M.Pos2;
        if (Kind == mkPlat && In.IsTouched) {
          CurrentWait = 1.0f;
          M.CurrentTime = 0.0;
        } else {
          M.CurrentTime += T;
        }
        const bool Expired = M.Wait >= 0.0f && M.CurrentTime >= CurrentWait;
        bool Return;
        if (Kind == mkDoor)
          Return = !In.IsTouched && (Expired || In.Triggered || M.CloseWhenIdle);
        else if (Kind == mkButton)
          Return = M.CloseWhenIdle ? !In.IsTouched : (Expired || In.Triggered);
        else
          Return = Expired || (In.Triggered && !In.IsTouched);
        if (!Return) {
          T = 0.0;
          break;
        }
        // Only the part of this tick after the wait ran out is carried: a door held open past
        // its wait, or sent back early, still takes its whole travel time.
        if (M.Wait >= 0.0f) T = std::clamp(M.CurrentTime - static_cast<double>(CurrentWait), 0.0, T);
        M.CurrentTime = 0.0;
        M.MoverState = 17;
        PlaySound(In.StartSound, false);
        break;
      }
      case 17:
        if (M.CurrentTime < M.Duration)
          M.Translation = Vector3Lerp(M.Pos2, M.Pos1, static_cast<float>(M.CurrentTime / M.Duration));
        M.CurrentTime += T;
        if (M.CurrentTime >= M.Duration) {
          M.Translation = M.Pos1;
          M.MoverState = 0;
          if (Kind != mkButton) PlaySound(In.EndSound, false);
        }
        T = 0.0;
        break;
      default:
        M.MoverState = 0;
        break;
    }
  }
}

// Door and button placement from the direction and the brush's extent along it.
void SetTwoPositions(TGameEntity& E, const TZNT1AABB& Box) {
  const TZNT1Vector3 A = Vector3(std::fabs(E.MoveDirection.x), std::fabs(E.MoveDirection.y), std::fabs(E.MoveDirection.z));
  const TZNT1Vector3 Size = Vector3Sub(Box.Max, Box.Min);
  E.Pos1 = Vector3Origin;
  E.Pos2 = Vector3ScalarMul(E.MoveDirection, A.x * Size.x + A.y * Size.y + A.z * Size.z - E.Lip);
}

void NotTouchableWhenDead(TGameEntity& E) {
  if (E.MapModelIndex > 0)
    if (TBSPMapModel* m = E.MapModel()) m->NotTouchableWhenNotAlive = true;
}

}  // namespace

TGameEntityFuncButton::TGameEntityFuncButton(TGameEntities* AEntities) : TGameEntityTyped(AEntities) {
  AutoUpdateCollisionAABB = true;
}

void TGameEntityFuncButton::LoadSound() {
  SampleInstance = Entities->LoadSound(this, "sound/movers/switches/butn2.wav", false, false, 4);
}

void TGameEntityFuncButton::Initialize() {
  GetAABB(AABB, false);
  SetTwoPositions(*this, AABB);
  Duration = TravelTime(*this);
  CurrentWait = RandomDelay(*this);
  UpdateCollisionAABB(&AABB);
  UpdateCollisionAABBProxy();
}

void TGameEntityFuncButton::Update() {
  TMoverInputs In;
  In.Triggered = Triggered;
  In.IsTouched = IsTouched;
  In.StartSound = SampleInstance;
  In.Fires = this;
  In.RandomPart = std::fabs(static_cast<float>(Random()) * RandomEx);
  StepMover(*this, CurrentWait, mkButton, In, Entities->DeltaTime);
  UpdateTransformMatrix();
  Triggered = IsTouched = false;
}

void TGameEntityFuncButton::ApplyTimeOffset(double TimeOffset) {
  TMoverInputs In;
  In.Fires = this;
  StepMover(*this, CurrentWait, mkButton, In, TimeOffset);
  UpdateTransformMatrix();
}

void TGameEntityFuncButton::Use(TGameEntity*) { Triggered = true; }

void TGameEntityFuncButton::Touch(TGameEntity* TouchedByEntity) {
  if (IsLivePlayer(TouchedByEntity) && Health == 0 && !Source) IsTouched = true;
}

void TGameEntityFuncDoor::LoadSound() {
  StartSampleInstance = Entities->LoadSound(this, "sound/movers/doors/dr1_strt.wav", false, false, 4);
  EndSampleInstance = Entities->LoadSound(this, "sound/movers/doors/dr1_end.wav", false, false, 4);
}

void TGameEntityFuncDoor::Initialize() {
  NotTouchableWhenDead(*this);
  GetAABB(AABB, true);
  SetTwoPositions(*this, AABB);
  if (SpawnFlags & DOOR_START_OPEN) std::swap(Pos1, Pos2);
  Duration = TravelTime(*this);
  GetAABB(AABB, false);
  const TZNT1Vector3 Size = Vector3Sub(AABB.Max, AABB.Min);
  int32_t Axis = 0;
  for (int32_t k = 1; k < 3; ++k)
    if (Size.xyz[k] < Size.xyz[Axis]) Axis = k;
  TouchAABB = AABB;
  TouchAABB.Min.xyz[Axis] -= 120.0f;
  TouchAABB.Max.xyz[Axis] += 120.0f;
  HasTouchAABB = true;
  CurrentWait = RandomDelay(*this);
  UpdateCollisionAABB(&TouchAABB);
  UpdateCollisionAABBProxy();
}

namespace {

bool IsTeamSlave(const TGameEntity& D) { return D.TeamSlave || (D.TeamMaster && D.TeamMaster != &D); }

void RunDoorTeam(TGameEntityFuncDoor& Master, double T, bool WithInputs) {
  TMoverInputs In;
  if (WithInputs) {
    In.Triggered = Master.Triggered;
    In.IsTouched = Master.IsTouched;
  }
  In.TouchStarts = Master.Health == 0 && !Master.Source;
  In.StartSound = Master.StartSampleInstance;
  In.EndSound = Master.EndSampleInstance;
  In.Fires = &Master;
  In.RandomPart = std::fabs(static_cast<float>(Random()) * Master.RandomEx);
  int32_t Guard = Master.Entities->Count();
  for (TGameEntity* d = &Master; d && d->EntityType == ET_FUNC_DOOR && Guard-- > 0; d = d->TeamChain) {
    auto& Door = static_cast<TGameEntityFuncDoor&>(*d);
    StepMover(Door, Door.CurrentWait, mkDoor, In, T);
    Door.UpdateTransformMatrix();
  }
}

}  // namespace

void TGameEntityFuncDoor::Update() {
  if (IsTeamSlave(*this)) return;
  RunDoorTeam(*this, Entities->DeltaTime, true);
  Triggered = IsTouched = false;
}

void TGameEntityFuncDoor::ApplyTimeOffset(double TimeOffset) {
  if (!IsTeamSlave(*this)) RunDoorTeam(*this, TimeOffset, false);
}

void TGameEntityFuncDoor::Use(TGameEntity*) { (TeamMaster ? TeamMaster : this)->Triggered = true; }

void TGameEntityFuncDoor::Touch(TGameEntity* TouchedByEntity) {
  if (IsLivePlayer(TouchedByEntity)) (TeamMaster ? TeamMaster : this)->IsTouched = true;
}

void TGameEntityFuncPlat::LoadSound() {
  StartSampleInstance = Entities->LoadSound(this, "sound/movers/plats/pt1_strt.wav", false, false, 4);
  EndSampleInstance = Entities->LoadSound(this, "sound/movers/plats/pt1_end.wav", false, false, 4);
}

void TGameEntityFuncPlat::Initialize() {
  NotTouchableWhenDead(*this);
  GetAABB(AABB, false);
  Wait = 1.0f;
  if (Height == 0.0f) Height = (AABB.Max.z - AABB.Min.z) - Lip;
  Pos2 = Vector3Origin;
  Pos1 = Vector3(0, 0, -Height);
  Duration = TravelTime(*this);
  if (TargetName.empty()) Triggered = true;
  TouchAABB.Min = Vector3(Pos1.x + AABB.Min.x + 33, Pos1.y + AABB.Min.y + 33, Pos1.z + AABB.Min.z);
  TouchAABB.Max = Vector3(Pos1.x + AABB.Max.x - 33, Pos1.y + AABB.Max.y - 33, Pos1.z + AABB.Max.z + 8);
  for (int32_t k = 0; k < 2; ++k)
    if (TouchAABB.Max.xyz[k] <= TouchAABB.Min.xyz[k]) {
      TouchAABB.Min.xyz[k] = Pos1.xyz[k] + (AABB.Min.xyz[k] + AABB.Max.xyz[k]) * 0.5f;
      TouchAABB.Max.xyz[k] = TouchAABB.Min.xyz[k] + 1.0f;
    }
  HasTouchAABB = true;
  CurrentWait = RandomDelay(*this);
  UpdateCollisionAABB(&TouchAABB);
  UpdateCollisionAABBProxy();
}

void TGameEntityFuncPlat::Update() {
  TMoverInputs In;
  In.Triggered = Triggered;
  In.IsTouched = IsTouched;
  In.TouchStarts = Health == 0 && !Source;
  In.StartSound = StartSampleInstance;
  In.EndSound = EndSampleInstance;
  In.Fires = this;
  In.RandomPart = std::fabs(static_cast<float>(Random()) * RandomEx);
  StepMover(*this, CurrentWait, mkPlat, In, Entities->DeltaTime);
  UpdateTransformMatrix();
  Triggered = IsTouched = false;
}

void TGameEntityFuncPlat::ApplyTimeOffset(double TimeOffset) {
  TMoverInputs In;
  In.Fires = this;
  StepMover(*this, CurrentWait, mkPlat, In, TimeOffset);
  UpdateTransformMatrix();
}

void TGameEntityFuncPlat::Use(TGameEntity*) { Triggered = true; }

void TGameEntityFuncPlat::Touch(TGameEntity* TouchedByEntity) {
  if (IsLivePlayer(TouchedByEntity)) IsTouched = true;
}

// ---- items ----

namespace {

// Weapons and ammunition of a picked-up item. The player's weapon arrays come with its weapon
// code; until the client has them, such items are collected and give nothing.
template <class TClient>
void GiveWeaponItem(TClient& Client, const TGameEntity& Item) {
  if constexpr (requires {
                  Client.HasWeapon[0];
                  Client.WeaponAmmo[0];
                  Client.SwitchToWeapon(0, false);
                }) {
    const TGameWeaponCache* Cache = Item.Entities->WeaponCache.get();
    const int32_t Count = Cache ? Cache->Count() : 0;
    const int32_t Tag = Item.ItemTag;
    auto AddAmmo = [&] {
      if (Tag >= static_cast<int32_t>(Client.WeaponAmmo.size())) return;
      const int32_t Max = Cache->GetItem(Tag)->MaxQuantity;
      int32_t& Ammo = Client.WeaponAmmo[static_cast<size_t>(Tag)];
      Ammo = Ammo + Item.Quantity <= Max ? Ammo + Item.Quantity : Max;
    };
    if (Item.ItemType == IT_WEAPON && Tag >= 0 && Tag < Count) {
      if (Tag < static_cast<int32_t>(Client.HasWeapon.size())) Client.HasWeapon[static_cast<size_t>(Tag)] = true;
      if (Tag > 0) AddAmmo();
      Client.SwitchToWeapon(Tag, false);
    } else if (Item.ItemType == IT_AMMO && Tag > 0 && Tag < Count && Tag < static_cast<int32_t>(Client.HasWeapon.size()) &&
               Client.HasWeapon[static_cast<size_t>(Tag)]) {
      AddAmmo();
    }
  }
}

}  // namespace

TGameEntityItem::TGameEntityItem(TGameEntities* AEntities) : TGameEntityTyped(AEntities) {
  AutoUpdateCollisionAABB = true;
}

void TGameEntityItem::LoadSound() {
  if (!Entities->SoundSystem) return;
  SampleInstance = Entities->LoadSound(this, Noise, false, false, 4);
  RespawnSampleInstance = Entities->LoadSound(
      this, ItemType == IT_POWERUP ? "sound/items/poweruprespawn.wav" : "sound/items/respawn1.wav", false, false, 4);
}

void TGameEntityItem::Initialize() { BaseTranslation = Origin; }

void TGameEntityItem::ApplyTimeOffset(double TimeOffset) { CurrentTime = ModuloPos(CurrentTime + TimeOffset, 2.0); }

void TGameEntityItem::Touch(TGameEntity* TouchedByEntity) {
  if (!IsLivePlayer(TouchedByEntity) || Collected) return;
  PlaySound(SampleInstance, false);
  RemainTime = RandomDelay(*this);
  Collected = true;
  Visible = false;
  if (ItemType == IT_HEALTH) TouchedByEntity->Health = std::min(TouchedByEntity->Health + Quantity, 200);
  if (ItemType == IT_WEAPON || ItemType == IT_AMMO) GiveWeaponItem(*TouchedByEntity->Client, *this);
}

void TGameEntityItem::Update() {
  const double dt = Entities->DeltaTime;
  if (Collected) {
    if (!RunsOut(RemainTime, dt)) {
      RemainTime -= dt;
    } else {
      Collected = false;
      Visible = true;
      // Only an item with a respawn sound is placed again (no sound system: it keeps its place).
      if (RespawnSampleInstance) {
        BaseTranslation = Origin;
        TZNT1BSP* BSP = Engine->BSP.get();
        if (BSP && BSP->Collision) {
          TZNT1BSPCollisionTrace Trace;
          BSP->Collision->TraceSphere(Origin, Vector3Sub(Origin, Vector3(0, 0, 4096)), 16.0f, 1, Trace, PushMask);
          const int32_t m = Trace.MapModelIndex;
          if (!Trace.StartSolid && m >= 1 && m < static_cast<int32_t>(Entities->MapModelsToEntities.size()) &&
              !Entities->MapModelsToEntities[static_cast<size_t>(m)].empty()) {
            GroundEntity = Entities->MapModelsToEntities[static_cast<size_t>(m)][0];
            BaseTranslation = Trace.EndPos;
          }
        }
        RespawnSampleInstance->Play(false);
      }
    }
  }
  const double Phase = CurrentTime + Angles.y;
  const float a = static_cast<float>(360.0 * Frac(ItemType == IT_HEALTH ? Phase : Phase * 0.5));
  TGameEntity* First = nullptr;
  TGameEntity* Second = nullptr;
  for (TGameEntity* Child : Children) {
    if (!Child) continue;
    if (!First)
      First = Child;
    else if (!Second)
      Second = Child;
  }
  if (First) {
    First->Rotation = Vector3(0, -a, 0);
    First->DoNotUseParentRotation = true;
  }
  if (Second && ItemType == IT_POWERUP) {
    Second->Rotation = Vector3(0, static_cast<float>(360.0 * Frac(Phase)), 0);
    Second->DoNotUseParentRotation = true;
  }
  Translation = (SpawnFlags & 1) ? Origin : BaseTranslation;
  Scaling = ItemType == IT_WEAPON ? Vector3(1.5f, 1.5f, 1.5f) : Vector3(1, 1, 1);
  Translation.z += static_cast<float>(4.0 * (std::cos(TwoPi * Frac(Phase)) + 1.0));
  UpdateTransformMatrix();
  CurrentTime = ModuloPos(CurrentTime + dt, 2.0);
}
