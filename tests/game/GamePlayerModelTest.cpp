// Player models: the "animation.cfg" reader, animation starts, and every player model of the content.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "GameTestSupport.h"
#include "core/ZNT1Stream.h"
#include "game/GamePlayerModel.h"
#include "support/TestData.h"
#include "world/ZNT1Model.h"

namespace {

struct TParsed {
  TGamePlayerModelAnimations Rows{};
  int32_t Sex = pmsUNKNOWN;
};

TParsed Parse(const std::string& Text, int32_t Sex = pmsUNKNOWN) {
  TParsed p;
  p.Sex = Sex;
  ParseAnimationConfig(Text, p.Rows, p.Sex);
  return p;
}

// 25 numeric lines, row i starting at 10 i with i + 1 frames.
std::string FullTable() {
  std::string s;
  for (int i = 0; i < 25; ++i)
    s += std::to_string(10 * i) + " " + std::to_string(i + 1) + " " + std::to_string(i % 3) + " 15\n";
  return s;
}

TEST(AnimationConfig, LinesCommentsSexAndKeywords) {
  struct Case {
    const char* Name;
    std::string Text;
    int32_t SexBefore, Sex;
    int32_t Row0[4];  // first, frames, looping, fps of row 0
  };
  const Case Cases[] = {
      {"numbers and a comment", "0 30 0 25 // BOTH_DEATH1\n", pmsUNKNOWN, pmsUNKNOWN, {0, 30, 0, 25}},
      {"sex f", "sex f\n5 6 7 8", pmsUNKNOWN, pmsFEMALE, {5, 6, 7, 8}},
      {"SEX M in capitals, tabs", "SEX\tM\r\n\t 5\t6 7 8 \r\n", pmsUNKNOWN, pmsMALE, {5, 6, 7, 8}},
      {"other sex value keeps it", "sex n\n1 2 3 4", pmsFEMALE, pmsFEMALE, {1, 2, 3, 4}},
      {"sex alone keeps it", "sex\n1 2 3 4", pmsMALE, pmsMALE, {1, 2, 3, 4}},
      {"keyword line uses no row", "headoffset 0 0 0\nfootsteps boot\n3 4 5 6", pmsUNKNOWN, pmsUNKNOWN, {3, 4, 5, 6}},
      {"negative first skipped", "-1 2 3 4\n3 4 5 6", pmsUNKNOWN, pmsUNKNOWN, {3, 4, 5, 6}},
      {"short line reads -1", "7 8\n", pmsUNKNOWN, pmsUNKNOWN, {7, 8, -1, -1}},
      {"first alone", "7", pmsUNKNOWN, pmsUNKNOWN, {7, -1, -1, -1}},
      {"bad numbers read -1", "7 x 1e3 99999999999", pmsUNKNOWN, pmsUNKNOWN, {7, -1, -1, -1}},
      {"comment only and blank lines", "// nothing\n\n   \n//\n2 3 4 5", pmsUNKNOWN, pmsUNKNOWN, {2, 3, 4, 5}},
      {"comment glued to numbers", "2 3 4 5// x 9", pmsUNKNOWN, pmsUNKNOWN, {2, 3, 4, 5}},
      {"old Mac line ends", "sex f\r2 3 4 5\r", pmsUNKNOWN, pmsFEMALE, {2, 3, 4, 5}},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    const TParsed p = Parse(c.Text, c.SexBefore);
    EXPECT_EQ(p.Sex, c.Sex);
    EXPECT_EQ(p.Rows[0].FirstFrame, c.Row0[0]);
    EXPECT_EQ(p.Rows[0].NumFrames, c.Row0[1]);
    EXPECT_EQ(p.Rows[0].LoopingFrames, c.Row0[2]);
    EXPECT_EQ(p.Rows[0].FramesPerSecond, c.Row0[3]);
    EXPECT_EQ(p.Rows[0].LastFrame, c.Row0[0] + c.Row0[1] - 1);
    EXPECT_EQ(p.Rows[1].NumFrames, 0) << "one line fills one row";
  }
}

TEST(AnimationConfig, LegsRebasedDerivedRowsAndExtraLinesIgnored) {
  const TParsed p = Parse(FullTable() + "999 1 1 1\n");
  // Legs rows (13 .. 24) move back by first(LEGS_WALKCR) - first(TORSO_GESTURE) = 130 - 60.
  for (int i = 0; i < MAX_ANIMATIONS; ++i) {
    SCOPED_TRACE(i);
    const int32_t First = 10 * i - (i >= LEGS_WALKCR ? 70 : 0);
    EXPECT_EQ(p.Rows[i].FirstFrame, First);
    EXPECT_EQ(p.Rows[i].NumFrames, i + 1);
    EXPECT_EQ(p.Rows[i].LastFrame, First + i);
    EXPECT_EQ(p.Rows[i].LastLoopFrame, First + i % 3 - 1);
    EXPECT_FALSE(p.Rows[i].Backwards);
  }
  EXPECT_EQ(p.Rows[LEGS_BACKCR].FirstFrame, p.Rows[LEGS_WALKCR].FirstFrame);
  EXPECT_EQ(p.Rows[LEGS_BACKCR].LastFrame, p.Rows[LEGS_WALKCR].LastFrame);
  EXPECT_TRUE(p.Rows[LEGS_BACKCR].Backwards);
  EXPECT_EQ(p.Rows[LEGS_BACKWALK].FirstFrame, p.Rows[LEGS_WALK].FirstFrame);
  EXPECT_TRUE(p.Rows[LEGS_BACKWALK].Backwards);
  EXPECT_EQ(p.Rows[LEGS_TURN].FirstFrame, 240 - 70) << "the 26th numeric line is ignored";
}

TEST(AnimationConfig, DamagedTextNeverReadsPastItsTokens) {
  // Every truncation and seeded byte flips of a full table, plus extreme numbers: no crash,
  // no sanitizer report; rows stay defined.
  const std::string Base = "sex m\n" + FullTable() + "2147483647 2147483647 -2147483648 1\n";
  for (size_t n = 0; n <= Base.size(); ++n) Parse(Base.substr(0, n));
  std::mt19937 Rng(19);
  for (int k = 0; k < 2000; ++k) {
    std::string s = Base;
    for (int f = 0; f < 4; ++f) s[Rng() % s.size()] = static_cast<char>(Rng() & 0xFF);
    Parse(s);
  }
  const TParsed Extreme = Parse("2147483647 2147483647 2147483647 1\n" + std::string(12, '\n') +
                                "-5 1 1 1\n" + "0 0 0 0\n");
  EXPECT_EQ(Extreme.Rows[0].FirstFrame, 2147483647);
  EXPECT_EQ(Extreme.Rows[0].LastFrame, -3) << "wraps as 32-bit arithmetic, without overflow traps";
}

// ---- Real content ----

gametest::GameEngine& ContentEngine() {
  static std::unique_ptr<gametest::GameEngine> Engine;
  if (!Engine) Engine = std::make_unique<gametest::GameEngine>(gametest::Files{}, true);
  return *Engine;
}

std::set<std::string> PlayerFolders(const std::vector<std::string>& Files) {
  std::set<std::string> Folders;
  for (const std::string& f : Files) {
    const size_t Slash = f.find('/', 15);
    if (Slash != std::string::npos && Slash > 15) Folders.insert(f.substr(15, Slash - 15));
  }
  return Folders;
}

// Every folder is loaded; the figures count those of the stock archives.
TEST(PlayerModelContent, EveryPlayerModelLoadsLinkedWithRowsInRange) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine& Engine = ContentEngine();
  TStringList Files;
  Engine.Archives->FindFiles("models/players/*", &Files);
  const std::set<std::string> Stock = PlayerFolders(testdata::StockFiles("models/players/*"));
  int32_t Models = 0, Female = 0, TextureOnly = 0;
  for (const std::string& Name : PlayerFolders(Files.Strings)) {
    SCOPED_TRACE(Name);
    TGamePlayerModel pm(&Engine, Name);
    const std::string P = "models/players/" + Name;
    const bool Counted = Stock.count(Name) > 0;
    if (!Engine.Archives->ExistFile(P + "/lower.md3")) {
      TextureOnly += Counted;
      EXPECT_EQ(pm.LowerInstance, nullptr);
      EXPECT_EQ(pm.UpperInstance, nullptr);
      EXPECT_EQ(pm.HeadInstance, nullptr);
      pm.SetAnimation(LEGS_RUN, true, true, false, 1.0f);  // nothing to animate, nothing happens
      continue;
    }
    Models += Counted;
    ASSERT_NE(pm.LowerInstance, nullptr);
    ASSERT_NE(pm.UpperInstance, nullptr);
    ASSERT_NE(pm.HeadInstance, nullptr);
    EXPECT_GE(pm.Lower->ReferenceCounter, 1);
    ASSERT_TRUE(Engine.Archives->ExistFile(P + "/animation.cfg"));
    Female += Counted && pm.Sex == pmsFEMALE;
    EXPECT_NE(pm.Sex, pmsUNKNOWN);
    // Legs, torso and head hang from each other.
    bool TorsoLinked = false, HeadLinked = false;
    for (const TZNT1ModelInstanceTag& t : pm.LowerInstance->Tags) TorsoLinked |= t.LinkedModelInstance == pm.UpperInstance;
    for (const TZNT1ModelInstanceTag& t : pm.UpperInstance->Tags) HeadLinked |= t.LinkedModelInstance == pm.HeadInstance;
    EXPECT_TRUE(TorsoLinked);
    EXPECT_TRUE(HeadLinked);
    // Every row lies inside its model's frames once the legs are rebased.
    const int32_t TorsoFrames = static_cast<int32_t>(pm.Upper->Frames.size());
    const int32_t LegsFrames = static_cast<int32_t>(pm.Lower->Frames.size());
    for (int i = 0; i < MAX_ANIMATIONS_EX; ++i) {
      SCOPED_TRACE(i);
      const TGamePlayerModelAnimation& r = pm.Animations[i];
      const int32_t Frames = i >= LEGS_WALKCR ? LegsFrames : TorsoFrames;
      EXPECT_GE(r.NumFrames, 0);
      EXPECT_GE(r.FramesPerSecond, 0);
      EXPECT_GE(r.FirstFrame, 0);
      EXPECT_LT(r.FirstFrame, Frames);
      EXPECT_LE(r.LastFrame, Frames - 1);
      EXPECT_GE(r.LastFrame, r.FirstFrame - 1);  // a row of 0 frames ends just before its start
    }
    // Starting a legs row plays inside its range.
    pm.SetAnimation(LEGS_RUN, true, false, false, 1.0f);
    EXPECT_EQ(pm.LowerInstance->Animation.StartFrame, pm.Animations[LEGS_RUN].FirstFrame);
    for (int k = 0; k < 30; ++k) {
      pm.LowerInstance->Update(1.0 / 60.0);
      EXPECT_GE(pm.LowerInstance->Animation.Frame, 0);
      EXPECT_LT(pm.LowerInstance->Animation.Frame, LegsFrames);
    }
  }
  EXPECT_EQ(Models, 18);
  EXPECT_EQ(Female, 7);
  EXPECT_GE(TextureOnly, 1);
}

TEST(PlayerModelContent, MermanTurnHasNoFramesAndStaysInRange) {
  REQUIRE_CONTENT_DIR();
  TGamePlayerModel pm(&ContentEngine(), "merman");
  ASSERT_NE(pm.LowerInstance, nullptr);
  EXPECT_EQ(pm.Animations[LEGS_TURN].NumFrames, 0);
  pm.SetAnimation(LEGS_TURN, true, false, false, 1.0f);
  for (int k = 0; k < 120; ++k) {
    pm.LowerInstance->Update(1.0 / 60.0);
    EXPECT_GE(pm.LowerInstance->Animation.Frame, 0);
    EXPECT_LT(pm.LowerInstance->Animation.Frame, static_cast<int32_t>(pm.Lower->Frames.size()));
  }
}

TEST(PlayerModelContent, SetAnimationPicksPartsLoopsAndDirection) {
  REQUIRE_CONTENT_DIR();
  TGamePlayerModel pm(&ContentEngine(), "sarge");
  ASSERT_NE(pm.LowerInstance, nullptr);
  const TZNT1ModelAnimationState TorsoBefore = pm.UpperInstance->Animation;
  // A legs row never reaches the torso, a torso row never the legs.
  pm.SetAnimation(LEGS_RUN, true, true, false, 0.5f);
  const TGamePlayerModelAnimation& Run = pm.Animations[LEGS_RUN];
  EXPECT_EQ(pm.UpperInstance->Animation.StartFrame, TorsoBefore.StartFrame);
  EXPECT_EQ(pm.LowerInstance->Animation.StartFrame, Run.FirstFrame);
  EXPECT_EQ(pm.LowerInstance->Animation.EndFrame, Run.LoopingFrames >= 1 ? Run.LastLoopFrame : Run.LastFrame);
  EXPECT_FLOAT_EQ(pm.LowerInstance->Animation.FramesPerSecond, Run.FramesPerSecond * 0.5f);
  EXPECT_EQ(pm.LowerInstance->Animation.NextRequestedFrame, Run.FirstFrame) << "jumps into the new range";
  const TZNT1ModelAnimationState LegsBefore = pm.LowerInstance->Animation;
  pm.SetAnimation(TORSO_ATTACK, true, true, false, 1.0f);
  EXPECT_EQ(pm.LowerInstance->Animation.StartFrame, LegsBefore.StartFrame);
  EXPECT_EQ(pm.UpperInstance->Animation.StartFrame, pm.Animations[TORSO_ATTACK].FirstFrame);
  EXPECT_EQ(pm.UpperInstance->Animation.Loop, pm.Animations[TORSO_ATTACK].LoopingFrames >= 1);
  // A BOTH_ row reaches both; a backward row plays backwards, and the argument flips it.
  pm.SetAnimation(BOTH_DEATH1, true, true, false, 1.0f);
  EXPECT_EQ(pm.LowerInstance->Animation.StartFrame, pm.Animations[BOTH_DEATH1].FirstFrame);
  EXPECT_EQ(pm.UpperInstance->Animation.StartFrame, pm.Animations[BOTH_DEATH1].FirstFrame);
  pm.SetAnimation(LEGS_BACKWALK, true, false, false, 1.0f);
  EXPECT_TRUE(pm.LowerInstance->Animation.Backwards);
  pm.SetAnimation(LEGS_BACKWALK, true, false, true, 1.0f);
  EXPECT_FALSE(pm.LowerInstance->Animation.Backwards);
  // A state that had stopped starts again, backwards from its end.
  pm.LowerInstance->Animation.Animation = false;
  pm.SetAnimation(LEGS_BACKCR, true, false, false, 1.0f);
  EXPECT_TRUE(pm.LowerInstance->Animation.Animation);
  EXPECT_EQ(pm.LowerInstance->Animation.Frame, pm.LowerInstance->Animation.EndFrame);
  EXPECT_FLOAT_EQ(pm.LowerInstance->Animation.InterpolationTime, 1.0f);
  // Out of the table: nothing.
  pm.SetAnimation(-1, true, true, false, 1.0f);
  pm.SetAnimation(MAX_ANIMATIONS_EX, true, true, false, 1.0f);
}

TEST(PlayerModelContent, SkinsByName) {
  REQUIRE_CONTENT_DIR();
  TGamePlayerModel pm(&ContentEngine(), "sarge");
  TStringList Skins;
  pm.GetSkins(Skins);
  ASSERT_GE(Skins.Count(), 1);
  pm.SetSkin(Skins[Skins.Count() - 1]);
  EXPECT_EQ(pm.LowerInstance->Skin, Skins.Count() - 1);
  pm.SetSkin("no such skin");
  EXPECT_EQ(pm.LowerInstance->Skin, 0);
  EXPECT_EQ(pm.HeadInstance->Skin, 0);
}

TEST(PlayerModelContent, RealConfigTruncatedAndFlipped) {
  REQUIRE_CONTENT_DIR();
  std::unique_ptr<TMemoryStream> File = ContentEngine().Archives->ExtractFile("models/players/sarge/animation.cfg");
  ASSERT_TRUE(File);
  const std::string Text(File->Data.begin(), File->Data.end());
  const TParsed Whole = Parse(Text);
  EXPECT_EQ(Whole.Sex, pmsMALE);
  EXPECT_GT(Whole.Rows[LEGS_RUN].NumFrames, 0);
  const size_t Step = testdata::Sanitizing ? 7 : 1;
  for (size_t n = 0; n <= Text.size(); n += Step) Parse(Text.substr(0, n));
  std::mt19937 Rng(1905);
  for (int k = 0; k < 500; ++k) {
    std::string s = Text;
    for (int f = 0; f < 3; ++f) s[Rng() % s.size()] ^= static_cast<char>(1 << (Rng() % 8));
    Parse(s);
  }
}

}  // namespace
