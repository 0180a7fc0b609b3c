#include "gpu/ZNT1SMAAArea.h"

// MISSING DATA: the precomputed area table published with SMAA belongs here. It was not
// available when this unit was written and must not be made up, so the table is all zero
// bytes of the right length until the published bytes are filled in. With zeros SMAA finds
// no blending weights, so its antialiasing has no effect.
const uint8_t SMAAAreaData[SMAAAreaDataSize] = {};
