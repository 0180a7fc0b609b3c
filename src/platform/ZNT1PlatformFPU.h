#pragma once
// Floating-point mode: round to nearest, every exception masked.
void PlatformInitFPU();
