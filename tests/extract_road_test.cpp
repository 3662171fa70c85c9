// The extract road end to end: a packed offline installer (the Quorvane, a signed nested
// runtime archive with pack200 entries, the application) runs for the first time as a
// throwaway user, installs the three complete folders, runs the runtime's class-data
// dump and starts the updater in a real JVM; its second run takes the run road. Then the
// road's edge cases, its ends without a launch, tampered and cut installers (and the whole
// one run after a cut one), an install folder on a full disk, planted links, the splash
// on a real X server while a slow unpack200 works, and two first runs at once.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/wait_limits.h"
#include "tests/support/installed_home.h"
#include "tests/support/isolated_run.h"
#include "tests/support/log_lines.h"
#include "tests/support/png_writer.h"
#include "tests/support/xvfb_server.h"
// Last: Xlib's macros (None, Bool) would clash with the names above.
#include "splash/x11.h"

namespace fs = std::filesystem;

namespace {

const char APP[] = "ExtractApp";
const char APP_VERSION[] = "3";
const char QV_FOLDER[] = "Halvorin-Halvorin-12-complete";
const char JRE_FOLDER[] = "Halvorin-jre17-17-complete";
const char APP_FOLDER[] = "Halvorin-ExtractApp-3-complete";
const char CLOSING[] = "[Utils] Closing logging file.";
const char RUNNING[] = "[Extractor] Running without extraction now";
const char PREPARE_ONLY[] = "HVPREPARE_FOR_LAUNCH_ONLY";
const char SHOW_SPLASH[] = "[Splash] showSplash()";
const char UNPACK200_BANNER[] = "Error setting unpack200 to executable!";
const char LZMA_BYTES[] = "lzma tool stand-in\n";
const char QV_CACERTS[] = "quorvane certificate store\n";
const std::vector<std::string> LAUNCHER_ARGS = {"x", "y z"};
constexpr int KEY_BITS = 2048;
constexpr uint32_t PICTURE_W = 64;
constexpr uint32_t PICTURE_H = 40;

// Folder entries of a tree end in '/' and map to "".
using Tree = std::map<std::string, std::string>;

// Every file and folder below top, relative to it; links as "-> target".
Tree readTree(const std::string& top) {
  Tree tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(top, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative = fs::relative(it->path(), top).string();
    if (it->is_symlink()) {
      tree[relative] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      tree[relative + "/"] = "";
    } else {
      tree[relative] = readFileBytes(it->path().string());
    }
  }
  return tree;
}

// The tree without what a launch adds: launch properties files, the java copy.
Tree withoutLaunchFiles(Tree tree) {
  std::erase_if(tree, [](const auto& entry) {
    return entry.first.rfind("HVLaunchProperties-", 0) == 0 ||
           entry.first == std::string("bin/") + INSTALLED_PROGRAM_NAME;
  });
  return tree;
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

std::string pngBytes(uint32_t seed) {
  ScratchDir dir;
  const PngPicture picture = rgbaPicture(PICTURE_W, PICTURE_H, [seed](uint32_t x, uint32_t y) {
    return ((x * 4 + seed) & 0xFF) << 24 | ((y * 6) & 0xFF) << 16 | ((x + y + seed) & 0xFF) << 8 | 0xFF;
  });
  writePng(dir / "p.png", picture);
  return readFileBytes(dir / "p.png");
}

// The console lines that carry the log prefix, from the one naming the log file to the
// closing line: exactly what the log file must hold.
std::vector<std::string> loggedWhileFileOpen(const std::string& output) {
  std::vector<std::string> lines;
  bool logging = false;
  for (const std::string& line : splitLines(output)) {
    if (line.empty() || line[0] != '+') continue;
    const std::string text = logTexts(line)[0];
    if (logging) lines.push_back(line);
    if (text.rfind("[Extractor] Logging to ", 0) == 0) logging = true;
    if (logging && text == CLOSING) break;
  }
  return lines;
}

// The QV temp folder a run really used: the logged name, or the last free name it moved
// on to when another run had taken that one.
// Only the "is taken" lines right after the QV temp line are its own: a later temporary
// folder (the runtime's, the application's) may try the same free name again.
std::string usedQvTemp(const std::string& log) {
  const std::string named = "[Extractor] QV temp is ";
  std::string used;
  bool following = false;
  for (const std::string& text : logTexts(log)) {
    if (!following) {
      if (text.rfind(named, 0) != 0) continue;
      used = text.substr(named.size());
      following = true;
      continue;
    }
    const std::string taken = "[Utils] " + used + " is taken, trying ";
    if (text.rfind(taken, 0) != 0) break;
    used = fs::path(used).parent_path().string() + "/" + text.substr(taken.size());
  }
  return used;
}

// The seconds field of a temporary folder name.
std::string secondsOf(const std::string& tempFolder) {
  const std::string name = fs::path(tempFolder).filename().string();
  const size_t first = name.find('-');
  return first == std::string::npos ? "" : name.substr(first + 1, name.find('-', first + 1) - first - 1);
}

// Calls of the fixture java that launched the updater (not the class-data dumps).
int launchCalls(const std::vector<std::vector<std::string>>& calls) {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(), [](const auto& call) {
    return std::find(call.begin(), call.end(), UPDATER_MAIN_CLASS) != call.end();
  }));
}

// The launcher does not wait for the Java program it starts: its call is recorded a
// moment after the launcher has ended. Waits up to 20 s for want launch calls.
int awaitLaunchCalls(const std::string& callsPath, int want) {
  int seen = 0;
  for (int waited = 0; waited < 20000; waited += 50) {
    seen = launchCalls(readFixtureCalls(callsPath));
    if (seen >= want) break;
    usleep(50 * 1000);
  }
  return seen;
}

// ---- The installer --------------------------------------------------------------------

// What an offline installer carries and what it must install.
struct Installer {
  hvpack::ParamsBlock params;
  hvpack::TailBlock tail;
  Tree qv, jre, app;  // the complete folders afterwards (launch files left out)
  std::string splash;
};

struct InstallerOptions {
  std::string appVersion = APP_VERSION;
  std::string canOverrideSplash = "0";
  std::string dynamicSplash;  // bytes of a splash_image Params value
  std::optional<std::string> splashImageText;  // a splash_image Params value as written
  bool qvCacerts = true;
  // Changes the runtime's inner stream before it is compressed (tampering, no signature).
  std::function<std::string(const hvpack::ArchiveBuilder&)> runtimeStream;
  std::string appEntryPath = "app.p2.l2";  // the first application entry's path
  // false: no key in the tail and no signature on any archive (an unsigned installer).
  bool signedInstaller = true;
};

// The runtime fixture with its rt.jar and a second jar as pack200 entries; the fixture's
// bin/unpack200 comes first in byte order, as the runtime must bring it.
hvpack::ArchiveBuilder runtimeArchive(Tree* installed, const std::string& qvCacerts) {
  ScratchDir dir;
  const std::string root = dir / "rt";
  if (!buildRuntimeFixture(root)) throw std::runtime_error("no runtime fixture");
  writeFileBytes(root + "/lib/tools.jar", std::string(300000, 't') + "tools end");
  hvpack::ArchiveBuilder::TreeOptions options;
  options.packAs200 = [](const std::string& path) { return path.size() > 4 && path.substr(path.size() - 4) == ".jar"; };
  hvpack::ArchiveBuilder archive;
  archive.tree(root, "", options);
  *installed = readTree(root);
  if (!qvCacerts.empty()) (*installed)["lib/security/cacerts"] = qvCacerts;
  // The class-data dump leaves its archive in the runtime.
  (*installed)["lib/server/"] = "";
  return archive;
}

Installer offlineInstaller(const InstallerOptions& o = {}) {
  Installer in;
  in.splash = pngBytes(1);
  in.params.pairs = {{"jre_name", INSTALLED_JRE_NAME}, {"force_spawn", "true"}};
  if (!o.dynamicSplash.empty()) {
    in.params.pairs.push_back({"splash_image", hvpack::base64Encode(o.dynamicSplash)});
  }
  if (o.splashImageText) in.params.pairs.push_back({"splash_image", *o.splashImageText});
  hvpack::TailHeader& h = in.tail.header;
  h = installedTailHeader(APP, o.appVersion);
  h.updateUrl = hvpack::PLACEHOLDER_UPDATE_URL;
  h.canOverrideSplash = o.canOverrideSplash;
  h.signaturePublicKey = o.signedInstaller ? Signer_publicKeyHex(KEY_BITS) : "";
  const auto signedStream = [&o](const hvpack::ArchiveBuilder& archive) {
    return o.signedInstaller ? archive.signedBytes(KEY_BITS) : archive.bytes();
  };

  const std::string launchFile = updaterLaunchFile().bytes();
  UpdaterProgram program;
  if (!updaterProgram(&program)) throw std::runtime_error("no updater program");
  const std::string jar = readFileBytes(program.jarPath);
  hvpack::ArchiveBuilder qvArchive;
  qvArchive.file(hvpack::LAUNCH_FILE_NAME, launchFile).folder("lib").file("lib/updater.jar", jar);
  if (o.qvCacerts) qvArchive.file("cacerts", QV_CACERTS);
  Tree jreTree;
  const hvpack::ArchiveBuilder runtime = runtimeArchive(&jreTree, o.qvCacerts ? QV_CACERTS : "");
  const std::string runtimeStream = o.runtimeStream ? o.runtimeStream(runtime) : signedStream(runtime);

  hvpack::ArchiveBuilder entries;
  entries.file("lzma64", LZMA_BYTES)
      .file("nativesplash.png", in.splash)
      .nested("qv.p2.l2", signedStream(qvArchive))
      .folder("qv-extra")
      .file("qv-notes.txt", "notes 12\n")
      .nested("jre.p2.l2", runtimeStream);
  in.qv = {{"lzma64", LZMA_BYTES},
           {"nativesplash.png", in.splash},
           {hvpack::LAUNCH_FILE_NAME, launchFile},
           {"lib/", ""},
           {"lib/updater.jar", jar},
           {"qv-extra/", ""},
           {"qv-notes.txt", "notes 12\n"}};
  if (o.qvCacerts) in.qv["cacerts"] = QV_CACERTS;
  if (!o.dynamicSplash.empty() && o.canOverrideSplash == "1") in.qv["nativesplash.png"] = o.dynamicSplash;
  in.jre = jreTree;
  if (!o.appVersion.empty()) {
    const std::string appSplash = pngBytes(2);
    hvpack::ArchiveBuilder appArchive;
    appArchive.folder("bin")
        .file("bin/start.sh", "#!/bin/sh\necho app\n")
        .pack200("app.jar", "application jar bytes")
        .file(std::string("Halvorin-") + APP + "-splash.png", appSplash);
    entries.nested(o.appEntryPath, signedStream(appArchive)).file("app-notes.txt", "app notes\n");
    in.app = {{"bin/", ""},
              {"bin/start.sh", "#!/bin/sh\necho app\n"},
              {"app.jar", "application jar bytes"},
              {std::string("Halvorin-") + APP + "-splash.png", appSplash},
              {"app-notes.txt", "app notes\n"}};
  }
  in.tail.entries = entries.bytes();
  return in;
}

void expectInstalled(const InstalledHome& home, const Installer& in, const std::string& output) {
  EXPECT_EQ(in.qv, withoutLaunchFiles(readTree(home.inMaster(QV_FOLDER)))) << output;
  Tree jre = withoutLaunchFiles(readTree(home.inMaster(JRE_FOLDER)));
  // The dump's archive: there, not empty; its bytes are the JVM's.
  EXPECT_GT(jre["lib/server/classes.jsa"].size(), 0u) << output;
  jre.erase("lib/server/classes.jsa");
  EXPECT_EQ(in.jre, jre) << output;
  if (!in.app.empty()) {
    EXPECT_EQ(in.app, readTree(home.inMaster(APP_FOLDER))) << output;
  }
}

// ---- The first run and the second -----------------------------------------------------

TEST(ExtractRoad, FirstRunInstallsAndLaunchesSecondRunTakesTheRunRoad) {
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready()) << "no JDK for the fixture runtime";
  const Installer in = offlineInstaller();
  home.pack(in.params, in.tail);
  const std::string unpackCalls = home.javaCallsPath() + "-unpack200";
  const LauncherRun run = home.run(LAUNCHER_ARGS, true, {{FIXTURE_UNPACK200_CALLS_ENV, unpackCalls}});
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  ASSERT_TRUE(run.reported) << out;

  // Exactly the three complete folders with the packed files; no temporary folder.
  EXPECT_EQ((std::vector<std::string>{"HVAppsSharedConfig", APP_FOLDER, QV_FOLDER, JRE_FOLDER, "logs"}),
            folderNames(home.master()));
  expectInstalled(home, in, out);
  const std::string qv = home.inMaster(QV_FOLDER), jre = home.inMaster(JRE_FOLDER),
                    app = home.inMaster(APP_FOLDER);
  // A per-user install is closed to other users: what a shared one opens is 0755 or 0644.
  EXPECT_EQ(0755u, modeOf(qv));
  EXPECT_EQ(0755u, modeOf(qv + "/lzma64"));
  EXPECT_EQ(0755u, modeOf(jre + "/bin"));
  EXPECT_EQ(0755u, modeOf(jre + "/bin/java"));
  EXPECT_EQ(0755u, modeOf(jre + "/bin/unpack200"));
  EXPECT_EQ(0644u, modeOf(app + "/Halvorin-ExtractApp-splash.png"));
  for (const char* file : {"app.jar", "bin/start.sh", "app-notes.txt"}) {
    EXPECT_EQ(0111u, modeOf(app + "/" + file) & 0111u) << file;
  }
  // The pack200 entries went through the runtime's own unpack200: two for the runtime,
  // from its temporary folder, one for the application.
  const std::vector<std::vector<std::string>> unpacked = readFixtureCalls(unpackCalls);
  ASSERT_EQ(3u, unpacked.size());
  for (const auto& call : unpacked) ASSERT_EQ(3u, call.size());
  EXPECT_NE(std::string::npos, unpacked[0][0].find("/HalvorinTemp-")) << unpacked[0][0];
  EXPECT_EQ(unpacked[0][0], unpacked[1][0]);
  EXPECT_EQ(jre + "/bin/unpack200", unpacked[2][0]);
  // The application's pack200 entry: [unpack200, packed, target], bare names in a folder
  // of the run's own beside the entry.
  const std::string appTemp = lineAfter(out, "[Extractor] APP temp is ");
  EXPECT_EQ((std::vector<std::string>{jre + "/bin/unpack200", "app.jar.p2", "app.jar"}), unpacked[2]);
  EXPECT_TRUE(hasLine(out, "\t[Unarchiver] Unpacking200 " + appTemp + "/app.jar.p2")) << out;

  // The road's lines, in order, all in the log file.
  const std::string qvTemp = lineAfter(out, "[Extractor] QV temp is ");
  const std::string jreTemp = lineAfter(out, "[Extractor] UP200 path is ");
  const std::string jreTempFolder = fs::path(jreTemp).parent_path().parent_path().string();
  ASSERT_EQ(home.master() + "/HalvorinTemp-", qvTemp.substr(0, home.master().size() + 14)) << out;
  EXPECT_EQ("", missingInOrder(run.logFile, {
      "[Extractor] QV folder is " + qv,
      "[Extractor] QV temp is " + qvTemp,
      "[Extractor] LZMA path is " + qvTemp + "/lzma64",
      "[Extractor] Ensuring LZMA is executable.",
      "[Extractor] Extracted QV and QV Version",
      "[Extractor] Renaming QV folder to " + qv,
      "[Rename] File '" + qvTemp + "' renamed to '" + qv + "'",
      "[Extractor] Recreating QV location",
      "[Extractor] LZMA path is " + qv + "/lzma64",
      "[Extractor] CACerts override path is " + qv + "/cacerts",
      "[Extractor] Native Splash PNG path is " + qv + "/nativesplash.png",
      "[Extractor] Configuring splash",
      "[Extractor] Showing splash",
      "[Extractor] Setting up a JRE",
      "+++ Start: Extracting Offline JRE",
      "[Extractor] We want to query the JRE version to enable proxy detection.",
      "[Extractor] Invalid Update URL. Skipping...",
      "[Extractor] Offline installer - no need to download JRE, will extract",
      UNPACK200_BANNER,
      "[Extractor] UP200 path is " + jreTemp,
      "[Extractor] Extracting JRE archive...",
      "[Extractor] Extracted JRE jre17",
      "[Extractor] Regenerating jsa...",
      "--- End: Extracting Offline JRE",
      // The store is replaced before the runtime takes its complete name.
      "[Extractor] JRE setup. Overriding cacerts.",
      "[Extractor] CACerts path " + qv + "/cacerts exists",
      "[Extractor] TargetCACerts path is " + jreTempFolder + "/lib/security/cacerts",
      "[Extractor] Renamed JRE folder to " + jre,
      "[Extractor] Ensuring JRE bin is writable.",
      "[Extractor] UP200 path is " + jre + "/bin/unpack200",
      "[Extractor] Offline installer - app to extract.",
      "[Extractor] APP folder is " + app,
      "[Extractor] Extracting App...",
      "[Extractor] Setting permissions...",
      "[Extractor] Renaming App folder to " + app,
      std::string("[Extractor] Will now run latest QV ") + QV_FOLDER,
      "+++ Start: Launching",
      "[Extractor] [Launch] Executable: " + jre + "/bin/" + INSTALLED_PROGRAM_NAME,
      CLOSING}))
      << run.logFile;
  EXPECT_EQ(1, countLinesStartingWith(out, UNPACK200_BANNER)) << "the runtime brings its unpack200";
  EXPECT_EQ(loggedWhileFileOpen(out), splitLines(run.logFile));
  EXPECT_EQ(CLOSING, logTexts(run.logFile).back());
  // The unpack200 search prints to the console only.
  EXPECT_EQ(6, countLinesStartingWith(out, "[Locating UP200] ")) << out;
  EXPECT_EQ(0, countLinesStartingWith(run.logFile, "[Locating UP200] "));

  // The dump ran on the runtime in its temporary folder, then the updater on the copy.
  ASSERT_EQ(2u, run.calls.size()) << out;
  EXPECT_EQ((std::vector<std::string>{jreTemp.substr(0, jreTemp.size() - 9) + "java", "-Xshare:dump"}),
            run.calls[0]);
  const std::string props = run.result.arguments.empty() ? "" : run.result.arguments[0];
  std::vector<std::string> vector = {jre + "/bin/" + INSTALLED_PROGRAM_NAME, "-Xmx512m"};
  const std::vector<std::string> appOptions = updaterLaunchFile().appJvmOptions;
  vector.insert(vector.end(), appOptions.begin(), appOptions.end());
  vector.insert(vector.end(), {"-cp", qv + "/lib/updater.jar", UPDATER_MAIN_CLASS, props,
                               "--from-launch-file", "two words", "x", "y z"});
  EXPECT_EQ(vector, run.calls[1]);
  EXPECT_EQ("normal", run.result.mainClass);
  ASSERT_EQ("ok", run.result.propertiesState);
  PropertyPairs expected = startupProperties(in.params, in.tail.header);
  expected.push_back({"hvstat_update_url", hvpack::PLACEHOLDER_UPDATE_URL});
  expected.push_back({"hvstat_app_dir", qv});
  expected.push_back({"hvstat_jre_name", INSTALLED_JRE_NAME});
  expected.push_back({"hvstat_launched_from_dynprops", home.launcher()});
  EXPECT_EQ(expected, run.result.properties);

  // The second run: the run road, nothing extracted, the same install.
  const LauncherRun second = home.run(LAUNCHER_ARGS, true);
  ASSERT_EQ(0, second.child.exitStatus) << second.child.output;
  EXPECT_TRUE(hasLine(second.child.output, RUNNING)) << second.child.output;
  EXPECT_EQ(0, countLinesStartingWith(second.child.output, "[Unarchiver]"));
  EXPECT_EQ(0, countLinesStartingWith(second.child.output, SHOW_SPLASH));
  EXPECT_TRUE(second.reported) << second.child.output;
  expectInstalled(home, in, second.child.output);
}

// ---- Edge cases of the road ------------------------------------------------------------

struct RoadCase {
  const char* name;
  InstallerOptions options;
  std::vector<std::string> args;
  // Run before the launcher, on the home (root) and the installer.
  std::function<void(InstalledHome&, Installer&)> prepare;
  std::vector<std::string> lines;      // in this order
  std::vector<std::string> absent;     // line starts that must not appear
  bool launched;
  std::string launchedQv;              // the folder the updater ran from
};

void PrintTo(const RoadCase& c, std::ostream* os) { *os << c.name; }

const std::string DYNAMIC_SPLASH = pngBytes(9);

std::vector<RoadCase> roadCases() {
  std::vector<RoadCase> cases;
  {
    RoadCase c{"NoApplicationEntries", {}, LAUNCHER_ARGS, {}, {}, {}, true, QV_FOLDER};
    c.options.appVersion = "";
    c.lines = {"[Extractor] Online installer - no app to extract",
               std::string("[Extractor] Will now run latest QV ") + QV_FOLDER};
    c.absent = {"[Extractor] Offline installer - app to extract.", "[Extractor] APP temp is"};
    cases.push_back(c);
  }
  {
    RoadCase c{"OverrideSplashWithImage", {}, LAUNCHER_ARGS, {}, {}, {}, true, QV_FOLDER};
    c.options.canOverrideSplash = "1";
    c.options.dynamicSplash = DYNAMIC_SPLASH;
    c.lines = {"[Extractor] Authorised to override the splash image.",
               "[Extractor] DynamicSplash is 1, size is " + std::to_string(DYNAMIC_SPLASH.size()),
               "[Extractor] Configuring splash"};
    cases.push_back(c);
  }
  {
    RoadCase c{"OverrideSplashWithoutImage", {}, LAUNCHER_ARGS, {}, {}, {}, true, QV_FOLDER};
    c.options.canOverrideSplash = "1";
    c.lines = {"[Extractor] Authorised to override the splash image.",
               "[Extractor] DynamicSplash is 0, size is 0"};
    c.absent = {"[Extractor] Overwriting splash image at"};
    cases.push_back(c);
  }
  {
    // An image of no bytes leaves the carried picture as it is.
    RoadCase c{"OverrideSplashWithEmptyImage", {}, LAUNCHER_ARGS, {}, {}, {}, true, QV_FOLDER};
    c.options.canOverrideSplash = "1";
    c.options.splashImageText = "";
    c.lines = {"[DynProps] Decode complete [image size is 0]",
               "[Extractor] Authorised to override the splash image.",
               "[Extractor] DynamicSplash is 1, size is 0"};
    c.absent = {"[Extractor] Overwriting splash image at"};
    cases.push_back(c);
  }
  {
    RoadCase c{"ImageWithoutOverrideRight", {}, LAUNCHER_ARGS, {}, {}, {}, true, QV_FOLDER};
    c.options.dynamicSplash = DYNAMIC_SPLASH;
    c.absent = {"[Extractor] Authorised to override", "[Extractor] DynamicSplash"};
    cases.push_back(c);
  }
  {
    // Case 1 of the version decision: the Quorvane is installed, the runtime is not. The
    // installed folder of the same name is emptied and replaced.
    RoadCase c{"SameQvFolderReplaced", {}, LAUNCHER_ARGS, {}, {}, {}, true, QV_FOLDER};
    c.prepare = [](InstalledHome& home, Installer&) {
      const std::string qv = home.addQuorvane("12");
      writeFileBytes(qv + "/stale-file", "from an older install");
    };
    c.lines = {"[Rename] The target already exists. Deleting."};
    cases.push_back(c);
  }
  {
    RoadCase c{"HigherInstalledQvWins", {}, LAUNCHER_ARGS, {}, {}, {}, true,
               "Halvorin-Halvorin-13-complete"};
    c.prepare = [](InstalledHome& home, Installer&) { home.addQuorvane("13"); };
    c.lines = {"[Extractor] Will now run latest QV Halvorin-Halvorin-13-complete"};
    cases.push_back(c);
  }
  {
    // The installed Quorvane folder cannot be emptied (a part of it the user may not
    // empty): it is moved aside whole and the new folder takes its name; nothing is ever
    // copied into the old one.
    RoadCase c{"OldQvFolderThatCannotBeEmptiedIsMovedAside", {}, LAUNCHER_ARGS, {}, {}, {}, true,
               QV_FOLDER};
    c.prepare = [](InstalledHome& home, Installer&) {
      const std::string qv = home.addQuorvane("12");
      home.keepRootOwned(qv + "/locked");
      writeFileBytes(qv + "/locked/file", "old");
    };
    c.absent = {"[Rename] Can do no better than a copy on this filesystem"};
    cases.push_back(c);
  }
  {
    RoadCase c{"SilentShowsNothing", {}, {"-quiet", "x"}, {}, {}, {}, true, QV_FOLDER};
    c.prepare = [](InstalledHome&, Installer& in) { in.tail.header.silentParameter = "-quiet"; };
    c.lines = {"[Extractor] Showing splash"};
    c.absent = {SHOW_SPLASH};
    cases.push_back(c);
  }
  {
    RoadCase c{"PrepareOnlyInstallsWithoutLaunch", {}, {"x", PREPARE_ONLY}, {}, {}, {}, false, ""};
    c.lines = {"[Extractor] Showing splash",
               std::string("[Extractor] Will now run latest QV ") + QV_FOLDER};
    c.absent = {SHOW_SPLASH, "+++ Start: Launching", CLOSING};
    cases.push_back(c);
  }
  return cases;
}

class ExtractRoadCases : public ::testing::TestWithParam<RoadCase> {};

TEST_P(ExtractRoadCases, InstallsWholeAndEndsAsTheCaseSays) {
  const RoadCase& c = GetParam();
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  Installer in = offlineInstaller(c.options);
  if (c.prepare) c.prepare(home, in);
  home.pack(in.params, in.tail);
  const LauncherRun run = home.run(c.args, c.launched);
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  EXPECT_EQ("", missingInOrder(out, c.lines)) << out;
  for (const std::string& start : c.absent) {
    EXPECT_EQ(0, countLinesStartingWith(out, start)) << start << "\n" << out;
  }
  expectInstalled(home, in, out);
  if (c.options.appVersion.empty()) {
    EXPECT_FALSE(fs::exists(home.inMaster(APP_FOLDER)));
  }
  EXPECT_EQ(c.launched ? 1 : 0, launchCalls(run.calls)) << out;
  if (c.launched) {
    ASSERT_TRUE(run.reported) << out;
    EXPECT_EQ(std::vector<std::string>{home.inMaster(c.launchedQv)},
              propertyValues(run.result, "hvstat_app_dir"));
  } else {
    std::vector<std::string> texts = logTexts(run.logFile);
    std::erase(texts, "[Streamer] [FileReader] Done.");
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(std::string("[Extractor] Will now run latest QV ") + QV_FOLDER, texts.back());
  }
  // QV temp and APP temp, formed in one second, have one name.
  const std::string qvTemp = lineAfter(out, "[Extractor] QV temp is ");
  const std::string appTemp = lineAfter(out, "[Extractor] APP temp is ");
  if (std::string(c.name) == "OldQvFolderThatCannotBeEmptiedIsMovedAside") {
    const std::string line = "[Rename] Could not empty '" + home.inMaster(QV_FOLDER) +
                             "' (Directory not empty), moved it aside to '";
    const std::string aside = lineAfter(out, line);
    ASSERT_FALSE(aside.empty()) << out;
    const std::string asidePath = aside.substr(0, aside.size() - 1);  // the closing quote
    EXPECT_EQ("old", readFileBytes(asidePath + "/locked/file")) << "the old folder, whole";
    EXPECT_FALSE(fs::exists(home.inMaster(QV_FOLDER) + "/locked")) << "nothing of it merged";
  } else if (!appTemp.empty() && secondsOf(qvTemp) == secondsOf(appTemp)) {
    EXPECT_EQ(qvTemp, appTemp) << "formed in one second";
    EXPECT_EQ(0, countLinesStartingWith(out, "[Utils] " + appTemp + " is taken")) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtractRoadCases, ::testing::ValuesIn(roadCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Ends with status 1: online tail, tampered, unsigned and cut installers --------------

struct FailCase {
  const char* name;
  std::function<void(InstallerOptions&)> options;
  std::function<void(Installer&)> change;
  std::function<std::string(const std::string&)> cut;  // of the packed launcher's bytes
  std::vector<std::string> lines;
  bool runtimeInstalled = false;  // the cut comes after the runtime is in place
  EnvironmentList env = {};       // for the run
  std::string lineStart = {};     // a line that begins so (its path is the temp folder's)
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

// Flips one byte of the runtime's stream before the signature block.
std::string tamperedRuntime(const hvpack::ArchiveBuilder& archive) {
  std::string stream = archive.signedBytes(KEY_BITS);
  stream[stream.size() / 3] ^= 0x20;
  return stream;
}

// The packed launcher cut in the middle of the first entry whose data holds marker.
std::function<std::string(const std::string&)> cutInside(const std::string& marker) {
  return [marker](const std::string& bytes) {
    const size_t at = bytes.rfind(marker);
    if (at == std::string::npos) throw std::runtime_error("no " + marker + " in the launcher");
    return bytes.substr(0, at + marker.size() + 200);
  };
}

std::vector<FailCase> failCases() {
  return {
      // Until the online roads are built the skip of the system search ends at the
      // download: nothing answers at the placeholder.
      {"OnlineTail",
       [](InstallerOptions&) {},
       [](Installer& in) {
         in.tail.header.jreVersion = "";
         in.tail.header.skipSystemJre = "1";
       },
       {},
       {"[Extractor] Setting up a JRE"}},
      {"TamperedRuntime",
       [](InstallerOptions& o) { o.runtimeStream = tamperedRuntime; },
       {},
       {},
       {"[Unarchiver] ERROR - unable to verify signature of hash of archive."}},
      {"UnsignedRuntimeUnderAKey",
       [](InstallerOptions& o) { o.runtimeStream = [](const hvpack::ArchiveBuilder& a) { return a.bytes(); }; },
       {},
       {},
       {}},
      {"CutInsideTheQuorvane", [](InstallerOptions&) {}, {}, cutInside("qv.p2.l2"), {}},
      {"CutInsideTheRuntime", [](InstallerOptions&) {}, {}, cutInside("jre.p2.l2"), {}},
      {"CutInsideTheApplication", [](InstallerOptions&) {}, {}, cutInside("app.p2.l2"), {}, true},
      // The runtime's own unpack200 fails halfway, or hangs past its (shortened) limit.
      {"Unpack200FailingHalfway", [](InstallerOptions&) {}, {}, {}, {}, false,
       {{FIXTURE_UNPACK200_CUT_ENV, "3"}},
       "\t[Unarchiver] ERROR: unpack200 failed on "},
      {"Unpack200Hanging", [](InstallerOptions&) {}, {}, {}, {}, false,
       {{FIXTURE_UNPACK200_SLEEP_ENV, "30"}, {WAIT_LIMIT_ENV, "3"}},
       "\t[Unarchiver] ERROR: unpack200 failed on "},
  };
}

class ExtractRoadFailures : public ::testing::TestWithParam<FailCase> {};

TEST_P(ExtractRoadFailures, EndWithStatusOneAndNoRuntimeFolder) {
  const FailCase& c = GetParam();
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  InstallerOptions options;
  c.options(options);
  Installer in = offlineInstaller(options);
  if (c.change) c.change(in);
  home.pack(in.params, in.tail);
  if (c.cut) {
    const std::string bytes = readFileBytes(home.launcher());
    writeFileBytes(home.launcher(), c.cut(bytes));
  }
  const LauncherRun run = home.run(LAUNCHER_ARGS, false, c.env);
  const std::string& out = run.child.output;
  EXPECT_EQ(1, run.child.exitStatus) << out;
  EXPECT_EQ("", missingInOrder(out, c.lines)) << out;
  if (!c.lineStart.empty()) {
    EXPECT_EQ(1, countLinesStartingWith(out, c.lineStart)) << out;
  }
  EXPECT_EQ(c.runtimeInstalled, fs::exists(home.inMaster(JRE_FOLDER))) << out;
  EXPECT_FALSE(fs::exists(home.inMaster(APP_FOLDER))) << out;
  EXPECT_EQ(0, launchCalls(run.calls)) << out;
  EXPECT_FALSE(hasLine(out, "+++ Start: Launching")) << out;
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtractRoadFailures, ::testing::ValuesIn(failCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A cut installer never completes a folder ---------------------------------------------

// Where the entry with this path begins in the packed launcher: at its type value, "0"
// for a plain file or a nested archive.
size_t entryStart(const std::string& bytes, const std::string& path) {
  const size_t at = bytes.rfind(std::string("0\0", 2) + path + std::string("\0", 1));
  if (at == std::string::npos) throw std::runtime_error("no entry " + path);
  return at;
}

// The packed launcher cut halfway through the data of the entry with this path.
std::function<std::string(const std::string&)> cutInData(const std::string& path) {
  return [path](const std::string& bytes) {
    const size_t lengthAt = bytes.rfind(std::string("\0", 1) + path + std::string("\0", 1)) +
                            path.size() + 2;
    const size_t dataAt = bytes.find('\0', lengthAt) + 1;
    const size_t length = std::stoul(bytes.substr(lengthAt, dataAt - 1 - lengthAt));
    return bytes.substr(0, dataAt + length / 2);
  };
}

// The packed launcher cut just before the entry with this path: it and all after it are
// missing.
std::function<std::string(const std::string&)> cutBefore(const std::string& path) {
  return [path](const std::string& bytes) { return bytes.substr(0, entryStart(bytes, path)); };
}

enum class Component { Updater, Runtime, Application };

struct CutCase {
  const char* name;
  bool signedInstaller;
  std::function<std::string(const std::string&)> cut;
  Component cutIn;  // its complete folder and the later ones must not exist
  std::string line;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

std::string cutLine(const std::string& entry) {
  return "[Unarchiver] Entry " + entry + " ends before its length: the installer file is cut";
}

const std::vector<CutCase> CUT_CASES = {
    {"UpdaterPlainUnsigned", false, cutInData("qv-notes.txt"), Component::Updater,
     cutLine("qv-notes.txt")},
    {"UpdaterPlainSigned", true, cutInData("qv-notes.txt"), Component::Updater,
     cutLine("qv-notes.txt")},
    {"UpdaterPictureUnsigned", false, cutInData("nativesplash.png"), Component::Updater,
     cutLine("nativesplash.png")},
    {"UpdaterNestedUnsigned", false, cutInData("qv.p2.l2"), Component::Updater,
     cutLine("qv.p2.l2")},
    {"UpdaterNestedSigned", true, cutInData("qv.p2.l2"), Component::Updater,
     "[Unarchiver] ERROR - unable to verify signature of hash of archive."},
    {"RuntimeNestedUnsigned", false, cutInData("jre.p2.l2"), Component::Runtime,
     cutLine("jre.p2.l2")},
    {"RuntimeNestedSigned", true, cutInData("jre.p2.l2"), Component::Runtime,
     "[Unarchiver] ERROR - unable to verify signature of hash of archive."},
    {"RuntimeMissing", false, cutBefore("jre.p2.l2"), Component::Runtime,
     "[Extractor] An entry of the runtime is missing: the installer file is cut"},
    {"ApplicationNestedUnsigned", false, cutInData("app.p2.l2"), Component::Application,
     cutLine("app.p2.l2")},
    {"ApplicationPlainUnsigned", false, cutInData("app-notes.txt"), Component::Application,
     cutLine("app-notes.txt")},
    {"ApplicationPlainSigned", true, cutInData("app-notes.txt"), Component::Application,
     cutLine("app-notes.txt")},
    {"ApplicationEntryMissing", true, cutBefore("app-notes.txt"), Component::Application,
     "[Extractor] An entry of the application is missing: the installer file is cut"},
};

class ExtractRoadCut : public ::testing::TestWithParam<CutCase> {};

// A partial download of the installer ends with status 1 before the folder that holds the
// cut entry gets its complete name, so the whole installer, run afterwards, takes the
// extract road and installs everything.
TEST_P(ExtractRoadCut, EndsBeforeTheCompleteFolderThenTheWholeInstallerInstalls) {
  const CutCase& c = GetParam();
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  InstallerOptions options;
  options.signedInstaller = c.signedInstaller;
  // A store to replace would stop a cut runtime on its own: its lib/security is missing.
  options.qvCacerts = false;
  const Installer in = offlineInstaller(options);
  home.pack(in.params, in.tail);
  writeFileBytes(home.launcher(), c.cut(readFileBytes(home.launcher())));
  const LauncherRun cut = home.run(LAUNCHER_ARGS, false);
  const std::string& out = cut.child.output;
  EXPECT_EQ(1, cut.child.exitStatus) << out;
  EXPECT_TRUE(hasLine(out, c.line)) << out;
  EXPECT_EQ(c.cutIn > Component::Updater, fs::exists(home.inMaster(QV_FOLDER))) << out;
  EXPECT_EQ(c.cutIn > Component::Runtime, fs::exists(home.inMaster(JRE_FOLDER))) << out;
  EXPECT_FALSE(fs::exists(home.inMaster(APP_FOLDER))) << out;
  EXPECT_EQ(0, launchCalls(cut.calls)) << out;

  home.pack(in.params, in.tail);
  const LauncherRun whole = home.run(LAUNCHER_ARGS, true);
  ASSERT_EQ(0, whole.child.exitStatus) << whole.child.output;
  EXPECT_FALSE(hasLine(whole.child.output, RUNNING)) << whole.child.output;
  EXPECT_TRUE(whole.reported) << whole.child.output;
  expectInstalled(home, in, whole.child.output);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtractRoadCut, ::testing::ValuesIn(CUT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A full disk ---------------------------------------------------------------------------

// In the calling process: a mount namespace of its own with a new tmpfs at folder. false
// when the kernel refuses.
bool mountPrivateTmpfs(const std::string& folder, const std::string& options) {
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

// A tmpfs the home's user owns, with these limits ("size=", "nr_inodes=").
std::string tmpfsOptions(const InstalledHome& home, const std::string& limits) {
  return "mode=0755,uid=" + std::to_string(home.user().uid) +
         ",gid=" + std::to_string(home.user().gid) + "," + limits;
}

// "" when this machine lets a test mount a tmpfs in a namespace of its own, else why not.
std::string privateTmpfsRefused() {
  ScratchDir dir;
  const ChildRun probe = runInChild([&] { return mountPrivateTmpfs(dir.path(), "size=1m") ? 0 : 1; });
  return probe.exitStatus == 0 ? "" : "needs root and private mount namespaces to mount a tmpfs";
}

struct FileSystemUse {
  uint64_t inodes = 0, bytes = 0;
};

FileSystemUse inUse(const std::string& folder) {
  struct statvfs st;
  if (statvfs(folder.c_str(), &st) != 0) return {};
  return {st.f_files - st.f_ffree, (st.f_blocks - st.f_bfree) * st.f_frsize};
}

const char NO_SPACE[] = ": No space left on device";
const char RUNTIME_MISSING[] = "[Extractor] An entry of the runtime is missing: the installer file is cut";

// What the install folder holds once the updater is in place and the runtime's temporary
// folder made: the installer cut before its runtime, run on an ample tmpfs at the shared dir.
FileSystemUse useBeforeTheRuntime(InstalledHome& home, const std::string& packed) {
  writeFileBytes(home.launcher(), cutBefore("jre.p2.l2")(packed));
  const LauncherRun probe = home.run(LAUNCHER_ARGS, false);
  EXPECT_TRUE(hasLine(probe.child.output, RUNTIME_MISSING)) << probe.child.output;
  const FileSystemUse use = inUse(home.shared());
  writeFileBytes(home.launcher(), packed);
  umount(home.shared().c_str());
  return use;
}

// The install folder on a small tmpfs: the runtime does not fit. The run ends with status 1
// and a line naming the file and the full disk before the Unarchiver's own line, and no
// complete folder claims the runtime; with space, the next run installs and launches.
TEST(ExtractRoadFullDisk, RuntimeThatDoesNotFitEndsTheRunThenInstallsWithSpace) {
  const std::string refused = privateTmpfsRefused();
  if (!refused.empty()) GTEST_SKIP() << refused;
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  const Installer in = offlineInstaller();
  home.pack(in.params, in.tail);
  const std::string packed = readFileBytes(home.launcher());
  EXPECT_EQ("", runIsolated([&] {
    ASSERT_TRUE(mountPrivateTmpfs(home.shared(), tmpfsOptions(home, "size=64m")));
    const FileSystemUse before = useBeforeTheRuntime(home, packed);
    // Room for the updater and the log, not for the runtime's 300 KB jar.
    const std::string size = "size=" + std::to_string(before.bytes + 96 * 1024);
    ASSERT_EQ(0, mount("tmpfs", home.shared().c_str(), "tmpfs", 0, tmpfsOptions(home, size).c_str()));
    const LauncherRun full = home.run(LAUNCHER_ARGS, false);
    const std::string& out = full.child.output;
    EXPECT_EQ(1, full.child.exitStatus) << out;
    std::string cause;
    for (const std::string& text : logTexts(out)) {
      if (text.rfind("\t[Unarchiver] Cannot ", 0) == 0) cause = text;
    }
    ASSERT_GT(cause.size(), sizeof NO_SPACE) << out;
    EXPECT_EQ(NO_SPACE, cause.substr(cause.size() - (sizeof NO_SPACE - 1))) << cause;
    EXPECT_NE(std::string::npos, cause.find("/HalvorinTemp-")) << cause;
    EXPECT_EQ("", missingInOrder(out, {"[Extractor] Extracting JRE archive...", cause,
                                       "\t[Unarchiver] *************************** Unable to extract "
                                       "archive file. Unable to open file for writing."}))
        << out;
    EXPECT_TRUE(fs::exists(home.inMaster(QV_FOLDER))) << out;
    EXPECT_FALSE(fs::exists(home.inMaster(JRE_FOLDER))) << out;
    EXPECT_FALSE(fs::exists(home.inMaster(APP_FOLDER))) << out;
    EXPECT_EQ(0, launchCalls(full.calls)) << out;

    ASSERT_EQ(0, mount("tmpfs", home.shared().c_str(), "tmpfs", MS_REMOUNT,
                       tmpfsOptions(home, "size=64m").c_str()));
    const LauncherRun spacious = home.run(LAUNCHER_ARGS, true);
    ASSERT_EQ(0, spacious.child.exitStatus) << spacious.child.output;
    EXPECT_TRUE(spacious.reported) << spacious.child.output;
    expectInstalled(home, in, spacious.child.output);
  }));
}

// No inode left for the runtime's temporary folder: the offline road ends there with the
// system's reason, instead of extracting into a folder it did not make.
TEST(ExtractRoadFullDisk, JreTempFolderThatCannotBeMadeEndsTheRun) {
  const std::string refused = privateTmpfsRefused();
  if (!refused.empty()) GTEST_SKIP() << refused;
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  const Installer in = offlineInstaller();
  home.pack(in.params, in.tail);
  const std::string packed = readFileBytes(home.launcher());
  EXPECT_EQ("", runIsolated([&] {
    ASSERT_TRUE(mountPrivateTmpfs(home.shared(), tmpfsOptions(home, "size=64m")));
    const FileSystemUse before = useBeforeTheRuntime(home, packed);
    // Every inode of the probe but the runtime's temporary folder.
    const std::string inodes = "size=64m,nr_inodes=" + std::to_string(before.inodes - 1);
    ASSERT_EQ(0, mount("tmpfs", home.shared().c_str(), "tmpfs", 0, tmpfsOptions(home, inodes).c_str()));
    const LauncherRun run = home.run(LAUNCHER_ARGS, false);
    const std::string& out = run.child.output;
    EXPECT_EQ(1, run.child.exitStatus) << out;
    std::string cause;
    for (const std::string& text : logTexts(out)) {
      if (text.rfind("[Extractor] Cannot create folder " + home.master() + "/HalvorinTemp-", 0) == 0)
        cause = text;
    }
    ASSERT_GT(cause.size(), sizeof NO_SPACE) << out;
    EXPECT_EQ(NO_SPACE, cause.substr(cause.size() - (sizeof NO_SPACE - 1))) << cause;
    EXPECT_EQ("", missingInOrder(out, {"[Extractor] We want to query the JRE version to enable proxy detection.",
                                       cause, "[Extractor] Cannot make a temporary folder for the JRE"}))
        << out;
    EXPECT_EQ(0, countLinesStartingWith(out, "[Extractor] Extracting JRE archive...")) << out;
    EXPECT_TRUE(fs::exists(home.inMaster(QV_FOLDER))) << out;
    EXPECT_FALSE(fs::exists(home.inMaster(JRE_FOLDER))) << out;
  }));
}

// ---- Nothing lands outside the master folder --------------------------------------------

// Links planted at the complete folder names point outside; an application entry climbs
// out with "..". Nothing is written where they point, and the run ends with status 1.
TEST(ExtractRoadContainment, DotDotPathsAndPlantedLinksWriteNothingOutside) {
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  InstallerOptions options;
  options.appEntryPath = "../../escaped.p2.l2";
  const Installer in = offlineInstaller(options);
  home.pack(in.params, in.tail);
  const std::string outside = home.home() + "/outside";
  fs::create_directories(outside);
  writeFileBytes(outside + "/keep", "keep");
  fs::create_directory_symlink(outside, home.inMaster(JRE_FOLDER));
  fs::create_directory_symlink(outside, home.inMaster(APP_FOLDER));
  const LauncherRun run = home.run(LAUNCHER_ARGS, false);
  const std::string& out = run.child.output;
  EXPECT_EQ(1, run.child.exitStatus) << out;
  EXPECT_EQ((Tree{{"keep", "keep"}}), readTree(outside)) << out;
  // The runtime went in whole, replacing the link rather than writing through it.
  EXPECT_FALSE(fs::is_symlink(home.inMaster(JRE_FOLDER))) << out;
  EXPECT_TRUE(fs::exists(home.inMaster(JRE_FOLDER) + "/bin/java")) << out;
  EXPECT_TRUE(hasLine(out, "[Rename] The target is a link. Removing it.")) << out;
  // Nothing beside the master folder's parent, nothing beside the home.
  EXPECT_EQ((std::vector<std::string>{"Halvorin-ExtractApp"}), folderNames(home.shared()));
  EXPECT_FALSE(fs::exists(home.home() + "/escaped.p2.l2"));
  EXPECT_EQ(0, launchCalls(run.calls));
}

// ---- A JRE name that would leave the master folder -----------------------------------------

// The JRE name becomes part of the runtime folder's name, which the road empties and
// replaces. A name with '/', or "." or "..", given by the JreNameOverride file (which
// other users may write in a shared install) or by a later "jre_name" pair, is ignored
// and the runtime goes in under the name before it; the folder such a name points at
// stays as it was.
struct JreNameCase {
  const char* name;
  std::string value;
  bool inOverrideFile;        // else a second "jre_name" pair after the usual one
  std::string planted;        // a folder in the master that lets the name's ".." resolve
  std::string victim;         // below the home: where that name's runtime folder lands
  std::string ignoredLine;
};

void PrintTo(const JreNameCase& c, std::ostream* os) { *os << c.name; }

const std::string IGNORED_OVERRIDE = "[JREOverride] Ignoring JRE name ";
const std::string IGNORED_DYNAMIC = "[DynProps] Ignoring JRE name ";
const std::string KEEPING = " (not a plain name), keeping jre17";

const JreNameCase JRE_NAME_CASES[] = {
    {"OverrideClimbingOut", "x/../../../victim", true, "Halvorin-x", "victim-17-complete",
     IGNORED_OVERRIDE + "x/../../../victim" + KEEPING},
    {"OverrideFromTheRoot", "/../../victim", true, "Halvorin-", ".Halvorin/victim-17-complete",
     IGNORED_OVERRIDE + "/../../victim" + KEEPING},
    {"OverrideDotDot", "..", true, "", "", IGNORED_OVERRIDE + ".." + KEEPING},
    // A line end would split the log line; the updater's or the application's name would
    // make the runtime's folder replace or pose as theirs.
    {"OverrideWithALineEnd", "jre\n[Extractor] forged", true, "", "",
     IGNORED_OVERRIDE + "jre?[Extractor] forged" + KEEPING},
    {"OverrideWithABlank", "jre 17", true, "", "", IGNORED_OVERRIDE + "jre 17" + KEEPING},
    {"OverrideNamingTheUpdater", "Halvorin", true, "", "", IGNORED_OVERRIDE + "Halvorin" + KEEPING},
    {"OverrideNamingTheApplication", APP, true, "", "", IGNORED_OVERRIDE + APP + KEEPING},
    {"DynamicClimbingOut", "x/../../../victim", false, "Halvorin-x", "victim-17-complete",
     IGNORED_DYNAMIC + "x/../../../victim" + KEEPING},
};

class ExtractRoadJreName : public ::testing::TestWithParam<JreNameCase> {};

TEST_P(ExtractRoadJreName, ThatLeavesItsFolderIsIgnoredAndNothingOutsideIsTouched) {
  const JreNameCase& c = GetParam();
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  Installer in = offlineInstaller();
  if (c.inOverrideFile) {
    home.writeAppsFile("JreNameOverride", c.value);
  } else {
    in.params.pairs.push_back({"jre_name", c.value});
  }
  home.pack(in.params, in.tail);
  if (!c.planted.empty()) fs::create_directories(home.inMaster(c.planted));
  const std::string victim = c.victim.empty() ? "" : home.home() + "/" + c.victim;
  if (!victim.empty()) {
    fs::create_directories(victim + "/lib");
    writeFileBytes(victim + "/lib/keep", "not the runtime's\n");
  }

  const LauncherRun run = home.run(LAUNCHER_ARGS, true);
  const std::string& out = run.child.output;
  if (!victim.empty()) {
    EXPECT_EQ((Tree{{"lib/", ""}, {"lib/keep", "not the runtime's\n"}}), readTree(victim)) << out;
  }
  ASSERT_EQ(0, run.child.exitStatus) << out;
  EXPECT_EQ(1, countLinesStartingWith(out, c.ignoredLine)) << out;
  EXPECT_TRUE(hasLine(out, std::string("[Extractor] Extracted JRE ") + INSTALLED_JRE_NAME)) << out;
  expectInstalled(home, in, out);
  EXPECT_EQ(1, launchCalls(run.calls)) << out;
  std::vector<std::string> names = {"HVAppsSharedConfig", APP_FOLDER, QV_FOLDER, JRE_FOLDER, "logs"};
  if (c.inOverrideFile) names.push_back("HVApps");
  if (!c.planted.empty()) names.push_back(c.planted);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, folderNames(home.master())) << out;
  if (!c.planted.empty()) {
    EXPECT_TRUE(folderNames(home.inMaster(c.planted)).empty()) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtractRoadJreName, ::testing::ValuesIn(JRE_NAME_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A master folder the user may not write -----------------------------------------------

// The prepare-only run is the elevated one: it never elevates again.
TEST(ExtractRoadElevation, PrepareOnlyRunThatCannotCreateQvTempEndsWithoutElevating) {
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  const Installer in = offlineInstaller();
  home.pack(in.params, in.tail);
  home.keepRootOwned(home.master());
  const LauncherRun run = home.run({"x", PREPARE_ONLY}, false);
  const std::string& out = run.child.output;
  EXPECT_EQ(1, run.child.exitStatus) << out;
  const std::string qvTemp = lineAfter(out, "[Extractor] QV temp is ");
  EXPECT_TRUE(hasLine(out, "[SUDO] Prepare-only run unable to create QV temp folder " + qvTemp +
                               ", not elevating again"))
      << out;
  EXPECT_EQ(0, countLinesStartingWith(out, "[Extractor] Unable to create QV Temp folder")) << out;
  EXPECT_EQ(0, countLinesStartingWith(out, "[Unarchiver]")) << out;
  EXPECT_TRUE(folderNames(home.master()).empty());
}

// ---- Two first runs at once -------------------------------------------------------------

TEST(ExtractRoadTogether, TwoFirstRunsBothSucceedAndLeaveAWholeInstall) {
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  const Installer in = offlineInstaller();
  home.pack(in.params, in.tail);
  const std::vector<ChildRun> runs = home.runTogether(LAUNCHER_ARGS, 2);
  ASSERT_EQ(2u, runs.size());
  for (const ChildRun& run : runs) {
    EXPECT_EQ(0, run.exitStatus) << run.output;
  }
  // Two QV temp folders, never the same one, even when both runs formed the same name.
  EXPECT_NE(usedQvTemp(runs[0].output), usedQvTemp(runs[1].output))
      << runs[0].output << runs[1].output;
  expectInstalled(home, in, runs[0].output + runs[1].output);
  // The updater started. Not always twice: the later run replaces the complete folders
  // in place, and may do so while the earlier one's updater is being started from them.
  EXPECT_LE(1, awaitLaunchCalls(home.javaCallsPath(), 2))
      << readFileBytes(home.javaCallsPath()) << runs[0].output << runs[1].output;
  // A run that lost a rename to the other may leave its temporary folder: never a
  // complete folder that is not whole.
  for (const std::string& name : folderNames(home.master())) {
    EXPECT_TRUE(name.rfind("HalvorinTemp-", 0) == 0 ||
                name == APP_FOLDER || name == QV_FOLDER || name == JRE_FOLDER ||
                name == "HVAppsSharedConfig" || name == "logs")
        << name;
  }
}

// ---- The splash on a real X server --------------------------------------------------------

struct Grab {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
  uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// The first mapped top-level window of the splash type, or 0.
Window findSplashWindow(Display* display) {
  const Atom type = XInternAtom(display, "_NET_WM_WINDOW_TYPE", False);
  const Atom splash = XInternAtom(display, "_NET_WM_WINDOW_TYPE_SPLASH", False);
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  Window found = 0;
  if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) return 0;
  for (unsigned i = 0; i < count && found == 0; ++i) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, children[i], &attributes) ||
        attributes.map_state != IsViewable) {
      continue;
    }
    Atom actual;
    int format;
    unsigned long items, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, children[i], type, 0, 1, False, XA_ATOM, &actual, &format,
                           &items, &after, &data) == Success &&
        data != nullptr && items == 1 && *reinterpret_cast<Atom*>(data) == splash) {
      found = children[i];
    }
    if (data != nullptr) XFree(data);
  }
  if (children != nullptr) XFree(children);
  return found;
}

// A window that went away between two grabs is no reason to end the test process.
int ignoreXError(Display*, XErrorEvent*) { return 0; }

Grab grabWindow(Display* display, Window window) {
  XWindowAttributes attributes;
  if (XGetWindowAttributes(display, window, &attributes) == 0) return Grab{};
  Grab grab;
  grab.width = attributes.width;
  grab.height = attributes.height;
  XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(grab.width),
                            static_cast<unsigned>(grab.height), AllPlanes, ZPixmap);
  if (image == nullptr) return Grab{};
  for (int y = 0; y < grab.height; ++y) {
    for (int x = 0; x < grab.width; ++x) {
      grab.pixels.push_back(static_cast<uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFF);
    }
  }
  XDestroyImage(image);
  return grab;
}

// While the runtime's pack200 entries wait on a slow unpack200, the splash is up with the
// Quorvane's picture, its frame and the moving indefinite strip.
TEST(ExtractRoadSplash, ShownWithPictureFrameAndMovingStripDuringSlowUnpack) {
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready());
  XvfbServer xvfb;
  if (!xvfb.start(24)) GTEST_SKIP() << xvfb.why();
  const Installer in = offlineInstaller();
  home.pack(in.params, in.tail);
  LauncherRun run;
  std::thread launcher([&] {
    run = home.run(LAUNCHER_ARGS, false,
                   {{"DISPLAY", xvfb.display()}, {FIXTURE_UNPACK200_SLEEP_ENV, "2"}});
  });
  Display* display = XOpenDisplay(xvfb.display().c_str());
  ASSERT_NE(nullptr, display);
  Window window = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (window == 0 && std::chrono::steady_clock::now() < deadline) {
    window = findSplashWindow(display);
    if (window == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // The strip's moves are timed by its own thread, which a loaded machine may hold back:
  // grabs go on until the strip has changed, the window is gone or a few seconds passed.
  XSetErrorHandler(ignoreXError);
  Grab first, second;
  const auto stripChanged = [&] {
    for (int y = static_cast<int>(PICTURE_H) + 1; y + 1 < first.height; ++y) {
      for (int x = 1; x + 1 < first.width; ++x) {
        if (first.at(x, y) != second.at(x, y)) return true;
      }
    }
    return false;
  };
  if (window != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    first = grabWindow(display, window);
    const auto grabsEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const Grab next = grabWindow(display, window);
      if (next.width != first.width || next.height != first.height) break;
      second = next;
    } while (!stripChanged() && std::chrono::steady_clock::now() < grabsEnd);
  }
  XCloseDisplay(display);
  launcher.join();
  ASSERT_NE(0u, window) << "no splash window\n" << run.child.output;
  EXPECT_EQ(0, run.child.exitStatus) << run.child.output;

  // The picture fills the window's width; the strip lies below it.
  ASSERT_EQ(static_cast<int>(PICTURE_W), first.width);
  ASSERT_GT(first.height, static_cast<int>(PICTURE_H));
  ASSERT_EQ(first.width, second.width);
  // Inside the frame: the picture's own pixels.
  int wrong = 0;
  for (uint32_t y = 1; y + 1 < PICTURE_H; ++y) {
    for (uint32_t x = 1; x + 1 < PICTURE_W; ++x) {
      const uint32_t want = ((x * 4 + 1) & 0xFF) << 16 | ((y * 6) & 0xFF) << 8 | ((x + y + 1) & 0xFF);
      if (first.at(static_cast<int>(x), static_cast<int>(y)) != want) ++wrong;
    }
  }
  EXPECT_EQ(0, wrong) << "picture pixels differ";
  // The light grey frame around the picture.
  EXPECT_EQ(0xD2D2D2u, first.at(0, 0));
  EXPECT_EQ(0xD2D2D2u, first.at(first.width - 1, static_cast<int>(PICTURE_H) / 2));
  // The strip below the picture moves while the window stands.
  ASSERT_EQ(first.height, second.height) << "no second grab of the window";
  EXPECT_TRUE(stripChanged()) << "the indefinite strip stands still";
}

// ---- What other local users can do to a per-user install ------------------------------

constexpr uid_t OTHER_USER_UID = 47202;

// A home others may enter (useradd's default 0755), fresh or holding an earlier install
// whose folders and files were left open to everyone.
struct ClosedInstallCase {
  const char* name;
  bool earlierOpenInstall;
};

void PrintTo(const ClosedInstallCase& c, std::ostream* os) { *os << c.name; }

class PerUserInstall : public ::testing::TestWithParam<ClosedInstallCase> {};

// After the install no entry below the shared dir is writable by others, and a second
// user can neither plant a file in any folder nor open any file for writing.
TEST_P(PerUserInstall, IsClosedToOtherUsers) {
  const ClosedInstallCase& c = GetParam();
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready()) << "no JDK for the fixture runtime";
  const Installer in = offlineInstaller();
  home.pack(in.params, in.tail);
  const std::string oldQv = home.inMaster("Halvorin-Halvorin-11-complete");
  if (c.earlierOpenInstall) {
    home.addQuorvane("11");
    for (const std::string& folder : {home.shared(), home.master(), oldQv, oldQv + "/lib"}) {
      chmod(folder.c_str(), 0777);
    }
    chmod((oldQv + "/lib/updater.jar").c_str(), 0666);
  }
  chmod(home.home().c_str(), 0755);
  const LauncherRun run = home.run(LAUNCHER_ARGS, true);
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  ASSERT_TRUE(run.reported) << out;
  EXPECT_EQ(c.earlierOpenInstall ? 1 : 0,
            countLinesStartingWith(out, "[ChMod] Closing " + home.shared() + " to other users"))
      << out;

  std::vector<std::string> folders = {home.shared()}, files, writable;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(home.shared(), ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
    (S_ISDIR(st.st_mode) ? folders : files).push_back(it->path());
  }
  ASSERT_GT(files.size(), 10u);
  for (const auto* list : {&folders, &files}) {
    for (const std::string& path : *list) {
      if ((modeOf(path) & 0022) != 0) writable.push_back(path);
    }
  }
  EXPECT_EQ(std::vector<std::string>{}, writable) << "writable by others";
  if (c.earlierOpenInstall) {
    EXPECT_EQ(0755u, modeOf(oldQv));
    EXPECT_EQ(0644u, modeOf(oldQv + "/lib/updater.jar"));
  }

  // The attack: the second user plants a file in each folder and opens each file for
  // writing; the exit status counts what worked.
  const ChildRun attack = runAsUser(home.passwdPath(), OTHER_USER_UID, home.user().gid, [&] {
    int worked = 0;
    for (const std::string& folder : folders) {
      const int fd = open((folder + "/hv-planted").c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd >= 0) ++worked, close(fd);
    }
    for (const std::string& file : files) {
      const int fd = open(file.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0) ++worked, close(fd);
    }
    return worked < 100 ? worked : 100;
  });
  EXPECT_EQ(0, attack.exitStatus) << "entries another user could write";
}

INSTANTIATE_TEST_SUITE_P(Cases, PerUserInstall,
                         ::testing::Values(ClosedInstallCase{"FreshHome", false},
                                           ClosedInstallCase{"EarlierOpenInstall", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// An earlier version left the master folder open (the shared dir itself closed), and
// another user put a runtime of a higher version there, which chmod cannot close: the
// run moves it aside, says so, and launches with its own runtime.
TEST(PerUserInstallForeignEntries, AreMovedAsideAndNeverRun) {
  InstalledHome home(APP);
  ASSERT_TRUE(home.ready()) << "no JDK for the fixture runtime";
  const Installer in = offlineInstaller();
  home.pack(in.params, in.tail);
  home.addQuorvane("11");
  const std::string planted = home.inMaster("Halvorin-jre17-99-complete");
  ASSERT_TRUE(home.plantAsOtherUser(planted, [](const std::string& path) {
    return buildRuntimeFixture(path) && chmod(path.c_str(), 0777) == 0;
  }));
  chmod(home.shared().c_str(), 0755);
  const LauncherRun run = home.run(LAUNCHER_ARGS, true);
  const std::string& out = run.child.output;
  ASSERT_EQ(0, run.child.exitStatus) << out;
  ASSERT_TRUE(run.reported) << out;
  const std::string aside = home.inMaster("HalvorinForeign_" + std::to_string(OTHER_USER_UID) + "_0");
  EXPECT_EQ(1, countLinesStartingWith(out, "[ChMod] Closing " + home.shared() + " to other users"))
      << out;
  EXPECT_TRUE(hasLine(out, "[ChMod] " + planted + " belongs to user " +
                               std::to_string(OTHER_USER_UID) + ": moved aside to " + aside +
                               ", never read"))
      << out;
  EXPECT_FALSE(pathExists(planted));
  EXPECT_TRUE(pathExists(aside + "/bin/java")) << "left whole, only renamed";
  ASSERT_FALSE(run.calls.empty());
  for (const std::vector<std::string>& call : run.calls) {
    EXPECT_EQ(0u, call.at(0).rfind(home.master() + "/HalvorinTemp-", 0) == 0
                      ? 0u
                      : call.at(0).rfind(home.inMaster(JRE_FOLDER) + "/bin/", 0))
        << call.at(0);
  }
  EXPECT_EQ(0, countLinesStartingWith(out, "[PickFolder] Folder Halvorin-jre17-99-complete")) << out;
}

}  // namespace
