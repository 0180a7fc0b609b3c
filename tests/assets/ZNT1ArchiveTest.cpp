#include "assets/ZNT1Archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "ZipTestSupport.h"
#include "core/MainCode.h"
#include "core/ZNT1Engine.h"
#include "support/KeepAliveEngine.h"
#include "support/TestData.h"

using namespace ziptest;
namespace fs = std::filesystem;

namespace {

Entry MakeEntry(const std::string& name, const Bytes& data, uint16_t method = 8) {
  Entry e;
  e.Name = name;
  e.Data = data;
  e.Method = method;
  return e;
}

// Loads an archive from bytes; the archive owns the stream on success.
std::unique_ptr<TZNT1Archive> LoadBytes(const Bytes& z, bool* ok = nullptr) {
  auto archive = std::make_unique<TZNT1Archive>(nullptr);
  auto* stream = new TZNT1MemoryInputStream(z);
  const bool loaded = archive->Load(stream, "test.pk3", true);
  if (!loaded) delete stream;
  if (ok) *ok = loaded;
  return archive;
}

std::vector<std::string> Strings(const TStringList& l) { return l.Strings; }

// A scratch folder removed at the end of the test.
struct TempDir {
  fs::path Path;
  TempDir() {
    char tmpl[] = "/tmp/znt1-archive-XXXXXX";
    Path = ::mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(Path, ec);
  }
  std::string operator/(const std::string& rel) const { return (Path / rel).string(); }
};

void WriteFile(const std::string& path, const Bytes& b) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

}  // namespace

TEST(ZNT1Archive, LoadIndexesNormalisedPathsAndExtracts) {
  const Bytes wall = TextBytes(3000, 1), first = ToBytes("first copy"), second = ToBytes("second copy");
  const Bytes stored = RandomBytes(700, 2);
  Archive a = BuildZip({MakeEntry("Textures\\Base\\Wall.TGA", wall), MakeEntry("scripts/", {}, 0),
                        MakeEntry("", ToBytes("nameless"), 0), MakeEntry("dup.txt", first),
                        MakeEntry("Stored.bin", stored, 0), MakeEntry("DUP.TXT", second)});
  bool ok;
  auto archive = LoadBytes(a.Bytes_, &ok);
  ASSERT_TRUE(ok);
  // Directory entries and empty names are not listed; the duplicate is listed twice.
  std::vector<std::string> names;
  for (const auto& f : archive->Files) names.push_back(f.FileName);
  EXPECT_EQ(names, (std::vector<std::string>{"textures/base/wall.tga", "dup.txt", "stored.bin", "dup.txt"}));

  for (const char* spelling : {"textures/base/wall.tga", "Textures\\Base\\Wall.TGA", "TEXTURES/BASE/WALL.tga"}) {
    EXPECT_TRUE(archive->ExistFile(spelling)) << spelling;
    auto s = archive->ExtractFile(spelling);
    ASSERT_TRUE(s) << spelling;
    EXPECT_TRUE(s->Data == wall);
    EXPECT_EQ(s->GetPosition(), s->Size());
  }
  for (const char* absent : {"scripts/", "scripts", "/textures/base/wall.tga", "./dup.txt", "textures/base/../base/wall.tga"}) {
    EXPECT_FALSE(archive->ExistFile(absent)) << absent;
    EXPECT_EQ(archive->ExtractFile(absent), nullptr) << absent;
  }
  auto dup = archive->ExtractFile("dup.txt");
  ASSERT_TRUE(dup);
  EXPECT_TRUE(dup->Data == second);
  auto st = archive->ExtractFile("stored.bin");
  ASSERT_TRUE(st);
  EXPECT_TRUE(st->Data == stored);
}

TEST(ZNT1Archive, LoadRejectsWhatIsNoCompleteArchive) {
  const std::vector<Entry> two = {MakeEntry("a.txt", ToBytes("alpha")), MakeEntry("b.txt", ToBytes("beta"))};
  const Bytes good = BuildZip(two).Bytes_;
  Bytes noSignature = good;
  noSignature[3] = 5;
  Bytes junkTail = good;
  junkTail.insert(junkTail.end(), 65536, 'j');
  Bytes shortJunkTail = good;
  shortJunkTail.insert(shortJunkTail.end(), 65535 - 1, 'j');
  struct Case {
    const char* what;
    Bytes bytes;
    bool loads;
  };
  const Case cases[] = {
      {"complete", good, true},
      {"empty", {}, false},
      {"shorter than a local header", Bytes(good.begin(), good.begin() + 29), false},
      {"no local header at 0", noSignature, false},
      {"text file", ToBytes(std::string(200, 'x')), false},
      {"longest comment", BuildZip(two, std::string(65535, 'c')).Bytes_, true},
      {"junk past the search window", junkTail, false},
      {"junk just inside the window", shortJunkTail, true},
      {"one header fewer than announced", BuildZip(two, "", 3).Bytes_, false},
      {"one header more than announced", BuildZip(two, "", 1).Bytes_, false},
      {"no end record", Bytes(good.begin(), good.end() - 22), false},
  };
  for (const Case& c : cases) {
    bool ok;
    auto archive = LoadBytes(c.bytes, &ok);
    EXPECT_EQ(ok, c.loads) << c.what;
    if (!ok) {
      EXPECT_TRUE(archive->Files.empty()) << c.what;
      EXPECT_FALSE(archive->ExistFile("a.txt")) << c.what;
      EXPECT_FALSE(archive->DoFree) << c.what;
    }
  }
}

TEST(ZNT1Archive, MatchPatternTable) {
  struct Case {
    const char* input;
    const char* pattern;
    bool match;
  };
  const Case cases[] = {
      {"scripts/base.shader", "scripts/*.shader", true},
      {"scripts/sub/x.shader", "scripts/*.shader", true},
      {"scripts/base.shaderx", "scripts/*.shader", false},
      {"", "*", true},
      {"", "", true},
      {"a", "", false},
      {"a", "a?", false},
      {"ab", "a?", true},
      {"bx", "[a-c]x", true},
      {"dx", "[a-c]x", false},
      {"bx", "[^a-c]x", false},
      {"dx", "[^a-c]x", true},
      {"abc", "[abc", false},
      {"a", "[]a]", false},
      {"a", "[[a]", false},
      {"a", "[", false},
      {"-", "[a-]", true},
      {"q", "[xq-s]", true},
      {"maps/q3dm1.bsp", "maps/*.bsp", true},
      {"maps/q3dm1.bsp", "*/*", true},
      {"maps/q3dm1.bsp", "m*p*s*1*", true},
      {"maps/q3dm1.bsp", "m*p*s*9*", false},
      {"aaaa", "*a*a*a*a", true},
      {"aaa", "*a*a*a*a", false},
      {"x.tga", "*.??a", true},
      {"abcabd", "*abd", true},
  };
  for (const Case& c : cases) EXPECT_EQ(MatchPattern(c.input, c.pattern), c.match) << c.input << " ~ " << c.pattern;
  // Many stars against a long input that never matches: must stay fast.
  const std::string input(4000, 'a');
  EXPECT_FALSE(MatchPattern(input.c_str(), "*a*a*a*a*a*a*a*a*a*a*b"));
}

TEST(ZNT1Archive, FindFilesListsMatchesInArchiveOrder) {
  Archive a = BuildZip({MakeEntry("scripts/b.shader", ToBytes("b")), MakeEntry("Scripts/A.Shader", ToBytes("a")),
                        MakeEntry("maps/x.bsp", ToBytes("x"))});
  auto archive = LoadBytes(a.Bytes_);
  TStringList list;
  EXPECT_TRUE(archive->FindFiles("SCRIPTS\\*.shader", &list));
  EXPECT_EQ(Strings(list), (std::vector<std::string>{"scripts/b.shader", "scripts/a.shader"}));
  EXPECT_FALSE(archive->FindFiles("*.wav", nullptr));
  EXPECT_TRUE(archive->FindFiles("maps/*", nullptr));
}

// Every cut of a small archive and thousands of seeded byte flips: never a crash, and what
// does extract from an intact prefix is the original data.
TEST(ZNT1Archive, DamagedArchivesFailCleanly) {
  std::vector<Entry> entries = {MakeEntry("one.txt", TextBytes(900, 1)), MakeEntry("two.bin", RandomBytes(300, 2), 0),
                                MakeEntry("three.txt", TextBytes(2000, 3)), MakeEntry("dir/", {}, 0)};
  entries[2].Level = 1;
  Entry implode;
  implode.Name = "four.imp";
  implode.Data = TextBytes(600, 4);
  implode.Method = 6;
  implode.Flags = 6;
  implode.Compressed = Implode(implode.Data, true, true);
  entries.push_back(implode);
  Entry shrunk;
  shrunk.Name = "six.shr";
  shrunk.Data = TextBytes(800, 6);
  shrunk.Method = 1;
  shrunk.Compressed = Shrink(shrunk.Data);
  entries.push_back(shrunk);
  Entry described = MakeEntry("five.txt", TextBytes(700, 5));
  described.Descriptor = true;
  described.DescriptorSignature = true;
  entries.push_back(described);
  const Bytes good = BuildZip(entries).Bytes_;
  std::map<std::string, Bytes> expected;
  for (const Entry& e : entries) expected[e.Name] = e.Data;

  auto tryAll = [&](const Bytes& z, bool mustMatch) {
    bool ok;
    auto archive = LoadBytes(z, &ok);
    if (!ok) return 0;
    int extracted = 0;
    for (const auto& f : archive->Files) {
      auto s = archive->ExtractFile(f.FileName);
      if (!s) continue;
      ++extracted;
      EXPECT_EQ(s->GetPosition(), s->Size());
      if (mustMatch) {
        EXPECT_TRUE(s->Data == expected[f.FileName]) << f.FileName;
      }
    }
    return extracted;
  };
  EXPECT_EQ(tryAll(good, true), 6);
  for (size_t cut = 0; cut < good.size(); ++cut) tryAll(Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut)), true);

  const int rounds = testdata::Sanitizing ? 3000 : 20000;
  std::mt19937 rng(12345);
  int survived = 0;
  for (int round = 0; round < rounds; ++round) {
    Bytes z = good;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < flips; ++k) z[rng() % z.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    survived += tryAll(z, false);
  }
  EXPECT_GT(survived, 0);
}

TEST(ZNT1Archive, NameOrderIsCaseInsensitiveAndIgnoresHyphensFirst) {
  const std::vector<std::string> sorted = {"a.pk3",         "pak0.pk3",         "PAK1.pk3",
                                           "pak10.pk3",     "pak1-maps.pk3",    "pak2-players.pk3",
                                           "pak2-players-mature.pk3", "zz_patch.pk3"};
  for (size_t i = 0; i + 1 < sorted.size(); ++i) {
    EXPECT_TRUE(ArchiveNameLess(sorted[i], sorted[i + 1])) << sorted[i] << " < " << sorted[i + 1];
    EXPECT_FALSE(ArchiveNameLess(sorted[i + 1], sorted[i])) << sorted[i + 1] << " !< " << sorted[i];
  }
  EXPECT_FALSE(ArchiveNameLess("same", "same"));
}

TEST(ZNT1Archives, OverrideOrderFollowsSortedNamesWhereverArchivesLie) {
  TempDir tmp;
  const Bytes z0 = BuildZip({MakeEntry("maps/q3dm1.bsp", ToBytes("pak0 map")), MakeEntry("common.txt", ToBytes("pak0")),
                             MakeEntry("scripts/a.shader", ToBytes("a0")), MakeEntry("only0.txt", ToBytes("o0"))})
                       .Bytes_;
  const Bytes z1 = BuildZip({MakeEntry("Maps/Q3DM1.BSP", ToBytes("pak1 map")), MakeEntry("common.txt", ToBytes("pak1")),
                             MakeEntry("scripts/c.shader", ToBytes("c1"))})
                       .Bytes_;
  const Bytes zz = BuildZip({MakeEntry("common.txt", ToBytes("patch")), MakeEntry("scripts/b.shader", ToBytes("b"))}).Bytes_;
  // The patch lies first in the tree, pak0 deepest: the names decide, not the places.
  WriteFile(tmp / "content/a/zz_patch.pk3", zz);
  WriteFile(tmp / "content/b/pak1.pk3", z1);
  WriteFile(tmp / "content/c/deep/pak0.pk3", z0);
  WriteFile(tmp / "content/readme.txt", ToBytes("not an archive"));
  // A second archive with the same bare name elsewhere contributes its files too.
  WriteFile(tmp / "content/d/pak0.pk3", BuildZip({MakeEntry("extra.txt", ToBytes("e"))}).Bytes_);
  // A link back up the tree and a dangling link must neither loop nor stop the mount.
  fs::create_directory_symlink("../..", tmp / "content/c/deep/up");
  fs::create_symlink(tmp / "nowhere.pk3", tmp / "content/b/broken.pk3");
  // The content folder itself reached through a link.
  fs::create_directory_symlink(tmp / "content", tmp / "linked");

  TZNT1Archives archives(nullptr);
  EXPECT_TRUE(archives.LoadDirectory(tmp / "linked/"));
  ASSERT_EQ(archives.Count(), 4);
  // Before Finish nothing is found.
  EXPECT_FALSE(archives.ExistFile("common.txt"));
  archives.Finish();

  auto text = [&](const std::string& path) {
    auto s = archives.ExtractFile(path);
    return s ? std::string(s->Data.begin(), s->Data.end()) : std::string("<none>");
  };
  EXPECT_EQ(text("common.txt"), "patch");
  EXPECT_EQ(text("Maps\\Q3DM1.BSP"), "pak1 map");
  EXPECT_EQ(text("only0.txt"), "o0");
  EXPECT_EQ(text("extra.txt"), "e");
  EXPECT_EQ(text("missing.txt"), "<none>");
  EXPECT_EQ(archives.GetArchiveByFile("COMMON.TXT")->Name, "zz_patch.pk3");
  ASSERT_NE(archives.GetArchive("pak0.pk3"), nullptr);
  EXPECT_EQ(archives.GetArchive("PAK0.PK3"), nullptr);
  EXPECT_EQ(archives.GetArchive("maps/q3dm1.bsp"), nullptr);

  TStringList list;
  std::vector<TZNT1Archive*> owners;
  EXPECT_TRUE(archives.FindFiles("scripts/*.shader", &list, &owners));
  EXPECT_EQ(Strings(list), (std::vector<std::string>{"scripts/a.shader", "scripts/b.shader", "scripts/c.shader"}));
  ASSERT_EQ(owners.size(), 3u);
  EXPECT_EQ(owners[0]->Name, "pak0.pk3");
  EXPECT_EQ(owners[1]->Name, "zz_patch.pk3");
  EXPECT_EQ(owners[2]->Name, "pak1.pk3");
  TStringList all;
  EXPECT_TRUE(archives.FindFiles("*", &all));
  EXPECT_EQ(all.Count(), 7);  // every path once
}

TEST(ZNT1Archives, LoadDirectoryResults) {
  TempDir tmp;
  WriteFile(tmp / "texts/a.txt", ToBytes("plain"));
  WriteFile(tmp / "texts/b.cfg", ToBytes("seta x 1"));
  fs::create_directories(tmp / "empty/inner");
  WriteFile(tmp / "one/pak0.pk3", BuildZip({MakeEntry("x.txt", ToBytes("x"))}).Bytes_);
  ::mkfifo((tmp / "one/pipe").c_str(), 0600);

  TZNT1Archives archives(nullptr);
  EXPECT_TRUE(archives.LoadDirectory(tmp / "texts/"));  // files met, none mounted
  EXPECT_EQ(archives.Count(), 0);
  EXPECT_FALSE(archives.LoadDirectory(tmp / "empty/"));
  EXPECT_FALSE(archives.LoadDirectory(tmp / "absent/"));
  // Without a trailing delimiter the last part is a file name: its folder is mounted.
  EXPECT_TRUE(archives.LoadDirectory(tmp / "one/whatever"));
  EXPECT_EQ(archives.Count(), 1);
  archives.Finish();
  EXPECT_TRUE(archives.ExistFile("x.txt"));
}

// With an engine: an unreadable file is skipped with a warning line, and long extractions
// call the loading screen's keep-alive once per input block.
TEST(ZNT1Archives, EngineGetsWarningsAndKeepAlive) {
  TempDir tmp;
  const Bytes data = RandomBytes(5 * 4096, 8);
  WriteFile(tmp / "c/a.pk3", BuildZip({MakeEntry("big.bin", data, 0), MakeEntry("packed.bin", data)}).Bytes_);
  fs::create_symlink(tmp / "missing.pk3", tmp / "c/b.pk3");
  WriteFile(tmp / "c/c.pk3", BuildZip({MakeEntry("later.txt", ToBytes("still mounted"))}).Bytes_);
  KeepAliveEngine engine;
  engine.LastProgress = 0.25f;
  TZNT1Archives archives(&engine);
  EXPECT_TRUE(archives.LoadDirectory(tmp / "c/"));
  EXPECT_EQ(archives.Count(), 2);
  archives.Finish();
  int warnings = 0;
  for (const std::string& line : engine.Console->Lines.Strings)
    if (line.find("Warning: ") == 2 && line.find("b.pk3") != std::string::npos) ++warnings;
  EXPECT_EQ(warnings, 1);
  EXPECT_TRUE(archives.ExistFile("later.txt"));

  ASSERT_TRUE(archives.ExtractFile("packed.bin"));  // deflated random data: 6 input blocks
  EXPECT_EQ(engine.Calls, 6);
  engine.Calls = 0;
  ASSERT_TRUE(archives.ExtractFile("big.bin"));  // stored: one call per 32 KiB piece
  EXPECT_EQ(engine.Calls, 1);
}

// Mounting content folders: a folder that gives no archive is named in one warning, a file with
// an archive's name that cannot be read in one warning of its own; other files pass in silence.
// Each warning goes to the console (in the warning colour) and, the same, to stderr.
TEST(ZNT1Archives, ContentFoldersThatMountNothingAreNamed) {
  const Bytes Good = BuildZip({MakeEntry("maps/a.bsp", ToBytes("map"))}).Bytes_;
  Bytes Damaged = Good;  // the central header's signature
  Damaged[Damaged.size() - 22 - 46 - 10] ^= 0xFF;
  const Bytes Truncated(Good.begin(), Good.end() - 10);
  const std::string Damage = "no ZIP file or a damaged one";
  const struct {
    const char* Name;
    std::vector<std::pair<std::string, Bytes>> Files;  // below the scratch folder
    std::vector<std::string> Folders;                  // mounted, below the scratch folder
    int Mounted;
    std::vector<std::pair<std::string, std::string>> Unreadable;  // file and reason
    bool NothingMounted;
  } Cases[] = {
      {"empty folder", {{"c/sub/", {}}}, {"c/"}, 0, {}, true},
      {"missing folder", {}, {"c/"}, 0, {}, true},
      {"empty archive", {{"c/pak0.pk3", {}}}, {"c/"}, 0, {{"c/pak0.pk3", "it is empty"}}, true},
      {"truncated archive", {{"c/pak0.pk3", Truncated}}, {"c/"}, 0, {{"c/pak0.pk3", Damage}}, true},
      {"damaged central directory", {{"c/sub/pak0.pk3", Damaged}}, {"c/"}, 0, {{"c/sub/pak0.pk3", Damage}}, true},
      {"other files only", {{"c/readme.txt", ToBytes("PK")}, {"c/q3config.cfg", {}}}, {"c/"}, 0, {}, true},
      {"one good archive among bad ones",
       {{"c/pak0.pk3", Good}, {"c/PAK1.PK3", Truncated}, {"c/extra.zip", {}}, {"c/notes.txt", Damaged}},
       {"c/"}, 1, {{"c/PAK1.PK3", Damage}, {"c/extra.zip", "it is empty"}}, false},
      {"four folders, none there", {}, {"base/", "baseoa/", "baseq3/", "baseq3a/"}, 0, {}, true},
      {"four folders, one good", {{"baseq3/pak0.pk3", Good}}, {"base/", "baseoa/", "baseq3/", "baseq3a/"}, 1, {},
       false},
  };
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TempDir tmp;
    for (const auto& [Name, Data] : c.Files) {
      if (Name.back() == '/')
        fs::create_directories(tmp / Name);
      else
        WriteFile(tmp / Name, Data);
    }
    std::vector<std::string> Folders;
    for (const std::string& f : c.Folders) Folders.push_back(tmp / f);
    std::vector<std::string> Expected;
    for (const auto& [File, Reason] : c.Unreadable)
      Expected.push_back("Warning: cannot read the archive \"" + (tmp / File) + "\": " + Reason);
    if (c.NothingMounted) {
      std::string Names;
      for (size_t i = 0; i < Folders.size(); i++)
        Names += std::string(i == 0 ? "" : i + 1 < Folders.size() ? ", " : " or ") + "\"" + Folders[i] + "\"";
      Expected.push_back("Warning: no archive was mounted from " + Names);
    }

    TZNT1Engine Engine(&CreateGameOfClass<TZNT1Game>, true);
    const size_t Before = Engine.Console->Lines.Strings.size();
    ::testing::internal::CaptureStderr();
    MountContentDirectories(*Engine.Archives, Folders);
    const std::string Stderr = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Engine.Archives->Count(), c.Mounted);
    std::vector<std::string> Console;
    std::string Echo;
    for (size_t i = Before; i < Engine.Console->Lines.Strings.size(); i++) {
      const std::string& Line = Engine.Console->Lines.Strings[i];
      ASSERT_EQ(Line.substr(0, 2), std::string("\0\x0e", 2)) << Line;  // yellow
      Console.push_back(Line.substr(2));
      Echo += Line.substr(2) + "\n";
    }
    EXPECT_EQ(Console, Expected);
    EXPECT_EQ(Stderr, Echo);
  }
}

// An entry that cannot be read from a mounted archive is named, with the archive, in one warning
// on the console and stderr, however often it is asked for; the archive's other entries read as
// before.
TEST(ZNT1Archives, EntriesThatCannotBeReadAreNamedOnce) {
  const Bytes Good = TextBytes(5000, 7);
  const Archive Zip = BuildZip({MakeEntry("maps/ok.txt", Good), MakeEntry("models/bad.md3", TextBytes(3000, 8))});
  const uint32_t Bad = Zip.LocalOffsets[1];
  auto Put32At = [](Bytes& z, size_t At, uint32_t v) {
    for (int k = 0; k < 4; ++k) z[At + size_t(k)] = uint8_t(v >> (8 * k));
  };
  const struct {
    const char* Name;
    std::function<void(Bytes&)> Damage;
    const char* Reason;
  } Cases[] = {
      {"data cut short",
       [&](Bytes& z) {
         // Half of the entry's data goes; the central directory behind it stays whole.
         const size_t End = z.size() - 22, Central = z[End + 16] | z[End + 17] << 8 | z[End + 18] << 16;
         const size_t Data = Bad + 30 + std::string("models/bad.md3").size();
         const size_t Cut = Data + (Central - Data) / 2;
         z.erase(z.begin() + long(Cut), z.begin() + long(Central));
         Put32At(z, z.size() - 22 + 16, uint32_t(Cut));
       },
       "its data is cut short"},
      {"bad CRC", [&](Bytes& z) { z[Bad + 14] ^= 0x5A; }, "its data fails the CRC check"},
      {"damaged local header", [&](Bytes& z) { z[Bad] = 'X'; }, "its entry is damaged"},
  };
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TempDir tmp;
    Bytes z = Zip.Bytes_;
    c.Damage(z);
    WriteFile(tmp / "c/pak0.pk3", z);
    TZNT1Engine Engine(&CreateGameOfClass<TZNT1Game>, true);
    ASSERT_TRUE(Engine.Archives->LoadDirectory(tmp / "c/"));
    Engine.Archives->Finish();
    const size_t Before = Engine.Console->Lines.Strings.size();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Engine.Archives->ExtractFile("models/bad.md3"), nullptr);
    EXPECT_EQ(Engine.Archives->ExtractFile("Models\\Bad.md3"), nullptr);
    auto Ok = Engine.Archives->ExtractFile("maps/ok.txt");
    const std::string Stderr = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(Ok);
    EXPECT_TRUE(Ok->Data == Good);
    const std::string Expected = std::string("Warning: cannot read \"models/bad.md3\" from the archive \"pak0.pk3\": ") + c.Reason;
    const std::vector<std::string> Lines(Engine.Console->Lines.Strings.begin() + long(Before),
                                         Engine.Console->Lines.Strings.end());
    EXPECT_EQ(Lines, std::vector<std::string>{std::string("\0\x0e", 2) + Expected});
    EXPECT_EQ(Stderr, Expected + "\n");
  }
}

// Counts the named entries that are no folders, straight from the central directory.
size_t ListedFiles(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  Bytes z(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(z.data()), static_cast<std::streamsize>(z.size()));
  auto get16 = [&](size_t at) { return static_cast<uint32_t>(z[at] | z[at + 1] << 8); };
  auto get32 = [&](size_t at) { return get16(at) | get16(at + 2) << 16; };
  size_t end = z.size() - 22;
  while (get32(end) != 0x06054B50) --end;
  size_t at = get32(end + 16), count = 0;
  for (uint32_t i = get16(end + 10); i > 0; --i) {
    const uint32_t nameLength = get16(at + 28);
    count += nameLength > 0 && z[at + 46 + nameLength - 1] != '/';
    at += 46 + nameLength + get16(at + 30) + get16(at + 32);
  }
  return count;
}

// Every entry of every installed content archive extracts with its listed size and CRC.
TEST(ZNT1Archives, RealContentExtractsEveryEntry) {
  REQUIRE_CONTENT_DIR();
  const auto start = std::chrono::steady_clock::now();
  TZNT1Archives archives(nullptr);
  ASSERT_TRUE(archives.LoadDirectory(testdata::ContentDir() + "/"));
  archives.Finish();
  // Each archive of the folder is mounted under its name, the nine stock ones among them.
  const std::vector<std::string> paths = testdata::ContentArchives();
  EXPECT_EQ(static_cast<size_t>(archives.Count()), paths.size());
  for (const std::string& p : paths) EXPECT_NE(archives.GetArchive(fs::path(p).filename().string()), nullptr) << p;
  for (const std::string& name : testdata::StockArchives()) EXPECT_NE(archives.GetArchive(name), nullptr) << name;
  size_t entries = 0, bytes = 0, listed = 0;
  for (int32_t i = 0; i < archives.Count(); ++i) {
    TZNT1Archive* archive = archives.GetItem(i);
    listed += ListedFiles(testdata::ContentDir() + "/" + archive->Name);
    for (const TZNT1ArchiveFile& f : archive->Files) {
      auto s = archive->ExtractFile(f.FileName);
      ASSERT_TRUE(s) << archive->Name << ": " << f.FileName;
      ASSERT_EQ(s->Size(), static_cast<int64_t>(f.Info.UncompressedSize)) << f.FileName;
      ASSERT_EQ(static_cast<uint32_t>(crc32(0, s->Memory(), static_cast<uInt>(s->Size()))), f.Info.CRC32)
          << f.FileName;
      ++entries;
      bytes += s->Data.size();
    }
  }
  EXPECT_EQ(entries, listed);
  EXPECT_GT(entries, 5000u);
  EXPECT_GT(archives.FileList.size(), 4000u);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%zu entries, %.1f MiB in %.2f s\n", entries, bytes / 1048576.0, seconds);
}

// Several threads extracting from the same mounted file at once all get exact data.
TEST(ZNT1Archives, ConcurrentExtractionFromOneFile) {
  TempDir tmp;
  std::vector<Entry> entries;
  for (int i = 0; i < 12; ++i) entries.push_back(MakeEntry("f" + std::to_string(i), TextBytes(20000 + i * 5000, i), i % 3 ? 8 : 0));
  WriteFile(tmp / "pak0.pk3", BuildZip(entries).Bytes_);
  TZNT1Archives archives(nullptr);
  ASSERT_TRUE(archives.LoadDirectory(tmp / "pak0.pk3"));
  archives.Finish();
  std::vector<int> bad(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 10; ++round)
        for (const Entry& e : entries) {
          auto s = archives.ExtractFile(e.Name);
          if (!s || s->Data != e.Data) ++bad[t];
        }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, std::vector<int>(4, 0));
}
