#pragma once
// Bounding-box hierarchy filled once, built once top down, then only read (map leaves, patch brushes).
#include <cstdint>
#include <vector>

#include "core/ZNT1Math.h"

struct TZNT1StaticAABBTreeProxy {
  TZNT1AABB AABB;
  intptr_t UserData;  // the callers keep an index here
  int32_t Next;       // next proxy of the same node, -1 at the end
};

struct TZNT1StaticAABBTreeNode {
  TZNT1AABB AABB;
  int32_t Children[2];  // -1 for none; both -1 in a leaf node
  int32_t Proxies;      // head of the node's proxy list, -1 for none
};

class TZNT1StaticAABBTree {
 public:
  TZNT1StaticAABBTree() = default;

  // Appends a proxy; proxies are added before Build.
  void CreateProxy(const TZNT1AABB& AABB, intptr_t UserData);
  // Builds the tree over all proxies. A node with fewer than 3 or fewer than Threshold proxies, or
  // at depth MaxDepth, stays a leaf (a negative MaxDepth never stops the splitting). With KDTree a
  // proxy straddling the split plane stays in the inner node; without, all proxies end in leaves.
  void Build(int32_t Threshold, int32_t MaxDepth, bool KDTree);
  // The first proxy (in walk order) whose box overlaps AABB, or nullptr.
  const TZNT1StaticAABBTreeProxy* GetIntersectionProxy(const TZNT1AABB& AABB);

  std::vector<int32_t> Stack;  // query work stack
  int32_t StackCapacity = 0;
  std::vector<TZNT1StaticAABBTreeProxy> Proxies;
  int32_t ProxiesCount = 0;
  std::vector<TZNT1StaticAABBTreeNode> Nodes;
  int32_t NodeCount = -1;  // -1 before the first Build
  int32_t Root = -1;
};
