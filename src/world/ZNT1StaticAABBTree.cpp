#include "world/ZNT1StaticAABBTree.h"

#include <cstdlib>
#include <limits>

#include "core/ZNT1Globals.h"

void TZNT1StaticAABBTree::CreateProxy(const TZNT1AABB& AABB, intptr_t UserData) {
  const int32_t Index = ProxiesCount++;
  if (static_cast<int32_t>(Proxies.size()) <= ProxiesCount)
    Proxies.resize(RoundUpToPowerOfTwo(static_cast<uint32_t>(ProxiesCount)));
  Proxies[Index].AABB = AABB;
  Proxies[Index].UserData = UserData;
  Proxies[Index].Next = -1;
}

namespace {

struct TWorkItem {
  int32_t Node, Depth;
};

bool GoesRight(const TZNT1AABB& Box, int32_t Axis, float Center) {
  return (Box.Min.xyz[Axis] + Box.Max.xyz[Axis]) * 0.5f >= Center;
}

}  // namespace

void TZNT1StaticAABBTree::Build(int32_t Threshold, int32_t MaxDepth, bool KDTree) {
  Proxies.resize(static_cast<size_t>(ProxiesCount));
  if (ProxiesCount == 0) {
    NodeCount = 0;
    Nodes.clear();
    return;
  }
  Root = 0;
  NodeCount = 1;
  Nodes.assign(static_cast<size_t>(MaxInt(1, ProxiesCount)), TZNT1StaticAABBTreeNode{});
  TZNT1StaticAABBTreeNode& First = Nodes[0];
  First.AABB = Proxies[0].AABB;
  for (int32_t i = 0; i < ProxiesCount; ++i) {
    First.AABB = AABBCombine(First.AABB, Proxies[i].AABB);
    Proxies[i].Next = i + 1 < ProxiesCount ? i + 1 : -1;
  }
  First.Children[0] = First.Children[1] = -1;
  First.Proxies = 0;

  std::vector<TWorkItem> Work(16);
  int32_t Top = 0;
  Work[Top++] = {0, MaxDepth};
  while (Top > 0) {
    const TWorkItem Item = Work[--Top];
    if (Item.Node < 0 || Nodes[Item.Node].Proxies < 0) continue;

    int32_t ParentCount = 0;
    {
      TZNT1StaticAABBTreeNode& Node = Nodes[Item.Node];
      Node.AABB = Proxies[Node.Proxies].AABB;
      for (int32_t p = Node.Proxies; p >= 0; p = Proxies[p].Next) {
        Node.AABB = AABBCombine(Node.AABB, Proxies[p].AABB);
        ++ParentCount;
      }
    }
    if (Item.Depth == 0 || ParentCount < 3 || ParentCount < Threshold) continue;

    const TZNT1AABB NodeBox = Nodes[Item.Node].AABB;
    const TZNT1Vector3 Center = Vector3Avg(NodeBox.Min, NodeBox.Max);
    int32_t BestAxis = -1, BestBalance = std::numeric_limits<int32_t>::max();
    for (int32_t Axis = 0; Axis < 3; ++Axis) {
      TZNT1AABB LeftBox = NodeBox, RightBox = NodeBox;
      LeftBox.Max.xyz[Axis] = Center.xyz[Axis];
      RightBox.Min.xyz[Axis] = Center.xyz[Axis];
      int32_t Left = 0, Right = 0, Middle = 0;
      for (int32_t p = Nodes[Item.Node].Proxies; p >= 0; p = Proxies[p].Next) {
        const TZNT1AABB& Box = Proxies[p].AABB;
        if (!KDTree) {
          (GoesRight(Box, Axis, Center.xyz[Axis]) ? Right : Left)++;
        } else if (AABBContains(LeftBox, Box)) {
          ++Left;
        } else if (AABBContains(RightBox, Box)) {
          ++Right;
        } else {
          ++Middle;
        }
      }
      const bool Qualifies = KDTree ? Left >= 1 && Right >= 1 && Left + Right >= Middle &&
                                          Left + Right + Middle >= Threshold
                                    : Left >= 1 && Right >= 1;
      const int32_t Balance = std::abs(Right - Left);
      if (Qualifies && Balance < BestBalance) {
        BestBalance = Balance;
        BestAxis = Axis;
      }
    }
    if (BestAxis < 0) continue;

    const int32_t LeftNode = NodeCount, RightNode = NodeCount + 1;
    NodeCount += 2;
    if (static_cast<int32_t>(Nodes.size()) < NodeCount)
      Nodes.resize(RoundUpToPowerOfTwo(static_cast<uint32_t>(NodeCount)));
    TZNT1AABB LeftBox = NodeBox, RightBox = NodeBox;
    LeftBox.Max.xyz[BestAxis] = Center.xyz[BestAxis];
    RightBox.Min.xyz[BestAxis] = Center.xyz[BestAxis];

    int32_t p = Nodes[Item.Node].Proxies;
    Nodes[LeftNode].Proxies = Nodes[RightNode].Proxies = Nodes[Item.Node].Proxies = -1;
    while (p >= 0) {
      const int32_t Next = Proxies[p].Next;
      const TZNT1AABB& Box = Proxies[p].AABB;
      int32_t Target;
      if (!KDTree)
        Target = GoesRight(Box, BestAxis, Center.xyz[BestAxis]) ? RightNode : LeftNode;
      else if (AABBContains(LeftBox, Box))
        Target = LeftNode;
      else if (AABBContains(RightBox, Box))
        Target = RightNode;
      else
        Target = Item.Node;
      Proxies[p].Next = Nodes[Target].Proxies;
      Nodes[Target].Proxies = p;
      p = Next;
    }

    Nodes[Item.Node].Children[0] = LeftNode;
    Nodes[Item.Node].Children[1] = RightNode;
    Nodes[LeftNode].AABB = LeftBox;
    Nodes[RightNode].AABB = RightBox;
    Nodes[LeftNode].Children[0] = Nodes[LeftNode].Children[1] = -1;
    Nodes[RightNode].Children[0] = Nodes[RightNode].Children[1] = -1;
    if (static_cast<int32_t>(Work.size()) < Top + 2)
      Work.resize(RoundUpToPowerOfTwo(static_cast<uint32_t>(Top + 4)));
    Work[Top++] = {LeftNode, MaxInt(-1, Item.Depth - 1)};
    Work[Top++] = {RightNode, MaxInt(-1, Item.Depth - 1)};
  }
  Nodes.resize(static_cast<size_t>(NodeCount));
}

const TZNT1StaticAABBTreeProxy* TZNT1StaticAABBTree::GetIntersectionProxy(const TZNT1AABB& AABB) {
  if (Root < 0 || Root >= NodeCount) return nullptr;
  if (StackCapacity < 16) {
    StackCapacity = 16;
    Stack.resize(16);
  }
  int32_t Top = 0;
  Stack[Top++] = Root;
  while (Top > 0) {
    const int32_t Index = Stack[--Top];
    if (Index < 0) continue;
    const TZNT1StaticAABBTreeNode& Node = Nodes[Index];
    if (!AABBIntersectEx(Node.AABB, AABB, static_cast<float>(AABBEPSILON))) continue;
    for (int32_t p = Node.Proxies; p >= 0; p = Proxies[p].Next)
      if (AABBIntersectEx(Proxies[p].AABB, AABB, static_cast<float>(AABBEPSILON))) return &Proxies[p];
    if (Top + 2 >= StackCapacity) {
      StackCapacity = static_cast<int32_t>(RoundUpToPowerOfTwo(static_cast<uint32_t>(Top + 2)));
      Stack.resize(static_cast<size_t>(StackCapacity));
    }
    if (Node.Children[0] >= 0) Stack[Top++] = Node.Children[0];
    if (Node.Children[1] >= 0) Stack[Top++] = Node.Children[1];
  }
  return nullptr;
}
