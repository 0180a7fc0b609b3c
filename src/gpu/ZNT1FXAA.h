#pragma once
// FXAA 3.11 as a GLSL 1.30 text: the quality path of FxaaPixelShader, reading luma from alpha.
extern const char* const ZNT1FXAAData;
