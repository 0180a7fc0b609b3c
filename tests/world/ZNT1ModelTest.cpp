#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1Stream.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "material/MaterialTestSupport.h"
#include "support/MD3Writer.h"
#include "world/ZNT1Model.h"

namespace {

using md3test::Bytes;

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// LoadMD3 of a fresh model over the bytes.
std::unique_ptr<TZNT1Model> Read(TZNT1Engine& Engine, const Bytes& b, bool& Ok) {
  auto Model = std::make_unique<TZNT1Model>(&Engine, nullptr);
  TMemoryStream Stream(b);
  Ok = Model->LoadMD3(Stream);
  return Model;
}

// One surface of NumVerts vertices (a fan of triangles over them) in NumFrames frames.
md3test::TModel Strip(int32_t NumVerts, int32_t NumFrames, int32_t NumTriangles = 1) {
  md3test::TModel m;
  md3test::TSurface s;
  s.Name = "strip";
  s.Shaders = {"models/strip"};
  s.TexCoords.resize(static_cast<size_t>(NumVerts), {0.5f, 0.5f});
  for (int32_t t = 0; t < NumTriangles; ++t) s.Triangles.push_back({0, (t + 1) % NumVerts, (t + 2) % NumVerts});
  for (int32_t f = 0; f < NumFrames; ++f) {
    std::vector<md3test::TVertex> v(static_cast<size_t>(NumVerts));
    for (int32_t i = 0; i < NumVerts; ++i) v[size_t(i)] = {int16_t(i), int16_t(f), int16_t(i % 7), 0, 0};
    s.Frames.push_back(v);
  }
  m.Surfaces = {s};
  m.Frames.resize(static_cast<size_t>(NumFrames));
  return m;
}

void ExpectVector(const TZNT1Vector3& v, float x, float y, float z, float Tolerance = 0.0f) {
  EXPECT_NEAR(v.x, x, Tolerance);
  EXPECT_NEAR(v.y, y, Tolerance);
  EXPECT_NEAR(v.z, z, Tolerance);
}

}  // namespace

TEST(ZNT1Model, FixtureLoadsFramesTagsMeshesAndSkinSlots) {
  materialtest::TEngine E;
  const md3test::TModel m = md3test::TwoFrameFixture();
  bool Ok = false;
  auto Model = Read(E.Engine, md3test::Write(m), Ok);
  ASSERT_TRUE(Ok);
  EXPECT_EQ(Model->ModelType, zmtNONE);
  ASSERT_EQ(Model->LevelOfDetail.size(), 1u);
  EXPECT_EQ(Model->LevelOfDetail[0], Model.get());

  ASSERT_EQ(Model->Frames.size(), 2u);
  for (size_t f = 0; f < 2; ++f) {
    const TZNT1ModelFrame& Frame = Model->Frames[f];
    const md3test::TFrame& Want = m.Frames[f];
    ExpectVector(Frame.AABB.Min, Want.Min[0], Want.Min[1], Want.Min[2]);
    ExpectVector(Frame.AABB.Max, Want.Max[0], Want.Max[1], Want.Max[2]);
    ExpectVector(Frame.LocalOrigin, Want.Origin[0], Want.Origin[1], Want.Origin[2]);
    EXPECT_EQ(Frame.Radius, Want.Radius);
    EXPECT_EQ(Frame.Name, Want.Name);
  }

  ASSERT_EQ(Model->Tags.size(), 2u);
  EXPECT_EQ(Model->Links, (std::vector<TZNT1Model*>{nullptr, nullptr}));
  for (size_t t = 0; t < 2; ++t) {
    EXPECT_EQ(Model->Tags[t].Name, m.Tags[0][t].Name);
    ASSERT_EQ(Model->Tags[t].Frames.size(), 2u);
    for (size_t f = 0; f < 2; ++f) {
      const md3test::TTag& Want = m.Tags[f][t];
      const TZNT1ModelTagFrame& Got = Model->Tags[t].Frames[f];
      ExpectVector(Got.Origin, Want.Origin[0], Want.Origin[1], Want.Origin[2]);
      // The quaternion gives the axis rows back as the rows of its matrix.
      const TZNT1Matrix4x4 M = QuaternionToMatrix4x4(Got.Quaternion);
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(M.M[i][j], Want.Axis[size_t(i)][size_t(j)], 1e-6) << t << f << i << j;
    }
  }

  ASSERT_EQ(Model->Meshs.size(), 2u);
  const TZNT1ModelMesh& Body = Model->Meshs[0];
  EXPECT_EQ(Body.Name, "body");
  EXPECT_EQ(Model->Meshs[1].Name, "head");
  EXPECT_EQ(Body.Frames, 2);
  EXPECT_EQ(Body.VerticesPerFrame, 6);
  EXPECT_EQ(Body.IndicesPerFrame, 12);
  EXPECT_EQ(Body.VBO, nullptr);
  ASSERT_EQ(Body.VBOs.size(), 1u);
  ASSERT_EQ(Body.VBOFrames.size(), 2u);
  EXPECT_EQ(Body.VBOFrames[0].VBOIndex, 0);
  EXPECT_EQ(Body.VBOFrames[0].StartVertex, 0);
  EXPECT_EQ(Body.VBOFrames[1].VBOIndex, 0);
  EXPECT_EQ(Body.VBOFrames[1].StartVertex, 6);
  const TZNT1VBO& VBO = *Body.VBOs[0];
  ASSERT_EQ(VBO.CountVertices, 12);
  EXPECT_EQ(VBO.Vertices.size(), 12u);
  // Every frame appends the surface-local triangle list again.
  std::vector<uint32_t> Once;
  for (const auto& t : m.Surfaces[0].Triangles)
    for (int32_t i : t) Once.push_back(uint32_t(i));
  std::vector<uint32_t> Twice = Once;
  Twice.insert(Twice.end(), Once.begin(), Once.end());
  EXPECT_EQ(VBO.Indices, Twice);
  EXPECT_EQ(VBO.CountIndices, 24);
  for (int32_t f = 0; f < 2; ++f)
    for (size_t v = 0; v < 6; ++v) {
      const TZNT1VBOVertex& Got = VBO.Vertices[size_t(f) * 6 + v];
      const md3test::TVertex& Want = m.Surfaces[0].Frames[size_t(f)][v];
      ExpectVector(Got.Position, Want.x / 64.0f, Want.y / 64.0f, Want.z / 64.0f);
      EXPECT_EQ(Got.TexCoord.x, m.Surfaces[0].TexCoords[v][0]);
      EXPECT_EQ(Got.TexCoord.y, m.Surfaces[0].TexCoords[v][1]);
      EXPECT_EQ(Got.LightMapCoord.x, Got.TexCoord.x);
      EXPECT_EQ(Got.LightMapCoord.y, Got.TexCoord.y);
      ExpectVector(Got.Normal, 0, 0, 1);
      EXPECT_EQ(Got.Color.r + Got.Color.g + Got.Color.b + Got.Color.a, 4 * 255);
      EXPECT_EQ(Got.Middle.x + Got.Middle.y + Got.Middle.z + Got.Middle.w, 0.0f);
    }

  // Shader slots: default, default2; each with a material, switched to frame blending.
  EXPECT_EQ(Body.NumSkins, 2);
  EXPECT_EQ(Body.SkinNames, (std::vector<std::string>{"default", "default2"}));
  ASSERT_EQ(Body.Skins.size(), 2u);
  ASSERT_NE(Body.Skins[0], nullptr);
  ASSERT_NE(Body.Skins[1], nullptr);
  EXPECT_EQ(Body.Skins[0]->Name, "models/test/body.tga");
  EXPECT_EQ(Body.Skins[1]->Name, "models/test/body_alt");
  EXPECT_TRUE(Body.Skins[0]->DoInterpolateVertices);
  EXPECT_TRUE(Body.Skins[1]->DoInterpolateVertices);
}

TEST(ZNT1Model, PositionAndNormalBytesDecode) {
  const double Step = 2.0 * 3.14159265358979323846 / 255.0;
  struct Case {
    md3test::TVertex v;
    TZNT1Vector3 Position, Normal;
  } cases[] = {
      {{64, -128, 32, 0, 0}, Vector3(1, -2, 0.5f), Vector3(0, 0, 1)},
      {{-32768, 32767, 1, 0, 200}, Vector3(-512, 511.984375f, 1 / 64.0f), Vector3(0, 0, 1)},
      {{0, 0, 0, 64, 0}, Vector3(0, 0, 0), Vector3(float(std::sin(64 * Step)), 0, float(std::cos(64 * Step)))},
      {{0, 0, 0, 100, 30},
       Vector3(0, 0, 0),
       Vector3(float(std::cos(30 * Step) * std::sin(100 * Step)), float(std::sin(30 * Step) * std::sin(100 * Step)),
               float(std::cos(100 * Step)))},
  };
  materialtest::TEngine E;
  for (const Case& c : cases) {
    md3test::TModel m = Strip(3, 1);
    m.Surfaces[0].Frames[0][1] = c.v;
    bool Ok = false;
    auto Model = Read(E.Engine, md3test::Write(m), Ok);
    ASSERT_TRUE(Ok);
    const TZNT1VBOVertex& v = Model->Meshs[0].VBOs[0]->Vertices[1];
    ExpectVector(v.Position, c.Position.x, c.Position.y, c.Position.z);
    ExpectVector(v.Normal, c.Normal.x, c.Normal.y, c.Normal.z, 1e-6f);
  }
}

// A new buffer is begun when the frame would bring the count to the vertex limit.
TEST(ZNT1Model, FramesSplitIntoBuffersAtTheVertexLimit) {
  struct Case {
    int32_t Limit, NumVerts, NumFrames, FramesPerBuffer;
  } cases[] = {
      {65536, 2000, 40, 32},  // frame 32 would reach 66,000
      {6000, 2000, 5, 2},     // reaching the limit exactly is reaching it
      {6001, 2000, 7, 3},
      {2000, 2000, 3, 1},     // a frame as large as the limit fills a buffer alone
      {1999, 2000, 1, 0},     // no buffer can hold a frame: refused
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Limit);
    materialtest::TEngine E;
    E.Engine.GLCapabilities = std::make_unique<TZNT1GLCapabilities>(&E.Engine);
    E.Engine.GLCapabilities->MaxElementsVertices = c.Limit;
    bool Ok = false;
    auto Model = Read(E.Engine, md3test::Write(Strip(c.NumVerts, c.NumFrames)), Ok);
    if (c.FramesPerBuffer == 0) {
      EXPECT_FALSE(Ok);
      continue;
    }
    ASSERT_TRUE(Ok);
    const TZNT1ModelMesh& Mesh = Model->Meshs[0];
    const int32_t Buffers = (c.NumFrames + c.FramesPerBuffer - 1) / c.FramesPerBuffer;
    ASSERT_EQ(int32_t(Mesh.VBOs.size()), Buffers);
    for (int32_t f = 0; f < c.NumFrames; ++f) {
      EXPECT_EQ(Mesh.VBOFrames[size_t(f)].VBOIndex, f / c.FramesPerBuffer) << f;
      EXPECT_EQ(Mesh.VBOFrames[size_t(f)].StartVertex, (f % c.FramesPerBuffer) * c.NumVerts) << f;
      // The frame's own vertices sit there (y holds the frame number).
      const TZNT1VBO& VBO = *Mesh.VBOs[size_t(f / c.FramesPerBuffer)];
      EXPECT_EQ(VBO.Vertices[size_t(Mesh.VBOFrames[size_t(f)].StartVertex) + 5].Position.y, f / 64.0f);
    }
    for (int32_t b = 0; b < Buffers; ++b) {
      const int32_t Frames = std::min(c.FramesPerBuffer, c.NumFrames - b * c.FramesPerBuffer);
      EXPECT_EQ(Mesh.VBOs[size_t(b)]->CountVertices, Frames * c.NumVerts);
      EXPECT_LE(Mesh.VBOs[size_t(b)]->CountVertices, c.Limit);
      EXPECT_EQ(Mesh.VBOs[size_t(b)]->CountIndices, Frames * 3);
    }
  }
}

// The stored indices are frame-local, so tangents computed once over a whole buffer would reach
// only its first frame; each frame gets its own.
TEST(ZNT1Model, EveryFrameGetsItsOwnTangents) {
  materialtest::TEngine E;
  bool Ok = false;
  auto Model = Read(E.Engine, md3test::Write(md3test::TwoFrameFixture()), Ok);
  ASSERT_TRUE(Ok);
  for (const TZNT1ModelMesh& Mesh : Model->Meshs) {
    const TZNT1VBO& VBO = *Mesh.VBOs[0];
    int Turned = 0;
    for (int32_t v = 0; v < Mesh.VerticesPerFrame; ++v) {
      const TZNT1Vector4 t0 = VBO.Vertices[size_t(v)].Tangent;
      const TZNT1Vector4 t1 = VBO.Vertices[size_t(Mesh.VerticesPerFrame + v)].Tangent;
      EXPECT_NEAR(Vector3Length(Vector3(t0.x, t0.y, t0.z)), 1.0f, 1e-5) << Mesh.Name << v;
      EXPECT_NEAR(t1.x, -t0.y, 1e-5) << Mesh.Name << v;
      EXPECT_NEAR(t1.y, t0.x, 1e-5) << Mesh.Name << v;
      EXPECT_NEAR(t1.z, t0.z, 1e-5) << Mesh.Name << v;
      EXPECT_EQ(t1.w, t0.w) << Mesh.Name << v;
      Turned += std::fabs(t1.x - t0.x) + std::fabs(t1.y - t0.y) > 0.5f;
    }
    EXPECT_GT(Turned, 0) << Mesh.Name;
  }
}

TEST(ZNT1Model, DamagedCountsOffsetsAndIndicesAreRefused) {
  using md3test::Put32At;
  using md3test::Get32At;
  using Patch = std::function<void(Bytes&, const md3test::TLayout&)>;
  auto Header = [](size_t Field, int32_t Value) -> Patch {
    return [=](Bytes& b, const md3test::TLayout&) { Put32At(b, Field, Value); };
  };
  // A field of the first surface (body), or of the last (head) when Last; Relative adds the value
  // to what is stored.
  auto Surface = [](size_t Field, int32_t Value, bool Relative = false, bool Last = false) -> Patch {
    return [=](Bytes& b, const md3test::TLayout& l) {
      const size_t o = l.SurfaceStarts[Last ? 1 : 0] + Field;
      Put32At(b, o, Relative ? Get32At(b, o) + Value : Value);
    };
  };
  const int32_t Huge = 0x7FFFFFFF;
  const struct {
    const char* Name;
    Patch Damage;
  } cases[] = {
      {"ident", [](Bytes& b, const md3test::TLayout&) { b[3] = '4'; }},
      {"version 14", Header(md3test::hVersion, 14)},
      {"no frames", Header(md3test::hNumFrames, 0)},
      {"negative frames", Header(md3test::hNumFrames, -1)},
      {"huge frames", Header(md3test::hNumFrames, Huge)},
      {"frames past the end", Header(md3test::hOfsFrames, 100000)},
      {"frames before the start", Header(md3test::hOfsFrames, -56)},
      {"negative tags", Header(md3test::hNumTags, -1)},
      {"huge tags", Header(md3test::hNumTags, Huge)},
      {"tag records overflow 32 bits", Header(md3test::hNumTags, 0x40000000)},
      {"tags past the end", Header(md3test::hOfsTags, 1 << 30)},
      {"negative surfaces", Header(md3test::hNumSurfaces, -1)},
      {"huge surfaces", Header(md3test::hNumSurfaces, Huge)},
      {"surfaces past the end", Header(md3test::hOfsSurfaces, 1 << 20)},
      {"surfaces before the start", Header(md3test::hOfsSurfaces, -4)},
      {"surface ident", [](Bytes& b, const md3test::TLayout& l) { b[l.SurfaceStarts[1]] = 'X'; }},
      {"surface with fewer frames", Surface(md3test::sNumFrames, 1)},
      {"surface with more frames", Surface(md3test::sNumFrames, 3)},
      {"negative shaders", Surface(md3test::sNumShaders, -1)},
      {"huge shaders", Surface(md3test::sNumShaders, Huge)},
      {"negative vertices", Surface(md3test::sNumVerts, -1)},
      {"huge vertices", Surface(md3test::sNumVerts, Huge)},
      {"vertex records overflow 32 bits", Surface(md3test::sNumVerts, 0x40000001)},
      {"negative triangles", Surface(md3test::sNumTriangles, -1)},
      {"huge triangles", Surface(md3test::sNumTriangles, Huge)},
      {"triangles past the end", Surface(md3test::sOfsTriangles, 1 << 20)},
      {"triangles before the file", Surface(md3test::sOfsTriangles, -100000)},
      {"shaders past the end", Surface(md3test::sOfsShaders, 1 << 20)},
      {"texture coordinates past the end", Surface(md3test::sOfsSt, 1 << 20)},
      {"vertices past the end", Surface(md3test::sOfsXyzNormals, 1 << 20)},
      {"vertices reach past the end", Surface(md3test::sOfsXyzNormals, 8, true, true)},
      {"surface end 0", Surface(md3test::sOfsEnd, 0)},
      {"surface end inside its header", Surface(md3test::sOfsEnd, 107)},
      {"negative surface end", Surface(md3test::sOfsEnd, -108)},
      {"next surface past the end", Surface(md3test::sOfsEnd, Huge)},
      {"one surface read many times", [](Bytes& b, const md3test::TLayout& l) {
         Put32At(b, md3test::hNumSurfaces, 1000000);
         Put32At(b, l.SurfaceStarts[0] + md3test::sOfsEnd, 0);
       }},
      {"triangle index = vertex count", [](Bytes& b, const md3test::TLayout& l) {
         const size_t s = l.SurfaceStarts[0];
         Put32At(b, s + size_t(Get32At(b, s + md3test::sOfsTriangles)) + 16, 6);
       }},
      {"negative triangle index", [](Bytes& b, const md3test::TLayout& l) {
         const size_t s = l.SurfaceStarts[1];
         Put32At(b, s + size_t(Get32At(b, s + md3test::sOfsTriangles)), -1);
       }},
  };
  materialtest::TEngine E;
  md3test::TLayout Layout;
  const Bytes Good = md3test::Write(md3test::TwoFrameFixture(), &Layout);
  bool Ok = false;
  Read(E.Engine, Good, Ok);
  ASSERT_TRUE(Ok);
  for (const auto& c : cases) {
    Bytes b = Good;
    c.Damage(b, Layout);
    ASSERT_NE(b, Good) << c.Name;
    Read(E.Engine, b, Ok);
    EXPECT_FALSE(Ok) << c.Name;
  }
}

TEST(ZNT1Model, EveryTruncationIsRefused) {
  materialtest::TEngine E;
  const Bytes Good = md3test::Write(md3test::TwoFrameFixture());
  for (size_t n = 0; n < Good.size(); ++n) {
    bool Ok = true;
    Read(E.Engine, Bytes(Good.begin(), Good.begin() + long(n)), Ok);
    EXPECT_FALSE(Ok) << n;
  }
}

TEST(ZNT1Model, FrameBlendGivesBothFramesAtTheEndsAndMidpointsBetween) {
  materialtest::TEngine E;
  bool Ok = false;
  auto Model = Read(E.Engine, md3test::Write(md3test::TwoFrameFixture()), Ok);
  ASSERT_TRUE(Ok);
  const TZNT1ModelMesh& Mesh = Model->Meshs[0];
  const TZNT1VBOVertex* Frame[2] = {&Mesh.VBOs[0]->Vertices[0], &Mesh.VBOs[0]->Vertices[6]};
  TZNT1VBOVertices Target(6);
  auto Floats = [](const TZNT1VBOVertex& v) {
    return std::vector<float>{v.Position.x, v.Position.y, v.Position.z, v.TexCoord.x, v.TexCoord.y,
                              v.LightMapCoord.x, v.LightMapCoord.y, v.Normal.x, v.Normal.y, v.Normal.z,
                              v.Tangent.x, v.Tangent.y, v.Tangent.z, v.Tangent.w};
  };
  for (int32_t k = 0; k < 2; ++k) {
    ASSERT_TRUE(Mesh.InterpolateFrames(0, 1, float(k), Target));
    for (size_t v = 0; v < 6; ++v) {
      EXPECT_EQ(Floats(Target[v]), Floats(Frame[k][v])) << k << v;
      EXPECT_EQ(std::memcmp(&Target[v].Color, &Frame[0][v].Color, 4), 0);
    }
  }
  ASSERT_TRUE(Mesh.InterpolateFrames(0, 1, 0.5f, Target));
  for (size_t v = 0; v < 6; ++v) {
    const std::vector<float> a = Floats(Frame[0][v]), b = Floats(Frame[1][v]), Got = Floats(Target[v]);
    for (size_t i = 0; i < a.size(); ++i) EXPECT_FLOAT_EQ(Got[i], (a[i] + b[i]) / 2) << v << " " << i;
  }
  // The turned frame's midpoint of (1, 0, 0) and (0, 1, 0) is (0.5, 0.5, 0).
  ExpectVector(Target[1].Position, 0.5f, 0.5f, 0);
  // Out of range: nothing written.
  TZNT1VBOVertices Short(5);
  EXPECT_FALSE(Mesh.InterpolateFrames(0, 1, 0.5f, Short));
  EXPECT_FALSE(Mesh.InterpolateFrames(0, 2, 0.5f, Target));
  EXPECT_FALSE(Mesh.InterpolateFrames(-1, 1, 0.5f, Target));
}

// ---------------------------------------------------------------------------------------
// The library

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

std::string Fixture() { return Text(md3test::Write(md3test::TwoFrameFixture())); }
std::string Damaged() {
  Bytes b = md3test::Write(md3test::TwoFrameFixture());
  b.resize(b.size() - 1);
  return Text(b);
}

}  // namespace

TEST(ZNT1Models, GetModelSharesByNameAndRefusesWhatDoesNotLoad) {
  materialtest::TEngine E({{"models/a/base.md3", Fixture()},
                           {"models/b/other.iqm", "INTERQUAKEMODEL"},
                           {"models/c/bad.md3", Damaged()},
                           {"models/d/good.md3", Fixture()}});
  TZNT1Models Library(&E.Engine);
  TZNT1Model* Model = Library.GetModel("models/a/base.md3");
  ASSERT_NE(Model, nullptr);
  EXPECT_EQ(Model->Name, "models/a/base.md3");
  EXPECT_EQ(Library.GetModel("models/a/base.md3"), Model);
  EXPECT_EQ(Library.Count(), 1);
  // Found under the second extension, which is no MD3.
  EXPECT_EQ(Library.GetModel("models/b/other.md3"), nullptr);
  EXPECT_EQ(Library.GetModel("models/c/bad.md3"), nullptr);
  EXPECT_EQ(Library.GetModel("models/nothing.md3"), nullptr);
  EXPECT_EQ(Library.Count(), 1);
  // A damaged model beside it changes nothing for the good ones.
  TZNT1Model* Good = Library.GetModel("models/d/good.md3");
  ASSERT_NE(Good, nullptr);
  EXPECT_EQ(Good->Meshs.size(), 2u);
  EXPECT_EQ(Library.GetItem(1), Good);
  EXPECT_EQ(Library.HashMap.GetValue("models/d/good.md3"), Good);
}

TEST(ZNT1Models, ReducedModelsChainTheirNames) {
  const struct {
    Files Extra;
    std::vector<std::string> Reduced;
  } cases[] = {
      {{}, {}},
      {{{"models/a/base_1.md3", Fixture()}, {"models/a/base_2.md3", Fixture()}}, {"models/a/base_1.md3"}},
      {{{"models/a/base_1.md3", Fixture()}, {"models/a/base_1_2.md3", Fixture()}},
       {"models/a/base_1.md3", "models/a/base_1_2.md3"}},
      {{{"models/a/base_1.md3", Damaged()}, {"models/a/base_1_2.md3", Fixture()}}, {}},
  };
  for (const auto& c : cases) {
    Files f = c.Extra;
    f.push_back({"models/a/base.md3", Fixture()});
    materialtest::TEngine E(f);
    TZNT1Models Library(&E.Engine);
    TZNT1Model* Model = Library.GetModel("models/a/base.md3");
    ASSERT_NE(Model, nullptr);
    ASSERT_EQ(Model->LevelOfDetail.size(), c.Reduced.size() + 1);
    EXPECT_EQ(Model->LevelOfDetail[0], Model);
    EXPECT_EQ(Library.Count(), int32_t(c.Reduced.size()) + 1);
    for (size_t i = 0; i < c.Reduced.size(); ++i) {
      TZNT1Model* Reduced = Model->LevelOfDetail[i + 1];
      ASSERT_NE(Reduced, nullptr);
      EXPECT_EQ(Reduced->Name, c.Reduced[i]);
      EXPECT_EQ(Reduced->LevelOfDetail.size(), 1u);
      // Listed under its file name: asking for it gives the same model.
      EXPECT_EQ(Library.GetModel(c.Reduced[i]), Reduced);
    }
  }
}

TEST(ZNT1Models, SkinFilesFillAndAddSlots) {
  materialtest::TEngine E({
      {"models/a/base.md3", Fixture()},
      {"scripts/models.shader", "models/test/body\n{\n\t{\n\t\tmap $whiteimage\n\t}\n}\n"},
      {"models/a/base_default.skin",
       "body,models/test/Skin_Default.tga\r\ntag_head,models/test/tag.tga\n  HEAD , models\\test\\HeadDef.tga \n"
       "unknown,models/x.tga\nnocomma\n\n,models/empty.tga\n"},
      {"models/a/base_red.skin", "body,models/test/body.jpg\n"},
      {"models/a/other_blue.skin", "body,models/test/blue.tga\n"},
  });
  E.Shaders().Load();
  TZNT1Models Library(&E.Engine);
  TZNT1Model* Model = Library.GetModel("models/a/base.md3");
  ASSERT_NE(Model, nullptr);
  const TZNT1ModelMesh& Body = Model->Meshs[0];
  const TZNT1ModelMesh& Head = Model->Meshs[1];
  EXPECT_EQ(Body.SkinNames, (std::vector<std::string>{"default", "default2", "red"}));
  EXPECT_EQ(Body.NumSkins, 3);
  ASSERT_EQ(Body.Skins.size(), 3u);
  EXPECT_EQ(Body.Skins[0]->Name, "models/test/skin_default.tga");
  EXPECT_EQ(Body.Skins[1]->Name, "models/test/body_alt");
  // No material of the name with its extension; the script's one without it.
  TZNT1Shader* Script = E.Shaders().GetShader("models/test/body");
  ASSERT_NE(Script, nullptr);
  EXPECT_EQ(Body.Skins[2], Script);
  EXPECT_EQ(Head.SkinNames, (std::vector<std::string>{"default"}));
  EXPECT_EQ(Head.NumSkins, 1);
  EXPECT_EQ(Head.Skins[0]->Name, "models/test/headdef.tga");
  // Every slot of a multi-frame mesh is drawn with frame blending, stages regenerated.
  for (const TZNT1ModelMesh* Mesh : {&Body, &Head})
    for (TZNT1Shader* Skin : Mesh->Skins) {
      EXPECT_TRUE(Skin->DoInterpolateVertices) << Skin->Name;
      EXPECT_TRUE(Skin->Generated) << Skin->Name;
      for (TZNT1ShaderStage* Stage : Skin->Stages) EXPECT_TRUE(Stage->Generated) << Skin->Name;
    }
}

// The skin files are read whatever the MD3 read gave: the surfaces read before the damage get
// their slots, and the result still reports the failure.
TEST(ZNT1Model, LoadReadsTheSkinsEvenAfterAFailedRead) {
  materialtest::TEngine E(Files{{"models/a/base_red.skin", "body,models/test/red.tga\nhead,models/test/red.tga\n"}});
  for (const bool Intact : {true, false}) {
    TZNT1Model Model(&E.Engine, nullptr);
    const std::string File = Intact ? Fixture() : Damaged();
    TMemoryStream Stream(Bytes(File.begin(), File.end()));
    EXPECT_EQ(Model.Load(Stream, "models/a/base"), Intact);
    ASSERT_GE(Model.Meshs.size(), 1u);
    const TZNT1ModelMesh& Body = Model.Meshs[0];
    ASSERT_EQ(Body.Name, "body");  // the last surface is the damaged one
    EXPECT_EQ(Body.SkinNames.back(), "red") << Intact;
    ASSERT_NE(Body.Skins.back(), nullptr);
    EXPECT_EQ(Body.Skins.back()->Name, "models/test/red.tga");
  }
}

TEST(ZNT1Models, ReferencesReachBuffersSkinsAndReducedModels) {
  materialtest::TEngine E({{"models/a/base.md3", Fixture()}, {"models/a/base_1.md3", Fixture()}});
  E.Engine.Models = std::make_unique<TZNT1Models>(&E.Engine);
  TZNT1Model* Model = E.Engine.Models->GetModel("models/a/base.md3");
  ASSERT_NE(Model, nullptr);
  ASSERT_EQ(Model->LevelOfDetail.size(), 2u);
  TZNT1Model* Reduced = Model->LevelOfDetail[1];
  TZNT1VBO& VBO = *Model->Meshs[0].VBOs[0];
  TZNT1Shader* Skin = Model->Meshs[0].Skins[0];
  const int32_t SkinReferences = Skin->ReferenceCounter;

  Model->IncRef();
  Model->IncRef();
  EXPECT_EQ(Model->ReferenceCounter, 2);
  EXPECT_TRUE(Model->Uploaded);
  EXPECT_EQ(VBO.ReferenceCounter, 1);
  EXPECT_TRUE(VBO.Uploaded);
  EXPECT_EQ(VBO.VerticesVBOHandle, -1);  // no OpenGL in a dedicated engine
  EXPECT_EQ(Skin->ReferenceCounter, SkinReferences + 2);  // shared by both models
  EXPECT_EQ(Reduced->ReferenceCounter, 1);
  EXPECT_TRUE(Reduced->Uploaded);

  // The engine's passes over the library.
  E.Engine.Dispose();
  EXPECT_FALSE(Model->Uploaded);
  EXPECT_FALSE(Reduced->Uploaded);
  E.Engine.Upload();
  EXPECT_TRUE(Model->Uploaded);
  EXPECT_TRUE(Reduced->Uploaded);

  Model->DecRef();
  EXPECT_EQ(VBO.ReferenceCounter, 1);
  Model->DecRef();
  Model->DecRef();  // one too many: nothing
  EXPECT_EQ(Model->ReferenceCounter, 0);
  EXPECT_FALSE(Model->Uploaded);
  EXPECT_EQ(VBO.ReferenceCounter, 0);
  EXPECT_FALSE(VBO.Uploaded);
  EXPECT_EQ(Skin->ReferenceCounter, SkinReferences);
  EXPECT_EQ(Reduced->ReferenceCounter, 0);
  EXPECT_FALSE(Reduced->Uploaded);
  E.Engine.Models.reset();
}

// A quaternion holds no scale: scaled tag axes keep their rotation.
TEST(ZNT1Model, ScaledTagAxesKeepTheirRotation) {
  materialtest::TEngine E;
  md3test::TModel m = md3test::TwoFrameFixture();
  const float s = std::sqrt(2.0f);
  const std::array<std::array<float, 3>, 3> Turn = {{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}};
  const float c = std::cos(0.5f), n = std::sin(0.5f);
  const std::array<std::array<float, 3>, 3> Tilt = {{{c, 0, -n}, {0, 1, 0}, {n, 0, c}}};
  for (size_t f = 0; f < 2; ++f)
    for (size_t r = 0; r < 3; ++r)
      for (size_t k = 0; k < 3; ++k) m.Tags[f][1].Axis[r][k] = (f == 0 ? Turn : Tilt)[r][k] * s;
  bool Ok = false;
  auto Model = Read(E.Engine, md3test::Write(m), Ok);
  ASSERT_TRUE(Ok);
  for (size_t f = 0; f < 2; ++f) {
    const TZNT1Matrix4x4 M = QuaternionToMatrix4x4(Model->Tags[1].Frames[f].Quaternion);
    for (size_t r = 0; r < 3; ++r)
      for (size_t k = 0; k < 3; ++k) EXPECT_NEAR(M.M[r][k], (f == 0 ? Turn : Tilt)[r][k], 1e-6) << f << r << k;
  }
}

// Some content's frame boxes miss part of their geometry: the model tells by how much, in the
// farthest frame, from either side of the box.
TEST(ZNT1Model, FrameBoxReachIsTheFarthestVertexOutsideItsFrameBox) {
  materialtest::TEngine E;
  struct Case {
    float Frame1MinX, Frame1MaxY, Reach;
  };
  // Frame 1 holds x from -1 to 1 and y from -1 to 1 (the fixture's first frame turned).
  for (const Case& c : {Case{-2, 3, 0}, Case{-1, 1, 0}, Case{-0.75f, 3, 0.25f}, Case{-2, 0.5f, 0.5f}, Case{-0.5f, 0.25f, 0.75f}}) {
    md3test::TModel m = md3test::TwoFrameFixture();
    m.Frames[1].Min[0] = c.Frame1MinX;
    m.Frames[1].Max[1] = c.Frame1MaxY;
    bool Ok = false;
    auto Model = Read(E.Engine, md3test::Write(m), Ok);
    ASSERT_TRUE(Ok);
    EXPECT_FLOAT_EQ(Model->FrameBoxReach, c.Reach) << c.Frame1MinX << " " << c.Frame1MaxY;
  }
}

// Some content names two surfaces alike; a skin line reaches both.
TEST(ZNT1Models, SkinLineReachesEverySurfaceOfItsName) {
  md3test::TModel m = md3test::TwoFrameFixture();
  m.Surfaces[1].Name = "BODY";
  materialtest::TEngine E({{"models/a/twins.md3", Text(md3test::Write(m))},
                           {"models/a/twins_red.skin", "body,models/test/red.tga\n"}});
  TZNT1Models Library(&E.Engine);
  TZNT1Model* Model = Library.GetModel("models/a/twins.md3");
  ASSERT_NE(Model, nullptr);
  for (const TZNT1ModelMesh& Mesh : Model->Meshs) {
    ASSERT_EQ(Mesh.SkinNames.back(), "red");
    EXPECT_EQ(Mesh.Skins.back()->Name, "models/test/red.tga");
  }
}
