#pragma once
// The entity framework: every map entity and player of a loaded map, the list that ticks, draws and sounds them, and the client entity.
#include <array>
#include <atomic>
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
class TGameEntitySound;
class TGameEntitiesCollisionPairHashMap;
struct TGameEntitiesCollisionWalkNode;

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
  // Shoves items and players that a moving brush entity now overlaps out of it.
  void MoverPush();
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
  bool InUseTargets = false;  // inside its own UseTargets: not used again (relay loops)

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
  // Mixing thread: the player's own sounds.
  void UpdateSound(TGameEntity* LocalEntity) override;
  // Places the player at the next respawn position whose type matches, cycling through them,
  // and gives it its weapons and health back.
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
  // Team chains (the first member of a team is its master) and target links; part of Load.
  void LinkTeams();
  void LinkTargets();
  // One tick of ADeltaTime seconds.
  void Update(double ADeltaTime);
  // Listener and entity sounds; on the mixing thread.
  void UpdateSound(TGameEntity* LocalEntity);
  void AddModelInstances();
  void ApplyTimeOffset(double ATimeOffset);
  // Records every pair of entities that meet in this tick once, then lets both touch.
  void CollisionDetection();
  // Records the unordered pair once (nothing when either is nullptr).
  void AddCollisionPair(TGameEntity* EntityA, TGameEntity* EntityB);
  // A sound of Entity from SoundFile (or its ".ogg"/".wav" twin), kept in SoundList; nullptr when
  // there is no sound system, no name or no loadable file.
  TGameEntitySound* LoadSound(TGameEntity* Entity, const std::string& SoundFile, bool Loop, bool Start,
                              int32_t Polyphony);
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
  std::vector<std::unique_ptr<TGameEntitySound>> SoundList;
  std::unique_ptr<TGameEntitiesCollisionPairHashMap> CollisionPairHashMap;

 private:
  void LoadEntity(TZNT1BSP* BSP, const TZNT1Entity& MapEntity, int32_t i);
  // A quit seen by the loading screen: the loads stop and the game drops the half-made list.
  bool Quitting() const;

  // The tree's inner nodes as the pair walk reads them, rebuilt each tick (grows with the tree).
  std::vector<TGameEntitiesCollisionWalkNode> CollisionWalkNodes;
  std::vector<int32_t> CollisionWalkPending;
  // The pair walk runs this many entities' queries side by side; the leaves each one meets wait
  // here (grown as needed, kept between ticks) until they are swept in entity order.
  static constexpr int32_t CollisionWalks = 8;
  std::vector<int32_t> CollisionCandidates[CollisionWalks];
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

// An inner node of the dynamic tree with both children's boxes in one cache line: per child the
// box's lower bounds less 1e-12 and upper bounds plus 1e-12, and in the fourth lane of the lower
// bounds the child's code: its own record's slot, or its complemented node id for a leaf.
struct alignas(64) TGameEntitiesCollisionWalkNode {
  float Lo[2][4];
  float Hi[2][4];
};

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

// ===================================================================== entity sounds

class TZNT1SoundSample;

// A sound an entity plays. The main thread raises requests; the mixing thread carries them out in
// Update and owns the voice. The counters and the voice handle are exchanged atomically.
class TGameEntitySound {
 public:
  TGameEntitySound(TGameEntities* AEntities, TGameEntity* AEntity);
  // Stops its own voice before giving the sample back: another owner may keep the sample alive,
  // and its voice would go on writing into VoiceIndex. Under the sound system's lock.
  ~TGameEntitySound();
  TGameEntitySound(const TGameEntitySound&) = delete;
  TGameEntitySound& operator=(const TGameEntitySound&) = delete;

  // A pending request is not replaced. Local: heard without 3D placement.
  void Play(bool Local);
  // Only while a voice plays.
  void Stop();
  void Toggle();
  bool Playing() const { return VoiceIndex.load() >= 0; }
  // Mixing thread: toggle, play, stop, then the voice follows the entity.
  void Update();

  TGameEntities* Entities;
  TGameEntity* Entity;
  std::string Name;
  TZNT1SoundSample* Sample = nullptr;
  bool Loop = false;
  bool Start = false;
  std::atomic<int32_t> ToPlay{0};    // 0 none, 1 local, -1 placed in 3D
  std::atomic<int32_t> ToStop{0};
  std::atomic<int32_t> ToToggle{0};
  std::atomic<int32_t> VoiceIndex{-1};  // written -1 by the mixer when the voice ends
};

// The names a sound is looked for under, in turn: Name itself, then with ".ogg" and with ".wav"
// as its last extension.
std::array<std::string, 3> SoundFileCandidates(const std::string& Name);
// The first of Name's candidates the archives hold, else empty.
std::string FindSoundFile(const TZNT1Engine* Engine, const std::string& Name);

// ===================================================================== entity classes: the classes

// Creates the class of ClassName: an item, a fixed class or TGameEntityUnknown.
TGameEntity* CreateEntityOfClass(TGameEntities* AEntities, const std::string& ClassName);
// After the common keys: the class's own keys and defaults, item models and map-model switches.
// EntityIndex goes to every model instance made here.
void LoadClassKeys(TGameEntity* Entity, const TZNT1Entity& MapEntity, int32_t EntityIndex);

// A class without behaviour of its own, told apart by its type.
template <int32_t Type>
class TGameEntityTyped : public TGameEntity {
 public:
  explicit TGameEntityTyped(TGameEntities* AEntities) : TGameEntity(AEntities) { EntityType = Type; }
};

class TGameEntityInfoPlayerStart : public TGameEntityTyped<ET_INFO_PLAYER_START> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityInfoPlayerDeathmatch : public TGameEntityTyped<ET_INFO_PLAYER_DEATHMATCH> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityTeamCTFBluePlayer : public TGameEntityTyped<ET_TEAM_CTF_BLUEPLAYER> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityTeamCTFRedPlayer : public TGameEntityTyped<ET_TEAM_CTF_REDPLAYER> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityTargetPosition : public TGameEntityTyped<ET_TARGET_POSITION> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityInfoNotNull : public TGameEntityTyped<ET_INFO_NOTNULL> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityInfoNull : public TGameEntityTyped<ET_INFO_NULL> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityTargetRemovePowerups : public TGameEntityTyped<ET_TARGET_REMOVE_POWERUPS> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityTargetScore : public TGameEntityTyped<ET_TARGET_SCORE> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityTriggerHurt : public TGameEntityTyped<ET_TRIGGER_HURT> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityPathCorner : public TGameEntityTyped<ET_PATH_CORNER> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityFuncGroup : public TGameEntityTyped<ET_FUNC_GROUP> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityFuncStatic : public TGameEntityTyped<ET_FUNC_STATIC> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityMiscTeleporterDest : public TGameEntityTyped<ET_MISC_TELEPORTER_DEST> { using TGameEntityTyped::TGameEntityTyped; };
class TGameEntityFuncBreakable : public TGameEntityTyped<ET_FUNC_BREAKABLE> { using TGameEntityTyped::TGameEntityTyped; };

// The map's own entity: its music.
class TGameEntityWorldSpawn : public TGameEntityTyped<ET_WORLDSPAWN> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void LoadSound() override;
  TGameEntitySound* SampleInstance = nullptr;
};

// Plays or toggles its "noise" when used; spawnflag 1 starts it at load, 4 makes it heard everywhere.
class TGameEntityTargetSpeaker : public TGameEntityTyped<ET_TARGET_SPEAKER> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void LoadSound() override;
  void Use(TGameEntity* UsedByEntity) override;
  TGameEntitySound* SampleInstance = nullptr;
};

// Adds its message to the console when used.
class TGameEntityTargetPrint : public TGameEntityTyped<ET_TARGET_PRINT> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void Use(TGameEntity* UsedByEntity) override;
};
class TGameEntityTargetLocation : public TGameEntityTyped<ET_TARGET_LOCATION> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void Use(TGameEntity* UsedByEntity) override;
};

// Fires its targets Wait seconds after a use; uses while it runs are ignored.
class TGameEntityTargetDelay : public TGameEntityTyped<ET_TARGET_DELAY> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void Update() override;
  void Use(TGameEntity* UsedByEntity) override;
};

// Targets that only note a use for one tick.
template <int32_t Type>
class TGameEntityTriggeredForATick : public TGameEntityTyped<Type> {
 public:
  using TGameEntityTyped<Type>::TGameEntityTyped;
  void Update() override { this->Triggered = false; }
  void Use(TGameEntity*) override { this->Triggered = true; }
};
class TGameEntityTargetGive : public TGameEntityTriggeredForATick<ET_TARGET_GIVE> { using TGameEntityTriggeredForATick::TGameEntityTriggeredForATick; };
class TGameEntityTargetKill : public TGameEntityTriggeredForATick<ET_TARGET_KILL> { using TGameEntityTriggeredForATick::TGameEntityTriggeredForATick; };
class TGameEntityTargetLaser : public TGameEntityTriggeredForATick<ET_TARGET_LASER> { using TGameEntityTriggeredForATick::TGameEntityTriggeredForATick; };

// Sets a live player's velocity to MoveDirection.
class TGameEntityTargetPush : public TGameEntityTyped<ET_TARGET_PUSH> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void LoadSound() override;
  void Update() override;
  void Use(TGameEntity* UsedByEntity) override;
  TGameEntitySound* SampleInstance = nullptr;
};

// Passes a use on to all its targets, or with spawnflag 4 to one picked at random.
class TGameEntityTargetRelay : public TGameEntityTyped<ET_TARGET_RELAY> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void Use(TGameEntity* UsedByEntity) override;
};

// Teleports the player that uses it to its first target.
class TGameEntityTargetTeleporter : public TGameEntityTyped<ET_TARGET_TELEPORTER> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void LoadSound() override;
  void Use(TGameEntity* UsedByEntity) override;
  TGameEntitySound* SampleInstance = nullptr;
};

// Fires its targets once, RemainTime after the map starts.
class TGameEntityTriggerAlways : public TGameEntityTyped<ET_TRIGGER_ALWAYS> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void Update() override;
};

// Fires its targets when a live player touches its brush, at most every Wait (+ random) seconds.
class TGameEntityTriggerMultiple : public TGameEntityTyped<ET_TRIGGER_MULTIPLE> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void Initialize() override;
  void Update() override;
  void Use(TGameEntity* UsedByEntity) override;
  void Touch(TGameEntity* TouchedByEntity) override;
 private:
  void Fire(TGameEntity* By);
};

// A jump pad: launches a live player towards one of its targets.
class TGameEntityTriggerPush : public TGameEntityTyped<ET_TRIGGER_PUSH> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void LoadSound() override;
  void Touch(TGameEntity* TouchedByEntity) override;
  TGameEntitySound* SampleInstance = nullptr;
};

// Teleports a live player to one of its targets.
class TGameEntityTriggerTeleport : public TGameEntityTyped<ET_TRIGGER_TELEPORT> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void LoadSound() override;
  void Touch(TGameEntity* TouchedByEntity) override;
  TGameEntitySound* SampleInstance = nullptr;
};

// Fires its targets every Wait (+ random) seconds while active; uses toggle it.
class TGameEntityFuncTimer : public TGameEntityTyped<ET_FUNC_TIMER> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void Update() override;
  void Use(TGameEntity* UsedByEntity) override;
  bool Active = false;
};

// Brushes driven by a clock: bob along an axis, swing in roll, or turn.
class TGameEntityFuncBobbing : public TGameEntityTyped<ET_FUNC_BOBBING> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void ApplyTimeOffset(double TimeOffset) override;
  void Update() override;
};
class TGameEntityFuncPendulum : public TGameEntityTyped<ET_FUNC_PENDULUM> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void ApplyTimeOffset(double TimeOffset) override;
  void Update() override;
};
class TGameEntityFuncRotating : public TGameEntityTyped<ET_FUNC_ROTATING> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void ApplyTimeOffset(double TimeOffset) override;
  void Update() override;
};

struct TGameEntityFuncTrainCorner {
  TZNT1Vector3 Origin{};
  float Time = 0.0f;
};

// Follows its chain of path corners, looping when the chain closes.
class TGameEntityFuncTrain : public TGameEntityTyped<ET_FUNC_TRAIN> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void LoadSound() override;
  // Builds the key points; a chain that comes back to a corner other than the first ends there.
  void Initialize() override;
  void ApplyTimeOffset(double TimeOffset) override;
  void Update() override;
  TGameEntitySound* SampleInstance = nullptr;
  std::vector<TGameEntityFuncTrainCorner> Corners;
  int32_t CountCorners = 0;
  float TotalDuration = 0.0f;
  bool Looping = false;
  int32_t Current = 0;
};

// Doors, platforms and buttons: travel between Pos1 and Pos2 (MoverState 0, 1, 16, 17).
class TGameEntityFuncButton : public TGameEntityTyped<ET_FUNC_BUTTON> {
 public:
  explicit TGameEntityFuncButton(TGameEntities* AEntities);
  void LoadSound() override;
  void Initialize() override;
  void ApplyTimeOffset(double TimeOffset) override;
  void Update() override;
  void Use(TGameEntity* UsedByEntity) override;
  void Touch(TGameEntity* TouchedByEntity) override;
  TGameEntitySound* SampleInstance = nullptr;
  float CurrentWait = 0.0f;
};

class TGameEntityFuncDoor : public TGameEntityTyped<ET_FUNC_DOOR> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void LoadSound() override;
  void Initialize() override;
  void ApplyTimeOffset(double TimeOffset) override;
  // The team's master moves every door of the team; the others do nothing.
  void Update() override;
  void Use(TGameEntity* UsedByEntity) override;
  void Touch(TGameEntity* TouchedByEntity) override;
  TGameEntitySound* StartSampleInstance = nullptr;
  TGameEntitySound* EndSampleInstance = nullptr;
  float CurrentWait = 0.0f;
};

class TGameEntityFuncPlat : public TGameEntityTyped<ET_FUNC_PLAT> {
 public:
  using TGameEntityTyped::TGameEntityTyped;
  void LoadSound() override;
  void Initialize() override;
  void ApplyTimeOffset(double TimeOffset) override;
  void Update() override;
  void Use(TGameEntity* UsedByEntity) override;
  void Touch(TGameEntity* TouchedByEntity) override;
  TGameEntitySound* StartSampleInstance = nullptr;
  TGameEntitySound* EndSampleInstance = nullptr;
  float CurrentWait = 0.0f;
};

// A pick-up: spins and bobs, is collected by a live player and comes back after its wait.
class TGameEntityItem : public TGameEntityTyped<ET_ITEM> {
 public:
  explicit TGameEntityItem(TGameEntities* AEntities);
  void LoadSound() override;
  void Initialize() override;
  void ApplyTimeOffset(double TimeOffset) override;
  void Update() override;
  void Touch(TGameEntity* TouchedByEntity) override;
  bool Collected = false;
  TGameEntitySound* SampleInstance = nullptr;
  TGameEntitySound* RespawnSampleInstance = nullptr;
};
