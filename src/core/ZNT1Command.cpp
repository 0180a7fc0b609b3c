#include "core/ZNT1Command.h"

#include <algorithm>
#include <bitset>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1StringList.h"

namespace {

std::string Color(uint8_t Attribute) { return std::string(1, '\0') + static_cast<char>(Attribute); }

const std::string LightGreen = Color(10);
const std::string LightRed = Color(12);
const std::string LightMagenta = Color(13);
const std::string Yellow = Color(14);

// Words are separated by any byte up to the blank.
const std::bitset<256>& Blanks() {
  static const std::bitset<256> b = [] {
    std::bitset<256> r;
    for (int i = 0; i <= 32; ++i) r.set(static_cast<size_t>(i));
    return r;
  }();
  return b;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

std::string FirstWord(const std::string& Args) {
  std::string s = Args;
  return Parse(s, Blanks(), true);
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

bool LessIgnoringCase(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int ca = std::tolower(static_cast<unsigned char>(a[i]));
    const int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

// maps/q3dm1.bsp shows as q3dm1: the first folder and the extension go.
std::string ShownName(const std::string& Path) {
  const size_t Slash = Path.find('/');
  std::string s = Slash == std::string::npos ? Path : Path.substr(Slash + 1);
  const size_t Dot = s.rfind('.');
  const size_t LastSlash = s.rfind('/');
  if (Dot != std::string::npos && (LastSlash == std::string::npos || Dot > LastSlash)) s.erase(Dot);
  return s;
}

}  // namespace

TZNT1Command::TZNT1Command(TZNT1Engine* AEngine) : Engine(AEngine) {
  AddCommand("print", [this](const std::string& a) { DoPrint(a); });
  AddCommand("echo", [this](const std::string& a) { DoEcho(a); });
  AddCommand("list", [this](const std::string& a) { DoList(a); });
  AddCommand("vstr", [this](const std::string& a) { DoVstr(a); });
  AddCommand("map", [this](const std::string& a) { DoMap(a); });
  AddCommand("maps", [this](const std::string& a) { DoMaps(a); });
  AddCommand("quit", [this](const std::string& a) { DoQuit(a); });
  Reset();
}

TZNT1Command::~TZNT1Command() {
  CommandHashMap.Clear();
  CommandList.clear();
}

void TZNT1Command::Reset() {
  CommandBuffer.clear();
  CommandToInsert.clear();
}

void TZNT1Command::WriteLine(const std::string& Text) const {
  if (Engine && Engine->Console) Engine->Console->Lines.Add(Text);
}

void TZNT1Command::AddCommand(const std::string& CommandName, TZNT1CommandFunction CommandFunction) {
  if (!CommandFunction || CommandHashMap.GetValue(CommandName)) return;
  auto Handler = std::make_unique<TZNT1CommandHandler>();
  Handler->Name = CommandName;
  Handler->Function = std::move(CommandFunction);
  CommandHashMap.Add(CommandName, Handler.get());
  CommandList.push_back(std::move(Handler));
  std::stable_sort(CommandList.begin(), CommandList.end(),
                   [](const auto& a, const auto& b) { return LessIgnoringCase(a->Name, b->Name); });
}

void TZNT1Command::SplitLine(const std::string& Line, std::string& Word, std::string& Args) {
  std::string Rest = Trim(Line);
  Word = Rest.empty() ? std::string() : Parse(Rest, Blanks(), true);
  Args = Trim(Rest);
}

bool TZNT1Command::RunsQuit(const std::string& Text) const {
  // A dry run of the drain on a copy: vstr's text goes in where the drain would put it.
  std::string Buffer = Text;
  bool Quoting = false;
  std::string Line;
  size_t i = 0;
  int32_t Insertions = 0;
  for (;;) {
    const bool Ended = ScanLine(Buffer, i, Quoting, Line);
    std::string Word, Args;
    SplitLine(Line, Word, Args);
    Line.clear();
    if (Word == "quit") return true;
    if (Word == "vstr" && !Args.empty() && ++Insertions <= MaxInsertionsPerDrain && Engine &&
        Engine->ConsoleVariables) {
      if (const TZNT1ConsoleVariable* v = Engine->ConsoleVariables->GetVariable(FirstWord(Args)))
        Buffer.insert(Ended ? i : Buffer.size(), v->ContentString + '\n');
    }
    if (!Ended && i >= Buffer.size()) return false;
  }
}

void TZNT1Command::ExecuteString(const std::string& Line) {
  std::string Word, Args;
  SplitLine(Line, Word, Args);
  if (Word.empty()) return;
  if (Word[0] != '/') {
    auto* Handler = static_cast<TZNT1CommandHandler*>(CommandHashMap.GetValue(Word));
    if (!Handler) {
      WriteLine(LightRed + "ERROR: Command " + Quoted(Word) + " not found");
      return;
    }
    // A copy: the handler may register commands, or the list may change under it.
    const TZNT1CommandFunction Function = Handler->Function;
    Function(Args);
    return;
  }
  if (!Engine || !Engine->ConsoleVariables) return;
  const std::string Name = Word.substr(1);
  if (TZNT1ConsoleVariable* v = Engine->ConsoleVariables->GetVariable(Name))
    v->SetValue(Args, false);
  else
    Engine->ConsoleVariables->CreateVariable(Name, Args, CVAR_USER_CREATED);
}

void TZNT1Command::InsertPending(size_t Position, int32_t& Insertions) {
  if (CommandToInsert.empty()) return;
  if (++Insertions > MaxInsertionsPerDrain) {
    if (Insertions == MaxInsertionsPerDrain + 1)
      WriteLine(LightRed + "ERROR: vstr runs in a loop; stopped after " + std::to_string(MaxInsertionsPerDrain) +
                " insertions");
    CommandToInsert.clear();
    return;
  }
  CommandBuffer.insert(std::min(Position, CommandBuffer.size()), CommandToInsert + '\n');
  CommandToInsert.clear();
}

bool TZNT1Command::ScanLine(const std::string& Buffer, size_t& Position, bool& Quoting, std::string& Line) {
  size_t i = Position;
  while (i < Buffer.size()) {
    const char c = Buffer[i];
    if (c == '\n' || c == '\r') {
      Position = i + 1;
      return true;
    }
    if (c == '"') {
      Quoting = !Quoting;
      ++i;
      continue;
    }
    if (!Quoting && c == '/' && i + 1 < Buffer.size()) {
      const char Next = Buffer[i + 1];
      if (Next == '/') {
        i += 2;
        while (i < Buffer.size() && Buffer[i] != '\n' && Buffer[i] != '\r') ++i;
        Position = i < Buffer.size() ? i + 1 : i;
        return true;
      }
      if (Next == '*') {
        const size_t End = Buffer.find("*/", i + 2);
        i = End == std::string::npos ? Buffer.size() : End + 2;
        continue;
      }
    }
    Line += c;
    ++i;
  }
  Position = i;
  return false;
}

void TZNT1Command::ExecuteCommandBuffer() {
  if (!CommandToInsert.empty()) {
    CommandBuffer = CommandToInsert + '\n' + CommandBuffer;
    CommandToInsert.clear();
  }
  bool Quoting = false;
  std::string Current;
  int32_t Insertions = 0;
  auto Flush = [&] {
    if (Current.empty()) return;
    std::string Line;
    Line.swap(Current);
    ExecuteString(Line);
  };
  while (!CommandBuffer.empty()) {
    // An index, not an iterator: a command may Queue more text, which is then scanned too.
    size_t i = 0;
    while (ScanLine(CommandBuffer, i, Quoting, Current)) {
      Flush();
      InsertPending(i, Insertions);
    }
    CommandBuffer.clear();
    Flush();
    InsertPending(0, Insertions);
  }
}

void TZNT1Command::WriteNameList(const std::vector<std::string>& Names) const {
  constexpr size_t MaxVisible = 75;
  std::string Line;
  size_t Visible = 0;
  for (const std::string& Name : Names) {
    const std::string Shown = ShownName(Name);
    const size_t Width = Shown.size() + 3;  // two quotes and a blank
    if (Visible > 0 && Visible + Width > MaxVisible) {
      WriteLine(Line);
      Line.clear();
      Visible = 0;
    }
    Line += Yellow + "\"" + LightMagenta + Shown + Yellow + "\" ";
    Visible += Width;
  }
  WriteLine(Line);
}

void TZNT1Command::DoPrint(const std::string& Args) {
  if (Args.empty()) {
    WriteLine(LightMagenta + "print <variablename> : print content of a variable");
    return;
  }
  const std::string Name = FirstWord(Args);
  const TZNT1ConsoleVariable* v = Engine ? Engine->ConsoleVariables->GetVariable(Name) : nullptr;
  if (v)
    WriteLine(LightGreen + Name + "=" + v->ContentString);
  else
    WriteLine(LightRed + "ERROR: Variable " + Quoted(Name) + " not found");
}

void TZNT1Command::DoEcho(const std::string& Args) { WriteLine(Yellow + Args); }

void TZNT1Command::DoList(const std::string&) {
  std::vector<std::string> Names;
  Names.reserve(CommandList.size());
  for (const auto& h : CommandList) Names.push_back(h->Name);
  WriteNameList(Names);
}

void TZNT1Command::DoVstr(const std::string& Args) {
  if (Args.empty()) {
    WriteLine(LightMagenta + "vstr <variablename> : execute a variable command");
    return;
  }
  const std::string Name = FirstWord(Args);
  const TZNT1ConsoleVariable* v = Engine ? Engine->ConsoleVariables->GetVariable(Name) : nullptr;
  if (!v) {
    WriteLine(LightRed + "ERROR: Variable " + Quoted(Name) + " not found");
    return;
  }
  WriteLine(LightGreen + "Executing " + Quoted(Name) + " with the content: " + v->ContentString);
  CommandToInsert = v->ContentString + '\n';
}

void TZNT1Command::DoMap(const std::string& Args) {
  if (Args.empty()) {
    WriteLine(LightMagenta + "map <variablename> : load a map");
    return;
  }
  const std::string Name = FirstWord(Args);
  if (!Engine || !Engine->Game) {
    WriteLine(LightRed + "ERROR: Map " + Quoted(Name) + " cannot be loaded: the game is not running");
    return;
  }
  Engine->Game->LoadMap(Name);
  // The game's loading answers nothing; a map that did not arrive is reported here, unless a
  // quit cut its load short.
  if (!Engine->BSP && !Engine->Quit) {
    if (Engine->Archives && Engine->Archives->ExistFile("maps/" + Name + ".bsp"))
      WriteLine(LightRed + "ERROR: Map " + Quoted(Name) + " could not be loaded");
    else
      WriteLine(LightRed + "ERROR: Map " + Quoted(Name) + " not found");
  }
}

void TZNT1Command::DoMaps(const std::string&) {
  if (!Engine || !Engine->Archives) return;
  TStringList Found;
  if (!Engine->Archives->FindFiles("maps/*.bsp", &Found)) return;
  WriteNameList(Found.Strings);
}

void TZNT1Command::DoQuit(const std::string&) {
  if (Engine) Engine->Quit = true;
}
