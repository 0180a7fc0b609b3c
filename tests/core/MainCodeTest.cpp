#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "core/MainCode.h"
#include "core/ZefuAppDataPath.h"

TEST(MainCode, ContentDirectoryChoice) {
  using V = std::vector<std::string>;
  struct Case {
    V args;
    std::string appData;
    V expected;
  } cases[] = {
      {{"/data/baseoa"}, "", {"/data/baseoa/"}},                    // absolute: the folder itself
      {{"/data/baseoa/"}, "", {"/data/baseoa/"}},
      {{"../data"}, "", {"../data/"}},                             // ".." names the folder itself
      {{"C:\\data"}, "", {"C:\\data/"}},
      {{"mydata"}, "/home/u/.local/share/x/", {"/opt/z/mydata/"}},  // relative to the executable
      {{"mydata", "other"}, "", {"/opt/z/mydata/"}},               // a second argument has no effect
      {{}, "/home/u/.local/share/x/", {"/home/u/.local/share/x/"}},
      {{}, "", {"/opt/z/base/", "/opt/z/baseoa/", "/opt/z/baseq3/", "/opt/z/baseq3a/"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ChooseContentDirectories(c.args, "/opt/z/", c.appData), c.expected) << (c.args.empty() ? "" : c.args[0]);
}

TEST(MainCode, AppDataPathFollowsXdgThenHome) {
  const char* oldXdg = std::getenv("XDG_DATA_HOME");
  const std::string savedXdg = oldXdg ? oldXdg : "";
  setenv("XDG_DATA_HOME", "/tmp/xdgdata", 1);
  EXPECT_EQ(GetAppDataPath("x", false), "/tmp/xdgdata/x/");
  EXPECT_EQ(GetAppDataPath("x", true), "/tmp/xdgdata/x/");  // no LocalLow sibling here
  EXPECT_EQ(GetAppDataPath("", false), "/tmp/xdgdata/");
  unsetenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (home && *home) {
    EXPECT_EQ(GetAppDataPath("a/b", false), std::string(home) + "/.local/share/a/b/");
  }
  EXPECT_EQ(GetEnvironmentVariable("ZNT1_SURELY_UNSET_VARIABLE"), "");
  if (oldXdg) setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
}
