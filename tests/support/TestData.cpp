#include "TestData.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace testdata {

static std::string ExistingDir(const char* path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec) ? std::string(path) : std::string();
}

std::string SharedDir() {
  if (const char* env = std::getenv("ZNT1_SHARED_DIR"); env && *env) return ExistingDir(env);
  return ExistingDir(ZNT1_SHARED_DIR);
}

std::string ContentDir() {
  if (const char* env = std::getenv("ZNT1_CONTENT_DIR"); env && *env) return ExistingDir(env);
  return ExistingDir(ZNT1_CONTENT_DIR);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool InCI() {
  const char* ci = std::getenv("CI");
  return ci && *ci && std::string(ci) != "0" && std::string(ci) != "false";
}

}  // namespace testdata
