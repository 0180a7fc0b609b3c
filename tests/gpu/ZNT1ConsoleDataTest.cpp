#include <gtest/gtest.h>

#include <cstdlib>

#include "assets/ZefuImage.h"
#include "assets/ZefuPNG.h"
#include "gpu/ZNT1CommandConsoleBackground.h"
#include "gpu/ZNT1FontPNG.h"

TEST(ConsoleData, FontIsA16By16GridOfWhiteGlyphs) {
  void* data = nullptr;
  int32_t w = 0, h = 0;
  ASSERT_TRUE(LoadPNG(FontData, FontSize, data, w, h, false));
  ASSERT_EQ(w, 128);
  ASSERT_EQ(h, 256);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  auto lit = [&](int code) {
    int count = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 8; ++x) {
        const uint8_t* q = p + (size_t((code / 16) * 16 + y) * 128 + size_t((code % 16) * 8 + x)) * 4;
        EXPECT_TRUE((q[0] == 0 && q[1] == 0 && q[2] == 0) || (q[0] == 255 && q[1] == 255 && q[2] == 255));
        count += q[0] == 255;
      }
    return count;
  };
  EXPECT_EQ(lit(' '), 0);
  for (int code : {int('A'), int('z'), int('0'), int('_'), int('|'), 0xE9}) EXPECT_GE(lit(code), 5) << code;  // every printable glyph has ink
  std::free(data);
}

TEST(ConsoleData, BackgroundDecodesAs512By512) {
  void* data = nullptr;
  int32_t w = 0, h = 0;
  ASSERT_TRUE(LoadImage(CommandConsoleBackgroundData, CommandConsoleBackgroundSize, data, w, h, 0));
  EXPECT_EQ(w, 512);
  EXPECT_EQ(h, 512);
  std::free(data);
}
