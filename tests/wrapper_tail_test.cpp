// The wrapper tail: real launchers packed with the test-side packer and started as their
// own processes (log lines and exit statuses), and steps 1 to 4 run in a forked child on
// a packed file to check the values they hand on, the launch properties byte for byte.
#include "launcher/wrapper_tail.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "core/launch_property_list.h"
#include "core/property_stream.h"
#include "pipeline/signature.h"
// Before the splash header: X11 defines None, which the fixture headers use as a name.
#include "tests/support/installed_home.h"
#include "splash/splash_window.h"
#include "tests/support/markers.h"
#include "tests/support/output_capture.h"
#include "tests/support/packer.h"
#include "tests/support/run_program.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signer.h"

namespace {

namespace fs = std::filesystem;
using Pairs = std::vector<std::pair<std::string, std::string>>;

const std::string NO_PARAMS_MARKER = "Could not find marker: Params\n";
const std::string PARAMS_OPEN_FAILURE =
    "[Extractor] *********************** Failed to extract wrapper params - couldn't open file ";
const std::string STATIC_SETUP = "[Extractor] Setting up static properties\n";
const std::string SILENT_0 = "[Extractor] Is silent install is 0\n";
const std::string SILENT_1 = "[Extractor] Is silent install is 1\n";
const std::string PREPARE_ONLY_MARKER = "HVPREPARE_FOR_LAUNCH_ONLY";

// An app name no other run uses; the later steps make the master folder after it.
std::string uniqueAppName() {
  static std::atomic<int> counter{0};
  return "WTail" + std::to_string(getpid()) + "x" + std::to_string(counter++);
}

// Removes what a run of the launcher may have installed under the home folder (taken
// from the password database, as the launcher takes it).
class InstallCleanup {
 public:
  explicit InstallCleanup(std::string appName) : appName_(std::move(appName)) {
    const passwd* pw = getpwuid(getuid());
    shared_ = std::string(pw != nullptr ? pw->pw_dir : "/nonexistent") + "/.Halvorin";
    sharedExisted_ = fs::exists(shared_);
  }
  ~InstallCleanup() {
    std::error_code ec;
    fs::remove_all(shared_ + "/Halvorin-" + appName_, ec);
    if (!sharedExisted_ && fs::is_empty(shared_, ec)) fs::remove(shared_, ec);
  }

 private:
  std::string appName_, shared_;
  bool sharedExisted_;
};

// A header with nothing to install: no Quorvane, so no entry is ever read, and an
// update site that cannot answer.
hvpack::TailHeader quietHeader(const std::string& appName) {
  hvpack::TailHeader h;
  h.appName = appName;
  h.installType = "wrapper_tail_test";
  h.updateUrl = "http://127.0.0.1:9/";
  return h;
}

hvpack::ParamsBlock paramsOf(const Pairs& pairs) {
  hvpack::ParamsBlock p;
  p.pairs = pairs;
  return p;
}

std::string pack(const ScratchDir& dir, const std::string& name, const std::string& tail) {
  const std::string path = dir / name;
  hvpack::packLauncher(HV_LAUNCHER_PATH, path, tail);
  return path;
}

void expectInOrder(const std::string& output, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = output.find(line, at);
    ASSERT_NE(std::string::npos, found) << "missing or out of order: [" << line << "]\n" << output;
    at = found + line.size();
  }
}

void expectAbsent(const std::string& output, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    EXPECT_EQ(std::string::npos, output.find(line)) << "unexpected: [" << line << "]\n" << output;
  }
}

// Whatever the later steps decide, the run ends by itself and no sanitizer speaks.
void expectCleanEnd(const ProgramResult& r) {
  EXPECT_TRUE(r.status >= 0 && r.status < 128) << "status " << r.status << "\n" << r.output;
  expectAbsent(r.output, {"Sanitizer", "runtime error:"});
}

std::string realPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

// ---- End to end: packed launchers started as processes ------------------------------

struct LaunchCase {
  const char* name;
  Pairs params;
  void (*header)(hvpack::TailHeader&);  // changes to the quiet header; may be null
  std::vector<std::string> args;
  std::vector<std::string> present;  // in this order
  std::vector<std::string> absent;
};

void updateUrlD(hvpack::TailHeader& h) { h.updateUrl = "D"; }
void updateUrlLowerD(hvpack::TailHeader& h) { h.updateUrl = "d"; }
void updateUrlDx(hvpack::TailHeader& h) { h.updateUrl = "Dx"; }
void silentQuiet(hvpack::TailHeader& h) { h.silentParameter = "--quiet"; }
void silentPrepareOnly(hvpack::TailHeader& h) { h.silentParameter = PREPARE_ONLY_MARKER; }
void noKey(hvpack::TailHeader& h) { h.signaturePublicKey = ""; }
void badKey(hvpack::TailHeader& h) { h.signaturePublicKey = "00000000"; }
void javaAndSkip(hvpack::TailHeader& h) {
  h.requiredJavaVersion = "17";
  h.skipSystemJre = "y";
}

std::string repeat(char c, size_t n) { return std::string(n, c); }

const LaunchCase LAUNCH_CASES[] = {
    {"ValuesUpTo100CharsLoggedWhole",
     {{"v100", repeat('a', 100)}, {"v101", repeat('b', 101)}},
     nullptr,
     {},
     {"+++ Processing 2 dynamic properties\n",
      "[DynProps] Dynamic Param 0: v100=[" + repeat('a', 100) + "]\n",
      "[DynProps] Dynamic Param 1: v101=[" + repeat('b', 99) + "...]\n",
      "--- End: Processing dynamic properties\n", STATIC_SETUP},
     {}},
    // A value longer than its buffer keeps its first 199999 bytes, with the reader's
    // warning; the list has no room for it and says so.
    {"ValueLongerThanItsBuffer",
     {{"update_url", repeat('u', 200005)}},
     updateUrlD,
     {},
     {"***WARNING - STRING TOO LONG FOR ALLOC ",
      "[DynProps] Dynamic Param 0: update_url=[" + repeat('u', 99) + "...]\n",
      "[LaunchProperties] Property hvdyna_update_url dropped", STATIC_SETUP},
     {}},
    {"SplashImageLineCutAfter99Chars",
     {{"splash_image", repeat('A', 99)}, {"splash_image", repeat('Q', 100)}},
     nullptr,
     {},
     {"[DynProps] Splash Image is " + repeat('A', 99) + "\n",
      "[DynProps] Base64 decoding image...\n",
      "[Extractor] Base64 deconding failed as input_length is not aligned\n",
      "[DynProps] Decode complete [image size is 0]\n",
      "[DynProps] Dynamic Param 1: splash_image=[" + repeat('Q', 100) + "]\n",
      "[DynProps] Splash Image is " + repeat('Q', 99) + "...\n",
      "[DynProps] Decode complete [image size is 75]\n"},
     {}},
    {"ShowNoUiOnlyForExactlyTrue",
     {{"show_no_ui", "TRUE"}, {"show_no_ui", "1"}, {"show_no_ui", "yes"}},
     nullptr,
     {},
     {SILENT_0},
     {SILENT_1}},
    {"ShowNoUiNeverCleared",
     {{"show_no_ui", "true"}, {"show_no_ui", "false"}},
     nullptr,
     {},
     {SILENT_1},
     {SILENT_0}},
    {"DuplicateNamesBothLoggedSecondWins",
     {{"update_url", "http://first/"},
      {"jre_name", "jre-a"},
      {"update_url", "http://second/"},
      {"jre_name", "jre-b"}},
     updateUrlD,
     {},
     {"[DynProps] Dynamic Param 0: update_url=[http://first/]\n",
      "[DynProps] Dynamic Update URL: http://first/\n",
      "[DynProps] JRE name from dynamic launch properties is jre-a\n",
      "[DynProps] Dynamic Param 2: update_url=[http://second/]\n",
      "[DynProps] Dynamic Update URL: http://second/\n",
      "[DynProps] JRE name from dynamic launch properties is jre-b\n",
      "[Extractor] Will use Dynamic Update URL: http://second/\n"},
     {}},
    {"UpdateUrlDWithoutPairIsEmpty",
     {},
     updateUrlD,
     {},
     {"[Extractor] Will use Dynamic Update URL: \n"},
     {"Will use Static"}},
    {"UpdateUrlLowerDIsStatic",
     {{"update_url", "http://dyn/"}},
     updateUrlLowerD,
     {},
     {"[Extractor] Will use Static Update URL: d\n"},
     {"Will use Dynamic"}},
    {"UpdateUrlDxIsStatic",
     {{"update_url", "http://dyn/"}},
     updateUrlDx,
     {},
     {"[Extractor] Will use Static Update URL: Dx\n"},
     {"Will use Dynamic"}},
    {"StaticUpdateUrl",
     {},
     nullptr,
     {},
     {"[Extractor] Will use Static Update URL: http://127.0.0.1:9/\n"},
     {"Will use Dynamic"}},
    {"RequiredJavaAndSkipSystemJreLogged",
     {},
     javaAndSkip,
     {},
     {"+++ Start: Extracting wrapper tail\n", "[Extractor] Found tail marker\n",
      "[Extractor] Required Java version 17\n", "[Extractor] Skipping System JRE\n",
      "--- End: Extracting tail\n"},
     {}},
    {"SilentParameterAmongTheArguments",
     {},
     silentQuiet,
     {"a", "--quiet", "b"},
     {SILENT_1},
     {SILENT_0}},
    {"SilentParameterComparedExactly",
     {},
     silentQuiet,
     {"--quiet2", "--QUIET"},
     {SILENT_0},
     {SILENT_1}},
    {"SilentParameterCanBeThePrepareOnlyMarker",
     {},
     silentPrepareOnly,
     {PREPARE_ONLY_MARKER},
     {"[Extractor] This is an elevated run purely to prepare an installation. Will not show UI or "
      "launch an app\n",
      SILENT_1},
     {SILENT_0}},
    {"EmptySilentParameterNeverSilent", {}, nullptr, {"", "x"}, {SILENT_0}, {SILENT_1}},
    {"EmptyKeyIsNoKey",
     {},
     noKey,
     {},
     {STATIC_SETUP, "[Extractor] Public key length 0 (no public key)\n"},
     {"Processed public key", "Public Key:"}},
    {"BadKeyBytesLeaveNoKey",
     {},
     badKey,
     {},
     {"[Extractor] Processed public key of length 4\n", "[Extractor] Hex: 00000000\n",
      "ERROR - unable to import public key.", "[Extractor] Public Key: 00000000\n"},
     {}},
};

void PrintTo(const LaunchCase& c, std::ostream* os) { *os << c.name; }

class WrapperTailLaunch : public ::testing::TestWithParam<LaunchCase> {};

TEST_P(WrapperTailLaunch, LogsAndEffects) {
  const LaunchCase& c = GetParam();
  const std::string app = uniqueAppName();
  InstallCleanup cleanup(app);
  ScratchDir dir;
  hvpack::TailBlock tail;
  tail.header = quietHeader(app);
  if (c.header != nullptr) c.header(tail.header);
  const std::string path = pack(dir, "launcher", hvpack::wrapperTail(paramsOf(c.params), tail));
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const ProgramResult r = runProgram(path, argv, {.cwd = dir.path()});
  expectCleanEnd(r);
  expectInOrder(r.output, c.present);
  expectAbsent(r.output, c.absent);
}

INSTANTIATE_TEST_SUITE_P(Cases, WrapperTailLaunch, ::testing::ValuesIn(LAUNCH_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// The key import lines need the committed test key, so the cases are built here.
TEST(WrapperTailLaunchKey, ValidKeyImported) {
  const std::string hex = Signer_publicKeyHex(2048);
  ASSERT_FALSE(hex.empty());
  const std::string app = uniqueAppName();
  InstallCleanup cleanup(app);
  ScratchDir dir;
  hvpack::TailBlock tail;
  tail.header = quietHeader(app);
  tail.header.signaturePublicKey = hex;
  const std::string path = pack(dir, "launcher", hvpack::wrapperTail(paramsOf({}), tail));
  const ProgramResult r = runProgram(path, {path});
  expectCleanEnd(r);
  expectInOrder(r.output, {STATIC_SETUP,
                           "[Extractor] Processed public key of length " +
                               std::to_string(Signer_publicKeyDer(2048).size()) + "\n",
                           "[Extractor] Hex: " + hex + "\n", "[Extractor] Public Key: "});
  // The key line shows the low 32 bits of the key's address, which some allocators (the
  // thread sanitizer's) leave 0 even for a key that imported: the error line tells.
  expectAbsent(r.output, {"ERROR - unable to import public key."});
}

// A cut launcher file: nothing past the missing value is used, nothing is installed.
TEST(WrapperTailLaunchCut, BlockEndingEarlyEndsTheRun) {
  struct Case {
    const char* name;
    hvpack::BlockOrder order;
    std::string countText;  // "Params Count" as written; empty: the number of pairs
    int headerValues;
    std::string missing;
  };
  const Case cases[] = {
      {"HeaderAfterFiveValues", hvpack::BlockOrder::ParamsFirst, "", 5,
       "[Extractor] The tail header ends before \"Signature Public Key\" (value 6 of 12): the "
       "launcher file is cut short\n"},
      {"HeaderWithoutItsLastValue", hvpack::BlockOrder::ParamsFirst, "", 11,
       "[Extractor] The tail header ends before \"Skip System JRE\" (value 12 of 12)"},
      {"HeaderEmpty", hvpack::BlockOrder::ParamsFirst, "", 0,
       "[Extractor] The tail header ends before \"App Name\" (value 1 of 12)"},
      {"ParamsPairMissing", hvpack::BlockOrder::TailFirst, "3", 12,
       "[Extractor] The Params block ends before the Param Name of pair 3 of 3: the launcher file "
       "is cut short\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string app = uniqueAppName();
    InstallCleanup cleanup(app);
    ScratchDir dir;
    hvpack::ParamsBlock params = paramsOf({{"a", "1"}, {"b", "2"}});
    if (!c.countText.empty()) params.countText = c.countText;
    hvpack::TailBlock tail;
    tail.header = quietHeader(app);
    tail.headerValues = c.headerValues;
    const std::string path = pack(dir, "launcher", hvpack::wrapperTail(params, tail, c.order));
    const ProgramResult r = runProgram(path, {path});
    expectCleanEnd(r);
    EXPECT_EQ(1, r.status) << r.output;
    expectInOrder(r.output, {c.missing});
    expectAbsent(r.output, {STATIC_SETUP, "Logging to"});
  }
}

// A file that ends right after the Params marker has no "Params Count": no dynamic
// property, and the run goes on.
TEST(WrapperTailLaunchCut, MissingParamsCountMeansNoPairs) {
  const std::string app = uniqueAppName();
  InstallCleanup cleanup(app);
  ScratchDir dir;
  hvpack::TailBlock tail;
  tail.header = quietHeader(app);
  const std::string path =
      pack(dir, "launcher", hvpack::tailSection(tail) + hvpack::paramsMarker());
  const ProgramResult r = runProgram(path, {path});
  expectCleanEnd(r);
  expectInOrder(r.output, {"+++ Processing -1 dynamic properties\n", SILENT_0, STATIC_SETUP});
}

// How the launcher finds its own file from argv[0]. It lies in <top>/bin; the run
// starts in <top> or in another folder, which may hold a decoy: another packed launcher
// of the same name, as an unrelated file in the folder of a PATH start could be.
TEST(WrapperTailLaunchPath, OwnFileFromTheProgramPath) {
  struct Case {
    const char* name;
    std::string argv0;  // "NAME" stands for the launcher's file name
    bool startInTop;
    bool decoy;
    int status;
    std::string expected;
  };
  const std::string OWN = "[DynProps] Dynamic Param 0: who=[own]\n";
  const Case cases[] = {
      // A name without '/' is what a search of PATH hands on.
      {"ByNameBesideADecoy", "NAME", false, true, -1, OWN},
      {"ByNameInAnEmptyFolder", "NAME", false, false, -1, OWN},
      {"RelativeSubfolderPath", "bin/NAME", true, false, -1, OWN},
      {"RelativePathThatDoesNotExist", "./no-such-launcher", false, true, 1,
       PARAMS_OPEN_FAILURE + "./no-such-launcher\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string app = uniqueAppName();
    InstallCleanup cleanup(app);
    ScratchDir top, elsewhere;
    const std::string name = "hv" + app;
    fs::create_directory(top / "bin");
    hvpack::TailBlock tail;
    tail.header = quietHeader(app);
    const std::string own =
        pack(top, "bin/" + name, hvpack::wrapperTail(paramsOf({{"who", "own"}}), tail));
    const ScratchDir& cwd = c.startInTop ? top : elsewhere;
    if (c.decoy) pack(cwd, name, hvpack::wrapperTail(paramsOf({{"who", "decoy"}}), tail));
    std::string argv0 = c.argv0;
    if (const size_t at = argv0.find("NAME"); at != std::string::npos) argv0.replace(at, 4, name);
    const ProgramResult r = runProgram(own, {argv0}, {.cwd = cwd.path()});
    expectCleanEnd(r);
    if (c.status >= 0) {
      EXPECT_EQ(c.status, r.status) << r.output;
    }
    expectInOrder(r.output, {"[Extractor] The executable name is " + argv0 + "\n", c.expected});
    expectAbsent(r.output, {"who=[decoy]"});
    if (argv0 == name) {
      expectInOrder(r.output, {"[Extractor] The absolute wrapper path is " + realPath(own) + "\n"});
    }
  }
}

// ---- Steps 1 to 4 in a forked child: the values they hand on ------------------------

// What steps 1 to 4 left in the run record, flattened to names and byte strings.
using Outcome = std::map<std::string, std::string>;

std::string hexOf(const std::string& bytes) {
  return Signer_toHex(SignerBytes(bytes.begin(), bytes.end()));
}

std::string text(const char* value) { return value == nullptr ? "<null>" : value; }

// Runs steps 1 to 4 on the packed file in a child and reads back what they made; the
// child's address space is limited to addressLimit bytes when one is given (not under
// the sanitizers, which reserve far more for themselves).
Outcome runSteps(const std::string& path, const std::vector<std::string>& args,
                 rlim_t addressLimit = RLIM_INFINITY) {
  ScratchDir out;
  const std::string report = out / "report";
  const ChildRun child = runInChild([&] {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    (void)addressLimit;
#else
    const rlimit limit = {addressLimit, addressLimit};
    if (addressLimit != RLIM_INFINITY && setrlimit(RLIMIT_AS, &limit) != 0) return 120;
#endif
    unsetenv("DISPLAY");
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    ExtractorRun* run = new ExtractorRun{};
    run->programPath = path.c_str();
    run->launcherArgc = static_cast<int>(argv.size());
    run->launcherArgv = argv.data();
    WrapperTail_start(run);
    WrapperTail_readParams(run);
    WrapperTail_readTailHeader(run);
    WrapperTail_setupStaticProperties(run);
    const TailHeader& t = run->tail;
    const char* firstEntry = readStreamString(run->tailRing, "Archive File Type");
    const std::string effective = run->effectiveUpdateUrl == t.updateUrl             ? "tail"
                                  : run->effectiveUpdateUrl == run->dynamicUpdateUrl ? "dynamic"
                                                                                     : "other";
    const char* list = run->launchProperties->buffer;
    hvpack::PropertyWriter w;
    w.value("properties").value(hexOf(std::string(list, propListEnd(run->launchProperties) + 2)));
    w.value("silent").value(run->silent ? "1" : "0");
    w.value("autotest").value(run->autotest ? "1" : "0");
    w.value("dynamicUpdateUrl").value(text(run->dynamicUpdateUrl));
    w.value("effectiveUpdateUrl").value(text(run->effectiveUpdateUrl));
    w.value("effectiveIs").value(effective);
    w.value("jreName").value(run->jreName);
    w.value("splashImage")
        .value(run->dynamicSplashImage == nullptr
                   ? "<none>"
                   : hexOf(std::string(reinterpret_cast<char*>(run->dynamicSplashImage),
                                       run->dynamicSplashImageSize)));
    w.value("splashBuffer").value(std::to_string(getSplashBuffer()));
    w.value("key").value(archiveSignatureKey.load() != nullptr ? "imported" : "none");
    w.value("firstEntry").value(text(firstEntry));
    w.value("appName").value(text(t.appName));
    w.value("updateUrl").value(text(t.updateUrl));
    w.value("skipSystemJre").value(text(t.skipSystemJre));
    w.value("signaturePublicKey").value(text(t.signaturePublicKey));
    writeFileBytes(report, w.bytes());
    return 0;
  });
  EXPECT_EQ(0, child.exitStatus) << child.output;
  Outcome outcome;
  if (child.exitStatus != 0) return outcome;
  const std::string bytes = readFileBytes(report);
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t nameEnd = bytes.find('\0', at);
    const std::string name = bytes.substr(at, nameEnd - at);
    at = nameEnd + 1;
    const size_t valueEnd = bytes.find('\0', at);
    outcome[name] = bytes.substr(at, valueEnd - at);
    at = valueEnd + 1;
  }
  return outcome;
}

// The expected list: entries joined by one 0x00, an empty value as 0x04, two 0x00 last.
std::string listOf(const Pairs& properties) {
  std::string out;
  for (const auto& [key, value] : properties) {
    if (!out.empty()) out += '\0';
    out += key + '\0' + (value.empty() ? std::string(1, '\x04') : value);
  }
  return out + std::string(2, '\0');
}

// Every header value distinct, so that a mix-up shows.
hvpack::TailHeader fullHeader(const std::string& appName) {
  hvpack::TailHeader h;
  h.appName = appName;
  h.appVersion = "41";
  h.jreVersion = "17.0.9";
  h.qvVersion = "";
  h.minSplashMs = "1500";
  h.signaturePublicKey = "";
  h.canOverrideSplash = "1";
  h.installType = "wrapper_tail_test";
  h.silentParameter = "--quiet";
  h.requiredJavaVersion = "17";
  h.updateUrl = "http://127.0.0.1:9/site";
  h.skipSystemJre = "y";
  return h;
}

struct StepsCase {
  const char* name;
  Pairs params;
  std::vector<std::string> args;
  hvpack::BlockOrder order;
  bool silent;
};

void PrintTo(const StepsCase& c, std::ostream* os) { *os << c.name; }

class WrapperTailSteps : public ::testing::TestWithParam<StepsCase> {};

TEST_P(WrapperTailSteps, LaunchPropertiesByteForByte) {
  const StepsCase& c = GetParam();
  ScratchDir dir;
  hvpack::TailBlock tail;
  tail.header = fullHeader(uniqueAppName());
  const std::string path =
      pack(dir, "launcher", hvpack::wrapperTail(paramsOf(c.params), tail, c.order));
  const Outcome o = runSteps(path, c.args);
  const Pairs expected = startupProperties(paramsOf(c.params), tail.header, c.silent);
  EXPECT_EQ(hexOf(listOf(expected)), o.at("properties"));
  EXPECT_EQ(c.silent ? "1" : "0", o.at("silent"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WrapperTailSteps,
    ::testing::Values(StepsCase{"NoPairsNotSilent", {}, {}, hvpack::BlockOrder::ParamsFirst, false},
                      StepsCase{"PairsInBlockOrderThenStatic",
                                {{"force_spawn", "1"},
                                 {"empty", ""},
                                 {"update_url", "http://dyn/"},
                                 {"match_versions", "true"}},
                                {"x"},
                                hvpack::BlockOrder::ParamsFirst,
                                false},
                      StepsCase{"SilentByParameterAddsShowNoUi",
                                {{"a", "b"}},
                                {"--quiet"},
                                hvpack::BlockOrder::ParamsFirst,
                                true},
                      StepsCase{"SilentByShowNoUiAddsShowNoUi",
                                {{"show_no_ui", "true"}, {"show_no_ui", "false"}},
                                {},
                                hvpack::BlockOrder::ParamsFirst,
                                true},
                      StepsCase{"TailBlockFirst",
                                {{"a", "1"}, {"b", "2"}},
                                {"--quiet"},
                                hvpack::BlockOrder::TailFirst,
                                true}),
    [](const auto& info) { return std::string(info.param.name); });

// The run values of the recognised names.
TEST(WrapperTailStepsValues, RecognisedNames) {
  struct Case {
    const char* name;
    Pairs params;
    std::string updateUrl;  // the tail's "Update URL"
    std::map<std::string, std::string> expected;
  };
  const Case cases[] = {
      {"SecondPairWins",
       {{"update_url", "http://a/"},
        {"jre_name", "jre-a"},
        {"splash_image", "TWFu"},
        {"update_url", "http://b/"},
        {"jre_name", "jre-b"},
        {"splash_image", "TQ=="}},
       "D",
       {{"dynamicUpdateUrl", "http://b/"},
        {"effectiveUpdateUrl", "http://b/"},
        {"effectiveIs", "dynamic"},
        {"jreName", "jre-b"},
        {"splashImage", "4d"}}},
      {"FailedDecodeLeavesNoImage",
       {{"splash_image", "TWFu"}, {"splash_image", "TWF"}},
       "x",
       {{"splashImage", "<none>"}}},
      {"NoPairsDefaults",
       {},
       "http://s/",
       {{"dynamicUpdateUrl", ""},
        {"effectiveIs", "tail"},
        {"effectiveUpdateUrl", "http://s/"},
        {"jreName", ""},
        {"splashImage", "<none>"},
        {"autotest", "0"},
        {"splashBuffer", "0"},
        {"key", "none"}}},
      {"DWithoutUpdateUrlPairIsEmpty",
       {{"jre_name", "j"}},
       "D",
       {{"effectiveIs", "dynamic"}, {"effectiveUpdateUrl", ""}}},
      {"LowerDIsStatic",
       {{"update_url", "http://dyn/"}},
       "d",
       {{"effectiveIs", "tail"}, {"effectiveUpdateUrl", "d"}}},
      {"AutotestWithEmptyValue", {{"wrapper_autotest", ""}}, "x", {{"autotest", "1"}}},
      {"SplashBufferNumber", {{"splash_buffer", " 12px"}}, "x", {{"splashBuffer", "12"}}},
      {"SplashBufferWithoutDigitsIsZero",
       {{"splash_buffer", "7"}, {"splash_buffer", "abc"}},
       "x",
       {{"splashBuffer", "0"}}},
      {"EmptySplashBufferLeavesBorder",
       {{"splash_buffer", "7"}, {"splash_buffer", ""}},
       "x",
       {{"splashBuffer", "7"}}},
      {"SplashBufferClampedTo32Bits",
       {{"splash_buffer", "99999999999"}},
       "x",
       {{"splashBuffer", "2147483647"}}},
      {"ValueLongerThanItsBufferKeepsSizeMinusOne",
       {{"update_url", std::string(200005, 'u')}},
       "D",
       {{"dynamicUpdateUrl", std::string(PARAM_VALUE_SIZE - 1, 'u')}}},
      {"JreNameKeeps4999Chars",
       {{"jre_name", std::string(6000, 'j')}},
       "x",
       {{"jreName", std::string(4999, 'j')}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    hvpack::TailBlock tail;
    tail.header = fullHeader(uniqueAppName());
    tail.header.updateUrl = c.updateUrl;
    const std::string path = pack(dir, "launcher", hvpack::wrapperTail(paramsOf(c.params), tail));
    const Outcome o = runSteps(path, {});
    for (const auto& [name, value] : c.expected) {
      ASSERT_TRUE(o.count(name)) << name;
      EXPECT_EQ(value, o.at(name)) << name;
    }
  }
}

// A block of more pairs than the process could hold value buffers of PARAM_VALUE_SIZE
// bytes for at once: every one is read and the last counts.
TEST(WrapperTailStepsValues, EveryPairOfALongBlockIsRead) {
  constexpr rlim_t ADDRESS_LIMIT = 1024L * 1024 * 1024;
  Pairs pairs(ADDRESS_LIMIT / PARAM_VALUE_SIZE + 1000, {"k", ""});
  pairs.emplace_back("update_url", "http://last/");
  ScratchDir dir;
  hvpack::TailBlock tail;
  tail.header = fullHeader(uniqueAppName());
  tail.header.updateUrl = "D";
  const std::string path = pack(dir, "launcher", hvpack::wrapperTail(paramsOf(pairs), tail));
  const Outcome o = runSteps(path, {}, ADDRESS_LIMIT);
  ASSERT_TRUE(o.count("dynamicUpdateUrl"));
  EXPECT_EQ("http://last/", o.at("dynamicUpdateUrl"));
}

// Header values up to their own buffer sizes read whole, and the Tail ring is left at
// the first archive entry.
TEST(WrapperTailStepsValues, HeaderBufferSizesAndTailRingPosition) {
  const std::string key4096 = Signer_publicKeyHex(4096);
  ASSERT_GT(key4096.size(), 1024u);  // longer than a plain string value
  ScratchDir dir;
  hvpack::TailBlock tail;
  tail.header = fullHeader(std::string(1022, 'n'));
  tail.header.updateUrl = "http://127.0.0.1:9/" + std::string(4998 - 19, 'u') + "/";
  tail.header.signaturePublicKey = key4096;
  tail.header.skipSystemJre = "z";
  tail.entries = std::string("0\0first/entry\0", 14);
  const std::string path = pack(dir, "launcher", hvpack::wrapperTail(paramsOf({}), tail));
  const Outcome o = runSteps(path, {});
  EXPECT_EQ(tail.header.appName, o.at("appName"));
  EXPECT_EQ(4999u, o.at("updateUrl").size());
  EXPECT_EQ(tail.header.updateUrl, o.at("updateUrl"));
  EXPECT_EQ(key4096, o.at("signaturePublicKey"));
  EXPECT_EQ("imported", o.at("key"));
  EXPECT_EQ("z", o.at("skipSystemJre"));
  EXPECT_EQ("0", o.at("firstEntry"));
}

TEST(WrapperTailSilent, IsSilentRequested) {
  struct Case {
    const char* parameter;
    std::vector<std::string> args;
    bool expected;
  };
  const Case cases[] = {
      {nullptr, {"x"}, false},
      {"", {""}, false},
      {"-s", {}, false},
      {"-s", {"a", "-s"}, true},
      {"-s", {"-S", "-s "}, false},
      {"-s", {"-s", "b"}, true},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv;
    for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
    EXPECT_EQ(c.expected,
              isSilentRequested(c.parameter, static_cast<int>(argv.size()), argv.data()))
        << (c.parameter ? c.parameter : "null");
  }
}

}  // namespace
