// Weapon cache: the table, the folder fallback and the optional last three weapons.
#include <gtest/gtest.h>

#include "GameTestSupport.h"
#include "game/GameWeaponCache.h"
#include "support/MD3Writer.h"
#include "world/ZNT1Model.h"

namespace {

TEST(WeaponCache, ContentHoldsThirteenWeaponsWithTheirTable) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({}, true);
  TGameWeaponCache Cache(&Engine);
  Cache.Load();
  ASSERT_EQ(Cache.Count(), 13);
  struct Row {
    const char* Name;
    TGameWeaponCacheItem* Field;
    float Time;
    int32_t Max, Quantity, Low;
    const char* Folder;
  };
  const Row Rows[] = {
      {"gauntlet", Cache.Gauntlet, 0.4f, -1, -1, -2, "weapons2"},
      {"shotgun", Cache.ShotGun, 1.0f, 100, 10, 3, "weapons2"},
      {"machinegun", Cache.MachineGun, 0.1f, 400, 40, 5, "weapons2"},
      {"grenadel", Cache.GrenadeLauncher, 0.8f, 100, 10, 3, "weapons2"},
      {"rocketl", Cache.RocketLauncher, 0.8f, 100, 10, 3, "weapons2"},
      {"lightning", Cache.Lightning, 0.05f, 1000, 100, 10, "weapons2"},
      {"railgun", Cache.RailGun, 1.5f, 100, 10, 3, "weapons2"},
      {"plasma", Cache.Plasma, 0.1f, 500, 50, 5, "weapons2"},
      {"bfg", Cache.BFG, 0.2f, 200, 20, 5, "weapons2"},
      {"grapple", Cache.Grapple, 0.4f, -1, -1, -2, "weapons2"},
      {"nailgun", Cache.NailGun, 1.0f, 200, 20, 5, "weapons"},
      {"proxmine", Cache.ProxyLauncher, 0.8f, 50, 5, 1, "weapons"},
      {"vulcan", Cache.ChainGun, 0.03f, 800, 80, 10, "weapons"},
  };
  for (int i = 0; i < 13; ++i) {
    SCOPED_TRACE(Rows[i].Name);
    TGameWeaponCacheItem* Item = Cache.GetItem(i);
    ASSERT_EQ(Item, Rows[i].Field);
    EXPECT_EQ(Item->WeaponModel, Rows[i].Name);
    EXPECT_EQ(Item->Index, i);
    EXPECT_FLOAT_EQ(Item->WeaponTime, Rows[i].Time);
    EXPECT_EQ(Item->MaxQuantity, Rows[i].Max);
    EXPECT_EQ(Item->Quantity, Rows[i].Quantity);
    EXPECT_EQ(Item->LowQuantity, Rows[i].Low);
    EXPECT_FLOAT_EQ(Item->FlashSpeed, 1.0f);
    ASSERT_NE(Item->Weapon, nullptr);
    EXPECT_EQ(Item->Weapon->Name, std::string("models/") + Rows[i].Folder + "/" + Rows[i].Name + "/" + Rows[i].Name + ".md3");
    EXPECT_GE(Item->Weapon->ReferenceCounter, 1);
  }
  EXPECT_NE(Cache.MachineGun->Shell, nullptr);
  EXPECT_NE(Cache.ShotGun->Shell, nullptr);
  EXPECT_EQ(Cache.Plasma->Shell, nullptr);
  EXPECT_EQ(Cache.GetItem(13), nullptr);
  EXPECT_EQ(Cache.GetItem(-1), nullptr);
  // References go back with the items.
  TZNT1Model* Shotgun = Cache.ShotGun->Weapon;
  const int32_t Refs = Shotgun->ReferenceCounter;
  Cache.Unload();
  EXPECT_EQ(Shotgun->ReferenceCounter, Refs - 1);
  EXPECT_EQ(Cache.Count(), 0);
  EXPECT_EQ(Cache.ShotGun, nullptr);
  EXPECT_EQ(Cache.ChainGun, nullptr);
}

TEST(WeaponCache, OptionalWeaponsNeedTheOnesBefore) {
  // Only file presence decides; the bytes need not be a model.
  const std::vector<uint8_t> Junk = gametest::Text("not a model");
  const std::string N = "models/weapons/nailgun/nailgun.md3", P = "models/weapons/proxmine/proxmine.md3",
                    V = "models/weapons/vulcan/vulcan.md3";
  struct Case {
    std::vector<std::string> Present;
    int32_t Count;
  };
  const Case Cases[] = {{{}, 10}, {{P, V}, 10}, {{N}, 11}, {{N, V}, 11}, {{N, P}, 12}, {{N, P, V}, 13}};
  for (const Case& c : Cases) {
    gametest::Files Files;
    for (const std::string& f : c.Present) Files.push_back({f, Junk});
    gametest::GameEngine Engine(Files.empty() ? gametest::Files{{"readme.txt", Junk}} : Files);
    TGameWeaponCache Cache(&Engine);
    Cache.Load();
    EXPECT_EQ(Cache.Count(), c.Count) << c.Present.size();
    EXPECT_EQ(Cache.NailGun != nullptr, c.Count >= 11);
    EXPECT_EQ(Cache.ChainGun != nullptr, c.Count >= 13);
    for (int i = 0; i < Cache.Count(); ++i) EXPECT_EQ(Cache.GetItem(i)->Weapon, nullptr) << "no model loads";
  }
}

TEST(WeaponCache, MainModelUnderWeaponsWinsOverWeapons2) {
  const std::vector<uint8_t> Bytes = md3test::Write(md3test::TwoFrameFixture());
  gametest::GameEngine Engine({{"models/weapons/railgun/railgun.md3", Bytes},
                               {"models/weapons2/railgun/railgun_barrel.md3", Bytes},
                               {"models/weapons2/plasma/plasma.md3", Bytes},
                               {"models/weapons2/plasma/plasma_hand.md3", Bytes}});
  TGameWeaponCache Cache(&Engine);
  Cache.Load();
  ASSERT_NE(Cache.RailGun->Weapon, nullptr);
  EXPECT_EQ(Cache.RailGun->Weapon->Name, "models/weapons/railgun/railgun.md3");
  EXPECT_EQ(Cache.RailGun->Barrel, nullptr) << "the barrel is looked up in the same folder only";
  ASSERT_NE(Cache.Plasma->Weapon, nullptr);
  EXPECT_NE(Cache.Plasma->Hand, nullptr);
  EXPECT_EQ(Cache.Plasma->Flash, nullptr);
}

}  // namespace
