// The console's slide animation without a context: a dedicated engine draws nothing.
#include <gtest/gtest.h>

#include <memory>

#include "core/ZNT1Console.h"
#include "core/ZNT1Engine.h"

namespace {

struct SlideCase {
  bool Focus;
  float Start;
  double Seconds;
  float Expected;
};

TEST(ConsoleSlide, FocusFactorMovesThreeUnitsPerSecondWithinZeroToOne) {
  TZNT1Engine engine(&CreateGameOfClass<TZNT1Game>, true);
  TZNT1Console& con = *engine.Console;
  const SlideCase Cases[] = {
      {true, 0.0f, 0.1, 0.3f},     // opening
      {true, 0.9f, 0.1, 1.0f},     // stops at fully open
      {true, 0.0f, 0.5, 0.75f},    // a long frame counts as a quarter second
      {true, 0.0f, 10.0, 0.75f},
      {false, 1.0f, 0.1, 0.7f},    // closing
      {false, 0.2f, 0.1, 0.0f},    // stops at closed
      {false, 1.0f, 0.5, 0.25f},
      {true, 0.5f, -0.1, 0.5f},    // a clock that steps back leaves the slide alone
      {false, 1.0f, -0.1, 1.0f},
      {false, 1.0f, -1.0, 1.0f},
  };
  for (const SlideCase& c : Cases) {
    con.Focus = c.Focus;
    con.FocusFactor = c.Start;
    con.Draw(engine.HighResolutionTimer->FromFloatSeconds(c.Seconds));
    EXPECT_NEAR(con.FocusFactor, c.Expected, 1e-4f) << c.Focus << " " << c.Start << " " << c.Seconds;
  }
}

TEST(ConsoleSlide, OpeningTakesAThirdOfASecondAndClosingReversesIt) {
  TZNT1Engine engine(&CreateGameOfClass<TZNT1Game>, true);
  TZNT1Console& con = *engine.Console;
  const int64_t Frame = engine.HighResolutionTimer->FromFloatSeconds(1.0 / 60.0);
  con.Focus = true;
  int Frames = 0;
  while (con.FocusFactor < 1.0f && Frames < 100) {
    con.Draw(Frame);
    ++Frames;
  }
  EXPECT_EQ(Frames, 20);
  // While visible the screen is composed each frame: the prompt sits on the bottom row.
  EXPECT_EQ(con.RawBuffer[con.CellOffset(1, con.chrRows)], ']');
  EXPECT_FALSE(con.Uploaded);  // nothing is uploaded without a context
  con.Focus = false;
  Frames = 0;
  while (con.FocusFactor > 0.0f && Frames < 100) {
    con.Draw(Frame);
    ++Frames;
  }
  EXPECT_EQ(Frames, 20);
}

TEST(ConsoleSlide, PaletteIsTheSixteenTextModeColours) {
  const float t = 2.0f / 3.0f, o = 1.0f / 3.0f;
  const float Expected[16][3] = {{0, 0, 0}, {0, 0, t}, {0, t, 0}, {0, t, t}, {t, 0, 0}, {t, 0, t},
                                 {t, o, 0}, {t, t, t}, {o, o, o}, {o, o, 1}, {o, 1, o}, {o, 1, 1},
                                 {1, o, o}, {1, o, 1}, {1, 1, o}, {1, 1, 1}};
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(VGARGB[i].r, Expected[i][0]) << i;
    EXPECT_EQ(VGARGB[i].g, Expected[i][1]) << i;
    EXPECT_EQ(VGARGB[i].b, Expected[i][2]) << i;
    EXPECT_EQ(VGARGB[i].a, 1.0f) << i;
  }
}

}  // namespace
