// The player's camera per frame (first and third person both run every frame) against the same
// sphere traces issued alone: at an open spot of a real map, and on a generated map with the
// player and the stored camera inside a solid brush, so that the glide tries every candidate.
// Also the entity-list load of the largest entity list.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "game/Game.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "support/BSPWriter.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1BSPCollision.h"
#include "assets/ZipTestSupport.h"
#include "assets/ZNT1Unzip.h"

namespace {

constexpr float Frame = 1.0f / 60.0f;

struct TSegment {
  TZNT1Vector3 Start, End;
};

struct TScene {
  std::unique_ptr<TZNT1Engine> Engine;
  TGame* Game = nullptr;
  TGameClient* Client = nullptr;
  TZNT1Vector3 StoredCamera{};
  std::vector<TSegment> Traces;  // one frame's camera traces
};

void Record(void* User, const TZNT1Vector3& Start, const TZNT1Vector3& End) {
  static_cast<std::vector<TSegment>*>(User)->push_back({Start, End});
}

std::unique_ptr<TZNT1Engine> MakeEngine(bool Content, const std::vector<uint8_t>* MapFile) {
  auto Engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<TGame>, true);
  if (Content) Engine->Archives->LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/");
  if (MapFile) {
    ziptest::Entry e;
    e.Name = "maps/room.bsp";
    e.Data = *MapFile;
    auto* Stream = new TZNT1MemoryInputStream(ziptest::BuildZip({e}).Bytes_);
    if (!Engine->Archives->Load(Stream, "zzz-bench.pk3", true)) delete Stream;
  }
  Engine->Archives->Finish();
  Engine->Init();
  Engine->Game = Engine->GameClass(Engine.get());
  return Engine;
}

// Loads the map, places the player, settles the camera and records one frame's traces.
TScene* Scene(bool Real) {
  static std::unique_ptr<TScene> Cache[2];
  std::unique_ptr<TScene>& s = Cache[Real ? 1 : 0];
  if (s) return s->Client ? s.get() : nullptr;
  s = std::make_unique<TScene>();
  if (Real) {
    s->Engine = MakeEngine(true, nullptr);
    s->Game = static_cast<TGame*>(s->Engine->Game.get());
    s->Game->LoadMap("oa_dm1");
  } else {
    bspwriter::TCollisionFixture x = bspwriter::MakeCollisionFixture();
    x.File.Entities = "{\n\"classname\" \"worldspawn\"\n}\n";
    const std::vector<uint8_t> File = x.File.Build();
    s->Engine = MakeEngine(false, &File);
    s->Game = static_cast<TGame*>(s->Engine->Game.get());
    s->Game->LoadMap("room");
  }
  if (!s->Game->LocalClientInstance) return nullptr;
  TGameClient& c = *s->Game->LocalClientInstance;
  if (!Real) {
    // Inside the slope wedge (solid below z = x - 100): eye and camera both in the brush.
    c.SetPosition(Vector3(250, 0, 60));
    c.CameraThirdPosition = Vector3(260, 0, 90);
  }
  for (int f = 0; f < 120; ++f) c.GetViewMatrix(Frame, 1.0f);
  s->StoredCamera = c.CameraThirdPosition;
  c.CameraTraceObserver = &Record;
  c.CameraTraceObserverUser = &s->Traces;
  c.GetViewMatrix(Frame, 1.0f);
  c.CameraTraceObserver = nullptr;
  c.CameraThirdPosition = s->StoredCamera;
  s->Client = &c;
  return s.get();
}

void BM_GetViewMatrix(benchmark::State& State, bool Real) {
  TScene* s = Scene(Real);
  if (!s) {
    State.SkipWithError("map not available");
    return;
  }
  for (auto _ : State) {
    s->Client->CameraThirdPosition = s->StoredCamera;
    benchmark::DoNotOptimize(s->Client->GetViewMatrix(Frame, 1.0f));
  }
  State.counters["traces"] = static_cast<double>(s->Traces.size());
}

void BM_SphereTracesAlone(benchmark::State& State, bool Real) {
  TScene* s = Scene(Real);
  if (!s) {
    State.SkipWithError("map not available");
    return;
  }
  TZNT1BSPCollision& Collision = *s->Engine->BSP->Collision;
  for (auto _ : State) {
    for (const TSegment& t : s->Traces) {
      TZNT1BSPCollisionTrace Trace;
      Trace.Alive = true;
      Collision.TraceSphere(t.Start, t.End, 4.0f, 8, Trace, static_cast<int32_t>(MASK_PLAYERSOLID));
      benchmark::DoNotOptimize(Trace.EndPos);
    }
  }
  State.counters["traces"] = static_cast<double>(s->Traces.size());
}

void BM_EntitiesLoad(benchmark::State& State, const char* Name) {
  static std::unique_ptr<TZNT1Engine> Engine;
  if (!Engine) {
    Engine = MakeEngine(true, nullptr);
    Engine->LoadMap(Name);
  }
  if (!Engine->BSP) {
    State.SkipWithError("map not available");
    return;
  }
  for (auto _ : State) {
    auto e = std::make_unique<TGameEntities>(Engine.get());
    e->Load(Engine->BSP.get());
    benchmark::DoNotOptimize(e->Count());
  }
  State.counters["entities"] = static_cast<double>(Engine->BSP->Entities->Count());
}

BENCHMARK_CAPTURE(BM_GetViewMatrix, oa_dm1_open, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SphereTracesAlone, oa_dm1_open, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GetViewMatrix, generated_in_solid, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SphereTracesAlone, generated_in_solid, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EntitiesLoad, oa_thor, "oa_thor")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    std::printf("Camera per frame against its sphere traces alone (goal <= 1.2):\n");
    r.PrintRatio("oa_dm1, open spot", "BM_GetViewMatrix/oa_dm1_open", "BM_SphereTracesAlone/oa_dm1_open");
    r.PrintRatio("generated, camera in solid", "BM_GetViewMatrix/generated_in_solid",
                 "BM_SphereTracesAlone/generated_in_solid");
  });
}
