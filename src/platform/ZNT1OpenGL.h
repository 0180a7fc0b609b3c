#pragma once
// OpenGL through the system headers; entry points are checked per version at start.
#ifndef GL_GLEXT_PROTOTYPES
#define GL_GLEXT_PROTOTYPES 1
#endif
#include <GL/gl.h>
#include <GL/glext.h>

struct TZNT1GLVersionEntryPoints {
  int Major;
  int Minor;
  const char* const* Names;
  int Count;
};

extern const TZNT1GLVersionEntryPoints GLRequiredVersions[];
extern const int GLRequiredVersionCount;
extern const TZNT1GLVersionEntryPoints GLOptionalSets[];
extern const int GLOptionalSetCount;

// Resolves an entry point by name; nullptr when absent.
using TZNT1GLGetProcAddress = void* (*)(const char* Name);

// The current context's version as reported by the driver (0.0 when unknown).
void GetOpenGLContextVersion(int& Major, int& Minor);

// True when every required entry point of 1.2 to 3.1 is present and the context is at least 3.1.
// On GLX a pointer comes back even for names the driver lacks, so the context version decides too.
bool LoadOpenGLRequired(TZNT1GLGetProcAddress GetProc, int ContextMajor, int ContextMinor,
                        int* FailedMajor = nullptr, int* FailedMinor = nullptr);
// The optional sets (multisample textures, 3.2); returns how many are complete.
int LoadOpenGLOptional(TZNT1GLGetProcAddress GetProc, int ContextMajor, int ContextMinor);
bool OpenGLMultisampleAvailable();
bool OpenGL32Available();
