#pragma once
// The player: position and box, view angles, eye height, cameras, bodies; movement, animation, weapons, own sounds.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1Math.h"
#include "game/GameGlobals.h"
#include "game/GamePlayerModel.h"
#include "world/ZNT1BSPCollision.h"

class TZNT1Engine;

constexpr TZNT1Quaternion IdentityQuaternion{{{1.0f, 0.0f, 0.0f, 0.0f}}};
class TGameEntity;
class TZNT1SoundSample;
class TZNT1SoundSystem;
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
  // Starts alive, standing at the origin with eye height 26, with the two "sarge" bodies, three
  // instances of every cached weapon and barrel, the player's samples (with a sound system),
  // gauntlet and 100 shotgun rounds; holds the gauntlet.
  TGameClient(TZNT1Engine* AEngine, TGameWeaponCache* AWeaponCache, TGameEntity* AEntity);
  // Stops its own voices before letting go of the samples, which other players may share.
  ~TGameClient();
  TGameClient(const TGameClient&) = delete;
  TGameClient& operator=(const TGameClient&) = delete;

  // One tick: input bits to a direction, the move, the walk factors and the eye height.
  void Update(float FrameTime);
  // One tick of movement against the map; returns the position with the step smoothing applied.
  TZNT1Vector3 Move(const TZNT1Vector3& Direction, bool DoJump, float FrameTime, bool DoWalk, bool DoDuck);
  void UpdateAABB();
  // Puts the player at Position with every remembered position there and no step smoothing.
  void SetPosition(const TZNT1Vector3& Position);

  // Remembers this tick's pose; SmoothInterpolate places both bodies between the last two ticks.
  void SmoothStore();
  void SmoothInterpolate(float Interpolation);
  TZNT1Vector3 GetPosition(float Interpolation) const;
  float GetViewHeight(float Interpolation) const;
  // (cos yaw, sin yaw, sin(-pitch)).
  TZNT1Vector3 GetDirection() const;
  TZNT1Matrix4x4 GetFirstPersonViewMatrix(float Interpolation);
  // Keeps CameraThirdPosition from frame to frame; sphere traces keep it out of walls.
  TZNT1Matrix4x4 GetThirdPersonViewMatrix(float FrameTime, float Interpolation);
  // Blends the two cameras by ViewInterpolation, which follows ThirdPerson.
  TZNT1Matrix4x4 GetViewMatrix(float FrameTime, float Interpolation);
  // The drawn body's box, the player's light bounds.
  TZNT1AABB GetModelViewAABB(float Interpolation) const;

  // Launches and placements by teleporters and pads. DestAngle 99999 keeps the view angles.
  void TeleportTo(const TZNT1Vector3& DestPosition, float DestAngle);
  void JumpFromTo(int32_t FromJumpPadNumber, const TZNT1Vector3& SrcPosition, const TZNT1Vector3& DestPosition);
  void JumpTo(int32_t FromJumpPadNumber, const TZNT1Vector3& DestPosition);

  // A mover carries the player by Offset while moving at AVelocity.
  void ApplyOffset(const TZNT1Vector3& Offset, const TZNT1Vector3& AVelocity);
  // Counts down the state, pad, legs and torso timers.
  void Timers(float FrameTime);
  // Starts a legs animation on both bodies unless a timed one runs; Force ends the timed one first.
  void StartLegsAnim(int32_t Anim, bool HalfSpeed);
  void StartTorsoAnim(int32_t Anim);
  void ForceLegsAnim(int32_t Anim, bool HalfSpeed);

  // Map model Index (1 .. CountBSPModels - 1) touched during the last move.
  void TouchMapModel(int32_t Index);
  bool HasTouchedMapModel(int32_t Index) const;

  TZNT1Engine* Engine;
  TGameEntity* Entity;
  TGameWeaponCache* WeaponCache;
  bool Local = false;

  // Position and movement.
  TZNT1Vector3 InternalPosition{};
  TZNT1Vector3 PreviousPosition{};
  TZNT1Vector3 PreviousVelocity{};
  TZNT1Vector3 Velocity{};
  TZNT1Vector3 MovedVelocity{};
  TZNT1Vector3 SmoothedPosition{};
  TZNT1Vector3 LastPosition{};
  bool HasLastGoodPosition = false;
  TZNT1Vector3 LastGoodPosition{};
  TZNT1AABB AABB{};
  TZNT1Vector3 Mins = Vector3(-15, -15, MINS_Z);
  TZNT1Vector3 Maxs = Vector3(15, 15, 32);
  TZNT1Vector3 UpNormal = Vector3(0, 0, 1);
  TZNT1Vector3 ForwardVector{};
  bool GroundPlane = false;
  bool Walking = false;
  int32_t GroundEntity = -1;
  int32_t GroundMapModel = -1;
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
  uint8_t PowerUps[32] = {};
  std::vector<uint32_t> TouchedMapModels;
  std::vector<int32_t> TouchedMapModelsList;
  int32_t TouchedMapModelsListSize = 0;

  // Orientation.
  TZNT1Vector3 Angle{};  // radians: pitch, yaw, roll
  TZNT1Vector3 LastAngle{};
  float DestAngleYawLegs = 0.0f;
  float AngleYawLegs = 0.0f;
  float AngleYawTorso = 0.0f;
  TZNT1Quaternion LegsQuaternion = IdentityQuaternion;
  TZNT1Quaternion TorsoQuaternion = IdentityQuaternion;
  TZNT1Quaternion LastLegsQuaternion = IdentityQuaternion;
  TZNT1Quaternion LastTorsoQuaternion = IdentityQuaternion;

  // View.
  float WalkFactor1 = 0.0f;
  float WalkFactor2 = 0.0f;
  float WalkFactor = 0.0f;
  float ViewHeight = DEFAULT_VIEWHEIGHT;
  float DestViewHeight = DEFAULT_VIEWHEIGHT;
  float SmoothedLastViewHeight = DEFAULT_VIEWHEIGHT;
  float SmoothedViewHeight = DEFAULT_VIEWHEIGHT;
  float LastSmoothedViewHeight = DEFAULT_VIEWHEIGHT;
  double ViewHeightTime = 0.0;
  TZNT1Vector3 CameraThirdPosition{};
  bool ThirdPerson = false;
  float ViewInterpolation = 0.0f;
  TZNT1Matrix4x4 ViewMatrix = Matrix4x4Identity;
  TZNT1Matrix4x4 LastFirstPersonMatrix = Matrix4x4Identity;
  bool Teleported = false;
  // Set by SetPosition; the entity's next collision box takes it and starts afresh there.
  bool PositionJumped = false;

  // Bodies and animation state.
  std::unique_ptr<TGamePlayerModel> PlayerModel;
  std::unique_ptr<TGamePlayerModel> ViewPlayerModel;
  int32_t TorsoAnim = -1;
  int32_t LegsAnim = -1;
  double TorsoTimer = -1.0;
  double LegsTimer = -1.0;

  // Sees every camera trace (start, end) before it runs; for measurements, nullptr otherwise.
  void (*CameraTraceObserver)(void* User, const TZNT1Vector3& Start, const TZNT1Vector3& End) = nullptr;
  void* CameraTraceObserverUser = nullptr;

  // Weapons.
  int32_t WeaponIndex = -1;
  int32_t WeaponToIndex = -1;
  int32_t WeaponState = 0;
  double WeaponTime = 0.0;


  // ---- Movement ----
  // Every player trace: the box from StartPoint to EndPoint against the map with TraceMask. The
  // caller may set the record's TouchMapModel (see WithTouch). Nothing happens without a map.
  void DoTrace(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint, int32_t Tries,
               TZNT1BSPCollisionTrace& Trace);
  // Makes the trace report touched map models to this client (a callback that holds only this).
  TZNT1BSPCollisionTrace& WithTouch(TZNT1BSPCollisionTrace& Trace) {
    Trace.TouchMapModel = TouchCallback;
    return Trace;
  }
  void CheckWaterLevel();
  void CheckDuck();
  void GroundCheck();
  bool CorrectAllSolid();
  bool CheckOnFloor();
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

  TZNT1BSPCollisionTrace GroundTrace;
  // Test hook: sees every trace of DoTrace; not owned.
  TGameClientTraceObserver* TraceObserver = nullptr;
  // Footstep clock in milliseconds; the engine's timer unless a test drives its own.
  int64_t (*StepClock)(void* User) = nullptr;
  void* StepClockUser = nullptr;

  // ---- Animation, weapons and sounds ----
  // Nil without a sound system or name; tries the name, then ".ogg", then ".wav".
  TZNT1SoundSample* LoadSound(const std::string& FileName, bool Loop);
  void CheckAnimation();
  void ContinueTorsoAnim(int32_t Anim);
  void ContinueLegsAnim(int32_t Anim, bool HalfSpeed);
  void ForceTorsoAnim(int32_t Anim);
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
  // Movement and sound internals.
  int64_t StepClockNow();
  void SizeTouchedMapModels();
  TZNT1BSPCollisionTouchMapModel TouchCallback;
  int32_t StepInterval = 250;
  void PlayOwn(TZNT1SoundSample* Sample, std::atomic<int32_t>& Request, std::atomic<int32_t>& Handle, bool Place);
  void RequestSound(std::atomic<int32_t>& Request);
  // A sphere trace of radius 4 against the player-solid contents; false without a map.
  struct TCameraTrace {
    bool AllSolid = false, GoodPos = true;
    TZNT1Vector3 EndPos{};
  };
  bool CameraTrace(const TZNT1Vector3& Start, const TZNT1Vector3& End, TCameraTrace& Result) const;
  void StartJumpAnimation();
  void LeaveGround();
};
