#pragma once
// The entity framework: every map entity and player of a loaded map, the list that ticks, draws and sounds them, and the client entity.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1Math.h"
#include "core/ZNT1StringHashMap.h"
#include "game/GameGlobals.h"

class TZNT1Engine;
class TZNT1BSP;
class TZNT1Model;
class TZNT1ModelInstance;
class TZNT1Shader;
class TZNT1SoundSystem;
class TZNT1Console;
class TZNT1Entity;
class TZNT1DynamicAABBTree;
class TGameEntities;
class TGameClient;
class TGameWeaponCache;

class TGameEntity {
 public:
  explicit TGameEntity(TGameEntities* AEntities);
  // Frees the instances, gives back the model references and the broad-phase proxy.
  virtual ~TGameEntity();
  TGameEntity(const TGameEntity&) = delete;
  TGameEntity& operator=(const TGameEntity&) = delete;

  // Remembers this tick's placement for drawing (entities with a model, map model or children).
  virtual void SmoothStore();
  // Places models and map model between the last two ticks; DeltaTime only goes on to children.
  virtual void SmoothInterpolate(float Interpolation, float DeltaTime);
  virtual void LoadSound() {}
  // On the mixing thread, under the sound system's lock.
  virtual void UpdateSound(TGameEntity* LocalEntity) {}
  // Sets the collision box: InputAABB, or (nullptr) the one the entity's kind suggests.
  virtual void UpdateCollisionAABB(const TZNT1AABB* InputAABB);
  // Creates or moves the entity's proxy in the list's dynamic tree.
  virtual void UpdateCollisionAABBProxy();
  // Remembers an entity met in this tick, once.
  virtual void AddCollision(TGameEntity* CollisionEntity);
  // Box contact with another entity (through touched map models for players).
  virtual bool Touched(TGameEntity* EntityToCheck);
  virtual bool GetSoundOrigin(TZNT1Vector3& Position);
  // The world box of the entity, with children and door team unless SelfOnly; false when none.
  virtual bool GetAABB(TZNT1AABB& TheAABB, bool SelfOnly);
  virtual void Initialize() {}
  virtual void ApplyTimeOffset(double TimeOffset) {}
  virtual void Update() {}
  virtual void AddModelInstances() {}
  virtual void Use(TGameEntity* UsedByEntity) {}
  virtual void Touch(TGameEntity* TouchedByEntity) {}
  // Rebuilds Transform and hands it to instance, map model and children.
  virtual void UpdateTransformMatrix();

  // Reuses a free slot, else grows to the next power of two; nullptr is ignored.
  void AddChild(TGameEntity* ChildEntity);
  void RemoveChild(TGameEntity* ChildEntity);
  void AddTarget(TGameEntity* TargetEntity);
  void RemoveTarget(TGameEntity* TargetEntity);
  // Material swap, then Use of every target.
  void UseTargets(TGameEntity* UsedByEntity);
  void UpdateFuncStatic();
  // Pushes what stands in the way of a moving brush entity (a later step fills it).
  void MoverPush() {}
  // The map model this entity moves, nullptr when none or when no map is loaded.
  struct TBSPMapModel* MapModel() const;

  TZNT1Engine* Engine;
  TGameEntities* Entities;
  int32_t Index = -1;
  int32_t EntityType = ET_UNKNOWN;
  int32_t ItemType = 0;
  int32_t ItemTag = -1;
  int32_t Quantity = 0;
  int32_t SpawnFlags = 0;
  bool Visible = true;
  std::string Target, TargetName, Team, MessageText, Noise;
  int32_t NoiseIndex = 0;
  int32_t Ambient = 0;
  TZNT1Vector4 Color = Vector4(1, 1, 1, 1);
  TZNT1Vector3 Origin{};
  int32_t MapModelIndex = -1;
  bool MapModelVisible = false, MapModelCollision = false, MapModelTouchable = false;
  TZNT1Model* Model = nullptr;
  TZNT1ModelInstance* ModelInstance = nullptr;
  TZNT1Model* AddOnModel = nullptr;
  TZNT1ModelInstance* AddOnModelInstance = nullptr;
  std::unique_ptr<TGameClient> Client;
  int32_t NumChildren = 0;
  std::vector<TGameEntity*> Children;
  TGameEntity* Parent = nullptr;
  std::vector<TGameEntity*> Targets;
  TGameEntity* Source = nullptr;
  int32_t NumTargets = 0;
  TZNT1Shader* TargetShader = nullptr;
  TZNT1Shader* TargetShaderNew = nullptr;
  int32_t Health = 0;
  float Light = 0.0f;
  int32_t Damage = 0;
  float Height = 0.0f, Phase = 0.0f, Speed = 0.0f;
  double InvSpeed = 1.0;
  float Accel = 0.0f, Decel = 0.0f, Wait = 0.0f;
  int32_t Count = 0;
  bool CloseWhenIdle = false;
  float Duration = 0.0f, RandomEx = 0.0f, Lip = 0.0f;
  double LastTime = 0.0, NextTime = 0.0, CurrentTime = 0.0, RemainTime = 0.0;
  TZNT1Matrix4x4 Transform = Matrix4x4Identity;
  TZNT1Matrix4x4 OldTransform = Matrix4x4Identity;
  TZNT1AABB AABB{}, OldAABB{};
  TZNT1AABB TouchAABB{};
  bool HasTouchAABB = false;
  TZNT1AABB CollisionAABB{};
  bool HasCollisionAABB = false;
  TZNT1AABB OldCollisionAABB{};
  bool HasOldCollisionAABB = false;
  TZNT1Vector3 CollisionDisplacement{};
  TZNT1AABB CollisionDisplacementAABB{};
  bool HasCollisionDisplacement = false;
  TZNT1Vector3 ColisionOldTranslation{};
  bool HasColisionOldTranslation = false;
  std::vector<TGameEntity*> Collisions;
  int32_t CountCollisions = 0;
  TZNT1Vector3 Angles{};  // degrees: pitch, yaw, roll
  TZNT1Vector3 MoveDirection{};
  TZNT1Vector3 Pos1{}, Pos2{};
  TZNT1Vector3 BaseTranslation{};
  TZNT1Vector3 Translation{}, Rotation{};
  TZNT1Vector3 Scaling = Vector3(1, 1, 1);
  TZNT1Vector3 Velocity{}, TranslationOffset{}, RotationOffset{};
  TZNT1Vector3 OldTranslation{}, OldRotation{};
  TZNT1Vector3 LastTranslation{}, LastRotation{};
  TZNT1Vector3 LastScaling = Vector3(1, 1, 1);
  bool DoNotUseParentRotation = false;
  bool ToTrigger = true;
  bool ToWait = false, TeamSlave = false, TeamDamage = false, TeamMatch = false;
  TGameEntity* TeamMaster = nullptr;
  TGameEntity* TeamChain = nullptr;
  bool Triggered = false, IsTouched = false;
  int32_t MoverState = 0;
  int32_t MoverDirection = 1;
  TZNT1Vector3 ClientLightPosition{};
  TZNT1AABB ClientLightAABB{};
  TZNT1Matrix4x4 ClientViewMatrix = Matrix4x4Identity;
  bool ClientWaterEffect = false;
  int32_t CollisionDynamicAABBTreeProxy = -1;
  bool AutoUpdateCollisionAABB = false;
  TGameEntity* GroundEntity = nullptr;
  TGameEntity* TouchedEntity = nullptr;
  TZNT1Vector3 PositionStart{}, PositionDirection{};
  bool PositionGravity = false;
  int32_t Leaf = -1;
  float Radius = 0.0f;

 protected:
  bool HasPlacement() const { return Model || MapModelIndex > 0 || NumChildren > 0; }
};

// Entities whose classname has no class yet.
class TGameEntityUnknown : public TGameEntity {
 public:
  using TGameEntity::TGameEntity;
};

// The child holding a "model2" model or an item's world model.
class TGameEntityModel : public TGameEntity {
 public:
  explicit TGameEntityModel(TGameEntities* AEntities);
};

// A player's entity: owns its TGameClient, ticks it and prepares camera, light and body.
class TGameEntityClient : public TGameEntity {
 public:
  explicit TGameEntityClient(TGameEntities* AEntities);
  ~TGameEntityClient() override;

  void SmoothStore() override;
  void SmoothInterpolate(float Interpolation, float DeltaTime) override;
  void Update() override;
  void AddModelInstances() override;
  // Places the player at the next respawn position whose type matches, cycling through them.
  void ClientRespawn();

  uint32_t RespawnPositionType = rptALL;
};

// Sets MoveDir from Angles (degrees): (0, -1, 0) up, (0, -2, 0) down, else their forward vector;
// Angles become zero.
void SetMoveDir(TZNT1Vector3& InputAngles, TZNT1Vector3& MoveDir);

// Which map-model switches a classname's class sets: "all" for brush movers and groups, "touch"
// for triggers, none for the rest.
void MapModelSwitchesOfClass(const std::string& ClassName, bool& Visible, bool& Collision, bool& Touchable);

struct TRespawnPosition {
  uint32_t RespawnPositionType = 0;
  TZNT1Vector3 Origin{};
  float Angle = 0.0f;  // degrees
};

class TGameEntities {
 public:
  // Empty, with the 64 client slots.
  explicit TGameEntities(TZNT1Engine* AEngine);
  // Frees every entity, then the weapon cache and the tree.
  ~TGameEntities();
  TGameEntities(const TGameEntities&) = delete;
  TGameEntities& operator=(const TGameEntities&) = delete;

  // Spawns one entity per map entity (with "model2" children), respawn positions, teams,
  // targets, Initialize, and the map-model index.
  void Load(TZNT1BSP* BSP);
  // The first free client slot, or nullptr when all 64 are taken.
  TGameEntityClient* NewClient();
  void Init();
  void SmoothStore();
  void SmoothInterpolate(float Interpolation, float ADeltaTime);
  // One tick of ADeltaTime seconds.
  void Update(double ADeltaTime);
  // Listener and entity sounds; on the mixing thread.
  void UpdateSound(TGameEntity* LocalEntity);
  void AddModelInstances();
  void ApplyTimeOffset(double ATimeOffset);
  // Pairs of touching entities (a later step fills it).
  void CollisionDetection() {}
  TGameEntity* GetEntity(const std::string& Name) const;

  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  // nullptr outside the list.
  TGameEntity* GetItem(int32_t i) const { return i >= 0 && i < Count() ? Items[static_cast<size_t>(i)] : nullptr; }
  // Appends an entity the list then owns; returns its index.
  int32_t Add(TGameEntity* Entity);

  TZNT1Engine* Engine;
  std::vector<TGameEntity*> Items;  // owned; client slots may be nullptr
  TZNT1StringHashMap HashMap;
  TZNT1StringHashMap SoundHashMap;
  std::unique_ptr<TGameWeaponCache> WeaponCache;
  TZNT1Matrix4x4 ListenerMatrix = Matrix4x4Identity;
  TZNT1Matrix4x4 ListenerRotationMatrix = Matrix4x4Identity;
  TZNT1Vector3 ListenerOrigin{}, ListenerVelocity{}, ListenerAngles{};
  std::unique_ptr<TZNT1DynamicAABBTree> CollisionDynamicAABBTree;
  TZNT1SoundSystem* SoundSystem = nullptr;
  TZNT1Console* Console = nullptr;
  std::vector<TGameClient*> Clients;
  std::vector<std::vector<TGameEntity*>> MapModelsToEntities;
  double Time = 0.0;
  double DeltaTime = 0.0;
  int32_t CountMaxPlayers = 0;
  std::vector<TRespawnPosition> RespawnPositions;
  int32_t RespawnPositionIndex = 0;

 private:
  void LoadEntity(TZNT1BSP* BSP, const TZNT1Entity& MapEntity, int32_t i);
};

// ===================================================================== entity classes

// Which of its map model's switches a class sets: all three, only visible and touchable, or none.
enum TGameEntityMapModelSwitches : int32_t { mmsNone = 0, mmsTouch = 1, mmsAll = 2 };

// One fixed classname and the class it makes.
struct TGameEntityFixedClass {
  const char* ClassName;
  int32_t EntityType;
  TGameEntityMapModelSwitches Switches;
};

constexpr int32_t CountFixedClasses = 38;
// The fixed classnames, in the order they are compared.
extern const TGameEntityFixedClass FixedClassList[CountFixedClasses];

constexpr int32_t MAX_ITEM_MODELS = 4;

// One row of the item list.
struct TGameEntityPredefinedItem {
  const char* ClassName;
  const char* PickUpSound;
  const char* WorldModel[MAX_ITEM_MODELS];
  const char* Icon;
  const char* PickUpName;
  int32_t Quantity;
  int32_t giType;
  int32_t giTag;
  const char* Precaches;
  const char* Sounds;
};

constexpr int32_t CountItemList = 52;
// Row 0 is empty and never matched.
extern const TGameEntityPredefinedItem ItemList[CountItemList];

// The item row (1 .. 51) whose ClassName equals ClassName exactly; -1 when none.
int32_t FindItemListRow(const std::string& ClassName);
// The fixed class of ClassName (exact, case-sensitive); nullptr when it has none.
const TGameEntityFixedClass* FindFixedClass(const std::string& ClassName);

// ===================================================================== collision pairs

struct TGameEntitiesCollisionPair {
  int32_t Next = -1;        // next pair in insertion order, or next free pair
  int32_t BucketNext = -1;  // next pair of the same bucket
  int32_t Bucket = -1;
  TGameEntity* Entities[2] = {nullptr, nullptr};  // lower Index first
  int32_t Indices[2] = {-1, -1};
};

// Unordered entity pairs met in one tick, each once, handed out in insertion order. The pair
// records are pooled so that a tick allocates nothing once the pool is large enough.
class TGameEntitiesCollisionPairHashMap {
 public:
  // 1024 free pairs, pair 0 taken first.
  TGameEntitiesCollisionPairHashMap();

  // The bucket of the pair (LoIndex <= HiIndex), in 32-bit unsigned arithmetic.
  static uint32_t Hash(int32_t LoIndex, int32_t HiIndex) {
    return ((static_cast<uint32_t>(LoIndex) * 2888415267u) ^ (static_cast<uint32_t>(HiIndex) * 3017353751u)) &
           static_cast<uint32_t>(COLLISION_PAIR_HASH_MASK);
  }
  // Records {A, B} once; nothing when either is nullptr. The indices are the entities' Index.
  void Add(TGameEntity* A, int32_t AIndex, TGameEntity* B, int32_t BIndex);
  // Empties a map left filled by an unfinished pass; the free list starts again at pair 0.
  void Reset();
  // Hands every pair (lower index first) to Visit in insertion order, emptying the map as it goes.
  template <class TVisit>
  void Dispatch(TVisit&& Visit) {
    int32_t p = First;
    while (p >= 0) {
      TGameEntitiesCollisionPair& Pair = Pairs[static_cast<size_t>(p)];
      const int32_t Next = Pair.Next;
      TGameEntity* A = Pair.Entities[0];
      TGameEntity* B = Pair.Entities[1];
      Buckets[Pair.Bucket] = -1;
      Pair.Entities[0] = Pair.Entities[1] = nullptr;
      Pair.Next = Free;
      Free = p;
      // First moves on first, so a Visit that ends the pass early leaves a consistent map.
      First = Next;
      if (Next < 0) Last = -1;
      if (A && B) Visit(A, B);
      p = Next;
    }
    First = Last = -1;
  }
  // Pairs recorded and not yet dispatched.
  int32_t CountPairs() const;

  int32_t Buckets[COLLISION_PAIR_HASH_SIZE];
  std::vector<TGameEntitiesCollisionPair> Pairs;
  int32_t First = -1, Last = -1;
  int32_t Free = -1;
};
