#pragma once
// The map's entity list: brace-delimited blocks of quoted key/value pairs, with typed getters.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1Math.h"
#include "core/ZNT1StringList.h"

class TZNT1Entity {
 public:
  // Appends the pair; keys may repeat and lookups take the first match.
  void Add(const std::string& Name, const std::string& Value);
  // Key comparisons ignore letter case.
  bool Exist(const std::string& Name) const;
  // The value of the first matching key, or "".
  std::string GetString(const std::string& Name) const;
  // 0 when the key is missing or no number.
  float GetFloat(const std::string& Name) const;
  // Leading "*" dropped; decimal, or hexadecimal after "$" or "0x"; Default when no integer.
  int32_t GetInteger(const std::string& Name, int32_t Default) const;
  // Three numbers split at blanks or tabs; consecutive separators skip components.
  TZNT1Vector3 GetVector(const std::string& Name) const;
  // As GetVector, with blanks only as separators.
  TZNT1Vector3 GetRGB(const std::string& Name) const;
  // True when the first key equal to Name stands at the index of the first value equal to Value.
  bool HasField(const std::string& Name, const std::string& Value) const;

  TStringList Names;
  TStringList Values;

 private:
  int32_t IndexOfName(const std::string& Name) const;
  TZNT1Vector3 ParseVector(const std::string& Name, bool TabSeparates) const;
};

class TZNT1Entities {
 public:
  // A sub-list refers to entities owned by another list.
  explicit TZNT1Entities(bool IsSubList = false) : SubList(IsSubList) {}
  ~TZNT1Entities() { Clear(); }
  TZNT1Entities(const TZNT1Entities&) = delete;
  TZNT1Entities& operator=(const TZNT1Entities&) = delete;

  // Frees the entities unless this is a sub-list, then empties the list.
  void Clear();
  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  void Add(TZNT1Entity* Entity) { Items.push_back(Entity); }
  // nullptr outside 0 .. Count - 1.
  TZNT1Entity* GetEntity(int32_t Index) const;
  // Does nothing outside 0 .. Count - 1.
  void SetEntity(int32_t Index, TZNT1Entity* Entity);
  // A new sub-list of every entity whose HasField(Name, Value) holds, in list order.
  std::unique_ptr<TZNT1Entities> GetEntities(const std::string& Name, const std::string& Value) const;

  std::vector<TZNT1Entity*> Items;
  bool SubList;
};

// Appends the entities of Source to Entities. Never fails: malformed text yields fewer pairs.
void ParseEntities(TZNT1Entities& Entities, const std::string& Source);
