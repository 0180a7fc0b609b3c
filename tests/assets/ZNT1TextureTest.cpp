#include "assets/ZNT1Texture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ZipTestSupport.h"
#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "platform/ZNT1OpenGL.h"
#include "support/DDSWriter.h"
#include "support/KeepAliveEngine.h"

using namespace ziptest;

namespace {

using Pixels = std::vector<uint8_t>;  // RGBA, top row first

// An uncompressed 32-bit TGA stored top row first.
Bytes TGA(int W, int H, const Pixels& rgba) {
  Bytes f = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(W), uint8_t(W >> 8), uint8_t(H), uint8_t(H >> 8), 32, 0x28};
  for (size_t i = 0; i < rgba.size(); i += 4) f.insert(f.end(), {rgba[i + 2], rgba[i + 1], rgba[i], rgba[i + 3]});
  return f;
}

Bytes SolidTGA(int W, int H, uint8_t R, uint8_t G, uint8_t B, uint8_t A = 255) {
  Pixels p;
  for (int i = 0; i < W * H; ++i) p.insert(p.end(), {R, G, B, A});
  return TGA(W, H, p);
}

// A dedicated engine (no OpenGL) whose archives hold the given files.
class TestEngine {
 public:
  explicit TestEngine(const Files& F = {}) {
    AddFiles(*Engine.Archives, F);
    Engine.Archives->Finish();
  }
  TZNT1Engine Engine{&CreateGameOfClass<TZNT1Game>, true};
  TZNT1Textures Textures{&Engine};
};

const uint8_t* PixelAt(const TZNT1Texture* t, int x, int y) {
  return static_cast<const uint8_t*>(t->Data) + (size_t(y) * size_t(t->Width) + size_t(x)) * 4;
}

std::string Hex(const std::string& s) {
  std::string r;
  for (unsigned char c : s) r += c >= 32 && c < 127 ? std::string(1, char(c)) : "<" + std::to_string(c) + ">";
  return r;
}

}  // namespace

TEST(ZNT1Texture, HashNameTable) {
  const struct {
    const char* Name;
    bool MipMap, AllowPicMip;
    int32_t Wrap;
    float Overbright, Bump;
    std::string Key;
  } cases[] = {
      {"$white", true, true, GL_CLAMP_TO_EDGE, 2.0f, 1.0f, "$white"},
      {"x", true, false, GL_REPEAT, 0.0f, 0.0f, std::string("x\x01\x02") + "00002901" "00000000" "00000000"},
      {"x", false, false, 0, 0.0f, 0.0f, std::string("x\x01\x00", 3) + "00000000" "00000000" "00000000"},
      {"a/b", false, true, 0x812F, 1.0f, -2.0f, std::string("a/b\x01\x01") + "0000812F" "3F800000" "C0000000"},
      {"", true, true, -1, 0.0f, 0.0f, std::string("\x01\x03") + "FFFFFFFF" "00000000" "00000000"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Hex(GetHashName(c.Name, c.MipMap, c.AllowPicMip, c.Wrap, c.Overbright, c.Bump)), Hex(c.Key));
}

TEST(ZNT1Textures, FindTextureFileSearchOrder) {
  const Bytes img = SolidTGA(1, 1, 9, 9, 9);
  TestEngine e({{"textures/a/b.png", img},         {"textures/a/b.tga", img},   {"textures/c/d.jpeg", img},
                {"dds/textures/e/f.dds", img},     {"textures/g/h.wal", img},   {"textures/a.png", img},
                {"dir/x.y/c.jpg", img},            {"maps/m.tga", img}});
  const struct {
    const char* Name;
    const char* File;  // nullptr: no texture
  } cases[] = {
      {"textures/a/b.tga", "textures/a/b.png"},  // the extension is only a hint
      {"textures/a/b", "textures/a/b.png"},
      {"textures/c/d.tga", "textures/c/d.jpeg"},
      {"textures/e/f.tga", "dds/textures/e/f.dds"},
      {"textures/g/h.wal", "textures/g/h.wal"},  // no candidate: the name itself
      {"textures/a.b/c", "textures/a.png"},      // "/" does not end the extension search
      {"dir\\x.y\\c", "dir\\x.y\\c.jpg"},        // "\" does
      {"Maps/M.TGA", "Maps/M.tga"},              // archive lookups ignore case
      {"textures/g/h.tga", nullptr},
      {"textures/none", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const int32_t before = e.Textures.Count();
    TZNT1Texture* t = e.Textures.FindTextureFile(c.Name, true, true, GL_REPEAT, 0.0f, 0.0f);
    if (!c.File) {
      EXPECT_EQ(t, nullptr);
      EXPECT_EQ(e.Textures.Count(), before);
      continue;
    }
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->FileName, c.File);
    EXPECT_EQ(t->Name, c.Name);
    EXPECT_TRUE(t->Disposable);
    EXPECT_EQ(t->Data, nullptr);  // read only when used
    EXPECT_FALSE(t->Uploaded);
    EXPECT_EQ(t->ReferenceCounter, 0);
  }
}

TEST(ZNT1Textures, SameParametersShareATextureOthersDoNot) {
  TestEngine e({{"textures/a/b.tga", SolidTGA(1, 1, 1, 2, 3)}});
  TZNT1Textures& lib = e.Textures;
  TZNT1Texture* t = lib.FindTextureFile("textures/a/b", true, true, GL_REPEAT, 0.0f, 0.0f);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(lib.FindTextureFile("textures/a/b", true, true, GL_REPEAT, 0.0f, 0.0f), t);
  TZNT1Texture* clamped = lib.FindTextureFile("textures/a/b", true, true, GL_CLAMP_TO_EDGE, 0.0f, 0.0f);
  ASSERT_NE(clamped, nullptr);
  EXPECT_NE(clamped, t);
  EXPECT_NE(lib.FindTextureFile("textures/a/b", true, true, GL_REPEAT, 1.5f, 0.0f), t);
  EXPECT_NE(lib.FindTextureFile("textures/a/b.tga", true, true, GL_REPEAT, 0.0f, 0.0f), t);  // another name
  EXPECT_EQ(lib.Count(), 4);

  // The light-map library is emptied per map: afterwards a request makes a new texture.
  lib.ClearAll();
  EXPECT_EQ(lib.Count(), 0);
  TZNT1Texture* again = lib.FindTextureFile("textures/a/b", true, true, GL_REPEAT, 0.0f, 0.0f);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(lib.Count(), 1);
  EXPECT_EQ(lib.HashMap->GetValue(again->HashName), again);
}

TEST(ZNT1Texture, LoadDecodesAndRedirectsOnce) {
  auto padded = [](std::string Text, size_t Size) {
    Text.resize(Size, ' ');
    return ToBytes(Text);
  };
  TestEngine e({{"t/image.tga", SolidTGA(3, 2, 10, 20, 30)},
                {"t/to254.tga", padded(" \tIMAGE.TGA\r\n", 254)},
                {"t/to255.tga", padded("image.tga", 255)},
                {"t/tomissing.tga", ToBytes("nothere.tga")},
                {"t/twice.tga", ToBytes("to254.tga")},
                {"t/broken.tga", Bytes(300, 7)},
                {"t/empty.tga", {}},
                {"noslash.tga", ToBytes("t/image.tga")}});
  const struct {
    const char* File;
    bool Loads;
  } cases[] = {
      {"t/image.tga", true},       {"t/to254.tga", true},      {"t/to255.tga", false},
      {"t/tomissing.tga", false},  {"t/twice.tga", false},     {"t/broken.tga", false},
      {"t/empty.tga", false},      {"t/absent.tga", false},    {"noslash.tga", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    TZNT1Texture* t = e.Textures.CreateTexture(c.File, c.File, nullptr, 0, 0, true, true, GL_REPEAT, 0, 0);
    EXPECT_EQ(t->Load(), c.Loads);
    EXPECT_EQ(t->Data != nullptr, c.Loads);
    if (c.Loads) {
      EXPECT_EQ(t->Width, 3);
      EXPECT_EQ(t->Height, 2);
      EXPECT_EQ(PixelAt(t, 2, 1)[2], 30);
      EXPECT_EQ(t->CountMipMaps, 0);
      EXPECT_FALSE(t->Load());  // pixels present: nothing to do
    }
    EXPECT_FALSE(t->Uploaded);
  }
  // A texture made from pixels never loads.
  TZNT1Texture* own = e.Textures.CreateTexture("own", "t/image.tga", std::calloc(4, 1), 1, 1, true, true, 0, 0, 0);
  EXPECT_FALSE(own->Disposable);
  EXPECT_FALSE(own->Load());
}

TEST(ZNT1Texture, StoredMipLevelsOfADDSFile) {
  TestEngine e({{"t/levels.dds", ddswriter::MipChain(4)}, {"t/one.dds", ddswriter::MipChain(1)}});
  TZNT1Texture* t = e.Textures.CreateTexture("l", "t/levels.dds", nullptr, 0, 0, true, true, GL_REPEAT, 0, 0);
  ASSERT_TRUE(t->Load());
  EXPECT_EQ(t->CountMipMaps, 3);
  for (int i = 0; i < 3; ++i) {
    ASSERT_NE(t->MipMaps[i].Data, nullptr) << i;
    EXPECT_EQ(t->MipMaps[i].Width, 8 >> (i + 1));
    EXPECT_EQ(static_cast<const uint8_t*>(t->MipMaps[i].Data)[0], 10 * (i + 1));
  }
  EXPECT_EQ(t->MipMaps[3].Data, nullptr);
  TZNT1Texture* one = e.Textures.CreateTexture("o", "t/one.dds", nullptr, 0, 0, true, true, GL_REPEAT, 0, 0);
  ASSERT_TRUE(one->Load());
  EXPECT_EQ(one->CountMipMaps, 0);
  EXPECT_EQ(one->MipMaps[0].Data, nullptr);
}

TEST(ZNT1Texture, ColorOverbrightScalesLevelZeroKeepingHueAndAlpha) {
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float Factor;
    uint8_t R, G, B;
  } cases[] = {
      {0.0f, 100, 50, 25}, {2.0f, 200, 100, 50}, {4.0f, 255, 127, 63}, {-1.0f, 100, 50, 25},
      {std::nanf(""), 100, 50, 25}, {inf, 0, 0, 0},  // infinite products end as 0, not as garbage
  };
  TestEngine e({{"t/c.tga", SolidTGA(2, 2, 100, 50, 25, 77)}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Factor);
    TZNT1Texture* t = e.Textures.CreateTexture("c", "t/c.tga", nullptr, 0, 0, true, true, GL_REPEAT, c.Factor, 0);
    ASSERT_TRUE(t->Load());
    const uint8_t* p = PixelAt(t, 1, 1);
    EXPECT_EQ(p[0], c.R);
    EXPECT_EQ(p[1], c.G);
    EXPECT_EQ(p[2], c.B);
    EXPECT_EQ(p[3], 77);
  }
}

TEST(ZNT1Texture, BumpMapBecomesNormalMap) {
  // One constant colour: heights stay as they are and every normal is straight up.
  Pixels flat(4 * 4 * 4, 128);
  ConvertBumpMapToNormalMap(flat.data(), 4, 4, 2.0f);
  for (size_t i = 0; i < flat.size(); i += 4) {
    EXPECT_EQ(flat[i], 127);
    EXPECT_EQ(flat[i + 1], 127);
    EXPECT_EQ(flat[i + 2], 255);
    EXPECT_EQ(flat[i + 3], 127);  // 384 / 768 = 0.5
  }

  // A ramp rising to the right: heights normalised to 0..1, normals lean left, edges clamp.
  Pixels ramp;
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) ramp.insert(ramp.end(), {uint8_t(x * 100), uint8_t(x * 100), uint8_t(x * 100), 9});
  ConvertBumpMapToNormalMap(ramp.data(), 3, 2, 1.0f);
  EXPECT_EQ(ramp[3], 0);
  EXPECT_EQ(ramp[1 * 4 + 3], 127);  // half way up the range
  EXPECT_EQ(ramp[2 * 4 + 3], 255);
  // Middle pixel: Gx = 4 * (0 - 1) = -4, Gy = 0, Gz = 1 - 16 stays -15, times 0.5.
  const float gx = -4.0f, gz = -7.5f, len = std::sqrt(gx * gx + gz * gz);
  EXPECT_EQ(ramp[4], uint8_t((gx / len + 1.0f) * 0.5f * 255.0f));
  EXPECT_EQ(ramp[5], 127);
  EXPECT_EQ(ramp[6], uint8_t((gz / len + 1.0f) * 0.5f * 255.0f));

  // Through Load, with a scale that would turn the arithmetic to NaN.
  TestEngine e({{"t/h.tga", SolidTGA(2, 2, 50, 50, 50)}});
  for (float scale : {1.0f, std::numeric_limits<float>::infinity()}) {
    TZNT1Texture* t = e.Textures.CreateTexture("h", "t/h.tga", nullptr, 0, 0, true, true, GL_REPEAT, 0, scale);
    ASSERT_TRUE(t->Load());
    EXPECT_EQ(PixelAt(t, 0, 0)[0], 127) << scale;
  }
  ConvertBumpMapToNormalMap(nullptr, 0, 0, 1.0f);  // nothing to do, no fault
}

TEST(ZNT1Texture, CheckForBlack) {
  Pixels blackWithAlpha = {0, 0, 0, 255, 0, 0, 0, 7};
  Pixels oneBlue = {0, 0, 0, 255, 0, 0, 1, 255};
  TestEngine e({{"t/black.tga", TGA(2, 1, blackWithAlpha)}, {"t/blue.tga", TGA(2, 1, oneBlue)}, {"t/bad.tga", Bytes(40, 1)}});
  TZNT1Texture* black = e.Textures.CreateTexture("b", "t/black.tga", nullptr, 0, 0, true, true, GL_REPEAT, 0, 0);
  EXPECT_TRUE(black->CheckForBlack());
  EXPECT_NE(black->Data, nullptr);         // kept for the upload
  EXPECT_FALSE(black->CheckForBlack());    // pixels present: no test
  TZNT1Texture* blue = e.Textures.CreateTexture("u", "t/blue.tga", nullptr, 0, 0, true, true, GL_REPEAT, 0, 0);
  EXPECT_FALSE(blue->CheckForBlack());
  TZNT1Texture* bad = e.Textures.CreateTexture("x", "t/bad.tga", nullptr, 0, 0, true, true, GL_REPEAT, 0, 0);
  EXPECT_FALSE(bad->CheckForBlack());
}

TEST(ZNT1Texture, ReferenceCountWithoutOpenGL) {
  TestEngine e({{"t/a.tga", SolidTGA(2, 2, 1, 2, 3)}});
  e.Textures.CreateDefaultTextures();
  TZNT1Texture* file = e.Textures.FindTextureFile("t/a", true, true, GL_REPEAT, 0, 0);
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(file->Load());
  file->IncRef();
  file->IncRef();
  EXPECT_TRUE(file->Uploaded);
  EXPECT_EQ(file->ReferenceCounter, 2);
  file->DecRef();
  EXPECT_TRUE(file->Uploaded);
  file->DecRef();
  EXPECT_FALSE(file->Uploaded);
  EXPECT_EQ(file->Data, nullptr);  // file-backed: read again when needed
  file->DecRef();
  EXPECT_EQ(file->ReferenceCounter, 0);

  TZNT1Texture* white = e.Textures.WhiteTexture;
  white->IncRef();
  EXPECT_TRUE(white->Uploaded);
  white->DecRef();
  EXPECT_FALSE(white->Uploaded);
  EXPECT_NE(white->Data, nullptr);  // made from pixels: kept
}

TEST(ZNT1Textures, BuiltInTextures) {
  TestEngine e;
  e.Engine.IdentityLightByte = 128;
  TZNT1Textures& lib = e.Textures;
  lib.CreateDefaultTextures();
  ASSERT_EQ(lib.Count(), 39);
  const struct {
    int32_t Index;
    TZNT1Texture* Field;
    const char* Name;
    int32_t W, H, Wrap, Refs;
  } table[] = {
      {0, lib.DefaultTexture, "*default", 16, 16, GL_REPEAT, 0},
      {1, lib.WhiteTexture, "*white", 8, 8, GL_REPEAT, 0},
      {2, lib.IdentityLightTexture, "*identitylight", 8, 8, GL_REPEAT, 0},
      {3, lib.ScratchTextures[0], "*scratch", 16, 16, GL_CLAMP_TO_EDGE, 0},
      {34, lib.ScratchTextures[31], "*scratch", 16, 16, GL_CLAMP_TO_EDGE, 0},
      {35, lib.DLIGHTTexture, "*dlight", 16, 16, GL_CLAMP_TO_EDGE, 0},
      {36, lib.FogTexture, "*fog", 256, 32, GL_CLAMP_TO_EDGE, 1},
      {37, lib.SMAAAreaTexture, "*smaaarea", 160, 560, GL_CLAMP_TO_EDGE, 1},
      {38, lib.SMAASearchTexture, "*smaasearch", 66, 33, GL_CLAMP_TO_EDGE, 1},
  };
  for (const auto& r : table) {
    SCOPED_TRACE(r.Name);
    TZNT1Texture* t = lib.GetItem(r.Index);
    EXPECT_EQ(t, r.Field);
    EXPECT_EQ(t->Name, r.Name);
    EXPECT_EQ(t->Width, r.W);
    EXPECT_EQ(t->Height, r.H);
    EXPECT_EQ(t->GLWrapClampMode, r.Wrap);
    EXPECT_EQ(t->ReferenceCounter, r.Refs);
    EXPECT_EQ(t->Uploaded, r.Refs > 0);
    EXPECT_FALSE(t->Disposable || t->MipMap || t->AllowPicMip);
    EXPECT_TRUE(t->FileName.empty());
    EXPECT_EQ(t->Nearest, t == lib.SMAASearchTexture);
    ASSERT_NE(t->Data, nullptr);
  }
  for (int i = 0; i < 32; ++i) EXPECT_EQ(lib.ScratchTextures[i], lib.GetItem(3 + i));
  // The index keeps the last of the textures that share a key.
  EXPECT_EQ(lib.HashMap->GetValue(lib.ScratchTextures[0]->HashName), lib.ScratchTextures[31]);

  auto px = [](TZNT1Texture* t, int x, int y) {
    const uint8_t* p = PixelAt(t, x, y);
    return std::vector<int>{p[0], p[1], p[2], p[3]};
  };
  using V = std::vector<int>;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const bool ring = x == 0 || x == 15 || y == 0 || y == 15;
      ASSERT_EQ(px(lib.DefaultTexture, x, y), ring ? (V{255, 255, 255, 255}) : (V{0, 0, 0, 0})) << x << "," << y;
    }
  EXPECT_EQ(px(lib.WhiteTexture, 7, 7), (V{255, 255, 255, 255}));
  EXPECT_EQ(px(lib.IdentityLightTexture, 3, 5), (V{128, 128, 128, 255}));
  EXPECT_EQ(px(lib.ScratchTextures[9], 15, 0), (V{255, 255, 255, 255}));
  // dlight: centre 8000 -> 255; (4,4): 4000 / 24.5 = 163; (3,4): 4000 / 32.5 = 123; (2,2): 4000 / 60.5 = 66 < 75 -> 0; corner 35 -> 0.
  const struct {
    int X, Y, V;
  } dlight[] = {{7, 7, 255}, {8, 8, 255}, {4, 4, 163}, {3, 4, 123}, {2, 2, 0}, {0, 0, 0}, {15, 15, 0}};
  for (const auto& d : dlight) EXPECT_EQ(px(lib.DLIGHTTexture, d.X, d.Y), (V{d.V, d.V, d.V, 255})) << d.X << "," << d.Y;
  // fog: left strip clear; right columns reach the full table value within a few rows.
  const struct {
    int X, Y, A;
  } fog[] = {{0, 31, 0}, {7, 31, 0}, {255, 0, 82}, {255, 31, 255}, {255, 5, 255}};
  for (const auto& f : fog) EXPECT_EQ(px(lib.FogTexture, f.X, f.Y), (V{255, 255, 255, f.A})) << f.X << "," << f.Y;
  // SMAA tables: a one-pixel Z run covers an eighth on each side; a search pair whose first
  // pixel is off the run ends it at the second; unused table corners stay zero.
  EXPECT_EQ(px(lib.SMAAAreaTexture, 0, 192), (V{32, 32, 32, 32}));
  EXPECT_EQ(px(lib.SMAAAreaTexture, 159, 559), (V{0, 0, 0, 0}));
  EXPECT_EQ(px(lib.SMAASearchTexture, 8, 0), (V{128, 128, 128, 128}));
  EXPECT_EQ(px(lib.SMAASearchTexture, 32, 0), (V{0, 0, 0, 0}));
}

TEST(ZNT1Textures, UploadPassKeepsTheLoadingScreenAliveAndDisposeDropsUploads) {
  KeepAliveEngine engine;
  engine.LastProgress = 0.5f;
  TZNT1Textures lib(&engine);
  lib.CreateDefaultTextures();
  lib.Upload();
  EXPECT_EQ(engine.Calls, lib.Count());
  lib.Dispose();
  for (int32_t i = 0; i < lib.Count(); ++i) EXPECT_FALSE(lib.GetItem(i)->Uploaded);
  lib.Upload();
  EXPECT_TRUE(lib.FogTexture->Uploaded);   // referenced
  EXPECT_FALSE(lib.WhiteTexture->Uploaded);  // not referenced
  lib.ClearAll();
  EXPECT_EQ(lib.WhiteTexture, nullptr);
  EXPECT_EQ(lib.FogTexture, nullptr);
}
