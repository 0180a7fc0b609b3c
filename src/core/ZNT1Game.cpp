#include "core/ZNT1Game.h"

#include "core/ZNT1Engine.h"

double TZNT1Game::GetTime() { return Engine->FloatTime; }
