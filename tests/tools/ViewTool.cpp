// Frames of real maps as the player sees them, for looking at and for timing by hand:
//   znt1_view MAP [--quality low|full] [--size WxH] [--spawn N | --at X,Y,Z,YAW[,PITCH]]
//             [--all-spawns] [--wait SECONDS] [--frames N] [--out FILE.png]
// Places the player (spawn N of the map's respawn list, default 0, or the given spot), runs the
// game for --wait seconds (default 0.5), then draws --frames frames (default 1) and prints the
// spot, the centre's mean luma and the frame times. --out writes the last frame (with
// --all-spawns, "%d" in FILE is replaced by the spawn index). Content: ZNT1_CONTENT_DIR, or
// the environment's ZNT1_CONTENT.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/ZNT1Engine.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "renderer/ZNT1Renderer.h"
#include "support/GameViewEngine.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: znt1_view MAP [--quality low|full] [--size WxH] [--spawn N | --at X,Y,Z,YAW[,PITCH]]\n"
               "                 [--all-spawns] [--wait SECONDS] [--frames N] [--out FILE.png]\n");
  return 2;
}

std::string OutName(const std::string& Pattern, size_t Index) {
  const size_t p = Pattern.find("%d");
  if (p == std::string::npos) return Pattern;
  return Pattern.substr(0, p) + std::to_string(Index) + Pattern.substr(p + 2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string Map = argv[1];
  bool Full = false, AllSpawns = false, HaveSpot = false;
  int W = 1280, H = 720, Frames = 1;
  size_t Spawn = 0;
  double Wait = 0.5;
  float Spot[5] = {0, 0, 0, 0, 0};
  std::string Out;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--all-spawns") {
      AllSpawns = true;
      continue;
    }
    if (!v) return Usage();
    ++i;
    if (a == "--quality") Full = std::strcmp(v, "full") == 0;
    else if (a == "--size") {
      if (std::sscanf(v, "%dx%d", &W, &H) != 2) return Usage();
    } else if (a == "--spawn") Spawn = size_t(std::atoi(v));
    else if (a == "--at") {
      HaveSpot = std::sscanf(v, "%f,%f,%f,%f,%f", &Spot[0], &Spot[1], &Spot[2], &Spot[3], &Spot[4]) >= 4;
      if (!HaveSpot) return Usage();
    } else if (a == "--wait") Wait = std::atof(v);
    else if (a == "--frames") Frames = std::max(1, std::atoi(v));
    else if (a == "--out") Out = v;
    else return Usage();
  }
  const char* Content = std::getenv("ZNT1_CONTENT");
  GameViewEngine View(Content ? Content : ZNT1_CONTENT_DIR, W, H, Full);
  if (!View.Ready()) {
    std::fprintf(stderr, "engine did not start: %s\n", View.Error().c_str());
    return 1;
  }
  if (!View.LoadMap(Map)) {
    std::fprintf(stderr, "map %s did not load\n", Map.c_str());
    return 1;
  }
  const auto Spawns = View.Spawns();
  std::vector<size_t> Indices;
  if (AllSpawns)
    for (size_t i = 0; i < Spawns.size(); ++i) Indices.push_back(i);
  else
    Indices.push_back(Spawn);
  std::printf("%s, %s quality (LowQuality %d), %dx%d, %zu spawn points\n", Map.c_str(), Full ? "full" : "low",
              int(View.Engine().GLCapabilities->LowQuality), View.Width(), View.Height(), Spawns.size());
  for (const size_t Index : Indices) {
    TZNT1Vector3 Origin;
    float Yaw, Pitch = 0;
    if (HaveSpot && !AllSpawns) {
      Origin = Vector3(Spot[0], Spot[1], Spot[2]);
      Yaw = Spot[3];
      Pitch = Spot[4];
    } else if (Index < Spawns.size()) {
      Origin = Spawns[Index].Origin;
      Yaw = Spawns[Index].Yaw;
    } else {
      std::fprintf(stderr, "no spawn point %zu\n", Index);
      return 1;
    }
    View.Place(Origin, Yaw, Pitch);
    View.Advance(Wait);
    std::vector<double> Ms;
    std::vector<uint8_t> Pixels;
    for (int f = 0; f < Frames; ++f) Ms.push_back(View.Frame(1.0 / 60.0, f + 1 == Frames ? &Pixels : nullptr));
    std::vector<double> Sorted = Ms;
    std::sort(Sorted.begin(), Sorted.end());
    std::printf("spawn %zu at (%g %g %g) yaw %g pitch %g: luma %.1f (whole %.1f), frame ms median %.1f p95 %.1f max %.1f, "
                "flushes %u batch items %u\n",
                Index, Origin.x, Origin.y, Origin.z, Yaw, Pitch, View.MeanLuma(Pixels), View.MeanLuma(Pixels, 1.0),
                Sorted[Sorted.size() / 2], Sorted[std::min(Sorted.size() - 1, Sorted.size() * 95 / 100)],
                Sorted.back(), View.Engine().Renderer->CountFlushs, View.Engine().Renderer->CountBatchItems);
    if (!Out.empty()) {
      const std::string Name = OutName(Out, Index);
      if (!View.WritePNG(Name, Pixels)) std::fprintf(stderr, "could not write %s\n", Name.c_str());
    }
  }
  return 0;
}
