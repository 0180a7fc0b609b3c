// PNG decoding: our decoder against libpng (expanding to 8-bit RGBA) on the PNG images of
// the content archives and on a 2048 x 2048 RGBA picture. Prints the speed ratios at the end.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../tests/assets/TestZip.h"
#include "assets/ZefuPNG.h"

namespace {

std::vector<std::vector<uint8_t>>& ContentPNGs() {
  static std::vector<std::vector<uint8_t>> files = [] {
    std::vector<std::vector<uint8_t>> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(ZNT1_CONTENT_DIR, ec)) {
      if (e.path().extension() != ".pk3") continue;
      testzip::TZip zip(e.path().string());
      for (const auto& entry : zip.Entries()) {
        const auto& n = entry.Name;
        if (n.size() < 4) continue;
        std::string ext = n.substr(n.size() - 4);
        for (auto& c : ext) c = char(std::tolower(c));
        std::vector<uint8_t> data;
        if (ext == ".png" && zip.Extract(entry, data)) out.push_back(std::move(data));
      }
    }
    return out;
  }();
  return files;
}

// A 2048 x 2048 RGBA picture with smooth shading, edges and some noise, written by libpng
// with its default filter choice and compression level.
const std::vector<uint8_t>& BigPNG() {
  static std::vector<uint8_t> file = [] {
    const uint32_t n = 2048;
    std::vector<uint8_t> pixels(size_t(n) * n * 4);
    std::mt19937 rng(9);
    for (uint32_t y = 0; y < n; ++y)
      for (uint32_t x = 0; x < n; ++x) {
        uint8_t* p = &pixels[(size_t(y) * n + x) * 4];
        const double fx = x / 97.0, fy = y / 131.0;
        p[0] = uint8_t(128 + 100 * std::sin(fx) * std::cos(fy) + rng() % 6);
        p[1] = uint8_t(((x / 64 + y / 64) & 1) ? 200 : 60) + uint8_t(rng() % 4);
        p[2] = uint8_t((x ^ y) >> 3);
        p[3] = uint8_t(std::hypot(double(x) - 1024, double(y) - 1024) < 900 ? 255 : 96);
      }
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep d, png_size_t len) {
          auto* v = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
          v->insert(v->end(), d, d + len);
        },
        nullptr);
    png_set_IHDR(png, info, n, n, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < n; ++y) png_write_row(png, &pixels[size_t(y) * n * 4]);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
  }();
  return file;
}

bool DecodeZefu(const std::vector<uint8_t>& f) {
  void* data = nullptr;
  int32_t w, h;
  if (!LoadPNG(f.data(), uint32_t(f.size()), data, w, h, false)) return false;
  benchmark::DoNotOptimize(data);
  std::free(data);
  return true;
}

// What a user of libpng would write to get 8-bit RGBA rows.
bool DecodeLibPNG(const std::vector<uint8_t>& f) {
  struct TSource { const uint8_t* p; size_t left; } src{f.data(), f.size()};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<uint8_t> pixels;
  std::vector<png_bytep> rows;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &src, [](png_structp p, png_bytep out, png_size_t n) {
    auto* s = static_cast<TSource*>(png_get_io_ptr(p));
    if (n > s->left) png_error(p, "short");
    std::memcpy(out, s->p, n);
    s->p += n;
    s->left -= n;
  });
  png_read_info(png, info);
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const uint32_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  pixels.resize(size_t(w) * h * 4);
  rows.resize(h);
  for (uint32_t y = 0; y < h; ++y) rows[y] = &pixels[size_t(y) * w * 4];
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  benchmark::DoNotOptimize(pixels.data());
  return true;
}

template <bool Zefu>
void Content(benchmark::State& state) {
  const auto& files = ContentPNGs();
  if (files.empty()) {
    state.SkipWithError("no PNG files in the content archives");
    return;
  }
  size_t bytes = 0;
  for (auto _ : state)
    for (const auto& f : files) {
      if (!(Zefu ? DecodeZefu(f) : DecodeLibPNG(f))) state.SkipWithError("decode failed");
      bytes += f.size();
    }
  state.SetBytesProcessed(int64_t(bytes));
  state.counters["files"] = double(files.size());
}

template <bool Zefu>
void Big(benchmark::State& state) {
  const auto& f = BigPNG();
  for (auto _ : state)
    if (!(Zefu ? DecodeZefu(f) : DecodeLibPNG(f))) state.SkipWithError("decode failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * 2048 * 2048 * 4);
  state.counters["png_bytes"] = double(f.size());
}

BENCHMARK(Content<true>)->Name("Content/Zefu")->Unit(benchmark::kMicrosecond);
BENCHMARK(Content<false>)->Name("Content/libpng")->Unit(benchmark::kMicrosecond);
BENCHMARK(Big<true>)->Name("RGBA2048/Zefu")->Unit(benchmark::kMillisecond);
BENCHMARK(Big<false>)->Name("RGBA2048/libpng")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    std::printf("libpng time / our time (goal >= 1.0):\n");
    for (const std::string Group : {"Content", "RGBA2048"}) r.PrintRatio(Group, Group + "/libpng", Group + "/Zefu");
  });
}
