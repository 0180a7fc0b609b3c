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
#include "game/GameEntity.h"
#include "support/BSPWriter.h"
#include "support/TestData.h"
#include "world/WorldTestSupport.h"

namespace gametest {

using ziptest::Files;

// The map tests' engine with the game class of the program.
class GameEngine : public worldtest::MapEngine {
 public:
  explicit GameEngine(const Files& AFiles = {}, bool WithContent = false)
      : MapEngine(AFiles, WithContent, &CreateGameOfClass<TGame>) {}
  // The game object the engine would create in Run.
  TGame& MakeGame() {
    if (!Game) Game = GameClass(this);
    return static_cast<TGame&>(*Game);
  }
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

// A target that counts the uses it receives and notes the last user.
struct UseCounter : TGameEntity {
  using TGameEntity::TGameEntity;
  void Use(TGameEntity* By) override {
    ++Uses;
    LastUser = By;
  }
  int Uses = 0;
  TGameEntity* LastUser = nullptr;
};

// A standing height over the room's floor: the player's box reaches 24 below its origin.
constexpr float FloorZ = 24.125f;

}  // namespace gametest
