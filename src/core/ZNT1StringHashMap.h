#pragma once
// The one name index of the engine: 8-bit string keys (compared byte for byte) to
// untyped pointers that the map never owns. Open addressing over a table kept below
// half full; entries live in one array in insertion order.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TZNT1StringHashMapEntity {
  std::string Key;
  void* Value = nullptr;
};

class TZNT1StringHashMap {
 public:
  TZNT1StringHashMap();
  ~TZNT1StringHashMap();

  static uint32_t HashString(std::string_view Key);

  void Clear();
  // Inserts, or overwrites the value of an existing entry. The pointer stays valid until
  // the next Add of a new key or Clear (a rebuild moves the entries).
  TZNT1StringHashMapEntity* Add(std::string_view Key, void* Value);
  TZNT1StringHashMapEntity* Get(std::string_view Key, bool CreateIfNotExist);
  bool Delete(std::string_view Key);
  // nullptr when absent; an entry holding nullptr looks the same.
  void* GetValue(std::string_view Key) const;
  void SetValue(std::string_view Key, void* Value);

  // Table geometry, for callers that report on it.
  int32_t GetLogSize() const { return LogSize; }
  int32_t GetRealSize() const { return RealSize; }
  int32_t GetSize() const { return Size; }
  int32_t CellCount() const { return 2 << LogSize; }

 private:
  int32_t FindCell(std::string_view Key, uint32_t Hash) const;
  void Resize();

  int32_t RealSize = 0;  // entries added since the last rebuild, deleted ones included
  int32_t LogSize = 0;   // the table has 2 << LogSize cells
  int32_t Size = 0;      // next free entity slot
  std::vector<TZNT1StringHashMapEntity> Entities;
  std::vector<int32_t> EntityToCellIndex;  // -1 free slot, -2 deleted
  std::vector<int32_t> CellToEntityIndex;  // -1 empty, -2 tombstone
};
