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

// The read itself stays inside the image: lanes that take the zero still run it.
vec4 SMAAFetchOrZero(sampler2D tex, ivec2 p) {
  ivec2 size = textureSize(tex, 0);
  vec4 texel = texelFetch(tex, clamp(p, ivec2(0), size - 1), 0);
  return any(lessThan(p, ivec2(0))) || any(greaterThanEqual(p, size)) ? vec4(0.0) : texel;
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

// A software rasteriser (Mesa's) shades a block of pixels in step and runs every branch the block
// needs, a loop until its last pixel leaves it; the edge texture's texels are costly to read.
// So each run below is one loop that reads once per turn, walking through its stages (the
// searches, then the reads at the run's ends), and a pixel off any edge pays for one turn.
// Loop bounds carry SMAANoUnroll, which the compiler cannot see through: an unrolled loop
// makes every block pay for every turn.
int SMAANoUnroll(sampler2D tex) { return min(textureSize(tex, 0).x, 0); }

// -1 while the run goes on past the pair, else the table's k. A pair read weighs pixels c and
// c + 1 along a run 3/4 and 1/4: x the run's own edge, y the crossing edge at their lower
// boundaries.
int SMAASearchDecode(sampler2D searchTex, vec2 pair, bool up) {
  ivec2 at = ivec2(int(pair.x * 32.0 + 0.5) + (up ? 33 : 0), int(pair.y * 32.0 + 0.5));
  return int(texelFetch(searchTex, at, 0).r * (255.0 / 64.0) + 0.5) - 1;
}

// Blending shares across the run of the edge below p (horizontal) or left of p from the area
// table: searches to both ends (bilinear pair reads decoded by the search table), the crossing
// edges there and a corner check at the nearer end.
// Returns the corner factor and sets areaAt to the area table texel for the run.
float SMAARunArea(sampler2D edgesTex, sampler2D searchTex, ivec2 p, bool horizontal, out ivec2 areaAt) {
  ivec2 size = textureSize(edgesTex, 0);
  vec2 invSize = 1.0 / vec2(size);
  int lastPixel = (horizontal ? size.x : size.y) - 1;
  int acrossLast = (horizontal ? size.y : size.x) - 1;
  int along = horizontal ? p.x : p.y;
  int across = horizontal ? p.y : p.x;
  // Stages: 0 search down (c + 2 is in the run), 1 search up (c - 1 is), 2 and 3 the crossing
  // edges at the boundary before the first pixel and after the last, read 3/4 on this row and
  // 1/4 on the row below, 4 the corner at the nearer end, 5 done.
  int stage = 0, c = along - 1, n = 0;
  int first = 0, last = lastPixel, e1 = 0, e2 = 0, d1 = 0, d2 = 0;
  bool foundFirst = true, foundLast = true;
  float corner = 1.0;
  for (int i = 0; i < 2 * SMAA_MAX_SEARCH_STEPS + 3 + SMAANoUnroll(edgesTex) && stage < 5; i++) {
    int endCrossing = d1 <= d2 ? e1 : e2;
    int beyond = d1 <= d2 ? first - 1 : last + 1;
    int b = stage == 2 ? first : last + 1;
    vec2 at = stage <= 1 ? vec2(float(c) + 0.75, float(across) + 0.5)
            : stage <= 3 ? vec2(float(b) + 0.5, float(across) + 0.25)
                         : vec2(float(beyond) + 0.5, float(endCrossing == 1 ? across + 1 : across - 1) + 0.5);
    vec4 raw = textureLod(edgesTex, (horizontal ? at : at.yx) * invSize, 0.0);
    vec2 pair = horizontal ? raw.gr : raw.rg;
    int k = SMAASearchDecode(searchTex, pair, stage == 1);
    if (stage == 0) {
      n++;
      if (k >= 0 || c <= 0 || n == SMAA_MAX_SEARCH_STEPS) {
        first = k >= 0 ? max(c + k, 0) : max(c, 0);
        foundFirst = k >= 0 || c <= 0;
        stage = 1;
        c = along + 1;
        n = 0;
        if (c > lastPixel) stage = 2;
      } else {
        c -= 2;
      }
    } else if (stage == 1) {
      n++;
      if (k >= 0) {
        last = min(c - 1 + k, lastPixel);
        stage = 2;
      } else if (n == SMAA_MAX_SEARCH_STEPS) {
        last = c + 1;
        foundLast = false;
        stage = 2;
      } else {
        c += 2;
        if (c > lastPixel) stage = 2;
      }
    } else if (stage <= 3) {
      // A crossing on this pixel's side (1), the neighbour's (2) or both (3); none past the image.
      bool inside = b <= lastPixel && (stage == 2 ? foundFirst : foundLast);
      int crossing = (inside && pair.y > 0.5 ? 1 : 0) +
                     (inside && across > 0 && (abs(pair.y - 0.25) < 0.125 || pair.y > 0.875) ? 2 : 0);
      if (stage == 2) e1 = crossing;
      else e2 = crossing;
      d1 = min(along - first, SMAA_AREA_MAX_DISTANCE);
      d2 = min(last - along, SMAA_AREA_MAX_DISTANCE);
      stage++;
      if (stage == 4) {
        endCrossing = d1 <= d2 ? e1 : e2;
        if (endCrossing != 1 && endCrossing != 2) stage = 5;
      }
    } else {
      // A crossing that turns into a run along the next row is a staircase step; one that does
      // not is a sharp corner, rounded only by SMAA_CORNER_ROUNDING percent.
      int row = endCrossing == 1 ? across + 1 : across - 1;
      bool inside = beyond >= 0 && beyond <= lastPixel && row >= 0 && row <= acrossLast;
      corner = inside && pair.x > 0.5 ? 1.0 : float(SMAA_CORNER_ROUNDING) / 100.0;
      stage = 5;
    }
  }
  int pattern = e1 * 4 + e2;
  areaAt = ivec2((pattern % 2) * SMAA_AREA_BLOCK + d1, (pattern / 2) * SMAA_AREA_BLOCK + d2);
  return corner;
}

#if !defined(SMAA_DISABLE_DIAG_DETECTION)
// Diagonal runs. A unit at q is q's lower edge with the vertical edge at its right end, which
// goes up (left edge of q + (1, 0)) for dirY 1 and down (left edge of q + (1, -1)) for -1. The
// edge below p (horizontal) belongs to the unit at p; the edge left of p to the unit at
// p - (1, 0) going up or at p + (-1, 1) going down; an edge on two diagonals at once is left to
// the orthogonal searches, as is a run shorter than SMAA_DIAG_MIN_RUN. At the run's ends the
// staircase comes in or goes on flatter (an extra horizontal step) or steeper (an extra
// vertical one): the line then sits half a pixel off the diagonal there, above or below by the
// direction. A unit is a horizontal step then a vertical one, so a flatter start shows one extra
// horizontal step and a steeper one two vertical steps, the other way round at the end; asking
// for both of a pair keeps a staircase cut by the image border straight.
// Returns false when no diagonal applies, else sets areaAt to the table's texel for the unit:
// x the share the unit's pixel takes from below, y the share the pixel below takes from it.
bool SMAADiagRun(sampler2D edgesTex, ivec2 p, bool horizontal, out ivec2 areaAt, out bool up) {
  areaAt = ivec2(0);
  // Stages: 0 which diagonal, 1 search back, 2 search forward, 3 and 4 the start's steps, 5 and
  // 6 the end's, 7 done; two texel reads a turn.
  int stage = 0, n = 0, dirY = 1, d1 = 0, d2 = 0, e1 = 0, e2 = 0;
  ivec2 unit = p;
  bool foundFirst = false, foundLast = false, diagonal = false;
  int flatter = 0, steeper = 0;
  up = false;
  for (int i = 0; i < 2 * SMAA_MAX_SEARCH_STEPS_DIAG + 5 + SMAANoUnroll(edgesTex) && stage < 7; i++) {
    ivec2 step = ivec2(1, dirY);
    ivec2 first = unit - step * d1, last = unit + step * d2;
    ivec2 q = unit + (stage == 1 ? -step : step) * (n + 1);
    ivec2 qa = stage == 0 ? (horizontal ? p + ivec2(1, 0) : p - ivec2(1, 0))
             : stage <= 2 ? q
             : stage == 3 ? first - ivec2(1, 0)
             : stage == 4 ? first + ivec2(0, dirY > 0 ? -2 : 1)
             : stage == 5 ? last + ivec2(1, dirY)
                          : last + ivec2(1, dirY > 0 ? 1 : -2);
    ivec2 qb = stage == 0 ? (horizontal ? p + ivec2(1, -1) : p + ivec2(-1, 1))
             : stage <= 2 ? q + ivec2(1, min(dirY, 0))
             : stage == 3 ? first + ivec2(0, dirY > 0 ? -1 : 0)
                          : last + ivec2(2, dirY);
    vec4 a = SMAAFetchOrZero(edgesTex, qa), b = SMAAFetchOrZero(edgesTex, qb);
    if (stage == 0) {
      up = horizontal ? a.r > 0.5 : a.g > 0.5;
      bool down = horizontal ? b.r > 0.5 : b.g > 0.5;
      diagonal = up != down;
      dirY = up ? 1 : -1;
      unit = horizontal ? p : up ? p - ivec2(1, 0) : p + ivec2(-1, 1);
      stage = diagonal ? 1 : 7;
    } else if (stage <= 2) {
      bool isUnit = a.g > 0.5 && b.r > 0.5;
      if (isUnit) n++;
      if (!isUnit || n == SMAA_MAX_SEARCH_STEPS_DIAG) {
        if (stage == 1) {
          d1 = n;
          foundFirst = !isUnit;
          stage = 2;
        } else {
          d2 = n;
          foundLast = !isUnit;
          diagonal = d1 + d2 + 1 >= SMAA_DIAG_MIN_RUN;
          stage = !diagonal ? 7 : foundFirst ? 3 : foundLast ? 5 : 7;
        }
        n = 0;
      }
    } else if (stage == 3) {
      flatter = a.g > 0.5 ? 1 : 0;
      steeper = b.r > 0.5 ? 1 : 0;
      stage = 4;
    } else if (stage == 4) {
      steeper = steeper == 1 && a.r > 0.5 ? 1 : 0;
      e1 = dirY > 0 ? flatter + 2 * steeper : 2 * flatter + steeper;
      stage = foundLast ? 5 : 7;
    } else if (stage == 5) {
      flatter = a.g > 0.5 && b.g > 0.5 ? 1 : 0;
      stage = 6;
    } else {
      steeper = a.r > 0.5 ? 1 : 0;
      e2 = dirY > 0 ? steeper + 2 * flatter : flatter + 2 * steeper;
      stage = 7;
    }
  }
  if (diagonal) areaAt = ivec2(SMAA_AREA_DIAG_LEFT + d1, (e1 * 4 + e2) * SMAA_AREA_DIAG_BLOCK + d2);
  return diagonal;
}
#endif

vec4 SMAABlendingWeightCalculationPS(vec2 texcoord, vec2 pixcoord, vec4 offset[3], sampler2D edgesTex,
                                     sampler2D areaTex, sampler2D searchTex, ivec4 subsampleIndices) {
  ivec2 p = SMAAPixel(texcoord, edgesTex);
  vec4 e = texelFetch(edgesTex, p, 0);
  vec4 weights = vec4(0.0);
  // The lower edge (bit 1) and the left edge (bit 2) go through one loop body, so the searches
  // are there once and a pixel without edges runs them once, masked.
  int jobs = (e.g > 0.5 ? 1 : 0) + (e.r > 0.5 ? 2 : 0);
  for (int n = 0; n < 2 + SMAANoUnroll(edgesTex) && jobs != 0; n++) {
    bool horizontal = (jobs & 1) != 0;
    jobs -= horizontal ? 1 : 2;
    // One area table read for either kind of run.
    ivec2 areaAt = ivec2(0);
    bool diagonal = false, swap = false;
    float corner = 1.0;
#if !defined(SMAA_DISABLE_DIAG_DETECTION)
    // Going up, the diagonal cuts the upper left corner of the pixel right of its unit: the
    // share the pixel below the unit takes. Going down, its lower left: the unit's own share.
    bool up;
    diagonal = SMAADiagRun(edgesTex, p, horizontal, areaAt, up);
    swap = diagonal && !horizontal && up;
#endif
    if (!diagonal) corner = SMAARunArea(edgesTex, searchTex, p, horizontal, areaAt);
    vec2 area = texelFetch(areaTex, areaAt, 0).rg * corner;
    if (swap) area = area.yx;
    if (horizontal) weights.rg = area;
    else weights.ba = area;
  }
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
  // One direction only, the dominant one, so a corner pixel is not blended twice. The two
  // neighbours are read once, wherever they lie: both branches would be run anyway.
  bool acrossX = max(fromLeft, fromRight) > max(fromBelow, fromAbove);
  ivec2 toB = acrossX ? ivec2(1, 0) : ivec2(0, 1);
  vec4 a = SMAAFetch(colorTex, p - toB);
  vec4 b = SMAAFetch(colorTex, p + toB);
  float wa = acrossX ? fromLeft : fromBelow;
  float wb = acrossX ? fromRight : fromAbove;
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
