#pragma once
// A growable list of 8-bit strings: the console's line list, file lists and the like.
#include <cstdint>
#include <string>
#include <vector>

class TStringList {
 public:
  // Returns the index of the new string.
  int32_t Add(const std::string& S) {
    Strings.push_back(S);
    return static_cast<int32_t>(Strings.size()) - 1;
  }
  int32_t Count() const { return static_cast<int32_t>(Strings.size()); }
  const std::string& operator[](int32_t Index) const { return Strings[static_cast<size_t>(Index)]; }
  std::string& operator[](int32_t Index) { return Strings[static_cast<size_t>(Index)]; }
  void Clear() { Strings.clear(); }

  std::vector<std::string> Strings;
};
