#pragma once
// What an engine's libraries hold, counted: the items in use (referenced, uploaded, compiled,
// holding pixels) and the libraries' sizes, for checks that a map unload gives back what its
// load took; and the process's resident memory, for reports.
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <tuple>

#include <unistd.h>

#include "assets/ZNT1Texture.h"
#include "core/ZNT1Engine.h"
#include "gpu/ZNT1GLSLShader.h"
#include "material/ZNT1Shader.h"
#include "sound/ZNT1Sound.h"
#include "world/ZNT1Model.h"

namespace holdings {

// Items in use; equal after two loads of one map, whatever was loaded in between.
struct TInUse {
  int32_t ReferencedTextures = 0, UploadedTextures = 0, TexturesWithPixels = 0, LightMaps = 0;
  int32_t ReferencedMaterials = 0, UploadedMaterials = 0;
  int32_t ReferencedPrograms = 0, CompiledPrograms = 0;
  int32_t ReferencedModels = 0, UploadedModels = 0, Instances = 0;
  int32_t Samples = 0, Voices = 0;

  auto Tie() const {
    return std::tie(ReferencedTextures, UploadedTextures, TexturesWithPixels, LightMaps, ReferencedMaterials,
                    UploadedMaterials, ReferencedPrograms, CompiledPrograms, ReferencedModels, UploadedModels,
                    Instances, Samples, Voices);
  }
  bool operator==(const TInUse& o) const { return Tie() == o.Tie(); }
  friend std::ostream& operator<<(std::ostream& s, const TInUse& h) {
    return s << "textures referenced " << h.ReferencedTextures << " uploaded " << h.UploadedTextures
             << " with pixels " << h.TexturesWithPixels << ", light maps " << h.LightMaps << ", materials referenced "
             << h.ReferencedMaterials << " uploaded " << h.UploadedMaterials << ", programs referenced "
             << h.ReferencedPrograms << " compiled " << h.CompiledPrograms << ", models referenced "
             << h.ReferencedModels << " uploaded " << h.UploadedModels << " instances " << h.Instances
             << ", samples " << h.Samples << " voices " << h.Voices;
  }
};

// Library sizes: descriptions stay by design, so these only stop growing once every map of a
// cycle has been seen.
struct TLibraries {
  int32_t Textures = 0, Materials = 0, Programs = 0, Models = 0;
  bool operator==(const TLibraries& o) const {
    return std::tie(Textures, Materials, Programs, Models) == std::tie(o.Textures, o.Materials, o.Programs, o.Models);
  }
  friend std::ostream& operator<<(std::ostream& s, const TLibraries& l) {
    return s << "textures " << l.Textures << ", materials " << l.Materials << ", programs " << l.Programs
             << ", models " << l.Models;
  }
};

// Materials with a reference: alone, for checks made at every load report.
inline int32_t ReferencedMaterials(const TZNT1Engine& e) {
  int32_t n = 0;
  for (int32_t i = 0; i < e.Shaders->Count(); ++i)
    if (const TZNT1Shader* s = e.Shaders->GetItem(i)) n += s->ReferenceCounter > 0;
  return n;
}

inline TInUse InUse(const TZNT1Engine& e) {
  TInUse h;
  for (int32_t i = 0; i < e.Textures->Count(); ++i) {
    const TZNT1Texture* t = e.Textures->GetItem(i);
    h.ReferencedTextures += t->ReferenceCounter > 0;
    h.UploadedTextures += t->Uploaded;
    h.TexturesWithPixels += t->Disposable && t->Data != nullptr;
  }
  h.LightMaps = e.LightMaps ? e.LightMaps->Count() : 0;
  for (int32_t i = 0; i < e.Shaders->Count(); ++i)
    if (const TZNT1Shader* s = e.Shaders->GetItem(i)) {
      h.ReferencedMaterials += s->ReferenceCounter > 0;
      h.UploadedMaterials += s->Uploaded;
    }
  for (int32_t i = 0; i < e.GLSLShaders->Count(); ++i)
    if (const TZNT1GLSLShader* p = e.GLSLShaders->GetItem(i)) {
      h.ReferencedPrograms += p->ReferenceCounter > 0;
      h.CompiledPrograms += p->ProgramHandle >= 0;
    }
  for (int32_t i = 0; i < e.Models->Count(); ++i) {
    const TZNT1Model* m = e.Models->GetItem(i);
    h.ReferencedModels += m->ReferenceCounter > 0;
    h.UploadedModels += m->Uploaded;
    h.Instances += int32_t(m->Instances.size());
  }
  if (e.SoundSystem)
    for (int32_t i = 0; i < e.SoundSystem->Samples->Count(); ++i) {
      ++h.Samples;
      h.Voices += e.SoundSystem->Samples->GetItem(i)->VoiceCount();
    }
  return h;
}

inline TLibraries Libraries(const TZNT1Engine& e) {
  return {e.Textures->Count(), e.Shaders->Count(), e.GLSLShaders->Count(), e.Models->Count()};
}

// Resident set of this process in MB, from /proc/self/statm; 0 when unreadable.
inline double ResidentMB() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0.0;
  long Size = 0, Resident = 0;
  const bool Read = std::fscanf(f, "%ld %ld", &Size, &Resident) == 2;
  std::fclose(f);
  return Read ? double(Resident) * double(sysconf(_SC_PAGESIZE)) / 1048576.0 : 0.0;
}

}  // namespace holdings
