#include "gpu/ZNT1SMAAArea.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Height of the revectorised line at an end: half a pixel towards the crossing edge.
double EndHeight(int32_t E) { return E == 1 ? 0.5 : E == 2 ? -0.5 : 0.0; }

// Integral over [A, B] of the segment from (T0, H0) to (T1, H1), zero outside it.
double SegmentIntegral(double T0, double H0, double T1, double H1, double A, double B) {
  const double Lo = std::max(A, T0), Hi = std::min(B, T1);
  if (Hi <= Lo) return 0.0;
  auto At = [&](double T) { return H0 + (H1 - H0) * (T - T0) / (T1 - T0); };
  return (At(Lo) + At(Hi)) * 0.5 * (Hi - Lo);
}

// Fills one part of the table: every pair of end patterns and distances up to MaxDistance.
template <typename TCoverage, typename TPixel>
void FillPart(std::vector<uint8_t>& Table, int32_t MaxDistance, TCoverage Coverage, TPixel Pixel) {
  for (int32_t E1 = 0; E1 < 4; E1++)
    for (int32_t E2 = 0; E2 < 4; E2++)
      for (int32_t D1 = 0; D1 <= MaxDistance; D1++)
        for (int32_t D2 = 0; D2 <= MaxDistance; D2++) {
          double A = 0.0, B = 0.0;
          Coverage(E1, E2, D1, D2, A, B);
          int32_t X = 0, Y = 0;
          Pixel(E1, E2, D1, D2, X, Y);
          uint8_t* P = &Table[(static_cast<size_t>(Y) * SMAAAreaWidth + static_cast<size_t>(X)) * 2];
          P[0] = static_cast<uint8_t>(std::lround(std::clamp(A, 0.0, 1.0) * 255.0));
          P[1] = static_cast<uint8_t>(std::lround(std::clamp(B, 0.0, 1.0) * 255.0));
        }
}

std::vector<uint8_t> BuildTable() {
  std::vector<uint8_t> Table(SMAAAreaDataSize, 0);
  FillPart(Table, SMAAAreaMaxDistance, SMAAAreaCoverage, SMAAAreaPixel);
  FillPart(Table, SMAAAreaDiagonalMaxDistance, SMAAAreaDiagonalCoverage, SMAAAreaDiagonalPixel);
  return Table;
}

}  // namespace

void SMAAAreaCoverage(int32_t E1, int32_t E2, int32_t D1, int32_t D2, double& A, double& B) {
  // The run covers [0, L] with the pixel at [D1, D1 + 1]. Each half is an L shape from its
  // end's height down to the edge at the middle; a Z shape is the two halves in line.
  const double L = double(D1) + double(D2) + 1.0, Middle = L * 0.5;
  const double Near = SegmentIntegral(0.0, EndHeight(E1), Middle, 0.0, D1, D1 + 1.0);
  const double Far = SegmentIntegral(Middle, 0.0, L, EndHeight(E2), D1, D1 + 1.0);
  // Within a half the line keeps one side, so each integral is wholly A or wholly B.
  A = std::max(Near, 0.0) + std::max(Far, 0.0);
  B = std::max(-Near, 0.0) + std::max(-Far, 0.0);
}

void SMAAAreaPixel(int32_t E1, int32_t E2, int32_t D1, int32_t D2, int32_t& X, int32_t& Y) {
  const int32_t Pattern = E1 * 4 + E2;
  X = (Pattern % 2) * SMAAAreaBlock + D1;
  Y = (Pattern / 2) * SMAAAreaBlock + D2;
}

void SMAAAreaDiagonalCoverage(int32_t E1, int32_t E2, int32_t D1, int32_t D2, double& A, double& B) {
  // Units 0..L-1 with this one at D1; the line's shift across the diagonal falls linearly from
  // each end's height to nothing at the middle, read at the unit's middle.
  const double L = double(D1) + double(D2) + 1.0, Middle = L * 0.5, T = double(D1) + 0.5;
  const double H = T < Middle ? EndHeight(E1) * (1.0 - T / Middle) : EndHeight(E2) * (T - Middle) / Middle;
  // A shift h moves the line along the pixel's lower edge by h, so the corner triangles have
  // legs 0.5 + h (this pixel) and 0.5 - h (the one below).
  A = (0.5 + H) * (0.5 + H) * 0.5;
  B = (0.5 - H) * (0.5 - H) * 0.5;
}

void SMAAAreaDiagonalPixel(int32_t E1, int32_t E2, int32_t D1, int32_t D2, int32_t& X, int32_t& Y) {
  X = SMAAAreaDiagonalLeft + D1;
  Y = (E1 * 4 + E2) * SMAAAreaDiagonalBlock + D2;
}

const uint8_t* SMAAAreaData() {
  static const std::vector<uint8_t> Table = BuildTable();
  return Table.data();
}
