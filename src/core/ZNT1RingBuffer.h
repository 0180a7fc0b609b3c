#pragma once
// Lock-free byte queue for exactly one writer thread and one reader thread.
#include <cstdint>
#include <vector>

class TZNT1RingBuffer {
 public:
  explicit TZNT1RingBuffer(int32_t ASize);

  // Bytes held, read atomically.
  int32_t Used();
  // All or nothing: returns the free space before the write, 0 when refused.
  int32_t Write(const void* Buffer, int32_t Bytes);
  // Copies up to Bytes; returns how many.
  int32_t Read(void* Buffer, int32_t Bytes);

  int32_t Size;
  volatile int32_t Filled = 0;
  int32_t ReadPos = 0;
  int32_t WritePos = 0;
  std::vector<uint8_t> Data;
};
