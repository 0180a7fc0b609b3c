#include "gpu/ZNT1VBO.h"

#include <algorithm>
#include <cmath>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "platform/ZNT1OpenGL.h"

namespace {

// The limits in force before the capability probe has run.
const TZNT1GLCapabilities& DefaultCapabilities() {
  static const TZNT1GLCapabilities Defaults(nullptr);
  return Defaults;
}

const TZNT1GLCapabilities& CapabilitiesOf(const TZNT1Engine* Engine) {
  if (Engine && Engine->GLCapabilities) return *Engine->GLCapabilities;
  return DefaultCapabilities();
}

const void* BufferOffset(size_t Offset) { return reinterpret_cast<const void*>(Offset); }

bool IsFinite(const TZNT1Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Some unit vector perpendicular to the unit vector n (x axis when n is zero).
TZNT1Vector3 AnyPerpendicular(const TZNT1Vector3& n) {
  if (Vector3LengthSquared(n) <= 0.0f) return Vector3(1, 0, 0);
  const float ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
  TZNT1Vector3 axis = (ax <= ay && ax <= az) ? Vector3(1, 0, 0) : (ay <= az ? Vector3(0, 1, 0) : Vector3(0, 0, 1));
  return Vector3Norm(Vector3Sub(axis, Vector3ScalarMul(n, Vector3Dot(n, axis))));
}

}  // namespace

TZNT1VBO::TZNT1VBO(TZNT1Engine* AEngine, bool ADynamicVertices, bool ADynamicIndices, int32_t ACountVertices,
                   int32_t ACountIndices)
    : Engine(AEngine), DynamicVertices(ADynamicVertices), DynamicIndices(ADynamicIndices) {
  if (ACountVertices > 0) Vertices.resize(static_cast<size_t>(ACountVertices));
  if (ACountIndices > 0) Indices.resize(static_cast<size_t>(ACountIndices));
}

TZNT1VBO::~TZNT1VBO() { Dispose(); }

bool TZNT1VBO::HasOpenGL() const { return Engine && !Engine->Dedicated; }
int32_t TZNT1VBO::MaxVertices() const { return CapabilitiesOf(Engine).MaxElementsVertices; }
int32_t TZNT1VBO::MaxIndices() const { return CapabilitiesOf(Engine).MaxElementsIndices; }

int32_t TZNT1VBO::AddVertex(const TZNT1VBOVertex& v) {
  const int32_t n = CountVertices;
  if (n < 0 || n >= MaxVertices()) return -1;
  CountVertices = n + 1;
  if (Vertices.size() <= static_cast<size_t>(n) + 1) Vertices.resize(RoundUpToPowerOfTwo(static_cast<uint32_t>(n) + 1));
  Vertices[static_cast<size_t>(n)] = v;
  return n;
}

int32_t TZNT1VBO::AddIndex(uint32_t i) {
  const int32_t n = CountIndices;
  if (n < 0 || n >= MaxIndices()) return -1;
  CountIndices = n + 1;
  if (Indices.size() <= static_cast<size_t>(n) + 1) Indices.resize(RoundUpToPowerOfTwo(static_cast<uint32_t>(n) + 1));
  Indices[static_cast<size_t>(n)] = i;
  return n;
}

void TZNT1VBO::Finish() {
  Vertices.resize(static_cast<size_t>(std::max(CountVertices, 0)));
  Vertices.shrink_to_fit();
  Indices.resize(static_cast<size_t>(std::max(CountIndices, 0)));
  Indices.shrink_to_fit();
}

void TZNT1VBO::FinishTangents() {
  Finish();
  CalculateTangents(Vertices, Indices);
}

// Whole: allocate the buffer from the whole array (spare capacity included); otherwise
// replace the used part, growing the buffer first when the array has outgrown it.
void TZNT1VBO::SendVertices(bool Whole) {
  glBindBuffer(GL_ARRAY_BUFFER, static_cast<GLuint>(VerticesVBOHandle));
  if (Whole || Vertices.size() > BufferVertexCapacity) {
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(Vertices.size() * sizeof(TZNT1VBOVertex)), Vertices.data(),
                 DynamicVertices ? GL_DYNAMIC_DRAW : GL_STATIC_DRAW);
    BufferVertexCapacity = Vertices.size();
  } else {
    const size_t Count = std::min(static_cast<size_t>(std::max(CountVertices, 0)), Vertices.size());
    glBufferSubData(GL_ARRAY_BUFFER, 0, static_cast<GLsizeiptr>(Count * sizeof(TZNT1VBOVertex)), Vertices.data());
  }
  glBindBuffer(GL_ARRAY_BUFFER, 0);
}

void TZNT1VBO::SendIndices(bool Whole) {
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLuint>(IndicesVBOHandle));
  if (Whole || Indices.size() > BufferIndexCapacity) {
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(Indices.size() * sizeof(uint32_t)), Indices.data(),
                 DynamicIndices ? GL_DYNAMIC_DRAW : GL_STATIC_DRAW);
    BufferIndexCapacity = Indices.size();
  } else {
    const size_t Count = std::min(static_cast<size_t>(std::max(CountIndices, 0)), Indices.size());
    glBufferSubData(GL_ELEMENT_ARRAY_BUFFER, 0, static_cast<GLsizeiptr>(Count * sizeof(uint32_t)), Indices.data());
  }
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
}

void TZNT1VBO::Upload() {
  if (ReferenceCounter <= 0 || Uploaded) return;
  Uploaded = true;
  if (!HasOpenGL()) return;
  GLuint Handle = 0;
  glGenBuffers(1, &Handle);
  VerticesVBOHandle = static_cast<int32_t>(Handle);
  SendVertices(true);
  Handle = 0;
  glGenBuffers(1, &Handle);
  IndicesVBOHandle = static_cast<int32_t>(Handle);
  SendIndices(true);
}

void TZNT1VBO::Update() {
  if (ReferenceCounter <= 0) return;
  if (!Uploaded) {
    Upload();
    return;
  }
  if (!HasOpenGL()) return;
  if (DynamicVertices) SendVertices(false);
  if (DynamicIndices) SendIndices(false);
}

void TZNT1VBO::Dispose() {
  if (!Uploaded) return;
  Uploaded = false;
  if (!HasOpenGL()) return;
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  GLuint Handles[2] = {static_cast<GLuint>(VerticesVBOHandle), static_cast<GLuint>(IndicesVBOHandle)};
  glDeleteBuffers(2, Handles);
  VerticesVBOHandle = 0;
  IndicesVBOHandle = 0;
  BufferVertexCapacity = 0;
  BufferIndexCapacity = 0;
}

void TZNT1VBO::IncRef() {
  ++ReferenceCounter;
  Upload();
}

void TZNT1VBO::DecRef() {
  if (ReferenceCounter <= 0) return;
  if (--ReferenceCounter == 0) Dispose();
}

void CalculateTangents(TZNT1VBOVertices& Vertices, const std::vector<uint32_t>& Indices) {
  const size_t Count = Vertices.size();
  std::vector<TZNT1Vector3> Tangents(Count, Vector3Origin), Bitangents(Count, Vector3Origin);
  for (size_t i = 0; i + 2 < Indices.size(); i += 3) {
    const uint32_t i0 = Indices[i], i1 = Indices[i + 1], i2 = Indices[i + 2];
    if (i0 >= Count || i1 >= Count || i2 >= Count) continue;  // a bad index must not read past the array
    const TZNT1VBOVertex &v0 = Vertices[i0], &v1 = Vertices[i1], &v2 = Vertices[i2];
    const TZNT1Vector3 e1 = Vector3Sub(v1.Position, v0.Position), e2 = Vector3Sub(v2.Position, v0.Position);
    const TZNT1Vector2 d1 = Vector2Sub(v1.TexCoord, v0.TexCoord), d2 = Vector2Sub(v2.TexCoord, v0.TexCoord);
    const TZNT1Vector3 N = Vector3Cross(e2, e1);
    // Unscaled by the texture-space determinant: larger triangles weigh more.
    TZNT1Vector3 T = Vector3Sub(Vector3ScalarMul(e2, d1.y), Vector3ScalarMul(e1, d2.y));
    TZNT1Vector3 B = Vector3Sub(Vector3ScalarMul(e2, d1.x), Vector3ScalarMul(e1, d2.x));
    if (Vector3Dot(Vector3Cross(B, T), N) < 0) {
      T = Vector3Neg(T);
      B = Vector3Neg(B);
    }
    // One broken triangle must not spoil the vertices it shares with sound ones.
    if (!IsFinite(T) || !IsFinite(B)) continue;
    for (uint32_t k : {i0, i1, i2}) {
      Tangents[k] = Vector3Add(Tangents[k], T);
      Bitangents[k] = Vector3Add(Bitangents[k], B);
    }
  }
  for (size_t k = 0; k < Count; ++k) {
    TZNT1VBOVertex& v = Vertices[k];
    TZNT1Vector3 n = IsFinite(v.Normal) ? Vector3Norm(v.Normal) : Vector3Origin;
    const TZNT1Vector3& T = Tangents[k];
    // Project with the unit normal: a stored normal that is not of unit length would otherwise
    // leave part of the normal in the tangent.
    TZNT1Vector3 t = Vector3Sub(T, Vector3ScalarMul(n, Vector3Dot(n, T)));
    const float Length = Vector3Length(t);
    // Nothing left after the projection (no triangle, degenerate texture coordinates, or a tangent
    // along the normal): any direction in the surface keeps shaders clear of normalize(0).
    const bool Usable = std::isfinite(Length) && Length > EPSILON && Length > 1e-5f * Vector3Length(T);
    t = Usable ? Vector3ScalarMul(t, 1.0f / Length) : AnyPerpendicular(n);
    const float Handedness = Vector3Dot(Vector3Cross(n, Vector3Norm(T)), Vector3Norm(Bitangents[k]));
    v.Tangent = Vector4(t, Handedness < 0 ? -1.0f : 1.0f);
  }
}

void BindVBOAttributes() {
  constexpr GLsizei Stride = sizeof(TZNT1VBOVertex);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, Stride, BufferOffset(offsetof(TZNT1VBOVertex, Position)));
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, Stride, BufferOffset(offsetof(TZNT1VBOVertex, TexCoord)));
  glEnableVertexAttribArray(1);
  glVertexAttribPointer(2, 2, GL_FLOAT, GL_FALSE, Stride, BufferOffset(offsetof(TZNT1VBOVertex, LightMapCoord)));
  glEnableVertexAttribArray(2);
  glVertexAttribPointer(3, 3, GL_FLOAT, GL_FALSE, Stride, BufferOffset(offsetof(TZNT1VBOVertex, Normal)));
  glEnableVertexAttribArray(3);
  glVertexAttribPointer(5, 4, GL_UNSIGNED_BYTE, GL_TRUE, Stride, BufferOffset(offsetof(TZNT1VBOVertex, Color)));
  glEnableVertexAttribArray(5);
  glVertexAttribPointer(6, 4, GL_FLOAT, GL_FALSE, Stride, BufferOffset(offsetof(TZNT1VBOVertex, Middle)));
  glEnableVertexAttribArray(6);
}

int32_t CreateVAO(int32_t VerticesVBOHandle, int32_t IndicesVBOHandle) {
  GLuint VAO = 0;
  glGenVertexArrays(1, &VAO);
  glBindVertexArray(VAO);
  glBindBuffer(GL_ARRAY_BUFFER, static_cast<GLuint>(VerticesVBOHandle));
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLuint>(IndicesVBOHandle));
  BindVBOAttributes();
  // A vertex array object stands in for the whole per-draw binding, so it carries the tangent too.
  glVertexAttribPointer(4, 4, GL_FLOAT, GL_FALSE, sizeof(TZNT1VBOVertex),
                        BufferOffset(offsetof(TZNT1VBOVertex, Tangent)));
  glEnableVertexAttribArray(4);
  glBindVertexArray(0);
  return static_cast<int32_t>(VAO);
}
