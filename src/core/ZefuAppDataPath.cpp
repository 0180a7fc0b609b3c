#include "core/ZefuAppDataPath.h"

#include <cstdlib>

#include "platform/ZNT1PlatformFolders.h"

namespace {

std::string WithDelimiter(std::string Path) {
  if (Path.empty() || Path.back() != '/') Path += '/';
  return Path;
}

}  // namespace

std::string GetEnvironmentVariable(const std::string& s) {
  const char* v = std::getenv(s.c_str());
  return v ? std::string(v) : std::string();
}

std::string GetAppDataPath(const std::string& Postfix, bool LocalLow) {
  // The platform's per-user folder; there is no "LocalLow" sibling here, so both lookups share it.
  (void)LocalLow;
  std::string Result = PlatformUserDataFolder();
  if (Result.empty()) Result = GetEnvironmentVariable("appdata");
  if (Result.empty()) {
    const std::string windir = GetEnvironmentVariable("windir");
    if (windir.empty()) {
      Result = PlatformExecutableFolder();
    } else if (PlatformDirectoryExists(WithDelimiter(windir) + "Anwendungsdaten")) {
      Result = WithDelimiter(windir) + "Anwendungsdaten";
    } else {
      Result = WithDelimiter(windir) + "Application Data";
      PlatformCreateDirectory(Result);
    }
  }
  if (!Result.empty()) {
    if (!Postfix.empty()) Result = WithDelimiter(Result) + Postfix;
    Result = WithDelimiter(Result);
  }
  return Result;
}
