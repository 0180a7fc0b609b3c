#pragma once
// MD3 models (frames, tags, skins, levels of detail) in GPU-ready buffers, their placed and animated instances, and the model library.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1Math.h"
#include "core/ZNT1StringHashMap.h"
#include "gpu/ZNT1VBO.h"

class TZNT1Engine;
class TZNT1Shader;
class TZNT1Models;
class TZNT1Model;
class TZNT1ModelInstance;
class TMemoryStream;
struct TBSPMapModel;

// Model types; only zmtNONE is ever set by the loaders, the others are reserved type numbers.
constexpr int32_t zmtNONE = 0;
constexpr int32_t zmtBRUSH = 1;
constexpr int32_t zmtMD3 = 2;
constexpr int32_t zmtMD4 = 3;
constexpr int32_t zmtMDR = 4;
constexpr int32_t zmtIQM = 5;

struct TZNT1ModelFrame {
  TZNT1AABB AABB{};
  TZNT1Vector3 LocalOrigin{};
  float Radius = 0.0f;
  std::string Name;
};

struct TZNT1ModelTagFrame {
  TZNT1Vector3 Origin{};
  TZNT1Quaternion Quaternion{};
};

struct TZNT1ModelTag {
  std::string Name;
  std::vector<TZNT1ModelTagFrame> Frames;  // one per model frame
};

// Which buffer holds a frame and where its vertices start.
struct TZNT1ModelMeshVBOFrame {
  int32_t VBOIndex = 0;
  int32_t StartVertex = 0;
};

// One MD3 surface.
class TZNT1ModelMesh {
 public:
  // Blends frames Frame0 and Frame1 by Weight (0 gives Frame0, 1 gives Frame1) into the first
  // VerticesPerFrame entries of Target: position, both coordinates, normal (not renormalised) and
  // tangent interpolated, colour and centre copied from Frame0. False (Target untouched) when a
  // frame or its buffer is out of range or Target is shorter than a frame.
  bool InterpolateFrames(int32_t Frame0, int32_t Frame1, float Weight, TZNT1VBOVertices& Target) const;

  std::string Name;  // lower case
  std::vector<std::unique_ptr<TZNT1VBO>> VBOs;
  std::unique_ptr<TZNT1VBO> VBO;  // nil after loading
  std::vector<TZNT1ModelMeshVBOFrame> VBOFrames;
  std::vector<TZNT1Shader*> Skins;  // slot k is skin k; the materials belong to the material library
  std::vector<std::string> SkinNames;
  int32_t NumSkins = 0;
  int32_t Frames = 0;
  int32_t VerticesPerFrame = 0;
  int32_t IndicesPerFrame = 0;
};

class TZNT1Model {
 public:
  TZNT1Model(TZNT1Engine* AEngine, TZNT1Models* AModels);
  // Disposes, leaves the library's name index and frees its instances and buffers.
  ~TZNT1Model();
  TZNT1Model(const TZNT1Model&) = delete;
  TZNT1Model& operator=(const TZNT1Model&) = delete;

  void EnqueueHash();
  // Removes the name from the library's index when it still names this model.
  void DequeueHash();

  // Reads an MD3 file; false on the first failing read or check (what was filled so far stays).
  bool LoadMD3(TMemoryStream& Stream);
  // LoadMD3, then (when SkinPrefix is not empty, even after a failed read) the files SkinPrefix_*.skin;
  // answers what LoadMD3 answered.
  bool Load(TMemoryStream& Stream, const std::string& SkinPrefix);
  // A new instance of this model; the model owns it.
  TZNT1ModelInstance* CreateInstance();

  // The first reference references the buffers, skins and reduced models; then Upload.
  void IncRef();
  void DecRef();
  void Upload();
  void Dispose();

  TZNT1Engine* Engine;
  TZNT1Models* Models;
  std::string Name;  // the library key
  int32_t ModelType = zmtNONE;
  TBSPMapModel* MapModel = nullptr;
  std::vector<TZNT1Model*> Links;  // one per tag
  std::vector<TZNT1ModelMesh> Meshs;
  std::vector<TZNT1ModelFrame> Frames;
  // The farthest a vertex lies outside its frame's box as the file gives it: instance boxes, made
  // from those, miss that much of the geometry.
  float FrameBoxReach = 0.0f;
  std::vector<TZNT1ModelTag> Tags;
  bool Uploaded = false;
  int32_t ReferenceCounter = 0;
  // Entry 0 is the model itself, entry i the i-th reduced model (owned by the library).
  std::vector<TZNT1Model*> LevelOfDetail;
  // Owned; each instance takes itself out of the list when freed.
  std::vector<TZNT1ModelInstance*> Instances;

 private:
  void ReadSkinFile(TMemoryStream& Stream, const std::string& SkinName);
  // The material of a surface or skin line: by name, by name without extension, else a default one.
  TZNT1Shader* FindMaterial(const std::string& ShaderName);
  // Multi-frame meshes need materials whose programs blend two frames.
  void SwitchToInterpolation(TZNT1ModelMesh& Mesh);
};

struct TZNT1ModelAnimationState {
  int32_t Frame = 0;
  int32_t NextRequestedFrame = 0;
  int32_t NextFrame = 0;
  double FrameTime = 0.0;  // fraction of the way from Frame to NextFrame, kept in 0..1
  int32_t StartFrame = 0;
  int32_t EndFrame = 0;
  bool Animation = false;
  bool Backwards = false;
  bool Loop = false;
  float FramesPerSecond = 0.0f;
  float InterpolationTime = 0.0f;  // the weight of NextFrame when drawn
};

struct TZNT1ModelInstanceTag {
  TZNT1ModelInstance* LinkedModelInstance = nullptr;  // not owned
  TZNT1Matrix4x4 ViewTransform = Matrix4x4Identity;
};

// One placed, animated copy of a model: a simulation state advanced in fixed game steps and a view
// state derived from it in every rendered frame; instances hang from each other by tags.
class TZNT1ModelInstance {
 public:
  // Joins the model's instance list.
  TZNT1ModelInstance(TZNT1Engine* AEngine, TZNT1Model* AModel);
  // Leaves the model's instance list.
  ~TZNT1ModelInstance();
  TZNT1ModelInstance(const TZNT1ModelInstance&) = delete;
  TZNT1ModelInstance& operator=(const TZNT1ModelInstance&) = delete;

  // Hangs ModelInstanceToLink from the first tag named TagName; false when no tag has that name.
  bool Link(const std::string& TagName, TZNT1ModelInstance* ModelInstanceToLink);
  // Advances a state by DeltaTime seconds; frames are clamped to the model's frames.
  void UpdateAnimation(TZNT1ModelAnimationState& AnimationState, double DeltaTime);
  // One game step: animation, box, then the linked instances.
  void Update(double DeltaTime);
  // AABB and Middle: the simulation state's frame box under Transform (this instance only).
  void UpdateAABB();
  // Linked instances take this one's leaf, render type and shadow switches.
  void Synchronize();
  // Saves the simulation state as the start of the view state's interpolation (recursive).
  void SmoothStore();
  // One rendered frame at fraction x of the step since SmoothStore; the root passes no parent
  // transform and a negative ParentLeaf.
  void SmoothInterpolate(double x, bool ForceAni, const TZNT1Matrix4x4* ParentViewTransform, int32_t ParentLeaf);

  TZNT1Engine* Engine;
  TZNT1Model* Model;
  TZNT1ModelInstance* NextShadowMapModelInstance = nullptr;
  TZNT1Matrix4x4 Transform = Matrix4x4Identity;
  TZNT1Matrix4x4 ViewTransform = Matrix4x4Identity;
  int32_t Skin = 0;
  int32_t RenderType = 0;
  bool RecieveShadow = true;
  bool CastShadow = true;
  bool CastShadowToProcess = false;
  bool HasLightOrigin = false;
  TZNT1Vector3 LightOrigin = Vector3Origin;
  TZNT1ModelAnimationState Animation;
  TZNT1ModelAnimationState ViewAnimation;
  // The simulation state SmoothStore saved: each rendered frame advances a copy of it, so that
  // several frames within one step do not add up their advances.
  TZNT1ModelAnimationState StoredAnimation;
  double ViewDeltaTime = 0.0;  // simulation time since the last SmoothStore
  std::vector<TZNT1ModelInstanceTag> Tags;
  int32_t Leaf = -1;
  TZNT1AABB AABB{};
  TZNT1AABB ViewAABB{};
  TZNT1Sphere ViewSphere{};
  TZNT1Vector3 Middle = Vector3Origin;
  TZNT1Vector3 ViewMiddle = Vector3Origin;
  int32_t EntityIndex = 0;
  TZNT1Vector4 ShaderRGBA = Vector4(1, 1, 1, 1);
  TZNT1Vector2 ShaderTexCoord = Vector2(0, 0);
  bool LocalPlayerModel = false;

 private:
  // The frame boxes of State's two frames blended by its interpolation time; false without frames.
  bool BlendedFrameBox(const TZNT1ModelAnimationState& State, TZNT1AABB& Box) const;
};

class TZNT1Models {
 public:
  explicit TZNT1Models(TZNT1Engine* AEngine);
  // Frees every listed model.
  ~TZNT1Models();
  TZNT1Models(const TZNT1Models&) = delete;
  TZNT1Models& operator=(const TZNT1Models&) = delete;

  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  TZNT1Model* GetItem(int32_t Index) const { return Items[static_cast<size_t>(Index)]; }
  void SetItem(int32_t Index, TZNT1Model* Model) { Items[static_cast<size_t>(Index)] = Model; }
  // The model of that name, loading it (with skins and reduced models) on first request; nil when
  // no file loads. The caller takes its reference with IncRef.
  TZNT1Model* GetModel(const std::string& Name);
  void Upload();
  void Dispose();

  TZNT1Engine* Engine;
  std::vector<TZNT1Model*> Items;  // owned
  TZNT1StringHashMap HashMap;      // name -> model
};
