#pragma once
// The engine's software mixer: mixes blocks on its own thread into a ring buffer for the audio callback.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "core/ZNT1CriticalSection.h"
#include "core/ZNT1RingBuffer.h"
#include "platform/ZNT1PlatformEvent.h"

class TZNT1Engine;
class TZNT1SoundSystem;

constexpr int32_t SPATIALIZATION_FAST = 0;
constexpr int32_t SPATIALIZATION_PSEUDO = 1;
constexpr int32_t SPATIALIZATION_HRTF = 2;

using TZNT1SoundSystemUpdateHook = std::function<void()>;

class TZNT1SoundThread {
 public:
  // The thread runs at once; whenever it finds mixing stopped (also while the sound system is
  // still being built) it parks until Start or the audio callback signals it.
  explicit TZNT1SoundThread(TZNT1SoundSystem* ASoundSystem);
  ~TZNT1SoundThread();
  TZNT1SoundThread(const TZNT1SoundThread&) = delete;
  TZNT1SoundThread& operator=(const TZNT1SoundThread&) = delete;

  void Start() { Event.SetEvent(); }
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }

  TZNT1SoundSystem* SoundSystem;
  std::vector<uint8_t> Buffer;
  TZNT1PlatformEvent Event;
  volatile int32_t Sleeping = 0;  // -1 while parked on Event

 private:
  void Execute();
  std::atomic<bool> FTerminated{false};
  std::thread FThread;
};

class TZNT1SoundSystem {
 public:
  TZNT1SoundSystem(TZNT1Engine* AEngine, int32_t ASampleRate, int32_t AChannels, int32_t ABits,
                   int32_t ABufferSamples);
  ~TZNT1SoundSystem();
  TZNT1SoundSystem(const TZNT1SoundSystem&) = delete;
  TZNT1SoundSystem& operator=(const TZNT1SoundSystem&) = delete;

  void Lock();
  void Unlock();
  void Mute();
  void Unmute();
  // Mixes one block into OutputBuffer; called by the mixing thread only.
  void FillBuffer();
  void ClipBuffer(int32_t* Buffer, int32_t Limit);

  TZNT1Engine* Engine;
  int32_t SpatializationMode = SPATIALIZATION_PSEUDO;
  int32_t SampleRate;
  int32_t Channels;
  int32_t Bits;
  int32_t BufferSamples;
  int32_t BufferChannelSamples;
  int32_t BufferOutputChannelSamples;
  int32_t MixingBufferSize;
  int32_t OutputBufferSize;
  std::vector<int32_t> MixingBuffer;
  std::vector<int32_t> EffectMixingBuffer;
  std::vector<uint8_t> OutputBuffer;
  int32_t MasterVolume = 4096;
  bool AGCActive = true;
  int32_t AGC = 256;
  int32_t AGCCounter = 0;
  int32_t AGCInterval = 1;
  TZNT1CriticalSection CriticalSection;
  TZNT1SoundSystemUpdateHook UpdateHook;
  std::unique_ptr<TZNT1RingBuffer> RingBuffer;
  std::unique_ptr<TZNT1SoundThread> Thread;
  std::atomic<bool> IsReady{false};
  std::atomic<bool> IsMuted{false};
};
