#pragma once
// The player: position and box, view angles, eye height, the first- and third-person cameras, and its two bodies.
#include <cstdint>
#include <memory>
#include <vector>

#include "core/ZNT1Math.h"
#include "game/GameGlobals.h"
#include "game/GamePlayerModel.h"

class TZNT1Engine;

constexpr TZNT1Quaternion IdentityQuaternion{{{1.0f, 0.0f, 0.0f, 0.0f}}};
class TGameEntity;
class TGameWeaponCache;

class TGameClient {
 public:
  // Starts alive, standing at the origin with eye height 26, and creates the two "sarge" bodies.
  TGameClient(TZNT1Engine* AEngine, TGameWeaponCache* AWeaponCache, TGameEntity* AEntity);
  ~TGameClient();
  TGameClient(const TGameClient&) = delete;
  TGameClient& operator=(const TGameClient&) = delete;

  // One tick: input bits to a direction, the move, the walk factors and the eye height.
  void Update(float FrameTime);
  // The movement step; for now it keeps the position, turns legs and torso towards the view and
  // keeps the bodies standing.
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

 private:
  // A sphere trace of radius 4 against the player-solid contents; false without a map.
  struct TCameraTrace {
    bool AllSolid = false, GoodPos = true;
    TZNT1Vector3 EndPos{};
  };
  bool CameraTrace(const TZNT1Vector3& Start, const TZNT1Vector3& End, TCameraTrace& Result) const;
  void StartJumpAnimation();
  void LeaveGround();
};
