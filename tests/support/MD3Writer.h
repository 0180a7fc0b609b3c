#pragma once
// Builds MD3 model files in memory for the model tests: header, frames, tags, surfaces with
// shaders, texture coordinates, triangles and frame vertices, laid out the usual way.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace md3test {

using Bytes = std::vector<uint8_t>;

// Header field offsets.
constexpr size_t hVersion = 4, hNumFrames = 76, hNumTags = 80, hNumSurfaces = 84, hNumSkins = 88, hOfsFrames = 92,
                 hOfsTags = 96, hOfsSurfaces = 100, hOfsEnd = 104;
// Surface header field offsets, from the surface's start.
constexpr size_t sNumFrames = 72, sNumShaders = 76, sNumVerts = 80, sNumTriangles = 84, sOfsTriangles = 88,
                 sOfsShaders = 92, sOfsSt = 96, sOfsXyzNormals = 100, sOfsEnd = 104;

struct TVertex {
  int16_t x = 0, y = 0, z = 0;  // 1/64 units
  uint8_t Lat = 0, Lng = 0;     // normal bytes 6 and 7
};

struct TFrame {
  std::array<float, 3> Min{}, Max{}, Origin{};
  float Radius = 0.0f;
  std::string Name;
};

struct TTag {
  std::string Name;
  std::array<float, 3> Origin{};
  std::array<std::array<float, 3>, 3> Axis{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};  // row by row
};

struct TSurface {
  std::string Name;
  std::vector<std::string> Shaders;
  std::vector<std::array<float, 2>> TexCoords;       // one per vertex
  std::vector<std::array<int32_t, 3>> Triangles;
  std::vector<std::vector<TVertex>> Frames;          // [frame][vertex]
};

struct TModel {
  std::string Name = "test";
  std::vector<TFrame> Frames;
  std::vector<std::vector<TTag>> Tags;  // [frame][tag]
  std::vector<TSurface> Surfaces;
};

// Where the writer put things, for tests that damage a file.
struct TLayout {
  size_t OfsFrames = 0, OfsTags = 0, OfsSurfaces = 0, End = 0;
  std::vector<size_t> SurfaceStarts;
};

inline void Put32At(Bytes& b, size_t Offset, int32_t v) { std::memcpy(b.data() + Offset, &v, 4); }
inline int32_t Get32At(const Bytes& b, size_t Offset) {
  int32_t v;
  std::memcpy(&v, b.data() + Offset, 4);
  return v;
}

namespace detail {
inline void Put32(Bytes& b, int32_t v) {
  const size_t o = b.size();
  b.resize(o + 4);
  std::memcpy(b.data() + o, &v, 4);
}
inline void PutF(Bytes& b, float v) {
  const size_t o = b.size();
  b.resize(o + 4);
  std::memcpy(b.data() + o, &v, 4);
}
inline void Put16(Bytes& b, int16_t v) {
  const size_t o = b.size();
  b.resize(o + 2);
  std::memcpy(b.data() + o, &v, 2);
}
// A fixed-size, zero-padded name (cut when longer).
inline void PutName(Bytes& b, const std::string& s, size_t Size) {
  const size_t o = b.size();
  b.resize(o + Size, 0);
  std::memcpy(b.data() + o, s.data(), std::min(s.size(), Size));
}
}  // namespace detail

inline Bytes Write(const TModel& m, TLayout* Layout = nullptr) {
  using namespace detail;
  TLayout l;
  Bytes b;
  const int32_t NumTags = m.Tags.empty() ? 0 : static_cast<int32_t>(m.Tags[0].size());
  b.insert(b.end(), {'I', 'D', 'P', '3'});
  Put32(b, 15);
  PutName(b, m.Name, 64);
  Put32(b, 0);
  Put32(b, static_cast<int32_t>(m.Frames.size()));
  Put32(b, NumTags);
  Put32(b, static_cast<int32_t>(m.Surfaces.size()));
  Put32(b, 0);
  for (int i = 0; i < 4; ++i) Put32(b, 0);  // offsets, patched below
  l.OfsFrames = b.size();
  for (const TFrame& f : m.Frames) {
    for (float v : f.Min) PutF(b, v);
    for (float v : f.Max) PutF(b, v);
    for (float v : f.Origin) PutF(b, v);
    PutF(b, f.Radius);
    PutName(b, f.Name, 16);
  }
  l.OfsTags = b.size();
  for (const auto& Frame : m.Tags)
    for (const TTag& t : Frame) {
      PutName(b, t.Name, 64);
      for (float v : t.Origin) PutF(b, v);
      for (const auto& Row : t.Axis)
        for (float v : Row) PutF(b, v);
    }
  l.OfsSurfaces = b.size();
  for (const TSurface& s : m.Surfaces) {
    const size_t Start = b.size();
    l.SurfaceStarts.push_back(Start);
    const int32_t NumVerts = s.Frames.empty() ? static_cast<int32_t>(s.TexCoords.size())
                                              : static_cast<int32_t>(s.Frames[0].size());
    b.insert(b.end(), {'I', 'D', 'P', '3'});
    PutName(b, s.Name, 64);
    Put32(b, 0);
    Put32(b, static_cast<int32_t>(s.Frames.size()));
    Put32(b, static_cast<int32_t>(s.Shaders.size()));
    Put32(b, NumVerts);
    Put32(b, static_cast<int32_t>(s.Triangles.size()));
    for (int i = 0; i < 5; ++i) Put32(b, 0);  // offsets, patched below
    const size_t OfsShaders = b.size() - Start;
    for (size_t k = 0; k < s.Shaders.size(); ++k) {
      PutName(b, s.Shaders[k], 64);
      Put32(b, static_cast<int32_t>(k));
    }
    const size_t OfsTriangles = b.size() - Start;
    for (const auto& t : s.Triangles)
      for (int32_t i : t) Put32(b, i);
    const size_t OfsSt = b.size() - Start;
    for (const auto& st : s.TexCoords) {
      PutF(b, st[0]);
      PutF(b, st[1]);
    }
    const size_t OfsXyz = b.size() - Start;
    for (const auto& Frame : s.Frames)
      for (const TVertex& v : Frame) {
        Put16(b, v.x);
        Put16(b, v.y);
        Put16(b, v.z);
        b.push_back(v.Lat);
        b.push_back(v.Lng);
      }
    Put32At(b, Start + sOfsTriangles, static_cast<int32_t>(OfsTriangles));
    Put32At(b, Start + sOfsShaders, static_cast<int32_t>(OfsShaders));
    Put32At(b, Start + sOfsSt, static_cast<int32_t>(OfsSt));
    Put32At(b, Start + sOfsXyzNormals, static_cast<int32_t>(OfsXyz));
    Put32At(b, Start + sOfsEnd, static_cast<int32_t>(b.size() - Start));
  }
  l.End = b.size();
  Put32At(b, hOfsFrames, static_cast<int32_t>(l.OfsFrames));
  Put32At(b, hOfsTags, static_cast<int32_t>(l.OfsTags));
  Put32At(b, hOfsSurfaces, static_cast<int32_t>(l.OfsSurfaces));
  Put32At(b, hOfsEnd, static_cast<int32_t>(l.End));
  if (Layout) *Layout = l;
  return b;
}

// A two-frame model whose second frame is the first turned by 90 degrees about z (x, y -> -y, x):
// surface "Body" (two shaders, six vertices, four triangles), surface "Head" (one shader, one
// triangle) and the tags "tag_head" and "tag_weapon". Every normal points along z, which the turn
// keeps, so the second frame's tangents are the first frame's turned.
inline TModel TwoFrameFixture() {
  TModel m;
  m.Name = "fixture";
  const std::vector<TVertex> Body0 = {{0, 0, 0, 0, 0},      {64, 0, 0, 0, 0},    {0, 64, 0, 0, 0},
                                      {64, 64, 32, 0, 0},   {-64, 32, 64, 0, 0}, {32, -64, 16, 0, 0}};
  const std::vector<TVertex> Head0 = {{0, 0, 128, 0, 0}, {32, 0, 128, 0, 0}, {0, 32, 160, 0, 0}};
  auto Turn = [](std::vector<TVertex> v) {
    for (TVertex& p : v) {
      const int16_t x = p.x;
      p.x = static_cast<int16_t>(-p.y);
      p.y = x;
    }
    return v;
  };
  TSurface Body;
  Body.Name = "Body";
  Body.Shaders = {"models/test/Body.tga", "models/test/body_alt"};
  Body.TexCoords = {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {0.5f, 0.25f}, {0.25f, 0.75f}};
  Body.Triangles = {{0, 1, 2}, {1, 3, 2}, {0, 2, 4}, {0, 5, 1}};
  Body.Frames = {Body0, Turn(Body0)};
  TSurface Head;
  Head.Name = "head";
  Head.Shaders = {"models/test/head"};
  Head.TexCoords = {{0, 0}, {1, 0}, {0, 1}};
  Head.Triangles = {{0, 1, 2}};
  Head.Frames = {Head0, Turn(Head0)};
  m.Surfaces = {Body, Head};
  TFrame f0;
  f0.Min = {-1, -1, 0};
  f0.Max = {1, 1, 2.5f};
  f0.Origin = {0, 0, 1};
  f0.Radius = 2;
  f0.Name = "first";
  TFrame f1 = f0;
  f1.Min = {-2, -1, 0};
  f1.Max = {1, 3, 2.5f};
  f1.Origin = {0.5f, 0, 1};
  f1.Name = "second";
  m.Frames = {f0, f1};
  TTag Head0Tag{"tag_head", {0, 0, 2}, {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}};
  TTag Weapon0Tag{"tag_weapon", {1, 0, 1}, {{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}}};
  TTag Head1Tag{"tag_head", {0, 0, 2}, {{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}}};
  TTag Weapon1Tag{"tag_weapon", {0, 1, 1}, {{{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}}};
  m.Tags = {{Head0Tag, Weapon0Tag}, {Head1Tag, Weapon1Tag}};
  return m;
}

}  // namespace md3test
