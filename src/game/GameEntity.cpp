#include "game/GameEntity.h"

#include <unordered_map>

// ===================================================================== entity classes

const TGameEntityFixedClass FixedClassList[CountFixedClasses] = {
    {"worldspawn", ET_WORLDSPAWN, mmsNone},
    {"info_player_start", ET_INFO_PLAYER_START, mmsNone},
    {"info_player_deathmatch", ET_INFO_PLAYER_DEATHMATCH, mmsNone},
    {"team_CTF_blueplayer", ET_TEAM_CTF_BLUEPLAYER, mmsNone},
    {"team_CTF_redplayer", ET_TEAM_CTF_REDPLAYER, mmsNone},
    {"target_speaker", ET_TARGET_SPEAKER, mmsNone},
    {"target_print", ET_TARGET_PRINT, mmsNone},
    {"target_location", ET_TARGET_LOCATION, mmsNone},
    {"target_position", ET_TARGET_POSITION, mmsNone},
    {"target_delay", ET_TARGET_DELAY, mmsNone},
    {"target_give", ET_TARGET_GIVE, mmsNone},
    {"target_kill", ET_TARGET_KILL, mmsNone},
    {"target_laser", ET_TARGET_LASER, mmsNone},
    {"target_push", ET_TARGET_PUSH, mmsNone},
    {"target_relay", ET_TARGET_RELAY, mmsNone},
    {"target_remove_powerups", ET_TARGET_REMOVE_POWERUPS, mmsNone},
    {"target_score", ET_TARGET_SCORE, mmsNone},
    {"target_teleporter", ET_TARGET_TELEPORTER, mmsNone},
    {"trigger_always", ET_TRIGGER_ALWAYS, mmsNone},
    {"trigger_hurt", ET_TRIGGER_HURT, mmsTouch},
    {"trigger_multiple", ET_TRIGGER_MULTIPLE, mmsTouch},
    {"trigger_push", ET_TRIGGER_PUSH, mmsTouch},
    {"trigger_teleport", ET_TRIGGER_TELEPORT, mmsTouch},
    {"func_timer", ET_FUNC_TIMER, mmsNone},
    {"func_bobbing", ET_FUNC_BOBBING, mmsAll},
    {"func_pendulum", ET_FUNC_PENDULUM, mmsAll},
    {"func_rotating", ET_FUNC_ROTATING, mmsAll},
    {"func_train", ET_FUNC_TRAIN, mmsAll},
    {"path_corner", ET_PATH_CORNER, mmsNone},
    {"func_button", ET_FUNC_BUTTON, mmsAll},
    {"func_door", ET_FUNC_DOOR, mmsAll},
    {"func_group", ET_FUNC_GROUP, mmsAll},
    {"func_plat", ET_FUNC_PLAT, mmsAll},
    {"func_static", ET_FUNC_STATIC, mmsAll},
    {"misc_teleporter_dest", ET_MISC_TELEPORTER_DEST, mmsNone},
    {"info_notnull", ET_INFO_NOTNULL, mmsNone},
    {"info_null", ET_INFO_NULL, mmsNone},
    {"func_breakable", ET_FUNC_BREAKABLE, mmsAll},
};

const TGameEntityPredefinedItem ItemList[CountItemList] = {
    {"", "", {"", "", "", ""}, "", "", 0, IT_UNKNOWN, 0, "", ""},
    {"item_armor_shard", "sound/misc/ar1_pkup.wav", {"models/powerups/armor/shard.md3", "", "", ""}, "icons/iconr_shard", "Armor Shard", 5, IT_ARMOR, 0, "", ""},
    {"item_armor_combat", "sound/misc/ar2_pkup.wav", {"models/powerups/armor/armor_yel.md3", "", "", ""}, "icons/iconr_yellow", "Armor", 50, IT_ARMOR, 0, "", ""},
    {"item_armor_body", "sound/misc/ar2_pkup.wav", {"models/powerups/armor/armor_red.md3", "", "", ""}, "icons/iconr_red", "Heavy Armor", 100, IT_ARMOR, 0, "", ""},
    {"item_health_small", "sound/items/s_health.wav", {"models/powerups/health/small_cross.md3", "models/powerups/health/small_sphere.md3", "", ""}, "icons/iconh_green", "5 Health", 5, IT_HEALTH, 0, "", ""},
    {"item_health", "sound/items/n_health.wav", {"models/powerups/health/medium_cross.md3", "models/powerups/health/medium_sphere.md3", "", ""}, "icons/iconh_yellow", "25 Health", 25, IT_HEALTH, 0, "", ""},
    {"item_health_large", "sound/items/l_health.wav", {"models/powerups/health/large_cross.md3", "models/powerups/health/large_sphere.md3", "", ""}, "icons/iconh_red", "50 Health", 50, IT_HEALTH, 0, "", ""},
    {"item_health_mega", "sound/items/m_health.wav", {"models/powerups/health/mega_cross.md3", "models/powerups/health/mega_sphere.md3", "", ""}, "icons/iconh_mega", "Mega Health", 100, IT_HEALTH, 0, "", ""},
    {"weapon_gauntlet", "sound/misc/w_pkup.wav", {"models/weapons2/gauntlet/gauntlet.md3", "", "", ""}, "icons/iconw_gauntlet", "Gauntlet", 0, IT_WEAPON, WP_GAUNTLET, "", ""},
    {"weapon_shotgun", "sound/misc/w_pkup.wav", {"models/weapons2/shotgun/shotgun.md3", "", "", ""}, "icons/iconw_shotgun", "Shotgun", 10, IT_WEAPON, WP_SHOTGUN, "", ""},
    {"weapon_machinegun", "sound/misc/w_pkup.wav", {"models/weapons2/machinegun/machinegun.md3", "", "", ""}, "icons/iconw_machinegun", "Machinegun", 40, IT_WEAPON, WP_MACHINEGUN, "", ""},
    {"weapon_grenadelauncher", "sound/misc/w_pkup.wav", {"models/weapons2/grenadel/grenadel.md3", "", "", ""}, "icons/iconw_grenade", "Grenade Launcher", 10, IT_WEAPON, WP_GRENADE_LAUNCHER, "", "sound/weapons/grenade/hgrenb1a.wav sound/weapons/grenade/hgrenb2a.wav"},
    {"weapon_rocketlauncher", "sound/misc/w_pkup.wav", {"models/weapons2/rocketl/rocketl.md3", "", "", ""}, "icons/iconw_rocket", "Rocket Launcher", 10, IT_WEAPON, WP_ROCKET_LAUNCHER, "", ""},
    {"weapon_lightning", "sound/misc/w_pkup.wav", {"models/weapons2/lightning/lightning.md3", "", "", ""}, "icons/iconw_lightning", "Lightning Gun", 100, IT_WEAPON, WP_LIGHTNING, "", ""},
    {"weapon_railgun", "sound/misc/w_pkup.wav", {"models/weapons2/railgun/railgun.md3", "", "", ""}, "icons/iconw_railgun", "Railgun", 10, IT_WEAPON, WP_RAILGUN, "", ""},
    {"weapon_plasmagun", "sound/misc/w_pkup.wav", {"models/weapons2/plasma/plasma.md3", "", "", ""}, "icons/iconw_plasma", "Plasma Gun", 50, IT_WEAPON, WP_PLASMAGUN, "", ""},
    {"weapon_bfg", "sound/misc/w_pkup.wav", {"models/weapons2/bfg/bfg.md3", "", "", ""}, "icons/iconw_bfg", "BFG10K", 20, IT_WEAPON, WP_BFG, "", ""},
    {"weapon_grapplinghook", "sound/misc/w_pkup.wav", {"models/weapons2/grapple/grapple.md3", "", "", ""}, "icons/iconw_grapple", "Grappling Hook", 0, IT_WEAPON, WP_GRAPPLING_HOOK, "", ""},
    {"ammo_shells", "sound/misc/am_pkup.wav", {"models/powerups/ammo/shotgunam.md3", "", "", ""}, "icons/icona_shotgun", "Shells", 10, IT_AMMO, WP_SHOTGUN, "", ""},
    {"ammo_bullets", "sound/misc/am_pkup.wav", {"models/powerups/ammo/machinegunam.md3", "", "", ""}, "icons/icona_machinegun", "Bullets", 50, IT_AMMO, WP_MACHINEGUN, "", ""},
    {"ammo_grenades", "sound/misc/am_pkup.wav", {"models/powerups/ammo/grenadeam.md3", "", "", ""}, "icons/icona_grenade", "Grenades", 5, IT_AMMO, WP_GRENADE_LAUNCHER, "", ""},
    {"ammo_cells", "sound/misc/am_pkup.wav", {"models/powerups/ammo/plasmaam.md3", "", "", ""}, "icons/icona_plasma", "Cells", 30, IT_AMMO, WP_PLASMAGUN, "", ""},
    {"ammo_lightning", "sound/misc/am_pkup.wav", {"models/powerups/ammo/lightningam.md3", "", "", ""}, "icons/icona_lightning", "Lightning", 60, IT_AMMO, WP_LIGHTNING, "", ""},
    {"ammo_rockets", "sound/misc/am_pkup.wav", {"models/powerups/ammo/rocketam.md3", "", "", ""}, "icons/icona_rocket", "Rockets", 5, IT_AMMO, WP_ROCKET_LAUNCHER, "", ""},
    {"ammo_slugs", "sound/misc/am_pkup.wav", {"models/powerups/ammo/railgunam.md3", "", "", ""}, "icons/icona_railgun", "Slugs", 10, IT_AMMO, WP_RAILGUN, "", ""},
    {"ammo_bfg", "sound/misc/am_pkup.wav", {"models/powerups/ammo/bfgam.md3", "", "", ""}, "icons/icona_bfg", "Bfg Ammo", 15, IT_AMMO, WP_BFG, "", ""},
    {"holdable_teleporter", "sound/items/holdable.wav", {"models/powerups/holdable/teleporter.md3", "", "", ""}, "icons/teleporter", "Personal Teleporter", 60, IT_HOLDABLE, HI_TELEPORTER, "", ""},
    {"holdable_medkit", "sound/items/holdable.wav", {"models/powerups/holdable/medkit.md3", "models/powerups/holdable/medkit_sphere.md3", "", ""}, "icons/medkit", "Medkit", 60, IT_HOLDABLE, HI_MEDKIT, "", "sound/items/use_medkit.wav"},
    {"item_quad", "sound/items/quaddamage.wav", {"models/powerups/instant/quad.md3", "models/powerups/instant/quad.md3", "", ""}, "icons/quad", "Quad Damage", 30, IT_POWERUP, PW_QUAD, "", "sound/items/damage2.wav sound/items/damage3.wav"},
    {"item_enviro", "sound/items/protect.wav", {"models/powerups/instant/enviro.md3", "models/powerups/instant/enviro_ring.md3", "", ""}, "icons/envirosuit", "Battle Suit", 30, IT_POWERUP, PW_BATTLESUIT, "", "sound/items/airout.wav sound/items/protect3.wav"},
    {"item_haste", "sound/items/haste.wav", {"models/powerups/instant/haste.md3", "models/powerups/instant/haste_ring.md3", "", ""}, "icons/haste", "Speed", 30, IT_POWERUP, PW_HASTE, "", ""},
    {"item_invis", "sound/items/invisibility.wav", {"models/powerups/instant/invis.md3", "models/powerups/instant/invis_ring.md3", "", ""}, "icons/invis", "Invisibility", 30, IT_POWERUP, PW_INVIS, "", ""},
    {"item_regen", "sound/items/regeneration.wav", {"models/powerups/instant/regen.md3", "models/powerups/instant/regen_ring.md3", "", ""}, "icons/regen", "Regeneration", 30, IT_POWERUP, PW_REGEN, "", "sound/items/regen.wav"},
    {"item_flight", "sound/items/flight.wav", {"models/powerups/instant/flight.md3", "models/powerups/instant/flight_ring.md3", "", ""}, "icons/flight", "Flight", 60, IT_POWERUP, PW_FLIGHT, "", "sound/items/flight.wav"},
    {"team_CTF_redflag", "", {"models/flags/r_flag.md3", "", "", ""}, "icons/iconf_red1", "Red Flag", 0, IT_TEAM, PW_REDFLAG, "", ""},
    {"team_CTF_blueflag", "", {"models/flags/b_flag.md3", "", "", ""}, "icons/iconf_blu1", "Blue Flag", 0, IT_TEAM, PW_BLUEFLAG, "", ""},
    {"holdable_kamikaze", "sound/items/holdable.wav", {"models/powerups/kamikazi.md3", "", "", ""}, "icons/kamikaze", "Kamikaze", 60, IT_HOLDABLE, HI_KAMIKAZE, "", "sound/items/kamikazerespawn.wav"},
    {"holdable_portal", "sound/items/holdable.wav", {"models/powerups/holdable/porter.md3", "", "", ""}, "icons/portal", "Portal", 60, IT_HOLDABLE, HI_PORTAL, "", ""},
    {"holdable_invulnerability", "sound/items/holdable.wav", {"models/powerups/holdable/invulnerability.md3", "", "", ""}, "icons/invulnerability", "Invulnerability", 60, IT_HOLDABLE, HI_INVULNERABILITY, "", ""},
    {"ammo_nails", "sound/misc/am_pkup.wav", {"models/powerups/ammo/nailgunam.md3", "", "", ""}, "icons/icona_nailgun", "Nails", 20, IT_AMMO, WP_NAILGUN, "", ""},
    {"ammo_mines", "sound/misc/am_pkup.wav", {"models/powerups/ammo/proxmineam.md3", "", "", ""}, "icons/icona_proxlauncher", "Proximity Mines", 10, IT_AMMO, WP_PROX_LAUNCHER, "", ""},
    {"ammo_belt", "sound/misc/am_pkup.wav", {"models/powerups/ammo/chaingunam.md3", "", "", ""}, "icons/icona_chaingun", "Chaingun Belt", 100, IT_AMMO, WP_CHAINGUN, "", ""},
    {"item_scout", "sound/items/scout.wav", {"models/powerups/scout.md3", "", "", ""}, "icons/scout", "Scout", 30, IT_PERSISTANT_POWERUP, PW_SCOUT, "", ""},
    {"item_guard", "sound/items/guard.wav", {"models/powerups/guard.md3", "", "", ""}, "icons/guard", "Guard", 30, IT_PERSISTANT_POWERUP, PW_GUARD, "", ""},
    {"item_doubler", "sound/items/doubler.wav", {"models/powerups/doubler.md3", "", "", ""}, "icons/doubler", "Doubler", 30, IT_PERSISTANT_POWERUP, PW_DOUBLER, "", ""},
    {"item_ammoregen", "sound/items/ammoregen.wav", {"models/powerups/ammo.md3", "", "", ""}, "icons/ammo_regen", "Ammo Regen", 30, IT_PERSISTANT_POWERUP, PW_AMMOREGEN, "", ""},
    {"team_CTF_neutralflag", "", {"models/flags/n_flag.md3", "", "", ""}, "icons/iconf_neutral1", "Neutral Flag", 0, IT_TEAM, PW_NEUTRALFLAG, "", ""},
    {"item_redcube", "sound/misc/am_pkup.wav", {"models/powerups/orb/r_orb.md3", "", "", ""}, "icons/iconh_rorb", "Red Cube", 0, IT_TEAM, 0, "", ""},
    {"item_bluecube", "sound/misc/am_pkup.wav", {"models/powerups/orb/b_orb.md3", "", "", ""}, "icons/iconh_borb", "Blue Cube", 0, IT_TEAM, 0, "", ""},
    {"weapon_nailgun", "sound/misc/w_pkup.wav", {"models/weapons/nailgun/nailgun.md3", "", "", ""}, "icons/iconw_nailgun", "Nailgun", 10, IT_WEAPON, WP_NAILGUN, "", ""},
    {"weapon_prox_launcher", "sound/misc/w_pkup.wav", {"models/weapons/proxmine/proxmine.md3", "", "", ""}, "icons/iconw_proxlauncher", "Prox Launcher", 5, IT_WEAPON, WP_PROX_LAUNCHER, "", "sound/weapons/proxmine/wstbtick.wav sound/weapons/proxmine/wstbactv.wav sound/weapons/proxmine/wstbimpl.wav sound/weapons/proxmine/wstbimpm.wav sound/weapons/proxmine/wstbimpd.wav sound/weapons/proxmine/wstbactv.wav"},
    {"weapon_chaingun", "sound/misc/w_pkup.wav", {"models/weapons/vulcan/vulcan.md3", "", "", ""}, "icons/iconw_chaingun", "Chaingun", 80, IT_WEAPON, WP_CHAINGUN, "", "sound/weapons/vulcan/wvulwind.wav"},
};

namespace {

// Classname -> item row (positive) or -(fixed index + 1). The names are distinct, so one exact map
// gives what comparing items first and then the fixed names in order would.
const std::unordered_map<std::string, int32_t>& ClassNameMap() {
  static const std::unordered_map<std::string, int32_t> Map = [] {
    std::unordered_map<std::string, int32_t> m;
    for (int32_t i = CountItemList - 1; i >= 1; --i) m[ItemList[i].ClassName] = i;
    for (int32_t i = CountFixedClasses - 1; i >= 0; --i) m.emplace(FixedClassList[i].ClassName, -(i + 1));
    return m;
  }();
  return Map;
}

}  // namespace

int32_t FindItemListRow(const std::string& ClassName) {
  const auto& m = ClassNameMap();
  const auto it = m.find(ClassName);
  return it != m.end() && it->second > 0 ? it->second : -1;
}

const TGameEntityFixedClass* FindFixedClass(const std::string& ClassName) {
  const auto& m = ClassNameMap();
  const auto it = m.find(ClassName);
  return it != m.end() && it->second < 0 ? &FixedClassList[-it->second - 1] : nullptr;
}

// ===================================================================== collision pairs

TGameEntitiesCollisionPairHashMap::TGameEntitiesCollisionPairHashMap() {
  Pairs.resize(1024);
  Reset();
}

void TGameEntitiesCollisionPairHashMap::Reset() {
  First = Last = Free = -1;
  for (int32_t& b : Buckets) b = -1;
  for (int32_t i = static_cast<int32_t>(Pairs.size()) - 1; i >= 0; --i) {
    TGameEntitiesCollisionPair& p = Pairs[static_cast<size_t>(i)];
    p.Entities[0] = p.Entities[1] = nullptr;
    p.BucketNext = -1;
    p.Next = Free;
    Free = i;
  }
}

void TGameEntitiesCollisionPairHashMap::Add(TGameEntity* A, int32_t AIndex, TGameEntity* B, int32_t BIndex) {
  if (!A || !B) return;
  if (BIndex < AIndex) {
    std::swap(A, B);
    std::swap(AIndex, BIndex);
  }
  const int32_t Bucket = static_cast<int32_t>(Hash(AIndex, BIndex));
  for (int32_t p = Buckets[Bucket]; p >= 0; p = Pairs[static_cast<size_t>(p)].BucketNext) {
    const TGameEntitiesCollisionPair& Pair = Pairs[static_cast<size_t>(p)];
    if (Pair.Entities[0] == A && Pair.Entities[1] == B) return;
  }
  if (Free < 0) {
    const size_t OldSize = Pairs.size();
    Pairs.resize(std::max<size_t>(OldSize * 2, 1024));
    for (size_t i = Pairs.size(); i-- > OldSize;) {
      Pairs[i].Next = Free;
      Free = static_cast<int32_t>(i);
    }
  }
  const int32_t p = Free;
  TGameEntitiesCollisionPair& Pair = Pairs[static_cast<size_t>(p)];
  Free = Pair.Next;
  Pair.Next = -1;
  Pair.BucketNext = Buckets[Bucket];
  Pair.Bucket = Bucket;
  Pair.Entities[0] = A;
  Pair.Entities[1] = B;
  Pair.Indices[0] = AIndex;
  Pair.Indices[1] = BIndex;
  Buckets[Bucket] = p;
  if (Last >= 0)
    Pairs[static_cast<size_t>(Last)].Next = p;
  else
    First = p;
  Last = p;
}

int32_t TGameEntitiesCollisionPairHashMap::CountPairs() const {
  int32_t n = 0;
  for (int32_t p = First; p >= 0; p = Pairs[static_cast<size_t>(p)].Next) ++n;
  return n;
}
