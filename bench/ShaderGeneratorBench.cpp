// Program generation for every request the content's material tables hold, against the program
// library's lookup of the same texts and a plain copy of their bytes (the floor), in both
// quality settings of Mesa's capability values.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../tests/support/ShaderProgramTestSupport.h"
#include "BenchRatio.h"
#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Texture.h"
#include "material/ZNT1ShaderGenerator.h"

namespace {

struct TRequest {
  TZNT1Shader* Shader;
  int32_t Kind, Stage;
  bool ClipPlane, Fog, Interpolate;
};

struct TCorpus {
  TZNT1Engine Engine{&CreateGameOfClass<TZNT1Game>, true};
  std::vector<TRequest> Requests[2];
  std::vector<TZNT1GeneratedShaderText> Texts[2];  // the programs that exist
  size_t Bytes[2] = {};
  int32_t Distinct[2] = {};
};

// The content's materials on a dedicated engine, with their requests per quality setting.
TCorpus& Content() {
  static TCorpus* corpus = [] {
    auto* c = new TCorpus;
    TZNT1Engine& E = c->Engine;
    E.Archives->LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/");
    E.Archives->Finish();
    E.Textures = std::make_unique<TZNT1Textures>(&E);
    E.Textures->CreateDefaultTextures();
    E.GLCapabilities = std::make_unique<TZNT1GLCapabilities>(&E);
    E.GLSLShaders = std::make_unique<TZNT1GLSLShaders>(&E);
    E.Shaders = std::make_unique<TZNT1Shaders>(&E);
    E.Shaders->Load();
    for (int q = 0; q < 2; q++) {
      programtest::SetMesaCapabilities(*E.GLCapabilities, q == 0);
      std::set<TZNT1GLSLShader*> Programs;
      for (TZNT1Shader* M : E.Shaders->Items) {
        M->DoInterpolateVertices = true;
        programtest::ForEachProgramRequest(*M, [&](int32_t Kind, int32_t Stage, bool Clip, bool Fog, bool Interp) {
          c->Requests[q].push_back({M, Kind, Stage, Clip, Fog, Interp});
          auto t = ComposeShader(M, Kind, Stage, Clip, Fog, Interp, 1);
          if (!t.Refusal.empty()) return false;
          Programs.insert(
              E.GLSLShaders->GetShader(t.VertexShader, t.GeometryShader, t.FragmentShader, t.OutputTriangles));
          c->Bytes[q] += t.VertexShader.size() + t.GeometryShader.size() + t.FragmentShader.size();
          c->Texts[q].push_back(std::move(t));
          return true;
        });
      }
      c->Distinct[q] = int32_t(Programs.size());
    }
    return c;
  }();
  return *corpus;
}

const char* const Quality[2] = {"low quality", "full quality"};

void Setting(TCorpus& c, int q) { programtest::SetMesaCapabilities(*c.Engine.GLCapabilities, q == 0); }

void BM_GenerateShader(benchmark::State& state) {
  TCorpus& c = Content();
  const int q = int(state.range(0));
  Setting(c, q);
  for (auto _ : state) {
    for (const TRequest& r : c.Requests[q])
      benchmark::DoNotOptimize(
          GenerateShader(r.Shader, r.Kind, r.Stage, r.ClipPlane, r.Fog, r.Interpolate, 1));
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(c.Requests[q].size()));
  state.SetLabel(Quality[q]);
}

void BM_GetShaderLookup(benchmark::State& state) {
  TCorpus& c = Content();
  const int q = int(state.range(0));
  for (auto _ : state) {
    for (const TZNT1GeneratedShaderText& t : c.Texts[q])
      benchmark::DoNotOptimize(
          c.Engine.GLSLShaders->GetShader(t.VertexShader, t.GeometryShader, t.FragmentShader, t.OutputTriangles));
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(c.Texts[q].size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(c.Bytes[q]));
  state.SetLabel(Quality[q]);
}

void BM_CopyBytes(benchmark::State& state) {
  TCorpus& c = Content();
  const int q = int(state.range(0));
  std::string Buffer;
  for (auto _ : state) {
    for (const TZNT1GeneratedShaderText& t : c.Texts[q]) {
      Buffer.assign(t.VertexShader);
      Buffer.append(t.GeometryShader);
      Buffer.append(t.FragmentShader);
      benchmark::DoNotOptimize(Buffer.data());
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(c.Texts[q].size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(c.Bytes[q]));
  state.SetLabel(Quality[q]);
}

BENCHMARK(BM_GenerateShader)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetShaderLookup)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyBytes)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    TCorpus& c = Content();
    for (int q = 0; q < 2; q++) {
      const std::string Q = q ? "/1" : "/0";
      const double Seconds = r.Time("BM_GenerateShader" + Q);
      std::printf("%s: %zu requests, %zu programs, %d distinct programs, %.1f MB of text",
                  Quality[q], c.Requests[q].size(), c.Texts[q].size(), c.Distinct[q], c.Bytes[q] / 1e6);
      if (Seconds > 0) std::printf(", %.0f requests per second", double(c.Requests[q].size()) / Seconds);
      std::printf("\n");
      std::string Lookup = Quality[q], Copy = Quality[q];
      Lookup += ": generation / GetShader lookup";
      Copy += ": generation / copying the bytes";
      r.PrintRatio(Lookup, "BM_GenerateShader" + Q, "BM_GetShaderLookup" + Q);
      r.PrintRatio(Copy, "BM_GenerateShader" + Q, "BM_CopyBytes" + Q);
    }
  });
}
