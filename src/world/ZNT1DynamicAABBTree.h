#pragma once
// Broad phase for moving objects: a self-balancing tree of boxes whose leaves are proxies.
#include <cstdint>
#include <vector>

#include "core/ZNT1Math.h"

constexpr int32_t daabbtNULLNODE = -1;
// Factor on the displacement when a moved box is stretched along the motion.
constexpr float AABBMULTIPLIER = 2.0f;

struct TZNT1DynamicAABBTreeNode {
  TZNT1AABB AABB;  // leaf: the stored, slightly enlarged proxy box; inner: union of the children
  void* UserData;  // the caller's object for a leaf, nullptr for inner nodes
  int32_t Children[2];
  int32_t Height;  // 0 leaf, 1 + larger child height inner, -1 free
  union {
    int32_t Parent;  // while in use
    int32_t Next;    // while on the free list
  };
};

class TZNT1DynamicAABBTree {
 public:
  TZNT1DynamicAABBTree();

  // A new leaf for AABB (grown by AABBEPSILON); the id stays valid until DestroyProxy.
  int32_t CreateProxy(const TZNT1AABB& AABB, void* UserData);
  void DestroyProxy(int32_t NodeID);
  // False while the stored box still holds AABB; otherwise stores AABB stretched along
  // AABBMULTIPLIER x Displacement, reinserts the leaf and answers true.
  bool MoveProxy(int32_t NodeID, const TZNT1AABB& AABB, const TZNT1Vector3& Displacement);
  // Removes and reinserts Iterations leaves picked along the Path bits.
  void Rebalance(int32_t Iterations);
  // Rebuilds the tree bottom up by cheapest pairs (quadratic per merge: diagnostics only).
  void Rebuild();

  // UserData of the first leaf overlapping AABB, nullptr when none.
  void* GetIntersectionProxy(const TZNT1AABB& AABB);
  int32_t ComputeHeight();
  int32_t GetHeight() const;
  float GetAreaRatio() const;
  int32_t GetMaxBalance() const;
  bool ValidateStructure();
  bool ValidateMetrics();
  bool Validate();

  int32_t Root = daabbtNULLNODE;
  std::vector<TZNT1DynamicAABBTreeNode> Nodes;  // the pool; grows, never shrinks
  int32_t NodeCount = 0;
  int32_t NodeCapacity = 0;
  int32_t FreeList = daabbtNULLNODE;
  uint32_t Path = 0;
  int32_t InsertionCount = 0;
  std::vector<int32_t> Stack;
  int32_t StackCapacity = 0;

 private:
  int32_t AllocateNode();
  void FreeNode(int32_t NodeID);
  void InsertLeaf(int32_t Leaf);
  void RemoveLeaf(int32_t Leaf);
  int32_t Balance(int32_t A);
  void RefitUpwards(int32_t Index);
  void Push(int32_t& Top, int32_t Value);
};
