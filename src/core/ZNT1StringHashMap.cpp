#include "core/ZNT1StringHashMap.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <utility>

static_assert(std::endian::native == std::endian::little, "the key hash reads little-endian words");

namespace {

constexpr uint32_t HashM = 0x5052ACDBu;
constexpr uint32_t HashN = 0x57559429u;

inline uint32_t Load32(const char* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

inline uint32_t Load16(const char* p) {
  uint16_t w;
  std::memcpy(&w, p, 2);
  return w;
}

inline uint64_t Mul64(uint32_t a, uint32_t b) { return static_cast<uint64_t>(a) * b; }

}  // namespace

uint32_t TZNT1StringHashMap::HashString(std::string_view Key) {
  const char* p = Key.data();
  size_t Remaining = Key.size();
  const uint32_t L = static_cast<uint32_t>(Remaining);
  uint32_t A = L;
  uint32_t B = L + HashM + 1;
  while (Remaining >= 8) {
    const uint64_t P = Mul64(Load32(p), HashM);
    A ^= static_cast<uint32_t>(P);
    B ^= static_cast<uint32_t>(P >> 32);
    const uint64_t Q = Mul64(Load32(p + 4), HashN);
    B ^= static_cast<uint32_t>(Q);
    A ^= static_cast<uint32_t>(Q >> 32);
    p += 8;
    Remaining -= 8;
  }
  if (Remaining >= 4) {
    const uint64_t P = Mul64(Load32(p), HashM);
    A ^= static_cast<uint32_t>(P);
    B ^= static_cast<uint32_t>(P >> 32);
    p += 4;
    Remaining -= 4;
  }
  if (Remaining > 0) {
    uint32_t v = Remaining >= 2 ? Load16(p) : 0;
    if (Remaining & 1) v |= static_cast<uint32_t>(static_cast<uint8_t>(p[Remaining - 1])) << 16;
    const uint64_t Q = Mul64(v, HashN);
    B ^= static_cast<uint32_t>(Q);
    A ^= static_cast<uint32_t>(Q >> 32);
  }
  const uint64_t F = Mul64((B + HashM) ^ A, HashM);
  A ^= static_cast<uint32_t>(F);
  B ^= static_cast<uint32_t>(F >> 32);
  const uint32_t Hash = A ^ B;
  return Hash != 0 ? Hash : 0xFFFFFFFFu;
}

TZNT1StringHashMap::TZNT1StringHashMap() { Resize(); }

TZNT1StringHashMap::~TZNT1StringHashMap() = default;

void TZNT1StringHashMap::Clear() {
  std::vector<TZNT1StringHashMapEntity>().swap(Entities);
  std::vector<int32_t>().swap(EntityToCellIndex);
  std::vector<int32_t>().swap(CellToEntityIndex);
  RealSize = 0;
  Size = 0;
  LogSize = 0;
  Resize();
}

int32_t TZNT1StringHashMap::FindCell(std::string_view Key, uint32_t Hash) const {
  const uint32_t Mask = (2u << LogSize) - 1;
  uint32_t Cell = LogSize > 0 ? Hash >> (32 - LogSize) : 0;
  // Odd step over a power-of-two table: the probe visits every cell.
  const uint32_t Step = ((Hash << 1) | 1) & Mask;
  for (;;) {
    const int32_t Entity = CellToEntityIndex[Cell];
    if (Entity == -1) return static_cast<int32_t>(Cell);
    if (Entity >= 0 && Entities[Entity].Key == Key) return static_cast<int32_t>(Cell);
    Cell = (Cell + Step) & Mask;
  }
}

void TZNT1StringHashMap::Resize() {
  // Live entries move down over the deleted ones, keeping their order; then the cells are
  // laid out afresh, so tombstones disappear.
  int32_t Live = 0;
  for (int32_t e = 0; e < Size; ++e) {
    const int32_t Cell = EntityToCellIndex[e];
    if (Cell < 0 || CellToEntityIndex[Cell] < 0) continue;
    if (Live != e) Entities[Live] = std::move(Entities[e]);
    ++Live;
  }
  Entities.resize(static_cast<size_t>(Live));

  // Sized from the live entries: deleted ones vanish in the rebuild, so counting them
  // would grow the table without bound under add/delete churn. The extra half keeps a
  // rebuild from following every insertion when churn hovers just below a power of two;
  // without deletions it gives the same sizes as the plain count.
  const uint32_t Wanted = static_cast<uint32_t>(Live) + static_cast<uint32_t>(Live) / 2;
  LogSize = std::max(1, static_cast<int32_t>(std::bit_width(Wanted)));
  RealSize = Live;
  Size = Live;

  const uint32_t Mask = (2u << LogSize) - 1;
  CellToEntityIndex.assign(size_t{2} << LogSize, -1);
  EntityToCellIndex.resize(static_cast<size_t>(Live));
  for (int32_t e = 0; e < Live; ++e) {
    // Keys are unique, so the first empty cell of the probe is the place.
    const uint32_t Hash = HashString(Entities[e].Key);
    uint32_t Cell = Hash >> (32 - LogSize);
    const uint32_t Step = ((Hash << 1) | 1) & Mask;
    while (CellToEntityIndex[Cell] != -1) Cell = (Cell + Step) & Mask;
    CellToEntityIndex[Cell] = e;
    EntityToCellIndex[e] = static_cast<int32_t>(Cell);
  }
}

TZNT1StringHashMapEntity* TZNT1StringHashMap::Add(std::string_view Key, void* Value) {
  while ((int64_t{1} << LogSize) <= RealSize) Resize();
  const int32_t Cell = FindCell(Key, HashString(Key));
  const int32_t Existing = CellToEntityIndex[Cell];
  if (Existing >= 0) {
    Entities[Existing].Value = Value;  // the key holds the same bytes already
    return &Entities[Existing];
  }
  const int32_t Index = Size;
  assert(Index < (1 << LogSize) && static_cast<size_t>(Index) == Entities.size());
  ++Size;
  CellToEntityIndex[Cell] = Index;
  EntityToCellIndex.push_back(Cell);
  ++RealSize;
  Entities.push_back(TZNT1StringHashMapEntity{std::string(Key), Value});
  return &Entities.back();
}

TZNT1StringHashMapEntity* TZNT1StringHashMap::Get(std::string_view Key, bool CreateIfNotExist) {
  const int32_t Entity = CellToEntityIndex[FindCell(Key, HashString(Key))];
  if (Entity >= 0) return &Entities[Entity];
  return CreateIfNotExist ? Add(Key, nullptr) : nullptr;
}

bool TZNT1StringHashMap::Delete(std::string_view Key) {
  const int32_t Cell = FindCell(Key, HashString(Key));
  const int32_t Entity = CellToEntityIndex[Cell];
  if (Entity < 0) return false;
  std::string().swap(Entities[Entity].Key);
  Entities[Entity].Value = nullptr;
  EntityToCellIndex[Entity] = -2;
  CellToEntityIndex[Cell] = -2;
  return true;
}

void* TZNT1StringHashMap::GetValue(std::string_view Key) const {
  const int32_t Entity = CellToEntityIndex[FindCell(Key, HashString(Key))];
  return Entity >= 0 ? Entities[Entity].Value : nullptr;
}

void TZNT1StringHashMap::SetValue(std::string_view Key, void* Value) { Add(Key, Value); }
