#pragma once
// A small ZIP reader over zlib for tests that need the files of the content archives
// without depending on the engine's own archive code.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
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
  // The archive is mapped, not read: the content archives are hundreds of megabytes.
  explicit TZip(const std::string& Path) {
    const int fd = open(Path.c_str(), O_RDONLY);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      void* m = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (m != MAP_FAILED) {
        Base = static_cast<const uint8_t*>(m);
        Length = size_t(st.st_size);
      }
    }
    close(fd);
    Parse();
  }
  ~TZip() {
    if (Base) munmap(const_cast<uint8_t*>(Base), Length);
  }
  TZip(const TZip&) = delete;
  TZip& operator=(const TZip&) = delete;

  bool Ok() const { return ok; }
  const std::vector<TEntry>& Entries() const { return entries; }

  // Stored and deflated entries only.
  bool Extract(const TEntry& E, std::vector<uint8_t>& Out) const {
    const uint64_t lh = E.LocalOffset;
    if (lh + 30 > Length || Get32(lh) != 0x04034B50) return false;
    const uint64_t start = lh + 30 + Get16(lh + 26) + Get16(lh + 28);
    if (start + E.CompressedSize > Length) return false;
    const uint8_t* src = Base + start;
    Out.resize(E.Size);
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
  const uint8_t* Base = nullptr;
  size_t Length = 0;
  std::vector<TEntry> entries;
  bool ok = false;

  uint32_t Get16(uint64_t at) const { return Base[at] | Base[at + 1] << 8; }
  uint32_t Get32(uint64_t at) const { return Get16(at) | Get16(at + 2) << 16; }

  void Parse() {
    if (Length < 22) return;
    uint64_t eocd = Length - 22;
    const uint64_t lowest = Length > 22 + 65535 ? Length - 22 - 65535 : 0;
    while (Get32(eocd) != 0x06054B50) {
      if (eocd == lowest) return;
      --eocd;
    }
    const uint32_t count = Get16(eocd + 10);
    uint64_t at = Get32(eocd + 16);
    for (uint32_t i = 0; i < count; ++i) {
      if (at + 46 > Length || Get32(at) != 0x02014B50) return;
      TEntry e;
      e.Method = uint16_t(Get16(at + 10));
      e.CompressedSize = Get32(at + 20);
      e.Size = Get32(at + 24);
      const uint32_t nameLen = Get16(at + 28);
      e.LocalOffset = Get32(at + 42);
      if (at + 46 + nameLen > Length) return;
      e.Name.assign(reinterpret_cast<const char*>(Base + at + 46), nameLen);
      at += 46 + nameLen + Get16(at + 30) + Get16(at + 32);
      entries.push_back(std::move(e));
    }
    ok = true;
  }
};

}  // namespace testzip
