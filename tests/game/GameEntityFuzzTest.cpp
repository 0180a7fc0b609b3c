// Random entity lumps: classnames of every class, random keys (negative speeds, wait -1, "*9999",
// huge numbers), team and target cycles and corners aiming at themselves; each loads and runs
// 600 ticks with the player walking through the triggers, with no crash and no hang.
#include <gtest/gtest.h>

#include <random>

#include "EntityRoomSupport.h"
#include "support/TestData.h"

using namespace roomtest;

namespace {

std::string RandomLump(std::mt19937& Rng) {
  std::vector<std::string> Classes;
  for (const TGameEntityFixedClass& c : FixedClassList) Classes.push_back(c.ClassName);
  for (int32_t i = 1; i < CountItemList; i += 5) Classes.push_back(ItemList[i].ClassName);
  Classes.push_back("light");
  const char* Names[] = {"a", "b", "c", "d"};
  const char* Numbers[] = {"0", "1", "-1", "2", "-400", "1e30", "-1e30", "nan", "0.2", "1000", "x", ""};
  const char* Keys[] = {"speed", "wait", "random", "delay", "lip", "height", "phase", "dmg", "health",
                        "spawnflags", "count", "angle", "CloseWhenIdle"};
  auto Pick = [&](size_t n) { return size_t(Rng() % n); };
  std::string s = "{\n\"classname\" \"worldspawn\"\n\"music\" \"sound/movers/doors/dr1_end.wav\"\n}\n";
  const int Count = 10 + int(Pick(30));
  for (int i = 0; i < Count; ++i) {
    s += "{\n\"classname\" \"" + Classes[Pick(Classes.size())] + "\"\n";
    s += "\"origin\" \"" + std::to_string(int(Pick(1600)) - 800) + " " + std::to_string(int(Pick(1600)) - 800) +
         " " + std::to_string(int(Pick(400))) + "\"\n";
    const char* Models[] = {"*1", "*2", "*3", "*9999", "*0", "*-1"};
    if (Pick(3)) s += "\"model\" \"" + std::string(Models[Pick(6)]) + "\"\n";
    if (Pick(2)) s += "\"targetname\" \"" + std::string(Names[Pick(4)]) + "\"\n";
    if (Pick(2)) s += "\"target\" \"" + std::string(Names[Pick(4)]) + "\"\n";
    if (Pick(3) == 0) s += "\"team\" \"" + std::string(Names[Pick(2)]) + "\"\n";
    for (int k = int(Pick(5)); k > 0; --k)
      s += "\"" + std::string(Keys[Pick(std::size(Keys))]) + "\" \"" + Numbers[Pick(std::size(Numbers))] + "\"\n";
    s += "}\n";
  }
  return s;
}

TEST(EntityFuzz, RandomLumpsLoadAndRun) {
  const int Lumps = testdata::Sanitizing ? 6 : 24;
  std::mt19937 Rng(2026);
  for (int n = 0; n < Lumps; ++n) {
    const std::string Lump = RandomLump(Rng);
    SCOPED_TRACE(Lump);
    Room r({{Box(-64, -64, 0, 64, 64, 64)}, {Box(200, -64, 0, 264, 64, 128), CONTENTS_TRIGGER},
            {Box(-300, -300, 0, -200, -200, 32)}},
           Lump);
    ASSERT_TRUE(r.Game.GameEntities);
    for (int t = 0; t < 600; ++t) {
      // Wander through the brushes, touching what is there.
      const float a = float(t) * 0.05f;
      r.Place(Vector3(250.0f * std::cos(a), 250.0f * std::sin(a), 30));
      r.Player().TouchedMapModelsList = {1 + t % 3};
      r.Player().TouchedMapModelsListSize = 1;
      r.Player().GroundMapModel = (t / 60) % 4;
      r.E().Update(Tick);
      if (t % 50 == 0) r.Sounds();
    }
  }
}

}  // namespace
