#include "assets/ZNT1Archive.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "core/ZNT1Engine.h"

// ---------------------------------------------------------------------------------------
// File stream

namespace {
constexpr int64_t FileCacheSize = 64 * 1024;
}

std::unique_ptr<TZNT1FileInputStream> TZNT1FileInputStream::Open(const std::string& Path) {
  const int handle = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (handle < 0) return nullptr;
  struct stat st;
  int error = 0;
  if (::fstat(handle, &st) != 0)
    error = errno;
  else if (!S_ISREG(st.st_mode))
    error = EINVAL;  // a pipe or device would block or never end
  if (error) {
    ::close(handle);
    errno = error;
    return nullptr;
  }
  return std::unique_ptr<TZNT1FileInputStream>(new TZNT1FileInputStream(handle, st.st_size));
}

TZNT1FileInputStream::TZNT1FileInputStream(int AHandle, int64_t ASize) : Handle(AHandle), FileSize(ASize) {}

TZNT1FileInputStream::~TZNT1FileInputStream() { ::close(Handle); }

int64_t TZNT1FileInputStream::ReadAt(int64_t Position, void* Buffer, int64_t Count) {
  if (Position < 0 || Count <= 0 || Position >= FileSize) return 0;
  Count = std::min(Count, FileSize - Position);
  const std::lock_guard<std::mutex> guard(CacheLock);
  uint8_t* out = static_cast<uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const int64_t pos = Position + done;
    if (pos >= CacheStart && pos < CacheStart + CacheSize) {
      const int64_t n = std::min(Count - done, CacheStart + CacheSize - pos);
      std::memcpy(out + done, Cache.data() + (pos - CacheStart), static_cast<size_t>(n));
      done += n;
      continue;
    }
    // Large reads bypass the cache; small ones fill it.
    const bool direct = Count - done >= FileCacheSize;
    if (!direct && Cache.empty()) Cache.resize(FileCacheSize);
    const ssize_t r = direct ? ::pread(Handle, out + done, static_cast<size_t>(Count - done), pos)
                             : ::pread(Handle, Cache.data(), static_cast<size_t>(FileCacheSize), pos);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    if (direct) {
      done += r;
    } else {
      CacheStart = pos;
      CacheSize = r;
    }
  }
  return done;
}

// ---------------------------------------------------------------------------------------
// Names and patterns

std::string NormalizeArchivePath(const std::string& Path) {
  std::string s = Path;
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
    else if (c == '\\')
      c = '/';
  }
  return s;
}

namespace {

// A set starting at p (just after "["): answers whether c is accepted and where the
// pattern goes on; false in Valid when the set is malformed.
const char* MatchSet(const char* p, unsigned char c, bool& Accepted, bool& Valid) {
  Valid = false;
  if (*p == 0 || *p == '[' || *p == ']') return p;
  bool negate = false;
  if (*p == '^') {
    negate = true;
    ++p;
  }
  bool member = false;
  while (*p && *p != ']') {
    const unsigned char lo = static_cast<unsigned char>(*p);
    if (p[1] == '-' && p[2] && p[2] != ']') {
      const unsigned char hi = static_cast<unsigned char>(p[2]);
      if (c >= lo && c <= hi) member = true;
      p += 3;
    } else {
      if (c == lo) member = true;
      ++p;
    }
  }
  if (*p != ']') return p;
  Valid = true;
  Accepted = member != negate;
  return p + 1;
}

// Every set must be well formed for any match to exist.
bool PatternSetsValid(const char* p) {
  while (*p) {
    if (*p == '[') {
      bool accepted, valid;
      p = MatchSet(p + 1, 0, accepted, valid);
      if (!valid) return false;
    } else {
      ++p;
    }
  }
  return true;
}

}  // namespace

// Iterative glob with one back-tracking point: every token but "*" takes exactly one
// character, so retrying from the last star is enough (and keeps the cost polynomial).
bool MatchPattern(const char* Input, const char* Pattern) {
  if (!PatternSetsValid(Pattern)) return false;
  const char* s = Input;
  const char* p = Pattern;
  const char* starP = nullptr;
  const char* starS = nullptr;
  while (true) {
    if (*p == '*') {
      while (*p == '*') ++p;
      if (*p == 0) return true;
      starP = p;
      starS = s;
      continue;
    }
    bool ok = false;
    const char* next = p;
    if (*p == 0) {
      if (*s == 0) return true;
    } else if (*s != 0) {
      if (*p == '?') {
        ok = true;
        next = p + 1;
      } else if (*p == '[') {
        bool accepted = false, valid = false;
        next = MatchSet(p + 1, static_cast<unsigned char>(*s), accepted, valid);
        ok = valid && accepted;
      } else {
        ok = *p == *s;
        next = p + 1;
      }
    }
    if (ok) {
      p = next;
      ++s;
      continue;
    }
    if (!starP || *starS == 0) return false;
    p = starP;
    s = ++starS;
  }
}

namespace {

// Files of other kinds in a content folder are skipped without a word.
bool LooksLikeArchive(const std::string& Name) {
  if (Name.size() < 4) return false;
  const std::string Extension = NormalizeArchivePath(Name.substr(Name.size() - 4));
  return Extension == ".pk3" || Extension == ".zip";
}

inline unsigned char FoldCase(char c) {
  return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

int CompareIgnoringCase(const std::string& a, const std::string& b, bool skipHyphens) {
  size_t i = 0, j = 0;
  for (;;) {
    if (skipHyphens) {
      while (i < a.size() && (a[i] == '-' || a[i] == '\'')) ++i;
      while (j < b.size() && (b[j] == '-' || b[j] == '\'')) ++j;
    }
    if (i == a.size() || j == b.size()) return (i == a.size() ? 0 : 1) - (j == b.size() ? 0 : 1);
    const unsigned char x = FoldCase(a[i]), y = FoldCase(b[j]);
    if (x != y) return x < y ? -1 : 1;
    ++i;
    ++j;
  }
}

}  // namespace

bool ArchiveNameLess(const std::string& A, const std::string& B) {
  if (const int c = CompareIgnoringCase(A, B, true)) return c < 0;
  if (const int c = CompareIgnoringCase(A, B, false)) return c < 0;
  return A < B;
}

// ---------------------------------------------------------------------------------------
// One archive

TZNT1Archive::TZNT1Archive(TZNT1Engine* AEngine) : Engine(AEngine) {}

TZNT1Archive::~TZNT1Archive() {
  if (DoFree) delete Stream;
}

bool TZNT1Archive::Load(TZNT1InputStream* AStream, const std::string& FileName, bool ADoFree) {
  Files.clear();
  HashMap.reset();
  Stream = AStream;
  Name = FileName;
  DoFree = false;
  const int64_t size = Stream->Size();

  uint8_t head[ZIPLocalFileHeaderSize];
  if (Stream->ReadAt(0, head, sizeof(head)) != static_cast<int64_t>(sizeof(head))) return false;
  if (!IsLocalFileHeaderSignature(head)) return false;

  // The end record lies in the last 22 + 65,535 bytes; the one nearest the end wins.
  const int64_t tailSize = std::min<int64_t>(size, ZIPEndCentralFileHeaderSize + 65535);
  std::vector<uint8_t> tail(static_cast<size_t>(tailSize));
  if (Stream->ReadAt(size - tailSize, tail.data(), tailSize) != tailSize) return false;
  int64_t found = -1;
  for (int64_t p = tailSize - static_cast<int64_t>(ZIPEndCentralFileHeaderSize); p >= 0; --p) {
    if (IsEndCentralFileHeaderSignature(tail.data() + p)) {
      found = p;
      break;
    }
  }
  if (found < 0) return false;
  const TZIPEndCentralFileHeader end = DecodeEndCentralFileHeader(tail.data() + found);
  tail = {};

  Files.resize(end.EntriesThisDisk);
  int64_t position = end.StartDiskOffset;
  uint32_t index = 0, stored = 0;
  std::string entryName;
  for (;;) {
    uint8_t raw[ZIPCentralFileHeaderSize];
    if (Stream->ReadAt(position, raw, sizeof(raw)) != static_cast<int64_t>(sizeof(raw))) break;
    if (!IsCentralFileHeaderSignature(raw)) break;
    position += sizeof(raw);
    const TZIPCentralFileHeader central = DecodeCentralFileHeader(raw);
    entryName.assign(central.FileNameLength, '\0');
    if (central.FileNameLength != 0) {
      if (Stream->ReadAt(position, entryName.data(), central.FileNameLength) != central.FileNameLength) break;
      position += central.FileNameLength;
    }
    if (index >= end.EntriesThisDisk) {
      index = end.EntriesThisDisk + 1u;  // one header more than announced
      break;
    }
    position += central.ExtraFieldLength + central.FileCommentLength;
    if (!entryName.empty()) {
      std::string normal = NormalizeArchivePath(entryName);
      if (normal.back() != '/') {
        TZNT1ArchiveFile& f = Files[stored++];
        f.FileName = std::move(normal);
        f.Offset = central.LocalFileHeaderOffset;
        f.Info.CRC32 = central.CRC32;
        f.Info.CompressedSize = central.CompressedSize;
        f.Info.UncompressedSize = central.UncompressedSize;
      }
    }
    ++index;
  }
  if (index != end.EntriesThisDisk) {
    Files.clear();
    return false;
  }
  Files.resize(stored);
  HashMap = std::make_unique<TZNT1StringHashMap>();
  for (TZNT1ArchiveFile& f : Files) HashMap->Add(f.FileName, &f);
  Reported.assign(Files.size(), false);
  DoFree = ADoFree;
  return true;
}

bool TZNT1Archive::ExistFile(const std::string& FileName) const {
  return HashMap && HashMap->GetValue(NormalizeArchivePath(FileName)) != nullptr;
}

std::unique_ptr<TMemoryStream> TZNT1Archive::ExtractFile(const std::string& FileName) {
  if (!HashMap) return nullptr;
  const auto* file = static_cast<const TZNT1ArchiveFile*>(HashMap->GetValue(NormalizeArchivePath(FileName)));
  if (!file) return nullptr;
  auto out = std::make_unique<TMemoryStream>();
  TZNT1KeepAlive idle;
  if (TZNT1Engine* engine = Engine) idle = [engine] { engine->ShowLoadProgress(false, engine->LastProgress); };
  const int32_t Status = DoDecompress(*Stream, *out, file->Offset, file->Info, idle);
  if (Status == StatusOk) return out;
  if (Engine) {
    const size_t Index = static_cast<size_t>(file - Files.data());
    bool First = false;
    {
      const std::lock_guard<std::mutex> Guard(ReportLock);
      if (Index < Reported.size() && !Reported[Index]) First = Reported[Index] = true;
    }
    if (First) ArchiveWarning(Engine, "cannot read \"" + file->FileName + "\" from the archive \"" + Name + "\": " + UnzipFailure(Status));
  }
  return nullptr;
}

bool TZNT1Archive::FindFiles(const std::string& Pattern, TStringList* List) const {
  const std::string pattern = NormalizeArchivePath(Pattern);
  bool any = false;
  for (const TZNT1ArchiveFile& f : Files) {
    if (MatchPattern(f.FileName.c_str(), pattern.c_str())) {
      any = true;
      if (List) List->Add(f.FileName);
    }
  }
  return any;
}

// ---------------------------------------------------------------------------------------
// The archive list

TZNT1Archives::TZNT1Archives(TZNT1Engine* AEngine)
    : HashMap(std::make_unique<TZNT1StringHashMap>()),
      FileHashMap(std::make_unique<TZNT1StringHashMap>()),
      Engine(AEngine) {}

TZNT1Archives::~TZNT1Archives() = default;

void ArchiveWarning(TZNT1Engine* Engine, const std::string& Text) {
  // Mounting happens before the window exists: the terminal hears it too.
  std::fprintf(stderr, "Warning: %s\n", Text.c_str());
  if (Engine && Engine->Console)
    Engine->Console->Lines.Add(ConsoleColorCode(ZNT1ConsoleColors::Yellow) + "Warning: " + Text);
}

std::string UnzipFailure(int32_t Status) {
  switch (Status) {
    case StatusCRCErr: return "its data fails the CRC check";
    case StatusReadErr: return "its data is cut short";
    case StatusZipFileErr:
    case StatusDynamicHeaderErr: return "its entry is damaged";
    case StatusNotSupported: return "it is packed with a method not supported";
    case StatusEncrypted: return "it is encrypted";
    case StatusZipFileOpenError: return "the archive is empty";
    default: return "unzip status " + std::to_string(Status);
  }
}

void TZNT1Archives::Warning(const std::string& Text) const { ArchiveWarning(Engine, Text); }

bool TZNT1Archives::Load(TZNT1InputStream* Stream, const std::string& FileName, bool DoFree) {
  auto archive = std::make_unique<TZNT1Archive>(Engine);
  try {
    if (!archive->Load(Stream, FileName, DoFree)) return false;
  } catch (const std::exception&) {
    archive->DoFree = false;
    return false;
  }
  Items.push_back(std::move(archive));
  return true;
}

bool TZNT1Archives::LoadDirectory(const std::string& Path) {
  const size_t slash = Path.rfind('/');
  // A path without any delimiter names a file of the current folder.
  const std::string dir = slash == std::string::npos ? std::string("./") : Path.substr(0, slash + 1);
  std::vector<std::pair<uint64_t, uint64_t>> visited;
  return LoadDirectoryTree(dir, visited);
}

bool TZNT1Archives::LoadDirectoryTree(const std::string& Dir, std::vector<std::pair<uint64_t, uint64_t>>& Visited) {
  struct stat st;
  if (::stat(Dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  // Links may lead back up the tree: each directory is entered once.
  const std::pair<uint64_t, uint64_t> id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  if (std::find(Visited.begin(), Visited.end(), id) != Visited.end()) return false;
  Visited.push_back(id);

  std::vector<std::string> names;
  if (DIR* d = ::opendir(Dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    ::closedir(d);
  } else {
    Warning("cannot read the folder \"" + Dir + "\": " + std::strerror(errno));
    return false;
  }
  // The platform lists entries in no particular order; mounting is made deterministic.
  std::sort(names.begin(), names.end());

  bool any = false;
  for (const std::string& name : names) {
    const std::string full = Dir + name;
    struct stat est;
    if (::stat(full.c_str(), &est) == 0 && S_ISDIR(est.st_mode)) {
      if (LoadDirectoryTree(full + "/", Visited)) any = true;
      continue;
    }
    any = true;
    std::unique_ptr<TZNT1FileInputStream> stream = TZNT1FileInputStream::Open(full);
    if (!stream) {
      Warning("cannot open \"" + full + "\": " + std::strerror(errno));
      continue;
    }
    const bool empty = stream->Size() == 0;
    if (Load(stream.get(), name, true))
      stream.release();
    else if (LooksLikeArchive(name))
      Warning("cannot read the archive \"" + full + "\": " + (empty ? "it is empty" : "no ZIP file or a damaged one"));
  }
  return any;
}

void TZNT1Archives::Finish() {
  std::vector<TZNT1Archive*> sorted;
  sorted.reserve(Items.size());
  for (const auto& a : Items) sorted.push_back(a.get());
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const TZNT1Archive* a, const TZNT1Archive* b) { return ArchiveNameLess(a->Name, b->Name); });
  std::vector<const std::string*> paths;
  for (TZNT1Archive* archive : sorted) {
    HashMap->Add(archive->Name, archive);
    for (const TZNT1ArchiveFile& f : archive->Files) {
      if (!FileHashMap->GetValue(f.FileName)) paths.push_back(&f.FileName);
      FileHashMap->Add(f.FileName, archive);
    }
  }
  for (const std::string* p : paths) FileList.emplace_back(*p, static_cast<TZNT1Archive*>(FileHashMap->GetValue(*p)));
  std::stable_sort(FileList.begin(), FileList.end(),
                   [](const auto& a, const auto& b) { return ArchiveNameLess(a.first, b.first); });
}

TZNT1Archive* TZNT1Archives::GetArchive(const std::string& Name) const {
  return static_cast<TZNT1Archive*>(HashMap->GetValue(Name));
}

TZNT1Archive* TZNT1Archives::GetArchiveByFile(const std::string& FileName) const {
  return static_cast<TZNT1Archive*>(FileHashMap->GetValue(NormalizeArchivePath(FileName)));
}

bool TZNT1Archives::ExistFile(const std::string& FileName) const { return GetArchiveByFile(FileName) != nullptr; }

std::unique_ptr<TMemoryStream> TZNT1Archives::ExtractFile(const std::string& FileName) {
  TZNT1Archive* archive = GetArchiveByFile(FileName);
  return archive ? archive->ExtractFile(FileName) : nullptr;
}

bool TZNT1Archives::FindFiles(const std::string& Pattern, TStringList* List,
                              std::vector<TZNT1Archive*>* Owners) const {
  const std::string pattern = NormalizeArchivePath(Pattern);
  bool any = false;
  for (const auto& [path, archive] : FileList) {
    if (!MatchPattern(path.c_str(), pattern.c_str())) continue;
    any = true;
    if (List) List->Add(path);
    if (Owners) Owners->push_back(archive);
  }
  return any;
}
