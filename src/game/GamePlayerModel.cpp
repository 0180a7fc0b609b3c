#include "game/GamePlayerModel.h"

#include <cctype>
#include <climits>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Stream.h"
#include "world/ZNT1Model.h"

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && IsBlank(s[a])) ++a;
  while (b > a && IsBlank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A decimal integer with an optional sign, the whole token; Default otherwise.
int32_t ToInt(const std::string& s, int32_t Default) {
  size_t i = 0;
  bool Negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) Negative = s[i++] == '-';
  if (i >= s.size()) return Default;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return Default;
    v = v * 10 + (s[i] - '0');
    if (v > static_cast<int64_t>(INT32_MAX) + 1) return Default;
  }
  v = Negative ? -v : v;
  return v < INT32_MIN || v > INT32_MAX ? Default : static_cast<int32_t>(v);
}

}  // namespace

void ParseAnimationConfig(const std::string& Text, TGamePlayerModelAnimations& Animations, int32_t& Sex) {
  int32_t Rows = 0;
  size_t Pos = 0;
  std::vector<std::string> Tokens;
  while (Pos < Text.size()) {
    size_t End = Text.find_first_of("\r\n", Pos);
    if (End == std::string::npos) End = Text.size();
    std::string Line = Trim(Text.substr(Pos, End - Pos));
    Pos = End;
    if (Pos < Text.size() && Text[Pos] == '\r') ++Pos;
    if (Pos < Text.size() && Text[Pos] == '\n') ++Pos;
    if (const size_t Comment = Line.find("//"); Comment != std::string::npos) Line = Trim(Line.substr(0, Comment));
    if (Line.empty()) continue;
    Tokens.clear();
    for (size_t i = 0; i < Line.size();) {
      while (i < Line.size() && IsBlank(Line[i])) ++i;
      const size_t Start = i;
      while (i < Line.size() && !IsBlank(Line[i])) ++i;
      if (i > Start) Tokens.push_back(Line.substr(Start, i - Start));
    }
    auto Token = [&](size_t k) -> std::string { return k < Tokens.size() ? Tokens[k] : std::string(); };
    const std::string First = Lower(Token(0));
    if (First == "sex") {
      const std::string Value = Lower(Token(1));
      if (Value == "m") Sex = pmsMALE;
      else if (Value == "f") Sex = pmsFEMALE;
      continue;
    }
    const int32_t FirstFrame = ToInt(First, -1);
    if (FirstFrame < 0 || Rows >= MAX_ANIMATIONS) continue;
    TGamePlayerModelAnimation& Row = Animations[static_cast<size_t>(Rows++)];
    Row.FirstFrame = FirstFrame;
    Row.NumFrames = ToInt(Token(1), -1);
    Row.LoopingFrames = ToInt(Token(2), -1);
    Row.FramesPerSecond = ToInt(Token(3), -1);
    Row.Backwards = false;
  }

  // The legs rows count from the start of the torso rows in the file, but from 0 in the legs model.
  const int64_t Skip = static_cast<int64_t>(Animations[LEGS_WALKCR].FirstFrame) - Animations[TORSO_GESTURE].FirstFrame;
  for (int32_t i = LEGS_WALKCR; i <= LEGS_TURN; ++i) {
    TGamePlayerModelAnimation& Row = Animations[static_cast<size_t>(i)];
    Row.FirstFrame = static_cast<int32_t>(Row.FirstFrame - Skip);
  }
  for (int32_t i = 0; i < MAX_ANIMATIONS; ++i) {
    TGamePlayerModelAnimation& Row = Animations[static_cast<size_t>(i)];
    Row.LastFrame = static_cast<int32_t>(static_cast<int64_t>(Row.FirstFrame) + Row.NumFrames - 1);
    Row.LastLoopFrame = static_cast<int32_t>(static_cast<int64_t>(Row.FirstFrame) + Row.LoopingFrames - 1);
  }
  Animations[LEGS_BACKCR] = Animations[LEGS_WALKCR];
  Animations[LEGS_BACKCR].Backwards = true;
  Animations[LEGS_BACKWALK] = Animations[LEGS_WALK];
  Animations[LEGS_BACKWALK].Backwards = true;
}

TGamePlayerModel::TGamePlayerModel(TZNT1Engine* AEngine, const std::string& APlayerModel)
    : Engine(AEngine), PlayerModel(APlayerModel) {
  const std::string P = "models/players/" + APlayerModel;
  auto LoadPart = [&](const std::string& File, TZNT1Model*& Model, TZNT1ModelInstance*& Instance) {
    Model = Engine->Models ? Engine->Models->GetModel(P + File) : nullptr;
    if (!Model) return;
    Instance = Model->CreateInstance();
    Instance->Skin = 0;
    Instance->RecieveShadow = true;
    Instance->CastShadow = true;
    Model->IncRef();
  };
  LoadPart("/head.md3", Head, HeadInstance);
  LoadPart("/lower.md3", Lower, LowerInstance);
  LoadPart("/upper.md3", Upper, UpperInstance);

  if (Engine->Archives) {
    if (std::unique_ptr<TMemoryStream> Stream = Engine->Archives->ExtractFile(P + "/animation.cfg")) {
      const std::string Text(reinterpret_cast<const char*>(Stream->Memory()), static_cast<size_t>(Stream->Size()));
      ParseAnimationConfig(Text, Animations, Sex);
    }
  }

  if (LowerInstance) LowerInstance->Link("tag_torso", UpperInstance);
  if (UpperInstance) UpperInstance->Link("tag_head", HeadInstance);
}

TGamePlayerModel::~TGamePlayerModel() {
  // Instances first: a model freed by its last reference would free them too.
  delete HeadInstance;
  delete LowerInstance;
  delete UpperInstance;
  HeadInstance = LowerInstance = UpperInstance = nullptr;
  WeaponInstance = WeaponLocalInstance = nullptr;
  if (Head) Head->DecRef();
  if (Lower) Lower->DecRef();
  if (Upper) Upper->DecRef();
  Head = Lower = Upper = nullptr;
}

void TGamePlayerModel::GetSkins(TStringList& List, TZNT1Model* Model) const {
  List.Clear();
  if (!Model) Model = Lower;
  if (Model) {
    for (const TZNT1ModelMesh& Mesh : Model->Meshs) {
      for (const std::string& Name : Mesh.SkinNames) {
        bool Known = false;
        for (const std::string& s : List.Strings) Known = Known || s == Name;
        if (!Known && !Name.empty()) List.Add(Name);
      }
    }
  }
  if (List.Count() == 0) List.Add("default");
}

void TGamePlayerModel::SetSkin(const std::string& SkinName) {
  auto Apply = [&](TZNT1Model* Model, TZNT1ModelInstance* Instance) {
    if (!Model || !Instance) return;
    TStringList Skins;
    GetSkins(Skins, Model);
    int32_t Slot = 0;
    for (int32_t i = 0; i < Skins.Count(); ++i) {
      if (Skins[i] == SkinName) {
        Slot = i;
        break;
      }
    }
    Instance->Skin = Slot;
  };
  Apply(Head, HeadInstance);
  Apply(Lower, LowerInstance);
  Apply(Upper, UpperInstance);
}

namespace {

void StartRow(TZNT1ModelAnimationState& State, const TGamePlayerModelAnimation& Row, bool Backwards, float Speed) {
  State.FramesPerSecond = static_cast<float>(Row.FramesPerSecond) * Speed;
  State.StartFrame = Row.FirstFrame;
  State.Backwards = Row.Backwards != Backwards;
  if (Row.LoopingFrames >= 1) {
    State.Loop = true;
    State.EndFrame = Row.LastLoopFrame;
  } else {
    State.Loop = false;
    State.EndFrame = Row.LastFrame;
  }
  if (!State.Animation) {
    State.Animation = true;
    if (State.Backwards) {
      State.Frame = State.EndFrame;
      State.FrameTime = 1.0;
      State.InterpolationTime = 1.0f;
    } else {
      State.NextFrame = State.StartFrame;
      State.FrameTime = 0.0;
      State.InterpolationTime = 0.0f;
    }
  }
  if (State.NextFrame < State.StartFrame || State.NextFrame > State.EndFrame)
    State.NextRequestedFrame = Backwards ? State.EndFrame : State.StartFrame;
}

}  // namespace

void TGamePlayerModel::SetAnimation(int32_t Animation, bool ForLower, bool ForUpper, bool Backwards, float Speed) {
  if (Animation < 0 || Animation >= MAX_ANIMATIONS_EX) return;
  const TGamePlayerModelAnimation& Row = Animations[static_cast<size_t>(Animation)];
  const bool BothAnimation = Animation <= BOTH_DEAD3;
  if (ForLower && LowerInstance && (BothAnimation || Animation >= LEGS_WALKCR))
    StartRow(LowerInstance->Animation, Row, Backwards, Speed);
  if (ForUpper && UpperInstance && Animation < LEGS_WALKCR) StartRow(UpperInstance->Animation, Row, Backwards, Speed);
}
