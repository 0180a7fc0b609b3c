#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/MainCode.h"
#include "core/ZNT1Engine.h"
#include "game/Game.h"
#include "support/EngineRunFixture.h"

extern char** environ;

namespace {

std::string Code(uint8_t c) { return std::string(1, '\0') + static_cast<char>(c); }

void PushKey(SDL_Keycode Key) {
  SDL_Event e{};
  e.type = SDL_KEYDOWN;
  e.key.state = SDL_PRESSED;
  e.key.keysym.sym = Key;
  SDL_PushEvent(&e);
}

// Types the text one character at a time, as the platform's text input delivers it, then Return.
void TypeLine(const std::string& Text) {
  for (const char c : Text) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    e.text.text[0] = c;
    SDL_PushEvent(&e);
  }
  PushKey(SDLK_RETURN);
}

// Drives the real game through the console from inside the engine's loop. Everything it
// pushes is polled in the next frame; UpdateInput runs after that frame's command buffer.
class ConsoleProbeGame : public TGame {
 public:
  using TGame::TGame;

  bool Has(const std::string& Line) const {
    for (const std::string& l : Engine->Console->Lines.Strings)
      if (l == Line) return true;
    return false;
  }

  void UpdateInput() override {
    ++frame;
    SDL_Window* w = Engine->SDLSurfaceWindow;
    switch (step) {
      case 0:
        PushKey(SDLK_F8);
        TypeLine("echo hi");
        Next();
        break;
      case 1:
        if (Has(Code(15) + ">echo hi")) {
          echoFrame = frame;
          hiWithEcho = Has(Code(14) + "hi");
          focused = Engine->Console->Focus;
          Next();
        }
        break;
      case 2:
        if (Has(Code(14) + "hi")) hiFrame = frame;
        TypeLine("/v_width 1024");
        Next();
        break;
      case 3:
        SDL_GetWindowSize(w, &windowWidth, &windowHeight);
        if (windowWidth == 1024 && Engine->CanvasWidth == 1024) {
          canvasWidth = Engine->CanvasWidth;
          canvasHeight = Engine->CanvasHeight;
          TypeLine("/v_fullscreen 1");
          Next();
        } else if (Waited() > 120) {
          Next();
        }
        break;
      case 4:
        fullScreen = (SDL_GetWindowFlags(w) & SDL_WINDOW_FULLSCREEN) != 0;
        if (fullScreen || Waited() > 120) {
          TypeLine("/v_fullscreen 0");
          Next();
        }
        break;
      case 5:
        windowedAgain = (SDL_GetWindowFlags(w) & SDL_WINDOW_FULLSCREEN) == 0;
        if (windowedAgain || Waited() > 120) {
          TypeLine("map nosuchmap");
          Next();
        }
        break;
      case 6:
        if (Has(Code(12) + "ERROR: Map \"nosuchmap\" not found")) {
          mapReported = true;
          Next();
        } else if (Waited() > 120) {
          Next();
        }
        break;
      case 7:
        if (Waited() >= 5) {  // still running
          framesAfterMap = Waited();
          // The game hands the keyboard back to itself after every map command, even a failed one.
          closedAfterMap = !Engine->Console->Focus;
          if (closedAfterMap) PushKey(SDLK_F8);
          TypeLine("quit");
          quitTypedFrame = frame;
          Next();
        }
        break;
      default:
        break;
    }
    lastFrame = frame;
    if (frame == 3000) {  // never hang the test run
      SDL_Event quit{};
      quit.type = SDL_QUIT;
      SDL_PushEvent(&quit);
    }
  }

  void Next() {
    ++step;
    stepFrame = frame;
  }
  int Waited() const { return frame - stepFrame; }

  int frame = 0, step = 0, stepFrame = 0;
  static inline int echoFrame = -1, hiFrame = -1, quitTypedFrame = -1, lastFrame = -1, framesAfterMap = 0;
  static inline int windowWidth = 0, windowHeight = 0, canvasWidth = 0, canvasHeight = 0;
  static inline bool hiWithEcho = true, focused = false, fullScreen = false, windowedAgain = false,
                            mapReported = false, closedAfterMap = false;
};

class ConsoleGL : public EngineRunFixture {};

}  // namespace

TEST_F(ConsoleGL, TypedLinesRunInTheNextFrameAndDriveTheEngine) {
  auto engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<ConsoleProbeGame>, false);
  ASSERT_TRUE(engine->Run()) << engine->InitError;
  using P = ConsoleProbeGame;
  EXPECT_TRUE(P::focused);  // F8 opened the console
  ASSERT_GT(P::echoFrame, 0);
  // The committed line is echoed when it is typed and runs in the next frame.
  EXPECT_FALSE(P::hiWithEcho);
  EXPECT_EQ(P::hiFrame, P::echoFrame + 1);
  EXPECT_EQ(P::windowWidth, 1024);
  EXPECT_EQ(P::windowHeight, 720);
  EXPECT_EQ(P::canvasWidth, 1024);
  EXPECT_EQ(P::canvasHeight, 720);
  EXPECT_EQ(engine->cvVideoWidth->IntegerValue, 1024);
  EXPECT_TRUE(P::fullScreen);
  EXPECT_TRUE(P::windowedAgain);
  EXPECT_TRUE(P::mapReported);
  EXPECT_GE(P::framesAfterMap, 5);
  EXPECT_TRUE(P::closedAfterMap);
  EXPECT_EQ(engine->BSP, nullptr);
  EXPECT_FALSE(engine->Loading);
  // Typed in one frame, committed in the next, run in the one after, which ends there: the
  // game's input no longer runs in it.
  EXPECT_EQ(P::lastFrame, P::quitTypedFrame + 1);
  EXPECT_TRUE(engine->Quit);
}

// The program itself, in a child process: "quit" typed into its console ends it with 0.
TEST_F(ConsoleGL, QuitCommandEndsTheProgramWithExitCodeZero) {
  std::string self(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
  ASSERT_GT(n, 0);
  self.resize(static_cast<size_t>(n));
  std::string filter = "--gtest_filter=ConsoleGL.ProgramChild";
  char* argv[] = {self.data(), filter.data(), nullptr};
  std::vector<std::string> env{"ZNT1_CONSOLE_GL_CHILD=1"};
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the program did not end after \"quit\"";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Runs only inside the child above: the real main routine, with keys typed from a second
// thread once the platform's event queue exists.
TEST_F(ConsoleGL, ProgramChild) {
  if (!std::getenv("ZNT1_CONSOLE_GL_CHILD")) GTEST_SKIP() << "started by QuitCommandEndsTheProgramWithExitCodeZero";
  std::thread typist([] {
    for (int i = 0; i < 30000 && !SDL_WasInit(SDL_INIT_VIDEO); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    PushKey(SDLK_F8);
    TypeLine("quit");
  });
  const int code = Main({"/nonexistent/"});
  typist.join();
  std::exit(code == 0 ? 0 : 10 + code);
}
