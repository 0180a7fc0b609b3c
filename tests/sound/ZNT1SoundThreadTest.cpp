#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "core/ZNT1Globals.h"
#include "sound/ZNT1Sound.h"
#include "support/SoundTestSupport.h"

using namespace soundtest;

namespace {

void Sleep(int Milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds)); }

// What the engine's audio callback does, in a loop on its own thread.
struct Callback {
  TZNT1SoundSystem& System;
  std::atomic<bool> Running{true};
  std::atomic<int64_t> Blocks{0};
  std::mutex LastMutex;
  std::vector<uint8_t> Last;
  std::thread Thread;
  explicit Callback(TZNT1SoundSystem& S) : System(S), Last(static_cast<size_t>(S.OutputBufferSize)) {
    Thread = std::thread([this] {
      std::vector<uint8_t> buffer(Last.size());
      while (Running.load()) {
        if (System.IsReady.load() && System.RingBuffer->Used() >= static_cast<int32_t>(buffer.size())) {
          System.RingBuffer->Read(buffer.data(), static_cast<int32_t>(buffer.size()));
          std::lock_guard<std::mutex> hold(LastMutex);
          Last = buffer;
          ++Blocks;
          continue;
        }
        if (InterlockedCompareExchange(System.Thread->Sleeping, -1, -1) != 0) System.Thread->Event.SetEvent();
        Sleep(1);
      }
    });
  }
  ~Callback() {
    Running.store(false);
    Thread.join();
  }
  std::vector<uint8_t> LastBlock() {
    std::lock_guard<std::mutex> hold(LastMutex);
    return Last;
  }
  void WaitForBlocks(int64_t Count) {
    const int64_t target = Blocks.load() + Count;
    for (int i = 0; i < 5000 && Blocks.load() < target; ++i) Sleep(1);
  }
};

}  // namespace

TEST(SoundThread, LockToggledWhileTheHookPlaysAndSamplesComeAndGo) {
  TZNT1SoundSystem system(nullptr, 44100, 2, 16, 256);
  system.Lock();
  TMemoryStream hookFile(Mono16(std::vector<int16_t>(3000, 1000)));
  TZNT1SoundSample* hookSample = system.Samples->Load("hook", &hookFile, 0, 4);
  ASSERT_NE(hookSample, nullptr);
  int32_t calls = 0, notReady = 0, handle = -1;
  system.CriticalSection.Enter();
  system.UpdateHook = [&] {
    ++calls;
    if (!system.IsReady.load()) ++notReady;
    if (calls % 3 == 0)
      hookSample->Stop(handle);
    else
      hookSample->Play(0.5f, 0.0f, calls % 2 ? 1.0f : 2.0f, &handle);
  };
  system.CriticalSection.Leave();
  system.Unlock();
  system.Thread->Start();
  {
    Callback callback(system);
    const Bytes other = Mono16(std::vector<int16_t>(500, -7));
    for (int i = 0; i < 10000; ++i) {
      system.Lock();
      if (i % 10 == 0) {
        TMemoryStream stream(other);
        TZNT1SoundSample* s = system.Samples->Load("other", &stream, 0, 2);
        ASSERT_NE(s, nullptr);
        s->Play(1.0f, 0.0f, 1.0f, nullptr);  // freed below while on the mixer's list
        s->DecRef();
      }
      system.Unlock();
      if (i % 1000 == 0) callback.WaitForBlocks(2);
    }
    callback.WaitForBlocks(2);
  }
  system.Lock();
  EXPECT_GT(calls, 10);
  EXPECT_EQ(notReady, 0);
  EXPECT_EQ(system.Samples->Count(), 1);
}

TEST(SoundThread, HookNeverRunsWhenLockCompletesWhileTheThreadWaitsForTheLock) {
  TZNT1SoundSystem system(nullptr, 44100, 2, 16, 256);
  system.Lock();
  std::atomic<int32_t> calls{0};
  system.CriticalSection.Enter();
  system.UpdateHook = [&] { ++calls; };
  system.Unlock();  // ready, but the lock is still held here
  system.Thread->Start();
  Sleep(50);  // the thread has seen IsReady and now waits to enter
  system.Lock();
  system.CriticalSection.Leave();
  Sleep(50);
  EXPECT_EQ(calls.load(), 0);
  EXPECT_EQ(InterlockedCompareExchange(system.Thread->Sleeping, -1, -1), -1);
}

TEST(SoundThread, MutedEightBitBlocksAreSilence) {
  TZNT1SoundSystem system(nullptr, 44100, 1, 8, 256);
  system.Lock();
  TMemoryStream file(Mono16(std::vector<int16_t>(100000, 20000)));
  TZNT1SoundSample* s = system.Samples->Load("dc", &file, 2, 1);
  s->Play(1.0f, 0.0f, 1.0f, nullptr);
  system.Mute();
  system.Unlock();
  system.Thread->Start();
  {
    Callback callback(system);
    callback.WaitForBlocks(3);
    system.Lock();
    EXPECT_EQ(callback.LastBlock(), std::vector<uint8_t>(256, 0x80));
    system.Unmute();
    system.Unlock();
    callback.WaitForBlocks(4);
    system.Lock();
    EXPECT_NE(callback.LastBlock(), std::vector<uint8_t>(256, 0x80));
  }
}
