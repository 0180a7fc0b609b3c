#pragma once
// Executes console text: commands by name and "/name value" variable settings.
#include <string>

class TZNT1Engine;

class TZNT1Command {
 public:
  explicit TZNT1Command(TZNT1Engine* AEngine);

  void Reset();
  void ExecuteString(const std::string& Line);
  void ExecuteCommandBuffer();
  void Queue(const std::string& ToAdd) { CommandBuffer += ToAdd; }

  TZNT1Engine* Engine;
  std::string CommandBuffer;
  std::string CommandToInsert;
};
