#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

#include "RendererContentEngine.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"

// Camera portals and mirrors of OpenArena maps, seen from just before them, in both qualities.
namespace {

constexpr int32_t W = 160, H = 120;

class RendererPortalGL : public RendererContentFixture {
 protected:
  static void SetUpTestSuite() { OpenWindow("portal", W, H); }

  // Distinct colours in a portal context's picture.
  static size_t Colours(const TZNT1RendererContext& c) {
    std::vector<uint8_t> Pixels(size_t(W) * H * 4);
    glBindTexture(GL_TEXTURE_2D, c.FrameBufferObject->TextureHandles[0]);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, Pixels.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    std::set<uint32_t> Seen;
    for (size_t i = 0; i < Pixels.size(); i += 4)
      Seen.insert(uint32_t(Pixels[i]) << 16 | uint32_t(Pixels[i + 1]) << 8 | Pixels[i + 2]);
    return Seen.size();
  }
};

}  // namespace

TEST_F(RendererPortalGL, PortalContextsHoldRenderedViews) {
  struct Case {
    const char* Map;
    bool Mirrors;
  };
  for (const int LowQuality : {1, 0}) {
    for (const Case& m : {Case{"oa_dm5", false}, Case{"oa_dm3", false}, Case{"oa_dm2", true}}) {
      SCOPED_TRACE(testing::Message() << m.Map << (LowQuality ? " low" : " full"));
      RendererContentEngine e(testdata::ContentDir(), W, H, LowQuality);
      ASSERT_TRUE(e.MapCommand(m.Map));
      e.Renderer->Antialiasing = aaNONE;
      e.Renderer->BloomEffect = false;
      int Rendered = 0, Portals = 0;
      for (const TZNT1Portal& p : e.BSP->Portals) {
        if (p.SourceMirror != m.Mirrors) continue;
        ++Portals;
        // Just before the portal, facing it; oa_dm2's mirrors lie in floors and ceilings.
        const TZNT1Vector3 n = p.Plane.Normal;
        const TZNT1Vector3 Eye = Vector3Sub(p.SourceOrigin, Vector3ScalarMul(n, 48.0f));
        const bool Vertical = std::fabs(n.z) > 0.5f;
        bool Seen = false;
        for (const float Pitch : Vertical ? std::vector<float>{1.3f, -1.3f} : std::vector<float>{0.0f}) {
          e.View(Eye, Vector3(Pitch, Vertical ? 0.0f : std::atan2(n.y, n.x), 0));
          e.Frame();
          ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
          if (!p.Visible[0]) continue;
          const TZNT1RendererContext* c = e.Renderer->Contexts[p.FBO[0]].get();
          ASSERT_NE(c, nullptr);
          EXPECT_GT(Colours(*c), 100u) << "portal " << p.Name;
          Seen = true;
          break;
        }
        Rendered += Seen;
      }
      EXPECT_GT(Portals, 0);
      EXPECT_GT(Rendered, 0);
      RecordProperty(std::string(m.Map) + (LowQuality ? "_low" : "_full"),
                     std::to_string(Rendered) + "/" + std::to_string(Portals));
    }
  }
}

// A camera looking straight down (a target point below its origin) still gives a view.
TEST_F(RendererPortalGL, CameraLookingStraightDownStillRenders) {
  RendererContentEngine e(testdata::ContentDir(), W, H, 1);
  ASSERT_TRUE(e.MapCommand("oa_dm3"));
  ASSERT_FALSE(e.BSP->Portals.empty());
  TZNT1Portal& p = e.BSP->Portals[0];
  ASSERT_FALSE(p.SourceMirror);
  p.TargetPosition = Vector3Sub(p.TargetOrigin, Vector3(0, 0, 100));
  const TZNT1Vector3 n = p.Plane.Normal;
  e.View(Vector3Sub(p.SourceOrigin, Vector3ScalarMul(n, 48.0f)), Vector3(0, std::atan2(n.y, n.x), 0));
  e.Frame();
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  ASSERT_TRUE(p.Visible[0]);
  EXPECT_GT(Colours(*e.Renderer->Contexts[p.FBO[0]]), 100u);
}
