#pragma once
// The entity framework: every map entity and player of a loaded map, the list that ticks, draws and sounds them, and the client entity.
#include <cstdint>
#include <string>
#include <vector>

#include "game/GameGlobals.h"

class TGameEntity;

// ===================================================================== entity classes

// Which of its map model's switches a class sets: all three, only visible and touchable, or none.
enum TGameEntityMapModelSwitches : int32_t { mmsNone = 0, mmsTouch = 1, mmsAll = 2 };

// One fixed classname and the class it makes.
struct TGameEntityFixedClass {
  const char* ClassName;
  int32_t EntityType;
  TGameEntityMapModelSwitches Switches;
};

constexpr int32_t CountFixedClasses = 38;
// The fixed classnames, in the order they are compared.
extern const TGameEntityFixedClass FixedClassList[CountFixedClasses];

constexpr int32_t MAX_ITEM_MODELS = 4;

// One row of the item list.
struct TGameEntityPredefinedItem {
  const char* ClassName;
  const char* PickUpSound;
  const char* WorldModel[MAX_ITEM_MODELS];
  const char* Icon;
  const char* PickUpName;
  int32_t Quantity;
  int32_t giType;
  int32_t giTag;
  const char* Precaches;
  const char* Sounds;
};

constexpr int32_t CountItemList = 52;
// Row 0 is empty and never matched.
extern const TGameEntityPredefinedItem ItemList[CountItemList];

// The item row (1 .. 51) whose ClassName equals ClassName exactly; -1 when none.
int32_t FindItemListRow(const std::string& ClassName);
// The fixed class of ClassName (exact, case-sensitive); nullptr when it has none.
const TGameEntityFixedClass* FindFixedClass(const std::string& ClassName);

// ===================================================================== collision pairs

struct TGameEntitiesCollisionPair {
  int32_t Next = -1;        // next pair in insertion order, or next free pair
  int32_t BucketNext = -1;  // next pair of the same bucket
  int32_t Bucket = -1;
  TGameEntity* Entities[2] = {nullptr, nullptr};  // lower Index first
  int32_t Indices[2] = {-1, -1};
};

// Unordered entity pairs met in one tick, each once, handed out in insertion order. The pair
// records are pooled so that a tick allocates nothing once the pool is large enough.
class TGameEntitiesCollisionPairHashMap {
 public:
  // 1024 free pairs, pair 0 taken first.
  TGameEntitiesCollisionPairHashMap();

  // The bucket of the pair (LoIndex <= HiIndex), in 32-bit unsigned arithmetic.
  static uint32_t Hash(int32_t LoIndex, int32_t HiIndex) {
    return ((static_cast<uint32_t>(LoIndex) * 2888415267u) ^ (static_cast<uint32_t>(HiIndex) * 3017353751u)) &
           static_cast<uint32_t>(COLLISION_PAIR_HASH_MASK);
  }
  // Records {A, B} once; nothing when either is nullptr. The indices are the entities' Index.
  void Add(TGameEntity* A, int32_t AIndex, TGameEntity* B, int32_t BIndex);
  // Empties a map left filled by an unfinished pass; the free list starts again at pair 0.
  void Reset();
  // Hands every pair (lower index first) to Visit in insertion order, emptying the map as it goes.
  template <class TVisit>
  void Dispatch(TVisit&& Visit) {
    int32_t p = First;
    while (p >= 0) {
      TGameEntitiesCollisionPair& Pair = Pairs[static_cast<size_t>(p)];
      const int32_t Next = Pair.Next;
      TGameEntity* A = Pair.Entities[0];
      TGameEntity* B = Pair.Entities[1];
      Buckets[Pair.Bucket] = -1;
      Pair.Entities[0] = Pair.Entities[1] = nullptr;
      Pair.Next = Free;
      Free = p;
      // First moves on first, so a Visit that ends the pass early leaves a consistent map.
      First = Next;
      if (Next < 0) Last = -1;
      if (A && B) Visit(A, B);
      p = Next;
    }
    First = Last = -1;
  }
  // Pairs recorded and not yet dispatched.
  int32_t CountPairs() const;

  int32_t Buckets[COLLISION_PAIR_HASH_SIZE];
  std::vector<TGameEntitiesCollisionPair> Pairs;
  int32_t First = -1, Last = -1;
  int32_t Free = -1;
};
