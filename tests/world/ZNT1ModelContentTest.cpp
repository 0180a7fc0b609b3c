#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/ZNT1Stream.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "material/ZNT1Shader.h"
#include "support/TestData.h"
#include "world/WorldTestSupport.h"
#include "world/ZNT1Model.h"

namespace {

constexpr bool Sanitize = testdata::Sanitizing;

using Bytes = std::vector<uint8_t>;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

// What a test needs of an MD3 file, read here apart from the engine's reader.
struct TMD3Info {
  struct Tag {
    std::string Name;
    float Origin[3];
    float Axis[3][3];
  };
  struct Surface {
    std::string Name;
    int32_t Frames = 0, Shaders = 0, Verts = 0, Triangles = 0;
    int16_t FirstVertex[3] = {};
  };
  int32_t Frames = 0;
  std::vector<std::vector<Tag>> Tags;  // [frame][tag]
  std::vector<Surface> Surfaces;
};

template <typename T>
T At(const Bytes& b, size_t o) {
  T v;
  std::memcpy(&v, b.data() + o, sizeof(T));
  return v;
}

std::string Name(const Bytes& b, size_t o, size_t n) {
  const char* p = reinterpret_cast<const char*>(b.data() + o);
  return std::string(p, strnlen(p, n));
}

TMD3Info ReadInfo(const Bytes& b) {
  TMD3Info m;
  m.Frames = At<int32_t>(b, 76);
  const int32_t Tags = At<int32_t>(b, 80), Surfaces = At<int32_t>(b, 84);
  const size_t OfsTags = size_t(At<int32_t>(b, 96));
  m.Tags.resize(size_t(m.Frames));
  for (int32_t f = 0; f < m.Frames; ++f)
    for (int32_t t = 0; t < Tags; ++t) {
      const size_t o = OfsTags + size_t(f * Tags + t) * 112;
      TMD3Info::Tag Tag;
      Tag.Name = Name(b, o, 64);
      std::memcpy(Tag.Origin, b.data() + o + 64, 12);
      std::memcpy(Tag.Axis, b.data() + o + 76, 36);
      m.Tags[size_t(f)].push_back(Tag);
    }
  size_t s = size_t(At<int32_t>(b, 100));
  for (int32_t i = 0; i < Surfaces; ++i) {
    TMD3Info::Surface Surface;
    Surface.Name = Name(b, s + 4, 64);
    Surface.Frames = At<int32_t>(b, s + 72);
    Surface.Shaders = At<int32_t>(b, s + 76);
    Surface.Verts = At<int32_t>(b, s + 80);
    Surface.Triangles = At<int32_t>(b, s + 84);
    if (Surface.Verts > 0) std::memcpy(Surface.FirstVertex, b.data() + s + size_t(At<int32_t>(b, s + 100)), 6);
    m.Surfaces.push_back(Surface);
    s += size_t(At<int32_t>(b, s + 104));
  }
  return m;
}

struct TContentFile {
  std::string Archive, Name;
  Bytes Data;
};

// Every entry of the content archives whose name ends in Extension, overridden copies included.
const std::vector<TContentFile>& ContentFiles(const std::string& Extension) {
  static std::map<std::string, std::vector<TContentFile>> Cache;
  auto [It, New] = Cache.try_emplace(Extension);
  if (!New) return It->second;
  for (const std::string& a : testdata::ContentArchives()) {
    testzip::TZip Zip(a);
    for (const testzip::TEntry& e : Zip.Entries()) {
      const std::string n = Lower(e.Name);
      if (n.size() < Extension.size() || n.compare(n.size() - Extension.size(), Extension.size(), Extension) != 0)
        continue;
      TContentFile f{std::filesystem::path(a).filename().string(), n, {}};
      if (Zip.Extract(e, f.Data)) It->second.push_back(std::move(f));
    }
  }
  return It->second;
}

// A dedicated engine over the content with its material scripts loaded.
worldtest::MapEngine& ContentEngine() {
  static std::unique_ptr<worldtest::MapEngine> Engine;
  if (!Engine) Engine = std::make_unique<worldtest::MapEngine>(std::vector<std::pair<std::string, Bytes>>{}, true);
  return *Engine;
}

// The checks every loaded model must pass against its file.
void ExpectModelMatchesFile(const TZNT1Model& Model, const Bytes& File, int32_t VertexLimit) {
  const TMD3Info Info = ReadInfo(File);
  ASSERT_EQ(int32_t(Model.Frames.size()), Info.Frames);
  ASSERT_EQ(Model.Tags.size(), Info.Tags[0].size());
  for (size_t t = 0; t < Model.Tags.size(); ++t) {
    EXPECT_EQ(Model.Tags[t].Name, Info.Tags[0][t].Name);
    ASSERT_EQ(int32_t(Model.Tags[t].Frames.size()), Info.Frames);
  }
  ASSERT_EQ(Model.Meshs.size(), Info.Surfaces.size());
  for (size_t s = 0; s < Model.Meshs.size(); ++s) {
    const TZNT1ModelMesh& Mesh = Model.Meshs[s];
    const TMD3Info::Surface& Want = Info.Surfaces[s];
    SCOPED_TRACE(Want.Name);
    EXPECT_EQ(Mesh.Name, Lower(Want.Name));
    EXPECT_EQ(Mesh.Frames, Want.Frames);
    EXPECT_EQ(Mesh.VerticesPerFrame, Want.Verts);
    EXPECT_EQ(Mesh.IndicesPerFrame, Want.Triangles * 3);
    EXPECT_GE(Mesh.NumSkins, Want.Shaders);
    EXPECT_EQ(int32_t(Mesh.Skins.size()), Mesh.NumSkins);
    for (int32_t k = 0; k < Want.Shaders; ++k) EXPECT_NE(Mesh.Skins[size_t(k)], nullptr);
    // A new buffer whenever the next frame would reach the vertex limit.
    ASSERT_EQ(int32_t(Mesh.VBOFrames.size()), Want.Frames);
    int32_t Buffer = -1, Count = 0;
    for (int32_t f = 0; f < Want.Frames; ++f) {
      if (f == 0 || Count + Want.Verts >= VertexLimit) {
        ++Buffer;
        Count = 0;
      }
      ASSERT_EQ(Mesh.VBOFrames[size_t(f)].VBOIndex, Buffer) << f;
      ASSERT_EQ(Mesh.VBOFrames[size_t(f)].StartVertex, Count) << f;
      Count += Want.Verts;
    }
    ASSERT_EQ(int32_t(Mesh.VBOs.size()), Buffer + 1);
    for (const auto& VBO : Mesh.VBOs) {
      ASSERT_GE(VBO->CountIndices, Mesh.IndicesPerFrame);
      for (int32_t i = 0; i < VBO->CountIndices; ++i)
        ASSERT_LT(VBO->Indices[size_t(i)], uint32_t(Want.Verts)) << i;
    }
    if (Want.Verts == 0) continue;  // some content surfaces are empty
    const TZNT1Vector3& First = Mesh.VBOs[0]->Vertices[0].Position;
    EXPECT_EQ(First.x, Want.FirstVertex[0] / 64.0f);
    EXPECT_EQ(First.y, Want.FirstVertex[1] / 64.0f);
    EXPECT_EQ(First.z, Want.FirstVertex[2] / 64.0f);
  }
}

}  // namespace

TEST(ZNT1ModelContent, EveryMD3EntryLoadsFromItsBytes) {
  REQUIRE_CONTENT_DIR();
  worldtest::MapEngine& Engine = ContentEngine();
  const int32_t Limit = Engine.GLCapabilities->MaxElementsVertices;
  EXPECT_EQ(Limit, 65536);
  const auto& Files = ContentFiles(".md3");
  EXPECT_GE(Files.size(), 331u);
  size_t Checked = 0;
  for (size_t i = 0; i < Files.size(); ++i) {
    // The sanitizer pass reads every eighth entry.
    if (Sanitize && i % 8 != 0) continue;
    const TContentFile& f = Files[i];
    SCOPED_TRACE(f.Archive + " " + f.Name);
    TZNT1Model Model(&Engine, nullptr);
    TMemoryStream Stream(f.Data);
    ASSERT_TRUE(Model.LoadMD3(Stream));
    ExpectModelMatchesFile(Model, f.Data, Limit);
    ++Checked;
    if (f.Name == "models/players/sorceress/lower.md3") {
      EXPECT_EQ(Model.Frames.size(), 325u);
      for (const TZNT1ModelMesh& Mesh : Model.Meshs)
        if (Mesh.VerticesPerFrame == 363) {
          EXPECT_EQ(Mesh.VBOs.size(), 2u);
        }
    }
  }
  EXPECT_GT(Checked, 0u);
}

// Every name through the library: skins from the .skin files beside it, reduced models chained.
TEST(ZNT1ModelContent, EveryNameLoadsWithSkinsAndReducedModels) {
  REQUIRE_CONTENT_DIR();
  worldtest::MapEngine& Engine = ContentEngine();
  std::set<std::string> Names;
  for (const TContentFile& f : ContentFiles(".md3")) Names.insert(f.Name);
  EXPECT_GE(Names.size(), 293u);
  // The skin lines, last line per surface, by model base and skin name (read here apart).
  std::map<std::string, std::map<std::string, std::map<std::string, std::string>>> Skins;
  std::map<std::string, std::string> SkinFiles;  // the copy that wins: the archive sorting last
  for (const TContentFile& f : ContentFiles(".skin")) SkinFiles[f.Name] = std::string(f.Data.begin(), f.Data.end());
  for (const auto& [File, Text] : SkinFiles) {
    const size_t Underscore = File.rfind('_');
    if (Underscore == std::string::npos || File.find('/', Underscore) != std::string::npos) continue;
    auto& Lines = Skins[File.substr(0, Underscore)][File.substr(Underscore + 1, File.size() - Underscore - 6)];
    size_t p = 0;
    while (p < Text.size()) {
      size_t e = Text.find_first_of("\r\n", p);
      if (e == std::string::npos) e = Text.size();
      std::string Line = Text.substr(p, e - p);
      p = e + 1;
      const size_t Comma = Line.find(',');
      if (Comma == std::string::npos) continue;
      auto Trim = [](std::string s) {
        while (!s.empty() && (unsigned char)s.back() <= ' ') s.pop_back();
        while (!s.empty() && (unsigned char)s.front() <= ' ') s.erase(0, 1);
        return s;
      };
      std::string Material = Lower(Trim(Line.substr(Comma + 1)));
      std::replace(Material.begin(), Material.end(), '\\', '/');
      Lines[Lower(Trim(Line.substr(0, Comma)))] = Material;
    }
  }

  size_t Loaded = 0, Reduced = 0, SkinSlots = 0;
  std::unique_ptr<TZNT1Models> Library;
  size_t Index = 0;
  for (const std::string& Name : Names) {
    if (Sanitize && Index++ % 8 != 0) continue;
    SCOPED_TRACE(Name);
    // Reduced models of the model loaded just before are listed under their own names.
    if (Library && Library->HashMap.GetValue(Name)) continue;
    Library = std::make_unique<TZNT1Models>(&Engine);
    TZNT1Model* Model = Library->GetModel(Name);
    ASSERT_NE(Model, nullptr);
    ++Loaded;
    const std::string Base = Name.substr(0, Name.size() - 4);
    std::string Chained = Base;
    for (size_t i = 1; i < Model->LevelOfDetail.size(); ++i) {
      Chained += "_" + std::to_string(i);
      ASSERT_NE(Model->LevelOfDetail[i], nullptr);
      EXPECT_EQ(Model->LevelOfDetail[i]->Name, Chained + ".md3");
      ++Reduced;
    }
    EXPECT_EQ(Names.count(Chained + "_" + std::to_string(Model->LevelOfDetail.size()) + ".md3"), 0u);
    for (TZNT1Model* m : Model->LevelOfDetail) {
      std::unique_ptr<TMemoryStream> File = Engine.Archives->ExtractFile(m == Model ? Name : m->Name);
      ASSERT_NE(File, nullptr);
      ExpectModelMatchesFile(*m, File->Data, 65536);
    }
    for (const auto& [SkinName, Lines] : Skins[Base])
      for (const auto& [Surface, Material] : Lines) {
        if (Surface.rfind("tag_", 0) == 0) continue;
        for (const TZNT1ModelMesh& Mesh : Model->Meshs) {
          if (Mesh.Name != Surface) continue;
          auto Slot = std::find(Mesh.SkinNames.begin(), Mesh.SkinNames.end(), SkinName);
          ASSERT_NE(Slot, Mesh.SkinNames.end()) << SkinName << " " << Surface;
          const TZNT1Shader* Skin = Mesh.Skins[size_t(Slot - Mesh.SkinNames.begin())];
          ASSERT_NE(Skin, nullptr);
          const std::string NoExtension = Material.substr(0, Material.rfind('.'));
          EXPECT_TRUE(Skin->Name == Material || Skin->Name == NoExtension) << Skin->Name << " " << Material;
          if (Mesh.Frames > 1) {
            EXPECT_TRUE(Skin->DoInterpolateVertices) << Skin->Name;
          }
          ++SkinSlots;
        }
      }
  }
  EXPECT_GT(Loaded, 0u);
  if (!Sanitize) {
    EXPECT_GT(Reduced, 40u);
    EXPECT_GT(SkinSlots, 300u);
  }
}

// Legs, torso, head and weapon hang from each other; each tag transform is the child's own
// offset, times the tag's frame (the file's axes and origin), times the parent's placement.
TEST(ZNT1ModelContent, PlayerTagChainMultipliesTheFileTags) {
  REQUIRE_CONTENT_DIR();
  worldtest::MapEngine& Engine = ContentEngine();
  TZNT1Models Library(&Engine);
  const std::string Player = "models/players/sarge/";
  TZNT1Model* Legs = Library.GetModel(Player + "lower.md3");
  TZNT1Model* Torso = Library.GetModel(Player + "upper.md3");
  TZNT1Model* Head = Library.GetModel(Player + "head.md3");
  TZNT1Model* Weapon = Library.GetModel("models/weapons2/machinegun/machinegun.md3");
  ASSERT_TRUE(Legs && Torso && Head && Weapon);
  const TMD3Info LegsFile = ReadInfo(Engine.Archives->ExtractFile(Player + "lower.md3")->Data);
  const TMD3Info TorsoFile = ReadInfo(Engine.Archives->ExtractFile(Player + "upper.md3")->Data);
  TZNT1ModelInstance* l = Legs->CreateInstance();
  TZNT1ModelInstance* t = Torso->CreateInstance();
  TZNT1ModelInstance* h = Head->CreateInstance();
  TZNT1ModelInstance* w = Weapon->CreateInstance();
  ASSERT_TRUE(l->Link("tag_torso", t));
  ASSERT_TRUE(t->Link("tag_head", h));
  ASSERT_TRUE(t->Link("tag_weapon", w));
  l->ViewTransform = Matrix4x4TermMul(Matrix4x4RotateAngles(Angles(0, 0.7f, 0)), Matrix4x4Translate(300, -20, 40));
  t->Transform = Matrix4x4RotateAngles(Angles(0, 0.2f, 0.1f));
  h->Transform = Matrix4x4Translate(0, 0, 1);
  w->Transform = Matrix4x4Translate(2, 0, 0);
  // The legs rest at the end of a blend (weight 1: their next frame), the torso at its start.
  l->Animation.Frame = 10;
  l->Animation.NextFrame = 40;
  l->Animation.InterpolationTime = 1.0f;
  t->Animation.Frame = 25;
  t->Animation.NextFrame = 26;
  t->Animation.InterpolationTime = 0.0f;
  l->SmoothInterpolate(0, true, nullptr, -1);

  auto TagMatrix = [](const TMD3Info& File, int32_t Frame, const std::string& TagName) {
    TZNT1Matrix4x4 M = Matrix4x4Identity;
    for (const TMD3Info::Tag& Tag : File.Tags[size_t(Frame)])
      if (Tag.Name == TagName) {
        for (int r = 0; r < 3; ++r) {
          const float Length = std::sqrt(Tag.Axis[r][0] * Tag.Axis[r][0] + Tag.Axis[r][1] * Tag.Axis[r][1] +
                                         Tag.Axis[r][2] * Tag.Axis[r][2]);
          for (int c = 0; c < 3; ++c) M.M[r][c] = Tag.Axis[r][c] / Length;
          M.M[3][r] = Tag.Origin[r];
        }
        return M;
      }
    ADD_FAILURE() << TagName;
    return M;
  };
  auto Expect = [](const TZNT1Matrix4x4& Got, const TZNT1Matrix4x4& Want) {
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) EXPECT_NEAR(Got.M[r][c], Want.M[r][c], 2e-3f * (r == 3 ? 100 : 1)) << r << c;
  };
  const TZNT1Matrix4x4 TorsoAt =
      Matrix4x4TermMul(Matrix4x4TermMul(t->Transform, TagMatrix(LegsFile, 40, "tag_torso")), l->ViewTransform);
  Expect(t->ViewTransform, TorsoAt);
  Expect(h->ViewTransform,
         Matrix4x4TermMul(Matrix4x4TermMul(h->Transform, TagMatrix(TorsoFile, 25, "tag_head")), TorsoAt));
  Expect(w->ViewTransform,
         Matrix4x4TermMul(Matrix4x4TermMul(w->Transform, TagMatrix(TorsoFile, 25, "tag_weapon")), TorsoAt));
}

// Damaged real models: refused, or loaded sane; never a crash, a hang or a console line.
TEST(ZNT1ModelContent, DamagedRealModelsAreRefusedOrSane) {
  REQUIRE_CONTENT_DIR();
  worldtest::MapEngine& Engine = ContentEngine();
  const auto& Files = ContentFiles(".md3");
  const size_t ConsoleLines = Engine.Console->Lines.Strings.size();
  auto Sane = [](const TZNT1Model& m) {
    for (const TZNT1ModelMesh& Mesh : m.Meshs) {
      if (Mesh.Frames != int32_t(m.Frames.size()) || int32_t(Mesh.VBOFrames.size()) != Mesh.Frames) return false;
      for (const auto& VBO : Mesh.VBOs)
        for (int32_t i = 0; i < VBO->CountIndices; ++i)
          if (VBO->Indices[size_t(i)] >= uint32_t(Mesh.VerticesPerFrame)) return false;
    }
    for (const TZNT1ModelTag& Tag : m.Tags)
      if (Tag.Frames.size() != m.Frames.size()) return false;
    return !m.Frames.empty();
  };
  // A small real model with tags and two surfaces, cut at many lengths.
  const TContentFile* Small = nullptr;
  for (const TContentFile& f : Files) {
    const TMD3Info Info = ReadInfo(f.Data);
    if (Info.Surfaces.size() >= 2 && !Info.Tags[0].empty() && (!Small || f.Data.size() < Small->Data.size()))
      Small = &f;
  }
  ASSERT_NE(Small, nullptr);
  const size_t Stride = std::max<size_t>(1, Small->Data.size() / (Sanitize ? 400 : 4000));
  for (size_t n = 0; n < Small->Data.size(); n += Stride) {
    TZNT1Model Model(&Engine, nullptr);
    TMemoryStream Stream(Bytes(Small->Data.begin(), Small->Data.begin() + long(n)));
    EXPECT_FALSE(Model.LoadMD3(Stream)) << Small->Name << " cut at " << n;
  }
  // Seeded flips in the file and surface headers of real models.
  std::mt19937 Random(1234);
  size_t Refused = 0, Accepted = 0;
  for (size_t i = 0; i < Files.size(); i += Sanitize ? 40 : 8) {
    const TContentFile& f = Files[i];
    if (f.Data.size() > 400000) continue;
    for (int Round = 0; Round < (Sanitize ? 4 : 16); ++Round) {
      Bytes b = f.Data;
      std::vector<size_t> Headers = {0};
      size_t s = size_t(At<int32_t>(b, 100));
      for (int32_t k = 0; k < At<int32_t>(b, 84); ++k) {
        Headers.push_back(s);
        s += size_t(At<int32_t>(b, s + 104));
      }
      for (int Flip = 0; Flip < 3; ++Flip) {
        const size_t o = Headers[Random() % Headers.size()] + Random() % 108;
        b[o] ^= uint8_t(1u << (Random() % 8));
      }
      TZNT1Model Model(&Engine, nullptr);
      TMemoryStream Stream(b);
      if (Model.LoadMD3(Stream)) {
        EXPECT_TRUE(Sane(Model)) << f.Name << " round " << Round;
        ++Accepted;
      } else {
        ++Refused;
      }
    }
  }
  EXPECT_GT(Refused, 0u);
  EXPECT_GT(Accepted, 0u);
  EXPECT_EQ(Engine.Console->Lines.Strings.size(), ConsoleLines);
}
