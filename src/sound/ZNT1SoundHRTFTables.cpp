#include "sound/ZNT1SoundHRTFTables.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double HeadRadius = 0.0875;   // metres
constexpr double SpeedOfSound = 343.0;  // metres per second
constexpr double Rate = 44100.0;
constexpr double Scale = 0.5;

constexpr int32_t RingCounts[HRTFTableRings] = {1, 12, 24, 36, 45, 56, 60, 72, 72, 72,
                                                72, 72, 60, 56, 45, 36, 24, 12, 1};

struct TTables {
  int32_t AzCount[HRTFTableRings];
  int32_t EvOffset[HRTFTableRings];
  std::vector<int32_t> Coefs;
  std::vector<int32_t> Delays;
  TZNT1SoundHRTFPreset Preset;

  TTables() : Coefs(static_cast<size_t>(HRTFTableResponses) * HRTFTableTaps), Delays(HRTFTableResponses) {
    const double pi = 3.14159265358979323846;
    const double beta = 2.0 * SpeedOfSound / HeadRadius;
    const double k = 2.0 * Rate;  // bilinear transform
    int32_t offset = 0;
    for (int32_t e = 0; e < HRTFTableRings; ++e) {
      AzCount[e] = RingCounts[e];
      EvOffset[e] = offset;
      const double elevation = -pi / 2 + e * pi / (HRTFTableRings - 1);
      for (int32_t a = 0; a < RingCounts[e]; ++a) {
        const double azimuth = a * 2.0 * pi / RingCounts[e];
        // Head frame: x ahead, y left, z up; the left ear's axis is +y.
        const double towardLeft = -std::cos(elevation) * std::sin(azimuth);
        const double lateral = std::asin(std::clamp(towardLeft, -1.0, 1.0));
        // The far ear (source on the right) lags by the whole interaural difference.
        const double itd = lateral < 0 ? HeadRadius / SpeedOfSound * (-lateral + std::sin(-lateral)) : 0.0;
        Delays[static_cast<size_t>(offset + a)] = static_cast<int32_t>(std::nearbyint(itd * Rate));

        const double theta = std::acos(std::clamp(towardLeft, -1.0, 1.0));
        const double alpha = 1.05 + 0.95 * std::cos(theta * 180.0 / 150.0);
        const double b0 = (alpha * k + beta) / (k + beta);
        const double b1 = (beta - alpha * k) / (k + beta);
        const double a1 = (beta - k) / (k + beta);
        int32_t* taps = &Coefs[static_cast<size_t>(offset + a) * HRTFTableTaps];
        double y1 = 0.0, x1 = 0.0;
        for (int32_t n = 0; n < HRTFTableTaps; ++n) {
          const double x = n == 0 ? 1.0 : 0.0;
          const double y = b0 * x + b1 * x1 - a1 * y1;
          taps[n] = static_cast<int32_t>(std::nearbyint(y * Scale * 32768.0));
          x1 = x;
          y1 = y;
        }
      }
      offset += RingCounts[e];
    }
    Preset = {static_cast<int32_t>(Rate), HRTFTableTaps, HRTFTableRings, AzCount, EvOffset, Coefs.data(),
              Delays.data()};
  }
};

}  // namespace

const TZNT1SoundHRTFPreset* DefaultHRTFPreset() {
  static const TTables tables;
  return &tables.Preset;
}
