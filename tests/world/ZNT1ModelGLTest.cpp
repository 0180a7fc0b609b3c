#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "platform/ZNT1OpenGL.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"
#include "world/ZNT1Model.h"

namespace {

// The two largest models of the content (angelyss 287 frames, sorceress 325 frames in two buffers
// per mesh at the limit of 65,536 vertices).
const char* const Largest[] = {"models/players/angelyss/lower.md3", "models/players/sorceress/lower.md3"};

class ModelGL : public GLEngineFixture {
 protected:
  static std::vector<uint8_t> BufferBytes(GLenum Target, int32_t Handle, size_t Size) {
    std::vector<uint8_t> Bytes(Size);
    glBindBuffer(Target, static_cast<GLuint>(Handle));
    glGetBufferSubData(Target, 0, static_cast<GLsizeiptr>(Size), Bytes.data());
    glBindBuffer(Target, 0);
    return Bytes;
  }

  // Every buffer of the model and of its reduced models.
  static std::vector<TZNT1VBO*> Buffers(TZNT1Model* Model) {
    std::vector<TZNT1VBO*> Result;
    for (TZNT1Model* m : Model->LevelOfDetail)
      for (TZNT1ModelMesh& Mesh : m->Meshs)
        for (auto& VBO : Mesh.VBOs) Result.push_back(VBO.get());
    return Result;
  }
};

}  // namespace

TEST_F(ModelGL, ReferencedBuffersHoldTheArraysAndTheLastReleaseDeletesThem) {
  REQUIRE_CONTENT_DIR();
  ASSERT_TRUE(engine.Archives->LoadDirectory(testdata::ContentDir() + "/"));
  engine.Archives->Finish();
  TZNT1Models Library(&engine);
  for (const char* Name : Largest) {
    SCOPED_TRACE(Name);
    TZNT1Model* Model = Library.GetModel(Name);
    ASSERT_NE(Model, nullptr);
    const std::vector<TZNT1VBO*> VBOs = Buffers(Model);
    Model->IncRef();
    Model->IncRef();
    std::vector<GLuint> Handles;
    for (TZNT1VBO* VBO : VBOs) {
      ASSERT_TRUE(VBO->Uploaded);
      ASSERT_GT(VBO->VerticesVBOHandle, 0);
      ASSERT_GT(VBO->IndicesVBOHandle, 0);
      Handles.push_back(GLuint(VBO->VerticesVBOHandle));
      Handles.push_back(GLuint(VBO->IndicesVBOHandle));
      const size_t VertexBytes = VBO->Vertices.size() * sizeof(TZNT1VBOVertex);
      const size_t IndexBytes = VBO->Indices.size() * sizeof(uint32_t);
      EXPECT_EQ(std::memcmp(BufferBytes(GL_ARRAY_BUFFER, VBO->VerticesVBOHandle, VertexBytes).data(),
                            VBO->Vertices.data(), VertexBytes),
                0);
      EXPECT_EQ(std::memcmp(BufferBytes(GL_ELEMENT_ARRAY_BUFFER, VBO->IndicesVBOHandle, IndexBytes).data(),
                            VBO->Indices.data(), IndexBytes),
                0);
    }
    Model->DecRef();
    for (GLuint Handle : Handles) EXPECT_TRUE(glIsBuffer(Handle));
    Model->DecRef();
    for (GLuint Handle : Handles) EXPECT_FALSE(glIsBuffer(Handle)) << Handle;
    for (TZNT1VBO* VBO : VBOs) {
      EXPECT_FALSE(VBO->Uploaded);
      EXPECT_EQ(VBO->VerticesVBOHandle, 0);
      EXPECT_FALSE(VBO->Vertices.empty());  // kept for the next upload
    }
  }
}

TEST_F(ModelGL, DedicatedEngineMakesNoBuffers) {
  REQUIRE_CONTENT_DIR();
  TZNT1Engine Dedicated{&CreateGameOfClass<TZNT1Game>, true};
  ASSERT_TRUE(Dedicated.Archives->LoadDirectory(testdata::ContentDir() + "/"));
  Dedicated.Archives->Finish();
  TZNT1Models Library(&Dedicated);
  TZNT1Model* Model = Library.GetModel(Largest[1]);
  ASSERT_NE(Model, nullptr);
  Model->IncRef();
  Library.Dispose();
  Library.Upload();
  for (TZNT1VBO* VBO : Buffers(Model)) {
    EXPECT_TRUE(VBO->Uploaded);
    EXPECT_EQ(VBO->VerticesVBOHandle, -1);
    EXPECT_EQ(VBO->IndicesVBOHandle, -1);
  }
  Model->DecRef();
}
