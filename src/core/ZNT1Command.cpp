#include "core/ZNT1Command.h"

#include "core/ZNT1Engine.h"

TZNT1Command::TZNT1Command(TZNT1Engine* AEngine) : Engine(AEngine) { Reset(); }

void TZNT1Command::Reset() {
  CommandBuffer.clear();
  CommandToInsert.clear();
}

void TZNT1Command::ExecuteString(const std::string& Line) {
  if (Line == "quit") Engine->Quit = true;
}

void TZNT1Command::ExecuteCommandBuffer() {
  std::string buffer;
  buffer.swap(CommandBuffer);
  size_t start = 0;
  while (start < buffer.size()) {
    size_t end = buffer.find('\n', start);
    if (end == std::string::npos) end = buffer.size();
    ExecuteString(buffer.substr(start, end - start));
    start = end + 1;
  }
}
