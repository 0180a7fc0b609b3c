#include "gpu/ZNT1FXAA.h"

// The includer defines FXAA_PC, FXAA_GLSL_130, FXAA_QUALITY__PRESET and FXAA_GREEN_AS_LUMA 0:
// the input carries its luma in alpha. The console arguments are accepted and unused.
const char* const ZNT1FXAAData = R"GLSL(
#ifndef FXAA_QUALITY__PRESET
#define FXAA_QUALITY__PRESET 12
#endif
#define FxaaBool bool
#define FxaaFloat float
#define FxaaFloat2 vec2
#define FxaaFloat3 vec3
#define FxaaFloat4 vec4
#define FxaaInt2 ivec2
#define FxaaTex sampler2D
#define FxaaSat(x) clamp(x, 0.0, 1.0)

// Search steps: presets 10-15 and 20-29 take more steps as the number grows, 39 walks one
// pixel at a time. Early steps are short to find near ends exactly, the last ones long.
#if (FXAA_QUALITY__PRESET == 39)
#define FXAA_STEPS 12
#elif (FXAA_QUALITY__PRESET >= 20)
#define FXAA_STEPS (FXAA_QUALITY__PRESET - 17)
#else
#define FXAA_STEPS (FXAA_QUALITY__PRESET - 7)
#endif

// In whole texels, so every read of the search is the exact mean of two texels.
int FxaaStepLength(int i) {
#if (FXAA_QUALITY__PRESET == 39)
  return 1;
#else
  if (i <= 1) return 1;
  if (i == FXAA_STEPS - 1) return 8;
  if (i == FXAA_STEPS - 2) return 4;
  return 2;
#endif
}

#if (FXAA_GREEN_AS_LUMA == 0)
FxaaFloat FxaaLuma(FxaaFloat4 rgba) { return rgba.w; }
#else
FxaaFloat FxaaLuma(FxaaFloat4 rgba) { return rgba.y; }
#endif

// Mean luma of two texels, each clamped into the image.
FxaaFloat FxaaPairLuma(FxaaTex tex, FxaaInt2 a, FxaaInt2 b, FxaaInt2 size) {
  return (FxaaLuma(texelFetch(tex, clamp(a, FxaaInt2(0), size - 1), 0)) +
          FxaaLuma(texelFetch(tex, clamp(b, FxaaInt2(0), size - 1), 0))) * 0.5;
}

FxaaFloat4 FxaaPixelShader(FxaaFloat2 pos, FxaaFloat4 fxaaConsolePosPos, FxaaTex tex,
                           FxaaTex fxaaConsole360TexExpBiasNegOne, FxaaTex fxaaConsole360TexExpBiasNegTwo,
                           FxaaFloat2 fxaaQualityRcpFrame, FxaaFloat4 fxaaConsoleRcpFrameOpt,
                           FxaaFloat4 fxaaConsoleRcpFrameOpt2, FxaaFloat4 fxaaConsole360RcpFrameOpt2,
                           FxaaFloat fxaaQualitySubpix, FxaaFloat fxaaQualityEdgeThreshold,
                           FxaaFloat fxaaQualityEdgeThresholdMin, FxaaFloat fxaaConsoleEdgeSharpness,
                           FxaaFloat fxaaConsoleEdgeThreshold, FxaaFloat fxaaConsoleEdgeThresholdMin,
                           FxaaFloat4 fxaaConsole360ConstDir) {
  // The 3 x 3 block by exact texel reads (cheaper than filtered ones), clamped at the border
  // as the filtered reads were.
  FxaaInt2 size = textureSize(tex, 0);
  FxaaInt2 ip = FxaaInt2(floor(pos * FxaaFloat2(size)));
  FxaaInt2 lo = max(ip - 1, FxaaInt2(0)), hi = min(ip + 1, size - 1);
  FxaaFloat4 rgbyM = texelFetch(tex, ip, 0);
  FxaaFloat4 rgbyN = texelFetch(tex, FxaaInt2(ip.x, hi.y), 0);
  FxaaFloat4 rgbyS = texelFetch(tex, FxaaInt2(ip.x, lo.y), 0);
  FxaaFloat4 rgbyE = texelFetch(tex, FxaaInt2(hi.x, ip.y), 0);
  FxaaFloat4 rgbyW = texelFetch(tex, FxaaInt2(lo.x, ip.y), 0);
  FxaaFloat lumaM = FxaaLuma(rgbyM);
  FxaaFloat lumaN = FxaaLuma(rgbyN);
  FxaaFloat lumaS = FxaaLuma(rgbyS);
  FxaaFloat lumaE = FxaaLuma(rgbyE);
  FxaaFloat lumaW = FxaaLuma(rgbyW);
  FxaaFloat lumaMax = max(max(max(lumaN, lumaS), max(lumaE, lumaW)), lumaM);
  FxaaFloat lumaMin = min(min(min(lumaN, lumaS), min(lumaE, lumaW)), lumaM);
  FxaaFloat range = lumaMax - lumaMin;
  // Too little local contrast: the pixel stays as it is, bit for bit. No early return:
  // a software rasteriser runs a block of pixels in step, and a loop below keeps going while
  // any pixel of the block wants it, so the others must say they are done.
  FxaaBool lowContrast = range < max(fxaaQualityEdgeThresholdMin, lumaMax * fxaaQualityEdgeThreshold);

  FxaaFloat lumaNE = FxaaLuma(texelFetch(tex, hi, 0));
  FxaaFloat lumaNW = FxaaLuma(texelFetch(tex, FxaaInt2(lo.x, hi.y), 0));
  FxaaFloat lumaSE = FxaaLuma(texelFetch(tex, FxaaInt2(hi.x, lo.y), 0));
  FxaaFloat lumaSW = FxaaLuma(texelFetch(tex, lo, 0));

  // Second differences across each axis over the 3 x 3 block: a horizontal edge varies along y.
  FxaaFloat acrossY = abs(lumaN + lumaS - 2.0 * lumaM) * 2.0 + abs(lumaNE + lumaSE - 2.0 * lumaE) +
                      abs(lumaNW + lumaSW - 2.0 * lumaW);
  FxaaFloat acrossX = abs(lumaE + lumaW - 2.0 * lumaM) * 2.0 + abs(lumaNE + lumaNW - 2.0 * lumaN) +
                      abs(lumaSE + lumaSW - 2.0 * lumaS);
  FxaaBool horzSpan = acrossY >= acrossX;

  // The neighbour across the edge: the side with the larger step.
  FxaaFloat lumaPos = horzSpan ? lumaN : lumaE;
  FxaaFloat lumaNeg = horzSpan ? lumaS : lumaW;
  FxaaFloat gradPos = abs(lumaPos - lumaM);
  FxaaFloat gradNeg = abs(lumaNeg - lumaM);
  FxaaBool pairPos = gradPos >= gradNeg;
  FxaaFloat lumaPair = pairPos ? lumaPos : lumaNeg;
  FxaaFloat4 rgbyPair = horzSpan ? (pairPos ? rgbyN : rgbyS) : (pairPos ? rgbyE : rgbyW);

  // Walk both ways along the boundary between the pixel and its pair, reading the mean of both
  // rows until it leaves their mean by a quarter of the step. The first step lands on the block.
  FxaaFloat lumaLocal = (lumaM + lumaPair) * 0.5;
  FxaaFloat gradScaled = max(gradPos, gradNeg) * 0.25;
  FxaaFloat lumaBeforeN = horzSpan ? lumaW : lumaS, lumaBeforeP = horzSpan ? lumaE : lumaN;
  FxaaFloat lumaPairN = horzSpan ? (pairPos ? lumaNW : lumaSW) : (pairPos ? lumaSE : lumaSW);
  FxaaFloat lumaPairP = horzSpan ? (pairPos ? lumaNE : lumaSE) : (pairPos ? lumaNE : lumaNW);
  FxaaInt2 alongI = horzSpan ? FxaaInt2(1, 0) : FxaaInt2(0, 1);
  FxaaInt2 pairI = ip + (horzSpan ? FxaaInt2(0, pairPos ? 1 : -1) : FxaaInt2(pairPos ? 1 : -1, 0));
  int dstN = FxaaStepLength(0), dstP = FxaaStepLength(0);
  FxaaFloat endN = (lumaBeforeN + lumaPairN) * 0.5 - lumaLocal;
  FxaaFloat endP = (lumaBeforeP + lumaPairP) * 0.5 - lumaLocal;
  FxaaBool doneN = lowContrast || abs(endN) >= gradScaled;
  FxaaBool doneP = lowContrast || abs(endP) >= gradScaled;
  // One side a turn, so a block off any edge pays for one pair read; a bound the compiler
  // cannot see through keeps the loop a loop (unrolled, every block would pay for every step).
  int stepN = 1, stepP = 1;
  int turns = 2 * (FXAA_STEPS - 1) + min(size.x, 0);
  for (int i = 0; i < turns && !(doneN && doneP); i++) {
    bool sideN = !doneN && (doneP || stepN <= stepP);
    int dst = sideN ? dstN + FxaaStepLength(stepN) : dstP + FxaaStepLength(stepP);
    FxaaInt2 offset = alongI * (sideN ? -dst : dst);
    FxaaFloat end = FxaaPairLuma(tex, ip + offset, pairI + offset, size) - lumaLocal;
    FxaaBool done = abs(end) >= gradScaled || (sideN ? stepN : stepP) == FXAA_STEPS - 1;
    if (sideN) {
      dstN = dst;
      endN = end;
      doneN = done;
      stepN++;
    } else {
      dstP = dst;
      endP = end;
      doneP = done;
      stepP++;
    }
  }

  // Offset across the edge from the nearer end: half a pixel there, none at the span's middle.
  FxaaBool nearerN = dstN < dstP;
  FxaaFloat endNear = nearerN ? endN : endP;
  FxaaFloat pixelOffset = 0.5 - FxaaFloat(min(dstN, dstP)) / FxaaFloat(dstN + dstP);
  // Only when the edge bends towards this pixel's side at the nearer end.
  FxaaBool lumaMSmaller = lumaM < lumaLocal;
  if ((endNear < 0.0) == lumaMSmaller) pixelOffset = 0.0;

  // Sub-pixel aliasing: how far the pixel stands out of its 3 x 3 neighbourhood.
  FxaaFloat lumaAvg = ((lumaN + lumaS + lumaE + lumaW) * 2.0 + (lumaNE + lumaNW + lumaSE + lumaSW)) / 12.0;
  FxaaFloat subpix = FxaaSat(abs(lumaAvg - lumaM) / range);
  subpix = (3.0 - 2.0 * subpix) * subpix * subpix;
  subpix = subpix * subpix * fxaaQualitySubpix;

  // The bilinear read offset towards the pair, taken from the two texels already at hand.
  FxaaFloat offset = max(pixelOffset, subpix);
  return lowContrast ? rgbyM : mix(rgbyM, rgbyPair, offset);
}
)GLSL";
