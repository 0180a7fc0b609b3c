// The map's GPU objects: buffers, light-map atlas and light-grid texture read back equal to
// the arrays in memory, the group buffers draw, Dispose deletes every name.
#include <cstring>

#include "assets/ZNT1Texture.h"
#include "core/ZNT1Command.h"
#include "game/Game.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "material/ZNT1Shader.h"
#include "platform/ZNT1OpenGL.h"
#include "support/BSPWriter.h"
#include "support/EngineRunFixture.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"
#include "world/WorldTestSupport.h"
#include "world/ZNT1BSP.h"

namespace {

class BSPGL : public GLEngineFixture {
 protected:
  BSPGL() : GLEngineFixture(true) {}
  void SetUp() override {
    GLEngineFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    engine.Textures = std::make_unique<TZNT1Textures>(&engine);
    engine.Textures->CreateDefaultTextures();
    engine.LightMaps = std::make_unique<TZNT1Textures>(&engine);
    engine.Shaders = std::make_unique<TZNT1Shaders>(&engine);
    engine.Shaders->Parse(bspwriter::FixtureShaderScript());
  }
  void TearDown() override {
    map.reset();
    engine.Shaders.reset();
    engine.LightMaps.reset();
    engine.Textures.reset();
    GLEngineFixture::TearDown();
  }
  void LoadAndUpload(const std::vector<uint8_t>& Bytes, const std::string& Name = "fixture") {
    map = worldtest::LoadMapBytes(engine, Bytes, Name);
    ASSERT_TRUE(map);
    map->Upload();
  }

  template <typename T>
  static void ExpectBufferHolds(GLenum Target, uint32_t Handle, const std::vector<T>& Data) {
    ASSERT_NE(Handle, 0u);
    ASSERT_TRUE(glIsBuffer(Handle));
    glBindBuffer(Target, Handle);
    GLint Size = 0;
    glGetBufferParameteriv(Target, GL_BUFFER_SIZE, &Size);
    ASSERT_EQ(size_t(Size), Data.size() * sizeof(T));
    std::vector<uint8_t> Read(static_cast<size_t>(Size));
    if (Size) glGetBufferSubData(Target, 0, Size, Read.data());
    glBindBuffer(Target, 0);
    EXPECT_EQ(0, std::memcmp(Read.data(), Data.data(), Read.size()));
  }

  // Every buffer name the map made, for checks after Dispose.
  std::vector<uint32_t> BufferNames() const {
    std::vector<uint32_t> n;
    for (const TBSPVBO& b : map->BSPGroupVBOs) n.insert(n.end(), {b.VertexVBOID, b.StaticIndexVBOID});
    for (int i = 0; i < 6; ++i) n.insert(n.end(), {map->VertexSkySideVBOID[i], map->IndexSkySideVBOID[i]});
    n.insert(n.end(), {map->VertexSkyVBOID, map->IndexSkyVBOID});
    return n;
  }

  void ExpectUploadedEqualsMemory() {
    ASSERT_TRUE(map->Uploaded);
    ASSERT_GT(map->CountBSPGroups, 0);
    for (const TBSPVBO& b : map->BSPGroupVBOs) {
      ExpectBufferHolds(GL_ARRAY_BUFFER, b.VertexVBOID, b.Vertices);
      ExpectBufferHolds(GL_ELEMENT_ARRAY_BUFFER, b.StaticIndexVBOID, b.StaticIndices);
      EXPECT_EQ(b.VAO != 0, engine.GLCapabilities->VertexArrayObject);
    }
    for (int i = 0; i < 6; ++i) {
      ExpectBufferHolds(GL_ARRAY_BUFFER, map->VertexSkySideVBOID[i], map->SkyVBOSideVertices[i]);
      ExpectBufferHolds(GL_ELEMENT_ARRAY_BUFFER, map->IndexSkySideVBOID[i], map->SkyVBOSideIndices[i]);
    }
    ExpectBufferHolds(GL_ARRAY_BUFFER, map->VertexSkyVBOID, map->SkyVBOVertices);
    ExpectBufferHolds(GL_ELEMENT_ARRAY_BUFFER, map->IndexSkyVBOID, map->SkyVBOIndices);

    // The first atlas as sent.
    if (map->CountBSPLightMaps > 0 && engine.LightMaps->Count() > 0) {
      const TZNT1Texture* Atlas = engine.LightMaps->GetItem(0);
      ASSERT_TRUE(Atlas->Handle);
      ASSERT_TRUE(Atlas->Data);
      std::vector<uint8_t> Pixels(size_t(Atlas->Width) * size_t(Atlas->Height) * 4);
      glBindTexture(GL_TEXTURE_2D, Atlas->Handle);
      glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, Pixels.data());
      glBindTexture(GL_TEXTURE_2D, 0);
      EXPECT_EQ(0, std::memcmp(Pixels.data(), Atlas->Data, Pixels.size()));
    }
    // The light grid exists in full quality only.
    const TZNT1BSPLightVoxelTexture* Grid = map->LightGridTexture.get();
    if (engine.GLCapabilities->LowQuality || !map->UseLightGrid) {
      EXPECT_EQ(Grid, nullptr);
    } else {
      ASSERT_TRUE(Grid && Grid->Uploaded);
      std::vector<uint8_t> Texels(Grid->Buffer.size());
      glBindTexture(GL_TEXTURE_3D, Grid->Handle);
      glGetTexImage(GL_TEXTURE_3D, 0, GL_RGBA, GL_UNSIGNED_BYTE, Texels.data());
      glBindTexture(GL_TEXTURE_3D, 0);
      EXPECT_EQ(Texels, Grid->Buffer);
    }
  }

  // Draws every group range from above, orthographic over the world box, into a small
  // framebuffer; returns the covered pixels.
  int32_t CoveredPixelsFromAbove() {
    const char* vs =
        "#version 130\nin vec3 p;\nuniform vec4 box;\nvoid main() { gl_Position = vec4((p.x - box.x) / box.z * 2.0 - "
        "1.0, (p.y - box.y) / box.w * 2.0 - 1.0, 0.0, 1.0); }\n";
    const char* fs = "#version 130\nout vec4 c;\nvoid main() { c = vec4(1.0); }\n";
    GLuint v = glCreateShader(GL_VERTEX_SHADER), f = glCreateShader(GL_FRAGMENT_SHADER), prog = glCreateProgram();
    glShaderSource(v, 1, &vs, nullptr);
    glCompileShader(v);
    glShaderSource(f, 1, &fs, nullptr);
    glCompileShader(f);
    glAttachShader(prog, v);
    glAttachShader(prog, f);
    glBindAttribLocation(prog, 0, "p");
    glLinkProgram(prog);
    GLint Linked = 0;
    glGetProgramiv(prog, GL_LINK_STATUS, &Linked);
    EXPECT_TRUE(Linked);
    GLuint fbo = 0, rb = 0, vao = 0;
    glGenFramebuffers(1, &fbo);
    glGenRenderbuffers(1, &rb);
    glBindRenderbuffer(GL_RENDERBUFFER, rb);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, 64, 64);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, rb);
    glViewport(0, 0, 64, 64);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glDisable(GL_BLEND);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glUseProgram(prog);
    const TZNT1AABB& w = map->BSPMapModels[0].AABB;
    glUniform4f(glGetUniformLocation(prog, "box"), w.Min.x, w.Min.y, w.Max.x - w.Min.x, w.Max.y - w.Min.y);
    glGenVertexArrays(1, &vao);
    glBindVertexArray(vao);
    for (const TBSPGroup& g : map->BSPGroups)
      for (const TBSPGroupVBORange& r : g.VBORanges) {
        const TBSPVBO& b = map->BSPGroupVBOs[size_t(r.Index)];
        glBindBuffer(GL_ARRAY_BUFFER, b.VertexVBOID);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, b.StaticIndexVBOID);
        glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, sizeof(TZNT1VBOVertex), nullptr);
        glEnableVertexAttribArray(0);
        glDrawElements(GL_TRIANGLES, r.CountIndices, GL_UNSIGNED_INT,
                       reinterpret_cast<const void*>(uintptr_t(r.FirstIndex) * 4));
      }
    std::vector<uint8_t> Pixels(64 * 64 * 4);
    glReadPixels(0, 0, 64, 64, GL_RGBA, GL_UNSIGNED_BYTE, Pixels.data());
    int32_t Covered = 0;
    for (size_t i = 0; i < Pixels.size(); i += 4) Covered += Pixels[i] == 255;
    glBindVertexArray(0);
    glDeleteVertexArrays(1, &vao);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    glUseProgram(0);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &fbo);
    glDeleteRenderbuffers(1, &rb);
    glDeleteProgram(prog);
    glDeleteShader(v);
    glDeleteShader(f);
    return Covered;
  }

  void ExpectDisposeDeletesEverything() {
    const std::vector<uint32_t> Names = BufferNames();
    std::vector<uint32_t> VAOs;
    for (const TBSPVBO& b : map->BSPGroupVBOs) VAOs.push_back(b.VAO);
    const uint32_t Grid = map->LightGridTexture ? map->LightGridTexture->Handle : 0;
    map->Dispose();
    EXPECT_FALSE(map->Uploaded);
    for (uint32_t n : Names) EXPECT_FALSE(glIsBuffer(n)) << n;
    for (uint32_t n : VAOs) {
      if (n) {
        EXPECT_FALSE(glIsVertexArray(n));
      }
    }
    if (Grid) {
      EXPECT_FALSE(glIsTexture(Grid));
    }
    for (uint32_t n : BufferNames()) EXPECT_EQ(n, 0u);
    map->Dispose();  // nothing more to do
  }

  std::unique_ptr<TZNT1BSP> map;
};

}  // namespace

TEST_F(BSPGL, FixtureUploadsReadsBackDrawsAndDisposes) {
  LoadAndUpload(bspwriter::MakeFixture().File.Build());
  ExpectUploadedEqualsMemory();
  // A second upload makes nothing new.
  const std::vector<uint32_t> Before = BufferNames();
  map->Upload();
  EXPECT_EQ(BufferNames(), Before);
  // The floor covers the room's square, and the room most of the world box.
  EXPECT_GT(CoveredPixelsFromAbove(), 64 * 64 * 3 / 4);
  ExpectDisposeDeletesEverything();
  // The arrays stay, so the map uploads again.
  map->Upload();
  ExpectUploadedEqualsMemory();
}

// A map freed while uploaded (the next map load) takes its GPU objects with it.
TEST_F(BSPGL, FreeingAnUploadedMapDeletesItsGPUObjects) {
  LoadAndUpload(bspwriter::MakeFixture().File.Build());
  ASSERT_TRUE(map->Uploaded);
  const std::vector<uint32_t> Names = BufferNames();
  std::vector<uint32_t> VAOs;
  for (const TBSPVBO& b : map->BSPGroupVBOs)
    if (b.VAO) VAOs.push_back(b.VAO);
  const uint32_t Grid = map->LightGridTexture && map->LightGridTexture->Uploaded ? map->LightGridTexture->Handle : 0;
  for (uint32_t n : Names) ASSERT_TRUE(glIsBuffer(n)) << n;
  map.reset();
  for (uint32_t n : Names) EXPECT_FALSE(glIsBuffer(n)) << n;
  for (uint32_t n : VAOs) EXPECT_FALSE(glIsVertexArray(n)) << n;
  if (Grid) EXPECT_FALSE(glIsTexture(Grid));
}

TEST_F(BSPGL, WithoutGroupsTheFaceBuffersGoUp) {
  bspwriter::TFixture x = bspwriter::MakeFixture();
  for (TBSPFace& f : x.File.Faces)
    if (f.FaceType != FACE_PATCH) f.FaceType = FACE_FLARE;
  for (TBSPFace& f : x.File.Faces) f.textureID = f.FaceType == FACE_PATCH ? -1 : f.textureID;
  LoadAndUpload(x.File.Build());
  ASSERT_EQ(map->CountBSPGroups, 0);
  ASSERT_EQ(map->CountBSPVBOs, 1);
  const TBSPVBO& b = map->BSPVBOs[0];
  ExpectBufferHolds(GL_ARRAY_BUFFER, b.VertexVBOID, b.Vertices);
  ExpectBufferHolds(GL_ELEMENT_ARRAY_BUFFER, b.StaticIndexVBOID, b.StaticIndices);
  EXPECT_EQ(b.DynamicIndexVBOID, 0u);
  const uint32_t Names[2] = {b.VertexVBOID, b.StaticIndexVBOID};
  map->Dispose();
  for (uint32_t n : Names) EXPECT_FALSE(glIsBuffer(n));
}

TEST_F(BSPGL, SkyGeometry) {
  LoadAndUpload(bspwriter::MakeFixture().File.Build());
  for (int i = 0; i < 6; ++i) {
    EXPECT_LE(map->SkyVBOSideVertices[i].size(), 81u);
    EXPECT_EQ(map->SkyVBOSideIndices[i].size(), 384u);
    // The corner s = t = -1 is the first grid point.
    EXPECT_FLOAT_EQ(map->SkyVBOSideVertices[i][0].TexCoord.x, 1.0f / 256);
    EXPECT_FLOAT_EQ(map->SkyVBOSideVertices[i][0].TexCoord.y, 255.0f / 256);
    EXPECT_FLOAT_EQ(Vector3Length(map->SkyVBOSideVertices[i][0].Normal), 1.0f);
  }
  EXPECT_LE(map->SkyVBOVertices.size(), 486u);
  EXPECT_LT(map->SkyVBOVertices.size(), 486u);  // neighbouring sides share their edge points
  EXPECT_EQ(map->SkyVBOIndices.size(), 2304u);
  for (uint32_t i : map->SkyVBOIndices) EXPECT_LT(i, map->SkyVBOVertices.size());
  for (const TZNT1VBOVertex& v : map->SkyVBOVertices) {
    EXPECT_TRUE(std::isfinite(v.TexCoord.x) && std::isfinite(v.TexCoord.y));
    EXPECT_EQ(v.Color.a, 255);
  }
}

TEST_F(BSPGL, LargestMap) {
  REQUIRE_CONTENT_DIR();
  // The largest of the stock archives: the covered area below is that map's figure.
  const auto& Maps = worldtest::ContentMaps();
  const auto It = std::find_if(Maps.rbegin(), Maps.rend(), [](const worldtest::MapEntry& m) { return m.Stock(); });
  ASSERT_NE(It, Maps.rend());
  const worldtest::MapEntry& Largest = *It;
  ASSERT_TRUE(engine.Archives->LoadDirectory(testdata::ContentDir() + "/"));
  engine.Archives->Finish();
  engine.Shaders = std::make_unique<TZNT1Shaders>(&engine);
  engine.Shaders->Load();
  LoadAndUpload(Largest.Data, Largest.Name);
  ExpectUploadedEqualsMemory();
  EXPECT_GT(CoveredPixelsFromAbove(), 64 * 64 / 4);
  ExpectDisposeDeletesEverything();
}

namespace {

// The program's engine and game on their own window; notes what the loading screen showed.
class ProgramEngine : public TZNT1Engine {
 public:
  ProgramEngine() : TZNT1Engine(&CreateGameOfClass<TGame>, false) {}
  void ShowLoadProgress(bool Force, float Progress) override {
    if (Force && Loading) {
      Forced.push_back(Progress);
      LevelShotSeen = LevelShotSeen || LevelShotTexture;
    }
    TZNT1Engine::ShowLoadProgress(Force, Progress);
  }
  std::vector<float> Forced;
  bool LevelShotSeen = false;
};

}  // namespace

class BSPProgramGL : public EngineRunFixture {};

TEST_F(BSPProgramGL, MapCommandLoadsAContentMap) {
  REQUIRE_CONTENT_DIR();
  auto e = std::make_unique<ProgramEngine>();
  ASSERT_TRUE(MountContent(*e));
  ASSERT_TRUE(e->Init()) << e->InitError;
  e->Game = e->GameClass(e.get());
  const size_t Before = e->Console->Lines.Strings.size();
  e->Command->Queue("map oa_dm1\n");
  e->Command->ExecuteCommandBuffer();
  for (size_t i = Before; i < e->Console->Lines.Strings.size(); ++i)
    EXPECT_EQ(e->Console->Lines.Strings[i].find("ERROR"), std::string::npos) << e->Console->Lines.Strings[i];
  ASSERT_TRUE(e->BSP);
  EXPECT_TRUE(e->BSP->Uploaded);
  EXPECT_NE(e->BSP->BSPGroupVBOs.at(0).VertexVBOID, 0u);
  EXPECT_TRUE(e->LevelShotSeen);
  // The bar filled to one half in the map loader, then to the end.
  EXPECT_NE(std::find(e->Forced.begin(), e->Forced.end(), 0.5f), e->Forced.end());
  EXPECT_EQ(e->Forced.back(), 1.0f);
  EXPECT_FALSE(e->Loading);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
  e->Game.reset();
  e->UnloadMap();
}
