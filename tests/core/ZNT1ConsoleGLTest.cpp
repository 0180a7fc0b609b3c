#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/MainCode.h"
#include "core/ZNT1Engine.h"
#include "game/Game.h"
#include "support/EngineRunFixture.h"
#include "support/TestData.h"

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

namespace {

// Runs one test of this program in a child process with Env added; false when it did not end
// within Seconds (it is killed then), else Status holds its wait status.
bool RunChild(const std::string& Test, const std::string& Env, int Seconds, int& Status) {
  std::string self(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (n <= 0) return false;
  self.resize(static_cast<size_t>(n));
  std::string filter = "--gtest_filter=ConsoleGL." + Test;
  char* argv[] = {self.data(), filter.data(), nullptr};
  std::vector<std::string> env{Env};
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
  pid_t done = 0;
  while ((done = waitpid(pid, &Status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (done != 0) return true;
  kill(pid, SIGKILL);
  waitpid(pid, &Status, 0);
  return false;
}

}  // namespace

// The program itself, in a child process: "quit" typed into its console ends it with 0.
TEST_F(ConsoleGL, QuitCommandEndsTheProgramWithExitCodeZero) {
  int status = 0;
  ASSERT_TRUE(RunChild("ProgramChild", "ZNT1_CONSOLE_GL_CHILD=1", 60, status))
      << "the program did not end after \"quit\"";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The program on the content, in a child process: a SIGTERM while a typed "map" loads is seen
// by the loading screen, and the program ends with 0.
TEST_F(ConsoleGL, SigtermWhileAMapLoadsEndsTheProgramWithExitCodeZero) {
  REQUIRE_CONTENT_DIR();
  int status = 0;
  ASSERT_TRUE(RunChild("SigtermChild", "ZNT1_CONSOLE_GL_SIGTERM_CHILD=1", 180, status))
      << "the program did not end after SIGTERM";
  ASSERT_TRUE(WIFEXITED(status));
  switch (WEXITSTATUS(status)) {
    case 0: break;
    case 2: FAIL() << "the engine never ran frames"; break;
    case 3: FAIL() << "the typed line was never taken"; break;
    case 4: FAIL() << "SIGTERM never became a quit"; break;
    case 6: FAIL() << "SIGTERM came before the load began (the child's timing)"; break;
    case 7: FAIL() << "SIGTERM was not seen while the map loaded, only after its file"; break;
    case 8: FAIL() << "SIGTERM became a quit on another thread"; break;
    case 9: FAIL() << "the program took more than 20 s to end after SIGTERM"; break;
    default: FAIL() << "the program ended with " << WEXITSTATUS(status) - 10; break;
  }
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

namespace {

// Waits until SDL's queue is empty (another thread takes the events), at most Seconds.
bool Drained(double Seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(Seconds);
  while (SDL_PeepEvents(nullptr, 0, SDL_PEEKEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) > 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Where the SIGTERM became SDL_QUIT.
enum TQuitSeen { qsNONE, qsLOADING, qsBEFORELOAD, qsAFTERMAPFILE, qsOTHERTHREAD };
std::atomic<std::thread::id> MainThread;
std::atomic<int> QuitSeen{qsNONE};

// SDL calls watches on the thread that adds the event, and makes SDL_QUIT of a signal where
// events are pumped: the loading screen does that mid-load, the frame loop only once the
// map's file is in.
int SDLCALL WatchQuit(void*, SDL_Event* Event) {
  if (Event->type != SDL_QUIT || QuitSeen.load() != qsNONE) return 1;
  if (std::this_thread::get_id() != MainThread.load())
    QuitSeen = qsOTHERTHREAD;
  else if (!::Engine->Loading)
    QuitSeen = qsBEFORELOAD;
  else
    QuitSeen = ::Engine->LastProgress < 0.5f ? qsLOADING : qsAFTERMAPFILE;
  return 1;
}

}  // namespace

// Runs only as the child of SigtermWhileAMapLoadsEndsTheProgramWithExitCodeZero: the real main
// routine on the content. A second thread types "map oa_shouse" (a load of seconds) once frames
// run, and raises SIGTERM half a second after the frame that runs the line took its events.
TEST_F(ConsoleGL, SigtermChild) {
  if (!std::getenv("ZNT1_CONSOLE_GL_SIGTERM_CHILD"))
    GTEST_SKIP() << "started by SigtermWhileAMapLoadsEndsTheProgramWithExitCodeZero";
  MainThread = std::this_thread::get_id();
  bool framesRan = false;
  std::chrono::steady_clock::time_point signalled{};
  std::thread typist([&] {
    for (int i = 0; i < 60000 && !SDL_WasInit(SDL_INIT_VIDEO); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    SDL_AddEventWatch(&WatchQuit, nullptr);
    SDL_Event event{};
    event.type = SDL_USEREVENT;
    SDL_PushEvent(&event);
    framesRan = Drained(120.0);  // taken: the engine is set up and runs frames
    if (framesRan) {
      PushKey(SDLK_F8);
      TypeLine("map oa_shouse");
      // One frame takes the keys and commits the line, the next runs it. This event goes with
      // that next frame's, at the latest.
      if (Drained(60.0)) {
        SDL_PushEvent(&event);
        if (Drained(60.0)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(500));
          signalled = std::chrono::steady_clock::now();
          kill(getpid(), SIGTERM);
          return;
        }
      }
    }
    event.type = SDL_QUIT;  // no signal sent: end the program all the same
    SDL_PushEvent(&event);
  });
  const int code = Main({testdata::ContentDir()});
  const auto ended = std::chrono::steady_clock::now();
  typist.join();
  if (code != 0) std::exit(10 + code);
  if (!framesRan) std::exit(2);
  if (signalled == std::chrono::steady_clock::time_point{}) std::exit(3);
  if (QuitSeen.load() != qsLOADING) std::exit(4 + QuitSeen.load());  // 4: never; 6..8: elsewhere
  if (ended - signalled > std::chrono::seconds(20)) std::exit(9);
  std::exit(0);
}
