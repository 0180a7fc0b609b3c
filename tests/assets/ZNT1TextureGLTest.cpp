#include <gtest/gtest.h>

#include "ZipTestSupport.h"
#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Texture.h"
#include "core/ZNT1Engine.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1SMAAArea.h"
#include "gpu/ZNT1SMAASearch.h"
#include "platform/ZNT1OpenGL.h"
#include "support/DDSWriter.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"

using namespace ziptest;

namespace {

// 3 x 5, 32-bit, top row first.
Bytes OddTGA() {
  Bytes f = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 5, 0, 32, 0x28};
  for (int i = 0; i < 15; ++i) f.insert(f.end(), {uint8_t(i), 0, 200, 255});
  return f;
}

class TextureGL : public GLContextFixture {
 protected:
  void SetUp() override {
    GLContextFixture::SetUp();
    if (IsSkipped() || HasFailure()) return;
    engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<TZNT1Game>, false);
    engine->GLCapabilities = std::make_unique<TZNT1GLCapabilities>(engine.get());
    engine->GLCapabilities->Query();
    std::vector<Entry> entries(2);
    entries[0].Name = "t/levels.dds";
    entries[0].Data = ddswriter::MipChain(4);  // level L has R = 10 * L
    entries[1].Name = "t/odd.tga";
    entries[1].Data = OddTGA();
    auto* stream = new TZNT1MemoryInputStream(BuildZip(entries).Bytes_);
    ASSERT_TRUE(engine->Archives->Load(stream, "t.pk3", true));
    engine->Archives->Finish();
    lib = std::make_unique<TZNT1Textures>(engine.get());
    while (glGetError() != GL_NO_ERROR) {
    }
  }
  void TearDown() override {
    lib.reset();
    engine.reset();
  }

  static GLint Param(GLuint Handle, GLenum Name) {
    GLint v = 0;
    glBindTexture(GL_TEXTURE_2D, Handle);
    glGetTexParameteriv(GL_TEXTURE_2D, Name, &v);
    glBindTexture(GL_TEXTURE_2D, 0);
    return v;
  }
  static GLint LevelWidth(GLuint Handle, GLint Level) {
    GLint v = 0;
    glBindTexture(GL_TEXTURE_2D, Handle);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, Level, GL_TEXTURE_WIDTH, &v);
    glBindTexture(GL_TEXTURE_2D, 0);
    return v;
  }
  static std::vector<uint8_t> Read(GLuint Handle, GLint Level, int W, int H) {
    std::vector<uint8_t> p(size_t(W) * H * 4);
    glBindTexture(GL_TEXTURE_2D, Handle);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, Level, GL_RGBA, GL_UNSIGNED_BYTE, p.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    return p;
  }

  std::unique_ptr<TZNT1Engine> engine;
  std::unique_ptr<TZNT1Textures> lib;
};

}  // namespace

TEST_F(TextureGL, BuiltInTexturesUploadWithMipChains) {
  lib->CreateDefaultTextures();
  TZNT1Texture* fog = lib->FogTexture;
  ASSERT_TRUE(fog->Uploaded && lib->SMAAAreaTexture->Uploaded && lib->SMAASearchTexture->Uploaded);
  EXPECT_TRUE(glIsTexture(fog->Handle));
  const auto* fogPixels = static_cast<const uint8_t*>(fog->Data);
  EXPECT_TRUE(Read(fog->Handle, 0, 256, 32) == std::vector<uint8_t>(fogPixels, fogPixels + 256 * 32 * 4));
  EXPECT_EQ(LevelWidth(fog->Handle, 1), 128);
  EXPECT_EQ(Param(fog->Handle, GL_TEXTURE_MIN_FILTER), GL_LINEAR_MIPMAP_LINEAR);
  EXPECT_EQ(Param(fog->Handle, GL_TEXTURE_MAG_FILTER), GL_LINEAR);
  EXPECT_EQ(Param(fog->Handle, GL_TEXTURE_WRAP_S), GL_CLAMP_TO_EDGE);
  EXPECT_EQ(Param(fog->Handle, GL_TEXTURE_WRAP_T), GL_CLAMP_TO_EDGE);
  // The lookup tables keep their size and bytes at level 0 (GLU would rescale them).
  for (const TZNT1Texture* table : {lib->SMAAAreaTexture, lib->SMAASearchTexture}) {
    EXPECT_EQ(LevelWidth(table->Handle, 0), table->Width);
    EXPECT_EQ(LevelWidth(table->Handle, 1), table->Width / 2);
  }
  const std::vector<uint8_t> area = Read(lib->SMAAAreaTexture->Handle, 0, 160, 560);
  for (size_t i = 0; i < 160 * 560; i++)
    ASSERT_TRUE(area[i * 4] == SMAAAreaData()[i * 2] && area[i * 4 + 1] == SMAAAreaData()[i * 2 + 1]) << i;
  const std::vector<uint8_t> searchPixels = Read(lib->SMAASearchTexture->Handle, 0, 66, 33);
  for (size_t i = 0; i < 66 * 33; i++) ASSERT_EQ(searchPixels[i * 4], SMAASearchData()[i]) << i;
  const GLuint search = lib->SMAASearchTexture->Handle;
  EXPECT_EQ(Param(search, GL_TEXTURE_MIN_FILTER), GL_NEAREST_MIPMAP_NEAREST);
  EXPECT_EQ(Param(search, GL_TEXTURE_MAG_FILTER), GL_NEAREST);
  const float maxAnisotropy = engine->GLCapabilities->MaxAnisotropy;
  if (maxAnisotropy > 0.0f) {
    GLfloat a = 0.0f;
    glBindTexture(GL_TEXTURE_2D, fog->Handle);
    glGetTexParameterfv(GL_TEXTURE_2D, GL_TEXTURE_MAX_ANISOTROPY_EXT, &a);
    EXPECT_EQ(a, maxAnisotropy > 8.0f ? 8.0f : float(int(maxAnisotropy)));
  }

  // Unreferenced built-ins reach the GPU on their first reference, and leave it on the last.
  TZNT1Texture* white = lib->WhiteTexture;
  EXPECT_FALSE(white->Uploaded);
  white->IncRef();
  ASSERT_TRUE(white->Uploaded);
  EXPECT_TRUE(Read(white->Handle, 0, 8, 8) == std::vector<uint8_t>(8 * 8 * 4, 255));
  EXPECT_EQ(Param(white->Handle, GL_TEXTURE_WRAP_S), GL_REPEAT);
  const GLuint old = white->Handle;
  white->DecRef();
  EXPECT_FALSE(glIsTexture(old));
  ASSERT_NE(white->Data, nullptr);
  white->IncRef();
  EXPECT_TRUE(glIsTexture(white->Handle));

  // The engine's passes: dispose everything, upload only what is referenced.
  lib->Dispose();
  EXPECT_FALSE(glIsTexture(fog->Handle));
  lib->Upload();
  EXPECT_TRUE(fog->Uploaded && glIsTexture(fog->Handle));
  EXPECT_TRUE(white->Uploaded);
  EXPECT_FALSE(lib->DefaultTexture->Uploaded);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(TextureGL, StoredLevelsSetTheMaxLevelAndFileTexturesDropTheirPixels) {
  TZNT1Texture* t = lib->FindTextureFile("t/levels.dds", true, true, GL_REPEAT, 0, 0);
  ASSERT_NE(t, nullptr);
  t->IncRef();
  ASSERT_TRUE(t->Uploaded);
  EXPECT_EQ(t->CountMipMaps, 3);
  EXPECT_EQ(Param(t->Handle, GL_TEXTURE_MAX_LEVEL), 3);
  EXPECT_EQ(LevelWidth(t->Handle, 3), 1);
  EXPECT_EQ(Read(t->Handle, 1, 4, 4)[0], 10);
  EXPECT_EQ(Read(t->Handle, 3, 1, 1)[0], 30);
  EXPECT_EQ(t->Data, nullptr);
  EXPECT_EQ(t->MipMaps[0].Data, nullptr);
  const GLuint handle = t->Handle;
  t->DecRef();
  EXPECT_FALSE(t->Uploaded);
  EXPECT_FALSE(glIsTexture(handle));
  // Read again from the archive on the next reference.
  t->IncRef();
  EXPECT_EQ(Read(t->Handle, 2, 2, 2)[0], 20);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(TextureGL, MissingImageAndOddSizes) {
  // An image that does not load still gets a name and shows opaque black.
  TZNT1Texture* missing = lib->CreateTexture("m", "t/absent.tga", nullptr, 0, 0, true, true, GL_REPEAT, 0, 0);
  missing->IncRef();
  ASSERT_TRUE(missing->Uploaded);
  EXPECT_TRUE(glIsTexture(missing->Handle));
  EXPECT_TRUE(Read(missing->Handle, 0, 1, 1) == (std::vector<uint8_t>{0, 0, 0, 255}));

  // A size that is no power of two gets a whole mip chain from level 0.
  TZNT1Texture* odd = lib->FindTextureFile("t/odd", true, true, GL_REPEAT, 0, 0);
  ASSERT_NE(odd, nullptr);
  odd->IncRef();
  ASSERT_TRUE(odd->Uploaded);
  const GLint w0 = LevelWidth(odd->Handle, 0);
  EXPECT_GT(w0, 0);
  GLint levels = 0;
  while (levels < 16 && LevelWidth(odd->Handle, levels) > 0) ++levels;
  GLint h0 = 0;
  glBindTexture(GL_TEXTURE_2D, odd->Handle);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h0);
  glBindTexture(GL_TEXTURE_2D, 0);
  int expected = 1;
  for (int s = std::max(w0, h0); s > 1; s /= 2) ++expected;
  EXPECT_EQ(levels, expected);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// The engine's level-shot request and a material's stage texture against the installed content.
TEST_F(TextureGL, RealContentPicturesLoadAndUpload) {
  REQUIRE_CONTENT_DIR();
  TZNT1Archives& archives = *engine->Archives;
  ASSERT_TRUE(archives.LoadDirectory(testdata::ContentDir() + "/"));
  archives.Finish();
  const struct {
    const char* Name;
    const char* File;
  } cases[] = {
      {"levelshots/am_galmevish.tga", "levelshots/am_galmevish.jpg"},
      {"levelshots/am_galmevish2.tga", "levelshots/am_galmevish2.tga"},
      {"textures/effects/envmapbfg.tga", "textures/effects/envmapbfg.jpg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TZNT1Texture* t = lib->FindTextureFile(c.Name, false, false, 0x2900, 0.0f, 0.0f);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->FileName, c.File);
    t->IncRef();
    ASSERT_TRUE(t->Uploaded);
    EXPECT_GT(LevelWidth(t->Handle, 0), 1);
    EXPECT_GT(LevelWidth(t->Handle, 1), 0);
    EXPECT_EQ(t->Data, nullptr);
    t->DecRef();
  }
  EXPECT_EQ(lib->FindTextureFile("levelshots/no_such_map.tga", false, false, 0x2900, 0.0f, 0.0f), nullptr);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}
