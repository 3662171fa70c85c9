// The install layout and the version decision, end to end: packed launchers run as a
// throwaway user on a home laid out by the test, checked by their log lines, exit status
// and, on the run road, by what the updater receives; and the URL's '/' on its own.
#include "launcher/version_decision.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/installed_home.h"
#include "tests/support/log_lines.h"

namespace fs = std::filesystem;

namespace {

const char APP[] = "DecideApp";
const char STATIC_URL[] = "https://updates.test/app";

const char RUNNING[] = "[Extractor] Running without extraction now";
const char CHECKING[] = "[Extractor] Checking for a latest valid QV";
const char QV_SAME_OR_NEWER[] =
    "[Extractor] Latest QVversion is newer or same as our version so will just run";
const char NO_QV_OR_JRE[] =
    "[Extractor] No latest QV or JRE version exists, will check tail for online/offline info";
const char NEWER_QV[] =
    "[Extractor] Our QV version is newer than existing latest version so will extract and run";
const char NO_APP[] = "[Extractor] No app version found and we are offline so will extract";
const char NEWER_APP[] =
    "[Extractor] Our App version is newer than existing latest version so will extract and run";
const char APP_SAME_OR_NEWER[] =
    "[Extractor] Latest App version is newer or same as our version so will just run";
const char BROKEN_JRE[] =
    "[Extractor] The existing JRE is broken. Instructing the wrapper to update.";
const char JRE_NOTE_YES[] = "[Extractor] Note: Latest JRE version does exist";
const char JRE_NOTE_NO[] = "[Extractor] Note: No latest JRE version exists";
const char QV_NOTE_YES[] = "[Extractor] Note: Latest QV version does exist";
const char QV_NOTE_NO[] = "[Extractor] Note: No latest QV version exists";
const char JUST_A_LAUNCHER[] = "[Extractor] Unable to run (we are just a launcher)";
const char NO_JRE_NAME[] = "[Extractor] No JRE name given, cannot continue";
const char CLOSING[] = "[Utils] Closing logging file.";
const char LAUNCHING[] = "+++ Start: Launching";
// A line of the extract road. These tails carry no entries: the road ends at the first
// one, missing, with status 1.
const char EXTRACT_ROAD_END[] =
    "[Extractor] An entry of the updater is missing: the installer file is cut";

// ---- The '/' appended in place --------------------------------------------------------

TEST(CompleteUpdateUrl, AppendsWithinItsBuffer) {
  struct Case {
    const char* url;
    size_t size;
    bool ok;
    const char* after;
  };
  const Case cases[] = {
      {"", 1, true, ""},
      {"http://a", 10, true, "http://a/"},
      {"http://a", 9, false, "http://a"},  // the '/' and the 0x00 need two bytes
      {"http://a/", 10, true, "http://a/"},
      {"D", 3, true, "D/"},
      {"d", 2, false, "d"},
  };
  for (const Case& c : cases) {
    std::vector<char> buffer(c.size + 4, 'Z');  // past the buffer: must stay untouched
    memcpy(buffer.data(), c.url, strlen(c.url) + 1);
    EXPECT_EQ(c.ok, completeUpdateUrl(buffer.data(), c.size)) << c.url << " " << c.size;
    EXPECT_STREQ(c.after, buffer.data()) << c.url << " " << c.size;
    for (size_t i = c.size; i < buffer.size(); ++i) EXPECT_EQ('Z', buffer[i]) << c.url;
  }
}

// ---- The decision, end to end ---------------------------------------------------------

hvpack::ParamsBlock standardParams() {
  hvpack::ParamsBlock p;
  p.pairs = {{"jre_name", INSTALLED_JRE_NAME}};
  return p;
}

hvpack::TailBlock tailOf(const hvpack::TailHeader& header) {
  hvpack::TailBlock tail;
  tail.header = header;
  return tail;
}

using Setup = std::function<void(InstalledHome&, hvpack::ParamsBlock&, hvpack::TailHeader&)>;

struct DecisionCase {
  const char* name;
  Setup setup;
  int status = 0;             // 0: the run road, which launches
  std::vector<std::string> lines = {};   // in this order; "@M@" stands for the master folder
  std::vector<std::string> absent = {};  // line starts
  std::string appName = APP;
  bool sharedConfigMade = true;
  std::string launchedQv = INSTALLED_QV_FOLDER;
  std::string launchedJre = INSTALLED_JRE_FOLDER;
};

void PrintTo(const DecisionCase& c, std::ostream* os) { *os << c.name; }

std::string withMaster(std::string line, const std::string& master) {
  for (size_t at; (at = line.find("@M@")) != std::string::npos;) line.replace(at, 3, master);
  return line;
}

const std::string JRE_DIR = std::string("@M@/") + INSTALLED_JRE_FOLDER;

// Unique per test process: the case that tries /opt must never meet another's folder.
std::string optAppName() { return "DecideOpt" + std::to_string(getpid()); }

const DecisionCase DECISION_CASES[] = {
    {.name = "NoQuorvaneFolderExtracts",
     .setup = [](InstalledHome& h, auto&, auto&) { h.addRuntime(INSTALLED_JRE_NAME, "17"); },
     .status = 1,
     .lines = {CHECKING, NO_QV_OR_JRE, JRE_NOTE_YES, QV_NOTE_NO, EXTRACT_ROAD_END}},
    {.name = "RtJarWithoutJavaIsBroken",
     .setup =
         [](InstalledHome& h, auto&, auto&) {
           h.addQuorvane("12");
           h.addRuntime(INSTALLED_JRE_NAME, "17", RtJarPlace::Lib, false);
         },
     .status = 1,
     .lines = {"[Utils] File does NOT exist: " + JRE_DIR + "/bin/java",
               "[Utils] File exists: " + JRE_DIR + "/lib/rt.jar", BROKEN_JRE, NO_QV_OR_JRE,
               JRE_NOTE_NO, QV_NOTE_YES}},
    {.name = "JavaWithoutAnyRtJarIsBroken",
     .setup =
         [](InstalledHome& h, auto&, auto&) {
           h.addQuorvane("12");
           h.addRuntime(INSTALLED_JRE_NAME, "17", RtJarPlace::None);
         },
     .status = 1,
     .lines = {"[Utils] File exists: " + JRE_DIR + "/bin/java",
               "[Utils] File does NOT exist: " + JRE_DIR + "/lib/rt.jar",
               "[Utils] File does NOT exist: " + JRE_DIR + "/jre/lib/rt.jar", BROKEN_JRE,
               NO_QV_OR_JRE, JRE_NOTE_NO, QV_NOTE_YES}},
    {.name = "JavaWithJreLibRtJarPasses",
     .setup =
         [](InstalledHome& h, auto&, auto&) {
           h.addQuorvane("12");
           h.addRuntime(INSTALLED_JRE_NAME, "17", RtJarPlace::JreLib);
         },
     .lines = {"[Utils] File exists: " + JRE_DIR + "/bin/java",
               "[Utils] File does NOT exist: " + JRE_DIR + "/lib/rt.jar",
               "[Utils] File exists: " + JRE_DIR + "/jre/lib/rt.jar",
               std::string("[Extractor] Existing JRE exists: ") + INSTALLED_JRE_FOLDER, RUNNING},
     .absent = {BROKEN_JRE}},
    {.name = "NewerQuorvaneInTailExtracts",
     .setup = [](InstalledHome& h, auto&, hvpack::TailHeader& t) {
       h.addStandardInstall();
       t.qvVersion = "13";
     },
     .status = 1,
     .lines = {std::string("[Extractor] Latest QV version exists: ") + INSTALLED_QV_FOLDER,
               std::string("[Extractor] Existing JRE exists: ") + INSTALLED_JRE_FOLDER, NEWER_QV,
               JRE_NOTE_YES, QV_NOTE_YES},
     .absent = {QV_SAME_OR_NEWER, RUNNING}},
    {.name = "SameQuorvaneOnlineRuns",
     .setup = [](InstalledHome& h, auto&, auto&) { h.addStandardInstall(); },
     .lines = {"[Extractor] Quorvane version is 12",
               "[Extractor] ONLINE wrapper: No App embedded, QV will download and run", CHECKING,
               std::string("[Extractor] Latest QV version exists: ") + INSTALLED_QV_FOLDER,
               QV_SAME_OR_NEWER, RUNNING, LAUNCHING},
     .absent = {APP_SAME_OR_NEWER}},
    {.name = "OlderQuorvaneInTailRuns",
     .setup = [](InstalledHome& h, auto&, hvpack::TailHeader& t) {
       h.addStandardInstall();
       t.qvVersion = "11";
     },
     .lines = {QV_SAME_OR_NEWER, RUNNING}},
    {.name = "QuorvaneVersionWithoutDigitsReadsZero",
     .setup = [](InstalledHome& h, auto&, hvpack::TailHeader& t) {
       h.addStandardInstall();
       t.qvVersion = "abc";
     },
     .lines = {"[Extractor] Quorvane version is abc", QV_SAME_OR_NEWER, RUNNING}},
    {.name = "NewestOfSeveralQuorvanesLaunched",
     .setup = [](InstalledHome& h, auto&, hvpack::TailHeader& t) {
       h.addStandardInstall();
       h.addQuorvane("9");
       h.addQuorvane("30");
       t.qvVersion = "10";
     },
     .lines = {"[Extractor] Latest QV version exists: Halvorin-Halvorin-30-complete", RUNNING,
               "[Extractor] Launching 'Halvorin-Halvorin-30-complete' from master folder '@M@' "
               "of class 0 using JRE 'jre17'"},
     .launchedQv = "Halvorin-Halvorin-30-complete"},
    {.name = "AppVersionWithoutAppFolderExtracts",
     .setup = [](InstalledHome& h, auto&, hvpack::TailHeader& t) {
       h.addStandardInstall();
       t.appVersion = "3";
     },
     .status = 1,
     .lines = {"[Extractor] OFFLINE wrapper: App version is 3", QV_SAME_OR_NEWER, NO_APP,
               JRE_NOTE_YES, QV_NOTE_YES},
     .absent = {RUNNING}},
    {.name = "NewerAppVersionExtracts",
     .setup = [](InstalledHome& h, auto&, hvpack::TailHeader& t) {
       h.addStandardInstall();
       h.addApplication(APP, "3");
       t.appVersion = "4";
     },
     .status = 1,
     .lines = {std::string("[PickFolder] Set latest to 3 Halvorin-") + APP + "-3-complete",
               NEWER_APP, JRE_NOTE_YES, QV_NOTE_YES},
     .absent = {RUNNING}},
    {.name = "SameAppVersionRuns",
     .setup = [](InstalledHome& h, auto&, hvpack::TailHeader& t) {
       h.addStandardInstall();
       h.addApplication(APP, "3");
       t.appVersion = "3";
     },
     .lines = {QV_SAME_OR_NEWER, APP_SAME_OR_NEWER, RUNNING}},
    {.name = "OlderAppVersionRuns",
     .setup = [](InstalledHome& h, auto&, hvpack::TailHeader& t) {
       h.addStandardInstall();
       h.addApplication(APP, "5");
       t.appVersion = "3";
     },
     .lines = {APP_SAME_OR_NEWER, RUNNING}},
    // Its folder is written with the '-' but read back as the name "Decide".
    {.name = "AppNameWithDashNeverFound",
     .setup = [](InstalledHome& h, auto&, hvpack::TailHeader& t) {
       h.addStandardInstall();
       h.addApplication("Decide-App", "3");
       t.appVersion = "3";
     },
     .status = 1,
     .lines = {"[Extractor] Master folder is @M@", QV_SAME_OR_NEWER, NO_APP},
     .absent = {RUNNING},
     .appName = "Decide-App"},
    // Nothing to install, but what is installed runs; an App Version alone asks for nothing.
    {.name = "NoQuorvaneInTailRunsInstalled",
     .setup = [](InstalledHome& h, auto&, hvpack::TailHeader& t) {
       h.addStandardInstall();
       t.qvVersion = "";
       t.appVersion = "3";
     },
     .lines = {"[Extractor] No Quorvane embedded, we are just a launcher",
               "[Extractor] OFFLINE wrapper: App version is 3", QV_SAME_OR_NEWER, RUNNING},
     .absent = {APP_SAME_OR_NEWER, NO_APP}},
    {.name = "NoQuorvaneInTailNothingInstalled",
     .setup = [](InstalledHome&, auto&, hvpack::TailHeader& t) { t.qvVersion = ""; },
     .status = 1,
     .lines = {NO_QV_OR_JRE, JRE_NOTE_NO, QV_NOTE_NO, JUST_A_LAUNCHER},
     .absent = {EXTRACT_ROAD_END}},
    {.name = "NoQuorvaneInTailBrokenRuntime",
     .setup =
         [](InstalledHome& h, auto&, hvpack::TailHeader& t) {
           h.addQuorvane("12");
           h.addRuntime(INSTALLED_JRE_NAME, "17", RtJarPlace::Lib, false);
           t.qvVersion = "";
         },
     .status = 1,
     .lines = {BROKEN_JRE, NO_QV_OR_JRE, JUST_A_LAUNCHER}},
    {.name = "OverrideDashKeepsName",
     .setup = [](InstalledHome& h, auto&, auto&) {
       h.addStandardInstall();
       h.writeAppsFile("JreNameOverride", "-");
     },
     .lines = {"[JREOverride] Processing JRE Override file (JreNameOverride)",
               "[JREOverride] Ignoring JRE name -, keeping jre17", RUNNING}},
    {.name = "OverrideEmptyKeepsName",
     .setup = [](InstalledHome& h, auto&, auto&) {
       h.addStandardInstall();
       h.writeAppsFile("JreNameOverride", std::string("\0rest", 5));
     },
     .lines = {"[JREOverride] Processing JRE Override file (JreNameOverride)",
               "[JREOverride] Ignoring empty JRE name, keeping jre17", RUNNING}},
    {.name = "OverrideReplacesName",
     .setup = [](InstalledHome& h, auto&, auto&) {
       h.addQuorvane("12");
       h.addRuntime("jre21", "21");
       h.writeAppsFile("JreNameOverride", std::string("jre21\0", 6));
     },
     .lines = {"[JREOverride] JRE name overriden to jre21",
               "[Extractor] Existing JRE exists: Halvorin-jre21-21-complete", RUNNING,
               "[Extractor] Using private JRE Halvorin-jre21-21-complete"},
     .launchedJre = "Halvorin-jre21-21-complete"},
    {.name = "OverrideBeginningWithDashReplaces",
     .setup = [](InstalledHome& h, auto&, auto&) {
       h.addStandardInstall();
       h.writeAppsFile("JreNameOverride", "-jre17");
     },
     .status = 1,
     .lines = {"[JREOverride] JRE name overriden to -jre17", NO_QV_OR_JRE, JRE_NOTE_NO,
               QV_NOTE_YES}},
    {.name = "Override64CharactersReplaces",
     .setup = [](InstalledHome& h, auto&, auto&) {
       h.addStandardInstall();
       h.writeAppsFile("JreNameOverride", std::string(64, 'j'));
     },
     .status = 1,
     .lines = {"[JREOverride] JRE name overriden to " + std::string(64, 'j'), NO_QV_OR_JRE}},
    {.name = "OverrideOf65CharactersKeepsName",
     .setup = [](InstalledHome& h, auto&, auto&) {
       h.addStandardInstall();
       h.writeAppsFile("JreNameOverride", std::string(65, 'j'));
     },
     .lines = {"[JREOverride] Ignoring JRE name " + std::string(65, 'j') +
                   " (not a plain name), keeping jre17",
               RUNNING}},
    {.name = "OverrideCutAt499BytesKeepsName",
     .setup = [](InstalledHome& h, auto&, auto&) {
       h.addStandardInstall();
       h.writeAppsFile("JreNameOverride", std::string(600, 'j'));
     },
     .lines = {"[JREOverride] Ignoring JRE name " + std::string(499, 'j') +
                   " (not a plain name), keeping jre17",
               RUNNING}},
    {.name = "OverrideGivesTheMissingName",
     .setup = [](InstalledHome& h, hvpack::ParamsBlock& p, auto&) {
       h.addStandardInstall();
       h.writeAppsFile("JreNameOverride", "jre17");
       p.pairs.clear();
     },
     .lines = {"[JREOverride] JRE name overriden to jre17", RUNNING}},
    {.name = "NoJreNameEnds",
     .setup = [](InstalledHome& h, hvpack::ParamsBlock& p, auto&) {
       h.addStandardInstall();
       p.pairs.clear();
     },
     .status = 1,
     .lines = {"[JREOverride] No JRE name override, will continue to use ", NO_JRE_NAME},
     .absent = {CHECKING, "[Extractor] Quorvane version is"},
     .sharedConfigMade = false},
    {.name = "EmptyOverrideGivesNoName",
     .setup = [](InstalledHome& h, hvpack::ParamsBlock& p, auto&) {
       h.addStandardInstall();
       h.writeAppsFile("JreNameOverride", "");
       p.pairs.clear();
     },
     .status = 1,
     .lines = {"[JREOverride] Ignoring empty JRE name, keeping ", NO_JRE_NAME},
     .absent = {CHECKING},
     .sharedConfigMade = false},
    {.name = "JreNameWithDashNeverFound",
     .setup = [](InstalledHome& h, hvpack::ParamsBlock& p, auto&) {
       h.addQuorvane("12");
       h.addRuntime("jre-17", "17");
       p.pairs = {{"jre_name", "jre-17"}};
     },
     .status = 1,
     .lines = {NO_QV_OR_JRE, JRE_NOTE_NO, QV_NOTE_YES}},
    // "/opt" is not the user's to write: no master folder, no log file, nothing picked.
    {.name = "MasterFolderCannotBeMade",
     .setup = [](InstalledHome&, auto&, hvpack::TailHeader& t) { t.installType = "perm_all"; },
     .status = 1,
     .lines = {"[Extractor] Shared dir is /opt", "[Extractor] Master folder is @M@",
               NO_QV_OR_JRE, JRE_NOTE_NO, QV_NOTE_NO},
     .appName = optAppName(),
     .sharedConfigMade = false},
};

class Decision : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(Decision, LogsItsCaseAndTakesItsRoad) {
  const DecisionCase& c = GetParam();
  InstalledHome home(c.appName);
  ASSERT_TRUE(home.ready()) << "no JDK for the fixture runtime";
  hvpack::ParamsBlock params = standardParams();
  hvpack::TailHeader header = installedTailHeader(c.appName);
  c.setup(home, params, header);
  home.pack(params, tailOf(header));
  const bool optCase = header.installType == "perm_all";
  const std::string master = optCase ? "/opt/Halvorin-" + c.appName : home.master();

  const bool launches = c.status == 0;
  const LauncherRun run = home.run({"arg"}, launches);
  const std::string& out = run.child.output;
  EXPECT_EQ(c.status, run.child.exitStatus) << out;
  std::vector<std::string> lines;
  for (const std::string& line : c.lines) lines.push_back(withMaster(line, master));
  EXPECT_EQ("", missingInOrder(out, lines)) << out;
  for (const std::string& start : c.absent) {
    EXPECT_EQ(0, countLinesStartingWith(out, start)) << start << "\n" << out;
  }
  EXPECT_EQ(c.sharedConfigMade, fs::is_directory(master + "/HVAppsSharedConfig"));

  if (launches) {
    ASSERT_TRUE(run.reported) << out;
    EXPECT_EQ("normal", run.result.mainClass);
    EXPECT_EQ(std::vector<std::string>{master + "/" + c.launchedQv},
              propertyValues(run.result, "hvstat_app_dir"));
    ASSERT_EQ(1u, run.calls.size());
    EXPECT_EQ(master + "/" + c.launchedJre + "/bin/" + INSTALLED_PROGRAM_NAME, run.calls[0][0]);
    EXPECT_EQ(CLOSING, logTexts(run.logFile).back()) << run.logFile;
  } else {
    EXPECT_EQ(0, countLinesStartingWith(out, RUNNING)) << out;
    EXPECT_EQ(0, countLinesStartingWith(out, "[Spawner] Success")) << out;
    EXPECT_TRUE(run.calls.empty());
  }
  if (optCase) {
    EXPECT_FALSE(fs::exists(master)) << "made where the user may not write";
    EXPECT_EQ(0, run.logFileCount);
    std::error_code ec;
    fs::remove_all(master, ec);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Decision, ::testing::ValuesIn(DECISION_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- FIFOs another user plants at the files the run reads --------------------------------

// A FIFO without a writer would hold an open for reading for ever; planted by another
// user in a folder an earlier layout left writable by everyone, it is moved aside before
// anything is read, and the run goes on as without it.
struct PlantedFifoCase {
  const char* name;
  std::string at;  // below the master folder
  int status;      // 0: the run road launches
  std::vector<std::string> lines;  // in this order; "@M@" stands for the master folder
  std::vector<std::string> absent = {};
};

void PrintTo(const PlantedFifoCase& c, std::ostream* os) { *os << c.name; }

const std::string LAUNCH_FILE_AT = std::string(INSTALLED_QV_FOLDER) + "/" + hvpack::LAUNCH_FILE_NAME;
const std::string LSO_FILE_AT =
    std::string("HVApps/JRE-LastSuccessfulOptions-") + INSTALLED_JRE_FOLDER;

const PlantedFifoCase PLANTED_FIFO_CASES[] = {
    {"AtJreNameOverride", "HVApps/JreNameOverride", 0,
     {"[JREOverride] No JRE name override, will continue to use jre17", RUNNING, LAUNCHING}},
    {"AtLsoFile", LSO_FILE_AT, 0,
     {RUNNING, "[Extractor] Reading @M@/" + LSO_FILE_AT, "JRE LSO file does not exist",
      "[Extractor] Attempting spawn launch"},
     {"[Extractor] LSO file does exist. Retrying"}},
    {"AtLaunchFile", LAUNCH_FILE_AT, 1,
     {RUNNING, LAUNCHING, "Unable to open launch file @M@/" + LAUNCH_FILE_AT}},
};

class PlantedFifo : public ::testing::TestWithParam<PlantedFifoCase> {};

TEST_P(PlantedFifo, CountsAsMissingAndTheRunGoesOn) {
  const PlantedFifoCase& c = GetParam();
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready()) << "no JDK for the fixture runtime";
  home.addStandardInstall();
  const std::string at = home.inMaster(c.at);
  fs::remove(at);
  ASSERT_TRUE(home.plantAsOtherUser(at, [](const std::string& path) {
    return mkfifo(path.c_str(), 0666) == 0;
  }));
  home.pack(standardParams(), tailOf(installedTailHeader(APP)));

  // Far beyond a run's few seconds: a run that blocks on the FIFO is ended and fails.
  const LauncherRun run = home.run({"arg"}, c.status == 0, {}, 30);
  const std::string& out = run.child.output;
  ASSERT_FALSE(run.child.signal == SIGALRM) << "the run hung\n" << out;
  EXPECT_EQ(c.status, run.child.exitStatus) << out;
  const std::string aside = fs::path(at).parent_path() / "HalvorinForeign_47202_0";
  std::vector<std::string> lines = {"[ChMod] " + at + " belongs to user 47202: moved aside to " +
                                    aside + ", never read"};
  for (const std::string& line : c.lines) lines.push_back(withMaster(line, home.master()));
  EXPECT_EQ("", missingInOrder(out, lines)) << out;
  EXPECT_EQ(0, countLinesStartingWith(out, "[Utils] Not a regular file")) << out;
  for (const std::string& start : c.absent) {
    EXPECT_EQ(0, countLinesStartingWith(out, start)) << start << "\n" << out;
  }
  if (c.status == 0) {
    ASSERT_TRUE(run.reported) << out;
    EXPECT_EQ("normal", run.result.mainClass);
  }
  struct stat st;
  ASSERT_EQ(0, lstat(aside.c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "renamed, nothing else";
}

INSTANTIATE_TEST_SUITE_P(Cases, PlantedFifo, ::testing::ValuesIn(PLANTED_FIFO_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The update URL: its '/' seen by the launch, and the values with no room ----------

struct UrlCase {
  const char* name;
  std::string tailUrl;
  std::optional<std::string> dynamicUrl;  // an "update_url" pair
  std::string effectiveNow;               // "Update URL is now '...'"
  std::string staticRow;                  // row 1 of the launch
  std::optional<std::string> dynamicRow;  // row 2
};

void PrintTo(const UrlCase& c, std::ostream* os) { *os << c.name; }

const UrlCase URL_CASES[] = {
    {"StaticGainsSlash", STATIC_URL, std::nullopt, std::string(STATIC_URL) + "/",
     std::string(STATIC_URL) + "/", std::nullopt},
    {"StaticWithSlashUnchanged", "https://u.test/", "https://dyn.test/x", "https://u.test/",
     "https://u.test/", std::nullopt},
    {"EmptyStaysEmpty", "", std::nullopt, "", "", std::nullopt},
    {"LowerCaseDIsAStaticUrl", "d", "https://dyn.test/x", "d/", "d/", std::nullopt},
    {"DynamicGainsSlashTailKeepsD", "D", "https://dyn.test/app", "https://dyn.test/app/", "D",
     "https://dyn.test/app/"},
    // No pair: the dynamic URL is the empty text, handed on as such.
    {"DWithoutDynamicUrlIsEmpty", "D", std::nullopt, "", "D", ""},
};

class UpdateUrl : public ::testing::TestWithParam<UrlCase> {};

TEST_P(UpdateUrl, LaunchSeesTheCompletedUrls) {
  const UrlCase& c = GetParam();
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  home.addStandardInstall();
  hvpack::ParamsBlock params = standardParams();
  if (c.dynamicUrl) params.pairs.push_back({"update_url", *c.dynamicUrl});
  hvpack::TailHeader header = installedTailHeader(APP);
  header.updateUrl = c.tailUrl;
  home.pack(params, tailOf(header));

  const LauncherRun run = home.run({}, true);
  ASSERT_EQ(0, run.child.exitStatus) << run.child.output;
  const std::string effectiveBefore = c.tailUrl == "D" ? c.dynamicUrl.value_or("") : c.tailUrl;
  EXPECT_EQ("", missingInOrder(run.child.output,
                               {"[Extractor] Update URL is currently '" + effectiveBefore + "'",
                                "[Extractor] Update URL is now '" + c.effectiveNow + "'"}))
      << run.child.output;
  ASSERT_TRUE(run.reported) << run.child.output;
  ASSERT_EQ("ok", run.result.propertiesState);
  // Step 4 stored the values as read; the launch's rows carry the completed ones.
  PropertyPairs expected = startupProperties(params, header);
  expected.push_back({"hvstat_update_url", c.staticRow});
  if (c.dynamicRow) expected.push_back({"hvdyna_update_url", *c.dynamicRow});
  expected.push_back({"hvstat_app_dir", home.inMaster(INSTALLED_QV_FOLDER)});
  expected.push_back({"hvstat_jre_name", INSTALLED_JRE_NAME});
  expected.push_back({"hvstat_launched_from_dynprops", home.launcher()});
  EXPECT_EQ(expected, run.result.properties);
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateUrl, ::testing::ValuesIn(URL_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// A URL that fills its buffer has no room for the '/': the run ends before the master
// folder, the log file or anything else is made. One byte shorter, it is completed.
TEST(UpdateUrlRoom, FullBufferRefusedOneShorterCompleted) {
  struct Case {
    const char* name;
    bool dynamic;
    size_t length;
    bool refused;
  };
  const Case cases[] = {
      {"TailBufferFull", false, 4999, true},
      {"TailBufferRoomForSlash", false, 4998, false},
      {"DynamicBufferFull", true, 199999, true},
      {"DynamicBufferRoomForSlash", true, 199998, false},
  };
  for (const Case& c : cases) {
    InstalledHome home(APP);
    ASSERT_TRUE(home.ready());
    const std::string url(c.length, 'u');
    hvpack::ParamsBlock params = standardParams();
    hvpack::TailHeader header = installedTailHeader(APP);
    header.qvVersion = "";  // nothing to install: a run that goes on ends at once
    header.updateUrl = c.dynamic ? "D" : url;
    if (c.dynamic) params.pairs.push_back({"update_url", url});
    home.pack(params, tailOf(header));
    fs::remove_all(home.master());

    const LauncherRun run = home.run({}, false);
    const std::string& out = run.child.output;
    EXPECT_EQ(1, run.child.exitStatus) << c.name;
    const std::string refusal = "[Extractor] Update URL of " + std::to_string(c.length) +
                                " bytes has no room for its final '/' (at most " +
                                std::to_string(c.dynamic ? 199998 : 4998) +
                                " bytes without one), cannot continue";
    EXPECT_EQ(c.refused, hasLine(out, refusal)) << c.name;
    EXPECT_EQ(!c.refused, hasLine(out, "[Extractor] Update URL is now '" + url + "/'")) << c.name;
    EXPECT_EQ(!c.refused, fs::exists(home.master())) << c.name;
    EXPECT_EQ(c.refused ? 0 : 1, run.logFileCount) << c.name;
    EXPECT_EQ(!c.refused, hasLine(out, JUST_A_LAUNCHER)) << c.name;
  }
}

}  // namespace
