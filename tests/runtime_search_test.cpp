// The system runtime search and the Java version checks, run in-process against runtimes
// and `java` programs that the tests make: version answers from scripts, link chains on a
// PATH of the test's own, the compatibility test through the updater fixture.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/install_folders.h"
#include "core/paths.h"
#include "launcher/runtime_search.h"
#include "launcher/runtime_setup.h"
#include "tests/support/installed_home.h"
#include "tests/support/java_fixture.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_user.h"

namespace fs = std::filesystem;

namespace {

constexpr int CHILD_DEADLINE_SECONDS = 60;

// A java program that answers "-version" with text on standard error.
void writeVersionScript(const std::string& path, const std::string& answer) {
  fs::create_directories(fs::path(path).parent_path());
  std::string quoted = "'";
  for (char c : answer) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  writeFileBytes(path, "#!/bin/sh\nprintf '%s\\n' " + quoted + " >&2\n");
  chmod(path.c_str(), 0755);
}

std::string takeString(char* text) {
  std::string s = text == nullptr ? "(null)" : text;
  free(text);
  return s;
}

// ---- Major version ------------------------------------------------------------------------

struct MajorCase {
  const char* name;
  const char* answer;
  const char* major;
  const char* line;  // the [JavaCheck] line that names what was found
};

const MajorCase MAJOR_CASES[] = {
    {"Java8SecondField",
     "java version \"1.8.0_292\"\nJava(TM) SE Runtime Environment (build 1.8.0_292-b10)\n"
     "Java HotSpot(TM) 64-Bit Server VM (build 25.292-b10, mixed mode)",
     "8", "[JavaCheck] Version command result for JRE, major version is 8"},
    {"Java7SecondField", "java version \"1.7.0_80\"\nJava(TM) SE Runtime Environment", "7",
     "[JavaCheck] Version command result for JRE, version text is 1.7.0_80"},
    {"Java11FirstField",
     "openjdk version \"11.0.2\" 2019-01-15\nOpenJDK Runtime Environment 18.9 (build 11.0.2+9)\n"
     "OpenJDK 64-Bit Server VM 18.9 (build 11.0.2+9, mixed mode)",
     "11", "[JavaCheck] Version command result for JRE, major version is 11"},
    {"Java17FirstField",
     "openjdk version \"17.0.15\" 2025-04-15\nOpenJDK Runtime Environment (build 17.0.15+6)", "17",
     "[JavaCheck] Version command result for JRE, version text is 17.0.15"},
    {"Java21WithoutDots", "openjdk version \"21\" 2023-09-19\nOpenJDK Runtime Environment", "21",
     "[JavaCheck] Version command result for JRE, major version is 21"},
    {"EarlyAccessSuffix", "openjdk version \"9-ea\"", "9",
     "[JavaCheck] Version command result for JRE, major version is 9"},
    {"NoticeBeforeTheVersion",
     "Picked up JAVA_TOOL_OPTIONS: -Dx=1\nopenjdk version \"17.0.15\" 2025-04-15", "17",
     "[JavaCheck] Version command result for JRE, major version is 17"},
    {"NoQuote", "java: unknown option", "0",
     "[JavaCheck] Version command result for JRE, first quote is null"},
    {"NoDigits", "java version \"abc\"", "0",
     "[JavaCheck] Version command result for JRE, no major version found"},
    {"OneDotOnly", "java version \"1.\"", "0",
     "[JavaCheck] Version command result for JRE, no major version found"},
    {"UnclosedQuote", "java version \"1.6.0", "6",
     "[JavaCheck] Version command result for JRE, version text is 1.6.0"},
};

class JavaMajorVersion : public ::testing::TestWithParam<MajorCase> {};

TEST_P(JavaMajorVersion, FromTheAnswerOfAJavaProgram) {
  const MajorCase& c = GetParam();
  ScratchDir dir;
  const std::string java = dir / "jdk/bin/java";
  writeVersionScript(java, c.answer);
  std::string major;
  const std::string log =
      captureStdout([&] { major = takeString(getJavaMajorVersion(java.c_str())); });
  EXPECT_EQ(c.major, major) << log;
  EXPECT_TRUE(hasLine(log, "[JavaCheck] Running '" + java + "' -version 2>&1")) << log;
  EXPECT_TRUE(hasLine(log, c.line)) << log;
}

INSTANTIATE_TEST_SUITE_P(Cases, JavaMajorVersion, ::testing::ValuesIn(MAJOR_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// The path goes to the shell quoted: its quote, '$' and '`' are only characters.
TEST(JavaMajorVersionCommand, PathWithShellCharactersRunsNothing) {
  ScratchDir dir;
  const std::string odd = dir / "j\"$(touch pwned)`touch pwned2`'x";
  const std::string java = odd + "/bin/java";
  writeVersionScript(java, "openjdk version \"17.0.15\"");
  const std::string cwd = fs::current_path();
  fs::current_path(dir.path());
  std::string major;
  const std::string log =
      captureStdout([&] { major = takeString(getJavaMajorVersion(java.c_str())); });
  fs::current_path(cwd);
  EXPECT_EQ("17", major) << log;
  EXPECT_FALSE(pathExists(dir / "pwned"));
  EXPECT_FALSE(pathExists(dir / "pwned2"));
  EXPECT_TRUE(hasLine(log, "[JavaCheck] Running '" + odd.substr(0, odd.size() - 2) +
                               "'\\''x/bin/java' -version 2>&1"))
      << log;
}

TEST(JavaMajorVersionCommand, MissingProgramGivesZero) {
  ScratchDir dir;
  std::string major;
  const std::string log = captureStdout(
      [&] { major = takeString(getJavaMajorVersion((dir / "none/bin/java").c_str())); });
  EXPECT_EQ("0", major);
  EXPECT_TRUE(hasLine(log, "[JavaCheck] Version command result for JRE, first quote is null"))
      << log;
}

// ---- Version requirement ------------------------------------------------------------------

struct SatisfyCase {
  const char* name;
  const char* answer;
  const char* required;  // null: none
  bool satisfied;
  const char* line;
};

const SatisfyCase SATISFY_CASES[] = {
    {"Java7BelowEight", "java version \"1.7.0_80\"", "8", false,
     "[Extractor] Checking JRE version requirements: 7 vs required 8"},
    {"Java8MeetsEight", "java version \"1.8.0_292\"", "8", true,
     "[Extractor] Checking JRE version requirements: 8 vs required 8"},
    {"Java11AboveEight", "openjdk version \"11.0.2\" 2019-01-15", "8", true,
     "[Extractor] Checking JRE version requirements: 11 vs required 8"},
    {"Java17AboveEight", "openjdk version \"17.0.15\" 2025-04-15", "8", true,
     "[Extractor] Checking JRE version requirements: 17 vs required 8"},
    {"Java17BelowTwentyOne", "openjdk version \"17.0.15\"", "21", false,
     "[Extractor] Checking JRE version requirements: 17 vs required 21"},
    {"EmptyRequirementTakesUnreadable", "no version here", "", true,
     "[Extractor] Checking JRE version requirements: 0 vs required "},
    {"RequirementReadLikeAtoi", "openjdk version \"11.0.2\"", " 11abc", true,
     "[Extractor] Checking JRE version requirements: 11 vs required  11abc"},
    {"HugeMajorSaturates", "openjdk version \"99999999999\"", "8", true,
     "[Extractor] Checking JRE version requirements: 99999999999 vs required 8"},
    {"NoRequirementRefuses", "openjdk version \"17.0.15\"", nullptr, false,
     "[Extractor] Versions for JREs could not be detected (0,1)"},
};

class JavaVersionRequirement : public ::testing::TestWithParam<SatisfyCase> {};

TEST_P(JavaVersionRequirement, ComparesMajorWithRequired) {
  const SatisfyCase& c = GetParam();
  ScratchDir dir;
  const std::string java = dir / "jdk/bin/java";
  writeVersionScript(java, c.answer);
  bool satisfied = !c.satisfied;
  const std::string log =
      captureStdout([&] { satisfied = javaVersionSatisfies(java.c_str(), c.required); });
  EXPECT_EQ(c.satisfied, satisfied) << log;
  EXPECT_TRUE(hasLine(log, c.line)) << log;
}

INSTANTIATE_TEST_SUITE_P(Cases, JavaVersionRequirement, ::testing::ValuesIn(SATISFY_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- System runtime search ----------------------------------------------------------------

constexpr char QV_NAME[] = "Halvorin-Halvorin-12-complete";
constexpr char RESULT_PREFIX[] = "SEARCH RESULT ";

// A master folder with the updater's folder, a PATH folder of the test's own where the
// case puts its `java`, and the recording files.
class SearchLayout {
 public:
  SearchLayout() {
    master = root / "Halvorin-SearchTest";
    pathDir = root / "path";
    fs::create_directories(master + "/" + QV_NAME + "/lib");
    fs::create_directories(pathDir);
    writeFileBytes(master + "/" + QV_NAME + "/HalvorinLaunch", updaterLaunchFile().bytes());
    ready = updaterProgram(&program);
    if (ready) fs::copy_file(program.jarPath, master + "/" + QV_NAME + "/lib/updater.jar");
    calls = root / "java-calls";
  }
  // A runtime folder whose java answers "-version" with answer.
  bool addRuntime(const std::string& home, const std::string& answer, bool withUnpack200 = true) {
    RuntimeFixtureOptions options;
    options.versionAnswer = answer;
    options.withUnpack200 = withUnpack200;
    return buildRuntimeFixture(home, options);
  }
  void link(const std::string& at, const std::string& target) const {
    fs::create_directories(fs::path(at).parent_path());
    fs::create_symlink(target, at);
  }
  std::string javaOnPath() const { return pathDir + "/java"; }

  ScratchDir root;
  std::string master, pathDir, calls;
  UpdaterProgram program;
  bool ready = false;
};

struct SearchOutcome {
  ChildRun child;
  std::string version;  // the buffers after the search
  std::string temp;
};

struct SearchInput {
  bool autotest = false;
  const char* required = "8";
  std::string compatStatus = "72";
  std::string path;  // PATH of the search; empty: the layout's folder, then the system's
  std::function<bool()> prepare;  // run in the child first; false ends it with status 4
};

SearchOutcome runSearch(const SearchLayout& layout, const SearchInput& input) {
  SearchOutcome out;
  out.child = runInChild([&] {
    alarm(CHILD_DEADLINE_SECONDS);
    if (input.prepare && !input.prepare()) return 4;
    const std::string path =
        input.path.empty() ? layout.pathDir + ":/usr/local/bin:/usr/bin:/bin" : input.path;
    setenv("PATH", path.c_str(), 1);
    setenv(FIXTURE_JAVA_CALLS_ENV, layout.calls.c_str(), 1);
    setenv(UPDATER_COMPAT_STATUS_ENV, input.compatStatus.c_str(), 1);
    if (chdir(layout.root.path().c_str()) != 0) return 3;
    LaunchPropertyList* list = propListCreate(200000);
    const char* args[] = {"x"};
    char version[JRE_VERSION_BUFFER_SIZE] = "before";
    char temp[PATH_BUFFER_SIZE] = "unchanged";
    const std::string qv = layout.master + "/" + QV_NAME;
    findSystemJre(version, input.autotest, input.required, layout.master.c_str(), qv.c_str(), temp,
                  list, 1, args, "http://127.0.0.1:9/", nullptr, "/launcher");
    printf("%sversion=%s\n%stemp=%s\n", RESULT_PREFIX, version, RESULT_PREFIX, temp);
    return 0;
  });
  for (const std::string& line : splitLines(out.child.output)) {
    const std::string prefix = RESULT_PREFIX;
    if (line.rfind(prefix + "version=", 0) == 0) out.version = line.substr(prefix.size() + 8);
    if (line.rfind(prefix + "temp=", 0) == 0) out.temp = line.substr(prefix.size() + 5);
  }
  return out;
}

bool compatibilityTestRan(const SearchLayout& layout) {
  for (const auto& call : readFixtureCalls(layout.calls)) {
    for (const std::string& arg : call) {
      if (arg == UPDATER_COMPAT_CLASS) return true;
    }
  }
  return false;
}

void expectUnchanged(const SearchOutcome& out) {
  EXPECT_EQ(0, out.child.exitStatus) << out.child.output;
  EXPECT_EQ("before", out.version) << out.child.output;
  EXPECT_EQ("unchanged", out.temp) << out.child.output;
}

// A compatible runtime reached through a link on PATH is copied (links inside it become
// files) under a fresh temporary name with the copied-runtime version; the commands are
// logged as the shell ran them.
TEST(SystemRuntimeSearch, CompatibleRuntimeIsCopied) {
  SearchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string home = layout.root / "jvm/openjdk-17";
  ASSERT_TRUE(layout.addRuntime(home, "openjdk version \"17.0.15\" 2025-04-15"));
  fs::create_symlink("java", home + "/bin/java-link");
  layout.link(layout.javaOnPath(), home + "/bin/java");
  const SearchOutcome out = runSearch(layout, {});
  const std::string& log = out.child.output;
  ASSERT_EQ(0, out.child.exitStatus) << log;
  EXPECT_EQ(COPIED_JRE_VERSION, out.version);
  ASSERT_EQ(0u, out.temp.rfind(layout.master + "/HalvorinTemp-", 0)) << out.temp;
  EXPECT_EQ(
      "", missingInOrder(log, {"[JRESearch] 'which java' returned '" + layout.javaOnPath() + "'",
                               "[JRESearch] Followed link " + layout.javaOnPath() + " -> " + home +
                                   "/bin/java",
                               "[JRESearch] Trimmed possibleJavaExe is " + home + "/",
                               "[JRESearch] Removed final slash: possibleJavaExe is " + home,
                               "[JRESearch] Final possibleJavaExe is " + home,
                               "[JRESearch] Looking at JRE " + home + "/bin/java",
                               "[Extractor] Checking JRE version requirements: 17 vs required 8",
                               "[JRESearch] JRE unpack200 exists " + home + "/bin/java",
                               "[JRESearch] JRE is valid, copying...",
                               "[JRESearch] Running cp -Lrf '" + home + "' '" + out.temp + "'",
                               "[JRESearch] Running chmod -R 755 '" + out.temp + "/bin'"}))
      << log;
  EXPECT_TRUE(compatibilityTestRan(layout));
  EXPECT_EQ(readFileBytes(home + "/bin/java"), readFileBytes(out.temp + "/bin/java"));
  EXPECT_TRUE(pathExists(out.temp + "/bin/unpack200"));
  struct stat st;
  ASSERT_EQ(0, lstat((out.temp + "/bin/java-link").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "links are copied as the files they name";
  ASSERT_EQ(0, stat((out.temp + "/bin").c_str(), &st));
  EXPECT_EQ(0755u, st.st_mode & 07777);
  EXPECT_FALSE(pathExists(out.temp + "/openjdk-17")) << "copied as the folder, not into it";
}

// Each failed check sends the run to the download road: nothing copied, buffers kept.
struct RefusalCase {
  const char* name;
  const char* answer;
  bool withUnpack200;
  const char* required;
  const char* compatStatus;
  bool compatibilityTest;  // whether the updater's compatibility class ran
  const char* line;
};

const RefusalCase REFUSAL_CASES[] = {
    {"FailedCompatibilityTest", "openjdk version \"17.0.15\"", true, "8", "3", true,
     "[JRESearch] JRE failed compatibility test"},
    {"MissingUnpack200", "openjdk version \"17.0.15\"", false, "8", "72", false,
     "[JRESearch] JRE does not exist or does not have unpack200"},
    {"VersionBelowRequired", "java version \"1.7.0_80\"", true, "8", "72", false,
     "[JRESearch] JRE does not exist or does not have unpack200"},
    {"OldNumberingStillRefusedAgainstNewer", "java version \"1.8.0_292\"", true, "11", "72", false,
     "[Extractor] Checking JRE version requirements: 8 vs required 11"},
};

class SystemRuntimeRefused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(SystemRuntimeRefused, GoesToTheDownloadRoad) {
  const RefusalCase& c = GetParam();
  SearchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string home = layout.root / "jdk";
  ASSERT_TRUE(layout.addRuntime(home, c.answer, c.withUnpack200));
  layout.link(layout.javaOnPath(), home + "/bin/java");
  SearchInput input;
  input.required = c.required;
  input.compatStatus = c.compatStatus;
  const SearchOutcome out = runSearch(layout, input);
  expectUnchanged(out);
  EXPECT_TRUE(hasLine(out.child.output, c.line)) << out.child.output;
  EXPECT_EQ(c.compatibilityTest, compatibilityTestRan(layout));
  for (const std::string& name : folderNames(layout.master)) {
    EXPECT_NE(0u, name.rfind("HalvorinTemp-", 0)) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SystemRuntimeRefused, ::testing::ValuesIn(REFUSAL_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// A Java 11 runtime passes a requirement of 8 and is copied.
TEST(SystemRuntimeSearch, Java11SatisfiesEight) {
  SearchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string home = layout.root / "jdk11";
  ASSERT_TRUE(layout.addRuntime(home, "openjdk version \"11.0.2\" 2019-01-15"));
  layout.link(layout.javaOnPath(), home + "/bin/java");
  const SearchOutcome out = runSearch(layout, {});
  EXPECT_EQ(COPIED_JRE_VERSION, out.version) << out.child.output;
  EXPECT_TRUE(pathExists(out.temp + "/bin/java"));
}

// /usr/bin/java -> /opt/links/java -> a relative link into the runtime: each link is
// logged, and the relative one is read from the folder of the link, not the current one.
TEST(SystemRuntimeSearch, LinkChainIsFollowed) {
  SearchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string home = layout.root / "usr/lib/jvm/x/jre";
  ASSERT_TRUE(layout.addRuntime(home, "openjdk version \"17.0.15\""));
  const std::string links = layout.root / "opt/links";
  layout.link(layout.javaOnPath(), links + "/java");
  layout.link(links + "/java", "../../usr/lib/jvm/x/jre/bin/java");
  const SearchOutcome out = runSearch(layout, {});
  const std::string resolvedHome = links + "/../../usr/lib/jvm/x/jre";
  EXPECT_EQ("",
            missingInOrder(
                out.child.output,
                {"[JRESearch] Followed link " + layout.javaOnPath() + " -> " + links + "/java",
                 "[JRESearch] Followed link " + links + "/java -> ../../usr/lib/jvm/x/jre/bin/java",
                 "[JRESearch] Final possibleJavaExe is " + resolvedHome,
                 "[JRESearch] Looking at JRE " + resolvedHome + "/bin/java",
                 "[JRESearch] JRE is valid, copying..."}))
      << out.child.output;
  EXPECT_EQ(COPIED_JRE_VERSION, out.version);
}

// A cycle of links ends after the limit with its own line, and the search gives up. The
// shell's lookup passes over a link that leads nowhere, so a `which` of the test's own
// answers with one.
TEST(SystemRuntimeSearch, LinkCycleEnds) {
  SearchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string a = layout.root / "loop/a";
  layout.link(layout.javaOnPath(), a);
  writeFileBytes(layout.pathDir + "/which", "#!/bin/sh\necho '" + layout.javaOnPath() + "'\n");
  chmod((layout.pathDir + "/which").c_str(), 0755);
  layout.link(a, "b");
  layout.link(layout.root / "loop/b", "a");
  const SearchOutcome out = runSearch(layout, {});
  expectUnchanged(out);
  EXPECT_EQ(40, countLinesStartingWith(out.child.output, "[JRESearch] Followed link "))
      << out.child.output;
  EXPECT_TRUE(hasLine(out.child.output, "[JRESearch] More than 40 links from " +
                                            layout.root / "loop/b" + ", giving up"))
      << out.child.output;
  EXPECT_FALSE(compatibilityTestRan(layout));
}

// The last "bin" of a resolved /opt/robin/java lies inside "robin": the home becomes
// /opt/ro, which holds no runtime.
TEST(SystemRuntimeSearch, RobinIsCutInsideTheName) {
  SearchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string robin = layout.root / "opt/robin/java";
  writeVersionScript(robin, "openjdk version \"17.0.15\"");
  layout.link(layout.javaOnPath(), robin);
  const SearchOutcome out = runSearch(layout, {});
  expectUnchanged(out);
  const std::string ro = layout.root / "opt/ro";
  EXPECT_EQ("", missingInOrder(out.child.output,
                               {"[JRESearch] Trimmed possibleJavaExe is " + ro,
                                "[JRESearch] Final possibleJavaExe is " + ro,
                                "[JRESearch] Looking at JRE " + ro + "/bin/java",
                                "[JRESearch] JRE does not exist or does not have unpack200"}))
      << out.child.output;
  EXPECT_FALSE(
      hasLine(out.child.output, "[JRESearch] Removed final slash: possibleJavaExe is " + ro));
}

// With the autotest flag the shell's answer is set aside for the fixed candidate: absent,
// it refuses; present (on a private /opt of the child's own), it is the one copied while
// the compatible runtime on PATH is never run.
TEST(SystemRuntimeSearch, AutotestLooksOnlyAtTheFixedCandidate) {
  SearchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string home = layout.root / "jdk";
  ASSERT_TRUE(layout.addRuntime(home, "openjdk version \"17.0.15\""));
  layout.link(layout.javaOnPath(), home + "/bin/java");
  const std::string fixedHome = "/opt/JRE_HVAutoTest";
  SearchInput input;
  input.autotest = true;
  input.prepare = [] { return !pathExists("/opt/JRE_HVAutoTest"); };
  const SearchOutcome absent = runSearch(layout, input);
  if (absent.child.exitStatus == 4) GTEST_SKIP() << "this machine has /opt/JRE_HVAutoTest";
  expectUnchanged(absent);
  EXPECT_EQ("", missingInOrder(
                    absent.child.output,
                    {"AutoTesting - will fake possible jave exe to '/opt/JRE_HVAutoTest/bin/java'",
                     "[JRESearch] 'which java' returned '/opt/JRE_HVAutoTest/bin/java'",
                     "[JRESearch] Final possibleJavaExe is /opt/JRE_HVAutoTest",
                     "[JRESearch] Looking at JRE /opt/JRE_HVAutoTest/bin/java",
                     "[JRESearch] JRE does not exist or does not have unpack200"}))
      << absent.child.output;
  EXPECT_TRUE(readFixtureCalls(layout.calls).empty()) << "the java on PATH is never run";

  input.prepare = [&] {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/opt", "tmpfs", 0, "mode=0755") == 0 &&
           layout.addRuntime(fixedHome, "openjdk version \"11.0.2\"");
  };
  const SearchOutcome present = runSearch(layout, input);
  if (present.child.exitStatus == 4) GTEST_SKIP() << "no private /opt: " << present.child.output;
  EXPECT_EQ(COPIED_JRE_VERSION, present.version) << present.child.output;
  EXPECT_TRUE(hasLine(present.child.output,
                      "[JRESearch] Running cp -Lrf '" + fixedHome + "' '" + present.temp + "'"))
      << present.child.output;
  EXPECT_TRUE(pathExists(present.temp + "/bin/unpack200"));
  for (const auto& call : readFixtureCalls(layout.calls)) {
    EXPECT_EQ(0u, call.at(0).rfind(fixedHome + "/", 0)) << call.at(0);
  }
  EXPECT_FALSE(pathExists(fixedHome)) << "the private /opt went with the child";
}

// A runtime home whose name holds a double quote, '$' and '`' is copied as it is and
// nothing in its name runs.
TEST(SystemRuntimeSearch, ShellCharactersInTheHomeRunNothing) {
  SearchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string home = layout.root / "j\"$(touch pwned)`touch pwned2`";
  ASSERT_TRUE(layout.addRuntime(home, "openjdk version \"17.0.15\""));
  layout.link(layout.javaOnPath(), home + "/bin/java");
  const SearchOutcome out = runSearch(layout, {});
  EXPECT_EQ(COPIED_JRE_VERSION, out.version) << out.child.output;
  EXPECT_TRUE(pathExists(out.temp + "/bin/java"));
  EXPECT_TRUE(
      hasLine(out.child.output, "[JRESearch] Running cp -Lrf '" + home + "' '" + out.temp + "'"));
  EXPECT_FALSE(pathExists(layout.root / "pwned"));
  EXPECT_FALSE(pathExists(layout.root / "pwned2"));
}

// No master folder with an updater: the search cannot run the compatibility test.
TEST(SystemRuntimeSearch, NoUpdaterFolderEndsTheRun) {
  SearchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string home = layout.root / "jdk";
  ASSERT_TRUE(layout.addRuntime(home, "openjdk version \"17.0.15\""));
  layout.link(layout.javaOnPath(), home + "/bin/java");
  fs::remove_all(layout.master + "/" + QV_NAME);
  const SearchOutcome out = runSearch(layout, {});
  EXPECT_EQ(1, out.child.exitStatus) << out.child.output;
  EXPECT_TRUE(hasLine(
      out.child.output,
      "[JRESearch] ****************************** No latest App version even after download!"));
}

// The master folder of a shared install is writable by every user: another one has made
// folders at the temporary names the copy would take next, for every second of the run.
// Each is passed over, never copied into, and left as it was; the copy goes to the first
// name nobody has taken.
TEST(SystemRuntimeSearch, TakenTemporaryNamesArePassedOver) {
  constexpr uid_t PLANTER_UID = 47272;
  constexpr gid_t PLANTER_GID = 47272;
  constexpr int WINDOW_SECONDS = 30;
  SearchLayout layout;
  ASSERT_TRUE(layout.ready);
  const std::string home = layout.root / "jdk";
  ASSERT_TRUE(layout.addRuntime(home, "openjdk version \"17.0.15\""));
  layout.link(layout.javaOnPath(), home + "/bin/java");
  chmod(layout.root.path().c_str(), 0755);
  chmod(layout.master.c_str(), 0777);
  // ".", "..", the updater's folder and the planted ones: the first name formed counts this.
  const int first = 3 + WINDOW_SECONDS;
  const long start = static_cast<long>(time(nullptr));
  std::vector<std::string> planted;
  for (long second = start; second < start + WINDOW_SECONDS; ++second) {
    planted.push_back(layout.master + "/HalvorinTemp-" + std::to_string(second) + "-" +
                      std::to_string(first) + "-app");
  }
  writeFileBytes(layout.root / "passwd", passwdText({{"hvnametaker", PLANTER_UID, PLANTER_GID, ""}}));
  const ChildRun plant = runAsUser(layout.root / "passwd", PLANTER_UID, PLANTER_GID, [&] {
    for (const std::string& folder : planted) {
      if (mkdir(folder.c_str(), 0777) != 0) return 1;
      writeFileBytes(folder + "/mine", "another user's");
      if (!pathExists(folder + "/mine")) return 1;
    }
    return 0;
  });
  ASSERT_EQ(0, plant.exitStatus) << plant.output;
  const SearchOutcome out = runSearch(layout, {});
  const long end = static_cast<long>(time(nullptr));
  if (end >= start + WINDOW_SECONDS) GTEST_SKIP() << "the search outlasted the planted names";
  for (const std::string& folder : planted) {
    EXPECT_EQ(std::vector<std::string>{"mine"}, folderNames(folder)) << folder;
    EXPECT_EQ("another user's", readFileBytes(folder + "/mine")) << folder;
    struct stat st;
    ASSERT_EQ(0, lstat(folder.c_str(), &st)) << folder << "\n" << out.child.output;
    EXPECT_EQ(PLANTER_UID, st.st_uid) << folder;
  }
  ASSERT_EQ(COPIED_JRE_VERSION, out.version) << out.child.output;
  const std::string stem = layout.master + "/HalvorinTemp-";
  const std::string suffix = "-" + std::to_string(first + 1) + "-app";
  ASSERT_EQ(0u, out.temp.rfind(stem, 0)) << out.temp;
  EXPECT_EQ(suffix, out.temp.substr(out.temp.size() - suffix.size())) << out.temp;
  EXPECT_TRUE(pathExists(out.temp + "/bin/java")) << "copied as the folder, not into one";
}

// ---- Free temporary name ------------------------------------------------------------------

// A name already taken (folder or dangling link) is passed over with the count raised.
TEST(FreeTempFolderName, TakenNamesArePassedOver) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    ScratchDir dir;
    const long seconds = static_cast<long>(time(nullptr));
    // ".", ".." and these two: the first name formed counts 4.
    const std::string stem = dir / ("HalvorinTemp-" + std::to_string(seconds));
    fs::create_directory(stem + "-4-app");
    fs::create_symlink(dir / "nowhere", stem + "-5-app");
    char name[PATH_BUFFER_SIZE];
    ASSERT_NE(nullptr, makeFreeTempFolderName(name, dir.path().c_str()));
    if (time(nullptr) != seconds) continue;  // the clock moved on: names differ anyway
    EXPECT_EQ(stem + "-6-app", std::string(name));
    return;
  }
  GTEST_SKIP() << "the clock kept moving";
}

}  // namespace
