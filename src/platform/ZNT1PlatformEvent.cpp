#include "platform/ZNT1PlatformEvent.h"

void TZNT1PlatformEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> lock(Mutex);
    Signalled = true;
  }
  Condition.notify_one();
}

void TZNT1PlatformEvent::WaitFor() {
  std::unique_lock<std::mutex> lock(Mutex);
  Condition.wait(lock, [this] { return Signalled; });
  Signalled = false;
}
