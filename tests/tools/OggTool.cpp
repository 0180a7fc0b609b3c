// Test helper run as its own process (it links the reference Vorbis libraries, which share their
// names with the integer decoder the engine links):
//   OggTool encode OUT CHANNELS RATE FRAMES   writes an Ogg with one sine tone per channel,
//                                             channel c at 400 × (c + 1) Hz, the low-frequency
//                                             channel of six (the encoder band-limits it) at 100 Hz
//   OggTool info FILE...                      prints "FILE LENGTH RATE" per file
#include <vorbis/vorbisenc.h>
#include <vorbis/vorbisfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

int Encode(const char* out, int channels, long rate, long frames) {
  FILE* f = std::fopen(out, "wb");
  if (!f) return 2;
  vorbis_info vi;
  vorbis_info_init(&vi);
  if (vorbis_encode_init_vbr(&vi, channels, rate, 0.4f) != 0) return 3;
  vorbis_comment vc;
  vorbis_comment_init(&vc);
  vorbis_dsp_state vd;
  vorbis_block vb;
  vorbis_analysis_init(&vd, &vi);
  vorbis_block_init(&vd, &vb);
  ogg_stream_state os;
  ogg_stream_init(&os, 12345);
  ogg_packet h, hc, hcode;
  vorbis_analysis_headerout(&vd, &vc, &h, &hc, &hcode);
  ogg_stream_packetin(&os, &h);
  ogg_stream_packetin(&os, &hc);
  ogg_stream_packetin(&os, &hcode);
  ogg_page og;
  while (ogg_stream_flush(&os, &og)) {
    std::fwrite(og.header, 1, og.header_len, f);
    std::fwrite(og.body, 1, og.body_len, f);
  }
  long done = 0;
  bool eos = false;
  while (!eos) {
    const long n = frames - done < 1024 ? frames - done : 1024;
    if (n > 0) {
      float** buffer = vorbis_analysis_buffer(&vd, static_cast<int>(n));
      for (int c = 0; c < channels; ++c) {
        const double frequency = channels == 6 && c == 5 ? 100.0 : 400.0 * (c + 1);
        for (long i = 0; i < n; ++i)
          buffer[c][i] = 0.3f * static_cast<float>(std::sin(2.0 * M_PI * frequency * (done + i) / rate));
      }
      vorbis_analysis_wrote(&vd, static_cast<int>(n));
      done += n;
    } else {
      vorbis_analysis_wrote(&vd, 0);
    }
    while (vorbis_analysis_blockout(&vd, &vb) == 1) {
      vorbis_analysis(&vb, nullptr);
      vorbis_bitrate_addblock(&vb);
      ogg_packet op;
      while (vorbis_bitrate_flushpacket(&vd, &op)) {
        ogg_stream_packetin(&os, &op);
        while (!eos && ogg_stream_pageout(&os, &og)) {
          std::fwrite(og.header, 1, og.header_len, f);
          std::fwrite(og.body, 1, og.body_len, f);
          if (ogg_page_eos(&og)) eos = true;
        }
      }
    }
  }
  ogg_stream_clear(&os);
  vorbis_block_clear(&vb);
  vorbis_dsp_clear(&vd);
  vorbis_comment_clear(&vc);
  vorbis_info_clear(&vi);
  return std::fclose(f) == 0 ? 0 : 4;
}

int Info(int count, char** files) {
  for (int i = 0; i < count; ++i) {
    OggVorbis_File vf;
    if (ov_fopen(files[i], &vf) != 0) {
      std::printf("%s -1 -1\n", files[i]);
      continue;
    }
    std::printf("%s %lld %ld\n", files[i], static_cast<long long>(ov_pcm_total(&vf, -1)), ov_info(&vf, -1)->rate);
    ov_clear(&vf);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "encode") == 0)
    return Encode(argv[2], std::atoi(argv[3]), std::atol(argv[4]), std::atol(argv[5]));
  if (argc >= 3 && std::strcmp(argv[1], "info") == 0) return Info(argc - 2, argv + 2);
  std::fprintf(stderr, "usage: OggTool encode OUT CHANNELS RATE FRAMES | info FILE...\n");
  return 1;
}
