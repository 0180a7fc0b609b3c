#include "support/QuitDelivery.h"

#include <SDL2/SDL_syswm.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

void PushKey(SDL_Keycode Key, Uint16 Mod) {
  SDL_Event e{};
  e.type = SDL_KEYDOWN;
  e.key.state = SDL_PRESSED;
  e.key.keysym.sym = Key;
  e.key.keysym.mod = Mod;
  SDL_PushEvent(&e);
}

void PushText(const std::string& Text) {
  for (const char c : Text) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    e.text.text[0] = c;
    SDL_PushEvent(&e);
  }
}

namespace {

// What a window manager sends when the user closes the window.
bool SendDeleteWindow(SDL_Window* Window) {
  SDL_SysWMinfo Info;
  SDL_VERSION(&Info.version);
  if (!Window || !SDL_GetWindowWMInfo(Window, &Info) || Info.subsystem != SDL_SYSWM_X11) return false;
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = Info.info.x11.window;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  const bool Sent = XSendEvent(d, Info.info.x11.window, False, NoEventMask, &e) != 0;
  XSync(d, False);
  XCloseDisplay(d);
  return Sent;
}

}  // namespace

const char* QuitWayName(TQuitWay Way) {
  switch (Way) {
    case TQuitWay::WindowClose: return "window close";
    case TQuitWay::AltF4: return "Alt+F4";
    case TQuitWay::TypedQuit: return "\"quit\" typed";
    case TQuitWay::Sigterm: return "SIGTERM";
    case TQuitWay::Sigint: return "SIGINT";
  }
  return "?";
}

bool DeliverQuit(TQuitWay Way, SDL_Window* Window, bool ConsoleFocused) {
  switch (Way) {
    case TQuitWay::WindowClose:
      return SendDeleteWindow(Window);
    case TQuitWay::AltF4:
      PushKey(SDLK_F4, KMOD_LALT);
      return true;
    case TQuitWay::TypedQuit:
      if (!ConsoleFocused) PushKey(SDLK_F8);
      PushText("quit");
      PushKey(SDLK_RETURN);
      return true;
    case TQuitWay::Sigterm:
      return kill(getpid(), SIGTERM) == 0;
    case TQuitWay::Sigint:
      return kill(getpid(), SIGINT) == 0;
  }
  return false;
}

bool RunChildProcess(const std::vector<std::string>& Args, const std::string& Env, int Seconds, int& ExitStatus) {
  std::string Self(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", Self.data(), Self.size() - 1);
  if (n <= 0) return false;
  Self.resize(static_cast<size_t>(n));
  std::vector<std::string> Strings = Args;
  std::vector<char*> Argv{Self.data()};
  for (std::string& a : Strings) Argv.push_back(a.data());
  Argv.push_back(nullptr);
  std::vector<std::string> EnvStrings{Env};
  for (char** e = environ; *e; ++e) EnvStrings.emplace_back(*e);
  std::vector<char*> Envp;
  for (std::string& s : EnvStrings) Envp.push_back(s.data());
  Envp.push_back(nullptr);
  pid_t Pid = 0;
  if (posix_spawn(&Pid, Self.c_str(), nullptr, nullptr, Argv.data(), Envp.data()) != 0) return false;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
  pid_t Done = 0;
  while ((Done = waitpid(Pid, &ExitStatus, WNOHANG)) == 0 && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (Done != 0) return true;
  kill(Pid, SIGKILL);
  waitpid(Pid, &ExitStatus, 0);
  return false;
}
