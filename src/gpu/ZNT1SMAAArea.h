#pragma once
// The SMAA area lookup table: 160 x 560 pixels of two bytes, row by row, generated on first use.
#include <cstdint>

constexpr int32_t SMAAAreaWidth = 160;
constexpr int32_t SMAAAreaHeight = 560;
constexpr int32_t SMAAAreaDataSize = SMAAAreaWidth * SMAAAreaHeight * 2;  // 179,200

// Orthogonal runs: one 64 x 64 block per pair of end patterns, two blocks a row, so
// distances 0..63 from the pixel to either end of its run.
constexpr int32_t SMAAAreaBlock = 64;
constexpr int32_t SMAAAreaMaxDistance = SMAAAreaBlock - 1;

// Crossing pattern at an end of an edge run: 0 none, 1 a crossing edge on the pixel's own
// side (A), 2 on the neighbour's side (B), 3 both (the line goes straight on).
// Coverage of the pixel D1 pixels from the run's first end (pattern E1) and D2 from its last
// (E2) by the revectorised edge: A the share of this pixel that belongs to the neighbour
// across the edge, B the share of the neighbour that belongs to this pixel.
void SMAAAreaCoverage(int32_t E1, int32_t E2, int32_t D1, int32_t D2, double& A, double& B);

// Table pixel of a pattern pair and distances (each distance 0..SMAAAreaMaxDistance).
void SMAAAreaPixel(int32_t E1, int32_t E2, int32_t D1, int32_t D2, int32_t& X, int32_t& Y);

// Diagonal runs: a staircase of unit steps along a diagonal, one 32 x 32 block per pair of end
// patterns in the column right of the orthogonal blocks, so distances 0..31 in units.
constexpr int32_t SMAAAreaDiagonalBlock = 32;
constexpr int32_t SMAAAreaDiagonalMaxDistance = SMAAAreaDiagonalBlock - 1;
constexpr int32_t SMAAAreaDiagonalLeft = 2 * SMAAAreaBlock;
static_assert(SMAAAreaDiagonalLeft + SMAAAreaDiagonalBlock <= SMAAAreaWidth);
static_assert(16 * SMAAAreaDiagonalBlock <= SMAAAreaHeight && 8 * SMAAAreaBlock <= SMAAAreaHeight);

// End pattern of a diagonal run, as the shader reads it from the step shapes there: 0 none,
// 1 the line sits half a pixel above the diagonal through the step midpoints at that end,
// 2 half a pixel below, 3 both (no shift). A unit is a pixel's lower edge with the vertical
// edge at its right end; the revectorised line cuts a corner triangle from the pixel (A, the
// share it takes from below) and from the pixel below (B, the share it takes from above),
// each 1/8 when the line runs through the step midpoints.
void SMAAAreaDiagonalCoverage(int32_t E1, int32_t E2, int32_t D1, int32_t D2, double& A, double& B);

// Table pixel of a diagonal pattern pair and distances (each 0..SMAAAreaDiagonalMaxDistance).
void SMAAAreaDiagonalPixel(int32_t E1, int32_t E2, int32_t D1, int32_t D2, int32_t& X, int32_t& Y);

// The table: byte 0 of a pixel is round(A × 255), byte 1 round(B × 255); unused pixels 0.
const uint8_t* SMAAAreaData();
