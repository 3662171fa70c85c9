// A system-wide install end to end: a "perm_all" installer started by a throwaway user
// who may not write "/opt" takes the elevation road; a fake pkexec first on PATH runs the
// elevated prepare-only run as root through a setuid-root runner, which installs into
// "/opt/Halvorin-<unique name>"; the unelevated relaunch then takes the run road and
// starts the real Java updater with the user's id. The test removes what it installed.
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "launcher/elevation.h"
#include "tests/support/deadline_run.h"
#include "tests/support/elevation_driver.h"
#include "tests/support/installed_home.h"
#include "tests/support/java_fixture.h"
#include "tests/support/log_lines.h"
#include "tests/support/packer.h"
#include "tests/support/png_writer.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/setuid_runner.h"
#include "tests/support/test_user.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t ELEVATE_USER_UID = 47215;
// A group of its own: the setuid runner's folder is open to this group alone.
constexpr gid_t ELEVATE_USER_GID = 47215;
const char ROOT_RUNNER[] = HV_BIN_DIR "/root_runner";
const char* const OTHER_TOOLS[] = {"gksudo", "kdesudo", "beesu"};

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

// The install below /opt goes with the test, whatever ends it.
struct OptFolder {
  std::string path;
  explicit OptFolder(std::string p) : path(std::move(p)) { clear(); }
  ~OptFolder() { clear(); }
  void clear() const {
    if (pathExists(path)) nftw(path.c_str(), removeEntry, 32, FTW_DEPTH | FTW_PHYS);
  }
};

std::string uniqueAppName() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return "ElevE2E" + std::to_string(getpid()) + "x" +
         std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

bool toolInstalled(const char* name) {
  return system(("which " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

void chownTree(const std::string& top, uid_t uid, gid_t gid) {
  lchown(top.c_str(), uid, gid);
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(top, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    lchown(it->path().c_str(), uid, gid);
  }
}

uid_t ownerOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// A "perm_all" installer (picture, Quorvane, runtime; no application, no update site)
// beside a folder of fake elevation tools, for a user who may not write "/opt".
class PermAllInstaller {
 public:
  // withPack200: the runtime carries a pack200 entry, lib/packed.jar, so the run that
  // installs it calls the runtime's own unpack200.
  // online: the tail carries no runtime and looks for one on the system first.
  explicit PermAllInstaller(bool withPack200 = false, bool online = false)
      : withPack200_(withPack200), online_(online) {}

  // "" when ready, else why the test must be skipped.
  std::string prepare() {
    if (geteuid() != 0) return "needs root to run as a throwaway user";
    for (const char* tool : OTHER_TOOLS) {
      if (toolInstalled(tool)) return std::string("a real ") + tool + " would be chosen first";
    }
    struct stat opt;
    if (stat("/opt", &opt) != 0 || opt.st_uid != 0 || (opt.st_mode & 0002) != 0) {
      return "/opt must exist, belong to root and not be writable by everyone";
    }
    if (systemJavaHome().empty() || !updaterProgram(&program_)) return "no JDK";
    chmod(scratch_.path().c_str(), 0755);
    for (const std::string& folder : {home(), records(), tools()}) fs::create_directories(folder);
    user_ = {"hvelevate", ELEVATE_USER_UID, ELEVATE_USER_GID, home()};
    writeFileBytes(passwd(), passwdText({user_}));
    chownTree(home(), user_.uid, user_.gid);
    chownTree(records(), user_.uid, user_.gid);
    pack();
    return "";
  }

  const TestUser& user() const { return user_; }
  const UpdaterProgram& program() const { return program_; }
  std::string master() const { return master_.path; }
  std::string home() const { return scratch_ / "home"; }
  std::string records() const { return scratch_ / "records"; }
  std::string tools() const { return scratch_ / "tools"; }
  std::string launcher() const { return scratch_ / "launcher"; }
  std::string passwd() const { return scratch_ / "passwd"; }

  // Turns the child into the user, in a private mount namespace with the test's passwd.
  std::function<bool()> asUser() const {
    return [this] {
      return usePrivatePasswd(passwd()) && setgroups(0, nullptr) == 0 && setgid(user_.gid) == 0 &&
             setuid(user_.uid) == 0 && chdir(home().c_str()) == 0;
    };
  }

  // The packed launcher as the user, with the fake tools first on PATH.
  DeadlineRun run(const std::vector<std::string>& args, const EnvChanges& extra,
                  DeadlineOptions options) const {
    std::vector<std::string> argv = {launcher()};
    argv.insert(argv.end(), args.begin(), args.end());
    EnvChanges env = {{"PATH", tools() + ":/usr/sbin:/usr/bin:/sbin:/bin"},
                      {"DISPLAY", std::nullopt},
                      {RELAUNCH_MARKER_ENV, std::nullopt},
                      {FIXTURE_JAVA_CALLS_ENV, records() + "/java-calls"},
                      {UPDATER_RESULT_ENV, records() + "/updater-result"}};
    env.insert(env.end(), extra.begin(), extra.end());
    options.prepare = asUser();
    return runWithDeadline(launcher(), argv, env, options);
  }

  // The packed launcher started by root itself, with the same environment.
  DeadlineRun runAsRoot(const EnvChanges& extra, DeadlineOptions options) const {
    EnvChanges env = {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"},
                      {"DISPLAY", std::nullopt},
                      {RELAUNCH_MARKER_ENV, std::nullopt},
                      {FIXTURE_JAVA_CALLS_ENV, records() + "/java-calls"},
                      {UPDATER_RESULT_ENV, records() + "/updater-result"}};
    env.insert(env.end(), extra.begin(), extra.end());
    return runWithDeadline(launcher(), {launcher()}, env, options);
  }

  // Installs the setuid-root runner as the tools' pkexec; "" when ready, else why the
  // test must be skipped.
  std::string useRootRunnerAsPkexec() const {
    // The runner serves the user alone, from a folder only root and the user reach.
    const std::string runner =
        installSetuidRunner(ROOT_RUNNER, scratch_ / "runner", user_.uid, user_.gid);
    if (runner.empty()) return std::string("cannot install the setuid runner: ") + strerror(errno);
    writeFileBytes(tools() + "/pkexec", "#!/bin/sh\nexec '" + runner + "' \"$@\"\n");
    chmod((tools() + "/pkexec").c_str(), 0755);
    DeadlineOptions probe;
    probe.prepare = asUser();
    const DeadlineRun check = runWithDeadline(runner, {runner, "--check"}, {}, probe);
    if (check.status == 0) return "";
    return "setuid root does not take effect here (no-new-privileges, or /tmp mounted "
           "nosuid): " +
           std::to_string(check.status) + " " + check.output;
  }

 private:
  void pack() {
    ASSERT_TRUE(buildRuntimeFixture(scratch_ / "jre"));
    ASSERT_TRUE(writePng(scratch_ / "splash.png",
                         rgbaPicture(20, 10, [](uint32_t, uint32_t) { return 0x208040ffu; })));
    hvpack::ParamsBlock params;
    params.pairs = {{"jre_name", INSTALLED_JRE_NAME}};
    hvpack::TailBlock tail;
    tail.header = installedTailHeader(app_);
    tail.header.installType = "perm_all";
    tail.header.updateUrl = hvpack::PLACEHOLDER_UPDATE_URL;
    hvpack::ArchiveBuilder entries;
    entries.file("lzma64", "lzma tool stand-in")
        .file("nativesplash.png", readFileBytes(scratch_ / "splash.png"))
        .folder("lib")
        .file("lib/updater.jar", readFileBytes(program_.jarPath))
        .file(hvpack::LAUNCH_FILE_NAME, updaterLaunchFile().bytes());
    if (online_) {
      tail.header.jreVersion = "";
      tail.header.skipSystemJre = "";
    } else {
      entries.nested("jre.p2.l2", runtimeArchive());
    }
    tail.entries = entries.bytes();
    hvpack::packLauncher(HV_LAUNCHER_PATH, launcher(), hvpack::wrapperTail(params, tail));
  }

  std::string runtimeArchive() {
    hvpack::ArchiveBuilder runtime;
    runtime.tree(scratch_ / "jre");
    if (withPack200_) runtime.pack200("lib/packed.jar", "packed by the runtime's own unpack200");
    return runtime.bytes();
  }

  bool withPack200_;
  bool online_;
  ScratchDir scratch_;
  std::string app_ = uniqueAppName();
  OptFolder master_{"/opt/Halvorin-" + app_};
  TestUser user_;
  UpdaterProgram program_;
};

// The whole road: the elevated prepare-only run installs as root, the relaunch launches.
TEST(ElevationInstall, PermAllInstallerElevatesInstallsUnderOptAndLaunchesAsTheUser) {
  PermAllInstaller installer;
  const std::string why = installer.prepare();
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_FALSE(::testing::Test::HasFailure());
  const TestUser& user = installer.user();
  const std::string tools = installer.tools(), records = installer.records();

  // pkexec: the setuid-root runner, which runs its command as root in a fresh environment.
  const std::string unusable = installer.useRootRunnerAsPkexec();
  if (!unusable.empty()) GTEST_SKIP() << unusable;

  const std::string result = records + "/updater-result";
  UpdaterResult updater;
  bool reported = false;
  DeadlineOptions options;
  // The elevated run and the relaunch take a few seconds together; a road that hangs
  // fails after this long.
  options.seconds = 30;
  options.afterExit = [&](int status) {
    if (status == 0) reported = waitForUpdaterResult(result, 30000, &updater);
  };
  const DeadlineRun run = installer.run({"x", "y z"}, {}, options);
  const std::string& out = run.output;
  ASSERT_FALSE(run.timedOut) << out;
  EXPECT_EQ(0, run.status) << out;

  // One elevation: the user's run elevates, the elevated run installs as root without
  // launching, the relaunch runs what was installed.
  EXPECT_EQ(1, countLinesStartingWith(out, "[SUDO] Elevation required.")) << out;
  EXPECT_EQ(
      "",
      missingInOrder(
          out, {"[Extractor] Unable to create QV Temp folder - assuming elevation required",
                "[SUDO] Found PKExec", "[SUDO] Elevate command is located at " + tools + "/pkexec",
                "[SUDO] ======      Launching elevated setup    ======",
                "[SUDO] Elevated setup complete",
                "[SUDO] ======      Relaunching post setup      ======",
                "[Extractor] Running without extraction now", "[SUDO] Relaunch complete"}))
      << out;
  EXPECT_EQ(1, countLinesStartingWith(out, "[Extractor] This is an elevated run")) << out;

  const std::string qv = installer.master() + "/" + INSTALLED_QV_FOLDER;
  const std::string jre = installer.master() + "/" + INSTALLED_JRE_FOLDER;
  EXPECT_EQ(0u, ownerOf(qv + "/" + hvpack::LAUNCH_FILE_NAME)) << "installed by the elevated run";
  EXPECT_EQ(0u, ownerOf(jre + "/bin/java"));
  EXPECT_EQ(readFileBytes(installer.program().jarPath), readFileBytes(qv + "/lib/updater.jar"));

  // The updater ran with the user's id and the launcher's own words.
  ASSERT_TRUE(reported) << out;
  EXPECT_EQ(user.uid, ownerOf(result));
  ASSERT_GE(updater.arguments.size(), 2u);
  EXPECT_EQ((std::vector<std::string>{"x", "y z"}),
            std::vector<std::string>(updater.arguments.end() - 2, updater.arguments.end()));
  EXPECT_EQ(1u, readFixtureCalls(records + "/java-calls").size()) << "one launch";

  // The road's picture folder in /tmp is gone.
  const std::string folder = elevationPictureFolder(out);
  ASSERT_NE("", folder) << out;
  EXPECT_FALSE(pathExists(folder)) << folder;
}

// Runs that reach the road and must not elevate: a relaunch (the marker in its
// environment) and a prepare-only run. Each ends with status 1 after a "[SUDO]" line; the
// recording pkexec on PATH is never called and nothing is installed.
struct NoElevationCase {
  const char* name;
  std::vector<std::string> args;
  EnvChanges env;
};

void PrintTo(const NoElevationCase& c, std::ostream* os) { *os << c.name; }

class NoSecondElevation : public ::testing::TestWithParam<NoElevationCase> {};

TEST_P(NoSecondElevation, StopsAtTheRoadWithASudoLine) {
  const NoElevationCase& c = GetParam();
  PermAllInstaller installer;
  const std::string why = installer.prepare();
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_FALSE(::testing::Test::HasFailure());
  const std::string calls = installer.records() + "/pkexec-calls";
  writeFileBytes(installer.tools() + "/pkexec",
                 "#!/bin/sh\necho \"$@\" >> '" + calls + "'\nexit 0\n");
  chmod((installer.tools() + "/pkexec").c_str(), 0755);

  // The run ends at the road within a fraction of a second; one that elevates again
  // (and again) fails after this long.
  DeadlineOptions options;
  options.seconds = 20;
  const DeadlineRun run = installer.run(c.args, c.env, options);
  const std::string& out = run.output;
  ASSERT_FALSE(run.timedOut) << out;
  EXPECT_EQ(1, run.status) << out;
  EXPECT_EQ(1, countLinesStartingWith(out, "[Extractor] QV temp is ")) << out;
  const std::vector<std::string> texts = logTexts(out);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(0u, texts.back().rfind("[SUDO] ", 0)) << out;
  EXPECT_FALSE(hasLine(out, "[SUDO] Elevation required.")) << out;
  EXPECT_FALSE(pathExists(calls)) << readFileBytes(calls);
  EXPECT_FALSE(pathExists(installer.master() + "/" + INSTALLED_QV_FOLDER));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoSecondElevation,
    ::testing::Values(
        NoElevationCase{"RelaunchMarkerInTheEnvironment", {"x"}, {{RELAUNCH_MARKER_ENV, "1"}}},
        NoElevationCase{"PrepareOnlyRun", {"x", "HVPREPARE_FOR_LAUNCH_ONLY"}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Root starts nothing another user planted ---------------------------------------

bool runAsOtherUser(const PermAllInstaller& installer, const std::string& script) {
  DeadlineOptions options;
  options.prepare = installer.asUser();
  return runWithDeadline("/bin/sh", {"sh", "-c", script}, {}, options).status == 0;
}

// Another local user's updater, version 99, in the open master folder an earlier shared
// layout left: its launch file adds "--planted" to the program's arguments, so the
// updater's result files tell whether it ran, and as whom.
bool plantUpdaterAsOtherUser(const PermAllInstaller& installer, const std::string& master) {
  const std::string stage = installer.records() + "/plant";
  fs::create_directories(stage);
  hvpack::LaunchFile planted = updaterLaunchFile();
  planted.extraArgs = {"--planted"};
  writeFileBytes(stage + "/" + hvpack::LAUNCH_FILE_NAME, planted.bytes());
  fs::copy_file(installer.program().jarPath, stage + "/updater.jar");
  chownTree(stage, installer.user().uid, installer.user().gid);
  const std::string folder = master + "/Halvorin-Halvorin-99-complete";
  const std::string script = "mkdir -p '" + folder + "/lib' && cp '" + stage + "/" +
                             hvpack::LAUNCH_FILE_NAME + "' '" + folder + "/' && cp '" + stage +
                             "/updater.jar' '" + folder + "/lib/'";
  return runAsOtherUser(installer, script) &&
         ownerOf(folder + "/lib/updater.jar") == installer.user().uid;
}

// "" when the planted updater left no result as root, else what it left.
std::string plantedRunAsRoot(const std::string& resultFile) {
  if (!pathExists(resultFile) || ownerOf(resultFile) != 0) return "";
  const std::string bytes = readFileBytes(resultFile);
  return bytes.find("--planted") == std::string::npos ? "" : resultFile + ": " + bytes;
}

struct PlantedCase {
  const char* name;
  bool online;  // the compatibility test of a system runtime, else the launch
  // Not null: the other user also writes the JreNameOverride file with this name.
  const char* jreNameOverride = nullptr;
};

void PrintTo(const PlantedCase& c, std::ostream* os) { *os << c.name; }

class RootRunOfSharedInstall : public ::testing::TestWithParam<PlantedCase> {};

// Root starts a "perm_all" installer over an open install where another user put an
// updater of a higher version: it installs, opens the shared layout and ends with status
// 0 without launching, and neither the launch nor the compatibility test of a system
// runtime runs the planted updater as root.
TEST_P(RootRunOfSharedInstall, StartsNothingAnotherUserPlanted) {
  const PlantedCase& c = GetParam();
  PermAllInstaller installer(false, c.online);
  const std::string why = installer.prepare();
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_FALSE(::testing::Test::HasFailure());
  const std::string master = installer.master();
  fs::create_directories(master);
  chmod(master.c_str(), 0777);
  ASSERT_TRUE(plantUpdaterAsOtherUser(installer, master));
  if (c.jreNameOverride != nullptr) {
    ASSERT_TRUE(runAsOtherUser(installer, "mkdir -p '" + master + "/HVApps' && printf '%s' '" +
                                              c.jreNameOverride + "' > '" + master +
                                              "/HVApps/JreNameOverride'"));
  }

  const std::string records = installer.records();
  EnvChanges env = {{UPDATER_COMPAT_RESULT_ENV, records + "/compat-result"}};
  if (c.online) {
    // A system runtime on PATH that passes every check.
    const std::string sys = records + "/sys";
    RuntimeFixtureOptions fixture;
    fixture.versionAnswer = "openjdk version \"17.0.15\" 2025-04-15";
    ASSERT_TRUE(buildRuntimeFixture(sys + "/jdk", fixture));
    fs::create_directories(sys + "/path");
    fs::create_symlink(sys + "/jdk/bin/java", sys + "/path/java");
    env.push_back({"PATH", sys + "/path:/usr/sbin:/usr/bin:/sbin:/bin"});
  }
  DeadlineOptions options;
  options.seconds = 60;
  // A launch leaves the updater starting in the run's group: its report is waited for
  // before the group ends. The launcher writes a launch-properties file before it, as
  // before the compatibility test (which it waits for).
  options.afterExit = [&](int) {
    int written = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(master, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->path().filename().string().rfind("HVLaunchProperties-", 0) == 0) ++written;
    }
    UpdaterResult ignored;
    if (written > (c.online ? 1 : 0)) waitForUpdaterResult(records + "/updater-result", 30000, &ignored);
  };
  const DeadlineRun run = installer.runAsRoot(env, options);
  const std::string& out = run.output;
  ASSERT_FALSE(run.timedOut) << out;
  EXPECT_EQ(0, run.status) << out;
  EXPECT_EQ("", plantedRunAsRoot(records + "/updater-result")) << out;
  EXPECT_EQ("", plantedRunAsRoot(records + "/compat-result")) << out;
  EXPECT_FALSE(pathExists(records + "/updater-result")) << "launched as root\n" << out;
  EXPECT_EQ(1, countLinesStartingWith(
                   out, "[Extractor] This install is shared by every user: it is not started as root"))
      << out;
  const std::vector<std::string> texts = logTexts(out);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ("[Extractor] This install is shared by every user: it is not started as root",
            texts.back());
  if (c.jreNameOverride != nullptr) {
    EXPECT_EQ(1, countLinesStartingWith(out, std::string("[JREOverride] Ignoring JRE name ") +
                                                 c.jreNameOverride))
        << out;
    EXPECT_TRUE(pathExists(master + "/" + INSTALLED_JRE_FOLDER)) << out;
    EXPECT_TRUE(pathExists(master + "/" + INSTALLED_QV_FOLDER + "/" + hvpack::LAUNCH_FILE_NAME));
  }
  if (c.online) {
    EXPECT_TRUE(hasLine(out, "[JRESearch] JRE is valid, copying...")) << out;
    EXPECT_TRUE(pathExists(records + "/compat-result")) << "the test ran this run's updater";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RootRunOfSharedInstall,
                         ::testing::Values(PlantedCase{"Launch", false},
                                           PlantedCase{"SystemRuntimeCompatibilityTest", true},
                                           // The runtime would go into the updater's
                                           // name, version 17 above the updater's 12.
                                           PlantedCase{"JreNameOverrideNamingTheUpdater", false,
                                                       "Halvorin"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Taken temporary names are no reason to elevate ----------------------------------

constexpr uid_t NAME_TAKER_UID = 47216;

// As another user, makes every temporary folder name a run could try in the next
// `seconds` seconds: for each second the counts around the entry count the folder will
// have then, and the 10,000 after it. false when a name could not be made.
bool takeTempNamesAsOtherUser(const std::string& master, int seconds) {
  constexpr long BELOW = 50, ABOVE = 10050;  // the run's count lands within [c-50, c+50]
  const long now = static_cast<long>(time(nullptr));
  const long planted = seconds * (BELOW + ABOVE + 1);
  const long first = static_cast<long>(folderNames(master).size()) + 2 + planted - BELOW;
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(ELEVATE_USER_GID) != 0 || setuid(NAME_TAKER_UID) != 0) _exit(2);
    for (long s = now; s < now + seconds; ++s) {
      for (long count = first; count <= first + BELOW + ABOVE; ++count) {
        const std::string name = master + "/HalvorinTemp-" + std::to_string(s) + "-" +
                                 std::to_string(count) + "-app";
        const int fd = open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
        if (fd < 0) _exit(3);
        close(fd);
      }
    }
    _exit(0);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// In an open shared install another user has made every name the user's run could pick
// for its QV temp folder: the run ends with status 1 naming the cause, and never asks
// for root (which would close the install to everyone meanwhile).
TEST(SharedInstallByUser, TakenTempNamesEndTheRunWithoutElevating) {
  PermAllInstaller installer;
  const std::string why = installer.prepare();
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_FALSE(::testing::Test::HasFailure());
  const std::string calls = installer.records() + "/pkexec-calls";
  writeFileBytes(installer.tools() + "/pkexec",
                 "#!/bin/sh\necho \"$@\" >> '" + calls + "'\nexit 0\n");
  chmod((installer.tools() + "/pkexec").c_str(), 0755);
  const std::string master = installer.master();
  for (const std::string& folder : {master, master + "/logs", master + "/HVAppsSharedConfig"}) {
    fs::create_directories(folder);
    chmod(folder.c_str(), 0777);
  }
  // The run names its folder within seconds of this; the names cover a loaded machine's
  // slower planting and start too.
  ASSERT_TRUE(takeTempNamesAsOtherUser(master, 20));

  DeadlineOptions options;
  options.seconds = 30;
  const DeadlineRun run = installer.run({"x"}, {}, options);
  const std::string& out = run.output;
  ASSERT_FALSE(run.timedOut) << out;
  EXPECT_EQ(1, run.status) << out;
  EXPECT_EQ(1, countLinesStartingWith(out, "[Extractor] Cannot create folder " + master +
                                               "/HalvorinTemp-"))
      << out;
  EXPECT_TRUE(hasLine(out, "[Extractor] Unable to create QV Temp folder, and not for lack of "
                           "rights: cannot continue"))
      << out;
  EXPECT_NE(std::string::npos, out.find(": File exists")) << out;
  EXPECT_FALSE(hasLine(out, "[SUDO] Elevation required.")) << out;
  EXPECT_FALSE(pathExists(calls)) << readFileBytes(calls);
}

// ---- A shared install while root works in it ----------------------------------------

mode_t modeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The tree's folders, top first; links are not followed.
std::vector<std::string> foldersIn(const std::string& top) {
  std::vector<std::string> folders = {top};
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(top, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) folders.push_back(it->path());
  }
  return folders;
}

// The attack of another local user: a file planted in every folder, and the runtime's
// java swapped for one of theirs. The output names each step that worked ("" when none).
std::string attackAsUser(const TestUser& user, const std::vector<std::string>& folders,
                         const std::string& java) {
  const std::string script =
      "for d in \"$@\"; do { true > \"$d/hv-planted\"; } 2>/dev/null && echo \"planted in $d\"; done\n"
      "mv -f '" + java + "' '" + java + ".theirs' 2>/dev/null && echo 'swapped " + java + "'\n";
  std::vector<std::string> argv = {"sh", "-c", script, "sh"};
  argv.insert(argv.end(), folders.begin(), folders.end());
  DeadlineOptions options;
  options.prepare = [&user] {
    return setgroups(0, nullptr) == 0 && setgid(user.gid) == 0 && setuid(user.uid) == 0;
  };
  return runWithDeadline("/bin/sh", argv, {}, options).output;
}

// A "perm_all" install made by root: the elevated prepare-only run of a user's installer,
// or root starting the installer itself over an install left open by an earlier one.
struct RootRunCase {
  const char* name;
  bool rootStartsIt;
};

void PrintTo(const RootRunCase& c, std::ostream* os) { *os << c.name; }

class SharedInstallByRoot : public ::testing::TestWithParam<RootRunCase> {};

// While root works (held in the runtime's unpack200) no folder of the install is open to
// other users and the throwaway user can neither plant a file nor swap the java root
// runs; at its end the install has the shared layout, modes found before given back.
TEST_P(SharedInstallByRoot, WorksClosedToOthersThenOpensTheSharedLayout) {
  const RootRunCase& c = GetParam();
  PermAllInstaller installer(true);
  std::string why = installer.prepare();
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_FALSE(::testing::Test::HasFailure());
  if (!c.rootStartsIt) {
    why = installer.useRootRunnerAsPkexec();
    if (!why.empty()) GTEST_SKIP() << why;
  }
  const std::string master = installer.master();
  const std::string oldQv = master + "/Halvorin-Halvorin-11-complete";
  if (c.rootStartsIt) {
    // The shared layout of an earlier install, with one folder its updater closed.
    fs::create_directories(oldQv + "/lib");
    fs::create_directories(master + "/logs");
    fs::create_directories(master + "/HVApps");
    writeFileBytes(oldQv + "/old.txt", "old");
    for (const std::string& folder : {master, master + "/logs", oldQv, oldQv + "/lib"}) {
      chmod(folder.c_str(), 0777);
    }
    chmod((oldQv + "/old.txt").c_str(), 0666);
    chmod((master + "/HVApps").c_str(), 0755);
  }
  const std::string hold = installer.records() + "/unpack200-hold";
  const std::string calls = installer.records() + "/unpack200-calls";
  writeFileBytes(hold, "");
  const EnvChanges env = {{FIXTURE_UNPACK200_HOLD_ENV, hold}, {FIXTURE_UNPACK200_CALLS_ENV, calls}};

  std::atomic<bool> ended{false};
  bool held = false;
  std::vector<std::string> openFolders;
  std::string attack, unpackProgram;
  std::thread watcher([&] {
    while (!ended.load() && !held) {
      held = !readFixtureCalls(calls).empty();
      if (!held) usleep(20000);
    }
    if (held) {
      const std::vector<std::string> folders = foldersIn(master);
      for (const std::string& folder : folders) {
        if ((modeOf(folder) & 0022) != 0) openFolders.push_back(folder);
      }
      const std::vector<std::string> call = readFixtureCalls(calls).front();
      unpackProgram = call.front();
      const fs::path runtime = fs::path(unpackProgram).parent_path().parent_path();
      attack = attackAsUser(installer.user(), folders, runtime / "bin/java");
    }
    remove(hold.c_str());
  });
  DeadlineOptions options;
  // The run takes a few seconds; one whose pipeline hangs fails after this long.
  options.seconds = 40;
  const DeadlineRun run =
      c.rootStartsIt ? installer.runAsRoot(env, options) : installer.run({}, env, options);
  ended = true;
  watcher.join();
  const std::string& out = run.output;
  ASSERT_FALSE(run.timedOut) << out;
  EXPECT_EQ(0, run.status) << out;
  ASSERT_TRUE(held) << "unpack200 never ran\n" << out;

  EXPECT_EQ(std::vector<std::string>{}, openFolders) << "open to others while root works";
  EXPECT_EQ("", attack);
  EXPECT_EQ(0u, unpackProgram.rfind(master + "/HalvorinTemp-", 0)) << unpackProgram;
  EXPECT_EQ(c.rootStartsIt ? 1 : 0,
            countLinesStartingWith(
                out, "[ChMod] Closing " + master + " to other users while this run works"))
      << out;
  EXPECT_EQ(1, countLinesStartingWith(
                   out, "[ChMod] Opening " + master + " to all users as the shared layout has it"))
      << out;

  // The shared layout: every folder and the programs open to all, as found before.
  const std::string qv = master + "/" + INSTALLED_QV_FOLDER;
  const std::string jre = master + "/" + INSTALLED_JRE_FOLDER;
  EXPECT_EQ(readFileBytes(jre + "/lib/packed.jar"), "packed by the runtime's own unpack200");
  for (const std::string& folder : foldersIn(master)) {
    const bool closedBefore = folder == master + "/HVApps";
    EXPECT_EQ(closedBefore ? 0755u : 0777u, modeOf(folder)) << folder;
  }
  EXPECT_EQ(0777u, modeOf(qv + "/lzma64"));
  EXPECT_EQ(0777u, modeOf(jre + "/bin/unpack200"));
  EXPECT_EQ(0755u, modeOf(jre + "/bin/java"));
  EXPECT_EQ(0644u, modeOf(qv + "/" + hvpack::LAUNCH_FILE_NAME));
  if (c.rootStartsIt) {
    EXPECT_EQ(0666u, modeOf(oldQv + "/old.txt"));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SharedInstallByRoot,
                         ::testing::Values(RootRunCase{"ElevatedPrepareOnlyRun", false},
                                           RootRunCase{"RootStartsTheInstaller", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
