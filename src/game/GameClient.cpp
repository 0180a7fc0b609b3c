#include "game/GameClient.h"

#include <cmath>
#include <string>
#include <utility>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "core/ZNT1HighResolutionTimer.h"
#include "game/GameEntity.h"
#include "game/GameWeaponCache.h"
#include "sound/ZNT1Sound.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1BSPCollision.h"
#include "world/ZNT1Model.h"

namespace {

constexpr float Pi = 3.14159265358979f;

float Clamp01(double v) { return static_cast<float>(v < 0.0 ? 0.0 : v > 1.0 ? 1.0 : v); }

TZNT1Quaternion YawQuaternion(float Pitch, float Yaw) {
  return QuaternionFromMatrix4x4(Matrix4x4RotateAnglesLDXModel(Vector3(Pitch, Yaw, 0.0f)));
}

// The mixer writes voice numbers through a plain Int32 address.
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) && std::atomic<int32_t>::is_always_lock_free);
int32_t* HandleAddress(std::atomic<int32_t>& Handle) { return reinterpret_cast<int32_t*>(&Handle); }

float HorizontalLength(const TZNT1Vector3& v) { return std::sqrt(v.x * v.x + v.y * v.y); }

}  // namespace

TGameClient::TGameClient(TZNT1Engine* AEngine, TGameWeaponCache* AWeaponCache, TGameEntity* AEntity)
    : Engine(AEngine), Entity(AEntity), WeaponCache(AWeaponCache) {
  TouchCallback = [this](int32_t Index) { TouchMapModel(Index); };
  const int32_t Weapons = WeaponCache ? WeaponCache->Count() : 0;
  WeaponCacheWeaponInstances.assign(static_cast<size_t>(Weapons), nullptr);
  WeaponCacheWeaponLocalInstances.assign(static_cast<size_t>(Weapons), nullptr);
  WeaponCacheWeaponViewInstances.assign(static_cast<size_t>(Weapons), nullptr);
  WeaponCacheBarrelInstances.assign(static_cast<size_t>(Weapons), nullptr);
  WeaponCacheBarrelLocalInstances.assign(static_cast<size_t>(Weapons), nullptr);
  WeaponCacheBarrelViewInstances.assign(static_cast<size_t>(Weapons), nullptr);
  for (int32_t i = 0; i < Weapons; ++i) {
    TGameWeaponCacheItem* Item = WeaponCache->GetItem(i);
    const size_t s = static_cast<size_t>(i);
    if (Item->Weapon) {
      WeaponCacheWeaponInstances[s] = Item->Weapon->CreateInstance();
      WeaponCacheWeaponLocalInstances[s] = Item->Weapon->CreateInstance();
      WeaponCacheWeaponViewInstances[s] = Item->Weapon->CreateInstance();
      Item->Weapon->IncRef();
    }
    if (Item->Barrel) {
      WeaponCacheBarrelInstances[s] = Item->Barrel->CreateInstance();
      WeaponCacheBarrelLocalInstances[s] = Item->Barrel->CreateInstance();
      WeaponCacheBarrelViewInstances[s] = Item->Barrel->CreateInstance();
      if (WeaponCacheWeaponInstances[s]) {
        WeaponCacheWeaponInstances[s]->Link("tag_barrel", WeaponCacheBarrelInstances[s]);
        WeaponCacheWeaponLocalInstances[s]->Link("tag_barrel", WeaponCacheBarrelLocalInstances[s]);
        WeaponCacheWeaponViewInstances[s]->Link("tag_barrel", WeaponCacheBarrelViewInstances[s]);
      }
      Item->Barrel->IncRef();
    }
  }
  HasWeapon.assign(static_cast<size_t>(Weapons), 0);
  WeaponAmmo.assign(static_cast<size_t>(Weapons), 0);
  if (Weapons > WP_GAUNTLET) {
    HasWeapon[WP_GAUNTLET] = 1;
    WeaponAmmo[WP_GAUNTLET] = -1;
  }
  if (Weapons > WP_SHOTGUN) {
    HasWeapon[WP_SHOTGUN] = 1;
    WeaponAmmo[WP_SHOTGUN] = 100;
  }
  SizeTouchedMapModels();
  TraceMask = static_cast<int32_t>(MASK_PLAYERSOLID);
  GetStuckOffsets();
  SoundSystem = Engine ? Engine->SoundSystem.get() : nullptr;
  if (SoundSystem) {
    SampleLand = LoadSound("sound/player/land1.wav", false);
    SampleJump = LoadSound("sound/player/sarge/jump1.wav", false);
    for (int i = 0; i < 4; ++i) {
      const std::string n = std::to_string(i + 1) + ".wav";
      SampleSteps[static_cast<size_t>(i)] = LoadSound("sound/player/footsteps/step" + n, false);
      SampleMetalSteps[static_cast<size_t>(i)] = LoadSound("sound/player/footsteps/clank" + n, false);
      SampleWaterSteps[static_cast<size_t>(i)] = LoadSound("sound/player/footsteps/splash" + n, false);
    }
    SampleWeaponChange = LoadSound("sound/weapons/change.ogg", false);
    SampleWeaponLowAmmo = LoadSound("sound/weapons/lowammo.ogg", false);
    SampleWeaponNoAmmo = LoadSound("sound/weapons/noammo.ogg", false);
  }
  if (Engine && Engine->Models) {
    PlayerModel = std::make_unique<TGamePlayerModel>(Engine, "sarge");
    ViewPlayerModel = std::make_unique<TGamePlayerModel>(Engine, "sarge");
  }
  SwitchWeapon(0);
  UpdateAABB();
}

TGameClient::~TGameClient() {
  for (TGamePlayerModel* Body : {PlayerModel.get(), ViewPlayerModel.get()})
    if (Body && Body->UpperInstance) Body->UpperInstance->Link("tag_weapon", nullptr);
  PlayerModel.reset();
  ViewPlayerModel.reset();
  if (SoundSystem) {
    // A shared sample outlives this client: its voices must not keep the addresses of our
    // handle fields, or the mixer would later write -1 into freed memory.
    SoundSystem->CriticalSection.Enter();
    const std::pair<TZNT1SoundSample*, std::atomic<int32_t>*> Own[] = {
        {SampleJump, &SampleJumpVoice},
        {SampleLand, &SampleLandVoice},
        {SampleWeaponChange, &SampleWeaponChangeVoice},
        {SampleWeaponLowAmmo, &SampleWeaponLowAmmoVoice},
        {SampleWeaponNoAmmo, &SampleWeaponNoAmmoVoice}};
    for (const auto& [Sample, Handle] : Own) {
      const int32_t Voice = Handle->load();
      if (Sample && Voice >= 0) Sample->Stop(Voice);
    }
    for (TZNT1SoundSample* s : {SampleJump, SampleLand, SampleWeaponChange, SampleWeaponLowAmmo, SampleWeaponNoAmmo})
      if (s) s->DecRef();
    for (const auto* Set : {&SampleSteps, &SampleMetalSteps, &SampleWaterSteps})
      for (TZNT1SoundSample* s : *Set)
        if (s) s->DecRef();
    SoundSystem->CriticalSection.Leave();
  }
  const int32_t Weapons = static_cast<int32_t>(WeaponCacheWeaponInstances.size());
  for (int32_t i = 0; i < Weapons; ++i) {
    const size_t s = static_cast<size_t>(i);
    TGameWeaponCacheItem* Item = WeaponCache ? WeaponCache->GetItem(i) : nullptr;
    for (TZNT1ModelInstance* w : {WeaponCacheWeaponInstances[s], WeaponCacheWeaponLocalInstances[s],
                                  WeaponCacheWeaponViewInstances[s]})
      if (w) w->Link("tag_barrel", nullptr);
    for (auto* List : {&WeaponCacheWeaponInstances, &WeaponCacheWeaponLocalInstances, &WeaponCacheWeaponViewInstances,
                       &WeaponCacheBarrelInstances, &WeaponCacheBarrelLocalInstances, &WeaponCacheBarrelViewInstances}) {
      delete (*List)[s];
      (*List)[s] = nullptr;
    }
    if (Item && Item->Weapon) Item->Weapon->DecRef();
    if (Item && Item->Barrel) Item->Barrel->DecRef();
  }
}

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
  PositionJumped = true;
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

// ==== Movement ====

TZNT1Vector3 TGameClient::Move(const TZNT1Vector3& Direction, bool DoJump, float FrameTime, bool DoWalk,
                               bool DoDuck) {
  const TZNT1Vector3 LastInternalPosition = InternalPosition;
  TZNT1Vector3 Result = InternalPosition;
  TZNT1BSP* BSP = Engine ? Engine->BSP.get() : nullptr;
  if (BSP) {
    Jump = DoJump;
    Duck = DoDuck;
    TraceMask = static_cast<int32_t>(MASK_PLAYERSOLID);
    bool Dead = Mode == gcmSPECTATOR || Mode == gcmDEAD;
    if (Entity && Entity->Health <= 0) Dead = true;
    if (Dead) TraceMask &= ~static_cast<int32_t>(CONTENTS_BODY);

    // Legs follow the view while moving; standing, they turn only past a threshold.
    Turn = false;
    if (CommandFlags & gccfMOVEMENT) {
      DestAngleYawLegs = Angle.Yaw;
      AngleYawLegs = AngleLerp(AngleYawLegs, Angle.Yaw, 1.0f - std::exp(-8.0f * FrameTime));
    } else {
      if (std::fabs(AngleDiff(DestAngleYawLegs, Angle.Yaw)) > RotateThreshold) DestAngleYawLegs = Angle.Yaw;
      if (std::fabs(AngleDiff(AngleYawLegs, DestAngleYawLegs)) > 0.1308997f) Turn = true;
      AngleYawLegs = AngleLerp(AngleYawLegs, DestAngleYawLegs, 1.0f - std::exp(-4.0f * FrameTime));
    }
    AngleYawTorso = Angle.Yaw - AngleYawLegs;
    LegsQuaternion = YawQuaternion(0.0f, AngleYawLegs);
    TorsoQuaternion = YawQuaternion(std::clamp(Angle.Pitch, -Pi, Pi), AngleYawTorso);

    SizeTouchedMapModels();
    TouchedMapModelsListSize = 0;

    PreviousPosition = InternalPosition;
    PreviousVelocity = Velocity;
    ForwardVector = Mode == gcmDEAD ? Vector3Origin : Vector3Norm(Direction);

    if (DoWalk) {
      StepInterval = 500;
      Speed = 0.5f;
    } else {
      StepInterval = 250;
      Speed = 1.0f;
    }
    if (Duck) StepInterval *= 2;
    const bool WasWalking = Walking;
    const double WasMaxAirHeightDifference = MaxAirHeightDifference;
    ImpactSpeed = 0.0f;
    q3movement_frameTime = FrameTime;

    bool Full = false, Smooth = false;
    switch (Mode) {
      case gcmSPECTATOR:
        WaterLevel = LastWaterLevel = 0;
        Flags &= ~gcfJUMP_HELD;
        CheckDuck();
        FlyMove();
        Timers(FrameTime);
        Smooth = true;
        break;
      case gcmNOCLIP:
        WaterLevel = LastWaterLevel = 0;
        NoclipMove();
        Timers(FrameTime);
        Smooth = true;
        break;
      case gcmALIVE:
      case gcmDEAD:
        Full = Smooth = true;
        break;
      default:
        break;
    }

    if (Full) {
      CheckWaterLevel();
      LastWaterLevel = WaterLevel;
      CheckDuck();
      GroundCheck();
      if (!Jump) Flags &= ~gcfJUMP_HELD;
      if (Mode == gcmDEAD) DeadMove();
      Timers(FrameTime);

      bool Air = false;
      if (PowerUps[PW_FLIGHT >> 3] & (1u << (PW_FLIGHT & 7))) {
        FlyMove();
      } else if (Flags & gcfGRAPPLE_PULL) {
        GrappleMove();
        AirMove();
        Air = true;
      } else if (Flags & gcfTIME_WATERJUMP) {
        WaterJumpMove();
      } else if (WaterLevel > 1) {
        WaterMove();
      } else if (Walking) {
        WalkMove();
        TimeInAir = 0.0;
        LastWalkHeight = InternalPosition.z;
        MaxAirHeightDifference = 0.0;
      } else {
        AirMove();
        Air = true;
      }
      if (Air) {
        TimeInAir += FrameTime;
        MaxAirHeightDifference = std::max(MaxAirHeightDifference, std::fabs(InternalPosition.z - LastWalkHeight));
      }

      GroundCheck();
      CheckWaterLevel();
      CheckStuck();
      CheckWeapon(FrameTime);
      CheckAnimation();
    }

    if (Smooth) {
      SmoothedPosition = InternalPosition;
      if (StepTransitionTime < 1.0) {
        SmoothedPosition = Vector3Sub(
            SmoothedPosition,
            Vector3ScalarMul(UpNormal, static_cast<float>((1.0 - StepTransitionTime) * StepTransitionDelta)));
        StepTransitionTime += FrameTime * StepTransitionSpeed;
      }
      Result = SmoothedPosition;
    }

    if (Full) {
      bool Landed = false;
      if (WaterLevel <= 1 && Walking && WasMaxAirHeightDifference >= 36.0 && !WasWalking) {
        if (SampleLandVoice.load() < 0) {
          RequestSound(DoPlaySampleLand);
          StepNextTime = 0;
          Landed = true;
        }
      }
      const bool Horizontal = Direction.x != 0.0f || Direction.y != 0.0f;
      if (!Landed && (Walking || WaterLevel > 1) && (Horizontal || (Jump && WaterLevel > 1))) {
        StepNowTime = StepClockNow();
        if (StepNextTime == 0 || StepNextTime <= StepNowTime) {
          if (StepNowTime - StepNextTime > 2 * static_cast<int64_t>(StepInterval)) StepNextTime = StepNowTime;
          StepNextTime += StepInterval;
          int32_t Kind = StepNormal;
          if (WaterLevel > 1)
            Kind = StepWater;
          else if (GroundTrace.SurfaceFlags & SURF_NOSTEPS)
            Kind = StepNone;
          else if (GroundTrace.ContentFlags & CONTENTS_WATER)
            Kind = StepWater;
          else if (GroundTrace.SurfaceFlags & SURF_METALSTEPS)
            Kind = StepMetal;
          if (Kind != StepNone) {
            int32_t Expected = 0;
            DoPlayWalkSample.compare_exchange_strong(Expected, Kind);
          }
        }
      }
    }
  }
  if (std::fabs(FrameTime) > 1e-18f)
    MovedVelocity = Vector3ScalarMul(Vector3Sub(InternalPosition, LastInternalPosition), 1.0f / FrameTime);
  UpdateAABB();
  return Result;
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

const std::array<TZNT1Vector3, StuckOffsetCount>& TGameClient::GetStuckOffsets() {
  static const std::array<TZNT1Vector3, StuckOffsetCount> Offsets = [] {
    std::array<TZNT1Vector3, StuckOffsetCount> o{};
    size_t n = 0;
    auto Add = [&](float x, float y, float z) { o[n++] = Vector3(x, y, z); };
    Add(0, 0, 0);
    Add(0, 0, -0.125f);
    Add(0, 0, 0.125f);
    Add(0, -0.125f, 0);
    Add(0, 0.125f, 0);
    Add(-0.125f, 0, 0);
    Add(0.125f, 0, 0);
    for (int i = -1; i <= 1; ++i)
      for (int j = -1; j <= 1; ++j)
        for (int k = -1; k <= 1; ++k)
          if (i != 0 || j != 0) Add(i * 0.125f, j * 0.125f, k * 0.125f);
    Add(0, 0, 1);
    Add(0, 0, 6);
    Add(0, -2, 0);
    Add(0, 2, 0);
    Add(-2, 0, 0);
    Add(2, 0, 0);
    for (int i = -1; i <= 1; ++i)
      for (int j = -1; j <= 1; ++j)
        for (int k = -1; k <= 1; ++k)
          if (i != 0 || j != 0) Add(i * 2.0f, j * 2.0f, k * 2.0f);
    for (int i = -1; i <= 1; ++i)
      for (int j = -1; j <= 1; ++j)
        for (int k = -1; k <= 1; ++k)
          if (i != 0 || j != 0) Add(i * 2.0f, j * 2.0f, k * 6.0f);
    return o;
  }();
  return Offsets;
}

void TGameClient::SizeTouchedMapModels() {
  const int32_t Models = (Engine && Engine->BSP) ? Engine->BSP->CountBSPModels : 0;
  TouchedMapModels.assign(static_cast<size_t>((Models + 31) / 32), 0u);
}

void TGameClient::DoTrace(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint, int32_t Tries,
                          TZNT1BSPCollisionTrace& Trace) {
  if (!Engine || !Engine->BSP || !Engine->BSP->Collision) return;
  Trace.Alive = Mode == gcmALIVE;
  Engine->BSP->Collision->TraceBox(StartPoint, EndPoint, Mins, Maxs, Tries, Trace, TraceMask);
  if (TraceObserver)
    TraceObserver->Traced(StartPoint, EndPoint, Mins, Maxs, Tries, TraceMask, static_cast<bool>(Trace.TouchMapModel));
}

int64_t TGameClient::StepClockNow() {
  if (StepClock) return StepClock(StepClockUser);
  if (Engine && Engine->HighResolutionTimer)
    return Engine->HighResolutionTimer->ToMilliseconds(Engine->HighResolutionTimer->GetTime());
  return 0;
}

void TGameClient::CheckWaterLevel() {
  WaterLevel = 0;
  WaterType = 0;
  TZNT1BSP* BSP = Engine ? Engine->BSP.get() : nullptr;
  if (!BSP) return;
  TZNT1Vector3 Point = Vector3(InternalPosition.x, InternalPosition.y, InternalPosition.z + MINS_Z + 1.0f);
  int32_t Contents = BSP->PointContentFlags(Point);
  if (Contents & static_cast<int32_t>(MASK_WATER)) {
    const float Sample2 = ViewHeight - MINS_Z;
    const float Sample1 = Sample2 * 0.5f;
    WaterType = Contents;
    WaterLevel = 1;
    Point.z = InternalPosition.z + MINS_Z + Sample1;
    Contents = BSP->PointContentFlags(Point);
    if (Contents & static_cast<int32_t>(MASK_WATER)) {
      WaterLevel = 2;
      Point.z = InternalPosition.z + MINS_Z + Sample2;
      Contents = BSP->PointContentFlags(Point);
      if (Contents & static_cast<int32_t>(MASK_WATER)) WaterLevel = 3;
    }
  }
}

void TGameClient::CheckDuck() {
  Flags &= ~gcfINVULEXPAND;
  Mins = Vector3(-15, -15, MINS_Z);
  Maxs = Vector3(15, 15, 32);
  if (Mode == gcmDEAD) {
    Maxs.z = -8.0f;
    ViewHeight = DEAD_VIEWHEIGHT;
  } else {
    if (Duck) {
      Flags |= gcfDUCKED;
    } else if (Flags & gcfDUCKED) {
      TZNT1BSPCollisionTrace Trace;
      DoTrace(InternalPosition, InternalPosition, 1, Trace);
      if (!Trace.AllSolid) Flags &= ~gcfDUCKED;
    }
    if (Flags & gcfDUCKED) {
      Maxs.z = 16.0f;
      ViewHeight = CROUCH_VIEWHEIGHT;
    } else {
      Maxs.z = 32.0f;
      ViewHeight = DEFAULT_VIEWHEIGHT;
    }
  }
  UpdateAABB();
}

void TGameClient::GroundCheck() {
  const TZNT1Vector3 Down = Vector3(InternalPosition.x, InternalPosition.y, InternalPosition.z - 0.25f);
  GroundTrace = TZNT1BSPCollisionTrace{};
  DoTrace(InternalPosition, Down, 1, WithTouch(GroundTrace));
  if (GroundTrace.AllSolid && !CorrectAllSolid()) return;

  if (GroundTrace.Fraction == 1.0f) {
    if (WaterLevel <= 1 && GroundPlane && PredictStepMove()) {
      TZNT1BSPCollisionTrace Trace;
      DoTrace(InternalPosition, Vector3Sub(InternalPosition, Vector3ScalarMul(UpNormal, q3movement_stepsize)), 1,
              Trace);
      if (Trace.Fraction < 1.0f) {
        TZNT1Vector3 Shown = InternalPosition;
        if (StepTransitionTime < 1.0)
          Shown = Vector3Sub(Shown, Vector3ScalarMul(UpNormal, static_cast<float>((1.0 - StepTransitionTime) *
                                                                                  StepTransitionDelta)));
        InternalPosition = Trace.EndPos;
        ClipVelocity(Velocity, Trace.Plane.Normal, Velocity);
        StepTransitionDelta = Vector3Dot(Vector3Sub(InternalPosition, Shown), UpNormal);
        StepTransitionTime = 0.0;
        return;
      }
    }
    if (WaterLevel == 0 && GroundMapModel >= 0) {
      const TZNT1Vector3 Down3 = Vector3(InternalPosition.x, InternalPosition.y, InternalPosition.z - 3.0f);
      GroundTrace = TZNT1BSPCollisionTrace{};
      DoTrace(InternalPosition, Down3, 1, WithTouch(GroundTrace));
      if (GroundTrace.Fraction < 1.0f) return;
    }
    if (GroundMapModel >= 0 ||
        (LegsAnim != LEGS_SWIM && LegsAnim != LEGS_JUMP && LegsAnim != LEGS_JUMPB && WaterLevel <= 1)) {
      TZNT1BSPCollisionTrace Trace;
      DoTrace(InternalPosition, Vector3(InternalPosition.x, InternalPosition.y, InternalPosition.z - 64.0f), 1, Trace);
      if (Trace.Fraction == 1.0f) StartJumpAnimation();
    }
    LeaveGround();
    LastOffsetVelocity = Vector3Origin;
    return;
  }

  const TZNT1Vector3& Normal = GroundTrace.Plane.Normal;
  if (GroundTrace.HasPlane && Velocity.z > 0.0f && Vector3Dot(Velocity, Normal) > 100.0f) {
    StartJumpAnimation();
    LeaveGround();
    LastOffsetVelocity = Vector3Origin;
    return;
  }
  if (Normal.z < 0.7f) {
    JumpPadNumber = -1;
    JumpPadTime = 0.0;
    GroundPlane = true;
    Walking = false;
    GroundEntity = -1;
    GroundMapModel = GroundTrace.MapModelIndex;
    LastOffsetVelocity = Vector3Origin;
    return;
  }
  JumpPadNumber = -1;
  JumpPadTime = 0.0;
  GroundPlane = Walking = true;
  if (Flags & gcfTIME_WATERJUMP) {
    Flags &= ~(gcfTIME_WATERJUMP | gcfTIME_LAND);
    Time = 0.0;
  }
  if (GroundMapModel == -1) {
    CrashLand();
    if (PreviousVelocity.z < -200.0f) {
      Flags |= gcfTIME_LAND;
      Time = 0.25;
    }
  }
  GroundEntity = GroundTrace.Entity;
  if (GroundTrace.MapModelIndex != GroundMapModel) {
    GroundMapModel = GroundTrace.MapModelIndex;
    LastOffsetVelocity = Vector3Origin;
  }
}

bool TGameClient::CorrectAllSolid() {
  for (int x = -1; x <= 1; ++x)
    for (int y = -1; y <= 1; ++y)
      for (int z = -1; z <= 1; ++z) {
        const TZNT1Vector3 p = Vector3Add(InternalPosition, Vector3(float(x), float(y), float(z)));
        TZNT1BSPCollisionTrace Trace;
        DoTrace(p, p, 1, Trace);
        if (!Trace.AllSolid) {
          GroundTrace = TZNT1BSPCollisionTrace{};
          DoTrace(InternalPosition, Vector3(InternalPosition.x, InternalPosition.y, InternalPosition.z - 0.25f), 1,
                  GroundTrace);
          return true;
        }
      }
  LeaveGround();
  LastOffsetVelocity = Vector3Origin;
  return false;
}

bool TGameClient::CheckOnFloor() {
  for (int x = -1; x <= 1; ++x)
    for (int y = -1; y <= 1; ++y)
      for (int z = -1; z <= 1; ++z) {
        TZNT1BSPCollisionTrace Trace;
        DoTrace(InternalPosition, Vector3Add(InternalPosition, Vector3(float(x), float(y), float(z))), 1, Trace);
        if (Trace.Fraction < 1.0f) return true;
      }
  return false;
}

void TGameClient::CrashLand() {
  if (PreviousVelocity.z < -200.0f) {
    if (Flags & gcfBACKWARDS_JUMP) {
      Flags &= ~gcfBACKWARDS_JUMP;
      ForceLegsAnim(LEGS_LANDB, false);
    } else {
      ForceLegsAnim(LEGS_LAND, false);
    }
    LegsTimer = 0.13;
  }
}

void TGameClient::ApplyFriction() {
  TZNT1Vector3 v = Velocity;
  if (Walking) v.z = 0.0f;
  const float Speed_ = Vector3Length(v);
  if (Speed_ < 1.0f) {
    Velocity.x = 0.0f;
    Velocity.y = 0.0f;
    return;
  }
  const float ft = q3movement_frameTime;
  float Drop = 0.0f;
  if (WaterLevel <= 1 && Walking && (!GroundTrace.Valid || !(GroundTrace.SurfaceFlags & SURF_SLICK)) &&
      !(Flags & gcfTIME_KNOCKBACK))
    Drop += std::max(Speed_, q3movement_stopspeed) * q3movement_friction * ft;
  if (WaterLevel != 0) Drop += static_cast<float>(WaterLevel) * Speed_ * q3movement_waterfriction * ft;
  if (PowerUps[PW_FLIGHT >> 3] & (1u << (PW_FLIGHT & 7))) Drop += Speed_ * q3movement_flightfriction * ft;
  if (Mode == gcmSPECTATOR) Drop += Speed_ * q3movement_spectatorfriction * ft;
  const float NewSpeed = std::max(Speed_ - Drop, 0.0f);
  if (std::fabs(Speed_) <= 1e-12f)
    Velocity = Vector3Origin;
  else
    Velocity = Vector3ScalarMul(Velocity, NewSpeed / Speed_);
}

void TGameClient::Accelerate(const TZNT1Vector3& Direction, float ASpeed, float Acceleration) {
  const float Add = ASpeed - Vector3Dot(Velocity, Direction);
  if (Add <= 0.0f) return;
  const float a = std::min(Acceleration * q3movement_frameTime * ASpeed, Add);
  Velocity = Vector3Add(Velocity, Vector3ScalarMul(Direction, a));
}

void TGameClient::ClipVelocity(const TZNT1Vector3& VelIn, const TZNT1Vector3& Normal, TZNT1Vector3& Result) {
  float b = Vector3Dot(VelIn, Normal);
  if (b < 0.0f)
    b *= q3movement_overclip;
  else
    b /= q3movement_overclip;
  Result = Vector3Sub(VelIn, Vector3ScalarMul(Normal, b));
}

bool TGameClient::CheckJump() {
  if (!Jump || (Flags & (gcfRESPAWNED | gcfJUMP_HELD))) return false;
  GroundPlane = Walking = false;
  GroundEntity = GroundMapModel = -1;
  Flags |= gcfJUMP_HELD;
  Velocity.z = q3movement_jumpvelocity + LastOffsetVelocity.z;
  LastOffsetVelocity = Vector3Origin;
  RequestSound(DoPlaySampleJump);
  StartJumpAnimation();
  return true;
}

bool TGameClient::CheckWaterJump() {
  TZNT1BSP* BSP = Engine ? Engine->BSP.get() : nullptr;
  if (!BSP || WaterLevel != 2 || Time >= 1e-7) return false;
  const TZNT1Vector3 Flat = Vector3Norm(Vector3(ForwardVector.x, ForwardVector.y, 0.0f));
  TZNT1Vector3 Spot = Vector3Add(InternalPosition, Vector3ScalarMul(Flat, 30.0f));
  Spot.z += 4.0f;
  if (!(BSP->PointContentFlags(Spot) & static_cast<int32_t>(CONTENTS_SOLID))) return false;
  Spot.z += 16.0f;
  if (BSP->PointContentFlags(Spot) & static_cast<int32_t>(MASK_PLAYERSOLID)) return false;
  Velocity = Vector3(ForwardVector.x * 200.0f, ForwardVector.y * 200.0f, 350.0f);
  Flags |= gcfTIME_WATERJUMP;
  Time = 2.0;
  RequestSound(DoPlaySampleJump);
  return true;
}

void TGameClient::WalkMove() {
  const TZNT1Vector3& GroundNormal = GroundTrace.Plane.Normal;
  const bool ValidGround = GroundPlane && GroundTrace.Valid && GroundTrace.HasPlane;
  if (WaterLevel > 2 && ValidGround && Vector3Dot(ForwardVector, GroundNormal) > 0.0f) {
    WaterMove();
    return;
  }
  if (CheckJump()) {
    if (WaterLevel < 2)
      AirMove();
    else
      WaterMove();
    return;
  }
  ApplyFriction();
  TZNT1Vector3 Wish = Vector3(ForwardVector.x, ForwardVector.y, 0.0f);
  if (GroundPlane) ClipVelocity(Wish, GroundNormal, Wish);
  const TZNT1Vector3 WishDir = Vector3Norm(Wish);
  float WishSpeed = Vector3Length(WishDir) * q3movement_scale * Speed;
  if (Flags & gcfDUCKED) WishSpeed = std::min(WishSpeed, Speed * q3movement_scale * q3movement_duckScale);
  if (WaterLevel != 0)
    WishSpeed = std::min(WishSpeed, Speed * q3movement_scale *
                                        (1.0f - static_cast<float>(WaterLevel) / 3.0f * q3movement_swimScale));
  const bool Slippery = (GroundTrace.SurfaceFlags & SURF_SLICK) || (Flags & gcfTIME_KNOCKBACK);
  Accelerate(WishDir, WishSpeed, (Slippery ? q3movement_airaccelerate : q3movement_accelerate) * Speed);
  if (Slippery) Velocity.z -= q3movement_gravity * q3movement_frameTime;
  const float s = Vector3Length(Velocity);
  if (GroundPlane) ClipVelocity(Velocity, GroundNormal, Velocity);
  Velocity = Vector3ScalarMul(Vector3Norm(Velocity), s);
  if (Velocity.x == 0.0f && Velocity.y == 0.0f) return;
  StepSlideMove(false, false);
}

void TGameClient::AirMove() {
  ApplyFriction();
  const TZNT1Vector3 WishDir = Vector3Norm(Vector3(ForwardVector.x, ForwardVector.y, 0.0f));
  Accelerate(WishDir, Vector3Length(WishDir) * q3movement_scale, q3movement_airaccelerate);
  if (GroundPlane) ClipVelocity(Velocity, GroundTrace.Plane.Normal, Velocity);
  StepSlideMove(true, false);
}

void TGameClient::WaterMove() {
  if (CheckWaterJump()) {
    WaterJumpMove();
    return;
  }
  ApplyFriction();
  TZNT1Vector3 Wish = ForwardVector;
  float WishSpeed;
  if (Wish.x == 0.0f && Wish.y == 0.0f && Wish.z == 0.0f) {
    Wish = Vector3(0, 0, -60);
    WishSpeed = 60.0f * Speed;
  } else {
    WishSpeed = Vector3Length(Wish) * q3movement_scale * Speed;
  }
  WishSpeed = std::min(WishSpeed, Speed * q3movement_swimScale * q3movement_scale);
  Accelerate(Vector3Norm(Wish), WishSpeed, q3movement_wateraccelerate);
  if (GroundPlane && GroundTrace.Valid && GroundTrace.HasPlane &&
      Vector3Dot(Velocity, GroundTrace.Plane.Normal) < 0.0f) {
    const float s = Vector3Length(Velocity);
    ClipVelocity(Velocity, GroundTrace.Plane.Normal, Velocity);
    Velocity = Vector3ScalarMul(Vector3Norm(Velocity), s);
  }
  StepSlideMove(false, false);
}

void TGameClient::WaterJumpMove() {
  StepSlideMove(true, false);
  Velocity.z -= q3movement_gravity * q3movement_frameTime;
  if (Velocity.z < 0.0f) {
    Flags &= ~gcfALL_TIMES;
    Time = 0.0;
  }
}

void TGameClient::FlyMove() {
  ApplyFriction();
  const TZNT1Vector3 WishDir = Vector3Norm(ForwardVector);
  Accelerate(WishDir, Vector3Length(WishDir) * q3movement_scale, q3movement_flyaccelerate);
  StepSlideMove(false, false);
}

void TGameClient::GrappleMove() {
  const TZNT1Vector3 Target = Vector3Sub(GrapplePoint, Vector3ScalarMul(ForwardVector, 16.0f));
  const TZNT1Vector3 v = Vector3Sub(Target, InternalPosition);
  const float l = Vector3Length(v);
  Velocity = Vector3ScalarMul(Vector3Norm(v), l <= 100.0f ? l * 10.0f : 800.0f);
  GroundPlane = false;
  GroundEntity = 0;
  GroundMapModel = -1;
}

void TGameClient::DeadMove() {
  if (!Walking) return;
  const float f = Vector3Length(Velocity) - 20.0f;
  Velocity = f <= 0.0f ? Vector3Origin : Vector3ScalarMul(Vector3Norm(Velocity), f);
}

void TGameClient::NoclipMove() {
  ViewHeight = DEFAULT_VIEWHEIGHT;
  const float ft = q3movement_frameTime;
  const float s = Vector3Length(Velocity);
  if (s < 1.0f) {
    Velocity = Vector3Origin;
  } else {
    const float NewSpeed = std::max(s - std::max(s, q3movement_stopspeed) * 9.0f * ft, 0.0f);
    Velocity = Vector3ScalarMul(Velocity, NewSpeed / s);
  }
  const TZNT1Vector3 WishDir = Vector3Norm(ForwardVector);
  Accelerate(WishDir, Vector3Length(WishDir) * q3movement_scale, q3movement_wateraccelerate);
  InternalPosition = Vector3Add(InternalPosition, Vector3ScalarMul(Velocity, ft));
}

bool TGameClient::SlideMove(bool Gravity) {
  constexpr int32_t MaxPlanes = 32;
  TZNT1Vector3 Planes[MaxPlanes];
  int32_t CountPlanes = 0;
  const float ft = q3movement_frameTime;
  TZNT1Vector3 Primal = Velocity;
  TZNT1Vector3 EndVelocity = Velocity;
  const bool GroundNormalValid = GroundPlane && GroundTrace.Valid && GroundTrace.HasPlane;
  if (Gravity) {
    EndVelocity.z -= q3movement_gravity * ft;
    Velocity.z = (Velocity.z + EndVelocity.z) * 0.5f;
    Primal.z = Velocity.z;
    if (GroundNormalValid) ClipVelocity(Velocity, GroundTrace.Plane.Normal, Velocity);
  }
  if (GroundNormalValid) Planes[CountPlanes++] = Vector3Norm(GroundTrace.Plane.Normal);
  Planes[CountPlanes++] = Vector3Norm(Velocity);

  double TimeLeft = ft;
  int32_t BumpCount = 0;
  for (int32_t TriesLeft = 4 * 128; BumpCount < 4 && TriesLeft > 0; --TriesLeft) {
    const TZNT1Vector3 End = Vector3Add(InternalPosition, Vector3ScalarMul(Velocity, static_cast<float>(TimeLeft)));
    TZNT1BSPCollisionTrace Trace;
    DoTrace(InternalPosition, End, 1, WithTouch(Trace));
    if (Trace.AllSolid) {
      Velocity.z = 0.0f;
      return true;
    }
    if (Trace.Fraction > 0.0f) InternalPosition = Trace.EndPos;
    if (Trace.Fraction == 1.0f) break;
    TimeLeft *= 1.0 - Trace.Fraction;
    if (CountPlanes >= MaxPlanes) {
      Velocity = Vector3Origin;
      return true;
    }
    const TZNT1Vector3 Normal = Trace.Plane.Normal;
    bool Nudged = false;
    for (int32_t i = 0; i < CountPlanes; ++i)
      if (Vector3Dot(Normal, Planes[i]) > 0.99f) {
        Velocity = Vector3Add(Velocity, Normal);
        Nudged = true;
        break;
      }
    if (Nudged) continue;
    Planes[CountPlanes++] = Normal;

    int32_t i = 0;
    while (i < CountPlanes && Vector3Dot(Velocity, Planes[i]) >= 0.1f) ++i;
    if (i == CountPlanes) {
      ++BumpCount;
      continue;
    }
    ImpactSpeed = std::max(ImpactSpeed, -Vector3Dot(Velocity, Planes[i]));
    TZNT1Vector3 Clipped, EndClipped;
    ClipVelocity(Velocity, Planes[i], Clipped);
    ClipVelocity(EndVelocity, Planes[i], EndClipped);
    for (int32_t j = 0; j < CountPlanes; ++j) {
      if (j == i || Vector3Dot(Clipped, Planes[j]) >= 0.1f) continue;
      ClipVelocity(Clipped, Planes[j], Clipped);
      ClipVelocity(EndClipped, Planes[j], EndClipped);
      if (Vector3Dot(Clipped, Planes[i]) >= 0.0f) continue;
      const TZNT1Vector3 d = Vector3Norm(Vector3Cross(Planes[i], Planes[j]));
      Clipped = Vector3ScalarMul(d, Vector3Dot(d, Velocity));
      EndClipped = Vector3ScalarMul(d, Vector3Dot(d, EndVelocity));
      for (int32_t k = 0; k < CountPlanes; ++k) {
        if (k == i || k == j) continue;
        if (Vector3Dot(Clipped, Planes[k]) < 0.1f) {
          Velocity = Vector3Origin;
          return true;
        }
      }
    }
    Velocity = Clipped;
    EndVelocity = EndClipped;
    ++BumpCount;
  }
  if (Gravity) Velocity = EndVelocity;
  if (Time > 0.0) Velocity = Primal;
  return BumpCount != 0;
}

bool TGameClient::StepSlideMove(bool Gravity, bool Predictive) {
  bool Result = false;
  const TZNT1Vector3 StartPosition = InternalPosition;
  const TZNT1Vector3 StartVelocity = Velocity;
  const TZNT1Vector3 StepDown = Vector3ScalarMul(UpNormal, q3movement_stepsize);
  if (!SlideMove(Gravity)) {
    TZNT1BSPCollisionTrace Trace;
    DoTrace(StartPosition, Vector3Sub(StartPosition, StepDown), 1, Trace);
    if (Trace.Fraction > 0.01f && Trace.Fraction < 1.0f && GroundPlane && !Trace.AllSolid) Result = true;
  } else {
    TZNT1BSPCollisionTrace Trace;
    DoTrace(StartPosition, Vector3Sub(StartPosition, StepDown), 1, Trace);
    const bool KeepSlide = Vector3Dot(Velocity, UpNormal) > 0.0f &&
                           (Trace.Fraction == 1.0f || Vector3Dot(Trace.Plane.Normal, UpNormal) < 0.7f);
    if (!KeepSlide) {
      TZNT1BSPCollisionTrace Up;
      DoTrace(StartPosition, Vector3Add(StartPosition, StepDown), 1, Up);
      if (!Up.AllSolid) {
        const float StepSize = Vector3Dot(Vector3Sub(Up.EndPos, StartPosition), UpNormal);
        InternalPosition = Up.EndPos;
        Velocity = StartVelocity;
        Result = !SlideMove(Gravity);
        TZNT1BSPCollisionTrace Down;
        DoTrace(InternalPosition, Vector3Sub(InternalPosition, Vector3ScalarMul(UpNormal, StepSize)), 1, Down);
        if (!Down.AllSolid) InternalPosition = Down.EndPos;
        if (Down.Fraction < 1.0f) ClipVelocity(Velocity, Down.Plane.Normal, Velocity);
      }
    }
  }
  if (Result && !Predictive) {
    TZNT1Vector3 Shown = StartPosition;
    if (StepTransitionTime < 1.0)
      Shown = Vector3Sub(Shown, Vector3ScalarMul(UpNormal, static_cast<float>((1.0 - StepTransitionTime) *
                                                                              StepTransitionDelta)));
    StepTransitionDelta = Vector3Dot(Vector3Sub(InternalPosition, Shown), UpNormal);
    StepTransitionTime = 0.0;
  }
  return Result;
}

bool TGameClient::PredictStepMove() {
  const TZNT1Vector3 SavedPosition = InternalPosition;
  const TZNT1Vector3 SavedVelocity = Velocity;
  const float SavedImpactSpeed = ImpactSpeed;
  const bool Result = StepSlideMove(false, true);
  InternalPosition = SavedPosition;
  Velocity = SavedVelocity;
  ImpactSpeed = SavedImpactSpeed;
  return Result;
}

void TGameClient::CheckStuck() {
  TZNT1BSPCollisionTrace Trace;
  DoTrace(InternalPosition, InternalPosition, 1, WithTouch(Trace));
  if (!Trace.AllSolid) {
    HasLastGoodPosition = true;
    LastGoodPosition = InternalPosition;
    return;
  }
  if (HasLastGoodPosition && !Vector3Compare(LastGoodPosition, InternalPosition)) {
    InternalPosition = LastGoodPosition;
    return;
  }
  HasLastGoodPosition = false;
  TZNT1BSPCollisionTrace Again;
  DoTrace(InternalPosition, InternalPosition, 16, Again);
  if (!Again.AllSolid) {
    InternalPosition = Again.EndPos;
    return;
  }
  for (const TZNT1Vector3& Offset : GetStuckOffsets()) {
    const TZNT1Vector3 p = Vector3Add(InternalPosition, Offset);
    TZNT1BSPCollisionTrace Try;
    DoTrace(p, p, 1, Try);
    if (!Try.AllSolid) {
      InternalPosition = p;
      HasLastGoodPosition = true;
      LastGoodPosition = p;
      return;
    }
  }
}

// ==== Animation, weapons and sounds ====

TZNT1SoundSample* TGameClient::LoadSound(const std::string& FileName, bool Loop) {
  if (!SoundSystem || FileName.empty() || !Engine || !Engine->Archives) return nullptr;
  for (const std::string& Name : SoundFileCandidates(FileName)) {
    std::unique_ptr<TMemoryStream> Stream = Engine->Archives->ExtractFile(Name);
    if (Stream) return SoundSystem->Samples->Load(FileName, Stream.get(), Loop ? 2u : 0u, 4);
  }
  return nullptr;
}

void TGameClient::ContinueTorsoAnim(int32_t Anim) {
  if (Anim != TorsoAnim && TorsoTimer <= 0.0) StartTorsoAnim(Anim);
}

void TGameClient::ContinueLegsAnim(int32_t Anim, bool HalfSpeed) {
  if (LegsTimer <= 0.0) StartLegsAnim(Anim, HalfSpeed);
}

void TGameClient::ForceTorsoAnim(int32_t Anim) {
  TorsoTimer = 0.0;
  StartTorsoAnim(Anim);
}

void TGameClient::CheckAnimation() {
  const int32_t Stand = WeaponIndex == WP_GAUNTLET ? TORSO_STAND2 : TORSO_STAND;
  if (TorsoAnim != TORSO_DROP && TorsoAnim != TORSO_RAISE && WeaponState == WEAPON_READY) ContinueTorsoAnim(Stand);
  const float XYSpeed = HorizontalLength(Velocity);
  const bool Ducked = (Flags & gcfDUCKED) != 0;
  const int32_t Idle = Ducked ? LEGS_IDLECR : LEGS_IDLE;
  const bool Keys = (CommandFlags & gccfMOVEMENT) != 0;
  const bool Backward = (CommandFlags & gccfBACKWARD) != 0;
  const bool Slow = (CommandFlags & gccfWALK) != 0;
  if (GroundMapModel == -1) {
    if (PowerUps[PW_INVULNERABILITY >> 3] & (1u << (PW_INVULNERABILITY & 7))) {
      ContinueLegsAnim(LEGS_IDLECR, false);
    } else if (WaterLevel > 1) {
      ContinueLegsAnim(LEGS_SWIM, false);
    } else if (XYSpeed < 5.0f && !Walking && LegsAnim != LEGS_JUMP && LegsAnim != LEGS_JUMPB) {
      ContinueLegsAnim(Idle, false);
    }
    return;
  }
  if (!Keys) {
    if (Turn) {
      ContinueLegsAnim(Ducked ? LEGS_WALKCR : LEGS_TURN, false);
      LegsTimer = 0.016;
    } else if (XYSpeed < 5.0f) {
      ContinueLegsAnim(Idle, false);
    }
    return;
  }
  if (!Walking) {
    if (XYSpeed < 5.0f) ContinueLegsAnim(Idle, false);
    return;
  }
  if (Ducked)
    ContinueLegsAnim(Backward ? LEGS_BACKCR : LEGS_WALKCR, Slow);
  else if (Slow)
    ContinueLegsAnim(Backward ? LEGS_BACKWALK : LEGS_WALK, false);
  else
    ContinueLegsAnim(Backward ? LEGS_BACK : LEGS_RUN, false);
}

void TGameClient::RequestSound(std::atomic<int32_t>& Request) {
  int32_t Expected = 0;
  Request.compare_exchange_strong(Expected, -1);
}

void TGameClient::CheckWeapon(double FrameTime) {
  const int32_t Stand = WeaponIndex == WP_GAUNTLET ? TORSO_STAND2 : TORSO_STAND;
  if (WeaponTime > 0.0) WeaponTime -= FrameTime;
  if (WeaponTime <= 0.0) {
    switch (WeaponState) {
      case WEAPON_READY:
        WeaponTime = 0.0;
        break;
      case WEAPON_RAISING:
        WeaponState = WEAPON_READY;
        WeaponTime = 0.0;
        ContinueTorsoAnim(Stand);
        break;
      case WEAPON_DROPPING:
        WeaponState = WEAPON_RAISING;
        WeaponTime = 0.25;
        StartTorsoAnim(TORSO_RAISE);
        SwitchWeapon(WeaponToIndex);
        break;
      case WEAPON_FIRING:
        WeaponState = WEAPON_READY;
        WeaponTime = 0.0;
        if (WeaponIndex >= 0 && WeaponIndex < static_cast<int32_t>(WeaponAmmo.size()) &&
            WeaponAmmo[static_cast<size_t>(WeaponIndex)] == 0)
          SwitchToNextWeaponWhichHasAmmo(true);
        break;
      default:
        break;
    }
  }
  if (!(CommandFlags & gccfATTACK) || WeaponState != WEAPON_READY || WeaponIndex < 0 ||
      WeaponIndex >= static_cast<int32_t>(WeaponAmmo.size()))
    return;
  int32_t& Ammo = WeaponAmmo[static_cast<size_t>(WeaponIndex)];
  if (Ammo == 0) {
    RequestSound(DoPlaySampleWeaponNoAmmo);
    return;
  }
  TGameWeaponCacheItem* Item = WeaponCache ? WeaponCache->GetItem(WeaponIndex) : nullptr;
  if (Ammo > 0) --Ammo;
  if (Item && Ammo == Item->LowQuantity)
    RequestSound(DoPlaySampleWeaponLowAmmo);
  else if (Ammo == 0)
    RequestSound(DoPlaySampleWeaponNoAmmo);
  WeaponState = WEAPON_FIRING;
  WeaponTime = Item ? Item->WeaponTime : 0.2;
  if (PlayerModel && PlayerModel->UpperInstance && !PlayerModel->UpperInstance->Animation.Animation)
    ForceTorsoAnim(TORSO_STAND);
  ContinueTorsoAnim(WeaponIndex == WP_GAUNTLET ? TORSO_ATTACK2 : TORSO_ATTACK);
}

void TGameClient::SwitchWeapon(int32_t Index) {
  const int32_t Weapons = static_cast<int32_t>(WeaponCacheWeaponInstances.size());
  const bool Valid = Index >= 0 && Index < Weapons;
  WeaponIndex = Valid ? Index : -1;
  const size_t s = static_cast<size_t>(Index);
  if (PlayerModel) {
    PlayerModel->WeaponInstance = Valid ? WeaponCacheWeaponInstances[s] : nullptr;
    PlayerModel->WeaponLocalInstance = Valid ? WeaponCacheWeaponLocalInstances[s] : nullptr;
    if (PlayerModel->UpperInstance) PlayerModel->UpperInstance->Link("tag_weapon", PlayerModel->WeaponInstance);
  }
  if (ViewPlayerModel) {
    ViewPlayerModel->WeaponInstance = Valid ? WeaponCacheWeaponViewInstances[s] : nullptr;
    if (ViewPlayerModel->UpperInstance)
      ViewPlayerModel->UpperInstance->Link("tag_weapon", ViewPlayerModel->WeaponInstance);
  }
}

void TGameClient::SwitchToWeapon(int32_t Index, bool PlaySound) {
  if (WeaponState != WEAPON_READY && WeaponState != WEAPON_RAISING) return;
  const int32_t Weapons = static_cast<int32_t>(HasWeapon.size());
  WeaponToIndex = Index >= 0 && Index < Weapons ? Index : -1;
  const bool Owned = WeaponToIndex >= 0 && HasWeapon[static_cast<size_t>(WeaponToIndex)];
  if (WeaponToIndex != WeaponIndex && (Index < 0 || Owned)) {
    WeaponState = WEAPON_DROPPING;
    WeaponTime = 0.2;
    StartTorsoAnim(TORSO_DROP);
    if (PlaySound) RequestSound(DoPlaySampleWeaponChange);
  }
}

void TGameClient::SwitchToNextWeapon(int32_t Step, bool PlaySound) {
  const int32_t n = static_cast<int32_t>(HasWeapon.size());
  int32_t i = WeaponIndex;
  for (int32_t k = 0; k < n; ++k) {
    i += Step;
    if (i < 0) i = n - 1;
    if (i >= n) i = 0;
    if (HasWeapon[static_cast<size_t>(i)]) {
      SwitchToWeapon(i, PlaySound);
      return;
    }
  }
}

void TGameClient::SwitchToNextWeaponWhichHasAmmo(bool PlaySound) {
  const int32_t n = static_cast<int32_t>(HasWeapon.size());
  for (int32_t Pass = 0; Pass < 2; ++Pass) {
    int32_t i = WeaponIndex;
    for (int32_t k = 0; k < n; ++k) {
      i = i + 1 >= n ? 0 : i + 1;
      const int32_t Ammo = WeaponAmmo[static_cast<size_t>(i)];
      if (HasWeapon[static_cast<size_t>(i)] && (Pass == 0 ? Ammo > 0 : Ammo != 0)) {
        SwitchToWeapon(i, PlaySound);
        return;
      }
    }
  }
}

void TGameClient::Respawn() {
  std::fill(HasWeapon.begin(), HasWeapon.end(), 0);
  std::fill(WeaponAmmo.begin(), WeaponAmmo.end(), 0);
  if (HasWeapon.size() > WP_SHOTGUN) {
    HasWeapon[WP_GAUNTLET] = 1;
    WeaponAmmo[WP_GAUNTLET] = -1;
    HasWeapon[WP_SHOTGUN] = 1;
    WeaponAmmo[WP_SHOTGUN] = WeaponCache->GetItem(WP_SHOTGUN)->Quantity;
    SwitchWeapon(WP_SHOTGUN);
  }
  if (Entity) Entity->Health = 100;
}

void TGameClient::PlayOwn(TZNT1SoundSample* Sample, std::atomic<int32_t>& Request, std::atomic<int32_t>& Handle,
                          bool Place) {
  int32_t Expected = -1;
  if (!Request.compare_exchange_strong(Expected, 0)) return;
  if (!Sample || Handle.load() >= 0) return;
  const int32_t Voice = Sample->Play(0.875f, 0.0f, 1.0f, HandleAddress(Handle));
  Sample->SetEffectMix(Voice, 1);
  if (Place) Sample->SetPosition(Voice, 1, InternalPosition, Vector3Origin);
}

void TGameClient::UpdateSound() {
  PlayOwn(SampleJump, DoPlaySampleJump, SampleJumpVoice, false);
  PlayOwn(SampleLand, DoPlaySampleLand, SampleLandVoice, true);
  const int32_t Kind = DoPlayWalkSample.exchange(0);
  TZNT1SoundSample* Step = nullptr;
  if (Kind == StepNormal) {
    Step = SampleSteps[static_cast<size_t>(Random(4))];
  } else if (Kind == StepMetal) {
    Step = SampleMetalSteps[static_cast<size_t>(Random(4))];
  } else if (Kind == StepWater) {
    WaterSampleStepIndex = (WaterSampleStepIndex + 1) & 3;
    Step = SampleWaterSteps[static_cast<size_t>(WaterSampleStepIndex)];
  }
  if (Step) {
    const int32_t Voice = Step->Play(0.875f, 0.0f, 1.0f, nullptr);
    Step->SetEffectMix(Voice, 1);
    Step->SetPosition(Voice, 1, InternalPosition, Vector3Origin);
  }
  const int32_t JumpVoice = SampleJumpVoice.load();
  if (SampleJump && JumpVoice >= 0) SampleJump->SetPosition(JumpVoice, 1, InternalPosition, Velocity);
  PlayOwn(SampleWeaponChange, DoPlaySampleWeaponChange, SampleWeaponChangeVoice, true);
  PlayOwn(SampleWeaponLowAmmo, DoPlaySampleWeaponLowAmmo, SampleWeaponLowAmmoVoice, true);
  PlayOwn(SampleWeaponNoAmmo, DoPlaySampleWeaponNoAmmo, SampleWeaponNoAmmoVoice, true);
}
