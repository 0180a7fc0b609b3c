#include "EngineRunFixture.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "TestData.h"
#include "assets/ZNT1Archive.h"
#include "assets/ZipTestSupport.h"

void EngineRunFixture::SetUp() {
  const char* Display = std::getenv("DISPLAY");
  if (Display && *Display) return;
  if (testdata::InCI()) FAIL() << "no display in CI";
  GTEST_SKIP() << "no display";
}

void EngineRunFixture::TearDown() {
  if (mixFolder_.empty()) return;
  ::setenv("SDL_AUDIODRIVER", "dummy", 1);
  std::error_code ec;
  std::filesystem::remove_all(mixFolder_, ec);
}

void EngineRunFixture::CatchMix() {
  char Template[] = "/tmp/znt1-mix-XXXXXX";
  const char* Folder = ::mkdtemp(Template);
  ASSERT_NE(Folder, nullptr);
  mixFolder_ = Folder;
  MixFile = mixFolder_ + "/mix.raw";
  ::setenv("SDL_AUDIODRIVER", "disk", 1);
  ::setenv("SDL_DISKAUDIOFILE", MixFile.c_str(), 1);
}

std::vector<uint8_t> EngineRunFixture::CaughtMix() const { return testdata::ReadFile(MixFile); }

bool EngineRunFixture::MountContent(TZNT1Engine& Engine, const ziptest::Files& Files) {
  if (!Engine.Archives->LoadDirectory(testdata::ContentDir() + "/")) return false;
  ziptest::AddFiles(*Engine.Archives, Files);
  Engine.Archives->Finish();
  return true;
}
