// A system-wide install end to end: a "perm_all" installer started by a throwaway user
// who may not write "/opt" takes the elevation road; a fake pkexec first on PATH runs the
// elevated prepare-only run as root through a setuid-root runner, which installs into
// "/opt/Halvorin-<unique name>"; the unelevated relaunch then takes the run road and
// starts the real Java updater with the user's id. The test removes what it installed.
#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
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
#include "tests/support/test_user.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t ELEVATE_USER_UID = 47215;
constexpr gid_t ELEVATE_USER_GID = 100;
const char PLACEHOLDER_URL[] = "http://0.0.0.0:80/";
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

TEST(ElevationInstall, PermAllInstallerElevatesInstallsUnderOptAndLaunchesAsTheUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a setuid-root runner";
  for (const char* tool : OTHER_TOOLS) {
    if (toolInstalled(tool)) GTEST_SKIP() << "a real " << tool << " would be chosen before pkexec";
  }
  struct stat opt;
  if (stat("/opt", &opt) != 0 || opt.st_uid != 0 || (opt.st_mode & 0002) != 0) {
    GTEST_SKIP() << "/opt must exist, belong to root and not be writable by everyone";
  }
  UpdaterProgram program;
  ASSERT_FALSE(systemJavaHome().empty()) << "no JDK";
  ASSERT_TRUE(updaterProgram(&program));

  ScratchDir scratch;
  chmod(scratch.path().c_str(), 0755);
  const std::string home = scratch / "home", records = scratch / "records",
                    tools = scratch / "tools", launcher = scratch / "launcher";
  fs::create_directories(home);
  fs::create_directories(records);
  fs::create_directories(tools);
  const TestUser user = {"hvelevate", ELEVATE_USER_UID, ELEVATE_USER_GID, home};
  const std::string passwd = scratch / "passwd";
  writeFileBytes(passwd, passwdText({user}));
  chownTree(home, user.uid, user.gid);
  chownTree(records, user.uid, user.gid);
  auto asUser = [&] {
    return usePrivatePasswd(passwd) && setgroups(0, nullptr) == 0 && setgid(user.gid) == 0 &&
           setuid(user.uid) == 0 && chdir(home.c_str()) == 0;
  };

  // pkexec: the setuid-root runner, which runs its command as root in a fresh environment.
  const std::string runner = tools + "/root_runner";
  fs::copy_file(ROOT_RUNNER, runner);
  chown(runner.c_str(), 0, 0);
  chmod(runner.c_str(), 04755);
  writeFileBytes(tools + "/pkexec", "#!/bin/sh\nexec '" + runner + "' \"$@\"\n");
  chmod((tools + "/pkexec").c_str(), 0755);
  DeadlineOptions probe;
  probe.prepare = asUser;
  const DeadlineRun check = runWithDeadline(runner, {runner, "--check"}, {}, probe);
  if (check.status != 0) {
    GTEST_SKIP() << "setuid root does not take effect here (no-new-privileges, or /tmp "
                    "mounted nosuid): "
                 << check.status << " " << check.output;
  }

  // The installer: picture, Quorvane, runtime; no application, no update site.
  const std::string app = uniqueAppName();
  const OptFolder master("/opt/Halvorin-" + app);
  ASSERT_TRUE(buildRuntimeFixture(scratch / "jre"));
  ASSERT_TRUE(writePng(scratch / "splash.png",
                       rgbaPicture(20, 10, [](uint32_t, uint32_t) { return 0x208040ffu; })));
  hvpack::ParamsBlock params;
  params.pairs = {{"jre_name", INSTALLED_JRE_NAME}};
  hvpack::TailBlock tail;
  tail.header = installedTailHeader(app);
  tail.header.installType = "perm_all";
  tail.header.updateUrl = PLACEHOLDER_URL;
  tail.entries = hvpack::ArchiveBuilder()
                     .file("lzma64", "lzma tool stand-in")
                     .file("nativesplash.png", readFileBytes(scratch / "splash.png"))
                     .folder("lib")
                     .file("lib/updater.jar", readFileBytes(program.jarPath))
                     .file(hvpack::LAUNCH_FILE_NAME, updaterLaunchFile().bytes())
                     .nested("jre.p2.l2", hvpack::ArchiveBuilder().tree(scratch / "jre").bytes())
                     .bytes();
  hvpack::packLauncher(HV_LAUNCHER_PATH, launcher, hvpack::wrapperTail(params, tail));

  const std::string result = records + "/updater-result";
  UpdaterResult updater;
  bool reported = false;
  DeadlineOptions options;
  options.seconds = 180;
  options.prepare = asUser;
  options.afterExit = [&](int status) {
    if (status == 0) reported = waitForUpdaterResult(result, 30000, &updater);
  };
  const DeadlineRun run = runWithDeadline(launcher, {launcher, "x", "y z"},
                                          {{"PATH", tools + ":/usr/sbin:/usr/bin:/sbin:/bin"},
                                           {"DISPLAY", std::nullopt},
                                           {RELAUNCH_MARKER_ENV, std::nullopt},
                                           {FIXTURE_JAVA_CALLS_ENV, records + "/java-calls"},
                                           {UPDATER_RESULT_ENV, result}},
                                          options);
  const std::string& out = run.output;
  if (hasLine(out,
              "[Extractor] Not built yet: name the QV and APP folders and create QV temp "
              "(or elevate)")) {
    GTEST_SKIP() << "the extract road does not reach the elevation road yet";
  }
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

  const std::string qv = master.path + "/" + INSTALLED_QV_FOLDER;
  const std::string jre = master.path + "/" + INSTALLED_JRE_FOLDER;
  EXPECT_EQ(0u, ownerOf(qv + "/" + hvpack::LAUNCH_FILE_NAME)) << "installed by the elevated run";
  EXPECT_EQ(0u, ownerOf(jre + "/bin/java"));
  EXPECT_EQ(readFileBytes(program.jarPath), readFileBytes(qv + "/lib/updater.jar"));

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

}  // namespace
