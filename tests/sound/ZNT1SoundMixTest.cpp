#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>
#include <thread>

#include "sound/ZNT1Sound.h"
#include "support/SoundTestSupport.h"

using namespace soundtest;

namespace {

struct Mixer {
  std::unique_ptr<TZNT1SoundSystem> System;
  explicit Mixer(int32_t Channels = 2, int32_t Bits = 16, int32_t Frames = 1024)
      : System(std::make_unique<TZNT1SoundSystem>(nullptr, 44100, Channels, Bits, Frames)) {
    // The mixing thread may have started mixing on its own; hold it off so the test mixes alone.
    System->Lock();
  }

  TZNT1SoundSample* Load(const std::vector<int16_t>& Values, uint32_t Rate = 44100, uint32_t Loop = 0,
                         const std::string& Name = "s", int32_t Polyphony = 1) {
    TMemoryStream stream(Mono16(Values, Rate));
    return System->Samples->Load(Name, &stream, Loop, Polyphony);
  }
  // One block; the dry bus as it stands after mixing (values within 16 bits pass AGC unchanged).
  std::vector<int32_t> Block() {
    System->FillBuffer();
    return System->MixingBuffer;
  }
};

std::vector<int16_t> Noise(size_t n, uint32_t seed, int amplitude = 32767) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(-amplitude, amplitude);
  std::vector<int16_t> v(n);
  for (auto& x : v) x = static_cast<int16_t>(d(rng));
  return v;
}

// The click-removal tail from a level in 1/4096 units, one frame.
int32_t Fade(int32_t& v) {
  v -= (v + (v > 0 ? 255 : 0)) >> 8;
  return v >> 12;
}

}  // namespace

TEST(SoundMix, CreationConstants) {
  Mixer m;
  TZNT1SoundSystem& s = *m.System;
  EXPECT_EQ(s.SpatializationWaterWaterBoostLowPassCW, 292);
  EXPECT_EQ(s.SpatializationWaterWaterBoostHighPassCW, 583);
  EXPECT_EQ(s.SpatializationWaterWaterBoost, 16384);
  EXPECT_FLOAT_EQ(s.SpatializationWaterLowPassCW, static_cast<float>(2 * std::sin(M_PI * 300 / 44100)));
  EXPECT_FLOAT_EQ(s.SpatializationLowPassCW, static_cast<float>(std::cos(2 * M_PI * 3300 / 44100)));
  EXPECT_EQ(s.SpatializationDelayPowerOfTwo, 32);
  EXPECT_EQ(s.SpatializationDelayMask, 31);
  EXPECT_EQ(s.AGCInterval, 1102);
  EXPECT_EQ(s.RampingSamples, 441);
  EXPECT_EQ(s.RampingStepSamples, 44);
  EXPECT_EQ(s.PanningLUT[0], 0);
  EXPECT_EQ(s.PanningLUT[32768], 46341);
  EXPECT_EQ(s.PanningLUT[65536], 65536);
  EXPECT_TRUE(s.HRTF);
  EXPECT_EQ(s.SpatializationMode, SPATIALIZATION_HRTF);
  EXPECT_EQ(s.MixingBufferSize, 8192);
  EXPECT_EQ(s.OutputBufferSize, 4096);
  EXPECT_EQ(s.RingBuffer->Size, 8192);
  // Catmull-Rom rows: exact at 0; ties (e.g. row 2048: -0.0625 × 4096 = -256 exactly) round to even.
  EXPECT_EQ(std::vector<int32_t>(s.CubicSplineTable.begin(), s.CubicSplineTable.begin() + 4),
            (std::vector<int32_t>{0, 4096, 0, 0}));
  EXPECT_EQ(std::vector<int32_t>(s.CubicSplineTable.begin() + 2048 * 4, s.CubicSplineTable.begin() + 2048 * 4 + 4),
            (std::vector<int32_t>{-256, 2304, 2304, -256}));
  int32_t ties = 0;
  for (int32_t i = 0; i < 4096; ++i) {
    const double t = i / 4096.0;
    const double w[4] = {-0.5 * t * t * t + t * t - 0.5 * t, 1.5 * t * t * t - 2.5 * t * t + 1,
                         -1.5 * t * t * t + 2 * t * t + 0.5 * t, 0.5 * t * t * t - 0.5 * t * t};
    for (int k = 0; k < 4; ++k) {
      const double x = w[k] * 4096;
      if (x - std::floor(x) == 0.5) {
        ++ties;
        EXPECT_EQ(s.CubicSplineTable[i * 4 + k] % 2, 0) << i << " " << k;
      }
    }
  }
  EXPECT_EQ(ties, 32);
  TZNT1SoundSystem at22k(nullptr, 22050, 2, 16, 512);
  EXPECT_FALSE(at22k.HRTF);
  EXPECT_EQ(at22k.SpatializationMode, SPATIALIZATION_PSEUDO);
  EXPECT_EQ(at22k.RampingSamples, 220);
  EXPECT_EQ(at22k.RampingStepSamples, 22);
}

TEST(SoundMix, OneShotAtHalfVolumeCentred) {
  Mixer m;
  const std::vector<int16_t> v = Noise(1500, 3);
  TZNT1SoundSample* s = m.Load(v);
  int32_t handle = -1;
  ASSERT_EQ(s->Play(0.5f, 0.0f, 1.0f, &handle), 0);
  EXPECT_EQ(handle, 0);
  const std::vector<int32_t> b1 = m.Block();
  for (int i = 0; i < 1024; ++i) {
    ASSERT_EQ(b1[i * 2], v[i] * 11585 / 32768) << i;
    ASSERT_EQ(b1[i * 2 + 1], v[i] * 11585 / 32768) << i;
  }
  EXPECT_EQ(handle, 0);
  const std::vector<int32_t> b2 = m.Block();
  for (int i = 0; i < 476; ++i) ASSERT_EQ(b2[i * 2], v[1024 + i] * 11585 / 32768) << i;
  // Then the voice's last level fades out over the rest of the block.
  int32_t tail = (v[1499] * 11585 / 32768) * 4096;
  for (int i = 476; i < 1024; ++i) ASSERT_EQ(b2[i * 2], Fade(tail)) << i;
  EXPECT_EQ(handle, -1);
  EXPECT_FALSE(s->IsPlaying());
  // The next block returns the voice to the free list.
  m.Block();
  EXPECT_EQ(m.System->VoiceFirst, nullptr);
  EXPECT_EQ(s->FreeVoice, s->Voices[0].get());
}

TEST(SoundMix, FullScaleHardLeftCopiesTheSample) {
  Mixer m;
  const std::vector<int16_t> v = Noise(1024, 4);
  TZNT1SoundSample* s = m.Load(v);
  s->Play(1.0f, -1.0f, 1.0f, nullptr);
  const std::vector<int32_t> b = m.Block();
  for (int i = 0; i < 1024; ++i) {
    ASSERT_EQ(b[i * 2], v[i]) << i;
    ASSERT_EQ(b[i * 2 + 1], 0) << i;
  }
  EXPECT_EQ(s->Voices[0]->VolumeLeft, int64_t(32768) << 16);
}

TEST(SoundMix, HalfRateSampleInterpolatesMidpoints) {
  Mixer m;
  const std::vector<int16_t> v = Noise(600, 5);
  TZNT1SoundSample* s = m.Load(v, 22050);
  s->Play(1.0f, -1.0f, 1.0f, nullptr);
  EXPECT_EQ(s->Voices[0]->Increment, int64_t(1) << 31);
  const std::vector<int32_t> b = m.Block();
  for (int i = 0; i < 1024; ++i) {
    const int a = v[i / 2], c = i / 2 + 1 < 600 ? v[i / 2 + 1] : v[599];
    const int expected = i % 2 == 0 ? a : a + (c - a) * 2048 / 4096;
    ASSERT_EQ(b[i * 2], expected) << i;
  }
}

TEST(SoundMix, ForwardLoopReadsAcrossTheWrapThroughGuardFrames) {
  Mixer m;
  const std::vector<int16_t> v = Noise(10, 6);
  TMemoryStream stream(Riff({Fmt(1, 1, 44100, 16), Data(Pcm16(v)), Smpl({{0, 2, 10}})}));
  TZNT1SoundSample* s = m.System->Samples->Load("loop", &stream, 1, 1);
  ASSERT_NE(s, nullptr);
  s->Play(1.0f, -1.0f, 0.75f, nullptr);
  for (int block = 0; block < 3; ++block) {
    const std::vector<int32_t> b = m.Block();
    for (int i = 0; i < 1024; ++i) {
      // Position in frames of the ideal endless loop 0, 1, 2 … 9, 2 … 9, …
      const int64_t pos = (int64_t(block) * 1024 + i) * (int64_t(3) << 30);
      int64_t whole = pos >> 32;
      const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(pos) >> 20);
      if (whole >= 10) whole = 2 + (whole - 10) % 8;
      const int64_t next = whole + 1 >= 10 ? 2 : whole + 1;
      ASSERT_EQ(b[i * 2], v[whole] + (v[next] - v[whole]) * f / 4096) << block << " " << i;
    }
  }
  EXPECT_TRUE(s->IsPlaying());
  // A loop over the whole sample plays forever too.
  TZNT1SoundSample* whole = m.Load(v, 44100, 2, "whole");
  whole->Play(1.0f, 1.0f, 1.0f, nullptr);
  for (int block = 0; block < 3; ++block) {
    const std::vector<int32_t> b = m.Block();
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(b[i * 2 + 1], v[(block * 1024 + i) % 10]) << i;
  }
}

TEST(SoundMix, RateRampTakesTenStepsOf44FramesAndOneOf1) {
  Mixer m;
  // Sample value = 8 × frame: the bus shows the position, so each step's slope is visible.
  std::vector<int16_t> ramp(4000);
  for (int i = 0; i < 4000; ++i) ramp[i] = static_cast<int16_t>(i * 8);
  TZNT1SoundSample* s = m.Load(ramp);
  s->Play(1.0f, -1.0f, 1.0f, nullptr);
  m.Block();
  s->SetRate(0, 2.0f);
  const std::vector<int32_t> b = m.Block();
  const int64_t from = int64_t(1) << 48, step = ((int64_t(2) << 48) - from) / 441;
  int64_t pos = int64_t(1024) << 32;
  int frame = 0;
  auto run = [&](int frames, int64_t inc) {
    for (int i = 0; i < frames; ++i, ++frame, pos += inc) {
      const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(pos) >> 20);
      ASSERT_EQ(b[frame * 2], ((pos >> 32) * 8) + 8 * f / 4096) << frame;
    }
  };
  for (int k = 0; k < 10; ++k) run(44, (from + k * 44 * step) >> 16);
  run(1, (from + 440 * step) >> 16);
  run(1024 - 441, int64_t(2) << 32);
  EXPECT_EQ(s->Voices[0]->Position, pos);
  EXPECT_EQ(s->Voices[0]->IncrementCurrent, int64_t(2) << 48);
}

TEST(SoundMix, GainRampOver441Frames) {
  Mixer m;
  TZNT1SoundSample* s = m.Load(std::vector<int16_t>(5000, 16384));
  s->Play(0.5f, -1.0f, 1.0f, nullptr);
  EXPECT_EQ(m.Block()[0], 8192);
  s->SetVolume(0, 1.0f);
  const std::vector<int32_t> b = m.Block();
  const int64_t from = int64_t(16384) << 16, to = int64_t(32768) << 16, step = (to - from) / 441;
  for (int i = 0; i < 441; ++i) ASSERT_EQ(b[i * 2], 16384 * ((from + i * step) / 65536) / 32768) << i;
  for (int i = 441; i < 1024; ++i) ASSERT_EQ(b[i * 2], 16384) << i;
  EXPECT_LT(b[440 * 2], 16384);
}

TEST(SoundMix, StolenVoiceFadesBy1Over256) {
  Mixer m;
  TZNT1SoundSample* s = m.Load(std::vector<int16_t>(5000, 16384));
  int32_t first = -1, second = -1;
  s->Play(1.0f, -1.0f, 1.0f, &first);
  m.Block();
  EXPECT_EQ(s->Play(0.0f, -1.0f, 1.0f, &second), 0);
  EXPECT_EQ(first, -1);
  EXPECT_EQ(second, 0);
  const std::vector<int32_t> b = m.Block();
  int32_t tail = 16384 * 4096;
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(b[i * 2], Fade(tail)) << i;
  EXPECT_EQ(b[0], 16320);
  EXPECT_EQ(b[1], 0);
}

TEST(SoundMix, VoiceOperations) {
  Mixer m;
  TZNT1SoundSample* s = m.Load(std::vector<int16_t>(5000, 100), 44100, 0, "s", 2);
  int32_t a = -1, b = -1, c = -1;
  EXPECT_EQ(s->Play(1.0f, 0.0f, 1.0f, &a), 1);  // the highest number comes off the free list first
  m.Block();
  EXPECT_EQ(s->Play(0.5f, 0.0f, 1.0f, &b), 0);
  m.Block();
  // Both busy: the older one is taken and its first owner hears of it.
  EXPECT_EQ(s->Play(1.0f, 0.0f, 1.0f, &c), 1);
  EXPECT_EQ(a, -1);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(s->Stop(-1), -1);
  EXPECT_EQ(s->SetVolume(99, 0.5f), 99);
  EXPECT_FALSE(s->IsVoicePlaying(99));
  s->SetVolume(0, 3.0f);
  EXPECT_EQ(s->Voices[0]->Volume, 65536);
  s->SetPanning(0, -2.0f);
  EXPECT_EQ(s->Voices[0]->Panning, -65536);
  s->SetVolume(0, std::nanf(""));
  EXPECT_EQ(s->Voices[0]->Volume, 0);
  s->SetEffectMix(0, 1);
  EXPECT_TRUE(s->Voices[0]->MixToEffect);
  s->SetPosition(0, 1, Vector3(1, 2, 3), TZNT1Vector3{});
  EXPECT_TRUE(s->Voices[0]->Spatialization);
  // A negative rate plays forwards at its magnitude.
  s->SetRate(1, -2.0f);
  EXPECT_EQ(s->Voices[1]->Increment, int64_t(2) << 32);
  // Absurd rates stay in range: a NaN stops the voice at its next run, a huge one is capped.
  s->SetRate(0, std::nanf(""));
  EXPECT_EQ(s->Voices[0]->Increment, 0);
  s->SetRate(0, 1e30f);
  EXPECT_EQ(s->Voices[0]->Increment, int64_t(4096) << 32);
  s->Stop(0);
  EXPECT_EQ(b, -1);
  EXPECT_FALSE(s->IsVoicePlaying(0));
  EXPECT_TRUE(s->IsVoicePlaying(1));
  s->DoKeyOff(1);  // no sustain loop: the voice stops
  EXPECT_EQ(c, -1);
  EXPECT_FALSE(s->IsPlaying());
  // Stopped voices leave the list once the stolen voice's older tail has died out.
  for (int i = 0; i < 8 && m.System->VoiceFirst; ++i) m.Block();
  EXPECT_EQ(m.System->VoiceFirst, nullptr);
  int32_t free = 0;
  for (TZNT1SoundSampleVoice* v = s->FreeVoice; v; v = v->NextFree) ++free;
  EXPECT_EQ(free, 2);
}

TEST(SoundMix, SilentVoiceOnlyAdvances) {
  Mixer m;
  TZNT1SoundSample* s = m.Load(std::vector<int16_t>(5000, 1000));
  s->Play(0.0f, 0.0f, 1.0f, nullptr);
  const std::vector<int32_t> b = m.Block();
  EXPECT_EQ(b, std::vector<int32_t>(2048, 0));
  EXPECT_EQ(s->Voices[0]->Position, int64_t(1024) << 32);
}

TEST(SoundMix, OutputFormatsAndGainControl) {
  {
    Mixer m;
    m.System->FillBuffer();
    EXPECT_EQ(m.System->OutputBuffer, std::vector<uint8_t>(4096, 0));
  }
  {
    Mixer m(1, 8);
    m.System->FillBuffer();
    EXPECT_EQ(m.System->OutputBuffer, std::vector<uint8_t>(1024, 0x80));
    TZNT1SoundSample* s = m.Load(std::vector<int16_t>(5000, 10000), 44100, 0, "l");
    s->Play(1.0f, -1.0f, 1.0f, nullptr);
    m.System->FillBuffer();
    // Mono: ((left + right) >> 1 + 32768) >> 8.
    EXPECT_EQ(m.System->OutputBuffer[5], ((10000 + 0) / 2 + 32768) >> 8);
  }
  {
    // A dry value of 40,000 is clipped and lowers the gain once; 1,102 quiet frames raise it again.
    Mixer m(2, 16, 1);
    TZNT1SoundSystem& s = *m.System;
    TZNT1SoundSample* loud = m.Load(std::vector<int16_t>(3000, 20000), 44100, 0, "a");
    TZNT1SoundSample* more = m.Load(std::vector<int16_t>(1, 20000), 44100, 0, "b");
    loud->Play(1.0f, -1.0f, 1.0f, nullptr);
    more->Play(1.0f, -1.0f, 1.0f, nullptr);
    s.FillBuffer();
    EXPECT_EQ(reinterpret_cast<int16_t*>(s.OutputBuffer.data())[0], 32767);
    EXPECT_EQ(s.AGC, 255);
    loud->Stop(0);
    for (int i = 0; i < 1101; ++i) s.FillBuffer();
    EXPECT_EQ(s.AGC, 255);
    s.FillBuffer();
    EXPECT_EQ(s.AGC, 256);
  }
}

TEST(SoundMix, MasterVolumeClipsFirstAndKeepsLoudValuesPositive) {
  Mixer m;
  TZNT1SoundSystem& s = *m.System;
  std::vector<TZNT1SoundSample*> samples;
  for (int i = 0; i < 20; ++i) {
    samples.push_back(m.Load(std::vector<int16_t>(5000, 32767), 44100, 0, "v" + std::to_string(i)));
    samples.back()->Play(1.0f, -1.0f, 1.0f, nullptr);
  }
  s.SetMixerAGC(false);
  s.SetMixerMasterVolume(1.5f);
  EXPECT_EQ(s.MasterVolume, 6144);
  s.FillBuffer();
  // 20 × 32,767 clipped to 0x7FFFF, times 1.5 in 64 bits, clamped: full scale, not wrapped.
  EXPECT_EQ(s.MixingBuffer[0], 32767);
  EXPECT_EQ(s.MixingBuffer[1], 0);
  s.SetMixerMasterVolume(0.5f);
  s.FillBuffer();
  EXPECT_EQ(s.MixingBuffer[0], 32767);  // 0x7FFFF × 0.5 still clamps
}

TEST(SoundMix, UnderWaterBoostAndEffectLowPassRamps) {
  Mixer m;
  TZNT1SoundSystem& s = *m.System;
  // A 707 Hz tone between the two splits on the effect bus.
  std::vector<int16_t> tone(44100);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(std::lround(8000 * std::sin(2 * M_PI * 707 * i / 44100.0)));
  TZNT1SoundSample* t = m.Load(tone, 44100, 2, "tone");
  t->Play(1.0f, -1.0f, 1.0f, nullptr);
  t->SetEffectMix(0, 1);
  s.FillBuffer();
  EXPECT_EQ(s.LowPassCurrent, 0x40000000);
  EXPECT_EQ(s.LowPassRampingLength, 0);
  const int32_t target = static_cast<int32_t>(std::nearbyint(s.SpatializationWaterLowPassCW * 16384.0)) << 16;
  s.ListenerUnderwater = true;
  s.FillBuffer();
  // Diving closes the filter within the block's first 441 frames.
  EXPECT_EQ(s.LowPassLast, target);
  EXPECT_EQ(s.LowPassRampingLength, 0);
  EXPECT_EQ(s.LowPassCurrent, target);
  EXPECT_EQ(s.LowPassIncrement, (target - 0x40000000) / 441);
  s.ListenerUnderwater = false;
  s.FillBuffer();
  EXPECT_EQ(s.LowPassRampingLength, 11025 - 1024);
  for (int i = 0; i < 9; ++i) s.FillBuffer();
  EXPECT_EQ(s.LowPassRampingLength, 11025 - 10240);
  EXPECT_LT(s.LowPassCurrent, 0x40000000);
  s.FillBuffer();
  EXPECT_EQ(s.LowPassRampingLength, 0);
  EXPECT_EQ(s.LowPassCurrent, 0x40000000);
  for (int32_t v : s.WaterBoostHistoryLeft) EXPECT_EQ(v, 0);

  // The boost alone: the band between the splits comes out louder, a constant passes unchanged.
  auto peak = [&](int32_t value, bool sine) {
    std::fill(std::begin(s.WaterBoostLowPassLeft), std::end(s.WaterBoostLowPassLeft), 0);
    std::fill(std::begin(s.WaterBoostHighPassLeft), std::end(s.WaterBoostHighPassLeft), 0);
    std::fill(std::begin(s.WaterBoostHistoryLeft), std::end(s.WaterBoostHistoryLeft), 0);
    int32_t result = 0;
    for (int block = 0; block < 8; ++block) {
      for (int i = 0; i < 1024; ++i)
        s.EffectMixingBuffer[i * 2] = sine ? static_cast<int32_t>(std::lround(value * std::sin(2 * M_PI * 707 * (block * 1024 + i) / 44100.0))) : value;
      s.WaterBoost();
      if (block == 7) {
        result = sine ? 0 : s.EffectMixingBuffer[2046];
        if (sine)
          for (int i = 0; i < 1024; ++i) result = std::max(result, std::abs(s.EffectMixingBuffer[i * 2]));
      }
    }
    return result;
  };
  // Truncating one-pole stages settle a little short of a constant: within 1%.
  EXPECT_NEAR(peak(10000, false), 10000, 100);
  EXPECT_GT(peak(10000, true), 17000);
}

TEST(SoundMix, LoudMixUnderWaterAndSurfacingStaysDefined) {
  // Sixteen full-scale voices, half on the effect bus, master volume 1.5: every product on the
  // way must stay in range (the sanitizer pass checks the arithmetic).
  Mixer m;
  TZNT1SoundSystem& s = *m.System;
  std::vector<int16_t> square(4096);
  for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 50) % 2 ? 32767 : -32768;
  for (int i = 0; i < 16; ++i) {
    TZNT1SoundSample* v = m.Load(square, 44100, 2, "v" + std::to_string(i));
    v->Play(1.0f, i % 3 == 0 ? -1.0f : i % 3 == 1 ? 1.0f : 0.0f, 1.0f + 0.1f * i, nullptr);
    v->SetEffectMix(0, i % 2);
  }
  s.SetMixerMasterVolume(1.5f);
  s.SetMixerSampleVolume(1.0f);
  int32_t peak = 0;
  for (int block = 0; block < 40; ++block) {
    s.ListenerUnderwater = block >= 5 && block < 20;
    s.FillBuffer();
    for (int32_t i = 0; i < 2048; ++i) peak = std::max(peak, std::abs(s.MixingBuffer[i]));
  }
  EXPECT_EQ(peak, 32768);  // clipped, not wrapped
  EXPECT_LT(s.AGC, 256);
}

TEST(SoundMix, PingPongBackwardAndSustainLoops) {
  Mixer m;
  std::vector<int16_t> v(10);
  for (int i = 0; i < 10; ++i) v[i] = static_cast<int16_t>(1000 * i);
  auto play = [&](const std::vector<SamplerLoop>& Loops, const std::string& Name, bool KeyOff) {
    TMemoryStream stream(Riff({Fmt(1, 1, 44100, 16), Data(Pcm16(v)), Smpl(Loops)}));
    TZNT1SoundSample* s = m.System->Samples->Load(Name, &stream, 1, 1);
    s->Play(1.0f, -1.0f, 1.0f, nullptr);
    std::vector<int32_t> frames;
    for (int block = 0; block < 2; ++block) {
      if (block == 1 && KeyOff) s->DoKeyOff(0);
      const std::vector<int32_t> b = m.Block();
      for (int i = 0; i < 16; ++i) frames.push_back(b[i * 2] / 1000);
    }
    s->Stop(0);
    m.Block();
    return frames;
  };
  // Ping-pong 2 … 6 turns at both ends without repeating them.
  EXPECT_EQ(play({{1, 2, 6}}, "pingpong", false),
            (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 4, 3, 2, 3, 4, 5, 4, 3, 2, 3,  //
                                  4, 5, 4, 3, 2, 3, 4, 5, 4, 3, 2, 3, 4, 5, 4, 3}));
  // Backward: forwards to the end, then backwards through the loop, wrapping to its end.
  EXPECT_EQ(play({{2, 2, 6}}, "backward", false),
            (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 4, 3, 2, 5, 4, 3, 2, 5, 4, 3,  //
                                  2, 5, 4, 3, 2, 5, 4, 3, 2, 5, 4, 3, 2, 5, 4, 3}));
  // A sustain loop (the first of two records; the second, empty, is no loop) holds until key-off,
  // then the voice plays on to its end and fades out.
  const std::vector<int32_t> sustained = play({{0, 2, 10}, {0, 5, 5}}, "sustain", true);
  EXPECT_EQ(std::vector<int32_t>(sustained.begin(), sustained.begin() + 19),
            (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 2, 3, 4, 5, 6, 7,  //
                                  8, 9, 8}));
  EXPECT_EQ(sustained.back(), 8);  // 9,000 fading by 1/256 a frame
}
