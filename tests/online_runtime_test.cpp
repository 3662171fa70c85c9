// The online road end to end: a packed online installer (no runtime in its tail) runs as a
// throwaway user with a local HTTP server on 127.0.0.1 as its update site. It downloads
// the version file and the signed runtime archive, or copies a compatible `java` of the
// test's own found on PATH, installs the runtime and launches the updater in a real JVM;
// every broken answer of the site ends the run with status 1 and no complete runtime.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/wait_limits.h"
#include "launcher/runtime_setup.h"
#include "tests/support/http_test_server.h"
#include "tests/support/installed_home.h"
#include "tests/support/log_lines.h"
#include "tests/support/png_writer.h"
#include "tests/support/signer.h"
#include "tests/support/xvfb_server.h"

// Last: the X11 headers define None, which gtest and the helpers use as a name.
#include "splash/splash_tiles.h"
#include "splash/x11.h"

namespace fs = std::filesystem;

namespace {

const char APP[] = "OnlineApp";
const char SITE[] = "/site";
const char VERSION_PATH[] = "/site/Halvorin-jre17-version.txt";
const char CLOSING[] = "[Utils] Closing logging file.";
const char COPIED_FOLDER[] = "Halvorin-jre17-00000000000-complete";
constexpr int KEY_BITS = 2048;

std::string archivePath(const std::string& version) {
  return std::string(SITE) + "/Halvorin-" + INSTALLED_JRE_NAME + "-" + version + "-archive.p2.l2";
}

uint64_t nowMillis() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// The runtime archive as the update site serves it: the fixture runtime's tree as an
// ArchiveStream, signed or not, one byte changed after signing when tampered, in .xz.
enum class Signing { Signed, Unsigned, Tampered };

std::string runtimeArchive(Signing signing) {
  ScratchDir dir;
  if (!buildRuntimeFixture(dir / "jre")) return "";
  hvpack::ArchiveBuilder builder;
  builder.tree(dir / "jre");
  std::string stream =
      signing == Signing::Unsigned ? builder.bytes() : builder.signedBytes(KEY_BITS);
  if (signing == Signing::Tampered) {
    const size_t at = stream.find(FIXTURE_CACERTS);
    if (at == std::string::npos) return "";
    stream[at] ^= 0x20;
  }
  return hvpack::xzCompress(stream);
}

std::string splashPng() {
  ScratchDir dir;
  const std::string path = dir / "splash.png";
  writePng(path, rgbaPicture(120, 60, [](uint32_t x, uint32_t y) {
             return (x * 2) << 24 | (y * 4) << 16 | 0x4000u | 0xff;
           }));
  return readFileBytes(path);
}

struct OnlineOptions {
  std::string updateUrl;  // the tail's
  std::string skip = "1";
  bool key = true;
  bool silent = true;
};

hvpack::ParamsBlock onlineParams(bool silent) {
  hvpack::ParamsBlock p;
  p.pairs = {{"jre_name", INSTALLED_JRE_NAME}};
  if (silent) p.pairs.push_back({"show_no_ui", "true"});
  return p;
}

// lzma64, the splash picture and the Quorvane's three entries; no runtime, no application.
hvpack::TailBlock onlineTail(const OnlineOptions& options, const UpdaterProgram& program) {
  hvpack::TailBlock tail;
  tail.header = installedTailHeader(APP);
  tail.header.jreVersion = "";
  tail.header.minSplashMs = "0";
  tail.header.requiredJavaVersion = "8";
  tail.header.updateUrl = options.updateUrl;
  tail.header.skipSystemJre = options.skip;
  tail.header.signaturePublicKey = options.key ? Signer_publicKeyHex(KEY_BITS) : "";
  tail.entries = hvpack::ArchiveBuilder()
                     .file("lzma64", "lzma stand-in")
                     .file("nativesplash.png", splashPng())
                     .file(hvpack::LAUNCH_FILE_NAME, updaterLaunchFile().bytes())
                     .folder("lib")
                     .file("lib/updater.jar", readFileBytes(program.jarPath))
                     .bytes();
  return tail;
}

// Folders of the master folder that hold a runtime named jre17, complete or not.
std::vector<std::string> runtimeFolders(const InstalledHome& home) {
  std::vector<std::string> found;
  for (const std::string& name : folderNames(home.master())) {
    if (name.rfind(std::string("Halvorin-") + INSTALLED_JRE_NAME + "-", 0) == 0) {
      found.push_back(name);
    }
  }
  return found;
}

// A site and a home with the packed installer in it.
struct OnlineSetup {
  explicit OnlineSetup(const OnlineOptions& base = {}) : home(APP), options(base) {
    ready = home.ready() && updaterProgram(&program) && server.start();
    if (options.updateUrl.empty()) options.updateUrl = server.url(SITE);
  }
  void pack() { home.pack(onlineParams(options.silent), onlineTail(options, program)); }
  LauncherRun run(const std::vector<std::string>& args, bool waitForLaunch,
                  EnvironmentList env = {}) {
#if defined(__SANITIZE_THREAD__)
    // A fatal end inside a download leaves the pipeline's stage threads unjoined by
    // design: no thread leak.
    env.push_back({"TSAN_OPTIONS", "halt_on_error=1 report_thread_leaks=0"});
#endif
    return home.run(args, waitForLaunch, env);
  }
  void serveRuntime(const std::string& version, Signing signing = Signing::Signed) {
    HttpPlan plan;
    plan.body = version + "\n";
    server.serve(VERSION_PATH, plan);
    plan.body = runtimeArchive(signing);
    server.serve(archivePath(version), plan);
  }

  InstalledHome home;
  OnlineOptions options;
  HttpTestServer server;
  UpdaterProgram program;
  bool ready = false;
};

// The console's download bar: each drawing (between carriage returns) is a percentage in
// three columns and 40 columns of '=' then ' ' between the brackets.
void expectBarsExact(const std::string& output) {
  int bars = 0;
  bool full = false;
  size_t at = 0;
  while ((at = output.find("% [", at)) != std::string::npos) {
    ASSERT_GE(at, 3u);
    const size_t end = output.find('\r', at);
    ASSERT_NE(std::string::npos, end) << "a bar without its carriage return";
    const std::string drawing = output.substr(at - 3, end - at + 3);
    const std::string number = drawing.substr(0, 3);
    const std::string inside = drawing.substr(6, drawing.size() - 7);
    ASSERT_EQ(47u, drawing.size()) << "[" << drawing << "]";
    ASSERT_EQ(']', drawing.back()) << drawing;
    ASSERT_NE(std::string::npos, number.find_first_of("0123456789")) << drawing;
    const size_t digits = number.find_first_not_of(' ');
    ASSERT_EQ(std::string::npos, number.find_first_not_of("0123456789", digits)) << drawing;
    const size_t filled = inside.find_first_not_of('=');
    const size_t equals = filled == std::string::npos ? inside.size() : filled;
    ASSERT_EQ(std::string::npos, inside.find_first_not_of(' ', equals)) << drawing;
    // The percentage is rounded for print, the '=' count from the exact fraction: they
    // agree within half a percent of 40 columns plus half a column.
    const double percent = std::stod(number);
    EXPECT_NEAR(percent * 40 / 100, static_cast<double>(equals), 0.2 + 0.5 + 1e-9) << drawing;
    full = full || drawing == "100% [========================================]";
    ++bars;
    at = end;
  }
  EXPECT_GT(bars, 0);
  EXPECT_TRUE(full) << "the bar reaches 100 %";
}

// ---- The download road installs and launches ---------------------------------------------

TEST(OnlineDownload, InstallsTheSignedRuntimeAndLaunches) {
  OnlineSetup setup;
  ASSERT_TRUE(setup.ready) << setup.server.why();
  setup.serveRuntime("17");
  setup.pack();
  const uint64_t before = nowMillis();
  const LauncherRun run = setup.run({"x"}, true);
  const uint64_t after = nowMillis();
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  EXPECT_TRUE(run.reported) << out;
  EXPECT_EQ(std::vector<std::string>{INSTALLED_JRE_FOLDER}, runtimeFolders(setup.home));
  const std::string jre = setup.home.inMaster(INSTALLED_JRE_FOLDER);
  EXPECT_EQ(FIXTURE_CACERTS, readFileBytes(jre + "/lib/security/cacerts"));
  EXPECT_TRUE(pathExists(jre + "/lib/server/classes.jsa")) << "the class-data dump ran";
  for (const std::string& name : folderNames(setup.home.master())) {
    EXPECT_NE(0u, name.rfind("HalvorinTemp-", 0)) << name;
  }
  ASSERT_FALSE(run.calls.empty());
  EXPECT_EQ(0u, run.calls.back().at(0).rfind(jre + "/bin/", 0)) << run.calls.back().at(0);

  // The version file once, with a fresh cache buster; the archive without one.
  const std::vector<std::string> targets = setup.server.targets();
  ASSERT_EQ(2u, targets.size());
  const std::string prefix = std::string(VERSION_PATH) + "?time=";
  ASSERT_EQ(0u, targets[0].rfind(prefix, 0)) << targets[0];
  const std::string millis = targets[0].substr(prefix.size());
  ASSERT_TRUE(!millis.empty() && millis.find_first_not_of("0123456789") == std::string::npos)
      << millis;
  EXPECT_GE(std::stoull(millis), before);
  EXPECT_LE(std::stoull(millis), after);
  EXPECT_EQ(archivePath("17"), targets[1]);

  const std::string local =
      setup.home.inMaster(INSTALLED_QV_FOLDER) + "/Halvorin-jre17-version.txt";
  EXPECT_EQ(
      "", missingInOrder(
              out, {"+++ Start: Setting up online JRE",
                    "[Extractor] Online installer - no stored JRE. Skipping system JRE.",
                    "[JREDownload] Failed to pick up any existing system JRE, will download",
                    "[JREDownload] Fetching JRE Version from " + setup.server.url(targets[0]),
                    "[JREDownload] Saving into " + local,
                    "[JREDownload] JRE version downloaded OK [" + local + "]",
                    "[JREDownload] JRE Version is 17", "[JREDownload] Regenerating jsa...",
                    "[JREDownload] Downloaded JRE is now ready.",
                    "[JREDownload] Finalising setup of new JRE 17",
                    "--- End: Setting up online JRE", "[Extractor] Renamed JRE folder to " + jre}))
      << out;
  EXPECT_EQ(1, countLinesStartingWith(out, "[JREDownload] Extracting JRE archive to " +
                                               setup.home.master() + "/HalvorinTemp-"));
  EXPECT_EQ(0, countLinesStartingWith(out, "[JRESearch]")) << "skipped: no search";
  EXPECT_EQ(0, countLinesStartingWith(out, "[JavaCheck]"));
  EXPECT_TRUE(hasLine(run.logFile, "[JREDownload] Downloaded JRE is now ready."))
      << "no compatibility test ran, so the log file is still open";
  expectBarsExact(out);
}

// A class-data dump that hangs is killed at its limit; the runtime is installed without its
// archive and launched all the same.
TEST(OnlineDownload, HungClassDataDumpIsKilledAndTheRoadGoesOn) {
  OnlineSetup setup;
  ASSERT_TRUE(setup.ready) << setup.server.why();
  setup.serveRuntime("17");
  setup.pack();
  const LauncherRun run =
      setup.run({"x"}, true, {{FIXTURE_DUMP_SLEEP_ENV, "60"}, {WAIT_LIMIT_ENV, "3"}});
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  EXPECT_TRUE(run.reported) << out;
  EXPECT_EQ(std::vector<std::string>{INSTALLED_JRE_FOLDER}, runtimeFolders(setup.home));
  const std::string jre = setup.home.inMaster(INSTALLED_JRE_FOLDER);
  EXPECT_FALSE(pathExists(jre + "/lib/server/classes.jsa")) << "the dump was cut short";
  const std::string java =
      lineAfter(out, "[JREDownload] Extracting JRE archive to ") + "/bin/java";
  EXPECT_EQ("", missingInOrder(out, {"[JREDownload] Regenerating jsa...",
                                     "[Spawner] " + java +
                                         " ran past its limit of 3 seconds and was killed",
                                     "[JREDownload] Downloaded JRE is now ready."}))
      << out;
}

// ---- Broken answers of the site -----------------------------------------------------------

struct SiteCase {
  const char* name;
  std::function<void(OnlineSetup&)> serve;
  std::string line;  // a log text of the failure
  // The tail carries the key: an archive that arrived whole but is no signed one then
  // ends the run inside its extraction, before the road's own failure line.
  bool key;
};

HttpPlan page(int status, const std::string& body, const std::string& headers = "") {
  HttpPlan plan;
  plan.status = status;
  plan.body = body;
  plan.headers = headers;
  return plan;
}

const std::string VERSION_FAILED = "[JREDownload] Failed to download JRE version file";
const std::string ARCHIVE_FAILED = "[JREDownload] Failed to download and extract JRE archive.";
const std::string NO_VERSION = "[JREDownload] Failed to detect or download a JRE (no jre version)";

// The runtime served under "17", with the version file's answer replaced.
std::function<void(OnlineSetup&)> versionAnswer(const HttpPlan& plan) {
  return [plan](OnlineSetup& s) {
    s.serveRuntime("17");
    s.server.serve(VERSION_PATH, plan);
  };
}
// The version file says 17; the archive's answer is replaced.
std::function<void(OnlineSetup&)> archiveAnswer(const HttpPlan& plan) {
  return [plan](OnlineSetup& s) {
    s.serveRuntime("17");
    s.server.serve(archivePath("17"), plan);
  };
}

const std::string UNVERIFIED =
    "[Unarchiver] ERROR - unable to verify signature of hash of archive.";

HttpPlan silentAnswer() {
  HttpPlan plan;
  plan.silent = true;
  return plan;
}
// A version file without end: "17" lines sent over and over, no length announced.
HttpPlan endlessAnswer() {
  HttpPlan plan;
  for (int i = 0; i < 1000; ++i) plan.body += "17\n";
  plan.endless = true;
  return plan;
}
// The runtime archive, its transfer changed by change.
std::function<void(OnlineSetup&)> archiveTransfer(const std::function<void(HttpPlan&)>& change) {
  return [change](OnlineSetup& s) {
    s.serveRuntime("17");
    HttpPlan plan;
    plan.body = runtimeArchive(Signing::Signed);
    change(plan);
    s.server.serve(archivePath("17"), plan);
  };
}

const SiteCase SITE_CASES[] = {
    {"VersionFileMissing", [](OnlineSetup&) {}, VERSION_FAILED, true},
    {"VersionFileErrorPage", versionAnswer(page(500, "Oops 17\n")), VERSION_FAILED, true},
    {"VersionFileRedirect", versionAnswer(page(302, "17\n", "Location: /site/elsewhere.txt\r\n")),
     VERSION_FAILED, true},
    {"VersionFileEmpty", versionAnswer(page(200, "")), ARCHIVE_FAILED, false},
    {"VersionFileLeadingBlank", versionAnswer(page(200, " 17\n")), ARCHIVE_FAILED, false},
    {"VersionFileLeadingLineEnd", versionAnswer(page(200, "\n17\n")), ARCHIVE_FAILED, false},
    {"VersionFileFiftyCharactersAccepted", versionAnswer(page(200, std::string(50, '9') + "\n")),
     "[JREDownload] JRE Version is " + std::string(50, '9'), false},
    {"VersionFileFiftyOneRefused", versionAnswer(page(200, std::string(51, '9'))),
     "[JREDownload] Version invalid (too long)", true},
    // The first 4 KiB would name a runtime the site serves: the cut file is no version file.
    {"VersionFileEndless", versionAnswer(endlessAnswer()), VERSION_FAILED, true},
    {"VersionFileLongerThanItsCap", versionAnswer(page(200, "17\n" + std::string(4094, ' '))),
     VERSION_FAILED, true},
    {"ArchiveMissing", [](OnlineSetup& s) { s.server.serve(VERSION_PATH, page(200, "17\n")); },
     ARCHIVE_FAILED, false},
    {"ArchiveErrorPage", archiveAnswer(page(500, "<html>Oops</html>")), ARCHIVE_FAILED, false},
    {"ArchiveRedirect", archiveAnswer(page(301, "", "Location: /site/other.p2.l2\r\n")),
     ARCHIVE_FAILED, false},
    // A failed transfer under the key is a failed download, not a failed check.
    {"ArchiveErrorPageUnderKey", archiveAnswer(page(500, "<html>Oops</html>")), ARCHIVE_FAILED,
     true},
    {"ArchiveCutUnderKey", archiveTransfer([](HttpPlan& p) { p.closeAfter = p.body.size() / 2; }),
     ARCHIVE_FAILED, true},
    {"ArchiveStalledUnderKey",
     archiveTransfer([](HttpPlan& p) {
       p.pauseAfter = p.body.size() / 2;
       p.pauseMs = 30000;
     }),
     ARCHIVE_FAILED, true},
    {"ArchiveSiteSilentUnderKey", archiveAnswer(silentAnswer()), ARCHIVE_FAILED, true},
    // A silent site: both attempts at the version file wait out the stall limit.
    {"SiteSilent", versionAnswer(silentAnswer()), VERSION_FAILED, true},
    {"ArchiveUnsignedUnderKey", [](OnlineSetup& s) { s.serveRuntime("17", Signing::Unsigned); },
     UNVERIFIED, true},
    {"ArchiveTamperedUnderKey", [](OnlineSetup& s) { s.serveRuntime("17", Signing::Tampered); },
     UNVERIFIED, true},
};

class SiteFailure : public ::testing::TestWithParam<SiteCase> {};

TEST_P(SiteFailure, EndsWithStatusOneAndNoCompleteRuntime) {
  const SiteCase& c = GetParam();
  OnlineOptions options;
  options.key = c.key;
  OnlineSetup setup(options);
  ASSERT_TRUE(setup.ready) << setup.server.why();
  c.serve(setup);
  setup.pack();
  // Stalls end after three seconds here, not a minute.
  const LauncherRun run = setup.run({"x"}, false, {{WAIT_LIMIT_ENV, "3"}});
  const std::string& out = run.child.output;
  EXPECT_EQ(1, run.child.exitStatus) << out;
  if (c.line == ARCHIVE_FAILED) {
    EXPECT_FALSE(hasLine(out, "[Unarchiver] The archive carries no signature, but a signed one "
                              "is required."))
        << out;
  }
  EXPECT_TRUE(runtimeFolders(setup.home).empty()) << out;
  EXPECT_EQ(0, countLinesStartingWith(out, "[Spawner] Success")) << "nothing launched\n" << out;
  EXPECT_TRUE(hasLine(out, c.line)) << out;
  EXPECT_FALSE(hasLine(out, "[JREDownload] Downloaded JRE is now ready.")) << out;
  // However much the site sends, the saved version file stays small.
  struct stat saved;
  const std::string local = setup.home.inMaster(INSTALLED_QV_FOLDER) + "/Halvorin-jre17-version.txt";
  if (lstat(local.c_str(), &saved) == 0) {
    EXPECT_LE(saved.st_size, 4096) << out;
  }
  for (const std::string& name : folderNames(setup.home.master())) {
    if (name.rfind("HalvorinTemp-", 0) != 0) continue;
    EXPECT_TRUE(folderNames(setup.home.inMaster(name) + "/bin").empty())
        << "no runtime left behind in " << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SiteFailure, ::testing::ValuesIn(SITE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The placeholder update URL -----------------------------------------------------------

// Without a system runtime the download is still tried, and fails.
TEST(PlaceholderUpdateUrl, DownloadIsStillTried) {
  OnlineOptions options;
  options.updateUrl = PLACEHOLDER_UPDATE_URL;
  OnlineSetup setup(options);
  ASSERT_TRUE(setup.ready) << setup.server.why();
  setup.pack();
  const LauncherRun run = setup.run({"x"}, false);
  EXPECT_EQ(1, run.child.exitStatus) << run.child.output;
  EXPECT_EQ(1,
            countLinesStartingWith(run.child.output,
                                   std::string("[JREDownload] Fetching JRE Version from ") +
                                       PLACEHOLDER_UPDATE_URL + "Halvorin-jre17-version.txt?time="))
      << run.child.output;
  EXPECT_TRUE(hasLine(run.child.output, VERSION_FAILED));
}

// ---- A compatible runtime on the system ---------------------------------------------------

struct SystemCase {
  const char* name;
  bool placeholderUrl;
};

const SystemCase SYSTEM_CASES[] = {
    {"SiteAskedForTheVersionFile", false},
    {"PlaceholderUrlSkipsOnlyTheRequest", true},
};

class SystemRuntime : public ::testing::TestWithParam<SystemCase> {};

// A `java` of the test's own on PATH passes the checks and the compatibility test: it is
// copied to the copied-runtime folder and the launch uses it. The compatibility test
// closes the log file: what follows reaches only the console.
TEST_P(SystemRuntime, CompatibleJavaOnPathIsCopiedAndUsed) {
  const SystemCase& c = GetParam();
  OnlineOptions options;
  options.skip = "";
  if (c.placeholderUrl) options.updateUrl = PLACEHOLDER_UPDATE_URL;
  OnlineSetup setup(options);
  ASSERT_TRUE(setup.ready) << setup.server.why();
  setup.server.serve(VERSION_PATH, page(200, "17\n"));
  const std::string sysHome = setup.home.home() + "/sys/openjdk";
  RuntimeFixtureOptions fixture;
  fixture.versionAnswer = "openjdk version \"17.0.15\" 2025-04-15";
  ASSERT_TRUE(buildRuntimeFixture(sysHome, fixture));
  const std::string pathDir = setup.home.home() + "/sys/path";
  fs::create_directories(pathDir);
  fs::create_symlink(sysHome + "/bin/java", pathDir + "/java");
  setup.pack();
  const LauncherRun run =
      setup.run({"x"}, true, {{"PATH", pathDir + ":/usr/local/bin:/usr/bin:/bin"}});
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  EXPECT_TRUE(run.reported) << out;
  EXPECT_EQ(std::vector<std::string>{COPIED_FOLDER}, runtimeFolders(setup.home));
  const std::string jre = setup.home.inMaster(COPIED_FOLDER);
  ASSERT_FALSE(run.calls.empty());
  EXPECT_EQ(0u, run.calls.back().at(0).rfind(jre + "/bin/", 0)) << run.calls.back().at(0);
  EXPECT_EQ(
      "",
      missingInOrder(
          out,
          {"[Extractor] Online installer - no stored JRE, will check for compatible system JRE",
           "[JRESearch] Followed link " + pathDir + "/java -> " + sysHome + "/bin/java",
           "[JRESearch] Final possibleJavaExe is " + sysHome,
           "[Extractor] Checking JRE version requirements: 17 vs required 8", CLOSING,
           "[JRESearch] JRE is valid, copying...",
           "[Extractor] We are copying the JRE. We want to query the JRE version to enable proxy "
           "detection.",
           "[JREDownload] Finalising setup of new JRE 00000000000",
           "[Extractor] Renamed JRE folder to " + jre}))
      << out;
  EXPECT_EQ(c.placeholderUrl ? 0 : 1, setup.server.requests(VERSION_PATH));
  EXPECT_EQ(c.placeholderUrl, hasLine(out, "[Extractor] Invalid Update URL. Skipping..."));
  EXPECT_EQ(0, countLinesStartingWith(out, "[JREDownload] Fetching JRE Version"));
  // The log file ends with the compatibility test's closing line.
  const std::vector<std::string> logged = logTexts(run.logFile);
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(CLOSING, logged.back());
  EXPECT_FALSE(hasLine(run.logFile, "[JRESearch] JRE is valid, copying..."));
}

INSTANTIATE_TEST_SUITE_P(Cases, SystemRuntime, ::testing::ValuesIn(SYSTEM_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// A `java` on PATH that fails a check leaves the runtime to the download road.
struct RefusedCase {
  const char* name;
  const char* versionAnswer;
  bool withUnpack200;
  const char* compatStatus;  // the compatibility class's exit status
  const char* line;
  // A check that hangs: "java -version" or the compatibility class sleeps this long
  // first, and the command the launcher names when it kills it ("JAVA" the java path).
  int versionDelaySeconds = 0;
  const char* compatSleep = "";
  const char* killed = nullptr;
};

// The wait limits in force for these runs (a hung check is killed after them).
constexpr int REFUSED_LIMIT_SECONDS = 5;

const RefusedCase REFUSED_CASES[] = {
    {"FailedCompatibilityTest", "openjdk version \"17.0.15\"", true, "3",
     "[JRESearch] JRE failed compatibility test"},
    {"MissingUnpack200", "openjdk version \"17.0.15\"", false, "72",
     "[JRESearch] JRE does not exist or does not have unpack200"},
    {"Java7BelowRequired", "java version \"1.7.0_80\"", true, "72",
     "[Extractor] Checking JRE version requirements: 7 vs required 8"},
    // A java that never answers is no runtime to use, whatever version it would name.
    {"HungVersionCheck", "openjdk version \"17.0.15\"", true, "72",
     "[Extractor] Versions for JREs could not be detected (1,0)", 60, "",
     "'JAVA' -version 2>&1"},
    {"HungCompatibilityTest", "openjdk version \"17.0.15\"", true, "72",
     "[JRESearch] JRE failed compatibility test", 0, "60", "JAVA"},
};

class SystemRuntimeRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(SystemRuntimeRefused, RuntimeIsDownloadedInstead) {
  const RefusedCase& c = GetParam();
  OnlineOptions options;
  options.skip = "";
  OnlineSetup setup(options);
  ASSERT_TRUE(setup.ready) << setup.server.why();
  setup.serveRuntime("17");
  const std::string sysHome = setup.home.home() + "/sys/jdk";
  RuntimeFixtureOptions fixture;
  fixture.versionAnswer = c.versionAnswer;
  fixture.versionDelaySeconds = c.versionDelaySeconds;
  fixture.withUnpack200 = c.withUnpack200;
  ASSERT_TRUE(buildRuntimeFixture(sysHome, fixture));
  const std::string pathDir = setup.home.home() + "/sys/path";
  fs::create_directories(pathDir);
  fs::create_symlink(sysHome + "/bin/java", pathDir + "/java");
  setup.pack();
  const LauncherRun run =
      setup.run({"x"}, true,
                {{"PATH", pathDir + ":/usr/local/bin:/usr/bin:/bin"},
                 {UPDATER_COMPAT_STATUS_ENV, c.compatStatus},
                 {UPDATER_COMPAT_SLEEP_ENV, c.compatSleep},
                 {WAIT_LIMIT_ENV, std::to_string(REFUSED_LIMIT_SECONDS)}});
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  if (c.killed != nullptr) {
    std::string command = c.killed;
    command.replace(command.find("JAVA"), 4, sysHome + "/bin/java");
    EXPECT_EQ(1, countLinesStartingWith(out, "[Spawner] " + command + " ran past its limit of " +
                                                 std::to_string(REFUSED_LIMIT_SECONDS) +
                                                 " seconds and was killed"))
        << out;
  }
  EXPECT_TRUE(run.reported) << out;
  EXPECT_EQ(std::vector<std::string>{INSTALLED_JRE_FOLDER}, runtimeFolders(setup.home));
  EXPECT_EQ("", missingInOrder(
                    out, {"[JRESearch] Looking at JRE " + sysHome + "/bin/java", c.line,
                          "[JREDownload] Failed to pick up any existing system JRE, will download",
                          "[JREDownload] Downloaded JRE is now ready.",
                          "[Extractor] Renamed JRE folder to " +
                              setup.home.inMaster(INSTALLED_JRE_FOLDER)}))
      << out;
  EXPECT_EQ(0, countLinesStartingWith(out, "[JRESearch] Running cp")) << out;
}

INSTANTIATE_TEST_SUITE_P(Cases, SystemRuntimeRefused, ::testing::ValuesIn(REFUSED_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// Every file below top with its bytes, relative to it.
std::map<std::string, std::string> filesBelow(const std::string& top) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), top).string()] = readFileBytes(entry.path().string());
    }
  }
  return files;
}

// A compatible `java` on PATH whose runtime holds a file the user may not read: the copy
// fails part way. The partial copy is removed, the working runtime copied by an earlier
// run keeps its folder untouched, and the run downloads the runtime as when no system
// runtime is usable.
TEST(SystemRuntimeCopy, FailedCopyIsRemovedAndTheRuntimeDownloaded) {
  OnlineOptions options;
  options.skip = "";
  OnlineSetup setup(options);
  ASSERT_TRUE(setup.ready) << setup.server.why();
  setup.serveRuntime("17");
  const std::string earlier = setup.home.addRuntime(INSTALLED_JRE_NAME, "00000000000");
  writeFileBytes(earlier + "/copied-earlier", "a whole runtime");
  const std::map<std::string, std::string> before = filesBelow(earlier);
  const std::string sysHome = setup.home.home() + "/sys/openjdk";
  RuntimeFixtureOptions fixture;
  fixture.versionAnswer = "openjdk version \"17.0.15\" 2025-04-15";
  ASSERT_TRUE(buildRuntimeFixture(sysHome, fixture));
  const std::string unreadable = sysHome + "/lib/private.bin";
  writeFileBytes(unreadable, "only root could read this");
  ASSERT_EQ(0, chmod(unreadable.c_str(), 0));
  const std::string pathDir = setup.home.home() + "/sys/path";
  fs::create_directories(pathDir);
  fs::create_symlink(sysHome + "/bin/java", pathDir + "/java");
  setup.pack();
  const LauncherRun run =
      setup.run({"x"}, true, {{"PATH", pathDir + ":/usr/local/bin:/usr/bin:/bin"}});
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  EXPECT_TRUE(run.reported) << out;
  const std::string failed = "[JRESearch] Copying the JRE failed (exit status 1, cp tells why above), removing ";
  std::string partial;
  for (const std::string& text : logTexts(out)) {
    if (text.rfind(failed, 0) == 0) partial = text.substr(failed.size());
  }
  ASSERT_EQ(0u, partial.rfind(setup.home.master() + "/HalvorinTemp-", 0)) << out;
  EXPECT_EQ("", missingInOrder(out, {"[JRESearch] JRE is valid, copying...", failed + partial,
                                     "[JREDownload] Failed to pick up any existing system JRE, will download",
                                     "[JREDownload] Downloaded JRE is now ready.",
                                     "[Extractor] Renamed JRE folder to " +
                                         setup.home.inMaster(INSTALLED_JRE_FOLDER)}))
      << out;
  // cp's own reason reaches the console.
  EXPECT_NE(std::string::npos, out.find(unreadable + "' for reading: Permission denied")) << out;
  EXPECT_EQ(0, countLinesStartingWith(out, "[JRESearch] Running chmod")) << out;
  EXPECT_FALSE(fs::exists(partial)) << out;
  EXPECT_EQ((std::vector<std::string>{COPIED_FOLDER, INSTALLED_JRE_FOLDER}), runtimeFolders(setup.home));
  EXPECT_EQ(before, filesBelow(earlier));
  ASSERT_FALSE(run.calls.empty());
  EXPECT_EQ(0u, run.calls.back().at(0).rfind(setup.home.inMaster(INSTALLED_JRE_FOLDER) + "/bin/", 0))
      << run.calls.back().at(0);
}

// Milliseconds since the launcher's start of the first line of log whose text starts with
// start (the "+%-8llu " prefix); -1 when there is none.
long long elapsedAt(const std::string& log, const std::string& start) {
  for (const std::string& line : splitLines(log)) {
    const size_t space = line.find(' ');
    if (line.empty() || line[0] != '+' || space == std::string::npos) continue;
    const size_t text = line.find_first_not_of(' ', space);
    if (text != std::string::npos && line.compare(text, start.size(), start) == 0) {
      return std::stoll(line.substr(1, space - 1));
    }
  }
  return -1;
}

// A step of the system runtime copy that never ends: a stand-in for the command, first on
// PATH, leaves a partial copy (cp) or finds the whole one (chmod), writes its pid to a
// file, then sleeps for ever. It is killed at the shortened work limit with its process
// group; the copy is removed and the runtime downloaded.
struct HungStepCase {
  const char* name;
  const char* command;
  std::string failed;  // the start of the step's failure line, up to "removing "
};

const HungStepCase HUNG_STEP_CASES[] = {
    {"Copy", "cp",
     "[JRESearch] Copying the JRE failed (exit status -1, cp tells why above), removing "},
    {"Modes", "chmod", "[JRESearch] Setting the modes of the JRE copy failed (exit status -1), removing "},
};

constexpr int HUNG_STEP_LIMIT_SECONDS = 5;

class SystemRuntimeHungStep : public ::testing::TestWithParam<HungStepCase> {};

TEST_P(SystemRuntimeHungStep, IsKilledAtItsLimitAndTheRuntimeDownloaded) {
  const HungStepCase& c = GetParam();
  OnlineOptions options;
  options.skip = "";
  OnlineSetup setup(options);
  ASSERT_TRUE(setup.ready) << setup.server.why();
  setup.serveRuntime("17");
  const std::string sysHome = setup.home.home() + "/sys/openjdk";
  RuntimeFixtureOptions fixture;
  fixture.versionAnswer = "openjdk version \"17.0.15\" 2025-04-15";
  ASSERT_TRUE(buildRuntimeFixture(sysHome, fixture));
  const std::string pathDir = setup.home.home() + "/sys/path";
  const std::string started = setup.home.home() + "/sys/stand-in-started";
  fs::create_directories(pathDir);
  fs::create_symlink(sysHome + "/bin/java", pathDir + "/java");
  // cp's last argument is the copy's folder: a partial copy is left in it.
  const std::string partial =
      std::string(c.command) == "cp" ? "for last; do :; done\nmkdir -p \"$last/lib\"\n"
                                       "echo partial > \"$last/lib/partial\"\n"
                                     : "";
  writeFileBytes(pathDir + "/" + c.command,
                 "#!/bin/sh\n" + partial + "echo $$ > '" + started + ".new'\nmv '" + started +
                     ".new' '" + started + "'\nexec sleep 600\n");
  chmod((pathDir + "/" + c.command).c_str(), 0755);
  setup.pack();
  const LauncherRun run = setup.run({"x"}, true,
                                    {{"PATH", pathDir + ":/usr/local/bin:/usr/bin:/bin"},
                                     {WAIT_LIMIT_ENV, std::to_string(HUNG_STEP_LIMIT_SECONDS)}});
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  EXPECT_TRUE(run.reported) << out;
  ASSERT_TRUE(pathExists(started)) << "the stand-in never ran\n" << out;
  const pid_t standIn = static_cast<pid_t>(std::stol(readFileBytes(started)));
  EXPECT_NE(0, kill(standIn, 0)) << "the hung " << c.command << " outlived the run";

  const std::string running = "[JRESearch] Running cp -Lrf '" + sysHome + "' '";
  const std::string copy = lineAfter(out, running);
  ASSERT_GT(copy.size(), 1u) << out;
  const std::string temp = copy.substr(0, copy.size() - 1);
  ASSERT_EQ(0u, temp.rfind(setup.home.master() + "/HalvorinTemp-", 0)) << out;
  const std::string step = std::string("[JRESearch] Running ") + c.command + " ";
  const std::string killed = std::string("[Spawner] ") + c.command + " ran past its limit of " +
                             std::to_string(HUNG_STEP_LIMIT_SECONDS) + " seconds and was killed";
  EXPECT_EQ("", missingInOrder(out, {"[JRESearch] JRE is valid, copying...", killed, c.failed + temp,
                                     "[JREDownload] Failed to pick up any existing system JRE, will download",
                                     "[JREDownload] Downloaded JRE is now ready.",
                                     "[Extractor] Renamed JRE folder to " +
                                         setup.home.inMaster(INSTALLED_JRE_FOLDER)}))
      << out;
  // Killed at the limit, not before it and not long after.
  const long long from = elapsedAt(out, step);
  const long long to = elapsedAt(out, killed);
  ASSERT_GE(from, 0) << out;
  ASSERT_GE(to, 0) << out;
  EXPECT_GE(to - from, HUNG_STEP_LIMIT_SECONDS * 1000LL - 100) << out;
  EXPECT_LE(to - from, (HUNG_STEP_LIMIT_SECONDS + 10) * 1000LL) << out;
  EXPECT_FALSE(fs::exists(temp)) << "the partial copy stayed\n" << out;
  EXPECT_EQ(std::vector<std::string>{INSTALLED_JRE_FOLDER}, runtimeFolders(setup.home));
  ASSERT_FALSE(run.calls.empty());
  EXPECT_EQ(0u, run.calls.back().at(0).rfind(setup.home.inMaster(INSTALLED_JRE_FOLDER) + "/bin/", 0))
      << run.calls.back().at(0);
}

INSTANTIATE_TEST_SUITE_P(Cases, SystemRuntimeHungStep, ::testing::ValuesIn(HUNG_STEP_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The splash during a download ---------------------------------------------------------

constexpr int STRIP = 18;

uint32_t tileRgb(const BgrTile& tile, int column, int row) {
  const unsigned char* p = tile.pixels + row * bgrRowBytes(tile.width) + 3 * column;
  return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

// One look at the splash window: its pixels (RRGGBB, depth 24).
struct SplashShot {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
  uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// The fill end of a percentage strip along the bottom STRIP rows, -1 when the rows show
// no percentage strip (no strip yet, or the moving stripes).
int percentageEnd(const SplashShot& shot) {
  const int top = shot.height - STRIP;
  if (top < 0) return -1;
  for (int end = 0; end <= shot.width; ++end) {
    bool match = true;
    for (int y = 0; y < STRIP && match; ++y) {
      for (int x = 0; x < shot.width && match; ++x) {
        const uint32_t want =
            x < end ? tileRgb(progressTile, x % 3, y) : tileRgb(trackTile, (x - end) % 3, y);
        match = shot.at(x, top + y) == want;
      }
    }
    if (match) return end;
  }
  return -1;
}

// Lines of log equal to text after the first line starting with from, before the next
// line starting with to.
int linesBetween(const std::string& log, const std::string& from, const std::string& to,
                 const std::string& text) {
  int count = 0;
  bool inside = false;
  for (const std::string& line : logTexts(log)) {
    if (!inside && line.rfind(from, 0) == 0) {
      inside = true;
    } else if (inside && line.rfind(to, 0) == 0) {
      return count;
    } else if (inside && line == text) {
      ++count;
    }
  }
  return -1;
}

// Reads every viewable top-level window of the display (the splash is the only one).
bool grabSplash(Display* display, SplashShot* shot) {
  Window root = DefaultRootWindow(display), parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) return false;
  bool found = false;
  for (unsigned i = 0; i < count && !found; ++i) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, children[i], &attributes) ||
        attributes.map_state != IsViewable || attributes.width < 10) {
      continue;
    }
    XImage* image = XGetImage(display, children[i], 0, 0, attributes.width, attributes.height,
                              AllPlanes, ZPixmap);
    if (image == nullptr) continue;
    shot->width = attributes.width;
    shot->height = attributes.height;
    shot->pixels.clear();
    for (int y = 0; y < shot->height; ++y) {
      for (int x = 0; x < shot->width; ++x) {
        shot->pixels.push_back(static_cast<uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFF);
      }
    }
    XDestroyImage(image);
    found = true;
  }
  if (children != nullptr) XFree(children);
  return found;
}

void saveShot(const SplashShot& shot, const std::string& path) {
  writePng(path, rgbaPicture(static_cast<uint32_t>(shot.width), static_cast<uint32_t>(shot.height),
                             [&](uint32_t x, uint32_t y) { return shot.at(x, y) << 8 | 0xFF; }));
}

// Under a slow update site the strip's fill grows while the archive arrives: shots of the
// window taken meanwhile show ever larger percentages between 0 and 100.
TEST(OnlineDownloadSplash, PercentageMovesWhileTheArchiveArrives) {
  XvfbServer xvfb;
  if (!xvfb.start(24)) GTEST_SKIP() << xvfb.why();
  OnlineOptions options;
  options.silent = false;
  OnlineSetup setup(options);
  ASSERT_TRUE(setup.ready) << setup.server.why();
  setup.serveRuntime("17");
  HttpPlan slow;
  slow.body = runtimeArchive(Signing::Signed);
  slow.chunk = 2048;
  // About two seconds for the whole archive.
  slow.chunkDelayMs = static_cast<int>(std::max<size_t>(1, 2000 * slow.chunk / slow.body.size()));
  setup.server.serve(archivePath("17"), slow);
  setup.pack();

  std::atomic<bool> done{false};
  std::vector<int> ends;
  SplashShot middle;
  std::thread watcher([&] {
    Display* display = XOpenDisplay(xvfb.display().c_str());
    if (display == nullptr) return;
    // The splash window goes when the launcher ends: a window gone between the listing
    // and the look at it (BadWindow) is passed over instead of ending the test process.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done && std::chrono::steady_clock::now() < deadline) {
      SplashShot shot;
      if (grabSplash(display, &shot)) {
        const int end = percentageEnd(shot);
        if (end >= 0 && (ends.empty() || ends.back() != end)) ends.push_back(end);
        if (end > shot.width / 4 && end < shot.width * 3 / 4) middle = shot;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    XCloseDisplay(display);
  });
  const LauncherRun run = setup.run({"x"}, true, {{"DISPLAY", xvfb.display()}});
  done = true;
  watcher.join();
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  // The splash is shown again before each of the two downloads.
  EXPECT_EQ(1, linesBetween(out, "[JREDownload] Failed to pick up", "[JREDownload] Fetching JRE",
                            "[Splash] showSplash()"))
      << out;
  EXPECT_EQ(1, linesBetween(out, "[JREDownload] JRE Version is 17",
                            "[JREDownload] Extracting JRE archive to", "[Splash] showSplash()"))
      << out;
  // Between the empty and the full strip, at least two rising percentages were seen.
  std::vector<int> between;
  for (int end : ends) {
    if (end > 0 && middle.width > 0 && end < middle.width) between.push_back(end);
  }
  ASSERT_GE(between.size(), 2u) << "fill ends seen: " << ::testing::PrintToString(ends);
  EXPECT_TRUE(std::is_sorted(between.begin(), between.end())) << ::testing::PrintToString(ends);
  ScratchDir shots;
  const char* keep = getenv("HV_SPLASH_SHOT");
  saveShot(middle, keep != nullptr ? keep : shots / "middle.png");
  expectBarsExact(out);
}

}  // namespace
