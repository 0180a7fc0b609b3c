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
#define FxaaTexTop(t, p) textureLod(t, p, 0.0)
#define FxaaTexOff(t, p, o, r) textureLodOffset(t, p, 0.0, o)

// Search steps: presets 10-15 and 20-29 take more steps as the number grows, 39 walks one
// pixel at a time. Early steps are short to find near ends exactly, the last one long.
#if (FXAA_QUALITY__PRESET == 39)
#define FXAA_STEPS 12
#elif (FXAA_QUALITY__PRESET >= 20)
#define FXAA_STEPS (FXAA_QUALITY__PRESET - 17)
#else
#define FXAA_STEPS (FXAA_QUALITY__PRESET - 7)
#endif

FxaaFloat FxaaStepLength(int i) {
#if (FXAA_QUALITY__PRESET == 39)
  return 1.0;
#else
  if (i == 0) return 1.0;
  if (i == 1) return 1.5;
  if (i == FXAA_STEPS - 1) return 8.0;
  if (i == FXAA_STEPS - 2) return 4.0;
  return 2.0;
#endif
}

#if (FXAA_GREEN_AS_LUMA == 0)
FxaaFloat FxaaLuma(FxaaFloat4 rgba) { return rgba.w; }
#else
FxaaFloat FxaaLuma(FxaaFloat4 rgba) { return rgba.y; }
#endif

FxaaFloat4 FxaaPixelShader(FxaaFloat2 pos, FxaaFloat4 fxaaConsolePosPos, FxaaTex tex,
                           FxaaTex fxaaConsole360TexExpBiasNegOne, FxaaTex fxaaConsole360TexExpBiasNegTwo,
                           FxaaFloat2 fxaaQualityRcpFrame, FxaaFloat4 fxaaConsoleRcpFrameOpt,
                           FxaaFloat4 fxaaConsoleRcpFrameOpt2, FxaaFloat4 fxaaConsole360RcpFrameOpt2,
                           FxaaFloat fxaaQualitySubpix, FxaaFloat fxaaQualityEdgeThreshold,
                           FxaaFloat fxaaQualityEdgeThresholdMin, FxaaFloat fxaaConsoleEdgeSharpness,
                           FxaaFloat fxaaConsoleEdgeThreshold, FxaaFloat fxaaConsoleEdgeThresholdMin,
                           FxaaFloat4 fxaaConsole360ConstDir) {
  FxaaFloat4 rgbyM = FxaaTexTop(tex, pos);
  FxaaFloat lumaM = FxaaLuma(rgbyM);
  FxaaFloat lumaN = FxaaLuma(FxaaTexOff(tex, pos, FxaaInt2(0, 1), fxaaQualityRcpFrame));
  FxaaFloat lumaS = FxaaLuma(FxaaTexOff(tex, pos, FxaaInt2(0, -1), fxaaQualityRcpFrame));
  FxaaFloat lumaE = FxaaLuma(FxaaTexOff(tex, pos, FxaaInt2(1, 0), fxaaQualityRcpFrame));
  FxaaFloat lumaW = FxaaLuma(FxaaTexOff(tex, pos, FxaaInt2(-1, 0), fxaaQualityRcpFrame));
  FxaaFloat lumaMax = max(max(max(lumaN, lumaS), max(lumaE, lumaW)), lumaM);
  FxaaFloat lumaMin = min(min(min(lumaN, lumaS), min(lumaE, lumaW)), lumaM);
  FxaaFloat range = lumaMax - lumaMin;
  // Too little local contrast: the pixel stays as it is, bit for bit.
  if (range < max(fxaaQualityEdgeThresholdMin, lumaMax * fxaaQualityEdgeThreshold)) return rgbyM;

  FxaaFloat lumaNE = FxaaLuma(FxaaTexOff(tex, pos, FxaaInt2(1, 1), fxaaQualityRcpFrame));
  FxaaFloat lumaNW = FxaaLuma(FxaaTexOff(tex, pos, FxaaInt2(-1, 1), fxaaQualityRcpFrame));
  FxaaFloat lumaSE = FxaaLuma(FxaaTexOff(tex, pos, FxaaInt2(1, -1), fxaaQualityRcpFrame));
  FxaaFloat lumaSW = FxaaLuma(FxaaTexOff(tex, pos, FxaaInt2(-1, -1), fxaaQualityRcpFrame));

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
  FxaaFloat across = horzSpan ? fxaaQualityRcpFrame.y : fxaaQualityRcpFrame.x;
  if (!pairPos) across = -across;
  FxaaFloat2 along = horzSpan ? FxaaFloat2(fxaaQualityRcpFrame.x, 0.0) : FxaaFloat2(0.0, fxaaQualityRcpFrame.y);
  FxaaFloat2 toPair = horzSpan ? FxaaFloat2(0.0, across) : FxaaFloat2(across, 0.0);

  // Walk both ways along the boundary between the pixel and its pair; bilinear reads there see
  // the mean of both rows until the edge ends.
  FxaaFloat2 posB = pos + toPair * 0.5;
  FxaaFloat lumaLocal = (lumaM + lumaPair) * 0.5;
  FxaaFloat gradScaled = max(gradPos, gradNeg) * 0.25;
  FxaaFloat2 posN = posB - along * FxaaStepLength(0);
  FxaaFloat2 posP = posB + along * FxaaStepLength(0);
  FxaaFloat endN = FxaaLuma(FxaaTexTop(tex, posN)) - lumaLocal;
  FxaaFloat endP = FxaaLuma(FxaaTexTop(tex, posP)) - lumaLocal;
  FxaaBool doneN = abs(endN) >= gradScaled;
  FxaaBool doneP = abs(endP) >= gradScaled;
  for (int i = 1; i < FXAA_STEPS && !(doneN && doneP); i++) {
    if (!doneN) {
      posN -= along * FxaaStepLength(i);
      endN = FxaaLuma(FxaaTexTop(tex, posN)) - lumaLocal;
      doneN = abs(endN) >= gradScaled;
    }
    if (!doneP) {
      posP += along * FxaaStepLength(i);
      endP = FxaaLuma(FxaaTexTop(tex, posP)) - lumaLocal;
      doneP = abs(endP) >= gradScaled;
    }
  }

  // Offset across the edge from the nearer end: half a pixel there, none at the span's middle.
  FxaaFloat dstN = horzSpan ? pos.x - posN.x : pos.y - posN.y;
  FxaaFloat dstP = horzSpan ? posP.x - pos.x : posP.y - pos.y;
  FxaaBool nearerN = dstN < dstP;
  FxaaFloat endNear = nearerN ? endN : endP;
  FxaaFloat pixelOffset = 0.5 - min(dstN, dstP) / (dstN + dstP);
  // Only when the edge bends towards this pixel's side at the nearer end.
  FxaaBool lumaMSmaller = lumaM < lumaLocal;
  if ((endNear < 0.0) == lumaMSmaller) pixelOffset = 0.0;

  // Sub-pixel aliasing: how far the pixel stands out of its 3 x 3 neighbourhood.
  FxaaFloat lumaAvg = ((lumaN + lumaS + lumaE + lumaW) * 2.0 + (lumaNE + lumaNW + lumaSE + lumaSW)) / 12.0;
  FxaaFloat subpix = FxaaSat(abs(lumaAvg - lumaM) / range);
  subpix = (3.0 - 2.0 * subpix) * subpix * subpix;
  subpix = subpix * subpix * fxaaQualitySubpix;

  FxaaFloat offset = max(pixelOffset, subpix);
  return FxaaTexTop(tex, pos + toPair * offset);
}
)GLSL";
