#include "gpu/ZNT1SMAA.h"

// The includer defines SMAA_PIXEL_SIZE, a preset, SMAA_GLSL_3 and SMAA_ONLY_COMPILE_VS or
// SMAA_ONLY_COMPILE_PS. Edges: r is the edge to the left neighbour (x − 1), g the edge to the
// neighbour below (y − 1). Blending weights: r the share this pixel takes from below, g the
// share the pixel below takes from this one, b and a the same towards the left.
// The table layouts match ZNT1SMAAArea.h and ZNT1SMAASearch.h.
const char* const ZNT1SMAAData = R"GLSL(
#if defined(SMAA_PRESET_LOW)
#define SMAA_THRESHOLD 0.15
#define SMAA_MAX_SEARCH_STEPS 4
#define SMAA_CORNER_ROUNDING 100
#define SMAA_DISABLE_DIAG_DETECTION 1
#elif defined(SMAA_PRESET_MEDIUM)
#define SMAA_THRESHOLD 0.1
#define SMAA_MAX_SEARCH_STEPS 8
#define SMAA_CORNER_ROUNDING 100
#define SMAA_DISABLE_DIAG_DETECTION 1
#elif defined(SMAA_PRESET_HIGH)
#define SMAA_THRESHOLD 0.1
#define SMAA_MAX_SEARCH_STEPS 16
#define SMAA_MAX_SEARCH_STEPS_DIAG 8
#define SMAA_CORNER_ROUNDING 25
#else
#define SMAA_THRESHOLD 0.05
#define SMAA_MAX_SEARCH_STEPS 32
#define SMAA_MAX_SEARCH_STEPS_DIAG 16
#define SMAA_CORNER_ROUNDING 25
#endif
// Diagonal runs shorter than this are left to the orthogonal searches: a lone unit step is as
// likely part of a flatter or steeper line.
#define SMAA_DIAG_MIN_RUN 3
#define SMAA_LOCAL_CONTRAST_ADAPTATION_FACTOR 2.0
#define SMAA_AREA_BLOCK 64
#define SMAA_AREA_MAX_DISTANCE 63
#define SMAA_AREA_DIAG_LEFT 128
#define SMAA_AREA_DIAG_BLOCK 32

#if defined(SMAA_ONLY_COMPILE_VS)
// main hands in texcoord shifted to the pixel's corner; the passes work from its centre.
void SMAAEdgeDetectionVS(vec4 position, out vec4 svPosition, inout vec2 texcoord, out vec4 offset[3]) {
  svPosition = position;
  texcoord += SMAA_PIXEL_SIZE * 0.5;
  offset[0] = texcoord.xyxy + SMAA_PIXEL_SIZE.xyxy * vec4(-1.0, 0.0, 0.0, -1.0);
  offset[1] = texcoord.xyxy + SMAA_PIXEL_SIZE.xyxy * vec4(1.0, 0.0, 0.0, 1.0);
  offset[2] = texcoord.xyxy + SMAA_PIXEL_SIZE.xyxy * vec4(-2.0, 0.0, 0.0, -2.0);
}

void SMAABlendingWeightCalculationVS(vec4 position, out vec4 svPosition, inout vec2 texcoord, out vec2 pixcoord,
                                     out vec4 offset[3]) {
  svPosition = position;
  texcoord += SMAA_PIXEL_SIZE * 0.5;
  pixcoord = texcoord / SMAA_PIXEL_SIZE;
  offset[0] = texcoord.xyxy + SMAA_PIXEL_SIZE.xyxy * vec4(-1.0, 0.0, 0.0, -1.0);
  offset[1] = texcoord.xyxy + SMAA_PIXEL_SIZE.xyxy * vec4(1.0, 0.0, 0.0, 1.0);
  offset[2] = vec4(0.0);
}

void SMAANeighborhoodBlendingVS(vec4 position, out vec4 svPosition, inout vec2 texcoord, out vec4 offset[2]) {
  svPosition = position;
  texcoord += SMAA_PIXEL_SIZE * 0.5;
  offset[0] = texcoord.xyxy + SMAA_PIXEL_SIZE.xyxy * vec4(-1.0, 0.0, 0.0, -1.0);
  offset[1] = texcoord.xyxy + SMAA_PIXEL_SIZE.xyxy * vec4(1.0, 0.0, 0.0, 1.0);
}
#endif

#if defined(SMAA_ONLY_COMPILE_PS)
// Every read is an exact texel except the searches' pair reads, so a pixel without edges
// comes through untouched.
ivec2 SMAAPixel(vec2 texcoord, sampler2D tex) { return ivec2(floor(texcoord * vec2(textureSize(tex, 0)))); }

vec4 SMAAFetch(sampler2D tex, ivec2 p) { return texelFetch(tex, clamp(p, ivec2(0), textureSize(tex, 0) - 1), 0); }

vec4 SMAAFetchOrZero(sampler2D tex, ivec2 p) {
  ivec2 size = textureSize(tex, 0);
  if (any(lessThan(p, ivec2(0))) || any(greaterThanEqual(p, size))) return vec4(0.0);
  return texelFetch(tex, p, 0);
}

float SMAAContrast(vec4 a, vec4 b) {
  vec3 d = abs(a.rgb - b.rgb);
  return max(max(d.r, d.g), d.b);
}

vec4 SMAAColorEdgeDetectionPS(vec2 texcoord, vec4 offset[3], sampler2D colorTex) {
  ivec2 p = SMAAPixel(texcoord, colorTex);
  vec4 c = SMAAFetch(colorTex, p);
  vec4 left = SMAAFetch(colorTex, p + ivec2(-1, 0));
  vec4 below = SMAAFetch(colorTex, p + ivec2(0, -1));
  vec2 delta = vec2(SMAAContrast(c, left), SMAAContrast(c, below));
  vec2 edges = step(vec2(SMAA_THRESHOLD), delta);
  if (edges.x + edges.y == 0.0) return vec4(0.0);
  // Local contrast adaptation: a weak edge next to a much stronger one is dropped.
  float right = SMAAContrast(c, SMAAFetch(colorTex, p + ivec2(1, 0)));
  float above = SMAAContrast(c, SMAAFetch(colorTex, p + ivec2(0, 1)));
  float leftLeft = SMAAContrast(left, SMAAFetch(colorTex, p + ivec2(-2, 0)));
  float belowBelow = SMAAContrast(below, SMAAFetch(colorTex, p + ivec2(0, -2)));
  float maxDelta = max(max(max(delta.x, delta.y), max(right, above)), max(leftLeft, belowBelow));
  edges *= step(vec2(maxDelta), SMAA_LOCAL_CONTRAST_ADAPTATION_FACTOR * delta);
  return vec4(edges, 0.0, 0.0);
}

// Edges of a pair of pixels along a run (c and the next) in one bilinear read, weighted 3/4
// and 1/4: x the run's own edge, y the crossing edge at each pixel's lower boundary.
vec2 SMAAPairRead(sampler2D edgesTex, vec2 invSize, ivec2 p, int c, bool horizontal) {
  if (horizontal) return textureLod(edgesTex, vec2(float(c) + 0.75, float(p.y) + 0.5) * invSize, 0.0).gr;
  return textureLod(edgesTex, vec2(float(p.x) + 0.5, float(c) + 0.75) * invSize, 0.0).rg;
}

// -1 while the run goes on past the pair, else the table's k.
int SMAASearchDecode(sampler2D searchTex, vec2 pair, bool up) {
  ivec2 at = ivec2(int(pair.x * 32.0 + 0.5) + (up ? 33 : 0), int(pair.y * 32.0 + 0.5));
  return int(texelFetch(searchTex, at, 0).r * (255.0 / 64.0) + 0.5) - 1;
}

// First pixel of the run through p along the run's axis; found false when the search gave up.
int SMAASearchDown(sampler2D edgesTex, sampler2D searchTex, ivec2 p, bool horizontal, out bool found) {
  found = true;
  vec2 invSize = 1.0 / vec2(textureSize(edgesTex, 0));
  int c = (horizontal ? p.x : p.y) - 1;
  for (int i = 0; i < SMAA_MAX_SEARCH_STEPS; i++) {
    int k = SMAASearchDecode(searchTex, SMAAPairRead(edgesTex, invSize, p, c, horizontal), false);
    if (k >= 0) return max(c + k, 0);
    if (c <= 0) return 0;
    c -= 2;
  }
  found = false;
  return c + 2;
}

// Last pixel of the run through p along the run's axis.
int SMAASearchUp(sampler2D edgesTex, sampler2D searchTex, ivec2 p, bool horizontal, out bool found) {
  found = true;
  ivec2 size = textureSize(edgesTex, 0);
  vec2 invSize = 1.0 / vec2(size);
  int last = (horizontal ? size.x : size.y) - 1;
  int c = (horizontal ? p.x : p.y) + 1;
  for (int i = 0; i < SMAA_MAX_SEARCH_STEPS; i++) {
    if (c > last) return last;
    int k = SMAASearchDecode(searchTex, SMAAPairRead(edgesTex, invSize, p, c, horizontal), true);
    if (k >= 0) return min(c - 1 + k, last);
    c += 2;
  }
  found = false;
  return c - 1;
}

// Position along the run and across it in pixel coordinates.
ivec2 SMAAAt(bool horizontal, int along, int across) { return horizontal ? ivec2(along, across) : ivec2(across, along); }

// The run's crossing edge on either side at the boundary before pixel 'along'.
int SMAACrossing(sampler2D edgesTex, bool horizontal, int along, int across) {
  ivec2 size = textureSize(edgesTex, 0);
  if (along >= (horizontal ? size.x : size.y)) return 0;
  float sideA = horizontal ? SMAAFetchOrZero(edgesTex, SMAAAt(true, along, across)).r
                           : SMAAFetchOrZero(edgesTex, SMAAAt(false, along, across)).g;
  float sideB = horizontal ? SMAAFetchOrZero(edgesTex, SMAAAt(true, along, across - 1)).r
                           : SMAAFetchOrZero(edgesTex, SMAAAt(false, along, across - 1)).g;
  return (sideA > 0.5 ? 1 : 0) + (sideB > 0.5 ? 2 : 0);
}

// A crossing that turns into a run along the next row is a staircase step; one that does not
// is a sharp corner, rounded only by SMAA_CORNER_ROUNDING percent.
float SMAACornerFactor(sampler2D edgesTex, bool horizontal, int crossing, int beyond, int across) {
  if (crossing != 1 && crossing != 2) return 1.0;
  int row = crossing == 1 ? across + 1 : across - 1;
  vec4 e = SMAAFetchOrZero(edgesTex, SMAAAt(horizontal, beyond, row));
  float turn = horizontal ? e.g : e.r;
  return turn > 0.5 ? 1.0 : float(SMAA_CORNER_ROUNDING) / 100.0;
}

vec2 SMAARunArea(sampler2D edgesTex, sampler2D areaTex, sampler2D searchTex, ivec2 p, bool horizontal) {
  int along = horizontal ? p.x : p.y;
  int across = horizontal ? p.y : p.x;
  bool foundFirst, foundLast;
  int first = SMAASearchDown(edgesTex, searchTex, p, horizontal, foundFirst);
  int last = SMAASearchUp(edgesTex, searchTex, p, horizontal, foundLast);
  int e1 = foundFirst ? SMAACrossing(edgesTex, horizontal, first, across) : 0;
  int e2 = foundLast ? SMAACrossing(edgesTex, horizontal, last + 1, across) : 0;
  int d1 = min(along - first, SMAA_AREA_MAX_DISTANCE);
  int d2 = min(last - along, SMAA_AREA_MAX_DISTANCE);
  int pattern = e1 * 4 + e2;
  vec2 area = texelFetch(areaTex, ivec2((pattern % 2) * SMAA_AREA_BLOCK + d1, (pattern / 2) * SMAA_AREA_BLOCK + d2), 0).rg;
  // The nearer end shapes this pixel's share.
  if (d1 <= d2) return area * SMAACornerFactor(edgesTex, horizontal, e1, first - 1, across);
  return area * SMAACornerFactor(edgesTex, horizontal, e2, last + 1, across);
}

#if !defined(SMAA_DISABLE_DIAG_DETECTION)
// A diagonal unit at p: p's lower edge and the vertical edge at its right end, which goes up
// (left edge of p + (1, 0)) for dirY 1 and down (left edge of p + (1, -1)) for dirY -1.
bool SMAADiagUnit(sampler2D edgesTex, ivec2 p, int dirY) {
  return SMAAFetchOrZero(edgesTex, p).g > 0.5 && SMAAFetchOrZero(edgesTex, p + ivec2(1, min(dirY, 0))).r > 0.5;
}

// Units in line beyond p, one step after another; found false when the search gave up.
int SMAADiagSearch(sampler2D edgesTex, ivec2 p, ivec2 step, int dirY, out bool found) {
  int n = 0;
  found = false;
  for (int i = 0; i < SMAA_MAX_SEARCH_STEPS_DIAG; i++) {
    if (!SMAADiagUnit(edgesTex, p + step * (n + 1), dirY)) {
      found = true;
      break;
    }
    n++;
  }
  return n;
}

// The diagonal run through unit p: x the share p takes from below, y the share the pixel below
// takes from p. False when the run is too short. The end patterns tell whether the staircase
// comes in or goes on flatter (an extra horizontal step) or steeper (an extra vertical one):
// the line then sits half a pixel off the diagonal there, above or below by the direction.
bool SMAADiagRun(sampler2D edgesTex, sampler2D areaTex, ivec2 p, int dirY, out vec2 area) {
  area = vec2(0.0);
  bool foundFirst, foundLast;
  int d1 = SMAADiagSearch(edgesTex, p, ivec2(-1, -dirY), dirY, foundFirst);
  int d2 = SMAADiagSearch(edgesTex, p, ivec2(1, dirY), dirY, foundLast);
  if (d1 + d2 + 1 < SMAA_DIAG_MIN_RUN) return false;
  ivec2 first = p - ivec2(d1, d1 * dirY);
  ivec2 last = p + ivec2(d2, d2 * dirY);
  // A unit is a horizontal step then a vertical one, so a flatter start shows one extra
  // horizontal step and a steeper one two vertical steps, the other way round at the end;
  // asking for both of a pair keeps a staircase cut by the image border straight.
  int e1 = 0, e2 = 0;
  if (foundFirst) {
    int flatter = SMAAFetchOrZero(edgesTex, first - ivec2(1, 0)).g > 0.5 ? 1 : 0;
    int steeper = SMAAFetchOrZero(edgesTex, first + ivec2(0, dirY > 0 ? -1 : 0)).r > 0.5 &&
                  SMAAFetchOrZero(edgesTex, first + ivec2(0, dirY > 0 ? -2 : 1)).r > 0.5 ? 1 : 0;
    e1 = dirY > 0 ? flatter + 2 * steeper : 2 * flatter + steeper;
  }
  if (foundLast) {
    int flatter = SMAAFetchOrZero(edgesTex, last + ivec2(1, dirY)).g > 0.5 &&
                  SMAAFetchOrZero(edgesTex, last + ivec2(2, dirY)).g > 0.5 ? 1 : 0;
    int steeper = SMAAFetchOrZero(edgesTex, last + ivec2(1, dirY > 0 ? 1 : -2)).r > 0.5 ? 1 : 0;
    e2 = dirY > 0 ? steeper + 2 * flatter : flatter + 2 * steeper;
  }
  area = texelFetch(areaTex, ivec2(SMAA_AREA_DIAG_LEFT + d1, (e1 * 4 + e2) * SMAA_AREA_DIAG_BLOCK + d2), 0).rg;
  return true;
}
#endif

vec4 SMAABlendingWeightCalculationPS(vec2 texcoord, vec2 pixcoord, vec4 offset[3], sampler2D edgesTex,
                                     sampler2D areaTex, sampler2D searchTex, ivec4 subsampleIndices) {
  ivec2 p = SMAAPixel(texcoord, edgesTex);
  vec4 e = texelFetch(edgesTex, p, 0);
  vec4 weights = vec4(0.0);
  bool diagH = false, diagV = false;
#if !defined(SMAA_DISABLE_DIAG_DETECTION)
  // A staircase of unit steps is revectorised along its diagonal; a pixel on two diagonals at
  // once is left to the orthogonal searches.
  if (e.g > 0.5) {
    bool up = SMAADiagUnit(edgesTex, p, 1), down = SMAADiagUnit(edgesTex, p, -1);
    vec2 area;
    if (up != down && SMAADiagRun(edgesTex, areaTex, p, up ? 1 : -1, area)) {
      weights.rg = area;
      diagH = true;
    }
  }
  if (e.r > 0.5) {
    // p is right of a unit at p - (1, 0) going up or at p + (-1, 1) going down. Going up, the
    // line cuts p's upper left corner (the unit's lower triangle); going down, its lower left.
    bool up = SMAADiagUnit(edgesTex, p - ivec2(1, 0), 1), down = SMAADiagUnit(edgesTex, p + ivec2(-1, 1), -1);
    vec2 area;
    if (up != down && SMAADiagRun(edgesTex, areaTex, up ? p - ivec2(1, 0) : p + ivec2(-1, 1), up ? 1 : -1, area)) {
      weights.ba = up ? area.yx : area.xy;
      diagV = true;
    }
  }
#endif
  if (e.g > 0.5 && !diagH) weights.rg = SMAARunArea(edgesTex, areaTex, searchTex, p, true);
  if (e.r > 0.5 && !diagV) weights.ba = SMAARunArea(edgesTex, areaTex, searchTex, p, false);
  return weights;
}

vec4 SMAANeighborhoodBlendingPS(vec2 texcoord, vec4 offset[2], sampler2D colorTex, sampler2D blendTex) {
  ivec2 p = SMAAPixel(texcoord, colorTex);
  vec4 c = SMAAFetch(colorTex, p);
  vec4 own = SMAAFetchOrZero(blendTex, p);
  float fromBelow = own.r;
  float fromLeft = own.b;
  float fromAbove = SMAAFetchOrZero(blendTex, p + ivec2(0, 1)).g;
  float fromRight = SMAAFetchOrZero(blendTex, p + ivec2(1, 0)).a;
  if (max(max(fromBelow, fromLeft), max(fromAbove, fromRight)) <= 0.0) return c;
  // One direction only, the dominant one, so a corner pixel is not blended twice.
  vec4 a, b;
  float wa, wb;
  if (max(fromLeft, fromRight) > max(fromBelow, fromAbove)) {
    a = SMAAFetch(colorTex, p + ivec2(-1, 0));
    b = SMAAFetch(colorTex, p + ivec2(1, 0));
    wa = fromLeft;
    wb = fromRight;
  } else {
    a = SMAAFetch(colorTex, p + ivec2(0, -1));
    b = SMAAFetch(colorTex, p + ivec2(0, 1));
    wa = fromBelow;
    wb = fromAbove;
  }
  float sum = wa + wb;
  if (sum > 1.0) {
    wa /= sum;
    wb /= sum;
    sum = 1.0;
  }
  return c * (1.0 - sum) + a * wa + b * wb;
}
#endif
)GLSL";
