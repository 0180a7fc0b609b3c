#include "gpu/ZNT1GLCapabilities.h"

#include <gtest/gtest.h>

#include <string>

TEST(ZNT1GLCapabilities, DefaultsBeforeQuery) {
  TZNT1GLCapabilities c(nullptr);
  EXPECT_EQ(c.ShadingLanguageVersion, 0x100u);
  EXPECT_EQ(c.MaxElementsVertices, 65536);
  EXPECT_EQ(c.MaxElementsIndices, 196608);
  EXPECT_EQ(c.MaxAnisotropy, 0.0f);
  EXPECT_EQ(c.MaxVertexAttribs, 8);
  EXPECT_EQ(c.MaxTextureSize, 2048);
  EXPECT_EQ(c.MaxFragmentUniformVectors, 16);
  EXPECT_EQ(c.MaxVaryingVectors, 128);
  EXPECT_EQ(c.DepthStencilType, 35056u);
  EXPECT_EQ(c.ShadowMapTextureFormat, 20);
  EXPECT_FALSE(c.LowQuality);
  EXPECT_TRUE(c.UseSinglePassShadowCubeMaps);
  EXPECT_TRUE(c.GeometryShader);
  EXPECT_TRUE(c.FloatTextures && c.HalfFloatTextures && c.MultiDrawElements);
  EXPECT_FALSE(c.VertexArrayObject || c.SkyFBO || c.TextureMultisample || c.SoftwareRasterizer);
}

TEST(ZNT1GLCapabilities, ShadingLanguageVersionNumbers) {
  const struct {
    const char* Text;
    uint32_t Number;
  } cases[] = {
      {"1.40", 0x128},          {"3.30", 0x31E},
      {"4.20", 0x414},          {"4.40", 0x428},
      {"3.30 - Build 8", 0x31E}, {"4.60 NVIDIA", 0x43C},
      {"1,50", 0x132},          {" 3.30", 0x003},  // not trimmed: empty major, 3 as minor
      {"", 0},                  {"abc", 0},
      {"4", 0x400},             {"-1.40", 0x028},  // a sign is no number
      {"99999999999.1", 0x001},  // too long for a number
  };
  for (const auto& c : cases)
    EXPECT_EQ(TZNT1GLCapabilities::ParseShadingLanguageVersion(c.Text), c.Number) << '"' << c.Text << '"';
}

TEST(ZNT1GLCapabilities, VendorAndVersionRules) {
  const char* const Geometry4 = "GL_ARB_foo GL_ARB_geometry_shader4 GL_EXT_bar";
  const struct {
    const char* Vendor;
    const char* GLSL;
    const char* Extensions;
    bool LowQuality, SinglePassCube, GeometryShader;
  } cases[] = {
      {"NVIDIA Corporation", "4.40", Geometry4, false, true, true},
      // Below GLSL 4.20 ($414 < $420) no geometry programs, so cube maps go face by face.
      {"ATI Technologies Inc.", "4.20", Geometry4, false, false, false},
      {"  AMD\t", "4.50", Geometry4, false, true, true},
      {"Some Corporation", "1.30", Geometry4, false, false, false},  // "ati" inside "corporation"
      {"Intel", "4.00", Geometry4, false, false, false},
      {"Intel Open Source Technology Center", "3.30", Geometry4, true, false, false},
      {"Intel", "", Geometry4, true, false, false},
      {"Mesa", "4.50", Geometry4, true, false, false},
      {"", "4.60", Geometry4, true, false, false},
      // Full quality by vendor and version, but the generated geometry texts need the extension.
      {"NVIDIA Corporation", "4.50", "GL_ARB_foo GL_EXT_geometry_shader4", false, false, false},
      {"AMD", "4.60", "", false, false, false},
  };
  for (const auto& c : cases) {
    TZNT1GLCapabilities caps(nullptr);
    caps.Vendor = c.Vendor;
    caps.ShadingLanguageVersionString = c.GLSL;
    caps.Extensions = c.Extensions;
    caps.SkyFBO = true;
    caps.ApplyDriverStrings();
    SCOPED_TRACE(std::string(c.Vendor) + " / " + c.Extensions);
    EXPECT_EQ(caps.LowQuality, c.LowQuality);
    EXPECT_EQ(caps.UseSinglePassShadowCubeMaps, c.SinglePassCube);
    EXPECT_EQ(caps.GeometryShader, c.GeometryShader);
    EXPECT_FALSE(caps.SkyFBO);
  }
}

TEST(ZNT1GLCapabilities, SoftwareRasterizersByRendererString) {
  const struct {
    const char* Renderer;
    bool Software;
  } cases[] = {
      {"llvmpipe (LLVM 15.0.6, 256 bits)", true},
      {"softpipe", true},
      {"Mesa DRI Intel(R) HD Graphics 620 (KBL GT2)", false},
      {"Software Rasterizer", true},
      {"Mesa X11 swrast", true},
      {"Google SwiftShader", true},
      {"GDI Generic", true},
      {"SWR (LLVM 12.0.0, 256 bits)", true},
      {"D3D12 (Microsoft Basic Render Driver)", true},
      {"D3D12 (NVIDIA GeForce RTX 3060)", false},
      {"NVIDIA GeForce RTX 3060/PCIe/SSE2", false},
      {"AMD Radeon RX 6600 (navi23, LLVM 15.0.6, DRM 3.49, 6.1.0)", false},
      {"", false},
  };
  for (const auto& c : cases) {
    TZNT1GLCapabilities caps(nullptr);
    caps.Vendor = "Mesa";
    caps.Renderer = c.Renderer;
    caps.ApplyDriverStrings();
    EXPECT_EQ(caps.SoftwareRasterizer, c.Software) << c.Renderer;
  }
}

TEST(ZNT1GLCapabilities, MultisampleFromExtensionList) {
  TZNT1GLCapabilities caps(nullptr);
  caps.Extensions = "GL_ARB_foo GL_ARB_texture_multisample GL_EXT_bar";
  caps.ApplyDriverStrings();
  EXPECT_TRUE(caps.TextureMultisample);
  caps.Extensions = "GL_ARB_foo";
  caps.ApplyDriverStrings();
  EXPECT_FALSE(caps.TextureMultisample);
}
