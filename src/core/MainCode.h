#pragma once
// The main routine: engine, content directories, run, free.
#include <memory>
#include <string>
#include <vector>

class TZNT1Archives;
class TZNT1Engine;

// The program's only global object; set before mounting, never cleared.
extern TZNT1Engine* Engine;

// The content directories to mount, in order. Args are the command-line arguments after the
// program name; AppDataFolder is the per-user content folder (empty when it does not exist).
std::vector<std::string> ChooseContentDirectories(const std::vector<std::string>& Args,
                                                  const std::string& ExecutableFolder,
                                                  const std::string& AppDataFolder);

// Mounts the directories in order and finishes the archive list; one warning naming them all
// when none gave an archive.
void MountContentDirectories(TZNT1Archives& Archives, const std::vector<std::string>& Directories);

// Returns the process exit code: 0 after a normal quit, 1 when the engine could not start.
int Main(const std::vector<std::string>& Args);
