#pragma once
// Accepts verbose and error messages and discards them: the console is the message channel.
#include <string>

class TZNT1Engine;

class TZNT1Log {
 public:
  explicit TZNT1Log(TZNT1Engine* AEngine) : Engine(AEngine) {}
  void Verbose(const std::string& Msg);
  void Error(const std::string& Msg);

  TZNT1Engine* Engine;
};
