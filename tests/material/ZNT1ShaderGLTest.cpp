// Materials of the real content referenced on a live context: their textures upload with the
// first reference and go again with the last.
#include <gtest/gtest.h>

#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Texture.h"
#include "material/ZNT1Shader.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"

namespace {

class ZNT1ShaderGL : public GLEngineFixture {
 protected:
  ZNT1ShaderGL() : GLEngineFixture(true) {}
  void TearDown() override {
    engine.Shaders.reset();
    engine.Textures.reset();
    GLEngineFixture::TearDown();
  }
};

}  // namespace

TEST_F(ZNT1ShaderGL, ReferencedMaterialUploadsAndReleasesItsTextures) {
  REQUIRE_CONTENT_DIR();
  engine.Archives->LoadDirectory(testdata::ContentDir() + "/");
  engine.Archives->Finish();
  engine.Textures = std::make_unique<TZNT1Textures>(&engine);
  engine.Textures->CreateDefaultTextures();
  engine.Shaders = std::make_unique<TZNT1Shaders>(&engine);
  engine.Shaders->Load();

  // A sky with its six faces, and a default material with its side maps.
  TZNT1Shader* Sky = engine.Shaders->GetShader("textures/cosmo_skies/desertsky1");
  ASSERT_TRUE(Sky);
  ASSERT_TRUE(Sky->IsSky);
  ASSERT_NE(Sky->Sky.OuterBox[0], engine.Textures->DefaultTexture);
  TZNT1Shader* Wall = engine.Shaders->AddDefaultTextureShader("textures/base_wall/concrete", false, false);
  ASSERT_TRUE(Wall->GetStage(0)->Texture[0]);
  ASSERT_NE(Wall->GetStage(0)->Texture[0], engine.Textures->WhiteTexture);
  for (TZNT1Shader* S : {Sky, Wall}) {
    SCOPED_TRACE(S->Name);
    std::vector<TZNT1Texture*> Used;
    for (TZNT1ShaderStage* Stage : S->Stages) Used.push_back(Stage->Texture[0]);
    for (TZNT1Texture* Face : S->Sky.OuterBox) {
      if (Face) Used.push_back(Face);
    }
    S->IncRef();
    for (TZNT1Texture* t : Used) {
      EXPECT_TRUE(t->Uploaded) << t->Name;
      EXPECT_NE(t->Handle, 0u) << t->Name;
    }
    S->DecRef();
    for (TZNT1Texture* t : Used) {
      if (t->ReferenceCounter == 0) {
        EXPECT_FALSE(t->Uploaded) << t->Name;
      }
    }
    EXPECT_FALSE(S->Uploaded);
  }
}
