#pragma once
// Executes console text: commands by name and "/name value" variable settings, drained
// from a buffer of lines once per frame.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1Globals.h"
#include "core/ZNT1StringHashMap.h"

class TZNT1Engine;
class TStringList;

struct TZNT1CommandHandler {
  std::string Name;
  TZNT1CommandFunction Function;
};

class TZNT1Command {
 public:
  explicit TZNT1Command(TZNT1Engine* AEngine);
  ~TZNT1Command();
  TZNT1Command(const TZNT1Command&) = delete;
  TZNT1Command& operator=(const TZNT1Command&) = delete;

  void Reset();
  // A second registration of a name, or an empty function, is ignored.
  void AddCommand(const std::string& CommandName, TZNT1CommandFunction CommandFunction);
  void ExecuteString(const std::string& Line);
  // Whether draining Text as the buffer (lines, each ended by a line feed) would run the quit
  // command: read with the drain's own rules, following vstr into the variables as they stand.
  bool RunsQuit(const std::string& Text) const;
  void ExecuteCommandBuffer();
  // Appends as it is: the caller ends its lines.
  void Queue(const std::string& ToAdd) { CommandBuffer += ToAdd; }

  // A variable whose value runs vstr on itself would refill the buffer for ever; one drain
  // takes at most this many vstr insertions.
  static constexpr int32_t MaxInsertionsPerDrain = 1024;

  TZNT1Engine* Engine;
  // Sorted by name without regard to case; the map finds names exactly.
  std::vector<std::unique_ptr<TZNT1CommandHandler>> CommandList;
  TZNT1StringHashMap CommandHashMap;
  std::string CommandBuffer;
  std::string CommandToInsert;

 private:
  void WriteLine(const std::string& Text) const;
  // The drain's grammar: from Position, appends the next line's text to Line, dropping double
  // quotes (which toggle Quoting) and, outside quotes, comments. True at a line end (a line
  // feed, a carriage return, or a "//" comment with the rest of its line), Position past it;
  // false when the buffer ran out first, Position at its end.
  static bool ScanLine(const std::string& Buffer, size_t& Position, bool& Quoting, std::string& Line);
  // The line trimmed and cut into its first word and the trimmed rest.
  static void SplitLine(const std::string& Line, std::string& Word, std::string& Args);
  // Writes names the way list and maps show them, wrapped at 75 visible characters.
  void WriteNameList(const std::vector<std::string>& Names) const;

  // Inserts a pending CommandToInsert at Position of the buffer, within the drain's bound.
  void InsertPending(size_t Position, int32_t& Insertions);

  void DoPrint(const std::string& Args);
  void DoEcho(const std::string& Args);
  void DoList(const std::string& Args);
  void DoVstr(const std::string& Args);
  void DoMap(const std::string& Args);
  void DoMaps(const std::string& Args);
  void DoQuit(const std::string& Args);
};
