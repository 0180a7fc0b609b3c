#include "platform/ZNT1OpenGL.h"

#include <cstdio>
#include <cstring>

namespace {

bool MultisampleAvailable = false;
bool Version32Available = false;

bool SetComplete(const TZNT1GLVersionEntryPoints& Set, TZNT1GLGetProcAddress GetProc, int Major, int Minor) {
  if (Major < Set.Major || (Major == Set.Major && Minor < Set.Minor)) return false;
  for (int i = 0; i < Set.Count; ++i)
    if (!GetProc(Set.Names[i])) return false;
  return true;
}

}  // namespace

void GetOpenGLContextVersion(int& Major, int& Minor) {
  Major = 0;
  Minor = 0;
  const char* v = reinterpret_cast<const char*>(glGetString(GL_VERSION));
  if (v) std::sscanf(v, "%d.%d", &Major, &Minor);
}

bool LoadOpenGLRequired(TZNT1GLGetProcAddress GetProc, int ContextMajor, int ContextMinor, int* FailedMajor,
                        int* FailedMinor) {
  for (int i = 0; i < GLRequiredVersionCount; ++i) {
    if (!SetComplete(GLRequiredVersions[i], GetProc, ContextMajor, ContextMinor)) {
      if (FailedMajor) *FailedMajor = GLRequiredVersions[i].Major;
      if (FailedMinor) *FailedMinor = GLRequiredVersions[i].Minor;
      return false;
    }
  }
  return true;
}

int LoadOpenGLOptional(TZNT1GLGetProcAddress GetProc, int ContextMajor, int ContextMinor) {
  MultisampleAvailable = SetComplete(GLOptionalSets[0], GetProc, ContextMajor, ContextMinor);
  Version32Available = SetComplete(GLOptionalSets[1], GetProc, ContextMajor, ContextMinor);
  return int(MultisampleAvailable) + int(Version32Available);
}

bool OpenGLMultisampleAvailable() { return MultisampleAvailable; }
bool OpenGL32Available() { return Version32Available; }


namespace {

const char* const Names1_2[] = {
    "glDrawRangeElements", "glTexImage3D", "glTexSubImage3D", "glCopyTexSubImage3D",
};

const char* const Names1_3[] = {
    "glActiveTexture", "glSampleCoverage", "glCompressedTexImage3D", "glCompressedTexImage2D",
    "glCompressedTexImage1D", "glCompressedTexSubImage3D", "glCompressedTexSubImage2D", "glCompressedTexSubImage1D",
    "glGetCompressedTexImage", "glClientActiveTexture", "glMultiTexCoord1d", "glMultiTexCoord1dv",
    "glMultiTexCoord1f", "glMultiTexCoord1fv", "glMultiTexCoord1i", "glMultiTexCoord1iv",
    "glMultiTexCoord1s", "glMultiTexCoord1sv", "glMultiTexCoord2d", "glMultiTexCoord2dv",
    "glMultiTexCoord2f", "glMultiTexCoord2fv", "glMultiTexCoord2i", "glMultiTexCoord2iv",
    "glMultiTexCoord2s", "glMultiTexCoord2sv", "glMultiTexCoord3d", "glMultiTexCoord3dv",
    "glMultiTexCoord3f", "glMultiTexCoord3fv", "glMultiTexCoord3i", "glMultiTexCoord3iv",
    "glMultiTexCoord3s", "glMultiTexCoord3sv", "glMultiTexCoord4d", "glMultiTexCoord4dv",
    "glMultiTexCoord4f", "glMultiTexCoord4fv", "glMultiTexCoord4i", "glMultiTexCoord4iv",
    "glMultiTexCoord4s", "glMultiTexCoord4sv", "glLoadTransposeMatrixf", "glLoadTransposeMatrixd",
    "glMultTransposeMatrixf", "glMultTransposeMatrixd",
};

const char* const Names1_4[] = {
    "glBlendFuncSeparate", "glMultiDrawArrays", "glMultiDrawElements", "glPointParameterf",
    "glPointParameterfv", "glPointParameteri", "glPointParameteriv", "glFogCoordf",
    "glFogCoordfv", "glFogCoordd", "glFogCoorddv", "glFogCoordPointer",
    "glSecondaryColor3b", "glSecondaryColor3bv", "glSecondaryColor3d", "glSecondaryColor3dv",
    "glSecondaryColor3f", "glSecondaryColor3fv", "glSecondaryColor3i", "glSecondaryColor3iv",
    "glSecondaryColor3s", "glSecondaryColor3sv", "glSecondaryColor3ub", "glSecondaryColor3ubv",
    "glSecondaryColor3ui", "glSecondaryColor3uiv", "glSecondaryColor3us", "glSecondaryColor3usv",
    "glSecondaryColorPointer", "glWindowPos2d", "glWindowPos2dv", "glWindowPos2f",
    "glWindowPos2fv", "glWindowPos2i", "glWindowPos2iv", "glWindowPos2s",
    "glWindowPos2sv", "glWindowPos3d", "glWindowPos3dv", "glWindowPos3f",
    "glWindowPos3fv", "glWindowPos3i", "glWindowPos3iv", "glWindowPos3s",
    "glWindowPos3sv", "glBlendColor", "glBlendEquation",
};

const char* const Names1_5[] = {
    "glGenQueries", "glDeleteQueries", "glIsQuery", "glBeginQuery",
    "glEndQuery", "glGetQueryiv", "glGetQueryObjectiv", "glGetQueryObjectuiv",
    "glBindBuffer", "glDeleteBuffers", "glGenBuffers", "glIsBuffer",
    "glBufferData", "glBufferSubData", "glGetBufferSubData", "glMapBuffer",
    "glUnmapBuffer", "glGetBufferParameteriv", "glGetBufferPointerv",
};

const char* const Names2_0[] = {
    "glBlendEquationSeparate", "glDrawBuffers", "glStencilOpSeparate", "glStencilFuncSeparate",
    "glStencilMaskSeparate", "glAttachShader", "glBindAttribLocation", "glCompileShader",
    "glCreateProgram", "glCreateShader", "glDeleteProgram", "glDeleteShader",
    "glDetachShader", "glDisableVertexAttribArray", "glEnableVertexAttribArray", "glGetActiveAttrib",
    "glGetActiveUniform", "glGetAttachedShaders", "glGetAttribLocation", "glGetProgramiv",
    "glGetProgramInfoLog", "glGetShaderiv", "glGetShaderInfoLog", "glGetShaderSource",
    "glGetUniformLocation", "glGetUniformfv", "glGetUniformiv", "glGetVertexAttribdv",
    "glGetVertexAttribfv", "glGetVertexAttribiv", "glGetVertexAttribPointerv", "glIsProgram",
    "glIsShader", "glLinkProgram", "glShaderSource", "glUseProgram",
    "glUniform1f", "glUniform2f", "glUniform3f", "glUniform4f",
    "glUniform1i", "glUniform2i", "glUniform3i", "glUniform4i",
    "glUniform1fv", "glUniform2fv", "glUniform3fv", "glUniform4fv",
    "glUniform1iv", "glUniform2iv", "glUniform3iv", "glUniform4iv",
    "glUniformMatrix2fv", "glUniformMatrix3fv", "glUniformMatrix4fv", "glValidateProgram",
    "glVertexAttrib1d", "glVertexAttrib1dv", "glVertexAttrib1f", "glVertexAttrib1fv",
    "glVertexAttrib1s", "glVertexAttrib1sv", "glVertexAttrib2d", "glVertexAttrib2dv",
    "glVertexAttrib2f", "glVertexAttrib2fv", "glVertexAttrib2s", "glVertexAttrib2sv",
    "glVertexAttrib3d", "glVertexAttrib3dv", "glVertexAttrib3f", "glVertexAttrib3fv",
    "glVertexAttrib3s", "glVertexAttrib3sv", "glVertexAttrib4Nbv", "glVertexAttrib4Niv",
    "glVertexAttrib4Nsv", "glVertexAttrib4Nub", "glVertexAttrib4Nubv", "glVertexAttrib4Nuiv",
    "glVertexAttrib4Nusv", "glVertexAttrib4bv", "glVertexAttrib4d", "glVertexAttrib4dv",
    "glVertexAttrib4f", "glVertexAttrib4fv", "glVertexAttrib4iv", "glVertexAttrib4s",
    "glVertexAttrib4sv", "glVertexAttrib4ubv", "glVertexAttrib4uiv", "glVertexAttrib4usv",
    "glVertexAttribPointer",
};

const char* const Names3_0[] = {
    "glColorMaski", "glGetBooleani_v", "glGetIntegeri_v", "glEnablei",
    "glDisablei", "glIsEnabledi", "glBeginTransformFeedback", "glEndTransformFeedback",
    "glBindBufferRange", "glBindBufferBase", "glTransformFeedbackVaryings", "glGetTransformFeedbackVarying",
    "glClampColor", "glBeginConditionalRender", "glEndConditionalRender", "glVertexAttribIPointer",
    "glGetVertexAttribIiv", "glGetVertexAttribIuiv", "glVertexAttribI1i", "glVertexAttribI2i",
    "glVertexAttribI3i", "glVertexAttribI4i", "glVertexAttribI1ui", "glVertexAttribI2ui",
    "glVertexAttribI3ui", "glVertexAttribI4ui", "glVertexAttribI1iv", "glVertexAttribI2iv",
    "glVertexAttribI3iv", "glVertexAttribI4iv", "glVertexAttribI1uiv", "glVertexAttribI2uiv",
    "glVertexAttribI3uiv", "glVertexAttribI4uiv", "glVertexAttribI4bv", "glVertexAttribI4sv",
    "glVertexAttribI4ubv", "glVertexAttribI4usv", "glGetUniformuiv", "glBindFragDataLocation",
    "glGetFragDataLocation", "glUniform1ui", "glUniform2ui", "glUniform3ui",
    "glUniform4ui", "glUniform1uiv", "glUniform2uiv", "glUniform3uiv",
    "glUniform4uiv", "glTexParameterIiv", "glTexParameterIuiv", "glGetTexParameterIiv",
    "glGetTexParameterIuiv", "glClearBufferiv", "glClearBufferuiv", "glClearBufferfv",
    "glClearBufferfi", "glGetStringi", "glIsRenderbuffer", "glBindRenderbuffer",
    "glDeleteRenderbuffers", "glGenRenderbuffers", "glRenderbufferStorage", "glGetRenderbufferParameteriv",
    "glIsFramebuffer", "glBindFramebuffer", "glDeleteFramebuffers", "glGenFramebuffers",
    "glCheckFramebufferStatus", "glFramebufferTexture1D", "glFramebufferTexture2D", "glFramebufferTexture3D",
    "glFramebufferRenderbuffer", "glGetFramebufferAttachmentParameteriv", "glGenerateMipmap", "glBlitFramebuffer",
    "glRenderbufferStorageMultisample", "glFramebufferTextureLayer", "glMapBufferRange", "glFlushMappedBufferRange",
    "glBindVertexArray", "glDeleteVertexArrays", "glGenVertexArrays", "glIsVertexArray",
};

const char* const Names3_1[] = {
    "glDrawArraysInstanced", "glDrawElementsInstanced", "glTexBuffer", "glPrimitiveRestartIndex",
    "glCopyBufferSubData", "glGetUniformIndices", "glGetActiveUniformsiv", "glGetActiveUniformName",
    "glGetUniformBlockIndex", "glGetActiveUniformBlockiv", "glGetActiveUniformBlockName", "glUniformBlockBinding",
};

const char* const Names3_2[] = {
    "glDrawElementsBaseVertex", "glDrawRangeElementsBaseVertex", "glDrawElementsInstancedBaseVertex", "glMultiDrawElementsBaseVertex",
    "glProvokingVertex", "glFenceSync", "glIsSync", "glDeleteSync",
    "glClientWaitSync", "glWaitSync", "glGetInteger64v", "glGetSynciv",
    "glGetInteger64i_v", "glGetBufferParameteri64v", "glFramebufferTexture", "glTexImage2DMultisample",
    "glTexImage3DMultisample", "glGetMultisamplefv", "glSampleMaski",
};

const char* const NamesMultisample[] = {"glTexImage2DMultisample", "glTexImage3DMultisample", "glGetMultisamplefv", "glSampleMaski"};

}  // namespace

const TZNT1GLVersionEntryPoints GLRequiredVersions[] = {
    {1, 2, Names1_2, sizeof(Names1_2) / sizeof(Names1_2[0])},
    {1, 3, Names1_3, sizeof(Names1_3) / sizeof(Names1_3[0])},
    {1, 4, Names1_4, sizeof(Names1_4) / sizeof(Names1_4[0])},
    {1, 5, Names1_5, sizeof(Names1_5) / sizeof(Names1_5[0])},
    {2, 0, Names2_0, sizeof(Names2_0) / sizeof(Names2_0[0])},
    {3, 0, Names3_0, sizeof(Names3_0) / sizeof(Names3_0[0])},
    {3, 1, Names3_1, sizeof(Names3_1) / sizeof(Names3_1[0])},
};
const int GLRequiredVersionCount = sizeof(GLRequiredVersions) / sizeof(GLRequiredVersions[0]);

const TZNT1GLVersionEntryPoints GLOptionalSets[] = {
    {3, 2, NamesMultisample, sizeof(NamesMultisample) / sizeof(NamesMultisample[0])},
    {3, 2, Names3_2, sizeof(Names3_2) / sizeof(Names3_2[0])},
};
const int GLOptionalSetCount = sizeof(GLOptionalSets) / sizeof(GLOptionalSets[0]);
