// Sound loading: the sample library's Load against what one would otherwise use, on the content
// archives' files: SDL_LoadWAV_RW + SDL_ConvertAudio to 32-bit stereo for the 518 WAVs, a bare
// integer-decoder ov_read loop for the 21 Oggs. Prints the time ratios at the end.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <SDL2/SDL.h>
#include <tremor/ivorbiscodec.h>
#include <tremor/ivorbisfile.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../tests/assets/TestZip.h"
#include "sound/ZNT1Sound.h"

namespace {

// Every archive's files with the extension (also those a later archive replaces).
std::vector<std::unique_ptr<TMemoryStream>> ContentFiles(const std::string& Extension) {
  std::vector<std::unique_ptr<TMemoryStream>> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(ZNT1_CONTENT_DIR, ec)) {
    if (e.path().extension() != ".pk3") continue;
    testzip::TZip zip(e.path().string());
    for (const auto& entry : zip.Entries()) {
      const std::string& n = entry.Name;
      if (n.size() < Extension.size() || n.compare(n.size() - Extension.size(), Extension.size(), Extension) != 0)
        continue;
      std::vector<uint8_t> data;
      if (zip.Extract(entry, data)) out.push_back(std::make_unique<TMemoryStream>(std::move(data)));
    }
  }
  return out;
}

const std::vector<std::unique_ptr<TMemoryStream>>& Wavs() {
  static auto files = ContentFiles(".wav");
  return files;
}
const std::vector<std::unique_ptr<TMemoryStream>>& Oggs() {
  static auto files = ContentFiles(".ogg");
  return files;
}

TZNT1SoundSystem& System() {
  static std::unique_ptr<TZNT1SoundSystem> system = [] {
    auto s = std::make_unique<TZNT1SoundSystem>(nullptr, 44100, 2, 16, 1024);
    s->Lock();
    return s;
  }();
  return *system;
}

void LoadAll(benchmark::State& state, const std::vector<std::unique_ptr<TMemoryStream>>& Files) {
  if (Files.empty()) {
    state.SkipWithError("no files in the content archives");
    return;
  }
  TZNT1SoundSamples& samples = *System().Samples;
  for (auto _ : state)
    for (const auto& f : Files) {
      TZNT1SoundSample* s = samples.Load("x", f.get(), 0, 1);
      if (!s) state.SkipWithError("load failed");
      benchmark::DoNotOptimize(s->Data);
      s->DecRef();
    }
  state.counters["files"] = double(Files.size());
}

void WavLoad(benchmark::State& state) { LoadAll(state, Wavs()); }
void OggLoad(benchmark::State& state) { LoadAll(state, Oggs()); }

void WavSDL(benchmark::State& state) {
  for (auto _ : state)
    for (const auto& f : Wavs()) {
      SDL_AudioSpec spec;
      Uint8* buffer = nullptr;
      Uint32 length = 0;
      if (!SDL_LoadWAV_RW(SDL_RWFromConstMem(f->Memory(), static_cast<int>(f->Size())), 1, &spec, &buffer, &length)) {
        state.SkipWithError(SDL_GetError());
        return;
      }
      SDL_AudioCVT cvt;
      SDL_BuildAudioCVT(&cvt, spec.format, spec.channels, spec.freq, AUDIO_S32SYS, 2, spec.freq);
      cvt.len = static_cast<int>(length);
      cvt.buf = static_cast<Uint8*>(SDL_malloc(static_cast<size_t>(cvt.len) * cvt.len_mult));
      std::memcpy(cvt.buf, buffer, length);
      SDL_ConvertAudio(&cvt);
      Uint8* converted = cvt.buf;
      benchmark::DoNotOptimize(converted);
      SDL_free(cvt.buf);
      SDL_FreeWAV(buffer);
    }
}

struct TSource {
  const uint8_t* p;
  long size, pos;
};

void OggTremor(benchmark::State& state) {
  const ov_callbacks callbacks{
      [](void* ptr, size_t size, size_t count, void* src) -> size_t {
        auto* s = static_cast<TSource*>(src);
        const size_t n = std::min(size * count, static_cast<size_t>(s->size - s->pos));
        std::memcpy(ptr, s->p + s->pos, n);
        s->pos += static_cast<long>(n);
        return n / size;
      },
      [](void* src, ogg_int64_t offset, int whence) -> int {
        auto* s = static_cast<TSource*>(src);
        const long base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->pos : s->size;
        if (base + offset < 0 || base + offset > s->size) return -1;
        s->pos = static_cast<long>(base + offset);
        return 0;
      },
      [](void*) -> int { return 0; }, [](void* src) -> long { return static_cast<TSource*>(src)->pos; }};
  for (auto _ : state)
    for (const auto& f : Oggs()) {
      TSource src{f->Memory(), static_cast<long>(f->Size()), 0};
      OggVorbis_File vf;
      if (ov_open_callbacks(&src, &vf, nullptr, 0, callbacks) != 0) {
        state.SkipWithError("open failed");
        return;
      }
      const int channels = ov_info(&vf, -1)->channels;
      std::vector<int16_t> pcm(static_cast<size_t>(ov_pcm_total(&vf, -1)) * channels);
      size_t at = 0;
      int bitstream = 0;
      for (;;) {
        const long n = ov_read(&vf, reinterpret_cast<char*>(pcm.data() + at),
                               static_cast<int>(std::min<size_t>((pcm.size() - at) * 2, 1 << 20)), &bitstream);
        if (n == OV_HOLE) continue;
        if (n <= 0) break;
        at += static_cast<size_t>(n) / 2;
      }
      benchmark::DoNotOptimize(pcm.data());
      ov_clear(&vf);
    }
}

BENCHMARK(WavLoad)->Name("WAV/Load")->Unit(benchmark::kMillisecond);
BENCHMARK(WavSDL)->Name("WAV/SDL")->Unit(benchmark::kMillisecond);
BENCHMARK(OggLoad)->Name("Ogg/Load")->Unit(benchmark::kMillisecond);
BENCHMARK(OggTremor)->Name("Ogg/Tremor")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Seconds-long runs on a shared machine: repeat, interleaved, and compare medians.
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=3";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, {repetitions, interleave});
  int count = static_cast<int>(args.size());
  return RunBenchmarksWithRatios(count, args.data(), [](const TRatioReporter& r) {
    std::printf("our time / the other's time:\n");
    r.PrintRatio("WAV: Load / SDL load + convert (goal <= 1.0)", "WAV/Load", "WAV/SDL");
    r.PrintRatio("Ogg: Load / bare ov_read loop (goal <= 1.10)", "Ogg/Load", "Ogg/Tremor");
  });
}
