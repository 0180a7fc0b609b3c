#pragma once
// The one vertex layout of world and model geometry, and a growable vertex/index buffer pair.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/ZNT1Math.h"

class TZNT1Engine;

struct TZNT1VBOVector4b {
  union {
    struct {
      uint8_t x, y, z, w;
    };
    struct {
      uint8_t r, g, b, a;
    };
    uint8_t xyzw[4];
    uint8_t rgba[4];
  };
};

// Stored in the OpenGL buffers exactly as in memory, stride 96.
struct TZNT1VBOVertex {
  union {
    struct {
      TZNT1Vector3 Position;       // attribute 0
      TZNT1Vector2 TexCoord;       // attribute 1
      TZNT1Vector2 LightMapCoord;  // attribute 2
      TZNT1Vector3 Normal;         // attribute 3
      TZNT1Vector4 Tangent;        // attribute 4; w is the handedness, +1 or -1
      TZNT1VBOVector4b Color;      // attribute 5, normalised bytes
      TZNT1Vector4 Middle;         // attribute 6, centre point for sprite deformations
      uint8_t Spare[20];           // keeps the stride at 96
    };
    uint8_t Alignment[96];
  };
};

static_assert(sizeof(TZNT1VBOVector4b) == 4 && offsetof(TZNT1VBOVector4b, a) == 3);
static_assert(sizeof(TZNT1VBOVertex) == 96);
static_assert(offsetof(TZNT1VBOVertex, Position) == 0 && offsetof(TZNT1VBOVertex, TexCoord) == 12 &&
              offsetof(TZNT1VBOVertex, LightMapCoord) == 20 && offsetof(TZNT1VBOVertex, Normal) == 28 &&
              offsetof(TZNT1VBOVertex, Tangent) == 40 && offsetof(TZNT1VBOVertex, Color) == 56 &&
              offsetof(TZNT1VBOVertex, Middle) == 60 && offsetof(TZNT1VBOVertex, Spare) == 76);

using TZNT1VBOVertices = std::vector<TZNT1VBOVertex>;
using TZNT1VBOIndices = std::vector<uint32_t>;

class TZNT1VBO {
 public:
  // The arrays are pre-sized to the counts (capacity only; nothing is in use yet).
  TZNT1VBO(TZNT1Engine* AEngine, bool ADynamicVertices, bool ADynamicIndices, int32_t ACountVertices,
           int32_t ACountIndices);
  ~TZNT1VBO();
  TZNT1VBO(const TZNT1VBO&) = delete;
  TZNT1VBO& operator=(const TZNT1VBO&) = delete;

  // Appends a copy and returns its index; -1 (nothing added) when the capacity limit is reached.
  int32_t AddVertex(const TZNT1VBOVertex& v);
  int32_t AddIndex(uint32_t i);
  // Cuts both arrays to their counts.
  void Finish();
  void FinishTangents();
  void Upload();
  void Update();
  void Dispose();
  void IncRef();
  void DecRef();

  TZNT1Engine* Engine;
  int32_t VerticesVBOHandle = -1;  // -1 before the first upload, 0 after Dispose
  int32_t IndicesVBOHandle = -1;
  bool DynamicVertices;
  bool DynamicIndices;
  TZNT1VBOVertices Vertices;  // the length is the capacity
  TZNT1VBOIndices Indices;
  int32_t CountVertices = 0;
  int32_t CountIndices = 0;
  int32_t ReferenceCounter = 0;
  bool Uploaded = false;

 private:
  bool HasOpenGL() const;
  int32_t MaxVertices() const;
  int32_t MaxIndices() const;
  void SendVertices(bool Whole);
  void SendIndices(bool Whole);
  // Element counts the GL buffers were last allocated with.
  size_t BufferVertexCapacity = 0;
  size_t BufferIndexCapacity = 0;
};

// Tangent (xyz) and handedness (w) of every vertex from positions, texture coordinates and triangles.
void CalculateTangents(TZNT1VBOVertices& Vertices, const std::vector<uint32_t>& Indices);
// A vertex array object over the two buffers with the attribute layout of TZNT1VBOVertex.
int32_t CreateVAO(int32_t VerticesVBOHandle, int32_t IndicesVBOHandle);
// Attribute pointers 0-3, 5 and 6 of the bound array buffer; the tangent (4) is left to the caller.
void BindVBOAttributes();
