#pragma once
// The program's one lock: re-entrant for the owning thread.
#include <cstdint>
#include <mutex>

class TZNT1CriticalSection {
 public:
  TZNT1CriticalSection() = default;
  TZNT1CriticalSection(const TZNT1CriticalSection&) = delete;
  TZNT1CriticalSection& operator=(const TZNT1CriticalSection&) = delete;

  void Enter();
  void Leave();
  // Informative only; not safe to read from other threads.
  bool Entered() const { return FEntered; }
  int32_t Level() const { return FLevel; }

 private:
  bool FEntered = false;
  int32_t FLevel = 0;
  std::recursive_mutex FCriticalSection;
};
