// Items on a generated room: pick-up rules, hiding and respawn, spin, bob and scale, carrying on a
// mover after a respawn placed the item on it.
#include <gtest/gtest.h>

#include <cmath>

#include "EntityRoomSupport.h"
#include "game/GameWeaponCache.h"
#include "support/MD3Writer.h"
#include "world/ZNT1Model.h"

using namespace roomtest;

namespace {

// A one-frame box model 16 units across, standing on its origin.
std::vector<uint8_t> BoxModel() {
  md3test::TModel m;
  md3test::TFrame f;
  f.Min = {-8, -8, 0};
  f.Max = {8, 8, 16};
  f.Radius = 12;
  f.Name = "box";
  m.Frames = {f};
  m.Tags = {{}};
  md3test::TSurface s;
  s.Name = "box";
  s.Shaders = {"models/test/box"};
  s.TexCoords = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
  s.Triangles = {{0, 1, 2}, {1, 3, 2}};
  s.Frames = {{{-512, -512, 0, 0, 0}, {512, -512, 0, 0, 0}, {-512, 512, 1024, 0, 0}, {512, 512, 1024, 0, 0}}};
  m.Surfaces = {s};
  return md3test::Write(m);
}

gametest::Files ItemFiles() {
  gametest::Files f = EntitySounds();
  for (const char* n : {"models/powerups/health/medium_cross.md3", "models/weapons2/machinegun/machinegun.md3",
                        "models/powerups/ammo/machinegunam.md3",
                        "models/weapons2/machinegun/machinegun_barrel.md3"})
    f.emplace_back(n, BoxModel());
  return f;
}

const std::string World = "{\n\"classname\" \"worldspawn\"\n}\n";

TEST(Item, HealthIsCappedAt200AndTheItemHidesAndReturns) {
  Room r({}, World + "{\n\"classname\" \"item_health\"\n\"origin\" \"0 0 40\"\n}\n", ItemFiles());
  r.Park();
  auto* Item = r.First<TGameEntityItem>();
  ASSERT_NE(Item, nullptr);
  EXPECT_EQ(Item->ItemType, IT_HEALTH);
  EXPECT_EQ(Item->Quantity, 25);
  EXPECT_FLOAT_EQ(Item->Wait, 20.0f);
  EXPECT_EQ(Item->Noise, "sound/items/n_health.wav");
  ASSERT_EQ(Item->NumChildren, 1) << "the sphere model is missing, the cross is there";
  EXPECT_GE(Item->Angles.y, 0.0f);
  EXPECT_LT(Item->Angles.y, 1.0f);
  struct Case {
    int32_t Before, After;
  };
  for (const Case c : {Case{190, 200}, Case{175, 200}, Case{170, 195}, Case{10, 35}}) {
    r.PlayerEntity().Health = c.Before;
    Item->Collected = false;
    Item->Touch(&r.PlayerEntity());
    EXPECT_EQ(r.PlayerEntity().Health, c.After) << c.Before;
    Item->Touch(&r.PlayerEntity());
    EXPECT_EQ(r.PlayerEntity().Health, c.After) << "only while not collected";
  }
  EXPECT_EQ(Item->SampleInstance->ToPlay.load(), -1);
  r.Run(1);
  EXPECT_FALSE(Item->Visible);
  EXPECT_FALSE(Item->Children[0]->Visible);
  // Back after its wait (20 s, no random part), with the respawn sound.
  r.Run(20 * 60 - 2);
  EXPECT_TRUE(Item->Collected);
  r.Run(1);
  EXPECT_FALSE(Item->Collected);
  EXPECT_TRUE(Item->Visible);
  EXPECT_EQ(Item->RespawnSampleInstance->ToPlay.load(), -1);
}

TEST(Item, PickedUpByTouchInTheTickOnlyByTheLiving) {
  Room r({}, World + "{\n\"classname\" \"item_health\"\n\"origin\" \"0 0 40\"\n}\n", ItemFiles());
  auto* Item = r.First<TGameEntityItem>();
  r.Place(Vector3(0, 0, 30));
  r.Player().Mode = gcmDEAD;
  r.Run(5);
  EXPECT_FALSE(Item->Collected);
  r.Player().Mode = gcmALIVE;
  r.Run(2);
  EXPECT_TRUE(Item->Collected);
}

TEST(Item, SpinsBobsAndScales) {
  Room r({}, World + "{\n\"classname\" \"item_health\"\n\"origin\" \"0 0 40\"\n}\n"
                     "{\n\"classname\" \"weapon_machinegun\"\n\"origin\" \"200 0 40\"\n\"spawnflags\" \"1\"\n}\n",
         ItemFiles());
  r.Park();
  auto* Health = r.First<TGameEntityItem>(0);
  auto* Gun = r.First<TGameEntityItem>(1);
  EXPECT_EQ(Gun->ItemTag, WP_MACHINEGUN);
  float Low = 1e9f, High = -1e9f;
  for (int i = 0; i < 120; ++i) {
    const double t = Health->CurrentTime + Health->Angles.y;
    r.Run(1);
    // One turn a second for health (the child turns the other way), a bob of 0 to 8 units.
    const double a = 360.0 * (t - std::floor(t));
    EXPECT_NEAR(Health->Children[0]->Rotation.y, -a, 1e-2);
    EXPECT_NEAR(Health->Translation.z, 40.0 + 4.0 * (std::cos(6.283185307 * (t - std::floor(t))) + 1.0), 1e-3);
    Low = std::min(Low, Health->Translation.z);
    High = std::max(High, Health->Translation.z);
  }
  EXPECT_NEAR(Low, 40.0f, 0.1f);
  EXPECT_NEAR(High, 48.0f, 0.1f);
  EXPECT_TRUE(Vector3Compare(Gun->Scaling, Vector3(1.5f, 1.5f, 1.5f)));
  // A weapon's barrel rides on its model, drawn with the same entity index.
  ASSERT_EQ(Gun->NumChildren, 1);
  TGameEntity* GunModel = Gun->Children[0];
  ASSERT_NE(GunModel->AddOnModel, nullptr);
  EXPECT_EQ(GunModel->AddOnModel->Name, "models/weapons2/machinegun/machinegun_barrel.md3");
  EXPECT_EQ(GunModel->AddOnModelInstance->EntityIndex, GunModel->ModelInstance->EntityIndex);
  EXPECT_EQ(GunModel->ModelInstance->EntityIndex, 0x10000001 + 2 * 2);
  EXPECT_EQ(Health->Children[0]->AddOnModel, nullptr);
  EXPECT_TRUE(Vector3Compare(Health->Scaling, Vector3(1, 1, 1)));
  // Weapons turn once in two seconds.
  const double t = Gun->CurrentTime + Gun->Angles.y;
  r.Run(1);
  EXPECT_NEAR(Gun->Children[0]->Rotation.y, -360.0 * ((t * 0.5) - std::floor(t * 0.5)), 1e-2);
}

TEST(Item, FirstBoxIsItsOwnPlace) {
  // The player stands halfway between the world origin and the item: a first box taken from
  // nowhere (the origin) would sweep through it and hand the item over.
  Room r({}, World + "{\n\"classname\" \"item_health\"\n\"origin\" \"600 600 40\"\n}\n", ItemFiles());
  r.Place(Vector3(300, 300, gametest::FloorZ));
  auto* Item = r.First<TGameEntityItem>();
  r.Run(1);
  ASSERT_TRUE(Item->HasCollisionAABB);
  EXPECT_FALSE(Item->HasCollisionDisplacement) << "the first box is no move";
  // The 16-unit box turned by its random phase, over its bob.
  EXPECT_TRUE(AABBContains(TZNT1AABB{Vector3(588, 588, 39), Vector3(612, 612, 65)}, Item->CollisionAABB));
  EXPECT_TRUE(AABBContains(Item->CollisionAABB, Vector3(600, 600, 48)));
  r.Run(10);
  EXPECT_FALSE(Item->Collected);
  // Its broad-phase box stays where it is (spin and bob aside), not stretched from the origin.
  const TZNT1AABB Near{Vector3(560, 560, 0), Vector3(640, 640, 100)};
  const TZNT1AABB& Stored = r.E().CollisionDynamicAABBTree->Nodes[size_t(Item->CollisionDynamicAABBTreeProxy)].AABB;
  EXPECT_TRUE(AABBContains(Near, Stored)) << Stored.Min.x << " " << Stored.Min.y << " " << Stored.Max.x;
}

TEST(Item, RespawnsAndTeleportsDoNotSweepThePlayerThroughItems) {
  // Two spawn points with an item between them: going from one to the other is a jump, not a
  // walk, in either way the player can be put there.
  Room r({}, World + "{\n\"classname\" \"info_player_deathmatch\"\n\"origin\" \"-300 0 25\"\n}\n"
                     "{\n\"classname\" \"info_player_deathmatch\"\n\"origin\" \"300 0 25\"\n}\n"
                     "{\n\"classname\" \"item_health\"\n\"origin\" \"0 0 24\"\n}\n",
         ItemFiles());
  auto* Item = r.First<TGameEntityItem>();
  r.PlayerEntity().ClientRespawn();
  r.Run(5);
  const float From = r.Player().InternalPosition.x;
  r.PlayerEntity().ClientRespawn();
  r.Run(5);
  EXPECT_NEAR(r.Player().InternalPosition.x, -From, 1.0f);
  EXPECT_FALSE(Item->Collected) << "respawn";
  r.Player().TeleportTo(Vector3(From, 0, 24), 99999);
  r.Run(1);
  EXPECT_FALSE(Item->Collected) << "teleport";
  // Put where it stands, the player takes it.
  r.Place(Vector3(0, 0, gametest::FloorZ));
  r.Run(2);
  EXPECT_TRUE(Item->Collected);
}

TEST(Item, RespawnPlacesItOnAMoverThatThenCarriesIt) {
  // An item over a bobbing brush: collected, it comes back standing on the brush and rides it.
  Room r({{Box(-64, -64, 0, 64, 64, 32)}},
         World + "{\n\"classname\" \"func_bobbing\"\n\"model\" \"*1\"\n\"height\" \"16\"\n}\n"
                 "{\n\"classname\" \"item_health\"\n\"origin\" \"0 0 100\"\n}\n",
         ItemFiles());
  r.Park();
  auto* Bob = r.First<TGameEntityFuncBobbing>();
  auto* Item = r.First<TGameEntityItem>();
  r.Run(1);
  Item->Touch(&r.PlayerEntity());
  Item->RemainTime = 0;
  r.Run(1);
  ASSERT_FALSE(Item->Collected);
  EXPECT_EQ(Item->GroundEntity, Bob);
  // A 16-unit sphere comes to rest on the brush's top.
  const float Rest = Item->BaseTranslation.z - Bob->Translation.z;
  EXPECT_NEAR(Rest, 32.0f + 16.0f, 0.5f);
  float Low = 1e9f, High = -1e9f;
  for (int i = 0; i < 240; ++i) {
    r.Run(1);
    ASSERT_NEAR(Item->BaseTranslation.z - Bob->Translation.z, Rest, 1e-3f) << i;
    Low = std::min(Low, Item->BaseTranslation.z);
    High = std::max(High, Item->BaseTranslation.z);
  }
  EXPECT_GT(High - Low, 30.0f);
}

}  // namespace

namespace {

template <class TClient>
constexpr bool HasWeaponArrays() {
  return requires(TClient& c) {
    c.HasWeapon[0];
    c.WeaponAmmo[0];
  };
}

template <class TClient>
void CheckWeaponPickUps(Room& r, TClient& c) {
  auto* Gun = r.template First<TGameEntityItem>(0);
  auto* Ammo = r.template First<TGameEntityItem>(1);
  auto* Gauntlet = r.template First<TGameEntityItem>(2);
  ASSERT_EQ(Gun->ItemTag, WP_MACHINEGUN);
  ASSERT_EQ(r.E().WeaponCache->GetItem(WP_MACHINEGUN)->MaxQuantity, 400);
  // Ammunition for a weapon not owned: collected, nothing given.
  c.HasWeapon[WP_MACHINEGUN] = false;
  c.WeaponAmmo[WP_MACHINEGUN] = 0;
  Ammo->Touch(&r.PlayerEntity());
  EXPECT_TRUE(Ammo->Collected);
  EXPECT_EQ(c.WeaponAmmo[WP_MACHINEGUN], 0);
  // 390 + 40 stops at 400.
  c.WeaponAmmo[WP_MACHINEGUN] = 390;
  Gun->Touch(&r.PlayerEntity());
  EXPECT_TRUE(c.HasWeapon[WP_MACHINEGUN]);
  EXPECT_EQ(c.WeaponAmmo[WP_MACHINEGUN], 400);
  // The gauntlet: the weapon, no ammunition change.
  c.HasWeapon[WP_GAUNTLET] = false;
  const int32_t Before = c.WeaponAmmo[WP_GAUNTLET];
  Gauntlet->Touch(&r.PlayerEntity());
  EXPECT_TRUE(c.HasWeapon[WP_GAUNTLET]);
  EXPECT_EQ(c.WeaponAmmo[WP_GAUNTLET], Before);
}

TEST(Item, WeaponsAndAmmunition) {
  Room r({}, World + "{\n\"classname\" \"weapon_machinegun\"\n\"origin\" \"0 0 40\"\n}\n"
                     "{\n\"classname\" \"ammo_bullets\"\n\"origin\" \"100 0 40\"\n}\n"
                     "{\n\"classname\" \"weapon_gauntlet\"\n\"origin\" \"200 0 40\"\n}\n",
         ItemFiles());
  r.Park();
  if constexpr (HasWeaponArrays<TGameClient>()) {
    CheckWeaponPickUps(r, r.Player());
  } else {
    GTEST_SKIP() << "the player carries no weapons yet";
  }
}

}  // namespace
