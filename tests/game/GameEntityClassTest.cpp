// Entity classes: the classname dispatch over every map of the content, the item list, and the
// class table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "GameTestSupport.h"
#include "game/GameEntity.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1Entity.h"

namespace {

// The entity lump of a map file, read without the map code.
std::string EntityLump(const std::vector<uint8_t>& d) {
  if (d.size() < 16) return {};
  int32_t Offset, Len;
  std::memcpy(&Offset, d.data() + 8, 4);
  std::memcpy(&Len, d.data() + 12, 4);
  if (Offset < 0 || Len < 0 || size_t(Offset) + size_t(Len) > d.size()) return {};
  std::string s(reinterpret_cast<const char*>(d.data()) + Offset, size_t(Len));
  if (const size_t z = s.find('\0'); z != std::string::npos) s.resize(z);
  return s;
}

// The class a classname makes, as a label for the table.
std::string ClassOf(const std::string& ClassName) {
  if (FindItemListRow(ClassName) > 0) return "item";
  if (const TGameEntityFixedClass* c = FindFixedClass(ClassName)) return c->ClassName;
  return "unknown";
}

// What the entity lumps of a set of maps hold.
struct ClassTally {
  int32_t Maps = 0, Entities = 0;
  std::map<std::string, int32_t> Counts;          // classname -> entities
  std::map<int32_t, int32_t> ListTypes, WantTypes;  // entity type -> count
};

// Spawns the entity list of the map at Path from its lump alone (no geometry: map-model writes
// are skipped) and tallies it.
void TallyMap(gametest::GameEngine& Engine, TZNT1Archives& From, const std::string& Path, ClassTally& t) {
  auto Stream = From.ExtractFile(Path);
  ASSERT_NE(Stream, nullptr) << Path;
  const std::vector<uint8_t> Bytes(Stream->Memory(), Stream->Memory() + Stream->Size());
  TZNT1BSP Map(&Engine);
  Map.Entities = std::make_unique<TZNT1Entities>();
  ParseEntities(*Map.Entities, EntityLump(Bytes));
  ++t.Maps;
  for (const TZNT1Entity* e : Map.Entities->Items) {
    const std::string ClassName = e->GetString("classname");
    ++t.Counts[ClassName];
    ++t.Entities;
    const TGameEntityFixedClass* f = FindFixedClass(ClassName);
    ++t.WantTypes[FindItemListRow(ClassName) > 0 ? ET_ITEM : f ? f->EntityType : ET_UNKNOWN];
  }
  TGameEntities List(&Engine);
  List.Load(&Map);
  for (const TGameEntity* e : List.Items)
    if (e && e->EntityType != ET_MODEL) ++t.ListTypes[e->EntityType];
}

// The stock archives' maps, read from their own copies, give the pinned figures; a map only
// another archive supplies is checked the same way, without figures.
TEST(GameEntityClass, EveryClassnameOfEveryMapHasItsClass) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({}, true);
  TZNT1Archives Stock(nullptr);
  ASSERT_TRUE(testdata::MountStockArchives(Stock));
  TStringList Maps;
  ASSERT_TRUE(Stock.FindFiles("maps/*.bsp", &Maps));
  ClassTally t, Further;
  for (const std::string& Name : Maps.Strings) TallyMap(Engine, Stock, Name, t);
  TStringList All;
  std::vector<TZNT1Archive*> Owners;
  ASSERT_TRUE(Engine.Archives->FindFiles("maps/*.bsp", &All, &Owners));
  for (size_t i = 0; i < All.Strings.size(); ++i)
    if (!testdata::IsStockArchive(Owners[i]->Name)) TallyMap(Engine, *Engine.Archives, All.Strings[i], Further);
  EXPECT_EQ(t.ListTypes, t.WantTypes) << "the entity list holds one entity of its class per map entity";
  EXPECT_EQ(Further.ListTypes, Further.WantTypes) << "the same on the maps of other archives";
  int32_t Items = 0, Fixed = 0, Unknown = 0, UnknownEntities = 0;
  std::printf("%-28s %6s  %s\n", "classname", "count", "class");
  for (const auto& [ClassName, Count] : t.Counts) {
    const std::string Class = ClassOf(ClassName);
    std::printf("%-28s %6d  %s\n", ClassName.c_str(), Count, Class.c_str());
    if (Class == "item") {
      ++Items;
    } else if (Class == "unknown") {
      ++Unknown;
      UnknownEntities += Count;
    } else {
      ++Fixed;
    }
  }
  std::printf("%d maps, %d entities, %zu classnames: %d items, %d fixed, %d unknown (%d entities)\n", t.Maps,
              t.Entities, t.Counts.size(), Items, Fixed, Unknown, UnknownEntities);
  EXPECT_EQ(t.Maps, 72);
  EXPECT_EQ(t.Entities, 10820);
  EXPECT_EQ(t.Counts.size(), 101u);
  EXPECT_EQ(Items, 45);
  EXPECT_EQ(Fixed, 28);
  EXPECT_EQ(Unknown, 28);
  EXPECT_EQ(UnknownEntities, 1577);
  // The content's names without a class; any other name turning up unknown means a class was lost.
  const std::set<std::string> NoClass = {
      "ammo_chaingun", "ammo_nailgun", "ammo_proxmine", "domination_point", "event_lightning", "func_illusionary",
      "info_camp", "info_intermission", "info_location", "info_player_dd", "info_player_intermission",
      "info_teleport_destination", "item_botroam", "item_kamikaze", "light", "misc_model", "misc_portal_camera",
      "misc_portal_surface", "shooter_grenade", "shooter_rocket", "team_CTF_bluespawn", "team_CTF_redspawn",
      "team_blueobelisk", "team_neutralobelisk", "team_redobelisk", "trigger_changelevel", "trigger_relay",
      "weapon_proxmine"};
  std::set<std::string> Unknowns;
  for (const auto& [ClassName, Count] : t.Counts)
    if (ClassOf(ClassName) == "unknown") Unknowns.insert(ClassName);
  EXPECT_EQ(Unknowns, NoClass);
  if (Further.Maps) {
    std::string Names;
    for (const auto& [ClassName, Count] : Further.Counts)
      if (ClassOf(ClassName) == "unknown") Names += " " + ClassName;
    std::printf("other archives: %d maps, %d entities, %zu classnames; without a class:%s\n", Further.Maps,
                Further.Entities, Further.Counts.size(), Names.c_str());
  }
}

TEST(GameEntityClass, DispatchIsExactAndCaseSensitive) {
  struct Case {
    const char* Name;
    int32_t Row;
    int32_t Type;  // fixed class type, 0 for none
  };
  const Case Cases[] = {
      {"item_health", 5, 0},           {"item_armor_shard", 1, 0},     {"weapon_chaingun", 51, 0},
      {"team_CTF_redflag", 34, 0},     {"worldspawn", -1, ET_WORLDSPAWN}, {"Worldspawn", -1, 0},
      {"WORLDSPAWN", -1, 0},           {"func_door", -1, ET_FUNC_DOOR}, {"func_door ", -1, 0},
      {"team_CTF_blueplayer", -1, ET_TEAM_CTF_BLUEPLAYER}, {"team_ctf_blueplayer", -1, 0},
      {"trigger_relay", -1, 0},        {"target_relay", -1, ET_TARGET_RELAY}, {"", -1, 0},
      {"func_breakable", -1, ET_FUNC_BREAKABLE}, {"ITEM_HEALTH", -1, 0},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(FindItemListRow(c.Name), c.Row);
    const TGameEntityFixedClass* f = FindFixedClass(c.Name);
    EXPECT_EQ(f ? f->EntityType : 0, c.Type);
  }
  // Every row and every fixed name finds itself; no name is in both lists.
  for (int32_t i = 1; i < CountItemList; ++i) {
    EXPECT_EQ(FindItemListRow(ItemList[i].ClassName), i);
    EXPECT_EQ(FindFixedClass(ItemList[i].ClassName), nullptr);
  }
  for (const TGameEntityFixedClass& c : FixedClassList) EXPECT_EQ(FindFixedClass(c.ClassName), &c);
}

TEST(GameEntityClass, MapModelSwitchesByClass) {
  const std::set<std::string> All = {"func_bobbing", "func_pendulum", "func_rotating", "func_train", "func_button",
                                     "func_door",    "func_group",    "func_plat",     "func_static", "func_breakable"};
  const std::set<std::string> Touch = {"trigger_hurt", "trigger_multiple", "trigger_push", "trigger_teleport"};
  for (const TGameEntityFixedClass& c : FixedClassList) {
    SCOPED_TRACE(c.ClassName);
    EXPECT_EQ(c.Switches, All.count(c.ClassName) ? mmsAll : Touch.count(c.ClassName) ? mmsTouch : mmsNone);
  }
}

TEST(GameEntityClass, ItemListRows) {
  EXPECT_STREQ(ItemList[0].ClassName, "");
  // Spot rows across the table: every column as it stands.
  const TGameEntityPredefinedItem& Mg = ItemList[10];
  EXPECT_STREQ(Mg.ClassName, "weapon_machinegun");
  EXPECT_STREQ(Mg.PickUpSound, "sound/misc/w_pkup.wav");
  EXPECT_STREQ(Mg.WorldModel[0], "models/weapons2/machinegun/machinegun.md3");
  EXPECT_STREQ(Mg.WorldModel[1], "");
  EXPECT_STREQ(Mg.Icon, "icons/iconw_machinegun");
  EXPECT_STREQ(Mg.PickUpName, "Machinegun");
  EXPECT_EQ(Mg.Quantity, 40);
  EXPECT_EQ(Mg.giType, IT_WEAPON);
  EXPECT_EQ(Mg.giTag, WP_MACHINEGUN);
  const TGameEntityPredefinedItem& Quad = ItemList[28];
  EXPECT_STREQ(Quad.WorldModel[0], Quad.WorldModel[1]);
  EXPECT_STREQ(Quad.Sounds, "sound/items/damage2.wav sound/items/damage3.wav");
  EXPECT_EQ(Quad.giTag, PW_QUAD);
  EXPECT_STREQ(ItemList[34].PickUpSound, "");
  EXPECT_EQ(ItemList[34].giType, IT_TEAM);
  EXPECT_STREQ(ItemList[51].WorldModel[0], "models/weapons/vulcan/vulcan.md3");
  EXPECT_EQ(ItemList[51].Quantity, 80);
  EXPECT_STREQ(ItemList[50].Sounds,
               "sound/weapons/proxmine/wstbtick.wav sound/weapons/proxmine/wstbactv.wav "
               "sound/weapons/proxmine/wstbimpl.wav sound/weapons/proxmine/wstbimpm.wav "
               "sound/weapons/proxmine/wstbimpd.wav sound/weapons/proxmine/wstbactv.wav");
  int32_t WithSounds = 0, Powerups = 0;
  for (const TGameEntityPredefinedItem& r : ItemList) {
    EXPECT_STREQ(r.Precaches, "");
    WithSounds += r.Sounds[0] != 0;
    Powerups += r.giType == IT_POWERUP;
  }
  EXPECT_EQ(WithSounds, 9);
  EXPECT_EQ(Powerups, 6);
}

}  // namespace
