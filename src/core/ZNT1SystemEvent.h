#pragma once
// The queue of everything that happens between two frames: platform events and console lines.
#include <SDL2/SDL.h>

#include <cstdint>
#include <string>

class TZNT1Engine;
class TZNT1SystemEventManager;

constexpr int32_t zsetNONE = 0;     // end-of-batch marker
constexpr int32_t zsetSDL = 1;      // a polled SDL event
constexpr int32_t zsetCONSOLE = 2;  // a console line to execute

struct TZNT1SystemEvent {
  TZNT1SystemEvent* Previous = nullptr;
  TZNT1SystemEvent* Next = nullptr;
  int64_t Time = 0;
  std::string Console;
  int32_t EventType = zsetNONE;
  SDL_Event SDLEvent{};
};

class TZNT1SystemEventList {
 public:
  explicit TZNT1SystemEventList(TZNT1SystemEventManager* AEventManager) : EventManager(AEventManager) {}
  ~TZNT1SystemEventList();
  TZNT1SystemEventList(const TZNT1SystemEventList&) = delete;
  TZNT1SystemEventList& operator=(const TZNT1SystemEventList&) = delete;

  void PushFirst(TZNT1SystemEvent* Event);
  void PushLast(TZNT1SystemEvent* Event);
  TZNT1SystemEvent* PopFirst();
  TZNT1SystemEvent* PopLast();

  TZNT1SystemEventManager* EventManager;
  TZNT1SystemEvent* First = nullptr;
  TZNT1SystemEvent* Last = nullptr;
};

class TZNT1SystemEventManager {
 public:
  explicit TZNT1SystemEventManager(TZNT1Engine* AEngine);

  // Records are recycled through FreeList; the returned record stays valid until the next Enqueue.
  TZNT1SystemEvent* Enqueue(int32_t EventType, int64_t Time);
  TZNT1SystemEvent* EnqueueSDLEvent(const SDL_Event& SDLEvent, int64_t Time);
  TZNT1SystemEvent* Dequeue();
  // Takes the queued events through Keep in order; those it answers false for are recycled.
  // Events that Keep queues go behind the ones kept before them.
  template <class F>
  void Filter(F&& Keep) {
    TZNT1SystemEventList Pending(this);
    while (TZNT1SystemEvent* e = QueueList.PopFirst()) Pending.PushLast(e);
    while (TZNT1SystemEvent* e = Pending.PopFirst()) {
      if (Keep(*e))
        QueueList.PushLast(e);
      else
        FreeList.PushLast(e);
    }
  }

  TZNT1Engine* Engine;
  TZNT1SystemEventList QueueList;
  TZNT1SystemEventList FreeList;
  int32_t AllocatedRecords = 0;  // records ever allocated (none in the steady state)
};
