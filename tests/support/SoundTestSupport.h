#pragma once
// Builds WAVE files and edits Ogg pages in memory for the sound tests; walks RIFF files the way
// the RIFF layout defines them (odd chunks padded) as an independent reference; opens the content.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "assets/ZipTestSupport.h"
#include "core/ZNT1StringList.h"
#include "support/TestData.h"

namespace soundtest {

using Bytes = std::vector<uint8_t>;

using ziptest::Put16;
using ziptest::Put32;
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

struct Chunk {
  std::string Id;  // four bytes
  Bytes Body;
  int64_t SizeOverride = -1;  // written in place of the body's size when >= 0
};

// A RIFF WAVE file of the given chunks, in order, without pad bytes.
inline Bytes Riff(const std::vector<Chunk>& Chunks, const char* Form = "WAVE") {
  Bytes b = {'R', 'I', 'F', 'F'};
  Put32(b, 0);
  b.insert(b.end(), Form, Form + 4);
  for (const Chunk& c : Chunks) {
    b.insert(b.end(), c.Id.begin(), c.Id.begin() + 4);
    Put32(b, c.SizeOverride >= 0 ? static_cast<uint32_t>(c.SizeOverride) : static_cast<uint32_t>(c.Body.size()));
    b.insert(b.end(), c.Body.begin(), c.Body.end());
  }
  const uint32_t size = static_cast<uint32_t>(b.size() - 8);
  std::memcpy(b.data() + 4, &size, 4);
  return b;
}

// "fmt " with the 16-byte header; Extra follows it (e.g. cbSize and samples per block).
inline Chunk Fmt(uint16_t Tag, uint16_t Channels, uint32_t Rate, uint16_t Bits, uint16_t BlockAlign = 0,
                 const Bytes& Extra = {}) {
  Chunk c{"fmt ", {}};
  if (BlockAlign == 0) BlockAlign = static_cast<uint16_t>(Channels * Bits / 8);
  Put16(c.Body, Tag);
  Put16(c.Body, Channels);
  Put32(c.Body, Rate);
  Put32(c.Body, Rate * BlockAlign);
  Put16(c.Body, BlockAlign);
  Put16(c.Body, Bits);
  c.Body.insert(c.Body.end(), Extra.begin(), Extra.end());
  return c;
}

inline Chunk Data(const Bytes& Body) { return Chunk{"data", Body}; }

inline Bytes Pcm16(const std::vector<int16_t>& Values) {
  Bytes b;
  for (int16_t v : Values) Put16(b, static_cast<uint16_t>(v));
  return b;
}

struct SamplerLoop {
  int32_t Type, Start, End;
};

// "smpl" with the 36-byte header; Count (the loop count field) defaults to the records given.
inline Chunk Smpl(const std::vector<SamplerLoop>& Loops, int64_t Count = -1) {
  Chunk c{"smpl", Bytes(36, 0)};
  const uint32_t n = Count >= 0 ? static_cast<uint32_t>(Count) : static_cast<uint32_t>(Loops.size());
  std::memcpy(c.Body.data() + 28, &n, 4);
  for (const SamplerLoop& l : Loops) {
    Put32(c.Body, 0);
    Put32(c.Body, static_cast<uint32_t>(l.Type));
    Put32(c.Body, static_cast<uint32_t>(l.Start));
    Put32(c.Body, static_cast<uint32_t>(l.End));
    Put32(c.Body, 0);
    Put32(c.Body, 0);
  }
  return c;
}

// A 16-bit mono file of the given values.
inline Bytes Mono16(const std::vector<int16_t>& Values, uint32_t Rate = 44100) {
  return Riff({Fmt(1, 1, Rate, 16), Data(Pcm16(Values))});
}

// What a RIFF walker that pads odd chunks finds.
struct RiffInfo {
  bool Ok = false;
  uint16_t Tag = 0, Channels = 0, Bits = 0, BlockAlign = 0;
  uint32_t Rate = 0;
  size_t DataOffset = 0;
  uint32_t DataSize = 0;
};

inline RiffInfo WalkRiff(const Bytes& f) {
  RiffInfo r;
  if (f.size() < 12 || std::memcmp(f.data(), "RIFF", 4) != 0 || std::memcmp(f.data() + 8, "WAVE", 4) != 0) return r;
  bool fmt = false, data = false;
  size_t p = 12;
  while (p + 8 <= f.size()) {
    const uint32_t size = Get32(&f[p + 4]);
    if (!fmt && std::memcmp(&f[p], "fmt ", 4) == 0 && p + 24 <= f.size()) {
      r.Tag = Get16(&f[p + 8]);
      r.Channels = Get16(&f[p + 10]);
      r.Rate = Get32(&f[p + 12]);
      r.BlockAlign = Get16(&f[p + 20]);
      r.Bits = Get16(&f[p + 22]);
      fmt = true;
    } else if (!data && std::memcmp(&f[p], "data", 4) == 0) {
      r.DataOffset = p + 8;
      r.DataSize = size;
      data = true;
    }
    p += 8 + static_cast<size_t>(size) + (size & 1);
  }
  r.Ok = fmt && data && r.DataOffset + r.DataSize <= f.size();
  return r;
}

// Ogg page CRC (polynomial 0x04C11DB7, no reflection, initial 0).
inline uint32_t OggCrc(const uint8_t* p, size_t n) {
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint32_t>(p[i]) << 24;
    for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

// Offsets of the pages of an Ogg file, in order.
inline std::vector<size_t> OggPages(const Bytes& f) {
  std::vector<size_t> pages;
  size_t p = 0;
  while (p + 27 <= f.size() && std::memcmp(&f[p], "OggS", 4) == 0) {
    const size_t segments = f[p + 26];
    if (p + 27 + segments > f.size()) break;
    size_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += f[p + 27 + i];
    pages.push_back(p);
    p += 27 + segments + body;
  }
  return pages;
}

// Sets the granule position of the page at Offset and fixes its CRC.
inline void SetOggGranule(Bytes& f, size_t Offset, int64_t Granule) {
  std::memcpy(&f[Offset + 6], &Granule, 8);
  const size_t segments = f[Offset + 26];
  size_t body = 0;
  for (size_t i = 0; i < segments; ++i) body += f[Offset + 27 + i];
  std::memset(&f[Offset + 22], 0, 4);
  const uint32_t crc = OggCrc(&f[Offset], 27 + segments + body);
  std::memcpy(&f[Offset + 22], &crc, 4);
}

// The installed content archives, read with the engine's archive code: the whole folder, or
// the nine stock archives alone (StockOnly).
struct Content {
  TZNT1Archives Archives{nullptr};
  bool Ok = false;
  explicit Content(bool StockOnly = false) {
    if (StockOnly) {
      Ok = testdata::MountStockArchives(Archives);
      return;
    }
    Ok = Archives.LoadDirectory(testdata::ContentDir() + "/");
    Archives.Finish();
  }
  std::vector<std::string> Find(const std::string& Pattern) {
    TStringList list;
    Archives.FindFiles(Pattern, &list);
    return list.Strings;
  }
  Bytes Extract(const std::string& Name) {
    std::unique_ptr<TMemoryStream> s = Archives.ExtractFile(Name);
    return s ? s->Data : Bytes{};
  }
};

}  // namespace soundtest
