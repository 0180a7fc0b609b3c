#pragma once
// Per-user folder and environment queries.
#include <string>

// The user's application-data folder ($XDG_DATA_HOME, else $HOME/.local/share); empty when unknown.
std::string PlatformUserDataFolder();
// Folder of the running executable, with a trailing "/".
std::string PlatformExecutableFolder();
bool PlatformDirectoryExists(const std::string& Path);
// Creates one folder level; true when it exists afterwards.
bool PlatformCreateDirectory(const std::string& Path);
