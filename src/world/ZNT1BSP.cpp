#include "world/ZNT1BSP.h"

#include "core/ZNT1Stream.h"

bool TZNT1BSP::Load(TMemoryStream&, const std::string&, const std::string&) { return false; }
