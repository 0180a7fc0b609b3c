#pragma once
// The root object: creates, owns and frees every subsystem and runs the main loop.
#include <SDL2/SDL.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/ZNT1Command.h"
#include "core/ZNT1Console.h"
#include "core/ZNT1ConsoleVariable.h"
#include "core/ZNT1Game.h"
#include "core/ZNT1HighResolutionTimer.h"
#include "core/ZNT1Log.h"
#include "core/ZNT1Math.h"
#include "core/ZNT1SystemEvent.h"

class TZNT1GLCapabilities;
class TZNT1Archives;
class TZNT1Textures;
class TZNT1Texture;
class TZNT1GLSLShaders;
class TZNT1Models;
class TZNT1Shaders;
class TZNT1BSP;
class TZNT1Renderer;
class TZNT1SoundSystem;
class TZNT1SpriteBatch;

class TZNT1Engine {
 public:
  TZNT1Engine(TZNT1GameClass AGameClass, bool ADedicated);
  virtual ~TZNT1Engine();
  TZNT1Engine(const TZNT1Engine&) = delete;
  TZNT1Engine& operator=(const TZNT1Engine&) = delete;

  // Draws the loading screen at a progress fraction (0..1); a keep-alive when Force is false.
  // Each call that is not throttled first takes the platform's events (PollEventsWhileLoading);
  // after a quit the load skips what is left, and nothing more is drawn.
  virtual void ShowLoadProgress(bool Force, float Progress);

  bool Init();
  bool Done();
  void InitFPU();
  void Upload();
  void Dispose();

  void ResetTime();
  // Queues every pending platform event, then (unless told otherwise) the end-of-batch marker.
  void GetSystemEvents(bool WithEndMarker = true);
  // Dispatches queued events up to the marker; returns the last time stamp taken.
  int64_t EventLoop();
  // While a map loads: queues the platform's events, hands the console the keys and text meant
  // for it, as the event loop would, and sets Quit for a closed window or a signal (SDL_QUIT),
  // Alt+F4 or a committed console line that runs "quit". The rest waits in the queue for the
  // frames after the load.
  void PollEventsWhileLoading();
  bool Run();

  // One frame of the loop (after set-up); split out so the clock can be driven in tests.
  void RunFrame();
  // Steps 60 Hz game updates for a frame of DeltaTime ticks (already clamped); returns seconds.
  double AdvanceGameTime(int64_t DeltaTime);
  // A frame never counts for more than a quarter second.
  int64_t ClampFrameTime(int64_t DeltaTime) const;
  // The projection and viewport of the canvas for the next draw, and the renderer's counters
  // zeroed; the canvas must not be empty.
  void SetUpView();

  // Frees the map; outside a load the freed memory goes back to the system at once (a load gives
  // it back itself, once its screen is up).
  void UnloadMap();
  // Puts the loading screen up for MapName (its picture, an empty bar) and sets Loading; does
  // nothing when it is up for that map already. LoadMap begins with it; the game calls it
  // first, so that the screen shows before the old map is freed.
  void ShowLoadingScreen(const std::string& MapName);
  bool LoadMap(const std::string& MapName);
  void DoneLoadMap();
  // A map name as the file names use it: trimmed and in lower case.
  static std::string NormalizeMapName(const std::string& MapName);

  // The audio callback, on SDL's audio thread.
  static void AudioFillBuffer(TZNT1Engine* Engine, uint8_t* Stream, int32_t Len);
  static void SDLCALL SDLFillBuffer(void* UserData, Uint8* Stream, int Len);

  SDL_AudioSpec SDLWaveFormat{};
  bool Loading = false;
  bool Dedicated = false;
  bool Quit = false;
  std::unique_ptr<TZNT1ConsoleVariables> ConsoleVariables;
  std::unique_ptr<TZNT1SystemEventManager> SystemEventManager;
  std::unique_ptr<TZNT1Command> Command;
  std::unique_ptr<TZNT1GLCapabilities> GLCapabilities;
  std::unique_ptr<TZNT1HighResolutionTimer> HighResolutionTimer;
  int32_t CanvasWidth = 1280;
  int32_t CanvasHeight = 800;
  int32_t ViewPortLeft = 0;
  int32_t ViewPortTop = 0;
  int32_t ViewPortRight = 800;
  int32_t ViewPortBottom = 600;
  std::unique_ptr<TZNT1Log> Log;
  std::unique_ptr<TZNT1Archives> Archives;
  std::unique_ptr<TZNT1Textures> Textures;
  std::unique_ptr<TZNT1GLSLShaders> GLSLShaders;
  std::unique_ptr<TZNT1Models> Models;
  float FogTable[256] = {};
  uint8_t IdentityLightByte = 0;
  std::unique_ptr<TZNT1Textures> LightMaps;
  std::unique_ptr<TZNT1Shaders> Shaders;
  std::unique_ptr<TZNT1BSP> BSP;
  std::unique_ptr<TZNT1Renderer> Renderer;
  std::unique_ptr<TZNT1SoundSystem> SoundSystem;
  std::unique_ptr<TZNT1SpriteBatch> SpriteBatch;
  double FloatTime = 0.0;
  double InGameTime = 0.0;
  TZNT1Matrix4x4 ViewMatrix{};
  TZNT1Matrix4x4 ProjectionMatrix{};
  uint32_t VisibleFrame = 0;
  SDL_Window* SDLSurfaceWindow = nullptr;
  SDL_GLContext SDLSurfaceContext = nullptr;
  std::unique_ptr<TZNT1Console> Console;
  SDL_Event InputSDLEvent{};
  TZNT1ConsoleVariable* cvComDedicated = nullptr;
  TZNT1ConsoleVariable* cvVideoFullScreen = nullptr;
  TZNT1ConsoleVariable* cvVideoWidth = nullptr;
  TZNT1ConsoleVariable* cvVideoHeight = nullptr;
  TZNT1Texture* LevelShotTexture = nullptr;  // belongs to Textures; referenced while held
  bool SDLSurfaceWindowFocused = false;
  TZNT1GameClass GameClass;
  std::unique_ptr<TZNT1Game> Game;
  double GameTime = 0.0;
  double GameTimeStep = 1.0 / 60.0;
  double GameTimeResidual = 0.0;
  double GameTimeInterpolation = 0.0;
  float LastProgress = 0.0f;
  int64_t LastProgressTime = 0;

  // Why Init failed (the SDL or OpenGL error), for the program's exit message.
  std::string InitError;

 private:
  void SetRelativeMouseMode(bool On);
  void ReleaseLoadingScreenTexture();
  // Console keys and text (the toggle keys always, editing keys and characters while the console
  // has the focus); true when the event was the console's.
  bool DispatchConsoleEvent(const SDL_Event& Event);
  TZNT1Texture* LoadingWhiteTexture = nullptr;
  std::string LoadingScreenMap;  // the map the loading screen is up for
  void DisposeGPUObjects();
  int64_t LastTime = 0;
  bool SDLInitialized = false;
  bool AudioOpened = false;
};
