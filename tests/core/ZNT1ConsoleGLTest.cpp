#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/MainCode.h"
#include "core/ZNT1Engine.h"
#include "game/Game.h"
#include "support/EngineRunFixture.h"
#include "support/QuitDelivery.h"
#include "support/TestData.h"

namespace {

std::string Code(uint8_t c) { return std::string(1, '\0') + static_cast<char>(c); }

// Types the text, then Return.
void TypeLine(const std::string& Text) {
  PushText(Text);
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
  int status = 0;
  ASSERT_TRUE(RunChildProcess({"--gtest_filter=ConsoleGL.ProgramChild"}, "ZNT1_CONSOLE_GL_CHILD=1", 60, status))
      << "the program did not end after \"quit\"";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The program on the content, in a child process, while a typed "map oa_shouse" loads: each way
// of quitting, at points from the load's start to the map drawn under the loading screen, ends
// it with 0; the time from the quit to the end of the main routine is printed.
TEST_F(ConsoleGL, EachWayOfQuittingDuringAMapLoadEndsTheProgram) {
  REQUIRE_CONTENT_DIR();
  const struct {
    TQuitWay Way;
    float At;  // the load's progress
  } Cases[] = {{TQuitWay::WindowClose, 0.0f}, {TQuitWay::AltF4, 0.39f},  {TQuitWay::TypedQuit, 0.53f},
               {TQuitWay::Sigterm, 0.39f},    {TQuitWay::Sigint, 0.91f}, {TQuitWay::WindowClose, 0.56f}};
  for (const auto& c : Cases) {
    const std::string Case = std::to_string(int(c.Way)) + "," + std::to_string(c.At);
    SCOPED_TRACE(std::string(QuitWayName(c.Way)) + " at " + std::to_string(c.At));
    int status = 0;
    ASSERT_TRUE(RunChildProcess({"--gtest_filter=ConsoleGL.QuitChild"}, "ZNT1_CONSOLE_GL_QUIT_CHILD=" + Case, 300,
                                status))
        << "the program did not end";
    ASSERT_TRUE(WIFEXITED(status));
    switch (WEXITSTATUS(status)) {
      case 0: break;
      case 2: FAIL() << "the engine never ran frames"; break;
      case 3: FAIL() << "the load never came there"; break;
      case 4: FAIL() << "the quit could not be delivered"; break;
      case 9: FAIL() << "the program took more than 20 s to end after the quit"; break;
      default: FAIL() << "the program ended with " << WEXITSTATUS(status) - 10; break;
    }
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

// The engine's load state, read from the typist's thread while the main thread writes it.
bool LoadingAt(float At) {
  TZNT1Engine* e = ::Engine;
  return e && std::atomic_ref<bool>(e->Loading).load(std::memory_order_relaxed) &&
         std::atomic_ref<float>(e->LastProgress).load(std::memory_order_relaxed) >= At;
}

}  // namespace

// Runs only as the child of EachWayOfQuittingDuringAMapLoadEndsTheProgram: the real main routine
// on the content. A second thread types "map oa_shouse" once frames run and delivers the quit
// when the load has come to the case's point: "way,progress", or "way,@seconds" after the map
// line was typed (for timing quits by hand, with the driver's cache off as on a first run).
TEST_F(ConsoleGL, QuitChild) {
  const char* Case = std::getenv("ZNT1_CONSOLE_GL_QUIT_CHILD");
  if (!Case) GTEST_SKIP() << "started by EachWayOfQuittingDuringAMapLoadEndsTheProgram";
  const TQuitWay Way = TQuitWay(std::atoi(Case));
  const char* Point = std::strchr(Case, ',') + 1;
  const bool ByTime = *Point == '@';
  const float At = std::strtof(Point + (ByTime ? 1 : 0), nullptr);
  bool framesRan = false, reached = false, delivered = false;
  std::chrono::steady_clock::time_point quitAt{};
  std::thread typist([&] {
    for (int i = 0; i < 60000 && !SDL_WasInit(SDL_INIT_VIDEO); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    SDL_Event event{};
    event.type = SDL_USEREVENT;
    SDL_PushEvent(&event);
    framesRan = Drained(120.0);  // taken: the engine is set up and runs frames
    if (framesRan) {
      PushKey(SDLK_F8);
      TypeLine("map oa_shouse");
      const auto typed = std::chrono::steady_clock::now();
      const auto giveUp = typed + std::chrono::seconds(240);
      const auto Reached = [&] {
        return ByTime ? std::chrono::steady_clock::now() - typed >= std::chrono::duration<float>(At) : LoadingAt(At);
      };
      while (!(reached = Reached()) && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (reached && ByTime && !LoadingAt(0.0f)) reached = false;  // the load had ended
      if (reached) {
        quitAt = std::chrono::steady_clock::now();
        delivered = DeliverQuit(Way, ::Engine->SDLSurfaceWindow, true);
        if (delivered) return;
      }
    }
    event.type = SDL_QUIT;  // end the program all the same
    SDL_PushEvent(&event);
  });
  const int code = Main({testdata::ContentDir()});
  const auto ended = std::chrono::steady_clock::now();
  typist.join();
  if (code != 0) std::exit(10 + code);
  if (!framesRan) std::exit(2);
  if (!reached) std::exit(3);
  if (!delivered) std::exit(4);
  const double Seconds = std::chrono::duration<double>(ended - quitAt).count();
  std::printf("%s at %.2f%s: the program ended %.3f s later\n", QuitWayName(Way), double(At),
              ByTime ? " s into the load" : " of the load", Seconds);
  std::fflush(stdout);
  std::exit(Seconds > 20.0 ? 9 : 0);
}
