#include "gpu/ZNT1SMAASearch.h"

// MISSING DATA: the precomputed search table published with SMAA belongs here. It was not
// available when this unit was written and must not be made up, so the table is all zero
// bytes of the right length until the published bytes are filled in.
const uint8_t SMAASearchData[SMAASearchDataSize] = {};
