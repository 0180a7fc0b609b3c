#include "game/GameClient.h"

#include <cmath>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "game/GameEntity.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1BSPCollision.h"
#include "world/ZNT1Model.h"

namespace {

constexpr float Pi = 3.14159265358979f;

float Clamp01(double v) { return static_cast<float>(v < 0.0 ? 0.0 : v > 1.0 ? 1.0 : v); }

TZNT1Quaternion YawQuaternion(float Pitch, float Yaw) {
  return QuaternionFromMatrix4x4(Matrix4x4RotateAnglesLDXModel(Vector3(Pitch, Yaw, 0.0f)));
}

}  // namespace

TGameClient::TGameClient(TZNT1Engine* AEngine, TGameWeaponCache* AWeaponCache, TGameEntity* AEntity)
    : Engine(AEngine), Entity(AEntity), WeaponCache(AWeaponCache) {
  TraceMask = static_cast<int32_t>(MASK_PLAYERSOLID);
  if (Engine->BSP) TouchedMapModels.assign(static_cast<size_t>((Engine->BSP->CountBSPModels + 31) / 32), 0);
  PlayerModel = std::make_unique<TGamePlayerModel>(Engine, "sarge");
  ViewPlayerModel = std::make_unique<TGamePlayerModel>(Engine, "sarge");
  UpdateAABB();
}

TGameClient::~TGameClient() = default;

void TGameClient::UpdateAABB() {
  AABB.Min = Vector3Add(InternalPosition, Mins);
  AABB.Max = Vector3Add(InternalPosition, Maxs);
}

void TGameClient::SetPosition(const TZNT1Vector3& Position) {
  LastGoodPosition = Position;
  InternalPosition = Position;
  SmoothedPosition = Position;
  LastPosition = Position;
  CameraThirdPosition = Position;
  HasLastGoodPosition = false;
  StepTransitionTime = 1.0;
  StepTransitionDelta = 0.0f;
  LastOffsetVelocity = Vector3Origin;
  JumpPadNumber = -1;
  JumpPadTime = 0.0;
  UpdateAABB();
}

void TGameClient::Update(float FrameTime) {
  LastAngle = Angle;
  TZNT1Vector3 Direction = Vector3Origin;
  if (CommandFlags & gccfFORWARD) Direction.y += 1.0f;
  if (CommandFlags & gccfBACKWARD) Direction.y -= 1.0f;
  if (CommandFlags & gccfSIDELEFT) Direction.x -= 1.0f;
  if (CommandFlags & gccfSIDERIGHT) Direction.x += 1.0f;
  Vector3RotateZ(Direction, Angle.Yaw - Pi * 0.5f);
  if (CommandFlags & gccfMOVEMENT) {
    Direction.z = std::sin(-Angle.Pitch);
    if (CommandFlags & gccfBACKWARD) Direction.z = -Direction.z;
    WalkFactor1 = Clamp01(WalkFactor1 + 4.0 * FrameTime);
  } else {
    Direction.z = 0.0f;
    WalkFactor1 = Clamp01(WalkFactor1 - 4.0 * FrameTime);
  }
  Move(Direction, (CommandFlags & gccfJUMP) != 0, FrameTime, (CommandFlags & gccfWALK) != 0,
       (CommandFlags & gccfDUCK) != 0);
  if (Walking && (LegsAnim == LEGS_WALK || LegsAnim == LEGS_RUN || LegsAnim == LEGS_BACKWALK))
    WalkFactor2 = Clamp01(WalkFactor2 + 2.0 * FrameTime);
  else
    WalkFactor2 = Clamp01(WalkFactor2 - 8.0 * FrameTime);
  WalkFactor = WalkFactor1 * WalkFactor2;

  if (ViewHeight != DestViewHeight) {
    SmoothedLastViewHeight = SmoothedViewHeight;
    DestViewHeight = ViewHeight;
    ViewHeightTime = 0.0;
  }
  ViewHeightTime = Clamp01(ViewHeightTime + 8.0 * FrameTime);
  LastSmoothedViewHeight = SmoothedViewHeight;
  const float t = static_cast<float>(ViewHeightTime);
  SmoothedViewHeight = (1.0f - t) * SmoothedLastViewHeight + t * DestViewHeight;
}

TZNT1Vector3 TGameClient::Move(const TZNT1Vector3& Direction, bool DoJump, float FrameTime, bool DoWalk, bool DoDuck) {
  const TZNT1Vector3 LastInternalPosition = InternalPosition;
  Jump = DoJump;
  Duck = DoDuck;
  Speed = DoWalk ? 0.5f : 1.0f;

  // Legs follow the view while moving, and catch up in place once it has turned far enough.
  Turn = false;
  const float Yaw = Angle.Yaw;
  if (CommandFlags & gccfMOVEMENT) {
    DestAngleYawLegs = Yaw;
    AngleYawLegs = AngleLerp(AngleYawLegs, Yaw, 1.0f - std::exp(-8.0f * FrameTime));
  } else {
    if (std::fabs(AngleDiff(DestAngleYawLegs, Yaw)) > Pi / 3.0f) DestAngleYawLegs = Yaw;
    if (std::fabs(AngleDiff(AngleYawLegs, DestAngleYawLegs)) > 0.1308997f) Turn = true;
    AngleYawLegs = AngleLerp(AngleYawLegs, DestAngleYawLegs, 1.0f - std::exp(-4.0f * FrameTime));
  }
  AngleYawTorso = Yaw - AngleYawLegs;
  LegsQuaternion = YawQuaternion(0.0f, AngleYawLegs);
  const float Pitch = Angle.Pitch < -Pi ? -Pi : Angle.Pitch > Pi ? Pi : Angle.Pitch;
  TorsoQuaternion = YawQuaternion(Pitch, AngleYawTorso);

  ForwardVector = Mode == gcmDEAD ? Vector3Origin : Vector3Norm(Direction);
  q3movement_frameTime = FrameTime;
  Timers(FrameTime);
  // Until the animation choice exists, the bodies stand (their tags then carry the head upright).
  if (TorsoAnim != TORSO_STAND) StartTorsoAnim(TORSO_STAND);
  if (LegsAnim != LEGS_IDLE && LegsTimer <= 0.0) StartLegsAnim(LEGS_IDLE, false);

  if (std::fabs(FrameTime) > 1e-18f)
    MovedVelocity = Vector3ScalarMul(Vector3Sub(InternalPosition, LastInternalPosition), 1.0f / FrameTime);
  else
    MovedVelocity = Vector3Sub(InternalPosition, LastInternalPosition);
  UpdateAABB();
  return InternalPosition;
}

void TGameClient::Timers(float FrameTime) {
  if (Time > 0.0) {
    if (Time <= FrameTime) {
      Time = 0.0;
      Flags &= ~gcfALL_TIMES;
    } else {
      Time -= FrameTime;
    }
  }
  if (JumpPadTime > 0.0) {
    if (JumpPadTime <= FrameTime) {
      JumpPadTime = 0.0;
      JumpPadNumber = -1;
    } else {
      JumpPadTime -= FrameTime;
    }
  }
  if (LegsTimer >= 0.0) {
    LegsTimer -= FrameTime;
    if (LegsTimer < 0.0) LegsTimer = -1.0;
  }
  if (TorsoTimer >= 0.0) {
    TorsoTimer -= FrameTime;
    if (TorsoTimer < 0.0) TorsoTimer = -1.0;
  }
}

void TGameClient::ApplyOffset(const TZNT1Vector3& Offset, const TZNT1Vector3& AVelocity) {
  LastOffsetVelocity = Vector3(Max(AVelocity.x, 0.0f), Max(AVelocity.y, 0.0f), Max(AVelocity.z, 0.0f));
  LastGoodPosition = Vector3Add(LastGoodPosition, Offset);
  InternalPosition = Vector3Add(InternalPosition, Offset);
  SmoothedPosition = Vector3Add(SmoothedPosition, Offset);
  UpdateAABB();
}

void TGameClient::StartLegsAnim(int32_t Anim, bool HalfSpeed) {
  if (LegsTimer > 0.0) return;
  LegsAnim = Anim;
  const float Rate = HalfSpeed ? 0.5f : 1.0f;
  for (TGamePlayerModel* Body : {PlayerModel.get(), ViewPlayerModel.get()})
    if (Body) Body->SetAnimation(Anim, true, false, false, Rate);
  // The first-person legs stand still while walking or running.
  if (ViewPlayerModel && ViewPlayerModel->LowerInstance &&
      (Anim == LEGS_WALK || Anim == LEGS_RUN || Anim == LEGS_BACKWALK)) {
    TZNT1ModelAnimationState& State = ViewPlayerModel->LowerInstance->Animation;
    State.EndFrame = State.StartFrame;
  }
}

void TGameClient::StartTorsoAnim(int32_t Anim) {
  TorsoAnim = Anim;
  for (TGamePlayerModel* Body : {PlayerModel.get(), ViewPlayerModel.get()})
    if (Body) Body->SetAnimation(Anim, false, true, false, 1.0f);
}

void TGameClient::ForceLegsAnim(int32_t Anim, bool HalfSpeed) {
  LegsTimer = 0.0;
  StartLegsAnim(Anim, HalfSpeed);
}

void TGameClient::StartJumpAnimation() {
  if (CommandFlags & gccfBACKWARD) {
    Flags |= gcfBACKWARDS_JUMP;
    ForceLegsAnim(LEGS_JUMPB, false);
  } else {
    Flags &= ~gcfBACKWARDS_JUMP;
    ForceLegsAnim(LEGS_JUMP, false);
  }
}

void TGameClient::LeaveGround() {
  GroundPlane = false;
  Walking = false;
  GroundEntity = -1;
  GroundMapModel = -1;
}

void TGameClient::SmoothStore() {
  LastLegsQuaternion = LegsQuaternion;
  LastTorsoQuaternion = TorsoQuaternion;
  LastPosition = SmoothedPosition;
  LastSmoothedViewHeight = SmoothedViewHeight;
}

TZNT1Vector3 TGameClient::GetPosition(float Interpolation) const {
  const float I = Clamp01(Interpolation);
  return Vector3Lerp(LastPosition, SmoothedPosition, I);
}

float TGameClient::GetViewHeight(float Interpolation) const {
  const float I = Clamp01(Interpolation);
  return (1.0f - I) * LastSmoothedViewHeight + I * SmoothedViewHeight;
}

TZNT1Vector3 TGameClient::GetDirection() const {
  return Vector3(std::cos(Angle.Yaw), std::sin(Angle.Yaw), std::sin(-Angle.Pitch));
}

void TGameClient::SmoothInterpolate(float Interpolation) {
  const TZNT1Vector3 Position = GetPosition(Interpolation);
  const float I = Clamp01(Interpolation);
  TZNT1Matrix4x4 Legs = QuaternionToMatrix4x4(QuaternionSlerp(LastLegsQuaternion, LegsQuaternion, I));
  Legs.M[3][0] = Position.x;
  Legs.M[3][1] = Position.y;
  Legs.M[3][2] = Position.z;
  const TZNT1Matrix4x4 Torso = QuaternionToMatrix4x4(QuaternionSlerp(LastTorsoQuaternion, TorsoQuaternion, I));
  for (TGamePlayerModel* Body : {PlayerModel.get(), ViewPlayerModel.get()}) {
    if (!Body) continue;
    if (Body->LowerInstance) Body->LowerInstance->ViewTransform = Legs;
    if (Body->UpperInstance) Body->UpperInstance->Transform = Torso;
  }
}

TZNT1Matrix4x4 TGameClient::GetFirstPersonViewMatrix(float Interpolation) {
  const float FloatTime = static_cast<float>(Engine->FloatTime);
  TZNT1ModelInstance* Head = ViewPlayerModel ? ViewPlayerModel->HeadInstance : nullptr;
  TZNT1Matrix4x4 Result;
  if (!Head || Mode == gcmSPECTATOR) {
    const float Bob = std::sin(Pi * FloatTime) * 0.002f * Pi * WalkFactor;
    const TZNT1Vector3 Eye =
        Vector3Add(GetPosition(Interpolation), Vector3(0, 0, GetViewHeight(Interpolation) + 5.0f));
    Result = Matrix4x4LookAtViewerLDX(Eye, Vector3(Angle.Pitch, Angle.Yaw, Bob));
  } else {
    const float Bob = std::sin(Pi * FloatTime * 4.0f) * 0.002f * Pi * WalkFactor;
    const float HeadHeight = Head->AABB.Max.z - Head->AABB.Min.z;
    Result = Matrix4x4TermMul(Matrix4x4TermMul(Matrix4x4Translate(0, 0, -HeadHeight * 0.5f),
                                               Matrix4x4TermInverse(Head->ViewTransform)),
                              Matrix4x4RotateAngles(Vector3(Bob, 0, 0)));
  }
  LastFirstPersonMatrix = Result;
  return Result;
}

bool TGameClient::CameraTrace(const TZNT1Vector3& Start, const TZNT1Vector3& End, TCameraTrace& Result) const {
  Result = TCameraTrace{};
  Result.EndPos = End;
  if (!Engine->BSP || !Engine->BSP->Collision) return false;
  if (CameraTraceObserver) CameraTraceObserver(CameraTraceObserverUser, Start, End);
  TZNT1BSPCollisionTrace Trace;
  Trace.Alive = Mode == gcmALIVE;
  Engine->BSP->Collision->TraceSphere(Start, End, 4.0f, 8, Trace, static_cast<int32_t>(MASK_PLAYERSOLID));
  Result.AllSolid = Trace.AllSolid;
  Result.GoodPos = Trace.GoodPos;
  Result.EndPos = Trace.EndPos;
  return true;
}

TZNT1Matrix4x4 TGameClient::GetThirdPersonViewMatrix(float FrameTime, float Interpolation) {
  const TZNT1Vector3 Eye = Vector3Add(GetPosition(Interpolation), Vector3(0, 0, GetViewHeight(Interpolation)));
  TCameraTrace Trace;

  // Behind the player when there is room, else in front.
  TZNT1Vector3 Wanted = Eye;
  for (int32_t Attempt = 0; Attempt < 2; ++Attempt) {
    TZNT1Vector3 Dir = Vector3(0, Attempt == 0 ? -1.0f : 1.0f, 0);
    Vector3RotateZ(Dir, Angle.Yaw - Pi * 0.5f);
    const TZNT1Vector3 Target = Vector3Add(Eye, Vector3ScalarMul(Dir, 128.0f));
    TZNT1Vector3 LastGood = Eye;
    for (int32_t i = 0; i <= 32; ++i) {
      TZNT1Vector3 Sample = Vector3Lerp(Eye, Target, static_cast<float>(i) / 32.0f);
      Sample.z += ViewHeight;
      CameraTrace(Eye, Sample, Trace);
      if (!Trace.GoodPos) break;
      LastGood = Trace.EndPos;
    }
    Wanted = LastGood;
    const float dx = Wanted.x - Eye.x, dy = Wanted.y - Eye.y;
    if (std::sqrt(dx * dx + dy * dy) >= 32.0f) break;
  }

  if (Vector3Dist(CameraThirdPosition, Wanted) >= 256.0f) {
    CameraTrace(Wanted, CameraThirdPosition, Trace);
    CameraThirdPosition = Trace.AllSolid ? Trace.EndPos : Wanted;
  } else {
    const TZNT1Vector3 Dest = Vector3Lerp(CameraThirdPosition, Wanted, 1.0f - std::exp(-5.0f * FrameTime));
    const TZNT1Vector3 Span = Vector3Sub(Dest, Eye);
    for (int32_t i = 0; i <= 256; ++i) {
      const float f = 1.0f - static_cast<float>(i) / 256.0f;
      const TZNT1Vector3 Candidate = Vector3Add(Eye, Vector3ScalarMul(Span, f));
      CameraTrace(CameraThirdPosition, Candidate, Trace);
      if (!Trace.AllSolid) {
        CameraThirdPosition = Candidate;
        break;
      }
      if (i == 256) CameraThirdPosition = Trace.EndPos;
    }
  }
  return Matrix4x4LookAtLDX2(CameraThirdPosition, Eye, Vector3(0, 0, 1));
}

TZNT1Matrix4x4 TGameClient::GetViewMatrix(float FrameTime, float Interpolation) {
  const float Target = ThirdPerson ? 1.0f : 0.0f;
  ViewInterpolation += (Target - ViewInterpolation) * (1.0f - std::exp(-8.0f * FrameTime));
  const TZNT1Matrix4x4 First = GetFirstPersonViewMatrix(Interpolation);
  const TZNT1Matrix4x4 Third = GetThirdPersonViewMatrix(FrameTime, Interpolation);
  ViewMatrix = Matrix4x4Lerp(First, Third, ViewInterpolation);
  return ViewMatrix;
}

TZNT1AABB TGameClient::GetModelViewAABB(float Interpolation) const {
  TGamePlayerModel* Body = PlayerModel.get();
  TZNT1AABB Box;
  if (Body && Body->HeadInstance) {
    Box = Body->HeadInstance->ViewAABB;
    if (Body->UpperInstance) Box = AABBCombine(Box, Body->UpperInstance->ViewAABB);
  } else {
    const TZNT1Vector3 Position = GetPosition(Interpolation);
    Box.Min = Vector3Add(Position, Mins);
    Box.Max = Vector3Add(Position, Maxs);
    if (Body && Body->UpperInstance) Box = Body->UpperInstance->ViewAABB;
  }
  if (Body && Body->LowerInstance) Box = AABBCombine(Box, Body->LowerInstance->ViewAABB);
  return Box;
}

void TGameClient::TeleportTo(const TZNT1Vector3& DestPosition, float DestAngle) {
  SetPosition(Vector3Add(DestPosition, Vector3(0, 0, 1)));
  if (DestAngle < 99999.0f) {
    Angle = Vector3(0, DestAngle * Pi / 180.0f, 0);
    LastAngle = Angle;
    Velocity = Vector3ScalarMul(Vector3(std::cos(Angle.Yaw), std::sin(Angle.Yaw), 0), 400.0f);
    LegsQuaternion = YawQuaternion(0.0f, Angle.Yaw);
    LastLegsQuaternion = LegsQuaternion;
    Flags |= gcfTIME_KNOCKBACK;
    Time = 0.16;
  }
  Teleported = true;
}

void TGameClient::JumpFromTo(int32_t FromJumpPadNumber, const TZNT1Vector3& SrcPosition,
                             const TZNT1Vector3& DestPosition) {
  if (JumpPadNumber == FromJumpPadNumber) return;
  JumpPadNumber = FromJumpPadNumber;
  JumpPadTime = 0.08;
  const float t = std::sqrt(std::fabs(DestPosition.z - SrcPosition.z) / 400.0f);
  if (!(t > 0.0f)) return;
  LeaveGround();
  TZNT1Vector3 Horizontal = Vector3(DestPosition.x - SrcPosition.x, DestPosition.y - SrcPosition.y, 0);
  const float Distance = Vector3Length(Horizontal);
  Horizontal = Distance > 0.0f ? Vector3ScalarMul(Horizontal, 1.0f / t) : Vector3Origin;
  Velocity = Vector3(Horizontal.x, Horizontal.y, 800.0f * t);
  Velocity = Vector3Add(Velocity, LastOffsetVelocity);
  LastOffsetVelocity = Vector3Origin;
  StartJumpAnimation();
}

void TGameClient::JumpTo(int32_t FromJumpPadNumber, const TZNT1Vector3& DestPosition) {
  if (JumpPadNumber == FromJumpPadNumber) return;
  JumpPadNumber = FromJumpPadNumber;
  JumpPadTime = 0.08;
  LeaveGround();
  // A target level with or below the player still launches upwards, as for a pad aimed at it.
  const float Height = Max(std::fabs(DestPosition.z - SmoothedPosition.z), 1.0f);
  Velocity.z = std::sqrt(Height * 1600.0f);
  Velocity.x = (DestPosition.x - SmoothedPosition.x) * 800.0f / Velocity.z;
  Velocity.y = (DestPosition.y - SmoothedPosition.y) * 800.0f / Velocity.z;
  Velocity = Vector3Add(Velocity, LastOffsetVelocity);
  LastOffsetVelocity = Vector3Origin;
  StartJumpAnimation();
}

void TGameClient::TouchMapModel(int32_t Index) {
  const int32_t Count = Engine->BSP ? Engine->BSP->CountBSPModels : 0;
  if (Index < 1 || Index >= Count) return;
  const size_t Words = static_cast<size_t>((Count + 31) / 32);
  if (TouchedMapModels.size() < Words) TouchedMapModels.resize(Words, 0);
  uint32_t& Word = TouchedMapModels[static_cast<size_t>(Index >> 5)];
  const uint32_t Bit = 1u << (Index & 31);
  if (Word & Bit) return;
  Word |= Bit;
  if (TouchedMapModelsListSize >= static_cast<int32_t>(TouchedMapModelsList.size())) {
    size_t n = 1;
    while (n < static_cast<size_t>(TouchedMapModelsListSize) + 2) n <<= 1;
    TouchedMapModelsList.resize(n);
  }
  TouchedMapModelsList[static_cast<size_t>(TouchedMapModelsListSize++)] = Index;
}

bool TGameClient::HasTouchedMapModel(int32_t Index) const {
  const int32_t Count = Engine->BSP ? Engine->BSP->CountBSPModels : 0;
  if (Index < 1 || Index >= Count) return false;
  const size_t Word = static_cast<size_t>(Index >> 5);
  return Word < TouchedMapModels.size() && (TouchedMapModels[Word] & (1u << (Index & 31))) != 0;
}
