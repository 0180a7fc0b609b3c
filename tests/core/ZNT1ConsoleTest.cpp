#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1Console.h"
#include "core/ZNT1Engine.h"

namespace {

std::string Code(uint8_t c) { return std::string(1, '\0') + static_cast<char>(c); }

struct ConsoleFixture : ::testing::Test {
  void SetUp() override {
    engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<TZNT1Game>, false);
    con = engine->Console.get();
  }
  // Runs a key script: plain characters are typed, <NAME> presses an editing key.
  void Keys(const std::string& script) {
    for (size_t i = 0; i < script.size(); ++i) {
      if (script[i] != '<') {
        con->KeyChar(script[i]);
        continue;
      }
      const size_t end = script.find('>', i);
      const std::string k = script.substr(i + 1, end - i - 1);
      i = end;
      if (k == "L") con->KeyLeft();
      else if (k == "R") con->KeyRight();
      else if (k == "U") con->KeyUp();
      else if (k == "D") con->KeyDown();
      else if (k == "BS") con->KeyBackspace();
      else if (k == "DEL") con->KeyDelete();
      else if (k == "HOME") con->KeyBegin();
      else if (k == "END") con->KeyEnd();
      else if (k == "ESC") con->KeyEscape();
      else if (k == "ENTER") con->KeyEnter();
      else ADD_FAILURE() << "unknown key " << k;
    }
  }
  // Character and attribute of the cell at 1-based column x, row y.
  uint8_t Char(int x, int y) const { return con->RawBuffer[con->CellOffset(x, y)]; }
  uint8_t Attr(int x, int y) const { return con->RawBuffer[con->CellOffset(x, y) + 1]; }
  std::string Row(int y) const {
    std::string r;
    for (int x = 1; x <= con->chrCols; ++x) r += Char(x, y) ? static_cast<char>(Char(x, y)) : ' ';
    return r.substr(0, r.find_last_not_of(' ') + 1);
  }
  // The console lines queued for the command buffer.
  std::vector<std::string> Queued() {
    std::vector<std::string> r;
    while (TZNT1SystemEvent* e = engine->SystemEventManager->Dequeue()) {
      EXPECT_EQ(e->EventType, zsetCONSOLE);
      r.push_back(e->Console);
    }
    return r;
  }

  std::unique_ptr<TZNT1Engine> engine;
  TZNT1Console* con = nullptr;
};

using Strings = std::vector<std::string>;

}  // namespace

TEST_F(ConsoleFixture, InitialState) {
  EXPECT_EQ(con->chrCols, 80);
  EXPECT_EQ(con->chrRows, 25);
  EXPECT_EQ(con->BufSize, 4000);
  EXPECT_EQ(con->RawBuffer.size(), 4000u);
  EXPECT_EQ(con->InternalWidth, 640);
  EXPECT_EQ(con->InternalHeight, 400);
  EXPECT_EQ(con->WrapBottom, 25);
  EXPECT_EQ(con->WindMax, 79 + 24 * 256);
  EXPECT_EQ(con->Cursor.Color, 7);
  EXPECT_EQ(con->HistoryPosition, -1);
  EXPECT_EQ(con->LinePosition, 1);
  EXPECT_FALSE(con->Focus);
  EXPECT_TRUE(con->DestructiveBS);
  EXPECT_TRUE(con->BlinkOn);
}

TEST_F(ConsoleFixture, InputLineEditing) {
  struct Case {
    std::string keys, line;
    int32_t position;
  } cases[] = {
      {"abc", "abc", 4},
      {"abc<L><L>x", "axbc", 3},
      {"abc<HOME>x", "xabc", 2},
      {"abc<HOME><L><L>", "abc", 1},
      {"abc<R><R>", "abc", 4},
      {"abc<HOME><END>", "abc", 4},
      {"abc<BS>", "ab", 3},
      {"abc<L><BS>", "ac", 2},
      {"abc<HOME><BS>", "abc", 1},  // backspace at the start changes nothing
      {"abc<HOME><R><BS><BS>", "bc", 1},
      {"abc<DEL>", "abc", 4},  // delete after the end changes nothing
      {"abc<L><DEL>", "ab", 3},
      {"abc<HOME><DEL><DEL><DEL><DEL>", "", 1},
      {"<BS><DEL><L><R>", "", 1},
      {"abc<ESC>", "", 1},
      {"abc<ESC>d", "d", 2},
  };
  for (const Case& c : cases) {
    con->KeyEscape();
    Keys(c.keys);
    EXPECT_EQ(con->Line, c.line) << c.keys;
    EXPECT_EQ(con->LinePosition, c.position) << c.keys;
  }
}

TEST_F(ConsoleFixture, KeysClampPositionsSetFromOutside) {
  con->Line = "abc";
  con->LinePosition = 99;
  Keys("x");
  EXPECT_EQ(con->Line, "abcx");
  EXPECT_EQ(con->LinePosition, 5);
  con->LinePosition = -7;
  Keys("y");
  EXPECT_EQ(con->Line, "yabcx");
  con->LinePosition = 0;
  Keys("<BS>");
  EXPECT_EQ(con->Line, "yabcx");
  EXPECT_EQ(con->LinePosition, 1);
  con->LinePosition = 40;
  Keys("<BS>");
  EXPECT_EQ(con->Line, "yabc");
  EXPECT_EQ(con->LinePosition, 5);
}

TEST_F(ConsoleFixture, TypedBytesStayBytesButControlBytesAreRefused) {
  con->KeyChar('\0');  // would become a colour code in the echo
  con->KeyChar('\x1b');
  con->KeyChar('\x7f');
  con->KeyChar(static_cast<char>(0xe9));
  EXPECT_EQ(con->Line, "\x7f\xe9");
  Keys("<ENTER>");
  EXPECT_EQ(con->Lines[con->Lines.Count() - 1], Code(15) + ">\x7f\xe9");
  EXPECT_EQ(Queued(), Strings{"\x7f\xe9"});
}

TEST_F(ConsoleFixture, EnterEchoesStoresAndQueues) {
  Keys("  echo hi  <ENTER>");
  EXPECT_EQ(con->Lines[0], Code(15) + ">  echo hi  ");
  EXPECT_EQ(con->History.Strings, Strings{"  echo hi  "});  // stored as typed
  EXPECT_EQ(con->HistoryPosition, 1);
  EXPECT_EQ(Queued(), Strings{"  echo hi  "});
  EXPECT_EQ(con->Line, "");
  EXPECT_EQ(con->LinePosition, 1);

  // Only blanks: echoed, neither stored nor executed.
  Keys("   <ENTER>");
  EXPECT_EQ(con->Lines[1], Code(15) + ">   ");
  Keys("<ENTER>");
  EXPECT_EQ(con->Lines[2], Code(15) + ">");
  EXPECT_EQ(con->History.Count(), 1);
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(con->Line, "");
}

TEST_F(ConsoleFixture, HistoryBrowsing) {
  Keys("<U>");
  EXPECT_EQ(con->Line, "");  // nothing committed yet
  Keys("x<U>");
  EXPECT_EQ(con->Line, "");  // typing set the position past the (empty) history
  Keys("one<ENTER>two<ENTER>three<ENTER>");
  Queued();
  const std::string upward[] = {"three", "two", "one", "one"};
  for (const std::string& expected : upward) {
    Keys("<U>");
    EXPECT_EQ(con->Line, expected);
    EXPECT_EQ(con->LinePosition, static_cast<int32_t>(expected.size()) + 1);
  }
  Keys("<D>");
  EXPECT_EQ(con->Line, "two");
  Keys("<D><D>");
  EXPECT_EQ(con->Line, "");  // past the newest
  EXPECT_EQ(con->LinePosition, 1);
  Keys("<D>");
  EXPECT_EQ(con->Line, "");
  Keys("<U>");
  EXPECT_EQ(con->Line, "three");
  // Editing a recalled line starts browsing afresh from the newest entry.
  Keys("<U>!<U>");
  EXPECT_EQ(con->Line, "three");
  Keys("<U>x<ENTER>");
  EXPECT_EQ(con->History.Strings, (Strings{"one", "two", "three", "twox"}));
  EXPECT_EQ(Queued(), Strings{"twox"});
}

TEST_F(ConsoleFixture, ScreenShowsTheNewestLinesAtTheBottom) {
  con->Lines.Add("first");
  con->Lines.Add("second");
  con->UpdateScreen();
  for (int y = 1; y <= 22; ++y) EXPECT_EQ(Row(y), "") << y;
  EXPECT_EQ(Row(23), "first");
  EXPECT_EQ(Row(24), "second");
  EXPECT_EQ(Attr(1, 24), 7);
  EXPECT_EQ(Row(25), "]");
  EXPECT_EQ(Attr(1, 25), 15);

  for (int i = 0; i < 30; ++i) con->Lines.Add("line " + std::to_string(i));
  con->UpdateScreen();
  EXPECT_EQ(Row(1), "line 6");
  EXPECT_EQ(Row(24), "line 29");
}

TEST_F(ConsoleFixture, ColourCodesTravelInTheLines) {
  const std::string Long = std::string(85, 'x');
  con->Lines.Add(Code(12) + "ERROR: red");           // row 19
  con->Lines.Add("plain after the error");            // 20: stays red
  con->Lines.Add(Long + Code(10) + "zz");             // 21: cut at 80; the code still counts
  con->Lines.Add("green now");                        // 22
  con->Lines.Add("a" + Code(0x1f) + "b" + Code(0x8e) + "c" + std::string(1, '\0'));  // 23
  con->Lines.Add(Code(14) + "Use " + Code(13) + "list");  // 24
  for (int i = 0; i < 18; ++i) con->Lines.Strings.insert(con->Lines.Strings.begin(), "top");
  con->UpdateScreen();
  EXPECT_EQ(Row(1), "top");
  EXPECT_EQ(Attr(1, 1), 7);  // the topmost row starts in light grey
  EXPECT_EQ(Row(19), "ERROR: red");
  EXPECT_EQ(Attr(1, 19), 12);
  EXPECT_EQ(Attr(1, 20), 12);
  EXPECT_EQ(Row(21), std::string(80, 'x'));
  EXPECT_EQ(Attr(80, 21), 12);
  EXPECT_EQ(Attr(1, 22), 10);
  EXPECT_EQ(Row(23), "abc");  // the trailing 0 is dropped
  EXPECT_EQ(Attr(1, 23), 10);
  EXPECT_EQ(Attr(2, 23), 0x1f);  // white on blue: the byte is taken whole
  EXPECT_EQ(Attr(3, 23), 0x8e);  // blinking yellow survives as a byte
  EXPECT_EQ(Char(4, 23), 0);
  EXPECT_EQ(Row(24), "Use list");
  EXPECT_EQ(Attr(1, 24), 14);
  EXPECT_EQ(Attr(5, 24), 13);
}

TEST_F(ConsoleFixture, InputRowScrollsWithTheCursor) {
  std::string typed;
  for (int i = 0; i < 100; ++i) typed += static_cast<char>('A' + i % 26);
  Keys(typed);
  con->UpdateScreen();
  EXPECT_EQ(con->LineFirstPosition, 23);
  EXPECT_EQ(con->Cursor.CurPos.X, 80);
  EXPECT_EQ(con->Cursor.CurPos.Y, 25);
  EXPECT_TRUE(con->CursorOn);
  EXPECT_EQ(Row(25), "]" + typed.substr(22));
  Keys("<HOME>");
  con->UpdateScreen();
  EXPECT_EQ(con->Cursor.CurPos.X, 2);
  EXPECT_EQ(Row(25), "]" + typed.substr(0, 79));
  EXPECT_EQ(Attr(80, 25), 15);
  Keys("<R><R><R>");
  con->UpdateScreen();
  EXPECT_EQ(con->Cursor.CurPos.X, 5);
  EXPECT_EQ(con->LineFirstPosition, 1);
  Keys("<END>");
  con->UpdateScreen();
  EXPECT_EQ(con->Cursor.CurPos.X, 80);
  // Moving left of the visible part scrolls back to it.
  for (int i = 0; i < 40; ++i) Keys("<L>");
  con->UpdateScreen();
  EXPECT_EQ(con->LineFirstPosition, 23);
  EXPECT_EQ(con->Cursor.CurPos.X, 40);
  for (int i = 0; i < 40; ++i) Keys("<L>");
  con->UpdateScreen();
  EXPECT_EQ(con->LineFirstPosition, 21);
  EXPECT_EQ(con->Cursor.CurPos.X, 2);
}

TEST_F(ConsoleFixture, TextModeWriting) {
  const char text[] = "AB\tC\r\nD\x07\xff\0E";
  con->Write(std::string(text, sizeof text - 1));
  EXPECT_EQ(Row(1), "AB" + std::string(6, ' ') + "C");  // the tab stops at column 9
  EXPECT_EQ(Row(2), "DE");
  EXPECT_EQ(con->WhereX(), 3);
  EXPECT_EQ(con->WhereY(), 2);
  con->Write("\b");  // destructive: blanks the cell it moves onto
  EXPECT_EQ(Char(2, 2), ' ');
  EXPECT_EQ(con->WhereX(), 2);
  con->GotoXY(0, 99);
  EXPECT_EQ(con->WhereX(), 1);
  EXPECT_EQ(con->WhereY(), 25);
  con->SetTextColor(14, 1, true);
  EXPECT_EQ(con->Cursor.Color, 0x9e);
  con->SetTextColor(16, 1, false);  // out of range: nothing
  con->SetTextColor(1, 8, false);
  EXPECT_EQ(con->Cursor.Color, 0x9e);
  EXPECT_EQ(con->InvertColor(), 0xe9);  // foreground and background bits swapped, bits 3 and 7 kept
  con->TextColor(20);  // above 15: low bits plus blink
  EXPECT_EQ(con->Cursor.Color, 0x10 + 4 + 128);
  con->TextBackground(3);
  EXPECT_EQ(con->Cursor.Color, 0x30 + 4 + 128);
  // Writing past the last row scrolls everything up by one.
  con->GotoXY(80, 25);
  con->Write("Z");
  EXPECT_EQ(Row(1), "D");  // row 2 moved up
  EXPECT_EQ(Char(80, 24), 'Z');
  EXPECT_EQ(Attr(80, 24), 0xb4);
  EXPECT_EQ(con->WhereX(), 1);
  EXPECT_EQ(con->WhereY(), 25);
  con->ScrollLock = true;
  con->WriteLn("");
  EXPECT_EQ(con->WhereY(), 1);  // wraps to the top instead
  con->Write("\x0c");
  EXPECT_EQ(Row(1), "");
  EXPECT_EQ(Attr(5, 5), 0);
}

TEST_F(ConsoleFixture, TextModeRowOperationsAndResizing) {
  for (int y = 1; y <= 25; ++y) {
    con->GotoXY(1, y);
    con->Write(std::string(1, static_cast<char>('a' + y - 1)) + "123");
  }
  con->GotoXY(1, 3);
  con->DelLine();
  EXPECT_EQ(Row(3), "d123");
  EXPECT_EQ(Row(24), "y123");
  EXPECT_EQ(Row(25), "");  // taken from beyond the end
  con->GotoXY(3, 1);
  con->ClrEOL();
  EXPECT_EQ(Row(1), "a1");
  con->GotoXY(1, 5);
  con->InsLine();  // rows 2..5 up by one, row 5 cleared
  EXPECT_EQ(Row(1), "b123");
  EXPECT_EQ(Row(4), "f123");
  EXPECT_EQ(Row(5), "");
  EXPECT_EQ(Row(6), "g123");

  const uint8_t before = Attr(1, 1);
  con->InvertText(1, 1, 2, 1);
  EXPECT_EQ(Attr(1, 1), static_cast<uint8_t>(((before & 7) << 4) | ((before >> 4) & 7) | (before & 0x88)));
  con->InvertText(1, 1, 1, 1);  // the end must lie after the start
  EXPECT_EQ(Attr(1, 1), static_cast<uint8_t>(((before & 7) << 4) | ((before >> 4) & 7) | (before & 0x88)));

  con->SetChrDim(40, 10);
  EXPECT_EQ(con->BufSize, 800);
  EXPECT_EQ(con->InternalWidth, 320);
  EXPECT_EQ(Row(1), "b123");
  EXPECT_EQ(Row(6), "g123");
  con->SetResolution(1280, 800);
  EXPECT_EQ(con->chrCols, 160);
  EXPECT_EQ(con->chrRows, 50);
  EXPECT_EQ(Row(6), "g123");
  EXPECT_EQ(Row(11), "");
  con->SetChrDim(0, 1000);  // kept within the byte-sized geometry
  EXPECT_EQ(con->chrCols, 1);
  EXPECT_EQ(con->chrRows, 255);
}

TEST_F(ConsoleFixture, ScrollToFillsTheScrollBuffer) {
  TStringList list;
  for (int i = 0; i < 40; ++i) list.Add("l" + std::to_string(i) + " x\r\n");
  auto RowOf = [&](int y) {
    std::string r;
    for (int x = 1; x <= con->chrCols; ++x) {
      const uint8_t c = con->ScrollBuffer[con->CellOffset(x, y)];
      r += c ? static_cast<char>(c) : '.';
    }
    return r.substr(0, r.find_last_not_of('.') + 1);
  };
  con->ScrollTo(3, list);
  EXPECT_EQ(RowOf(1), "");  // off: nothing happens
  con->ScrollOn();
  con->ScrollTo(3, list);
  EXPECT_EQ(RowOf(1), "l3.x");  // blank, carriage return and line feed leave empty cells
  EXPECT_EQ(con->ScrollBuffer[con->CellOffset(1, 1) + 1], 15);
  EXPECT_EQ(RowOf(25), "l27.x");
  con->ScrollTo(30, list);  // too near the end: the last screenful
  EXPECT_EQ(RowOf(1), "l15.x");
  EXPECT_EQ(RowOf(25), "l39.x");
  con->ScrollTo(-5, list);  // before the start: never more rows than the screen has
  EXPECT_EQ(RowOf(1), "l0.x");
  EXPECT_EQ(RowOf(25), "l24.x");
  TStringList few;
  few.Add("only");
  con->ScrollTo(0, few);
  EXPECT_EQ(RowOf(1), "only");
  EXPECT_EQ(RowOf(2), "");
}
