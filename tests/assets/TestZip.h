#pragma once
// A small ZIP reader over zlib for tests that need the files of the content archives
// without depending on the engine's own archive code.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testzip {

struct TEntry {
  std::string Name;
  uint16_t Method = 0;
  uint32_t CompressedSize = 0;
  uint32_t Size = 0;
  uint32_t LocalOffset = 0;
};

class TZip {
 public:
  explicit TZip(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    Data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    Parse();
  }

  bool Ok() const { return ok; }
  const std::vector<TEntry>& Entries() const { return entries; }

  // Stored and deflated entries only.
  bool Extract(const TEntry& E, std::vector<uint8_t>& Out) const {
    const uint64_t lh = E.LocalOffset;
    if (lh + 30 > Data.size() || Get32(lh) != 0x04034B50) return false;
    const uint64_t start = lh + 30 + Get16(lh + 26) + Get16(lh + 28);
    if (start + E.CompressedSize > Data.size()) return false;
    const uint8_t* src = Data.data() + start;
    Out.assign(E.Size, 0);
    if (E.Method == 0) {
      if (E.CompressedSize != E.Size) return false;
      if (E.Size) std::memcpy(Out.data(), src, E.Size);
      return true;
    }
    if (E.Method != 8) return false;
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(src);
    z.avail_in = E.CompressedSize;
    z.next_out = Out.data();
    z.avail_out = E.Size;
    const int r = inflate(&z, Z_FINISH);
    const bool done = (r == Z_STREAM_END || (r == Z_BUF_ERROR && E.Size == 0)) && z.total_out == E.Size;
    inflateEnd(&z);
    return done;
  }

 private:
  std::vector<uint8_t> Data;
  std::vector<TEntry> entries;
  bool ok = false;

  uint32_t Get16(uint64_t at) const { return Data[at] | Data[at + 1] << 8; }
  uint32_t Get32(uint64_t at) const { return Get16(at) | Get16(at + 2) << 16; }

  void Parse() {
    if (Data.size() < 22) return;
    uint64_t eocd = Data.size() - 22;
    const uint64_t lowest = Data.size() > 22 + 65535 ? Data.size() - 22 - 65535 : 0;
    while (Get32(eocd) != 0x06054B50) {
      if (eocd == lowest) return;
      --eocd;
    }
    const uint32_t count = Get16(eocd + 10);
    uint64_t at = Get32(eocd + 16);
    for (uint32_t i = 0; i < count; ++i) {
      if (at + 46 > Data.size() || Get32(at) != 0x02014B50) return;
      TEntry e;
      e.Method = uint16_t(Get16(at + 10));
      e.CompressedSize = Get32(at + 20);
      e.Size = Get32(at + 24);
      const uint32_t nameLen = Get16(at + 28);
      e.LocalOffset = Get32(at + 42);
      if (at + 46 + nameLen > Data.size()) return;
      e.Name.assign(reinterpret_cast<const char*>(Data.data() + at + 46), nameLen);
      at += 46 + nameLen + Get16(at + 30) + Get16(at + 32);
      entries.push_back(std::move(e));
    }
    ok = true;
  }
};

}  // namespace testzip
