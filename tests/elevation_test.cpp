// Elevation: escapeSpaces against a real /bin/sh, and the elevation road run by the
// elevation driver (the launcher's road with a Tail ring of its own) against fake
// elevation tools on PATH. Every fake tool, the probing `which` and each start of the
// driver append their argument vectors to one record file, so a case can check the
// probes, the elevated and the relaunched vectors and their order in one list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/shell.h"
#include "launcher/elevation.h"
#include "tests/support/deadline_run.h"
#include "tests/support/elevation_driver.h"
#include "tests/support/log_lines.h"
#include "tests/support/packer.h"
#include "tests/support/png_writer.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/xvfb_server.h"

namespace fs = std::filesystem;

namespace {

const char MARKER[] = "HVPREPARE_FOR_LAUNCH_ONLY";
constexpr int DRIVER_DEADLINE_SECONDS = 5;
const char STARS[] = "********************************************";
const char FOUND_NONE_1[] =
    "[ERROR] This application requires root access, but was unable to identify a UI-based "
    "elevation utility to use.";
const char FOUND_NONE_2[] =
    "[ERROR] Currently supported utilities are gksudo, kdesudo, beesu and pkexec.";
const char COMPLETE[] = "[SUDO] Elevated setup complete";
const char RELAUNCHING[] = "[SUDO] ======      Relaunching post setup      ======";
const char RELAUNCHED[] = "[SUDO] Relaunch complete";
const char SHOW[] = "[Splash] showSplash()";
const char HIDE[] = "[Splash] hideSplash()";
const char PREPARE_ONLY_STOP[] =
    "[SUDO] A prepare-only run cannot create its folders even with the rights it has; not "
    "elevating again";
const char MARKER_STOP[] =
    "[SUDO] The install folder is still not writable after the elevated setup; not "
    "elevating again";
const char* const PROBE_ORDER[] = {"gksudo", "kdesudo", "beesu", "pkexec"};

// ---- escapeSpaces ---------------------------------------------------------------------

struct EscapeCase {
  const char* name;
  const char* text;
  const char* escaped;
};

const EscapeCase ESCAPE_CASES[] = {
    {"PlainTextUnchanged", "abc-k/x.y_z,%@+:=", "abc-k/x.y_z,%@+:\\="},
    {"Empty", "", ""},
    {"BlankAndTab", "a b\tc", "a\\ b\\\tc"},
    {"BlankDollarQuote", "two words$HOME\"'q", "two\\ words\\$HOME\\\"\\'q"},
    {"EveryOtherSpecialByte", "!#&()*;<>?[\\]^`{|}~",
     "\\!\\#\\&\\(\\)\\*\\;\\<\\>\\?\\[\\\\\\]\\^\\`\\{\\|\\}\\~"},
    {"NewlineInSingleQuotes", "a\nb\n", "a'\n'b'\n'"},
    {"HighBytesUnchanged", "caf\xc3\xa9\x7f\x01", "caf\xc3\xa9\x7f\x01"},
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }

class EscapeSpaces : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeSpaces, EscapesEveryShellSpecialByte) {
  const EscapeCase& c = GetParam();
  char* escaped = escapeSpaces(c.text, true);
  EXPECT_NE(c.text, escaped) << "a new string";
  EXPECT_EQ(std::string(c.escaped), escaped);
  free(escaped);
  EXPECT_EQ(c.text, escapeSpaces(c.text, false)) << "without the flag: the text itself";
}

INSTANTIATE_TEST_SUITE_P(Cases, EscapeSpaces, ::testing::ValuesIn(ESCAPE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// What a tool that hands its words to /bin/sh gets back: every word, each byte 1 to 255
// alone and all of them in one word, survives the shell's splitting and expansions.
TEST(EscapeSpacesShell, EveryWordSurvivesTheShell) {
  std::vector<std::string> words;
  std::string all;
  for (int b = 1; b < 256; ++b) {
    words.push_back(std::string(1, static_cast<char>(b)));
    all += static_cast<char>(b);
  }
  words.push_back(all);
  words.push_back("~root");
  words.push_back("#comment");
  words.push_back("$(echo x)`echo y`${HOME}");
  words.push_back("a*");
  std::string command = "printf '%s\\0'";
  for (const std::string& w : words) {
    char* escaped = escapeSpaces(w.c_str(), true);
    command += std::string(" ") + escaped;
    free(escaped);
  }
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, pipe);
  std::string output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  ASSERT_EQ(0, pclose(pipe));
  std::vector<std::string> back;
  size_t start = 0;
  for (size_t end; (end = output.find('\0', start)) != std::string::npos; start = end + 1) {
    back.push_back(output.substr(start, end - start));
  }
  EXPECT_EQ(words, back);
}

// ---- Runs of the elevation driver -----------------------------------------------------

struct DriverRun {
  int status = -1;  // exit status; -1 after a signal or the deadline
  std::string output;
  std::vector<std::vector<std::string>> calls;
};

// What a fake tool does once it has recorded its call.
enum class ToolAct { Exit, RunCommand, CannotStart };

struct FakeTool {
  const char* name;
  int status = 0;  // with Exit
  ToolAct act = ToolAct::Exit;
};

enum class Which { Real, Silent };  // Silent: finds every tool but prints no path

std::string quoted(const std::string& text) {
  char buffer[PATH_BUFFER_SIZE] = "";
  EXPECT_TRUE(appendShellQuoted(buffer, sizeof buffer, text.c_str()));
  return buffer;
}

// A scratch folder with a tool folder whose name holds a blank (PATH's only entry), a
// copy of the driver whose name holds a blank, and the record file.
class ElevationWorld {
 public:
  ElevationWorld() {
    fs::create_directories(bin());
    fs::copy_file(HV_BIN_DIR "/elevation_driver", driver());
    chmod(driver().c_str(), 0755);
    writeFileBytes(entries(), wholeEntries());
  }

  // The road's two entries whole, as every run gets them unless a case gives its own.
  static std::string wholeEntries() {
    return hvpack::ArchiveBuilder()
        .file("lzma64", "not run on this road")
        .file("nativesplash.png", "not a picture")
        .bytes();
  }

  std::string bin() const { return scratch_ / "fake bin"; }
  std::string driver() const { return scratch_ / "the launcher"; }
  std::string record() const { return scratch_ / "calls"; }
  std::string entries() const { return scratch_ / "default entries"; }
  std::string tool(const std::string& name) const { return bin() + "/" + name; }
  std::string path(const std::string& name) const { return scratch_ / name; }

  void addWhich(Which which) {
    std::string body = recordLine("which");
    body += which == Which::Real ? "exec /usr/bin/which \"$@\"\n" : "exit 0\n";
    writeScript(tool("which"), body);
  }

  void addTool(const FakeTool& t) {
    if (t.act == ToolAct::CannotStart) {
      writeScript(tool(t.name), "", "#!/nonexistent/interpreter\n");
      return;
    }
    std::string body = recordLine("\"$0\"");
    body +=
        t.act == ToolAct::RunCommand ? "exec \"$@\"\n" : "exit " + std::to_string(t.status) + "\n";
    writeScript(tool(t.name), body);
  }

  DriverRun run(const std::vector<std::string>& args, const EnvChanges& extra = {}) {
    std::vector<std::string> argv = {driver()};
    argv.insert(argv.end(), args.begin(), args.end());
    EnvChanges env = {{"PATH", bin()},
                      {"DISPLAY", std::nullopt},
                      {RELAUNCH_MARKER_ENV, std::nullopt},
                      {ELEVATION_DRIVER_RECORD_ENV, record()},
                      {ELEVATION_DRIVER_ENTRIES_ENV, entries()},
                      {ELEVATION_DRIVER_SILENT_ENV, std::nullopt}};
    env.insert(env.end(), extra.begin(), extra.end());
    // A driver run, relaunches and all, takes a fraction of a second; one that goes on
    // (a relaunch that elevates again, say) fails after this long.
    DeadlineOptions options;
    options.seconds = DRIVER_DEADLINE_SECONDS;
    const DeadlineRun done = runWithDeadline(driver(), argv, env, options);
    EXPECT_FALSE(done.timedOut) << "the driver did not end within its deadline";
    DriverRun r{done.status, done.output, {}};
    r.calls = parseCallRecords(pathExists(record()) ? readFileBytes(record()) : "");
    return r;
  }

 private:
  std::string recordLine(const std::string& first) const {
    const std::string file = quoted(record());
    return "printf '%s\\0' " + first + " \"$@\" >> " + file + "\nprintf '\\036\\0' >> " + file +
           "\n";
  }
  static void writeScript(const std::string& path, const std::string& body,
                          const std::string& head = "#!/bin/sh\n") {
    writeFileBytes(path, head + body);
    chmod(path.c_str(), 0755);
  }

  ScratchDir scratch_;
};

using Call = std::vector<std::string>;

Call driverCall(const std::string& marker, const std::string& exe,
                const std::vector<std::string>& args, bool prepareOnly = false) {
  Call call = {"driver", marker, "gone", exe};
  call.insert(call.end(), args.begin(), args.end());
  if (prepareOnly) call.push_back(MARKER);
  return call;
}

// Every tool probed once, in order; the chosen tool's path is its probe's answer.
std::vector<Call> probes() {
  std::vector<Call> calls;
  for (const char* p : PROBE_ORDER) calls.push_back({"which", p});
  return calls;
}

// The launcher's words: a blank, a '$' and both quotes in one, a newline in another.
const std::vector<std::string> ARGS = {"plain", "two words$HOME\"'q", "line\nbreak"};
const std::vector<std::string> ARGS_ESCAPED = {"plain", "two\\ words\\$HOME\\\"\\'q",
                                               "line'\n'break"};

std::string escapedPath(const std::string& path) {
  std::string escaped;
  for (char c : path) escaped += c == ' ' ? std::string("\\ ") : std::string(1, c);
  return escaped;
}

// ---- The choice of the tool, its vectors and its statuses -------------------------------

struct ToolCase {
  const char* name;
  std::vector<FakeTool> tools;
  const char* chosen;
  const char* foundLine;
  const char* option;  // nullptr: none
  bool escaped;
  bool relaunch;  // else the run ends with status 1 after the two complete lines
};

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }

const ToolCase TOOL_CASES[] = {
    {"GksudoBeforePkexecWithKeepOption",
     {{"pkexec"}, {"gksudo"}},
     "gksudo",
     "[SUDO] Found GKSudo",
     "-k",
     true,
     true},
    {"KdesudoBeforeBeesuWithoutOption",
     {{"beesu"}, {"kdesudo"}},
     "kdesudo",
     "[SUDO] Found KDESudo",
     nullptr,
     true,
     true},
    {"BeesuBeforePkexecWithMOption",
     {{"beesu"}, {"pkexec"}},
     "beesu",
     "[SUDO] Found BeeSU",
     "-m",
     true,
     true},
    {"PkexecAloneUnescaped", {{"pkexec"}}, "pkexec", "[SUDO] Found PKExec", nullptr, false, true},
    {"PkexecStatus1Relaunches",
     {{"pkexec", 1}},
     "pkexec",
     "[SUDO] Found PKExec",
     nullptr,
     false,
     true},
    {"PkexecRefused126", {{"pkexec", 126}}, "pkexec", "[SUDO] Found PKExec", nullptr, false, false},
    {"PkexecRefused127", {{"pkexec", 127}}, "pkexec", "[SUDO] Found PKExec", nullptr, false, false},
    {"GksudoRefused1", {{"gksudo", 1}}, "gksudo", "[SUDO] Found GKSudo", "-k", true, false},
    {"BeesuRefused1", {{"beesu", 1}}, "beesu", "[SUDO] Found BeeSU", "-m", true, false},
    {"KdesudoStatus126IsNoRefusal",
     {{"kdesudo", 126}},
     "kdesudo",
     "[SUDO] Found KDESudo",
     nullptr,
     true,
     true},
    {"FailedElevatedRunRelaunches",
     {{"gksudo", 3}},
     "gksudo",
     "[SUDO] Found GKSudo",
     "-k",
     true,
     true},
};

class ElevationTools : public ::testing::TestWithParam<ToolCase> {};

TEST_P(ElevationTools, ProbesAllThenRunsTheFirstFound) {
  const ToolCase& c = GetParam();
  ElevationWorld world;
  world.addWhich(Which::Real);
  for (const FakeTool& t : c.tools) world.addTool(t);
  const DriverRun run = world.run(ARGS);
  const std::string& out = run.output;

  const std::string toolPath = world.tool(c.chosen);
  std::vector<Call> expected = {driverCall("none", world.driver(), ARGS)};
  for (const Call& p : probes()) expected.push_back(p);
  // Slot 0 as the spawn opened it, never escaped; the rest escaped for the re-splitting tools.
  Call elevated = {toolPath};
  if (c.option != nullptr) elevated.push_back(c.option);
  elevated.push_back(c.escaped ? escapedPath(world.driver()) : world.driver());
  for (const std::string& a : c.escaped ? ARGS_ESCAPED : ARGS) elevated.push_back(a);
  elevated.push_back(MARKER);
  expected.push_back(elevated);
  if (c.relaunch) expected.push_back(driverCall("marker", world.driver(), ARGS));
  EXPECT_EQ(expected, run.calls) << out;

  EXPECT_EQ(
      "", missingInOrder(out, {"[Extractor] Performing elevated setup and launch",
                               "[SUDO] Elevation required.",
                               "[SUDO] On Linux, UI-based elevation utility is required. Searching "
                               "for an available one...",
                               c.foundLine, "", "[SUDO] Elevate command is located at " + toolPath,
                               "[Spawner] Setting spawner exe to " + toolPath,
                               "[SUDO] ==============================================",
                               "[SUDO] ======      Launching elevated setup    ======",
                               "[SUDO] ==============================================", SHOW, HIDE,
                               COMPLETE, COMPLETE}))
      << out;
  if (c.relaunch) {
    EXPECT_EQ(0, run.status) << out;
    EXPECT_EQ("", missingInOrder(out, {COMPLETE, RELAUNCHING, MARKER_STOP, RELAUNCHED})) << out;
    EXPECT_EQ(RELAUNCHED, logTexts(out).back());
  } else {
    EXPECT_EQ(1, run.status) << out;
    EXPECT_EQ(COMPLETE, logTexts(out).back()) << "no further message";
    EXPECT_FALSE(hasLine(out, RELAUNCHING)) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ElevationTools, ::testing::ValuesIn(TOOL_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- No usable tool ---------------------------------------------------------------------

// The output with the "+%-8llu " prefix taken off every log line, also off one that
// follows a star line on the same output line; false when a prefix is malformed.
bool withoutPrefixes(const std::string& output, std::string* text) {
  text->clear();
  for (size_t i = 0; i < output.size();) {
    const bool lineStart = i == 0 || output[i - 1] == '\n' || output[i - 1] == '*';
    if (lineStart && output[i] == '+') {
      size_t j = i + 1;
      while (j < output.size() && isdigit(static_cast<unsigned char>(output[j]))) ++j;
      const size_t digits = j - i - 1;
      while (j < output.size() && output[j] == ' ') ++j;
      if (digits == 0 || j - i < 10) return false;  // "+" and 8 columns, then a blank
      i = j;
      continue;
    }
    *text += output[i++];
  }
  return true;
}

struct NoToolCase {
  const char* name;
  std::vector<FakeTool> tools;
  Which which;
  std::vector<Call> probes;
};

void PrintTo(const NoToolCase& c, std::ostream* os) { *os << c.name; }

class NoUsableTool : public ::testing::TestWithParam<NoToolCase> {};

TEST_P(NoUsableTool, StarFramedLinesAndStatus1) {
  const NoToolCase& c = GetParam();
  ElevationWorld world;
  world.addWhich(c.which);
  for (const FakeTool& t : c.tools) world.addTool(t);
  const DriverRun run = world.run(ARGS);
  EXPECT_EQ(1, run.status) << run.output;
  std::vector<Call> expected = {driverCall("none", world.driver(), ARGS)};
  expected.insert(expected.end(), c.probes.begin(), c.probes.end());
  EXPECT_EQ(expected, run.calls) << "nothing elevated, nothing relaunched";
  // Star lines without line ends: each frames the two lines on the same output line.
  const std::string ending = std::string(STARS) + FOUND_NONE_1 + "\n" + FOUND_NONE_2 + "\n" + STARS;
  std::string text;
  ASSERT_TRUE(withoutPrefixes(run.output, &text)) << run.output;
  ASSERT_GE(text.size(), ending.size()) << run.output;
  EXPECT_EQ(ending, text.substr(text.size() - ending.size())) << run.output;
  EXPECT_FALSE(hasLine(run.output, SHOW)) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoUsableTool,
    ::testing::Values(NoToolCase{"NoToolInstalled", {}, Which::Real, probes()},
                      NoToolCase{"ToolPathReadsEmpty", {}, Which::Silent, probes()}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Chains, silence and the road's own folder ------------------------------------------

// pkexec runs the elevated prepare-only run for real: it stops itself instead of
// elevating again, pkexec passes its status 1 on, the relaunch carries the marker and
// stops too; the first launcher still ends with 0, and the tool ran once.
TEST(ElevationChain, NeitherElevatedRunNorRelaunchElevatesAgain) {
  ElevationWorld world;
  world.addWhich(Which::Real);
  world.addTool({"pkexec", 0, ToolAct::RunCommand});
  const DriverRun run = world.run(ARGS);
  EXPECT_EQ(0, run.status) << run.output;
  std::vector<Call> expected = {driverCall("none", world.driver(), ARGS)};
  for (const Call& p : probes()) expected.push_back(p);
  Call elevated = {world.tool("pkexec"), world.driver()};
  elevated.insert(elevated.end(), ARGS.begin(), ARGS.end());
  elevated.push_back(MARKER);
  expected.push_back(elevated);
  expected.push_back(driverCall("none", world.driver(), ARGS, true));
  expected.push_back(driverCall("marker", world.driver(), ARGS));
  EXPECT_EQ(expected, run.calls) << run.output;
  EXPECT_EQ("", missingInOrder(run.output, {PREPARE_ONLY_STOP, HIDE, COMPLETE, RELAUNCHING,
                                            MARKER_STOP, RELAUNCHED}))
      << run.output;
  EXPECT_EQ(1, countLinesStartingWith(run.output, "[SUDO] Elevation required.")) << run.output;
}

// A run started with the marker takes it out of its environment and stops at the road.
TEST(ElevationChain, MarkerStopsTheFirstRunToo) {
  ElevationWorld world;
  world.addWhich(Which::Real);
  world.addTool({"pkexec"});
  const DriverRun run = world.run({"x"}, {{RELAUNCH_MARKER_ENV, "anything"}});
  EXPECT_EQ(1, run.status) << run.output;
  EXPECT_EQ((std::vector<Call>{driverCall("marker", world.driver(), {"x"})}), run.calls);
  EXPECT_EQ(MARKER_STOP, logTexts(run.output).back()) << run.output;
}

// A tool that is found but cannot be started counts as a failed elevated run: relaunch.
TEST(ElevationChain, ToolThatCannotStartLeadsToTheRelaunch) {
  ElevationWorld world;
  world.addWhich(Which::Real);
  world.addTool({"gksudo", 0, ToolAct::CannotStart});
  const DriverRun run = world.run({});
  EXPECT_EQ(0, run.status) << run.output;
  EXPECT_TRUE(hasLine(run.output, "[Spawner] Error - ret:2")) << run.output;
  EXPECT_EQ(driverCall("marker", world.driver(), {}), run.calls.back()) << run.output;
}

// Only argv[0]: the elevated vector is tool, option, executable, marker; the relaunch
// the executable alone. A silent run makes no splash call.
TEST(ElevationChain, NoArgumentsAndSilent) {
  ElevationWorld world;
  world.addWhich(Which::Real);
  world.addTool({"beesu"});
  const DriverRun run = world.run({}, {{ELEVATION_DRIVER_SILENT_ENV, "1"}});
  EXPECT_EQ(0, run.status) << run.output;
  ASSERT_EQ(7u, run.calls.size()) << run.output;
  EXPECT_EQ((Call{world.tool("beesu"), "-m", escapedPath(world.driver()), MARKER}), run.calls[5]);
  EXPECT_EQ(driverCall("marker", world.driver(), {}), run.calls[6]);
  EXPECT_FALSE(hasLine(run.output, SHOW)) << run.output;
  EXPECT_FALSE(hasLine(run.output, HIDE)) << run.output;
}

// The road's picture: entries 1 and 2 go into a fresh private folder below /tmp (never
// a fixed name), the dynamic image replaces the picture there when the tail allows it,
// the picture is configured (under Xvfb, loaded), and the folder is gone when the road
// is over.
struct PictureCase {
  const char* name;
  const char* canOverride;  // nullptr: the tail holds no value
  bool dynamicImage;        // an 11 x 7 picture
  const char* loaded;
};

void PrintTo(const PictureCase& c, std::ostream* os) { *os << c.name; }

class ElevationRoad : public ::testing::TestWithParam<PictureCase> {};

TEST_P(ElevationRoad, PictureFromAPrivateFolderThatIsRemoved) {
  const PictureCase& c = GetParam();
  XvfbServer xvfb;
  if (!xvfb.start(24)) GTEST_SKIP() << xvfb.why();
  ElevationWorld world;
  world.addWhich(Which::Real);
  world.addTool({"pkexec", 126});
  ASSERT_TRUE(writePng(world.path("picture.png"),
                       rgbaPicture(37, 23, [](uint32_t, uint32_t) { return 0x336699ffu; })));
  ASSERT_TRUE(writePng(world.path("dynamic.png"),
                       rgbaPicture(11, 7, [](uint32_t, uint32_t) { return 0x993366ffu; })));
  writeFileBytes(world.path("entries"),
                 hvpack::ArchiveBuilder()
                     .file("lzma64", "not run on this road")
                     .file("nativesplash.png", readFileBytes(world.path("picture.png")))
                     .bytes());
  EnvChanges env = {{"DISPLAY", xvfb.display()},
                    {ELEVATION_DRIVER_ENTRIES_ENV, world.path("entries")},
                    {ELEVATION_DRIVER_OVERRIDE_ENV, std::nullopt},
                    {ELEVATION_DRIVER_IMAGE_ENV, std::nullopt}};
  if (c.canOverride != nullptr) env.push_back({ELEVATION_DRIVER_OVERRIDE_ENV, c.canOverride});
  if (c.dynamicImage) env.push_back({ELEVATION_DRIVER_IMAGE_ENV, world.path("dynamic.png")});
  const bool fixedBefore = pathExists("/tmp/nativesplash.png") || pathExists("/tmp/lzma64");

  const DriverRun run = world.run({"x"}, env);
  const std::string& out = run.output;
  EXPECT_EQ(1, run.status) << out;
  const std::string folder = elevationPictureFolder(out);
  ASSERT_NE("", folder) << out;
  EXPECT_EQ(
      "",
      missingInOrder(
          out,
          {"[Extractor] Unable to create QV Temp folder - assuming elevation required",
           "[Extractor] Native Splash PNG path is " + folder + "/nativesplash.png",
           "[Extractor] Configuring splash", std::string("[Splash] Got image of size: ") + c.loaded,
           "[Extractor] Performing elevated setup and launch", "[SUDO] Elevation required."}))
      << out;
  EXPECT_FALSE(pathExists(folder)) << "left behind: " << folder;
  if (!fixedBefore) {
    EXPECT_FALSE(pathExists("/tmp/nativesplash.png"));
    EXPECT_FALSE(pathExists("/tmp/lzma64"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ElevationRoad,
    ::testing::Values(PictureCase{"ExtractedPicture", nullptr, false, "37 x 23"},
                      PictureCase{"DynamicImageWhenAllowed", "1", true, "11 x 7"},
                      PictureCase{"ExtractedPictureWhenNotAllowed", "0", true, "37 x 23"}),
    [](const auto& info) { return std::string(info.param.name); });

// A cut installer ends the road with status 1 before any tool is probed or run: the
// installed tools would elevate and relaunch, and record it if they ran.
TEST(ElevationRoadCut, EndsWithStatus1BeforeAnyToolRuns) {
  const std::string whole = ElevationWorld::wholeEntries();
  const std::string first = hvpack::ArchiveBuilder().file("lzma64", "not run on this road").bytes();
  struct Case {
    const char* name;
    std::string entries;
    const char* line;
  };
  const Case cases[] = {
      {"SecondEntryCut", whole.substr(0, whole.size() - 5),
       "[Unarchiver] Entry nativesplash.png ends before its length: the installer file is cut"},
      {"FirstEntryCut", first.substr(0, first.size() - 5),
       "[Unarchiver] Entry lzma64 ends before its length: the installer file is cut"},
      {"SecondEntryMissing", first,
       "[Extractor] An entry of the updater is missing: the installer file is cut"},
  };
  for (const Case& c : cases) {
    ElevationWorld world;
    world.addWhich(Which::Real);
    world.addTool({"pkexec"});
    world.addTool({"gksudo"});
    writeFileBytes(world.path("entries"), c.entries);
    const DriverRun run = world.run({"x"}, {{ELEVATION_DRIVER_ENTRIES_ENV, world.path("entries")}});
    EXPECT_EQ(1, run.status) << c.name << "\n" << run.output;
    EXPECT_TRUE(hasLine(run.output, c.line)) << c.name << "\n" << run.output;
    EXPECT_EQ((std::vector<Call>{driverCall("none", world.driver(), {"x"})}), run.calls)
        << c.name << ": no probe, no tool\n" << run.output;
    EXPECT_FALSE(hasLine(run.output, "[SUDO] Elevation required.")) << c.name;
    // Nor is the private folder left behind (its name shows where its files were taken off).
    const size_t at = run.output.find(ELEVATION_FOLDER_TEMPLATE, 0, sizeof ELEVATION_FOLDER_TEMPLATE - 7);
    ASSERT_NE(std::string::npos, at) << c.name << "\n" << run.output;
    EXPECT_FALSE(pathExists(run.output.substr(at, sizeof ELEVATION_FOLDER_TEMPLATE - 1))) << c.name;
  }
}

}  // namespace
