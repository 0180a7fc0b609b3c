#pragma once
// GPU textures and the texture library. A texture keeps what it needs to (re)create its
// OpenGL object: a file-backed one reads its image only when it is used and drops the
// pixels again once they are on the GPU; one made from pixels keeps them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1StringHashMap.h"

class TZNT1Engine;
class TZNT1Textures;

// One stored mip level: a decoded image (std::malloc block) or nullptr.
struct TZNT1TextureMipMap {
  void* Data = nullptr;
  int32_t Width = 0;
  int32_t Height = 0;
};
// Slot i holds level i + 1.
using TZNT1TextureMipMaps = TZNT1TextureMipMap[32];

// The library key: the name and every sampling parameter, so that one name asked for with
// other parameters is another texture. "$white" is its own key.
std::string GetHashName(const std::string& Name, bool MipMap, bool AllowPicMip, int32_t GLWrapClampMode,
                        float ColorOverbright, float BumpMapScale);

// The height map in the RGB bytes of Width x Height pixels becomes a normal map (RGB) with
// the normalised height in alpha.
void ConvertBumpMapToNormalMap(uint8_t* Pixels, int32_t Width, int32_t Height, float BumpMapScale);

class TZNT1Texture {
 public:
  TZNT1Texture(TZNT1Engine* AEngine, TZNT1Textures* ATextures);
  ~TZNT1Texture();
  TZNT1Texture(const TZNT1Texture&) = delete;
  TZNT1Texture& operator=(const TZNT1Texture&) = delete;

  void EnqueueHash();
  void DequeueHash();
  // Reads the image file of a file-backed texture that holds no pixels; true when it did.
  bool Load();
  // Loads if needed; true when every pixel has zero R, G and B. False when pixels were
  // already present (no test) or nothing could be loaded.
  bool CheckForBlack();
  // Creates the OpenGL texture once the texture is referenced; later calls do nothing
  // until Dispose.
  void Upload();
  void Dispose();
  void IncRef();
  void DecRef();

  TZNT1Engine* Engine;
  TZNT1Textures* Textures;
  std::string Name;
  std::string HashName;
  std::string FileName;
  void* Data = nullptr;  // level 0, decoded image (std::malloc block)
  int32_t Width = 0;
  int32_t Height = 0;
  TZNT1TextureMipMaps MipMaps{};
  uint32_t TexNum = 0;
  int32_t FrameUsed = 0;
  int32_t InternalFormat = 0;
  bool MipMap = true;
  bool AllowPicMip = true;
  int32_t GLWrapClampMode = 0;
  bool Disposable = false;
  bool Uploaded = false;
  int32_t ReferenceCounter = 0;
  uint32_t Handle = 0;
  float ColorOverbright = 0.0f;
  float BumpMapScale = 0.0f;
  int32_t CountMipMaps = 0;
  bool Nearest = false;

 private:
  void FreeMipMaps();
  void FreePixels();
  bool HasOpenGL() const;
};

class TZNT1Textures {
 public:
  explicit TZNT1Textures(TZNT1Engine* AEngine);
  ~TZNT1Textures();
  TZNT1Textures(const TZNT1Textures&) = delete;
  TZNT1Textures& operator=(const TZNT1Textures&) = delete;

  // Frees every texture and starts over with an empty index.
  void ClearAll();
  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  TZNT1Texture* GetItem(int32_t Index) const { return Items[static_cast<size_t>(Index)].get(); }

  // Always a new texture; it owns Data (a std::malloc block, or nullptr for a file-backed one).
  TZNT1Texture* CreateTexture(const std::string& Name, const std::string& FileName, void* Data, int32_t Width,
                              int32_t Height, bool MipMap, bool AllowPicMip, int32_t GLWrapClampMode,
                              float ColorOverbright, float BumpMapScale);
  // The texture for a name and parameters: from the index, else from the first image file
  // found for it (.png, .tga, .jpg, .jpeg, dds/....dds, then the name itself); nullptr when
  // there is none.
  TZNT1Texture* FindTextureFile(const std::string& Name, bool MipMap, bool AllowPicMip, int32_t GLWrapClampMode,
                                float ColorOverbright, float BumpMapScale);
  void CreateDefaultTextures();
  void Upload();
  void Dispose();

  std::vector<std::unique_ptr<TZNT1Texture>> Items;
  std::unique_ptr<TZNT1StringHashMap> HashMap;
  TZNT1Engine* Engine;
  bool ForceMipMap = true;
  TZNT1Texture* DLIGHTTexture = nullptr;
  TZNT1Texture* FogTexture = nullptr;
  TZNT1Texture* DefaultTexture = nullptr;
  TZNT1Texture* WhiteTexture = nullptr;
  TZNT1Texture* IdentityLightTexture = nullptr;
  TZNT1Texture* ScratchTextures[32] = {};
  TZNT1Texture* SMAAAreaTexture = nullptr;
  TZNT1Texture* SMAASearchTexture = nullptr;

 private:
  void FreeAll();
};
