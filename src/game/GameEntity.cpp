#include "game/GameEntity.h"

#include <cmath>
#include <unordered_map>

#include "core/ZNT1Engine.h"
#include "game/GameClient.h"
#include "game/GameWeaponCache.h"
#include "material/ZNT1Shader.h"
#include "renderer/ZNT1Renderer.h"
#include "sound/ZNT1Sound.h"
#include "world/ZNT1BSP.h"
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
    Tree.MoveProxy(CollisionDynamicAABBTreeProxy, CollisionDisplacementAABB,
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
  if (ModelInstance) ModelInstance->Transform = Transform;
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
  for (int32_t i = 0; i < NumTargets; ++i)
    if (TGameEntity* t = Targets[static_cast<size_t>(i)]) t->Use(UsedByEntity);
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
  static const char* const All[] = {"func_bobbing", "func_pendulum", "func_rotating", "func_train",
                                    "func_button",  "func_door",     "func_group",    "func_plat",
                                    "func_static",  "func_breakable"};
  static const char* const Touch[] = {"trigger_hurt", "trigger_multiple", "trigger_push", "trigger_teleport"};
  Visible = Collision = Touchable = false;
  for (const char* n : All)
    if (ClassName == n) Visible = Collision = Touchable = true;
  for (const char* n : Touch)
    if (ClassName == n) Visible = Touchable = true;
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
  TGameEntity* Entity = new TGameEntityUnknown(this);
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
  if (Entity->MapModelIndex > 0 && BSP) {
    if (TBSPMapModel* m = Entity->MapModel()) {
      m->Visible = Entity->MapModelVisible;
      m->Collision = Entity->MapModelCollision;
      m->Touchable = Entity->MapModelTouchable;
    }
  }
}

void TGameEntities::Load(TZNT1BSP* BSP) {
  WeaponCache->Load();
  const TZNT1Entities* MapEntities = BSP ? BSP->Entities.get() : nullptr;
  const int32_t CountMapEntities = MapEntities ? MapEntities->Count() : 0;
  for (int32_t i = 0; i < CountMapEntities; ++i)
    if (const TZNT1Entity* e = MapEntities->GetEntity(i)) LoadEntity(BSP, *e, i);

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

  // Teams: the first member is the master; later ones chain in right behind it.
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

  std::unordered_map<std::string, std::vector<TGameEntity*>> ByName;
  for (TGameEntity* O : Items)
    if (O && !O->TargetName.empty()) ByName[O->TargetName].push_back(O);
  for (TGameEntity* E : Items) {
    if (!E || E->Target.empty()) continue;
    if (const auto It = ByName.find(E->Target); It != ByName.end())
      for (TGameEntity* O : It->second) E->AddTarget(O);
  }

  for (int32_t i = 0; i < Count(); ++i)
    if (TGameEntity* E = Items[static_cast<size_t>(i)]) E->Initialize();

  const int32_t CountModels = BSP ? static_cast<int32_t>(BSP->BSPMapModels.size()) : 0;
  MapModelsToEntities.assign(static_cast<size_t>(CountModels), {});
  for (TGameEntity* E : Items)
    if (E && E->MapModelIndex >= 0 && E->MapModelIndex < CountModels)
      MapModelsToEntities[static_cast<size_t>(E->MapModelIndex)].push_back(E);
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
  for (int32_t i = 0; i < Count(); ++i)
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
