#pragma once
// A game loaded into a generated room with brush models and an entity text, ticked by hand, with
// the local player placed directly (its own movement is not what these tests are about).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "GameTestSupport.h"
#include "core/ZNT1Console.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "world/ZNT1DynamicAABBTree.h"
#include "sound/ZNT1Sound.h"
#include "support/BSPWriter.h"
#include "support/MathTestSupport.h"
#include "support/SoundTestSupport.h"

namespace roomtest {

constexpr double Tick = 1.0 / 60.0;

// The sounds the entity classes load, as tiny one-second WAVs.
inline gametest::Files EntitySounds() {
  gametest::Files f;
  const std::vector<int16_t> Tone(44100, 1000);
  for (const char* n : {"sound/movers/doors/dr1_strt.wav", "sound/movers/doors/dr1_end.wav",
                        "sound/movers/plats/pt1_strt.wav", "sound/movers/plats/pt1_end.wav",
                        "sound/movers/switches/butn2.wav", "sound/world/jumppad.wav", "sound/world/telein.wav",
                        "sound/items/respawn1.wav", "sound/items/poweruprespawn.wav", "sound/items/n_health.wav",
                        "sound/misc/w_pkup.wav", "sound/misc/am_pkup.wav"})
    f.emplace_back(n, soundtest::Mono16(Tone));
  return f;
}

struct Room {
  explicit Room(const std::vector<bspwriter::TBrushModel>& Models, const std::string& Entities,
                gametest::Files Extra = EntitySounds())
      : Engine(WithMap(Models, Entities, std::move(Extra))), Game(Engine.MakeGame()) {
    Game.LoadMap("room");
  }
  static gametest::Files WithMap(const std::vector<bspwriter::TBrushModel>& Models, const std::string& Entities,
                                 gametest::Files Extra) {
    Extra.emplace_back("maps/room.bsp", bspwriter::MakeEntityRoom(Models, Entities).Build());
    return Extra;
  }
  ~Room() {
    // The list goes under the sound lock, as the game does it.
    if (Engine.SoundSystem) Engine.SoundSystem->Lock();
    Game.GameEntities.reset();
    if (Engine.SoundSystem) Engine.SoundSystem->Unlock();
  }
  TGameEntities& E() { return *Game.GameEntities; }
  TGameEntityClient& PlayerEntity() { return *Game.LocalClientEntity; }
  TGameClient& Player() { return *Game.LocalClientInstance; }
  void Place(const TZNT1Vector3& p) {
    Player().SetPosition(p);
    PlayerEntity().Translation = p;
    PlayerEntity().AABB = Player().AABB;
  }
  // Keeps the player out of the way, far from every trigger.
  void Park() { Place(Vector3(900, 900, 30)); }
  void Run(int32_t Ticks) {
    for (int32_t i = 0; i < Ticks; ++i) E().Update(Tick);
  }
  // The first entity of a class, nullptr when none.
  template <class T>
  T* First(int32_t Skip = 0) {
    for (TGameEntity* e : E().Items)
      if (auto* t = dynamic_cast<T*>(e); t && Skip-- == 0) return t;
    return nullptr;
  }
  // Carries out pending sound requests as the mixer's hook would.
  void Sounds() {
    Engine.SoundSystem->Lock();
    E().UpdateSound(&PlayerEntity());
    Engine.SoundSystem->Unlock();
  }
  int32_t ConsoleLines() const { return Engine.Console ? Engine.Console->Lines.Count() : 0; }

  gametest::GameEngine Engine;
  TGame& Game;
};

using mathtest::Box;

}  // namespace roomtest
