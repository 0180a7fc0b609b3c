#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "sound/ZNT1Sound.h"
#include "support/SoundTestSupport.h"

using namespace soundtest;

namespace {

struct Spatial : ::testing::Test {
  std::unique_ptr<TZNT1SoundSystem> System = std::make_unique<TZNT1SoundSystem>(nullptr, 44100, 2, 16, 1024);
  std::vector<int32_t> Bus = std::vector<int32_t>(2048);

  void SetUp() override { System->Lock(); }

  TZNT1SoundSample* Load(const std::vector<int16_t>& Values, uint32_t Loop = 0, const std::string& Name = "s") {
    TMemoryStream stream(Mono16(Values));
    return System->Samples->Load(Name, &stream, Loop, 1);
  }
  TZNT1SoundSampleVoice* PlayAt(TZNT1SoundSample* s, float x, float y, float z, TZNT1Vector3 Velocity = {}) {
    const int32_t n = s->Play(1.0f, 0.0f, 1.0f, nullptr);
    s->SetPosition(n, 1, Vector3(x, y, z), Velocity);
    return s->Voices[static_cast<size_t>(n)].get();
  }
  // One block of the voice alone on a cleared bus.
  void Mix(TZNT1SoundSampleVoice* v) {
    std::fill(Bus.begin(), Bus.end(), 0);
    v->MixTo(Bus.data(), System->SampleVolume);
  }
  int32_t Onset(int32_t Channel) const {
    for (int32_t i = 0; i < 1024; ++i)
      if (Bus[static_cast<size_t>(i * 2 + Channel)] != 0) return i;
    return -1;
  }
};

std::vector<int16_t> Impulse(size_t Length = 256) {
  std::vector<int16_t> v(Length, 0);
  v[0] = 32767;
  return v;
}

// A test preset whose response i has tap 0 = i + 1 (and delay i), so lookups show their weights.
struct TaggedPreset {
  int32_t AzCount[19], EvOffset[19];
  std::vector<int32_t> Coefs = std::vector<int32_t>(828 * 32, 0), Delays = std::vector<int32_t>(828);
  TZNT1SoundHRTFPreset Preset;
  explicit TaggedPreset(bool Constant = false) {
    const TZNT1SoundHRTFPreset& d = *DefaultHRTFPreset();
    for (int32_t e = 0; e < 19; ++e) AzCount[e] = d.azCount[e], EvOffset[e] = d.evOffset[e];
    for (int32_t i = 0; i < 828; ++i) {
      Coefs[static_cast<size_t>(i) * 32] = Constant ? 1000 : i + 1;
      Delays[static_cast<size_t>(i)] = Constant ? 10 : i;
    }
    Preset = {44100, 32, 19, AzCount, EvOffset, Coefs.data(), Delays.data()};
  }
};

}  // namespace

TEST_F(Spatial, DistanceGain) {
  System->SpatializationMode = SPATIALIZATION_HRTF;  // ear gains are the distance gain itself
  TZNT1SoundSample* s = Load(std::vector<int16_t>(64, 1000));
  const struct {
    float Distance;
    int32_t Gain;
  } cases[] = {{0, 65536}, {60, 65536}, {120, 65536}, {572, 7680}, {1250, 0}, {4000, 0}};
  for (const auto& c : cases) {
    TZNT1SoundSampleVoice* v = PlayAt(s, c.Distance, 0, 0);
    v->UpdateSpatialization();
    EXPECT_EQ(v->MulLeft, c.Gain) << c.Distance;
    EXPECT_EQ(v->MulRight, c.Gain) << c.Distance;
  }
}

TEST_F(Spatial, PseudoEarGainsAndDelays) {
  System->SpatializationMode = SPATIALIZATION_PSEUDO;
  TZNT1SoundSample* s = Load(std::vector<int16_t>(64, 1000));
  const double g572 = 0.1171875;
  const struct {
    const char* What;
    float X, Y;
    int32_t Left, Right, DelayLeft, DelayRight;
  } cases[] = {
      {"ahead", 100, 0, 46341, 46341, 0, 0},
      {"right", 0, -100, 3216, 65457, 1473271, 0},
      {"left", 0, 100, 65457, 3216, 0, 1473271},
      {"right, far", 0, -572, int32_t(std::nearbyint(g572 * 0.0490677 * 65536)),
       int32_t(std::nearbyint(g572 * 0.9987955 * 65536)), 1473271, 0},
      {"behind", -100, 0, 46341, 46341, 0, 0},
  };
  for (const auto& c : cases) {
    TZNT1SoundSampleVoice* v = PlayAt(s, c.X, c.Y, 0);
    v->UpdateSpatialization();
    EXPECT_EQ(v->MulLeft, c.Left) << c.What;
    EXPECT_EQ(v->MulRight, c.Right) << c.What;
    EXPECT_EQ(v->SpatializationDelayLeft, c.DelayLeft) << c.What;
    EXPECT_EQ(v->SpatializationDelayRight, c.DelayRight) << c.What;
  }
  // Ahead within 120 units nothing is damped; behind both ears are.
  TZNT1SoundSampleVoice* ahead = PlayAt(s, 100, 0, 0);
  ahead->UpdateSpatialization();
  EXPECT_EQ(ahead->SpatializationLowPassLeftCoef, 0);
  TZNT1SoundSampleVoice* behind = PlayAt(s, -100, 0, 0);
  behind->UpdateSpatialization();
  EXPECT_GT(behind->SpatializationLowPassLeftCoef, 0);
  EXPECT_EQ(behind->SpatializationLowPassLeftCoef, behind->SpatializationLowPassRightCoef);
}

TEST_F(Spatial, PseudoImpulseReachesTheFarEarLater) {
  System->SpatializationMode = SPATIALIZATION_PSEUDO;
  TZNT1SoundSample* s = Load(Impulse());
  Mix(PlayAt(s, 0, -200, 0));
  EXPECT_EQ(Onset(1), 0);
  EXPECT_GE(Onset(0), 22);
  EXPECT_LE(Onset(0), 23);
  EXPECT_GT(Bus[1], 0);

  // Fast mode: gains and Doppler only, both ears at once and unfiltered.
  System->SpatializationMode = SPATIALIZATION_FAST;
  TZNT1SoundSampleVoice* v = PlayAt(s, 0, -200, 0);
  Mix(v);
  EXPECT_EQ(Onset(0), 0);
  EXPECT_EQ(Onset(1), 0);
  EXPECT_EQ(Bus[0], static_cast<int32_t>((32767 * (v->VolumeLeft / 65536)) / 32768));
  EXPECT_EQ(Bus[2], 0);
  EXPECT_LT(v->MulLeft, v->MulRight);
}

TEST_F(Spatial, Doppler) {
  TZNT1SoundSample* s = Load(std::vector<int16_t>(64, 1000));
  for (int32_t mode : {SPATIALIZATION_FAST, SPATIALIZATION_PSEUDO, SPATIALIZATION_HRTF}) {
    System->SpatializationMode = mode;
    System->ListenerUnderwater = false;
    System->ListenerVelocity = Vector3(100, 0, 0);  // toward the source
    TZNT1SoundSampleVoice* v = PlayAt(s, 500, 0, 0);
    v->UpdateSpatialization();
    EXPECT_FLOAT_EQ(v->DopplerRate, static_cast<float>((343.3 + 3.81) / 343.3)) << mode;
    EXPECT_EQ(v->Increment, SoundRound(static_cast<double>(v->DopplerRate) * 4294967296.0));
    System->ListenerVelocity = Vector3(0, 0, 0);
    v = PlayAt(s, 500, 0, 0, Vector3(-100, 0, 0));  // source closing in
    v->UpdateSpatialization();
    EXPECT_FLOAT_EQ(v->DopplerRate, static_cast<float>(343.3 / (343.3 - 3.81)));
    System->ListenerUnderwater = true;
    v->UpdateSpatialization();
    EXPECT_FLOAT_EQ(v->DopplerRate, static_cast<float>(1522.0 / (1522.0 - 3.81)));
    // Faster than sound: the closing speed is clamped, the rate stays finite and positive.
    System->ListenerUnderwater = false;
    v = PlayAt(s, 500, 0, 0, Vector3(-1e6f, 0, 0));
    v->UpdateSpatialization();
    EXPECT_FLOAT_EQ(v->DopplerRate, 343.3f);
  }
}

TEST(SpatialLowPass, CoefficientIsThePoleOfTheGainAt3300Hz) {
  const float c = static_cast<float>(std::cos(2 * M_PI * 3300 / 44100));
  EXPECT_EQ(LowPassCoef(c, 1.0f), 0.0f);
  EXPECT_EQ(LowPassCoef(c, 0.99995f), 0.0f);
  const double w = 2 * M_PI * 3300 / 44100;
  for (float g : {0.02f, 0.1f, 0.5f, 0.875f, 0.99f}) {
    const double a = LowPassCoef(c, g);
    EXPECT_GT(a, 0.0);
    EXPECT_LT(a, 1.0);
    // y := x + a(y - x): H = (1 - a) / (1 - a e^-jw); its power at 3,300 Hz is the gain.
    const std::complex<double> h = (1.0 - a) / (1.0 - a * std::polar(1.0, -w));
    EXPECT_NEAR(std::norm(h), g, 2e-5) << g;
  }
}

TEST_F(Spatial, TinyMovesKeepTheRampAndTheStoredDirection) {
  System->SpatializationMode = SPATIALIZATION_PSEUDO;
  TZNT1SoundSample* s = Load(std::vector<int16_t>(8192, 1000), 2);
  TZNT1SoundSampleVoice* v = PlayAt(s, 100, 0, 0);
  Mix(v);
  const TZNT1Vector3 stored = v->LastDirection;
  EXPECT_FLOAT_EQ(stored.x, 1.0f);
  // A hundred-thousandth of a radian: delta far below 0.001.
  s->SetPosition(v->Index, 1, Vector3(100, 0.001f, 0), {});
  Mix(v);
  EXPECT_EQ(v->RampingSamples, 441);
  EXPECT_EQ(v->LastDirection.y, stored.y);
  // A real turn (to the side): delta 1, ramp over 15 ms.
  s->SetPosition(v->Index, 1, Vector3(0, -100, 0), {});
  Mix(v);
  EXPECT_EQ(v->RampingSamples, 662);
  EXPECT_FLOAT_EQ(v->LastDirection.y, -1.0f);
  EXPECT_FLOAT_EQ(CalculateDelta(Vector3(1, 0, 0), Vector3(1, 0, 0), 0.5f, 0.5f), 0.0f);
  EXPECT_FLOAT_EQ(CalculateDelta(Vector3(1, 0, 0), Vector3(0, 1, 0), 0.5f, 0.5f), 1.0f);
  // Gain alone: a tenfold drop is a quarter of the 80 dB range, doubled.
  EXPECT_NEAR(CalculateDelta(Vector3(1, 0, 0), Vector3(1, 0, 0), 0.1f, 1.0f), 0.5f, 1e-6);
}

TEST_F(Spatial, PlacedAfterItsFirstBlockStartsFromTheOpenFilter) {
  System->SpatializationMode = SPATIALIZATION_PSEUDO;
  TZNT1SoundSample* s = Load(std::vector<int16_t>(8192, 16000), 2);
  const int32_t n = s->Play(1.0f, 0.0f, 1.0f, nullptr);
  TZNT1SoundSampleVoice* v = s->Voices[static_cast<size_t>(n)].get();
  Mix(v);
  const int32_t level = Bus[2046];
  ASSERT_GT(level, 11000);
  // Straight ahead, close: the same ear gain as the centre pan, no delay, no damping.
  s->SetPosition(n, 1, Vector3(50, 0, 0), {});
  Mix(v);
  EXPECT_EQ(v->SpatializationLowPassLeftCurrentCoef, 0);
  for (int32_t i : {0, 1, 100, 1023}) {
    EXPECT_NEAR(Bus[static_cast<size_t>(i * 2)], level, 2) << i;
    EXPECT_NEAR(Bus[static_cast<size_t>(i * 2 + 1)], level, 2) << i;
  }
}

TEST_F(Spatial, HRTFLookup) {
  System->SpatializationMode = SPATIALIZATION_HRTF;
  TaggedPreset tagged;
  System->HRTFPreset = &tagged.Preset;
  int32_t e0, e1;
  float fe;
  System->CalcEvIndices(static_cast<float>(-M_PI / 2), e0, e1, fe);
  EXPECT_EQ(e0, 0);
  EXPECT_EQ(e1, 1);
  EXPECT_FLOAT_EQ(fe, 0.0f);
  System->CalcEvIndices(static_cast<float>(M_PI / 2), e0, e1, fe);
  EXPECT_EQ(e0, 18);
  EXPECT_EQ(e1, 18);
  EXPECT_FLOAT_EQ(fe, 0.0f);
  // Wrap-around: just left of ahead lies between the ring's last response and its first.
  int32_t a0, a1;
  float fa;
  System->CalcAzIndices(9, -0.25f * static_cast<float>(2 * M_PI / 72), a0, a1, fa);
  EXPECT_EQ(a0, 71);
  EXPECT_EQ(a1, 0);
  EXPECT_NEAR(fa, 0.75f, 1e-4);

  TZNT1SoundSample* s = Load(std::vector<int16_t>(64, 1000));
  const int32_t ring9 = tagged.EvOffset[9];
  const struct {
    const char* What;
    float X, Y, Z;
    int32_t LeftResponse, RightResponse;
  } cases[] = {
      {"overhead", 0, 0, 100, 827, 827},
      {"below", 0, 0, -100, 0, 0},
      {"ahead", 100, 0, 0, ring9, ring9},
      {"exactly right", 0, -100, 0, ring9 + 18, ring9 + 54},
      {"exactly left", 0, 100, 0, ring9 + 54, ring9 + 18},
      {"exactly behind", -100, 0, 0, ring9 + 36, ring9 + 36},
  };
  for (const auto& c : cases) {
    TZNT1SoundSampleVoice* v = PlayAt(s, c.X, c.Y, c.Z);
    v->UpdateSpatialization();
    EXPECT_NEAR(v->HRTFLeftCoefs[0], (c.LeftResponse + 1) * 65536.0, 2) << c.What;
    EXPECT_NEAR(v->HRTFRightCoefs[0], (c.RightResponse + 1) * 65536.0, 2) << c.What;
    EXPECT_NEAR(v->SpatializationDelayLeft, c.LeftResponse * 65536.0, 2) << c.What;
    EXPECT_NEAR(v->SpatializationDelayRight, c.RightResponse * 65536.0, 2) << c.What;
  }
  // Weights sum to 1 everywhere.
  TaggedPreset constant(true);
  System->HRTFPreset = &constant.Preset;
  int64_t left[32], right[32];
  int32_t dl, dr;
  for (float el = -1.6f; el <= 1.6f; el += 0.13f)
    for (float az = -3.2f; az <= 3.2f; az += 0.07f) {
      System->GetLerpedHRTFCoefs(left, right, dr, dl, az, el);
      ASSERT_NEAR(left[0], 1000 * 65536, 1) << el << " " << az;
      ASSERT_NEAR(right[0], 1000 * 65536, 1);
      ASSERT_NEAR(dl, 10 * 65536, 1);
      ASSERT_NEAR(dr, 10 * 65536, 1);
    }
}

TEST_F(Spatial, HRTFImpulseOnTheLeft) {
  System->SpatializationMode = SPATIALIZATION_HRTF;
  TZNT1SoundSample* s = Load(Impulse());
  // Ahead, above and below, both ears hear the same.
  for (const TZNT1Vector3& at : {Vector3(100, 0, 0), Vector3(0, 0, 100), Vector3(0, 0, -100), Vector3(70, 0, 70)}) {
    TZNT1SoundSampleVoice* v = PlayAt(s, at.x, at.y, at.z);
    v->UpdateSpatialization();
    for (int32_t t = 0; t < 32; ++t) EXPECT_EQ(v->HRTFLeftCoefs[t], v->HRTFRightCoefs[t]) << at.x << " " << at.z << " tap " << t;
    EXPECT_EQ(v->SpatializationDelayLeft, v->SpatializationDelayRight);
  }
  TZNT1SoundSampleVoice* v = PlayAt(s, 0, 100, 0);
  Mix(v);
  EXPECT_EQ(Onset(0), 0);
  EXPECT_EQ(Onset(1), 29);
  double left = 0, right = 0;
  for (int32_t i = 0; i < 1024; ++i) left += std::fabs(Bus[i * 2]), right += std::fabs(Bus[i * 2 + 1]);
  EXPECT_GT(left, 2 * right);
  // Under water the delays shrink to 343.3 / 1522 of the air's.
  System->ListenerUnderwater = true;
  v = PlayAt(s, 0, 100, 0);
  Mix(v);
  EXPECT_EQ(v->SpatializationDelayRight, SoundRound(29 * 0.22555847 * 65536));
  EXPECT_EQ(Onset(1), 6);
}

TEST_F(Spatial, HRTFConvolvesExactlyAcrossBlocks) {
  // Every response the same 32 taps, no delays: an impulse late in a block comes out as the taps,
  // exactly, the last ones in the next block.
  TaggedPreset same;
  int32_t taps[32];
  for (int32_t t = 0; t < 32; ++t) taps[t] = (t % 2 ? -1 : 1) * (32000 - 900 * t);
  for (int32_t i = 0; i < 828; ++i) {
    std::copy(taps, taps + 32, same.Coefs.begin() + i * 32);
    same.Delays[static_cast<size_t>(i)] = 0;
  }
  System->SpatializationMode = SPATIALIZATION_HRTF;
  System->HRTFPreset = &same.Preset;
  std::vector<int16_t> sound(2048, 0);
  sound[1020] = 32767;
  TZNT1SoundSample* s = Load(sound);
  TZNT1SoundSampleVoice* v = PlayAt(s, 30, 40, 0);
  std::vector<int32_t> left;
  for (int32_t block = 0; block < 2; ++block) {
    Mix(v);
    for (int32_t i = 0; i < 1024; ++i) left.push_back(Bus[static_cast<size_t>(i * 2)]);
  }
  for (int32_t i = 0; i < 2048; ++i) {
    const int32_t t = i - 1020;
    const int32_t expected = t >= 0 && t < 32 ? (taps[t] * 32767) / 32768 : 0;
    ASSERT_EQ(left[static_cast<size_t>(i)], expected) << i;
  }
}

TEST_F(Spatial, HRTFTapRampsSpanTheWholeRange) {
  // Taps at the two ends of the 1.15 range: a turn from one to the other ramps through 3.45e9
  // in the 16-bit-shifted taps.
  TaggedPreset extremes;
  for (int32_t i = 0; i < 828; ++i) extremes.Coefs[static_cast<size_t>(i) * 32] = i == extremes.EvOffset[9] ? 32443 : -20231;
  System->SpatializationMode = SPATIALIZATION_HRTF;
  System->HRTFPreset = &extremes.Preset;
  TZNT1SoundSample* s = Load(std::vector<int16_t>(8192, 20000), 2);
  TZNT1SoundSampleVoice* v = PlayAt(s, 100, 0, 0);
  Mix(v);
  EXPECT_EQ(v->HRTFLeftCoefsCurrent[0], int64_t(32443) << 16);
  s->SetPosition(v->Index, 1, Vector3(-100, 0, 0), {});
  Mix(v);
  EXPECT_EQ(v->HRTFLeftCoefs[0], int64_t(-20231) << 16);
  EXPECT_EQ(v->HRTFLeftCoefsCurrent[0], v->HRTFLeftCoefs[0]);
  EXPECT_EQ(v->HRTFRampingRemain, 0);
  // The bus went down linearly from the loud positive tap to the negative one.
  EXPECT_GT(Bus[0], 15000);
  EXPECT_LT(Bus[2046], -9000);
}

namespace {

// A mode-1 voice's per-run state, copied out so that a run can be replayed on it.
struct PseudoRun {
  int64_t Position, Increment, Gain[2], GainStep[2];
  int32_t Coef[2], CoefStep[2], Delay[2], DelayStep[2], H0[2], H1[2], Index[2];
  std::vector<int32_t> Line[2];

  explicit PseudoRun(const TZNT1SoundSampleVoice& v)
      : Position(v.Position),
        Increment(v.MixIncrement),
        Gain{v.VolumeLeftCurrent, v.VolumeRightCurrent},
        GainStep{v.VolumeLeftIncrement, v.VolumeRightIncrement},
        Coef{v.SpatializationLowPassLeftCurrentCoef, v.SpatializationLowPassRightCurrentCoef},
        CoefStep{v.SpatializationLowPassLeftIncrementCoef, v.SpatializationLowPassRightIncrementCoef},
        Delay{v.SpatializationDelayLeftCurrent, v.SpatializationDelayRightCurrent},
        DelayStep{v.SpatializationDelayLeftIncrement, v.SpatializationDelayRightIncrement},
        H0{v.SpatializationLowPassLeftHistory[0], v.SpatializationLowPassRightHistory[0]},
        H1{v.SpatializationLowPassLeftHistory[1], v.SpatializationLowPassRightHistory[1]},
        Index{v.SpatializationDelayLeftIndex, v.SpatializationDelayRightIndex},
        Line{v.SpatializationDelayLeftLine, v.SpatializationDelayRightLine} {}

  void Restore(TZNT1SoundSampleVoice& v) const {
    v.Position = Position;
    v.MixIncrement = Increment;
    v.VolumeLeftCurrent = Gain[0], v.VolumeRightCurrent = Gain[1];
    v.VolumeLeftIncrement = GainStep[0], v.VolumeRightIncrement = GainStep[1];
    v.SpatializationLowPassLeftCurrentCoef = Coef[0], v.SpatializationLowPassRightCurrentCoef = Coef[1];
    v.SpatializationLowPassLeftIncrementCoef = CoefStep[0], v.SpatializationLowPassRightIncrementCoef = CoefStep[1];
    v.SpatializationDelayLeftCurrent = Delay[0], v.SpatializationDelayRightCurrent = Delay[1];
    v.SpatializationDelayLeftIncrement = DelayStep[0], v.SpatializationDelayRightIncrement = DelayStep[1];
    v.SpatializationLowPassLeftHistory[0] = H0[0], v.SpatializationLowPassRightHistory[0] = H0[1];
    v.SpatializationLowPassLeftHistory[1] = H1[0], v.SpatializationLowPassRightHistory[1] = H1[1];
    v.SpatializationDelayLeftIndex = Index[0], v.SpatializationDelayRightIndex = Index[1];
    v.SpatializationDelayLeftLine = Line[0], v.SpatializationDelayRightLine = Line[1];
  }

  bool operator==(const PseudoRun&) const = default;

  // The run frame by frame: both ears' gain, two low-pass stages and fractional delay, every
  // ramp stepped after each frame.
  void Mix(const int32_t* Data, int32_t Mask, int32_t* Buffer, int32_t Count) {
    for (int32_t k = 0; k < Count; ++k) {
      const int64_t i = Position >> 32;
      const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(Position) >> 20);
      for (int32_t c = 0; c < 2; ++c) {
        const int32_t* a = Data + i * 2 + c;
        const int64_t v = a[0] + ((a[2] - a[0]) * f) / 4096;
        const int64_t x = (Gain[c] / 65536 * v) / 32768, p = Coef[c] / 65536;
        const int64_t h0 = x + (p * (H0[c] - x)) / 16384, h1 = h0 + (p * (H1[c] - h0)) / 16384;
        H0[c] = static_cast<int32_t>(h0);
        H1[c] = static_cast<int32_t>(h1);
        int32_t* line = Line[c].data();
        line[Index[c]] = H1[c];
        int32_t out = H1[c];
        if (Delay[c] >= 16) {
          const int32_t whole = Delay[c] >> 16, part = (Delay[c] & 65535) >> 4;
          const int64_t x0 = line[(Index[c] - whole) & Mask], x1 = line[(Index[c] - whole - 1) & Mask];
          out = static_cast<int32_t>(x0 + ((x1 - x0) * part) / 4096);
        }
        Index[c] = (Index[c] + 1) & Mask;
        Buffer[k * 2 + c] += out;
        Gain[c] += GainStep[c];
        Coef[c] += CoefStep[c];
        Delay[c] += DelayStep[c];
      }
      Position += Increment;
    }
  }
};

}  // namespace

TEST_F(Spatial, PseudoRunsMatchTheFrameByFrameMix) {
  // 64 looping full-scale noise voices at assorted rates circle a walking, turning listener.
  // After every block each voice's next run is mixed by the mixer and frame by frame from the
  // same state, as it stands and bent to the edges of the 32-bit fast path and beyond them.
  System->SpatializationMode = SPATIALIZATION_PSEUDO;
  std::mt19937 rng(18);
  std::vector<TZNT1SoundSampleVoice*> voices;
  for (int32_t i = 0; i < 4; ++i) {
    std::vector<int16_t> noise(30000 + i * 777);
    for (int16_t& n : noise) n = static_cast<int16_t>(rng());
    noise[100] = -32768;
    TMemoryStream stream(Mono16(noise));
    TZNT1SoundSample* s = System->Samples->Load("n" + std::to_string(i), &stream, 2, 16);
    ASSERT_NE(s, nullptr);
    // One sample beyond 16 bits (its interpolation products still inside 32) fills the delay
    // lines with values past 18 bits.
    if (i == 3)
      for (int32_t j = -ZSSSampleFixUp; j < s->SampleLength + ZSSSampleFixUp; ++j) s->At(j, 0) *= 6, s->At(j, 1) *= 6;
    for (int32_t v = 0; v < 16; ++v) {
      s->Play(1.0f, 0.0f, 0.5f + 0.1f * v, nullptr);
      voices.push_back(s->Voices[static_cast<size_t>(v)].get());
    }
  }
  const int32_t mask = System->SpatializationDelayMask;
  const struct {
    const char* What;
    void (*Bend)(TZNT1SoundSampleVoice&, int32_t Mask);
  } bends[] = {
      {"as mixed", [](TZNT1SoundSampleVoice&, int32_t) {}},
      {"open filters",
       [](TZNT1SoundSampleVoice& v, int32_t) {
         v.SpatializationLowPassLeftCurrentCoef = v.SpatializationLowPassRightCurrentCoef = 0;
       }},
      {"poles at 1",
       [](TZNT1SoundSampleVoice& v, int32_t) {
         v.SpatializationLowPassLeftCurrentCoef = v.SpatializationLowPassRightCurrentCoef = 1 << 30;
       }},
      {"poles past 1",
       [](TZNT1SoundSampleVoice& v, int32_t) { v.SpatializationLowPassLeftCurrentCoef = (1 << 30) + (1 << 16); }},
      {"full and inverted gains",
       [](TZNT1SoundSampleVoice& v, int32_t) {
         v.VolumeLeftCurrent = int64_t(32768) << 16;
         v.VolumeRightCurrent = int64_t(-32767) << 16;
       }},
      {"gains past 1",
       [](TZNT1SoundSampleVoice& v, int32_t) {
         v.VolumeLeftCurrent = int64_t(-32768) << 16;
         v.VolumeRightCurrent = int64_t(40000) << 16;
       }},
      {"longest delays",
       [](TZNT1SoundSampleVoice& v, int32_t m) {
         v.SpatializationDelayLeftCurrent = ((m - 2) << 16) | 0xFFFF;
         v.SpatializationDelayRightCurrent = (m - 1) << 16;
       }},
      {"delays past the line",
       [](TZNT1SoundSampleVoice& v, int32_t m) { v.SpatializationDelayLeftCurrent = (m + 3) << 16; }},
      {"ramps across whole blocks",
       [](TZNT1SoundSampleVoice& v, int32_t) {
         v.VolumeLeftIncrement = -v.VolumeLeftCurrent / 4000;
         v.SpatializationLowPassRightIncrementCoef = ((1 << 30) - v.SpatializationLowPassRightCurrentCoef) / 4000;
         v.SpatializationDelayLeftIncrement = ((20 << 16) - v.SpatializationDelayLeftCurrent) / 4000;
       }},
  };
#ifdef ZNT1_SANITIZE
  const int32_t blocks = 8;
#else
  const int32_t blocks = 24;
#endif
  std::vector<int32_t> expected(6000), actual(6000);
  int64_t steady = 0, total = 0;
  auto CompareNextRun = [&](TZNT1SoundSampleVoice& v, int32_t block) {
    if (!v.Active) return;
    // The next run as the mixer would cut it, had it blocks of 3,000 frames.
    v.MixIncrement = v.IncrementCurrent >> 16;
    int32_t n = v.VolumeRampingRemain > 0 ? std::min(3000, v.VolumeRampingRemain) : 3000;
    n = v.GetSampleLength(v.SpatializationRunLimit(n));
    if (n == 0) return;
    const PseudoRun before(v);
    for (const auto& bend : bends) {
      before.Restore(v);
      bend.Bend(v, mask);
      PseudoRun reference(v);
      std::fill(expected.begin(), expected.end(), 7);
      std::fill(actual.begin(), actual.end(), 7);
      reference.Mix(v.Sample->Data, mask, expected.data(), n);
      if (reference.GainStep[0] == 0 && reference.GainStep[1] == 0 && reference.CoefStep[0] == 0 &&
          reference.CoefStep[1] == 0 && reference.DelayStep[0] == 0 && reference.DelayStep[1] == 0)
        steady += n;
      total += n;
      v.MixProcSpatializationPSEUDO(actual.data(), n);
      ASSERT_EQ(actual, expected) << bend.What << ", block " << block << ", voice " << v.Index;
      ASSERT_TRUE(PseudoRun(v) == reference) << bend.What << ", block " << block << ", voice " << v.Index;
    }
    before.Restore(v);
  };
  for (int32_t block = 0; block < blocks; ++block) {
    const float t = static_cast<float>(block) * 0.05f, yaw = t * 0.7f;
    System->ListenerOrigin = Vector3(0.0f, 60.0f * t, 0.0f);
    System->ListenerVelocity = Vector3(0.0f, 1200.0f, 0.0f);
    System->ListenerMatrix = Matrix4x4Identity;
    System->ListenerMatrix.M[0][0] = System->ListenerMatrix.M[1][1] = std::cos(yaw);
    System->ListenerMatrix.M[0][1] = -std::sin(yaw);
    System->ListenerMatrix.M[1][0] = std::sin(yaw);
    for (size_t k = 0; k < voices.size(); ++k) {
      const float a = t * (1.0f + 0.05f * static_cast<float>(k)) + static_cast<float>(k), r = 30.0f + 20.0f * k;
      voices[k]->Sample->SetPosition(voices[k]->Index, 1,
                                     Vector3(r * std::cos(a), 60.0f * t + r * std::sin(a), (k % 3) * 40.0f - 40.0f),
                                     Vector3(-300.0f * std::sin(a), 300.0f * std::cos(a), 0.0f));
    }
    // Before the block the runs ramp towards the new placements; after it they are steady.
    for (TZNT1SoundSampleVoice* v : voices) {
      v->UpdateSpatialization();
      v->UpdateIncrementRamping();
      v->UpdateVolumeRamping(System->SampleVolume);
      v->UpdateSpatializationDelayRamping();
      v->UpdateSpatializationLowPassRamping();
      CompareNextRun(*v, block);
    }
    System->FillBuffer();
    for (TZNT1SoundSampleVoice* v : voices) CompareNextRun(*v, block);
  }
  // Both kinds of run were met, the steady ones most.
  EXPECT_GT(steady, total / 2);
  EXPECT_LT(steady, total);
}
