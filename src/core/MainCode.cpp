#include "core/MainCode.h"

#include <cstdio>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "core/ZefuAppDataPath.h"
#include "game/Game.h"
#include "platform/ZNT1PlatformFolders.h"

TZNT1Engine* Engine = nullptr;

namespace {

// Where another installation keeps its content below the per-user data folder.
const char* const AppDataContentPostfix = "openarena/baseoa";

std::string WithDelimiter(std::string Path) {
  if (Path.empty() || Path.back() != '/') Path += '/';
  return Path;
}

}  // namespace

std::vector<std::string> ChooseContentDirectories(const std::vector<std::string>& Args,
                                                  const std::string& ExecutableFolder,
                                                  const std::string& AppDataFolder) {
  if (!Args.empty()) {
    const std::string& a = Args[0];
    // An absolute path (or one climbing out with "..") names the folder itself.
    if (a.find(":\\") != std::string::npos || a.find("..") != std::string::npos || (!a.empty() && a[0] == '/'))
      return {WithDelimiter(a)};
    return {WithDelimiter(WithDelimiter(ExecutableFolder) + a)};
  }
  if (!AppDataFolder.empty()) return {WithDelimiter(AppDataFolder)};
  const std::string exe = WithDelimiter(ExecutableFolder);
  return {exe + "base/", exe + "baseoa/", exe + "baseq3/", exe + "baseq3a/"};
}

void MountContentDirectories(TZNT1Archives& Archives, const std::vector<std::string>& Directories) {
  for (const std::string& dir : Directories) Archives.LoadDirectory(dir);
  Archives.Finish();
  if (Archives.Count() > 0 || Directories.empty()) return;
  // The program runs on, but with no maps: a mistyped folder must not look like success.
  std::string names;
  for (size_t i = 0; i < Directories.size(); ++i)
    names += (i == 0 ? "\"" : i + 1 < Directories.size() ? ", \"" : " or \"") + Directories[i] + "\"";
  Archives.Warning("no archive was mounted from " + names);
}

int Main(const std::vector<std::string>& Args) {
  auto engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<TGame>, false);
  Engine = engine.get();

  std::string appData;
  if (Args.empty()) {
    appData = GetAppDataPath(AppDataContentPostfix, true);
    if (!PlatformDirectoryExists(appData)) appData.clear();
  }
  MountContentDirectories(*Engine->Archives, ChooseContentDirectories(Args, PlatformExecutableFolder(), appData));

  const bool ok = Engine->Run();
  const std::string error = Engine->InitError;
  engine.reset();
  if (!ok) {
    std::fprintf(stderr, "ZANTOR1: could not start: %s\n", error.empty() ? "initialisation failed" : error.c_str());
    return 1;
  }
  return 0;
}
