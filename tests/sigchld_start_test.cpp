// The launcher started with SIGCHLD ignored (a parent may leave it so, and an ignored
// signal survives exec): the kernel would reap each child at once and every wait for
// one would fail, so a road that goes by its children's status must still see it. The
// online road with a compatible `java` on PATH waits for the compatibility test and for
// the copy of the runtime; a status not seen would leave the runtime to the download.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "launcher/runtime_setup.h"
#include "tests/support/installed_home.h"
#include "tests/support/log_lines.h"
#include "tests/support/png_writer.h"

namespace fs = std::filesystem;

namespace {

const char APP[] = "SigchldIgnoredApp";
const char COPIED_FOLDER[] = "Halvorin-jre17-00000000000-complete";

std::string splashPng() {
  ScratchDir dir;
  const std::string path = dir / "splash.png";
  writePng(path, rgbaPicture(8, 8, [](uint32_t, uint32_t) { return 0x404040ffu; }));
  return readFileBytes(path);
}

// lzma64, the splash picture and the Quorvane's three entries; no runtime, no application. The placeholder
// update URL skips the version file, so no site is asked.
hvpack::TailBlock onlineTail(const UpdaterProgram& program) {
  hvpack::TailBlock tail;
  tail.header = installedTailHeader(APP);
  tail.header.jreVersion = "";
  tail.header.minSplashMs = "0";
  tail.header.requiredJavaVersion = "8";
  tail.header.updateUrl = PLACEHOLDER_UPDATE_URL;
  tail.header.skipSystemJre = "";
  tail.entries = hvpack::ArchiveBuilder()
                     .file("lzma64", "lzma stand-in")
                     .file("nativesplash.png", splashPng())
                     .file(hvpack::LAUNCH_FILE_NAME, updaterLaunchFile().bytes())
                     .folder("lib")
                     .file("lib/updater.jar", readFileBytes(program.jarPath))
                     .bytes();
  return tail;
}

// The packed launcher moves to "<launcher>.image"; at its path stands the tool that
// starts it with SIGCHLD ignored.
bool startWithSigchldIgnored(const InstalledHome& home) {
  std::error_code error;
  fs::rename(home.launcher(), home.launcher() + ".image", error);
  if (error) return false;
  fs::copy_file(std::string(HV_BIN_DIR) + "/sigchld_ignored", home.launcher(), error);
  return !error && chmod(home.launcher().c_str(), 0755) == 0;
}

TEST(StartedWithSigchldIgnored, CompatibleJavaOnPathIsStillCopiedAndUsed) {
  InstalledHome home(APP);
  UpdaterProgram program;
  ASSERT_TRUE(home.ready() && updaterProgram(&program)) << "no JDK for the fixture runtime";
  const std::string sysHome = home.home() + "/sys/openjdk";
  RuntimeFixtureOptions fixture;
  fixture.versionAnswer = "openjdk version \"17.0.15\" 2025-04-15";
  ASSERT_TRUE(buildRuntimeFixture(sysHome, fixture));
  const std::string pathDir = home.home() + "/sys/path";
  fs::create_directories(pathDir);
  fs::create_symlink(sysHome + "/bin/java", pathDir + "/java");
  hvpack::ParamsBlock params;
  params.pairs = {{"jre_name", INSTALLED_JRE_NAME}, {"show_no_ui", "true"}};
  home.pack(params, onlineTail(program));
  ASSERT_TRUE(startWithSigchldIgnored(home));

  const LauncherRun run =
      home.run({"x"}, true, {{"PATH", pathDir + ":/usr/local/bin:/usr/bin:/bin"}});
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  EXPECT_TRUE(run.reported) << out;
  EXPECT_EQ("", missingInOrder(out, {"[Extractor] Online installer - no stored JRE, will check "
                                     "for compatible system JRE",
                                     "[JRESearch] JRE is valid, copying...",
                                     "[Extractor] Renamed JRE folder to " +
                                         home.inMaster(COPIED_FOLDER)}))
      << out;
  EXPECT_EQ(0, countLinesStartingWith(out, "[Spawner] Waiting for pid:")) << out;
  EXPECT_EQ(0, countLinesStartingWith(out, "[JREDownload] Failed to pick up")) << out;
  EXPECT_TRUE(fs::is_directory(home.inMaster(COPIED_FOLDER))) << out;
}

}  // namespace
