// Every material script of the installed content.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "MaterialTestSupport.h"
#include "assets/TestZip.h"
#include "support/TestData.h"

using namespace materialtest;

namespace {

struct TScriptEntry {
  std::string Name;  // archive path, ":" and the entry's path
  std::string Text;
  bool Stock;  // from one of the nine archives scripts/setup installs
};

// Every "scripts/*.shader" entry of every content archive, read without the engine's archives.
std::vector<TScriptEntry> AllScriptEntries() {
  std::vector<TScriptEntry> Result;
  for (const std::string& Path : testdata::ContentArchives()) {
    testzip::TZip Zip(Path);
    for (const testzip::TEntry& E : Zip.Entries()) {
      if (E.Name.size() < 7 || E.Name.compare(E.Name.size() - 7, 7, ".shader") != 0) continue;
      std::vector<uint8_t> Bytes;
      if (!Zip.Extract(E, Bytes)) continue;
      Result.push_back({Path + ":" + E.Name, std::string(Bytes.begin(), Bytes.end()), testdata::IsStockArchive(Path)});
    }
  }
  return Result;
}

}  // namespace

TEST(ZNT1ShaderContent, LoadRegistersEveryBlockWithinLimits) {
  REQUIRE_CONTENT_DIR();
  TEngine E({}, testdata::ContentDir());
  E.Shaders().Load();
  TZNT1Shaders& L = E.Shaders();

  // The same bytes Load read, counted independently.
  TStringList Files;
  E.Engine.Archives->FindFiles("scripts/*.shader", &Files);
  int Expected = 0;
  for (const std::string& Path : Files.Strings) {
    auto Stream = E.Engine.Archives->ExtractFile(Path);
    ASSERT_TRUE(Stream);
    Expected += CountMaterialBlocks(std::string_view(reinterpret_cast<const char*>(Stream->Memory()),
                                                     static_cast<size_t>(Stream->Size())));
  }
  EXPECT_EQ(testdata::StockFiles("scripts/*.shader").size(), 104u);
  EXPECT_EQ(L.Count(), Expected);
  EXPECT_GT(L.Count(), 2000);  // 2,223 on the packaged content
  EXPECT_TRUE(E.Warnings().empty()) << E.Warnings().front();

  std::map<std::string, TZNT1Shader*> Last;
  for (int32_t i = 0; i < L.Count(); ++i) {
    TZNT1Shader* S = L.GetItem(i);
    SCOPED_TRACE(S->Name);
    Last[S->Name] = S;
    EXPECT_LE(S->Count(), MAX_SHADER_STAGES);
    for (const TZNT1ShaderStage* Stage : S->Stages) {
      EXPECT_NE(Stage->Texture[0], nullptr);
      EXPECT_NE(Stage->TexCoordGen, TCGEN_BAD);
      EXPECT_LE(Stage->NumTexMods, MAX_TEXMODS);
      EXPECT_LE(Stage->NumImageAnimation, MAX_IMAGE_ANIMATIONS);
    }
    EXPECT_LE(S->NumDeformations, MAX_DEFORMS);
    EXPECT_GE(S->Sort, 1);
    EXPECT_LE(S->Sort, 255);
    EXPECT_EQ(S->NextShader != nullptr, !S->NextShaderName.empty() && L.GetShader(S->NextShaderName));
  }
  for (const auto& [Name, S] : Last) EXPECT_EQ(L.GetShader(Name), S) << Name;

  // Draw order: each once, SortedIndex its position, as a stable reference sort orders them.
  std::vector<TZNT1Shader*> Reference(L.Items);
  std::sort(Reference.begin(), Reference.end(), [](const TZNT1Shader* a, const TZNT1Shader* b) {
    return a->Sort != b->Sort ? a->Sort < b->Sort : a->UnsortedIndex > b->UnsortedIndex;
  });
  ASSERT_EQ(L.SortedShaders->Count(), L.Count());
  for (int32_t i = 0; i < L.Count(); ++i) {
    EXPECT_EQ(L.SortedShaders->GetItem(i), Reference[size_t(i)]);
    EXPECT_EQ(L.SortedShaders->GetItem(i)->SortedIndex, i);
    EXPECT_EQ(L.GetItem(i)->UnsortedIndex, i);
  }

  const TZNT1Shader* Fog = L.GetShader("textures/fogs/fogyou");
  ASSERT_TRUE(Fog);
  EXPECT_EQ(Fog->Sort, SORT_FOG);
  EXPECT_EQ(Fog->Count(), 0);
  EXPECT_EQ(Fog->HasFogPass, FP_LEQUAL);
  EXPECT_TRUE(Fog->Flags & SF_NOCULL);

  const TZNT1Shader* Sky = L.GetShader("textures/skies/industrysky");
  ASSERT_TRUE(Sky);
  EXPECT_TRUE(Sky->IsSky);
  EXPECT_EQ(Sky->Sort, SORT_ENVIRONMENT);
  EXPECT_TRUE(Sky->HasSunLight);
  EXPECT_EQ(Sky->Sky.CloudHeight, 800.0f);
  for (TZNT1Texture* Face : Sky->Sky.OuterBox) EXPECT_EQ(Face, E.Default());
}

// Each script entry of every archive, parsed alone, registers what its own scan counts.
TEST(ZNT1ShaderContent, EveryEntryAloneMatchesItsScan) {
  REQUIRE_CONTENT_DIR();
  const auto Entries = AllScriptEntries();
  TEngine E;
  int StockEntries = 0, StockTotal = 0, Further = 0;
  for (const TScriptEntry& Entry : Entries) {
    const int32_t Before = E.Shaders().Count();
    E.Shaders().Parse(Entry.Text, Entry.Name);
    const int32_t Added = E.Shaders().Count() - Before;
    EXPECT_EQ(Added, CountMaterialBlocks(Entry.Text)) << Entry.Name;
    if (Entry.Stock) {
      ++StockEntries;
      StockTotal += Added;
    } else {
      Further += Added;
    }
  }
  EXPECT_EQ(StockEntries, 161);
  EXPECT_EQ(StockTotal, 3522);
  std::printf("%zu script entries, %d blocks beyond the stock archives\n", Entries.size(), Further);
  EXPECT_TRUE(E.Warnings().empty()) << E.Warnings().front();
}
