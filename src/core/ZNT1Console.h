#pragma once
// The drop-down console. TZNT1CustomConsole is a text-mode screen of character cells with
// colour attributes; TZNT1Console adds the line list (the system's one message channel),
// the input line with its cursor and the history, and paints the screen from them.
// Colour changes travel inside the lines: the byte 0 followed by the attribute byte.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1StringList.h"
#include "gpu/ZNT1SpriteBatch.h"

class TZNT1Engine;
class TZNT1FrameBufferObject;
class TZNT1Texture;

// Two bytes per cell, rows top to bottom: the character (a font index, 0 = empty) and the
// attribute (bits 0-3 foreground, 4-6 background, 7 blink).
using TZNT1ConsoleBuffer = std::vector<uint8_t>;

// Colour indices of the attribute byte (named as the text-mode palette names them).
namespace ZNT1ConsoleColors {
constexpr uint8_t Black = 0;
constexpr uint8_t Blue = 1;
constexpr uint8_t Green = 2;
constexpr uint8_t Cyan = 3;
constexpr uint8_t Red = 4;
constexpr uint8_t Magenta = 5;
constexpr uint8_t Brown = 6;
constexpr uint8_t LightGray = 7;
constexpr uint8_t DarkGray = 8;
constexpr uint8_t LightBlue = 9;
constexpr uint8_t LightGreen = 10;
constexpr uint8_t LightCyan = 11;
constexpr uint8_t LightRed = 12;
constexpr uint8_t LightMagenta = 13;
constexpr uint8_t Yellow = 14;
constexpr uint8_t White = 15;
constexpr uint8_t Blink = 128;
}  // namespace ZNT1ConsoleColors

// The two bytes that switch a line's colour from there on.
inline std::string ConsoleColorCode(uint8_t Color) { return std::string{'\0', static_cast<char>(Color)}; }

// The 16 text-mode colours (red, green, blue, alpha) of the colour indices above.
extern const TZNT1SpriteBatchColor VGARGB[16];

struct TCursorPos {
  int32_t X = 1;  // 1-based column
  int32_t Y = 1;  // 1-based row
};

struct TCursorInfo {
  uint8_t CursorShape = 0;
  TCursorPos CurPos;
  uint8_t Color = 7;  // attribute for writing
};

// Makes Buf tw x th cells, all zero, keeping the cells of the old fw x fh buffer that fit.
void ResizeBuf(int32_t fw, int32_t fh, int32_t tw, int32_t th, TZNT1ConsoleBuffer& Buf);

class TZNT1CustomConsole {
 public:
  explicit TZNT1CustomConsole(TZNT1Engine* AEngine);
  virtual ~TZNT1CustomConsole();
  TZNT1CustomConsole(const TZNT1CustomConsole&) = delete;
  TZNT1CustomConsole& operator=(const TZNT1CustomConsole&) = delete;

  // GPU side: font, background, off-screen image. Dispose runs again from the destructor,
  // after the engine's own Dispose call, so it must do nothing when nothing is uploaded.
  virtual void Upload();
  virtual void Dispose();
  // Computes the blink phases and draws RawBuffer.
  virtual void UpdateScreen();
  // Renders a cell buffer into the off-screen image.
  virtual void DrawBuffer(const TZNT1ConsoleBuffer& Buffer);

  void SetChrDim(int32_t Cols, int32_t Rows);
  void SetResolution(int32_t w, int32_t h);
  void CheckXY();
  void CLRSCR(uint8_t CB);
  void GotoXY(int32_t x, int32_t y);
  int32_t WhereX() const { return Cursor.CurPos.X; }
  int32_t WhereY() const { return Cursor.CurPos.Y; }
  void Write(const std::string& st);
  void WriteLn(const std::string& st);
  void SetTextColor(int32_t fg, int32_t bg, bool blink);
  void TextColor(uint8_t fg);
  void TextBackground(uint8_t bg);
  void InsLine();
  void DelLine();
  void ClrEOL();
  void ScrollOn() { Scrolling = true; }
  void ScrollOff() { Scrolling = false; }
  void ScrollTo(int32_t Position, const TStringList& Buffer);
  uint8_t InvertColor() const;
  void InvertText(int32_t x1, int32_t y1, int32_t x2, int32_t y2);

  // Byte offset of the cell at 1-based column x, row y.
  size_t CellOffset(int32_t x, int32_t y) const {
    return (static_cast<size_t>(y - 1) * chrCols + static_cast<size_t>(x - 1)) * 2;
  }

  // Blits the off-screen image into the canvas rectangle (x1, y1)-(x2, y2) of a w x h canvas.
  void Blit(float x1, float y1, float x2, float y2, int32_t w, int32_t h, float Alpha);

  // Source rectangles are normalised texture coordinates: every record is 1 x 1.
  TZNT1SpriteBatchTexture SpriteBatchTexture{0, 1, 1};
  TZNT1SpriteBatchTexture SpriteBatchWhiteTexture{0, 1, 1};
  TZNT1SpriteBatchTexture SpriteBatchBackgroundTexture{0, 1, 1};
  TZNT1SpriteBatchTexture SpriteBatchFrameBufferObjectTexture{0, 1, 1};
  bool OldBlink = false;
  TZNT1Engine* Engine;
  std::unique_ptr<TZNT1SpriteBatch> SpriteBatch;
  std::unique_ptr<TZNT1FrameBufferObject> FrameBufferObject;
  TZNT1ConsoleBuffer ScrollBuffer;
  TZNT1ConsoleBuffer RawBuffer;
  uint8_t chrCols = 0, chrRows = 0;
  uint8_t chrWidth = 8, chrHeight = 16;
  uint8_t WrapTop = 1, WrapBottom = 1;
  bool BlinkOn = true;
  bool Blinking = false;
  bool ScrollLock = false;
  bool CursorBlinkOn = false;
  bool CursorOn = false;
  bool ActualBlinking = false;
  bool DestructiveBS = true;
  bool Scrolling = false;
  bool ForcedReDraw = false;
  bool Uploaded = false;
  uint16_t WindMin = 0, WindMax = 0;
  uint16_t FPS = 0;
  int32_t BufSize = 0;
  TCursorInfo Cursor;
  uint32_t TexHandle = 0;
  uint32_t BackgroundTexHandle = 0;
  float ClearAlpha = 1.0f, BackgroundAlpha = 1.0f, BackAlpha = 1.0f, TextAlpha = 1.0f;
  int32_t InternalWidth = 0, InternalHeight = 0;

 private:
  void PutChar(uint8_t c);
  void ReleaseWhiteTexture();
  TZNT1Texture* WhiteTexture = nullptr;  // the engine's, referenced while uploaded
};

class TZNT1Console : public TZNT1CustomConsole {
 public:
  explicit TZNT1Console(TZNT1Engine* AEngine);
  ~TZNT1Console() override;

  void Upload() override;
  void Dispose() override;
  // Composes the screen from Lines and the input line, then the base UpdateScreen.
  void UpdateScreen() override;
  // Draws the console over the frame; DeltaTime in timer ticks.
  void Draw(int64_t DeltaTime);

  void LinePositionClip();
  void KeyLeft();
  void KeyRight();
  void KeyUp();
  void KeyDown();
  void KeyEnter();
  void KeyEscape();
  void KeyBegin();
  void KeyEnd();
  void KeyDelete();
  void KeyBackspace();
  void KeyChar(char c);

  bool BackgroundUploaded = false;
  uint32_t BackgroundTextureGLTexture = 0;
  TStringList Lines;    // every reported line, oldest first
  TStringList History;  // committed input lines, oldest first
  int32_t HistoryPosition = -1;
  std::string Line;
  int32_t LinePosition = 1;       // 1-based; Length(Line) + 1 puts the cursor after the end
  int32_t LineFirstPosition = 1;  // first visible character of Line
  bool Focus = false;
  float FocusFactor = 0.0f;

 private:
  void ResetHistoryPosition() { HistoryPosition = History.Count(); }
  void ShowHistoryEntry();
};
