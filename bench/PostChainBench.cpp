// The antialiasing and screen programs at 1280 x 720 on one fixed frame (rotated stripes,
// discs and a gradient), each mode's passes against one plain copy pass of the screen-quad
// program, and SMAA's three passes one by one. GL: runs under xvfb-run when there is no display
// (scripts/bench).
#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "assets/ZNT1Texture.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/PostFilterGLSupport.h"
#include "gpu/ZNT1GLSLShader.h"
#include "platform/ZNT1OpenGL.h"

namespace {

constexpr int W = 1280, H = 720;

struct TPass {
  TZNT1GLSLShader* Shader;
  std::vector<GLuint> Inputs;  // units 0, 1, ... as uTex0, uTex1, ...
  GLuint Target;
  float Scale[2];
};

struct TContext {
  SDL_Window* Window = nullptr;
  SDL_GLContext Context = nullptr;
  std::unique_ptr<TZNT1Engine> Engine;
  std::unique_ptr<TZNT1GLSLShaders> Library;
  std::unique_ptr<TZNT1Textures> Textures;
  // A, B, C: four 8-bit channels like the ping-pong pair; Edges and Weights: float, like the
  // renderer's SMAA targets.
  GLuint Frame = 0, A = 0, B = 0, C = 0, Edges = 0, Weights = 0, Vao = 0, Buffer = 0, Fbo = 0;

  GLuint Target(const uint8_t* Pixels, GLint Format = GL_RGBA8) { return MakeTexture(W, H, Pixels, true, Format); }

  bool Open() {
    if (SDL_Init(SDL_INIT_VIDEO) < 0) return false;
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);
    Window = SDL_CreateWindow("bench", 0, 0, 64, 64, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
    if (!Window || !(Context = SDL_GL_CreateContext(Window))) return false;
    Engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<TZNT1Game>, false);
    Engine->GLCapabilities = std::make_unique<TZNT1GLCapabilities>(Engine.get());
    Engine->GLCapabilities->Query();
    Library = std::make_unique<TZNT1GLSLShaders>(Engine.get());
    Textures = std::make_unique<TZNT1Textures>(Engine.get());
    Textures->CreateDefaultTextures();

    std::vector<uint8_t> Pixels(size_t(W) * H * 4);
    for (int y = 0; y < H; y++)
      for (int x = 0; x < W; x++) {
        uint8_t* p = &Pixels[(size_t(y) * W + size_t(x)) * 4];
        const double u = x * 0.96 + y * 0.28, v = x - 900.0, w = y - 360.0;
        const bool Stripe = int(std::floor(u / 37.0)) % 2 == 0;
        const bool Disc = v * v + w * w < 200.0 * 200.0;
        p[0] = uint8_t(Disc ? 230 : Stripe ? 40 + x / 10 : 200);
        p[1] = uint8_t(Disc ? 60 : Stripe ? 90 : 120 + y / 8);
        p[2] = uint8_t(Disc ? 30 : Stripe ? 180 : 50);
        p[3] = 255;
      }
    Frame = Target(Pixels.data());
    A = Target(nullptr);
    B = Target(nullptr);
    C = Target(nullptr);
    Edges = Target(nullptr, GL_RGBA32F);
    Weights = Target(nullptr, GL_RGBA32F);
    BindScreenQuad(Vao, Buffer);
    glGenFramebuffers(1, &Fbo);
    glViewport(0, 0, W, H);
    glDisable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    return glGetError() == GL_NO_ERROR;
  }

  void Run(const TPass& p) {
    glBindFramebuffer(GL_FRAMEBUFFER, Fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, p.Target, 0);
    glClear(GL_COLOR_BUFFER_BIT);  // as every pass of the renderer's chain
    for (size_t i = 0; i < p.Inputs.size(); i++) {
      glActiveTexture(GLenum(GL_TEXTURE0 + i));
      glBindTexture(GL_TEXTURE_2D, p.Inputs[i]);
    }
    p.Shader->Bind();
    for (int i = 0; i < 3; i++)
      if (p.Shader->uTexs[i] >= 0) glUniform1i(p.Shader->uTexs[i], i);
    if (p.Shader->uFragCoordInvScale >= 0) glUniform2f(p.Shader->uFragCoordInvScale, 1.0f / W, 1.0f / H);
    if (p.Shader->uScale >= 0) glUniform2f(p.Shader->uScale, p.Scale[0], p.Scale[1]);
    if (p.Shader->uTime >= 0) glUniform1f(p.Shader->uTime, 1.5f);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
  }
};

TContext* Ctx = nullptr;

std::vector<TPass> Mode(const std::string& Name) {
  TZNT1GLSLShaders& L = *Ctx->Library;
  const GLuint F = Ctx->Frame, A = Ctx->A, B = Ctx->B, C = Ctx->C;
  const float X[2] = {1.0f / W, 0.0f}, Y[2] = {0.0f, 1.0f / H}, N[2] = {0, 0};
  auto P = [](TZNT1GLSLShader* S, std::vector<GLuint> In, GLuint T, const float* s) {
    return TPass{S, std::move(In), T, {s[0], s[1]}};
  };
  if (Name == "Blit") return {P(L.DefaultGLSLScreenQuadShader, {F}, A, N)};
  if (Name == "DLAA") return {P(L.DefaultGLSLDLAAPrepassShader, {F}, A, N), P(L.DefaultGLSLDLAAPostPassShader, {A}, B, N)};
  if (Name == "FXAA2") return {P(L.DefaultGLSLFXAA2Shader, {F}, A, N)};
  if (Name == "FXAA3") return {P(L.DefaultGLSLLumaShader, {F}, A, N), P(L.DefaultGLSLFXAA3Shader, {A}, B, N)};
  if (Name == "NFAA") return {P(L.DefaultGLSLNFAAShader, {F}, A, N)};
  if (Name == "SMAA")
    return {P(L.DefaultGLSLSMAAEdgeDetectionShader, {F}, Ctx->Edges, N),
            P(L.DefaultGLSLSMAABlendingWeightCalculationShader,
              {Ctx->Edges, Ctx->Textures->SMAAAreaTexture->Handle, Ctx->Textures->SMAASearchTexture->Handle},
              Ctx->Weights, N),
            P(L.DefaultGLSLSMAANeighborhoodBlendingShader, {F, Ctx->Weights}, C, N)};
  if (Name == "Water") return {P(L.DefaultGLSLScreenWaterQuadShader, {F}, A, N)};
  // Bloom at full size: bright pass, separable blur, combine with the frame.
  return {P(L.DefaultGLSLBloomFilterShader, {F}, A, N), P(L.DefaultGLSLBloomBlurShader, {A}, B, X),
          P(L.DefaultGLSLBloomBlurShader, {B}, A, Y), P(L.DefaultGLSLBloomCombineShader, {F, A}, C, N)};
}

// Only >= 0 times that one pass of the mode alone, on the inputs the passes before it left.
void BM_Post(benchmark::State& State, const std::string& Name, int Only) {
  if (!Ctx) {
    State.SkipWithError("no OpenGL context");
    return;
  }
  const std::vector<TPass> Passes = Mode(Name);
  for (const TPass& p : Passes) p.Shader->Bind();  // compiled before timing
  for (const TPass& p : Passes) Ctx->Run(p);
  glFinish();
  for (auto _ : State) {
    for (size_t i = 0; i < Passes.size(); i++)
      if (Only < 0 || size_t(Only) == i) Ctx->Run(Passes[i]);
    glFinish();
  }
  if (glGetError() != GL_NO_ERROR) State.SkipWithError("OpenGL error");
}

const char* const Modes[] = {"Blit", "DLAA", "FXAA2", "FXAA3", "NFAA", "SMAA", "Water", "Bloom"};
// SMAA's passes one by one, to show where its time goes.
const char* const SMAAPasses[] = {"SMAA.edges", "SMAA.weights", "SMAA.blending"};

}  // namespace

int main(int argc, char** argv) {
  static TContext Context;
  if (Context.Open()) Ctx = &Context;
  else std::fprintf(stderr, "no OpenGL context: %s\n", SDL_GetError());
  auto Register = [](const char* Name, const std::string& Mode, int Only) {
    benchmark::RegisterBenchmark((std::string("Post/") + Name).c_str(), BM_Post, Mode, Only)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
  };
  for (const char* Name : Modes) Register(Name, Name, -1);
  for (int i = 0; i < 3; i++) Register(SMAAPasses[i], "SMAA", i);
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& R) {
    std::printf("Post chain at %d x %d, time over one copy pass (goal: FXAA3 <= 4, SMAA <= 8):\n", W, H);
    for (const char* Name : Modes)
      if (std::string(Name) != "Blit") R.PrintRatio(Name, std::string("Post/") + Name + "/repeats:5/real_time", "Post/Blit/repeats:5/real_time");
    for (const char* Name : SMAAPasses)
      R.PrintRatio(Name, std::string("Post/") + Name + "/repeats:5/real_time", "Post/Blit/repeats:5/real_time");
  });
}
