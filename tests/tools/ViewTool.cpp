// Frames of real maps as the player sees them, for looking at and for timing by hand:
//   znt1_view MAP [--quality low|full] [--size WxH] [--spawn N | --at X,Y,Z,YAW[,PITCH]]
//             [--all-spawns] [--wait SECONDS] [--frames N] [--out FILE.png] [--pick X,Y]
// Places the player (spawn N of the map's respawn list, default 0, or the given spot), runs the
// game for --wait seconds (default 0.5), then draws --frames frames (default 1) and prints the
// spot, the centre's mean luma and the frame times. --out writes the last frame (with
// --all-spawns, "%d" in FILE is replaced by the spawn index). --pick names the map face under
// pixel (X, Y) of the last frame with its material, light-map texel and vertex colour. Content:
// ZNT1_CONTENT_DIR, or the environment's ZNT1_CONTENT.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "assets/ZNT1Texture.h"
#include "core/ZNT1Engine.h"
#include "game/GameClient.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "material/ZNT1Shader.h"
#include "renderer/ZNT1Renderer.h"
#include "support/GameViewEngine.h"
#include "world/ZNT1BSP.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: znt1_view MAP [--quality low|full] [--size WxH] [--spawn N | --at X,Y,Z,YAW[,PITCH]]\n"
               "                 [--all-spawns] [--wait SECONDS] [--frames N] [--out FILE.png] [--pick X,Y]\n");
  return 2;
}

std::string OutName(const std::string& Pattern, size_t Index) {
  const size_t p = Pattern.find("%d");
  if (p == std::string::npos) return Pattern;
  return Pattern.substr(0, p) + std::to_string(Index) + Pattern.substr(p + 2);
}

// The nearest map face under pixel (X, Y) of the view just drawn, by a ray through the inverse
// view-projection against every face's triangles (brush models where they were built); prints
// what draws it.
void Pick(GameViewEngine& View, int X, int Y) {
  TZNT1Engine& e = View.Engine();
  const TZNT1BSP* m = e.BSP.get();
  TZNT1Matrix4x4 Inv;
  if (!m || !e.Renderer || !e.Renderer->MainContext ||
      !Matrix4x4Inverse(Inv, e.Renderer->MainContext->ViewProjectionMatrix))
    return;
  const float nx = 2.0f * (float(X) + 0.5f) / float(View.Width()) - 1.0f;
  const float ny = 1.0f - 2.0f * (float(Y) + 0.5f) / float(View.Height());
  TZNT1Vector3 Ends[2];
  for (int k = 0; k < 2; ++k) {
    TZNT1Vector4 p = Vector4(nx, ny, k == 0 ? -1.0f : 1.0f, 1.0f);
    Vector4MatrixMul(p, Inv);
    Ends[k] = Vector3(p.x / p.w, p.y / p.w, p.z / p.w);
  }
  const TZNT1Vector3 Dir = Vector3Norm(Vector3Sub(Ends[1], Ends[0]));
  float Best = 1e30f, BestU = 0, BestV = 0;
  int32_t BestFace = -1, BestTri = -1;
  for (int32_t f = 0; f < m->CountBSPFaces; ++f) {
    const TBSPMapFace& Face = m->BSPMapFaces[size_t(f)];
    if (Face.VBOIndex < 0 || Face.VBOIndex >= m->CountBSPVBOs) continue;
    const TBSPVBO& b = m->BSPVBOs[size_t(Face.VBOIndex)];
    for (int32_t i = 0; i + 2 < Face.CountIndices; i += 3) {
      const uint32_t* ix = &b.StaticIndices[size_t(Face.StartVBOIndex + i)];
      // Either winding: the test takes one side only.
      float t, u, v;
      const TZNT1Vector3 &a = b.Vertices[ix[0]].Position, &p1 = b.Vertices[ix[1]].Position,
                         &p2 = b.Vertices[ix[2]].Position;
      if (RayIntersectTriangle(Ends[0], Dir, a, p1, p2, t, u, v) && t > 0 && t < Best)
        Best = t, BestU = u, BestV = v, BestFace = f, BestTri = i;
      if (RayIntersectTriangle(Ends[0], Dir, a, p2, p1, t, u, v) && t > 0 && t < Best)
        Best = t, BestU = v, BestV = u, BestFace = f, BestTri = i;
    }
  }
  if (BestFace < 0) {
    std::printf("pick (%d %d): no map face\n", X, Y);
    return;
  }
  const TBSPMapFace& Face = m->BSPMapFaces[size_t(BestFace)];
  const TBSPVBO& b = m->BSPVBOs[size_t(Face.VBOIndex)];
  const uint32_t* ix = &b.StaticIndices[size_t(Face.StartVBOIndex + BestTri)];
  const float w[3] = {1.0f - BestU - BestV, BestU, BestV};
  float lm[2] = {0, 0}, rgba[4] = {0, 0, 0, 0};
  for (int k = 0; k < 3; ++k) {
    const TZNT1VBOVertex& v = b.Vertices[ix[k]];
    lm[0] += w[k] * v.LightMapCoord.x, lm[1] += w[k] * v.LightMapCoord.y;
    const uint8_t c[4] = {v.Color.r, v.Color.g, v.Color.b, v.Color.a};
    for (int j = 0; j < 4; ++j) rgba[j] += w[k] * float(c[j]);
  }
  const TZNT1Vector3 Hit = Vector3Add(Ends[0], Vector3ScalarMul(Dir, Best));
  std::printf("pick (%d %d): face %d type %d model %d at (%.1f %.1f %.1f), material %s, light map %d atlas %d, "
              "vertex colour (%.0f %.0f %.0f %.0f)", X, Y, BestFace, Face.FaceType, Face.ModelIndex, Hit.x, Hit.y, Hit.z,
              Face.Shader ? Face.Shader->Name.c_str() : "none", Face.lightmapID, Face.LightMapAtlas, rgba[0], rgba[1],
              rgba[2], rgba[3]);
  if (e.LightMaps && Face.LightMapAtlas >= 0 && Face.LightMapAtlas < e.LightMaps->Count()) {
    const TZNT1Texture* t = e.LightMaps->GetItem(Face.LightMapAtlas);
    if (t->Data && t->Width > 0 && t->Height > 0) {
      const int tx = std::clamp(int(lm[0] * float(t->Width)), 0, t->Width - 1);
      const int ty = std::clamp(int(lm[1] * float(t->Height)), 0, t->Height - 1);
      const uint8_t* p = static_cast<const uint8_t*>(t->Data) + (size_t(ty) * size_t(t->Width) + size_t(tx)) * 4;
      std::printf(", light-map texel (%d %d %d)", p[0], p[1], p[2]);
    }
  }
  std::printf("\n");
  if (const TZNT1Shader* s = Face.Shader)
    for (int32_t i = 0; i < s->Count(); ++i) {
      const TZNT1ShaderStage* st = s->GetStage(i);
      std::printf("  stage %d: %s rgbgen %d alphagen %d light map %d combine %d state %08x\n", i,
                  st->Texture[0] ? st->Texture[0]->Name.c_str() : "-", st->RGBGen, st->AlphaGen, int(st->IsLightMap),
                  st->UseLightMap, st->StateBits);
    }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string Map = argv[1];
  bool Full = false, AllSpawns = false, HaveSpot = false, HavePick = false;
  int PickX = 0, PickY = 0;
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
    else if (a == "--pick") {
      HavePick = std::sscanf(v, "%d,%d", &PickX, &PickY) == 2;
      if (!HavePick) return Usage();
    }
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
    if (const TGameClient* c = View.Client())
      std::printf("  player at (%g %g %g) looking yaw %g pitch %g roll %g\n", c->InternalPosition.x, c->InternalPosition.y, c->InternalPosition.z,
                  c->Angle.Yaw / float(DEG2RAD), c->Angle.Pitch / float(DEG2RAD), c->Angle.Roll / float(DEG2RAD));
    if (HavePick) Pick(View, PickX, PickY);
    if (!Out.empty()) {
      const std::string Name = OutName(Out, Index);
      if (!View.WritePNG(Name, Pixels)) std::fprintf(stderr, "could not write %s\n", Name.c_str());
    }
  }
  return 0;
}
