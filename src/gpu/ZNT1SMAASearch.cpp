#include "gpu/ZNT1SMAASearch.h"

#include <cmath>
#include <vector>

namespace {

// The pair of edge bits (first, second) nearest to a 3/4 : 1/4 bilinear mix.
void Unmix(double Value, bool& First, bool& Second) {
  static const double Mixes[4] = {0.0, 0.25, 0.75, 1.0};
  int32_t Best = 0;
  for (int32_t i = 1; i < 4; i++)
    if (std::fabs(Value - Mixes[i]) < std::fabs(Value - Mixes[Best])) Best = i;
  First = Best >= 2;
  Second = Best == 1 || Best == 3;
}

std::vector<uint8_t> BuildTable() {
  std::vector<uint8_t> Table(SMAASearchDataSize, 0);
  for (int32_t Y = 0; Y < SMAASearchHeight; Y++)
    for (int32_t X = 0; X < SMAASearchWidth; X++) {
      const bool Up = X >= 33;
      Table[static_cast<size_t>(Y) * SMAASearchWidth + static_cast<size_t>(X)] =
          SMAASearchDecode(Up, (X - (Up ? 33 : 0)) / 32.0, Y / 32.0);
    }
  return Table;
}

}  // namespace

uint8_t SMAASearchDecode(bool Up, double Run, double Crossing) {
  bool Run0 = false, Run1 = false, Cross0 = false, Cross1 = false;
  Unmix(Run, Run0, Run1);
  Unmix(Crossing, Cross0, Cross1);
  int32_t k = -1;
  if (Up) {
    // c − 1 is in the run; a crossing at c's lower boundary, or c off the edge, ends it.
    if (Cross0 || !Run0) k = 0;
    else if (Cross1 || !Run1) k = 1;
  } else {
    // c + 2 is in the run and nothing crosses its lower boundary.
    if (!Run1) k = 2;
    else if (Cross1 || !Run0) k = 1;
    else if (Cross0) k = 0;
  }
  return k < 0 ? 0 : static_cast<uint8_t>(64 * (k + 1));
}

const uint8_t* SMAASearchData() {
  static const std::vector<uint8_t> Table = BuildTable();
  return Table.data();
}
