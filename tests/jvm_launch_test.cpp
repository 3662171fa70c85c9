#include "launcher/jvm_launch.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/timeutil.h"
#include "tests/support/installed_home.h"
#include "tests/support/java_fixture.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/packer.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

const char JRE_NAME[] = "jre17";
const char JRE_FOLDER[] = "Halvorin-jre17-17-complete";
const char QV_FOLDER[] = "Halvorin-Halvorin-12-complete";
const char APP_NAME[] = "JvmTestApp";
const char LAUNCHED_FROM[] = "/opt/hvtest/launcher";
const char STATIC_URL[] = "https://updates.test/app/";
const char PROPERTIES_PREFIX[] = "HVLaunchProperties-";
const char STARS_27[] = "***************************\n";

using Properties = std::vector<std::pair<std::string, std::string>>;

// The start-up flow's list as bytes: entries, one 0x00 between each two, then 0x00 0x00.
std::string propertyListBytes(const Properties& properties) {
  std::string bytes;
  for (const auto& [key, value] : properties) {
    if (!bytes.empty()) bytes += '\0';
    bytes += key;
    bytes += '\0';
    bytes += value.empty() ? std::string("\x04") : value;
  }
  bytes.append(2, '\0');
  return bytes;
}

// The start-up flow's list: those bytes in a zero-filled buffer of the start-up size.
struct StartupList {
  explicit StartupList(const Properties& properties) : bytes(propertyListBytes(properties)) {
    bytes.resize(200000, '\0');
    list = {bytes.data(), static_cast<int32_t>(bytes.size())};
  }
  std::string bytes;
  LaunchPropertyList list;
};

const Properties STARTUP_PROPERTIES = {
    {"hvdyna_jre_name", JRE_NAME},
    {"hvstat_update_url", "https://updates.test/app"},
    {"hvstat_app_name", "Test App"},
};

// The usual launch file: every value present, the updater as the program.
hvpack::LaunchFile standardLaunchFile() {
  hvpack::LaunchFile file = updaterLaunchFile();
  file.appName = APP_NAME;
  file.osIcns = "app.icns";
  file.appJvmOptions = {"-Dhv.app=1", "-Dhv.app2=2"};
  file.mustFork = true;
  return file;
}

// The bytes of a version-6 file with every value, its format version then replaced: a
// reader that takes a value its version does not have reads a wrong one.
std::string launchFileBytesAsVersion(hvpack::LaunchFile file, int version) {
  file.version = 6;
  std::string bytes = file.bytes();
  return std::to_string(version) + bytes.substr(bytes.find('\0'));
}

std::vector<std::string> propertiesFiles(const std::string& folder) {
  std::vector<std::string> found;
  for (const std::string& name : folderNames(folder)) {
    if (name.rfind(PROPERTIES_PREFIX, 0) == 0) found.push_back(name);
  }
  return found;
}

// A master folder holding the updater's folder with its launch file, a fixture runtime
// and HVApps; the recording files of the fixture java and of the updater beside it.
class LaunchLayout {
 public:
  LaunchLayout() {
    master = root / "Halvorin-JvmTest";
    qv = master + "/" + QV_FOLDER;
    jre = master + "/" + JRE_FOLDER;
    javaCopy = jre + "/bin/" + APP_NAME;
    fs::create_directories(qv + "/lib");
    fs::create_directories(master + "/HVApps");
    ready = buildRuntimeFixture(jre) && updaterProgram(&program);
    if (ready) fs::copy_file(program.jarPath, qv + "/lib/updater.jar");
    callsPath = root / "java-calls";
    resultPath = root / "updater-result";
    compatResultPath = root / "compat-result";
    logPath = root / "launch.log";
    writeLaunchFile(standardLaunchFile());
  }

  void writeLaunchFile(const hvpack::LaunchFile& file) const { writeLaunchBytes(file.bytes()); }
  void writeLaunchBytes(const std::string& bytes) const {
    writeFileBytes(qv + "/HalvorinLaunch", bytes);
  }
  std::string lsoPath() const {
    return master + "/HVApps/JRE-LastSuccessfulOptions-" + JRE_FOLDER;
  }
  void writeLso(const std::vector<std::string>& options) const {
    hvpack::LsoFile lso;
    lso.options = options;
    writeFileBytes(lsoPath(), lso.bytes());
  }

  ScratchDir root;
  std::string master, qv, jre, javaCopy, callsPath, resultPath, compatResultPath, logPath;
  UpdaterProgram program;
  bool ready = false;
};

struct LaunchInput {
  std::vector<std::string> launcherArgs = {"x", "y z"};
  std::string staticUrl = STATIC_URL;
  std::optional<std::string> dynamicUrl;
  int launchClass = LAUNCH_CLASS_NORMAL;
  std::string compatStatus;  // exit status asked of the compatibility class
  std::string folder = QV_FOLDER;
};

// In the child: the recording switches, a log file, then the launch; the child's status
// is launchFromFolder's result (255 for -1) unless the launch ends the process.
int launchInChild(const LaunchLayout& layout, const LaunchInput& input) {
  setenv(FIXTURE_JAVA_CALLS_ENV, layout.callsPath.c_str(), 1);
  setenv(UPDATER_RESULT_ENV, layout.resultPath.c_str(), 1);
  setenv(UPDATER_COMPAT_RESULT_ENV, layout.compatResultPath.c_str(), 1);
  if (!input.compatStatus.empty()) setenv(UPDATER_COMPAT_STATUS_ENV, input.compatStatus.c_str(), 1);
  setLogFile(fopen(layout.logPath.c_str(), "we"));
  StartupList startup(STARTUP_PROPERTIES);
  std::vector<const char*> args;
  for (const std::string& a : input.launcherArgs) args.push_back(a.c_str());
  const std::string java = layout.jre + "/bin/java";
  const char* jre = input.launchClass == LAUNCH_CLASS_NORMAL ? JRE_NAME : java.c_str();
  const int r = launchFromFolder(layout.master.c_str(), &startup.list,
                                 static_cast<int>(args.size()), args.data(), input.folder.c_str(),
                                 input.staticUrl.c_str(),
                                 input.dynamicUrl ? input.dynamicUrl->c_str() : nullptr, jre,
                                 input.launchClass, LAUNCHED_FROM);
  return r & 0xff;
}

struct LaunchOutcome {
  ChildRun child;
  std::string log;
  std::vector<std::vector<std::string>> calls;
  UpdaterResult result;  // of a normal launch
  bool reported = false;
};

LaunchOutcome runLaunch(const LaunchLayout& layout, const LaunchInput& input,
                        bool expectSpawn = true) {
  LaunchOutcome outcome;
  outcome.child = runInChild([&] { return launchInChild(layout, input); });
  outcome.log = readFileBytes(layout.logPath);
  if (!expectSpawn) return outcome;
  // A normal launch is not waited for. Its program's report comes after the fixture java
  // has written its whole call line (a line still being written would read cut short).
  if (input.launchClass == LAUNCH_CLASS_NORMAL) {
    outcome.reported = waitForUpdaterResult(layout.resultPath, 30000, &outcome.result);
  }
  outcome.calls = readFixtureCalls(layout.callsPath);
  return outcome;
}

// The rows a launch appends after the start-up list.
Properties appendedRows(const LaunchLayout& layout, const LaunchInput& input,
                        const std::string& jreValue,
                        const std::optional<std::vector<std::string>>& lso) {
  Properties rows = {{"hvstat_update_url", input.staticUrl}};
  if (input.staticUrl == "D" && input.dynamicUrl) {
    rows.push_back({"hvdyna_update_url", *input.dynamicUrl});
  }
  rows.push_back({"hvstat_app_dir", layout.qv});
  rows.push_back({"hvstat_jre_name", jreValue});
  rows.push_back({"hvstat_launched_from_dynprops", LAUNCHED_FROM});
  if (lso) {
    rows.push_back({"hvstat_jvm_options_count", std::to_string(lso->size())});
    for (size_t i = 0; i < lso->size(); ++i) {
      rows.push_back({"hvstat_jvm_options_" + std::to_string(i), (*lso)[i]});
    }
  }
  return rows;
}

// ---- Normal launches through the fixture runtime, checked at the updater ----------------

struct NormalCase {
  const char* name;
  int version;
  long long jvmMem;
  long long jvmStack;
  std::optional<std::vector<std::string>> lso;  // none: no LSO file
  std::string staticUrl;
  std::optional<std::string> dynamicUrl;
  std::vector<std::string> classPath;
  std::vector<std::string> expectedOptions;
  std::vector<std::string> expectedLines;  // log texts, each present
  std::vector<std::string> absentLines;    // log line starts, none present
};

const std::string LONG_LSO = "-Dhv.lso.long=" + std::string(136, 'L');  // 150 bytes

const NormalCase NORMAL_CASES[] = {
    {"NoLsoFileAddsAppOptions", 6, 512, 0, std::nullopt, STATIC_URL, std::nullopt,
     {"lib/updater.jar"}, {"-Xmx512m", "-Dhv.app=1", "-Dhv.app2=2"},
     {"JRE LSO file does not exist", "[Extractor] jvmArgCount:1 emptyArgs:1 so addToJVM:1",
      "[Extractor] Additional JRE option count is 2", "[Extractor] Added option -Dhv.app=1"},
     {"[Extractor] JRE LSO file exists"}},
    {"BothHeapOptions", 6, 256, 128, std::nullopt, STATIC_URL, std::nullopt, {"lib/updater.jar"},
     {"-Xmx256m", "-Xms128m", "-Dhv.app=1", "-Dhv.app2=2"},
     {"[Extractor] jvmArgCount:2 emptyArgs:2 so addToJVM:1"}, {}},
    {"NoHeapOptionsForZeroOrLess", 6, 0, -64, std::nullopt, STATIC_URL, std::nullopt,
     {"lib/updater.jar"}, {"-Dhv.app=1", "-Dhv.app2=2"},
     {"[Extractor] jvmArgCount:0 emptyArgs:0 so addToJVM:1"}, {}},
    {"EmptyLsoStillAddsAppOptions", 6, 512, 0, std::vector<std::string>{}, STATIC_URL,
     std::nullopt, {"lib/updater.jar"}, {"-Xmx512m", "-Dhv.app=1", "-Dhv.app2=2"},
     {"[Extractor] JRE LSO file exists", "[Extractor] Found 0 JVM Options"}, {}},
    {"TwoLsoEntriesReplaceAppOptions", 6, 512, 0,
     std::vector<std::string>{"-Dhv.lso=1", "-Xss2m"}, STATIC_URL, std::nullopt,
     {"lib/updater.jar"}, {"-Xmx512m", "-Dhv.lso=1", "-Xss2m"},
     {"[Extractor] Found 2 JVM Options", "[Extractor] Launch Prop: jvm_options_0 = -Dhv.lso=1",
      "[Extractor] Launch Prop: jvm_options_1 = -Xss2m",
      "[Extractor] jvmArgCount:3 emptyArgs:1 so addToJVM:0",
      "[Extractor] Skipping option -Dhv.app=1", "[Extractor] Skipping option -Dhv.app2=2"},
     {"[Extractor] Added option"}},
    {"LongLsoEntryLoggedCut", 6, 512, 0, std::vector<std::string>{LONG_LSO}, STATIC_URL,
     std::nullopt, {"lib/updater.jar"}, {"-Xmx512m", LONG_LSO},
     {"[Extractor] Launch Prop: jvm_options_0 = " + LONG_LSO.substr(0, 99) + "..."}, {}},
    {"StaticDAddsDynamicUrl", 6, 512, 0, std::nullopt, "D", "https://dyn.test/app/",
     {"lib/updater.jar"}, {"-Xmx512m", "-Dhv.app=1", "-Dhv.app2=2"}, {}, {}},
    {"StaticUrlIgnoresDynamicUrl", 6, 512, 0, std::nullopt, STATIC_URL, "https://dyn.test/app/",
     {"lib/updater.jar"}, {"-Xmx512m", "-Dhv.app=1", "-Dhv.app2=2"}, {}, {}},
    {"TwoClassPathEntriesJoined", 6, 512, 0, std::nullopt, STATIC_URL, std::nullopt,
     {"lib/updater.jar", "lib/missing.jar"}, {"-Xmx512m", "-Dhv.app=1", "-Dhv.app2=2"}, {}, {}},
    {"Version2ReadsUpToExtraArgs", 2, 512, 0, std::nullopt, STATIC_URL, std::nullopt,
     {"lib/updater.jar"}, {"-Xmx512m"}, {},
     {"[Extractor] Read JRE compatibility class", "[Extractor] Additional JRE option count"}},
    {"Version3ReadsCompatibilityClass", 3, 512, 0, std::nullopt, STATIC_URL, std::nullopt,
     {"lib/updater.jar"}, {"-Xmx512m"},
     {"[Extractor] Read JRE compatibility class hvfixture.Compatibility"},
     {"[Extractor] Additional JRE option count"}},
    {"Version4ReadsTwoMoreClasses", 4, 512, 0, std::nullopt, STATIC_URL, std::nullopt,
     {"lib/updater.jar"}, {"-Xmx512m"},
     {"[Extractor] Read JRE compatibility class hvfixture.Compatibility"},
     {"[Extractor] Additional JRE option count"}},
    {"Version5ReadsAppOptions", 5, 512, 0, std::nullopt, STATIC_URL, std::nullopt,
     {"lib/updater.jar"}, {"-Xmx512m", "-Dhv.app=1", "-Dhv.app2=2"},
     {"[Extractor] Additional JRE option count is 2"}, {}},
};

class NormalLaunch : public ::testing::TestWithParam<NormalCase> {};

TEST_P(NormalLaunch, UpdaterReceivesVectorAndProperties) {
  const NormalCase& c = GetParam();
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready) << "no JDK for the fixture runtime";
  hvpack::LaunchFile file = standardLaunchFile();
  file.jvmMemMb = c.jvmMem;
  file.jvmStackMb = c.jvmStack;
  file.classPath = c.classPath;
  layout.writeLaunchBytes(launchFileBytesAsVersion(file, c.version));
  if (c.lso) layout.writeLso(*c.lso);

  LaunchInput input;
  input.staticUrl = c.staticUrl;
  input.dynamicUrl = c.dynamicUrl;
  const LaunchOutcome out = runLaunch(layout, input);
  ASSERT_EQ(0, out.child.exitStatus) << out.child.output;
  ASSERT_TRUE(out.reported) << out.child.output;
  const UpdaterResult& result = out.result;
  ASSERT_EQ(1u, out.calls.size());

  ASSERT_FALSE(result.arguments.empty());
  const std::string propertiesPath = result.arguments[0];
  EXPECT_EQ(layout.qv + "/" + PROPERTIES_PREFIX, propertiesPath.substr(0, layout.qv.size() + 20));
  std::string joined;
  for (const std::string& entry : c.classPath) {
    joined += (joined.empty() ? "" : ":") + layout.qv + "/" + entry;
  }
  std::vector<std::string> expected = {layout.javaCopy};
  expected.insert(expected.end(), c.expectedOptions.begin(), c.expectedOptions.end());
  expected.insert(expected.end(), {"-cp", joined, UPDATER_MAIN_CLASS, propertiesPath,
                                   "--from-launch-file", "two words", "x", "y z"});
  EXPECT_EQ(expected, out.calls[0]);

  ASSERT_EQ("ok", result.propertiesState);
  Properties properties = STARTUP_PROPERTIES;
  const Properties rows = appendedRows(layout, input, JRE_NAME, c.lso);
  properties.insert(properties.end(), rows.begin(), rows.end());
  EXPECT_EQ(properties, result.properties);
  std::string fileBytes = readFileBytes(propertiesPath);
  EXPECT_EQ(propertyListBytes(properties), fileBytes + std::string(2, '\0'))
      << "the file holds the list without its terminating pair";

  for (const std::string& line : c.expectedLines) EXPECT_TRUE(hasLine(out.log, line)) << line;
  for (const std::string& start : c.absentLines) {
    EXPECT_EQ(0, countLinesStartingWith(out.log, start)) << start;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, NormalLaunch, ::testing::ValuesIn(NORMAL_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NormalLaunchLog, LinesInOrderUpToTheClosingLine) {
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready);
  const LaunchOutcome out = runLaunch(layout, LaunchInput{});
  ASSERT_EQ(0, out.child.exitStatus) << out.child.output;
  ASSERT_EQ(1u, out.calls.size());
  const std::string props = out.calls[0][7];
  const std::string cp = layout.qv + "/lib/updater.jar";
  const std::vector<std::string> expected = {
      "+++ Start: Launching",
      "[Extractor] Launching '" + std::string(QV_FOLDER) + "' from master folder '" +
          layout.master + "' of class 0 using JRE 'jre17'",
      "[Extractor] Using private JRE " + std::string(JRE_FOLDER),
      "[Extractor] JRE LSO file is " + layout.lsoPath(),
      "[Extractor] Building classpath",
      "[Extractor] Creating launch properties",
      "[Extractor] Checking LSO file",
      "[Extractor] Reading " + layout.lsoPath(),
      "JRE LSO file does not exist",
      "[Extractor] Writing launch properties file",
      "[Extractor] Writing to file",
      "[Extractor] Finished writing launch properties file",
      "[Extractor] Reading 2 extra args",
      "[Extractor] Read JRE compatibility class hvfixture.Compatibility",
      "[Extractor] jvmArgCount:1 emptyArgs:1 so addToJVM:1",
      "[Extractor] Additional JRE option count is 2",
      "[Extractor] Added option -Dhv.app=1",
      "[Extractor] Added option -Dhv.app2=2",
      "[Extractor] Appending 2 command line args",
      "[Extractor] [Launch] Executable: " + layout.javaCopy,
      "[Extractor] [Launch] Class: hvfixture.Updater",
      "[Extractor] [Launch] JVM Argument 0: -Xmx512m",
      "[Extractor] [Launch] JVM Argument 1: -Dhv.app=1",
      "[Extractor] [Launch] JVM Argument 2: -Dhv.app2=2",
      "[Extractor] [Launch] ClassPath 0: " + cp,
      "[Extractor] [Launch] App Argument 0: " + props,
      "[Extractor] [Launch] App Argument 1: --from-launch-file",
      "[Extractor] [Launch] App Argument 2: two words",
      "[Extractor] [Launch] App Argument 3: x",
      "[Extractor] [Launch] App Argument 4: y z",
      "[Extractor] This is a newer extractor... launchclass is 0",
      "[Extractor] JRE folder is " + layout.jre,
      "[Extractor] Attempting spawn launch",
      "+++ Start: Spawn launch",
      "[Extractor][Spawn][0] " + layout.javaCopy,
      "[Extractor][Spawn][1] -Xmx512m",
      "[Extractor][Spawn][4] -cp",
      "[Extractor][Spawn][5] " + cp,
      "[Extractor][Spawn][6] hvfixture.Updater",
      "[Extractor][Spawn][7] " + props,
      "[Extractor][Spawn][11] y z",
      "[Utils] Closing logging file.",
  };
  const auto texts = logTexts(out.log);
  size_t at = 0;
  for (const std::string& line : expected) {
    const auto found = std::find(texts.begin() + static_cast<long>(at), texts.end(), line);
    ASSERT_NE(texts.end(), found) << "missing or out of order: " << line << "\n" << out.log;
    at = static_cast<size_t>(found - texts.begin()) + 1;
  }
  EXPECT_EQ("[Utils] Closing logging file.", texts.back()) << "the file ends at the close";
  EXPECT_NE(std::string::npos, out.child.output.find("[Spawner] Success - pid:"));
  EXPECT_EQ(std::string::npos, out.log.find("[Spawner]")) << "spawner lines come after the close";
}

// ---- The java copy ----------------------------------------------------------------------

TEST(JavaCopy, MadeOnceThenReusedUnchanged) {
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready);
  const LaunchOutcome first = runLaunch(layout, LaunchInput{});
  ASSERT_EQ(0, first.child.exitStatus) << first.child.output;
  struct stat st;
  ASSERT_EQ(0, stat(layout.javaCopy.c_str(), &st));
  EXPECT_EQ(0755u, st.st_mode & 07777);
  EXPECT_EQ(readFileBytes(layout.jre + "/bin/java"), readFileBytes(layout.javaCopy));
  EXPECT_EQ((std::vector<std::string>{APP_NAME, "java", "unpack200"}),
            folderNames(layout.jre + "/bin"))
      << "no temporary copy is left";

  // A later launch takes the copy as it stands: neither copied again nor given a mode.
  fs::remove(layout.callsPath);
  fs::remove(layout.resultPath);
  const std::string marked = readFileBytes(layout.javaCopy) + "# reused\n";
  writeFileBytes(layout.javaCopy, marked);
  chmod(layout.javaCopy.c_str(), 0700);
  const LaunchOutcome second = runLaunch(layout, LaunchInput{});
  ASSERT_EQ(0, second.child.exitStatus) << second.child.output;
  ASSERT_EQ(1u, second.calls.size());
  EXPECT_EQ(layout.javaCopy, second.calls[0][0]);
  EXPECT_EQ(marked, readFileBytes(layout.javaCopy));
  ASSERT_EQ(0, stat(layout.javaCopy.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  EXPECT_EQ(0, countLinesStartingWith(second.log, "[Extractor] Copying FILE"));
}

// Runs body in a child whose standard output goes through a pipe: a child with a file
// size limit could not write its output to a file.
ChildRun runInChildPiped(const std::function<int()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    close(fds[1]);
    endProcess(body());
  }
  close(fds[1]);
  ChildRun run;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) run.output.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return run;
}

// Writes past this many bytes of any file fail, as on a full disk.
void limitFileSize(rlim_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  const struct rlimit limit = {bytes, bytes};
  setrlimit(RLIMIT_FSIZE, &limit);
}

TEST(JavaCopy, IncompleteCopyNeverTakesTheName) {
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string java = readFileBytes(layout.jre + "/bin/java");
  ASSERT_GT(java.size(), 600u) << "the limit must cut the copy, not the properties file";
  const ChildRun run = runInChildPiped([&] {
    limitFileSize(java.size() - 1);
    setenv(FIXTURE_JAVA_CALLS_ENV, layout.callsPath.c_str(), 1);
    StartupList startup({});
    return launchApp(layout.master.c_str(), &startup.list, 0, nullptr, QV_FOLDER, "u", nullptr,
                     JRE_NAME, LAUNCHED_FROM) & 0xff;
  });
  EXPECT_EQ(255, run.exitStatus) << run.output;
  EXPECT_EQ((std::vector<std::string>{"java", "unpack200"}), folderNames(layout.jre + "/bin"));
  EXPECT_TRUE(hasLine(run.output, "Error setting app binary executable!")) << run.output;
  EXPECT_TRUE(hasLine(run.output,
                      "[ERROR] Attempt to launch app failed with return code -1! (app likely "
                      "did not launch at all)"));

  // Without the limit the next launch makes the whole copy and starts.
  const LaunchOutcome next = runLaunch(layout, LaunchInput{});
  ASSERT_EQ(0, next.child.exitStatus) << next.child.output;
  EXPECT_EQ(java, readFileBytes(layout.javaCopy));
}

// The runtime's bin folder may be writable by everyone: a FIFO planted as its java is no
// file to copy. The launch must refuse it at once, never opening it in a way that waits
// for a writer (nobody ever writes to this one).
TEST(JavaCopy, FifoAtTheRuntimesJavaIsRefusedWithoutWaiting) {
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string java = layout.jre + "/bin/java";
  ASSERT_EQ(0, unlink(java.c_str()));
  ASSERT_EQ(0, mkfifo(java.c_str(), 0755));
  const ChildRun run = runInChild(
      [&] {
        StartupList startup({});
        return launchApp(layout.master.c_str(), &startup.list, 0, nullptr, QV_FOLDER, "u",
                         nullptr, JRE_NAME, LAUNCHED_FROM) & 0xff;
      },
      10);
  ASSERT_FALSE(run.timedOut) << "the launch waited on the FIFO\n" << run.output;
  EXPECT_EQ(255, run.exitStatus) << run.output;
  EXPECT_TRUE(hasLine(run.output, "Error setting app binary executable!")) << run.output;
  EXPECT_EQ((std::vector<std::string>{"java", "unpack200"}), folderNames(layout.jre + "/bin"))
      << "no copy and no scratch file is left";
}

// The runtime's bin folder of a shared install is writable by every user. Another one
// watches it and, the moment the copy's scratch file appears, puts a link to a file of
// root's in its place: the copy goes on through its own descriptor, so the file the link
// names is neither truncated nor given the copy's mode. The java is made large enough
// that the swap lands while the copy is written.
TEST(JavaCopy, ScratchFileSwappedForALinkByAnotherUserIsNeverWrittenThrough) {
  constexpr uid_t SWAPPER_UID = 47273;
  constexpr gid_t SWAPPER_GID = 47273;
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string bin = layout.jre + "/bin";
  const std::string java = bin + "/java";
  writeFileBytes(java, readFileBytes(java) + "\n# " + std::string(32 << 20, 'x') + "\n");
  ASSERT_EQ(0, chmod(java.c_str(), 0755));
  ASSERT_EQ(0, chmod(layout.root.path().c_str(), 0755));
  ASSERT_EQ(0, chmod(bin.c_str(), 0777));
  const std::string victim = layout.root / "victim";
  writeFileBytes(victim, "root's own");
  ASSERT_EQ(0, chmod(victim.c_str(), 0600));
  const std::string marks = layout.root / "marks";
  ASSERT_EQ(0, mkdir(marks.c_str(), 0777));
  ASSERT_EQ(0, chmod(marks.c_str(), 0777));
  const std::string swapped = marks + "/swapped";
  const ChildRun run = runInChild(
      [&] {
        int ready[2];
        if (pipe(ready) != 0) return 3;
        const pid_t swapper = fork();
        if (swapper == 0) {
          alarm(30);
          if (setgroups(0, nullptr) != 0 || setresgid(SWAPPER_GID, SWAPPER_GID, SWAPPER_GID) != 0 ||
              setresuid(SWAPPER_UID, SWAPPER_UID, SWAPPER_UID) != 0) {
            _exit(2);
          }
          const int watch = inotify_init1(IN_CLOEXEC);
          if (watch < 0 || inotify_add_watch(watch, bin.c_str(), IN_CREATE) < 0) _exit(2);
          if (write(ready[1], "r", 1) != 1) _exit(2);
          const std::string prefix = std::string(APP_NAME) + ".";
          alignas(struct inotify_event) char events[4096];
          ssize_t n;
          while ((n = read(watch, events, sizeof events)) > 0) {
            for (char* at = events; at < events + n;) {
              const auto* event = reinterpret_cast<const struct inotify_event*>(at);
              at += sizeof(struct inotify_event) + event->len;
              if (event->len == 0 || std::string(event->name).rfind(prefix, 0) != 0) continue;
              const std::string path = bin + "/" + event->name;
              struct stat st;
              if (lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
              if (unlink(path.c_str()) == 0 && symlink(victim.c_str(), path.c_str()) == 0) {
                // Seen by the test once the launch is over.
                const int mark = open(swapped.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
                if (mark >= 0) close(mark);
              }
            }
          }
          _exit(0);
        }
        close(ready[1]);
        char byte;
        if (swapper < 0 || read(ready[0], &byte, 1) != 1) return 4;
        const int r = launchInChild(layout, LaunchInput{});
        kill(swapper, SIGKILL);
        waitpid(swapper, nullptr, 0);
        return r;
      },
      60);
  ASSERT_FALSE(run.timedOut) << run.output;
  ASSERT_NE(4, run.exitStatus) << "the other user could not watch the folder\n" << run.output;
  ASSERT_TRUE(pathExists(swapped)) << "the swap never happened\n" << run.output;
  EXPECT_EQ("root's own", readFileBytes(victim)) << "written through the link";
  struct stat st;
  ASSERT_EQ(0, stat(victim.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777) << "the link's target got the copy's mode";
}

// ---- Failures around the spawn ----------------------------------------------------------

TEST(FailedSpawn, ReportedWithMinusOneOnStandardOutputOnly) {
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready);
  fs::remove(layout.jre + "/bin/java");
  const LaunchOutcome out = runLaunch(layout, LaunchInput{}, false);
  EXPECT_EQ(255, out.child.exitStatus) << out.child.output;
  const auto texts = logTexts(out.child.output);
  const auto error = std::find(texts.begin(), texts.end(),
                               "[ERROR] Attempt to launch app failed with return code -1! (app "
                               "likely did not launch at all)");
  ASSERT_NE(texts.end(), error) << out.child.output;
  ASSERT_TRUE(error != texts.begin() && error + 1 != texts.end());
  EXPECT_EQ(std::string(STARS_27, 27), *(error - 1));
  EXPECT_EQ(std::string(STARS_27, 27), *(error + 1));
  EXPECT_TRUE(hasLine(out.log, "Error setting app binary executable!"));
  EXPECT_EQ(std::string::npos, out.log.find("[ERROR]")) << "the log file is closed by then";
  EXPECT_FALSE(pathExists(layout.javaCopy));
}

struct UnwritableCase {
  const char* name;
  bool asOtherUser;      // the folder refuses new files
  rlim_t fileSizeLimit;  // or files are created but cannot be written (0: no limit)
  const char* perAttemptLine;  // start of the one line logged for every failed attempt
};

const UnwritableCase UNWRITABLE_CASES[] = {
    {"FolderRefusesNewFiles", true, 0, "[Extractor] Cannot create "},
    {"FileCannotBeWritten", false, 16, "[Extractor] Cannot write "},
};

class UnwritableProperties : public ::testing::TestWithParam<UnwritableCase> {};

TEST_P(UnwritableProperties, SixAttemptsUnderFreshNamesThenStatus99) {
  const UnwritableCase& c = GetParam();
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready);
  // The java copy made beforehand, so only the properties file is in question.
  ASSERT_EQ(0, runLaunch(layout, LaunchInput{}).child.exitStatus);
  for (const std::string& name : propertiesFiles(layout.qv)) fs::remove(layout.qv + "/" + name);
  fs::remove(layout.callsPath);
  chmod(layout.root.path().c_str(), 0755);

  const auto started = std::chrono::steady_clock::now();
  const ChildRun run = runInChildPiped([&] {
    if (c.asOtherUser && (setgid(65534) != 0 || setuid(65534) != 0)) return 120;
    if (c.fileSizeLimit > 0) limitFileSize(c.fileSizeLimit);
    setenv(FIXTURE_JAVA_CALLS_ENV, layout.callsPath.c_str(), 1);
    StartupList startup(STARTUP_PROPERTIES);
    return launchApp(layout.master.c_str(), &startup.list, 0, nullptr, QV_FOLDER, STATIC_URL,
                     nullptr, JRE_NAME, LAUNCHED_FROM) & 0xff;
  });
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  EXPECT_EQ(EXIT_LAUNCH_PROPERTIES_UNWRITABLE, run.exitStatus) << run.output;
  EXPECT_TRUE(hasLine(run.output, "Unable to write Launch Properties file! Cannot run!"));
  // Five pauses of half a second, not minutes.
  EXPECT_GE(seconds, 2.4);
  EXPECT_LT(seconds, 30.0);
  std::set<std::string> names;
  for (const std::string& text : logTexts(run.output)) {
    const std::string first = "[Extractor] Writing launch properties to ";
    const std::string retry = "[Retry] Writing launch properties to ";
    if (text.rfind(first, 0) == 0) {
      names.insert(text.substr(first.size(), text.find(" (length") - first.size()));
    }
    if (text.rfind(retry, 0) == 0) names.insert(text.substr(retry.size()));
  }
  EXPECT_EQ(6u, names.size()) << run.output;
  EXPECT_EQ(5, countLinesStartingWith(run.output, "[Retry] Writing launch properties to "));
  // Each failed attempt reported once, in the one style of a failed file operation.
  EXPECT_EQ(6, countLinesStartingWith(run.output, c.perAttemptLine)) << run.output;
  EXPECT_EQ(6, countLinesStartingWith(run.output, "[Extractor] Cannot ")) << run.output;
  EXPECT_EQ(0, countLinesStartingWith(run.output, "[Extractor] Could not ")) << run.output;
  EXPECT_TRUE(propertiesFiles(layout.qv).empty()) << "a partly written file is removed";
  EXPECT_FALSE(pathExists(layout.callsPath)) << "nothing is spawned";
}

INSTANTIATE_TEST_SUITE_P(Cases, UnwritableProperties, ::testing::ValuesIn(UNWRITABLE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// The properties file is a new file of the launch's own: names already taken (another
// launch in the same millisecond, or files planted in a folder others may write) are
// never written into; a later attempt takes a fresh name. Every name of the next one and
// a half seconds is taken here by a hard link to one victim file, so the first attempts
// meet taken names and the last ones (paced half a second apart) free ones.
TEST(LaunchProperties, TakenNamesAreNeverWrittenInto) {
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string victim = layout.root / "victim";
  writeFileBytes(victim, "not the launcher's\n");
  constexpr int PLANTED = 1500;
  // The folder's entry count once the links are in: ".", "..", what is there and them.
  const size_t entries = 2 + folderNames(layout.qv).size() + PLANTED;
  const unsigned long long now = currentTimeMillis();
  std::set<std::string> planted;
  for (int i = 0; i < PLANTED; ++i) {
    const std::string name = std::string(PROPERTIES_PREFIX) + std::to_string(now + i) + "-" +
                             std::to_string(entries);
    ASSERT_EQ(0, link(victim.c_str(), (layout.qv + "/" + name).c_str())) << name;
    planted.insert(name);
  }
  const LaunchOutcome out = runLaunch(layout, LaunchInput{});
  ASSERT_EQ(0, out.child.exitStatus) << out.child.output;
  EXPECT_TRUE(out.reported) << out.child.output;
  EXPECT_EQ("not the launcher's\n", readFileBytes(victim));
  EXPECT_GE(countLinesStartingWith(out.log, "[Retry] Writing launch properties to "), 1)
      << "the first name was taken";
  std::vector<std::string> made;
  for (const std::string& name : propertiesFiles(layout.qv)) {
    if (planted.count(name) == 0) made.push_back(name);
  }
  ASSERT_EQ(1u, made.size());
  EXPECT_NE("not the launcher's\n", readFileBytes(layout.qv + "/" + made[0]));
}

// ---- JRE compatibility test -------------------------------------------------------------

struct CompatibilityCase {
  const char* name;
  int version;
  const char* childStatus;
  int expectedResult;   // launchFromFolder's result (255 for -1)
  bool expectedPass;    // runJreCompatibilityTest's answer for the same result
  bool expectReport;
  bool expectSpawn;
};

const CompatibilityCase COMPATIBILITY_CASES[] = {
    {"PassStatusIsTrueAndStillReported", 6, "72", 72, true, true, true},
    {"ZeroIsFalseWithoutReport", 6, "0", 0, false, false, true},
    {"OtherStatusIsFalse", 6, "3", 3, false, true, true},
    {"Version2HasNoClassAndSpawnsNothing", 2, "72", 255, false, false, false},
};

class Compatibility : public ::testing::TestWithParam<CompatibilityCase> {};

TEST_P(Compatibility, CandidateJavaRunsTheCompatibilityClass) {
  const CompatibilityCase& c = GetParam();
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready);
  layout.writeLaunchBytes(launchFileBytesAsVersion(standardLaunchFile(), c.version));
  layout.writeLso({"-Dhv.lso=1"});  // never looked at by a compatibility test
  LaunchInput input;
  input.launchClass = LAUNCH_CLASS_COMPATIBILITY;
  input.compatStatus = c.childStatus;
  const LaunchOutcome out = runLaunch(layout, input, c.expectSpawn);
  EXPECT_EQ(c.expectedResult, out.child.exitStatus) << out.child.output;
  EXPECT_EQ(c.expectedPass, out.child.exitStatus == COMPATIBILITY_PASS_STATUS);
  EXPECT_EQ(c.expectReport, hasLine(out.child.output,
                                    "[ERROR] Attempt to launch app failed with return code " +
                                        std::string(c.childStatus) +
                                        "! (app likely did not launch at all)"))
      << out.child.output;
  EXPECT_FALSE(pathExists(layout.javaCopy)) << "a candidate runs as it is";
  if (!c.expectSpawn) {
    EXPECT_FALSE(pathExists(layout.callsPath));
    EXPECT_TRUE(propertiesFiles(layout.qv).empty());
    EXPECT_EQ(std::string::npos, out.log.find("[Utils] Closing logging file."))
        << "nothing spawned, so the log file stays open";
    return;
  }
  const std::string java = layout.jre + "/bin/java";
  ASSERT_EQ(1u, out.calls.size());
  const std::string props = layout.qv + "/" + propertiesFiles(layout.qv).at(0);
  const std::vector<std::string> expected = {
      java, "-Xmx512m", "-Dhv.app=1", "-Dhv.app2=2", "-cp", layout.qv + "/lib/updater.jar",
      UPDATER_COMPAT_CLASS, props, "--from-launch-file", "two words", "x", "y z"};
  EXPECT_EQ(expected, out.calls[0]);
  UpdaterResult result;
  ASSERT_TRUE(readUpdaterResult(layout.compatResultPath, &result));
  Properties properties = STARTUP_PROPERTIES;
  const Properties rows = appendedRows(layout, input, java, std::nullopt);
  properties.insert(properties.end(), rows.begin(), rows.end());
  EXPECT_EQ(properties, result.properties);
  EXPECT_TRUE(hasLine(out.log, "Not a private JRE (no need to check for LSO file)"));
  EXPECT_TRUE(hasLine(out.log, "[Extractor] Checking for existing system JRE " + java));
}

INSTANTIATE_TEST_SUITE_P(Cases, Compatibility, ::testing::ValuesIn(COMPATIBILITY_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CompatibilityEntry, TrueOnlyForThePassStatusAndLeavesTheListAlone) {
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready);
  for (const char* status : {"72", "0"}) {
    const ChildRun run = runInChild([&] {
      setenv(UPDATER_COMPAT_STATUS_ENV, status, 1);
      StartupList startup(STARTUP_PROPERTIES);
      const std::string before = startup.bytes;
      const std::string java = layout.jre + "/bin/java";
      const bool pass = runJreCompatibilityTest(layout.master.c_str(), &startup.list, 0, nullptr,
                                                QV_FOLDER, STATIC_URL, nullptr, java.c_str(),
                                                LAUNCHED_FROM);
      return (pass ? 1 : 0) + (startup.bytes == before ? 0 : 10);
    });
    EXPECT_EQ(strcmp(status, "72") == 0 ? 1 : 0, run.exitStatus) << status << run.output;
  }
}

// ---- Refused and fatal inputs: the process ends before anything is spawned --------------

struct FatalCase {
  const char* name;
  std::function<void(LaunchLayout&, LaunchInput&)> setup;
  int status;
  std::string expectedLine;  // a log text, after "" replacements below
};

std::vector<std::string> manyOptions(int n, size_t length) {
  std::vector<std::string> options;
  for (int i = 0; i < n; ++i) {
    std::string option = "-Dhv.o" + std::to_string(i) + "=";
    option.resize(std::max(length, option.size()), 'v');
    options.push_back(option);
  }
  return options;
}

const FatalCase FATAL_CASES[] = {
    {"MissingLaunchFile",
     [](LaunchLayout& l, LaunchInput&) { fs::remove(l.qv + "/HalvorinLaunch"); }, 1,
     "Unable to open launch file @QV@/HalvorinLaunch"},
    {"NoPrivateRuntime", [](LaunchLayout& l, LaunchInput&) { fs::remove_all(l.jre); }, 1,
     "No private JRE available!"},
    {"AppNameLeavingBin",
     [](LaunchLayout& l, LaunchInput&) {
       auto f = standardLaunchFile();
       f.appName = "../java2";
       l.writeLaunchFile(f);
     },
     1, "App Name '../java2' cannot name the java copy, cannot launch!"},
    {"TooManyJvmOptions",
     [](LaunchLayout& l, LaunchInput&) { l.writeLso(manyOptions(LAUNCH_ARGS_SLOTS, 8)); }, 1,
     "Too many JVM options (more than 1000), cannot launch!"},
    {"TooManyApplicationArguments",
     [](LaunchLayout& l, LaunchInput&) {
       auto f = standardLaunchFile();
       f.extraArgs = manyOptions(LAUNCH_ARGS_SLOTS, 4);
       l.writeLaunchFile(f);
     },
     1, "Too many application arguments (more than 1000), cannot launch!"},
    {"VectorBeyondItsSlots",
     [](LaunchLayout& l, LaunchInput&) {
       l.writeLso(manyOptions(600, 8));
       auto f = standardLaunchFile();
       f.extraArgs = manyOptions(600, 4);
       l.writeLaunchFile(f);
     },
     1, "JVM command line of 1208 arguments exceeds 999, cannot launch!"},
    {"VectorBeyondTheSpawner",
     [](LaunchLayout& l, LaunchInput&) { l.writeLso(manyOptions(495, 8)); }, 1,
     "JVM command line of 505 arguments exceeds the spawner's 499, cannot launch!"},
    {"ClassPathEntryOver1000Bytes",
     [](LaunchLayout& l, LaunchInput&) {
       auto f = standardLaunchFile();
       f.classPath = {std::string(1000 - l.qv.size() - 1, 'c')};
       l.writeLaunchFile(f);
     },
     1, "@ENTRY@"},
    {"ClassPathOver50000Bytes",
     [](LaunchLayout& l, LaunchInput&) {
       auto f = standardLaunchFile();
       f.classPath.assign(60, std::string(900, 'j'));
       l.writeLaunchFile(f);
     },
     1, "Class path longer than 49999 bytes, cannot launch!"},
    {"AddedPropertiesOver200000Bytes",
     [](LaunchLayout& l, LaunchInput&) { l.writeLso(manyOptions(200, 1020)); }, 1,
     "Launch properties exceed 200000 added bytes (at jvm_options_@N@), cannot launch!"},
    {"FolderPathBeyondPathBuffer",
     [](LaunchLayout&, LaunchInput& in) { in.folder = std::string(PATH_BUFFER_SIZE, 'f'); }, 1,
     "Path of the launched folder is too long, cannot launch!"},
};

class FatalInput : public ::testing::TestWithParam<FatalCase> {};

TEST_P(FatalInput, EndsTheProcessWithoutSpawning) {
  const FatalCase& c = GetParam();
  LaunchLayout layout;
  ASSERT_TRUE(layout.ready);
  LaunchInput input;
  c.setup(layout, input);
  const LaunchOutcome out = runLaunch(layout, input, false);
  EXPECT_EQ(c.status, out.child.exitStatus) << out.child.output;
  std::string line = c.expectedLine;
  if (line == "@ENTRY@") {
    const std::string entry(1000 - layout.qv.size() - 1, 'c');
    line = "Class path entry " + entry + " longer than 999 bytes, cannot launch!";
  }
  if (const size_t at = line.find("@QV@"); at != std::string::npos) line.replace(at, 4, layout.qv);
  if (const size_t at = line.find("@N@"); at != std::string::npos) {
    // The row that no longer fits: the start-up list and five rows take their share.
    const std::string key = "jvm_options_";
    const auto texts = logTexts(out.child.output);
    int last = -1;
    for (const std::string& t : texts) {
      if (t.rfind("[Extractor] Launch Prop: jvm_options_", 0) == 0) ++last;
    }
    line.replace(at, 3, std::to_string(last));
  }
  EXPECT_TRUE(hasLine(out.child.output, line)) << line << "\n" << out.child.output;
  EXPECT_FALSE(pathExists(layout.callsPath)) << "nothing is spawned";
  EXPECT_EQ(std::string::npos, out.child.output.find("[Spawner]"));
}

INSTANTIATE_TEST_SUITE_P(Cases, FatalInput, ::testing::ValuesIn(FATAL_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- buildJvmArgv -----------------------------------------------------------------------

struct ArgvCase {
  const char* name;
  std::vector<std::string> options;
  std::vector<std::string> classPath;
  std::vector<std::string> arguments;
  std::vector<std::string> expected;  // after the executable
};

const ArgvCase ARGV_CASES[] = {
    {"HeapClassPathMainArguments", {"-Xmx256m"}, {"/q/lib.jar"}, {"/q/HVLaunchProperties-1-2", "x"},
     {"-Xmx256m", "-cp", "/q/lib.jar", "a.Main", "/q/HVLaunchProperties-1-2", "x"}},
    {"NoClassPathNoCp", {}, {}, {"/p"}, {"a.Main", "/p"}},
    {"EntriesJoinedWithColons", {"-Da=1", "-Db=2"}, {"/q/a.jar", "/q/b.jar", "/q/c"}, {},
     {"-Da=1", "-Db=2", "-cp", "/q/a.jar:/q/b.jar:/q/c", "a.Main"}},
    // Entries that are all empty join to nothing: no "-cp" either.
    {"EmptyEntryLeavesNoCp", {}, {""}, {"/p"}, {"a.Main", "/p"}},
};

std::vector<const char*> pointers(const std::vector<std::string>& texts) {
  std::vector<const char*> p;
  for (const std::string& t : texts) p.push_back(t.c_str());
  return p;
}

TEST(BuildJvmArgv, VectorTable) {
  for (const ArgvCase& c : ARGV_CASES) {
    const auto options = pointers(c.options);
    const auto classPath = pointers(c.classPath);
    const auto arguments = pointers(c.arguments);
    int count = -1;
    const char** vector = nullptr;
    const std::string out = captureStdout([&] {
      vector = buildJvmArgv("/rt/bin/App", "a.Main", static_cast<int>(options.size()),
                            options.data(), static_cast<int>(classPath.size()), classPath.data(),
                            static_cast<int>(arguments.size()), arguments.data(), &count);
    });
    std::vector<std::string> expected = {"/rt/bin/App"};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    ASSERT_EQ(static_cast<int>(expected.size()), count) << c.name;
    std::vector<std::string> got(vector, vector + count);
    EXPECT_EQ(expected, got) << c.name;
    EXPECT_EQ(nullptr, vector[count]) << c.name;
    for (int i = 0; i < count; ++i) {
      EXPECT_TRUE(hasLine(out, "[Extractor][Spawn][" + std::to_string(i) + "] " + expected[i]))
          << c.name << " " << i;
    }
    // The caller owns the vector and the joined class path.
    for (int i = 0; i + 1 < count; ++i) {
      if (strcmp(vector[i], "-cp") == 0) {
        free(const_cast<char*>(vector[i + 1]));
        break;
      }
    }
    free(vector);
  }
}

TEST(BuildJvmArgv, RefusesWhatExceedsItsSizes) {
  const std::vector<std::string> entries(60, std::string(900, 'e'));
  const auto classPath = pointers(entries);
  EXPECT_EXIT(
      {
        int count = 0;
        buildJvmArgv("/j", "M", 0, nullptr, static_cast<int>(classPath.size()), classPath.data(),
                     0, nullptr, &count);
      },
      ::testing::ExitedWithCode(1), "");
  const std::vector<std::string> many(LAUNCH_ARGS_SLOTS - 2, "-Dx");
  const auto options = pointers(many);
  EXPECT_EXIT(
      {
        int count = 0;
        buildJvmArgv("/j", "M", static_cast<int>(options.size()), options.data(), 0, nullptr, 0,
                     nullptr, &count);
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
