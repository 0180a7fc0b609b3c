#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>

#include "assets/ZNT1Texture.h"
#include "gpu/PostFilterGLSupport.h"
#include "support/GLContextFixture.h"

// FXAA 3.11 (luma pass, then FXAA) and SMAA 1x (edges, weights, blending) on small images.
namespace {

class AntialiasGL : public GLEngineFixture {
 protected:
  AntialiasGL() : GLEngineFixture(true) {}
  void SetUp() override {
    GLEngineFixture::SetUp();
    Library = std::make_unique<TZNT1GLSLShaders>(&engine);
    Textures = std::make_unique<TZNT1Textures>(&engine);
    Textures->CreateDefaultTextures();
  }
  void TearDown() override {
    Textures.reset();
    Library.reset();
    GLEngineFixture::TearDown();
  }

  TPostImage RunFXAA3(const TPostImage& In) {
    const GLuint Source = MakeTexture(In.W, In.H, In.Pixels.data(), true);
    const GLuint Luma = MakeTexture(In.W, In.H, nullptr, true);
    const GLuint Out = MakeTexture(In.W, In.H, nullptr, true);
    PostPass(Library->DefaultGLSLLumaShader, Luma, In.W, In.H, {Source});
    PostPass(Library->DefaultGLSLFXAA3Shader, Out, In.W, In.H, {Luma});
    TPostImage Result = ReadTexture(Out, In.W, In.H);
    const GLuint All[] = {Source, Luma, Out};
    glDeleteTextures(3, All);
    return Result;
  }

  // The weights program as built but with the diagonal searches switched off; referenced, so
  // compiled.
  TZNT1GLSLShader* WeightsWithoutDiagonals() {
    TZNT1GLSLShader* S = Library->DefaultGLSLSMAABlendingWeightCalculationShader;
    std::string V = S->VertexShader, F = S->FragmentShader;
    for (std::string* Text : {&V, &F}) Text->insert(Text->find('\n') + 1, "#define SMAA_DISABLE_DIAG_DETECTION 1\r\n");
    TZNT1GLSLShader* Variant = Library->GetShader(V, "", F, 0);
    Variant->IncRef();
    return Variant;
  }

  TPostImage RunSMAA(const TPostImage& In, TPostImage* Weights = nullptr, TZNT1GLSLShader* WeightsProgram = nullptr) {
    const GLuint Source = MakeTexture(In.W, In.H, In.Pixels.data(), true);
    // Float edge and weight targets, linearly filtered, as in the renderer's chain.
    const GLuint Edges = MakeTexture(In.W, In.H, nullptr, true, GL_RGBA32F);
    const GLuint Blend = MakeTexture(In.W, In.H, nullptr, true, GL_RGBA32F);
    const GLuint Out = MakeTexture(In.W, In.H, nullptr, true);
    PostPass(Library->DefaultGLSLSMAAEdgeDetectionShader, Edges, In.W, In.H, {Source});
    if (!WeightsProgram) WeightsProgram = Library->DefaultGLSLSMAABlendingWeightCalculationShader;
    PostPass(WeightsProgram, Blend, In.W, In.H,
             {Edges, Textures->SMAAAreaTexture->Handle, Textures->SMAASearchTexture->Handle});
    PostPass(Library->DefaultGLSLSMAANeighborhoodBlendingShader, Out, In.W, In.H, {Source, Blend});
    TPostImage Result = ReadTexture(Out, In.W, In.H);
    if (Weights) *Weights = ReadTexture(Blend, In.W, In.H);
    const GLuint All[] = {Source, Edges, Blend, Out};
    glDeleteTextures(4, All);
    return Result;
  }

  std::unique_ptr<TZNT1GLSLShaders> Library;
  std::unique_ptr<TZNT1Textures> Textures;
};

struct TEdgeScore {
  double ErrorIn = 0, ErrorOut = 0, FarthestChange = 0;
};

// Error against the exact coverage before and after, and the farthest changed pixel's centre
// from the line.
TEdgeScore ScoreEdge(const TPostImage& In, const TPostImage& Out, double Slope, double Offset) {
  TEdgeScore S;
  for (int y = 0; y < In.H; y++)
    for (int x = 0; x < In.W; x++) {
      const double Exact = EdgeCoverage(x, y, Slope, Offset);
      S.ErrorIn += std::fabs(In.At(x, y)[0] / 255.0 - Exact);
      S.ErrorOut += std::fabs(Out.At(x, y)[0] / 255.0 - Exact);
      if (std::equal(In.At(x, y), In.At(x, y) + 3, Out.At(x, y))) continue;
      S.FarthestChange = std::max(S.FarthestChange, std::fabs(Slope * (x + 0.5) + Offset - (y + 0.5)) /
                                                        std::sqrt(Slope * Slope + 1));
    }
  return S;
}

TPostImage Filled(int W, int H, const std::function<void(int, int, uint8_t*)>& Pixel) {
  TPostImage I{W, H, std::vector<uint8_t>(size_t(W) * H * 4)};
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) Pixel(x, y, I.At(x, y));
  return I;
}

}  // namespace

// Flat areas and a gradient below both thresholds come through bit for bit.
TEST_F(AntialiasGL, ImagesWithoutEdgesPassUnchanged) {
  const TPostImage Flat = Filled(40, 24, [](int, int, uint8_t* p) {
    p[0] = 70, p[1] = 130, p[2] = 200, p[3] = 255;
  });
  const TPostImage Gradient = Filled(40, 24, [](int x, int y, uint8_t* p) {
    p[0] = uint8_t(40 + 3 * x), p[1] = uint8_t(60 + 2 * y), p[2] = uint8_t(90 + x + y), p[3] = 255;
  });
  for (const TPostImage* In : {&Flat, &Gradient}) {
    EXPECT_TRUE(RunSMAA(*In).Pixels == In->Pixels);
    // FXAA's input carries luma in alpha: compare colour only.
    const TPostImage F = RunFXAA3(*In);
    for (size_t i = 0; i < F.Pixels.size(); i += 4)
      ASSERT_TRUE(std::equal(&F.Pixels[i], &F.Pixels[i] + 3, &In->Pixels[i])) << i / 4;
  }
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// A slanted hard edge: only pixels near the edge change, and the result is nearer to the
// exact coverage by at least a third.
TEST_F(AntialiasGL, SlantedEdgeIsSmoothedOnlyAlongTheEdge) {
  struct Line {
    double Slope, Offset;
  };
  for (const Line L : {Line{0.3, 10.2}, Line{-0.22, 30.6}, Line{2.7, -40.3}}) {
    const TPostImage In = SlantedEdgeImage(64, 48, L.Slope, L.Offset);
    for (const bool Smaa : {false, true}) {
      SCOPED_TRACE(testing::Message() << (Smaa ? "SMAA" : "FXAA3") << " slope " << L.Slope);
      const TPostImage Out = Smaa ? RunSMAA(In) : RunFXAA3(In);
      double ErrorIn = 0, ErrorOut = 0;
      int Changed = 0;
      for (int y = 0; y < In.H; y++)
        for (int x = 0; x < In.W; x++) {
          const double Exact = EdgeCoverage(x, y, L.Slope, L.Offset);
          ErrorIn += std::fabs(In.At(x, y)[0] / 255.0 - Exact);
          ErrorOut += std::fabs(Out.At(x, y)[0] / 255.0 - Exact);
          if (std::equal(In.At(x, y), In.At(x, y) + 3, Out.At(x, y))) continue;
          Changed++;
          const double Distance =
              std::fabs(L.Slope * (x + 0.5) + L.Offset - (y + 0.5)) / std::sqrt(L.Slope * L.Slope + 1);
          EXPECT_LE(Distance, 2.0) << x << "," << y;
        }
      EXPECT_GT(Changed, 20);
      RecordProperty(std::string(Smaa ? "SMAA" : "FXAA3") + "_" + std::to_string(L.Slope),
                     std::to_string(ErrorIn) + " -> " + std::to_string(ErrorOut));
      EXPECT_LE(ErrorOut, ErrorIn * 2.0 / 3.0) << "error " << ErrorIn << " -> " << ErrorOut;
    }
  }
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

// Staircases of 45-degree steps, broken now and then by a double step in either diagonal
// direction: following the diagonal beats treating every step as its own short run, and an
// exact diagonal stays as good as it was.
TEST_F(AntialiasGL, DiagonalStaircasesAreFollowedAlongTheDiagonal) {
  struct Line {
    double Slope, Offset, MaxRatio;  // error with diagonals over error without
  };
  TZNT1GLSLShader* Orthogonal = WeightsWithoutDiagonals();
  ASSERT_NE(Orthogonal, Library->DefaultGLSLSMAABlendingWeightCalculationShader);
  ASSERT_GE(Orthogonal->ProgramHandle, 0);
  for (const Line L : {Line{0.9, 0.4, 0.5}, Line{1.1, -3.3, 0.5}, Line{-0.85, 60.2, 0.6}, Line{-1.2, 64.2, 0.6},
                       Line{0.7, 5.37, 0.9}, Line{1.0, 0.5, 1.0}, Line{-1.0, 64.5, 1.0}}) {
    SCOPED_TRACE(testing::Message() << "slope " << L.Slope);
    const TPostImage In = SlantedEdgeImage(64, 64, L.Slope, L.Offset);
    const TEdgeScore With = ScoreEdge(In, RunSMAA(In), L.Slope, L.Offset);
    const TEdgeScore Without = ScoreEdge(In, RunSMAA(In, nullptr, Orthogonal), L.Slope, L.Offset);
    RecordProperty("SMAA_diagonal_" + std::to_string(L.Slope),
                   std::to_string(With.ErrorIn) + " -> " + std::to_string(Without.ErrorOut) + " / " +
                       std::to_string(With.ErrorOut));
    EXPECT_LE(With.ErrorOut, Without.ErrorOut * L.MaxRatio + 1e-9);
    EXPECT_LE(With.FarthestChange, 2.0);
  }
  Orthogonal->DecRef();
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}
