#pragma once
// SMAA 1x as a GLSL 1.30 text: colour edge detection, blending weights from edge-run searches
// and the area table, and neighbourhood blending, with their vertex functions.
extern const char* const ZNT1SMAAData;
