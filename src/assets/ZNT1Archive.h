#pragma once
// The content file system: mounted ZIP archives and the list of them that indexes every
// content path to the archive supplying it.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "assets/ZNT1Unzip.h"
#include "core/ZNT1Stream.h"
#include "core/ZNT1StringHashMap.h"
#include "core/ZNT1StringList.h"

class TZNT1Engine;

// An open file read through a small cache; never throws, reads past the end come short.
// Reads may come from several threads at once.
class TZNT1FileInputStream : public TZNT1InputStream {
 public:
  // nullptr when the file cannot be opened (errno tells why).
  static std::unique_ptr<TZNT1FileInputStream> Open(const std::string& Path);
  ~TZNT1FileInputStream() override;
  TZNT1FileInputStream(const TZNT1FileInputStream&) = delete;
  TZNT1FileInputStream& operator=(const TZNT1FileInputStream&) = delete;

  int64_t Size() const override { return FileSize; }
  int64_t ReadAt(int64_t Position, void* Buffer, int64_t Count) override;

 private:
  TZNT1FileInputStream(int AHandle, int64_t ASize);
  int Handle;
  int64_t FileSize;
  std::mutex CacheLock;
  std::vector<uint8_t> Cache;
  int64_t CacheStart = 0;
  int64_t CacheSize = 0;
};

struct TZNT1ArchiveFile {
  std::string FileName;  // lower case, "/" as separator
  uint32_t Offset = 0;   // of the local header
  // The central directory's copy, for entries that keep theirs in a data descriptor.
  TZNT1ZipEntryInfo Info;
};
using TZNT1ArchiveFiles = std::vector<TZNT1ArchiveFile>;

// Lower-cases A-Z and turns "\" into "/"; nothing else changes.
std::string NormalizeArchivePath(const std::string& Path);

// "Warning: " and Text on the engine's console (when there is one) and on stderr.
void ArchiveWarning(TZNT1Engine* Engine, const std::string& Text);

// What a failed decode of an entry means, for the warning that names it.
std::string UnzipFailure(int32_t Status);

// Glob match: "*" (any run, "/" included), "?", sets "[a-c]" and "[^a-c]".
bool MatchPattern(const char* Input, const char* Pattern);

class TZNT1Archive {
 public:
  explicit TZNT1Archive(TZNT1Engine* AEngine);
  ~TZNT1Archive();
  TZNT1Archive(const TZNT1Archive&) = delete;
  TZNT1Archive& operator=(const TZNT1Archive&) = delete;

  // Reads the central directory; on failure the caller keeps ownership of AStream.
  bool Load(TZNT1InputStream* AStream, const std::string& FileName, bool ADoFree);
  bool ExistFile(const std::string& FileName) const;
  // The whole entry, positioned at its end; nullptr for an unknown path or a failed decode. A
  // failed decode (data cut short, a bad CRC, a damaged header) is named in a warning, once per
  // entry, when the archive belongs to an engine.
  std::unique_ptr<TMemoryStream> ExtractFile(const std::string& FileName);
  bool FindFiles(const std::string& Pattern, TStringList* List) const;

  TZNT1Engine* Engine;
  TZNT1InputStream* Stream = nullptr;
  std::string Name;
  bool DoFree = false;
  TZNT1ArchiveFiles Files;
  std::unique_ptr<TZNT1StringHashMap> HashMap;

 private:
  std::mutex ReportLock;
  std::vector<bool> Reported;  // per entry of Files: its failure was named
};

class TZNT1Archives {
 public:
  explicit TZNT1Archives(TZNT1Engine* AEngine);
  ~TZNT1Archives();
  TZNT1Archives(const TZNT1Archives&) = delete;
  TZNT1Archives& operator=(const TZNT1Archives&) = delete;

  bool Load(TZNT1InputStream* Stream, const std::string& FileName, bool DoFree);
  // Mounts every file below the directory part of Path; true when any file was met.
  bool LoadDirectory(const std::string& Path);
  // Builds the indexes: the archive whose name sorts last supplies each path.
  void Finish();

  TZNT1Archive* GetArchive(const std::string& Name) const;
  TZNT1Archive* GetArchiveByFile(const std::string& FileName) const;
  bool ExistFile(const std::string& FileName) const;
  std::unique_ptr<TMemoryStream> ExtractFile(const std::string& FileName);
  // Matching paths in sorted order, each once; Owners (when given) gets the archive of each.
  bool FindFiles(const std::string& Pattern, TStringList* List,
                 std::vector<TZNT1Archive*>* Owners = nullptr) const;
  // "Warning: " and Text on the console and on stderr.
  void Warning(const std::string& Text) const;

  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  TZNT1Archive* GetItem(int32_t Index) const { return Items[static_cast<size_t>(Index)].get(); }

  std::vector<std::unique_ptr<TZNT1Archive>> Items;  // in mounting order
  std::unique_ptr<TZNT1StringHashMap> HashMap;      // archive name -> archive
  std::unique_ptr<TZNT1StringHashMap> FileHashMap;  // content path -> archive
  TZNT1Engine* Engine;
  std::vector<std::pair<std::string, TZNT1Archive*>> FileList;  // sorted

 private:
  bool LoadDirectoryTree(const std::string& Dir, std::vector<std::pair<uint64_t, uint64_t>>& Visited);
};

// The order of archive names and paths: case-insensitive, "-" and "'" weigh nothing at
// first (as in a word sort), ties broken by the full text.
bool ArchiveNameLess(const std::string& A, const std::string& B);
