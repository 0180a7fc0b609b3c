#include "core/ZNT1CriticalSection.h"

void TZNT1CriticalSection::Enter() {
  FCriticalSection.lock();
  ++FLevel;
  FEntered = true;
}

void TZNT1CriticalSection::Leave() {
  --FLevel;
  FEntered = false;
  FCriticalSection.unlock();
}
