#include "core/ZNT1Engine.h"

#include <cmath>
#include <cstring>

#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Texture.h"
#include "core/ZNT1Globals.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1GLSLShader.h"
#include "gpu/ZNT1SpriteBatch.h"
#include "material/ZNT1Shader.h"
#include "platform/ZNT1OpenGL.h"
#include "platform/ZNT1PlatformFPU.h"
#include "platform/ZNT1PlatformMemory.h"
#include "platform/ZNT1PlatformTimer.h"
#include "renderer/ZNT1Renderer.h"
#include "sound/ZNT1Sound.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1Model.h"

namespace {

std::string ColorCode(uint8_t Color) { return std::string(1, '\0') + static_cast<char>(Color); }

void* SDLGetProcAddress(const char* Name) { return SDL_GL_GetProcAddress(Name); }

}  // namespace

TZNT1Engine::TZNT1Engine(TZNT1GameClass AGameClass, bool ADedicated) : GameClass(AGameClass) {
  ConsoleVariables = std::make_unique<TZNT1ConsoleVariables>(this);

  if (ADedicated) {
    cvComDedicated = ConsoleVariables->CreateVariable("dedicated", "1", CVAR_INIT);
    cvComDedicated->Min = 1;
  } else {
    cvComDedicated = ConsoleVariables->CreateVariable("dedicated", "0", CVAR_LATCH);
    cvComDedicated->Min = 0;
  }
  cvComDedicated->Max = 2;
  cvComDedicated->Modified = false;

  auto video = [this](const char* Name, const char* Value, double Min, double Max) {
    TZNT1ConsoleVariable* v = ConsoleVariables->CreateVariable(Name, Value, CVAR_ARCHIVE);
    v->Min = Min;
    v->Max = Max;
    v->Modified = false;
    v->Validate = true;
    v->Integral = true;
    return v;
  };
  cvVideoFullScreen = video("v_fullscreen", "0", 0, 1);
  cvVideoWidth = video("v_width", "1280", 160, 16384);
  cvVideoHeight = video("v_height", "720", 160, 16384);

  SystemEventManager = std::make_unique<TZNT1SystemEventManager>(this);
  Console = std::make_unique<TZNT1Console>(this);
  Command = std::make_unique<TZNT1Command>(this);
  HighResolutionTimer = std::make_unique<TZNT1HighResolutionTimer>();
  Log = std::make_unique<TZNT1Log>(this);
  Archives = std::make_unique<TZNT1Archives>(this);

  Dedicated = ADedicated;
  ViewMatrix = Matrix4x4Identity;
  ProjectionMatrix = Matrix4x4Identity;
  Matrix4x4Perspective(ProjectionMatrix, 45.0f, 1.0f, 1.0f, 4096.0f);

  FogTable[0] = 0.0f;
  for (int i = 1; i < 256; ++i) FogTable[i] = std::sqrt(static_cast<float>(i) / 255.0f);

  ResetTime();
  InitFPU();
}

TZNT1Engine::~TZNT1Engine() {
  // Run frees the game; an engine that never ran still holds it, and its entities hold models,
  // materials and sounds that go below.
  Game.reset();
  // Released first: its last reference deletes the OpenGL texture, which needs the context.
  if (LevelShotTexture) {
    LevelShotTexture->DecRef();
    LevelShotTexture = nullptr;
  }
  ReleaseLoadingScreenTexture();
  // The GPU objects need the context; Done normally ran already.
  if (SDLSurfaceContext) Done();
  Console.reset();
  SoundSystem.reset();
  Renderer.reset();
  SpriteBatch.reset();
  BSP.reset();
  Models.reset();
  Shaders.reset();
  LightMaps.reset();
  GLSLShaders.reset();
  Textures.reset();
  Archives.reset();
  Log.reset();
  GLCapabilities.reset();
  HighResolutionTimer.reset();
  Command.reset();
  SystemEventManager.reset();
  ConsoleVariables.reset();
  if (SDLInitialized) SDL_Quit();
}

void TZNT1Engine::InitFPU() { PlatformInitFPU(); }

bool TZNT1Engine::Init() {
  InitError.clear();
  if (!Dedicated) {
    // Timer and video are needed; a machine without audio or joysticks still runs, silent.
    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO) < 0) {
      InitError = std::string("Could not initialize SDL : ") + SDL_GetError();
      Log->Error(InitError);
      return false;
    }
    SDLInitialized = true;
    // Without a display SDL falls back to drivers that show nothing; only take them when asked for.
    const char* driver = SDL_GetCurrentVideoDriver();
    const char* wanted = SDL_getenv("SDL_VIDEODRIVER");
    if (driver && (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0) &&
        !(wanted && std::strcmp(wanted, driver) == 0)) {
      InitError = "Could not initialize SDL : no display available";
      Log->Error(InitError);
      return false;
    }
    SDL_InitSubSystem(SDL_INIT_AUDIO);
    SDL_InitSubSystem(SDL_INIT_JOYSTICK);

    CanvasWidth = cvVideoWidth->IntegerValue;
    CanvasHeight = cvVideoHeight->IntegerValue;

    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_RED_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_ALPHA_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 24);
    SDL_GL_SetAttribute(SDL_GL_BUFFER_SIZE, 32);
    SDL_GL_SetAttribute(SDL_GL_ACCUM_RED_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_ACCUM_GREEN_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_ACCUM_BLUE_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_ACCUM_ALPHA_SIZE, 8);
    // Deprecated features are drawn with, so the context must be a compatibility one.
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);

    const Uint32 flags = SDL_WINDOW_OPENGL | SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE |
                         (cvVideoFullScreen->IntegerValue != 0 ? SDL_WINDOW_FULLSCREEN : 0);
    SDLSurfaceWindow = SDL_CreateWindow("ZANTOR1 (F8 = console)", 64, 64, CanvasWidth, CanvasHeight, flags);
    if (!SDLSurfaceWindow) {
      // Accumulation buffers are asked for but never used; many visuals lack them.
      SDL_GL_SetAttribute(SDL_GL_ACCUM_RED_SIZE, 0);
      SDL_GL_SetAttribute(SDL_GL_ACCUM_GREEN_SIZE, 0);
      SDL_GL_SetAttribute(SDL_GL_ACCUM_BLUE_SIZE, 0);
      SDL_GL_SetAttribute(SDL_GL_ACCUM_ALPHA_SIZE, 0);
      SDLSurfaceWindow = SDL_CreateWindow("ZANTOR1 (F8 = console)", 64, 64, CanvasWidth, CanvasHeight, flags);
    }
    if (!SDLSurfaceWindow) {
      InitError = std::string("Could not create the window : ") + SDL_GetError();
      Log->Error(InitError);
      return false;
    }
    SDLSurfaceContext = SDL_GL_CreateContext(SDLSurfaceWindow);
    if (!SDLSurfaceContext) {
      InitError = std::string("Could not create the OpenGL context : ") + SDL_GetError();
      Log->Error(InitError);
      SDL_DestroyWindow(SDLSurfaceWindow);
      SDLSurfaceWindow = nullptr;
      return false;
    }

    int major = 0, minor = 0, failedMajor = 0, failedMinor = 0;
    GetOpenGLContextVersion(major, minor);
    if (!LoadOpenGLRequired(SDLGetProcAddress, major, minor, &failedMajor, &failedMinor)) {
      InitError = "OpenGL " + std::to_string(failedMajor) + "." + std::to_string(failedMinor) +
                  " is required, the driver offers " + std::to_string(major) + "." + std::to_string(minor);
      SDL_GL_DeleteContext(SDLSurfaceContext);
      SDLSurfaceContext = nullptr;
      SDL_DestroyWindow(SDLSurfaceWindow);
      SDLSurfaceWindow = nullptr;
      return false;
    }
    LoadOpenGLOptional(SDLGetProcAddress, major, minor);
    SDL_GL_GetDrawableSize(SDLSurfaceWindow, &CanvasWidth, &CanvasHeight);
  }

  InitFPU();

  GLCapabilities = std::make_unique<TZNT1GLCapabilities>(this);
  if (!Dedicated) GLCapabilities->Query();
  Textures = std::make_unique<TZNT1Textures>(this);
  Textures->CreateDefaultTextures();
  try {
    GLSLShaders = std::make_unique<TZNT1GLSLShaders>(this);
  } catch (const EShaderException& e) {
    // A built-in program the driver refuses: the engine cannot draw, so it does not start.
    InitError = std::string("Could not compile the built-in GLSL programs : ") + e.what();
    Log->Error(InitError);
    return false;
  }
  LightMaps = std::make_unique<TZNT1Textures>(this);
  Shaders = std::make_unique<TZNT1Shaders>(this);
  Models = std::make_unique<TZNT1Models>(this);
  BSP.reset();
  Renderer = std::make_unique<TZNT1Renderer>(this);
  SpriteBatch = std::make_unique<TZNT1SpriteBatch>(this);
  SpriteBatch->Setup();

  TStringList& Lines = Console->Lines;
  Lines.Add(ColorCode(15) + "ZANTOR1 engine");
  Lines.Add("");
  Lines.Add(ColorCode(14) + "  OpenGL vendor: " + GLCapabilities->Vendor);
  Lines.Add(ColorCode(14) + "OpenGL renderer: " + GLCapabilities->Renderer);
  Lines.Add(ColorCode(14) + " OpenGL version: " + GLCapabilities->Version);
  Lines.Add("");
  Lines.Add(ColorCode(12) + "Use the " + ColorCode(14) + "\"" + ColorCode(13) + "list" + ColorCode(14) + "\"" +
            ColorCode(12) + " command to list all commands...");
  Lines.Add("");

  SDLWaveFormat = SDL_AudioSpec{};
  SDLWaveFormat.freq = 44100;
  SDLWaveFormat.format = AUDIO_S16LSB;
  SDLWaveFormat.channels = 2;
  SDLWaveFormat.silence = 0;
  SDLWaveFormat.samples = 1024;
  SDLWaveFormat.size = 1024 * 4;
  SDLWaveFormat.callback = &TZNT1Engine::SDLFillBuffer;
  SDLWaveFormat.userdata = this;

  SoundSystem = std::make_unique<TZNT1SoundSystem>(this, 44100, 2, 16, 1024);
  SoundSystem->SpatializationMode = SPATIALIZATION_PSEUDO;

  Shaders->Load();

  SDLSurfaceWindowFocused = true;
  return true;
}

void TZNT1Engine::DisposeGPUObjects() {
  // GPU objects go while the context still exists. The renderer and the sprite batch have no
  // Dispose: they delete their buffers with themselves, and nothing draws after Done.
  if (Console) Console->Dispose();
  Dispose();
  Renderer.reset();
  SpriteBatch.reset();
}

bool TZNT1Engine::Done() {
  if (!Dedicated) {
    if (SDLSurfaceContext) {
      DisposeGPUObjects();
      SDL_GL_DeleteContext(SDLSurfaceContext);
      SDLSurfaceContext = nullptr;
    }
    if (SDLSurfaceWindow) {
      SDL_DestroyWindow(SDLSurfaceWindow);
      SDLSurfaceWindow = nullptr;
    }
  }
  std::unique_ptr<TZNT1SoundSystem> old = std::move(SoundSystem);
  old.reset();
  return true;
}

void TZNT1Engine::Upload() {
  if (BSP) BSP->Upload();
  if (Models) Models->Upload();
  if (Shaders) Shaders->Upload();
  if (Textures) Textures->Upload();
  if (LightMaps) LightMaps->Upload();
  if (GLSLShaders) GLSLShaders->Upload();
}

void TZNT1Engine::Dispose() {
  if (Models) Models->Dispose();
  if (Textures) Textures->Dispose();
  if (GLSLShaders) GLSLShaders->Dispose();
  if (LightMaps) LightMaps->Dispose();
  if (Shaders) Shaders->Dispose();
  if (BSP) BSP->Dispose();
}

void TZNT1Engine::AudioFillBuffer(TZNT1Engine* Engine, uint8_t* Stream, int32_t Len) {
  TZNT1SoundSystem* s = Engine ? Engine->SoundSystem.get() : nullptr;
  if (Len <= 0) return;
  while (s && s->IsReady.load() && s->Thread && !s->Thread->Terminated()) {
    if (s->RingBuffer->Used() >= Len) {
      s->RingBuffer->Read(Stream, Len);
      return;
    }
    if (InterlockedCompareExchange(s->Thread->Sleeping, -1, -1) != 0) s->Thread->Event.SetEvent();
    PlatformSleep(1);
  }
  std::memset(Stream, 0, static_cast<size_t>(Len));
}

void SDLCALL TZNT1Engine::SDLFillBuffer(void* UserData, Uint8* Stream, int Len) {
  AudioFillBuffer(static_cast<TZNT1Engine*>(UserData), Stream, Len);
}

void TZNT1Engine::ResetTime() {
  FloatTime = 0.0;
  InGameTime = 0.0;
  GameTime = 0.0;
  GameTimeResidual = 0.0;
  GameTimeInterpolation = 0.0;
  GameTimeStep = 1.0 / 60.0;
}

void TZNT1Engine::SetRelativeMouseMode(bool On) {
  if (SDLSurfaceWindow) SDL_SetRelativeMouseMode(On ? SDL_TRUE : SDL_FALSE);
}

void TZNT1Engine::GetSystemEvents(bool WithEndMarker) {
  while (SDLInitialized && SDL_PollEvent(&InputSDLEvent) == 1)
    SystemEventManager->EnqueueSDLEvent(InputSDLEvent, HighResolutionTimer->GetTime());
  if (WithEndMarker) SystemEventManager->Enqueue(zsetNONE, HighResolutionTimer->GetTime());
}

int64_t TZNT1Engine::EventLoop() {
  int64_t Result = 0;
  while (TZNT1SystemEvent* queued = SystemEventManager->Dequeue()) {
    // Dispatch from a copy: handlers may queue events, which reuse records from the free list.
    const int64_t Time = queued->Time;
    const int32_t EventType = queued->EventType;
    Result = Time;
    if (EventType == zsetNONE) break;
    if (EventType == zsetCONSOLE) {
      std::string Line;
      Line.swap(queued->Console);
      Command->CommandBuffer += Line + '\n';
      continue;
    }
    if (EventType != zsetSDL) continue;
    const SDL_Event Event = queued->SDLEvent;
    switch (Event.type) {
      case SDL_QUIT:
        Quit = true;
        break;
      case SDL_WINDOWEVENT:
        switch (Event.window.event) {
          case SDL_WINDOWEVENT_RESIZED:
            CanvasWidth = Event.window.data1;
            CanvasHeight = Event.window.data2;
            if (SDLSurfaceWindowFocused) {
              SetRelativeMouseMode(false);
              SetRelativeMouseMode(true);
            } else {
              SetRelativeMouseMode(false);
            }
            break;
          case SDL_WINDOWEVENT_FOCUS_GAINED:
            SDLSurfaceWindowFocused = true;
            SetRelativeMouseMode(true);
            break;
          case SDL_WINDOWEVENT_FOCUS_LOST:
            SDLSurfaceWindowFocused = false;
            SetRelativeMouseMode(false);
            break;
          default:
            break;
        }
        break;
      case SDL_KEYDOWN: {
        if (Event.key.repeat == 0 && (Event.key.keysym.mod & KMOD_ALT) != 0) {
          if (Event.key.keysym.sym == SDLK_F4) Quit = true;
          if (Event.key.keysym.sym == SDLK_RETURN)
            cvVideoFullScreen->SetValue(cvVideoFullScreen->IntegerValue != 0 ? "0" : "1", true);
        }
        if (!DispatchConsoleEvent(Event) && Game) Game->ProcessSDLEvent(&Event);
        break;
      }
      case SDL_TEXTINPUT:
        if (!DispatchConsoleEvent(Event) && Game) Game->ProcessSDLEvent(&Event);
        break;
      default:
        if (!Console->Focus && Game) Game->ProcessSDLEvent(&Event);
        break;
    }
  }
  return Result;
}

bool TZNT1Engine::DispatchConsoleEvent(const SDL_Event& Event) {
  if (!Console) return false;
  if (Event.type == SDL_KEYDOWN) {
    const SDL_Keycode key = Event.key.keysym.sym;
    if (key == SDLK_CARET || key == SDLK_BACKQUOTE || key == SDLK_F8) {
      Console->Focus = !Console->Focus;
      return true;
    }
    if (!Console->Focus) return false;
    switch (key) {
      case SDLK_LEFT: Console->KeyLeft(); break;
      case SDLK_RIGHT: Console->KeyRight(); break;
      case SDLK_UP: Console->KeyUp(); break;
      case SDLK_DOWN: Console->KeyDown(); break;
      case SDLK_RETURN: Console->KeyEnter(); break;
      case SDLK_BACKSPACE: Console->KeyBackspace(); break;
      case SDLK_DELETE: Console->KeyDelete(); break;
      case SDLK_ESCAPE: Console->KeyEscape(); break;
      case SDLK_HOME: Console->KeyBegin(); break;
      case SDLK_END: Console->KeyEnd(); break;
      default: break;
    }
    return true;
  }
  if (Event.type == SDL_TEXTINPUT) {
    if (!Console->Focus) return false;
    const unsigned char c = static_cast<unsigned char>(Event.text.text[0]);
    if (c != 0 && Event.text.text[1] == 0 && ((c >= 32 && c <= 93) || c == 95 || (c >= 97 && c <= 127)))
      Console->KeyChar(static_cast<char>(c));
    return true;
  }
  return false;
}

void TZNT1Engine::PollEventsWhileLoading() {
  if (!SDLInitialized) return;
  // Pumping also turns a pending SIGTERM or SIGINT into SDL_QUIT.
  GetSystemEvents(false);
  // In order, as the event loop would take them: a line typed after F8 belongs to the console,
  // keys after a second F8 to the game, which gets them after the load.
  SystemEventManager->Filter([this](TZNT1SystemEvent& e) {
    if (e.EventType != zsetSDL) return true;
    const SDL_Event& Event = e.SDLEvent;
    if (Event.type == SDL_QUIT) Quit = true;
    if (Event.type == SDL_KEYDOWN && Event.key.repeat == 0 && (Event.key.keysym.mod & KMOD_ALT) != 0 &&
        Event.key.keysym.sym == SDLK_F4)
      Quit = true;
    return Quit || !DispatchConsoleEvent(Event);
  });
  // The lines typed so far run in one drain after the load, so they are read together: a
  // comment or quote left open on one line carries into the next.
  if (Quit) return;
  std::string Typed;
  for (const TZNT1SystemEvent* e = SystemEventManager->QueueList.First; e; e = e->Next)
    if (e->EventType == zsetCONSOLE) Typed += e->Console + '\n';
  if (!Typed.empty() && Command->RunsQuit(Typed)) Quit = true;
}

int64_t TZNT1Engine::ClampFrameTime(int64_t DeltaTime) const {
  const int64_t q = HighResolutionTimer->QuarterSecondInterval;
  return (DeltaTime > q || DeltaTime < -q) ? q : DeltaTime;
}

double TZNT1Engine::AdvanceGameTime(int64_t DeltaTime) {
  const double FloatDeltaTime = HighResolutionTimer->ToFloatSeconds(DeltaTime);
  InGameTime = Game->GetTime();
  double LastInGameTime = InGameTime;
  GameTimeResidual += FloatDeltaTime;
  while (GameTimeResidual >= GameTimeStep) {
    GameTimeResidual -= GameTimeStep;
    LastInGameTime = InGameTime;
    Game->Update(GameTimeStep);
    InGameTime = Game->GetTime();
    GameTime += GameTimeStep;
  }
  GameTimeInterpolation = GameTimeResidual / GameTimeStep;
  InGameTime = (1.0 - GameTimeInterpolation) * LastInGameTime + GameTimeInterpolation * InGameTime;
  return FloatDeltaTime;
}

void TZNT1Engine::RunFrame() {
  if (cvVideoWidth->Modified || cvVideoHeight->Modified) {
    CanvasWidth = cvVideoWidth->IntegerValue;
    CanvasHeight = cvVideoHeight->IntegerValue;
    cvVideoWidth->Modified = false;
    cvVideoHeight->Modified = false;
    if (SDLSurfaceWindow && CanvasWidth > 0 && CanvasHeight > 0)
      SDL_SetWindowSize(SDLSurfaceWindow, CanvasWidth, CanvasHeight);
  }
  if (cvVideoFullScreen->Modified) {
    if (SDLSurfaceWindowFocused) SetRelativeMouseMode(false);
    if (SDLSurfaceWindow)
      SDL_SetWindowFullscreen(SDLSurfaceWindow, cvVideoFullScreen->IntegerValue != 0 ? SDL_WINDOW_FULLSCREEN : 0);
    SetRelativeMouseMode(SDLSurfaceWindowFocused);
    cvVideoFullScreen->Modified = false;
  }
  if (Dedicated && cvComDedicated->IntegerValue != 0) PlatformSleep(5);

  GetSystemEvents();
  const int64_t NowTime = EventLoop();
  const int64_t DeltaTime = ClampFrameTime(NowTime - LastTime);
  LastTime = NowTime;

  // A quit ends the frame where it is seen: nothing is updated, drawn or swapped after it. The
  // clock still counts the frame, as LastTime does.
  auto Quitting = [&] {
    if (!Quit) return false;
    FloatTime += HighResolutionTimer->ToFloatSeconds(DeltaTime);
    return true;
  };
  if (Quitting()) return;
  Command->ExecuteCommandBuffer();  // "quit", or a quit seen while a "map" command loaded
  if (Quitting()) return;
  Game->UpdateInput();
  const double FloatDeltaTime = AdvanceGameTime(DeltaTime);

  // A minimised window or an empty size has no projection to draw with.
  if (!Dedicated && CanvasWidth > 0 && CanvasHeight > 0) {
    SetUpView();
    Game->Draw(static_cast<float>(GameTimeInterpolation), static_cast<float>(FloatDeltaTime));
    Renderer->Render();
    Console->Draw(DeltaTime);
    if (SDLSurfaceWindow) SDL_GL_SwapWindow(SDLSurfaceWindow);
  }
  FloatTime += FloatDeltaTime;
}

void TZNT1Engine::SetUpView() {
  Matrix4x4Perspective(ProjectionMatrix, 45.0f, static_cast<float>(CanvasWidth) / static_cast<float>(CanvasHeight),
                       1.0f, 8192.0f);
  ViewPortLeft = 0;
  ViewPortTop = 0;
  ViewPortRight = CanvasWidth;
  ViewPortBottom = CanvasHeight;
  Renderer->GLCalls = 0;
  Renderer->CountBatchItems = 0;
  Renderer->CountFlushs = 0;
}

bool TZNT1Engine::Run() {
  if (!Init()) return false;
  Game = GameClass(this);
  TZNT1Game* g = Game.get();
  // The mixer thread runs from the sound system's creation and reads the hook under the lock.
  SoundSystem->CriticalSection.Enter();
  SoundSystem->UpdateHook = [g] { g->UpdateSounds(); };
  SoundSystem->CriticalSection.Leave();
  SoundSystem->Thread->Start();

  if (SDLInitialized && SDL_WasInit(SDL_INIT_AUDIO)) {
    AudioOpened = SDL_OpenAudio(&SDLWaveFormat, nullptr) == 0;
    if (AudioOpened) {
      SDL_PauseAudio(1);
      SDL_PauseAudio(0);
    }
  }

  ResetTime();
  Quit = false;
  LastTime = HighResolutionTimer->GetTime();
  SetRelativeMouseMode(SDLSurfaceWindowFocused);

  auto TearDown = [this] {
    if (AudioOpened) {
      SDL_PauseAudio(1);
      SDL_CloseAudio();
      AudioOpened = false;
    }
    if (SoundSystem) {
      std::unique_ptr<TZNT1SoundThread> t = std::move(SoundSystem->Thread);
      t.reset();
    }
    std::unique_ptr<TZNT1Game> old = std::move(Game);
    old.reset();
    Done();
  };
  try {
    while (!Quit) RunFrame();
  } catch (...) {
    TearDown();
    throw;
  }
  TearDown();
  return true;
}

void TZNT1Engine::UnloadMap() {
  if (!BSP) return;
  BSP.reset();
  Renderer->ResetBSP();
  Shaders->ResetRemappedShader();
  // A load gives it back itself, once its screen is up.
  if (!Loading) PlatformReleaseFreeMemory();
}

std::string TZNT1Engine::NormalizeMapName(const std::string& MapName) {
  size_t b = 0, e = MapName.size();
  while (b < e && static_cast<unsigned char>(MapName[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(MapName[e - 1]) <= 32) --e;
  std::string Name;
  for (size_t i = b; i < e; ++i) Name += static_cast<char>(std::tolower(static_cast<unsigned char>(MapName[i])));
  return Name;
}

void TZNT1Engine::ShowLoadingScreen(const std::string& MapName) {
  const std::string Name = NormalizeMapName(MapName);
  if (Loading && Name == LoadingScreenMap) return;
  if (!Dedicated) {
    if (LevelShotTexture) {
      LevelShotTexture->DecRef();
      LevelShotTexture = nullptr;
    }
    TZNT1Texture* t = Textures->FindTextureFile("levelshots/" + Name + ".tga", false, false, 0x2900, 0.0f, 0.0f);
    if (!t) t = Textures->FindTextureFile("maps/" + Name + ".tga", false, false, 0x2900, 0.0f, 0.0f);
    if (t) {
      t->IncRef();
      LevelShotTexture = t;
    }
  }
  Loading = true;
  LoadingScreenMap = Name;
  for (int i = 0; i < 3; ++i) ShowLoadProgress(true, 0.0f);
}

bool TZNT1Engine::LoadMap(const std::string& MapName) {
  const std::string Name = NormalizeMapName(MapName);
  // The screen first: freeing the old map takes a while, and the old frame would stand meanwhile.
  ShowLoadingScreen(Name);
  // The loading screen notices a quit; what is left of the load is skipped then, and a map
  // cut short is dropped whole.
  if (Quit) return false;
  const bool MapChange = BSP != nullptr;
  UnloadMap();
  Shaders->ResetRemappedShader();
  // The old map's pages go back before the new map allocates, so that its long-lived blocks do
  // not settle among them and keep them resident.
  if (MapChange) PlatformReleaseFreeMemory();

  std::unique_ptr<TMemoryStream> Stream = Archives->ExtractFile("maps/" + Name + ".bsp");
  if (!Stream) return false;
  BSP = std::make_unique<TZNT1BSP>(this);
  bool Result = BSP->Load(*Stream, "maps/" + Name + "/", Name) && !Quit;
  if (Result) {
    Shaders->Sort();
    Upload();
    Renderer->ResetBSP();
  } else {
    BSP.reset();
  }
  Stream.reset();
  if (Quit) {  // seen while uploading
    UnloadMap();
    Result = false;
  }
  // What came in while loading is queued without a marker, so later frames stay in step.
  GetSystemEvents(false);
  return Result;
}

void TZNT1Engine::DoneLoadMap() {
  for (int i = 0; i < 3; ++i) ShowLoadProgress(true, 1.0f);
  if (LevelShotTexture) {
    LevelShotTexture->DecRef();
    LevelShotTexture = nullptr;
  }
  ReleaseLoadingScreenTexture();
  Loading = false;
  LoadingScreenMap.clear();
  // What the old map and the load's file streams and compile scratch left, the new map did not
  // take up; after a quit the program ends, and the system takes everything back.
  if (!Quit) PlatformReleaseFreeMemory();
}

void TZNT1Engine::ReleaseLoadingScreenTexture() {
  if (LoadingWhiteTexture) {
    LoadingWhiteTexture->DecRef();
    LoadingWhiteTexture = nullptr;
  }
}

void TZNT1Engine::ShowLoadProgress(bool Force, float Progress) {
  if (!Loading || Dedicated) return;
  LastProgress = Progress;
  const int64_t Now = HighResolutionTimer->GetTime();
  if (!Force && std::llabs(Now - LastProgressTime) <= HighResolutionTimer->QuarterSecondInterval) return;
  LastProgressTime = Now;
  // A load runs inside one frame and may take seconds: a quit must end it.
  PollEventsWhileLoading();
  if (Quit) return;
  if (!SDLSurfaceWindow || !SDLSurfaceContext || !SpriteBatch || !Textures || !Textures->WhiteTexture) return;
  // The white texture stays referenced (and so on the GPU) while the loading screen shows.
  if (!LoadingWhiteTexture) {
    LoadingWhiteTexture = Textures->WhiteTexture;
    LoadingWhiteTexture->IncRef();
  }
  glViewport(0, 0, CanvasWidth, CanvasHeight);
  // Coordinates are fractions of the window.
  SpriteBatch->Width = 1;
  SpriteBatch->Height = 1;
  SpriteBatch->Start();
  SpriteBatch->SetBlending(false, false);
  const TZNT1SpriteBatchTexture White{LoadingWhiteTexture->Handle, 1, 1};
  const TZNT1SpriteBatchRect Source{0.0f, 0.0f, Progress, 1.0f};
  if (LevelShotTexture)
    SpriteBatch->Draw({LevelShotTexture->Handle, 1, 1}, {0, 0, 1, 1}, {0, 0, 1, 1}, {1, 1, 1, 1});
  else
    SpriteBatch->Draw(White, {0, 0, 1, 1}, {0, 0, 1, 1}, {0, 0, 0, 0});
  SpriteBatch->Draw(White, {0.0125f, 0.925f, 0.9875f, 0.975f}, Source, {1, 1, 1, 1});
  SpriteBatch->Draw(White, {0.0140625f, 0.9277778f, 0.9859375f, 0.9722222f}, Source, {0, 0, 0, 1});
  SpriteBatch->Draw(White, {0.015625f, 0.9305556f, 0.984375f * Progress + 0.015625f * (1.0f - Progress), 0.9694444f},
                    Source, {1, 1, 1, 1});
  SpriteBatch->Stop();
  SDL_GL_SwapWindow(SDLSurfaceWindow);
}
