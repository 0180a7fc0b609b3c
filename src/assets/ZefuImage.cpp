#include "assets/ZefuImage.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#ifndef JCS_EXTENSIONS
#error "libjpeg-turbo is needed: the decoder asks for JCS_EXT_RGBA output"
#endif

#include "assets/ZefuDDS.h"
#include "assets/ZefuPNG.h"
#include "assets/ZefuTGA.h"

namespace {

// Largest decoded image handed out: 2^28 pixels (1 GiB).
constexpr uint64_t MaxImageBytes = uint64_t(1) << 30;

// libjpeg reports through these: every error and every warning about damaged data (cut
// short, bad codes, lost markers) jumps back to the decoder, and nothing is printed. Notes
// about harmless oddities (an unknown JFIF revision, stray bytes before a marker) pass.
struct TJPEGError {
  jpeg_error_mgr Mgr;
  jmp_buf Jump;
};

void JPEGErrorExit(j_common_ptr Info) { longjmp(reinterpret_cast<TJPEGError*>(Info->err)->Jump, 1); }

void JPEGEmitMessage(j_common_ptr Info, int Level) {
  if (Level >= 0) return;  // trace messages
  switch (Info->err->msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_TOO_MUCH_DATA:
      longjmp(reinterpret_cast<TJPEGError*>(Info->err)->Jump, 1);
    default:
      break;
  }
}

void JPEGOutputMessage(j_common_ptr) {}

// A progressive file may hold any number of scans, each a pass over the whole image: a small
// file could keep the decoder busy for minutes. Real pictures use about ten.
constexpr int MaxJPEGScans = 500;

// What libjpeg may use beyond the size of the decoded picture: row buffers and tables take
// a few megabytes at the widest; the rest lets a full-resolution colour progressive picture
// (6 bytes a pixel of coefficients against 4 of output) through up to 4096 x 4096.
constexpr uint64_t JPEGMemoryMargin = uint64_t(64) << 20;

void JPEGProgress(j_common_ptr Info) {
  if (Info->is_decompressor && reinterpret_cast<j_decompress_ptr>(Info)->input_scan_number > MaxJPEGScans)
    longjmp(reinterpret_cast<TJPEGError*>(Info->err)->Jump, 1);
}

bool DecodeJPEG(const uint8_t* Data, uint32_t Size, void*& ImageData, int32_t& ImageWidth,
                int32_t& ImageHeight) {
  jpeg_decompress_struct cinfo;
  TJPEGError err;
  // Only plain data lives across the jump.
  uint8_t* volatile pixels = nullptr;
  cinfo.err = jpeg_std_error(&err.Mgr);
  err.Mgr.error_exit = JPEGErrorExit;
  err.Mgr.emit_message = JPEGEmitMessage;
  err.Mgr.output_message = JPEGOutputMessage;
  if (setjmp(err.Jump)) {
    jpeg_destroy_decompress(&cinfo);
    std::free(pixels);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_progress_mgr progress{};
  progress.progress_monitor = JPEGProgress;
  cinfo.progress = &progress;
  jpeg_mem_src(&cinfo, Data, Size);
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) longjmp(err.Jump, 1);
  // CMYK pictures come out as CMYK and are converted below.
  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
  // Refuse oversized pictures before libjpeg allocates for them: for a multi-scan file
  // jpeg_start_decompress reads every scan into a buffer of all coefficients (128 bytes per
  // block and component), which a small file can make huge.
  jpeg_calc_output_dimensions(&cinfo);
  const uint64_t outBytes = uint64_t(cinfo.output_width) * cinfo.output_height * 4;
  if (uint64_t(cinfo.image_width) * cinfo.image_height * 4 > MaxImageBytes || outBytes > MaxImageBytes)
    longjmp(err.Jump, 1);
  // Inside the cap, libjpeg may take what the picture itself takes plus a margin; a
  // coefficient buffer past that would need a backing store, which this libjpeg lacks, and
  // ends in an error instead.
  cinfo.mem->max_memory_to_use = long(outBytes + JPEGMemoryMargin);
  jpeg_start_decompress(&cinfo);
  const uint32_t w = cinfo.output_width, h = cinfo.output_height;
  if (w == 0 || h == 0 || cinfo.output_components != 4 || uint64_t(w) * h * 4 > MaxImageBytes)
    longjmp(err.Jump, 1);
  pixels = static_cast<uint8_t*>(std::malloc(size_t(w) * h * 4));
  if (!pixels) longjmp(err.Jump, 1);
  while (cinfo.output_scanline < h) {
    JSAMPROW row = pixels + size_t(cinfo.output_scanline) * w * 4;
    if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) longjmp(err.Jump, 1);
  }
  if (cmyk) {
    // Adobe files store the inks inverted (255 = no ink).
    const bool inverted = cinfo.saw_Adobe_marker;
    uint8_t* p = pixels;
    for (size_t i = 0; i < size_t(w) * h; ++i, p += 4) {
      const uint32_t k = inverted ? p[3] : 255u - p[3];
      for (int c = 0; c < 3; ++c) {
        const uint32_t v = inverted ? p[c] : 255u - p[c];
        p[c] = uint8_t((v * k + 127) / 255);
      }
      p[3] = 255;
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  ImageData = pixels;
  ImageWidth = int32_t(w);
  ImageHeight = int32_t(h);
  return true;
}

}  // namespace

bool LoadImage(const void* DataPointer, uint32_t DataSize, void*& ImageData, int32_t& ImageWidth,
               int32_t& ImageHeight, int32_t MipMapLevel) {
  const uint8_t* data = static_cast<const uint8_t*>(DataPointer);
  if (MipMapLevel == 0) {
    if (LoadPNG(DataPointer, DataSize, ImageData, ImageWidth, ImageHeight, false)) return true;
    if (data && DataSize > 2 && data[0] == 0xFF && data[1] == 0xD8 &&
        DecodeJPEG(data, DataSize, ImageData, ImageWidth, ImageHeight))
      return true;
  }
  if (LoadDDSImage(DataPointer, DataSize, ImageData, ImageWidth, ImageHeight, MipMapLevel)) return true;
  return MipMapLevel == 0 && LoadTGAImage(DataPointer, DataSize, ImageData, ImageWidth, ImageHeight);
}
