#pragma once
// Where tests find data that lives outside the repository.
#include <string>
#include <vector>
#include <cstdint>

namespace testdata {

// ../shared (set at configure time); empty when the folder is absent.
std::string SharedDir();
// The OpenArena baseoa folder; empty when absent.
std::string ContentDir();
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
