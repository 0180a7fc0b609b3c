#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1Engine.h"
#include "world/WorldTestSupport.h"
#include "world/ZNT1Model.h"

namespace {

// A model of NumFrames frames whose frame f has the box (f, 0, 0) .. (f + 1, 1, 1) and the local
// origin (f, 0, 0), and the given tags (no meshes).
class ModelInstanceTest : public ::testing::Test {
 protected:
  std::unique_ptr<TZNT1Model> MakeModel(int32_t NumFrames, const std::vector<std::string>& TagNames = {}) {
    auto m = std::make_unique<TZNT1Model>(&Engine, nullptr);
    for (int32_t f = 0; f < NumFrames; ++f) {
      TZNT1ModelFrame Frame;
      Frame.AABB.Min = Vector3(float(f), 0, 0);
      Frame.AABB.Max = Vector3(float(f + 1), 1, 1);
      Frame.LocalOrigin = Vector3(float(f), 0, 0);
      m->Frames.push_back(Frame);
    }
    for (const std::string& Name : TagNames) {
      TZNT1ModelTag Tag;
      Tag.Name = Name;
      Tag.Frames.resize(size_t(NumFrames));
      for (auto& f : Tag.Frames) f.Quaternion.w = 1;
      m->Tags.push_back(Tag);
    }
    return m;
  }

  TZNT1Engine Engine{&CreateGameOfClass<TZNT1Game>, true};
};

TZNT1ModelAnimationState State(int32_t Frame, int32_t NextFrame, double FrameTime, int32_t Start, int32_t End,
                               bool Loop = true, bool Backwards = false, int32_t Requested = -1) {
  TZNT1ModelAnimationState s;
  s.Frame = Frame;
  s.NextFrame = NextFrame;
  s.FrameTime = FrameTime;
  s.StartFrame = Start;
  s.EndFrame = End;
  s.Loop = Loop;
  s.Backwards = Backwards;
  s.NextRequestedFrame = Requested;
  s.Animation = true;
  s.FramesPerSecond = 20.0f;
  return s;
}

void ExpectState(const TZNT1ModelAnimationState& s, int32_t Frame, int32_t NextFrame, float Interpolation,
                 bool Playing = true) {
  EXPECT_EQ(s.Frame, Frame);
  EXPECT_EQ(s.NextFrame, NextFrame);
  EXPECT_NEAR(s.InterpolationTime, Interpolation, 1e-6);
  EXPECT_NEAR(s.FrameTime, Interpolation, 1e-6);
  EXPECT_EQ(s.Animation, Playing);
}

void ExpectMatrix(const TZNT1Matrix4x4& a, const TZNT1Matrix4x4& b, float Tolerance = 1e-5f) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(a.M[i][j], b.M[i][j], Tolerance) << i << j;
}

}  // namespace

TEST_F(ModelInstanceTest, CreationDefaultsAndOwnership) {
  auto Model = MakeModel(10, {"tag_a", "tag_b"});
  TZNT1ModelInstance* a = Model->CreateInstance();
  TZNT1ModelInstance* b = Model->CreateInstance();
  EXPECT_EQ(Model->Instances, (std::vector<TZNT1ModelInstance*>{a, b}));
  EXPECT_EQ(a->Tags.size(), 2u);
  EXPECT_EQ(a->Animation.NextRequestedFrame, -1);
  EXPECT_EQ(a->Animation.EndFrame, 9);
  EXPECT_TRUE(a->Animation.Animation && a->Animation.Loop && !a->Animation.Backwards);
  EXPECT_EQ(a->Animation.FramesPerSecond, 20.0f);
  EXPECT_EQ(a->ViewAnimation.FramesPerSecond, 0.0f);
  EXPECT_FALSE(a->ViewAnimation.Animation);
  EXPECT_EQ(a->Leaf, -1);
  EXPECT_TRUE(a->RecieveShadow && a->CastShadow && !a->CastShadowToProcess && !a->HasLightOrigin);
  EXPECT_EQ(a->ShaderRGBA.a, 1.0f);
  ExpectMatrix(a->Transform, Matrix4x4Identity, 0);
  delete a;
  EXPECT_EQ(Model->Instances, (std::vector<TZNT1ModelInstance*>{b}));
  Model.reset();  // frees b
}

TEST_F(ModelInstanceTest, UpdateAnimationStepsForwardsAndBackwards) {
  const double Inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* Name;
    int32_t ModelFrames;
    TZNT1ModelAnimationState Start;
    double DeltaTime;
    int32_t Frame, NextFrame;
    float Interpolation;
    bool Playing;
  } cases[] = {
      {"fresh, 2.5 frames", 10, State(0, 0, 0, 0, 9), 0.125, 1, 2, 0.5f, true},
      {"within a frame", 10, State(3, 4, 0.25, 0, 9), 0.025, 3, 4, 0.75f, true},
      {"loop wraps to the start", 10, State(8, 9, 0, 0, 9), 0.1, 0, 1, 0, true},
      {"loop of a sub-range", 10, State(4, 5, 0, 3, 5), 0.15, 4, 5, 0, true},
      {"25 frames in one step", 10, State(0, 0, 0, 0, 9), 1.25, 4, 5, 0, true},
      {"a trillion frames in one step", 10, State(0, 0, 0, 0, 9), 5e10 + 0.015625, 9, 0, 0.3125f, true},
      {"no loop stops on the last frame", 10, State(0, 0, 0, 0, 3, false), 0.32, 3, 3, 0.4f, false},
      {"no loop, far past the end", 10, State(0, 1, 0, 0, 3, false), 1e9, 3, 3, 0, false},
      {"requested frame", 10, State(2, 3, 0.5, 0, 9, true, false, 7), 0.025, 3, 7, 0, true},
      {"requested frame after a loop", 10, State(9, 0, 0, 0, 9, true, false, 7), 0.1, 7, 8, 0, true},
      {"backwards", 10, State(1, 2, 0.5, 0, 9, true, true), 0.05, 0, 1, 0.5f, true},
      {"backwards loops to the end", 10, State(0, 1, 0.5, 0, 9, true, true), 0.05, 9, 0, 0.5f, true},
      {"backwards stops on the first frame", 10, State(3, 4, 0.25, 2, 5, false, true), 0.1, 2, 2, 0.25f, false},
      {"backwards, requested frame", 10, State(4, 5, 0.5, 0, 9, true, true, 7), 0.05, 7, 4, 0.5f, true},
      {"backwards, far", 10, State(5, 6, 0.5, 0, 9, true, true), 5e9 + 0.015625, 5, 6, 0.1875f, true},
      {"beyond the model's last frame", 4, State(2, 3, 0, 0, 9), 0.05, 3, 3, 0, true},
      {"model without frames", 0, State(5, 6, 0, 0, 9), 0.05, 0, 0, 0, true},
      {"infinite step: no advance", 10, State(2, 3, 0.5, 0, 9), Inf, 2, 3, 0.5f, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    auto Model = MakeModel(c.ModelFrames);
    TZNT1ModelInstance* i = Model->CreateInstance();
    TZNT1ModelAnimationState s = c.Start;
    i->UpdateAnimation(s, c.DeltaTime);
    ExpectState(s, c.Frame, c.NextFrame, c.Interpolation, c.Playing);
    if (c.Start.NextRequestedFrame >= 0) {
      EXPECT_EQ(s.NextRequestedFrame, -1);
    }
  }
}

TEST_F(ModelInstanceTest, UpdateBlendsTheFrameBoxesAndFollowsLinks) {
  auto Model = MakeModel(10, {"tag_child"});
  auto ChildModel = MakeModel(3);
  TZNT1ModelInstance* Root = Model->CreateInstance();
  TZNT1ModelInstance* Child = ChildModel->CreateInstance();
  ASSERT_TRUE(Root->Link("tag_child", Child));
  Root->Transform = Matrix4x4Translate(0, 10, 0);
  Root->Update(0.125);  // frames 1 and 2 at 0.5
  EXPECT_EQ(Root->AABB.Min.x, 1.5f);
  EXPECT_EQ(Root->AABB.Max.x, 2.5f);
  EXPECT_EQ(Root->AABB.Min.y, 10.0f);
  EXPECT_EQ(Root->Middle.x, 2.0f);
  EXPECT_EQ(Root->ViewDeltaTime, 0.125);
  EXPECT_EQ(Child->ViewDeltaTime, 0.125);
  EXPECT_EQ(Child->Animation.Frame, 1);
  Root->Update(0.05);
  EXPECT_EQ(Root->ViewDeltaTime, 0.175);
  EXPECT_EQ(Child->Animation.Frame, 2);
  EXPECT_EQ(Child->Animation.NextFrame, 0);  // three frames: 2 loops to 0
  Root->Leaf = 17;
  Root->RenderType = 2;
  Root->CastShadow = false;
  Root->Synchronize();
  EXPECT_EQ(Child->Leaf, 17);
  EXPECT_EQ(Child->RenderType, 2);
  EXPECT_FALSE(Child->CastShadow);
  // An unknown tag changes nothing.
  EXPECT_FALSE(Root->Link("tag_none", nullptr));
  EXPECT_EQ(Root->Tags[0].LinkedModelInstance, Child);
}

// Every rendered frame advances a copy of the state SmoothStore saved, so frames within one step
// do not add up their advances.
TEST_F(ModelInstanceTest, SmoothInterpolateAdvancesTheSavedStateOncePerFrame) {
  auto Model = MakeModel(10);
  TZNT1ModelInstance* i = Model->CreateInstance();
  i->Update(0.065);  // 0, 1 at 0.3
  i->SmoothStore();
  i->Update(0.1);  // two whole frames: 2, 3 at 0.3
  ExpectState(i->Animation, 2, 3, 0.3f);
  const struct {
    double x;
    int32_t Frame, NextFrame;
    float Interpolation;
  } steps[] = {{0.25, 0, 1, 0.8f}, {0.5, 1, 2, 0.3f}, {0.75, 1, 2, 0.8f}, {1.0, 2, 3, 0.3f}, {0.0, 0, 1, 0.3f}};
  for (const auto& s : steps) {
    SCOPED_TRACE(s.x);
    i->SmoothInterpolate(s.x, false, nullptr, -1);
    ExpectState(i->ViewAnimation, s.Frame, s.NextFrame, s.Interpolation);
  }
  // Forced, or past the step: the simulation state as it stands.
  for (const auto& [x, Force] : {std::pair{0.25, true}, std::pair{1.5, false}}) {
    i->SmoothInterpolate(x, Force, nullptr, -1);
    ExpectState(i->ViewAnimation, 2, 3, 0.3f);
  }
  // A requested frame reaches the view state at its next whole frame as well.
  i->Animation.NextRequestedFrame = 7;
  i->SmoothStore();
  i->Update(0.04);  // 2, 3 at 0.3 -> 3, 7 at 0.1
  i->SmoothInterpolate(0.5, false, nullptr, -1);
  ExpectState(i->ViewAnimation, 2, 3, 0.7f);
  i->SmoothInterpolate(0.9, false, nullptr, -1);
  ExpectState(i->ViewAnimation, 3, 7, 0.02f);
  EXPECT_EQ(i->ViewAnimation.NextRequestedFrame, -1);
  EXPECT_EQ(i->StoredAnimation.NextRequestedFrame, 7);
  // A one-frame model always shows its simulation state.
  auto Still = MakeModel(1);
  TZNT1ModelInstance* s = Still->CreateInstance();
  s->SmoothStore();
  s->Animation.FrameTime = 0.5;
  s->SmoothInterpolate(0.5, false, nullptr, -1);
  EXPECT_EQ(s->ViewAnimation.FrameTime, 0.5);
}

TEST_F(ModelInstanceTest, SmoothInterpolateSetsViewBoxLeafAndTagTransforms) {
  auto Model = MakeModel(4, {"tag_a", "tag_b"});
  // tag_b: frame 1 turned 90 degrees about z and moved, frame 2 the same at another place.
  TZNT1Matrix3x3 Turn = {{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}};
  Model->Tags[1].Frames[1].Quaternion = QuaternionFromMatrix3x3(Turn);
  Model->Tags[1].Frames[1].Origin = Vector3(1, 2, 3);
  Model->Tags[1].Frames[2].Quaternion = QuaternionFromMatrix3x3(Turn);
  Model->Tags[1].Frames[2].Origin = Vector3(3, 2, 1);
  auto ChildModel = MakeModel(2);
  TZNT1ModelInstance* Root = Model->CreateInstance();
  TZNT1ModelInstance* Child = ChildModel->CreateInstance();
  ASSERT_TRUE(Root->Link("tag_b", Child));
  Child->Transform = Matrix4x4Translate(0.5f, 0, 0);
  Root->ViewTransform = Matrix4x4Translate(100, 0, 0);
  Root->Animation = State(1, 2, 0.5, 0, 3);
  Root->Animation.InterpolationTime = 0.5f;
  Root->SmoothInterpolate(0, true, nullptr, 9);
  EXPECT_EQ(Root->ViewAABB.Min.x, 101.5f);
  EXPECT_EQ(Root->ViewAABB.Max.x, 102.5f);
  EXPECT_EQ(Root->ViewMiddle.x, 102.0f);
  EXPECT_NEAR(Root->ViewSphere.Radius, 0.5125f * std::sqrt(3.0f), 1e-5);
  EXPECT_EQ(Root->Leaf, 9);
  EXPECT_EQ(Child->Leaf, 9);
  // Tag b at frames 1 and 2, halfway: turned, at (2, 2, 2).
  TZNT1Matrix4x4 M = Matrix4x4Identity;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) M.M[r][c] = Turn.M[r][c];
  M.M[3][0] = M.M[3][1] = M.M[3][2] = 2;
  const TZNT1Matrix4x4 Want = Matrix4x4TermMul(Matrix4x4TermMul(Child->Transform, M), Root->ViewTransform);
  ExpectMatrix(Root->Tags[1].ViewTransform, Want);
  ExpectMatrix(Child->ViewTransform, Want);
  // The child's point (1, 0, 0): 0.5 further along x, turned onto y, at the tag, moved by 100.
  const TZNT1Vector3 p = Vector3TermMatrixMul(Vector3(1, 0, 0), Child->ViewTransform);
  EXPECT_NEAR(p.x, 102, 1e-5);
  EXPECT_NEAR(p.y, 3.5, 1e-5);
  EXPECT_NEAR(p.z, 2, 1e-5);
  // The unlinked tag keeps its transform.
  ExpectMatrix(Root->Tags[0].ViewTransform, Matrix4x4Identity, 0);
  // Frames the game set past the model's end read as its last frame.
  Root->Animation.Frame = Root->Animation.NextFrame = 99;
  Root->SmoothInterpolate(0, true, nullptr, 9);
  EXPECT_EQ(Root->ViewAABB.Min.x, 103.0f);
  EXPECT_EQ(Root->ViewAABB.Max.x, 104.0f);
}

// A model without frames has no boxes, origins or tag frames to read.
TEST_F(ModelInstanceTest, ModelWithoutFramesSkipsBoxLeafAndTags) {
  auto Model = MakeModel(0, {"tag_a"});
  auto ChildModel = MakeModel(2);
  TZNT1ModelInstance* Root = Model->CreateInstance();
  TZNT1ModelInstance* Child = ChildModel->CreateInstance();
  ASSERT_TRUE(Root->Link("tag_a", Child));
  Root->Animation.Frame = 3;
  Root->Update(0.5);
  EXPECT_EQ(Root->Animation.Frame, 0);
  EXPECT_EQ(Root->AABB.Max.x, 0.0f);
  Root->SmoothStore();
  Root->SmoothInterpolate(0.5, false, nullptr, -1);
  Root->SmoothInterpolate(0.5, true, nullptr, 4);
  EXPECT_EQ(Root->ViewAnimation.Frame, 0);
  EXPECT_EQ(Root->Leaf, 4);
  EXPECT_EQ(Root->ViewAABB.Max.x, 0.0f);
  ExpectMatrix(Child->ViewTransform, Matrix4x4Identity, 0);
}

// The root finds its leaf from the local origin of its frame, placed; linked instances take it.
TEST(ModelInstanceMap, LeafOfThePlacedFrameOrigin) {
  worldtest::MapEngine Engine;
  Engine.BSP = worldtest::LoadMapBytes(Engine, bspwriter::MakeFixture().File.Build());
  ASSERT_NE(Engine.BSP, nullptr);
  const TZNT1Vector3 West = Vector3(-100, 0, 10), East = Vector3(100, 0, 10);
  ASSERT_NE(Engine.BSP->FindLeaf(West), Engine.BSP->FindLeaf(East));
  TZNT1Model Model(&Engine, nullptr);
  Model.Frames.resize(2);
  Model.Frames[0].LocalOrigin = Vector3(-300, 0, 10);
  Model.Frames[1].LocalOrigin = Vector3(0, 0, 10);
  TZNT1ModelInstance* i = Model.CreateInstance();
  i->ViewTransform = Matrix4x4Translate(200, 0, 0);
  i->Animation.Animation = false;
  i->SmoothInterpolate(0, true, nullptr, -1);
  EXPECT_EQ(i->Leaf, Engine.BSP->FindLeaf(West));
  i->Animation.Frame = 1;
  i->SmoothInterpolate(0, true, nullptr, -1);
  EXPECT_EQ(i->Leaf, Engine.BSP->FindLeaf(East));
}
