#pragma once
// The per-user application-data folder, for the first choice of content directory.
#include <string>

// Value of an environment variable; empty when not set.
std::string GetEnvironmentVariable(const std::string& s);
// The application-data folder (its "LocalLow" sibling where the platform has one) with Postfix
// appended, ending in "/"; empty only when every source fails.
std::string GetAppDataPath(const std::string& Postfix, bool LocalLow);
