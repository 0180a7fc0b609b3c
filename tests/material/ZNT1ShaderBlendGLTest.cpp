// The single-pass program's in-shader blending against stage-by-stage blending computed on the
// CPU, for the blend settings the content uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "assets/TestZip.h"
#include "material/ZNT1ShaderGenerator.h"
#include "platform/ZNT1OpenGL.h"
#include "support/GLContextFixture.h"
#include "support/ShaderProgramTestSupport.h"
#include "support/TestData.h"

using namespace programtest;

namespace {

using TColor = std::array<double, 4>;  // r, g, b, a in 0..1

// One GL blend factor for a source code (1..9) or destination code ($10..$80).
TColor Factor(uint32_t Code, const TColor& Src, const TColor& Dst) {
  const double a = Src[3], d = Dst[3];
  switch (Code) {
    case GLS_SRCBLEND_ZERO: case GLS_DSTBLEND_ZERO: return {0, 0, 0, 0};
    case GLS_SRCBLEND_ONE: case GLS_DSTBLEND_ONE: return {1, 1, 1, 1};
    case GLS_SRCBLEND_DST_COLOR: return Dst;
    case GLS_SRCBLEND_ONE_MINUS_DST_COLOR: return {1 - Dst[0], 1 - Dst[1], 1 - Dst[2], 1 - d};
    case GLS_DSTBLEND_SRC_COLOR: return Src;
    case GLS_DSTBLEND_ONE_MINUS_SRC_COLOR: return {1 - Src[0], 1 - Src[1], 1 - Src[2], 1 - a};
    case GLS_SRCBLEND_SRC_ALPHA: case GLS_DSTBLEND_SRC_ALPHA: return {a, a, a, a};
    case GLS_SRCBLEND_ONE_MINUS_SRC_ALPHA: case GLS_DSTBLEND_ONE_MINUS_SRC_ALPHA: return {1 - a, 1 - a, 1 - a, 1 - a};
    case GLS_SRCBLEND_DST_ALPHA: case GLS_DSTBLEND_DST_ALPHA: return {d, d, d, d};
    case GLS_SRCBLEND_ONE_MINUS_DST_ALPHA: case GLS_DSTBLEND_ONE_MINUS_DST_ALPHA: return {1 - d, 1 - d, 1 - d, 1 - d};
    case GLS_SRCBLEND_ALPHA_SATURATE: {
      const double f = std::min(a, 1 - d);
      return {f, f, f, 1};
    }
    default: return {0, 0, 0, 0};
  }
}

double Byte(double v) { return std::round(std::clamp(v, 0.0, 1.0) * 255.0) / 255.0; }

// Stage by stage into an RGBA8 target: the GL blend equation, rounded to 8 bits after each pass.
TColor MultiPass(const std::vector<uint32_t>& Blends, const std::vector<TColor>& Stages, TColor Screen) {
  for (size_t i = 0; i < Blends.size(); i++) {
    // A stage without blend bits is drawn with blending off: it replaces the screen.
    const uint32_t Src = Blends[i] & 0xFF ? Blends[i] & 0xF : GLS_SRCBLEND_ONE;
    const uint32_t Dst = Blends[i] & 0xFF ? Blends[i] & 0xF0 : GLS_DSTBLEND_ZERO;
    const TColor s = Factor(Src, Stages[i], Screen), d = Factor(Dst, Stages[i], Screen);
    for (int c = 0; c < 4; c++) Screen[c] = Byte(Stages[i][c] * s[c] + Screen[c] * d[c]);
  }
  return Screen;
}

// The single pass of a material whose first stage blends: screen times the multiplier plus the
// addend, with the multiplier's mean for all three channels when both are kept.
TColor DocumentedMean(const std::vector<uint32_t>& Blends, const std::vector<TColor>& Stages, const TColor& Screen) {
  std::array<double, 3> Mult = {1, 1, 1}, Add = {0, 0, 0};
  for (size_t i = 0; i < Blends.size(); i++) {
    const TColor& s = Stages[i];
    const uint32_t Dst = Blends[i] & 0xF0, Src = Blends[i] & 0xF;
    for (int c = 0; c < 3; c++) {
      double f = 0;
      switch (Dst) {
        case GLS_DSTBLEND_ONE: f = 1; break;
        case GLS_DSTBLEND_SRC_COLOR: f = s[c]; break;
        case GLS_DSTBLEND_ONE_MINUS_SRC_COLOR: f = 1 - s[c]; break;
        case GLS_DSTBLEND_SRC_ALPHA: f = s[3]; break;
        case GLS_DSTBLEND_ONE_MINUS_SRC_ALPHA: f = 1 - s[3]; break;
        default: break;
      }
      const double Term = Src == GLS_SRCBLEND_ZERO            ? 0
                          : Src == GLS_SRCBLEND_SRC_ALPHA      ? s[c] * s[3]
                          : Src == GLS_SRCBLEND_ONE_MINUS_SRC_ALPHA ? s[c] * (1 - s[3])
                                                                   : s[c];
      Mult[c] *= f;
      Add[c] = std::clamp(Add[c] * f + Term, 0.0, 1.0);
    }
  }
  const double Mean = (Mult[0] + Mult[1] + Mult[2]) / 3;
  return {Add[0] + Screen[0] * Mean, Add[1] + Screen[1] * Mean, Add[2] + Screen[2] * Mean, 0};
}

// The source factors that read the screen and the destination factors that read its alpha
// cannot be carried by a multiplier and an addend.
bool MultiplierRouteCannot(uint32_t Blend) {
  const uint32_t Src = Blend & 0xF, Dst = Blend & 0xF0;
  return Src == GLS_SRCBLEND_DST_COLOR || Src == GLS_SRCBLEND_ONE_MINUS_DST_COLOR || Src == GLS_SRCBLEND_DST_ALPHA ||
         Src == GLS_SRCBLEND_ONE_MINUS_DST_ALPHA || Src == GLS_SRCBLEND_ALPHA_SATURATE ||
         Dst == GLS_DSTBLEND_DST_ALPHA || Dst == GLS_DSTBLEND_ONE_MINUS_DST_ALPHA;
}

// The blend bits of a "blendfunc" line's words, as the script parser reads them.
uint32_t BlendWords(const std::string& Line) {
  std::vector<std::string> Words;
  size_t p = 0;
  while (Words.size() < 2) {
    p = Line.find_first_not_of(" \t", p);
    if (p == std::string::npos) break;
    const size_t e = Line.find_first_of(" \t", p);
    Words.push_back(Line.substr(p, e == std::string::npos ? std::string::npos : e - p));
    p = e;
  }
  if (Words.empty()) return 0;
  if (Words[0] == "add") return GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE;
  if (Words[0] == "filter") return GLS_SRCBLEND_DST_COLOR | GLS_DSTBLEND_ZERO;
  if (Words[0] == "blend") return GLS_SRCBLEND_SRC_ALPHA | GLS_DSTBLEND_ONE_MINUS_SRC_ALPHA;
  const char* Src[] = {"gl_zero", "gl_one", "gl_dst_color", "gl_one_minus_dst_color", "gl_src_alpha",
                       "gl_one_minus_src_alpha", "gl_dst_alpha", "gl_one_minus_dst_alpha", "gl_alpha_saturate"};
  const char* Dst[] = {"gl_zero", "gl_one", "gl_src_color", "gl_one_minus_src_color", "gl_src_alpha",
                       "gl_one_minus_src_alpha", "gl_dst_alpha", "gl_one_minus_dst_alpha"};
  uint32_t Bits = GLS_SRCBLEND_ONE, DstBits = GLS_DSTBLEND_ONE;
  for (uint32_t i = 0; i < 9; i++)
    if (Words[0] == Src[i]) Bits = i + 1;
  for (uint32_t i = 0; i < 8 && Words.size() > 1; i++)
    if (Words[1] == Dst[i]) DstBits = (i + 1) << 4;
  return Bits | DstBits;
}

class ShaderBlendGL : public GLEngineFixture {
 protected:
  ShaderBlendGL() : GLEngineFixture(true) {}
  void SetUp() override {
    GLEngineFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    engine.GLSLShaders = std::make_unique<TZNT1GLSLShaders>(&engine);
    glGenTextures(1, &Target);
    glBindTexture(GL_TEXTURE_2D, Target);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glGenFramebuffers(1, &FrameBuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, FrameBuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, Target, 0);
    glGenTextures(3, StageTextures);
    for (GLuint t : StageTextures) {
      glBindTexture(GL_TEXTURE_2D, t);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    }
    const float Triangle[] = {-1, -1, 0, 3, -1, 0, -1, 3, 0};
    glGenBuffers(1, &Buffer);
    glBindBuffer(GL_ARRAY_BUFFER, Buffer);
    glBufferData(GL_ARRAY_BUFFER, sizeof(Triangle), Triangle, GL_STATIC_DRAW);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    glEnableVertexAttribArray(0);
    glViewport(0, 0, 1, 1);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
  }
  void TearDown() override {
    if (Context() && FrameBuffer) {
      glDisableVertexAttribArray(0);
      glBindBuffer(GL_ARRAY_BUFFER, 0);
      glDeleteBuffers(1, &Buffer);
      glBindFramebuffer(GL_FRAMEBUFFER, 0);
      glDeleteFramebuffers(1, &FrameBuffer);
      glDeleteTextures(1, &Target);
      glDeleteTextures(3, StageTextures);
      glDisable(GL_BLEND);
      glUseProgram(0);
      glActiveTexture(GL_TEXTURE0);
    }
    engine.GLSLShaders.reset();
    GLEngineFixture::TearDown();
  }

  static uint8_t Unit(double v) { return static_cast<uint8_t>(std::lround(v * 255.0)); }

  // Draws the material's single-pass program over Screen; the target's colour read back.
  TColor Draw(TZNT1Shader& M, TZNT1GLSLShader& Program, const std::vector<TColor>& Stages, const TColor& Screen) {
    for (size_t i = 0; i < Stages.size(); i++) {
      const uint8_t Texel[4] = {Unit(Stages[i][0]), Unit(Stages[i][1]), Unit(Stages[i][2]), Unit(Stages[i][3])};
      glActiveTexture(GL_TEXTURE2 + GLenum(i));
      glBindTexture(GL_TEXTURE_2D, StageTextures[i]);
      glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, Texel);
    }
    glClearColor(float(Screen[0]), float(Screen[1]), float(Screen[2]), float(Screen[3]));
    glClear(GL_COLOR_BUFFER_BIT);
    Program.Bind();
    const float Identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (int32_t Location : {Program.uModelMatrix, Program.uViewMatrix, Program.uProjectionMatrix})
      if (Location >= 0) glUniformMatrix4fv(Location, 1, GL_FALSE, Identity);
    const uint32_t Bits = M.SinglePassStateBits;
    if (Bits & 0xFF) {
      glEnable(GL_BLEND);
      glBlendEquation(GL_FUNC_ADD);
      glBlendFunc(TranslateShaderBlend(Bits & 0xF), TranslateShaderBlend(Bits & 0xF0));
    } else {
      glDisable(GL_BLEND);
    }
    glDrawArrays(GL_TRIANGLES, 0, 3);
    uint8_t Pixel[4] = {};
    glReadPixels(0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, Pixel);
    return {Pixel[0] / 255.0, Pixel[1] / 255.0, Pixel[2] / 255.0, Pixel[3] / 255.0};
  }

  GLuint Target = 0, FrameBuffer = 0, Buffer = 0, StageTextures[3] = {};
};

}  // namespace

TEST_F(ShaderBlendGL, SinglePassMatchesStageByStageBlending) {
  REQUIRE_CONTENT_DIR();
  // The blend settings the content's scripts write (every script entry of every archive), read
  // from their "blendfunc" lines; "gl_one gl_zero" draws like a stage without blending. Those of
  // the stock archives are counted; a further archive's are drawn as well.
  std::set<uint32_t> Used, StockUsed;
  for (const std::string& Path : testdata::ContentArchives()) {
    testzip::TZip Zip(Path);
    for (const testzip::TEntry& Entry : Zip.Entries()) {
      if (Entry.Name.size() < 7 || Entry.Name.compare(Entry.Name.size() - 7, 7, ".shader") != 0) continue;
      std::vector<uint8_t> Bytes;
      ASSERT_TRUE(Zip.Extract(Entry, Bytes)) << Entry.Name;
      std::string Text(Bytes.begin(), Bytes.end());
      for (char& c : Text) c = char(std::tolower(static_cast<unsigned char>(c)));
      for (size_t At = Text.find("blendfunc"); At != std::string::npos; At = Text.find("blendfunc", At + 1)) {
        const size_t End = Text.find_first_of("\r\n", At);
        const uint32_t Bits = BlendWords(Text.substr(At + 9, End == std::string::npos ? std::string::npos : End - At - 9));
        if (Bits == (GLS_SRCBLEND_ONE | GLS_DSTBLEND_ZERO)) continue;
        Used.insert(Bits);
        if (testdata::IsStockArchive(Path)) StockUsed.insert(Bits);
      }
    }
  }
  std::string Names;
  for (uint32_t b : StockUsed) Names += " $" + std::to_string(b);
  EXPECT_EQ(StockUsed.size(), 16u) << Names;
  std::vector<uint32_t> Settings = {0};  // 0: opaque, no blend bits
  Settings.insert(Settings.end(), Used.begin(), Used.end());

  // Every ordered pair, and each pair followed by a third setting chosen so that every pair of
  // the second and third stage occurs as well.
  std::vector<std::vector<uint32_t>> Sequences;
  const size_t n = Settings.size();
  for (size_t a = 0; a < n; a++)
    for (size_t b = 0; b < n; b++) {
      Sequences.push_back({Settings[a], Settings[b]});
      Sequences.push_back({Settings[a], Settings[b], Settings[(a + b) % n]});
    }

  std::mt19937 Random(20261210);
  std::uniform_int_distribution<int> Dark(5, 61), Any(0, 255);
  auto Colour = [&] { return TColor{Dark(Random) / 255.0, Dark(Random) / 255.0, Dark(Random) / 255.0, Any(Random) / 255.0}; };
  int Drawn = 0, Refused = 0, Mean = 0;
  for (const auto& Blends : Sequences) {
    auto M = MakeMaterial(engine, {});
    for (uint32_t b : Blends) {
      auto* s = new TZNT1ShaderStage(M.get());
      s->StateBits = b ? b : GLS_DEPTHMASK_TRUE;
      s->TexCoordGen = TCGEN_IDENTITY;
      s->RGBGen = CGEN_IDENTITY;
      M->StateBits |= s->StateBits;
      M->Add(s);
    }
    std::string Trace;
    for (uint32_t b : Blends) Trace += " $" + std::to_string(b);
    SCOPED_TRACE(Trace);
    TZNT1GLSLShader* Program = GenerateShader(M.get(), zstSINGLEPASS, 0, false, false, false, 1);
    const bool InShader = Blends[0] == 0;
    const bool Expressible =
        InShader || std::none_of(Blends.begin(), Blends.end(), [](uint32_t b) { return MultiplierRouteCannot(b); });
    ASSERT_EQ(Program != nullptr, Expressible);
    if (!Program) {
      Refused++;
      continue;
    }
    std::vector<TColor> Stages;
    for (size_t i = 0; i < Blends.size(); i++) Stages.push_back(Colour());
    const TColor Screen = Colour();
    const TColor Got = Draw(*M, *Program, Stages, Screen);
    const bool MeanMode = (M->SinglePassStateBits & 0xFF) == (GLS_SRCBLEND_ONE | GLS_DSTBLEND_SRC_ALPHA);
    const TColor Want = MeanMode ? DocumentedMean(Blends, Stages, Screen) : MultiPass(Blends, Stages, Screen);
    Mean += MeanMode;
    Drawn++;
    for (int c = 0; c < 3; c++) EXPECT_NEAR(Got[c], Want[c], 3.0 / 255.0) << "channel " << c;
  }
  std::printf("blend reference: %zu blend settings, %zu sequences, %d drawn (%d in the mean mode), %d refused\n",
              Used.size(), Sequences.size(), Drawn, Mean, Refused);
  EXPECT_GT(Mean, 0);
}
