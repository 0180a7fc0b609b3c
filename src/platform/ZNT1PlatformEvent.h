#pragma once
// An auto-reset event: one waiter is released per signal; a signal with no waiter is kept.
#include <condition_variable>
#include <mutex>

class TZNT1PlatformEvent {
 public:
  void SetEvent();
  void WaitFor();

 private:
  std::mutex Mutex;
  std::condition_variable Condition;
  bool Signalled = false;
};
