// Long seeded random walks of a lone player over every map of the content: the origin never
// enters solid (checked by the point-contents query, not by the traces), positions stay finite,
// and falls out of the world are counted and answered with a respawn. Also the run, jump and
// gravity figures on oa_dm1's open floor.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Globals.h"
#include "core/ZNT1StringList.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "game/GameTestSupport.h"
#include "world/ZNT1BSP.h"

namespace {

constexpr float Tick = 1.0f / 60.0f;
constexpr float Pi = 3.14159265f;

struct WalkResult {
  double Distance = 0;
  int Falls = 0;
  int SolidHits = 0;
  int NonFinite = 0;
  int Starts = 0;
};

WalkResult Walk(TZNT1Engine& Engine, const std::string& Name, uint32_t Seed) {
  WalkResult r;
  if (!Engine.LoadMap(Name)) return r;
  TZNT1BSP& BSP = *Engine.BSP;
  TGameEntities List(&Engine);
  List.Load(&BSP);
  // Trigger volumes are drawn-only models whose solid brushes the player may enter; the point
  // query must see only what collides.
  for (size_t m = 1; m < BSP.BSPMapModels.size(); ++m)
    if (!BSP.BSPMapModels[m].Collision) BSP.BSPMapModels[m].Visible = false;
  std::vector<TZNT1Vector3> Starts;
  for (const TRespawnPosition& p : List.RespawnPositions)
    if (Starts.size() < 4) Starts.push_back(p.Origin);
  if (Starts.empty()) return r;
  TGameClient Client(&Engine, List.WeaponCache.get(), nullptr);
  const TZNT1AABB World = BSP.BSPMapModels[0].AABB;
  std::mt19937 Rng(Seed);
  std::uniform_real_distribution<float> U(0.0f, 1.0f);
  size_t Next = 0;
  auto Respawn = [&](size_t i) {
    Client.SetPosition(Starts[i % Starts.size()]);
    Client.Velocity = Vector3Origin;
    Client.Respawn();
  };
  for (size_t s = 0; s < Starts.size(); ++s) {
    ++r.Starts;
    Respawn(s);
    Next = s + 1;
    Client.Angle = Vector3(0, U(Rng) * 2 * Pi, 0);
    int Hold = 0;
    for (int t = 0; t < 3600; ++t) {
      if (--Hold <= 0) {
        Hold = 30 + static_cast<int>(U(Rng) * 90);  // 0.5 to 2 s
        Client.CommandFlags = static_cast<uint32_t>(Rng()) & gccfMOVEMENT;
        if (U(Rng) < 0.3f) Client.CommandFlags |= gccfJUMP;
        if (U(Rng) < 0.15f) Client.CommandFlags |= gccfDUCK;
        if (U(Rng) < 0.2f) Client.CommandFlags |= gccfWALK;
      }
      if (U(Rng) < 0.05f) Client.CommandFlags ^= gccfJUMP;
      Client.Angle.Yaw = std::fmod(Client.Angle.Yaw + (U(Rng) - 0.5f) * 0.2f + 2 * Pi, 2 * Pi);
      const TZNT1Vector3 From = Client.InternalPosition;
      Client.Update(Tick);
      const TZNT1Vector3 To = Client.InternalPosition;
      if (!std::isfinite(To.x) || !std::isfinite(To.y) || !std::isfinite(To.z)) {
        ++r.NonFinite;
        Respawn(Next++);
        continue;
      }
      const float Length = Vector3Dist(From, To);
      r.Distance += Length;
      const int Samples = std::max(1, static_cast<int>(std::ceil(Length / 4.0f)));
      for (int k = 1; k <= Samples; ++k) {
        const TZNT1Vector3 p = Vector3Lerp(From, To, static_cast<float>(k) / static_cast<float>(Samples));
        if (BSP.PointContentFlags(p) & static_cast<int32_t>(CONTENTS_SOLID)) {
          ++r.SolidHits;
          ADD_FAILURE() << Name << " start " << s << " tick " << t << " origin in solid at " << p.x << " " << p.y
                        << " " << p.z;
          break;
        }
      }
      if (!AABBContains(World, To)) {
        ++r.Falls;
        Respawn(Next++);
      }
    }
  }
  return r;
}

TEST(GameClientWalkContent, RandomWalksNeverEnterSolid) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({}, true);
  // The stock maps first, so that their seeds stay the same whatever else the folder holds.
  std::set<std::string> Stock;
  std::vector<std::string> Names = testdata::MapNamesStockFirst(*Engine.Archives, Stock);
  ASSERT_GE(Stock.size(), 70u);
#ifdef ZNT1_SANITIZE
  Names = {"oa_dm1", "oa_thor", "ctf_gate1"};
#endif
  const auto t0 = std::chrono::steady_clock::now();
  int TotalFalls = 0, Walked = 0, StockNames = 0, StockWalked = 0;
  double Distance = 0;
  std::printf("\n| map | starts | falls |\n|---|---|---|\n");
  for (size_t i = 0; i < Names.size(); ++i) {
    const WalkResult r = Walk(Engine, Names[i], 1234u + static_cast<uint32_t>(i));
    if (r.Starts) ++Walked;
    if (Stock.count(Names[i])) {
      ++StockNames;
      StockWalked += r.Starts > 0;
    }
    TotalFalls += r.Falls;
    Distance += r.Distance;
    EXPECT_EQ(r.NonFinite, 0) << Names[i];
    EXPECT_EQ(r.SolidHits, 0) << Names[i];
    if (r.Falls) std::printf("| %s | %d | %d |\n", Names[i].c_str(), r.Starts, r.Falls);
  }
  const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%d maps walked, %.0f units covered, %d falls, %.1f s\n", Walked, Distance, TotalFalls, Seconds);
  EXPECT_GE(StockWalked, StockNames - 2);  // a map of another archive may have no start at all
}

TEST(GameClientWalkContent, RunJumpAndGravityOnOpenFloor) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({}, true);
  ASSERT_TRUE(Engine.LoadMap("oa_dm1"));
  TGameEntities List(&Engine);
  List.Load(Engine.BSP.get());
  ASSERT_FALSE(List.RespawnPositions.empty());
  TGameClient c(&Engine, nullptr, nullptr);
  // Find a start with a clear second of running along some direction and 500 units of air above.
  bool Found = false;
  for (const TRespawnPosition& p : List.RespawnPositions) {
    for (int a = 0; a < 8 && !Found; ++a) {
      const TZNT1Vector3 Dir = Vector3(std::cos(a * Pi / 4), std::sin(a * Pi / 4), 0);
      c.SetPosition(p.Origin);
      c.Velocity = Vector3Origin;
      for (int i = 0; i < 30; ++i) c.Move(Vector3Origin, false, Tick, false, false);
      if (!c.Walking) continue;
      const TZNT1Vector3 Start = c.InternalPosition;
      c.Velocity = Vector3Origin;
      for (int i = 0; i < 60; ++i) c.Move(Dir, false, Tick, false, false);
      const float Run = Vector3Dot(Vector3Sub(c.InternalPosition, Start), Dir);
      if (std::fabs(Run - 302.4f) > 0.3f || std::fabs(c.InternalPosition.z - Start.z) > 1e-3f) continue;
      EXPECT_NEAR(std::hypot(c.Velocity.x, c.Velocity.y), 320.0f, 0.32f);
      // Jump in place there.
      c.Velocity = Vector3Origin;
      for (int i = 0; i < 30; ++i) c.Move(Vector3Origin, false, Tick, false, false);
      const float z0 = c.InternalPosition.z;
      float Apex = 0;
      for (int i = 1; i <= 30; ++i) {
        c.Move(Vector3Origin, i == 1, Tick, false, false);
        Apex = std::max(Apex, c.InternalPosition.z - z0);
      }
      if (std::fabs(Apex - 45.5625f) > 0.05f) continue;
      Found = true;
      std::printf("oa_dm1 at (%.0f %.0f %.0f) dir %d: run %.3f, apex %.4f\n", Start.x, Start.y, Start.z, a, Run, Apex);
    }
    if (Found) break;
  }
  EXPECT_TRUE(Found) << "no open floor with a clear run and jump";
  // Gravity under the highest ceiling above a spawn point: the fall of N ticks covers
  // 400 (N/60)^2 units, N as large as the room allows.
  float Best = 0;
  TZNT1Vector3 Top{};
  for (const TRespawnPosition& p : List.RespawnPositions) {
    c.SetPosition(p.Origin);
    TZNT1BSPCollisionTrace Up;
    c.DoTrace(p.Origin, Vector3(p.Origin.x, p.Origin.y, p.Origin.z + 2000), 1, Up);
    if (Up.EndPos.z - p.Origin.z > Best) {
      Best = Up.EndPos.z - p.Origin.z;
      Top = Vector3(p.Origin.x, p.Origin.y, Up.EndPos.z - 1);
    }
  }
  const int N = static_cast<int>(60.0f * std::sqrt((Best - 10.0f) / 400.0f));
  ASSERT_GE(N, 20) << "no room to fall";
  c.SetPosition(Top);
  c.Velocity = Vector3Origin;
  c.Time = 0;
  c.Flags = 0;
  c.Move(Vector3Origin, false, Tick, false, false);
  EXPECT_NEAR(c.Velocity.z, -40.0f / 3.0f, 0.05f);
  for (int i = 1; i < N; ++i) c.Move(Vector3Origin, false, Tick, false, false);
  const float Expected = 400.0f * (N / 60.0f) * (N / 60.0f);
  EXPECT_NEAR(Top.z - c.InternalPosition.z, Expected, std::max(0.05f, Expected * 0.001f));
  std::printf("oa_dm1 fall of %d ticks: %.3f units (expected %.3f)\n", N, Top.z - c.InternalPosition.z, Expected);
}

}  // namespace
