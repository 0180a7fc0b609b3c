#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "gpu/ZNT1FrameBufferObject.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1VBO.h"
#include "platform/ZNT1OpenGL.h"
#include "support/GLContextFixture.h"

namespace {

class VBOGL : public GLEngineFixture {
 protected:
  static TZNT1VBOVertex Vertex(float x, float y, uint8_t Red) {
    TZNT1VBOVertex v{};
    v.Position = Vector3(x, y, 0);
    v.Color.r = Red;
    v.Color.a = 255;
    v.Middle = Vector4(x, y, 0, 1);
    return v;
  }

  static GLint BufferInt(GLenum Target, GLint Handle, GLenum Name) {
    GLint Value = -1;
    glBindBuffer(Target, static_cast<GLuint>(Handle));
    glGetBufferParameteriv(Target, Name, &Value);
    glBindBuffer(Target, 0);
    return Value;
  }

  static std::vector<uint8_t> BufferBytes(GLenum Target, GLint Handle, size_t Size) {
    std::vector<uint8_t> Bytes(Size);
    glBindBuffer(Target, static_cast<GLuint>(Handle));
    glGetBufferSubData(Target, 0, static_cast<GLsizeiptr>(Size), Bytes.data());
    glBindBuffer(Target, 0);
    return Bytes;
  }

};

}  // namespace

TEST_F(VBOGL, UploadSendsTheWholeCapacityAndUpdateRewritesTheUsedPart) {
  TZNT1VBO vbo(&engine, true, false, 16, 32);
  for (int i = 0; i < 10; ++i) vbo.AddVertex(Vertex(float(i), 0, 1));
  for (uint32_t i = 0; i < 30; ++i) vbo.AddIndex(i % 10);
  vbo.IncRef();
  ASSERT_TRUE(vbo.Uploaded);
  ASSERT_GT(vbo.VerticesVBOHandle, 0);
  ASSERT_GT(vbo.IndicesVBOHandle, 0);
  EXPECT_EQ(BufferInt(GL_ARRAY_BUFFER, vbo.VerticesVBOHandle, GL_BUFFER_SIZE), 16 * 96);
  EXPECT_EQ(BufferInt(GL_ARRAY_BUFFER, vbo.VerticesVBOHandle, GL_BUFFER_USAGE), GL_DYNAMIC_DRAW);
  EXPECT_EQ(BufferInt(GL_ELEMENT_ARRAY_BUFFER, vbo.IndicesVBOHandle, GL_BUFFER_SIZE), 32 * 4);
  EXPECT_EQ(BufferInt(GL_ELEMENT_ARRAY_BUFFER, vbo.IndicesVBOHandle, GL_BUFFER_USAGE), GL_STATIC_DRAW);
  std::vector<uint8_t> Bytes = BufferBytes(GL_ARRAY_BUFFER, vbo.VerticesVBOHandle, 16 * 96);
  EXPECT_EQ(std::memcmp(Bytes.data(), vbo.Vertices.data(), 16 * 96), 0);

  // Rewrite all sixteen slots; only the ten in use (960 bytes) may reach the buffer.
  for (int i = 0; i < 16; ++i) vbo.Vertices[i] = Vertex(float(100 + i), 0, 2);
  const std::vector<TZNT1VBOVertex> Before(reinterpret_cast<const TZNT1VBOVertex*>(Bytes.data()),
                                           reinterpret_cast<const TZNT1VBOVertex*>(Bytes.data()) + 16);
  vbo.Update();
  Bytes = BufferBytes(GL_ARRAY_BUFFER, vbo.VerticesVBOHandle, 16 * 96);
  EXPECT_EQ(std::memcmp(Bytes.data(), vbo.Vertices.data(), 960), 0);
  EXPECT_EQ(std::memcmp(Bytes.data() + 960, &Before[10], 6 * 96), 0);
  // The index buffer is static: Update leaves it.
  vbo.Indices[0] = 9;
  vbo.Update();
  std::vector<uint8_t> IndexBytes = BufferBytes(GL_ELEMENT_ARRAY_BUFFER, vbo.IndicesVBOHandle, 4);
  EXPECT_EQ(IndexBytes[0], 0);
}

TEST_F(VBOGL, UpdateGrowsABufferTheArrayHasOutgrown) {
  TZNT1VBO vbo(&engine, true, true, 4, 4);
  vbo.IncRef();
  ASSERT_EQ(BufferInt(GL_ARRAY_BUFFER, vbo.VerticesVBOHandle, GL_BUFFER_SIZE), 4 * 96);
  for (int i = 0; i < 10; ++i) vbo.AddVertex(Vertex(float(i), 1, 3));
  for (uint32_t i = 0; i < 10; ++i) vbo.AddIndex(i);
  vbo.Update();
  EXPECT_EQ(BufferInt(GL_ARRAY_BUFFER, vbo.VerticesVBOHandle, GL_BUFFER_SIZE), 16 * 96);
  EXPECT_EQ(BufferInt(GL_ELEMENT_ARRAY_BUFFER, vbo.IndicesVBOHandle, GL_BUFFER_SIZE), 16 * 4);
  std::vector<uint8_t> Bytes = BufferBytes(GL_ARRAY_BUFFER, vbo.VerticesVBOHandle, 10 * 96);
  EXPECT_EQ(std::memcmp(Bytes.data(), vbo.Vertices.data(), 10 * 96), 0);
  std::vector<uint8_t> IndexBytes = BufferBytes(GL_ELEMENT_ARRAY_BUFFER, vbo.IndicesVBOHandle, 10 * 4);
  EXPECT_EQ(std::memcmp(IndexBytes.data(), vbo.Indices.data(), 10 * 4), 0);
  // A count set past the array is never read beyond it.
  vbo.CountVertices = 1000;
  vbo.Update();
}

TEST_F(VBOGL, DecRefToZeroDeletesTheBuffersAndIncRefRebuildsThemFromTheKeptArrays) {
  TZNT1VBO vbo(&engine, false, false, 0, 0);
  for (int i = 0; i < 3; ++i) vbo.AddVertex(Vertex(float(i), 2, 4));
  for (uint32_t i : {0u, 1u, 2u}) vbo.AddIndex(i);
  vbo.Finish();
  vbo.IncRef();
  const GLint OldVertices = vbo.VerticesVBOHandle, OldIndices = vbo.IndicesVBOHandle;
  ASSERT_TRUE(glIsBuffer(static_cast<GLuint>(OldVertices)));
  vbo.DecRef();
  EXPECT_FALSE(vbo.Uploaded);
  EXPECT_EQ(vbo.VerticesVBOHandle, 0);
  EXPECT_EQ(vbo.IndicesVBOHandle, 0);
  EXPECT_FALSE(glIsBuffer(static_cast<GLuint>(OldVertices)));
  EXPECT_FALSE(glIsBuffer(static_cast<GLuint>(OldIndices)));
  ASSERT_EQ(vbo.Vertices.size(), 3u);
  EXPECT_EQ(vbo.Vertices[2].Position.x, 2.0f);
  vbo.IncRef();
  ASSERT_GT(vbo.VerticesVBOHandle, 0);
  EXPECT_EQ(BufferInt(GL_ARRAY_BUFFER, vbo.VerticesVBOHandle, GL_BUFFER_SIZE), 3 * 96);
  std::vector<uint8_t> Bytes = BufferBytes(GL_ARRAY_BUFFER, vbo.VerticesVBOHandle, 3 * 96);
  EXPECT_EQ(std::memcmp(Bytes.data(), vbo.Vertices.data(), 3 * 96), 0);
}

TEST_F(VBOGL, VertexArrayObjectCarriesTheLayoutAndDraws) {
  TZNT1VBO vbo(&engine, false, false, 0, 0);
  // A triangle covering the lower left half of the target, in the red of its vertex colour.
  vbo.AddVertex(Vertex(-1, -1, 255));
  vbo.AddVertex(Vertex(1, -1, 255));
  vbo.AddVertex(Vertex(-1, 1, 255));
  for (uint32_t i : {0u, 1u, 2u}) vbo.AddIndex(i);
  vbo.Finish();
  vbo.IncRef();
  const GLuint VAO = static_cast<GLuint>(CreateVAO(vbo.VerticesVBOHandle, vbo.IndicesVBOHandle));
  ASSERT_NE(VAO, 0u);
  glBindVertexArray(VAO);
  GLint Value = 0;
  glGetIntegerv(GL_ELEMENT_ARRAY_BUFFER_BINDING, &Value);
  EXPECT_EQ(Value, vbo.IndicesVBOHandle);
  struct Attribute {
    GLuint Index;
    GLint Size;
    GLenum Type;
    GLint Normalized;
    size_t Offset;
  };
  const Attribute Layout[] = {{0, 3, GL_FLOAT, 0, 0},  {1, 2, GL_FLOAT, 0, 12},        {2, 2, GL_FLOAT, 0, 20},
                              {3, 3, GL_FLOAT, 0, 28}, {4, 4, GL_FLOAT, 0, 40},        {5, 4, GL_UNSIGNED_BYTE, 1, 56},
                              {6, 4, GL_FLOAT, 0, 60}};
  for (const Attribute& a : Layout) {
    SCOPED_TRACE(a.Index);
    GLint Enabled = 0, Size = 0, Type = 0, Normalized = -1, Stride = 0, Buffer = 0;
    void* Pointer = nullptr;
    glGetVertexAttribiv(a.Index, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &Enabled);
    glGetVertexAttribiv(a.Index, GL_VERTEX_ATTRIB_ARRAY_SIZE, &Size);
    glGetVertexAttribiv(a.Index, GL_VERTEX_ATTRIB_ARRAY_TYPE, &Type);
    glGetVertexAttribiv(a.Index, GL_VERTEX_ATTRIB_ARRAY_NORMALIZED, &Normalized);
    glGetVertexAttribiv(a.Index, GL_VERTEX_ATTRIB_ARRAY_STRIDE, &Stride);
    glGetVertexAttribiv(a.Index, GL_VERTEX_ATTRIB_ARRAY_BUFFER_BINDING, &Buffer);
    glGetVertexAttribPointerv(a.Index, GL_VERTEX_ATTRIB_ARRAY_POINTER, &Pointer);
    EXPECT_EQ(Enabled, 1);
    EXPECT_EQ(Size, a.Size);
    EXPECT_EQ(static_cast<GLenum>(Type), a.Type);
    EXPECT_EQ(Normalized, a.Normalized);
    EXPECT_EQ(Stride, 96);
    EXPECT_EQ(Buffer, vbo.VerticesVBOHandle);
    EXPECT_EQ(reinterpret_cast<size_t>(Pointer), a.Offset);
  }

  const char* VertexSource =
      "#version 130\nin vec3 aPosition;\nin vec4 aColor;\nout vec4 vColor;\n"
      "void main(){vColor=aColor;gl_Position=vec4(aPosition,1.0);}\n";
  const char* FragmentSource = "#version 130\nin vec4 vColor;\nout vec4 oColor;\nvoid main(){oColor=vColor;}\n";
  GLuint Program = glCreateProgram();
  for (auto [Kind, Source] : {std::pair{GL_VERTEX_SHADER, VertexSource}, std::pair{GL_FRAGMENT_SHADER, FragmentSource}}) {
    GLuint Shader = glCreateShader(Kind);
    glShaderSource(Shader, 1, &Source, nullptr);
    glCompileShader(Shader);
    glAttachShader(Program, Shader);
    glDeleteShader(Shader);
  }
  glBindAttribLocation(Program, 0, "aPosition");
  glBindAttribLocation(Program, 5, "aColor");
  glLinkProgram(Program);
  GLint Linked = 0;
  glGetProgramiv(Program, GL_LINK_STATUS, &Linked);
  ASSERT_EQ(Linked, GL_TRUE);

  TZNT1FrameBufferObject Target(&engine, 8, 8, 1, false, false, true, false, false, false, {GL_TEXTURE_RGBA8}, false,
                                0);
  Target.Bind();
  glViewport(0, 0, 8, 8);
  glClearColor(0, 0, 1, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  glUseProgram(Program);
  glDrawElements(GL_TRIANGLES, 3, GL_UNSIGNED_INT, nullptr);
  glUseProgram(0);
  glBindVertexArray(0);
  uint8_t Pixels[2][4] = {};
  glReadPixels(1, 1, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, Pixels[0]);  // inside the triangle
  glReadPixels(6, 6, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, Pixels[1]);  // outside
  Target.Unbind();
  EXPECT_EQ(Pixels[0][0], 255);
  EXPECT_EQ(Pixels[0][2], 0);
  EXPECT_EQ(Pixels[1][0], 0);
  EXPECT_EQ(Pixels[1][2], 255);
  glDeleteProgram(Program);
  glDeleteVertexArrays(1, &VAO);
}

TEST_F(VBOGL, BindVBOAttributesLeavesTheTangentToTheCaller) {
  TZNT1VBO vbo(&engine, false, false, 4, 4);
  vbo.IncRef();
  GLuint VAO = 0;
  glGenVertexArrays(1, &VAO);
  glBindVertexArray(VAO);
  glBindBuffer(GL_ARRAY_BUFFER, static_cast<GLuint>(vbo.VerticesVBOHandle));
  BindVBOAttributes();
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  for (GLuint Index = 0; Index <= 6; ++Index) {
    GLint Enabled = -1;
    glGetVertexAttribiv(Index, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &Enabled);
    EXPECT_EQ(Enabled, Index == 4 ? 0 : 1) << Index;
  }
  glBindVertexArray(0);
  glDeleteVertexArrays(1, &VAO);
}
