// Frames of the spawn views of five maps at 1280 x 720, low and full quality, against the
// brute-force baseline that draws every drawable face with one draw call each: time and draw
// calls per frame, and their ratios. The baseline draws no sky, so the renderer runs twice:
// its whole frame, and the same frame with the sky set aside (the baseline's picture); the
// frame-time ratio is taken between equal pictures, and the whole frame's is printed beside it.
#include <benchmark/benchmark.h>

#include <SDL2/SDL.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>

#include "BenchRatio.h"
#include "renderer/RendererBaseline.h"
#include "renderer/RendererContentEngine.h"

namespace {

const char* const Maps[] = {"oa_dm1", "oa_dm3", "oa_dm6", "kaos2", "oa_rpg3dm2"};
const char* const Modes[] = {"low", "full"};
enum TSide { sRenderer, sRendererNoSky, sBaseline };
const char* const Sides[] = {"Renderer/", "RendererNoSky/", "Baseline/"};

SDL_Window* Window = nullptr;
SDL_GLContext Context = nullptr;
std::unique_ptr<RendererContentEngine> Engine;
std::unique_ptr<RendererBaseline> Baseline;
int EngineMode = -1;
std::string LoadedMap;
uint64_t DrawCalls = 0;
std::map<std::string, double> DrawsPerFrame;
std::map<std::string, double> ThreadSecondsPerFrame;  // the drawing thread's own CPU time
// CPU time of all threads, the driver's rasterizer threads included: the frame's whole work,
// which a busy machine stretches far less than the wall-clock time.
std::map<std::string, double> WorkSecondsPerFrame;

double CpuSeconds(clockid_t Clock) {
  timespec t{};
  clock_gettime(Clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void CountDraws() {
  RendererGL.DrawElements = [](GLenum m, GLsizei n, GLenum t, const void* p) {
    ++DrawCalls;
    ::glDrawElements(m, n, t, p);
  };
  RendererGL.DrawRangeElements = [](GLenum m, GLuint a, GLuint b, GLsizei n, GLenum t, const void* p) {
    ++DrawCalls;
    ::glDrawRangeElements(m, a, b, n, t, p);
  };
  RendererGL.MultiDrawElements = [](GLenum m, const GLsizei* n, GLenum t, const void* const* p, GLsizei c) {
    ++DrawCalls;
    ::glMultiDrawElements(m, n, t, p, c);
  };
}

bool Ready(int Mode, const std::string& Map) {
  if (!Context) return false;
  if (Mode != EngineMode) {
    Baseline.reset();
    Engine.reset();
    Engine = std::make_unique<RendererContentEngine>(ZNT1_CONTENT_DIR, 1280, 720, Mode == 0 ? 1 : 0);
    Baseline = std::make_unique<RendererBaseline>(*Engine);
    EngineMode = Mode;
    LoadedMap.clear();
  }
  if (Map != LoadedMap) {
    if (!Engine->MapCommand(Map) || !Engine->SpawnView()) return false;
    Baseline->Prepare();
    LoadedMap = Map;
    // Programs and textures reach the driver on first use; neither side pays for that here.
    Engine->Frame();
    Baseline->Render();
    glFinish();
  }
  return true;
}

void Frame(benchmark::State& State, int Mode, const std::string& Map, TSide Side) {
  if (!Ready(Mode, Map)) {
    State.SkipWithError("no OpenGL context or content");
    return;
  }
  uint64_t Draws = 0;
  const double Cpu0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID), Work0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  for (auto _ : State) {
    DrawCalls = 0;
    if (Side == sBaseline)
      Baseline->Render();
    else if (Side == sRendererNoSky)
      Engine->FrameWithoutSky();
    else
      Engine->Frame();
    glFinish();
    Draws += DrawCalls;
  }
  const double PerFrame = double(Draws) / double(State.iterations());
  State.counters["draws"] = PerFrame;
  const std::string Key = std::string(Sides[Side]) + Modes[Mode] + "/" + Map;
  DrawsPerFrame[Key] = PerFrame;
  ThreadSecondsPerFrame[Key] = (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - Cpu0) / double(State.iterations());
  WorkSecondsPerFrame[Key] = (CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - Work0) / double(State.iterations());
}

void Register() {
  for (int Mode = 0; Mode < 2; ++Mode)
    for (const char* Map : Maps)
      for (TSide Side : {sRenderer, sRendererNoSky, sBaseline}) {
        const std::string Name = std::string(Sides[Side]) + Modes[Mode] + "/" + Map;
        benchmark::RegisterBenchmark(Name.c_str(), [=](benchmark::State& s) { Frame(s, Mode, Map, Side); })
            ->Unit(benchmark::kMillisecond)
            ->Iterations(8);
      }
}

}  // namespace

int main(int argc, char** argv) {
  if (SDL_Init(SDL_INIT_VIDEO) == 0) {
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 24);
    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 8);
    Window = SDL_CreateWindow("bench", 0, 0, 1280, 720, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
    if (Window) Context = SDL_GL_CreateContext(Window);
  }
  if (!Context) std::fprintf(stderr, "no OpenGL context: %s\n", SDL_GetError());
  CountDraws();
  Register();
  const int Result = RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    std::printf("Renderer against the brute-force baseline (ratio = baseline / renderer; time: the renderer's frame "
                "without sky, the baseline's picture; whole: its frame with sky):\n");
    for (int Mode = 0; Mode < 2; ++Mode) {
      double LogTime = 0, LogWhole = 0, LogCpu = 0, LogWork = 0, LogDraws = 0;
      int n = 0;
      for (const char* Map : Maps) {
        const std::string Key = std::string(Modes[Mode]) + "/" + Map;
        const std::string Runs = "/iterations:8";
        const double tr = r.Time("RendererNoSky/" + Key + Runs), tw = r.Time("Renderer/" + Key + Runs),
                     tb = r.Time("Baseline/" + Key + Runs);
        const double dr = DrawsPerFrame["RendererNoSky/" + Key], db = DrawsPerFrame["Baseline/" + Key];
        const double cr = ThreadSecondsPerFrame["RendererNoSky/" + Key], cb = ThreadSecondsPerFrame["Baseline/" + Key];
        const double wr = WorkSecondsPerFrame["RendererNoSky/" + Key], wb = WorkSecondsPerFrame["Baseline/" + Key];
        if (tr <= 0 || tw <= 0 || tb <= 0 || dr <= 0 || cr <= 0 || wr <= 0) continue;
        std::printf("  %-16s %6.1f ms %5.1f fps (%5.2f ms CPU, %6.1f ms work) %5.0f draws, with sky %6.1f ms | baseline "
                    "%6.1f ms (%5.2f ms CPU, %6.1f ms work) %5.0f draws | time %.2fx, whole %.2fx, CPU %.2fx, work %.2fx, "
                    "draws %.1fx\n",
                    Key.c_str(), tr * 1e3, 1.0 / tr, cr * 1e3, wr * 1e3, dr, tw * 1e3, tb * 1e3, cb * 1e3, wb * 1e3, db,
                    tb / tr, tb / tw, cb / cr, wb / wr, db / dr);
        LogTime += std::log(tb / tr);
        LogWhole += std::log(tb / tw);
        LogCpu += std::log(cb / cr);
        LogWork += std::log(wb / wr);
        LogDraws += std::log(db / dr);
        ++n;
      }
      if (n)
        std::printf("  %-16s geometric mean: frame time %.2fx (whole frame %.2fx), drawing thread CPU %.2fx, work of all "
                    "threads %.2fx, draw calls %.1fx\n",
                    Modes[Mode], std::exp(LogTime / n), std::exp(LogWhole / n), std::exp(LogCpu / n),
                    std::exp(LogWork / n), std::exp(LogDraws / n));
    }
  });
  Baseline.reset();
  Engine.reset();
  if (Context) SDL_GL_DeleteContext(Context);
  if (Window) SDL_DestroyWindow(Window);
  SDL_Quit();
  return Result;
}
