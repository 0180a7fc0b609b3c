#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "assets/ZipTestSupport.h"
#include "core/ZNT1Command.h"
#include "core/ZNT1Engine.h"
#include "support/TestData.h"

namespace {

std::string Code(uint8_t c) { return std::string(1, '\0') + static_cast<char>(c); }
const std::string G = Code(10), R = Code(12), M = Code(13), Y = Code(14);

using Strings = std::vector<std::string>;

// Counts what the "map" command hands to the game.
class MapGame : public TZNT1Game {
 public:
  using TZNT1Game::TZNT1Game;
  void LoadMap(const std::string& MapName) override { requested.push_back(MapName); }
  Strings requested;
};

struct CommandFixture : ::testing::Test {
  void SetUp() override {
    engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<MapGame>, false);
    cmd = engine->Command.get();
  }
  // Runs a buffer the way a frame does and returns the lines it wrote.
  Strings Run(const std::string& buffer) {
    cmd->Queue(buffer);
    cmd->ExecuteCommandBuffer();
    return Taken();
  }
  Strings Taken() {
    std::vector<std::string>& all = engine->Console->Lines.Strings;
    Strings r(all.begin() + static_cast<long>(seen), all.end());
    seen = all.size();
    return r;
  }
  // Visible text of a line: the colour codes removed.
  static std::string Visible(const std::string& s) {
    std::string r;
    for (size_t i = 0; i < s.size(); ++i)
      if (s[i] == '\0')
        ++i;
      else
        r += s[i];
    return r;
  }
  // Mounts an in-memory archive holding the given (empty) files.
  void Mount(const Strings& names) {
    std::vector<ziptest::Entry> entries;
    for (const std::string& n : names) {
      ziptest::Entry e;
      e.Name = n;
      e.Data = ziptest::ToBytes("x");
      entries.push_back(e);
    }
    auto* stream = new TZNT1MemoryInputStream(ziptest::BuildZip(entries).Bytes_);
    if (!engine->Archives->Load(stream, "test.pk3", true)) delete stream;
    engine->Archives->Finish();
  }

  std::unique_ptr<TZNT1Engine> engine;
  TZNT1Command* cmd = nullptr;
  size_t seen = 0;
};

}  // namespace

TEST_F(CommandFixture, BufferGrammarAndBuiltInTexts) {
  const std::string NotFound = R + "ERROR: Command ";
  struct Case {
    std::string buffer;
    Strings lines;
  } cases[] = {
      {"echo a // note\necho b\n", {Y + "a", Y + "b"}},
      {"echo a /* x */ b\n", {Y + "a  b"}},
      {"echo \"//not a comment\"\n", {Y + "//not a comment"}},
      {"echo a /* spans\nlines */ b\n", {Y + "a  b"}},
      {"echo a /* never closed\necho b\n", {Y + "a"}},
      {"echo a//b\necho c", {Y + "a", Y + "c"}},  // the last line needs no line end
      {"//only a comment\r\necho c\r\n", {Y + "c"}},
      {"echo x/y /\n", {Y + "x/y /"}},
      {"echo a;echo b\n", {Y + "a;echo b"}},  // ";" separates nothing
      {"echo \"unbalanced\necho x // kept\n", {Y + "unbalanced", Y + "x // kept"}},
      {"echo   spaced   out   \n", {Y + "spaced   out"}},
      {"echo\n", {Y}},
      {"\x01" "echo\x02hi\x7f\n", {Y + "hi\x7f"}},  // control bytes separate words
      {"   \n\n\t\r\n", {}},
      {"MAP q3dm1\n", {NotFound + "\"MAP\" not found"}},  // names are case-sensitive
      {"nosuch a b\necho still runs\n", {NotFound + "\"nosuch\" not found", Y + "still runs"}},
      {"ec\x01ho x\n", {NotFound + "\"ec\" not found"}},
      {"print\n", {M + "print <variablename> : print content of a variable"}},
      {"print v_width extra\n", {G + "v_width=1280"}},
      {"print nosuch\n", {R + "ERROR: Variable \"nosuch\" not found"}},
      {"vstr\n", {M + "vstr <variablename> : execute a variable command"}},
      {"vstr nosuch\n", {R + "ERROR: Variable \"nosuch\" not found"}},
      {"map\n", {M + "map <variablename> : load a map"}},
      {"list\n",
       {Y + "\"" + M + "echo" + Y + "\" " + Y + "\"" + M + "list" + Y + "\" " + Y + "\"" + M + "map" + Y + "\" " + Y +
        "\"" + M + "maps" + Y + "\" " + Y + "\"" + M + "print" + Y + "\" " + Y + "\"" + M + "quit" + Y + "\" " + Y +
        "\"" + M + "vstr" + Y + "\" "}},
      {"maps\n", {}},  // no archive answers
      {"/v_width\n",
       {Y + "Warning: cvar \"v_width\" must be numeric", Y + "Warning: cvar \"v_width\" is out of range (min 160)",
        Y + "Warning: cvar \"v_width\" setting to 160"}},
      {"/dedicated 1\n", {Y + "dedicated will be changed upon restarting."}},
  };
  for (const Case& c : cases) {
    SetUp();
    seen = 0;
    EXPECT_EQ(Run(c.buffer), c.lines) << c.buffer;
    EXPECT_EQ(cmd->CommandBuffer, "") << c.buffer;
    EXPECT_EQ(cmd->CommandToInsert, "") << c.buffer;
  }
}

TEST_F(CommandFixture, SlashLinesCreateAndSetVariables) {
  EXPECT_TRUE(Run("/cg_test 5\n").empty());
  TZNT1ConsoleVariable* v = engine->ConsoleVariables->GetVariable("cg_test");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->ContentString, "5");
  EXPECT_EQ(v->Flags, CVAR_USER_CREATED);
  EXPECT_EQ(v->ModificationCount, 1);
  Run("/cg_test   6 and more  \n");
  EXPECT_EQ(v->ContentString, "6 and more");
  EXPECT_EQ(v->ModificationCount, 2);
  Run("/cg_test\n");  // empty: the reset value, which is empty
  EXPECT_EQ(v->ContentString, "");
  Run("/v_width 1024\n/v_height \"600\"\n");
  EXPECT_EQ(engine->cvVideoWidth->IntegerValue, 1024);
  EXPECT_TRUE(engine->cvVideoWidth->Modified);
  EXPECT_EQ(engine->cvVideoHeight->ContentString, "600");
  // A lone slash names the variable with the empty name.
  Run("/ x\n");
  ASSERT_NE(engine->ConsoleVariables->GetVariable(""), nullptr);
  EXPECT_EQ(engine->ConsoleVariables->GetString(""), "x");
  EXPECT_EQ(Run("print cg_test\n"), Strings{G + "cg_test="});
}

TEST_F(CommandFixture, VstrRunsTheValueBeforeTheRestOfTheBuffer) {
  Run("/x echo 1\n/y vstr x\n/z echo \"a // b\"\n");
  EXPECT_EQ(Run("vstr x\necho after\n"),
            (Strings{G + "Executing \"x\" with the content: echo 1", Y + "1", Y + "after"}));
  EXPECT_EQ(Run("vstr y // nested\necho after\n"),
            (Strings{G + "Executing \"y\" with the content: vstr x", G + "Executing \"x\" with the content: echo 1",
                     Y + "1", Y + "after"}));
  EXPECT_EQ(Run("vstr x"), (Strings{G + "Executing \"x\" with the content: echo 1", Y + "1"}));
  EXPECT_EQ(Run("vstr z\n"), (Strings{G + "Executing \"z\" with the content: echo a // b", Y + "a"}));
}

TEST_F(CommandFixture, SelfRunningVariableStopsWithAnError) {
  Run("/loop vstr loop\n");
  const Strings lines = Run("vstr loop\necho after\n");
  const std::string executing = G + "Executing \"loop\" with the content: vstr loop";
  ASSERT_EQ(lines.size(), static_cast<size_t>(TZNT1Command::MaxInsertionsPerDrain) + 3);
  for (int i = 0; i <= TZNT1Command::MaxInsertionsPerDrain; ++i) ASSERT_EQ(lines[static_cast<size_t>(i)], executing);
  EXPECT_EQ(lines[lines.size() - 2].substr(0, 9), R + "ERROR: ");
  EXPECT_EQ(lines.back(), Y + "after");  // the rest of the buffer still runs
  // The bound is per drain: the next frame can run the variable again.
  EXPECT_EQ(Run("vstr loop\n").size(), static_cast<size_t>(TZNT1Command::MaxInsertionsPerDrain) + 2);
}

TEST_F(CommandFixture, ListWrapsAtSeventyFiveVisibleCharacters) {
  int calls = 0;
  std::string received;
  for (const char* name : {"Alpha", "bravo_command", "charlie_command", "delta_command", "echo_command",
                           "foxtrot_command", "golf_command", "hotel_command"})
    cmd->AddCommand(name, [&](const std::string& a) {
      ++calls;
      received = a;
    });
  cmd->AddCommand(std::string(90, 'z'), [](const std::string&) {});
  cmd->AddCommand("echo", [&](const std::string&) { ++calls; });  // taken already: ignored
  cmd->AddCommand("empty", nullptr);
  const Strings lines = Run("list ignored\n");
  std::string all;
  for (const std::string& l : lines) {
    const std::string v = Visible(l);
    if (v.find("zzz") == std::string::npos) {
      EXPECT_LE(v.size(), 75u) << v;
    }
    all += v;
  }
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(Visible(lines[3]), "\"" + std::string(90, 'z') + "\" ");  // alone on its line
  // By name without regard to case; each line closed when the next name would pass 75.
  EXPECT_EQ(Visible(lines[0]), "\"Alpha\" \"bravo_command\" \"charlie_command\" \"delta_command\" \"echo\" ");
  EXPECT_EQ(Visible(lines[1]).size(), 71u);
  EXPECT_EQ(Visible(lines[2]), "\"map\" \"maps\" \"print\" \"quit\" \"vstr\" ");
  EXPECT_EQ(all.find("\"empty\""), std::string::npos);
  EXPECT_TRUE(Run("Alpha   with args  \n").empty());
  EXPECT_EQ(received, "with args");
  EXPECT_EQ(calls, 1);
  Run("echo x\n");
  EXPECT_EQ(calls, 1);
}

TEST_F(CommandFixture, MapsListsTheBspFilesOfTheArchives) {
  Mount({"maps/b_map.bsp", "maps/A_Map.bsp", "maps/readme.txt", "maps/a_map.aas", "other/c.bsp", "maps/x.y.bsp"});
  EXPECT_EQ(Run("maps\n"), (Strings{Y + "\"" + M + "a_map" + Y + "\" " + Y + "\"" + M + "b_map" + Y + "\" " + Y + "\"" +
                                     M + "x.y" + Y + "\" "}));
}

TEST_F(CommandFixture, MapsOnTheContentListsItsMaps) {
  REQUIRE_CONTENT_DIR();
  engine->Archives->LoadDirectory(testdata::ContentDir() + "/");
  engine->Archives->Finish();
  const Strings lines = Run("maps\n");
  ASSERT_FALSE(lines.empty());
  std::string all;
  for (const std::string& l : lines) {
    EXPECT_LE(Visible(l).size(), 75u);
    all += Visible(l);
  }
  EXPECT_NE(all.find("\"oa_dm1\" "), std::string::npos) << all;
  EXPECT_NE(all.find("\"oa_ctf2\" "), std::string::npos) << all;
  EXPECT_EQ(all.find(".bsp"), std::string::npos);
}

TEST_F(CommandFixture, MapHandsTheNameToTheGameAndReportsAMissingMap) {
  EXPECT_EQ(Run("map nosuchmap\n"), Strings{R + "ERROR: Map \"nosuchmap\" cannot be loaded: the game is not running"});
  engine->Game = engine->GameClass(engine.get());
  auto* game = static_cast<MapGame*>(engine->Game.get());
  Mount({"maps/there.bsp"});
  EXPECT_EQ(Run("map   nosuchmap  extra\n"), Strings{R + "ERROR: Map \"nosuchmap\" not found"});
  EXPECT_EQ(Run("map THERE\n"), Strings{R + "ERROR: Map \"THERE\" could not be loaded"});
  EXPECT_EQ(game->requested, (Strings{"nosuchmap", "THERE"}));
}

TEST_F(CommandFixture, QuitEndsTheLoopButTheBufferStillRuns) {
  EXPECT_EQ(Run("quit\necho bye\n"), Strings{Y + "bye"});
  EXPECT_TRUE(engine->Quit);
}

// RunsQuit answers what the drain does with the same text: each case runs through both.
TEST_F(CommandFixture, RunsQuitAgreesWithRunningTheText) {
  engine->ConsoleVariables->CreateVariable("bye", "quit", CVAR_USER_CREATED);
  engine->ConsoleVariables->CreateVariable("both", "echo a\nvstr bye", CVAR_USER_CREATED);
  engine->ConsoleVariables->CreateVariable("say", "echo quit", CVAR_USER_CREATED);
  const struct {
    const char* Text;
    bool Quits;
  } Cases[] = {
      {"quit", true},           {"  quit  ", true},         {"quit now", true},       {"\tquit", true},
      {"\"quit\"", true},       {"quit\"", true},           {"/* x */ quit", true},   {"qu/**/it", true},
      {"q\"u\"it", true},        {"echo a\nquit", true},     {"quit // bye", true},    {"echo a\r\nquit\n", true},
      {"vstr bye", true},       {"vstr both", true},        {"echo \"\n//x\nquit", true},
      {"Quit", false},          {"/quit 1", false},         {"echo quit", false},     {"quitter", false},
      {"quitx", false},         {"// quit", false},         {"echo a; quit", false},  {"\"qu it\"", false},
      {"echo /*\nquit\n", false}, {"echo a // b\nnot quit", false},                  {"vstr say", false},
      {"vstr nothing", false},  {"", false},                {"   ", false},
  };
  for (const auto& c : Cases) {
    SCOPED_TRACE(std::string("\"") + c.Text + '"');
    EXPECT_EQ(cmd->RunsQuit(c.Text), c.Quits);
    engine->Quit = false;
    Run(std::string(c.Text) + "\n");
    EXPECT_EQ(engine->Quit, c.Quits);
  }
  // A vstr that feeds itself is followed only as far as the drain would.
  engine->ConsoleVariables->CreateVariable("loop", "vstr loop", CVAR_USER_CREATED);
  EXPECT_FALSE(cmd->RunsQuit("vstr loop"));
}

TEST_F(CommandFixture, CommandsMayQueueAndInsertWhileTheBufferDrains) {
  cmd->AddCommand("later", [this](const std::string& a) { cmd->Queue("echo queued " + a + "\n"); });
  EXPECT_EQ(Run("later 1\necho now\n"), (Strings{Y + "now", Y + "queued 1"}));
  // A pending insertion left from outside a drain runs first.
  cmd->CommandToInsert = "echo first";
  EXPECT_EQ(Run("echo second\n"), (Strings{Y + "first", Y + "second"}));
  cmd->Reset();
  EXPECT_EQ(cmd->CommandBuffer, "");
}

TEST_F(CommandFixture, OverlongLinesRunWhole) {
  const std::string text(100000, 'w');
  EXPECT_EQ(Run("echo " + text + "\n"), Strings{Y + text});
  EXPECT_EQ(Run(text + "\n"), Strings{R + "ERROR: Command \"" + text + "\" not found"});
  cmd->ExecuteString("");
  cmd->ExecuteString(" \t ");
  EXPECT_TRUE(Taken().empty());
}
