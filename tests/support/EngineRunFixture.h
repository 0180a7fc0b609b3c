#pragma once
// The program's own engine on its own window (Init or Run makes it, SDL goes with the engine):
// for tests that run the engine as the program does, with the content mounted and the mix caught.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "assets/ZipTestSupport.h"
#include "core/ZNT1Engine.h"

class EngineRunFixture : public ::testing::Test {
 protected:
  void SetUp() override;     // a display is required (skipped without one, failed in CI)
  void TearDown() override;  // the dummy audio driver again, the caught mix removed

  // From here on the engines' sound goes through SDL's disk driver into MixFile (before Init or Run).
  void CatchMix();
  // What the disk driver has written so far.
  std::vector<uint8_t> CaughtMix() const;
  // Mounts the content folder, then Files in an archive that sorts after it, and finishes the
  // archive list; false when the folder does not load.
  static bool MountContent(TZNT1Engine& Engine, const ziptest::Files& Files = {});

  std::string MixFile;

 private:
  std::string mixFolder_;
};
