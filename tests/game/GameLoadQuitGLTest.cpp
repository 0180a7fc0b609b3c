// A quit that arrives while the program's engine loads a real map inside a frame (a closed window,
// Alt+F4, "quit" typed into the console, SIGTERM, SIGINT): the load stops at its next step, the
// map is dropped, no frame follows and the run ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1Engine.h"
#include "game/Game.h"
#include "material/ZNT1Shader.h"
#include "support/EngineHoldings.h"
#include "support/EngineRunFixture.h"
#include "support/QuitDelivery.h"
#include "support/TestData.h"
#include "world/ZNT1BSP.h"

namespace {

// How far the load had come, seen from the loading screen.
struct TStage {
  bool Map = false, MapUploaded = false, Entities = false, Player = false;
  int32_t Materials = 0;
  int32_t ReferencedMaterials = 0;  // taking a reference builds a material's programs
};

struct TRecord {
  int Inputs = 0, Draws = 0;  // game frames and draws in all
  int InputsAtPush = -1, DrawsAtPush = -1;
  bool Pushed = false;
  TStage AtPush, Furthest;  // the furthest of every stage reported after the push
  bool MapAfterLoad = true, EntitiesAfterLoad = true, LoadingAfterLoad = true;
  holdings::TInUse BeforeLoad, AfterLoad;
};

TRecord Record;

// Queues "map oa_dm1" in its first frame, so that it runs in the second, as typed.
class LoadProbeGame : public TGame {
 public:
  using TGame::TGame;
  void UpdateInput() override {
    if (++Record.Inputs == 1) {
      Record.BeforeLoad = holdings::InUse(*Engine);
      Engine->Command->Queue("map oa_dm1\n");
    }
    if (Record.Inputs == 600) {  // never hang: a load that ignored the quit ends here
      SDL_Event quit{};
      quit.type = SDL_QUIT;
      SDL_PushEvent(&quit);
    }
    TGame::UpdateInput();
  }
  void Draw(float Interpolation, float DeltaTime) override {
    ++Record.Draws;
    TGame::Draw(Interpolation, DeltaTime);
  }
  void LoadMap(const std::string& Name) override {
    TGame::LoadMap(Name);
    Record.MapAfterLoad = Engine->BSP != nullptr;
    Record.EntitiesAfterLoad = GameEntities != nullptr || LocalClientEntity != nullptr;
    Record.LoadingAfterLoad = Engine->Loading;
    Record.AfterLoad = holdings::InUse(*Engine);
  }
  TStage Stage() const {
    return {Engine->BSP != nullptr,
            Engine->BSP && Engine->BSP->Uploaded,
            GameEntities != nullptr,
            LocalClientEntity != nullptr,
            Engine->Shaders->Count(),
            holdings::ReferencedMaterials(*Engine)};
  }
};

// Delivers the quit at the load's first report at or past QuitAt (a forced one, or a keep-alive
// when KeepAlive is set) once the load has taken MapReferencesAt material references.
class QuitWhileLoadingEngine : public TZNT1Engine {
 public:
  QuitWhileLoadingEngine(TQuitWay AWay, float AQuitAt, bool AKeepAlive, int32_t AMapReferencesAt)
      : TZNT1Engine(&CreateGameOfClass<LoadProbeGame>, false),
        Way(AWay),
        QuitAt(AQuitAt),
        KeepAlive(AKeepAlive),
        MapReferencesAt(AMapReferencesAt) {}
  void ShowLoadProgress(bool Force, float Progress) override {
    if (Loading && Game) {
      const TStage Now = static_cast<LoadProbeGame&>(*Game).Stage();
      if (!Record.Pushed && Force != KeepAlive && Progress >= QuitAt &&
          Now.ReferencedMaterials - Record.BeforeLoad.ReferencedMaterials >= MapReferencesAt) {
        EXPECT_TRUE(DeliverQuit(Way, SDLSurfaceWindow, Console->Focus));
        // The next report looks for it, however soon it comes.
        LastProgressTime = 0;
        Record.Pushed = true;
        Record.AtPush = Record.Furthest = Now;
        Record.InputsAtPush = Record.Inputs;
        Record.DrawsAtPush = Record.Draws;
      } else if (Record.Pushed) {
        TStage& f = Record.Furthest;
        f.Map |= Now.Map;
        f.MapUploaded |= Now.MapUploaded;
        f.Entities |= Now.Entities;
        f.Player |= Now.Player;
        f.Materials = std::max(f.Materials, Now.Materials);
        f.ReferencedMaterials = std::max(f.ReferencedMaterials, Now.ReferencedMaterials);
      }
    }
    TZNT1Engine::ShowLoadProgress(Force, Progress);
  }
  const TQuitWay Way;
  const float QuitAt;
  const bool KeepAlive;
  const int32_t MapReferencesAt;
};

class GameLoadQuitGL : public EngineRunFixture {};

}  // namespace

TEST_F(GameLoadQuitGL, QuitWhileAMapLoadsStopsTheLoadAndEndsTheRun) {
  // Where the quit arrives, and what the load must not have done after it.
  const struct {
    const char* Where;
    float QuitAt;
    bool KeepAlive;
    int32_t MapReferencesAt;
    std::function<bool(const TStage& AtPush, const TStage& Furthest)> Stopped;
  } Points[] = {
      {"as the load starts", 0.0f, false, 0, [](const TStage&, const TStage& f) { return !f.Map; }},
      {"as the map's materials are about to be made", 23.0f / 60.0f, false, 0,
       [](const TStage& p, const TStage& f) { return p.Map && f.Materials == p.Materials; }},
      {"within the map's material pass", 23.0f / 60.0f, true, 0,
       [](const TStage& p, const TStage& f) { return p.Map && !f.MapUploaded && !f.Entities; }},
      {"as the map's file is loaded", 0.5f, false, 0,
       [](const TStage& p, const TStage& f) { return p.Map && !f.MapUploaded && !f.Entities; }},
      {"while the game's entities load", 0.525f, true, 0,
       [](const TStage& p, const TStage& f) { return p.Entities && !f.Player; }},
      {"while the map is drawn under the loading screen", 0.905f, false, 0,
       [](const TStage& p, const TStage&) { return p.Player; }},
      // Each reference builds a material's programs, seconds in all without a driver cache: at
      // most the material under way is finished.
      {"while the map takes its material references", 23.0f / 60.0f, true, 2,
       [](const TStage& p, const TStage& f) { return f.ReferencedMaterials <= p.ReferencedMaterials + 1 && !f.MapUploaded; }},
  };
  // Each way at two points or more, each point by a way or two.
  const struct {
    TQuitWay Way;
    int Point;
  } Cases[] = {{TQuitWay::WindowClose, 0}, {TQuitWay::WindowClose, 5}, {TQuitWay::AltF4, 2},
               {TQuitWay::AltF4, 4},       {TQuitWay::TypedQuit, 1},   {TQuitWay::TypedQuit, 3},
               {TQuitWay::Sigterm, 2},     {TQuitWay::Sigterm, 4},     {TQuitWay::Sigint, 0},
               {TQuitWay::Sigint, 5},      {TQuitWay::TypedQuit, 6},   {TQuitWay::Sigterm, 6}};
  REQUIRE_CONTENT_DIR();
  for (const auto& Case : Cases) {
    const auto& c = Points[Case.Point];
    SCOPED_TRACE(std::string(QuitWayName(Case.Way)) + " " + c.Where);
    Record = TRecord{};
    auto engine = std::make_unique<QuitWhileLoadingEngine>(Case.Way, c.QuitAt, c.KeepAlive, c.MapReferencesAt);
    ASSERT_TRUE(MountContent(*engine));
    ASSERT_TRUE(engine->Run()) << engine->InitError;
    ASSERT_TRUE(Record.Pushed) << "the load never came there";
    EXPECT_TRUE(engine->Quit);
    EXPECT_TRUE(c.Stopped(Record.AtPush, Record.Furthest));
    // The frame that ran the map command ended with it: no input, no draw after the quit.
    EXPECT_EQ(Record.Inputs, Record.InputsAtPush);
    EXPECT_EQ(Record.Draws, Record.DrawsAtPush);
    // Nothing of the map stayed: the engine holds what it held before the command, and a load
    // cut short is no error.
    EXPECT_FALSE(Record.MapAfterLoad);
    EXPECT_FALSE(Record.EntitiesAfterLoad);
    EXPECT_FALSE(Record.LoadingAfterLoad);
    EXPECT_EQ(Record.AfterLoad.ReferencedTextures, Record.BeforeLoad.ReferencedTextures);
    EXPECT_EQ(Record.AfterLoad.ReferencedMaterials, Record.BeforeLoad.ReferencedMaterials);
    EXPECT_EQ(Record.AfterLoad.ReferencedModels, Record.BeforeLoad.ReferencedModels);
    EXPECT_EQ(Record.AfterLoad.Instances, Record.BeforeLoad.Instances);
    EXPECT_EQ(Record.AfterLoad.LightMaps, Record.BeforeLoad.LightMaps);
    for (const std::string& Line : engine->Console->Lines.Strings)
      EXPECT_EQ(Line.find("ERROR"), std::string::npos) << Line;
    // Run tore down as after any quit.
    EXPECT_EQ(engine->Game, nullptr);
    EXPECT_EQ(engine->BSP, nullptr);
    EXPECT_EQ(engine->SoundSystem, nullptr);
    EXPECT_EQ(engine->SDLSurfaceContext, nullptr);
    EXPECT_EQ(engine->SDLSurfaceWindow, nullptr);
  }
}
