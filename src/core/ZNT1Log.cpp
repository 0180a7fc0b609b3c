#include "core/ZNT1Log.h"

void TZNT1Log::Verbose(const std::string&) {}
void TZNT1Log::Error(const std::string&) {}
