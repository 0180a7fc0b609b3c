#include "game/GameWeaponCache.h"

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "world/ZNT1Model.h"

namespace {

TZNT1Model* GetModel(TZNT1Engine* Engine, const std::string& Name) {
  return Engine->Models ? Engine->Models->GetModel(Name) : nullptr;
}

bool Exists(TZNT1Engine* Engine, const std::string& Name) {
  return Engine->Archives && Engine->Archives->ExistFile(Name);
}

}  // namespace

TGameWeaponCacheItem::TGameWeaponCacheItem(TZNT1Engine* AEngine, const std::string& AWeaponModel)
    : Engine(AEngine), WeaponModel(AWeaponModel) {
  const std::string Name = AWeaponModel;
  const std::string Folder = Exists(Engine, "models/weapons/" + Name + "/" + Name + ".md3") ? "weapons" : "weapons2";
  const std::string Base = "models/" + Folder + "/" + Name + "/" + Name;
  Weapon = GetModel(Engine, Base + ".md3");
  Barrel = GetModel(Engine, Base + "_barrel.md3");
  Flash = GetModel(Engine, Base + "_flash.md3");
  Hand = GetModel(Engine, Base + "_hand.md3");
  if (Name == "machinegun") Shell = GetModel(Engine, "models/weapons2/shells/m_shell.md3");
  else if (Name == "shotgun") Shell = GetModel(Engine, "models/weapons2/shells/s_shell.md3");
  for (TZNT1Model* m : {Weapon, Barrel, Flash, Hand, Shell})
    if (m) m->IncRef();
}

TGameWeaponCacheItem::~TGameWeaponCacheItem() {
  for (TZNT1Model* m : {Weapon, Barrel, Flash, Hand, Shell})
    if (m) m->DecRef();
}

void TGameWeaponCache::Load() {
  Unload();
  struct TRow {
    const char* Name;
    TGameWeaponCacheItem* TGameWeaponCache::*Field;
    float WeaponTime;
    int32_t MaxQuantity, Quantity, LowQuantity;
  };
  static const TRow Rows[] = {
      {"gauntlet", &TGameWeaponCache::Gauntlet, 0.4f, -1, -1, -2},
      {"shotgun", &TGameWeaponCache::ShotGun, 1.0f, 100, 10, 3},
      {"machinegun", &TGameWeaponCache::MachineGun, 0.1f, 400, 40, 5},
      {"grenadel", &TGameWeaponCache::GrenadeLauncher, 0.8f, 100, 10, 3},
      {"rocketl", &TGameWeaponCache::RocketLauncher, 0.8f, 100, 10, 3},
      {"lightning", &TGameWeaponCache::Lightning, 0.05f, 1000, 100, 10},
      {"railgun", &TGameWeaponCache::RailGun, 1.5f, 100, 10, 3},
      {"plasma", &TGameWeaponCache::Plasma, 0.1f, 500, 50, 5},
      {"bfg", &TGameWeaponCache::BFG, 0.2f, 200, 20, 5},
      {"grapple", &TGameWeaponCache::Grapple, 0.4f, -1, -1, -2},
      {"nailgun", &TGameWeaponCache::NailGun, 1.0f, 200, 20, 5},
      {"proxmine", &TGameWeaponCache::ProxyLauncher, 0.8f, 50, 5, 1},
      {"vulcan", &TGameWeaponCache::ChainGun, 0.03f, 800, 80, 10},
  };
  for (const TRow& Row : Rows) {
    // Each loads models, materials and sounds; after a quit the game drops the cache whole.
    if (Engine && Engine->Quit) break;
    // The last three are optional, each only after the one before it.
    if (Items.size() >= 10) {
      const std::string Name = Row.Name;
      if (!Exists(Engine, "models/weapons/" + Name + "/" + Name + ".md3")) break;
    }
    auto Item = std::make_unique<TGameWeaponCacheItem>(Engine, Row.Name);
    Item->Index = Count();
    Item->WeaponTime = Row.WeaponTime;
    Item->MaxQuantity = Row.MaxQuantity;
    Item->Quantity = Row.Quantity;
    Item->LowQuantity = Row.LowQuantity;
    this->*Row.Field = Item.get();
    Items.push_back(std::move(Item));
  }
}

void TGameWeaponCache::Unload() {
  Items.clear();
  Gauntlet = ShotGun = MachineGun = GrenadeLauncher = RocketLauncher = Lightning = RailGun = Plasma = BFG = Grapple =
      NailGun = ProxyLauncher = ChainGun = nullptr;
}
