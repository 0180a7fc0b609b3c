#pragma once
// The player: movement against the map, view, animation, weapons and own sounds.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/ZNT1Math.h"
#include "game/GameGlobals.h"
#include "world/ZNT1BSPCollision.h"

class TZNT1Engine;
class TZNT1ModelInstance;
class TZNT1SoundSystem;
class TZNT1SoundSample;
class TGameEntityClient;
class TGamePlayerModel;
class TGameWeaponCache;

// Movement constants.
constexpr float q3movement_stopspeed = 100.0f;
constexpr float q3movement_duckScale = 0.25f;
constexpr float q3movement_swimScale = 0.5f;
constexpr float q3movement_jumpvelocity = 270.0f;
constexpr float q3movement_accelerate = 10.0f;
constexpr float q3movement_airaccelerate = 1.0f;
constexpr float q3movement_wateraccelerate = 4.0f;
constexpr float q3movement_flyaccelerate = 8.0f;
constexpr float q3movement_friction = 6.0f;
constexpr float q3movement_waterfriction = 1.0f;
constexpr float q3movement_flightfriction = 3.0f;
constexpr float q3movement_spectatorfriction = 5.0f;
constexpr float q3movement_overclip = 1.001f;
constexpr float q3movement_stepsize = 18.0f;
constexpr float q3movement_gravity = 800.0f;
constexpr float q3movement_playerRadius = 16.0f;
constexpr float q3movement_scale = 320.0f;
constexpr float RotateThreshold = 3.14159265f / 3.0f;
constexpr float StepTransitionSpeed = 10.0f;

// Weapon states.
constexpr int32_t WEAPON_READY = 0;
constexpr int32_t WEAPON_RAISING = 1;
constexpr int32_t WEAPON_DROPPING = 2;
constexpr int32_t WEAPON_FIRING = 3;

// Footstep kinds of DoPlayWalkSample.
constexpr int32_t StepNone = 0;
constexpr int32_t StepNormal = 1;
constexpr int32_t StepMetal = 2;
constexpr int32_t StepWater = 3;

constexpr int32_t StuckOffsetCount = 85;

// Sees every player trace after it ran (benchmarks record routes through it).
class TGameClientTraceObserver {
 public:
  virtual ~TGameClientTraceObserver() = default;
  virtual void Traced(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint, const TZNT1Vector3& Mins,
                      const TZNT1Vector3& Maxs, int32_t Tries, int32_t Mask, bool WithTouch) = 0;
};

class TGameClient {
 public:
  // Links, inventory, samples (with a sound system), weapon instances, both bodies; holds weapon 0.
  TGameClient(TZNT1Engine* AEngine, TGameWeaponCache* AWeaponCache, TGameEntityClient* AEntity);
  // Stops its own voices, then lets go of samples, instances and models.
  ~TGameClient();
  TGameClient(const TGameClient&) = delete;
  TGameClient& operator=(const TGameClient&) = delete;

  // ---- View ----
  // One tick: input bits to a direction, Move, walk factors, eye height.
  void Update(float FrameTime);
  void SetPosition(const TZNT1Vector3& Position);
  void UpdateAABB();
  // A mover carries the player by Offset while moving with Velocity.
  void ApplyOffset(const TZNT1Vector3& Offset, const TZNT1Vector3& AVelocity);

  TZNT1Engine* Engine;
  TGameEntityClient* Entity;
  TGameWeaponCache* WeaponCache;
  bool Local = false;
  TZNT1Vector3 Angle{};
  TZNT1Vector3 LastAngle{};
  float WalkFactor1 = 0.0f, WalkFactor2 = 0.0f, WalkFactor = 0.0f;
  float DestViewHeight = DEFAULT_VIEWHEIGHT;
  float SmoothedLastViewHeight = DEFAULT_VIEWHEIGHT;
  float SmoothedViewHeight = DEFAULT_VIEWHEIGHT;
  float LastSmoothedViewHeight = DEFAULT_VIEWHEIGHT;
  double ViewHeightTime = 0.0;
  TZNT1Vector3 LastPosition{};
  TZNT1Vector3 CameraThirdPosition{};
  bool Teleported = false;
  TGamePlayerModel* PlayerModel = nullptr;
  TGamePlayerModel* ViewPlayerModel = nullptr;

  // ---- Movement ----
  // One tick; returns the position with the step smoothing applied.
  TZNT1Vector3 Move(const TZNT1Vector3& Direction, bool DoJump, float FrameTime, bool DoWalk, bool DoDuck);
  // Every player trace: the box from StartPoint to EndPoint against the map with TraceMask. The
  // caller may set the record's TouchMapModel (see WithTouch). Nothing happens without a map.
  void DoTrace(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint, int32_t Tries,
               TZNT1BSPCollisionTrace& Trace);
  // Makes the trace report touched map models to this client.
  TZNT1BSPCollisionTrace& WithTouch(TZNT1BSPCollisionTrace& Trace) {
    Trace.TouchMapModel = TouchCallback;
    return Trace;
  }
  // Records map model Index (1 .. models - 1) once.
  void TouchMapModel(int32_t Index);
  bool HasTouchedMapModel(int32_t Index) const;

  void CheckWaterLevel();
  void CheckDuck();
  void GroundCheck();
  bool CorrectAllSolid();
  bool CheckOnFloor();
  void Timers(float FrameTime);
  void ApplyFriction();
  void Accelerate(const TZNT1Vector3& Direction, float ASpeed, float Acceleration);
  static void ClipVelocity(const TZNT1Vector3& VelIn, const TZNT1Vector3& Normal, TZNT1Vector3& Result);
  bool CheckJump();
  bool CheckWaterJump();
  void WalkMove();
  void AirMove();
  void WaterMove();
  void WaterJumpMove();
  void FlyMove();
  void GrappleMove();
  void DeadMove();
  void NoclipMove();
  bool SlideMove(bool Gravity);
  bool StepSlideMove(bool Gravity, bool Predictive);
  bool PredictStepMove();
  void CheckStuck();
  void CrashLand();
  // The 85 trial offsets of CheckStuck, in trial order.
  static const std::array<TZNT1Vector3, StuckOffsetCount>& GetStuckOffsets();

  TZNT1Vector3 InternalPosition{};
  TZNT1Vector3 PreviousPosition{};
  TZNT1Vector3 PreviousVelocity{};
  TZNT1Vector3 Velocity{};
  TZNT1Vector3 MovedVelocity{};
  TZNT1Vector3 SmoothedPosition{};
  bool HasLastGoodPosition = false;
  TZNT1Vector3 LastGoodPosition{};
  TZNT1AABB AABB{};
  TZNT1Vector3 Mins = Vector3(-15, -15, MINS_Z);
  TZNT1Vector3 Maxs = Vector3(15, 15, 32);
  float ViewHeight = DEFAULT_VIEWHEIGHT;
  TZNT1Vector3 UpNormal = Vector3(0, 0, 1);
  TZNT1Vector3 ForwardVector{};
  bool GroundPlane = false;
  bool Walking = false;
  int32_t GroundEntity = -1;
  int32_t GroundMapModel = -1;
  TZNT1BSPCollisionTrace GroundTrace;
  int32_t WaterLevel = 0;
  int32_t LastWaterLevel = 0;
  int32_t WaterType = 0;
  uint32_t Flags = 0;
  double Time = 0.0;
  uint32_t CommandFlags = 0;
  bool Jump = false;
  bool Duck = false;
  bool Turn = false;
  float Speed = 1.0f;
  int32_t Mode = gcmALIVE;
  int32_t TraceMask = 0;
  float q3movement_frameTime = 0.3f;
  double StepTransitionTime = 1.0;
  float StepTransitionDelta = 0.0f;
  float ImpactSpeed = 0.0f;
  double TimeInAir = 0.0;
  double LastWalkHeight = 0.0;
  double MaxAirHeightDifference = 0.0;
  TZNT1Vector3 GrapplePoint{};
  int32_t JumpPadNumber = -1;
  double JumpPadTime = 0.0;
  TZNT1Vector3 LastOffsetVelocity{};
  std::array<uint8_t, 32> PowerUps{};
  std::vector<uint32_t> TouchedMapModels;
  std::vector<int32_t> TouchedMapModelsList;
  int32_t TouchedMapModelsListSize = 0;
  float DestAngleYawLegs = 0.0f;
  float AngleYawLegs = 0.0f;
  float AngleYawTorso = 0.0f;
  TZNT1Quaternion LegsQuaternion{1, 0, 0, 0};
  TZNT1Quaternion TorsoQuaternion{1, 0, 0, 0};
  TZNT1Quaternion LastLegsQuaternion{1, 0, 0, 0};
  TZNT1Quaternion LastTorsoQuaternion{1, 0, 0, 0};
  // Test hook: sees every trace of DoTrace; not owned.
  TGameClientTraceObserver* TraceObserver = nullptr;
  // Footstep clock in milliseconds; the engine's timer unless a test drives its own.
  int64_t (*StepClock)(void* User) = nullptr;
  void* StepClockUser = nullptr;

  // ---- Animation, weapons and sounds ----
  // Nil without a sound system or name; tries the name, then ".ogg", then ".wav".
  TZNT1SoundSample* LoadSound(const std::string& FileName, bool Loop);
  void CheckAnimation();
  void StartTorsoAnim(int32_t Anim);
  void StartLegsAnim(int32_t Anim, bool HalfSpeed);
  void ContinueTorsoAnim(int32_t Anim);
  void ContinueLegsAnim(int32_t Anim, bool HalfSpeed);
  void ForceTorsoAnim(int32_t Anim);
  void ForceLegsAnim(int32_t Anim, bool HalfSpeed);
  void CheckWeapon(double FrameTime);
  // Immediate: holds weapon Index (none outside the cache).
  void SwitchWeapon(int32_t Index);
  // Animated: drops the current weapon, raising Index when the drop ends; READY or RAISING only.
  void SwitchToWeapon(int32_t Index, bool PlaySound);
  void SwitchToNextWeapon(int32_t Step, bool PlaySound);
  void SwitchToNextWeaponWhichHasAmmo(bool PlaySound);
  // Gauntlet and shotgun with its cache quantity; health 100.
  void Respawn();
  // Mixing thread, under the sound system's lock: plays what the game thread requested.
  void UpdateSound();

  std::vector<TZNT1ModelInstance*> WeaponCacheWeaponInstances;
  std::vector<TZNT1ModelInstance*> WeaponCacheWeaponLocalInstances;
  std::vector<TZNT1ModelInstance*> WeaponCacheWeaponViewInstances;
  std::vector<TZNT1ModelInstance*> WeaponCacheBarrelInstances;
  std::vector<TZNT1ModelInstance*> WeaponCacheBarrelLocalInstances;
  std::vector<TZNT1ModelInstance*> WeaponCacheBarrelViewInstances;
  std::vector<uint8_t> HasWeapon;
  std::vector<int32_t> WeaponAmmo;
  int32_t WeaponIndex = -1;
  int32_t WeaponToIndex = -1;
  int32_t WeaponState = WEAPON_READY;
  double WeaponTime = 0.0;
  int32_t TorsoAnim = -1;
  int32_t LegsAnim = -1;
  double TorsoTimer = -1.0;
  double LegsTimer = -1.0;
  TZNT1SoundSystem* SoundSystem = nullptr;
  TZNT1SoundSample* SampleJump = nullptr;
  TZNT1SoundSample* SampleLand = nullptr;
  std::array<TZNT1SoundSample*, 4> SampleSteps{};
  std::array<TZNT1SoundSample*, 4> SampleMetalSteps{};
  std::array<TZNT1SoundSample*, 4> SampleWaterSteps{};
  TZNT1SoundSample* SampleWeaponChange = nullptr;
  TZNT1SoundSample* SampleWeaponLowAmmo = nullptr;
  TZNT1SoundSample* SampleWeaponNoAmmo = nullptr;
  // Requests: set from 0 on the game thread, taken back to 0 on the mixing thread.
  std::atomic<int32_t> DoPlaySampleJump{0};
  std::atomic<int32_t> DoPlaySampleLand{0};
  std::atomic<int32_t> DoPlaySampleWeaponChange{0};
  std::atomic<int32_t> DoPlaySampleWeaponLowAmmo{0};
  std::atomic<int32_t> DoPlaySampleWeaponNoAmmo{0};
  std::atomic<int32_t> DoPlayWalkSample{0};
  // Voice handles (-1 none); the sound system writes them through their addresses.
  std::atomic<int32_t> SampleJumpVoice{-1};
  std::atomic<int32_t> SampleLandVoice{-1};
  std::atomic<int32_t> SampleWeaponChangeVoice{-1};
  std::atomic<int32_t> SampleWeaponLowAmmoVoice{-1};
  std::atomic<int32_t> SampleWeaponNoAmmoVoice{-1};
  int32_t WaterSampleStepIndex = 0;
  int64_t StepNextTime = 0;
  int64_t StepNowTime = 0;

 private:
  // Movement internals.
  void JumpAnimation();
  void LeaveGround();
  int64_t StepClockNow();
  void SizeTouchedMapModels();
  TZNT1BSPCollisionTouchMapModel TouchCallback;
  int32_t StepInterval = 250;
  // Sound internals.
  void PlayOwn(TZNT1SoundSample* Sample, std::atomic<int32_t>& Request, std::atomic<int32_t>& Handle,
               bool Place);
  void RequestSound(std::atomic<int32_t>& Request);
};
