#include "world/ZNT1DynamicAABBTree.h"

#include <cmath>
#include <cstdlib>

#include "core/ZNT1Globals.h"

namespace {

constexpr float Margin = static_cast<float>(AABBEPSILON);

TZNT1AABB Grown(const TZNT1AABB& Box) {
  TZNT1AABB r;
  for (int i = 0; i < 3; ++i) {
    r.Min.xyz[i] = Box.Min.xyz[i] - Margin;
    r.Max.xyz[i] = Box.Max.xyz[i] + Margin;
  }
  return r;
}

// Grows the pool to Capacity nodes, the new ones chained in order as free nodes; the first new
// node's index.
int32_t GrowPool(std::vector<TZNT1DynamicAABBTreeNode>& Nodes, int32_t Capacity) {
  const int32_t First = static_cast<int32_t>(Nodes.size());
  Nodes.resize(static_cast<size_t>(Capacity), TZNT1DynamicAABBTreeNode{});
  for (int32_t i = First; i < Capacity; ++i) {
    Nodes[i].Next = i + 1 < Capacity ? i + 1 : daabbtNULLNODE;
    Nodes[i].Height = -1;
  }
  return First;
}

}  // namespace

TZNT1DynamicAABBTree::TZNT1DynamicAABBTree() {
  NodeCapacity = 16;
  FreeList = GrowPool(Nodes, NodeCapacity);
  StackCapacity = 16;
  Stack.assign(16, 0);
}

int32_t TZNT1DynamicAABBTree::AllocateNode() {
  if (FreeList == daabbtNULLNODE) {
    NodeCapacity *= 2;
    FreeList = GrowPool(Nodes, NodeCapacity);
  }
  const int32_t NodeID = FreeList;
  TZNT1DynamicAABBTreeNode& Node = Nodes[NodeID];
  FreeList = Node.Next;
  Node.Parent = daabbtNULLNODE;
  Node.Children[0] = Node.Children[1] = daabbtNULLNODE;
  Node.Height = 0;
  Node.UserData = nullptr;
  ++NodeCount;
  return NodeID;
}

void TZNT1DynamicAABBTree::FreeNode(int32_t NodeID) {
  Nodes[NodeID].Next = FreeList;
  Nodes[NodeID].Height = -1;
  FreeList = NodeID;
  --NodeCount;
}

void TZNT1DynamicAABBTree::RefitUpwards(int32_t Index) {
  while (Index != daabbtNULLNODE) {
    Index = Balance(Index);
    TZNT1DynamicAABBTreeNode& Node = Nodes[Index];
    const TZNT1DynamicAABBTreeNode& c0 = Nodes[Node.Children[0]];
    const TZNT1DynamicAABBTreeNode& c1 = Nodes[Node.Children[1]];
    Node.AABB = AABBCombine(c0.AABB, c1.AABB);
    Node.Height = 1 + MaxInt(c0.Height, c1.Height);
    Index = Node.Parent;
  }
}

void TZNT1DynamicAABBTree::InsertLeaf(int32_t Leaf) {
  ++InsertionCount;
  if (Root == daabbtNULLNODE) {
    Root = Leaf;
    Nodes[Leaf].Parent = daabbtNULLNODE;
    return;
  }
  const TZNT1AABB LeafBox = Nodes[Leaf].AABB;
  int32_t Index = Root;
  while (Nodes[Index].Children[0] != daabbtNULLNODE) {
    const TZNT1DynamicAABBTreeNode& Node = Nodes[Index];
    const float Area = AABBCost(Node.AABB);
    const float CombinedArea = AABBCost(AABBCombine(Node.AABB, LeafBox));
    const float Cost = 2.0f * CombinedArea;
    const float InheritanceCost = 2.0f * (CombinedArea - Area);
    float ChildCost[2];
    for (int c = 0; c < 2; ++c) {
      const TZNT1DynamicAABBTreeNode& Child = Nodes[Node.Children[c]];
      const float Union = AABBCost(AABBCombine(Child.AABB, LeafBox));
      ChildCost[c] = Child.Children[0] == daabbtNULLNODE ? Union + InheritanceCost
                                                         : Union - AABBCost(Child.AABB) + InheritanceCost;
    }
    if (Cost < ChildCost[0] && Cost < ChildCost[1]) break;
    Index = ChildCost[0] < ChildCost[1] ? Node.Children[0] : Node.Children[1];
  }

  const int32_t Sibling = Index;
  const int32_t OldParent = Nodes[Sibling].Parent;
  const int32_t NewParent = AllocateNode();
  TZNT1DynamicAABBTreeNode& P = Nodes[NewParent];
  P.Parent = OldParent;
  P.UserData = nullptr;
  P.AABB = AABBCombine(Nodes[Sibling].AABB, LeafBox);
  P.Height = Nodes[Sibling].Height + 1;
  P.Children[0] = Sibling;
  P.Children[1] = Leaf;
  Nodes[Sibling].Parent = NewParent;
  Nodes[Leaf].Parent = NewParent;
  if (OldParent != daabbtNULLNODE) {
    TZNT1DynamicAABBTreeNode& Old = Nodes[OldParent];
    Old.Children[Old.Children[0] == Sibling ? 0 : 1] = NewParent;
  } else {
    Root = NewParent;
  }
  RefitUpwards(Nodes[Leaf].Parent);
}

void TZNT1DynamicAABBTree::RemoveLeaf(int32_t Leaf) {
  if (Leaf == Root) {
    Root = daabbtNULLNODE;
    return;
  }
  const int32_t Parent = Nodes[Leaf].Parent;
  const int32_t GrandParent = Nodes[Parent].Parent;
  const int32_t Sibling = Nodes[Parent].Children[0] == Leaf ? Nodes[Parent].Children[1] : Nodes[Parent].Children[0];
  if (GrandParent != daabbtNULLNODE) {
    TZNT1DynamicAABBTreeNode& G = Nodes[GrandParent];
    G.Children[G.Children[0] == Parent ? 0 : 1] = Sibling;
    Nodes[Sibling].Parent = GrandParent;
    FreeNode(Parent);
    RefitUpwards(GrandParent);
  } else {
    Root = Sibling;
    Nodes[Sibling].Parent = daabbtNULLNODE;
    FreeNode(Parent);
  }
}

int32_t TZNT1DynamicAABBTree::Balance(int32_t iA) {
  TZNT1DynamicAABBTreeNode& A = Nodes[iA];
  if (A.Children[0] == daabbtNULLNODE || A.Height < 2) return iA;
  const int32_t iB = A.Children[0], iC = A.Children[1];
  TZNT1DynamicAABBTreeNode& B = Nodes[iB];
  TZNT1DynamicAABBTreeNode& C = Nodes[iC];
  const int32_t Balance = C.Height - B.Height;

  // The risen child takes A's place under A's parent.
  auto Replace = [&](int32_t Risen) {
    TZNT1DynamicAABBTreeNode& R = Nodes[Risen];
    R.Children[0] = iA;
    R.Parent = A.Parent;
    A.Parent = Risen;
    if (R.Parent != daabbtNULLNODE) {
      TZNT1DynamicAABBTreeNode& Up = Nodes[R.Parent];
      Up.Children[Up.Children[0] == iA ? 0 : 1] = Risen;
    } else {
      Root = Risen;
    }
  };

  if (Balance > 1) {
    const int32_t iF = C.Children[0], iG = C.Children[1];
    TZNT1DynamicAABBTreeNode& F = Nodes[iF];
    TZNT1DynamicAABBTreeNode& G = Nodes[iG];
    Replace(iC);
    if (F.Height > G.Height) {
      C.Children[1] = iF;
      A.Children[1] = iG;
      G.Parent = iA;
      A.AABB = AABBCombine(B.AABB, G.AABB);
      C.AABB = AABBCombine(A.AABB, F.AABB);
      A.Height = 1 + MaxInt(B.Height, G.Height);
      C.Height = 1 + MaxInt(A.Height, F.Height);
    } else {
      C.Children[1] = iG;
      A.Children[1] = iF;
      F.Parent = iA;
      A.AABB = AABBCombine(B.AABB, F.AABB);
      C.AABB = AABBCombine(A.AABB, G.AABB);
      A.Height = 1 + MaxInt(B.Height, F.Height);
      C.Height = 1 + MaxInt(A.Height, G.Height);
    }
    return iC;
  }
  if (Balance < -1) {
    const int32_t iD = B.Children[0], iE = B.Children[1];
    TZNT1DynamicAABBTreeNode& D = Nodes[iD];
    TZNT1DynamicAABBTreeNode& E = Nodes[iE];
    Replace(iB);
    if (D.Height > E.Height) {
      B.Children[1] = iD;
      A.Children[0] = iE;
      E.Parent = iA;
      A.AABB = AABBCombine(C.AABB, E.AABB);
      B.AABB = AABBCombine(A.AABB, D.AABB);
      A.Height = 1 + MaxInt(C.Height, E.Height);
      B.Height = 1 + MaxInt(A.Height, D.Height);
    } else {
      B.Children[1] = iE;
      A.Children[0] = iD;
      D.Parent = iA;
      A.AABB = AABBCombine(C.AABB, D.AABB);
      B.AABB = AABBCombine(A.AABB, E.AABB);
      A.Height = 1 + MaxInt(C.Height, D.Height);
      B.Height = 1 + MaxInt(A.Height, E.Height);
    }
    return iB;
  }
  return iA;
}

int32_t TZNT1DynamicAABBTree::CreateProxy(const TZNT1AABB& AABB, void* UserData) {
  const int32_t NodeID = AllocateNode();
  TZNT1DynamicAABBTreeNode& Node = Nodes[NodeID];
  Node.AABB = Grown(AABB);
  Node.UserData = UserData;
  Node.Height = 0;
  InsertLeaf(NodeID);
  return NodeID;
}

void TZNT1DynamicAABBTree::DestroyProxy(int32_t NodeID) {
  RemoveLeaf(NodeID);
  FreeNode(NodeID);
}

bool TZNT1DynamicAABBTree::MoveProxy(int32_t NodeID, const TZNT1AABB& AABB, const TZNT1Vector3& Displacement) {
  if (AABBContains(Nodes[NodeID].AABB, AABB)) return false;
  RemoveLeaf(NodeID);
  TZNT1AABB Box = Grown(AABB);
  for (int i = 0; i < 3; ++i) {
    const float d = AABBMULTIPLIER * Displacement.xyz[i];
    if (d < 0)
      Box.Min.xyz[i] += d;
    else if (d > 0)
      Box.Max.xyz[i] += d;
  }
  Nodes[NodeID].AABB = Box;
  InsertLeaf(NodeID);
  return true;
}

void TZNT1DynamicAABBTree::Rebalance(int32_t Iterations) {
  if (Root < 0 || Root >= NodeCapacity || Nodes[Root].Height < 0 || Iterations <= 0) return;
  for (int32_t i = 0; i < Iterations; ++i) {
    int32_t Node = Root;
    uint32_t Bit = 0;
    while (Node >= 0 && Node < NodeCapacity && Nodes[Node].Children[0] != daabbtNULLNODE) {
      Node = Nodes[Node].Children[(Path >> Bit) & 1];
      Bit = (Bit + 1) & 31;
    }
    ++Path;
    if (Node < 0 || Node >= NodeCapacity || Nodes[Node].Height != 0) break;
    RemoveLeaf(Node);
    InsertLeaf(Node);
  }
}

void TZNT1DynamicAABBTree::Rebuild() {
  if (NodeCount < 1) return;
  std::vector<int32_t> Collected;
  Collected.reserve(static_cast<size_t>(NodeCount));
  for (int32_t i = 0; i < NodeCapacity; ++i) {
    if (Nodes[i].Height < 0) continue;
    if (Nodes[i].Children[0] == daabbtNULLNODE) {
      Nodes[i].Parent = daabbtNULLNODE;
      Collected.push_back(i);
    } else {
      FreeNode(i);
    }
  }
  int32_t Count = static_cast<int32_t>(Collected.size());
  while (Count > 1) {
    float MinCost = INFINITY;
    int32_t iMin = -1, jMin = -1;
    for (int32_t i = 0; i < Count; ++i)
      for (int32_t j = i + 1; j < Count; ++j) {
        const float Cost = AABBCost(AABBCombine(Nodes[Collected[i]].AABB, Nodes[Collected[j]].AABB));
        if (iMin < 0 || Cost < MinCost) {
          MinCost = Cost;
          iMin = i;
          jMin = j;
        }
      }
    const int32_t Child1 = Collected[iMin], Child2 = Collected[jMin];
    const int32_t ParentID = AllocateNode();
    TZNT1DynamicAABBTreeNode& P = Nodes[ParentID];
    P.Children[0] = Child1;
    P.Children[1] = Child2;
    P.Height = 1 + MaxInt(Nodes[Child1].Height, Nodes[Child2].Height);
    P.AABB = AABBCombine(Nodes[Child1].AABB, Nodes[Child2].AABB);
    P.Parent = daabbtNULLNODE;
    Nodes[Child1].Parent = ParentID;
    Nodes[Child2].Parent = ParentID;
    Collected[jMin] = Collected[Count - 1];
    Collected[iMin] = ParentID;
    --Count;
  }
  Root = Collected.empty() ? daabbtNULLNODE : Collected[0];
}

void TZNT1DynamicAABBTree::Push(int32_t& Top, int32_t Value) {
  if (Top + 1 >= StackCapacity) {
    StackCapacity = static_cast<int32_t>(RoundUpToPowerOfTwo(static_cast<uint32_t>(Top + 2)));
    Stack.resize(static_cast<size_t>(StackCapacity));
  }
  Stack[Top++] = Value;
}

void* TZNT1DynamicAABBTree::GetIntersectionProxy(const TZNT1AABB& AABB) {
  if (Root == daabbtNULLNODE) return nullptr;
  int32_t Top = 0;
  Push(Top, Root);
  while (Top > 0) {
    const int32_t Index = Stack[--Top];
    if (Index == daabbtNULLNODE) continue;
    const TZNT1DynamicAABBTreeNode& Node = Nodes[Index];
    if (!AABBIntersectEx(Node.AABB, AABB, Margin)) continue;
    if (Node.Children[0] == daabbtNULLNODE) return Node.UserData;
    Push(Top, Node.Children[0]);
    Push(Top, Node.Children[1]);
  }
  return nullptr;
}

int32_t TZNT1DynamicAABBTree::ComputeHeight() {
  if (Root == daabbtNULLNODE) return 0;
  // Depth-first with (node, depth) pairs packed into the stack.
  int32_t Top = 0, Height = 0;
  Push(Top, Root);
  Push(Top, 0);
  while (Top > 0) {
    const int32_t Depth = Stack[--Top];
    const int32_t Index = Stack[--Top];
    const TZNT1DynamicAABBTreeNode& Node = Nodes[Index];
    if (Node.Children[0] == daabbtNULLNODE) {
      Height = MaxInt(Height, Depth);
      continue;
    }
    for (int c = 0; c < 2; ++c) {
      Push(Top, Node.Children[c]);
      Push(Top, Depth + 1);
    }
  }
  return Height;
}

int32_t TZNT1DynamicAABBTree::GetHeight() const { return Root == daabbtNULLNODE ? 0 : Nodes[Root].Height; }

float TZNT1DynamicAABBTree::GetAreaRatio() const {
  if (Root == daabbtNULLNODE) return 0;
  const float RootCost = AABBCost(Nodes[Root].AABB);
  float Total = 0;
  // Every slot: nodes in use can lie above NodeCount once others were freed.
  for (int32_t i = 0; i < NodeCapacity; ++i)
    if (Nodes[i].Height >= 0) Total += AABBCost(Nodes[i].AABB);
  return RootCost != 0 ? Total / RootCost : 0.0f;
}

int32_t TZNT1DynamicAABBTree::GetMaxBalance() const {
  int32_t MaxBalance = 0;
  for (int32_t i = 0; i < NodeCapacity; ++i) {
    const TZNT1DynamicAABBTreeNode& Node = Nodes[i];
    if (Node.Height <= 1) continue;
    MaxBalance = MaxInt(MaxBalance, std::abs(Nodes[Node.Children[1]].Height - Nodes[Node.Children[0]].Height));
  }
  return MaxBalance;
}

bool TZNT1DynamicAABBTree::ValidateStructure() {
  if (Root == daabbtNULLNODE) return true;
  if (Root < 0 || Root >= NodeCapacity || Nodes[Root].Parent != daabbtNULLNODE) return false;
  int32_t Top = 0, Visited = 0;
  Push(Top, Root);
  while (Top > 0) {
    const int32_t Index = Stack[--Top];
    if (Index < 0 || Index >= NodeCapacity || ++Visited > NodeCount) return false;
    const TZNT1DynamicAABBTreeNode& Node = Nodes[Index];
    if (Node.Height < 0) return false;
    if (Node.Children[0] == daabbtNULLNODE) {
      if (Node.Children[1] != daabbtNULLNODE || Node.Height != 0) return false;
      continue;
    }
    for (int c = 0; c < 2; ++c) {
      const int32_t Child = Node.Children[c];
      if (Child < 0 || Child >= NodeCapacity || Nodes[Child].Parent != Index) return false;
      Push(Top, Child);
    }
  }
  return true;
}

bool TZNT1DynamicAABBTree::ValidateMetrics() {
  if (Root == daabbtNULLNODE) return true;
  int32_t Top = 0;
  Push(Top, Root);
  while (Top > 0) {
    const TZNT1DynamicAABBTreeNode& Node = Nodes[Stack[--Top]];
    if (Node.Children[0] == daabbtNULLNODE) continue;
    const TZNT1DynamicAABBTreeNode& c0 = Nodes[Node.Children[0]];
    const TZNT1DynamicAABBTreeNode& c1 = Nodes[Node.Children[1]];
    if (Node.Height != 1 + MaxInt(c0.Height, c1.Height)) return false;
    const TZNT1AABB Union = AABBCombine(c0.AABB, c1.AABB);
    if (!Vector3Compare(Union.Min, Node.AABB.Min) || !Vector3Compare(Union.Max, Node.AABB.Max)) return false;
    Push(Top, Node.Children[0]);
    Push(Top, Node.Children[1]);
  }
  return true;
}

bool TZNT1DynamicAABBTree::Validate() {
  if (!ValidateStructure() || !ValidateMetrics() || ComputeHeight() != GetHeight()) return false;
  int32_t FreeCount = 0;
  for (int32_t i = FreeList; i != daabbtNULLNODE; i = Nodes[i].Next) {
    if (i < 0 || i >= NodeCapacity || ++FreeCount > NodeCapacity) return false;
  }
  return NodeCount + FreeCount == NodeCapacity;
}
