#include "sound/ZNT1Sound.h"

#include <algorithm>
#include <cstring>

#include "core/ZNT1Globals.h"
#include "platform/ZNT1PlatformTimer.h"

TZNT1SoundThread::TZNT1SoundThread(TZNT1SoundSystem* ASoundSystem)
    : SoundSystem(ASoundSystem), Buffer(static_cast<size_t>(std::max(0, ASoundSystem->OutputBufferSize)), 0) {
  FThread = std::thread([this] { Execute(); });
}

TZNT1SoundThread::~TZNT1SoundThread() {
  FTerminated.store(true, std::memory_order_release);
  Event.SetEvent();
  if (FThread.joinable()) FThread.join();
}

void TZNT1SoundThread::Execute() {
  TZNT1SoundSystem& s = *SoundSystem;
  while (!Terminated()) {
    if (!s.IsReady.load()) {
      InterlockedExchange(Sleeping, -1);
      Event.WaitFor();
      InterlockedExchange(Sleeping, 0);
      continue;
    }
    s.CriticalSection.Enter();
    s.FillBuffer();
    s.CriticalSection.Leave();
    if (s.IsMuted.load()) std::fill(s.OutputBuffer.begin(), s.OutputBuffer.end(), uint8_t(0));
    // Hand the block over once there is room; drop it when mixing was stopped meanwhile.
    while (!Terminated() && s.IsReady.load()) {
      if (s.RingBuffer->Size - s.RingBuffer->Used() >= s.OutputBufferSize) {
        s.RingBuffer->Write(s.OutputBuffer.data(), s.OutputBufferSize);
        break;
      }
      PlatformSleep(1);
    }
  }
}

TZNT1SoundSystem::TZNT1SoundSystem(TZNT1Engine* AEngine, int32_t ASampleRate, int32_t AChannels, int32_t ABits,
                                   int32_t ABufferSamples)
    : Engine(AEngine),
      SampleRate(ASampleRate),
      Channels(AChannels),
      Bits(ABits),
      BufferSamples(std::max(1, ABufferSamples)),
      BufferChannelSamples(BufferSamples * 2),
      BufferOutputChannelSamples(BufferSamples * AChannels),
      MixingBufferSize(BufferSamples * 8),
      OutputBufferSize(ABits * BufferSamples * AChannels / 8),
      MixingBuffer(static_cast<size_t>(BufferChannelSamples)),
      EffectMixingBuffer(static_cast<size_t>(BufferChannelSamples)),
      OutputBuffer(static_cast<size_t>(std::max(0, OutputBufferSize))) {
  AGCInterval = std::max(1, SampleRate * 25 / 1000);
  RingBuffer = std::make_unique<TZNT1RingBuffer>(2 * OutputBufferSize);
  Thread = std::make_unique<TZNT1SoundThread>(this);
  IsReady.store(true);
  IsMuted.store(false);
}

TZNT1SoundSystem::~TZNT1SoundSystem() {
  // The thread is stopped and joined before anything it uses goes.
  std::unique_ptr<TZNT1SoundThread> t = std::move(Thread);
  t.reset();
  RingBuffer.reset();
}

void TZNT1SoundSystem::Lock() {
  CriticalSection.Enter();
  IsReady.store(false);
  CriticalSection.Leave();
}

void TZNT1SoundSystem::Unlock() {
  CriticalSection.Enter();
  IsReady.store(true);
  CriticalSection.Leave();
}

void TZNT1SoundSystem::Mute() {
  CriticalSection.Enter();
  IsMuted.store(true);
  CriticalSection.Leave();
}

void TZNT1SoundSystem::Unmute() {
  CriticalSection.Enter();
  IsMuted.store(false);
  CriticalSection.Leave();
}

void TZNT1SoundSystem::ClipBuffer(int32_t* Buffer, int32_t Limit) {
  for (int32_t i = 0; i < BufferChannelSamples; ++i) Buffer[i] = std::clamp(Buffer[i], -Limit, Limit - 1);
}

void TZNT1SoundSystem::FillBuffer() {
  if (UpdateHook) UpdateHook();
  std::fill(MixingBuffer.begin(), MixingBuffer.end(), 0);
  std::fill(EffectMixingBuffer.begin(), EffectMixingBuffer.end(), 0);
  // Voices, streams and effects mix into the buses here.
  for (int32_t i = 0; i < BufferChannelSamples; ++i) MixingBuffer[i] += EffectMixingBuffer[i];
  if (MasterVolume != 4096) {
    ClipBuffer(MixingBuffer.data(), 0x80000);
    for (int32_t i = 0; i < BufferChannelSamples; ++i) MixingBuffer[i] = (MixingBuffer[i] * MasterVolume) >> 12;
  }
  if (AGCActive) {
    for (int32_t i = 0; i < BufferSamples; ++i) {
      const int32_t l = (MixingBuffer[i * 2] * AGC) >> 8;
      const int32_t r = (MixingBuffer[i * 2 + 1] * AGC) >> 8;
      MixingBuffer[i * 2] = std::clamp(l, -32768, 32767);
      MixingBuffer[i * 2 + 1] = std::clamp(r, -32768, 32767);
      if (l < -32768 || l > 32767 || r < -32768 || r > 32767) {
        --AGC;
        AGCCounter = 0;
      } else if (AGC < 256 && ++AGCCounter >= AGCInterval) {
        AGCCounter = 0;
        ++AGC;
      }
    }
  } else {
    for (int32_t i = 0; i < BufferChannelSamples; ++i) MixingBuffer[i] = std::clamp(MixingBuffer[i], -32768, 32767);
  }
  if (Channels == 1)
    for (int32_t i = 0; i < BufferSamples; ++i) MixingBuffer[i] = (MixingBuffer[i * 2] + MixingBuffer[i * 2 + 1]) >> 1;
  if (Bits == 8) {
    for (int32_t i = 0; i < BufferOutputChannelSamples; ++i)
      OutputBuffer[i] = static_cast<uint8_t>((MixingBuffer[i] + 32768) >> 8);
  } else if (Bits == 16) {
    int16_t* out = reinterpret_cast<int16_t*>(OutputBuffer.data());
    for (int32_t i = 0; i < BufferOutputChannelSamples; ++i) out[i] = static_cast<int16_t>(MixingBuffer[i]);
  }
}
