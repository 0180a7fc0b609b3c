#pragma once
// Engines for the game tests: dedicated ones over generated archives and/or the content, with
// the game class of the program.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Unzip.h"
#include "assets/ZipTestSupport.h"
#include "core/ZNT1Engine.h"
#include "game/Game.h"
#include "support/BSPWriter.h"
#include "support/TestData.h"

namespace gametest {

using Files = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

// A dedicated engine after Init whose archives hold the given files (sorted after the content,
// so they win) and, when asked, the content folder. Records forced progress reports.
class GameEngine : public TZNT1Engine {
 public:
  explicit GameEngine(const Files& AFiles = {}, bool WithContent = false)
      : TZNT1Engine(&CreateGameOfClass<TGame>, true) {
    if (WithContent) Archives->LoadDirectory(testdata::ContentDir() + "/");
    if (!AFiles.empty()) {
      std::vector<ziptest::Entry> Entries;
      for (const auto& [Name, Data] : AFiles) {
        ziptest::Entry e;
        e.Name = Name;
        e.Data = Data;
        Entries.push_back(e);
      }
      auto* Stream = new TZNT1MemoryInputStream(ziptest::BuildZip(Entries).Bytes_);
      if (!Archives->Load(Stream, "zzz-test.pk3", true)) delete Stream;
    }
    Archives->Finish();
    Init();
  }
  void ShowLoadProgress(bool Force, float Progress) override {
    if (Force) Forced.push_back(Progress);
    LastProgress = Progress;
  }
  // The game object the engine would create in Run.
  TGame& MakeGame() {
    if (!Game) Game = GameClass(this);
    return static_cast<TGame&>(*Game);
  }
  std::vector<float> Forced;
};

inline std::vector<uint8_t> Text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// The collision fixture's room (inside -512..512 x -512..512 x 0..256, brush models 1 and 2)
// with the given entity lump, as "maps/NAME.bsp".
inline std::pair<std::string, std::vector<uint8_t>> RoomMap(const std::string& EntityText,
                                                           const std::string& Name = "room") {
  bspwriter::TCollisionFixture x = bspwriter::MakeCollisionFixture();
  x.File.Entities = EntityText;
  return {"maps/" + Name + ".bsp", x.File.Build()};
}

// One entity block from key/value pairs.
inline std::string EntityBlock(const std::vector<std::pair<std::string, std::string>>& Pairs) {
  std::string s = "{\n";
  for (const auto& [k, v] : Pairs) s += "\"" + k + "\" \"" + v + "\"\n";
  return s + "}\n";
}

// A standing height over the room's floor: the player's box reaches 24 below its origin.
constexpr float FloorZ = 24.125f;

}  // namespace gametest
