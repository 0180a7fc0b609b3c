#include "world/ZNT1Model.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Stream.h"
#include "core/ZNT1StringList.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "material/ZNT1Shader.h"
#include "world/ZNT1BSP.h"

namespace {

constexpr int64_t MD3HeaderSize = 108;
constexpr int64_t MD3FrameSize = 56;
constexpr int64_t MD3TagSize = 112;
constexpr int64_t MD3SurfaceHeaderSize = 108;
constexpr int64_t MD3TriangleSize = 12;
constexpr int64_t MD3ShaderSize = 68;
constexpr int64_t MD3TexCoordSize = 8;
constexpr int64_t MD3VertexSize = 8;
constexpr int32_t MD3Version = 15;

// Bounds-checked little-endian reads over the whole file in memory.
class TMD3Reader {
 public:
  TMD3Reader(const uint8_t* AData, int64_t ASize) : Data(AData), Size(ASize) {}

  // Count records of RecordSize bytes at Offset lie inside the file (negative counts never do).
  bool Fits(int64_t Offset, int64_t Count, int64_t RecordSize) const {
    return Offset >= 0 && Offset <= Size && Count >= 0 && Count <= (Size - Offset) / RecordSize;
  }
  int32_t Int32(int64_t Offset) const {
    uint32_t v;
    std::memcpy(&v, Data + Offset, 4);
    return static_cast<int32_t>(v);
  }
  int16_t Int16(int64_t Offset) const {
    uint16_t v;
    std::memcpy(&v, Data + Offset, 2);
    return static_cast<int16_t>(v);
  }
  float Single(int64_t Offset) const {
    float v;
    std::memcpy(&v, Data + Offset, 4);
    return v;
  }
  TZNT1Vector3 Vector(int64_t Offset) const {
    return Vector3(Single(Offset), Single(Offset + 4), Single(Offset + 8));
  }
  uint8_t Byte(int64_t Offset) const { return Data[Offset]; }
  // A zero-terminated string of at most MaxLength bytes.
  std::string String(int64_t Offset, int64_t MaxLength) const {
    const char* p = reinterpret_cast<const char*>(Data + Offset);
    const size_t n = strnlen(p, static_cast<size_t>(std::min(MaxLength, Size - Offset)));
    return std::string(p, n);
  }
  bool Ident(int64_t Offset) const { return std::memcmp(Data + Offset, "IDP3", 4) == 0; }

 private:
  const uint8_t* Data;
  int64_t Size;
};

std::string LowerCase(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Trims control characters and spaces at both ends.
std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// The extension starts at the last "." after the last path delimiter.
std::string ChangeFileExt(const std::string& FileName, const std::string& Extension) {
  const size_t Dot = FileName.find_last_of('.');
  const size_t Slash = FileName.find_last_of("/\\:");
  if (Dot == std::string::npos || (Slash != std::string::npos && Dot < Slash)) return FileName + Extension;
  return FileName.substr(0, Dot) + Extension;
}

std::string ExtractFileExt(const std::string& FileName) {
  const size_t Dot = FileName.find_last_of('.');
  const size_t Slash = FileName.find_last_of("/\\:");
  if (Dot == std::string::npos || (Slash != std::string::npos && Dot < Slash)) return std::string();
  return FileName.substr(Dot);
}

std::string ReplaceAll(std::string s, const std::string& What, const std::string& With) {
  if (What.empty()) return s;
  for (size_t p = s.find(What); p != std::string::npos; p = s.find(What, p + With.size()))
    s.replace(p, What.size(), With);
  return s;
}

int32_t MaxVerticesPerBuffer(const TZNT1Engine* Engine) {
  if (Engine && Engine->GLCapabilities) return Engine->GLCapabilities->MaxElementsVertices;
  return TZNT1GLCapabilities(nullptr).MaxElementsVertices;
}

int32_t MaxIndicesPerBuffer(const TZNT1Engine* Engine) {
  if (Engine && Engine->GLCapabilities) return Engine->GLCapabilities->MaxElementsIndices;
  return TZNT1GLCapabilities(nullptr).MaxElementsIndices;
}

// sin and cos of b * 2 pi / 255 for every normal byte.
struct TNormalTable {
  float Sin[256], Cos[256];
  TNormalTable() {
    for (int i = 0; i < 256; ++i) {
      const double a = i * (2.0 * 3.14159265358979323846) / 255.0;
      Sin[i] = static_cast<float>(std::sin(a));
      Cos[i] = static_cast<float>(std::cos(a));
    }
  }
};

TZNT1Vector3 DecodeNormal(uint8_t Lat, uint8_t Lng) {
  static const TNormalTable Table;
  return Vector3Norm(Vector3(Table.Cos[Lng] * Table.Sin[Lat], Table.Sin[Lng] * Table.Sin[Lat], Table.Cos[Lat]));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Mesh

bool TZNT1ModelMesh::InterpolateFrames(int32_t Frame0, int32_t Frame1, float Weight, TZNT1VBOVertices& Target) const {
  const int32_t FrameCount = static_cast<int32_t>(VBOFrames.size());
  if (Frame0 < 0 || Frame1 < 0 || Frame0 >= FrameCount || Frame1 >= FrameCount) return false;
  const int32_t n = VerticesPerFrame;
  if (n < 0 || Target.size() < static_cast<size_t>(n)) return false;
  const TZNT1VBOVertex* Source[2] = {nullptr, nullptr};
  const int32_t Frame[2] = {Frame0, Frame1};
  for (int k = 0; k < 2; ++k) {
    const TZNT1ModelMeshVBOFrame& f = VBOFrames[static_cast<size_t>(Frame[k])];
    if (f.VBOIndex < 0 || static_cast<size_t>(f.VBOIndex) >= VBOs.size() || !VBOs[static_cast<size_t>(f.VBOIndex)])
      return false;
    const TZNT1VBO& Buffer = *VBOs[static_cast<size_t>(f.VBOIndex)];
    const int64_t Available = std::min<int64_t>(Buffer.CountVertices, static_cast<int64_t>(Buffer.Vertices.size()));
    if (f.StartVertex < 0 || int64_t{f.StartVertex} + n > Available) return false;
    Source[k] = Buffer.Vertices.data() + f.StartVertex;
  }
  const TZNT1VBOVertex* __restrict a = Source[0];
  const TZNT1VBOVertex* __restrict b = Source[1];
  TZNT1VBOVertex* __restrict t = Target.data();
  // (1 - w) a + w b gives either frame exactly at the ends. Position, both coordinates, normal and
  // tangent are the record's first 14 floats; colour and centre follow them and are copied.
  constexpr size_t Blended = offsetof(TZNT1VBOVertex, Color) / sizeof(float);
  constexpr size_t Copied = offsetof(TZNT1VBOVertex, Spare) - offsetof(TZNT1VBOVertex, Color);
  static_assert(Blended == 14 && Copied == 20);
  constexpr int32_t Ahead = 16;
  const float wb = Weight, wa = 1.0f - Weight;
  for (int32_t j = 0; j < n; ++j) {
    // Two streams at a 96-byte stride: fetching ahead keeps the memory busy.
    if (j + Ahead < n) {
      __builtin_prefetch(&a[j + Ahead]);
      __builtin_prefetch(&b[j + Ahead]);
    }
    float fa[Blended], fb[Blended], ft[Blended];
    std::memcpy(fa, &a[j], sizeof(fa));
    std::memcpy(fb, &b[j], sizeof(fb));
    for (size_t k = 0; k < Blended; ++k) ft[k] = wa * fa[k] + wb * fb[k];
    std::memcpy(&t[j], ft, sizeof(ft));
    std::memcpy(&t[j].Color, &a[j].Color, Copied);
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Model

TZNT1Model::TZNT1Model(TZNT1Engine* AEngine, TZNT1Models* AModels) : Engine(AEngine), Models(AModels) {
  LevelOfDetail.push_back(this);
}

TZNT1Model::~TZNT1Model() {
  Dispose();
  DequeueHash();
  while (!Instances.empty()) delete Instances.back();
}

void TZNT1Model::EnqueueHash() {
  if (Models) Models->HashMap.Add(Name, this);
}

void TZNT1Model::DequeueHash() {
  // A later model loaded under the same name may have taken the entry over.
  if (Models && Models->HashMap.GetValue(Name) == this) Models->HashMap.Delete(Name);
}

bool TZNT1Model::LoadMD3(TMemoryStream& Stream) {
  const TMD3Reader r(Stream.Memory(), Stream.Size());
  if (!r.Fits(0, 1, MD3HeaderSize) || !r.Ident(0) || r.Int32(4) != MD3Version) return false;
  const int32_t NumFrames = r.Int32(76), NumTags = r.Int32(80), NumSurfaces = r.Int32(84);
  const int32_t OfsFrames = r.Int32(92), OfsTags = r.Int32(96), OfsSurfaces = r.Int32(100);
  // Tags are named from frame 0, and instances read frame 0's box: a model needs a frame.
  // Every count is checked against the bytes it needs before anything is allocated.
  if (NumFrames < 1 || !r.Fits(OfsFrames, NumFrames, MD3FrameSize)) return false;
  if (NumTags < 0 || !r.Fits(OfsTags, int64_t{NumFrames} * NumTags, MD3TagSize)) return false;
  if (NumSurfaces < 0 || !r.Fits(OfsSurfaces, NumSurfaces, MD3SurfaceHeaderSize)) return false;

  Frames.resize(static_cast<size_t>(NumFrames));
  FrameBoxReach = 0.0f;
  for (int32_t f = 0; f < NumFrames; ++f) {
    const int64_t o = OfsFrames + int64_t{f} * MD3FrameSize;
    TZNT1ModelFrame& Frame = Frames[static_cast<size_t>(f)];
    Frame.AABB.Min = r.Vector(o);
    Frame.AABB.Max = r.Vector(o + 12);
    Frame.LocalOrigin = r.Vector(o + 24);
    Frame.Radius = r.Single(o + 36);
    Frame.Name = r.String(o + 40, 16);
  }

  Links.assign(static_cast<size_t>(NumTags), nullptr);
  Tags.resize(static_cast<size_t>(NumTags));
  for (int32_t t = 0; t < NumTags; ++t) {
    TZNT1ModelTag& Tag = Tags[static_cast<size_t>(t)];
    Tag.Name = r.String(OfsTags + int64_t{t} * MD3TagSize, 64);
    Tag.Frames.resize(static_cast<size_t>(NumFrames));
    for (int32_t f = 0; f < NumFrames; ++f) {
      const int64_t o = OfsTags + (int64_t{f} * NumTags + t) * MD3TagSize;
      // Some content scales its tag axes (sarge's weapon tag by 1.41); a quaternion holds no
      // scale, and one read from scaled axes would turn the wrong way, so the axes are unit first.
      TZNT1Matrix3x3 Axis;
      for (int i = 0; i < 3; ++i) {
        const TZNT1Vector3 Row = Vector3Norm(r.Vector(o + 76 + i * 12));
        for (int j = 0; j < 3; ++j) Axis.M[i][j] = Row.xyz[j];
      }
      Tag.Frames[static_cast<size_t>(f)].Origin = r.Vector(o + 64);
      Tag.Frames[static_cast<size_t>(f)].Quaternion = QuaternionFromMatrix3x3(Axis);
    }
  }

  const int32_t MaxVertices = MaxVerticesPerBuffer(Engine), MaxIndices = MaxIndicesPerBuffer(Engine);
  Meshs.clear();
  Meshs.resize(static_cast<size_t>(NumSurfaces));
  std::vector<uint32_t> LocalIndices;
  TZNT1VBOVertices Scratch;
  int64_t Start = OfsSurfaces;
  for (int32_t s = 0; s < NumSurfaces; ++s) {
    if (!r.Fits(Start, 1, MD3SurfaceHeaderSize) || !r.Ident(Start)) return false;
    const int32_t SurfaceFrames = r.Int32(Start + 72), NumShaders = r.Int32(Start + 76);
    const int32_t NumVerts = r.Int32(Start + 80), NumTriangles = r.Int32(Start + 84);
    const int64_t OfsTriangles = Start + r.Int32(Start + 88), OfsShaders = Start + r.Int32(Start + 92);
    const int64_t OfsSt = Start + r.Int32(Start + 96), OfsXyzNormals = Start + r.Int32(Start + 100);
    const int32_t OfsEnd = r.Int32(Start + 104);
    // Instances play the header's frames on every mesh.
    if (SurfaceFrames != NumFrames || OfsEnd < MD3SurfaceHeaderSize) return false;
    if (NumShaders < 0 || NumVerts < 0 || NumTriangles < 0) return false;
    if (!r.Fits(OfsTriangles, NumTriangles, MD3TriangleSize) || !r.Fits(OfsShaders, NumShaders, MD3ShaderSize) ||
        !r.Fits(OfsSt, NumVerts, MD3TexCoordSize) ||
        !r.Fits(OfsXyzNormals, int64_t{NumVerts} * NumFrames, MD3VertexSize))
      return false;
    // A buffer must hold at least one whole frame.
    if (NumVerts > MaxVertices) return false;

    // An index past the frame would reach another frame's vertices when drawn.
    LocalIndices.resize(static_cast<size_t>(NumTriangles) * 3);
    for (size_t i = 0; i < LocalIndices.size(); ++i) {
      const int32_t Index = r.Int32(OfsTriangles + static_cast<int64_t>(i) * 4);
      if (Index < 0 || Index >= NumVerts) return false;
      LocalIndices[i] = static_cast<uint32_t>(Index);
    }

    TZNT1ModelMesh& Mesh = Meshs[static_cast<size_t>(s)];
    Mesh.Name = LowerCase(r.String(Start + 4, 64));
    Mesh.VBOFrames.resize(static_cast<size_t>(NumFrames));
    TZNT1VBO* Buffer = nullptr;
    Scratch.resize(static_cast<size_t>(NumVerts));
    for (int32_t f = 0; f < NumFrames; ++f) {
      if (f == 0 || int64_t{Buffer->CountVertices} + NumVerts >= MaxVertices) {
        // Sized for the frames it will take (one spare slot, or the last add would grow it).
        int32_t Taken = 1;
        while (f + Taken < NumFrames && int64_t{Taken + 1} * NumVerts < MaxVertices) ++Taken;
        const int64_t Indices = std::min<int64_t>(int64_t{Taken} * NumTriangles * 3 + 1, MaxIndices);
        Mesh.VBOs.push_back(std::make_unique<TZNT1VBO>(Engine, false, false, Taken * NumVerts + 1,
                                                       static_cast<int32_t>(Indices)));
        Buffer = Mesh.VBOs.back().get();
      }
      const int32_t StartVertex = Buffer->CountVertices;
      Mesh.VBOFrames[static_cast<size_t>(f)] = {static_cast<int32_t>(Mesh.VBOs.size()) - 1, StartVertex};
      for (int32_t v = 0; v < NumVerts; ++v) {
        const int64_t o = OfsXyzNormals + (int64_t{f} * NumVerts + v) * MD3VertexSize;
        TZNT1VBOVertex& Vertex = Scratch[static_cast<size_t>(v)];
        Vertex = TZNT1VBOVertex{};
        Vertex.Position = Vector3(r.Int16(o) / 64.0f, r.Int16(o + 2) / 64.0f, r.Int16(o + 4) / 64.0f);
        const TZNT1AABB& Box = Frames[static_cast<size_t>(f)].AABB;
        const TZNT1Vector3& p = Vertex.Position;
        FrameBoxReach = std::max({FrameBoxReach, Box.Min.x - p.x, p.x - Box.Max.x, Box.Min.y - p.y, p.y - Box.Max.y,
                                  Box.Min.z - p.z, p.z - Box.Max.z});
        Vertex.Normal = DecodeNormal(r.Byte(o + 6), r.Byte(o + 7));
        const int64_t st = OfsSt + int64_t{v} * MD3TexCoordSize;
        Vertex.TexCoord = Vector2(r.Single(st), r.Single(st + 4));
        Vertex.LightMapCoord = Vertex.TexCoord;
        Vertex.Color.r = Vertex.Color.g = Vertex.Color.b = Vertex.Color.a = 255;
        Vertex.Middle = Vector4(0, 0, 0, 0);
      }
      // Each frame gets its own tangents; the stored indices stay frame-local, so one pass over
      // the whole buffer would reach the first frame's vertices only.
      CalculateTangents(Scratch, LocalIndices);
      for (const TZNT1VBOVertex& Vertex : Scratch)
        if (Buffer->AddVertex(Vertex) < 0) return false;
      for (size_t i = 0; i < LocalIndices.size(); ++i) {
        // The first copy is the one drawn; later copies may meet the index limit.
        if (Buffer->AddIndex(LocalIndices[i]) < 0 && StartVertex == 0) return false;
      }
    }
    for (auto& VBO : Mesh.VBOs) VBO->Finish();

    Mesh.Frames = NumFrames;
    Mesh.VerticesPerFrame = NumVerts;
    Mesh.IndicesPerFrame = NumTriangles * 3;
    Mesh.Skins.assign(static_cast<size_t>(NumShaders), nullptr);
    Mesh.SkinNames.resize(static_cast<size_t>(NumShaders));
    Mesh.NumSkins = NumShaders;
    for (int32_t k = 0; k < NumShaders; ++k) {
      // Read as up to 68 bytes: a name filling all 64 runs on into the index field.
      const std::string ShaderName = r.String(OfsShaders + int64_t{k} * MD3ShaderSize, MD3ShaderSize);
      Mesh.Skins[static_cast<size_t>(k)] = FindMaterial(ShaderName);
      Mesh.SkinNames[static_cast<size_t>(k)] = k == 0 ? std::string("default") : "default" + std::to_string(k + 1);
    }
    if (Mesh.Frames > 1) SwitchToInterpolation(Mesh);
    Start += OfsEnd;
  }
  return true;
}

TZNT1Shader* TZNT1Model::FindMaterial(const std::string& ShaderName) {
  if (!Engine || !Engine->Shaders) return nullptr;
  TZNT1Shaders& Library = *Engine->Shaders;
  const std::string Key = NormalizeArchivePath(Trim(ShaderName));
  if (TZNT1Shader* Found = Library.GetShader(Key)) return Found;
  if (TZNT1Shader* Found = Library.GetShader(ChangeFileExt(Key, ""))) return Found;
  return Library.AddDefaultTextureShader(Key, true, true);
}

void TZNT1Model::SwitchToInterpolation(TZNT1ModelMesh& Mesh) {
  // Every slot: a skin other than the first is drawn on the same blended frames.
  for (TZNT1Shader* Material : Mesh.Skins) {
    if (!Material || Material->DoInterpolateVertices) continue;
    Material->DoInterpolateVertices = true;
    Material->Generated = false;
    Material->GenerateDefaultStages();
    for (TZNT1ShaderStage* Stage : Material->Stages) {
      if (!Stage) continue;
      Stage->Generated = false;
      Stage->Generate();
    }
  }
}

void TZNT1Model::ReadSkinFile(TMemoryStream& Stream, const std::string& SkinName) {
  const char* Text = reinterpret_cast<const char*>(Stream.Memory());
  const size_t Size = static_cast<size_t>(Stream.Size());
  size_t p = 0;
  while (p < Size) {
    size_t e = p;
    while (e < Size && Text[e] != '\n' && Text[e] != '\r') ++e;
    const std::string Line = Trim(std::string(Text + p, e - p));
    p = e + 1;
    if (Line.empty()) continue;
    const size_t Comma = Line.find(',');
    if (Comma == std::string::npos) continue;  // no surface named
    const std::string Surface = LowerCase(Trim(Line.substr(0, Comma)));
    if (Surface.empty() || Surface.compare(0, 4, "tag_") == 0) continue;
    const std::string Material = NormalizeArchivePath(Trim(Line.substr(Comma + 1)));
    // Every surface of that name: some content repeats a name (neko's two "Hair" surfaces).
    for (TZNT1ModelMesh& Mesh : Meshs) {
      if (Mesh.Name != Surface) continue;
      auto Slot = std::find(Mesh.SkinNames.begin(), Mesh.SkinNames.end(), SkinName);
      size_t k = static_cast<size_t>(Slot - Mesh.SkinNames.begin());
      if (Slot == Mesh.SkinNames.end()) {
        Mesh.SkinNames.push_back(SkinName);
        Mesh.Skins.push_back(nullptr);
        Mesh.NumSkins = static_cast<int32_t>(Mesh.SkinNames.size());
        k = Mesh.SkinNames.size() - 1;
      }
      Mesh.Skins[k] = FindMaterial(Material);
      if (Mesh.Frames > 1) SwitchToInterpolation(Mesh);
    }
  }
}

bool TZNT1Model::Load(TMemoryStream& Stream, const std::string& SkinPrefix) {
  const bool Result = LoadMD3(Stream);
  if (!SkinPrefix.empty() && Engine && Engine->Archives) {
    TStringList Files;
    // The archives hand the names out sorted.
    Engine->Archives->FindFiles(SkinPrefix + "_*.skin", &Files);
    const std::string Infix = NormalizeArchivePath(SkinPrefix) + "_";
    for (int32_t i = 0; i < Files.Count(); ++i) {
      std::unique_ptr<TMemoryStream> SkinStream = Engine->Archives->ExtractFile(Files[i]);
      if (!SkinStream) continue;
      const std::string SkinName = LowerCase(ChangeFileExt(ReplaceAll(Files[i], Infix, ""), ""));
      ReadSkinFile(*SkinStream, SkinName);
    }
  }
  return Result;
}

TZNT1ModelInstance* TZNT1Model::CreateInstance() { return new TZNT1ModelInstance(Engine, this); }

void TZNT1Model::IncRef() {
  if (ReferenceCounter == 0) {
    for (TZNT1ModelMesh& Mesh : Meshs) {
      for (auto& VBO : Mesh.VBOs) VBO->IncRef();
      for (TZNT1Shader* Material : Mesh.Skins)
        if (Material) Material->IncRef();
    }
    for (TZNT1Model* Model : LevelOfDetail)
      if (Model && Model != this) Model->IncRef();
  }
  ++ReferenceCounter;
  Upload();
}

void TZNT1Model::DecRef() {
  if (ReferenceCounter <= 0) return;
  if (--ReferenceCounter > 0) return;
  for (TZNT1ModelMesh& Mesh : Meshs) {
    for (auto& VBO : Mesh.VBOs) VBO->DecRef();
    for (TZNT1Shader* Material : Mesh.Skins)
      if (Material) Material->DecRef();
  }
  for (TZNT1Model* Model : LevelOfDetail)
    if (Model && Model != this) Model->DecRef();
  Dispose();
}

void TZNT1Model::Upload() {
  if (ReferenceCounter <= 0 || Uploaded) return;
  Uploaded = true;
  if (Engine && !Engine->Dedicated) {
    for (TZNT1ModelMesh& Mesh : Meshs) {
      for (auto& VBO : Mesh.VBOs) VBO->Upload();
      for (TZNT1Shader* Material : Mesh.Skins)
        if (Material) Material->Upload();
    }
  }
  for (TZNT1Model* Model : LevelOfDetail)
    if (Model && Model != this) Model->Upload();
}

void TZNT1Model::Dispose() {
  if (!Uploaded) return;
  Uploaded = false;
  if (!Engine || Engine->Dedicated) return;
  for (TZNT1ModelMesh& Mesh : Meshs) {
    for (auto& VBO : Mesh.VBOs) VBO->Dispose();
  }
  for (TZNT1Model* Model : LevelOfDetail)
    if (Model && Model != this) Model->Dispose();
}

// ---------------------------------------------------------------------------------------
// Instance

TZNT1ModelInstance::TZNT1ModelInstance(TZNT1Engine* AEngine, TZNT1Model* AModel) : Engine(AEngine), Model(AModel) {
  const int32_t FrameCount = Model ? static_cast<int32_t>(Model->Frames.size()) : 0;
  if (Model) {
    Model->Instances.push_back(this);
    Tags.resize(Model->Tags.size());
  }
  Animation.Frame = 0;
  Animation.NextRequestedFrame = -1;
  Animation.NextFrame = 0;
  Animation.FrameTime = 0.0;
  Animation.StartFrame = 0;
  Animation.EndFrame = FrameCount - 1;
  Animation.Animation = true;
  Animation.Backwards = false;
  Animation.Loop = true;
  Animation.FramesPerSecond = 20.0f;
  Animation.InterpolationTime = 0.0f;
}

TZNT1ModelInstance::~TZNT1ModelInstance() {
  Tags.clear();
  if (Model) {
    auto& List = Model->Instances;
    List.erase(std::remove(List.begin(), List.end(), this), List.end());
  }
}

bool TZNT1ModelInstance::Link(const std::string& TagName, TZNT1ModelInstance* ModelInstanceToLink) {
  if (!Model) return false;
  for (size_t t = 0; t < Model->Tags.size() && t < Tags.size(); ++t) {
    if (Model->Tags[t].Name == TagName) {
      Tags[t].LinkedModelInstance = ModelInstanceToLink;
      return true;
    }
  }
  return false;
}

void TZNT1ModelInstance::UpdateAnimation(TZNT1ModelAnimationState& State, double DeltaTime) {
  const double d = DeltaTime * State.FramesPerSecond;
  // A non-finite advance would never leave the stepping loop.
  if (State.Animation && std::isfinite(d)) {
    const int32_t CycleLength = State.EndFrame - State.StartFrame + 1;
    double Steps;
    if (!State.Backwards) {
      State.FrameTime += d;
      Steps = State.FrameTime >= 1.0 ? std::floor(State.FrameTime) : 0.0;
    } else {
      State.FrameTime -= d;
      Steps = State.FrameTime < 0.0 ? std::ceil(-State.FrameTime) : 0.0;
    }
    // Whole frames go one by one; a long run that only circles the range is cut to the last
    // lap, and one that has come to rest (stopped, or a one-frame range) ends at once.
    while (Steps > 0.0) {
      const int32_t OldFrame = State.Frame, OldNextFrame = State.NextFrame;
      const bool WasRequested = State.NextRequestedFrame >= 0;
      if (!State.Backwards) {
        State.FrameTime -= 1.0;
        State.Frame = State.NextFrame;
        if (State.NextRequestedFrame >= 0) {
          State.NextFrame = State.NextRequestedFrame;
          State.NextRequestedFrame = -1;
        } else {
          ++State.NextFrame;
        }
        if (State.NextFrame > State.EndFrame) {
          if (State.Loop) {
            State.NextFrame = State.StartFrame;
          } else {
            State.Frame = State.NextFrame = State.EndFrame;
            State.InterpolationTime = 0.0f;
            State.Animation = false;
          }
        }
      } else {
        State.FrameTime += 1.0;
        State.NextFrame = State.Frame;
        if (State.NextRequestedFrame >= 0) {
          State.Frame = State.NextRequestedFrame;
          State.NextRequestedFrame = -1;
        } else {
          --State.Frame;
        }
        if (State.Frame < State.StartFrame) {
          if (State.Loop) {
            State.Frame = State.EndFrame;
          } else {
            State.Frame = State.NextFrame = State.StartFrame;
            State.InterpolationTime = 1.0f;
            State.Animation = false;
          }
        }
      }
      Steps -= 1.0;
      if (Steps <= 0.0 || WasRequested) continue;
      if (State.Frame == OldFrame && State.NextFrame == OldNextFrame) {
        // At rest: every further step gives the same state.
        if (!State.Backwards) State.FrameTime -= Steps;
        else State.FrameTime += Steps;
        break;
      }
      const bool InRange = State.Frame >= State.StartFrame && State.Frame <= State.EndFrame &&
                           State.NextFrame >= State.StartFrame && State.NextFrame <= State.EndFrame;
      if (State.Loop && CycleLength > 0 && InRange && Steps > CycleLength) {
        const double Laps = std::floor(Steps / CycleLength) - 1.0;
        if (Laps > 0.0) {
          const double Skipped = Laps * CycleLength;
          Steps -= Skipped;
          if (!State.Backwards) State.FrameTime -= Skipped;
          else State.FrameTime += Skipped;
        }
      }
    }
  }
  State.InterpolationTime = static_cast<float>(State.FrameTime - std::trunc(State.FrameTime));
  const int32_t Last = std::max(0, Model ? static_cast<int32_t>(Model->Frames.size()) - 1 : 0);
  State.Frame = std::clamp(State.Frame, 0, Last);
  State.NextFrame = std::clamp(State.NextFrame, 0, Last);
}

bool TZNT1ModelInstance::BlendedFrameBox(const TZNT1ModelAnimationState& State, TZNT1AABB& Box) const {
  if (!Model || Model->Frames.empty()) return false;
  const int32_t Last = static_cast<int32_t>(Model->Frames.size()) - 1;
  const TZNT1AABB& a = Model->Frames[static_cast<size_t>(std::clamp(State.Frame, 0, Last))].AABB;
  const TZNT1AABB& b = Model->Frames[static_cast<size_t>(std::clamp(State.NextFrame, 0, Last))].AABB;
  Box.Min = Vector3Lerp(a.Min, b.Min, State.InterpolationTime);
  Box.Max = Vector3Lerp(a.Max, b.Max, State.InterpolationTime);
  return true;
}

void TZNT1ModelInstance::UpdateAABB() {
  TZNT1AABB Box;
  if (!BlendedFrameBox(Animation, Box)) return;
  AABB = AABBTransform(Box, Transform);
  Middle = Vector3Avg(AABB.Min, AABB.Max);
}

void TZNT1ModelInstance::Update(double DeltaTime) {
  UpdateAnimation(Animation, DeltaTime);
  ViewDeltaTime += DeltaTime;
  UpdateAABB();
  for (TZNT1ModelInstanceTag& Tag : Tags)
    if (Tag.LinkedModelInstance) Tag.LinkedModelInstance->Update(DeltaTime);
}

void TZNT1ModelInstance::Synchronize() {
  for (TZNT1ModelInstanceTag& Tag : Tags) {
    TZNT1ModelInstance* Linked = Tag.LinkedModelInstance;
    if (!Linked) continue;
    Linked->Leaf = Leaf;
    Linked->RenderType = RenderType;
    Linked->RecieveShadow = RecieveShadow;
    Linked->CastShadow = CastShadow;
    Linked->Synchronize();
  }
}

void TZNT1ModelInstance::SmoothStore() {
  ViewAnimation = Animation;
  StoredAnimation = Animation;
  ViewAABB = AABB;
  ViewSphere = SphereFromAABB(ViewAABB);
  ViewMiddle = Middle;
  ViewDeltaTime = 0.0;
  for (TZNT1ModelInstanceTag& Tag : Tags)
    if (Tag.LinkedModelInstance) Tag.LinkedModelInstance->SmoothStore();
}

void TZNT1ModelInstance::SmoothInterpolate(double x, bool ForceAni, const TZNT1Matrix4x4* ParentViewTransform,
                                           int32_t ParentLeaf) {
  const int32_t FrameCount = Model ? static_cast<int32_t>(Model->Frames.size()) : 0;
  if (!ForceAni && FrameCount != 1 && x <= 1.0) {
    ViewAnimation = StoredAnimation;
    if (x > 0.0) UpdateAnimation(ViewAnimation, ViewDeltaTime * x);
  } else {
    ViewAnimation = Animation;
  }
  if (ParentViewTransform) ViewTransform = *ParentViewTransform;
  TZNT1AABB Box;
  if (BlendedFrameBox(ViewAnimation, Box)) {
    ViewAABB = AABBTransform(Box, ViewTransform);
    ViewSphere = SphereFromAABB(ViewAABB);
    ViewMiddle = Vector3Avg(ViewAABB.Min, ViewAABB.Max);
  }
  if (FrameCount == 0) {
    if (ParentLeaf >= 0) Leaf = ParentLeaf;
    return;
  }
  const int32_t Last = FrameCount - 1;
  const size_t f0 = static_cast<size_t>(std::clamp(ViewAnimation.Frame, 0, Last));
  const size_t f1 = static_cast<size_t>(std::clamp(ViewAnimation.NextFrame, 0, Last));
  if (ParentLeaf < 0) {
    if (Engine && Engine->BSP)
      Leaf = Engine->BSP->FindLeaf(Vector3TermMatrixMul(Model->Frames[f0].LocalOrigin, ViewTransform));
  } else {
    Leaf = ParentLeaf;
  }
  const float w = ViewAnimation.InterpolationTime;
  for (size_t t = 0; t < Tags.size() && t < Model->Tags.size(); ++t) {
    TZNT1ModelInstance* Linked = Tags[t].LinkedModelInstance;
    const TZNT1ModelTag& Tag = Model->Tags[t];
    if (!Linked || Tag.Frames.size() <= std::max(f0, f1)) continue;
    TZNT1Matrix4x4 M = QuaternionToMatrix4x4(QuaternionSlerp(Tag.Frames[f0].Quaternion, Tag.Frames[f1].Quaternion, w));
    const TZNT1Vector3 Origin = Vector3Lerp(Tag.Frames[f0].Origin, Tag.Frames[f1].Origin, w);
    M.M[3][0] = Origin.x;
    M.M[3][1] = Origin.y;
    M.M[3][2] = Origin.z;
    // Row vectors: the child's own offset first, then the tag, then this instance.
    Tags[t].ViewTransform = Matrix4x4TermMul(Matrix4x4TermMul(Linked->Transform, M), ViewTransform);
    Linked->SmoothInterpolate(x, ForceAni, &Tags[t].ViewTransform, Leaf);
  }
}

// ---------------------------------------------------------------------------------------
// Library

TZNT1Models::TZNT1Models(TZNT1Engine* AEngine) : Engine(AEngine) {}

TZNT1Models::~TZNT1Models() {
  // In list order: a model goes before the reduced models it disposes.
  for (TZNT1Model*& Model : Items) {
    delete Model;
    Model = nullptr;
  }
  Items.clear();
}

TZNT1Model* TZNT1Models::GetModel(const std::string& Name) {
  if (void* Known = HashMap.GetValue(Name)) return static_cast<TZNT1Model*>(Known);
  if (!Engine || !Engine->Archives) return nullptr;
  // Only MD3 loads: a file under the second extension fails the "IDP3" check.
  static const char* const Extensions[] = {".md3", ".iqm"};
  const std::string Base = ChangeFileExt(Name, "");
  for (const char* Extension : Extensions) {
    const std::string FileName = ChangeFileExt(Name, Extension);
    std::unique_ptr<TMemoryStream> Stream = Engine->Archives->ExtractFile(FileName);
    if (!Stream) continue;
    auto Loaded = std::make_unique<TZNT1Model>(Engine, this);
    Loaded->Name = Name;
    if (!Loaded->Load(*Stream, Base)) continue;
    TZNT1Model* Model = Loaded.release();
    Items.push_back(Model);
    Model->EnqueueHash();
    // Reduced models chain their names: base_1, then base_1_2, and so on.
    std::string Previous = FileName;
    for (int32_t i = 1; i <= 255; ++i) {
      const std::string LODName = ChangeFileExt(Previous, "") + "_" + std::to_string(i) + ExtractFileExt(FileName);
      std::unique_ptr<TMemoryStream> LODStream = Engine->Archives->ExtractFile(LODName);
      if (!LODStream) break;
      auto LOD = std::make_unique<TZNT1Model>(Engine, this);
      LOD->Name = LODName;
      if (!LOD->Load(*LODStream, "")) break;
      Items.push_back(LOD.get());
      LOD->EnqueueHash();
      Model->LevelOfDetail.resize(static_cast<size_t>(i) + 1, nullptr);
      Model->LevelOfDetail[static_cast<size_t>(i)] = LOD.release();
      Previous = LODName;
    }
    return Model;
  }
  return nullptr;
}

void TZNT1Models::Upload() {
  for (TZNT1Model* Model : Items)
    if (Model) Model->Upload();
}

void TZNT1Models::Dispose() {
  for (TZNT1Model* Model : Items)
    if (Model) Model->Dispose();
}
