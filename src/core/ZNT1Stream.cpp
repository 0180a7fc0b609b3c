#include "core/ZNT1Stream.h"

#include <algorithm>

int64_t TMemoryStream::Seek(int64_t Offset) {
  Position = std::clamp<int64_t>(Offset, 0, Size());
  return Position;
}

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  const int64_t n = std::min(Count, Size() - Position);
  if (n <= 0) return 0;
  std::memcpy(Buffer, Data.data() + Position, static_cast<size_t>(n));
  Position += n;
  return n;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  const size_t end = static_cast<size_t>(Position + Count);
  if (end > Data.size()) Data.resize(end);
  std::memcpy(Data.data() + Position, Buffer, static_cast<size_t>(Count));
  Position += Count;
  return Count;
}
