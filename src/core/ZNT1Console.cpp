#include "core/ZNT1Console.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "assets/ZNT1Texture.h"
#include "assets/ZefuImage.h"
#include "assets/ZefuPNG.h"
#include "core/ZNT1Engine.h"
#include "gpu/ZNT1CommandConsoleBackground.h"
#include "gpu/ZNT1FontPNG.h"
#include "gpu/ZNT1FrameBufferObject.h"
#include "platform/ZNT1OpenGL.h"

const TZNT1SpriteBatchColor VGARGB[16] = {
    {0.0f, 0.0f, 0.0f, 1.0f},             {0.0f, 0.0f, 2.0f / 3.0f, 1.0f},
    {0.0f, 2.0f / 3.0f, 0.0f, 1.0f},      {0.0f, 2.0f / 3.0f, 2.0f / 3.0f, 1.0f},
    {2.0f / 3.0f, 0.0f, 0.0f, 1.0f},      {2.0f / 3.0f, 0.0f, 2.0f / 3.0f, 1.0f},
    {2.0f / 3.0f, 1.0f / 3.0f, 0.0f, 1.0f}, {2.0f / 3.0f, 2.0f / 3.0f, 2.0f / 3.0f, 1.0f},
    {1.0f / 3.0f, 1.0f / 3.0f, 1.0f / 3.0f, 1.0f}, {1.0f / 3.0f, 1.0f / 3.0f, 1.0f, 1.0f},
    {1.0f / 3.0f, 1.0f, 1.0f / 3.0f, 1.0f}, {1.0f / 3.0f, 1.0f, 1.0f, 1.0f},
    {1.0f, 1.0f / 3.0f, 1.0f / 3.0f, 1.0f}, {1.0f, 1.0f / 3.0f, 1.0f, 1.0f},
    {1.0f, 1.0f, 1.0f / 3.0f, 1.0f},      {1.0f, 1.0f, 1.0f, 1.0f},
};

namespace {

// A dedicated engine (or none) has no OpenGL context.
bool HasOpenGL(const TZNT1Engine* Engine) { return Engine && !Engine->Dedicated; }

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

void SetTextureSampling(GLint Wrap) {
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, Wrap);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, Wrap);
}

void UploadEmptyTexture() {
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 256, 256, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
}

constexpr float TwoPi = 6.283185307179586f;

}  // namespace

void ResizeBuf(int32_t fw, int32_t fh, int32_t tw, int32_t th, TZNT1ConsoleBuffer& Buf) {
  tw = std::max(tw, 0);
  th = std::max(th, 0);
  TZNT1ConsoleBuffer New(static_cast<size_t>(tw) * static_cast<size_t>(th) * 2, 0);
  const int32_t w = std::min(fw, tw), h = std::min(fh, th);
  // The old size is trusted only as far as the old buffer reaches.
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const size_t From = (static_cast<size_t>(y) * static_cast<size_t>(fw) + static_cast<size_t>(x)) * 2;
      const size_t To = (static_cast<size_t>(y) * static_cast<size_t>(tw) + static_cast<size_t>(x)) * 2;
      if (From + 1 >= Buf.size()) continue;
      New[To] = Buf[From];
      New[To + 1] = Buf[From + 1];
    }
  Buf.swap(New);
}

// ---- TZNT1CustomConsole ----

TZNT1CustomConsole::TZNT1CustomConsole(TZNT1Engine* AEngine) : Engine(AEngine) {
  chrWidth = 8;
  chrHeight = 16;
  SetChrDim(80, 25);
  Cursor.CurPos = {1, 1};
  Cursor.Color = 7;
}

TZNT1CustomConsole::~TZNT1CustomConsole() { TZNT1CustomConsole::Dispose(); }

void TZNT1CustomConsole::Upload() {
  if (!HasOpenGL(Engine) || Uploaded) return;
  try {
    if (!SpriteBatch) {
      SpriteBatch = std::make_unique<TZNT1SpriteBatch>(Engine);
      SpriteBatch->Setup();
    }
    // The reference keeps the white texture on the GPU while the console draws with it.
    if (!WhiteTexture && Engine->Textures && Engine->Textures->WhiteTexture) {
      WhiteTexture = Engine->Textures->WhiteTexture;
      WhiteTexture->IncRef();
    }
    SpriteBatchWhiteTexture = {WhiteTexture ? WhiteTexture->Handle : 0u, 1, 1};
    SpriteBatchBackgroundTexture.Width = 1;
    SpriteBatchBackgroundTexture.Height = 1;

    // A name left by a failed attempt is reused.
    if (TexHandle == 0) glGenTextures(1, &TexHandle);
    glBindTexture(GL_TEXTURE_2D, TexHandle);
    SetTextureSampling(GL_CLAMP_TO_EDGE);

    void* Decoded = nullptr;
    int32_t w = 0, h = 0;
    const bool Loaded = LoadPNG(FontData, FontSize, Decoded, w, h, false);
    std::unique_ptr<void, FreeDeleter> Pixels(Loaded ? Decoded : nullptr);
    // An image under 16 x 16 pixels would give empty glyphs and zero-sized cells.
    if (!Loaded || w < 16 || h < 16) {
      UploadEmptyTexture();
    } else {
      SpriteBatchTexture.Width = 1;
      SpriteBatchTexture.Height = 1;
      const int32_t fw = w >> 4, fh = h >> 4;
      chrWidth = static_cast<uint8_t>(std::min(fw, 255));
      chrHeight = static_cast<uint8_t>(std::min(fh, 255));
      // Each glyph in the top-left quarter of a cell twice its size, so that linear
      // filtering never picks up a neighbouring glyph.
      const int32_t w2 = w * 2, h2 = h * 2;
      std::vector<uint32_t> Padded(static_cast<size_t>(w2) * static_cast<size_t>(h2), 0);
      const uint8_t* Src = static_cast<const uint8_t*>(Pixels.get());
      for (int32_t fy = 0; fy < 16; ++fy)
        for (int32_t fx = 0; fx < 16; ++fx)
          for (int32_t y = 0; y < fh; ++y)
            for (int32_t x = 0; x < fw; ++x) {
              const size_t From = (static_cast<size_t>(fy * fh + y) * static_cast<size_t>(w) + fx * fw + x) * 4;
              uint32_t p;
              std::memcpy(&p, Src + From, 4);
              if (Src[From] == 0 && Src[From + 1] == 0 && Src[From + 2] == 0) p = 0;
              Padded[static_cast<size_t>(2 * fh * fy + y) * static_cast<size_t>(w2) + 2 * fw * fx + x] = p;
            }
      SpriteBatchTexture.ID = TexHandle;
      glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, w2, h2, 0, GL_RGBA, GL_UNSIGNED_BYTE, Padded.data());
    }
    Uploaded = true;
  } catch (...) {
    Uploaded = false;
  }
}

void TZNT1CustomConsole::ReleaseWhiteTexture() {
  if (!WhiteTexture) return;
  // The library may have been cleared since; only its current white texture is released.
  if (Engine && Engine->Textures && Engine->Textures->WhiteTexture == WhiteTexture) WhiteTexture->DecRef();
  WhiteTexture = nullptr;
  SpriteBatchWhiteTexture.ID = 0;
}

void TZNT1CustomConsole::Dispose() {
  if (!HasOpenGL(Engine)) return;
  try {
    if (TexHandle != 0) {
      glDeleteTextures(1, &TexHandle);
      TexHandle = 0;
    }
    SpriteBatchTexture.ID = 0;
    Uploaded = false;
    ReleaseWhiteTexture();
    FrameBufferObject.reset();
    SpriteBatch.reset();
  } catch (...) {
    Uploaded = false;
  }
}

void TZNT1CustomConsole::DrawBuffer(const TZNT1ConsoleBuffer& Buffer) {
  if (!HasOpenGL(Engine)) return;
  if (!Uploaded) {
    Upload();
    if (!Uploaded) return;
  }
  if (!SpriteBatch) return;

  // The animation clock restarts every hour, so that single floats keep their precision.
  float t = 0.0f;
  if (const TZNT1HighResolutionTimer* Timer = Engine->HighResolutionTimer.get(); Timer && Timer->HourInterval > 0)
    t = static_cast<float>(Timer->ToFloatSeconds(Timer->GetTime() % Timer->HourInterval));

  if (FrameBufferObject && (FrameBufferObject->Width != InternalWidth || FrameBufferObject->Height != InternalHeight))
    FrameBufferObject.reset();
  if (!FrameBufferObject)
    FrameBufferObject = std::make_unique<TZNT1FrameBufferObject>(Engine, InternalWidth, InternalHeight, 1, false, false,
                                                                 true, true, false, false,
                                                                 std::vector<int32_t>{GL_TEXTURE_RGBA8}, false, 0);

  SpriteBatchBackgroundTexture.ID = BackgroundTexHandle;
  FrameBufferObject->Bind();
  glViewport(0, 0, InternalWidth, InternalHeight);
  glClearColor(0.0f, 0.0f, 0.0f, ClearAlpha);
  glClear(GL_COLOR_BUFFER_BIT);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_STENCIL_TEST);
  glDisable(GL_CULL_FACE);

  // The library re-creates its textures after a dispose, so the name is taken afresh.
  SpriteBatchWhiteTexture.ID = WhiteTexture ? WhiteTexture->Handle : 0u;
  TZNT1SpriteBatch& Batch = *SpriteBatch;
  Batch.Width = chrCols;
  Batch.Height = chrRows;
  Batch.Start();

  const float c = chrCols, r = chrRows;
  if (BackgroundTexHandle != 0) {
    const float a = std::cos(TwoPi * 0.07f * (t + 173.0f)) * 0.5f + 0.5f;
    const TZNT1SpriteBatchColor Color{0.33333f * a, 0.33333f * (1.0f - a),
                                      0.33333f * (std::cos(TwoPi * 0.03f * (t + 67.0f)) * 0.5f + 0.5f),
                                      BackgroundAlpha};
    // The picture repeats four times across and down, each repetition the console's size.
    const auto Quad = [&](float X, float Y) {
      const float Left = -(2.0f * c + c * X), Top = -(2.0f * r + r * Y);
      Batch.Draw(SpriteBatchBackgroundTexture, {Left, Top, Left + 4.0f * c, Top + 4.0f * r}, {-2.0f, -2.0f, 2.0f, 2.0f},
                 Color);
    };
    Batch.SetBlending(false, false);
    Quad(std::cos(TwoPi * 0.01f * t), std::sin(TwoPi * 0.009f * t));
    Batch.SetBlending(true, true);
    Quad(std::cos(TwoPi * 0.01f * (t + 173.0f)), std::sin(TwoPi * 0.009f * (t + 213.0f)));
    Quad(std::cos(TwoPi * 0.01f * (t + 317.0f)),
         std::sin(TwoPi * (std::sin(0.01f * (t + 47.0f)) + 0.009f * (t + 97.0f))));
  }
  Batch.SetBlending(BackAlpha < 1.0f && BackgroundTexHandle != 0, false);

  // A buffer shorter than the screen draws the cells it has.
  const int32_t Cells = std::min(BufSize / 2, static_cast<int32_t>(Buffer.size() / 2));
  for (int32_t i = 0; i < Cells; ++i) {
    const float x = static_cast<float>(i % chrCols), y = static_cast<float>(i / chrCols);
    int32_t bg = Buffer[static_cast<size_t>(i) * 2 + 1] >> 4;
    if (BlinkOn && bg > 7) bg -= 8;
    if (bg == 0) continue;  // black lets the picture show through
    TZNT1SpriteBatchColor Color = VGARGB[bg];
    Color.a = BackAlpha;
    Batch.Draw(SpriteBatchWhiteTexture, {x, y, x + 1.0f, y + 1.0f}, {0.0f, 1.0f, 0.0f, 1.0f}, Color);
  }
  Batch.Stop();
  Batch.Start();
  Batch.SetBlending(true, false);

  for (int32_t i = 0; i < Cells; ++i) {
    const uint8_t ch = Buffer[static_cast<size_t>(i) * 2], Attr = Buffer[static_cast<size_t>(i) * 2 + 1];
    if (ch == 0 || (Attr >= 0x80 && !Blinking)) continue;
    const float x = static_cast<float>(i % chrCols), y = static_cast<float>(i / chrCols);
    const float gx = static_cast<float>(ch % 16), gy = static_cast<float>(ch / 16);
    TZNT1SpriteBatchColor Color = VGARGB[Attr & 15];
    Color.a = TextAlpha;
    Batch.Draw(SpriteBatchTexture, {x, y, x + 1.0f, y + 1.0f},
               {gx * 0.0625f, gy * 0.0625f, (gx + 0.5f) * 0.0625f, (gy + 0.5f) * 0.0625f}, Color);
  }

  if (CursorBlinkOn && CursorOn) {
    Batch.Stop();
    Batch.Start();
    const float x = static_cast<float>(Cursor.CurPos.X - 1), y = static_cast<float>(Cursor.CurPos.Y - 1);
    TZNT1SpriteBatchColor Color = VGARGB[15];
    Color.a = TextAlpha;
    Batch.Draw(SpriteBatchWhiteTexture, {x, y, x + 1.0f, y + 1.0f}, {0.0f, 1.0f, 0.0f, 1.0f}, Color);
  }
  Batch.Stop();
  FrameBufferObject->Unbind();
}

void TZNT1CustomConsole::Blit(float x1, float y1, float x2, float y2, int32_t w, int32_t h, float Alpha) {
  if (!HasOpenGL(Engine) || !FrameBufferObject || !SpriteBatch) return;
  SpriteBatchFrameBufferObjectTexture = {FrameBufferObject->TextureHandles[0], 1, 1};
  TZNT1SpriteBatch& Batch = *SpriteBatch;
  Batch.Width = w;
  Batch.Height = h;
  Batch.Start();
  Batch.SetBlending(ClearAlpha < 1.0f || Alpha < 1.0f, false);
  // The image's top row is at texture coordinate 1.
  Batch.Draw(SpriteBatchFrameBufferObjectTexture, {x1, y1, x2, y2}, {0.0f, 1.0f, 1.0f, 0.0f}, {1.0f, 1.0f, 1.0f, Alpha});
  Batch.Stop();
}

void TZNT1CustomConsole::UpdateScreen() {
  int64_t m = 0;
  if (Engine && Engine->HighResolutionTimer)
    m = Engine->HighResolutionTimer->ToMilliseconds(Engine->HighResolutionTimer->GetTime());
  CursorBlinkOn = (m & 0x100) != 0;
  Blinking = (m & 0x400) != 0;
  if (Engine && !Engine->Dedicated) DrawBuffer(RawBuffer);
  OldBlink = Blinking;
}

void TZNT1CustomConsole::SetChrDim(int32_t Cols, int32_t Rows) {
  // The sizes live in bytes; a screen has at least one cell.
  Cols = std::clamp(Cols, 1, 255);
  Rows = std::clamp(Rows, 1, 255);
  ResizeBuf(chrCols, chrRows, Cols, Rows, RawBuffer);
  ResizeBuf(chrCols, chrRows, Cols, Rows, ScrollBuffer);
  BufSize = Cols * Rows * 2;
  chrCols = static_cast<uint8_t>(Cols);
  chrRows = static_cast<uint8_t>(Rows);
  InternalWidth = Cols * chrWidth;
  InternalHeight = Rows * chrHeight;
  WindMin = 0;
  WindMax = static_cast<uint16_t>((Cols - 1) + (Rows - 1) * 256);
  WrapTop = 1;
  WrapBottom = chrRows;
  CheckXY();
}

void TZNT1CustomConsole::SetResolution(int32_t w, int32_t h) {
  if (chrWidth == 0 || chrHeight == 0) return;
  SetChrDim(w / chrWidth, h / chrHeight);
}

void TZNT1CustomConsole::CheckXY() {
  TCursorPos& p = Cursor.CurPos;
  if (p.X < 1) p.X = 1;
  if (p.Y < 1) p.Y = 1;
  if (p.X > chrCols) {
    p.X = 1;
    ++p.Y;
  }
  if (p.Y > WrapBottom) {
    if (ScrollLock) {
      p.X = 1;
      p.Y = WrapTop;
    } else {
      if (p.Y > chrRows) p.Y = chrRows;
      InsLine();
      p.X = 1;
      p.Y = WrapBottom;
    }
  }
}

void TZNT1CustomConsole::CLRSCR(uint8_t CB) {
  for (size_t i = 0; i + 1 < RawBuffer.size(); i += 2) {
    RawBuffer[i] = 0;
    RawBuffer[i + 1] = CB;
  }
  Cursor.CurPos = {1, 1};
  ActualBlinking = false;
}

void TZNT1CustomConsole::GotoXY(int32_t x, int32_t y) {
  Cursor.CurPos.X = std::clamp(x, 1, static_cast<int32_t>(chrCols));
  Cursor.CurPos.Y = std::clamp(y, 1, static_cast<int32_t>(chrRows));
}

void TZNT1CustomConsole::PutChar(uint8_t c) {
  TCursorPos& p = Cursor.CurPos;
  const size_t o = CellOffset(p.X, p.Y);
  RawBuffer[o] = c;
  RawBuffer[o + 1] = Cursor.Color;
  ++p.X;
  CheckXY();
}

void TZNT1CustomConsole::Write(const std::string& st) {
  TCursorPos& p = Cursor.CurPos;
  for (const char ch : st) {
    const uint8_t c = static_cast<uint8_t>(ch);
    switch (c) {
      case 0:
      case 7:
      case 255:
        break;
      case 8:
        if (p.X > 1) --p.X;
        if (DestructiveBS) {
          const size_t o = CellOffset(p.X, p.Y);
          RawBuffer[o] = ' ';
          RawBuffer[o + 1] = Cursor.Color;
        }
        break;
      case 9:
        for (int32_t n = ((p.X + 8) & ~7) - p.X + 1; n > 0; --n) PutChar(' ');
        break;
      case 10:
        ++p.Y;
        CheckXY();
        break;
      case 12:
        CLRSCR(0);
        break;
      case 13:
        p.X = 1;
        break;
      default:
        PutChar(c);
        break;
    }
  }
}

void TZNT1CustomConsole::WriteLn(const std::string& st) { Write(st + "\r\n"); }

void TZNT1CustomConsole::SetTextColor(int32_t fg, int32_t bg, bool blink) {
  if (fg < 0 || bg < 0 || bg >= 8 || fg >= 16) return;
  Cursor.Color = static_cast<uint8_t>(bg * 16 + fg + (blink ? 128 : 0));
}

void TZNT1CustomConsole::TextColor(uint8_t fg) {
  if (fg > 15) fg = static_cast<uint8_t>((fg & 15) + 128);
  Cursor.Color = static_cast<uint8_t>((Cursor.Color & 0x70) + fg);
}

void TZNT1CustomConsole::TextBackground(uint8_t bg) {
  Cursor.Color = static_cast<uint8_t>((Cursor.Color & ~0x70) + bg * 16);
}

void TZNT1CustomConsole::InsLine() {
  const int32_t Last = std::min(Cursor.CurPos.Y, static_cast<int32_t>(chrRows));
  if (Last < 1) return;
  const size_t RowBytes = static_cast<size_t>(chrCols) * 2;
  for (int32_t r = WrapTop + 1; r <= Last; ++r)
    std::memmove(&RawBuffer[CellOffset(1, r - 1)], &RawBuffer[CellOffset(1, r)], RowBytes);
  std::memset(&RawBuffer[CellOffset(1, Last)], 0, RowBytes);
}

void TZNT1CustomConsole::DelLine() {
  const int32_t y = Cursor.CurPos.Y;
  if (y < 1 || y > chrRows) return;
  const size_t RowBytes = static_cast<size_t>(chrCols) * 2;
  const int32_t Bottom = std::min(static_cast<int32_t>(WrapBottom), static_cast<int32_t>(chrRows));
  for (int32_t r = y; r <= Bottom; ++r) {
    if (r + 1 <= chrRows)
      std::memmove(&RawBuffer[CellOffset(1, r)], &RawBuffer[CellOffset(1, r + 1)], RowBytes);
    else
      std::memset(&RawBuffer[CellOffset(1, r)], 0, RowBytes);
  }
}

void TZNT1CustomConsole::ClrEOL() {
  const TCursorPos& p = Cursor.CurPos;
  if (p.Y < 1 || p.Y > chrRows || p.X < 1) return;
  for (int32_t x = p.X; x <= chrCols; ++x) {
    const size_t o = CellOffset(x, p.Y);
    RawBuffer[o] = 0;
    RawBuffer[o + 1] = 0;
  }
}

void TZNT1CustomConsole::ScrollTo(int32_t Position, const TStringList& Buffer) {
  if (!Scrolling) return;
  std::fill(ScrollBuffer.begin(), ScrollBuffer.end(), 0);
  int32_t StartLine = Position;
  int32_t EndLine = StartLine + chrRows - 1;
  if (EndLine > Buffer.Count() - 1) {
    StartLine = Buffer.Count() - chrRows;
    EndLine = Buffer.Count() - 1;
  }
  if (StartLine < 0) {
    StartLine = 0;
    EndLine = Buffer.Count() - 1;
  }
  // A position before the first line would otherwise fill more rows than the screen has.
  EndLine = std::min(EndLine, StartLine + chrRows - 1);
  for (int32_t i = StartLine; i <= EndLine; ++i) {
    const std::string& s = Buffer[i];
    const int32_t Row = i - StartLine + 1;
    const int32_t n = std::min(static_cast<int32_t>(s.size()), static_cast<int32_t>(chrCols));
    for (int32_t x = 1; x <= n; ++x) {
      const uint8_t c = static_cast<uint8_t>(s[static_cast<size_t>(x - 1)]);
      const size_t o = CellOffset(x, Row);
      ScrollBuffer[o] = (c == 10 || c == 13 || c == 32) ? 0 : c;
      ScrollBuffer[o + 1] = 15;
    }
  }
  DrawBuffer(ScrollBuffer);
}

uint8_t TZNT1CustomConsole::InvertColor() const {
  const uint8_t c = Cursor.Color;
  return static_cast<uint8_t>((c & 0x88) | ((c & 0x07) << 4) | ((c & 0x70) >> 4));
}

void TZNT1CustomConsole::InvertText(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  const int64_t Cells = static_cast<int64_t>(chrCols) * chrRows;
  const int64_t Start = std::max<int64_t>(static_cast<int64_t>(y1 - 1) * chrCols + (x1 - 1), 0);
  const int64_t End = std::min<int64_t>(static_cast<int64_t>(y2 - 1) * chrCols + (x2 - 1), Cells - 1);
  if (End > Start)
    for (int64_t i = Start; i <= End; ++i) {
      uint8_t& a = RawBuffer[static_cast<size_t>(i) * 2 + 1];
      a = static_cast<uint8_t>((a & 0x88) | ((a & 0x07) << 4) | ((a & 0x70) >> 4));
    }
  DrawBuffer(RawBuffer);
}

// ---- TZNT1Console ----

TZNT1Console::TZNT1Console(TZNT1Engine* AEngine) : TZNT1CustomConsole(AEngine) {}

TZNT1Console::~TZNT1Console() { TZNT1Console::Dispose(); }

void TZNT1Console::Upload() {
  TZNT1CustomConsole::Upload();
  if (!HasOpenGL(Engine) || BackgroundUploaded) return;
  try {
    if (BackgroundTextureGLTexture == 0) glGenTextures(1, &BackgroundTextureGLTexture);
    glBindTexture(GL_TEXTURE_2D, BackgroundTextureGLTexture);
    SetTextureSampling(GL_REPEAT);
    void* Decoded = nullptr;
    int32_t w = 0, h = 0;
    if (LoadImage(CommandConsoleBackgroundData, CommandConsoleBackgroundSize, Decoded, w, h, 0)) {
      std::unique_ptr<void, FreeDeleter> Pixels(Decoded);
      glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, Pixels.get());
      BackgroundTexHandle = BackgroundTextureGLTexture;
    } else {
      UploadEmptyTexture();
      BackgroundTexHandle = 0;  // no picture
    }
    BackgroundUploaded = true;
  } catch (...) {
    BackgroundUploaded = false;
  }
}

void TZNT1Console::Dispose() {
  if (HasOpenGL(Engine)) {
    try {
      if (BackgroundTextureGLTexture != 0) {
        glDeleteTextures(1, &BackgroundTextureGLTexture);
        BackgroundTextureGLTexture = 0;
      }
      BackgroundTexHandle = 0;
      BackgroundUploaded = false;
    } catch (...) {
      BackgroundUploaded = false;
    }
  }
  TZNT1CustomConsole::Dispose();
}

void TZNT1Console::Draw(int64_t DeltaTime) {
  const TZNT1HighResolutionTimer* Timer = Engine ? Engine->HighResolutionTimer.get() : nullptr;
  float Delta = Timer ? static_cast<float>(Timer->ToFloatSeconds(DeltaTime)) : 0.0f;
  // A clock that steps back must not push the slide out of 0..1.
  Delta = std::clamp(Delta, 0.0f, 0.25f);
  if (Focus) {
    if (FocusFactor < 1.0f) {
      FocusFactor += 3.0f * Delta;
      if (FocusFactor >= 1.0f) FocusFactor = 1.0f;
    }
  } else if (FocusFactor > 0.0f) {
    FocusFactor -= 3.0f * Delta;
    if (FocusFactor <= 0.0f) FocusFactor = 0.0f;
  }
  if (FocusFactor <= 0.01f) return;

  ClearAlpha = 1.0f;
  BackgroundAlpha = 1.0f;
  BackAlpha = 1.0f;
  UpdateScreen();
  if (!HasOpenGL(Engine)) return;

  const int32_t W = Engine->CanvasWidth, H = Engine->CanvasHeight;
  glViewport(0, 0, W, H);
  // Over a map the console stops at half the screen and lets the scene show through.
  const bool MapLoaded = Engine->BSP != nullptr;
  const float y = MapLoaded ? H - H * FocusFactor * 0.5f : H - H * FocusFactor;
  const float Factor = MapLoaded ? 0.8f : 1.0f;
  const float Open = 1.0f - FocusFactor;
  Blit(0.0f, -y, static_cast<float>(W), H - y, W, H, (1.0f - Open * Open) * Factor);
}

void TZNT1Console::UpdateScreen() {
  std::fill(RawBuffer.begin(), RawBuffer.end(), 0);
  const int32_t Cols = chrCols, Rows = chrRows;

  // Output rows: the newest lines at the bottom; a colour carries on to the following rows.
  uint8_t c = 7;
  for (int32_t j = 0; j <= Rows - 2; ++j) {
    const int32_t i = Lines.Count() - (Rows - 1) + j;
    if (i < 0) continue;
    const std::string& s = Lines[i];
    int32_t x = 0;
    for (size_t k = 0; k < s.size(); ++k) {
      const uint8_t ch = static_cast<uint8_t>(s[k]);
      if (ch == 0) {
        if (++k < s.size()) c = static_cast<uint8_t>(s[k]);
        continue;
      }
      if (x < Cols) {
        const size_t o = CellOffset(x + 1, j + 1);
        RawBuffer[o] = ch;
        RawBuffer[o + 1] = c;
      }
      ++x;
    }
  }

  // Input row: the prompt, then the visible part of the line.
  const size_t Prompt = CellOffset(1, Rows);
  RawBuffer[Prompt] = ']';
  RawBuffer[Prompt + 1] = 15;
  const int32_t Length = static_cast<int32_t>(Line.size());
  if (LinePosition < LineFirstPosition) {
    LineFirstPosition = LinePosition;
  } else if (LineFirstPosition + (Cols - 2) <= LinePosition) {
    LineFirstPosition = LinePosition - (Cols - 2);
    if (LineFirstPosition > Length) LineFirstPosition = Length;
    if (LineFirstPosition < 1) LineFirstPosition = 1;
  }
  if (LineFirstPosition >= 1 && LineFirstPosition <= Length) {
    for (int32_t k = LineFirstPosition; k <= Length; ++k) {
      const int32_t Column = k - LineFirstPosition + 2;
      if (Column > Cols) break;
      const size_t o = CellOffset(Column, Rows);
      RawBuffer[o] = static_cast<uint8_t>(Line[static_cast<size_t>(k - 1)]);
      RawBuffer[o + 1] = 15;
    }
  } else {
    LineFirstPosition = 1;
  }

  CursorOn = true;
  int32_t Column = LinePosition - LineFirstPosition + 2;
  if (Column > Cols) {
    Column = Cols;
    CursorOn = false;
  }
  Cursor.CurPos = {std::max(Column, 1), Rows};

  TZNT1CustomConsole::UpdateScreen();
}

void TZNT1Console::LinePositionClip() {
  const int32_t Length = static_cast<int32_t>(Line.size());
  if (LinePosition > Length) LinePosition = Length + 1;
  if (LinePosition < 1) LinePosition = 1;
}

void TZNT1Console::KeyLeft() {
  LinePositionClip();
  --LinePosition;
  LinePositionClip();
}

void TZNT1Console::KeyRight() {
  LinePositionClip();
  ++LinePosition;
  LinePositionClip();
}

void TZNT1Console::KeyBegin() {
  LinePosition = 1;
  LineFirstPosition = 1;
}

void TZNT1Console::KeyEnd() { LinePosition = static_cast<int32_t>(Line.size()) + 1; }

void TZNT1Console::KeyChar(char c) {
  // A control byte, above all 0, would become a colour code in the echo of the line.
  if (static_cast<uint8_t>(c) < 32) return;
  LinePositionClip();
  if (LinePosition <= static_cast<int32_t>(Line.size())) {
    Line.insert(static_cast<size_t>(LinePosition - 1), 1, c);
    ++LinePosition;
  } else {
    Line.push_back(c);
    LinePosition = static_cast<int32_t>(Line.size()) + 1;
  }
  ResetHistoryPosition();
}

void TZNT1Console::KeyDelete() {
  LinePositionClip();
  if (LinePosition >= 1 && LinePosition <= static_cast<int32_t>(Line.size())) {
    Line.erase(static_cast<size_t>(LinePosition - 1), 1);
    LinePositionClip();
  }
  ResetHistoryPosition();
}

void TZNT1Console::KeyBackspace() {
  LinePositionClip();
  if (LinePosition <= static_cast<int32_t>(Line.size())) {
    --LinePosition;
    if (LinePosition >= 1) Line.erase(static_cast<size_t>(LinePosition - 1), 1);
    LinePositionClip();
  } else {
    if (!Line.empty()) Line.pop_back();
    LinePosition = static_cast<int32_t>(Line.size()) + 1;
  }
  ResetHistoryPosition();
}

void TZNT1Console::KeyEscape() {
  LinePosition = 1;
  LineFirstPosition = 1;
  Line.clear();
  ResetHistoryPosition();
}

void TZNT1Console::ShowHistoryEntry() {
  if (HistoryPosition >= 0 && HistoryPosition < History.Count()) {
    Line = History[HistoryPosition];
    LinePosition = static_cast<int32_t>(Line.size()) + 1;
  } else {
    Line.clear();
    LinePosition = 1;
  }
  LineFirstPosition = 1;
}

void TZNT1Console::KeyUp() {
  if (HistoryPosition > 0) --HistoryPosition;
  ShowHistoryEntry();
}

void TZNT1Console::KeyDown() {
  if (HistoryPosition >= 0 && History.Count() > HistoryPosition) ++HistoryPosition;
  ShowHistoryEntry();
}

void TZNT1Console::KeyEnter() {
  const bool OK = std::any_of(Line.begin(), Line.end(), [](char ch) { return static_cast<uint8_t>(ch) > 32; });
  if (OK) {
    History.Add(Line);
    HistoryPosition = History.Count();
  }
  Lines.Add(ConsoleColorCode(ZNT1ConsoleColors::White) + ">" + Line);
  // The line runs in the next frame: its event queues behind this frame's end marker.
  if (OK && Engine && Engine->SystemEventManager && Engine->HighResolutionTimer) {
    TZNT1SystemEvent* e = Engine->SystemEventManager->Enqueue(zsetCONSOLE, Engine->HighResolutionTimer->GetTime());
    e->Console = Line;
  }
  LinePosition = 1;
  LineFirstPosition = 1;
  Line.clear();
}
