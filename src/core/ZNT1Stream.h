#pragma once
// An in-memory byte stream: what the archives hand out for every content file.
#include <cstdint>
#include <cstring>
#include <vector>

class TMemoryStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> Bytes) : Data(std::move(Bytes)) {}

  int64_t Size() const { return static_cast<int64_t>(Data.size()); }
  int64_t GetPosition() const { return Position; }
  // Clamped to [0, Size]; returns the new position.
  int64_t Seek(int64_t Offset);
  // Copies at most Count bytes from the current position; returns how many were copied.
  int64_t Read(void* Buffer, int64_t Count);
  // Writes at the current position, growing the stream; returns Count.
  int64_t Write(const void* Buffer, int64_t Count);
  const uint8_t* Memory() const { return Data.data(); }
  uint8_t* Memory() { return Data.data(); }

  std::vector<uint8_t> Data;

 private:
  int64_t Position = 0;
};
