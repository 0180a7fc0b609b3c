#include "assets/ZNT1Texture.h"

#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "assets/ZNT1Archive.h"
#include "assets/ZefuImage.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1SMAAArea.h"
#include "gpu/ZNT1SMAASearch.h"
#include "platform/ZNT1OpenGL.h"

namespace {

// A float in [0, 255] to a byte, truncated; NaN (from infinite factors) gives 0.
uint8_t TruncByte(float v) {
  if (v >= 0.0f && v <= 255.0f) return static_cast<uint8_t>(v);
  return v > 255.0f ? 255 : 0;
}

float Clamp01(float v) {
  if (v >= 0.0f && v <= 1.0f) return v;
  return v > 1.0f ? 1.0f : 0.0f;
}

// Eight upper-case hex digits; the material parser looks textures up by the thousand.
void AppendHex8(std::string& s, uint32_t v) {
  char buf[8];
  for (int i = 7; i >= 0; --i, v >>= 4) buf[i] = "0123456789ABCDEF"[v & 15];
  s.append(buf, 8);
}

uint32_t FloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

size_t PixelCount(int32_t Width, int32_t Height) {
  return Width > 0 && Height > 0 ? size_t(Width) * size_t(Height) : 0;
}

void* AllocPixels(int32_t Width, int32_t Height) { return std::calloc(PixelCount(Width, Height), 4); }

bool DecodeLevel(const TMemoryStream& Stream, void*& Data, int32_t& Width, int32_t& Height, int32_t Level) {
  if (Stream.Size() <= 0 || uint64_t(Stream.Size()) > UINT32_MAX) return false;
  return LoadImage(Stream.Memory(), uint32_t(Stream.Size()), Data, Width, Height, Level);
}

// Name without its extension: the text from the last "." on goes, unless a "\" or ":" comes
// after that "." ("/" does not stop the search).
std::string StripExtension(const std::string& Name) {
  for (size_t i = Name.size(); i-- > 0;) {
    const char c = Name[i];
    if (c == '.') return Name.substr(0, i);
    if (c == '\\' || c == ':') break;
  }
  return Name;
}

using TGLUBuild2DMipmaps = GLint (*)(GLenum, GLint, GLsizei, GLsizei, GLenum, GLenum, const void*);

// GLU is optional at run time; the library stays loaded for the life of the process.
TGLUBuild2DMipmaps GLUBuild2DMipmaps() {
  static const TGLUBuild2DMipmaps f = []() -> TGLUBuild2DMipmaps {
    void* lib = dlopen("libGLU.so.1", RTLD_NOW | RTLD_LOCAL);
    return lib ? reinterpret_cast<TGLUBuild2DMipmaps>(dlsym(lib, "gluBuild2DMipmaps")) : nullptr;
  }();
  return f;
}

// The whole chain from level 0: GLU when present (it also scales to powers of two and to the
// size limit), else OpenGL's own mip-map generation at the original size.
void BuildMipMaps(int32_t Width, int32_t Height, const void* Data) {
  if (TGLUBuild2DMipmaps build = GLUBuild2DMipmaps())
    if (build(GL_TEXTURE_2D, GL_RGBA, Width, Height, GL_RGBA, GL_UNSIGNED_BYTE, Data) == 0) return;
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, Width, Height, 0, GL_RGBA, GL_UNSIGNED_BYTE, Data);
  glGenerateMipmap(GL_TEXTURE_2D);
}

}  // namespace

std::string GetHashName(const std::string& Name, bool MipMap, bool AllowPicMip, int32_t GLWrapClampMode,
                        float ColorOverbright, float BumpMapScale) {
  if (Name == "$white") return Name;
  std::string s = Name;
  s += char(1);
  s += char((MipMap ? 2 : 0) + (AllowPicMip ? 1 : 0));
  AppendHex8(s, uint32_t(GLWrapClampMode));
  AppendHex8(s, FloatBits(ColorOverbright));
  AppendHex8(s, FloatBits(BumpMapScale));
  return s;
}

void ConvertBumpMapToNormalMap(uint8_t* Pixels, int32_t Width, int32_t Height, float BumpMapScale) {
  const size_t count = PixelCount(Width, Height);
  if (!Pixels || count == 0) return;
  std::vector<float> heights(count);
  float lo = 0.0f, hi = 0.0f;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = Pixels + i * 4;
    const float h = float(int(p[0]) + int(p[1]) + int(p[2])) / 768.0f;
    heights[i] = h;
    if (i == 0 || h < lo) lo = h;
    if (i == 0 || h > hi) hi = h;
  }
  if (lo < hi) {
    const float scale = 1.0f / (hi - lo);
    for (float& h : heights) h = (h - lo) * scale;
  }
  auto H = [&](int32_t x, int32_t y) { return heights[size_t(y) * size_t(Width) + size_t(x)]; };
  // Every normal comes from the heights before any pixel is written.
  std::vector<uint8_t> out(count * 4);
  for (int32_t y = 0; y < Height; ++y) {
    const int32_t ym = y > 0 ? y - 1 : 0, yp = y + 1 < Height ? y + 1 : Height - 1;
    for (int32_t x = 0; x < Width; ++x) {
      const int32_t xm = x > 0 ? x - 1 : 0, xp = x + 1 < Width ? x + 1 : Width - 1;
      const float h00 = H(xm, ym), h10 = H(x, ym), h20 = H(xp, ym), h01 = H(xm, y), h21 = H(xp, y),
                  h02 = H(xm, yp), h12 = H(x, yp), h22 = H(xp, yp);
      float gx = h00 - h20 + 2.0f * h01 - 2.0f * h21 + h02 - h22;
      float gy = h00 + 2.0f * h10 + h20 - h02 - 2.0f * h12 - h22;
      float gz = 1.0f - (gx * gx + gy * gy);
      if (gz > 0.0f) gz = std::sqrt(gz);
      gz *= BumpMapScale * 0.5f;
      const float l = gx * gx + gy * gy + gz * gz;
      if (l > 0.0f) {
        const float f = 1.0f / std::sqrt(l);
        gx *= f;
        gy *= f;
        gz *= f;
      } else {
        gx = gy = gz = 0.0f;
      }
      uint8_t* o = out.data() + (size_t(y) * size_t(Width) + size_t(x)) * 4;
      o[0] = TruncByte(Clamp01((gx + 1.0f) * 0.5f) * 255.0f);
      o[1] = TruncByte(Clamp01((gy + 1.0f) * 0.5f) * 255.0f);
      o[2] = TruncByte(Clamp01((gz + 1.0f) * 0.5f) * 255.0f);
      o[3] = TruncByte(Clamp01(H(x, y)) * 255.0f);
    }
  }
  std::memcpy(Pixels, out.data(), out.size());
}

// ---- TZNT1Texture ----

TZNT1Texture::TZNT1Texture(TZNT1Engine* AEngine, TZNT1Textures* ATextures) : Engine(AEngine), Textures(ATextures) {}

TZNT1Texture::~TZNT1Texture() {
  Dispose();
  DequeueHash();
  FreePixels();
}

bool TZNT1Texture::HasOpenGL() const { return Engine && !Engine->Dedicated; }

void TZNT1Texture::FreeMipMaps() {
  for (TZNT1TextureMipMap& m : MipMaps) {
    std::free(m.Data);
    m = TZNT1TextureMipMap{};
  }
}

void TZNT1Texture::FreePixels() {
  std::free(Data);
  Data = nullptr;
  FreeMipMaps();
}

void TZNT1Texture::EnqueueHash() {
  if (Textures && Textures->HashMap) Textures->HashMap->Add(HashName, this);
}

void TZNT1Texture::DequeueHash() {
  // Textures sharing a key (the scratch textures) must not take each other's entry away.
  if (Textures && Textures->HashMap && Textures->HashMap->GetValue(HashName) == this)
    Textures->HashMap->Delete(HashName);
}

bool TZNT1Texture::Load() {
  if (!Disposable || Data) return false;
  FreeMipMaps();
  if (!Engine || !Engine->Archives) return false;
  std::unique_ptr<TMemoryStream> stream = Engine->Archives->ExtractFile(FileName);
  if (!stream || stream->Size() <= 0 || stream->Seek(0) != 0) return false;
  CountMipMaps = 0;

  auto decode = [this](const TMemoryStream& s) {
    if (!DecodeLevel(s, Data, Width, Height, 0)) return false;
    for (int32_t i = 0; i < 32; ++i) {
      TZNT1TextureMipMap& m = MipMaps[i];
      std::free(m.Data);
      m = TZNT1TextureMipMap{};
      if (!DecodeLevel(s, m.Data, m.Width, m.Height, i + 1)) {
        m = TZNT1TextureMipMap{};
        break;
      }
      ++CountMipMaps;
    }
    uint8_t* p = static_cast<uint8_t*>(Data);
    const size_t count = PixelCount(Width, Height);
    if (ColorOverbright > 0.0f) {
      for (size_t i = 0; i < count; ++i, p += 4) {
        float r = p[0], g = p[1], b = p[2];
        ApplyColorOverbright(r, g, b, 255.0f, ColorOverbright);
        p[0] = TruncByte(r);
        p[1] = TruncByte(g);
        p[2] = TruncByte(b);
      }
    }
    if (BumpMapScale > 0.0f) ConvertBumpMapToNormalMap(static_cast<uint8_t*>(Data), Width, Height, BumpMapScale);
    return true;
  };
  if (decode(*stream)) return true;

  // A tiny file that is no image names another file of the same folder; followed once.
  const int64_t size = stream->Size();
  if (size < 1 || size > 254) return false;
  const char* text = reinterpret_cast<const char*>(stream->Memory());
  size_t b = 0, e = size_t(size);
  while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
  std::string target(text + b, e - b);
  for (char& c : target)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  const size_t slash = FileName.find_last_of("/\\");
  const std::string dir = slash == std::string::npos ? std::string() : FileName.substr(0, slash + 1);
  std::unique_ptr<TMemoryStream> redirected = Engine->Archives->ExtractFile(dir + target);
  return redirected && decode(*redirected);
}

bool TZNT1Texture::CheckForBlack() {
  if (Data) return false;
  Load();
  if (!Data) return false;
  const uint8_t* p = static_cast<const uint8_t*>(Data);
  const size_t count = PixelCount(Width, Height);
  for (size_t i = 0; i < count; ++i, p += 4)
    if (p[0] | p[1] | p[2]) return false;
  return true;
}

void TZNT1Texture::Upload() {
  if (ReferenceCounter <= 0 || Uploaded) return;
  // Set first: a failed upload is not retried before the next Dispose.
  Uploaded = true;
  if (!HasOpenGL()) return;
  if (!Data) Load();

  glGenTextures(1, &Handle);
  glBindTexture(GL_TEXTURE_2D, Handle);
  const bool mip = (Textures && Textures->ForceMipMap) || MipMap || AllowPicMip;
  const GLint magFilter = Nearest ? GL_NEAREST : GL_LINEAR;
  const GLint minFilter = !mip ? magFilter : Nearest ? GL_NEAREST_MIPMAP_NEAREST : GL_LINEAR_MIPMAP_LINEAR;
  const bool haveImage = Data && Width > 0 && Height > 0;
  if (!haveImage) {
    // An image that did not load shows as opaque black: one pixel, complete under any filter.
    static const uint8_t black[4] = {0, 0, 0, 255};
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, black);
  } else if (mip && MipMaps[0].Data) {
    glTexParameteri(GL_TEXTURE_2D, GL_GENERATE_MIPMAP, 0);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, Width, Height, 0, GL_RGBA, GL_UNSIGNED_BYTE, Data);
    for (int32_t i = 0; i < 32 && MipMaps[i].Data; ++i)
      glTexImage2D(GL_TEXTURE_2D, i + 1, GL_RGBA, MipMaps[i].Width, MipMaps[i].Height, 0, GL_RGBA,
                   GL_UNSIGNED_BYTE, MipMaps[i].Data);
  } else if (mip && Textures && (this == Textures->SMAAAreaTexture || this == Textures->SMAASearchTexture)) {
    // Lookup tables: GLU would rescale them to powers of two and break every lookup.
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, Width, Height, 0, GL_RGBA, GL_UNSIGNED_BYTE, Data);
    glGenerateMipmap(GL_TEXTURE_2D);
  } else if (mip) {
    BuildMipMaps(Width, Height, Data);
  } else {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, Width, Height, 0, GL_RGBA, GL_UNSIGNED_BYTE, Data);
  }
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, magFilter);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, minFilter);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GLWrapClampMode);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GLWrapClampMode);
  const float maxAnisotropy = Engine->GLCapabilities ? Engine->GLCapabilities->MaxAnisotropy : 0.0f;
  if (maxAnisotropy > 0.0f) {
    const float a = !mip ? 1.0f : maxAnisotropy > 8.0f ? 8.0f : std::trunc(maxAnisotropy);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MAX_ANISOTROPY_EXT, a);
  }
  // The stand-in pixel has level 0 only.
  if (CountMipMaps > 0 && haveImage) glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, CountMipMaps);
  glBindTexture(GL_TEXTURE_2D, 0);
  if (Disposable) FreePixels();
}

void TZNT1Texture::Dispose() {
  if (Uploaded) {
    Uploaded = false;
    if (HasOpenGL()) {
      glBindTexture(GL_TEXTURE_2D, 0);
      glDeleteTextures(1, &Handle);
    }
  }
  if (Disposable) FreePixels();
}

void TZNT1Texture::IncRef() {
  ++ReferenceCounter;
  Upload();
}

void TZNT1Texture::DecRef() {
  if (ReferenceCounter > 0) {
    if (--ReferenceCounter == 0) Dispose();
  }
}

// ---- TZNT1Textures ----

TZNT1Textures::TZNT1Textures(TZNT1Engine* AEngine)
    : HashMap(std::make_unique<TZNT1StringHashMap>()), Engine(AEngine) {}

TZNT1Textures::~TZNT1Textures() {
  FreeAll();
  HashMap.reset();
}

void TZNT1Textures::FreeAll() {
  for (auto& t : Items) t.reset();
  Items.clear();
  // The built-in fields would point at freed textures.
  DLIGHTTexture = FogTexture = DefaultTexture = WhiteTexture = IdentityLightTexture = nullptr;
  for (auto& t : ScratchTextures) t = nullptr;
  SMAAAreaTexture = SMAASearchTexture = nullptr;
}

void TZNT1Textures::ClearAll() {
  FreeAll();
  HashMap = std::make_unique<TZNT1StringHashMap>();
}

TZNT1Texture* TZNT1Textures::CreateTexture(const std::string& Name, const std::string& FileName, void* Data,
                                           int32_t Width, int32_t Height, bool MipMap, bool AllowPicMip,
                                           int32_t GLWrapClampMode, float ColorOverbright, float BumpMapScale) {
  auto t = std::make_unique<TZNT1Texture>(Engine, this);
  t->Name = Name;
  t->HashName = GetHashName(Name, MipMap, AllowPicMip, GLWrapClampMode, ColorOverbright, BumpMapScale);
  t->FileName = FileName;
  t->Width = Width;
  t->Height = Height;
  t->MipMap = MipMap;
  t->AllowPicMip = AllowPicMip;
  t->GLWrapClampMode = GLWrapClampMode;
  t->ColorOverbright = ColorOverbright;
  t->BumpMapScale = BumpMapScale;
  t->Data = Data;
  t->Disposable = Data == nullptr;
  t->EnqueueHash();
  Items.push_back(std::move(t));
  return Items.back().get();
}

TZNT1Texture* TZNT1Textures::FindTextureFile(const std::string& Name, bool MipMap, bool AllowPicMip,
                                             int32_t GLWrapClampMode, float ColorOverbright, float BumpMapScale) {
  const std::string key = GetHashName(Name, MipMap, AllowPicMip, GLWrapClampMode, ColorOverbright, BumpMapScale);
  if (void* hit = HashMap->GetValue(key)) return static_cast<TZNT1Texture*>(hit);
  if (!Engine || !Engine->Archives) return nullptr;
  const TZNT1Archives& archives = *Engine->Archives;
  const std::string base = StripExtension(Name);
  std::string file = Name;
  std::string candidate;
  candidate.reserve(base.size() + 9);
  for (const char* extension : {".png", ".tga", ".jpg", ".jpeg", ".dds"}) {
    candidate.assign(extension[1] == 'd' ? "dds/" : "");
    candidate += base;
    candidate += extension;
    if (archives.ExistFile(candidate)) {
      file = candidate;
      break;
    }
  }
  if (file == Name && !archives.ExistFile(file)) return nullptr;
  return CreateTexture(Name, file, nullptr, 0, 0, MipMap, AllowPicMip, GLWrapClampMode, ColorOverbright,
                       BumpMapScale);
}

void TZNT1Textures::CreateDefaultTextures() {
  auto make = [this](const char* Name, int32_t W, int32_t H, int32_t Wrap, auto&& Pixel) {
    uint8_t* data = static_cast<uint8_t*>(AllocPixels(W, H));
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x) Pixel(x, y, data + (size_t(y) * size_t(W) + size_t(x)) * 4);
    return CreateTexture(Name, "", data, W, H, false, false, Wrap, 0.0f, 0.0f);
  };
  auto fill = [](uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    return [=](int32_t, int32_t, uint8_t* p) {
      p[0] = r;
      p[1] = g;
      p[2] = b;
      p[3] = a;
    };
  };

  DefaultTexture = make("*default", 16, 16, GL_REPEAT, [](int32_t x, int32_t y, uint8_t* p) {
    const uint8_t v = (x == 0 || x == 15 || y == 0 || y == 15) ? 255 : 0;
    std::memset(p, v, 4);
  });
  WhiteTexture = make("*white", 8, 8, GL_REPEAT, fill(255, 255, 255, 255));
  const uint8_t identity = Engine ? Engine->IdentityLightByte : 0;
  IdentityLightTexture = make("*identitylight", 8, 8, GL_REPEAT, fill(identity, identity, identity, 255));
  for (TZNT1Texture*& t : ScratchTextures) t = make("*scratch", 16, 16, GL_CLAMP_TO_EDGE, fill(255, 255, 255, 255));

  DLIGHTTexture = make("*dlight", 16, 16, GL_CLAMP_TO_EDGE, [](int32_t x, int32_t y, uint8_t* p) {
    const float dx = 7.5f - float(x), dy = 7.5f - float(y);
    int32_t v = int32_t(4000.0f / (dx * dx + dy * dy));
    if (v < 75) v = 0;
    if (v > 255) v = 255;
    p[0] = p[1] = p[2] = uint8_t(v);
    p[3] = 255;
  });

  static const float NoFog[256] = {};
  const float* fogTable = Engine ? Engine->FogTable : NoFog;
  FogTexture = make("*fog", 256, 32, GL_CLAMP_TO_EDGE, [fogTable](int32_t x, int32_t y, uint8_t* p) {
    const float s = (float(x) + 0.5f) / 256.0f, t = (float(y) + 0.5f) / 32.0f;
    float factor = 0.0f;
    float tt = t - 1.0f / 512.0f;
    if (tt >= 0.0f && s >= 1.0f / 32.0f) {
      if (s < 31.0f / 32.0f) tt = tt * (s - 1.0f / 32.0f) / (30.0f / 32.0f);
      tt *= 8.0f;
      if (tt > 1.0f) tt = 1.0f;
      factor = fogTable[int32_t(tt * 255.0f)];
    }
    p[0] = p[1] = p[2] = 255;
    p[3] = TruncByte(factor * 255.0f);
  });
  FogTexture->IncRef();

  SMAAAreaTexture = make("*smaaarea", SMAAAreaWidth, SMAAAreaHeight, GL_CLAMP_TO_EDGE,
                         [](int32_t x, int32_t y, uint8_t* p) {
                           const uint8_t* src = SMAAAreaData() + (size_t(y) * SMAAAreaWidth + size_t(x)) * 2;
                           p[0] = src[0];
                           p[1] = src[1];
                           p[2] = src[0];
                           p[3] = src[1];
                         });
  SMAASearchTexture = make("*smaasearch", SMAASearchWidth, SMAASearchHeight, GL_CLAMP_TO_EDGE,
                           [](int32_t x, int32_t y, uint8_t* p) {
                             std::memset(p, SMAASearchData()[size_t(y) * SMAASearchWidth + size_t(x)], 4);
                           });
  SMAASearchTexture->Nearest = true;
  SMAAAreaTexture->IncRef();
  SMAASearchTexture->IncRef();
}

void TZNT1Textures::Upload() {
  for (size_t i = 0; i < Items.size(); ++i) {
    Items[i]->Upload();
    if (Engine) Engine->ShowLoadProgress(false, Engine->LastProgress);
  }
}

void TZNT1Textures::Dispose() {
  for (auto& t : Items) t->Dispose();
}
