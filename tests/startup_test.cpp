// End-to-end: the built launcher's start-up modes and the exits of its start-up flow.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "tests/support/deadline_run.h"
#include "tests/support/markers.h"
#include "tests/support/run_program.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_user.h"

namespace {

const std::string EXTRACTING = "Extracting wrapper tail...\n";
const std::string NO_PARAMS = "Could not find marker: Params\n";
const std::string PREPARE_ONLY =
    "[Extractor] This is an elevated run purely to prepare an installation. Will not show UI or "
    "launch an app\n";
const std::string JUST_A_LAUNCHER = "[Extractor] Unable to run (we are just a launcher)\n";
// Every mode here ends within a fraction of a second; a run still going after this long
// has hung (a pipeline stage that never lets go, say) and fails its case.
constexpr unsigned STARTUP_DEADLINE_SECONDS = 5;

enum class Image { Plain, ParamsOnly, BothMarkers };

struct StartupCase {
  const char* name;
  Image image;
  std::vector<std::string> args;  // after the program path
  int status;
  std::vector<std::string> present;  // in this order
  std::vector<std::string> absent;
  unsigned deadlineSeconds = STARTUP_DEADLINE_SECONDS;
};

// A copy of the launcher with the chosen markers appended, named "launcher" in a scratch
// folder and started by that relative name from there.
std::string prepareImage(const ScratchDir& dir, Image image, const std::string& name) {
  std::string bytes = readFileBytes(HV_LAUNCHER_PATH);
  if (image == Image::ParamsOnly) bytes += hvpack::paramsMarker() + std::string("\0\0", 2);
  // One pair names the runtime; the Tail block holds a header of twelve empty values and
  // no entry.
  if (image == Image::BothMarkers) {
    bytes += hvpack::paramsMarker() + std::string("1\0jre_name\0jre17\0", 17);
    bytes += hvpack::tailMarker() + std::string(12, '\0');
  }
  const std::string path = dir / name;
  writeFileBytes(path, bytes);
  chmod(path.c_str(), 0755);
  return path;
}

// Runs the image as a child from dir, killed (status -1) after deadlineSeconds. An image
// with both markers reaches the install steps, so it runs as a throwaway user whose home
// is in the scratch folder.
ProgramResult runImage(const ScratchDir& dir, Image image, const std::string& path,
                       const std::vector<std::string>& argv,
                       unsigned deadlineSeconds = STARTUP_DEADLINE_SECONDS) {
  if (image != Image::BothMarkers) {
    DeadlineOptions options;
    options.seconds = static_cast<int>(deadlineSeconds);
    options.prepare = [&dir] { return chdir(dir.path().c_str()) == 0; };
    const DeadlineRun run = runWithDeadline(path, argv, {}, options);
    EXPECT_FALSE(run.timedOut) << "still running after " << deadlineSeconds << " s\n" << run.output;
    return {run.status, run.output};
  }
  const TestUser user = {"hvstartup", 47202, 100, dir / "home"};
  writeFileBytes(dir / "passwd", passwdText({user}));
  mkdir(user.home.c_str(), 0755);
  chown(user.home.c_str(), user.uid, user.gid);
  chmod(dir.path().c_str(), 0755);
  const ChildRun run =
      runProgramAsUser(dir / "passwd", user, path, argv, dir.path(), {}, {"", deadlineSeconds});
  EXPECT_NE(SIGALRM, run.signal) << "still running after " << deadlineSeconds << " s\n" << run.output;
  return {run.exitStatus, run.output};
}

void expectInOrder(const std::string& output, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = output.find(line, at);
    ASSERT_NE(std::string::npos, found) << "missing or out of order: " << line << "\n" << output;
    at = found + line.size();
  }
}

class StartupTest : public ::testing::TestWithParam<StartupCase> {};

TEST_P(StartupTest, DispatchesAndEndsWithItsStatus) {
  const StartupCase& c = GetParam();
  ScratchDir dir;
  const std::string path = prepareImage(dir, c.image, "launcher");
  std::vector<std::string> argv = {"launcher"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const ProgramResult r = runImage(dir, c.image, path, argv, c.deadlineSeconds);
  EXPECT_EQ(c.status, r.status) << r.output;
  expectInOrder(r.output, c.present);
  for (const std::string& line : c.absent) {
    EXPECT_EQ(std::string::npos, r.output.find(line)) << line << "\n" << r.output;
  }
}

const std::string EXTRACT_TEST = "--corvastine-extracttest";

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupTest,
    ::testing::Values(
        // A launcher without a tail ends with status 1 at its Params block.
        StartupCase{"NoArgumentsNoTail", Image::Plain, {}, 1, {EXTRACTING, NO_PARAMS}, {}},
        StartupCase{"TestOptionAloneIsANormalRun", Image::Plain, {EXTRACT_TEST}, 1,
                    {EXTRACTING, NO_PARAMS}, {"Could not open test.p2.l2", "[Extractor] Hex"}},
        // The test options run their modes; without "test.p2.l2" and with a URL where
        // nothing listens each ends with status 0.
        StartupCase{"ExtractTestWithOneMoreWord", Image::Plain, {EXTRACT_TEST, "x"}, 0,
                    {"Could not open test.p2.l2\n"}, {EXTRACTING}},
        StartupCase{"DownloadTestWithUrl", Image::Plain,
                    {"--corvastine-downloadtest", "http://127.0.0.1:9/x"}, 0,
                    {"[Streamer] Downloading from http://127.0.0.1:9/x into deleteme.tmp\n"},
                    {EXTRACTING, "[DEBUG]"}},
        // A stage of its pipeline that never lets go after the failed download would
        // hang this run: its deadline turns that into a failure.
        StartupCase{"DownloadUnpackTestWithUrl", Image::Plain,
                    {"--corvastine-downloadtest2", "http://127.0.0.1:9/x", "more"}, 0,
                    {"[DEBUG] Downloading http://127.0.0.1:9/x\n", "[DEBUG] Download FALED!\n"},
                    {EXTRACTING, "deleteme.tmp"}},
        StartupCase{"TestOptionNotFirstIsAnArgument", Image::Plain, {"x", EXTRACT_TEST, "y"}, 1,
                    {EXTRACTING, NO_PARAMS}, {"Could not open test.p2.l2"}},
        StartupCase{"TestOptionComparedExactly", Image::Plain, {"--Corvastine-extracttest", "x"}, 1,
                    {EXTRACTING, NO_PARAMS}, {"Could not open test.p2.l2"}},
        StartupCase{"TestOptionBeforeSplashWins", Image::Plain, {EXTRACT_TEST, "-TESTSPLASH"}, 0,
                    {"Could not open test.p2.l2\n"}, {EXTRACTING, "Splash"}},
        // "-TESTSPLASH" first runs the 13-second demonstration, which never reads the tail:
        // devmodes_test runs it, with and without further words.
        StartupCase{"SplashDemoNotFirstIsAnArgument", Image::Plain, {"a", "-TESTSPLASH"}, 1,
                    {EXTRACTING, NO_PARAMS}, {"[TestSplash]"}},
        // With both markers the run walks every step to the first exit an empty tail has.
        StartupCase{"StepsInOrderToTheEndOfAnEmptyTail", Image::BothMarkers, {"a"}, 1,
                    {EXTRACTING, "[Extractor] The absolute wrapper path is ",
                     "[Extractor] The executable name is launcher\n",
                     "[Extractor] Found Params marker. Extracting now...\n",
                     "[Extractor] Found tail marker\n", "[Extractor] Setting up static properties\n",
                     "[Extractor] Shared dir is ", "[Extractor] Master folder is ",
                     "[JREOverride] No JRE name override, will continue to use jre17\n",
                     "[Extractor] No Quorvane embedded, we are just a launcher\n",
                     "[Extractor] Checking for a latest valid QV\n", JUST_A_LAUNCHER},
                    {PREPARE_ONLY}},
        StartupCase{"ParamsWithoutTail", Image::ParamsOnly, {}, 1,
                    {"[Extractor] Found Params marker. Extracting now...\n",
                     "Could not find marker: Tail\n"},
                    {"Found tail marker"}},
        StartupCase{"PrepareOnlyMarkerLast", Image::BothMarkers, {"a", "HVPREPARE_FOR_LAUNCH_ONLY"}, 1,
                    {PREPARE_ONLY, "[Extractor] Found tail marker\n", JUST_A_LAUNCHER}, {}},
        StartupCase{"PrepareOnlyMarkerNotLast", Image::BothMarkers, {"HVPREPARE_FOR_LAUNCH_ONLY", "a"},
                    1, {JUST_A_LAUNCHER}, {PREPARE_ONLY}},
        StartupCase{"PrepareOnlyMarkerNeedsExactText", Image::BothMarkers,
                    {"HVPREPARE_FOR_LAUNCH_ONLY "}, 1, {JUST_A_LAUNCHER}, {PREPARE_ONLY}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Startup, AbsolutePathOfARelativeProgramPath) {
  ScratchDir dir;
  const std::string path = prepareImage(dir, Image::Plain, "launcher");
  const ProgramResult r = runProgram(path, {"launcher"}, {.cwd = dir.path()});
  EXPECT_NE(std::string::npos,
            r.output.find("[Extractor] The absolute wrapper path is " + path + "\n"))
      << r.output;
}

// With no arguments the prepare-only test looks at the program path itself.
TEST(Startup, ProgramPathAloneCanBeThePrepareOnlyMarker) {
  ScratchDir dir;
  const std::string path = prepareImage(dir, Image::BothMarkers, "HVPREPARE_FOR_LAUNCH_ONLY");
  const ProgramResult r = runImage(dir, Image::BothMarkers, path, {"HVPREPARE_FOR_LAUNCH_ONLY"});
  EXPECT_EQ(1, r.status);
  expectInOrder(r.output, {PREPARE_ONLY, JUST_A_LAUNCHER});
}

TEST(Startup, ExitsOneWithoutAUsableProgramPath) {
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    std::vector<std::string> anyOf;  // one of these lines is logged
  };
  const Case cases[] = {
      {"unopenable", {"/nonexistent/launcher"},
       {"[Extractor] *********************** Failed to extract wrapper params - couldn't open "
       "file /nonexistent/launcher\n"}},
      // The kernel may hand an empty vector on as argv[0] = "": either way status 1.
      {"empty vector",
       {},
       {"[Extractor] No program path on the command line, cannot read the wrapper tail\n",
        "Failed to extract wrapper params - couldn't open file \n", NO_PARAMS}},
  };
  for (const Case& c : cases) {
    const ProgramResult r = runProgram(HV_LAUNCHER_PATH, c.argv);
    EXPECT_EQ(1, r.status) << c.name << "\n" << r.output;
    bool logged = false;
    for (const std::string& line : c.anyOf) logged = logged || r.output.find(line) != std::string::npos;
    EXPECT_TRUE(logged) << c.name << "\n" << r.output;
  }
}

// Nobody reads standard output any more: the launcher must still reach its own exit.
TEST(Startup, ClosedStandardOutputDoesNotKillTheRun) {
  const ProgramResult r = runProgram(HV_LAUNCHER_PATH, {HV_LAUNCHER_PATH}, {.cwd = "", .stdoutReaderGone = true});
  EXPECT_EQ(1, r.status);
}

}  // namespace
