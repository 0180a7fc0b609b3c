#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "core/ZNT1StringHashMap.h"
#include "support/TestData.h"

namespace {

void* Ptr(intptr_t i) { return reinterpret_cast<void*>(i); }

}  // namespace

TEST(StringHashMap, HashValues) {
  // Every tail length (0..3 bytes after the 8- and 4-byte blocks) and a high byte.
  const struct {
    std::string Key;
    uint32_t Hash;
  } Cases[] = {
      {"", 0x106D9229u},
      {"abc", 0x1BEE015Bu},
      {"a", 0xCF887D06u},
      {"ab", 0xA888D635u},
      {"abcd", 0xB35ED6B7u},
      {"abcde", 0x7D5341B7u},
      {"abcdefgh", 0x506F6A4Du},
      {"textures/base_wall/concrete.tga", 0x0F1AC3D2u},
      {"ABC", 0x913E5DAAu},
      {"scripts/common.shader\xFF", 0x425B9B93u},
  };
  for (const auto& c : Cases) EXPECT_EQ(TZNT1StringHashMap::HashString(c.Key), c.Hash) << c.Key;
}

TEST(StringHashMap, GrowsAtThirdFifthAndNinthKey) {
  TZNT1StringHashMap Map;
  EXPECT_EQ(Map.CellCount(), 4);
  const int ExpectedCells[] = {4, 4, 8, 8, 16, 16, 16, 16, 32};
  for (int i = 0; i < 9; ++i) {
    Map.Add("key" + std::to_string(i), Ptr(i + 1));
    EXPECT_EQ(Map.CellCount(), ExpectedCells[i]) << "after add " << i + 1;
  }
  for (int i = 0; i < 9; ++i) EXPECT_EQ(Map.GetValue("key" + std::to_string(i)), Ptr(i + 1));
}

TEST(StringHashMap, AddTwiceKeepsOneEntryWithSecondValue) {
  TZNT1StringHashMap Map;
  TZNT1StringHashMapEntity* First = Map.Add("textures/a", Ptr(1));
  TZNT1StringHashMapEntity* Second = Map.Add("textures/a", Ptr(2));
  EXPECT_EQ(First, Second);
  EXPECT_EQ(Map.GetSize(), 1);
  EXPECT_EQ(Second->Key, "textures/a");
  EXPECT_EQ(Map.GetValue("textures/a"), Ptr(2));
  Map.SetValue("textures/a", Ptr(3));
  EXPECT_EQ(Map.GetValue("textures/a"), Ptr(3));
  EXPECT_EQ(Map.GetSize(), 1);
}

TEST(StringHashMap, CaseAndEmbeddedBytesMatter) {
  TZNT1StringHashMap Map;
  Map.Add("Map", Ptr(1));
  Map.Add("map", Ptr(2));
  Map.Add("MAP", Ptr(3));
  Map.Add(std::string("a\0b", 3), Ptr(4));
  EXPECT_EQ(Map.GetValue("Map"), Ptr(1));
  EXPECT_EQ(Map.GetValue("map"), Ptr(2));
  EXPECT_EQ(Map.GetValue("MAP"), Ptr(3));
  EXPECT_EQ(Map.GetValue(std::string("a\0b", 3)), Ptr(4));
  EXPECT_EQ(Map.GetValue("a"), nullptr);
  EXPECT_EQ(Map.GetValue("mAp"), nullptr);
  EXPECT_EQ(Map.GetValue(""), nullptr);
  Map.Add("", Ptr(5));
  EXPECT_EQ(Map.GetValue(""), Ptr(5));
}

TEST(StringHashMap, GetCreatesOnlyWhenAsked) {
  TZNT1StringHashMap Map;
  EXPECT_EQ(Map.Get("cvar", false), nullptr);
  EXPECT_EQ(Map.GetSize(), 0);
  TZNT1StringHashMapEntity* e = Map.Get("cvar", true);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Key, "cvar");
  EXPECT_EQ(e->Value, nullptr);
  e->Value = Ptr(7);
  EXPECT_EQ(Map.Get("cvar", false), e);
  EXPECT_EQ(Map.GetValue("cvar"), Ptr(7));
}

TEST(StringHashMap, DeleteLeavesSlotUntilRebuild) {
  TZNT1StringHashMap Map;
  Map.Add("a", Ptr(1));
  Map.Add("b", Ptr(2));
  EXPECT_FALSE(Map.Delete("c"));
  EXPECT_TRUE(Map.Delete("a"));
  EXPECT_FALSE(Map.Delete("a"));
  EXPECT_EQ(Map.GetValue("a"), nullptr);
  EXPECT_EQ(Map.GetValue("b"), Ptr(2));
  EXPECT_EQ(Map.GetSize(), 2);  // counters are not lowered
  EXPECT_EQ(Map.GetRealSize(), 2);

  // Re-adding takes a new slot; the full table rebuilds first and drops the deleted one.
  TZNT1StringHashMapEntity* e = Map.Add("a", Ptr(3));
  EXPECT_EQ(Map.GetValue("a"), Ptr(3));
  EXPECT_EQ(Map.GetValue("b"), Ptr(2));
  EXPECT_EQ(Map.GetSize(), 2);
  EXPECT_EQ(e->Key, "a");

  // Without a rebuild in between the new entry lands in the next slot.
  TZNT1StringHashMap Big;
  for (int i = 0; i < 5; ++i) Big.Add(std::to_string(i), Ptr(i + 1));
  ASSERT_EQ(Big.CellCount(), 16);
  EXPECT_TRUE(Big.Delete("2"));
  Big.Add("2", Ptr(9));
  EXPECT_EQ(Big.GetSize(), 6);
  EXPECT_EQ(Big.GetValue("2"), Ptr(9));
}

TEST(StringHashMap, ChurnKeepsTableBounded) {
  TZNT1StringHashMap Map;
  std::map<std::string, intptr_t> Model;
  for (int i = 0; i < 100; ++i) {
    Map.Add("base/" + std::to_string(i), Ptr(i + 1));
    Model["base/" + std::to_string(i)] = i + 1;
  }
  // Fixed live count with endless add/delete pairs: the table must not keep growing.
  for (int i = 0; i < 20000; ++i) {
    const std::string Key = "churn/" + std::to_string(i);
    Map.Add(Key, Ptr(i + 1000));
    ASSERT_TRUE(Map.Delete(Key));
    ASSERT_LE(Map.CellCount(), 1024);
  }
  EXPECT_EQ(Map.CellCount(), 512);  // 100 live entries
  for (const auto& [k, v] : Model) EXPECT_EQ(Map.GetValue(k), Ptr(v)) << k;
}

TEST(StringHashMap, RandomisedAgainstStdMap) {
  std::mt19937 Rng(1234);
  const int Rounds = testdata::Sanitizing ? 20000 : 200000;
  TZNT1StringHashMap Map;
  std::map<std::string, intptr_t> Model;
  for (int r = 0; r < Rounds; ++r) {
    const std::string Key = "k" + std::to_string(Rng() % 3000);
    switch (Rng() % 4) {
      case 0:
      case 1: {
        const intptr_t v = static_cast<intptr_t>(Rng() % 1000000) + 1;
        Map.Add(Key, Ptr(v));
        Model[Key] = v;
        break;
      }
      case 2:
        EXPECT_EQ(Map.Delete(Key), Model.erase(Key) == 1);
        break;
      default: {
        auto It = Model.find(Key);
        ASSERT_EQ(Map.GetValue(Key), It == Model.end() ? nullptr : Ptr(It->second));
      }
    }
  }
  for (const auto& [k, v] : Model) EXPECT_EQ(Map.GetValue(k), Ptr(v));
  EXPECT_LE(Map.CellCount(), 16384);
}

TEST(StringHashMap, ClearStartsOver) {
  TZNT1StringHashMap Map;
  for (int i = 0; i < 50; ++i) Map.Add(std::to_string(i), Ptr(i + 1));
  Map.Clear();
  EXPECT_EQ(Map.CellCount(), 4);
  EXPECT_EQ(Map.GetSize(), 0);
  EXPECT_EQ(Map.GetRealSize(), 0);
  EXPECT_EQ(Map.GetValue("7"), nullptr);
  Map.Add("7", Ptr(8));
  EXPECT_EQ(Map.GetValue("7"), Ptr(8));
}
