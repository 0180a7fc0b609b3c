#include "platform/ZNT1PlatformFPU.h"

#include <cfenv>

// SSE arithmetic has no precision-control setting; masking and rounding are what carry over.
void PlatformInitFPU() {
  std::fesetround(FE_TONEAREST);
#if defined(__GLIBC__)
  // glibc: exceptions are masked unless enabled; make sure none is trapped.
  fedisableexcept(FE_ALL_EXCEPT);
#endif
  std::feclearexcept(FE_ALL_EXCEPT);
}
