#pragma once
// The built-in head-related response set, computed at first use from a rigid spherical head.
//
// Model: a sphere of radius 8.75 cm, speed of sound 343 m/s, 44,100 Hz, far-field sources.
// - Delay: the interaural time difference (r/c)(a + sin a) of the spherical head, a the lateral
//   angle of the source from the median plane (0 … pi/2). The ear facing the source gets 0, the
//   other ear the whole difference: 0 ahead, about 28.9 frames straight to one side; stored
//   rounded to whole frames.
// - Response: a first-order head-shadow filter H(s) = (alpha s + beta) / (s + beta), beta = 2c/r,
//   alpha = 1.05 + 0.95 cos(theta × 180/150 degrees), theta the angle between the source and the
//   ear's axis (alpha 2 facing the ear, +6 dB of treble; about 0.28 at its back). It is made
//   discrete by the bilinear transform, its impulse response truncated to 32 taps, scaled by 0.5
//   (so the treble boost stays below 1.0) and stored as 1.15 fixed point.
// Angles: 19 elevation rings from straight below (ring 0, -pi/2) to straight above (ring 18,
// +pi/2), pi/18 apart. In each ring response i lies at azimuth i × 2pi / count, azimuth 0 straight
// ahead and growing toward the right. Every response is the left ear's; the right ear's response
// for azimuth phi is the left ear's for -phi (the head is symmetric).
#include <cstdint>

struct TZNT1SoundHRTFPreset {
  int32_t SampleRate;
  int32_t irSize;            // taps per response
  int32_t evCount;           // elevation rings
  const int32_t* azCount;    // responses per ring
  const int32_t* evOffset;   // index of each ring's first response
  const int32_t* Coefs;      // responses × irSize taps, 1.15
  const int32_t* Delays;     // one per response, frames
};

constexpr int32_t HRTFTableRings = 19;
constexpr int32_t HRTFTableResponses = 828;
constexpr int32_t HRTFTableTaps = 32;

// The built-in set; built once, on the first call (thread-safe), identical on every run.
const TZNT1SoundHRTFPreset* DefaultHRTFPreset();
