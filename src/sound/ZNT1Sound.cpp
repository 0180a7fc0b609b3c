#include "sound/ZNT1Sound.h"

#include <tremor/ivorbiscodec.h>
#include <tremor/ivorbisfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/ZNT1Globals.h"
#include "platform/ZNT1PlatformTimer.h"

namespace {

constexpr int64_t ONE_FRAME = int64_t(1) << 32;
// A voice steps at most 4,096 frames per output frame: the ramp keeps the step shifted left 16
// more bits, which must stay inside 64 bits.
constexpr int64_t MAX_INCREMENT = int64_t(4096) << 32;

// NaN counts as 0; everything else is clamped to -1 … 1.
double ClampUnit(double v) {
  if (!(v == v)) return 0.0;
  return std::clamp(v, -1.0, 1.0);
}

int32_t RoundSaturated(double v) {
  if (!(v == v)) return 0;
  v = std::clamp(v, -2147483648.0, 2147483647.0);
  return static_cast<int32_t>(SoundRound(v));
}

}  // namespace

int64_t SoundRound(double Value) { return static_cast<int64_t>(std::nearbyint(Value)); }

// ---------------------------------------------------------------------------------------------
// Voices

TZNT1SoundSampleVoice::TZNT1SoundSampleVoice(TZNT1SoundSystem* ASoundSystem, int32_t AIndex,
                                             TZNT1SoundSample* ASample)
    : SoundSystem(ASoundSystem), Sample(ASample), Index(AIndex), RampingSamples(ASoundSystem->RampingSamples) {
  SpatializationDelayLeftLine.assign(static_cast<size_t>(SoundSystem->SpatializationDelayPowerOfTwo), 0);
  SpatializationDelayRightLine.assign(static_cast<size_t>(SoundSystem->SpatializationDelayPowerOfTwo), 0);
  HRTFLength = ZSSHRTFMaxLength;
  HRTFMask = HRTFLength - 1;
}

TZNT1SoundSampleVoice::~TZNT1SoundSampleVoice() { Dequeue(); }

void TZNT1SoundSampleVoice::Enqueue() {
  if (IsOnList) return;
  TZNT1SoundSystem& s = *SoundSystem;
  Previous = s.VoiceLast;
  Next = nullptr;
  if (s.VoiceLast)
    s.VoiceLast->Next = this;
  else
    s.VoiceFirst = this;
  s.VoiceLast = this;
  IsOnList = true;
}

void TZNT1SoundSampleVoice::Dequeue() {
  if (!IsOnList) return;
  TZNT1SoundSystem& s = *SoundSystem;
  if (Previous)
    Previous->Next = Next;
  else
    s.VoiceFirst = Next;
  if (Next)
    Next->Previous = Previous;
  else
    s.VoiceLast = Previous;
  Previous = Next = nullptr;
  IsOnList = false;
}

void TZNT1SoundSampleVoice::UpdateIncrement() {
  // A negative rate plays forwards at its magnitude; NaN stops the voice at its next run.
  double r = std::fabs(static_cast<double>(Rate) * static_cast<double>(DopplerRate));
  if (!(r == r)) r = 0.0;
  r = std::min(r, 65536.0);
  const __int128 base = SoundRound(r * 4294967296.0);
  const int32_t mixRate = std::max(1, SoundSystem->SampleRate);
  const __int128 inc = base * std::max(0, Sample->SampleRate) / mixRate;
  Increment = static_cast<int64_t>(std::min<__int128>(inc, MAX_INCREMENT));
}

void TZNT1SoundSampleVoice::Init(float AVolume, float APanning, float ARate) {
  Active = true;
  KeyOff = false;
  Backwards = false;
  Volume = static_cast<int32_t>(SoundRound(ClampUnit(AVolume) * 65536.0));
  Panning = static_cast<int32_t>(SoundRound(ClampUnit(APanning) * 65536.0));
  Rate = ARate;
  DopplerRate = 1.0f;
  UpdateIncrement();
  IncrementCurrent = Increment << 16;
  IncrementLast = Increment;
  IncrementIncrement = 0;
  IncrementRampingRemain = 0;
  IncrementRampingStepRemain = 0;
  Age = 0;
  Position = 0;
  VolumeRampingRemain = 0;
  VolumeLeft = VolumeRight = 0;
  VolumeLeftLast = VolumeRightLast = 0;
  VolumeLeftCurrent = VolumeRightCurrent = 0;
  VolumeLeftIncrement = VolumeRightIncrement = 0;
  // The tail of what this voice played before keeps fading.
  LastLeft += NewLastLeft;
  LastRight += NewLastRight;
  NewLastLeft = NewLastRight = 0;
  InitSpatialization();
  RampingSamples = SoundSystem->RampingSamples;
}

void TZNT1SoundSampleVoice::PreClickRemoval(int32_t* Buffer) {
  if (LastLeft == 0 && LastRight == 0) return;
  for (int32_t i = 0; i < SoundSystem->BufferSamples; ++i) {
    LastLeft -= (LastLeft + (LastLeft > 0 ? 255 : 0)) >> 8;
    LastRight -= (LastRight + (LastRight > 0 ? 255 : 0)) >> 8;
    Buffer[i * 2] += LastLeft >> 12;
    Buffer[i * 2 + 1] += LastRight >> 12;
  }
}

void TZNT1SoundSampleVoice::PostClickRemoval(int32_t* Buffer, int32_t Count) {
  if (NewLastLeft == 0 && NewLastRight == 0) return;
  for (int32_t i = 0; i < Count; ++i) {
    NewLastLeft -= (NewLastLeft + (NewLastLeft > 0 ? 255 : 0)) >> 8;
    NewLastRight -= (NewLastRight + (NewLastRight > 0 ? 255 : 0)) >> 8;
    Buffer[i * 2] += NewLastLeft >> 12;
    Buffer[i * 2 + 1] += NewLastRight >> 12;
  }
}

void TZNT1SoundSampleVoice::UpdateIncrementRamping() {
  if (Age == 0) {
    IncrementCurrent = Increment << 16;
    IncrementLast = Increment;
    IncrementIncrement = 0;
    IncrementRampingRemain = 0;
    IncrementRampingStepRemain = 0;
    return;
  }
  if (Increment != IncrementLast) {
    IncrementRampingRemain = RampingSamples;
    IncrementRampingStepRemain = std::min(std::max(RampingSamples / 10, 1), RampingSamples);
    IncrementLast = Increment;
    IncrementIncrement = ((Increment << 16) - IncrementCurrent) / IncrementRampingRemain;
  }
}

void TZNT1SoundSampleVoice::UpdateVolumeRamping(int32_t ASampleVolume) {
  const int64_t g = (static_cast<int64_t>(Volume) * ASampleVolume) >> 16;
  int64_t l, r;
  if (Spatialization) {
    l = std::clamp<int64_t>((g * MulLeft) >> 16, -32768, 32768);
    r = std::clamp<int64_t>((g * MulRight) >> 16, -32768, 32768);
  } else {
    const int32_t p = std::clamp(Panning + 65536, 0, 131072);
    const std::vector<int32_t>& lut = SoundSystem->PanningLUT;
    l = std::clamp<int64_t>((lut[static_cast<size_t>((131072 - p) >> 1)] * g) >> 16, 0, 32768);
    r = std::clamp<int64_t>((lut[static_cast<size_t>(p >> 1)] * g) >> 16, 0, 32768);
  }
  VolumeLeft = l << 16;
  VolumeRight = r << 16;
  if (Age == 0) {
    VolumeLeftCurrent = VolumeLeftLast = VolumeLeft;
    VolumeRightCurrent = VolumeRightLast = VolumeRight;
    VolumeLeftIncrement = VolumeRightIncrement = 0;
    VolumeRampingRemain = 0;
  } else if (VolumeLeft != VolumeLeftLast || VolumeRight != VolumeRightLast) {
    VolumeRampingRemain = RampingSamples;
    VolumeLeftLast = VolumeLeft;
    VolumeRightLast = VolumeRight;
    VolumeLeftIncrement = (VolumeLeft - VolumeLeftCurrent) / RampingSamples;
    VolumeRightIncrement = (VolumeRight - VolumeRightCurrent) / RampingSamples;
  }
}

int32_t TZNT1SoundSampleVoice::GetSampleLength(int32_t Count) {
  const int64_t inc = IncrementCurrent >> 16;
  if (inc <= 0) return 0;
  const TZNT1SoundSample& s = *Sample;
  const TZNT1SoundSampleLoop& loop =
      (s.SustainLoop.Mode != ZSSSoundLoopModeNONE && !KeyOff) ? s.SustainLoop : s.Loop;
  const int64_t length = static_cast<int64_t>(s.SampleLength) << 32;
  int64_t start = 0, end = length;
  if (loop.Mode != ZSSSoundLoopModeNONE) {
    start = static_cast<int64_t>(loop.StartSample) << 32;
    end = static_cast<int64_t>(loop.EndSample) << 32;
  }
  switch (loop.Mode) {
    case ZSSSoundLoopModeFORWARD:
      if (Position >= end) {
        Position -= end - start;
        if (Position < start || Position >= end) Position = start;
      } else if (Position < 0) {
        Position = 0;
      }
      break;
    case ZSSSoundLoopModePINGPONG:
      if (!Backwards && Position >= end) {
        Backwards = true;
        Position = 2 * (end - ONE_FRAME) - Position;
        if (Position < start || Position >= end) Position = start;
      } else if (Backwards && Position < start) {
        Backwards = false;
        Position = 2 * start - Position;
        if (Position < start || Position >= end) Position = start;
      }
      break;
    case ZSSSoundLoopModeBACKWARD:
      if (!Backwards && Position >= end) {
        Backwards = true;
        Position = 2 * (end - ONE_FRAME) - Position;
        if (Position < start || Position >= end) Position = start;
      } else if (Backwards && Position < start) {
        Position += end - start;
        if (Position < start || Position >= end) Position = start;
      }
      break;
    default:
      break;
  }
  if (Position < 0 || Position >= length || (Backwards && Position < start)) return 0;
  int64_t n = std::min<int64_t>(Count, std::max<int64_t>(2, 16384 / ((inc >> 32) + 1)));
  if (!Backwards) {
    if (Position + (n - 1) * inc >= end) n = (end - Position - 1) / inc + 1;
  } else {
    if (Position - (n - 1) * inc < start) n = (Position - start - 1) / inc + 1;
  }
  return n < 2 ? 1 : static_cast<int32_t>(n);
}

void TZNT1SoundSampleVoice::MixProcNormal(int32_t* Buffer, int32_t Count) {
  const int32_t* d = Sample->Data;
  const int64_t gl = VolumeLeft / 65536, gr = VolumeRight / 65536;
  for (int32_t k = 0; k < Count; ++k) {
    const int64_t i = Position >> 32;
    const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(Position) >> 20);
    const int32_t* a = d + i * 2;
    const int32_t l = a[0] + ((a[2] - a[0]) * f) / 4096;
    const int32_t r = a[1] + ((a[3] - a[1]) * f) / 4096;
    Buffer[k * 2] += static_cast<int32_t>((l * gl) / 32768);
    Buffer[k * 2 + 1] += static_cast<int32_t>((r * gr) / 32768);
    Position += MixIncrement;
  }
}

void TZNT1SoundSampleVoice::MixProcVolumeRamping(int32_t* Buffer, int32_t Count) {
  const int32_t* d = Sample->Data;
  for (int32_t k = 0; k < Count; ++k) {
    const int64_t i = Position >> 32;
    const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(Position) >> 20);
    const int32_t* a = d + i * 2;
    const int32_t l = a[0] + ((a[2] - a[0]) * f) / 4096;
    const int32_t r = a[1] + ((a[3] - a[1]) * f) / 4096;
    Buffer[k * 2] += static_cast<int32_t>((l * (VolumeLeftCurrent / 65536)) / 32768);
    Buffer[k * 2 + 1] += static_cast<int32_t>((r * (VolumeRightCurrent / 65536)) / 32768);
    VolumeLeftCurrent += VolumeLeftIncrement;
    VolumeRightCurrent += VolumeRightIncrement;
    Position += MixIncrement;
  }
}

void TZNT1SoundSampleVoice::MixTo(int32_t* Buffer, int32_t ASampleVolume) {
  PreClickRemoval(Buffer);
  if (!Active) {
    if (LastLeft != 0 || LastRight != 0) return;
    Dequeue();
    NextFree = Sample->FreeVoice;
    Sample->FreeVoice = this;
    return;
  }
  if (Spatialization) UpdateSpatialization();
  UpdateIncrementRamping();
  UpdateVolumeRamping(ASampleVolume);
  if (SpatializedMode(SPATIALIZATION_PSEUDO) || SpatializedMode(SPATIALIZATION_HRTF)) {
    UpdateSpatializationDelayRamping();
    UpdateSpatializationLowPassRamping();
  }
  if (VolumeRampingRemain == 0 && VolumeLeft == 0 && VolumeRight == 0 && IncrementRampingRemain > 0)
    IncrementRampingStepRemain = IncrementRampingRemain;

  NewLastLeft = NewLastRight = 0;
  int32_t remain = SoundSystem->BufferSamples;
  int32_t* buf = Buffer;
  while (remain > 0 && Active) {
    int32_t n = remain;
    if (IncrementRampingRemain > 0) n = std::min(n, IncrementRampingRemain);
    if (IncrementRampingStepRemain > 0) n = std::min(n, IncrementRampingStepRemain);
    if (VolumeRampingRemain > 0) n = std::min(n, VolumeRampingRemain);
    n = SpatializationRunLimit(n);
    n = GetSampleLength(n);
    if (n == 0) {
      Active = false;
      break;
    }
    Age += n;
    MixIncrement = IncrementCurrent >> 16;
    if (Backwards) MixIncrement = -MixIncrement;
    if (IncrementRampingRemain > 0) IncrementCurrent += IncrementIncrement * n;
    if (VolumeRampingRemain > 0 || VolumeLeftCurrent != 0 || VolumeRightCurrent != 0) {
      int32_t* last = buf + (n - 1) * 2;
      const int32_t beforeLeft = last[0], beforeRight = last[1];
      if (SpatializedMode(SPATIALIZATION_PSEUDO))
        MixProcSpatializationPSEUDO(buf, n);
      else if (SpatializedMode(SPATIALIZATION_HRTF))
        MixProcSpatializationHRTF(buf, n);
      else if (VolumeRampingRemain > 0)
        MixProcVolumeRamping(buf, n);
      else
        MixProcNormal(buf, n);
      NewLastLeft = (last[0] - beforeLeft) * 4096;
      NewLastRight = (last[1] - beforeRight) * 4096;
    } else {
      Position += MixIncrement * n;
      SkipSpatialization(n);
      NewLastLeft = NewLastRight = 0;
    }
    if (IncrementRampingStepRemain > 0) {
      IncrementRampingStepRemain -= n;
      if (IncrementRampingStepRemain <= 0) IncrementRampingStepRemain = SoundSystem->RampingStepSamples;
    }
    if (IncrementRampingRemain > 0) {
      IncrementRampingRemain -= n;
      if (IncrementRampingRemain <= 0) {
        IncrementRampingRemain = 0;
        IncrementRampingStepRemain = 0;
        IncrementCurrent = Increment << 16;
        IncrementIncrement = 0;
      }
    }
    if (VolumeRampingRemain > 0) {
      VolumeRampingRemain -= n;
      if (VolumeRampingRemain <= 0) {
        VolumeRampingRemain = 0;
        VolumeLeftCurrent = VolumeLeft;
        VolumeRightCurrent = VolumeRight;
        VolumeLeftIncrement = VolumeRightIncrement = 0;
      }
    }
    AdvanceSpatializationRamps(n);
    buf += n * 2;
    remain -= n;
  }
  PostClickRemoval(buf, remain);
  if (!Active && VoiceIndexPointer) {
    InterlockedExchange(*VoiceIndexPointer, -1);
    VoiceIndexPointer = nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// Samples

TZNT1SoundSample::TZNT1SoundSample(TZNT1SoundSystem* ASoundSystem, TZNT1SoundSamples* ASoundSamples)
    : SoundSystem(ASoundSystem), SoundSamples(ASoundSamples) {}

TZNT1SoundSample::~TZNT1SoundSample() {
  if (SoundSamples) SoundSamples->Remove(this, Name);
  Voices.clear();
}

void TZNT1SoundSample::DecRef() {
  if (ReferenceCounter <= 0) return;
  if (--ReferenceCounter == 0) delete this;
}

void TZNT1SoundSample::SetPolyphony(int32_t Count) {
  Voices.clear();
  FreeVoice = nullptr;
  Count = std::max(0, Count);
  Voices.reserve(static_cast<size_t>(Count));
  for (int32_t i = 0; i < Count; ++i) {
    Voices.push_back(std::make_unique<TZNT1SoundSampleVoice>(SoundSystem, i, this));
    Voices.back()->NextFree = FreeVoice;
    FreeVoice = Voices.back().get();
  }
}

void TZNT1SoundSample::CorrectPolyphony() {
  if (ReferenceCounter >= 1 && SamplePolyphony >= 1) SetPolyphony(SamplePolyphony * ReferenceCounter);
}

void TZNT1SoundSample::AllocateData(int32_t Frames, int32_t Keep) {
  Frames = std::max(0, Frames);
  Keep = std::clamp(Keep, 0, std::min(Frames, SampleLength));
  const size_t guard = static_cast<size_t>(ZSSSampleFixUp) * 2;
  std::unique_ptr<int32_t[]> block(new int32_t[static_cast<size_t>(Frames) * 2 + 2 * guard]);
  std::fill(block.get(), block.get() + guard, 0);
  std::fill(block.get() + guard + static_cast<size_t>(Frames) * 2, block.get() + static_cast<size_t>(Frames) * 2 + 2 * guard, 0);
  if (Keep > 0) std::memcpy(block.get() + guard, Data, static_cast<size_t>(Keep) * 8);
  FDataBlock = std::move(block);
  Data = FDataBlock.get() + guard;
  SampleLength = Frames;
}

void TZNT1SoundSample::FixUp() {
  if (!Data || SampleLength < 1) return;
  for (int32_t i = 1; i <= ZSSSampleFixUp; ++i)
    for (int32_t c = 0; c < 2; ++c) {
      At(-i, c) = At(0, c);
      At(SampleLength - 1 + i, c) = At(SampleLength - 1, c);
    }
  for (const TZNT1SoundSampleLoop* loop : {&Loop, &SustainLoop}) {
    if ((loop->Mode == ZSSSoundLoopModeFORWARD || loop->Mode == ZSSSoundLoopModeBACKWARD) &&
        loop->StartSample >= 1 && loop->EndSample >= 1 && loop->EndSample <= SampleLength)
      for (int32_t i = 0; i < ZSSSampleFixUp; ++i)
        for (int32_t c = 0; c < 2; ++c) At(loop->EndSample + i, c) = At(loop->StartSample + i, c);
  }
}

int32_t TZNT1SoundSample::Play(float AVolume, float APanning, float ARate, int32_t* AVoiceIndexPointer) {
  TZNT1SoundSampleVoice* v = FreeVoice;
  if (v) {
    FreeVoice = v->NextFree;
    v->NextFree = nullptr;
  } else {
    for (const auto& candidate : Voices)
      if (!candidate->Active) {
        v = candidate.get();
        break;
      }
    if (!v)
      for (const auto& candidate : Voices)
        if (!v || candidate->Age > v->Age || (candidate->Age == v->Age && candidate->Volume <= v->Volume))
          v = candidate.get();
  }
  if (!v) return -1;
  if (v->VoiceIndexPointer) {
    InterlockedExchange(*v->VoiceIndexPointer, -1);
    v->VoiceIndexPointer = nullptr;
  }
  v->Init(AVolume, APanning, ARate);
  v->VoiceIndexPointer = AVoiceIndexPointer;
  if (AVoiceIndexPointer) InterlockedExchange(*AVoiceIndexPointer, v->Index);
  v->Enqueue();
  return v->Index;
}

int32_t TZNT1SoundSample::Stop(int32_t VoiceNumber) {
  if (!ValidVoice(VoiceNumber)) return VoiceNumber;
  TZNT1SoundSampleVoice& v = *Voices[static_cast<size_t>(VoiceNumber)];
  v.Active = false;
  if (v.VoiceIndexPointer) {
    InterlockedExchange(*v.VoiceIndexPointer, -1);
    v.VoiceIndexPointer = nullptr;
  }
  return VoiceNumber;
}

int32_t TZNT1SoundSample::DoKeyOff(int32_t VoiceNumber) {
  if (!ValidVoice(VoiceNumber)) return VoiceNumber;
  TZNT1SoundSampleVoice& v = *Voices[static_cast<size_t>(VoiceNumber)];
  v.KeyOff = true;
  if (Loop.Mode == ZSSSoundLoopModeNONE && SustainLoop.Mode != ZSSSoundLoopModeNONE) return VoiceNumber;
  v.Active = false;
  if (v.VoiceIndexPointer) {
    InterlockedExchange(*v.VoiceIndexPointer, -1);
    v.VoiceIndexPointer = nullptr;
  }
  return VoiceNumber;
}

int32_t TZNT1SoundSample::SetVolume(int32_t VoiceNumber, float AVolume) {
  if (ValidVoice(VoiceNumber))
    Voices[static_cast<size_t>(VoiceNumber)]->Volume = static_cast<int32_t>(SoundRound(ClampUnit(AVolume) * 65536.0));
  return VoiceNumber;
}

int32_t TZNT1SoundSample::SetPanning(int32_t VoiceNumber, float APanning) {
  if (ValidVoice(VoiceNumber))
    Voices[static_cast<size_t>(VoiceNumber)]->Panning = static_cast<int32_t>(SoundRound(ClampUnit(APanning) * 65536.0));
  return VoiceNumber;
}

int32_t TZNT1SoundSample::SetRate(int32_t VoiceNumber, float ARate) {
  if (ValidVoice(VoiceNumber)) {
    TZNT1SoundSampleVoice& v = *Voices[static_cast<size_t>(VoiceNumber)];
    v.Rate = ARate;
    v.UpdateIncrement();
  }
  return VoiceNumber;
}

int32_t TZNT1SoundSample::SetPosition(int32_t VoiceNumber, int32_t ASpatialization, const TZNT1Vector3& Origin,
                                      const TZNT1Vector3& Velocity) {
  if (ValidVoice(VoiceNumber)) {
    TZNT1SoundSampleVoice& v = *Voices[static_cast<size_t>(VoiceNumber)];
    v.Spatialization = ASpatialization != 0;
    v.SpatializationOrigin = Origin;
    v.SpatializationVelocity = Velocity;
  }
  return VoiceNumber;
}

int32_t TZNT1SoundSample::SetEffectMix(int32_t VoiceNumber, int32_t EffectMix) {
  if (ValidVoice(VoiceNumber)) Voices[static_cast<size_t>(VoiceNumber)]->MixToEffect = EffectMix != 0;
  return VoiceNumber;
}

bool TZNT1SoundSample::IsPlaying() const {
  for (const auto& v : Voices)
    if (v->Active) return true;
  return false;
}

bool TZNT1SoundSample::IsVoicePlaying(int32_t VoiceNumber) const {
  return ValidVoice(VoiceNumber) && Voices[static_cast<size_t>(VoiceNumber)]->Active;
}

// ---------------------------------------------------------------------------------------------
// Sample library

std::string TZNT1SoundSamples::Key(const std::string& Name, uint32_t Loop) {
  if (Loop == 0) return std::string("oneshot") + '\0' + Name;
  if (Loop >= 2) return std::string("loop") + '\0' + Name;
  return Name;
}

TZNT1SoundSample* TZNT1SoundSamples::Load(const std::string& Name, TMemoryStream* Stream, uint32_t Loop,
                                          int32_t Polyphony) {
  const std::string key = Key(Name, Loop);
  if (auto* found = static_cast<TZNT1SoundSample*>(HashMap.GetValue(key))) {
    found->IncRef();
    return found;
  }
  TZNT1SoundSystem& s = *SoundSystem;
  s.CriticalSection.Enter();
  auto* sample = new TZNT1SoundSample(&s, this);
  bool ok = false;
  if (Stream && Stream->Size() >= 5) {
    sample->SamplePolyphony = Polyphony;
    sample->SetPolyphony(Polyphony);
    const uint8_t* bytes = Stream->Memory();
    const size_t size = static_cast<size_t>(Stream->Size());
    if (std::memcmp(bytes, "OggS", 4) == 0)
      ok = SoundLoadOGG(sample, bytes, size);
    else if (std::memcmp(bytes, "RIFF", 4) == 0)
      ok = SoundLoadWAV(sample, bytes, size);
  }
  if (ok) {
    if (Loop >= 2 && sample->Loop.Mode == ZSSSoundLoopModeNONE)
      sample->Loop = TZNT1SoundSampleLoop{ZSSSoundLoopModeFORWARD, 0, sample->SampleLength};
    else if (Loop == 0)
      sample->Loop.Mode = sample->SustainLoop.Mode = ZSSSoundLoopModeNONE;
    sample->FixUp();
    Items.push_back(sample);
    sample->Name = key;
    HashMap.Add(key, sample);
  } else {
    delete sample;
    sample = nullptr;
  }
  s.CriticalSection.Leave();
  if (sample) sample->IncRef();
  return sample;
}

// ---------------------------------------------------------------------------------------------
// WAVE decoding

namespace {

const int16_t IMAStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
const int8_t IMAIndexTable[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// Bounds-checked little-endian reader over a whole file.
struct TByteReader {
  const uint8_t* Bytes;
  uint64_t Size;
  uint64_t Pos = 0;
  bool Read(void* Dst, uint64_t Count) {
    if (Count > Size - Pos) return false;
    std::memcpy(Dst, Bytes + Pos, Count);
    Pos += Count;
    return true;
  }
  bool Seek(uint64_t P) {
    if (P > Size) return false;
    Pos = P;
    return true;
  }
};

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

struct TWaveFormat {
  uint16_t Tag = 0, Channels = 0;
  uint32_t SampleRate = 0, BytesPerSecond = 0;
  uint16_t BlockAlign = 0, Bits = 0;
  void From(const uint8_t* p) {
    Tag = U16(p);
    Channels = U16(p + 2);
    SampleRate = U32(p + 4);
    BytesPerSecond = U32(p + 8);
    BlockAlign = U16(p + 12);
    Bits = U16(p + 14);
  }
};

bool IdIs(const uint8_t* id, const char* name) { return std::memcmp(id, name, 4) == 0; }

TZNT1SoundSampleLoop LoopFromRecord(const uint8_t* rec) {
  TZNT1SoundSampleLoop l;
  const int32_t type = static_cast<int32_t>(U32(rec + 4));
  l.Mode = type == 1 ? ZSSSoundLoopModePINGPONG : type == 2 ? ZSSSoundLoopModeBACKWARD : ZSSSoundLoopModeFORWARD;
  l.StartSample = static_cast<int32_t>(U32(rec + 8));
  l.EndSample = static_cast<int32_t>(U32(rec + 12));
  if (l.StartSample >= l.EndSample) l.Mode = ZSSSoundLoopModeNONE;
  return l;
}

// Loop points from the file may lie anywhere: keep them inside the data.
void ClampLoop(TZNT1SoundSampleLoop& l, int32_t Length) {
  if (l.Mode == ZSSSoundLoopModeNONE) return;
  l.StartSample = std::clamp(l.StartSample, 0, Length);
  l.EndSample = std::clamp(l.EndSample, 0, Length);
  if (l.StartSample >= l.EndSample) l.Mode = ZSSSoundLoopModeNONE;
}

// One IMA ADPCM block (4-byte header, then two codes a byte, low nibble first) into Out.
int32_t DecodeIMABlock(const uint8_t* p, uint64_t Bytes, int32_t* Out) {
  int32_t predictor = static_cast<int16_t>(U16(p));
  int32_t index = std::min<int32_t>(p[2], 88);
  int32_t n = 0;
  Out[n * 2] = Out[n * 2 + 1] = predictor;
  ++n;
  for (uint64_t b = 4; b < Bytes; ++b)
    for (int32_t shift = 0; shift <= 4; shift += 4) {
      const int32_t code = (p[b] >> shift) & 15;
      const int32_t step = IMAStepTable[index];
      int32_t diff = step >> 3;
      if (code & 1) diff += step >> 2;
      if (code & 2) diff += step >> 1;
      if (code & 4) diff += step;
      if (code & 8) diff = -diff;
      predictor = std::clamp(predictor + diff, -32768, 32767);
      Out[n * 2] = Out[n * 2 + 1] = predictor;
      ++n;
      index = std::clamp(index + IMAIndexTable[code & 7], 0, 88);
    }
  return n;
}

// Little-endian PCM values into stereo frames; mono goes to both sides.
template <class F>
void ConvertPCM(const uint8_t* __restrict In, int32_t* __restrict Out, uint64_t Frames, int32_t Channels, size_t Bytes,
                F Value) {
  if (Channels == 1) {
    for (uint64_t f = 0; f < Frames; ++f) {
      const int32_t v = Value(In + f * Bytes);
      Out[f * 2] = v;
      Out[f * 2 + 1] = v;
    }
  } else {
    for (uint64_t i = 0; i < Frames * 2; ++i) Out[i] = Value(In + i * Bytes);
  }
}

}  // namespace

bool SoundLoadWAV(TZNT1SoundSample* Sample, const uint8_t* Bytes, size_t Size) {
  TByteReader r{Bytes, Size};
  uint8_t header[16];
  if (!r.Read(header, 12)) return false;
  if (!(IdIs(header, "RIFF") || IdIs(header, "LIST")) || !(IdIs(header + 8, "WAVE") || IdIs(header + 8, "wave")))
    return false;

  TWaveFormat fmt, pcm;
  bool haveFmt = false, havePcm = false, haveFact = false, haveData = false, haveSmpl = false, haveXtra = false,
       haveList = false;
  uint64_t dataPos = 0, smplPos = 0, xtraPos = 0, listPos = 0;
  while (r.Size - r.Pos > 8) {
    const uint64_t chunkPos = r.Pos;
    if (!r.Read(header, 8)) return false;
    const uint32_t chunkSize = U32(header + 4);
    uint8_t body[16];
    if ((IdIs(header, "fmt ") || (std::memcmp(header, "fmt", 3) == 0 && header[3] == 0)) && !haveFmt) {
      if (!r.Read(body, 16)) return false;
      fmt.From(body);
      haveFmt = true;
    } else if ((IdIs(header, "pcm ") || (std::memcmp(header, "pcm", 3) == 0 && header[3] == 0)) && !havePcm) {
      if (!r.Read(body, 16)) return false;
      pcm.From(body);
      havePcm = true;
    } else if (IdIs(header, "fact") && !haveFact) {
      if (!r.Read(body, 4)) return false;
      haveFact = true;
    } else if (IdIs(header, "data") && !haveData) {
      dataPos = chunkPos;
      haveData = true;
    } else if (IdIs(header, "smpl") && !haveSmpl) {
      smplPos = chunkPos;
      haveSmpl = true;
    } else if (IdIs(header, "xtra") && !haveXtra) {
      xtraPos = chunkPos;
      haveXtra = true;
    } else if (IdIs(header, "list") && !haveList) {
      listPos = chunkPos;
      haveList = true;
    }
    // Sizes are unsigned and summed in 64 bits: a chunk running past the end ends the walk.
    const uint64_t next = chunkPos + 8 + static_cast<uint64_t>(chunkSize);
    if (next > r.Size) break;
    r.Pos = next;
  }
  if (haveFmt && havePcm && fmt.Tag != 1 && fmt.Tag != 3) std::swap(fmt, pcm);
  if (!haveFmt) return false;

  const bool adpcm = fmt.Tag == 17;
  if (adpcm) {
    if (fmt.Channels != 1 || fmt.Bits != 4) return false;
  } else if (fmt.Tag == 1 || fmt.Tag == 3 || fmt.Tag == 0xFFFE) {
    if (fmt.Channels != 1 && fmt.Channels != 2) return false;
    if (fmt.Bits != 8 && fmt.Bits != 16 && fmt.Bits != 24 && fmt.Bits != 32) return false;
  } else {
    return false;
  }
  if (fmt.SampleRate == 0 || fmt.SampleRate > ZSSMaxFileSampleRate) return false;
  if (!haveData || !r.Seek(dataPos) || !r.Read(header, 8)) return false;
  const uint64_t dataSize = U32(header + 4);
  const uint64_t dataStart = r.Pos;
  if (dataSize > r.Size - dataStart) return false;

  // Frames: ADPCM blocks carry their own 4-byte header every BlockAlign bytes.
  const uint64_t blockAlign = fmt.BlockAlign;
  const bool multiBlock = adpcm && blockAlign > 4 && blockAlign < dataSize;
  uint64_t frames = 0;
  if (dataSize > 0) {
    if (adpcm) {
      if (dataSize < 4) return false;
      if (multiBlock) {
        const uint64_t rest = dataSize % blockAlign;
        frames = dataSize / blockAlign * ((blockAlign - 4) * 2 + 1) + (rest >= 4 ? (rest - 4) * 2 + 1 : 0);
      } else {
        frames = (dataSize - 4) * 2 + 1;
      }
    } else {
      frames = dataSize / (fmt.Bits / 8 * fmt.Channels);
    }
  }
  if (frames > static_cast<uint64_t>(std::numeric_limits<int32_t>::max() - 2 * ZSSSampleFixUp)) return false;
  Sample->SampleRate = static_cast<int32_t>(fmt.SampleRate);

  // Sampler loops: with two or more, the first is the sustain loop.
  if (haveSmpl) {
    uint8_t smpl[36], rec[2][24];
    if (!r.Seek(smplPos + 8) || !r.Read(smpl, 36)) return false;
    const int32_t count = static_cast<int32_t>(U32(smpl + 28));
    const int32_t records = std::clamp(count, 0, 2);
    for (int32_t i = 0; i < records; ++i)
      if (!r.Read(rec[i], 24)) return false;
    if (records == 2) {
      Sample->SustainLoop = LoopFromRecord(rec[0]);
      Sample->Loop = LoopFromRecord(rec[1]);
    } else if (records == 1) {
      Sample->Loop = LoopFromRecord(rec[0]);
    }
    ClampLoop(Sample->Loop, static_cast<int32_t>(frames));
    ClampLoop(Sample->SustainLoop, static_cast<int32_t>(frames));
  }
  if (haveList) {
    uint8_t listType[4];
    if (!r.Seek(listPos) || !r.Read(header, 8) || !r.Read(listType, 4)) return false;
    if (IdIs(listType, "INFO")) {
      const uint64_t listEnd = std::min<uint64_t>(r.Size, listPos + 8 + U32(header + 4));
      while (listEnd >= 8 && r.Pos <= listEnd - 8) {
        if (!r.Read(header, 8)) return false;
        r.Pos = std::min<uint64_t>(listEnd, r.Pos + U32(header + 4));
      }
    }
  }
  if (haveXtra) {
    uint8_t xtra[16];
    if (!r.Seek(xtraPos + 8) || !r.Read(xtra, 16)) return false;
  }

  Sample->AllocateData(static_cast<int32_t>(frames));
  if (frames == 0) return true;
  const uint8_t* d = Bytes + dataStart;
  int32_t* out = Sample->Data;
  if (adpcm) {
    if (multiBlock) {
      int32_t n = 0;
      for (uint64_t off = 0; off + 4 <= dataSize; off += blockAlign)
        n += DecodeIMABlock(d + off, std::min(blockAlign, dataSize - off), out + n * 2);
    } else {
      DecodeIMABlock(d, dataSize, out);
    }
    return true;
  }
  const bool isFloat = fmt.Tag == 3;
  switch (fmt.Bits) {
    case 8:
      ConvertPCM(d, out, frames, fmt.Channels, 1, [](const uint8_t* p) { return (static_cast<int32_t>(*p) - 128) * 256; });
      break;
    case 16:
      ConvertPCM(d, out, frames, fmt.Channels, 2, [](const uint8_t* p) {
        int16_t v;
        std::memcpy(&v, p, 2);
        return static_cast<int32_t>(v);
      });
      break;
    case 24:
      ConvertPCM(d, out, frames, fmt.Channels, 3, [](const uint8_t* p) {
        return static_cast<int32_t>((static_cast<uint32_t>(p[0]) << 8) | (static_cast<uint32_t>(p[1]) << 16) |
                                    (static_cast<uint32_t>(p[2]) << 24)) >> 16;
      });
      break;
    default:
      if (isFloat)
        ConvertPCM(d, out, frames, fmt.Channels, 4, [](const uint8_t* p) {
          float x;
          std::memcpy(&x, p, 4);
          return static_cast<int32_t>(SoundRound(ClampUnit(x) * 32767.0));
        });
      else
        ConvertPCM(d, out, frames, fmt.Channels, 4, [](const uint8_t* p) { return static_cast<int32_t>(U32(p)) >> 16; });
      break;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Ogg Vorbis decoding

namespace {

struct TOggSource {
  const uint8_t* Bytes;
  int64_t Size;
  int64_t Pos;
};

size_t OggRead(void* Ptr, size_t ElementSize, size_t Count, void* Source) {
  auto* s = static_cast<TOggSource*>(Source);
  if (ElementSize == 0 || Count == 0) return 0;
  const uint64_t want = Count > SIZE_MAX / ElementSize ? SIZE_MAX : ElementSize * Count;
  const uint64_t n = std::min<uint64_t>(want, static_cast<uint64_t>(s->Size - s->Pos));
  std::memcpy(Ptr, s->Bytes + s->Pos, n);
  s->Pos += static_cast<int64_t>(n);
  return n / ElementSize;
}

int OggSeek(void* Source, ogg_int64_t Offset, int Whence) {
  auto* s = static_cast<TOggSource*>(Source);
  int64_t base;
  switch (Whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = s->Pos; break;
    case SEEK_END: base = s->Size; break;
    default: return -1;
  }
  if (Offset < -base || Offset > s->Size - base) return -1;
  s->Pos = base + Offset;
  return 0;
}

int OggClose(void*) { return 0; }

long OggTell(void* Source) { return static_cast<long>(static_cast<TOggSource*>(Source)->Pos); }

// Consecutive holes after which a damaged stream counts as ended.
constexpr int32_t MaxOggHoles = 256;

// One decoded frame of any channel count into a stereo frame.
void DownmixFrame(const int16_t* x, int32_t Channels, int32_t* Out) {
  int32_t l, r;
  switch (Channels) {
    case 1: l = r = x[0]; break;
    case 2: l = x[0]; r = x[1]; break;
    case 3: l = (x[0] + x[1]) >> 1; r = (x[2] + x[1]) >> 1; break;
    case 4: l = (x[0] + x[2]) >> 1; r = (x[1] + x[3]) >> 1; break;
    case 5: l = (x[0] + x[1] + x[3]) / 3; r = (x[1] + x[2] + x[4]) / 3; break;
    case 6: l = (x[0] + x[1] + x[3] + x[5]) >> 2; r = (x[1] + x[2] + x[4] + x[5]) >> 2; break;
    default: l = x[0]; r = x[1]; break;
  }
  Out[0] = l;
  Out[1] = r;
}

}  // namespace

bool SoundLoadOGG(TZNT1SoundSample* Sample, const uint8_t* Bytes, size_t Size) {
  TOggSource source{Bytes, static_cast<int64_t>(Size), 0};
  OggVorbis_File vf;
  const ov_callbacks callbacks{OggRead, OggSeek, OggClose, OggTell};
  if (ov_open_callbacks(&source, &vf, nullptr, 0, callbacks) != 0) return false;
  bool ok = false;
  const vorbis_info* info = ov_info(&vf, -1);
  const int64_t total = ov_pcm_total(&vf, -1);
  if (info && info->channels > 0 && info->rate > 0 && static_cast<uint64_t>(info->rate) <= ZSSMaxFileSampleRate &&
      total > 0) {
    const int32_t channels = info->channels;
    const int64_t wanted = std::min<int64_t>(total, std::numeric_limits<int32_t>::max() - 2 * ZSSSampleFixUp);
    // The length comes from the last page, which a damaged file may state as anything: reserve
    // what the file's bytes can plausibly hold and grow with what actually decodes.
    int64_t capacity = std::min<int64_t>(wanted, std::max<int64_t>(65536, static_cast<int64_t>(Size) * 16));
    Sample->AllocateData(static_cast<int32_t>(capacity));
    Sample->SampleLength = 0;
    constexpr int32_t ScratchBytes = 65536;
    std::unique_ptr<int16_t[]> scratch(new int16_t[ScratchBytes / 2]);
    const int32_t frameBytes = 2 * channels;
    int64_t decoded = 0;
    int32_t holes = 0;
    int bitstream = 0;
    while (decoded < wanted) {
      const int64_t request = std::min<int64_t>((ScratchBytes / frameBytes) * frameBytes, (wanted - decoded) * frameBytes);
      if (request <= 0) break;
      const long got = ov_read(&vf, reinterpret_cast<char*>(scratch.get()), static_cast<int>(request), &bitstream);
      if (got == OV_HOLE) {
        if (++holes > MaxOggHoles) break;
        continue;
      }
      if (got <= 0) break;
      holes = 0;
      const int64_t n = std::min<int64_t>(got / frameBytes, wanted - decoded);
      if (decoded + n > capacity) {
        capacity = std::min<int64_t>(wanted, std::max(capacity * 2, decoded + n));
        Sample->SampleLength = static_cast<int32_t>(decoded);
        Sample->AllocateData(static_cast<int32_t>(capacity), static_cast<int32_t>(decoded));
      }
      int32_t* out = Sample->Data + decoded * 2;
      const int16_t* in = scratch.get();
      switch (channels) {
        case 1:
          for (int64_t f = 0; f < n; ++f) out[f * 2] = out[f * 2 + 1] = in[f];
          break;
        case 2:
          for (int64_t i = 0; i < n * 2; ++i) out[i] = in[i];
          break;
        default:
          for (int64_t f = 0; f < n; ++f) DownmixFrame(in + f * channels, channels, out + f * 2);
          break;
      }
      decoded += n;
    }
    Sample->SampleLength = static_cast<int32_t>(decoded);
    if (decoded > 0) {
      // The guard frames after the end lie inside the block whatever its capacity.
      std::fill(Sample->Data + decoded * 2, Sample->Data + (decoded + ZSSSampleFixUp) * 2, 0);
      Sample->SampleRate = static_cast<int32_t>(info->rate);
      Sample->Loop = TZNT1SoundSampleLoop{};
      Sample->SustainLoop = TZNT1SoundSampleLoop{};
      ok = true;
    }
  }
  ov_clear(&vf);
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Mixing thread

TZNT1SoundThread::TZNT1SoundThread(TZNT1SoundSystem* ASoundSystem)
    : SoundSystem(ASoundSystem) {
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
    // Lock may have completed between the test above and entering: then samples and the
    // game's entities may be going away, and the hook must not run.
    if (!s.IsReady.load()) {
      s.CriticalSection.Leave();
      continue;
    }
    s.FillBuffer();
    s.CriticalSection.Leave();
    if (s.IsMuted.load())
      std::fill(s.OutputBuffer.begin(), s.OutputBuffer.end(), uint8_t(s.Bits == 8 ? 0x80 : 0));
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

// ---------------------------------------------------------------------------------------------
// Sound system

TZNT1SoundSystem::TZNT1SoundSystem(TZNT1Engine* AEngine, int32_t ASampleRate, int32_t AChannels, int32_t ABits,
                                   int32_t ABufferSamples)
    : Engine(AEngine),
      SampleRate(std::max(1, ASampleRate)),
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
  const double rate = SampleRate;
  SpatializationWaterLowPassCW = static_cast<float>(std::clamp(2.0 * std::sin(M_PI * 300.0 / rate), 0.0, 1.0));
  SpatializationWaterWaterBoostLowPassCW =
      static_cast<int32_t>(SoundRound(std::clamp(2.0 * std::sin(M_PI * 500.0 / rate), 0.0, 1.0) * 4096.0));
  SpatializationWaterWaterBoostHighPassCW =
      static_cast<int32_t>(SoundRound(std::clamp(2.0 * std::sin(M_PI * 1000.0 / rate), 0.0, 1.0) * 4096.0));
  SpatializationWaterWaterBoost = 16384;
  SpatializationLowPassCW = static_cast<float>(std::clamp(std::cos(2.0 * M_PI * 3300.0 / rate), 0.0, 1.0));
  SpatializationDelayAir = static_cast<float>(rate * 0.5097582 / 1000.0);
  SpatializationDelayUnderwater = static_cast<float>(rate * 0.11498029 / 1000.0);
  const int64_t delay = std::max<int64_t>(
      SoundRound(std::max(SpatializationDelayAir, SpatializationDelayUnderwater) + 0.5), 32);
  SpatializationDelayPowerOfTwo = static_cast<int32_t>(RoundUpToPowerOfTwo(static_cast<uint32_t>(delay)));
  SpatializationDelayMask = SpatializationDelayPowerOfTwo - 1;
  Samples = std::make_unique<TZNT1SoundSamples>(this);
  OGGs = std::make_unique<TZNT1SoundOGGs>(this);
  HRTFPreset = DefaultHRTFPreset();
  HRTF = SampleRate == HRTFPreset->SampleRate;
  SpatializationMode = HRTF ? SPATIALIZATION_HRTF : SPATIALIZATION_PSEUDO;
  MasterVolume = 4096;
  SampleVolume = 32768;
  OGGVolume = 4096;
  AGCActive = true;
  AGC = 256;
  AGCCounter = 0;
  AGCInterval = std::max(1, SampleRate * 25 / 1000);
  RampingSamples = std::max(10, SampleRate * 10 / 1000);
  RampingStepSamples = std::min(std::max(1, SampleRate / 1000), RampingSamples);
  CubicSplineTable.resize(4096 * 4);
  for (int32_t i = 0; i < 4096; ++i) {
    const double t = i / 4096.0, t2 = t * t, t3 = t2 * t;
    CubicSplineTable[i * 4 + 0] = static_cast<int32_t>(SoundRound((-0.5 * t3 + t2 - 0.5 * t) * 4096.0));
    CubicSplineTable[i * 4 + 1] = static_cast<int32_t>(SoundRound((1.5 * t3 - 2.5 * t2 + 1.0) * 4096.0));
    CubicSplineTable[i * 4 + 2] = static_cast<int32_t>(SoundRound((-1.5 * t3 + 2.0 * t2 + 0.5 * t) * 4096.0));
    CubicSplineTable[i * 4 + 3] = static_cast<int32_t>(SoundRound((0.5 * t3 - 0.5 * t2) * 4096.0));
  }
  ListenerMatrix = Matrix4x4Identity;
  PitchShifter = std::make_unique<TZNT1SoundPitchShifter>(this);
  Reverb = std::make_unique<TZNT1SoundReverb>(this);
  PanningLUT.resize(65537);
  for (int32_t i = 0; i <= 65536; ++i)
    PanningLUT[static_cast<size_t>(i)] = static_cast<int32_t>(SoundRound(std::sin(i / 65536.0 * M_PI / 2.0) * 65536.0));
  PanningLUT[65536] = 65536;
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
  Reverb.reset();
  PitchShifter.reset();
  Samples.reset();
  OGGs.reset();
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

void TZNT1SoundSystem::SetMixerMasterVolume(float Volume) {
  CriticalSection.Enter();
  MasterVolume = RoundSaturated(static_cast<double>(Volume) * 4096.0);
  CriticalSection.Leave();
}

void TZNT1SoundSystem::SetMixerOGGVolume(float Volume) {
  CriticalSection.Enter();
  OGGVolume = RoundSaturated(static_cast<double>(Volume) * 4096.0);
  CriticalSection.Leave();
}

void TZNT1SoundSystem::SetMixerSampleVolume(float Volume) {
  CriticalSection.Enter();
  SampleVolume = RoundSaturated(static_cast<double>(Volume) * 32768.0);
  CriticalSection.Leave();
}

void TZNT1SoundSystem::SetMixerAGC(bool Active) {
  CriticalSection.Enter();
  AGCActive = Active;
  CriticalSection.Leave();
}

void TZNT1SoundSystem::Setup() {
  for (TZNT1SoundSample* s : Samples->Items) s->CorrectPolyphony();
}

void TZNT1SoundSystem::ClipBuffer(int32_t* Buffer, int32_t Limit) {
  for (int32_t i = 0; i < BufferChannelSamples; ++i) Buffer[i] = std::clamp(Buffer[i], -Limit, Limit - 1);
}

void TZNT1SoundSystem::WaterBoost() {
  int32_t* bus = EffectMixingBuffer.data();
  const int64_t cwLow = SpatializationWaterWaterBoostLowPassCW, cwHigh = SpatializationWaterWaterBoostHighPassCW;
  const int64_t boost = SpatializationWaterWaterBoost;
  auto channel = [&](int32_t x, int32_t* low, int32_t* high, int32_t& mid, int32_t* history) {
    low[0] += static_cast<int32_t>((static_cast<int64_t>(x) - low[0]) * cwLow / 4096);
    for (int k = 1; k < 4; ++k) low[k] += static_cast<int32_t>((static_cast<int64_t>(low[k - 1]) - low[k]) * cwLow / 4096);
    high[0] += static_cast<int32_t>((static_cast<int64_t>(x) - high[0]) * cwHigh / 4096);
    for (int k = 1; k < 4; ++k)
      high[k] += static_cast<int32_t>((static_cast<int64_t>(high[k - 1]) - high[k]) * cwHigh / 4096);
    const int64_t h = history[3];
    const int64_t hi = h - high[3], lo = low[3];
    const int64_t m = h - (lo + hi);
    mid = static_cast<int32_t>(m);
    history[3] = history[2];
    history[2] = history[1];
    history[1] = x;
    return static_cast<int32_t>(m * boost / 4096 + lo + hi);
  };
  for (int32_t i = 0; i < BufferSamples; ++i) {
    bus[i * 2] = channel(bus[i * 2], WaterBoostLowPassLeft, WaterBoostHighPassLeft, WaterBoostMiddlePassLeft,
                         WaterBoostHistoryLeft);
    bus[i * 2 + 1] = channel(bus[i * 2 + 1], WaterBoostLowPassRight, WaterBoostHighPassRight,
                             WaterBoostMiddlePassRight, WaterBoostHistoryRight);
  }
}

void TZNT1SoundSystem::EffectLowPass() {
  int32_t* bus = EffectMixingBuffer.data();
  const int32_t open = 0x40000000;
  const int32_t target =
      ListenerUnderwater ? static_cast<int32_t>(SoundRound(SpatializationWaterLowPassCW * 16384.0) << 16) : open;
  if (target != LowPassLast) {
    LowPassLast = target;
    LowPassRampingLength = ListenerUnderwater ? RampingSamples : std::max(RampingSamples, (SampleRate + 2) / 4);
    LowPassIncrement = static_cast<int32_t>((static_cast<int64_t>(target) - LowPassCurrent) / LowPassRampingLength);
  }
  if (LowPassRampingLength > 0 || target != open) {
    int32_t i = 0;
    while (i < BufferSamples) {
      const bool ramping = LowPassRampingLength > 0;
      int32_t run = BufferSamples - i;
      if (ramping) run = std::min(run, LowPassRampingLength);
      for (int32_t k = i; k < i + run; ++k) {
        const int64_t c = LowPassCurrent / 65536;
        if (ramping) LowPassCurrent += LowPassIncrement;
        LowPassLeft += static_cast<int32_t>((static_cast<int64_t>(bus[k * 2]) - LowPassLeft) * c / 16384);
        LowPassRight += static_cast<int32_t>((static_cast<int64_t>(bus[k * 2 + 1]) - LowPassRight) * c / 16384);
        bus[k * 2] = LowPassLeft;
        bus[k * 2 + 1] = LowPassRight;
      }
      if (ramping) {
        LowPassRampingLength -= run;
        if (LowPassRampingLength == 0) LowPassCurrent = target;
      }
      i += run;
    }
  } else if (BufferSamples > 1) {
    LowPassLeft = bus[(BufferSamples - 1) * 2];
    LowPassRight = bus[(BufferSamples - 1) * 2 + 1];
  }
}

void TZNT1SoundSystem::FillBuffer() {
  if (UpdateHook) UpdateHook();
  std::fill(MixingBuffer.begin(), MixingBuffer.end(), 0);
  std::fill(EffectMixingBuffer.begin(), EffectMixingBuffer.end(), 0);
  for (TZNT1SoundSampleVoice* v = VoiceFirst; v;) {
    TZNT1SoundSampleVoice* next = v->Next;
    v->MixTo(v->MixToEffect ? EffectMixingBuffer.data() : MixingBuffer.data(), SampleVolume);
    v = next;
  }
  for (TZNT1SoundOGG* o : OGGs->Items) o->MixTo(MixingBuffer.data(), OGGVolume);
  PitchShifter->Factor = ListenerUnderwater ? 0.7937005f : 1.0f;
  PitchShifter->Process(EffectMixingBuffer.data(), BufferSamples);
  if (ListenerUnderwater) {
    ClipBuffer(EffectMixingBuffer.data(), 0x80000);
    WaterBoost();
    ClipBuffer(EffectMixingBuffer.data(), 0x80000);
  } else {
    for (int32_t* a : {WaterBoostLowPassLeft, WaterBoostLowPassRight, WaterBoostHighPassLeft, WaterBoostHighPassRight,
                       WaterBoostHistoryLeft, WaterBoostHistoryRight})
      std::fill(a, a + 4, 0);
    WaterBoostMiddlePassLeft = WaterBoostMiddlePassRight = 0;
  }
  EffectLowPass();
  Reverb->Dry = 1.0f;
  Reverb->Wet = ListenerUnderwater ? 1.0f : 0.0f;
  Reverb->Process(EffectMixingBuffer.data(), BufferSamples);
  for (int32_t i = 0; i < BufferChannelSamples; ++i) MixingBuffer[i] += EffectMixingBuffer[i];
  if (MasterVolume != 4096) {
    ClipBuffer(MixingBuffer.data(), 0x80000);
    for (int32_t i = 0; i < BufferChannelSamples; ++i)
      MixingBuffer[i] = static_cast<int32_t>((static_cast<int64_t>(MixingBuffer[i]) * MasterVolume) >> 12);
  }
  if (AGCActive) {
    for (int32_t i = 0; i < BufferSamples; ++i) {
      const int64_t l = (static_cast<int64_t>(MixingBuffer[i * 2]) * AGC) >> 8;
      const int64_t r = (static_cast<int64_t>(MixingBuffer[i * 2 + 1]) * AGC) >> 8;
      MixingBuffer[i * 2] = static_cast<int32_t>(std::clamp<int64_t>(l, -32768, 32767));
      MixingBuffer[i * 2 + 1] = static_cast<int32_t>(std::clamp<int64_t>(r, -32768, 32767));
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
  // The buses are stereo: more output channels than two get nothing beyond them.
  const int32_t outputValues = std::min(BufferOutputChannelSamples, BufferChannelSamples);
  if (Bits == 8) {
    for (int32_t i = 0; i < outputValues; ++i)
      OutputBuffer[i] = static_cast<uint8_t>((MixingBuffer[i] + 32768) >> 8);
  } else if (Bits == 16) {
    int16_t* out = reinterpret_cast<int16_t*>(OutputBuffer.data());
    for (int32_t i = 0; i < outputValues; ++i) out[i] = static_cast<int16_t>(MixingBuffer[i]);
  }
}

// ---------------------------------------------------------------------------------------------
// 3D placement

namespace {

constexpr double UnitMetres = 0.0381;  // 8 units per foot
constexpr double MinDistance = 120.0, MaxDistance = 1024.0, MaxFadeOutDistance = 1250.0, FadeOutDistance = 256.0,
                 AttenuationRollOff = 2.0;
constexpr double SpeedOfSoundAir = 343.3, SpeedOfSoundUnderwater = 1522.0, DopplerVelocity = 1.0;
constexpr double AirAbsorptionGainHF = 0.99426, AirAbsorptionFactor = 0.1;
constexpr double HF_DAMP = 0.25, HF_DAMP_HALF = 0.125, HF_DAMP_FACTOR = 0.9375;
constexpr double HRTFUnderwaterDelayFactor = 0.22555847;

int32_t RoundUnitGain(double g) { return static_cast<int32_t>(SoundRound(ClampUnit(g) * 65536.0)); }

}  // namespace

float LowPassCoef(float Coef, float Gain) {
  const double c = Coef;
  const double g = std::max(static_cast<double>(Gain), 0.01);
  if (!(g < 0.9999)) return 0.0f;
  const double root = std::sqrt(std::max(0.0, 2.0 * g * (1.0 - c) - g * g * (1.0 - c * c)));
  return static_cast<float>(std::clamp((1.0 - g * c - root) / (1.0 - g), -1.0, 1.0));
}

float CalculateDelta(const TZNT1Vector3& L, const TZNT1Vector3& D, float G, float G0) {
  const double gd = std::fabs(std::log10(std::max(static_cast<double>(G), 0.0001) /
                                         std::max(static_cast<double>(G0), 0.0001)) /
                              std::log10(0.0001));
  double ad = 0.0;
  const bool differ = L.x != D.x || L.y != D.y || L.z != D.z;
  if (differ && !(gd <= 0.0001 && G <= 0.0001)) {
    const double dot = static_cast<double>(L.x) * D.x + static_cast<double>(L.y) * D.y + static_cast<double>(L.z) * D.z;
    ad = std::acos(std::clamp(dot, -1.0, 1.0)) / M_PI;
  }
  return static_cast<float>(std::min(1.0, 2.0 * std::max(gd, 25.0 * ad)));
}

bool TZNT1SoundSampleVoice::SpatializedMode(int32_t Mode) const {
  return Spatialization && SoundSystem->SpatializationMode == Mode;
}

void TZNT1SoundSampleVoice::InitSpatialization() {
  const int32_t mode = SoundSystem->SpatializationMode;
  if (mode == SPATIALIZATION_HRTF) {
    for (int64_t* a : {HRTFLeftCoefs, HRTFRightCoefs, HRTFLeftCoefsCurrent, HRTFRightCoefsCurrent,
                       HRTFLeftCoefsIncrement, HRTFRightCoefsIncrement})
      std::fill(a, a + ZSSHRTFMaxLength, 0);
    std::fill(HRTFLeftHistory, HRTFLeftHistory + ZSSHRTFMaxLength, 0);
    std::fill(HRTFRightHistory, HRTFRightHistory + ZSSHRTFMaxLength, 0);
    HRTFHistoryIndex = HRTFLeftDelay = HRTFRightDelay = HRTFRampingRemain = 0;
    const TZNT1SoundHRTFPreset* preset = SoundSystem->HRTFPreset;
    HRTFLength = (SoundSystem->HRTF && preset) ? std::clamp(preset->irSize, 1, ZSSHRTFMaxLength) : ZSSHRTFMaxLength;
    HRTFLength = static_cast<int32_t>(RoundUpToPowerOfTwo(static_cast<uint32_t>(HRTFLength)));
    HRTFMask = HRTFLength - 1;
  }
  if (mode == SPATIALIZATION_PSEUDO || mode == SPATIALIZATION_HRTF) {
    SpatializationDelayLeft = SpatializationDelayRight = 0;
    SpatializationDelayLeftLast = SpatializationDelayRightLast = 0;
    SpatializationDelayLeftCurrent = SpatializationDelayRightCurrent = 0;
    SpatializationDelayLeftIncrement = SpatializationDelayRightIncrement = 0;
    SpatializationDelayRampingRemain = 0;
    // Open (0), not 1.0: a voice placed after its first block ramps from the open filter
    // instead of from a frozen one that would hold it silent.
    SpatializationLowPassLeftCoef = SpatializationLowPassRightCoef = 0;
    SpatializationLowPassLeftLastCoef = SpatializationLowPassRightLastCoef = 0;
    SpatializationLowPassLeftCurrentCoef = SpatializationLowPassRightCurrentCoef = 0;
    SpatializationLowPassLeftIncrementCoef = SpatializationLowPassRightIncrementCoef = 0;
    SpatializationLowPassLeftHistory[0] = SpatializationLowPassLeftHistory[1] = 0;
    SpatializationLowPassRightHistory[0] = SpatializationLowPassRightHistory[1] = 0;
    SpatializationLowPassRampingRemain = 0;
  }
}

void TZNT1SoundSampleVoice::UpdateSpatialization() {
  TZNT1SoundSystem& s = *SoundSystem;
  const int32_t mode = s.SpatializationMode;
  const TZNT1Vector3 rel = Vector3Sub(SpatializationOrigin, s.ListenerOrigin);
  double d = Vector3Length(rel);
  TZNT1Vector3 u = Vector3Norm(rel);
  // A position the game broke (NaN, infinite) plays silent rather than poisoning the mix.
  if (!(d == d) || d > 1e30) {
    d = MaxFadeOutDistance;
    u = TZNT1Vector3{};
  }
  const double dc = std::clamp(d, MinDistance, MaxDistance);
  double g = MinDistance / ((dc - MinDistance) * AttenuationRollOff + MinDistance);
  const double fade = 1.0 - std::clamp(d - (MaxFadeOutDistance - FadeOutDistance), 0.0, FadeOutDistance) / FadeOutDistance;
  g = std::clamp(g * fade * fade, 0.0, 1.0);
  const TZNT1Vector3 v = Vector3Norm(Vector3TermMatrixMulEx(u, s.ListenerMatrix));

  RampingSamples = s.RampingSamples;
  bool changed = false;
  if (Age == 0) {
    SpatializationVolumeLast = static_cast<float>(g);
    LastDirection = v;
  } else {
    const float delta = CalculateDelta(LastDirection, v, static_cast<float>(g), SpatializationVolumeLast);
    if (delta > 0.001f) {
      RampingSamples = std::max<int32_t>(1, static_cast<int32_t>(std::floor(s.SampleRate * 0.015 * delta + 0.5)));
      SpatializationVolumeLast = static_cast<float>(g);
      LastDirection = v;
      changed = true;
    }
  }

  const double x = std::clamp(-static_cast<double>(v.y), -1.0, 1.0);
  if (mode == SPATIALIZATION_HRTF) {
    MulLeft = MulRight = RoundUnitGain(g);
  } else {
    MulLeft = RoundUnitGain(g * std::sin(M_PI / 2 * std::clamp((1.0 - HF_DAMP_FACTOR * x) / 2, 0.0, 1.0)));
    MulRight = RoundUnitGain(g * std::sin(M_PI / 2 * std::clamp((1.0 + HF_DAMP_FACTOR * x) / 2, 0.0, 1.0)));
  }

  double hL = 1.0, hR = 1.0;
  if (mode == SPATIALIZATION_PSEUDO) {
    SpatializationDelayLeft = SpatializationDelayRight = 0;
    const double delay = s.ListenerUnderwater ? s.SpatializationDelayUnderwater : s.SpatializationDelayAir;
    if (x < 0) {
      hR = 1.0 + HF_DAMP_HALF * x;
      SpatializationDelayRight = static_cast<int32_t>(SoundRound(-x * delay * 65536.0));
    } else if (x > 0) {
      hL = 1.0 - HF_DAMP_HALF * x;
      SpatializationDelayLeft = static_cast<int32_t>(SoundRound(x * delay * 65536.0));
    }
    if (v.x < 0) {
      hL *= 1.0 + HF_DAMP * v.x;
      hR *= 1.0 + HF_DAMP * v.x;
    }
  } else if (mode == SPATIALIZATION_HRTF && s.HRTFPreset) {
    // Up is up (ring 18), and a source exactly to one side or behind keeps its azimuth.
    const float elevation = static_cast<float>(std::asin(std::clamp(static_cast<double>(v.z), -1.0, 1.0)));
    const float azimuth = (v.x == 0 && v.y == 0) ? 0.0f : static_cast<float>(-std::atan2(v.y, v.x));
    if (Age == 0) {
      s.GetLerpedHRTFCoefs(HRTFLeftCoefs, HRTFRightCoefs, HRTFRightDelay, HRTFLeftDelay, azimuth, elevation);
      for (int32_t i = 0; i < ZSSHRTFMaxLength; ++i) {
        HRTFLeftCoefsCurrent[i] = HRTFLeftCoefs[i];
        HRTFRightCoefsCurrent[i] = HRTFRightCoefs[i];
        HRTFLeftCoefsIncrement[i] = HRTFRightCoefsIncrement[i] = 0;
      }
      HRTFRampingRemain = 0;
    } else if (changed) {
      HRTFRampingRemain = RampingSamples;
      s.GetLerpedHRTFCoefs(HRTFLeftCoefs, HRTFRightCoefs, HRTFRightDelay, HRTFLeftDelay, azimuth, elevation);
      for (int32_t i = 0; i < ZSSHRTFMaxLength; ++i) {
        HRTFLeftCoefsIncrement[i] = (HRTFLeftCoefs[i] - HRTFLeftCoefsCurrent[i]) / HRTFRampingRemain;
        HRTFRightCoefsIncrement[i] = (HRTFRightCoefs[i] - HRTFRightCoefsCurrent[i]) / HRTFRampingRemain;
      }
    }
    SpatializationDelayLeft = HRTFLeftDelay;
    SpatializationDelayRight = HRTFRightDelay;
  }
  if (mode == SPATIALIZATION_PSEUDO || mode == SPATIALIZATION_HRTF) {
    if (d > MinDistance) {
      const double air = std::pow(AirAbsorptionGainHF, (std::clamp(d, MinDistance, MaxFadeOutDistance) - MinDistance) *
                                                           UnitMetres * AirAbsorptionFactor);
      hL *= air;
      hR *= air;
    }
    SpatializationLowPassLeftCoef = static_cast<int32_t>(
        SoundRound(static_cast<double>(LowPassCoef(s.SpatializationLowPassCW, static_cast<float>(hL))) * 1073741824.0));
    SpatializationLowPassRightCoef = static_cast<int32_t>(
        SoundRound(static_cast<double>(LowPassCoef(s.SpatializationLowPassCW, static_cast<float>(hR))) * 1073741824.0));
  }

  double c = (s.ListenerUnderwater ? SpeedOfSoundUnderwater : SpeedOfSoundAir) * DopplerVelocity;
  double factor = UnitMetres;
  if (c > 0 && c < 1) {
    factor /= c;
    c = 1;
  }
  const double vL = Vector3Dot(s.ListenerVelocity, u) * factor;
  const double vS = Vector3Dot(SpatializationVelocity, u) * factor;
  double rate = std::clamp(c + vL, 1.0, 2 * c - 1) / std::clamp(c + vS, 1.0, 2 * c - 1);
  if (!(rate == rate)) rate = 1.0;
  DopplerRate = static_cast<float>(rate);
  UpdateIncrement();
}

void TZNT1SoundSampleVoice::UpdateSpatializationDelayRamping() {
  if (Age == 0) {
    SpatializationDelayLeftCurrent = SpatializationDelayLeftLast = SpatializationDelayLeft;
    SpatializationDelayRightCurrent = SpatializationDelayRightLast = SpatializationDelayRight;
    SpatializationDelayLeftIncrement = SpatializationDelayRightIncrement = 0;
    SpatializationDelayRampingRemain = 0;
    std::fill(SpatializationDelayLeftLine.begin(), SpatializationDelayLeftLine.end(), 0);
    std::fill(SpatializationDelayRightLine.begin(), SpatializationDelayRightLine.end(), 0);
  } else if (SpatializationDelayLeft != SpatializationDelayLeftLast ||
             SpatializationDelayRight != SpatializationDelayRightLast) {
    SpatializationDelayRampingRemain = RampingSamples;
    SpatializationDelayLeftLast = SpatializationDelayLeft;
    SpatializationDelayRightLast = SpatializationDelayRight;
    SpatializationDelayLeftIncrement = (SpatializationDelayLeft - SpatializationDelayLeftCurrent) / RampingSamples;
    SpatializationDelayRightIncrement = (SpatializationDelayRight - SpatializationDelayRightCurrent) / RampingSamples;
  }
}

void TZNT1SoundSampleVoice::UpdateSpatializationLowPassRamping() {
  if (Age == 0) {
    SpatializationLowPassLeftCurrentCoef = SpatializationLowPassLeftLastCoef = SpatializationLowPassLeftCoef;
    SpatializationLowPassRightCurrentCoef = SpatializationLowPassRightLastCoef = SpatializationLowPassRightCoef;
    SpatializationLowPassLeftIncrementCoef = SpatializationLowPassRightIncrementCoef = 0;
    SpatializationLowPassRampingRemain = 0;
  } else if (SpatializationLowPassLeftCoef != SpatializationLowPassLeftLastCoef ||
             SpatializationLowPassRightCoef != SpatializationLowPassRightLastCoef) {
    SpatializationLowPassRampingRemain = RampingSamples;
    SpatializationLowPassLeftLastCoef = SpatializationLowPassLeftCoef;
    SpatializationLowPassRightLastCoef = SpatializationLowPassRightCoef;
    SpatializationLowPassLeftIncrementCoef = static_cast<int32_t>(
        (static_cast<int64_t>(SpatializationLowPassLeftCoef) - SpatializationLowPassLeftCurrentCoef) / RampingSamples);
    SpatializationLowPassRightIncrementCoef = static_cast<int32_t>(
        (static_cast<int64_t>(SpatializationLowPassRightCoef) - SpatializationLowPassRightCurrentCoef) / RampingSamples);
  }
}

int32_t TZNT1SoundSampleVoice::SpatializationRunLimit(int32_t Count) const {
  const bool pseudo = SpatializedMode(SPATIALIZATION_PSEUDO), hrtf = SpatializedMode(SPATIALIZATION_HRTF);
  if (!pseudo && !hrtf) return Count;
  // The low-pass ramp cuts runs in both modes: a coefficient carried past its ramp's end
  // would leave the filter's stable range.
  if (SpatializationLowPassRampingRemain > 0) Count = std::min(Count, SpatializationLowPassRampingRemain);
  if (hrtf && HRTFRampingRemain > 0) Count = std::min(Count, HRTFRampingRemain);
  if (SpatializationDelayRampingRemain > 0) Count = std::min(Count, SpatializationDelayRampingRemain);
  return Count;
}

void TZNT1SoundSampleVoice::SkipSpatialization(int32_t Count) {
  if (!SpatializedMode(SPATIALIZATION_PSEUDO) && !SpatializedMode(SPATIALIZATION_HRTF)) return;
  for (int32_t i = 0; i < ZSSHRTFMaxLength; ++i) {
    HRTFLeftCoefsCurrent[i] += HRTFLeftCoefsIncrement[i] * Count;
    HRTFRightCoefsCurrent[i] += HRTFRightCoefsIncrement[i] * Count;
  }
  SpatializationLowPassLeftCurrentCoef += static_cast<int32_t>(int64_t(SpatializationLowPassLeftIncrementCoef) * Count);
  SpatializationLowPassRightCurrentCoef +=
      static_cast<int32_t>(int64_t(SpatializationLowPassRightIncrementCoef) * Count);
  SpatializationDelayLeftCurrent += static_cast<int32_t>(int64_t(SpatializationDelayLeftIncrement) * Count);
  SpatializationDelayRightCurrent += static_cast<int32_t>(int64_t(SpatializationDelayRightIncrement) * Count);
  SpatializationLowPassLeftHistory[0] = SpatializationLowPassLeftHistory[1] = 0;
  SpatializationLowPassRightHistory[0] = SpatializationLowPassRightHistory[1] = 0;
  const int32_t mask = SoundSystem->SpatializationDelayMask;
  const int32_t zeros = std::min(Count, mask + 1);
  for (int32_t i = 0; i < zeros; ++i) {
    SpatializationDelayLeftLine[static_cast<size_t>((SpatializationDelayLeftIndex + i) & mask)] = 0;
    SpatializationDelayRightLine[static_cast<size_t>((SpatializationDelayRightIndex + i) & mask)] = 0;
  }
  SpatializationDelayLeftIndex = (SpatializationDelayLeftIndex + Count) & mask;
  SpatializationDelayRightIndex = (SpatializationDelayRightIndex + Count) & mask;
}

void TZNT1SoundSampleVoice::AdvanceSpatializationRamps(int32_t Count) {
  if (!SpatializedMode(SPATIALIZATION_PSEUDO) && !SpatializedMode(SPATIALIZATION_HRTF)) return;
  if (HRTFRampingRemain > 0 && (HRTFRampingRemain -= Count) <= 0) {
    HRTFRampingRemain = 0;
    for (int32_t i = 0; i < ZSSHRTFMaxLength; ++i) {
      HRTFLeftCoefsCurrent[i] = HRTFLeftCoefs[i];
      HRTFRightCoefsCurrent[i] = HRTFRightCoefs[i];
      HRTFLeftCoefsIncrement[i] = HRTFRightCoefsIncrement[i] = 0;
    }
  }
  if (SpatializationLowPassRampingRemain > 0 && (SpatializationLowPassRampingRemain -= Count) <= 0) {
    SpatializationLowPassRampingRemain = 0;
    SpatializationLowPassLeftCurrentCoef = SpatializationLowPassLeftCoef;
    SpatializationLowPassRightCurrentCoef = SpatializationLowPassRightCoef;
    SpatializationLowPassLeftIncrementCoef = SpatializationLowPassRightIncrementCoef = 0;
  }
  if (SpatializationDelayRampingRemain > 0 && (SpatializationDelayRampingRemain -= Count) <= 0) {
    SpatializationDelayRampingRemain = 0;
    SpatializationDelayLeftCurrent = SpatializationDelayLeft;
    SpatializationDelayRightCurrent = SpatializationDelayRight;
    SpatializationDelayLeftIncrement = SpatializationDelayRightIncrement = 0;
  }
}

namespace {

// One ear's 3D state, held in locals for a run (the bus must not alias it).
struct TSpatialEar {
  int64_t Gain, GainStep;  // 1.15 << 16
  int32_t Coef, CoefStep;  // 2.30
  int32_t Delay, DelayStep;  // 16.16
  int32_t H0, H1;
  int32_t* Line;
  int32_t Index;

  // Per-frame constants of the ramped values; refreshed every frame while ramping.
  int64_t G = 0, A = 0;
  int32_t K = 0, F = 0;
  bool Near = true;  // no delay: the ear facing the source
  void Prepare() {
    G = Gain / 65536;
    A = Coef / 65536;
    K = Delay >> 16;
    F = (Delay & 65535) >> 4;
    Near = Delay < 16;
  }
  bool Ramping() const { return GainStep != 0 || CoefStep != 0 || DelayStep != 0; }

  // Two low-pass stages and the fractional delay line; the delayed value.
  int32_t Process(int64_t Value, int32_t Mask) {
    if (A != 0) {
      const int64_t h0 = Value + (A * (H0 - Value)) / 16384;
      const int64_t h1 = h0 + (A * (H1 - h0)) / 16384;
      H0 = static_cast<int32_t>(h0);
      H1 = static_cast<int32_t>(h1);
    } else {
      H0 = H1 = static_cast<int32_t>(Value);  // the open filter passes the value as it is
    }
    Line[Index] = H1;
    if (Near) {
      Index = (Index + 1) & Mask;
      return H1;
    }
    const int64_t x0 = Line[(Index - K) & Mask], x1 = Line[(Index - K - 1) & Mask];
    Index = (Index + 1) & Mask;
    return static_cast<int32_t>(x0 + ((x1 - x0) * F) / 4096);
  }
  void Step() {
    Gain += GainStep;
    Coef += CoefStep;
    Delay += DelayStep;
  }
};

// Adds one frame's taps (1.15) times Value into the partial sums of the next 32 output frames.
inline void AddTaps(int32_t* __restrict Sums, const int32_t* __restrict Taps, int32_t Value) {
  // Values inside 17 bits keep the products inside 32 bits, which vectorise.
  if (Value >= -65535 && Value <= 65535) {
    for (int32_t t = 0; t < ZSSHRTFMaxLength; ++t) Sums[t] += (Taps[t] * Value) / 32768;
  } else {
    for (int32_t t = 0; t < ZSSHRTFMaxLength; ++t)
      Sums[t] += static_cast<int32_t>((int64_t(Taps[t]) * Value) / 32768);
  }
}

inline int32_t TapOf(int64_t Coef) { return static_cast<int32_t>(std::clamp<int64_t>(Coef / 65536, -32768, 32767)); }

TSpatialEar LoadEar(TZNT1SoundSampleVoice& v, bool Left) {
  if (Left)
    return {v.VolumeLeftCurrent,
            v.VolumeLeftIncrement,
            v.SpatializationLowPassLeftCurrentCoef,
            v.SpatializationLowPassLeftIncrementCoef,
            v.SpatializationDelayLeftCurrent,
            v.SpatializationDelayLeftIncrement,
            v.SpatializationLowPassLeftHistory[0],
            v.SpatializationLowPassLeftHistory[1],
            v.SpatializationDelayLeftLine.data(),
            v.SpatializationDelayLeftIndex};
  return {v.VolumeRightCurrent,
          v.VolumeRightIncrement,
          v.SpatializationLowPassRightCurrentCoef,
          v.SpatializationLowPassRightIncrementCoef,
          v.SpatializationDelayRightCurrent,
          v.SpatializationDelayRightIncrement,
          v.SpatializationLowPassRightHistory[0],
          v.SpatializationLowPassRightHistory[1],
          v.SpatializationDelayRightLine.data(),
          v.SpatializationDelayRightIndex};
}

void StoreEars(TZNT1SoundSampleVoice& v, const TSpatialEar& l, const TSpatialEar& r) {
  v.VolumeLeftCurrent = l.Gain;
  v.VolumeRightCurrent = r.Gain;
  v.SpatializationLowPassLeftCurrentCoef = l.Coef;
  v.SpatializationLowPassRightCurrentCoef = r.Coef;
  v.SpatializationDelayLeftCurrent = l.Delay;
  v.SpatializationDelayRightCurrent = r.Delay;
  v.SpatializationLowPassLeftHistory[0] = l.H0;
  v.SpatializationLowPassLeftHistory[1] = l.H1;
  v.SpatializationLowPassRightHistory[0] = r.H0;
  v.SpatializationLowPassRightHistory[1] = r.H1;
  v.SpatializationDelayLeftIndex = l.Index;
  v.SpatializationDelayRightIndex = r.Index;
}

// 3D runs in passes over chunks of frames: resample and gain, the two low-pass stages of both
// ears side by side, the delay line. Only the filter carries state from frame to frame. Taken
// where the values provably stay inside 32 bits, which lets the filter skip the int32 wrap of
// its state (a pole in 0 … 1 keeps it between its inputs); the ramps being linear, a bound that
// holds at a run's two ends holds throughout.
constexpr int32_t PassChunk = 1024;
constexpr int32_t PassMaxHistory = 64;

// An ear's values at the run's last frame; false when they leave 32 bits.
bool EarAtLastFrame(const TSpatialEar& e, int32_t Count, TSpatialEar& Last) {
  const int64_t n = Count - 1, coef = e.Coef + e.CoefStep * n, delay = e.Delay + e.DelayStep * n;
  if (coef != static_cast<int32_t>(coef) || delay != static_cast<int32_t>(delay)) return false;
  Last = e;
  Last.Gain = e.Gain + e.GainStep * n;
  Last.Coef = static_cast<int32_t>(coef);
  Last.Delay = static_cast<int32_t>(delay);
  Last.Prepare();
  return true;
}

bool EarFrameFits(const TSpatialEar& e) {
  return e.G >= -32767 && e.G <= 32768 && e.A >= 0 && e.A <= 16384 && e.Delay >= 0;
}

// The longest whole delay of the run, or -1 when the run must go frame by frame.
int32_t PassEarHistory(const TSpatialEar& e, int32_t Count, int32_t Mask) {
  TSpatialEar last;
  if (!EarFrameFits(e) || !EarAtLastFrame(e, Count, last) || !EarFrameFits(last)) return -1;
  const int32_t k = std::max(e.K, last.K);
  return k + 2 <= Mask && k + 1 <= PassMaxHistory ? k : -1;
}

// Both ears' frames resampled and scaled by their gains into X (interleaved), the gains stepped
// every frame when ramping. Decoded samples lie within 16 bits, where the interpolation's product
// never leaves 32 bits, and every product here is exact in a double, whose conversion truncates
// toward zero as the integer division does.
template <bool Ramp>
void Resample(const int32_t* __restrict d, int64_t& Position, int64_t Increment, const TSpatialEar& L,
              const TSpatialEar& R, int32_t* __restrict X, int32_t Count) {
  int64_t gainL = L.Gain, gainR = R.Gain;
  for (int32_t k = 0; k < Count; ++k) {
    const int64_t i = Position >> 32;
    const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(Position) >> 20);
    const int64_t gl = Ramp ? gainL / 65536 : L.G, gr = Ramp ? gainR / 65536 : R.G;
#if defined(__SSE2__)
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i * 2));
    const __m128d step = _mm_mul_pd(_mm_cvtepi32_pd(_mm_sub_epi32(_mm_srli_si128(a, 8), a)),
                                    _mm_set1_pd(static_cast<double>(f) * (1.0 / 4096)));
    const __m128i v = _mm_add_epi32(a, _mm_cvttpd_epi32(step));
    const __m128d gains = _mm_set_pd(static_cast<double>(gr) / 32768, static_cast<double>(gl) / 32768);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(X + k * 2), _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtepi32_pd(v), gains)));
#else
    const int32_t* a = d + i * 2;
    const int32_t l = a[0] + ((a[2] - a[0]) * f) / 4096;
    const int32_t r = a[1] + ((a[3] - a[1]) * f) / 4096;
    X[k * 2] = static_cast<int32_t>((gl * l) / 32768);
    X[k * 2 + 1] = static_cast<int32_t>((gr * r) / 32768);
#endif
    if constexpr (Ramp) {
      gainL += L.GainStep;
      gainR += R.GainStep;
    }
    Position += Increment;
  }
}

// Value + (P × (H − Value)) / 16384 for a pole P in 0 … 16384, truncating toward zero (the
// difference's sign is the product's, or the product is 0 and the bias shifts out).
inline int64_t PoleStep(int64_t Value, int64_t H, int64_t P) {
  const int64_t d = H - Value;
  return Value + ((P * d + ((d >> 63) & 16383)) >> 14);
}

// Both ears' filters over one chunk of X; an open filter passes its input.
template <bool OpenLeft, bool OpenRight>
void SteadyFilters(const int32_t* __restrict X, int32_t* __restrict yl, int32_t* __restrict yr, int32_t Count,
                   TSpatialEar& L, TSpatialEar& R) {
  int64_t l0 = L.H0, l1 = L.H1, r0 = R.H0, r1 = R.H1;
  const int64_t al = L.A, ar = R.A;
  for (int32_t k = 0; k < Count; ++k) {
    const int64_t xl = X[k * 2], xr = X[k * 2 + 1];
    if constexpr (OpenLeft) {
      yl[k] = static_cast<int32_t>(xl);
    } else {
      l0 = PoleStep(xl, l0, al);
      l1 = PoleStep(l0, l1, al);
      yl[k] = static_cast<int32_t>(l1);
    }
    if constexpr (OpenRight) {
      yr[k] = static_cast<int32_t>(xr);
    } else {
      r0 = PoleStep(xr, r0, ar);
      r1 = PoleStep(r0, r1, ar);
      yr[k] = static_cast<int32_t>(r1);
    }
  }
  if constexpr (OpenLeft) {
    L.H0 = L.H1 = X[Count * 2 - 2];
  } else {
    L.H0 = static_cast<int32_t>(l0);
    L.H1 = static_cast<int32_t>(l1);
  }
  if constexpr (OpenRight) {
    R.H0 = R.H1 = X[Count * 2 - 1];
  } else {
    R.H0 = static_cast<int32_t>(r0);
    R.H1 = static_cast<int32_t>(r1);
  }
}

using TSteadyFilters = void (*)(const int32_t* __restrict, int32_t* __restrict, int32_t* __restrict, int32_t,
                                TSpatialEar&, TSpatialEar&);
// Indexed by (left open) | (right open) << 1.
const TSteadyFilters SteadyFilterPairs[4] = {SteadyFilters<false, false>, SteadyFilters<true, false>,
                                             SteadyFilters<false, true>, SteadyFilters<true, true>};

// Both ears' filters with their poles stepped every frame (pole 0 passes the input).
void RampFilters(const int32_t* __restrict X, int32_t* __restrict yl, int32_t* __restrict yr, int32_t Count,
                 TSpatialEar& L, TSpatialEar& R) {
  int64_t l0 = L.H0, l1 = L.H1, r0 = R.H0, r1 = R.H1;
  int32_t cl = L.Coef, cr = R.Coef;
  for (int32_t k = 0; k < Count; ++k) {
    const int64_t al = cl / 65536, ar = cr / 65536;
    l0 = PoleStep(X[k * 2], l0, al);
    l1 = PoleStep(l0, l1, al);
    yl[k] = static_cast<int32_t>(l1);
    r0 = PoleStep(X[k * 2 + 1], r0, ar);
    r1 = PoleStep(r0, r1, ar);
    yr[k] = static_cast<int32_t>(r1);
    cl += L.CoefStep;
    cr += R.CoefStep;
  }
  L.H0 = static_cast<int32_t>(l0);
  L.H1 = static_cast<int32_t>(l1);
  R.H0 = static_cast<int32_t>(r0);
  R.H1 = static_cast<int32_t>(r1);
}

// One ear's delay line over a run: E holds the K + 1 values before the chunk (K the run's
// longest whole delay), then the chunk's filtered values, so that frame k reads E[K + 1 + k − j]
// for the value j frames back.
struct TPassLine {
  int32_t E[PassMaxHistory + PassChunk];
  int32_t History;  // K + 1
  TPassLine(const TSpatialEar& Ear, int32_t K, int32_t Mask) : History(K + 1) {
    for (int32_t j = 0; j < History; ++j) E[j] = Ear.Line[(Ear.Index - History + j) & Mask];
  }
  int32_t* Chunk() { return E + History; }
  // The chunk's values into the ring (the last Mask + 1 of them reach it), and the history on.
  void Commit(TSpatialEar& Ear, int32_t Count, int32_t Mask) {
    const int32_t first = std::max(0, Count - (Mask + 1)), start = (Ear.Index + first) & Mask;
    const int32_t tail = std::min(Count - first, Mask + 1 - start);
    std::memcpy(Ear.Line + start, Chunk() + first, static_cast<size_t>(tail) * sizeof(int32_t));
    std::memcpy(Ear.Line, Chunk() + first + tail, static_cast<size_t>(Count - first - tail) * sizeof(int32_t));
    Ear.Index = (Ear.Index + Count) & Mask;
    std::memmove(E, E + Count, static_cast<size_t>(History) * sizeof(int32_t));
  }
};

// Interpolated reads of the delay lines, added into the bus; an ear without delay (fraction 0,
// no whole frames) reads its current value. T is int32_t where the lines' values lie within
// 18 bits, so that the products fit and the loop vectorises.
template <bool DelayLeft, bool DelayRight, typename T>
void SteadyDelays(const int32_t* __restrict el, const int32_t* __restrict er, int32_t fl, int32_t fr,
                  int32_t* __restrict Buffer, int32_t Count) {
  for (int32_t k = 0; k < Count; ++k) {
    if constexpr (DelayLeft) {
      const T x0 = el[k + 1], x1 = el[k];
      Buffer[k * 2] += static_cast<int32_t>(x0 + ((x1 - x0) * fl) / 4096);
    } else {
      Buffer[k * 2] += el[k + 1];
    }
    if constexpr (DelayRight) {
      const T x0 = er[k + 1], x1 = er[k];
      Buffer[k * 2 + 1] += static_cast<int32_t>(x0 + ((x1 - x0) * fr) / 4096);
    } else {
      Buffer[k * 2 + 1] += er[k + 1];
    }
  }
}

// Whether every value lies within 18 bits (−131,072 … 131,071).
bool Within18Bits(const int32_t* __restrict v, int32_t Count) {
  int32_t m = 0;
  for (int32_t i = 0; i < Count; ++i) m |= v[i] ^ (v[i] >> 31);
  return m < 131072;
}

using TSteadyDelays = void (*)(const int32_t* __restrict, const int32_t* __restrict, int32_t, int32_t,
                               int32_t* __restrict, int32_t);
// Indexed by (left delayed) | (right delayed) << 1 | (wide values) << 2.
const TSteadyDelays SteadyDelayPairs[8] = {
    SteadyDelays<false, false, int32_t>, SteadyDelays<true, false, int32_t>, SteadyDelays<false, true, int32_t>,
    SteadyDelays<true, true, int32_t>,   SteadyDelays<false, false, int64_t>, SteadyDelays<true, false, int64_t>,
    SteadyDelays<false, true, int64_t>,  SteadyDelays<true, true, int64_t>};

// The delay lines read with the delays stepped every frame; a delay under one 4,096th of a
// frame (whole part and fraction 0) reads the current value.
void RampDelays(const TPassLine& L, const TPassLine& R, const TSpatialEar& EarL, const TSpatialEar& EarR,
                int32_t* __restrict Buffer, int32_t Count) {
  int32_t delayL = EarL.Delay, delayR = EarR.Delay;
  for (int32_t k = 0; k < Count; ++k) {
    const int32_t* el = L.E + L.History + k - (delayL >> 16);
    const int32_t* er = R.E + R.History + k - (delayR >> 16);
    const int64_t l0 = el[0], l1 = el[-1], r0 = er[0], r1 = er[-1];
    Buffer[k * 2] += static_cast<int32_t>(l0 + ((l1 - l0) * ((delayL & 65535) >> 4)) / 4096);
    Buffer[k * 2 + 1] += static_cast<int32_t>(r0 + ((r1 - r0) * ((delayR & 65535) >> 4)) / 4096);
    delayL += EarL.DelayStep;
    delayR += EarR.DelayStep;
  }
}

void StepEar(TSpatialEar& e, int32_t Count) {
  e.Gain += e.GainStep * Count;
  e.Coef = static_cast<int32_t>(e.Coef + int64_t(e.CoefStep) * Count);
  e.Delay = static_cast<int32_t>(e.Delay + int64_t(e.DelayStep) * Count);
}

// The run in passes; KL and KR are the ears' longest whole delays.
void PseudoPasses(const int32_t* __restrict d, int32_t* Buffer, int32_t Count, int64_t Position, int64_t Increment,
                  int32_t Mask, bool Ramping, TSpatialEar& L, int32_t KL, TSpatialEar& R, int32_t KR) {
  TPassLine lineL(L, KL, Mask), lineR(R, KR, Mask);
  const TSteadyFilters filters = SteadyFilterPairs[(L.A == 0 ? 1 : 0) | (R.A == 0 ? 2 : 0)];
  const int32_t delayed = (L.Near ? 0 : 1) | (R.Near ? 0 : 2);
  int32_t x[PassChunk * 2];
  for (int32_t done = 0; done < Count;) {
    const int32_t n = std::min(PassChunk, Count - done);
    if (Ramping) {
      Resample<true>(d, Position, Increment, L, R, x, n);
      RampFilters(x, lineL.Chunk(), lineR.Chunk(), n, L, R);
      RampDelays(lineL, lineR, L, R, Buffer + done * 2, n);
      StepEar(L, n);
      StepEar(R, n);
    } else {
      Resample<false>(d, Position, Increment, L, R, x, n);
      filters(x, lineL.Chunk(), lineR.Chunk(), n, L, R);
      const bool narrow = Within18Bits(lineL.E, lineL.History + n) && Within18Bits(lineR.E, lineR.History + n);
      SteadyDelayPairs[delayed | (narrow ? 0 : 4)](lineL.E, lineR.E, L.F, R.F, Buffer + done * 2, n);
    }
    lineL.Commit(L, n, Mask);
    lineR.Commit(R, n, Mask);
    done += n;
  }
}

}  // namespace

void TZNT1SoundSampleVoice::MixProcSpatializationPSEUDO(int32_t* Buffer, int32_t Count) {
  const int32_t* d = Sample->Data;
  const int32_t mask = SoundSystem->SpatializationDelayMask;
  int64_t position = Position;
  const int64_t increment = MixIncrement;
  TSpatialEar left = LoadEar(*this, true), right = LoadEar(*this, false);
  const bool ramping = left.Ramping() || right.Ramping();
  left.Prepare();
  right.Prepare();
  const int32_t kl = PassEarHistory(left, Count, mask), kr = PassEarHistory(right, Count, mask);
  if (kl >= 0 && kr >= 0) {
    PseudoPasses(d, Buffer, Count, position, increment, mask, ramping, left, kl, right, kr);
    StoreEars(*this, left, right);
    Position = position + increment * Count;
    return;
  }
  for (int32_t k = 0; k < Count; ++k) {
    const int64_t i = position >> 32;
    const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(position) >> 20);
    const int32_t* a = d + i * 2;
    const int64_t l = a[0] + ((a[2] - a[0]) * f) / 4096;
    const int64_t r = a[1] + ((a[3] - a[1]) * f) / 4096;
    Buffer[k * 2] += left.Process((left.G * l) / 32768, mask);
    Buffer[k * 2 + 1] += right.Process((right.G * r) / 32768, mask);
    if (ramping) {
      left.Step();
      right.Step();
      left.Prepare();
      right.Prepare();
    }
    position += increment;
  }
  StoreEars(*this, left, right);
  Position = position;
}

void TZNT1SoundSampleVoice::MixProcSpatializationHRTF(int32_t* Buffer, int32_t Count) {
  const int32_t* d = Sample->Data;
  const int32_t mask = SoundSystem->SpatializationDelayMask;
  const int32_t length = HRTFLength, hmask = HRTFMask;
  int64_t position = Position;
  const int64_t increment = MixIncrement;
  const bool ramping = HRTFRampingRemain > 0;
  TSpatialEar left = LoadEar(*this, true), right = LoadEar(*this, false);
  const bool earsRamping = left.Ramping() || right.Ramping();
  left.Prepare();
  right.Prepare();
  // The history ring, unrolled: sums[p + t] is due t frames from now. Twice the length, so that
  // a frame's taps land in one contiguous stretch; the upper half moves down when p reaches it.
  constexpr int32_t N = ZSSHRTFMaxLength;
  int32_t sumsL[2 * N] = {}, sumsR[2 * N] = {}, tapsL[N], tapsR[N];
  int32_t h = HRTFHistoryIndex;
  for (int32_t t = 0; t < length - 1; ++t) {
    sumsL[t] = HRTFLeftHistory[(h + 1 + t) & hmask];
    sumsR[t] = HRTFRightHistory[(h + 1 + t) & hmask];
  }
  for (int32_t t = 0; t < N; ++t) {
    tapsL[t] = TapOf(HRTFLeftCoefsCurrent[t]);
    tapsR[t] = TapOf(HRTFRightCoefsCurrent[t]);
  }
  int32_t p = 0;
  for (int32_t k = 0; k < Count; ++k) {
    const int64_t i = position >> 32;
    const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(position) >> 20);
    const int32_t* a = d + i * 2;
    const int64_t l = a[0] + ((a[2] - a[0]) * f) / 4096;
    const int64_t r = a[1] + ((a[3] - a[1]) * f) / 4096;
    const int64_t outL = left.Process(l, mask), outR = right.Process(r, mask);
    const int64_t vl = (left.G * outL) / 32768, vr = (right.G * outR) / 32768;
    AddTaps(sumsL + p, tapsL, static_cast<int32_t>(std::clamp<int64_t>(vl, INT32_MIN, INT32_MAX)));
    AddTaps(sumsR + p, tapsR, static_cast<int32_t>(std::clamp<int64_t>(vr, INT32_MIN, INT32_MAX)));
    if (ramping)
      for (int32_t t = 0; t < length; ++t) {
        HRTFLeftCoefsCurrent[t] += HRTFLeftCoefsIncrement[t];
        HRTFRightCoefsCurrent[t] += HRTFRightCoefsIncrement[t];
        tapsL[t] = TapOf(HRTFLeftCoefsCurrent[t]);
        tapsR[t] = TapOf(HRTFRightCoefsCurrent[t]);
      }
    Buffer[k * 2] += sumsL[p];
    Buffer[k * 2 + 1] += sumsR[p];
    if (++p == N) {
      std::copy(sumsL + N, sumsL + 2 * N, sumsL);
      std::copy(sumsR + N, sumsR + 2 * N, sumsR);
      std::fill(sumsL + N, sumsL + 2 * N, 0);
      std::fill(sumsR + N, sumsR + 2 * N, 0);
      p = 0;
    }
    h = (h + 1) & hmask;
    if (earsRamping) {
      left.Step();
      right.Step();
      left.Prepare();
      right.Prepare();
    }
    position += increment;
  }
  // Back into the ring: the slot after h is due next.
  for (int32_t t = 0; t < length; ++t) {
    HRTFLeftHistory[(h + 1 + t) & hmask] = sumsL[p + t];
    HRTFRightHistory[(h + 1 + t) & hmask] = sumsR[p + t];
  }
  HRTFHistoryIndex = h;
  StoreEars(*this, left, right);
  Position = position;
}

void TZNT1SoundSystem::CalcEvIndices(float Elevation, int32_t& e0, int32_t& e1, float& fe) const {
  const TZNT1SoundHRTFPreset& p = *HRTFPreset;
  double t = (static_cast<double>(Elevation) + M_PI / 2) * (p.evCount - 1) / M_PI;
  t = (t == t) ? std::clamp(t, 0.0, static_cast<double>(p.evCount - 1)) : 0.0;
  const int32_t whole = static_cast<int32_t>(t);
  e0 = whole % p.evCount;
  e1 = std::min(e0 + 1, p.evCount - 1);
  fe = static_cast<float>(t - whole);
}

void TZNT1SoundSystem::CalcAzIndices(int32_t Ring, float Azimuth, int32_t& a0, int32_t& a1, float& fa) const {
  const int32_t count = HRTFPreset->azCount[Ring];
  double t = (static_cast<double>(Azimuth) + 2 * M_PI) * count / (2 * M_PI);
  t = (t == t) ? std::clamp(t, 0.0, 4.0 * count) : 0.0;
  const int32_t whole = static_cast<int32_t>(t);
  a0 = whole % count;
  a1 = (a0 + 1) % count;
  fa = static_cast<float>(t - whole);
}

void TZNT1SoundSystem::GetLerpedHRTFCoefs(int64_t* LeftCoefs, int64_t* RightCoefs, int32_t& RightDelay,
                                          int32_t& LeftDelay, float Azimuth, float Elevation) const {
  const TZNT1SoundHRTFPreset& p = *HRTFPreset;
  int32_t e[2], a[2][2];
  float fe, fa[2];
  CalcEvIndices(Elevation, e[0], e[1], fe);
  CalcAzIndices(e[0], Azimuth, a[0][0], a[0][1], fa[0]);
  CalcAzIndices(e[1], Azimuth, a[1][0], a[1][1], fa[1]);
  int32_t left[4], right[4];
  double w[4];
  for (int32_t r = 0; r < 2; ++r) {
    const int32_t count = p.azCount[e[r]];
    for (int32_t k = 0; k < 2; ++k) {
      left[r * 2 + k] = p.evOffset[e[r]] + a[r][k];
      right[r * 2 + k] = p.evOffset[e[r]] + (count - a[r][k]) % count;
    }
    const double ring = r == 0 ? 1.0 - fe : fe;
    w[r * 2] = (1.0 - fa[r]) * ring;
    w[r * 2 + 1] = fa[r] * ring;
  }
  const double scale = (ListenerUnderwater ? HRTFUnderwaterDelayFactor : 1.0) * 65536.0;
  double dl = 0, dr = 0;
  for (int32_t k = 0; k < 4; ++k) {
    dl += w[k] * p.Delays[left[k]];
    dr += w[k] * p.Delays[right[k]];
  }
  LeftDelay = static_cast<int32_t>(SoundRound(dl * scale));
  RightDelay = static_cast<int32_t>(SoundRound(dr * scale));
  const int32_t taps = std::min(p.irSize, ZSSHRTFMaxLength);
  for (int32_t t = 0; t < ZSSHRTFMaxLength; ++t) {
    double cl = 0, cr = 0;
    if (t < taps)
      for (int32_t k = 0; k < 4; ++k) {
        cl += w[k] * p.Coefs[static_cast<size_t>(left[k]) * p.irSize + t];
        cr += w[k] * p.Coefs[static_cast<size_t>(right[k]) * p.irSize + t];
      }
    LeftCoefs[t] = SoundRound(cl * 65536.0);
    RightCoefs[t] = SoundRound(cr * 65536.0);
  }
}

// ---------------------------------------------------------------------------------------------
// Effects

TZNT1SoundPitchShifter::TZNT1SoundPitchShifter(TZNT1SoundSystem* ASoundSystem) : SoundSystem(ASoundSystem) {
  for (int32_t i = 0; i < PitchShifterBufferSize; ++i)
    PitchShifterFadeBuffer[i] =
        static_cast<int32_t>(SoundRound((std::cos((i / 1023.0 - 0.5) * 2.0 * M_PI) * 0.5 + 0.5) * 4096.0));
  Reset();
}

void TZNT1SoundPitchShifter::Reset() {
  std::fill(WorkBuffer, WorkBuffer + PitchShifterBufferSize * 2, 0);
  p1 = 0;
  p2 = 0x200000;
  InputPointer = 0;
  Factor = 1.0f;
}

void TZNT1SoundPitchShifter::Process(int32_t* Buffer, int32_t Samples) {
  if (Factor == 1.0f) {
    for (int32_t i = 0; i < Samples; ++i) {
      WorkBuffer[InputPointer * 2] = Buffer[i * 2];
      WorkBuffer[InputPointer * 2 + 1] = Buffer[i * 2 + 1];
      InputPointer = (InputPointer + 1) & PitchShifterBufferMask;
    }
    return;
  }
  const uint32_t step = static_cast<uint32_t>(SoundRound(static_cast<double>(Factor) * 4096.0) - 4096);
  for (int32_t i = 0; i < Samples; ++i) {
    WorkBuffer[InputPointer * 2] = Buffer[i * 2];
    WorkBuffer[InputPointer * 2 + 1] = Buffer[i * 2 + 1];
    const uint32_t k1 = p1 >> 12, k2 = (p2 >> 12) & 65535;
    const int64_t w1 = PitchShifterFadeBuffer[k1 & PitchShifterBufferMask];
    const int64_t w2 = PitchShifterFadeBuffer[k2 & PitchShifterBufferMask];
    const uint32_t r1 = (InputPointer - k1) & PitchShifterBufferMask, r2 = (InputPointer - k2) & PitchShifterBufferMask;
    for (int32_t c = 0; c < 2; ++c)
      Buffer[i * 2 + c] = static_cast<int32_t>((WorkBuffer[r1 * 2 + c] * w1 + WorkBuffer[r2 * 2 + c] * w2) /
                                               (1 << PitchShifterOutputShift));
    p1 -= step;
    p2 -= step;
    InputPointer = (InputPointer + 1) & PitchShifterBufferMask;
  }
}

TZNT1SoundReverb::TZNT1SoundReverb(TZNT1SoundSystem* ASoundSystem)
    : SampleBufferSize(static_cast<int32_t>(
          RoundUpToPowerOfTwo(static_cast<uint32_t>(std::max(2, 2 * ASoundSystem->SampleRate))))),
      SampleBufferMask(SampleBufferSize - 1),
      SoundSystem(ASoundSystem) {
  for (std::vector<int32_t>& ring : AllPassBuffer) ring.resize(static_cast<size_t>(SampleBufferSize) * 2);
  LeftBuffer.resize(static_cast<size_t>(SampleBufferSize));
  RightBuffer.resize(static_cast<size_t>(SampleBufferSize));
  Reset();
}

void TZNT1SoundReverb::Reset() {
  for (std::vector<int32_t>& ring : AllPassBuffer) std::fill(ring.begin(), ring.end(), 0);
  std::fill(LeftBuffer.begin(), LeftBuffer.end(), 0);
  std::fill(RightBuffer.begin(), RightBuffer.end(), 0);
  for (auto& c : Counter) std::fill(c, c + 4, 0);
  LeftDelayedCounter = RightDelayedCounter = LeftCounter = RightCounter = 0;
  LastLowPassLeft = LastLowPassRight = 0;
  Init();
}

void TZNT1SoundReverb::Init() {
  const double rate = SoundSystem->SampleRate;
  AllPassFilters = std::clamp(AllPassFilters, 0, MaxReverbAllPassFilters);
  CutOff = static_cast<int32_t>(SoundRound(std::sin(44100.0 / rate * 0.0001 * Absortion * M_PI * 0.5) * 4096.0));
  LeftCounter = RightCounter = (SampleBufferSize - 4) & SampleBufferMask;
  LeftDelayedCounter =
      static_cast<int32_t>((LeftCounter - SoundRound(PreDelay * 0.00001 * rate)) & SampleBufferMask);
  RightDelayedCounter = static_cast<int32_t>(
      (RightCounter - SoundRound((PreDelay + CombFilterSeparation) * 0.00001 * rate)) & SampleBufferMask);
  const int32_t t = static_cast<int32_t>(std::clamp(RoomSize * 0.01 / 0.17 + 0.5, 1.0, 640.0));
  for (int32_t i = 0; i < AllPassFilters; ++i) {
    const int64_t d = int64_t(i + 1) * t + int64_t(i) * i;
    const int32_t write = (SampleBufferSize - 4) & SampleBufferMask;
    Counter[i][0] = Counter[i][1] = write;
    Counter[i][2] = static_cast<int32_t>((write - d) & SampleBufferMask);
    Counter[i][3] = static_cast<int32_t>((write - (SoundRound(i * 1.3) + d)) & SampleBufferMask);
  }
}

void TZNT1SoundReverb::Process(int32_t* Buffer, int32_t Samples) {
  const int64_t wet = SoundRound(static_cast<double>(Wet) * 4096.0);
  const int64_t dry = SoundRound(static_cast<double>(Dry) * 4096.0);
  const int64_t g = SoundRound(static_cast<double>(FeedBack) * 4096.0);
  const int32_t mask = SampleBufferMask;
  // Stage by stage over a chunk: each all-pass filter touches only its own ring, so it can run
  // over the chunk on its own, and a frame no longer waits for the whole chain of the one before.
  constexpr int32_t Chunk = 256;
  int64_t ls[Chunk], rs[Chunk];
  for (int32_t done = 0; done < Samples;) {
    const int32_t n = std::min(Chunk, Samples - done);
    int32_t* buffer = Buffer + done * 2;
    for (int32_t i = 0; i < n; ++i) {
      LeftBuffer[static_cast<size_t>(LeftCounter)] = buffer[i * 2];
      RightBuffer[static_cast<size_t>(RightCounter)] = buffer[i * 2 + 1];
      ls[i] = LeftBuffer[static_cast<size_t>(LeftDelayedCounter)];
      rs[i] = RightBuffer[static_cast<size_t>(RightDelayedCounter)];
      LeftCounter = (LeftCounter + 1) & mask;
      RightCounter = (RightCounter + 1) & mask;
      LeftDelayedCounter = (LeftDelayedCounter + 1) & mask;
      RightDelayedCounter = (RightDelayedCounter + 1) & mask;
    }
    for (int32_t f = 0; f < AllPassFilters; ++f) {
      int32_t* ring = AllPassBuffer[f].data();
      int32_t* c = Counter[f];
      int32_t c0 = c[0], c1 = c[1], c2 = c[2], c3 = c[3];
      for (int32_t i = 0; i < n; ++i) {
        const int64_t l = ls[i], r = rs[i];
        const int64_t yl = ring[c2 * 2] - (g * l) / 4096;
        ring[c0 * 2] = static_cast<int32_t>((yl * g) / 4096 + l);
        ls[i] = yl;
        const int64_t yr = ring[c3 * 2 + 1] - (g * r) / 4096;
        ring[c1 * 2 + 1] = static_cast<int32_t>((yr * g) / 4096 + r);
        rs[i] = yr;
        c0 = (c0 + 1) & mask;
        c1 = (c1 + 1) & mask;
        c2 = (c2 + 1) & mask;
        c3 = (c3 + 1) & mask;
      }
      c[0] = c0, c[1] = c1, c[2] = c2, c[3] = c3;
    }
    for (int32_t i = 0; i < n; ++i) {
      const int64_t inL = buffer[i * 2], inR = buffer[i * 2 + 1];
      LastLowPassLeft += static_cast<int32_t>(((ls[i] - LastLowPassLeft) * CutOff) / 4096);
      LastLowPassRight += static_cast<int32_t>(((rs[i] - LastLowPassRight) * CutOff) / 4096);
      buffer[i * 2] = static_cast<int32_t>((inL * dry + int64_t(LastLowPassLeft) * wet) / 4096);
      buffer[i * 2 + 1] = static_cast<int32_t>((inR * dry + int64_t(LastLowPassRight) * wet) / 4096);
    }
    done += n;
  }
}

// ---------------------------------------------------------------------------------------------
// Streams

struct TZNT1SoundOGGDecoder {
  TOggSource Source{nullptr, 0, 0};
  OggVorbis_File File{};
  bool Open = false;
  ~TZNT1SoundOGGDecoder() {
    if (Open) ov_clear(&File);
  }
};

namespace {

// Input frames the resampler reads ahead of its output: zeros pushed after the end flush them.
constexpr int32_t SincFlushFrames = ResamplerSINCWidth / 2 + 1;
constexpr int32_t CubicFlushFrames = 3;
// Fastest a stream may be stepped: input frames per output frame.
constexpr int64_t MaxResamplerIncrement = int64_t(256) << 32;

int32_t RoundFixed16(float Value) { return RoundSaturated(static_cast<double>(Value) * 65536.0); }

}  // namespace

TZNT1SoundOGG::TZNT1SoundOGG(TZNT1SoundSystem* ASoundSystem, TZNT1SoundOGGs* ASoundOGGs)
    : SoundSystem(ASoundSystem),
      SoundOGGs(ASoundOGGs),
      ResamplerBuffer(ResamplerBufferSize * 2, 0),
      OutBuffer(ResamplerBufferSize * 2, 0),
      InBuffer(ResamplerBufferSize * 2, 0),
      Table(ResamplerSINCLength * ResamplerSINCWidth, 0) {}

TZNT1SoundOGG::~TZNT1SoundOGG() {
  if (SoundOGGs) SoundOGGs->Remove(this, Name);
}

void TZNT1SoundOGG::InitSINC() {
  const double cutoff = std::clamp(static_cast<double>(SoundSystem->SampleRate) / std::max(1, SampleRate), 0.0, 1.0);
  for (int32_t r = 0; r < ResamplerSINCLength; ++r)
    for (int32_t k = 0; k < ResamplerSINCWidth; ++k) {
      const double t = k + 0.5 - r / 4096.0, u = t - 4.0;
      const double window = 0.42 - 0.5 * std::cos(M_PI * t / 4.0) + 0.08 * std::cos(M_PI * t / 2.0);
      const double w = std::fabs(u) < ResamplerEpsilon ? cutoff : std::sin(cutoff * M_PI * u) / (M_PI * u) * window;
      Table[static_cast<size_t>(r * ResamplerSINCWidth + k)] = static_cast<int32_t>(SoundRound(w * 32768.0));
    }
}

void TZNT1SoundOGG::Play(float AVolume, float APanning, float ARate, bool ALoop) {
  LastLeft += NewLastLeft;
  LastRight += NewLastRight;
  NewLastLeft = NewLastRight = 0;
  if (vf && vf->Open) ov_raw_seek(&vf->File, 0);
  InBufferPosition = InBufferSize = 0;
  OutBufferPosition = OutBufferSize = 0;
  Volume = RoundFixed16(AVolume);
  Panning = RoundFixed16(APanning);
  Loop = ALoop;
  KeyOff = false;
  VolumeRampingRemain = 0;
  LastOGGVolume = SoundSystem->OGGVolume;
  UpdateGainTargets(LastOGGVolume, VolLeftCurrent, VolRightCurrent);
  ResamplerPosition = 0;
  ResamplerOriginalIncrement =
      SampleRate == SoundSystem->SampleRate
          ? ONE_FRAME
          : ((static_cast<int64_t>(SampleRate) << 32) + SoundSystem->SampleRate / 2) / SoundSystem->SampleRate;
  SetRate(ARate);
  std::fill(ResamplerBuffer.begin(), ResamplerBuffer.end(), 0);
  ResamplerBufferPosition = 0;
  ResamplerCurrentSample[0] = ResamplerCurrentSample[1] = 0;
  ResamplerLastSample[0] = ResamplerLastSample[1] = 0;
  Age = Position = 0;
  InputEnded = false;
  FlushFrames = 0;
  Active = true;
}

void TZNT1SoundOGG::Stop() {
  Active = false;
  LastLeft += NewLastLeft;
  LastRight += NewLastRight;
  NewLastLeft = NewLastRight = 0;
}

void TZNT1SoundOGG::SetVolume(float AVolume) {
  Volume = RoundFixed16(AVolume);
  VolumeRampingRemain = SoundSystem->RampingSamples;
}

void TZNT1SoundOGG::SetPanning(float APanning) {
  Panning = RoundFixed16(APanning);
  VolumeRampingRemain = SoundSystem->RampingSamples;
}

void TZNT1SoundOGG::SetRate(float ARate) {
  const __int128 rate = std::llabs(static_cast<long long>(RoundSaturated(static_cast<double>(ARate) * 65536.0)));
  const __int128 inc = (rate * ResamplerOriginalIncrement) >> 16;
  ResamplerIncrement = static_cast<int64_t>(std::min<__int128>(inc, MaxResamplerIncrement));
}

void TZNT1SoundOGG::GetNextInBuffer() {
  InBufferPosition = 0;
  InBufferSize = 0;
  if (!vf || !vf->Open || Channels < 1 || InputEnded) {
    InputEnded = true;
    return;
  }
  const int32_t frameBytes = 2 * Channels;
  PCMBuffer.resize(static_cast<size_t>(ResamplerBufferSize) * Channels);
  char* pcm = reinterpret_cast<char*>(PCMBuffer.data());
  const int32_t capacity = ResamplerBufferSize * frameBytes;
  int32_t bytes = 0, rewinds = 0, holes = 0;
  while (bytes + frameBytes <= capacity) {
    int bitstream = 0;
    const long got = ov_read(&vf->File, pcm + bytes, capacity - bytes, &bitstream);
    BitStream = bitstream;
    if (got == OV_HOLE) {
      if (++holes <= MaxOggHoles) continue;
    } else if (got > 0) {
      holes = 0;
      bytes += static_cast<int32_t>(std::min<long>(got, capacity - bytes));
      continue;
    }
    // End of the file, or damage past repair.
    if (Loop && rewinds < 3 && ov_raw_seek(&vf->File, 0) == 0) {
      ++rewinds;
      holes = 0;
      continue;
    }
    InputEnded = true;
    break;
  }
  const int32_t frames = bytes / frameBytes;
  const int16_t* src = PCMBuffer.data();
  int32_t* out = InBuffer.data();
  for (int32_t f = 0; f < frames; ++f) DownmixFrame(src + static_cast<size_t>(f) * Channels, Channels, out + f * 2);
  InBufferSize = frames;
}

void TZNT1SoundOGG::NextInputFrame(int32_t* Frame) {
  while (InBufferPosition >= InBufferSize && !InputEnded) GetNextInBuffer();
  if (InBufferPosition < InBufferSize) {
    Frame[0] = InBuffer[static_cast<size_t>(InBufferPosition) * 2];
    Frame[1] = InBuffer[static_cast<size_t>(InBufferPosition) * 2 + 1];
    ++InBufferPosition;
  } else {
    Frame[0] = Frame[1] = 0;
    ++FlushFrames;
  }
}

void TZNT1SoundOGG::Resample() {
  int32_t* out = OutBuffer.data();
  int32_t produced = 0;
  auto inputDone = [&](int32_t Flush) {
    return InputEnded && InBufferPosition >= InBufferSize && FlushFrames >= Flush;
  };
  if (ResamplerIncrement == ONE_FRAME) {
    while (produced < ResamplerBufferSize && !inputDone(0)) {
      NextInputFrame(out + produced * 2);
      if (FlushFrames > 0) break;
      ++produced;
    }
  } else {
    const bool sinc = ResamplerIncrement >= ONE_FRAME && ResamplerIncrement == ResamplerOriginalIncrement;
    const int32_t flush = sinc ? SincFlushFrames : CubicFlushFrames;
    int32_t* ring = ResamplerBuffer.data();
    const int32_t rmask = ResamplerBufferSize - 1;
    while (produced < ResamplerBufferSize && !inputDone(flush)) {
      ResamplerPosition += ResamplerIncrement;
      while ((ResamplerPosition >> 32) >= 1) {
        ResamplerPosition -= ONE_FRAME;
        NextInputFrame(ring + ResamplerBufferPosition * 2);
        ResamplerBufferPosition = (ResamplerBufferPosition + 1) & rmask;
      }
      const uint32_t fraction = static_cast<uint32_t>(ResamplerPosition);
      const int32_t p = ResamplerBufferPosition;
      for (int32_t c = 0; c < 2; ++c) {
        int64_t v;
        if (sinc) {
          const int32_t* row = &Table[static_cast<size_t>(fraction >> ResamplerSINCFracShift) * ResamplerSINCWidth];
          int64_t a = 0, b = 0;
          for (int32_t k = 0; k < 4; ++k) a += int64_t(ring[((p - 8 + k) & rmask) * 2 + c]) * row[k];
          for (int32_t k = 4; k < 8; ++k) b += int64_t(ring[((p - 8 + k) & rmask) * 2 + c]) * row[k];
          v = (a >> ResamplerSINCValueBits) + (b >> ResamplerSINCValueBits);
        } else {
          const int32_t* row = &SoundSystem->CubicSplineTable[static_cast<size_t>(fraction >> 20) * 4];
          v = (int64_t(ring[((p - 4) & rmask) * 2 + c]) * row[0] + int64_t(ring[((p - 3) & rmask) * 2 + c]) * row[1] +
               int64_t(ring[((p - 2) & rmask) * 2 + c]) * row[2] + int64_t(ring[((p - 1) & rmask) * 2 + c]) * row[3]) >>
              ResamplerCubicSplineValueBits;
        }
        out[produced * 2 + c] = static_cast<int32_t>(v);
      }
      ++produced;
    }
  }
  OutBufferPosition = 0;
  OutBufferSize = produced;
}

void TZNT1SoundOGG::UpdateGainTargets(int32_t AOGGVolume, int64_t& Left, int64_t& Right) const {
  const int64_t p = std::clamp<int64_t>(int64_t(Panning) + 65536, 0, 131071);
  // Volume and OGGVolume are unclamped: the product needs 64 bits, and is held below the point
  // where the pan products would leave them.
  const int64_t v = std::clamp<int64_t>((int64_t(Volume) * AOGGVolume) >> 16, -(int64_t(1) << 40), int64_t(1) << 40);
  Left = std::clamp<int64_t>(((131072 - p) * v) >> 17, 0, 4095) << 12;
  Right = std::clamp<int64_t>((p * v) >> 17, 0, 4095) << 12;
}

void TZNT1SoundOGG::MixTo(int32_t* Buffer, int32_t AOGGVolume) {
  if (!Active && VolumeRampingRemain == 0 && LastLeft == 0 && LastRight == 0) return;
  int64_t targetLeft, targetRight;
  UpdateGainTargets(AOGGVolume, targetLeft, targetRight);
  // A changed mixer volume ramps like a changed stream volume.
  if (AOGGVolume != LastOGGVolume) {
    LastOGGVolume = AOGGVolume;
    if (VolumeRampingRemain == 0) VolumeRampingRemain = SoundSystem->RampingSamples;
  }
  int64_t stepLeft = 0, stepRight = 0;
  if (VolumeRampingRemain > 0) {
    stepLeft = (targetLeft - VolLeftCurrent) / VolumeRampingRemain;
    stepRight = (targetRight - VolRightCurrent) / VolumeRampingRemain;
  } else {
    VolLeftCurrent = targetLeft;
    VolRightCurrent = targetRight;
  }
  const int32_t frames = SoundSystem->BufferSamples;
  for (int32_t i = 0; i < frames; ++i) {
    int64_t l = 0, r = 0;
    if (Active) {
      if (OutBufferPosition >= OutBufferSize) {
        Resample();
        // The ended input is played out: the rest is silence.
        if (OutBufferSize == 0) Active = false;
      }
      if (Active) {
        l = OutBuffer[static_cast<size_t>(OutBufferPosition) * 2];
        r = OutBuffer[static_cast<size_t>(OutBufferPosition) * 2 + 1];
        ++OutBufferPosition;
        ++Age;
      }
    }
    if (VolumeRampingRemain > 0) {
      if (--VolumeRampingRemain == 0) {
        VolLeftCurrent = targetLeft;
        VolRightCurrent = targetRight;
      } else {
        VolLeftCurrent += stepLeft;
        VolRightCurrent += stepRight;
      }
    }
    const int64_t outL = (l * (VolLeftCurrent >> 12)) >> 12, outR = (r * (VolRightCurrent >> 12)) >> 12;
    NewLastLeft = static_cast<int32_t>(outL * 4096);
    NewLastRight = static_cast<int32_t>(outR * 4096);
    LastLeft -= (LastLeft + (LastLeft > 0 ? 255 : 0)) >> 8;
    LastRight -= (LastRight + (LastRight > 0 ? 255 : 0)) >> 8;
    Buffer[i * 2] += static_cast<int32_t>(outL + (LastLeft >> 12));
    Buffer[i * 2 + 1] += static_cast<int32_t>(outR + (LastRight >> 12));
  }
  if (!Active) NewLastLeft = NewLastRight = 0;
}

TZNT1SoundOGG* TZNT1SoundOGGs::Load(const std::string& Name, TMemoryStream* Stream) {
  if (auto* found = static_cast<TZNT1SoundOGG*>(HashMap.GetValue(Name))) return found;
  if (!Stream || Stream->Size() <= 0) return nullptr;
  TZNT1SoundSystem& s = *SoundSystem;
  s.CriticalSection.Enter();
  auto ogg = std::make_unique<TZNT1SoundOGG>(&s, nullptr);
  ogg->Data.assign(Stream->Memory(), Stream->Memory() + Stream->Size());
  ogg->vf = std::make_unique<TZNT1SoundOGGDecoder>();
  TZNT1SoundOGGDecoder& dec = *ogg->vf;
  dec.Source = TOggSource{ogg->Data.data(), static_cast<int64_t>(ogg->Data.size()), 0};
  const ov_callbacks callbacks{OggRead, OggSeek, OggClose, OggTell};
  TZNT1SoundOGG* result = nullptr;
  if (ov_open_callbacks(&dec.Source, &dec.File, nullptr, 0, callbacks) == 0) {
    dec.Open = true;
    const vorbis_info* info = ov_info(&dec.File, -1);
    if (info && info->channels > 0 && info->rate > 0 && static_cast<uint64_t>(info->rate) <= ZSSMaxFileSampleRate) {
      ogg->Channels = info->channels;
      ogg->SampleRate = static_cast<int32_t>(info->rate);
      ogg->SoundOGGs = this;
      ogg->Name = Name;
      // Only streams faster than the mix rate read the sinc table.
      if (ogg->SampleRate > s.SampleRate) ogg->InitSINC();
      result = ogg.release();
      Items.push_back(result);
      HashMap.Add(Name, result);
    }
  }
  s.CriticalSection.Leave();
  return result;
}
