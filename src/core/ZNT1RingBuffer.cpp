#include "core/ZNT1RingBuffer.h"

#include <algorithm>
#include <cstring>

#include "core/ZNT1Globals.h"

TZNT1RingBuffer::TZNT1RingBuffer(int32_t ASize) : Size(std::max<int32_t>(ASize, 0)), Data(Size, 0) {}

int32_t TZNT1RingBuffer::Used() { return InterlockedCompareExchange(Filled, -1, -1); }

int32_t TZNT1RingBuffer::Write(const void* Buffer, int32_t Bytes) {
  const int32_t Free = Size - Used();
  if (Bytes < 0 || Free < Bytes) return 0;
  const uint8_t* src = static_cast<const uint8_t*>(Buffer);
  const int32_t first = std::min(Bytes, Size - WritePos);
  if (first > 0) std::memcpy(Data.data() + WritePos, src, static_cast<size_t>(first));
  if (Bytes > first) std::memcpy(Data.data(), src + first, static_cast<size_t>(Bytes - first));
  if (Size > 0) WritePos = (WritePos + Bytes) % Size;
  // Publish only after the copy, so the reader never sees bytes not yet written.
  InterlockedExchangeAdd(Filled, Bytes);
  return Free;
}

int32_t TZNT1RingBuffer::Read(void* Buffer, int32_t Bytes) {
  const int32_t Total = std::max(0, std::min(Bytes, Used()));
  uint8_t* dst = static_cast<uint8_t*>(Buffer);
  const int32_t first = std::min(Total, Size - ReadPos);
  if (first > 0) std::memcpy(dst, Data.data() + ReadPos, static_cast<size_t>(first));
  if (Total > first) std::memcpy(dst + first, Data.data(), static_cast<size_t>(Total - first));
  if (Size > 0) ReadPos = (ReadPos + Total) % Size;
  InterlockedExchangeAdd(Filled, -Total);
  return Total;
}
