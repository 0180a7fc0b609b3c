#include "assets/ZNT1Texture.h"

#include "core/ZNT1Engine.h"

TZNT1Textures::~TZNT1Textures() = default;

void TZNT1Textures::CreateDefaultTextures() {
  Items.push_back(std::make_unique<TZNT1Texture>(this));
  WhiteTexture = Items.back().get();
  WhiteTexture->Name = "$white";
}

void TZNT1Textures::Upload() {}

void TZNT1Textures::Dispose() {
  for (auto& t : Items) t->Uploaded = false;
}

TZNT1Texture* TZNT1Textures::FindTextureFile(const std::string&, bool, bool, uint32_t, float, float) {
  return nullptr;
}
