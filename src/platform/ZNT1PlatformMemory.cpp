#include "platform/ZNT1PlatformMemory.h"

#include <cstdlib>  // defines __GLIBC__ on glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void PlatformReleaseFreeMemory() {
#if defined(__GLIBC__)
  // Also returns whole free pages inside the heap, not only its top.
  malloc_trim(0);
#endif
}
