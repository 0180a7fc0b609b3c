#pragma once
// GPU textures and the texture library.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TZNT1Engine;
class TZNT1Textures;

class TZNT1Texture {
 public:
  explicit TZNT1Texture(TZNT1Textures* AOwner) : Owner(AOwner) {}
  virtual ~TZNT1Texture() = default;

  void IncRef() { ++ReferenceCounter; }
  void DecRef() {
    if (ReferenceCounter > 0) --ReferenceCounter;
  }

  TZNT1Textures* Owner;
  std::string Name;
  uint32_t Handle = 0;
  int32_t Width = 1;
  int32_t Height = 1;
  int32_t ReferenceCounter = 0;
  bool Uploaded = false;
};

class TZNT1Textures {
 public:
  explicit TZNT1Textures(TZNT1Engine* AEngine) : Engine(AEngine) {}
  virtual ~TZNT1Textures();

  void CreateDefaultTextures();
  void Upload();
  void Dispose();
  // The texture of the first archive file found for the name; nullptr when none exists.
  TZNT1Texture* FindTextureFile(const std::string& Name, bool MipMap, bool AllowPicMip, uint32_t Wrap,
                                float ColorOverbright, float BumpMapScale);

  TZNT1Engine* Engine;
  std::vector<std::unique_ptr<TZNT1Texture>> Items;
  TZNT1Texture* WhiteTexture = nullptr;
};
