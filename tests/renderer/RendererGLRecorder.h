#pragma once
// Records the renderer's OpenGL calls in order (name and arguments) and passes them on to the
// driver, for tests where the order or the exact calls matter.
#include <cstdint>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "renderer/ZNT1Renderer.h"

class RendererGLRecorder {
 public:
  RendererGLRecorder() {
    Saved = RendererGL;
    Calls().clear();
    RendererGL.Enable = [](GLenum c) { Log("Enable", c); ::glEnable(c); };
    RendererGL.Disable = [](GLenum c) { Log("Disable", c); ::glDisable(c); };
    RendererGL.DepthMask = [](GLboolean b) { Log("DepthMask", int(b)); ::glDepthMask(b); };
    RendererGL.DepthFunc = [](GLenum f) { Log("DepthFunc", f); ::glDepthFunc(f); };
    RendererGL.DepthRange = [](GLdouble n, GLdouble f) { Log("DepthRange", n, f); ::glDepthRange(n, f); };
    RendererGL.BlendEquation = [](GLenum e) { Log("BlendEquation", e); ::glBlendEquation(e); };
    RendererGL.BlendFunc = [](GLenum s, GLenum d) { Log("BlendFunc", s, d); ::glBlendFunc(s, d); };
    RendererGL.CullFace = [](GLenum f) { Log("CullFace", f); ::glCullFace(f); };
    RendererGL.PolygonMode = [](GLenum f, GLenum m) { Log("PolygonMode", f, m); ::glPolygonMode(f, m); };
    RendererGL.PolygonOffset = [](GLfloat f, GLfloat u) { Log("PolygonOffset", f, u); ::glPolygonOffset(f, u); };
    RendererGL.ActiveTexture = [](GLenum u) { Log("ActiveTexture", u - GL_TEXTURE0); ::glActiveTexture(u); };
    RendererGL.BindTexture = [](GLenum t, GLuint h) { Log("BindTexture", t, h); ::glBindTexture(t, h); };
    RendererGL.UseProgram = [](GLuint p) { Log("UseProgram", p); ::glUseProgram(p); };
    RendererGL.EnableVertexAttribArray = [](GLuint i) { Log("EnableVertexAttribArray", i); ::glEnableVertexAttribArray(i); };
    RendererGL.DisableVertexAttribArray = [](GLuint i) {
      Log("DisableVertexAttribArray", i);
      ::glDisableVertexAttribArray(i);
    };
    RendererGL.VertexAttribPointer = [](GLuint i, GLint n, GLenum t, GLboolean norm, GLsizei s, const void* p) {
      Log("VertexAttribPointer", i, n, t, int(norm), s, reinterpret_cast<uintptr_t>(p));
      ::glVertexAttribPointer(i, n, t, norm, s, p);
    };
    RendererGL.BindVertexArray = [](GLuint a) { Log("BindVertexArray", a); ::glBindVertexArray(a); };
    RendererGL.BindBuffer = [](GLenum t, GLuint b) { Log("BindBuffer", t, b); ::glBindBuffer(t, b); };
    RendererGL.BufferSubData = [](GLenum t, GLintptr o, GLsizeiptr s, const void* d) {
      Log("BufferSubData", t, o, s);
      ::glBufferSubData(t, o, s, d);
    };
    RendererGL.DrawElements = [](GLenum m, GLsizei n, GLenum t, const void* p) {
      Log("DrawElements", m, n, t, reinterpret_cast<uintptr_t>(p));
      ::glDrawElements(m, n, t, p);
    };
    RendererGL.DrawRangeElements = [](GLenum m, GLuint a, GLuint b, GLsizei n, GLenum t, const void* p) {
      Log("DrawRangeElements", m, a, b, n, t, reinterpret_cast<uintptr_t>(p));
      ::glDrawRangeElements(m, a, b, n, t, p);
    };
    RendererGL.MultiDrawElements = [](GLenum m, const GLsizei* n, GLenum t, const void* const* p, GLsizei c) {
      Log("MultiDrawElements", m, c);
      ::glMultiDrawElements(m, n, t, p, c);
    };
  }
  ~RendererGLRecorder() { RendererGL = Saved; }
  RendererGLRecorder(const RendererGLRecorder&) = delete;
  RendererGLRecorder& operator=(const RendererGLRecorder&) = delete;

  static std::vector<std::string>& Calls() {
    static std::vector<std::string> c;
    return c;
  }
  // Calls whose text starts with Prefix.
  static int Count(const std::string& Prefix) {
    int n = 0;
    for (const std::string& c : Calls())
      if (c.compare(0, Prefix.size(), Prefix) == 0) ++n;
    return n;
  }
  static void Clear() { Calls().clear(); }

  // The draw calls made while Program was in use, counted by the texture then bound on Unit.
  static std::map<uint32_t, int> DrawsByTexture(uint32_t Program, uint32_t Unit) {
    const std::string Use = Format("UseProgram", Program);
    std::map<uint32_t, int> Draws;
    uint32_t Active = 0, Bound[32] = {};
    bool Using = false;
    for (const std::string& Call : Calls()) {
      if (Call.rfind("UseProgram(", 0) == 0) Using = Call == Use;
      if (Call.rfind("ActiveTexture(", 0) == 0) Active = uint32_t(std::stoul(Call.substr(14)));
      if (Call.rfind("BindTexture(", 0) == 0 && Active < 32)
        Bound[Active] = uint32_t(std::stoul(Call.substr(Call.find(',') + 1)));
      if (Using && (Call.rfind("DrawElements(", 0) == 0 || Call.rfind("DrawRangeElements(", 0) == 0 ||
                    Call.rfind("MultiDrawElements(", 0) == 0))
        ++Draws[Unit < 32 ? Bound[Unit] : 0];
    }
    return Draws;
  }

  // The state each draw call among the calls [From, To) was made in (program, blending, depth
  // test and writes, polygon offset: what a driver builds its code for), as set by the calls
  // recorded before it.
  static std::set<std::string> DrawStates(size_t From, size_t To) {
    std::set<std::string> States;
    std::map<std::string, std::string> Now;  // piece of state -> its last call
    const std::vector<std::string>& c = Calls();
    for (size_t i = 0; i < c.size() && i < To; ++i) {
      const std::string& Call = c[i];
      const std::string Name = Call.substr(0, Call.find('('));
      if (Name == "Enable" || Name == "Disable") {
        const std::string Cap = Call.substr(Call.find('('));
        if (Cap == Format("", GL_BLEND) || Cap == Format("", GL_DEPTH_TEST) || Cap == Format("", GL_POLYGON_OFFSET_FILL))
          Now[Cap] = Name;
      } else if (Name == "UseProgram" || Name == "BlendFunc" || Name == "BlendEquation" || Name == "DepthFunc" ||
                 Name == "DepthMask") {
        Now[Name] = Call;
      } else if (i >= From && (Name == "DrawElements" || Name == "DrawRangeElements" || Name == "MultiDrawElements")) {
        // Blend factors without blending, and the depth function and writes without the depth
        // test, change nothing the driver builds.
        const bool Blend = Now[Format("", GL_BLEND)] == "Enable", Depth = Now[Format("", GL_DEPTH_TEST)] == "Enable";
        std::string State;
        for (const auto& [Piece, Last] : Now)
          if ((Blend || (Piece != "BlendFunc" && Piece != "BlendEquation")) &&
              (Depth || (Piece != "DepthFunc" && Piece != "DepthMask")))
            State += Piece + "=" + Last + " ";
        States.insert(State);
      }
    }
    return States;
  }

  // The text a call is recorded as, e.g. Format("BindTexture", GL_TEXTURE_2D, 5).
  template <typename... A>
  static std::string Format(const char* Name, A... Args) {
    std::ostringstream s;
    s << Name << "(";
    const char* Sep = "";
    ((s << Sep << Args, Sep = ","), ...);
    s << ")";
    return s.str();
  }

 private:
  template <typename... A>
  static void Log(const char* Name, A... Args) {
    Calls().push_back(Format(Name, Args...));
  }
  TZNT1RendererGL Saved;
};
