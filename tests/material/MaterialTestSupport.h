#pragma once
// Material tests: a dedicated engine (no OpenGL) over scripts and zero-byte textures in a
// built zip, or over the installed content, and an independent count of material blocks.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Texture.h"
#include "assets/ZNT1Unzip.h"
#include "assets/ZipTestSupport.h"
#include "core/ZNT1Engine.h"
#include "material/ZNT1Shader.h"

namespace materialtest {

// Files of a test archive: name and text.
using TFiles = std::vector<std::pair<std::string, std::string>>;

class TEngine {
 public:
  // Files: name and text; a texture only needs to exist, so "" will do for it.
  explicit TEngine(const std::vector<std::pair<std::string, std::string>>& Files = {},
                   const std::string& ContentDir = std::string()) {
    // The folder's own files: without the slash the folder's parent would be mounted.
    if (!ContentDir.empty()) Engine.Archives->LoadDirectory(ContentDir + "/");
    std::vector<ziptest::Entry> Entries;
    for (const auto& [Name, Text] : Files) {
      ziptest::Entry e;
      e.Name = Name;
      e.Data = ziptest::ToBytes(Text);
      Entries.push_back(e);
    }
    if (!Entries.empty()) {
      // Named to sort after the content archives, so these files override.
      auto* Stream = new TZNT1MemoryInputStream(ziptest::BuildZip(Entries).Bytes_);
      if (!Engine.Archives->Load(Stream, "zzzz_test.pk3", true)) delete Stream;
    }
    Engine.Archives->Finish();
    Engine.Textures = std::make_unique<TZNT1Textures>(&Engine);
    Engine.Textures->CreateDefaultTextures();
    Engine.Shaders = std::make_unique<TZNT1Shaders>(&Engine);
  }
  ~TEngine() {
    Engine.Shaders.reset();
    Engine.Textures.reset();
  }

  TZNT1Shaders& Shaders() { return *Engine.Shaders; }
  TZNT1Texture* White() const { return Engine.Textures->WhiteTexture; }
  TZNT1Texture* Default() const { return Engine.Textures->DefaultTexture; }
  // Parses Text and answers the material registered last.
  TZNT1Shader* Parse(const std::string& Text, const std::string& ScriptName = "test.shader") {
    const int32_t Before = Shaders().Count();
    Shaders().Parse(Text, ScriptName);
    return Shaders().Count() > Before ? Shaders().GetItem(Shaders().Count() - 1) : nullptr;
  }
  // Console lines that start with "Warning: ".
  std::vector<std::string> Warnings() const {
    std::vector<std::string> Result;
    for (const std::string& Line : Engine.Console->Lines.Strings) {
      if (Line.rfind("Warning: ", 0) == 0) Result.push_back(Line);
    }
    return Result;
  }
  void ClearConsole() { Engine.Console->Lines.Clear(); }

  TZNT1Engine Engine{&CreateGameOfClass<TZNT1Game>, true};
};

// Counts the "{" that open a block at depth 0, skipping "//" and "/* */" comments and
// quoted text; written apart from the engine's tokenizer on purpose.
inline int CountMaterialBlocks(std::string_view Text) {
  int Depth = 0, Count = 0;
  size_t i = 0;
  const size_t n = Text.size();
  while (i < n) {
    const char c = Text[i];
    if (static_cast<unsigned char>(c) <= 32) {
      ++i;
    } else if (c == '/' && i + 1 < n && Text[i + 1] == '/') {
      while (i < n && Text[i] != '\n' && Text[i] != '\r') ++i;
    } else if (c == '/' && i + 1 < n && Text[i + 1] == '*') {
      const size_t End = Text.find("*/", i + 2);
      i = End == std::string_view::npos ? n : End + 2;
    } else if (c == '"') {
      const size_t End = Text.find('"', i + 1);
      i = End == std::string_view::npos ? n : End + 1;
    } else {
      size_t j = i;
      while (j < n && static_cast<unsigned char>(Text[j]) > 32) ++j;
      const std::string_view Word = Text.substr(i, j - i);
      if (Word == "{") {
        if (Depth == 0) ++Count;
        ++Depth;
      } else if (Word == "}" && Depth > 0) {
        --Depth;
      }
      i = j;
    }
  }
  return Count;
}

// The limits the GPU side relies on, for every material of a library.
inline void ExpectWithinLimits(const TZNT1Shaders& Shaders) {
  for (const TZNT1Shader* S : Shaders.Items) {
    ASSERT_NE(S, nullptr);
    EXPECT_LE(S->Count(), MAX_SHADER_STAGES) << S->Name;
    EXPECT_LE(S->NumDeformations, MAX_DEFORMS) << S->Name;
    EXPECT_GE(S->Sort, 1) << S->Name;
    EXPECT_LE(S->Sort, 255) << S->Name;
    for (const TZNT1ShaderStage* Stage : S->Stages) {
      EXPECT_NE(Stage->Texture[0], nullptr) << S->Name;
      EXPECT_NE(Stage->TexCoordGen, TCGEN_BAD) << S->Name;
      EXPECT_LE(Stage->NumTexMods, MAX_TEXMODS) << S->Name;
      EXPECT_GE(Stage->NumImageAnimation, 0) << S->Name;
      EXPECT_LE(Stage->NumImageAnimation, MAX_IMAGE_ANIMATIONS) << S->Name;
    }
  }
}

}  // namespace materialtest
