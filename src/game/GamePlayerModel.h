#pragma once
// A three-part player model (legs, torso, head) with its animation table, linked by tags.
#include <array>
#include <cstdint>
#include <string>

#include "core/ZNT1StringList.h"
#include "game/GameGlobals.h"

class TZNT1Engine;
class TZNT1Model;
class TZNT1ModelInstance;

struct TGamePlayerModelAnimation {
  int32_t FirstFrame = 0;
  int32_t LastFrame = 0;
  int32_t NumFrames = 0;
  int32_t LastLoopFrame = 0;
  int32_t LoopingFrames = 0;
  int32_t FramesPerSecond = 0;
  bool Backwards = false;
};
using TGamePlayerModelAnimations = std::array<TGamePlayerModelAnimation, MAX_ANIMATIONS_EX>;

// Reads the text of an "animation.cfg" into Animations and Sex: up to 25 numeric rows, legs rows
// rebased to the start of the legs model, end and loop frames, the two derived backward rows.
// Missing numbers on a short line read as -1; "sex" without a value leaves Sex as it is.
void ParseAnimationConfig(const std::string& Text, TGamePlayerModelAnimations& Animations, int32_t& Sex);

class TGamePlayerModel {
 public:
  // Loads "models/players/NAME/" head, lower and upper with one instance each, and the table.
  TGamePlayerModel(TZNT1Engine* AEngine, const std::string& APlayerModel);
  // Gives back the model references and frees the three instances.
  ~TGamePlayerModel();
  TGamePlayerModel(const TGamePlayerModel&) = delete;
  TGamePlayerModel& operator=(const TGamePlayerModel&) = delete;

  // The skin names of Model (Lower by default), or "default" when it has none.
  void GetSkins(TStringList& List, TZNT1Model* Model = nullptr) const;
  // Each part takes the slot of that skin name, 0 when it has none of that name.
  void SetSkin(const std::string& SkinName);
  // Starts a row on the legs (BOTH_ and LEGS_ rows) and/or the torso (BOTH_ and TORSO_ rows).
  void SetAnimation(int32_t Animation, bool ForLower, bool ForUpper, bool Backwards, float Speed);

  TZNT1Engine* Engine;
  std::string PlayerModel;
  int32_t Sex = pmsUNKNOWN;
  TZNT1Model* Head = nullptr;
  TZNT1Model* Lower = nullptr;
  TZNT1Model* Upper = nullptr;
  TZNT1Model* Weapon = nullptr;
  TZNT1ModelInstance* HeadInstance = nullptr;
  TZNT1ModelInstance* LowerInstance = nullptr;
  TZNT1ModelInstance* UpperInstance = nullptr;
  TZNT1ModelInstance* WeaponInstance = nullptr;
  TZNT1ModelInstance* WeaponLocalInstance = nullptr;
  TGamePlayerModelAnimations Animations{};
};
