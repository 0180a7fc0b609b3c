#pragma once
// Builds ZIP archives, raw Deflate streams (through zlib) and imploded data in memory for
// the archive and unzip tests.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Unzip.h"

namespace ziptest {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline uint32_t Crc(const Bytes& b) {
  return static_cast<uint32_t>(crc32(0L, b.data(), static_cast<uInt>(b.size())));
}

inline void Put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
inline void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// Raw Deflate (no zlib header) at a level and strategy; FlushEvery > 0 ends a block
// with a full flush after that many input bytes.
inline Bytes DeflateRaw(const Bytes& in, int level = 6, int strategy = Z_DEFAULT_STRATEGY,
                        size_t flushEvery = 0, int memLevel = 8) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, -15, memLevel, strategy) != Z_OK) throw std::runtime_error("deflateInit2");
  Bytes out(deflateBound(&s, static_cast<uLong>(in.size())) + 64 + (flushEvery ? in.size() / flushEvery * 16 : 0));
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  size_t pos = 0;
  do {
    const size_t chunk = flushEvery ? std::min(flushEvery, in.size() - pos) : in.size() - pos;
    s.next_in = const_cast<Bytes::value_type*>(in.data()) + pos;
    s.avail_in = static_cast<uInt>(chunk);
    pos += chunk;
    const int flush = pos >= in.size() ? Z_FINISH : Z_FULL_FLUSH;
    const int r = deflate(&s, flush);
    if (r == Z_STREAM_ERROR) throw std::runtime_error("deflate");
  } while (pos < in.size());
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// Raw inflate through zlib, for checking hand-built streams.
inline bool InflateRawZlib(const Bytes& in, Bytes& out, size_t expected) {
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) return false;
  out.assign(expected + 1, 0);
  s.next_in = const_cast<Bytes::value_type*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  const int r = inflate(&s, Z_FINISH);
  out.resize(s.total_out);
  inflateEnd(&s);
  return r == Z_STREAM_END;
}

// Bits least significant first, as Deflate, Implode and Shrink pack them.
class BitWriter {
 public:
  void Put(uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      if (bits_ == 0) out_.push_back(0);
      if ((value >> i) & 1) out_.back() |= static_cast<uint8_t>(1u << bits_);
      bits_ = (bits_ + 1) & 7;
    }
  }
  // A Huffman code given most significant bit first.
  void PutCode(uint32_t code, unsigned length) {
    for (unsigned i = length; i-- > 0;) Put((code >> i) & 1, 1);
  }
  void Byte(uint8_t b) { Put(b, 8); }
  void Align() { bits_ = 0; }
  const Bytes& Data() const { return out_; }

 private:
  Bytes out_;
  unsigned bits_ = 0;
};

// Random bytes and text-like compressible bytes, seeded.
inline Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

inline Bytes TextBytes(size_t n, uint32_t seed) {
  static const char* const words[] = {"texture", "map", " ", "shader", "{", "}", "\n", "blend", "GL_ONE",
                                      "rgbGen", "identity", "0.5", "textures/base/wall.tga", "\t", "clamp"};
  std::mt19937 rng(seed);
  Bytes b;
  b.reserve(n + 32);
  while (b.size() < n) {
    const char* w = words[rng() % (sizeof(words) / sizeof(words[0]))];
    b.insert(b.end(), w, w + std::strlen(w));
    if (rng() % 50 == 0) {
      const size_t run = rng() % 300;
      b.insert(b.end(), run, static_cast<uint8_t>('a' + rng() % 3));
    }
  }
  b.resize(n);
  return b;
}

// Runs that repeat a short random pattern (periods 1 to 9): long matches at short distances.
inline Bytes PeriodicBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  b.reserve(n + 1100);
  while (b.size() < n) {
    const size_t period = 1 + rng() % 9, run = 1 + rng() % 1000;
    uint8_t pattern[9];
    for (auto& x : pattern) x = static_cast<uint8_t>(rng());
    for (size_t i = 0; i < run; ++i) b.push_back(pattern[i % period]);
  }
  b.resize(n);
  return b;
}

struct Entry {
  std::string Name;
  Bytes Data;                // uncompressed content
  uint16_t Method = 8;       // 0 stored, 8 deflated (compressed here); others need Compressed
  Bytes Compressed;          // used as given when not empty or when Method is not 0/8
  bool UseCompressed = false;
  uint16_t Flags = 0;
  bool Descriptor = false;   // sizes and CRC after the data (bit 3)
  bool DescriptorSignature = false;
  int Level = 6;
};

struct Archive {
  Bytes Bytes_;
  std::vector<uint32_t> LocalOffsets;
};

// Writes local headers, data, optional descriptors, the central directory and the end record.
inline Archive BuildZip(const std::vector<Entry>& entries, const std::string& comment = "",
                        int entriesAnnounced = -1) {
  Archive a;
  Bytes& z = a.Bytes_;
  struct Central {
    std::string name;
    uint16_t method, flags;
    uint32_t crc, csize, usize, offset;
  };
  std::vector<Central> central;
  for (const Entry& e : entries) {
    Bytes comp;
    if (e.UseCompressed || (e.Method != 0 && e.Method != 8))
      comp = e.Compressed;
    else if (e.Method == 0)
      comp = e.Data;
    else
      comp = DeflateRaw(e.Data, e.Level);
    const uint32_t crc = Crc(e.Data);
    const uint16_t flags = static_cast<uint16_t>(e.Flags | (e.Descriptor ? 8 : 0));
    const uint32_t offset = static_cast<uint32_t>(z.size());
    a.LocalOffsets.push_back(offset);
    Put32(z, 0x04034B50);
    Put16(z, 20);
    Put16(z, flags);
    Put16(z, e.Method);
    Put16(z, 0);
    Put16(z, 0);
    Put32(z, e.Descriptor ? 0 : crc);
    Put32(z, e.Descriptor ? 0 : static_cast<uint32_t>(comp.size()));
    Put32(z, e.Descriptor ? 0 : static_cast<uint32_t>(e.Data.size()));
    Put16(z, static_cast<uint32_t>(e.Name.size()));
    Put16(z, 0);
    z.insert(z.end(), e.Name.begin(), e.Name.end());
    Append(z, comp);
    if (e.Descriptor) {
      if (e.DescriptorSignature) Put32(z, 0x08074B50);
      Put32(z, crc);
      Put32(z, static_cast<uint32_t>(comp.size()));
      Put32(z, static_cast<uint32_t>(e.Data.size()));
    }
    central.push_back({e.Name, e.Method, flags, crc, static_cast<uint32_t>(comp.size()),
                       static_cast<uint32_t>(e.Data.size()), offset});
  }
  const uint32_t cdStart = static_cast<uint32_t>(z.size());
  for (const Central& c : central) {
    Put32(z, 0x02014B50);
    Put16(z, 20);
    Put16(z, 20);
    Put16(z, c.flags);
    Put16(z, c.method);
    Put16(z, 0);
    Put16(z, 0);
    Put32(z, c.crc);
    Put32(z, c.csize);
    Put32(z, c.usize);
    Put16(z, static_cast<uint32_t>(c.name.size()));
    Put16(z, 0);
    Put16(z, 0);
    Put16(z, 0);
    Put16(z, 0);
    Put32(z, 0);
    Put32(z, c.offset);
    z.insert(z.end(), c.name.begin(), c.name.end());
  }
  const uint32_t cdSize = static_cast<uint32_t>(z.size()) - cdStart;
  const uint32_t count = entriesAnnounced >= 0 ? static_cast<uint32_t>(entriesAnnounced)
                                               : static_cast<uint32_t>(central.size());
  Put32(z, 0x06054B50);
  Put16(z, 0);
  Put16(z, 0);
  Put16(z, count);
  Put16(z, count);
  Put32(z, cdSize);
  Put32(z, cdStart);
  Put16(z, static_cast<uint32_t>(comment.size()));
  z.insert(z.end(), comment.begin(), comment.end());
  return a;
}

// ---------------------------------------------------------------------------------------
// A small imploder (PKWARE method 6) for the variants no real sample covers.

// Code lengths of a length-limited Huffman code for the given counts (every symbol gets a
// code); simple repeated halving of the counts until the limit holds.
inline std::vector<uint8_t> HuffmanLengths(std::vector<uint32_t> freq, unsigned limit) {
  const size_t n = freq.size();
  for (;;) {
    struct Node {
      uint64_t w;
      int left, right;
    };
    std::vector<Node> nodes;
    std::vector<int> heap;
    for (size_t i = 0; i < n; ++i) {
      nodes.push_back({std::max<uint64_t>(freq[i], 1), -1, -1});
      heap.push_back(static_cast<int>(i));
    }
    auto cmp = [&](int a, int b) { return nodes[a].w > nodes[b].w; };
    std::make_heap(heap.begin(), heap.end(), cmp);
    while (heap.size() > 1) {
      std::pop_heap(heap.begin(), heap.end(), cmp);
      const int a = heap.back();
      heap.pop_back();
      std::pop_heap(heap.begin(), heap.end(), cmp);
      const int b = heap.back();
      heap.pop_back();
      nodes.push_back({nodes[a].w + nodes[b].w, a, b});
      heap.push_back(static_cast<int>(nodes.size()) - 1);
      std::push_heap(heap.begin(), heap.end(), cmp);
    }
    std::vector<uint8_t> lens(n, 0);
    std::vector<std::pair<int, unsigned>> stack{{heap[0], 0}};
    unsigned maxLen = 0;
    while (!stack.empty()) {
      auto [node, depth] = stack.back();
      stack.pop_back();
      if (nodes[node].left < 0) {
        lens[node] = static_cast<uint8_t>(std::max(depth, 1u));
        maxLen = std::max(maxLen, depth);
      } else {
        stack.push_back({nodes[node].left, depth + 1});
        stack.push_back({nodes[node].right, depth + 1});
      }
    }
    if (maxLen <= limit) return lens;
    for (auto& f : freq) f = (f + 1) / 2;
  }
}

// Canonical codes (by length, then symbol), most significant bit first.
inline std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lens) {
  std::vector<uint32_t> codes(lens.size());
  uint32_t code = 0;
  for (unsigned len = 1; len <= 16; ++len) {
    for (size_t s = 0; s < lens.size(); ++s)
      if (lens[s] == len) codes[s] = code++;
    code <<= 1;
  }
  return codes;
}

inline void PutTree(BitWriter& w, const std::vector<uint8_t>& lens) {
  std::vector<uint8_t> desc;
  for (size_t i = 0; i < lens.size();) {
    size_t j = i;
    while (j < lens.size() && lens[j] == lens[i] && j - i < 16) ++j;
    desc.push_back(static_cast<uint8_t>((lens[i] - 1) | ((j - i - 1) << 4)));
    i = j;
  }
  w.Byte(static_cast<uint8_t>(desc.size() - 1));
  for (uint8_t d : desc) w.Byte(d);
}

// Tree codes go into the stream bit-inverted.
inline void PutInverted(BitWriter& w, const std::vector<uint8_t>& lens, const std::vector<uint32_t>& codes,
                        unsigned sym) {
  w.PutCode(~codes[sym] & ((1u << lens[sym]) - 1), lens[sym]);
}

inline Bytes Implode(const Bytes& in, bool dict8k, bool literalTree) {
  const unsigned lowBits = dict8k ? 7 : 6;
  const uint32_t maxDist = 64u << lowBits;
  const uint32_t minLen = literalTree ? 3 : 2;
  const uint32_t maxLen = minLen + 63 + 255;
  struct Token {
    bool literal;
    uint32_t value, dist, len;
  };
  std::vector<Token> tokens;
  std::vector<int> head(1 << 12, -1), prev(in.size(), -1);
  auto hash = [&](size_t i) { return ((in[i] * 31u + in[i + 1]) * 31u + in[i + 2]) & 0xFFF; };
  for (size_t i = 0; i < in.size();) {
    uint32_t bestLen = 0, bestDist = 0;
    if (i + 3 <= in.size()) {
      int cand = head[hash(i)];
      for (int probes = 0; cand >= 0 && probes < 64; cand = prev[cand], ++probes) {
        const uint32_t dist = static_cast<uint32_t>(i - cand);
        if (dist > maxDist) break;
        uint32_t l = 0;
        while (i + l < in.size() && l < maxLen && in[cand + l] == in[i + l]) ++l;
        if (l > bestLen) {
          bestLen = l;
          bestDist = dist;
        }
      }
    }
    const size_t step = bestLen >= minLen ? bestLen : 1;
    if (bestLen >= minLen)
      tokens.push_back({false, 0, bestDist, bestLen});
    else
      tokens.push_back({true, in[i], 0, 0});
    for (size_t k = 0; k < step; ++k, ++i) {
      if (i + 3 <= in.size()) {
        const uint32_t h = hash(i);
        prev[i] = head[h];
        head[h] = static_cast<int>(i);
      }
    }
  }
  std::vector<uint32_t> litFreq(256), lenFreq(64), distFreq(64);
  for (const Token& t : tokens) {
    if (t.literal) {
      ++litFreq[t.value];
    } else {
      ++lenFreq[std::min<uint32_t>(t.len - minLen, 63)];
      ++distFreq[(t.dist - 1) >> lowBits];
    }
  }
  const auto litLens = HuffmanLengths(litFreq, 16), lenLens = HuffmanLengths(lenFreq, 16),
             distLens = HuffmanLengths(distFreq, 16);
  const auto litCodes = CanonicalCodes(litLens), lenCodes = CanonicalCodes(lenLens),
             distCodes = CanonicalCodes(distLens);
  BitWriter w;
  if (literalTree) PutTree(w, litLens);
  PutTree(w, lenLens);
  PutTree(w, distLens);
  for (const Token& t : tokens) {
    if (t.literal) {
      w.Put(1, 1);
      if (literalTree)
        PutInverted(w, litLens, litCodes, t.value);
      else
        w.Put(t.value, 8);
    } else {
      w.Put(0, 1);
      const uint32_t d = t.dist - 1;
      w.Put(d & ((1u << lowBits) - 1), lowBits);
      PutInverted(w, distLens, distCodes, d >> lowBits);
      const uint32_t l = t.len - minLen;
      PutInverted(w, lenLens, lenCodes, std::min<uint32_t>(l, 63));
      if (l >= 63) w.Put(l - 63, 8);
    }
  }
  return w.Data();
}

// A small shrinker (PKWARE method 1): LZW from 9 to 13 bit codes; once every code is taken
// the table stays as it is (no partial clearing).
inline Bytes Shrink(const Bytes& in) {
  BitWriter w;
  if (in.empty()) return {};
  std::vector<std::vector<int>> next(8193, std::vector<int>());
  auto child = [&](int code, uint8_t c) -> int& {
    auto& v = next[code];
    if (v.empty()) v.assign(256, -1);
    return v[c];
  };
  unsigned codeSize = 9;
  int nextCode = 257;
  auto emit = [&](int code) {
    while (code >= (1 << codeSize)) {
      w.Put(256, codeSize);
      w.Put(1, codeSize);
      ++codeSize;
    }
    w.Put(static_cast<uint32_t>(code), codeSize);
  };
  int cur = in[0];
  for (size_t i = 1; i < in.size(); ++i) {
    int& c = child(cur, in[i]);
    if (c >= 0) {
      cur = c;
      continue;
    }
    emit(cur);
    if (nextCode <= 8192) c = nextCode++;
    cur = in[i];
  }
  emit(cur);
  return w.Data();
}

using Files = std::vector<std::pair<std::string, Bytes>>;

// Adds Files to Archives as one archive, "zzz-test.pk3", which sorts after the content archives
// so its files win; nothing when Files is empty.
inline void AddFiles(TZNT1Archives& Archives, const Files& F) {
  if (F.empty()) return;
  std::vector<Entry> Entries;
  for (const auto& [Name, Data] : F) {
    Entry e;
    e.Name = Name;
    e.Data = Data;
    Entries.push_back(e);
  }
  auto* Stream = new TZNT1MemoryInputStream(BuildZip(Entries).Bytes_);
  if (!Archives.Load(Stream, "zzz-test.pk3", true)) delete Stream;
}

}  // namespace ziptest
