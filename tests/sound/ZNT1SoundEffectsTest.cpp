#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "sound/ZNT1Sound.h"

namespace {

struct Effects : ::testing::Test {
  std::unique_ptr<TZNT1SoundSystem> System = std::make_unique<TZNT1SoundSystem>(nullptr, 44100, 2, 16, 1024);
  void SetUp() override { System->Lock(); }
};

// The effect bus is unclipped before these effects: values span the whole 32-bit range.
std::vector<int32_t> RandomBus(size_t Frames, uint32_t Seed) {
  std::mt19937 rng(Seed);
  std::uniform_int_distribution<int32_t> d(INT32_MIN, INT32_MAX);
  std::vector<int32_t> v(Frames * 2);
  for (int32_t& x : v) x = d(rng);
  return v;
}

// Frequency of a signal from its upward zero crossings.
double Frequency(const std::vector<int32_t>& Bus, int32_t Channel, size_t From) {
  size_t first = 0, last = 0, count = 0;
  for (size_t i = From + 1; i < Bus.size() / 2; ++i)
    if (Bus[(i - 1) * 2 + Channel] < 0 && Bus[i * 2 + Channel] >= 0) {
      if (count == 0) first = i;
      last = i;
      ++count;
    }
  return count > 1 ? (count - 1) * 44100.0 / (last - first) : 0.0;
}

// The reverb frame by frame, each frame through the pre-delay, the whole all-pass chain and the
// low-pass before the next.
void ReverbFrameByFrame(TZNT1SoundReverb& r, int32_t* Buffer, int32_t Samples) {
  const int64_t wet = SoundRound(r.Wet * 4096.0), dry = SoundRound(r.Dry * 4096.0);
  const int64_t g = SoundRound(r.FeedBack * 4096.0);
  const int32_t mask = r.SampleBufferMask;
  for (int32_t i = 0; i < Samples; ++i) {
    const int64_t inL = Buffer[i * 2], inR = Buffer[i * 2 + 1];
    r.LeftBuffer[static_cast<size_t>(r.LeftCounter)] = static_cast<int32_t>(inL);
    r.RightBuffer[static_cast<size_t>(r.RightCounter)] = static_cast<int32_t>(inR);
    int64_t left = r.LeftBuffer[static_cast<size_t>(r.LeftDelayedCounter)];
    int64_t right = r.RightBuffer[static_cast<size_t>(r.RightDelayedCounter)];
    for (int32_t* c : {&r.LeftCounter, &r.RightCounter, &r.LeftDelayedCounter, &r.RightDelayedCounter})
      *c = (*c + 1) & mask;
    for (int32_t f = 0; f < r.AllPassFilters; ++f) {
      int32_t* ring = r.AllPassBuffer[f].data();
      int32_t* c = r.Counter[f];
      const int64_t yl = ring[c[2] * 2] - (g * left) / 4096;
      ring[c[0] * 2] = static_cast<int32_t>((yl * g) / 4096 + left);
      const int64_t yr = ring[c[3] * 2 + 1] - (g * right) / 4096;
      ring[c[1] * 2 + 1] = static_cast<int32_t>((yr * g) / 4096 + right);
      left = yl;
      right = yr;
      for (int32_t k = 0; k < 4; ++k) c[k] = (c[k] + 1) & mask;
    }
    r.LastLowPassLeft += static_cast<int32_t>(((left - r.LastLowPassLeft) * r.CutOff) / 4096);
    r.LastLowPassRight += static_cast<int32_t>(((right - r.LastLowPassRight) * r.CutOff) / 4096);
    Buffer[i * 2] = static_cast<int32_t>((inL * dry + int64_t(r.LastLowPassLeft) * wet) / 4096);
    Buffer[i * 2 + 1] = static_cast<int32_t>((inR * dry + int64_t(r.LastLowPassRight) * wet) / 4096);
  }
}

}  // namespace

TEST_F(Effects, PitchShifterWindowStepAndIdentity) {
  TZNT1SoundPitchShifter& p = *System->PitchShifter;
  EXPECT_EQ(p.PitchShifterFadeBuffer[0], 0);
  EXPECT_EQ(p.PitchShifterFadeBuffer[511], 4096);
  EXPECT_EQ(p.PitchShifterFadeBuffer[512], 4096);
  EXPECT_EQ(p.PitchShifterFadeBuffer[1023], 0);
  EXPECT_EQ(p.p2, 0x200000u);
  EXPECT_EQ(SoundRound(0.7937005 * 4096) - 4096, -845);

  std::vector<int32_t> bus = RandomBus(1024, 1), before = bus;
  p.Factor = 1.0f;
  p.Process(bus.data(), 1024);
  EXPECT_EQ(bus, before);
  EXPECT_EQ(p.InputPointer, 0u);  // wrapped once round the ring
  EXPECT_EQ(p.WorkBuffer[5 * 2 + 1], before[5 * 2 + 1]);
}

TEST_F(Effects, PitchShifterLowersAThirdOfAnOctave) {
  TZNT1SoundPitchShifter& p = *System->PitchShifter;
  p.Factor = 0.7937005f;
  const size_t frames = 44100;
  std::vector<int32_t> bus(frames * 2);
  for (size_t i = 0; i < frames; ++i)
    bus[i * 2] = bus[i * 2 + 1] = static_cast<int32_t>(std::lround(20000 * std::sin(2 * M_PI * 1000 * i / 44100.0)));
  for (size_t at = 0; at < frames; at += 1024)
    p.Process(bus.data() + at * 2, static_cast<int32_t>(std::min<size_t>(1024, frames - at)));
  EXPECT_NEAR(Frequency(bus, 0, 2048), 793.7, 8.0);
  EXPECT_EQ(p.p1, 845u * 44100);  // the read delay grows by 845/4096 a frame, unsigned
  // Long runs wrap the 20.12 read delays round 2^32 without a fault.
  p.p1 = 0xFFFFFF00u;
  p.Process(bus.data(), 1024);

  // A loud bus: the two cross-faded taps sum to the input level, beyond 32-bit products.
  p.Reset();
  p.Factor = 0.7937005f;
  std::vector<int32_t> loud(8192 * 2, 1500000000);
  for (size_t at = 0; at < 8192; at += 1024) p.Process(loud.data() + at * 2, 1024);
  for (size_t i = 2048; i < 8192; ++i) ASSERT_NEAR(loud[i * 2], 1500000000.0, 1500000000.0 * 0.002) << i;
}

TEST_F(Effects, ReverbSettingsAndDryPass) {
  TZNT1SoundReverb& r = *System->Reverb;
  EXPECT_EQ(r.SampleBufferSize, 131072);
  EXPECT_EQ(r.CutOff, 641);
  EXPECT_EQ((r.LeftCounter - r.LeftDelayedCounter) & r.SampleBufferMask, 2822);
  EXPECT_EQ((r.RightCounter - r.RightDelayedCounter) & r.SampleBufferMask, 3440);
  const int32_t delays[2][2] = {{41, 41}, {83, 84}};
  for (int32_t f = 0; f < 2; ++f)
    for (int32_t c = 0; c < 2; ++c)
      EXPECT_EQ((r.Counter[f][c] - r.Counter[f][2 + c]) & r.SampleBufferMask, delays[f][c]) << f << c;

  r.Dry = 1.0f;
  r.Wet = 0.0f;
  std::vector<int32_t> bus = RandomBus(1024, 2), before = bus;
  r.Process(bus.data(), 1024);
  EXPECT_EQ(bus, before);
  EXPECT_EQ(r.LeftBuffer[static_cast<size_t>((r.LeftCounter - 1) & r.SampleBufferMask)], before[1023 * 2]);
}

TEST_F(Effects, ReverbMatchesTheFrameByFrameChain) {
  // Blocks of 1,000 frames through the default room and the smallest one (all-pass delays from
  // one frame, no pre-delay), against the chain run frame by frame.
  for (bool smallest : {false, true}) {
    TZNT1SoundReverb& r = *System->Reverb;
    if (smallest) {
      r.RoomSize = r.PreDelay = r.CombFilterSeparation = 0;
      r.Reset();
      ASSERT_EQ((r.Counter[0][0] - r.Counter[0][2]) & r.SampleBufferMask, 1);
    }
    TZNT1SoundReverb reference = r;
    for (uint32_t block = 0; block < 4; ++block) {
      std::vector<int32_t> bus = RandomBus(1000, 10 + block), expected = bus;
      r.Process(bus.data(), 1000);
      ReverbFrameByFrame(reference, expected.data(), 1000);
      ASSERT_EQ(bus, expected) << smallest << ", block " << block;
    }
    EXPECT_EQ(r.LastLowPassRight, reference.LastLowPassRight);
    EXPECT_EQ(r.Counter[15][3], reference.Counter[15][3]);
    EXPECT_EQ(r.AllPassBuffer[15], reference.AllPassBuffer[15]);
  }
}

TEST_F(Effects, ReverbImpulseShowsPreDelaysAndAllPassDelays) {
  TZNT1SoundReverb& r = *System->Reverb;
  r.AllPassFilters = 2;
  r.Absortion = 10000;  // low-pass fully open: the chain's own echoes come through
  r.Reset();
  EXPECT_EQ(r.CutOff, 4096);
  r.Dry = 0.0f;
  r.Wet = 1.0f;
  std::vector<int32_t> bus(4096 * 2, 0);
  bus[0] = bus[1] = 1 << 20;
  for (size_t at = 0; at < 4096; at += 1024) r.Process(bus.data() + at * 2, 1024);
  auto first = [&](int32_t c) {
    for (int32_t i = 0; i < 4096; ++i)
      if (bus[static_cast<size_t>(i * 2 + c)] != 0) return i;
    return -1;
  };
  ASSERT_EQ(first(0), 2822);
  ASSERT_EQ(first(1), 3440);
  // Both: the first all-pass echoes after 41 frames; the second filter's delay is 83 on the left
  // and 84 on the right (nothing else lands on those frames).
  EXPECT_NE(bus[(2822 + 41) * 2], 0);
  EXPECT_EQ(bus[(2822 + 40) * 2], 0);
  EXPECT_NE(bus[(3440 + 41) * 2 + 1], 0);
  EXPECT_NE(bus[(2822 + 83) * 2], 0);
  EXPECT_EQ(bus[(2822 + 84) * 2], 0);
  EXPECT_NE(bus[(3440 + 84) * 2 + 1], 0);
  EXPECT_EQ(bus[(3440 + 83) * 2 + 1], 0);
  // The first output is the impulse fed through both filters at once: -g, then -g again.
  const int64_t y0 = -(int64_t(3359) << 20) / 4096;
  EXPECT_EQ(bus[2822 * 2], -(3359 * y0) / 4096);
}

TEST_F(Effects, UnderWaterChainRunsOnlyUnderWater) {
  // Out of water the effect bus passes the pitch shifter and reverb untouched.
  System->ListenerUnderwater = false;
  System->FillBuffer();
  EXPECT_EQ(System->PitchShifter->Factor, 1.0f);
  EXPECT_EQ(System->Reverb->Wet, 0.0f);
  System->ListenerUnderwater = true;
  System->FillBuffer();
  EXPECT_FLOAT_EQ(System->PitchShifter->Factor, 0.7937005f);
  EXPECT_EQ(System->Reverb->Wet, 1.0f);
  EXPECT_EQ(System->Reverb->Dry, 1.0f);
}
