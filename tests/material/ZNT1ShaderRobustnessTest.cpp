// Damaged and hostile material scripts: each gives its warning or silence, stays within the
// limits, and never hangs or reads out of bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "MaterialTestSupport.h"
#include "assets/TestZip.h"
#include "support/TestData.h"

using namespace materialtest;

namespace {

const char* const EndsInMaterial = "the text ends inside a material";
const char* const EndsInStage = "the text ends inside a stage";
const char* const TooManyStages = "stages beyond the eighth";
const char* const OutOfRange = "a number beyond the single range";

std::string Repeat(const std::string& Text, int Count) {
  std::string Result;
  for (int i = 0; i < Count; ++i) Result += Text;
  return Result;
}

}  // namespace

TEST(ZNT1ShaderRobustness, MalformedScripts) {
  struct Row {
    std::string Text;
    std::vector<const char*> Warnings;  // parts of the one warning line; none: silence
    int Materials;
    std::function<void(const TZNT1Shaders&)> Check = nullptr;
  };
  const std::string Digits400 = "1" + std::string(399, '0');
  const Row Rows[] = {
      {"m {", {EndsInMaterial}, 1},
      {"m { {", {EndsInStage}, 1},
      {"m {\n{\nmap", {EndsInStage}, 1},
      {"m {\n{\nmap textures/a.tga\nblendfunc", {EndsInStage}, 1},
      // The word lists of these two keywords stop at the end of the text too.
      {"m {\n{\nmap x\n}\nsurfaceparm", {EndsInMaterial}, 1},
      {"m {\nsurfaceparm nodraw",
       {EndsInMaterial},
       1,
       [](const TZNT1Shaders& L) { EXPECT_EQ(L.GetItem(0)->SurfaceFlags, SURF_NODRAW); }},
      {"m {\n{\nanimmap", {EndsInStage}, 1},
      {"m {\n{\nanimmap 2 a b",
       {EndsInStage},
       1,
       [](const TZNT1Shaders& L) { EXPECT_EQ(L.GetItem(0)->GetStage(0)->NumImageAnimation, 2); }},
      // "}" on these lines is a frame name or a word, so the blocks stay open.
      {"m {\n{\nanimmap 2 a }\n}", {EndsInMaterial}, 1},
      {"m {\nsurfaceparm nodraw }\n", {EndsInMaterial}, 1},
      {"m { /", {EndsInMaterial}, 1},
      {"m { } /", {}, 1},
      {"m { /* never closed }", {EndsInMaterial}, 1},
      {"/* never closed m { }", {}, 0},
      {"m { \"never closed }", {EndsInMaterial}, 1},
      {"m " + Repeat("{ ", 100000), {EndsInStage}, 1},
      {"m " + Repeat("{\n", 100000) + Repeat("}\n", 100000), {}, 1},
      {"m {\n" + Repeat("{ map x }\n", 12) + "}",
       {TooManyStages},
       1,
       [](const TZNT1Shaders& L) { EXPECT_EQ(L.GetItem(0)->Count(), 8); }},
      // A dropped stage leaves no trace on its material.
      {"m {\n" + Repeat("{ map x }\n", 8) + "{\nmap $lightmap\nalphagen portal 9\n}\n}",
       {TooManyStages},
       1,
       [](const TZNT1Shaders& L) {
         EXPECT_FALSE(L.GetItem(0)->UseLightMap);
         EXPECT_EQ(L.GetItem(0)->PortalRange, 256.0f);
       }},
      {"m {\n{\nmap x\nrgbgen wave sin 1e999 1 0 1\n}\n}",
       {OutOfRange},
       1,
       [](const TZNT1Shaders& L) { EXPECT_TRUE(std::isinf(L.GetItem(0)->GetStage(0)->RGBWave.Base)); }},
      {"m {\n{\nmap x\ntcmod scroll -Infinity 0\n}\n}", {OutOfRange}, 1},
      {"m {\n{\nmap x\ntcmod rotate " + Digits400 + "\n}\n}", {OutOfRange}, 1},
      {"m {\n{\nmap x\ntcmod scroll NaN 0x\n}\n}",
       {},
       1,
       [](const TZNT1Shaders& L) {
         EXPECT_EQ(L.GetItem(0)->GetStage(0)->TexMods[0].Scroll.x, 0.0f);
         EXPECT_EQ(L.GetItem(0)->GetStage(0)->TexMods[0].Scroll.y, 0.0f);
       }},
      {"m {\n{\nmap x\nalphagen portal 0\n}\n}",
       {},
       1,
       [](const TZNT1Shaders& L) { EXPECT_EQ(L.GetItem(0)->PortalRange, 0.0f); }},
      {"m {\ndeformvertexes wave 1e-40 sin 0 1 0 1\n{ map x }\n}",
       {OutOfRange},
       1,
       [](const TZNT1Shaders& L) { EXPECT_TRUE(std::isinf(L.GetItem(0)->Deformation[0].DeformationSpread)); }},
      {"m {\nsort 99999999999999999999\n{ map x }\n}",
       {},
       1,
       [](const TZNT1Shaders& L) { EXPECT_EQ(L.GetItem(0)->Sort, 255); }},
      {std::string("m {\0{ map x }\0}", 15), {}, 1, [](const TZNT1Shaders& L) { EXPECT_EQ(L.GetItem(0)->Count(), 1); }},
      {"m {\n" + Repeat("{ map x }\n", 12), {EndsInMaterial, TooManyStages}, 1},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Text.substr(0, 80));
    TEngine E;
    E.Shaders().Parse(R.Text, "scripts/bad.shader");
    EXPECT_EQ(E.Shaders().Count(), R.Materials);
    ExpectWithinLimits(E.Shaders());
    const auto Warnings = E.Warnings();
    if (R.Warnings.empty()) {
      EXPECT_TRUE(Warnings.empty()) << Warnings.front();
    } else {
      ASSERT_EQ(Warnings.size(), 1u);
      EXPECT_NE(Warnings[0].find("\"scripts/bad.shader\""), std::string::npos) << Warnings[0];
      for (const char* Part : R.Warnings) EXPECT_NE(Warnings[0].find(Part), std::string::npos) << Warnings[0];
    }
    if (R.Check && E.Shaders().Count() == R.Materials) R.Check(E.Shaders());
  }
}

TEST(ZNT1ShaderRobustness, LineEndingsAlike) {
  const std::string Script =
      "textures/a\n{\n  qer_editorimage x\n  surfaceparm nodraw trans\n  {\n    animmap 2 a b\n    blendfunc add\n"
      "  }\n  {\n    map $lightmap\n    tcmod scroll 1 2\n  }\n}\n";
  auto Replace = [&](const std::string& Break) {
    std::string Result;
    for (char c : Script) Result += c == '\n' ? Break : std::string(1, c);
    return Result;
  };
  for (const std::string Break : {"\n", "\r", "\r\n"}) {
    TEngine E;
    E.Shaders().Parse(Replace(Break));
    ASSERT_EQ(E.Shaders().Count(), 1);
    const TZNT1Shader& S = *E.Shaders().GetItem(0);
    EXPECT_EQ(S.SurfaceFlags, SURF_NODRAW);
    EXPECT_EQ(S.ContentFlags, CONTENTS_TRANSLUCENT);
    ASSERT_EQ(S.Count(), 2);
    EXPECT_EQ(S.GetStage(0)->NumImageAnimation, 2);
    EXPECT_EQ(S.GetStage(0)->StateBits, 0x22u);
    EXPECT_EQ(S.GetStage(1)->NumTexMods, 1);
    EXPECT_TRUE(E.Warnings().empty());
  }
}

TEST(ZNT1ShaderRobustness, GlowStagesOnlyWhileRoomLeft) {
  TEngine E(TFiles{{"textures/g.tga", ""}, {"textures/g_glow.tga", ""}});
  E.Shaders().Parse("seven {\n" + Repeat("{ map textures/g.tga }\n", 7) + "}\neight {\n" +
                    Repeat("{ map textures/g.tga }\n", 8) + "}");
  ASSERT_TRUE(E.Shaders().GetShader("seven") && E.Shaders().GetShader("eight"));
  EXPECT_EQ(E.Shaders().GetShader("seven")->Count(), 8);
  EXPECT_EQ(E.Shaders().GetShader("eight")->Count(), 8);
  EXPECT_EQ(E.Shaders().GetShader("seven")->GetStage(7)->StateBits, 0x22u);
  EXPECT_TRUE(E.Warnings().empty());
}

TEST(ZNT1ShaderRobustness, BinaryNoise) {
  std::mt19937 Random(1234);
  for (int Round = 0; Round < 200; ++Round) {
    std::string Text(size_t(Random() % 2000), '\0');
    for (char& c : Text) c = static_cast<char>(Random());
    // Some rounds lean on the bytes that mean something to the parser.
    if (Round % 2) {
      const char Specials[] = "{}\"/*\r\n \t";
      for (char& c : Text) {
        if (Random() % 3 == 0) c = Specials[Random() % (sizeof(Specials) - 1)];
      }
    }
    TEngine E;
    E.Shaders().Parse(Text);
    ExpectWithinLimits(E.Shaders());
  }
}

// Seeded damage to the real scripts: truncation, byte flips, inserted braces, keywords and
// absurd numbers.
TEST(ZNT1ShaderRobustness, MutatedRealScripts) {
  REQUIRE_CONTENT_DIR();
  TEngine Content({}, testdata::ContentDir());
  TStringList Files;
  Content.Engine.Archives->FindFiles("scripts/*.shader", &Files);
  std::vector<std::string> Scripts;
  for (const std::string& Path : Files.Strings) {
    auto Stream = Content.Engine.Archives->ExtractFile(Path);
    if (Stream) Scripts.emplace_back(reinterpret_cast<const char*>(Stream->Memory()), size_t(Stream->Size()));
  }
  ASSERT_FALSE(Scripts.empty());
  std::vector<size_t> BySize(Scripts.size());
  for (size_t i = 0; i < BySize.size(); ++i) BySize[i] = i;
  std::sort(BySize.begin(), BySize.end(), [&](size_t a, size_t b) { return Scripts[a].size() < Scripts[b].size(); });

  TEngine E;
  auto ParseFresh = [&](const std::string& Text) {
    E.Engine.Shaders = std::make_unique<TZNT1Shaders>(&E.Engine);
    E.Shaders().Parse(Text);
    ExpectWithinLimits(E.Shaders());
  };

  const size_t EveryOffsetScripts = testdata::Sanitizing ? 1 : 3, Rounds = testdata::Sanitizing ? 1 : 4;
  // The smallest scripts that still hold a few materials.
  size_t First = 0;
  while (First < BySize.size() && Scripts[BySize[First]].size() < 1000) ++First;
  for (size_t k = First; k < First + EveryOffsetScripts && k < BySize.size(); ++k) {
    const std::string& Text = Scripts[BySize[k]];
    for (size_t Cut = 0; Cut <= Text.size(); ++Cut) ParseFresh(Text.substr(0, Cut));
  }

  const char* const Inserts[] = {"{",  "}",          "\n{\n",         "\n}\n",          "surfaceparm", "animmap",
                                 "\"", "/*",         "1e999",         "-Infinity",      "NaN",         "0x",
                                 "99999999999999999999999", "\ndeformvertexes wave 1e-40", "\nalphagen portal 0",
                                 "\nskyparms", "\ntcmod turb sin", "\n{\nmap $lightmap\n}\n"};
  std::mt19937 Random(42);
  for (size_t Round = 0; Round < Rounds; ++Round) {
    for (const std::string& Text : Scripts) {
      if (Text.empty()) continue;
      ParseFresh(Text.substr(0, Random() % Text.size()));
      std::string Flipped = Text;
      for (int i = 0; i < 20; ++i) Flipped[Random() % Flipped.size()] ^= static_cast<char>(1 << (Random() % 8));
      ParseFresh(Flipped);
      std::string Inserted = Text;
      for (int i = 0; i < 10; ++i) {
        Inserted.insert(Random() % Inserted.size(), Inserts[Random() % (sizeof(Inserts) / sizeof(Inserts[0]))]);
      }
      ParseFresh(Inserted);
    }
  }
}
