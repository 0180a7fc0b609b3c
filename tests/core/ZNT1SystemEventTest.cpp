#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ZNT1SystemEvent.h"

TEST(SystemEventManager, QueueOrderAndRecycling) {
  TZNT1SystemEventManager m(nullptr);
  EXPECT_EQ(m.Dequeue(), nullptr);  // empty queue: nothing changes
  EXPECT_EQ(m.AllocatedRecords, 0);

  for (int i = 0; i < 3; ++i) m.Enqueue(zsetCONSOLE, 10 + i)->Console = "line" + std::to_string(i);
  EXPECT_EQ(m.AllocatedRecords, 3);
  for (int i = 0; i < 3; ++i) {
    TZNT1SystemEvent* e = m.Dequeue();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Time, 10 + i);
    EXPECT_EQ(e->Console, "line" + std::to_string(i));
  }
  EXPECT_EQ(m.Dequeue(), nullptr);

  SDL_Event ev{};
  ev.type = SDL_KEYDOWN;
  ev.key.keysym.sym = SDLK_a;
  m.Enqueue(zsetNONE, 20);
  m.EnqueueSDLEvent(ev, 21);
  m.Enqueue(zsetNONE, 22);
  EXPECT_EQ(m.AllocatedRecords, 3);  // reused, none allocated
  EXPECT_EQ(m.Dequeue()->EventType, zsetNONE);
  TZNT1SystemEvent* e = m.Dequeue();
  EXPECT_EQ(e->EventType, zsetSDL);
  EXPECT_EQ(e->SDLEvent.key.keysym.sym, SDLK_a);
  EXPECT_EQ(m.Dequeue()->Time, 22);
}

TEST(SystemEventManager, FilterKeepsOrderRecyclesTheRestAndQueuesBehindTheKept) {
  TZNT1SystemEventManager m(nullptr);
  for (int i = 0; i < 5; ++i) m.Enqueue(zsetCONSOLE, i)->Console = "e" + std::to_string(i);
  // Odd ones are taken; taking e1 queues a line, which goes behind e0, the one kept before it.
  m.Filter([&](TZNT1SystemEvent& e) {
    if (e.Time % 2 == 0) return true;
    if (e.Time == 1) m.Enqueue(zsetCONSOLE, 10)->Console = "from e1";
    return false;
  });
  std::vector<std::string> Left;
  while (TZNT1SystemEvent* e = m.Dequeue()) Left.push_back(e->Console);
  EXPECT_EQ(Left, (std::vector<std::string>{"e0", "from e1", "e2", "e4"}));
  // The taken records were recycled: two more events need no new record.
  EXPECT_EQ(m.AllocatedRecords, 6);
  m.Enqueue(zsetNONE, 20);
  m.Enqueue(zsetNONE, 21);
  EXPECT_EQ(m.AllocatedRecords, 6);
}

TEST(SystemEventList, PushPopBothEnds) {
  TZNT1SystemEventList l(nullptr);
  auto* a = new TZNT1SystemEvent;
  auto* b = new TZNT1SystemEvent;
  auto* c = new TZNT1SystemEvent;
  l.PushLast(b);
  l.PushFirst(a);
  l.PushLast(c);
  EXPECT_EQ(l.PopLast(), c);
  EXPECT_EQ(l.PopFirst(), a);
  EXPECT_EQ(l.PopFirst(), b);
  EXPECT_EQ(l.PopFirst(), nullptr);
  EXPECT_EQ(l.PopLast(), nullptr);
  l.PushLast(a);  // the destructor frees what is still linked
  delete b;
  delete c;
}
