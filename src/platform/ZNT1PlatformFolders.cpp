#include "platform/ZNT1PlatformFolders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

std::string PlatformUserDataFolder() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') return xdg;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.local/share";
  return std::string();
}

std::string PlatformExecutableFolder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::string("./");
  std::string folder = exe.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

bool PlatformDirectoryExists(const std::string& Path) {
  struct stat st {};
  return !Path.empty() && ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PlatformCreateDirectory(const std::string& Path) {
  if (PlatformDirectoryExists(Path)) return true;
  return ::mkdir(Path.c_str(), 0755) == 0 || PlatformDirectoryExists(Path);
}
