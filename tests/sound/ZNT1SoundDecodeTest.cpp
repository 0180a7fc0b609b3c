#include <gtest/gtest.h>

#include <SDL2/SDL.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "sound/ZNT1Sound.h"
#include "support/SoundTestSupport.h"

using namespace soundtest;

namespace {

struct SoundSystemFixture : ::testing::Test {
  std::unique_ptr<TZNT1SoundSystem> System = std::make_unique<TZNT1SoundSystem>(nullptr, 44100, 2, 16, 1024);
  // Samples are loaded with the mixer held off, as the game does.
  void SetUp() override { System->Lock(); }

  TZNT1SoundSample* Load(const Bytes& File, uint32_t Loop = 0, const std::string& Name = "s", int32_t Polyphony = 1) {
    TMemoryStream stream(File);
    return System->Samples->Load(Name, &stream, Loop, Polyphony);
  }
};

using WavDecode = SoundSystemFixture;

std::vector<int32_t> Left(TZNT1SoundSample* s) {
  std::vector<int32_t> v;
  for (int32_t i = 0; i < s->SampleLength; ++i) v.push_back(s->At(i, 0));
  return v;
}

Bytes Bytes32(std::initializer_list<uint32_t> Values) {
  Bytes b;
  for (uint32_t v : Values) Put32(b, v);
  return b;
}

Bytes Floats(std::initializer_list<float> Values) {
  Bytes b;
  for (float f : Values) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    Put32(b, u);
  }
  return b;
}

}  // namespace

TEST_F(WavDecode, EveryFormatConvertsToStereo16BitRange) {
  struct Case {
    const char* What;
    Bytes File;
    std::vector<int32_t> LeftValues, RightValues;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::vector<Case> cases = {
      {"8-bit mono", Riff({Fmt(1, 1, 8000, 8), Data({0x80, 0xFF, 0x00, 0x81})}),
       {0, 32512, -32768, 256}, {0, 32512, -32768, 256}},
      {"16-bit stereo", Riff({Fmt(1, 2, 22050, 16), Data(Pcm16({1, -2, 32767, -32768}))}), {1, 32767}, {-2, -32768}},
      {"24-bit mono", Riff({Fmt(1, 1, 44100, 24), Data({0x00, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80})}),
       {0x1234, -1, -32768}, {0x1234, -1, -32768}},
      {"32-bit integer", Riff({Fmt(1, 1, 44100, 32), Data(Bytes32({32767u * 65536u, 0xFFFF0000u, 0x80000000u}))}),
       {32767, -1, -32768}, {32767, -1, -32768}},
      {"extensible as integer", Riff({Fmt(0xFFFE, 1, 44100, 16), Data(Pcm16({5, -6}))}), {5, -6}, {5, -6}},
      {"float, NaN and out of range",
       Riff({Fmt(3, 1, 44100, 32), Data(Floats({1.0f, -1.0f, 0.5f, nan, inf, -inf, 2.0f, -3e38f}))}),
       {32767, -32767, 16384, 0, 32767, -32767, 32767, -32767},
       {32767, -32767, 16384, 0, 32767, -32767, 32767, -32767}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TZNT1SoundSample* s = Load(c.File, 0, c.What);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Left(s), c.LeftValues);
    std::vector<int32_t> right;
    for (int32_t i = 0; i < s->SampleLength; ++i) right.push_back(s->At(i, 1));
    EXPECT_EQ(right, c.RightValues);
  }
}

TEST_F(WavDecode, ChunkWalkAndHeaderVariants) {
  // "pcm " supplies the format when "fmt " carries an unknown tag; "fmt" may end in a 0 byte;
  // unknown chunks are skipped; "LIST"/"wave" headers are accepted.
  Chunk pcm = Fmt(1, 1, 11025, 16);
  pcm.Id = "pcm ";
  Chunk fmt0 = Fmt(1, 1, 11025, 16);
  fmt0.Id = std::string("fmt\0", 4);
  Bytes list = Riff({Fmt(1, 1, 8000, 16), Data(Pcm16({9}))}, "wave");
  std::memcpy(list.data(), "LIST", 4);
  struct Case {
    const char* What;
    Bytes File;
    int32_t Rate;
    int32_t Frames;
  };
  const std::vector<Case> cases = {
      {"pcm swap", Riff({Fmt(85, 1, 8000, 16), pcm, Data(Pcm16({1, 2, 3}))}), 11025, 3},
      {"fmt with 0 byte", Riff({Chunk{"wsmp", Bytes(7, 1)}, fmt0, Chunk{"fact", Bytes(4, 0)}, Data(Pcm16({1}))}),
       11025, 1},
      {"LIST list INFO xtra", Riff({Fmt(1, 1, 8000, 8), Chunk{"list", {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 1, 0, 0, 0, 'x'}},
                                    Chunk{"xtra", Bytes(16, 0)}, Data({1, 2})}), 8000, 2},
      {"empty data", Riff({Fmt(1, 1, 8000, 16), Data({}), Chunk{"junk", Bytes(2, 0)}}), 8000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TZNT1SoundSample* s = Load(c.File, 0, c.What);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->SampleRate, c.Rate);
    EXPECT_EQ(s->SampleLength, c.Frames);
  }
  TMemoryStream stream(list);
  // Only "RIFF" files reach the WAVE decoder through the library.
  EXPECT_EQ(System->Samples->Load("list", &stream, 0, 1), nullptr);
  TZNT1SoundSample direct(System.get(), nullptr);
  EXPECT_TRUE(SoundLoadWAV(&direct, list.data(), list.size()));
  EXPECT_EQ(direct.SampleLength, 1);
}

TEST_F(WavDecode, DamagedAndUnsupportedFilesFail) {
  Chunk hugeData = Data(Pcm16({1, 2, 3}));
  hugeData.SizeOverride = 0xFFFFFFFF;
  Chunk minus8{"junk", {}, 0xFFFFFFF8};
  struct Case {
    const char* What;
    Bytes File;
  };
  const std::vector<Case> cases = {
      {"no data chunk", Riff({Fmt(1, 1, 8000, 16)})},
      {"no fmt chunk", Riff({Data(Pcm16({1}))})},
      {"data size 0xFFFFFFFF", Riff({Fmt(1, 1, 8000, 16), hugeData})},
      {"chunk size -8", Riff({Fmt(1, 1, 8000, 16), minus8, Data(Pcm16({1}))})},
      {"rate 0", Riff({Fmt(1, 1, 0, 16), Data(Pcm16({1}))})},
      {"rate 0xFFFFFFFF", Riff({Fmt(1, 1, 0xFFFFFFFF, 16), Data(Pcm16({1}))})},
      {"rate above 1 MHz", Riff({Fmt(1, 1, 1000001, 16), Data(Pcm16({1}))})},
      {"tag 2", Riff({Fmt(2, 1, 8000, 16), Data(Pcm16({1}))})},
      {"three channels", Riff({Fmt(1, 3, 8000, 16), Data(Pcm16({1, 2, 3}))})},
      {"12 bits", Riff({Fmt(1, 1, 8000, 12), Data(Pcm16({1}))})},
      {"stereo ADPCM", Riff({Fmt(17, 2, 8000, 4, 512), Data(Bytes(16, 0))})},
      {"ADPCM 3 data bytes", Riff({Fmt(17, 1, 8000, 4, 256), Data(Bytes(3, 0))})},
      {"short fmt", Bytes({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0})},
      {"not WAVE", Riff({Fmt(1, 1, 8000, 16), Data(Pcm16({1}))}, "AVI ")},
      {"smpl count beyond its records", Riff({Fmt(1, 1, 8000, 16), Data(Pcm16({1, 2})), Smpl({{0, 0, 1}}, 0x7FFFFFFF)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    EXPECT_EQ(Load(c.File, 0, c.What), nullptr);
  }
  EXPECT_EQ(System->Samples->Count(), 0);
}

TEST_F(WavDecode, SamplerLoops) {
  const Bytes data = Pcm16(std::vector<int16_t>(200, 7));
  struct Case {
    const char* What;
    std::vector<SamplerLoop> Loops;
    TZNT1SoundSampleLoop Loop, Sustain;
  };
  const std::vector<Case> cases = {
      {"one forward", {{0, 10, 20}}, {ZSSSoundLoopModeFORWARD, 10, 20}, {}},
      {"ping-pong, backward, unknown type",
       {{1, 5, 50}, {2, 60, 70}},
       {ZSSSoundLoopModeBACKWARD, 60, 70},
       {ZSSSoundLoopModePINGPONG, 5, 50}},
      {"unknown type is forward", {{9, 1, 2}}, {ZSSSoundLoopModeFORWARD, 1, 2}, {}},
      {"start not below end", {{0, 100, 50}}, {ZSSSoundLoopModeNONE, 100, 50}, {}},
      {"end past the data is clamped", {{0, 150, 100000}}, {ZSSSoundLoopModeFORWARD, 150, 200}, {}},
      {"both past the data", {{0, 300, 400}}, {ZSSSoundLoopModeNONE, 200, 200}, {}},
      {"negative start", {{0, -5, 10}}, {ZSSSoundLoopModeFORWARD, 0, 10}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TZNT1SoundSample* s = Load(Riff({Fmt(1, 1, 8000, 16), Data(data), Smpl(c.Loops)}), 1, c.What);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Loop.Mode, c.Loop.Mode);
    EXPECT_EQ(s->SustainLoop.Mode, c.Sustain.Mode);
    if (c.Loop.Mode != ZSSSoundLoopModeNONE) {
      EXPECT_EQ(s->Loop.StartSample, c.Loop.StartSample);
      EXPECT_EQ(s->Loop.EndSample, c.Loop.EndSample);
    }
    if (c.Sustain.Mode != ZSSSoundLoopModeNONE) {
      EXPECT_EQ(s->SustainLoop.StartSample, c.Sustain.StartSample);
      EXPECT_EQ(s->SustainLoop.EndSample, c.Sustain.EndSample);
    }
  }
}

namespace {

// Reference IMA ADPCM: one 4-byte header, then nibbles low first.
std::vector<int32_t> ReferenceIMA(const uint8_t* p, size_t n) {
  static const int steps[89] = {
      7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
      31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
      130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
      544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
      2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
      9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
  static const int adjust[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
  int pred = static_cast<int16_t>(p[0] | (p[1] << 8));
  int index = p[2] > 88 ? 88 : p[2];
  std::vector<int32_t> out = {pred};
  for (size_t i = 4; i < n; ++i)
    for (int nib : {p[i] & 15, p[i] >> 4}) {
      const int step = steps[index];
      const int diff = (step >> 3) + ((nib & 1) ? step >> 2 : 0) + ((nib & 2) ? step >> 1 : 0) + ((nib & 4) ? step : 0);
      pred += (nib & 8) ? -diff : diff;
      pred = pred < -32768 ? -32768 : pred > 32767 ? 32767 : pred;
      out.push_back(pred);
      index += adjust[nib];
      index = index < 0 ? 0 : index > 88 ? 88 : index;
    }
  return out;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

}  // namespace

TEST_F(WavDecode, ImaAdpcmSingleBlockAndClampedStepIndex) {
  Bytes data = RandomBytes(104, 1);
  data[2] = 40;
  TZNT1SoundSample* s = Load(Riff({Fmt(17, 1, 22050, 4, 1024), Data(data)}), 0, "one");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->SampleLength, 201);
  EXPECT_EQ(Left(s), ReferenceIMA(data.data(), data.size()));
  // A step index of 200 reads as 88.
  data[2] = 200;
  TZNT1SoundSample* clamped = Load(Riff({Fmt(17, 1, 22050, 4, 1024), Data(data)}), 0, "clamped");
  ASSERT_NE(clamped, nullptr);
  data[2] = 88;
  EXPECT_EQ(Left(clamped), ReferenceIMA(data.data(), data.size()));
}

TEST_F(WavDecode, ImaAdpcmBlocksMatchSDL) {
  // Three whole blocks of 256 bytes (505 frames each) and a short last one of 100 bytes (193 frames).
  const uint16_t align = 256;
  Bytes data = RandomBytes(3 * align + 100, 2);
  for (size_t b = 0; b < data.size(); b += align) {
    data[b + 2] = static_cast<uint8_t>(data[b + 2] % 89);
    data[b + 3] = 0;
  }
  Bytes extra;
  Put16(extra, 2);
  Put16(extra, (align - 4) * 2 + 1);
  const Bytes file = Riff({Fmt(17, 1, 22050, 4, align, extra), Data(data)});
  TZNT1SoundSample* s = Load(file, 0, "blocks");
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->SampleLength, 3 * 505 + 193);
  // SDL decodes whole blocks only.
  SDL_AudioSpec spec;
  Uint8* buffer = nullptr;
  Uint32 length = 0;
  const Bytes whole = Riff({Fmt(17, 1, 22050, 4, align, extra), Data(Bytes(data.begin(), data.begin() + 3 * align))});
  ASSERT_NE(SDL_LoadWAV_RW(SDL_RWFromConstMem(whole.data(), static_cast<int>(whole.size())), 1, &spec, &buffer, &length),
            nullptr)
      << SDL_GetError();
  ASSERT_EQ(length, 3u * 505u * 2u);
  std::vector<int32_t> sdl(length / 2);
  for (size_t i = 0; i < sdl.size(); ++i) sdl[i] = static_cast<int16_t>(buffer[i * 2] | (buffer[i * 2 + 1] << 8));
  SDL_FreeWAV(buffer);
  std::vector<int32_t> ours = Left(s);
  EXPECT_EQ(std::vector<int32_t>(ours.begin(), ours.begin() + 3 * 505), sdl);
  EXPECT_EQ(std::vector<int32_t>(ours.begin() + 3 * 505, ours.end()), ReferenceIMA(data.data() + 3 * align, 100));
}

TEST_F(WavDecode, LibraryKeysReferencesAndPolyphony) {
  const Bytes file = Mono16({1, 2, 3});
  TZNT1SoundSample* once = Load(file, 0, "a", 2);
  TZNT1SoundSample* loop = Load(file, 2, "a", 2);
  ASSERT_NE(once, nullptr);
  ASSERT_NE(loop, nullptr);
  EXPECT_NE(once, loop);
  EXPECT_EQ(once->Name, std::string("oneshot\0a", 9));
  EXPECT_EQ(loop->Name, std::string("loop\0a", 6));
  EXPECT_EQ(loop->Loop.Mode, ZSSSoundLoopModeFORWARD);
  EXPECT_EQ(loop->Loop.EndSample, 3);
  EXPECT_EQ(Load(file, 0, "a", 2), once);
  EXPECT_EQ(once->ReferenceCounter, 2);
  // A one-shot drops the file's loops; loop kind 1 keeps them under the bare name.
  const Bytes looped = Riff({Fmt(1, 1, 8000, 16), Data(Pcm16({1, 2, 3, 4})), Smpl({{0, 1, 3}})});
  EXPECT_EQ(Load(looped, 0, "b")->Loop.Mode, ZSSSoundLoopModeNONE);
  TZNT1SoundSample* kept = Load(looped, 1, "b");
  EXPECT_EQ(kept->Name, "b");
  EXPECT_EQ(kept->Loop.Mode, ZSSSoundLoopModeFORWARD);

  Load(file, 0, "a", 2);
  EXPECT_EQ(once->VoiceCount(), 2);
  System->Setup();
  EXPECT_EQ(once->VoiceCount(), 6);
  EXPECT_FALSE(once->IsPlaying());
  int32_t free = 0;
  for (TZNT1SoundSampleVoice* v = once->FreeVoice; v; v = v->NextFree) ++free;
  EXPECT_EQ(free, 6);
  EXPECT_EQ(once->FreeVoice->Index, 5);

  for (int i = 0; i < 3; ++i) once->DecRef();
  EXPECT_EQ(System->Samples->Count(), 3);
  EXPECT_EQ(System->Samples->HashMap.GetValue(std::string("oneshot\0a", 9)), nullptr);

  TMemoryStream tiny(Bytes{'R', 'I', 'F', 'F'});
  EXPECT_EQ(System->Samples->Load("tiny", &tiny, 0, 1), nullptr);
  EXPECT_EQ(System->Samples->Load("none", nullptr, 0, 1), nullptr);
  TMemoryStream other(Bytes{'M', 'T', 'h', 'd', 0, 0});
  EXPECT_EQ(System->Samples->Load("midi", &other, 0, 1), nullptr);
  EXPECT_EQ(System->Samples->GetItem(3), nullptr);
  EXPECT_EQ(System->Samples->GetItem(-1), nullptr);
}

TEST_F(WavDecode, FixUpCopiesGuardAndLoopFrames) {
  std::vector<int16_t> v;
  for (int i = 0; i < 10; ++i) v.push_back(static_cast<int16_t>(100 + i));
  TZNT1SoundSample* s = Load(Riff({Fmt(1, 1, 8000, 16), Data(Pcm16(v)), Smpl({{0, 2, 10}})}), 1, "fix");
  ASSERT_NE(s, nullptr);
  for (int i = 10; i <= 1033; ++i) ASSERT_EQ(s->At(i, 0), 100 + 2 + (i - 10) % 8) << i;
  for (int i = -1024; i < 0; ++i) ASSERT_EQ(s->At(i, 1), 100) << i;
  // A loop from frame 0 copies nothing: the frames past the end repeat the last one.
  TZNT1SoundSample* zero = Load(Riff({Fmt(1, 1, 8000, 16), Data(Pcm16(v)), Smpl({{0, 0, 10}})}), 1, "zero");
  for (int i = 10; i < 1034; ++i) ASSERT_EQ(zero->At(i, 0), 109) << i;
}
