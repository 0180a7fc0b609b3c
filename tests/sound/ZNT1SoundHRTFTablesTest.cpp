#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "sound/ZNT1SoundHRTFTables.h"

namespace {

const int32_t* Response(const TZNT1SoundHRTFPreset& p, int32_t Ring, int32_t Azimuth) {
  return p.Coefs + static_cast<size_t>(p.evOffset[Ring] + Azimuth) * p.irSize;
}

// Energy of a response between From Hz and the Nyquist frequency (zero-padded DFT).
double EnergyAbove(const int32_t* Taps, int32_t Count, double From) {
  const int32_t n = 512;
  double sum = 0;
  for (int32_t bin = 0; bin <= n / 2; ++bin) {
    if (bin * 44100.0 / n < From) continue;
    std::complex<double> h = 0;
    for (int32_t t = 0; t < Count; ++t) h += double(Taps[t]) * std::polar(1.0, -2 * M_PI * bin * t / n);
    sum += std::norm(h);
  }
  return sum;
}

}  // namespace

TEST(SoundHRTFTables, ShapeAndRanges) {
  const TZNT1SoundHRTFPreset& p = *DefaultHRTFPreset();
  EXPECT_EQ(p.SampleRate, 44100);
  EXPECT_EQ(p.irSize, 32);
  ASSERT_EQ(p.evCount, 19);
  const int32_t counts[19] = {1, 12, 24, 36, 45, 56, 60, 72, 72, 72, 72, 72, 60, 56, 45, 36, 24, 12, 1};
  int32_t offset = 0;
  for (int32_t e = 0; e < 19; ++e) {
    EXPECT_EQ(p.azCount[e], counts[e]) << e;
    EXPECT_EQ(p.evOffset[e], offset) << e;
    offset += counts[e];
  }
  EXPECT_EQ(offset, 828);
  EXPECT_EQ(p.evOffset[18], 827);
  int32_t lo = 0, hi = 0, maxDelay = 0, minDelay = 99;
  for (int32_t i = 0; i < 828 * 32; ++i) lo = std::min(lo, p.Coefs[i]), hi = std::max(hi, p.Coefs[i]);
  for (int32_t i = 0; i < 828; ++i) maxDelay = std::max(maxDelay, p.Delays[i]), minDelay = std::min(minDelay, p.Delays[i]);
  EXPECT_GE(lo, -20231);
  EXPECT_LE(hi, 32443);
  EXPECT_EQ(minDelay, 0);
  EXPECT_GE(maxDelay, 28);
  EXPECT_LE(maxDelay, 30);
}

TEST(SoundHRTFTables, AheadSymmetricLeftSideNearEar) {
  const TZNT1SoundHRTFPreset& p = *DefaultHRTFPreset();
  // Ahead (ring 9, azimuth 0) is its own mirror: both ears read it, with no delay.
  const int32_t ring = 9, count = p.azCount[ring];
  EXPECT_EQ(p.Delays[p.evOffset[ring]], 0);
  // Source on the left: azimuth 3/4 of the ring. Left ear reads that entry, right ear the mirror.
  const int32_t left = 3 * count / 4, right = count / 4;
  EXPECT_EQ(p.Delays[p.evOffset[ring] + left], 0);
  int32_t maxDelay = 0;
  for (int32_t i = 0; i < 828; ++i) maxDelay = std::max(maxDelay, p.Delays[i]);
  EXPECT_EQ(p.Delays[p.evOffset[ring] + right], maxDelay);
  EXPECT_EQ(maxDelay, 29);  // (r/c)(pi/2 + 1) at 44,100 Hz
  EXPECT_GT(EnergyAbove(Response(p, ring, left), 32, 3000), 4 * EnergyAbove(Response(p, ring, right), 32, 3000));
  // Straight above and below: one response each, equal delay for both ears (0).
  EXPECT_EQ(p.Delays[0], 0);
  EXPECT_EQ(p.Delays[827], 0);
}

TEST(SoundHRTFTables, SameTableEveryRun) {
  const TZNT1SoundHRTFPreset& p = *DefaultHRTFPreset();
  uint64_t h = 1469598103934665603ull;
  auto mix = [&](int32_t v) {
    h ^= static_cast<uint32_t>(v);
    h *= 1099511628211ull;
  };
  for (int32_t i = 0; i < 828 * 32; ++i) mix(p.Coefs[i]);
  for (int32_t i = 0; i < 828; ++i) mix(p.Delays[i]);
  EXPECT_EQ(h, 8169215464181737011ull);
  EXPECT_EQ(DefaultHRTFPreset(), &p);
}
