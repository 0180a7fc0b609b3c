#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1VBO.h"

namespace {

TZNT1VBOVertex MakeVertex(TZNT1Vector3 Position, TZNT1Vector2 TexCoord, TZNT1Vector3 Normal = Vector3(0, 0, 1)) {
  TZNT1VBOVertex v{};
  v.Position = Position;
  v.TexCoord = TexCoord;
  v.Normal = Normal;
  return v;
}

void ExpectTangent(const TZNT1VBOVertex& v, TZNT1Vector4 Expected, const char* What) {
  SCOPED_TRACE(What);
  EXPECT_NEAR(v.Tangent.x, Expected.x, 1e-5f);
  EXPECT_NEAR(v.Tangent.y, Expected.y, 1e-5f);
  EXPECT_NEAR(v.Tangent.z, Expected.z, 1e-5f);
  EXPECT_EQ(v.Tangent.w, Expected.w);
}

// A usable tangent: finite, of unit length, in the surface, handedness +-1.
void ExpectUsableTangent(const TZNT1VBOVertex& v) {
  const TZNT1Vector3 t = Vector3(v.Tangent.x, v.Tangent.y, v.Tangent.z);
  ASSERT_TRUE(std::isfinite(t.x) && std::isfinite(t.y) && std::isfinite(t.z));
  EXPECT_NEAR(Vector3Length(t), 1.0f, 1e-5f);
  EXPECT_NEAR(Vector3Dot(t, Vector3Norm(v.Normal)), 0.0f, 1e-5f);
  EXPECT_TRUE(v.Tangent.w == 1.0f || v.Tangent.w == -1.0f);
}

class VBO : public ::testing::Test {
 protected:
  TZNT1Engine engine{&CreateGameOfClass<TZNT1Game>, true};
};

}  // namespace

TEST(VBOVertex, LayoutIsTheNinetySixByteRecordOfTheBuffers) {
  static_assert(sizeof(TZNT1VBOVertex) == 96 && sizeof(TZNT1VBOVertices::value_type) == 96);
  static_assert(offsetof(TZNT1VBOVertex, Tangent) == 40 && offsetof(TZNT1VBOVertex, Color) == 56 &&
                offsetof(TZNT1VBOVertex, Middle) == 60);
  static_assert(offsetof(TZNT1VBOVector4b, r) == offsetof(TZNT1VBOVector4b, x));

  TZNT1VBOVertex v{};
  v.Color.r = 10;
  v.Color.a = 40;
  EXPECT_EQ(v.Color.x, 10);
  EXPECT_EQ(v.Color.xyzw[3], 40);
  EXPECT_EQ(v.Alignment[56], 10);
  v.Middle.w = 1.0f;
  float w;
  std::memcpy(&w, &v.Alignment[72], 4);
  EXPECT_EQ(w, 1.0f);
  // The spare bytes go to the GPU too: a fresh vertex must have them zero.
  for (int i = 76; i < 96; ++i) EXPECT_EQ(v.Alignment[i], 0) << i;
}

TEST_F(VBO, GrowsInPowersOfTwoAndFinishCutsToTheCount) {
  TZNT1VBO vbo(&engine, false, false, 0, 0);
  EXPECT_EQ(vbo.VerticesVBOHandle, -1);
  EXPECT_EQ(vbo.IndicesVBOHandle, -1);
  const size_t Capacities[] = {1, 2, 4, 4, 8, 8, 8, 8, 16};
  for (int32_t i = 0; i < 9; ++i) {
    EXPECT_EQ(vbo.AddVertex(MakeVertex(Vector3(float(i), 0, 0), Vector2(0, 0))), i);
    EXPECT_EQ(vbo.AddIndex(static_cast<uint32_t>(100 + i)), i);
    EXPECT_EQ(vbo.Vertices.size(), Capacities[i]) << i;
    EXPECT_EQ(vbo.Indices.size(), Capacities[i]) << i;
  }
  EXPECT_EQ(vbo.CountVertices, 9);
  EXPECT_EQ(vbo.CountIndices, 9);
  vbo.Finish();
  ASSERT_EQ(vbo.Vertices.size(), 9u);
  ASSERT_EQ(vbo.Indices.size(), 9u);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(vbo.Vertices[i].Position.x, float(i));
    EXPECT_EQ(vbo.Indices[i], uint32_t(100 + i));
  }
}

TEST_F(VBO, PreSizedArraysAreCapacityOnly) {
  TZNT1VBO vbo(&engine, true, true, 16, 48);
  EXPECT_EQ(vbo.Vertices.size(), 16u);
  EXPECT_EQ(vbo.Indices.size(), 48u);
  EXPECT_EQ(vbo.CountVertices, 0);
  EXPECT_EQ(vbo.AddVertex(TZNT1VBOVertex{}), 0);
  EXPECT_EQ(vbo.Vertices.size(), 16u);
  TZNT1VBO negative(&engine, false, false, -5, -1);
  EXPECT_TRUE(negative.Vertices.empty() && negative.Indices.empty());
}

TEST_F(VBO, LimitsComeFromTheProbeAndRefuseWithoutAdding) {
  {
    // Before the probe has run: 65,536 vertices and 196,608 indices.
    ASSERT_EQ(engine.GLCapabilities, nullptr);
    TZNT1VBO vbo(&engine, false, false, 0, 0);
    const TZNT1VBOVertex v{};
    for (int32_t i = 0; i < 65536; ++i) ASSERT_EQ(vbo.AddVertex(v), i);
    EXPECT_EQ(vbo.AddVertex(v), -1);
    EXPECT_EQ(vbo.CountVertices, 65536);
    EXPECT_EQ(vbo.Vertices.size(), 65536u);
    for (int32_t i = 0; i < 196608; ++i) ASSERT_EQ(vbo.AddIndex(0), i);
    EXPECT_EQ(vbo.AddIndex(0), -1);
    EXPECT_EQ(vbo.CountIndices, 196608);
  }
  engine.GLCapabilities = std::make_unique<TZNT1GLCapabilities>(&engine);
  engine.GLCapabilities->MaxElementsVertices = 3;
  engine.GLCapabilities->MaxElementsIndices = 5;
  TZNT1VBO vbo(&engine, false, false, 0, 0);
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(vbo.AddVertex(TZNT1VBOVertex{}), i);
  EXPECT_EQ(vbo.AddVertex(TZNT1VBOVertex{}), -1);
  EXPECT_EQ(vbo.CountVertices, 3);
  for (int32_t i = 0; i < 5; ++i) EXPECT_EQ(vbo.AddIndex(7), i);
  EXPECT_EQ(vbo.AddIndex(7), -1);
  EXPECT_EQ(vbo.CountIndices, 5);
}

TEST_F(VBO, DedicatedReferenceCountingUploadsAndDisposesWithoutOpenGL) {
  TZNT1VBO vbo(&engine, true, false, 4, 4);
  vbo.Upload();  // not referenced
  vbo.Update();
  EXPECT_FALSE(vbo.Uploaded);
  vbo.IncRef();
  EXPECT_TRUE(vbo.Uploaded);
  EXPECT_EQ(vbo.VerticesVBOHandle, -1);
  vbo.IncRef();
  vbo.DecRef();
  EXPECT_TRUE(vbo.Uploaded);
  vbo.DecRef();
  EXPECT_FALSE(vbo.Uploaded);
  EXPECT_EQ(vbo.ReferenceCounter, 0);
  vbo.DecRef();  // never below zero
  EXPECT_EQ(vbo.ReferenceCounter, 0);
  vbo.ReferenceCounter = 1;
  vbo.Update();  // referenced but not uploaded: uploads
  EXPECT_TRUE(vbo.Uploaded);
  EXPECT_EQ(vbo.Vertices.size(), 4u);
}

TEST(CalculateTangents, TangentAndHandednessFollowTheTextureMapping) {
  struct Case {
    const char* Name;
    TZNT1Vector3 P[3];
    TZNT1Vector2 UV[3];
    TZNT1Vector4 Expected;
  };
  const Case Cases[] = {
      {"u along x, v along y",
       {Vector3(0, 0, 0), Vector3(0, 1, 0), Vector3(1, 0, 0)},
       {Vector2(0, 0), Vector2(0, 1), Vector2(1, 0)},
       Vector4(1, 0, 0, -1)},
      {"winding reversed",
       {Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(0, 1, 0)},
       {Vector2(0, 0), Vector2(1, 0), Vector2(0, 1)},
       Vector4(1, 0, 0, -1)},
      {"mirrored in u",
       {Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(0, 1, 0)},
       {Vector2(0, 0), Vector2(-1, 0), Vector2(0, 1)},
       Vector4(-1, 0, 0, 1)},
      {"u along y, scaled",
       {Vector3(0, 0, 0), Vector3(0, 4, 0), Vector3(4, 0, 0)},
       {Vector2(0, 0), Vector2(2, 0), Vector2(0, 2)},
       Vector4(0, 1, 0, 1)},
  };
  for (const Case& c : Cases) {
    TZNT1VBOVertices v = {MakeVertex(c.P[0], c.UV[0]), MakeVertex(c.P[1], c.UV[1]), MakeVertex(c.P[2], c.UV[2])};
    CalculateTangents(v, {0, 1, 2});
    for (const TZNT1VBOVertex& x : v) ExpectTangent(x, c.Expected, c.Name);
  }
}

TEST(CalculateTangents, SharedVerticesAverageAndTheTangentIsOrthogonalToTheNormal) {
  // A quad bent along its diagonal; the stored normals are not of unit length.
  TZNT1VBOVertices v = {
      MakeVertex(Vector3(0, 0, 0), Vector2(0, 0), Vector3(1, 0, 1)),
      MakeVertex(Vector3(1, 0, 0), Vector2(1, 0), Vector3(0, 0, 3)),
      MakeVertex(Vector3(1, 1, 0.5f), Vector2(1, 1), Vector3(-0.2f, 0.1f, 2)),
      MakeVertex(Vector3(0, 1, 0), Vector2(0, 1), Vector3(0.5f, 0.5f, 0.5f)),
  };
  CalculateTangents(v, {0, 1, 2, 0, 2, 3});
  for (const TZNT1VBOVertex& x : v) {
    ExpectUsableTangent(x);
    EXPECT_GT(x.Tangent.x, 0.5f);  // still points along +u
    EXPECT_EQ(x.Tangent.w, -1.0f);
  }

  // A tilted normal of length sqrt(2) against the tangent (1, 0, 0): the tangent is what is left
  // of it in the plane of the normal, (1, 0, -1) / sqrt(2), not (0, 0, -1).
  TZNT1VBOVertices t = {MakeVertex(Vector3(0, 0, 0), Vector2(0, 0), Vector3(1, 0, 1)),
                        MakeVertex(Vector3(0, 1, 0), Vector2(0, 1)), MakeVertex(Vector3(1, 0, 0), Vector2(1, 0))};
  CalculateTangents(t, {0, 1, 2});
  ExpectTangent(t[0], Vector4(std::sqrt(0.5f), 0, -std::sqrt(0.5f), -1), "tilted normal");
}

TEST(CalculateTangents, BadIndicesAndDegenerateInputGiveUsableTangents) {
  const float NaN = std::numeric_limits<float>::quiet_NaN();
  TZNT1VBOVertices v = {
      MakeVertex(Vector3(0, 0, 0), Vector2(0, 0)),
      MakeVertex(Vector3(0, 1, 0), Vector2(0, 1)),
      MakeVertex(Vector3(1, 0, 0), Vector2(1, 0)),
      MakeVertex(Vector3(5, 5, 5), Vector2(3, 3), Vector3(0, 1, 0)),  // used by no triangle
      MakeVertex(Vector3(2, 0, 0), Vector2(7, 7)),                    // 4-6: all texture coordinates equal
      MakeVertex(Vector3(3, 0, 0), Vector2(7, 7)),
      MakeVertex(Vector3(2, 1, 0), Vector2(7, 7)),
      MakeVertex(Vector3(9, 9, 0), Vector2(NaN, 0)),  // 7: broken, shares vertex 0 with a sound triangle
      MakeVertex(Vector3(0, 0, 0), Vector2(0, 0), Vector3(0, 0, 0)),  // 8: no normal, no triangle
  };
  // A triangle reaching past the array, a triangle through a NaN, and a trailing incomplete triple.
  const std::vector<uint32_t> Indices = {0, 1, 2, 4, 5, 6, 0, 7, 1, 0, 2, 1000000, 3, 3};
  CalculateTangents(v, Indices);
  ExpectTangent(v[0], Vector4(1, 0, 0, -1), "the NaN triangle leaves vertex 0 alone");
  ExpectTangent(v[2], Vector4(1, 0, 0, -1), "the far index leaves vertex 2 alone");
  for (size_t i = 3; i < v.size(); ++i) {
    SCOPED_TRACE(i);
    ExpectUsableTangent(v[i]);
    EXPECT_EQ(v[i].Tangent.w, 1.0f);
  }
  EXPECT_NEAR(Vector3Length(Vector3(v[8].Tangent.x, v[8].Tangent.y, v[8].Tangent.z)), 1.0f, 1e-6f);

  TZNT1VBOVertices none;
  CalculateTangents(none, {0, 1, 2});  // indices into an empty array
  EXPECT_TRUE(none.empty());
}

TEST_F(VBO, FinishTangentsCutsTheArraysThenFillsTangents) {
  TZNT1VBO vbo(&engine, false, false, 0, 0);
  vbo.AddVertex(MakeVertex(Vector3(0, 0, 0), Vector2(0, 0)));
  vbo.AddVertex(MakeVertex(Vector3(0, 1, 0), Vector2(0, 1)));
  vbo.AddVertex(MakeVertex(Vector3(1, 0, 0), Vector2(1, 0)));
  for (uint32_t i : {0u, 1u, 2u}) vbo.AddIndex(i);
  ASSERT_EQ(vbo.Vertices.size(), 4u);
  vbo.FinishTangents();
  ASSERT_EQ(vbo.Vertices.size(), 3u);
  ASSERT_EQ(vbo.Indices.size(), 3u);
  for (const TZNT1VBOVertex& x : vbo.Vertices) ExpectTangent(x, Vector4(1, 0, 0, -1), "finished");
}
