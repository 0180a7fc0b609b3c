#include "core/ZNT1Console.h"

#include "core/ZNT1Engine.h"

TZNT1Console::TZNT1Console(TZNT1Engine* AEngine) : Engine(AEngine) {}
TZNT1Console::~TZNT1Console() { Dispose(); }

void TZNT1Console::Upload() {}
void TZNT1Console::Dispose() {}
void TZNT1Console::Draw(int64_t) {}

void TZNT1Console::KeyLeft() {}
void TZNT1Console::KeyRight() {}
void TZNT1Console::KeyUp() {}
void TZNT1Console::KeyDown() {}
void TZNT1Console::KeyEscape() {}
void TZNT1Console::KeyBegin() {}
void TZNT1Console::KeyEnd() {}
void TZNT1Console::KeyDelete() {}
void TZNT1Console::KeyBackspace() {}
void TZNT1Console::KeyChar(char c) { Line.push_back(c); }

void TZNT1Console::KeyEnter() {
  // The committed line runs in the next frame: it is queued behind this frame's end marker.
  TZNT1SystemEvent* e = Engine->SystemEventManager->Enqueue(zsetCONSOLE, Engine->HighResolutionTimer->GetTime());
  e->Console = Line;
  Line.clear();
}
