#pragma once
// Where tests find data that lives outside the repository.
#include <set>
#include <string>
#include <vector>
#include <cstdint>

class TZNT1Archives;

namespace testdata {

// ../shared (set at configure time); empty when the folder is absent.
std::string SharedDir();
// The OpenArena baseoa folder; empty when absent.
std::string ContentDir();
// The nine archives scripts/setup installs into the content folder, by file name. The figures
// the content tests pin belong to these; a further archive in the folder (a map pack, say) is
// loaded and checked with the rest, but nothing is counted of it.
const std::vector<std::string>& StockArchives();
// True when the file name (any folder part is ignored) is one of the nine.
bool IsStockArchive(const std::string& PathOrName);
// Paths of the content folder's *.pk3 archives, sorted; empty without the folder.
std::vector<std::string> ContentArchives();
// Mounts the nine alone from the content folder and builds the indexes, so each path comes once,
// from the copy the engine picks among them; false when one of them is missing.
bool MountStockArchives(TZNT1Archives& Archives);
// The paths matching Pattern that the nine hold, each once, in the engine's order.
std::vector<std::string> StockFiles(const std::string& Pattern);
// The names of the maps ("maps/NAME.bsp") that Archives hold: the nine's first, then those only
// a further archive holds, each part sorted, so a test's picks among the nine stay the same
// whatever else the folder holds. Stock receives the nine's names.
std::vector<std::string> MapNamesStockFirst(const TZNT1Archives& Archives, std::set<std::string>& Stock);
// Whole file as bytes; empty vector when unreadable.
std::vector<uint8_t> ReadFile(const std::string& path);
// True when running in CI, where real content must be present.
bool InCI();

// True in the sanitizer build, whose pass runs lighter sweeps of the same tests.
#ifdef ZNT1_SANITIZE
inline constexpr bool Sanitizing = true;
#else
inline constexpr bool Sanitizing = false;
#endif

}  // namespace testdata

// Skips the current test when the shared folder is missing (never in CI).
#define REQUIRE_SHARED_DIR()                                                        \
  do {                                                                              \
    if (testdata::SharedDir().empty()) {                                            \
      if (testdata::InCI()) FAIL() << "shared test data missing in CI";            \
      GTEST_SKIP() << "shared test data folder not found beside the repository";   \
    }                                                                               \
  } while (0)

#define REQUIRE_CONTENT_DIR()                                                       \
  do {                                                                              \
    if (testdata::ContentDir().empty()) {                                           \
      if (testdata::InCI()) FAIL() << "OpenArena content missing in CI";           \
      GTEST_SKIP() << "OpenArena content not installed (run scripts/setup)";        \
    }                                                                               \
  } while (0)
