#include <gtest/gtest.h>

#include <tremor/ivorbiscodec.h>
#include <tremor/ivorbisfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1StringList.h"
#include "sound/ZNT1Sound.h"
#include "support/SoundTestSupport.h"
#include "support/TestData.h"

using namespace soundtest;

namespace {

struct TempFolder {
  std::filesystem::path Path;
  TempFolder() {
    char tmpl[] = "/tmp/znt1-sound-XXXXXX";
    Path = ::mkdtemp(tmpl);
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(Path, ec);
  }
  std::string Write(const std::string& Name, const Bytes& Data) const {
    const std::filesystem::path p = Path / Name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(Data.data()), static_cast<std::streamsize>(Data.size()));
    return p.string();
  }
};

// Runs the reference-library helper; its standard output.
std::string RunOggTool(const std::string& Arguments) {
  const std::string command = std::string(ZNT1_OGG_TOOL) + " " + Arguments;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return {};
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  EXPECT_EQ(::pclose(p), 0) << command;
  return out;
}

// A plain integer-decoder run over the file: interleaved 16-bit frames, channel count and rate.
struct PlainDecode {
  std::vector<int16_t> Pcm;
  int Channels = 0;
  long Rate = 0;
};

PlainDecode DecodePlain(const Bytes& File) {
  PlainDecode d;
  FILE* f = ::fmemopen(const_cast<uint8_t*>(File.data()), File.size(), "rb");
  OggVorbis_File vf;
  if (ov_open(f, &vf, nullptr, 0) != 0) {
    std::fclose(f);
    return d;
  }
  d.Channels = ov_info(&vf, -1)->channels;
  d.Rate = ov_info(&vf, -1)->rate;
  char buffer[8192];
  int bitstream = 0;
  for (;;) {
    const long n = ov_read(&vf, buffer, sizeof buffer, &bitstream);
    if (n == OV_HOLE) continue;
    if (n <= 0) break;
    const size_t at = d.Pcm.size();
    d.Pcm.resize(at + static_cast<size_t>(n) / 2);
    std::memcpy(d.Pcm.data() + at, buffer, static_cast<size_t>(n));
  }
  ov_clear(&vf);  // closes f
  return d;
}

// Down-mix of one interleaved frame, in the decoder's channel order.
std::pair<int32_t, int32_t> Fold(const int16_t* s, int Channels) {
  switch (Channels) {
    case 1: return {s[0], s[0]};
    case 3: return {(s[0] + s[1]) >> 1, (s[2] + s[1]) >> 1};
    case 4: return {(s[0] + s[2]) >> 1, (s[1] + s[3]) >> 1};
    case 5: return {(s[0] + s[1] + s[3]) / 3, (s[1] + s[2] + s[4]) / 3};
    case 6: return {(s[0] + s[1] + s[3] + s[5]) >> 2, (s[1] + s[2] + s[4] + s[5]) >> 2};
    default: return {s[0], s[1]};
  }
}

void ExpectFramesEqualPlainDecode(TZNT1SoundSample* s, const PlainDecode& d) {
  const int64_t frames = static_cast<int64_t>(d.Pcm.size()) / d.Channels;
  ASSERT_EQ(s->SampleLength, frames);
  for (int64_t f = 0; f < frames; ++f) {
    const auto [l, r] = Fold(d.Pcm.data() + f * d.Channels, d.Channels);
    ASSERT_EQ(s->At(static_cast<int32_t>(f), 0), l) << f;
    ASSERT_EQ(s->At(static_cast<int32_t>(f), 1), r) << f;
  }
}

struct SoundContent : ::testing::Test {
  std::unique_ptr<TZNT1SoundSystem> System = std::make_unique<TZNT1SoundSystem>(nullptr, 44100, 2, 16, 1024);
  void SetUp() override { System->Lock(); }
};

constexpr size_t ContentStride = testdata::Sanitizing ? 8 : 1;  // the sanitizer pass samples the content

}  // namespace

TEST_F(SoundContent, EveryOpenArenaWavDecodesExactly) {
  REQUIRE_CONTENT_DIR();
  Content content;
  ASSERT_TRUE(content.Ok);
  // Every archive's own files, also those a later archive replaces; the stock archives' first,
  // so that the sanitizer's sample of them stays the same whatever else the folder holds.
  std::vector<std::pair<TZNT1Archive*, std::string>> names;
  size_t stock = 0;
  for (const bool wantStock : {true, false})
    for (int32_t a = 0; a < content.Archives.Count(); ++a) {
      TZNT1Archive* archive = content.Archives.GetItem(a);
      if (testdata::IsStockArchive(archive->Name) != wantStock) continue;
      TStringList list;
      archive->FindFiles("*.wav", &list);
      for (const std::string& n : list.Strings) names.emplace_back(archive, n);
      if (wantStock) stock = names.size();
    }
  EXPECT_EQ(stock, 518u);
  std::map<int, int> bits, channels;
  for (size_t i = 0; i < names.size(); ++i) {
    if ((i < stock ? i : i - stock) % ContentStride) continue;
    SCOPED_TRACE(names[i].first->Name + ":" + names[i].second);
    std::unique_ptr<TMemoryStream> stream = names[i].first->ExtractFile(names[i].second);
    ASSERT_NE(stream, nullptr);
    const RiffInfo info = WalkRiff(stream->Data);
    ASSERT_TRUE(info.Ok);
    ASSERT_EQ(info.Tag, 1);
    if (i < stock) {
      ASSERT_EQ(info.Channels, 1);  // the stock sounds are all mono
      ++bits[info.Bits];
    }
    ASSERT_TRUE(info.Channels == 1 || info.Channels == 2) << info.Channels;
    ++channels[info.Channels];
    TZNT1SoundSample* s = System->Samples->Load(names[i].second, stream.get(), 0, 1);
    ASSERT_NE(s, nullptr);
    // Interleaved frames; mono plays the same on both sides.
    const int32_t bytes = info.Bits / 8, width = bytes * info.Channels;
    ASSERT_EQ(s->SampleLength, static_cast<int32_t>(info.DataSize / width));
    ASSERT_EQ(s->SampleRate, static_cast<int32_t>(info.Rate));
    const uint8_t* d = stream->Data.data() + info.DataOffset;
    for (int32_t f = 0; f < s->SampleLength; ++f)
      for (int32_t side = 0; side < 2; ++side) {
        const uint8_t* v = d + f * width + (info.Channels == 2 ? side * bytes : 0);
        ASSERT_EQ(s->At(f, side), bytes == 1 ? (v[0] - 128) * 256 : static_cast<int16_t>(Get16(v))) << f << " " << side;
      }
    s->DecRef();
  }
  EXPECT_GT(bits[8], 0);
  EXPECT_GT(bits[16], 0);
  std::printf("%zu WAV entries, %zu beyond the stock archives; %d mono and %d stereo decoded\n", names.size(),
              names.size() - stock, channels[1], channels[2]);
  EXPECT_EQ(System->Samples->Count(), 0);
}

TEST_F(SoundContent, EveryOpenArenaOggDecodesLikeThePlainDecoder) {
  REQUIRE_CONTENT_DIR();
  // The stock archives' files (each once, the copy the engine picks among them) are counted;
  // a file another archive supplies is decoded as well.
  Content stock(true), content;
  ASSERT_TRUE(stock.Ok);
  ASSERT_TRUE(content.Ok);
  std::vector<std::pair<Content*, std::string>> names;
  for (const std::string& n : stock.Find("*.ogg")) names.emplace_back(&stock, n);
  const size_t stockCount = names.size();
  ASSERT_EQ(stockCount, 21u);
  TStringList all;
  std::vector<TZNT1Archive*> owners;
  content.Archives.FindFiles("*.ogg", &all, &owners);
  for (size_t i = 0; i < all.Strings.size(); ++i)
    if (!testdata::IsStockArchive(owners[i]->Name)) names.emplace_back(&content, all.Strings[i]);
  TempFolder temp;
  std::string files;
  std::map<std::string, std::pair<int64_t, int32_t>> loaded;
  std::map<std::pair<int, long>, int> kinds;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i].second;
    // The sanitizer pass keeps the short effects and one music file.
    if (ContentStride > 1 && name != "music/OA02.ogg" && name.rfind("sound/", 0) != 0) continue;
    SCOPED_TRACE(name);
    const Bytes file = names[i].first->Extract(name);
    TMemoryStream stream(file);
    TZNT1SoundSample* s = System->Samples->Load(name, &stream, 0, 1);
    ASSERT_NE(s, nullptr);
    const PlainDecode d = DecodePlain(file);
    if (i < stockCount) ++kinds[{d.Channels, d.Rate}];
    ExpectFramesEqualPlainDecode(s, d);
    loaded[temp.Write(std::to_string(i) + ".ogg", file)] = {s->SampleLength, s->SampleRate};
    s->DecRef();
  }
  if (ContentStride == 1) {
    EXPECT_EQ(kinds[std::make_pair(1, 44100L)], 14);
    EXPECT_EQ(kinds[std::make_pair(2, 32000L)], 7);
  }
  for (const auto& [path, value] : loaded) files += " " + path;
  std::istringstream out(RunOggTool("info" + files));
  std::string path;
  int64_t length;
  long rate;
  size_t seen = 0;
  while (out >> path >> length >> rate) {
    SCOPED_TRACE(path);
    ASSERT_EQ(loaded.count(path), 1u);
    EXPECT_EQ(loaded[path].first, length);
    EXPECT_EQ(loaded[path].second, rate);
    ++seen;
  }
  EXPECT_EQ(seen, loaded.size());
}

namespace {

// Strength of one frequency in a channel (Goertzel), relative to a full-scale sine.
double Tone(TZNT1SoundSample* s, int Channel, double Frequency) {
  const int32_t n = 8820;  // whole periods of 100 Hz and its multiples at 44,100 Hz
  const double w = 2 * M_PI * Frequency / s->SampleRate, c = 2 * std::cos(w);
  double a = 0, b = 0;
  for (int32_t i = 0; i < n; ++i) {
    const double x = s->At(i + 1000, Channel) / 32768.0;
    const double t = x + c * a - b;
    b = a;
    a = t;
  }
  return std::sqrt(a * a + b * b - c * a * b) * 2 / n;
}

}  // namespace

TEST_F(SoundContent, MultiChannelOggFoldsToStereo) {
  TempFolder temp;
  // Which source channels reach the left and right side.
  const std::map<int, std::pair<std::vector<int>, std::vector<int>>> sides = {
      {3, {{0, 1}, {1, 2}}},
      {4, {{0, 2}, {1, 3}}},
      {5, {{0, 1, 3}, {1, 2, 4}}},
      {6, {{0, 1, 3, 5}, {1, 2, 4, 5}}},
  };
  for (const auto& [channels, expected] : sides) {
    SCOPED_TRACE(channels);
    const std::string path = (temp.Path / ("c" + std::to_string(channels) + ".ogg")).string();
    RunOggTool("encode " + path + " " + std::to_string(channels) + " 44100 20000");
    const Bytes file = testdata::ReadFile(path);
    ASSERT_FALSE(file.empty());
    TMemoryStream stream(file);
    TZNT1SoundSample* s = System->Samples->Load(path, &stream, 0, 1);
    ASSERT_NE(s, nullptr);
    const PlainDecode d = DecodePlain(file);
    ASSERT_EQ(d.Channels, channels);
    ExpectFramesEqualPlainDecode(s, d);
    EXPECT_EQ(s->SampleLength, 20000);
    for (int side = 0; side < 2; ++side) {
      const std::vector<int>& present = side == 0 ? expected.first : expected.second;
      for (int c = 0; c < channels; ++c) {
        const bool in = std::find(present.begin(), present.end(), c) != present.end();
        const double level = Tone(s, side, channels == 6 && c == 5 ? 100.0 : 400.0 * (c + 1));
        if (in)
          EXPECT_GT(level, 0.3 / present.size() * 0.8) << "side " << side << " channel " << c;
        else
          EXPECT_LT(level, 0.01) << "side " << side << " channel " << c;
      }
    }
  }
}

TEST_F(SoundContent, CraftedOggLengthsAreNotTrusted) {
  REQUIRE_CONTENT_DIR();
  Content content;
  const Bytes fall = content.Extract("sound/player/neko/fall1.ogg");
  ASSERT_FALSE(fall.empty());
  const PlainDecode d = DecodePlain(fall);
  const int64_t frames = static_cast<int64_t>(d.Pcm.size()) / d.Channels;
  const std::vector<size_t> pages = OggPages(fall);
  ASSERT_GE(pages.size(), 3u);
  // The last page claims 2^60 frames: only what decodes is kept.
  Bytes huge = fall;
  SetOggGranule(huge, pages.back(), int64_t(1) << 60);
  TMemoryStream hugeStream(huge);
  TZNT1SoundSample* s = System->Samples->Load("huge", &hugeStream, 0, 1);
  if (s) {
    EXPECT_GT(s->SampleLength, 0);
    EXPECT_LE(s->SampleLength, frames + 4096);
  }
  // An audio page missing in the middle is a hole: skipped, the rest decodes as a plain run gives it.
  const Bytes drown = content.Extract("sound/player/neko/drown.ogg");
  const std::vector<size_t> drownPages = OggPages(drown);
  ASSERT_GE(drownPages.size(), 5u);
  const size_t middle = drownPages.size() / 2;
  Bytes holed(drown.begin(), drown.begin() + static_cast<std::ptrdiff_t>(drownPages[middle]));
  holed.insert(holed.end(), drown.begin() + static_cast<std::ptrdiff_t>(drownPages[middle + 1]), drown.end());
  TMemoryStream holedStream(holed);
  TZNT1SoundSample* h = System->Samples->Load("holed", &holedStream, 0, 1);
  ASSERT_NE(h, nullptr);
  EXPECT_LT(h->SampleLength, static_cast<int64_t>(DecodePlain(drown).Pcm.size()));
  ExpectFramesEqualPlainDecode(h, DecodePlain(holed));
  // A length of 0 or below is refused.
  Bytes zero = fall;
  SetOggGranule(zero, pages.back(), 0);
  TMemoryStream zeroStream(zero);
  EXPECT_EQ(System->Samples->Load("zero", &zeroStream, 0, 1), nullptr);
}

namespace {

// Small files of every kind the WAVE decoder reads.
std::vector<Bytes> SmallWavs() {
  std::vector<int16_t> tone(64);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(i * 997);
  Bytes b8(64), b24(96), b32(128), bf(128), adpcm(84);
  for (size_t i = 0; i < b8.size(); ++i) b8[i] = static_cast<uint8_t>(i * 7);
  for (size_t i = 0; i < b24.size(); ++i) b24[i] = static_cast<uint8_t>(i * 13);
  for (size_t i = 0; i < b32.size(); ++i) b32[i] = static_cast<uint8_t>(i * 29);
  for (size_t i = 0; i < bf.size(); i += 4) {
    const float f = std::sin(static_cast<float>(i));
    std::memcpy(&bf[i], &f, 4);
  }
  for (size_t i = 0; i < adpcm.size(); ++i) adpcm[i] = static_cast<uint8_t>(i * 31);
  Bytes extra;
  Put16(extra, 2);
  Put16(extra, 41);
  return {
      Riff({Fmt(1, 1, 22050, 16), Data(Pcm16(tone)), Smpl({{0, 10, 50}, {1, 5, 60}})}),
      Riff({Fmt(1, 2, 11025, 8), Chunk{"LIST", Bytes(6, 0)}, Data(b8), Smpl({{2, 3, 20}})}),
      Riff({Fmt(1, 1, 48000, 24), Data(b24), Chunk{"list", {'I', 'N', 'F', 'O', 'a', 'b', 'c', 'd', 2, 0, 0, 0, 1, 2}}}),
      Riff({Fmt(0xFFFE, 2, 8000, 32), Data(b32), Chunk{"xtra", Bytes(16, 3)}}),
      Riff({Fmt(3, 1, 44100, 32), Chunk{"fact", Bytes(4, 0)}, Data(bf)}),
      Riff({Fmt(17, 1, 22050, 4, 24, extra), Data(adpcm)}),
      Riff({Fmt(17, 1, 22050, 4, 256, extra), Data(adpcm), Smpl({{0, 1, 100000}})}),
  };
}

// Plays a loaded sample for a few blocks at rates 1 and 2, once and looped.
void PlayAround(TZNT1SoundSystem& System, TZNT1SoundSample* s) {
  for (float rate : {1.0f, 2.0f, -2.0f}) {
    int32_t handle = -1;
    s->Play(1.0f, 0.3f, rate, &handle);
    for (int i = 0; i < 3; ++i) System.FillBuffer();
    s->Stop(handle);
  }
  for (int i = 0; i < 2; ++i) System.FillBuffer();
}

}  // namespace

TEST_F(SoundContent, DamagedFilesLoadOrFailCleanly) {
  REQUIRE_CONTENT_DIR();
  Content content;
  std::vector<Bytes> files = SmallWavs();
  const Bytes fall = content.Extract("sound/player/neko/fall1.ogg");
  ASSERT_FALSE(fall.empty());
  files.push_back(fall);
  int32_t loaded = 0, refused = 0;
  auto attempt = [&](const Bytes& f) {
    TMemoryStream stream(f);
    for (uint32_t loop : {0u, 2u}) {
      TZNT1SoundSample* s = System->Samples->Load("x", &stream, loop, 2);
      if (!s) {
        ++refused;
        continue;
      }
      ++loaded;
      PlayAround(*System, s);
      s->DecRef();
    }
  };
  // Every truncation of every file (the Ogg played every 64th length only: its decodes dominate).
  for (const Bytes& f : files) {
    const bool ogg = &f == &files.back();
    for (size_t n = 0; n < f.size(); ++n) {
      Bytes cut(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n));
      if (ogg && n % 64 != 0) {
        TMemoryStream stream(cut);
        TZNT1SoundSample* s = System->Samples->Load("x", &stream, 0, 1);
        if (s) s->DecRef();
        continue;
      }
      attempt(cut);
    }
  }
  // Seeded byte flips.
  std::mt19937 rng(17);
  for (const Bytes& f : files)
    for (int k = 0; k < 150; ++k) {
      Bytes flipped = f;
      for (int j = 0; j < 1 + k % 4; ++j) flipped[rng() % flipped.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      attempt(flipped);
    }
  EXPECT_GT(loaded, 100);
  EXPECT_GT(refused, 100);
  EXPECT_EQ(System->Samples->Count(), 0);
  EXPECT_EQ(System->VoiceFirst, nullptr);
}
