#pragma once
// The weapon models of a map, loaded once in weapon order, with each weapon's cadence and ammunition limits.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TZNT1Engine;
class TZNT1Model;

class TGameWeaponCacheItem {
 public:
  // Looks under "models/weapons/NAME/" first, else under "models/weapons2/NAME/"; takes a
  // reference on each model found.
  TGameWeaponCacheItem(TZNT1Engine* AEngine, const std::string& AWeaponModel);
  ~TGameWeaponCacheItem();
  TGameWeaponCacheItem(const TGameWeaponCacheItem&) = delete;
  TGameWeaponCacheItem& operator=(const TGameWeaponCacheItem&) = delete;

  TZNT1Engine* Engine;
  std::string WeaponModel;
  TZNT1Model* Weapon = nullptr;
  TZNT1Model* Barrel = nullptr;
  TZNT1Model* Flash = nullptr;
  TZNT1Model* Hand = nullptr;
  TZNT1Model* Shell = nullptr;
  float FlashSpeed = 1.0f;
  float WeaponTime = 0.25f;  // seconds between shots
  int32_t Index = 0;
  int32_t MaxQuantity = 1000;  // -1 unlimited
  int32_t Quantity = 100;
  int32_t LowQuantity = 10;
};

class TGameWeaponCache {
 public:
  explicit TGameWeaponCache(TZNT1Engine* AEngine) : Engine(AEngine) {}
  ~TGameWeaponCache() { Unload(); }
  TGameWeaponCache(const TGameWeaponCache&) = delete;
  TGameWeaponCache& operator=(const TGameWeaponCache&) = delete;

  // The ten standard weapons, then nailgun, proximity launcher and chaingun while each of them
  // and those before it have models; an item's list position is its weapon number.
  void Load();
  void Unload();
  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  // nullptr outside the list.
  TGameWeaponCacheItem* GetItem(int32_t Index) const {
    return Index >= 0 && Index < Count() ? Items[static_cast<size_t>(Index)].get() : nullptr;
  }

  TZNT1Engine* Engine;
  std::vector<std::unique_ptr<TGameWeaponCacheItem>> Items;
  TGameWeaponCacheItem* Gauntlet = nullptr;
  TGameWeaponCacheItem* ShotGun = nullptr;
  TGameWeaponCacheItem* MachineGun = nullptr;
  TGameWeaponCacheItem* GrenadeLauncher = nullptr;
  TGameWeaponCacheItem* RocketLauncher = nullptr;
  TGameWeaponCacheItem* Lightning = nullptr;
  TGameWeaponCacheItem* RailGun = nullptr;
  TGameWeaponCacheItem* Plasma = nullptr;
  TGameWeaponCacheItem* BFG = nullptr;
  TGameWeaponCacheItem* Grapple = nullptr;
  TGameWeaponCacheItem* NailGun = nullptr;
  TGameWeaponCacheItem* ProxyLauncher = nullptr;
  TGameWeaponCacheItem* ChainGun = nullptr;
};
