#pragma once
// Test-only helpers for the image decoders: a PNG writer that can produce every layout
// (including broken ones), and the reference decoders libpng and libjpeg.
#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace imgtest {

// Owns a decoded image handed out by the decoders.
struct TImage {
  void* Data = nullptr;
  int32_t Width = -1, Height = -1;
  TImage() = default;
  TImage(const TImage&) = delete;
  TImage& operator=(const TImage&) = delete;
  ~TImage() { std::free(Data); }
  const uint8_t* Bytes() const { return static_cast<const uint8_t*>(Data); }
  std::vector<uint8_t> Vec() const {
    return std::vector<uint8_t>(Bytes(), Bytes() + size_t(Width) * Height * 4);
  }
  const uint8_t* Pixel(int x, int y) const { return Bytes() + (size_t(y) * Width + x) * 4; }
};

inline void PutBE32(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x >> 24));
  v.push_back(uint8_t(x >> 16));
  v.push_back(uint8_t(x >> 8));
  v.push_back(uint8_t(x));
}

inline void AddChunk(std::vector<uint8_t>& Png, const char* Type, const std::vector<uint8_t>& Body) {
  PutBE32(Png, uint32_t(Body.size()));
  const size_t typeAt = Png.size();
  Png.insert(Png.end(), Type, Type + 4);
  Png.insert(Png.end(), Body.begin(), Body.end());
  PutBE32(Png, uint32_t(crc32(0, Png.data() + typeAt, uInt(Body.size() + 4))));
}

inline std::vector<uint8_t> Signature() { return {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}; }

inline std::vector<uint8_t> IHDR(uint32_t W, uint32_t H, uint8_t Depth, uint8_t Type, uint8_t Interlace) {
  std::vector<uint8_t> b;
  PutBE32(b, W);
  PutBE32(b, H);
  b.insert(b.end(), {Depth, Type, 0, 0, Interlace});
  return b;
}

inline int Channels(uint8_t Type) { return Type == 0 || Type == 3 ? 1 : Type == 2 ? 3 : Type == 4 ? 2 : 4; }

// zlib stream (Raw: bare Deflate) of Data.
inline std::vector<uint8_t> Deflate(const std::vector<uint8_t>& Data, int Level = 6, bool Raw = false,
                                    int Strategy = Z_DEFAULT_STRATEGY) {
  z_stream z{};
  deflateInit2(&z, Level, Z_DEFLATED, Raw ? -15 : 15, 8, Strategy);
  std::vector<uint8_t> out(deflateBound(&z, uLong(Data.size())) + 16);
  z.next_in = const_cast<Bytef*>(Data.data());
  z.avail_in = uInt(Data.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline uint8_t PaethPredict(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return uint8_t(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Filters one row (Filter 0..4) in front of its filter byte.
inline void FilterRow(int Filter, const uint8_t* Row, const uint8_t* Prior, size_t Len, size_t Bpp,
                      std::vector<uint8_t>& Out) {
  Out.push_back(uint8_t(Filter));
  for (size_t i = 0; i < Len; ++i) {
    const int a = i >= Bpp ? Row[i - Bpp] : 0, b = Prior ? Prior[i] : 0,
              c = (Prior && i >= Bpp) ? Prior[i - Bpp] : 0;
    int pred = 0;
    switch (Filter) {
      case 1: pred = a; break;
      case 2: pred = b; break;
      case 3: pred = (a + b) >> 1; break;
      case 4: pred = PaethPredict(a, b, c); break;
    }
    Out.push_back(uint8_t(Row[i] - pred));
  }
}

inline uint32_t GetBits(const std::vector<uint8_t>& Row, size_t Index, int Bits) {
  if (Bits >= 8) return 0;
  const size_t bit = Index * Bits;
  return (Row[bit / 8] >> (8 - Bits - bit % 8)) & ((1u << Bits) - 1);
}

inline void SetBits(std::vector<uint8_t>& Row, size_t Index, int Bits, uint32_t V) {
  const size_t bit = Index * Bits;
  Row[bit / 8] |= uint8_t(V << (8 - Bits - bit % 8));
}

// Builds the filtered scanline data of an image given as rows of packed samples (the
// non-interlaced layout), interlaced with Adam7 when asked. Filters cycle through 0..4
// from FilterSeed, or stay at Fixed when it is 0..4.
inline std::vector<uint8_t> ScanlineData(uint32_t W, uint32_t H, uint8_t Depth, uint8_t Type, bool Interlace,
                                         const std::vector<std::vector<uint8_t>>& Rows, int FilterSeed = 0,
                                         int Fixed = -1) {
  const int bitsPerPixel = Channels(Type) * Depth;
  const size_t bpp = std::max(1, bitsPerPixel / 8);
  struct P { uint32_t sx, sy, dx, dy; };
  const P adam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  const P one = {0, 0, 1, 1};
  std::vector<uint8_t> out;
  int n = 0;
  for (int p = 0; p < (Interlace ? 7 : 1); ++p) {
    const P pass = Interlace ? adam7[p] : one;
    const uint32_t cols = W / pass.dx + (W % pass.dx > pass.sx), rows = H / pass.dy + (H % pass.dy > pass.sy);
    if (!cols || !rows) continue;
    const size_t len = (size_t(cols) * bitsPerPixel + 7) / 8;
    std::vector<uint8_t> prior, row;
    for (uint32_t r = 0; r < rows; ++r) {
      const auto& src = Rows[pass.sy + r * pass.dy];
      row.assign(len, 0);
      for (uint32_t i = 0; i < cols; ++i) {
        const size_t x = pass.sx + i * pass.dx;
        if (bitsPerPixel < 8)
          SetBits(row, i, bitsPerPixel, GetBits(src, x, bitsPerPixel));
        else
          std::memcpy(&row[i * bpp], &src[x * bpp], bpp);
      }
      const int f = Fixed >= 0 ? Fixed : (FilterSeed + n++) % 5;
      FilterRow(f, row.data(), prior.empty() ? nullptr : prior.data(), len, bpp, out);
      prior = row;
    }
  }
  return out;
}

// Random packed rows for an image; palette indices stay below PaletteSize.
inline std::vector<std::vector<uint8_t>> RandomRows(uint32_t W, uint32_t H, uint8_t Depth, uint8_t Type,
                                                   std::mt19937& Rng, uint32_t PaletteSize = 256) {
  const int bitsPerPixel = Channels(Type) * Depth;
  const size_t len = (size_t(W) * bitsPerPixel + 7) / 8;
  std::vector<std::vector<uint8_t>> rows(H, std::vector<uint8_t>(len, 0));
  for (auto& row : rows) {
    if (Type == 3) {
      for (uint32_t x = 0; x < W; ++x) {
        const uint32_t v = Rng() % std::min<uint32_t>(PaletteSize, 1u << Depth);
        if (Depth < 8) SetBits(row, x, Depth, v); else row[x] = uint8_t(v);
      }
    } else {
      // Runs of repeated bytes so that the compressor finds matches.
      for (size_t i = 0; i < len; ++i) row[i] = (Rng() % 4 == 0 && i) ? row[i - 1] : uint8_t(Rng());
      if (bitsPerPixel < 8 && (W * bitsPerPixel) % 8) {
        const int spare = 8 - int((W * bitsPerPixel) % 8);
        row[len - 1] &= uint8_t(0xFF << spare);
      }
    }
  }
  return rows;
}

struct TPNGParts {
  std::vector<uint8_t> PLTE, tRNS;
  bool HasPLTE = false, HasTRNS = false;
};

inline std::vector<uint8_t> MakePNG(uint32_t W, uint32_t H, uint8_t Depth, uint8_t Type, bool Interlace,
                                    const std::vector<std::vector<uint8_t>>& Rows, const TPNGParts& Parts = {},
                                    int FilterSeed = 0, int Level = 6) {
  std::vector<uint8_t> png = Signature();
  AddChunk(png, "IHDR", IHDR(W, H, Depth, Type, Interlace ? 1 : 0));
  if (Parts.HasPLTE) AddChunk(png, "PLTE", Parts.PLTE);
  if (Parts.HasTRNS) AddChunk(png, "tRNS", Parts.tRNS);
  AddChunk(png, "IDAT", Deflate(ScanlineData(W, H, Depth, Type, Interlace, Rows, FilterSeed), Level));
  AddChunk(png, "IEND", {});
  return png;
}

// libpng configured to hand every image out as 8-bit R, G, B, A (high byte of 16-bit
// samples, tRNS turned into alpha, no gamma).
inline bool LibPNGDecode(const std::vector<uint8_t>& File, std::vector<uint8_t>& Rgba, uint32_t& W, uint32_t& H) {
  struct TSource { const uint8_t* p; size_t left; };
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  TSource src{File.data(), File.size()};
  std::vector<png_bytep> rows;
  Rgba.clear();
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_error_fn(png, nullptr, [](png_structp p, png_const_charp) { png_longjmp(p, 1); },
                   [](png_structp, png_const_charp) {});
  png_set_read_fn(png, &src, [](png_structp p, png_bytep out, png_size_t n) {
    auto* s = static_cast<TSource*>(png_get_io_ptr(p));
    if (n > s->left) png_error(p, "short");
    std::memcpy(out, s->p, n);
    s->p += n;
    s->left -= n;
  });
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_read_info(png, info);
  const int type = png_get_color_type(png, info);
  png_set_expand(png);
  png_set_strip_16(png);
  if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  png_set_tRNS_to_alpha(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  W = png_get_image_width(png, info);
  H = png_get_image_height(png, info);
  if (png_get_rowbytes(png, info) != size_t(W) * 4) png_error(png, "layout");
  Rgba.resize(size_t(W) * H * 4);
  rows.resize(H);
  for (uint32_t y = 0; y < H; ++y) rows[y] = Rgba.data() + size_t(y) * W * 4;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

// libjpeg with its default decompression to 8-bit RGB, widened to R, G, B, 255.
inline bool LibJPEGDecode(const std::vector<uint8_t>& File, std::vector<uint8_t>& Rgba, uint32_t& W, uint32_t& H) {
  struct TErr { jpeg_error_mgr mgr; jmp_buf jump; };
  jpeg_decompress_struct cinfo;
  TErr err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<TErr*>(c->err)->jump, 1); };
  err.mgr.output_message = [](j_common_ptr) {};
  std::vector<uint8_t>* out = &Rgba;
  std::vector<uint8_t> row;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, File.data(), static_cast<unsigned long>(File.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  W = cinfo.output_width;
  H = cinfo.output_height;
  row.resize(size_t(W) * 3);
  out->assign(size_t(W) * H * 4, 255);
  while (cinfo.output_scanline < H) {
    JSAMPROW r = row.data();
    const uint32_t y = cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &r, 1);
    for (uint32_t x = 0; x < W; ++x) std::memcpy(&(*out)[(size_t(y) * W + x) * 4], &row[x * 3], 3);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

// Encodes R, G, B (or grey) pixels with libjpeg.
inline std::vector<uint8_t> EncodeJPEG(uint32_t W, uint32_t H, int Components, const std::vector<uint8_t>& Pixels,
                                       int Quality = 90, J_COLOR_SPACE Space = JCS_UNKNOWN,
                                       J_COLOR_SPACE StoreAs = JCS_UNKNOWN,
                                       const std::vector<jpeg_scan_info>* Scans = nullptr) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &mem, &size);
  c.image_width = W;
  c.image_height = H;
  c.input_components = Components;
  c.in_color_space = Space != JCS_UNKNOWN ? Space : Components == 1 ? JCS_GRAYSCALE : Components == 4 ? JCS_CMYK : JCS_RGB;
  jpeg_set_defaults(&c);
  if (StoreAs != JCS_UNKNOWN) jpeg_set_colorspace(&c, StoreAs);
  jpeg_set_quality(&c, Quality, TRUE);
  if (Scans) {
    c.scan_info = Scans->data();
    c.num_scans = static_cast<int>(Scans->size());
  }
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < H) {
    JSAMPROW r = const_cast<JSAMPROW>(&Pixels[size_t(c.next_scanline) * W * Components]);
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<uint8_t> out(mem, mem + size);
  jpeg_destroy_compress(&c);
  std::free(mem);
  return out;
}

}  // namespace imgtest
