#include "core/ZNT1SystemEvent.h"

TZNT1SystemEventList::~TZNT1SystemEventList() {
  while (TZNT1SystemEvent* e = PopFirst()) delete e;
}

void TZNT1SystemEventList::PushFirst(TZNT1SystemEvent* Event) {
  Event->Previous = nullptr;
  Event->Next = First;
  if (First)
    First->Previous = Event;
  else
    Last = Event;
  First = Event;
}

void TZNT1SystemEventList::PushLast(TZNT1SystemEvent* Event) {
  Event->Next = nullptr;
  Event->Previous = Last;
  if (Last)
    Last->Next = Event;
  else
    First = Event;
  Last = Event;
}

TZNT1SystemEvent* TZNT1SystemEventList::PopFirst() {
  TZNT1SystemEvent* e = First;
  if (!e) return nullptr;
  First = e->Next;
  if (First)
    First->Previous = nullptr;
  else
    Last = nullptr;
  e->Previous = e->Next = nullptr;
  return e;
}

TZNT1SystemEvent* TZNT1SystemEventList::PopLast() {
  TZNT1SystemEvent* e = Last;
  if (!e) return nullptr;
  Last = e->Previous;
  if (Last)
    Last->Next = nullptr;
  else
    First = nullptr;
  e->Previous = e->Next = nullptr;
  return e;
}

TZNT1SystemEventManager::TZNT1SystemEventManager(TZNT1Engine* AEngine)
    : Engine(AEngine), QueueList(this), FreeList(this) {}

TZNT1SystemEvent* TZNT1SystemEventManager::Enqueue(int32_t EventType, int64_t Time) {
  TZNT1SystemEvent* e = FreeList.PopFirst();
  if (!e) {
    e = new TZNT1SystemEvent();
    ++AllocatedRecords;
  }
  e->Time = Time;
  e->EventType = EventType;
  QueueList.PushLast(e);
  return e;
}

TZNT1SystemEvent* TZNT1SystemEventManager::EnqueueSDLEvent(const SDL_Event& SDLEvent, int64_t Time) {
  TZNT1SystemEvent* e = Enqueue(zsetSDL, Time);
  e->SDLEvent = SDLEvent;
  return e;
}

TZNT1SystemEvent* TZNT1SystemEventManager::Dequeue() {
  TZNT1SystemEvent* e = QueueList.PopFirst();
  if (e) FreeList.PushLast(e);
  return e;
}
