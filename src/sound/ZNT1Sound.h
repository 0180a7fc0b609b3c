#pragma once
// The engine's software mixer: samples, voices and the mixing thread that feeds the audio callback.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/ZNT1CriticalSection.h"
#include "core/ZNT1Math.h"
#include "core/ZNT1RingBuffer.h"
#include "core/ZNT1Stream.h"
#include "core/ZNT1StringHashMap.h"
#include "platform/ZNT1PlatformEvent.h"

class TZNT1Engine;
class TZNT1SoundSystem;
class TZNT1SoundSample;
class TZNT1SoundSamples;

constexpr int32_t SPATIALIZATION_FAST = 0;
constexpr int32_t SPATIALIZATION_PSEUDO = 1;
constexpr int32_t SPATIALIZATION_HRTF = 2;

constexpr int32_t ZSSSoundLoopModeNONE = 0;
constexpr int32_t ZSSSoundLoopModeFORWARD = 1;
constexpr int32_t ZSSSoundLoopModePINGPONG = 2;
constexpr int32_t ZSSSoundLoopModeBACKWARD = 3;

// Guard frames on each side of a sample's data.
constexpr int32_t ZSSSampleFixUp = 1024;
// Rate of the built-in head-related preset; the mixer runs HRTF mode only at this rate.
constexpr int32_t ZSSHRTFPresetSampleRate = 44100;
constexpr int32_t ZSSHRTFMaxLength = 32;
// Highest file rate a sample may have; above it (and at 0) a file is refused.
constexpr uint32_t ZSSMaxFileSampleRate = 1000000;

using TZNT1SoundSystemUpdateHook = std::function<void()>;

struct TZNT1SoundSampleLoop {
  int32_t Mode = ZSSSoundLoopModeNONE;
  int32_t StartSample = 0;
  int32_t EndSample = 0;
};

// round to nearest, ties to even (the mixer's one rounding rule).
int64_t SoundRound(double Value);

// One playing instance of a sample.
class TZNT1SoundSampleVoice {
 public:
  TZNT1SoundSampleVoice(TZNT1SoundSystem* ASoundSystem, int32_t AIndex, TZNT1SoundSample* ASample);
  ~TZNT1SoundSampleVoice();
  TZNT1SoundSampleVoice(const TZNT1SoundSampleVoice&) = delete;
  TZNT1SoundSampleVoice& operator=(const TZNT1SoundSampleVoice&) = delete;

  // Appends to the sound system's active list unless already there.
  void Enqueue();
  // Unlinks from the active list when on it.
  void Dequeue();
  // Starts the voice from the sample's beginning; volume and panning clamp to -1 … 1.
  void Init(float AVolume, float APanning, float ARate);
  // Recomputes the target increment from Rate and DopplerRate.
  void UpdateIncrement();
  // Mixes one block into Buffer (interleaved stereo); may unlink the voice.
  void MixTo(int32_t* Buffer, int32_t ASampleVolume);
  // Loop handling; frames of the next run, 0 when the voice ends.
  int32_t GetSampleLength(int32_t Count);
  void PreClickRemoval(int32_t* Buffer);
  void PostClickRemoval(int32_t* Buffer, int32_t Count);
  void UpdateIncrementRamping();
  void UpdateVolumeRamping(int32_t ASampleVolume);
  void MixProcNormal(int32_t* Buffer, int32_t Count);
  void MixProcVolumeRamping(int32_t* Buffer, int32_t Count);

  TZNT1SoundSampleVoice* Previous = nullptr;
  TZNT1SoundSampleVoice* Next = nullptr;
  TZNT1SoundSampleVoice* NextFree = nullptr;
  bool IsOnList = false;
  TZNT1SoundSystem* SoundSystem;
  TZNT1SoundSample* Sample;
  int32_t Index;
  bool MixToEffect = false;
  bool Active = false;
  bool KeyOff = false;
  bool Backwards = false;
  int32_t Volume = 0;
  int32_t Panning = 0;
  int64_t Age = 0;
  int64_t Position = 0;
  int64_t Increment = 0;
  int64_t IncrementLast = 0;
  int64_t IncrementCurrent = 0;
  int64_t IncrementIncrement = 0;
  int32_t IncrementRampingRemain = 0;
  int32_t IncrementRampingStepRemain = 0;
  int64_t MixIncrement = 0;
  int32_t RampingSamples;
  int32_t MulLeft = 65536;
  int32_t MulRight = 65536;
  // Ear gains are 1.15 shifted left 16: full scale (32,768 << 16) needs 64 bits.
  int64_t VolumeLeft = 0;
  int64_t VolumeRight = 0;
  int64_t VolumeLeftLast = 0;
  int64_t VolumeRightLast = 0;
  int64_t VolumeLeftCurrent = 0;
  int64_t VolumeRightCurrent = 0;
  int64_t VolumeLeftIncrement = 0;
  int64_t VolumeRightIncrement = 0;
  int32_t VolumeRampingRemain = 0;
  int32_t HRTFLength = ZSSHRTFMaxLength;
  int32_t HRTFMask = ZSSHRTFMaxLength - 1;
  bool Spatialization = false;
  TZNT1Vector3 SpatializationOrigin{};
  TZNT1Vector3 SpatializationVelocity{};
  std::vector<int32_t> SpatializationDelayLeftLine;
  std::vector<int32_t> SpatializationDelayRightLine;
  int32_t SpatializationLowPassLeftCoef = 0x40000000;
  int32_t SpatializationLowPassRightCoef = 0x40000000;
  TZNT1Vector3 LastDirection{};
  // Click-removal tails, 12 extra fraction bits.
  int32_t LastLeft = 0;
  int32_t LastRight = 0;
  int32_t NewLastLeft = 0;
  int32_t NewLastRight = 0;
  float Rate = 1.0f;
  float DopplerRate = 1.0f;
  int32_t* VoiceIndexPointer = nullptr;
};

// One decoded sound with its pool of voices.
class TZNT1SoundSample {
 public:
  TZNT1SoundSample(TZNT1SoundSystem* ASoundSystem, TZNT1SoundSamples* ASoundSamples);
  ~TZNT1SoundSample();
  TZNT1SoundSample(const TZNT1SoundSample&) = delete;
  TZNT1SoundSample& operator=(const TZNT1SoundSample&) = delete;

  void IncRef() { ++ReferenceCounter; }
  // The last reference frees the sample (and with it its voices).
  void DecRef();
  void SetPolyphony(int32_t Count);
  void CorrectPolyphony();
  // Guard frames around the data and across interior loop ends.
  void FixUp();
  // Storage for Frames frames (left for the decoder to fill) between zeroed guard frames; Data
  // points at frame 0. Keep frames are carried over from the block in place before.
  void AllocateData(int32_t Frames, int32_t Keep = 0);
  // Frame i, channel c (0 left, 1 right); i may reach into the guard frames.
  int32_t& At(int32_t i, int32_t c) { return Data[i * 2 + c]; }

  // Voice operations: the caller holds the sound system's lock.
  int32_t Play(float AVolume, float APanning, float ARate, int32_t* AVoiceIndexPointer);
  int32_t Stop(int32_t VoiceNumber);
  int32_t DoKeyOff(int32_t VoiceNumber);
  int32_t SetVolume(int32_t VoiceNumber, float AVolume);
  int32_t SetPanning(int32_t VoiceNumber, float APanning);
  int32_t SetRate(int32_t VoiceNumber, float ARate);
  int32_t SetPosition(int32_t VoiceNumber, int32_t ASpatialization, const TZNT1Vector3& Origin,
                      const TZNT1Vector3& Velocity);
  int32_t SetEffectMix(int32_t VoiceNumber, int32_t EffectMix);
  bool IsPlaying() const;
  bool IsVoicePlaying(int32_t VoiceNumber) const;
  int32_t VoiceCount() const { return static_cast<int32_t>(Voices.size()); }

  TZNT1SoundSystem* SoundSystem;
  TZNT1SoundSamples* SoundSamples;
  std::string Name;
  int32_t* Data = nullptr;
  int32_t SampleLength = 0;
  int32_t SampleRate = 0;
  TZNT1SoundSampleLoop Loop;
  TZNT1SoundSampleLoop SustainLoop;
  std::vector<std::unique_ptr<TZNT1SoundSampleVoice>> Voices;
  int32_t ReferenceCounter = 0;
  int32_t SamplePolyphony = 0;
  TZNT1SoundSampleVoice* FreeVoice = nullptr;

 private:
  bool ValidVoice(int32_t VoiceNumber) const { return VoiceNumber >= 0 && VoiceNumber < VoiceCount(); }
  std::unique_ptr<int32_t[]> FDataBlock;
};

// Decoders: fill an empty sample from a whole file; false on any fault (nothing printed).
bool SoundLoadWAV(TZNT1SoundSample* Sample, const uint8_t* Bytes, size_t Size);
bool SoundLoadOGG(TZNT1SoundSample* Sample, const uint8_t* Bytes, size_t Size);

// The sample library: shares samples by loop kind and name.
class TZNT1SoundSamples {
 public:
  explicit TZNT1SoundSamples(TZNT1SoundSystem* ASoundSystem);
  ~TZNT1SoundSamples();
  TZNT1SoundSamples(const TZNT1SoundSamples&) = delete;
  TZNT1SoundSamples& operator=(const TZNT1SoundSamples&) = delete;

  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  TZNT1SoundSample* GetItem(int32_t Index) const;
  void SetItem(int32_t Index, TZNT1SoundSample* Sample);
  // Loop 0 one-shot, 1 the file's loops, 2 and above looping. Main thread; takes the lock.
  // nullptr for a missing, short, unknown or damaged file; a found or new sample gets a reference.
  TZNT1SoundSample* Load(const std::string& Name, TMemoryStream* Stream, uint32_t Loop, int32_t Polyphony);
  // Library key of Name under a loop kind.
  static std::string Key(const std::string& Name, uint32_t Loop);

  TZNT1SoundSystem* SoundSystem;
  std::vector<TZNT1SoundSample*> Items;
  TZNT1StringHashMap HashMap;
};

// Effect processors on the effect bus (pass-through for now).
class TZNT1SoundPitchShifter {
 public:
  void Process(int32_t* Buffer, int32_t Count) {}
  float Factor = 1.0f;
};

class TZNT1SoundReverb {
 public:
  void Process(int32_t* Buffer, int32_t Count) {}
  float Dry = 1.0f;
  float Wet = 0.0f;
};

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

  // Between Lock and Unlock no block is mixed and the hook is not called.
  void Lock();
  void Unlock();
  // Mixing goes on; the blocks handed out are silent.
  void Mute();
  void Unmute();
  void SetMixerMasterVolume(float Volume);
  void SetMixerOGGVolume(float Volume);
  void SetMixerSampleVolume(float Volume);
  void SetMixerAGC(bool Active);
  // Gives every owner of a shared sample its own voices; after a map's sounds are loaded.
  void Setup();
  // Mixes one block into OutputBuffer; called by the mixing thread only.
  void FillBuffer();
  // Clamps the BufferChannelSamples values of a bus to -Limit … Limit - 1.
  void ClipBuffer(int32_t* Buffer, int32_t Limit);

  TZNT1Engine* Engine;
  std::unique_ptr<TZNT1SoundSamples> Samples;
  int32_t SpatializationMode = SPATIALIZATION_PSEUDO;
  bool HRTF = false;
  const void* HRTFPreset = nullptr;
  TZNT1SoundSampleVoice* VoiceFirst = nullptr;
  TZNT1SoundSampleVoice* VoiceLast = nullptr;
  int32_t SampleRate;
  int32_t Channels;
  int32_t Bits;
  float SpatializationWaterLowPassCW = 0.0f;
  int32_t SpatializationWaterWaterBoostLowPassCW = 0;
  int32_t SpatializationWaterWaterBoostHighPassCW = 0;
  int32_t SpatializationWaterWaterBoost = 16384;
  float SpatializationLowPassCW = 0.0f;
  float SpatializationDelayAir = 0.0f;
  float SpatializationDelayUnderwater = 0.0f;
  int32_t SpatializationDelayPowerOfTwo = 32;
  int32_t SpatializationDelayMask = 31;
  int32_t BufferSamples;
  int32_t BufferChannelSamples;
  int32_t BufferOutputChannelSamples;
  int32_t MixingBufferSize;
  int32_t OutputBufferSize;
  std::vector<int32_t> MixingBuffer;
  std::vector<int32_t> EffectMixingBuffer;
  std::vector<uint8_t> OutputBuffer;
  int32_t MasterVolume = 4096;
  int32_t SampleVolume = 32768;
  int32_t OGGVolume = 4096;
  int32_t RampingSamples = 441;
  int32_t RampingStepSamples = 44;
  bool AGCActive = true;
  int32_t AGC = 256;
  int32_t AGCCounter = 0;
  int32_t AGCInterval = 1;
  TZNT1CriticalSection CriticalSection;
  std::vector<int32_t> CubicSplineTable;  // 4096 rows of 4 weights
  TZNT1Vector3 ListenerOrigin{};
  TZNT1Vector3 ListenerVelocity{};
  TZNT1Matrix4x4 ListenerMatrix;
  bool ListenerUnderwater = false;
  int32_t LowPassLeft = 0;
  int32_t LowPassRight = 0;
  int32_t LowPassLast = 0x40000000;
  int32_t LowPassCurrent = 0x40000000;
  int32_t LowPassIncrement = 0;
  int32_t LowPassRampingLength = 0;
  int32_t WaterBoostLowPassLeft[4] = {};
  int32_t WaterBoostLowPassRight[4] = {};
  int32_t WaterBoostMiddlePassLeft = 0;
  int32_t WaterBoostMiddlePassRight = 0;
  int32_t WaterBoostHighPassLeft[4] = {};
  int32_t WaterBoostHighPassRight[4] = {};
  int32_t WaterBoostHistoryLeft[4] = {};
  int32_t WaterBoostHistoryRight[4] = {};
  TZNT1SoundSystemUpdateHook UpdateHook;
  std::unique_ptr<TZNT1SoundPitchShifter> PitchShifter;
  std::unique_ptr<TZNT1SoundReverb> Reverb;
  std::vector<int32_t> PanningLUT;  // 65,537 entries
  std::unique_ptr<TZNT1RingBuffer> RingBuffer;
  std::unique_ptr<TZNT1SoundThread> Thread;
  std::atomic<bool> IsReady{false};
  std::atomic<bool> IsMuted{false};

  // Under-water band boost of the effect bus; FillBuffer runs it between two clips.
  void WaterBoost();
  // The effect bus low-pass, ramping its coefficient when the listener dives or surfaces.
  void EffectLowPass();
};
