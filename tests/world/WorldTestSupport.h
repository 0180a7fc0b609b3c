#pragma once
// Engines for the map tests: dedicated ones that record the load progress, and the maps of
// the content archives read without the engine's own archive code.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Texture.h"
#include "assets/ZNT1Unzip.h"
#include "assets/TestZip.h"
#include "assets/ZipTestSupport.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Stream.h"
#include "material/ZNT1Shader.h"
#include "support/BSPWriter.h"
#include "support/TestData.h"
#include "world/ZNT1BSP.h"

namespace worldtest {

// A dedicated engine of a game class after Init whose archives hold the given files (sorted
// after the content, so they win) and, when asked, the content folder; it records every forced
// progress report.
class MapEngine : public TZNT1Engine {
 public:
  explicit MapEngine(const ziptest::Files& Files = {}, bool WithContent = false,
                     TZNT1GameClass AGameClass = &CreateGameOfClass<TZNT1Game>)
      : TZNT1Engine(AGameClass, true) {
    if (WithContent) Archives->LoadDirectory(testdata::ContentDir() + "/");
    ziptest::AddFiles(*Archives, Files);
    Archives->Finish();
    Init();
  }
  void ShowLoadProgress(bool Force, float Progress) override {
    if (Force) Forced.push_back(Progress);
    LastProgress = Progress;
  }
  std::vector<float> Forced;
};

// Loads a map from bytes; nullptr when Load fails.
inline std::unique_ptr<TZNT1BSP> LoadMapBytes(TZNT1Engine& Engine, const std::vector<uint8_t>& Bytes,
                                              const std::string& Name = "fixture") {
  TMemoryStream Stream(Bytes);
  auto Map = std::make_unique<TZNT1BSP>(&Engine);
  if (!Map->Load(Stream, "maps/" + Name + "/", Name)) return nullptr;
  return Map;
}

struct MapEntry {
  std::string Archive;
  std::string Name;  // without folder and extension
  std::vector<uint8_t> Data;
  // From one of the nine archives scripts/setup installs, whose figures the tests pin.
  bool Stock() const { return testdata::IsStockArchive(Archive); }
};

// Every maps/*.bsp entry of every content archive, overridden copies included, largest last.
inline const std::vector<MapEntry>& ContentMaps() {
  static std::vector<MapEntry> Maps = [] {
    std::vector<MapEntry> out;
    for (const std::string& a : testdata::ContentArchives()) {
      testzip::TZip zip(a);
      for (const testzip::TEntry& e : zip.Entries()) {
        std::string n = e.Name;
        std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        if (n.rfind("maps/", 0) != 0 || n.size() < 9 || n.substr(n.size() - 4) != ".bsp") continue;
        if (n.find('/', 5) != std::string::npos) continue;
        MapEntry m;
        m.Archive = std::filesystem::path(a).filename().string();
        m.Name = n.substr(5, n.size() - 9);
        if (zip.Extract(e, m.Data)) out.push_back(std::move(m));
      }
    }
    std::stable_sort(out.begin(), out.end(), [](const MapEntry& x, const MapEntry& y) { return x.Data.size() < y.Data.size(); });
    return out;
  }();
  return Maps;
}

}  // namespace worldtest
