#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "gpu/ZNT1SMAAArea.h"

namespace {

double TableA(int32_t E1, int32_t E2, int32_t D1, int32_t D2, int32_t Byte) {
  int32_t X = 0, Y = 0;
  SMAAAreaPixel(E1, E2, D1, D2, X, Y);
  EXPECT_TRUE(X >= 0 && X < SMAAAreaWidth && Y >= 0 && Y < SMAAAreaHeight);
  return SMAAAreaData()[(size_t(Y) * SMAAAreaWidth + size_t(X)) * 2 + size_t(Byte)] / 255.0;
}

// Positive and negative parts of the integral of Line over [X0, X0 + 1], by brute force.
void Integrate(const std::function<double(double)>& Line, double X0, double& Pos, double& Neg) {
  const int N = 20000;
  Pos = Neg = 0.0;
  for (int i = 0; i < N; i++) {
    const double h = Line(X0 + (i + 0.5) / N) / N;
    (h > 0 ? Pos : Neg) += std::fabs(h);
  }
}

}  // namespace

TEST(SMAAArea, WithoutACrossingEdgeThereIsNothingToBlend) {
  for (int32_t D1 = 0; D1 <= SMAAAreaMaxDistance; D1++)
    for (int32_t D2 = 0; D2 <= SMAAAreaMaxDistance; D2++)
      for (auto [E1, E2] : {std::pair{0, 0}, std::pair{3, 3}, std::pair{0, 3}, std::pair{3, 0}}) {
        EXPECT_EQ(TableA(E1, E2, D1, D2, 0), 0.0);
        EXPECT_EQ(TableA(E1, E2, D1, D2, 1), 0.0);
      }
}

TEST(SMAAArea, SwappingTheEndsMirrorsTheAreas) {
  for (int32_t E1 = 0; E1 < 4; E1++)
    for (int32_t E2 = 0; E2 < 4; E2++)
      for (int32_t D1 = 0; D1 <= SMAAAreaMaxDistance; D1 += 3)
        for (int32_t D2 = 0; D2 <= SMAAAreaMaxDistance; D2 += 2) {
          double A = 0, B = 0, MA = 0, MB = 0;
          SMAAAreaCoverage(E1, E2, D1, D2, A, B);
          SMAAAreaCoverage(E2, E1, D2, D1, MA, MB);
          EXPECT_NEAR(A, MA, 1e-12);
          EXPECT_NEAR(B, MB, 1e-12);
          EXPECT_EQ(TableA(E1, E2, D1, D2, 0), TableA(E2, E1, D2, D1, 0));
          EXPECT_EQ(TableA(E1, E2, D1, D2, 1), TableA(E2, E1, D2, D1, 1));
        }
}

// A one-pixel step over a run of length L: the straight line from half a pixel on one side
// at the first end to half a pixel on the other at the last (Z), or an L shape down to the
// middle when the far end has no crossing.
TEST(SMAAArea, OnePixelStepsGiveTheExactTrapezoidAreas) {
  struct Case {
    int32_t E1, E2;
    std::function<double(double, double)> Line;  // (t, L)
  };
  const Case Cases[] = {
      {1, 2, [](double t, double L) { return 0.5 - t / L; }},
      {2, 1, [](double t, double L) { return -0.5 + t / L; }},
      {1, 0, [](double t, double L) { return t < L / 2 ? 0.5 - t / L : 0.0; }},
      {2, 2, [](double t, double L) { return -std::fabs(0.5 - t / L); }},
  };
  for (const Case& c : Cases)
    for (int32_t D1 : {0, 1, 2, 5, 17, 40, 63})
      for (int32_t D2 : {0, 1, 3, 8, 31, 63}) {
        SCOPED_TRACE(testing::Message() << c.E1 << "," << c.E2 << " d " << D1 << "," << D2);
        const double L = D1 + D2 + 1;
        double Pos = 0, Neg = 0;
        Integrate([&](double t) { return c.Line(t, L); }, D1, Pos, Neg);
        EXPECT_NEAR(TableA(c.E1, c.E2, D1, D2, 0), Pos, 1.0 / 255.0);
        EXPECT_NEAR(TableA(c.E1, c.E2, D1, D2, 1), Neg, 1.0 / 255.0);
      }
}

double TableDiagonal(int32_t E1, int32_t E2, int32_t D1, int32_t D2, int32_t Byte) {
  int32_t X = 0, Y = 0;
  SMAAAreaDiagonalPixel(E1, E2, D1, D2, X, Y);
  return SMAAAreaData()[(size_t(Y) * SMAAAreaWidth + size_t(X)) * 2 + size_t(Byte)] / 255.0;
}

// A straight diagonal staircase: the line through the step midpoints cuts an eighth from the
// pixel over each step and from the one below, wherever the pixel sits in the run.
TEST(SMAAArea, DiagonalWithoutACrossingCutsAnEighthEachSide) {
  for (auto [E1, E2] : {std::pair{0, 0}, std::pair{3, 3}, std::pair{0, 3}, std::pair{3, 0}})
    for (int32_t D1 = 0; D1 <= SMAAAreaDiagonalMaxDistance; D1++)
      for (int32_t D2 = 0; D2 <= SMAAAreaDiagonalMaxDistance; D2++) {
        EXPECT_NEAR(TableDiagonal(E1, E2, D1, D2, 0), 0.125, 0.5 / 255.0);
        EXPECT_NEAR(TableDiagonal(E1, E2, D1, D2, 1), 0.125, 0.5 / 255.0);
      }
}

// Swapping the ends mirrors the diagonal areas; a shift at one end moves area from one side to
// the other, most at that end's unit and none at the middle of the run.
TEST(SMAAArea, DiagonalEndsSwappedMirrorAndShiftTheLine) {
  for (int32_t E1 = 0; E1 < 4; E1++)
    for (int32_t E2 = 0; E2 < 4; E2++)
      for (int32_t D1 = 0; D1 <= SMAAAreaDiagonalMaxDistance; D1++)
        for (int32_t D2 = 0; D2 <= SMAAAreaDiagonalMaxDistance; D2++) {
          EXPECT_EQ(TableDiagonal(E1, E2, D1, D2, 0), TableDiagonal(E2, E1, D2, D1, 0));
          EXPECT_EQ(TableDiagonal(E1, E2, D1, D2, 1), TableDiagonal(E2, E1, D2, D1, 1));
        }
  double A = 0, B = 0;
  SMAAAreaDiagonalCoverage(1, 0, 0, 30, A, B);  // line half a pixel up at the first unit
  EXPECT_NEAR(A, 0.5, 0.02);
  EXPECT_NEAR(B, 0.0, 0.001);
  SMAAAreaDiagonalCoverage(2, 0, 0, 30, A, B);  // half a pixel down
  EXPECT_NEAR(A, 0.0, 0.001);
  EXPECT_NEAR(B, 0.5, 0.02);
  SMAAAreaDiagonalCoverage(1, 2, 10, 10, A, B);  // the middle of a Z
  EXPECT_NEAR(A, 0.125, 1e-12);
  EXPECT_NEAR(B, 0.125, 1e-12);
}

TEST(SMAAArea, PatternBlocksFillTheTableWithoutOverlap) {
  int32_t X = 0, Y = 0;
  SMAAAreaPixel(3, 3, SMAAAreaMaxDistance, SMAAAreaMaxDistance, X, Y);
  EXPECT_LT(X, SMAAAreaWidth);
  EXPECT_LT(Y, SMAAAreaHeight);
  std::vector<bool> Used(size_t(SMAAAreaWidth) * SMAAAreaHeight, false);
  for (int32_t E1 = 0; E1 < 4; E1++)
    for (int32_t E2 = 0; E2 < 4; E2++)
      for (int32_t D1 = 0; D1 <= SMAAAreaMaxDistance; D1++)
        for (int32_t D2 = 0; D2 <= SMAAAreaMaxDistance; D2++) {
          SMAAAreaPixel(E1, E2, D1, D2, X, Y);
          const size_t i = size_t(Y) * SMAAAreaWidth + size_t(X);
          ASSERT_FALSE(Used[i]);
          Used[i] = true;
        }
  for (int32_t E1 = 0; E1 < 4; E1++)
    for (int32_t E2 = 0; E2 < 4; E2++)
      for (int32_t D1 = 0; D1 <= SMAAAreaDiagonalMaxDistance; D1++)
        for (int32_t D2 = 0; D2 <= SMAAAreaDiagonalMaxDistance; D2++) {
          SMAAAreaDiagonalPixel(E1, E2, D1, D2, X, Y);
          ASSERT_TRUE(X >= 0 && X < SMAAAreaWidth && Y >= 0 && Y < SMAAAreaHeight);
          const size_t i = size_t(Y) * SMAAAreaWidth + size_t(X);
          ASSERT_FALSE(Used[i]);
          Used[i] = true;
        }
}
