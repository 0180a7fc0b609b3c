#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1StringList.h"
#include "sound/ZNT1Sound.h"
#include "support/SoundTestSupport.h"
#include "support/TestData.h"

using namespace soundtest;

namespace {

constexpr bool Sanitizing = testdata::Sanitizing;

struct Streams : ::testing::Test {
  std::unique_ptr<TZNT1SoundSystem> System = std::make_unique<TZNT1SoundSystem>(nullptr, 44100, 2, 16, 1024);
  std::vector<int32_t> Bus = std::vector<int32_t>(2048);
  void SetUp() override { System->Lock(); }

  TZNT1SoundOGG* LoadStream(const Bytes& File, const std::string& Name = "o") {
    TMemoryStream stream(File);
    return System->OGGs->Load(Name, &stream);
  }
  TZNT1SoundSample* LoadSample(const Bytes& File, const std::string& Name = "s") {
    TMemoryStream stream(File);
    return System->Samples->Load(Name, &stream, 0, 1);
  }
  // A stream without a file, fed through InBuffer: Frames frames from Source, then the end.
  std::unique_ptr<TZNT1SoundOGG> Fed(int32_t Rate, const std::function<int32_t(int32_t)>& Source,
                                     int32_t Frames = 4096) {
    auto o = std::make_unique<TZNT1SoundOGG>(System.get(), nullptr);
    o->SampleRate = Rate;
    o->Channels = 1;
    o->InitSINC();
    o->Play(1.0f, 0.0f, 1.0f, false);
    for (int32_t i = 0; i < Frames; ++i) o->InBuffer[static_cast<size_t>(i) * 2] = o->InBuffer[i * 2 + 1] = Source(i);
    o->InBufferSize = Frames;
    return o;
  }
  // Everything the resampler hands out until the stream is played out (at most Limit frames).
  static std::vector<int32_t> Drain(TZNT1SoundOGG& o, size_t Limit = 1 << 24) {
    std::vector<int32_t> out;
    for (;;) {
      o.Resample();
      if (o.OutBufferSize == 0 || out.size() / 2 >= Limit) break;
      out.insert(out.end(), o.OutBuffer.begin(), o.OutBuffer.begin() + o.OutBufferSize * 2);
    }
    return out;
  }
  // Mixes the stream alone until it stops; the frames it played.
  int64_t PlayOut(TZNT1SoundOGG& o, int32_t MaxBlocks = 100000) {
    for (int32_t b = 0; b < MaxBlocks && o.IsPlaying(); ++b) {
      std::fill(Bus.begin(), Bus.end(), 0);
      o.MixTo(Bus.data(), System->OGGVolume);
    }
    return o.Age;
  }
};

double Rms(const std::vector<int32_t>& Frames, size_t From, size_t To) {
  double sum = 0;
  for (size_t i = From; i < To; ++i) sum += double(Frames[i * 2]) * Frames[i * 2];
  return std::sqrt(sum / double(To - From));
}

// The granule position of the last page: the file's length in frames.
int64_t OggLength(const Bytes& File) {
  const std::vector<size_t> pages = OggPages(File);
  int64_t granule = 0;
  if (!pages.empty()) std::memcpy(&granule, &File[pages.back() + 6], 8);
  return granule;
}

// An Ogg from the reference-encoder helper (a 400 Hz tone per channel at 0.3 of full scale).
Bytes EncodedOgg(int Channels, long Rate, long Frames) {
  char folder[] = "/tmp/znt1-stream-XXXXXX";
  if (!::mkdtemp(folder)) return {};
  const std::string path = std::string(folder) + "/t.ogg";
  const std::string command = std::string(ZNT1_OGG_TOOL) + " encode " + path + " " + std::to_string(Channels) + " " +
                              std::to_string(Rate) + " " + std::to_string(Frames);
  const int status = std::system(command.c_str());
  Bytes file = status == 0 ? testdata::ReadFile(path) : Bytes{};
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return file;
}

}  // namespace

TEST_F(Streams, ResamplerPaths) {
  // Mix rate: plain copy.
  auto copy = Fed(44100, [](int32_t i) { return i * 7 - 9000; });
  EXPECT_EQ(copy->ResamplerIncrement, int64_t(1) << 32);
  const std::vector<int32_t> copied = Drain(*copy);
  ASSERT_EQ(copied.size(), 4096u * 2);
  for (int32_t i = 0; i < 4096; ++i) ASSERT_EQ(copied[static_cast<size_t>(i) * 2], i * 7 - 9000) << i;

  // Half rate: the cubic path lands on whole input frames every other output frame.
  std::mt19937 rng(3);
  std::vector<int32_t> noise(4096);
  for (int32_t& v : noise) v = static_cast<int32_t>(rng() % 60001) - 30000;
  auto half = Fed(22050, [&](int32_t i) { return noise[static_cast<size_t>(i)]; });
  EXPECT_EQ(half->ResamplerOriginalIncrement, int64_t(1) << 31);
  const std::vector<int32_t> halved = Drain(*half);
  for (size_t m = 2; m < 4096; ++m) ASSERT_EQ(halved[(2 * m + 1) * 2], noise[m - 2]) << m;
  // Played out to the input's last frame and its interpolation tail, not cut at the ring.
  EXPECT_GE(halved.size() / 2, 8192u);
  EXPECT_LE(halved.size() / 2, 8192u + 8);

  // 48 kHz: windowed sinc, cutoff 44,100 / 48,000.
  auto fast = Fed(48000, [](int32_t) { return 0; });
  EXPECT_EQ(fast->Table[2048 * 8 + 4], SoundRound(0.91875 * 32768));
  for (int32_t r = 0; r < 4096; r += 97) {
    int32_t sum = 0;
    for (int32_t k = 0; k < 8; ++k) sum += fast->Table[static_cast<size_t>(r * 8 + k)];
    EXPECT_NEAR(sum, 32768, 32768 * 0.01) << r;
  }
  // Both filtering paths keep a 1 kHz sine's level within 1%.
  for (int32_t rate : {32000, 48000}) {
    auto sine = Fed(rate, [rate](int32_t i) { return int32_t(std::lround(10000 * std::sin(2 * M_PI * 1000 * i / rate))); });
    const std::vector<int32_t> out = Drain(*sine);
    EXPECT_NEAR(Rms(out, 200, 3500) * std::sqrt(2.0), 10000, 100) << rate;
  }
}

TEST_F(Streams, PanLawAndGainRamp) {
  auto o = Fed(44100, [](int32_t) { return 16384; });
  EXPECT_EQ(o->VolLeftCurrent, 2048 << 12);
  EXPECT_EQ(o->VolRightCurrent, 2048 << 12);
  o->MixTo(Bus.data(), System->OGGVolume);
  EXPECT_EQ(Bus[0], 8192);
  EXPECT_EQ(Bus[2047], 8192);
  o->SetPanning(1.0f);
  std::fill(Bus.begin(), Bus.end(), 0);
  o->MixTo(Bus.data(), System->OGGVolume);
  // Linear over 441 frames to hard right.
  for (int32_t i = 1; i < 440; ++i) {
    const int32_t step = Bus[static_cast<size_t>(i * 2)] - Bus[static_cast<size_t>((i - 1) * 2)];
    // The gain falls 19,021 / 4,096 a frame: the bus by 16 or 20.
    ASSERT_GE(step, -20) << i;
    ASSERT_LE(step, -16) << i;
  }
  EXPECT_EQ(Bus[440 * 2], 0);
  EXPECT_EQ(Bus[440 * 2 + 1], (16384 * 4095) >> 12);
  EXPECT_EQ(Bus[1023 * 2], 0);
  EXPECT_EQ(o->VolumeRampingRemain, 0);
}

TEST_F(Streams, LoudStreamAndMixerVolumeStayInRange) {
  // Volume 2 and a mixer volume of 2^31 / 4096: the gain saturates instead of overflowing.
  auto o = Fed(44100, [](int32_t) { return 32767; });
  o->Play(2.0f, 0.0f, 1.0f, false);
  o->InBufferSize = 4096;
  o->MixTo(Bus.data(), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(Bus[0], (32767 * 4095) >> 12);
  EXPECT_EQ(Bus[1], (32767 * 4095) >> 12);
}

TEST_F(Streams, OpenArenaMonoEffectsCopyFrameForFrame) {
  REQUIRE_CONTENT_DIR();
  Content content(true);  // the stock effects: other archives' Oggs are checked in SoundContent
  ASSERT_TRUE(content.Ok);
  size_t checked = 0;
  for (const std::string& name : content.Find("sound/*.ogg")) {
    SCOPED_TRACE(name);
    const Bytes file = content.Extract(name);
    TZNT1SoundSample* s = LoadSample(file, name);
    TZNT1SoundOGG* o = LoadStream(file, name);
    ASSERT_NE(s, nullptr);
    ASSERT_NE(o, nullptr);
    ASSERT_EQ(o->SampleRate, 44100);
    ASSERT_EQ(o->Channels, 1);
    o->Play(1.0f, 0.0f, 1.0f, false);
    const std::vector<int32_t> out = Drain(*o);
    ASSERT_EQ(static_cast<int64_t>(out.size() / 2), s->SampleLength);
    for (int32_t f = 0; f < s->SampleLength; ++f) {
      ASSERT_EQ(out[static_cast<size_t>(f) * 2], s->At(f, 0)) << f;
      ASSERT_EQ(out[static_cast<size_t>(f) * 2 + 1], s->At(f, 1)) << f;
    }
    // Through the mixer every frame is heard, then the stream stops.
    o->Play(1.0f, 0.0f, 1.0f, false);
    EXPECT_EQ(PlayOut(*o), s->SampleLength);
    EXPECT_FALSE(o->IsPlaying());

    if (checked == 0) {
      // Looping wraps straight back to the first frame.
      o->Play(1.0f, 0.0f, 1.0f, true);
      const size_t length = static_cast<size_t>(s->SampleLength);
      const std::vector<int32_t> looped = Drain(*o, length * 5 / 2);
      ASSERT_GE(looped.size() / 2, length * 5 / 2);
      for (size_t f = 0; f < length * 5 / 2; ++f)
        ASSERT_EQ(looped[f * 2], s->At(static_cast<int32_t>(f % length), 0)) << f;
      EXPECT_TRUE(o->IsPlaying());
    }
    s->DecRef();
    ++checked;
  }
  EXPECT_EQ(checked, 14u);
}

TEST_F(Streams, OpenArenaMusicPlaysToItsLastFrame) {
  REQUIRE_CONTENT_DIR();
  Content content(true);  // the stock music
  ASSERT_TRUE(content.Ok);
  const std::vector<std::string> names = content.Find("music/*.ogg");
  ASSERT_EQ(names.size(), 7u);
  for (size_t i = 0; i < names.size(); ++i) {
    if (Sanitizing && i > 0) break;  // decode time dominates: one file is enough there
    SCOPED_TRACE(names[i]);
    const Bytes file = content.Extract(names[i]);
    TZNT1SoundOGG* o = LoadStream(file, names[i]);
    ASSERT_NE(o, nullptr);
    ASSERT_EQ(o->SampleRate, 32000);
    ASSERT_EQ(o->Channels, 2);
    o->Play(1.0f, 0.0f, 1.0f, false);
    EXPECT_LT(o->ResamplerIncrement, int64_t(1) << 32);  // cubic
    const double expected = OggLength(file) * 44100.0 / 32000.0;
    // The first through the whole mixing block, the others through the stream's own mixing.
    int64_t blocks = 0;
    while (o->IsPlaying() && blocks < 20000) {
      if (i == 0)
        System->FillBuffer();
      else
        o->MixTo(Bus.data(), System->OGGVolume);
      ++blocks;
    }
    EXPECT_FALSE(o->IsPlaying());
    // Every frame is heard: the last decoded block and the resampler's few frames of look-ahead
    // play out before the stream stops.
    EXPECT_NEAR(static_cast<double>(o->Age), expected, 8.0);
    EXPECT_NEAR(static_cast<double>(blocks) * 1024, expected, 1024.0);
    delete o;
  }
  EXPECT_EQ(System->OGGs->Count(), 0);
}

TEST_F(Streams, FortyEightKilohertzOggTakesTheSincPath) {
  const Bytes file = EncodedOgg(1, 48000, 24000);
  ASSERT_FALSE(file.empty());
  TZNT1SoundOGG* o = LoadStream(file);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->SampleRate, 48000);
  o->Play(1.0f, 0.0f, 1.0f, false);
  EXPECT_EQ(o->ResamplerIncrement, o->ResamplerOriginalIncrement);
  EXPECT_GT(o->ResamplerIncrement, int64_t(1) << 32);
  const std::vector<int32_t> out = Drain(*o);
  EXPECT_NEAR(static_cast<double>(out.size() / 2), 24000 * 44100.0 / 48000.0, 8);
  EXPECT_NEAR(Rms(out, 4000, 18000) * std::sqrt(2.0), 0.3 * 32767, 0.3 * 32767 * 0.02);
  // The library shares by name and lets go on delete.
  EXPECT_EQ(LoadStream(Bytes{}, "o"), o);
  EXPECT_EQ(System->OGGs->GetItem(0), o);
  EXPECT_EQ(System->OGGs->GetItem(1), nullptr);
  delete o;
  EXPECT_EQ(System->OGGs->Count(), 0);
  EXPECT_EQ(LoadStream(Bytes{'O', 'g', 'g', 'S', 0}, "bad"), nullptr);
}

TEST_F(Streams, DamagedOggsPlayToTheirEnd) {
  REQUIRE_CONTENT_DIR();
  Content content;
  ASSERT_TRUE(content.Ok);
  const Bytes file = content.Extract("sound/player/neko/fall1.ogg");
  ASSERT_FALSE(file.empty());
  auto play = [&](const Bytes& damaged, const std::string& what) {
    TZNT1SoundOGG* o = LoadStream(damaged, "d");
    if (!o) return;
    o->Play(1.0f, 0.0f, 1.0f, false);
    const std::vector<int32_t> out = Drain(*o, 1 << 20);
    ASSERT_LT(out.size() / 2, size_t(1) << 20) << what;
    // Looping, it keeps playing (or ends when nothing decodes) without hanging.
    o->Play(1.0f, 0.0f, 1.0f, true);
    PlayOut(*o, 4);
    delete o;
  };
  for (size_t n = 0; n < file.size(); ++n) play(Bytes(file.begin(), file.begin() + n), "truncated");
  std::mt19937 rng(18);
  for (int32_t round = 0; round < 300; ++round) {
    Bytes damaged = file;
    for (int32_t k = 0; k < 4; ++k) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 << (rng() % 8));
    play(damaged, "flipped");
  }
}

TEST_F(Streams, LoudMixUnderWaterAndSurfacing) {
  // Sixteen full-scale voices circling the listener on the effect bus, a stream at volume 2;
  // the sanitizer pass watches every product on the way.
  std::vector<int16_t> square(4096);
  for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 50) % 2 ? 32767 : -32768;
  TMemoryStream wav(Mono16(square));
  TZNT1SoundSample* s = System->Samples->Load("loud", &wav, 2, 16);
  ASSERT_NE(s, nullptr);
  TZNT1SoundOGG* o = LoadStream(EncodedOgg(1, 44100, 44100));
  ASSERT_NE(o, nullptr);
  System->SetMixerMasterVolume(1.5f);
  for (int32_t mode : {SPATIALIZATION_PSEUDO, SPATIALIZATION_HRTF, SPATIALIZATION_FAST}) {
    System->SpatializationMode = mode;
    o->Play(2.0f, 0.0f, 1.0f, true);
    for (int32_t i = 0; i < 16; ++i) {
      const int32_t n = s->Play(1.0f, 0.0f, 1.0f + i * 0.01f, nullptr);
      s->SetEffectMix(n, 1);
    }
    for (int32_t block = 0; block < 48; ++block) {
      System->ListenerUnderwater = (block / 12) % 2 == 1;
      System->ListenerVelocity = Vector3(300.0f * (block % 3) - 300.0f, 0, 0);
      for (int32_t i = 0; i < 16; ++i) {
        const float a = static_cast<float>(block * 0.4 + i * 0.39), r = 10.0f + i * 30.0f;
        s->SetPosition(i, 1, Vector3(r * std::cos(a), r * std::sin(a), i % 3 * 40.0f - 40.0f),
                       Vector3(-200.0f * std::sin(a), 200.0f * std::cos(a), 0));
      }
      System->FillBuffer();
      if (block == 30) o->SetVolume(2.0f), o->SetPanning(-1.0f);
    }
    EXPECT_LT(System->AGC, 256);
    for (int32_t i = 0; i < 16; ++i) s->Stop(i);
    System->FillBuffer();
  }
  s->DecRef();
}
