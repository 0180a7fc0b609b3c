// The CPU frame blend of model meshes (position, both coordinates, normal and tangent blended,
// colour copied) over every mesh of the five largest content models, frame f to f + 1, against a
// plain loop blending as many floats between two packed float arrays.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "core/ZNT1StringList.h"
#include "world/ZNT1Model.h"

namespace {

constexpr int32_t FloatsPerVertex = 14;  // position 3, texture 2, light map 2, normal 3, tangent 4
constexpr float Weight = 0.37f;

struct TCorpus {
  std::unique_ptr<TZNT1Engine> Engine;
  std::unique_ptr<TZNT1Models> Models;
  std::vector<TZNT1ModelMesh*> Meshes;
  std::vector<std::vector<float>> Packed;  // per mesh: frames x vertices x 14 floats
  int64_t VerticesPerPass = 0;            // blended vertices of one pass over every mesh
  std::vector<std::string> Names;
};

// Frames x vertices of an MD3 file, read from its surface headers.
int64_t FrameVertices(const TMemoryStream& s) {
  auto Get = [&](int64_t o) {
    int32_t v = 0;
    if (o >= 0 && o + 4 <= s.Size()) std::memcpy(&v, s.Memory() + o, 4);
    return v;
  };
  int64_t Total = 0, Start = Get(100);
  for (int32_t i = 0; i < Get(84) && Start + 108 <= s.Size(); ++i) {
    Total += int64_t{Get(Start + 72)} * Get(Start + 80);
    if (Get(Start + 104) <= 0) break;
    Start += Get(Start + 104);
  }
  return Total;
}

TCorpus& Corpus() {
  static TCorpus c = [] {
    TCorpus c;
    c.Engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<TZNT1Game>, true);
    c.Engine->Archives->LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/");
    c.Engine->Archives->Finish();
    c.Models = std::make_unique<TZNT1Models>(c.Engine.get());
    TStringList Files;
    c.Engine->Archives->FindFiles("*.md3", &Files);
    std::vector<std::pair<int64_t, std::string>> Sizes;
    for (const std::string& Name : Files.Strings) {
      // Reduced models (name_1.md3 and so on) are parts of the models they reduce.
      const size_t u = Name.rfind('_');
      if (u != std::string::npos && Name.size() - u == 6 && std::isdigit(static_cast<unsigned char>(Name[u + 1])))
        continue;
      if (auto s = c.Engine->Archives->ExtractFile(Name)) Sizes.push_back({FrameVertices(*s), Name});
    }
    std::sort(Sizes.rbegin(), Sizes.rend());
    for (size_t i = 0; i < Sizes.size() && c.Names.size() < 5; ++i) {
      TZNT1Model* Model = c.Models->GetModel(Sizes[i].second);
      if (!Model) continue;
      c.Names.push_back(Sizes[i].second);
      for (TZNT1ModelMesh& Mesh : Model->Meshs) {
        if (Mesh.Frames < 2 || Mesh.VerticesPerFrame == 0) continue;
        c.Meshes.push_back(&Mesh);
        std::vector<float> p;
        p.reserve(size_t(Mesh.Frames) * size_t(Mesh.VerticesPerFrame) * FloatsPerVertex);
        for (int32_t f = 0; f < Mesh.Frames; ++f) {
          const TZNT1ModelMeshVBOFrame& vf = Mesh.VBOFrames[size_t(f)];
          const TZNT1VBOVertex* v = Mesh.VBOs[size_t(vf.VBOIndex)]->Vertices.data() + vf.StartVertex;
          for (int32_t j = 0; j < Mesh.VerticesPerFrame; ++j) {
            p.insert(p.end(), v[j].Position.xyz, v[j].Position.xyz + 3);
            p.insert(p.end(), v[j].TexCoord.xy, v[j].TexCoord.xy + 2);
            p.insert(p.end(), v[j].LightMapCoord.xy, v[j].LightMapCoord.xy + 2);
            p.insert(p.end(), v[j].Normal.xyz, v[j].Normal.xyz + 3);
            p.insert(p.end(), v[j].Tangent.xyzw, v[j].Tangent.xyzw + 4);
          }
        }
        c.Packed.push_back(std::move(p));
        c.VerticesPerPass += int64_t{Mesh.Frames - 1} * Mesh.VerticesPerFrame;
      }
    }
    return c;
  }();
  return c;
}

// The most vertices a frame of the corpus has; -1 (and the benchmark skipped) without content.
int32_t LargestFrame(benchmark::State& State, const TCorpus& c) {
  if (c.Meshes.empty()) {
    State.SkipWithError("no content models");
    return -1;
  }
  int32_t Largest = 0;
  for (TZNT1ModelMesh* Mesh : c.Meshes) Largest = std::max(Largest, Mesh->VerticesPerFrame);
  return Largest;
}

void ModelFrameBlend(benchmark::State& State) {
  TCorpus& c = Corpus();
  const int32_t Largest = LargestFrame(State, c);
  if (Largest < 0) return;
  TZNT1VBOVertices Target(static_cast<size_t>(Largest));
  for (auto _ : State) {
    for (TZNT1ModelMesh* Mesh : c.Meshes)
      for (int32_t f = 0; f + 1 < Mesh->Frames; ++f) {
        Mesh->InterpolateFrames(f, f + 1, Weight, Target);
        benchmark::DoNotOptimize(Target.data());
      }
    benchmark::ClobberMemory();
  }
  State.SetItemsProcessed(State.iterations() * c.VerticesPerPass);
  State.counters["vertices"] = double(c.VerticesPerPass);
}

void PlainFloatBlend(benchmark::State& State) {
  TCorpus& c = Corpus();
  const int32_t Largest = LargestFrame(State, c);
  if (Largest < 0) return;
  std::vector<float> Target(size_t(Largest) * FloatsPerVertex);
  for (auto _ : State) {
    for (size_t m = 0; m < c.Meshes.size(); ++m) {
      const size_t n = size_t(c.Meshes[m]->VerticesPerFrame) * FloatsPerVertex;
      const float* p = c.Packed[m].data();
      for (int32_t f = 0; f + 1 < c.Meshes[m]->Frames; ++f) {
        const float* __restrict a = p + size_t(f) * n;
        const float* __restrict b = a + n;
        float* __restrict t = Target.data();
        for (size_t i = 0; i < n; ++i) t[i] = (1.0f - Weight) * a[i] + Weight * b[i];
        benchmark::DoNotOptimize(Target.data());
      }
    }
    benchmark::ClobberMemory();
  }
  State.SetItemsProcessed(State.iterations() * c.VerticesPerPass);
}

BENCHMARK(ModelFrameBlend)->Unit(benchmark::kMillisecond);
BENCHMARK(PlainFloatBlend)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    const TCorpus& c = Corpus();
    std::printf("Models: ");
    for (const std::string& n : c.Names) std::printf("%s ", n.c_str());
    std::printf("\n%lld vertices per pass over every mesh\n", static_cast<long long>(c.VerticesPerPass));
    std::printf("Frame blend rate / plain float loop rate (the goal is 0.5 or above)\n");
    r.PrintRatio("frame f to f + 1, every mesh", "PlainFloatBlend", "ModelFrameBlend");
  });
}
