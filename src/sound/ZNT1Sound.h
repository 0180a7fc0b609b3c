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
#include "sound/ZNT1SoundHRTFTables.h"

class TZNT1Engine;
class TZNT1SoundSystem;
class TZNT1SoundSample;
class TZNT1SoundSamples;
class TZNT1SoundOGGs;

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

  // 3D placement: distance, ear gains, delays, damping and Doppler from the listener, once a block.
  void UpdateSpatialization();
  void UpdateSpatializationDelayRamping();
  void UpdateSpatializationLowPassRamping();
  void MixProcSpatializationPSEUDO(int32_t* Buffer, int32_t Count);
  void MixProcSpatializationHRTF(int32_t* Buffer, int32_t Count);

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
  TZNT1Vector3 LastDirection{};
  // Click-removal tails, 12 extra fraction bits.
  int32_t LastLeft = 0;
  int32_t LastRight = 0;
  int32_t NewLastLeft = 0;
  int32_t NewLastRight = 0;
  float Rate = 1.0f;
  float DopplerRate = 1.0f;
  int32_t* VoiceIndexPointer = nullptr;

  // 3D placement state. HRTF taps are 1.15 shifted left 16: a ramp's step between two taps
  // needs more than 32 bits.
  int64_t HRTFLeftCoefs[ZSSHRTFMaxLength] = {};
  int64_t HRTFRightCoefs[ZSSHRTFMaxLength] = {};
  int64_t HRTFLeftCoefsCurrent[ZSSHRTFMaxLength] = {};
  int64_t HRTFRightCoefsCurrent[ZSSHRTFMaxLength] = {};
  int64_t HRTFLeftCoefsIncrement[ZSSHRTFMaxLength] = {};
  int64_t HRTFRightCoefsIncrement[ZSSHRTFMaxLength] = {};
  int32_t HRTFLeftHistory[ZSSHRTFMaxLength] = {};
  int32_t HRTFRightHistory[ZSSHRTFMaxLength] = {};
  int32_t HRTFHistoryIndex = 0;
  int32_t HRTFLeftDelay = 0;
  int32_t HRTFRightDelay = 0;
  int32_t HRTFRampingRemain = 0;
  float SpatializationVolumeLast = 0.0f;
  int32_t SpatializationDelayLeft = 0;  // 16.16 frames
  int32_t SpatializationDelayRight = 0;
  int32_t SpatializationDelayLeftIndex = 0;
  int32_t SpatializationDelayRightIndex = 0;
  int32_t SpatializationDelayLeftLast = 0;
  int32_t SpatializationDelayRightLast = 0;
  int32_t SpatializationDelayLeftCurrent = 0;
  int32_t SpatializationDelayRightCurrent = 0;
  int32_t SpatializationDelayLeftIncrement = 0;
  int32_t SpatializationDelayRightIncrement = 0;
  int32_t SpatializationDelayRampingRemain = 0;
  // Low-pass poles in 2.30; 0 is the open filter, where a voice starts.
  int32_t SpatializationLowPassLeftCoef = 0;
  int32_t SpatializationLowPassRightCoef = 0;
  int32_t SpatializationLowPassLeftLastCoef = 0;
  int32_t SpatializationLowPassRightLastCoef = 0;
  int32_t SpatializationLowPassLeftCurrentCoef = 0;
  int32_t SpatializationLowPassRightCurrentCoef = 0;
  int32_t SpatializationLowPassLeftIncrementCoef = 0;
  int32_t SpatializationLowPassRightIncrementCoef = 0;
  int32_t SpatializationLowPassLeftHistory[2] = {};
  int32_t SpatializationLowPassRightHistory[2] = {};
  int32_t SpatializationLowPassRampingRemain = 0;

  // Resets the 3D state for a new sound (the delay lines keep their contents).
  void InitSpatialization();
  // Spatialised voices in modes 1 and 2: cuts a run at the 3D ramps.
  int32_t SpatializationRunLimit(int32_t Count) const;
  // A silent spatialised run: the ramps advance, filters and delay lines empty.
  void SkipSpatialization(int32_t Count);
  // Ends the 3D ramps after a run of Count frames.
  void AdvanceSpatializationRamps(int32_t Count);
  // Spatialised and the sound system in Mode.
  bool SpatializedMode(int32_t Mode) const;
};

// Pole of a one-pole low-pass y := x + a(y - x) whose power gain at the frequency with cosine Coef
// is Gain; 0 (open) for gains near 1.
float LowPassCoef(float Coef, float Gain);
// How far a placement moved (0 … 1) from its last direction and gain.
float CalculateDelta(const TZNT1Vector3& L, const TZNT1Vector3& D, float G, float G0);

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

// A library's items in load order, found by name; it deletes those left, and an item leaves it
// in its own destructor.
template <typename T>
class TZNT1SoundLibrary {
 public:
  explicit TZNT1SoundLibrary(TZNT1SoundSystem* ASoundSystem) : SoundSystem(ASoundSystem) {}
  ~TZNT1SoundLibrary() {
    while (!Items.empty()) delete Items.back();
  }
  TZNT1SoundLibrary(const TZNT1SoundLibrary&) = delete;
  TZNT1SoundLibrary& operator=(const TZNT1SoundLibrary&) = delete;

  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  // nullptr out of range.
  T* GetItem(int32_t Index) const {
    return Index >= 0 && Index < Count() ? Items[static_cast<size_t>(Index)] : nullptr;
  }
  // Ignored out of range.
  void SetItem(int32_t Index, T* Item) {
    if (Index >= 0 && Index < Count()) Items[static_cast<size_t>(Index)] = Item;
  }
  // Item out of the list, and out of the map when Name still maps to it.
  void Remove(T* Item, const std::string& Name) {
    for (auto it = Items.begin(); it != Items.end(); ++it)
      if (*it == Item) {
        Items.erase(it);
        break;
      }
    if (!Name.empty() && HashMap.GetValue(Name) == Item) HashMap.Delete(Name);
  }

  TZNT1SoundSystem* SoundSystem;
  std::vector<T*> Items;
  TZNT1StringHashMap HashMap;
};

// The sample library: shares samples by loop kind and name.
class TZNT1SoundSamples : public TZNT1SoundLibrary<TZNT1SoundSample> {
 public:
  using TZNT1SoundLibrary::TZNT1SoundLibrary;

  // Loop 0 one-shot, 1 the file's loops, 2 and above looping. Main thread; takes the lock.
  // nullptr for a missing, short, unknown or damaged file; a found or new sample gets a reference.
  TZNT1SoundSample* Load(const std::string& Name, TMemoryStream* Stream, uint32_t Loop, int32_t Polyphony);
  // Library key of Name under a loop kind.
  static std::string Key(const std::string& Name, uint32_t Loop);
};

constexpr int32_t PitchShifterBufferSize = 1024;
constexpr int32_t PitchShifterBufferMask = 1023;
constexpr int32_t PitchShifterOutputShift = 12;
constexpr int32_t MaxReverbAllPassFilters = 16;

// Lowers the pitch of a bus by Factor with two cross-faded taps 512 frames apart.
class TZNT1SoundPitchShifter {
 public:
  explicit TZNT1SoundPitchShifter(TZNT1SoundSystem* ASoundSystem);
  void Reset();
  // In place on Samples stereo frames; Factor 1.0 leaves them bit-identical.
  void Process(int32_t* Buffer, int32_t Samples);

  TZNT1SoundSystem* SoundSystem;
  int32_t PitchShifterFadeBuffer[PitchShifterBufferSize];
  int32_t WorkBuffer[PitchShifterBufferSize * 2];
  uint32_t p1 = 0;
  uint32_t p2 = 0;
  uint32_t InputPointer = 0;
  float Factor = 1.0f;
};

// Pre-delayed chain of all-pass filters with a low-pass; output = dry input + wet chain.
class TZNT1SoundReverb {
 public:
  explicit TZNT1SoundReverb(TZNT1SoundSystem* ASoundSystem);
  // Zeroes the rings, indices and filter states, then Init.
  void Reset();
  // Derives the ring indices and CutOff from the settings.
  void Init();
  void Process(int32_t* Buffer, int32_t Samples);

  std::vector<int32_t> AllPassBuffer[MaxReverbAllPassFilters];  // stereo frames
  int32_t Counter[MaxReverbAllPassFilters][4] = {};             // left/right write, left/right read
  int32_t LastLowPassLeft = 0;
  int32_t LastLowPassRight = 0;
  std::vector<int32_t> LeftBuffer;
  std::vector<int32_t> RightBuffer;
  int32_t LeftDelayedCounter = 0;
  int32_t RightDelayedCounter = 0;
  int32_t LeftCounter = 0;
  int32_t RightCounter = 0;
  int32_t SampleBufferSize;
  int32_t SampleBufferMask;
  int32_t CutOff = 0;
  TZNT1SoundSystem* SoundSystem;
  int32_t PreDelay = 6400;  // 10 µs units
  int32_t CombFilterSeparation = 1400;
  int32_t RoomSize = 700;
  float FeedBack = 0.82f;
  int32_t Absortion = 1000;
  float Dry = 0.75f;
  float Wet = 0.25f;
  int32_t AllPassFilters = 16;
};

constexpr int32_t ResamplerBufferSize = 4096;
constexpr int32_t ResamplerSINCWidth = 8;
constexpr int32_t ResamplerSINCLength = 4096;
constexpr int32_t ResamplerSINCValueBits = 15;
constexpr int32_t ResamplerSINCFracShift = 20;
constexpr int32_t ResamplerCubicSplineLength = 4096;
constexpr int32_t ResamplerCubicSplineValueBits = 12;
constexpr double ResamplerEpsilon = 1e-12;
constexpr double ResamplerFixedPointFactor = 4294967296.0;

struct TZNT1SoundOGGDecoder;

// An Ogg Vorbis file decoded while it plays, resampled to the mix rate and panned.
class TZNT1SoundOGG {
 public:
  TZNT1SoundOGG(TZNT1SoundSystem* ASoundSystem, TZNT1SoundOGGs* ASoundOGGs);
  // Leaves the library and closes the decoder.
  ~TZNT1SoundOGG();
  TZNT1SoundOGG(const TZNT1SoundOGG&) = delete;
  TZNT1SoundOGG& operator=(const TZNT1SoundOGG&) = delete;

  // Starts from the beginning; nothing is clamped (the mixer works in 64 bits).
  void Play(float AVolume, float APanning, float ARate, bool ALoop);
  void Stop();
  // Ramped over the sound system's RampingSamples.
  void SetVolume(float AVolume);
  void SetPanning(float APanning);
  void SetRate(float ARate);
  bool IsPlaying() const { return Active; }
  // Decodes the next up to 4,096 frames into InBuffer; at the end of a non-looping file marks
  // the input ended and keeps InBufferSize at the frames decoded.
  void GetNextInBuffer();
  // Refills OutBuffer: 4,096 frames, fewer once the ended input has been played out.
  void Resample();
  // Mixes one block into the dry bus.
  void MixTo(int32_t* Buffer, int32_t AOGGVolume);
  // Sinc weights for this stream's rate.
  void InitSINC();

  TZNT1SoundSystem* SoundSystem;
  TZNT1SoundOGGs* SoundOGGs;
  std::string Name;
  std::vector<uint8_t> Data;  // the whole file
  bool Active = false;
  bool Loop = false;
  bool KeyOff = false;
  int32_t Volume = 0;
  int64_t VolLeftCurrent = 0;  // ear gains with 12 extra fraction bits
  int64_t VolRightCurrent = 0;
  int32_t Panning = 0;
  int32_t VolumeRampingRemain = 0;
  int64_t Age = 0;
  int64_t Position = 0;
  int64_t Increment = 0;
  // Click-removal tails, 12 extra fraction bits.
  int32_t LastLeft = 0;
  int32_t LastRight = 0;
  int32_t NewLastLeft = 0;
  int32_t NewLastRight = 0;
  std::vector<int32_t> ResamplerBuffer;  // ring of stereo frames
  int32_t ResamplerBufferPosition = 0;
  int32_t ResamplerCurrentSample[2] = {};
  int32_t ResamplerLastSample[2] = {};
  int64_t ResamplerPosition = 0;
  int64_t ResamplerIncrement = 0;
  int64_t ResamplerOriginalIncrement = 0;
  std::vector<int32_t> OutBuffer;
  int32_t OutBufferPosition = 0;
  int32_t OutBufferSize = 0;
  std::vector<int32_t> InBuffer;
  int32_t InBufferPosition = 0;
  int32_t InBufferSize = 0;
  std::vector<int16_t> PCMBuffer;
  int32_t Channels = 0;
  int32_t SampleRate = 0;
  int32_t BitStream = 0;
  int32_t LastSample = 0;
  std::vector<int32_t> Table;  // 4,096 rows of 8 weights
  std::unique_ptr<TZNT1SoundOGGDecoder> vf;
  // The file's last frame was decoded (non-looping); what is buffered still plays.
  bool InputEnded = false;
  // Zero frames pushed into the resampler after the ended input.
  int32_t FlushFrames = 0;

 private:
  // Next input frame into Frame; zeros once the ended input is used up.
  void NextInputFrame(int32_t* Frame);
  void UpdateGainTargets(int32_t AOGGVolume, int64_t& Left, int64_t& Right) const;
  int32_t LastOGGVolume = 4096;
};

// The stream library: one stream per name.
class TZNT1SoundOGGs : public TZNT1SoundLibrary<TZNT1SoundOGG> {
 public:
  using TZNT1SoundLibrary::TZNT1SoundLibrary;

  // The stream stored under Name, else a new one from Stream; nullptr when it does not open.
  TZNT1SoundOGG* Load(const std::string& Name, TMemoryStream* Stream);
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
  // HRTF lookup: ring pair and weight of an elevation, response pair and weight of an azimuth.
  void CalcEvIndices(float Elevation, int32_t& e0, int32_t& e1, float& fe) const;
  void CalcAzIndices(int32_t Ring, float Azimuth, int32_t& a0, int32_t& a1, float& fa) const;
  // Both ears' taps (1.15 << 16) and delays (16.16 frames), interpolated from the preset.
  void GetLerpedHRTFCoefs(int64_t* LeftCoefs, int64_t* RightCoefs, int32_t& RightDelay, int32_t& LeftDelay,
                          float Azimuth, float Elevation) const;

  TZNT1Engine* Engine;
  std::unique_ptr<TZNT1SoundSamples> Samples;
  std::unique_ptr<TZNT1SoundOGGs> OGGs;
  int32_t SpatializationMode = SPATIALIZATION_PSEUDO;
  bool HRTF = false;
  const TZNT1SoundHRTFPreset* HRTFPreset = nullptr;
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
