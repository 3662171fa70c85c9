// The run road end to end: a packed launcher whose Quorvane, runtime and application are
// installed runs as a throwaway user, extracts nothing, shows no splash, writes its log
// file up to the close and starts the updater in a real JVM, which reports what it got.
// Also its ends that do not launch or do not start: prepare-only, an app folder where no
// launch properties file can be written, a java copy that cannot be run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/installed_home.h"
#include "tests/support/log_lines.h"
#include "tests/support/xvfb_server.h"

namespace fs = std::filesystem;

namespace {

const char APP[] = "RoadApp";
const char STATIC_URL[] = "https://updates.test/app";
const char DYNAMIC_URL[] = "https://dyn.test/road";
const char CLOSING[] = "[Utils] Closing logging file.";
const char RUNNING[] = "[Extractor] Running without extraction now";
const char PREPARE_ONLY[] = "HVPREPARE_FOR_LAUNCH_ONLY";
const std::vector<std::string> LAUNCHER_ARGS = {"x", "y z"};
const std::vector<std::string> LSO_OPTIONS = {"-XX:-UsePerfData", "-Dhv.lso=1"};

// Lines of a road that extracted, or would have, or showed the splash.
const std::vector<std::string> NOT_ON_THE_RUN_ROAD = {
    "[Extractor] Showing splash", "[Splash] configureSplash",
    "[Splash] showSplash()", "[Extractor] Will now run latest QV", "[Unarchiver]",
    "[Extractor] Note: "};

hvpack::ParamsBlock roadParams() {
  hvpack::ParamsBlock p;
  p.pairs = {{"jre_name", INSTALLED_JRE_NAME}, {"force_spawn", "true"}, {"update_url", DYNAMIC_URL}};
  return p;
}

// A tail of the installed versions, with entries that would show if anything read them;
// bigger than the Tail ring, so its reader is still at work when the road closes it.
hvpack::TailBlock roadTail(const std::string& updateUrl) {
  hvpack::TailBlock tail;
  tail.header = installedTailHeader(APP, "3");
  tail.header.canOverrideSplash = "1";
  tail.header.requiredJavaVersion = "11";
  tail.header.updateUrl = updateUrl;
  tail.entries = hvpack::ArchiveBuilder()
                     .file("lzma64", "never extracted")
                     .file("app.bin", std::string(1 << 20, 'a'))
                     .bytes();
  return tail;
}

void installRoad(InstalledHome& home) {
  home.addStandardInstall();
  home.addApplication(APP, "3");
}

std::string lsoFileName() { return std::string("JRE-LastSuccessfulOptions-") + INSTALLED_JRE_FOLDER; }

// The console's lines after the one naming the log file, up to the closing line: every
// one of them must be in the file, as written.
std::vector<std::string> consoleWhileLogging(const std::string& output) {
  std::vector<std::string> lines;
  bool logging = false;
  for (const std::string& line : splitLines(output)) {
    const std::string text = logTexts(line).empty() ? "" : logTexts(line)[0];
    if (logging) lines.push_back(line);
    if (text.rfind("[Extractor] Logging to ", 0) == 0) logging = true;
    if (logging && text == CLOSING) break;
  }
  return lines;
}

void expectNoneOf(const std::string& output, const std::vector<std::string>& starts) {
  for (const std::string& start : starts) {
    EXPECT_EQ(0, countLinesStartingWith(output, start)) << start << "\n" << output;
  }
}

// ---- The run road with a launch -------------------------------------------------------

struct RoadCase {
  const char* name;
  const char* updateUrl;  // the tail's
  bool lso;               // an LSO file for the runtime
};

void PrintTo(const RoadCase& c, std::ostream* os) { *os << c.name; }

const RoadCase ROAD_CASES[] = {
    {"StaticUrlWithLsoFile", STATIC_URL, true},
    {"DynamicUrlWithAppOptions", "D", false},
};

class RunRoad : public ::testing::TestWithParam<RoadCase> {};

TEST_P(RunRoad, LaunchesTheInstalledUpdater) {
  const RoadCase& c = GetParam();
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready()) << "no JDK for the fixture runtime";
  installRoad(home);
  if (c.lso) {
    hvpack::LsoFile lso;
    lso.options = LSO_OPTIONS;
    home.writeAppsFile(lsoFileName(), lso.bytes());
  }
  const hvpack::ParamsBlock params = roadParams();
  const hvpack::TailBlock tail = roadTail(c.updateUrl);
  home.pack(params, tail);
  XvfbServer xvfb;
  ASSERT_TRUE(xvfb.start(24)) << xvfb.why();

  const LauncherRun run = home.run(LAUNCHER_ARGS, true, {{"DISPLAY", xvfb.display()}});
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  ASSERT_TRUE(run.reported) << out;

  // Nothing extracted, the splash prepared but never shown.
  EXPECT_TRUE(hasLine(out, "[Splash] init()")) << out;
  expectNoneOf(out, NOT_ON_THE_RUN_ROAD);
  const std::string qv = home.inMaster(INSTALLED_QV_FOLDER);
  const std::string jre = home.inMaster(INSTALLED_JRE_FOLDER);
  const std::string appFolder = std::string("Halvorin-") + APP + "-3-complete";
  std::vector<std::string> entries = {"HVAppsSharedConfig", appFolder, INSTALLED_QV_FOLDER,
                                      INSTALLED_JRE_FOLDER, "logs"};
  if (c.lso) entries.push_back("HVApps");
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, folderNames(home.master())) << "no temporary folder, nothing new";

  // Before the log file: the layout and the URL.
  const bool dynamic = std::string(c.updateUrl) == "D";
  const std::string effective = dynamic ? DYNAMIC_URL : STATIC_URL;
  EXPECT_EQ("", missingInOrder(out, {"[Extractor] Shared dir is " + home.shared(),
                                     "[Extractor] Update URL is currently '" + effective + "'",
                                     "[Extractor] Update URL is now '" + effective + "/'",
                                     "[Extractor] Master folder is " + home.master()}))
      << out;

  // The log file: every console line from its opening to its close, and the decision.
  ASSERT_EQ(1, run.logFileCount);
  EXPECT_EQ(consoleWhileLogging(out), splitLines(run.logFile));
  const std::string javaCopy = jre + "/bin/" + INSTALLED_PROGRAM_NAME;
  const std::string props = run.result.arguments.empty() ? "" : run.result.arguments[0];
  EXPECT_EQ("", missingInOrder(run.logFile, {
      "[JREOverride] No JRE name override, will continue to use jre17",
      "[Extractor] Quorvane version is 12",
      "[Extractor] OFFLINE wrapper: App version is 3",
      "[Extractor] Checking for a latest valid QV",
      std::string("[PickFolder] Set latest to 12 ") + INSTALLED_QV_FOLDER,
      std::string("[PickFolder] Set latest to 17 ") + INSTALLED_JRE_FOLDER,
      "[Utils] File exists: " + jre + "/bin/java",
      "[Utils] File exists: " + jre + "/lib/rt.jar",
      std::string("[Extractor] Latest QV version exists: ") + INSTALLED_QV_FOLDER,
      std::string("[Extractor] Existing JRE exists: ") + INSTALLED_JRE_FOLDER,
      "[Extractor] Latest QVversion is newer or same as our version so will just run",
      "[PickFolder] Set latest to 3 " + appFolder,
      "[Extractor] Latest App version is newer or same as our version so will just run",
      RUNNING,
      "+++ Start: Launching",
      "[Extractor] Launching '" + std::string(INSTALLED_QV_FOLDER) + "' from master folder '" +
          home.master() + "' of class 0 using JRE 'jre17'",
      std::string("[Extractor] Using private JRE ") + INSTALLED_JRE_FOLDER,
      c.lso ? "[Extractor] JRE LSO file exists" : "JRE LSO file does not exist",
      "[Extractor] Writing to file",
      "[Extractor] Finished writing launch properties file",
      "[Extractor] Appending 2 command line args",
      "[Extractor] [Launch] Executable: " + javaCopy,
      "[Extractor] [Launch] App Argument 0: " + props,
      "[Extractor] Attempting spawn launch",
      "[Extractor][Spawn][0] " + javaCopy,
      CLOSING}))
      << run.logFile;
  EXPECT_EQ(CLOSING, logTexts(run.logFile).back());
  EXPECT_EQ(1, countLinesStartingWith(out, "[Spawner] Success - pid:")) << out;
  EXPECT_EQ(0, countLinesStartingWith(run.logFile, "[Spawner]")) << "after the close";

  // The argument vector: the java copy, heap option, LSO or app options, the class path
  // made absolute, the main class, the properties file, extra args, the launcher's args.
  const std::vector<std::string> options =
      c.lso ? LSO_OPTIONS : updaterLaunchFile().appJvmOptions;
  std::vector<std::string> jvmOptions = {"-Xmx512m"};
  jvmOptions.insert(jvmOptions.end(), options.begin(), options.end());
  std::vector<std::string> vector = {javaCopy};
  vector.insert(vector.end(), jvmOptions.begin(), jvmOptions.end());
  vector.insert(vector.end(), {"-cp", qv + "/lib/updater.jar", UPDATER_MAIN_CLASS});
  const std::vector<std::string> arguments = {props, "--from-launch-file", "two words", "x",
                                              "y z"};
  vector.insert(vector.end(), arguments.begin(), arguments.end());
  ASSERT_EQ(1u, run.calls.size());
  EXPECT_EQ(vector, run.calls[0]);
  EXPECT_EQ("normal", run.result.mainClass);
  EXPECT_EQ(jvmOptions, run.result.jvmArguments);
  EXPECT_EQ(arguments, run.result.arguments);
  EXPECT_EQ(qv + "/HVLaunchProperties-", props.substr(0, qv.size() + 20));

  // The launch properties: the start-up list, then rows 1 to 7 in order.
  ASSERT_EQ("ok", run.result.propertiesState);
  PropertyPairs expected = startupProperties(params, tail.header);
  expected.push_back({"hvstat_update_url", dynamic ? "D" : std::string(STATIC_URL) + "/"});
  if (dynamic) expected.push_back({"hvdyna_update_url", std::string(DYNAMIC_URL) + "/"});
  expected.push_back({"hvstat_app_dir", qv});
  expected.push_back({"hvstat_jre_name", INSTALLED_JRE_NAME});
  expected.push_back({"hvstat_launched_from_dynprops", home.launcher()});
  if (c.lso) {
    expected.push_back({"hvstat_jvm_options_count", "2"});
    expected.push_back({"hvstat_jvm_options_0", LSO_OPTIONS[0]});
    expected.push_back({"hvstat_jvm_options_1", LSO_OPTIONS[1]});
  }
  EXPECT_EQ(expected, run.result.properties);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunRoad, ::testing::ValuesIn(ROAD_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Ends of the run road without a started program ------------------------------------

// A prepare-only run stops after the decision: nothing is launched or written for a launch.
TEST(RunRoadEnds, PrepareOnlyLaunchesNothing) {
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  installRoad(home);
  home.pack(roadParams(), roadTail(STATIC_URL));
  const LauncherRun run = home.run({"x", PREPARE_ONLY}, false);
  const std::string& out = run.child.output;
  EXPECT_EQ(0, run.child.exitStatus) << out;
  EXPECT_TRUE(hasLine(out, RUNNING)) << out;
  expectNoneOf(out, NOT_ON_THE_RUN_ROAD);
  expectNoneOf(out, {"+++ Start: Launching", "[Spawner]", CLOSING});
  // The Tail ring's reader, stopped by the close, may still log its end.
  std::vector<std::string> texts = logTexts(run.logFile);
  std::erase(texts, "[Streamer] [FileReader] Done.");
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(RUNNING, texts.back()) << "the file ends at the decision\n" << run.logFile;
  EXPECT_EQ((std::vector<std::string>{"HalvorinLaunch", "lib"}),
            folderNames(home.inMaster(INSTALLED_QV_FOLDER)));
  EXPECT_FALSE(fs::exists(home.inMaster(INSTALLED_JRE_FOLDER) + "/bin/" + INSTALLED_PROGRAM_NAME));
  EXPECT_TRUE(run.calls.empty());
}

// No launch properties file can be made in the Quorvane's folder: six attempts with
// half-second pauses, then status 99, in seconds rather than the better part of an hour.
TEST(RunRoadEnds, UnwritableQuorvaneFolderEndsWith99InSeconds) {
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  installRoad(home);
  home.keepRootOwned(home.inMaster(INSTALLED_QV_FOLDER));
  home.pack(roadParams(), roadTail(STATIC_URL));
  const LauncherRun run = home.run(LAUNCHER_ARGS, false);
  const std::string& out = run.child.output;
  EXPECT_EQ(99, run.child.exitStatus) << out;
  EXPECT_TRUE(hasLine(out, "Unable to write Launch Properties file! Cannot run!")) << out;
  EXPECT_EQ(5, countLinesStartingWith(out, "[Retry] Writing launch properties to ")) << out;
  EXPECT_GE(run.seconds, 2.4);
  EXPECT_LT(run.seconds, 30.0);
  expectNoneOf(out, {"[Spawner]"});
  EXPECT_TRUE(run.calls.empty());
}

// The java copy is there but may not be run: the spawn fails, is reported, and the run
// still ends with status 0.
TEST(RunRoadEnds, FailedSpawnStillExitsZero) {
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  installRoad(home);
  const std::string javaCopy =
      home.inMaster(INSTALLED_JRE_FOLDER) + "/bin/" + INSTALLED_PROGRAM_NAME;
  writeFileBytes(javaCopy, "#!/bin/sh\nexit 0\n");
  chmod(javaCopy.c_str(), 0644);
  home.pack(roadParams(), roadTail(STATIC_URL));
  const LauncherRun run = home.run(LAUNCHER_ARGS, false);
  const std::string& out = run.child.output;
  EXPECT_EQ(0, run.child.exitStatus) << out;
  EXPECT_TRUE(hasLine(out, "[ERROR] Attempt to launch app failed with return code -1! (app "
                           "likely did not launch at all)"))
      << out;
  EXPECT_EQ(CLOSING, logTexts(run.logFile).back());
  EXPECT_TRUE(run.calls.empty());
}

}  // namespace
