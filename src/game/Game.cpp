#include "game/Game.h"

#include "core/ZNT1Engine.h"
#include "sound/ZNT1Sound.h"

TGame::TGame(TZNT1Engine* AEngine) : TZNT1Game(AEngine) {}
TGame::~TGame() = default;

void TGame::Reset() {}
void TGame::Init() {}
void TGame::Shutdown() {}

void TGame::UnloadMap() {
  if (Engine->SoundSystem) Engine->SoundSystem->Lock();
  Engine->UnloadMap();
  if (Engine->SoundSystem) Engine->SoundSystem->Unlock();
}

void TGame::LoadMap(const std::string& MapName) {
  if (Engine->SoundSystem) Engine->SoundSystem->Lock();
  Engine->LoadMap(MapName);
  if (Engine->BSP) Engine->Upload();
  if (Engine->SoundSystem) Engine->SoundSystem->Unlock();
  Engine->DoneLoadMap();
}

bool TGame::ProcessSDLEvent(const SDL_Event*) { return false; }
void TGame::UpdateInput() {}
void TGame::Update(double) {}
void TGame::Draw(float, float) {}
void TGame::UpdateSounds() {}
double TGame::GetTime() { return TZNT1Game::GetTime(); }
