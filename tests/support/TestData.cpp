#include "TestData.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "assets/ZNT1Archive.h"

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

const std::vector<std::string>& StockArchives() {
  static const std::vector<std::string> Names = {"pak0.pk3",          "pak1-maps.pk3",     "pak2-players-mature.pk3",
                                                  "pak2-players.pk3",  "pak4-textures.pk3", "pak5-TA.pk3",
                                                  "pak6-misc.pk3",     "pak6-patch085.pk3", "pak6-patch088.pk3"};
  return Names;
}

bool IsStockArchive(const std::string& PathOrName) {
  const std::string Name = std::filesystem::path(PathOrName).filename().string();
  const auto& Stock = StockArchives();
  return std::find(Stock.begin(), Stock.end(), Name) != Stock.end();
}

std::vector<std::string> ContentArchives() {
  std::vector<std::string> Paths;
  const std::string Dir = ContentDir();
  if (Dir.empty()) return Paths;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(Dir, ec))
    if (e.path().extension() == ".pk3") Paths.push_back(e.path().string());
  std::sort(Paths.begin(), Paths.end());
  return Paths;
}

bool MountStockArchives(TZNT1Archives& Archives) {
  const std::string Dir = ContentDir();
  bool All = !Dir.empty();
  for (const std::string& Name : StockArchives()) {
    std::unique_ptr<TZNT1FileInputStream> Stream = TZNT1FileInputStream::Open(Dir + "/" + Name);
    if (Stream && Archives.Load(Stream.get(), Name, true))
      Stream.release();
    else
      All = false;
  }
  Archives.Finish();
  return All;
}

std::vector<std::string> StockFiles(const std::string& Pattern) {
  TZNT1Archives Archives(nullptr);
  if (!MountStockArchives(Archives)) return {};
  TStringList List;
  Archives.FindFiles(Pattern, &List);
  return List.Strings;
}

std::vector<std::string> MapNamesStockFirst(const TZNT1Archives& Archives, std::set<std::string>& Stock) {
  const auto Names = [](const std::vector<std::string>& Paths) {
    std::set<std::string> Result;
    for (const std::string& f : Paths)
      if (f.find('/', 5) == std::string::npos) Result.insert(f.substr(5, f.size() - 9));
    return Result;
  };
  Stock = Names(StockFiles("maps/*.bsp"));
  std::vector<std::string> Result(Stock.begin(), Stock.end());
  TStringList All;
  Archives.FindFiles("maps/*.bsp", &All);
  for (const std::string& Name : Names(All.Strings))
    if (!Stock.count(Name)) Result.push_back(Name);
  return Result;
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
