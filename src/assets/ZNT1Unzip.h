#pragma once
// The unzip engine: decodes one ZIP entry (stored, shrunk, imploded, deflated) into a
// memory stream and checks its CRC-32. Also the ZIP records and the read-only input
// stream the archives are read through.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class TMemoryStream;

// Status codes of DoDecompress: 0 is success, anything else a failure.
constexpr int32_t StatusOk = 0;
constexpr int32_t StatusCRCErr = -1;
constexpr int32_t StatusWriteErr = -2;
constexpr int32_t StatusReadErr = -3;
constexpr int32_t StatusZipFileErr = -4;
constexpr int32_t StatusNotSupported = -6;
constexpr int32_t StatusEncrypted = -7;
constexpr int32_t StatusZipFileOpenError = -14;
// A dynamic Deflate block whose header counts run past their limits.
constexpr int32_t StatusDynamicHeaderErr = 1;

// Huffman table build results.
constexpr int HuffmanTreeComplete = 0;
constexpr int HuffmanTreeIncomplete = 1;
constexpr int HuffmanTreeError = 2;
constexpr int HuffmanTreeOutOfMemory = 3;

constexpr int32_t SlidingDictionaryWindowSize = 32768;
constexpr int32_t InBufferSize = 4096;

// ZIP records, decoded field by field from their little-endian bytes.
struct TZIPLocalFileHeader {
  uint8_t Signature[4];
  uint16_t ExtractVersion;
  uint16_t BitFlags;
  uint16_t CompressMethod;
  uint16_t Time;
  uint16_t Date;
  uint32_t CRC32;
  uint32_t CompressedSize;
  uint32_t UncompressedSize;
  uint16_t FileNameLength;
  uint16_t ExtraFieldLength;
};

struct TZIPCentralFileHeader {
  uint8_t Signature[4];
  uint16_t CreatorVersion;
  uint16_t ExtractVersion;
  uint16_t BitFlags;
  uint16_t CompressMethod;
  uint16_t Time;
  uint16_t Date;
  uint32_t CRC32;
  uint32_t CompressedSize;
  uint32_t UncompressedSize;
  uint16_t FileNameLength;
  uint16_t ExtraFieldLength;
  uint16_t FileCommentLength;
  uint16_t StartDiskNumber;
  uint16_t InternalAttrributes;
  uint32_t ExternalAttrributes;
  uint32_t LocalFileHeaderOffset;
};

struct TZIPEndCentralFileHeader {
  uint8_t Signature[4];
  uint16_t DiskNumber;
  uint16_t CentralDirectoryStartDisk;
  uint16_t EntriesThisDisk;
  uint16_t TotalEntries;
  uint32_t CentralDirectorySize;
  uint32_t StartDiskOffset;
  uint16_t CommentLength;
};

constexpr size_t ZIPLocalFileHeaderSize = 30;
constexpr size_t ZIPCentralFileHeaderSize = 46;
constexpr size_t ZIPEndCentralFileHeaderSize = 22;

// Each decoder takes exactly the record's byte size and checks nothing (signature included).
TZIPLocalFileHeader DecodeLocalFileHeader(const uint8_t* Bytes);
TZIPCentralFileHeader DecodeCentralFileHeader(const uint8_t* Bytes);
TZIPEndCentralFileHeader DecodeEndCentralFileHeader(const uint8_t* Bytes);
bool IsLocalFileHeaderSignature(const uint8_t* Bytes);
bool IsCentralFileHeaderSignature(const uint8_t* Bytes);
bool IsEndCentralFileHeaderSignature(const uint8_t* Bytes);

// The ZIP CRC-32 (reflected, polynomial 0xEDB88320).
void InitCRC32(uint32_t& CRC);
void UpdateCRC32(uint32_t& CRC, const void* Buffer, size_t Length);
void DoneCRC32(uint32_t& CRC);

// Read-only random access to the bytes of an archive. Reads past the end come short.
class TZNT1InputStream {
 public:
  virtual ~TZNT1InputStream() = default;
  virtual int64_t Size() const = 0;
  // Copies up to Count bytes from Position on; returns how many were copied (0 past the end).
  virtual int64_t ReadAt(int64_t Position, void* Buffer, int64_t Count) = 0;
};

// An archive held in memory.
class TZNT1MemoryInputStream : public TZNT1InputStream {
 public:
  explicit TZNT1MemoryInputStream(std::vector<uint8_t> Bytes) : Data(std::move(Bytes)) {}
  int64_t Size() const override { return static_cast<int64_t>(Data.size()); }
  int64_t ReadAt(int64_t Position, void* Buffer, int64_t Count) override;

  std::vector<uint8_t> Data;
};

// What the central directory says of an entry. Entries written with a data descriptor
// leave CRC and sizes out of their local header; these values stand in for them then.
struct TZNT1ZipEntryInfo {
  uint32_t CRC32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
};

// Called once per input block, so that a long extraction can keep the loading screen alive.
using TZNT1KeepAlive = std::function<void()>;

// Decodes the entry whose local header lies at Offset of InStream into OutStream.
// On success OutStream holds exactly the uncompressed bytes, positioned at its end;
// on any failure it is left empty.
int32_t DoDecompress(TZNT1InputStream& InStream, TMemoryStream& OutStream, int64_t Offset,
                     const TZNT1ZipEntryInfo& Central, const TZNT1KeepAlive& Idle = nullptr);
bool Decompress(TZNT1InputStream& InStream, TMemoryStream& OutStream, int64_t Offset,
                const TZNT1ZipEntryInfo& Central, const TZNT1KeepAlive& Idle = nullptr);
