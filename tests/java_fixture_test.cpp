#include "tests/support/java_fixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/spawner.h"
#include "tests/support/fake_pack200.h"
#include "tests/support/output_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scratch_dir.h"

namespace {

int32_t run(const std::vector<std::string>& argv) {
  int32_t result = -2;
  captureStdout([&] {
    Spawner* spawner = createSpawner();
    setSpawnerExe(spawner, argv[0].c_str());
    for (size_t i = 1; i < argv.size(); ++i) appendSpawnerArgument(spawner, argv[i].c_str());
    result = runSpawnerAndWait(spawner);
    freeSpawner(spawner);
  });
  return result;
}

class JavaFixture : public testing::Test {
 protected:
  void SetUp() override {
    if (systemJavaHome().empty()) GTEST_SKIP() << "no OpenJDK 17 installed";
    runtime_ = dir_ / "jre";
    ASSERT_TRUE(buildRuntimeFixture(runtime_));
  }
  std::string java() const { return runtime_ + "/bin/java"; }
  std::string unpack200() const { return runtime_ + "/bin/unpack200"; }

  ScratchDir dir_;
  std::string runtime_;
};

std::string allBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

std::string largeData() {
  std::string bytes;
  uint32_t x = 12345;
  for (int i = 0; i < 300000; ++i) {
    x = x * 1103515245u + 12345u;
    bytes += static_cast<char>(x >> 24);
  }
  return bytes;
}

TEST_F(JavaFixture, Unpack200RestoresTheOriginalBytes) {
  const std::string cases[] = {"", "class data\n", allBytes(), std::string("HV-FAKE"), largeData()};
  int n = 0;
  for (const std::string& original : cases) {
    const std::string target = dir_ / ("file" + std::to_string(n++) + ".jar");
    const std::string packed = fakePack200(original);
    EXPECT_NE(original, packed);
    writeFileBytes(target + ".p2", packed);
    EXPECT_EQ(0, run({unpack200(), target + ".p2", target})) << n;
    ASSERT_TRUE(pathExists(target)) << n;
    EXPECT_EQ(original, readFileBytes(target)) << n;
    EXPECT_TRUE(pathExists(target + ".p2"));  // deleting it is the launcher's job
  }
}

TEST(FakePack200, RefusesWhatItDidNotPack) {
  std::string plain = "kept";
  EXPECT_FALSE(fakeUnpack200("plain jar bytes", &plain));
  EXPECT_FALSE(fakeUnpack200("", &plain));
  EXPECT_EQ("kept", plain);
}

struct Unpack200SwitchCase {
  const char* label;
  const char* variable;  // nullptr: none
  const char* value;
  bool packedInput;
  int32_t status;
  bool written;
};

void PrintTo(const Unpack200SwitchCase& c, std::ostream* os) { *os << c.label; }

class Unpack200Switch : public JavaFixture,
                        public testing::WithParamInterface<Unpack200SwitchCase> {};

TEST_P(Unpack200Switch, ExitStatusAndOutput) {
  const Unpack200SwitchCase& c = GetParam();
  const std::string target = dir_ / "lib.jar";
  const std::string calls = dir_ / "calls";
  writeFileBytes(target + ".p2", c.packedInput ? fakePack200("abc") : "abc");
  ScopedEnv log(FIXTURE_UNPACK200_CALLS_ENV, calls);
  std::unique_ptr<ScopedEnv> option;
  if (c.variable != nullptr) option = std::make_unique<ScopedEnv>(c.variable, c.value);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.status, run({unpack200(), target + ".p2", target}));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(c.written, pathExists(target));
  // Half of "abc": the first byte.
  if (c.variable == FIXTURE_UNPACK200_CUT_ENV) {
    EXPECT_EQ("a", readFileBytes(target));
  }
  if (c.variable == FIXTURE_UNPACK200_SLEEP_ENV) {
    EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
  }
  EXPECT_EQ(unpack200() + "\t" + target + ".p2\t" + target + "\n", readFileBytes(calls));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Unpack200Switch,
    testing::Values(Unpack200SwitchCase{"Plain", nullptr, nullptr, true, 0, true},
                    Unpack200SwitchCase{"Fail", FIXTURE_UNPACK200_FAIL_ENV, "3", true, 3, false},
                    Unpack200SwitchCase{"FailAsSuccess", FIXTURE_UNPACK200_FAIL_ENV, "0", true, 0,
                                        false},
                    Unpack200SwitchCase{"Sleep", FIXTURE_UNPACK200_SLEEP_ENV, "1", true, 0, true},
                    Unpack200SwitchCase{"CutHalfway", FIXTURE_UNPACK200_CUT_ENV, "3", true, 3, true},
                    Unpack200SwitchCase{"NotPacked", nullptr, nullptr, false, 1, false}),
    [](const testing::TestParamInfo<Unpack200SwitchCase>& info) { return info.param.label; });

// Launch-properties bytes as the launcher writes them: entries split by one 0x00,
// 0x04 for an empty value, no terminator.
const std::string TWO_PROPERTIES("hvstat_app_name\0x y\0hvdyna_empty\0\x04", 34);

TEST_F(JavaFixture, NormalClassRecordsArgumentsAndProperties) {
  UpdaterProgram program;
  ASSERT_TRUE(updaterProgram(&program));
  const std::string properties = dir_ / "HVLaunchProperties-1-4";
  writeFileBytes(properties, TWO_PROPERTIES);
  // The launcher starts a copy of bin/java named after the application.
  const std::string appExe = runtime_ + "/bin/MyApp";
  std::filesystem::copy_file(java(), appExe);
  for (const std::string& classPath : {program.classesDir, program.jarPath}) {
    const std::string resultPath = dir_ / "result";
    unlink(resultPath.c_str());
    ScopedEnv result(UPDATER_RESULT_ENV, resultPath);
    EXPECT_EQ(0, run({appExe, "-Xmx64m", "-cp", classPath, UPDATER_MAIN_CLASS, properties, "a b",
                      "", "z"}));
    UpdaterResult r;
    ASSERT_TRUE(readUpdaterResult(resultPath, &r)) << classPath;
    EXPECT_EQ("normal", r.mainClass);
    EXPECT_EQ((std::vector<std::string>{properties, "a b", "", "z"}), r.arguments);
    EXPECT_NE(r.jvmArguments.end(), std::find(r.jvmArguments.begin(), r.jvmArguments.end(), "-Xmx64m"));
    EXPECT_EQ("ok", r.propertiesState);
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ((Pairs{{"hvstat_app_name", "x y"}, {"hvdyna_empty", ""}}), r.properties);
    EXPECT_EQ((std::vector<std::string>{"x y"}), propertyValues(r, "hvstat_app_name"));
    char cwd[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    EXPECT_EQ(cwd, r.workingDir);
  }
}

struct DecodeCase {
  const char* label;
  bool withFile;  // false: no such file
  std::string bytes;
  const char* state;
  std::vector<std::string> entries;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.label; }

class PropertiesDecoding : public JavaFixture, public testing::WithParamInterface<DecodeCase> {};

TEST_P(PropertiesDecoding, StateAndEntries) {
  const DecodeCase& c = GetParam();
  UpdaterProgram program;
  ASSERT_TRUE(updaterProgram(&program));
  const std::string properties = dir_ / "props";
  if (c.withFile) {
    writeFileBytes(properties, c.bytes);
  }
  const std::string resultPath = dir_ / "result";
  ScopedEnv result(UPDATER_RESULT_ENV, resultPath);
  EXPECT_EQ(0, run({java(), "-cp", program.jarPath, UPDATER_MAIN_CLASS, properties}));
  UpdaterResult r;
  ASSERT_TRUE(readUpdaterResult(resultPath, &r));
  EXPECT_EQ(c.state, r.propertiesState);
  EXPECT_EQ(c.entries, r.entries);
  if (std::string(c.state) != "ok") {
    EXPECT_TRUE(r.properties.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PropertiesDecoding,
    testing::Values(
        DecodeCase{"EmptyList", true, "", "ok", {}},
        DecodeCase{"BinaryValue", true, std::string("k\0\x01\xff\n%", 6), "ok", {"k", "\x01\xff\n%"}},
        DecodeCase{"FinalTerminator", true, std::string("k\0v\0", 4), "malformed empty entry 2",
                   {"k", "v", ""}},
        DecodeCase{"DoubleSeparator", true, std::string("k\0\0v", 4), "malformed empty entry 1",
                   {"k", "", "v"}},
        DecodeCase{"KeyWithoutValue", true, "hvstat_x", "malformed odd entry count 1", {"hvstat_x"}},
        DecodeCase{"Missing", false, "", "unreadable", {}}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return info.param.label; });

struct CompatCase {
  const char* label;
  const char* status;  // nullptr: unset
  int32_t expected;
};

void PrintTo(const CompatCase& c, std::ostream* os) { *os << c.label; }

class CompatibilityClass : public JavaFixture, public testing::WithParamInterface<CompatCase> {};

TEST_P(CompatibilityClass, ExitsWithTheAskedStatus) {
  const CompatCase& c = GetParam();
  UpdaterProgram program;
  ASSERT_TRUE(updaterProgram(&program));
  const std::string resultPath = dir_ / "compat";
  ScopedEnv result(UPDATER_COMPAT_RESULT_ENV, resultPath);
  std::unique_ptr<ScopedEnv> status;
  if (c.status != nullptr) status = std::make_unique<ScopedEnv>(UPDATER_COMPAT_STATUS_ENV, c.status);
  EXPECT_EQ(c.expected, run({java(), "-cp", program.classesDir, UPDATER_COMPAT_CLASS,
                             (dir_ / "none"), "arg"}));
  UpdaterResult r;
  ASSERT_TRUE(readUpdaterResult(resultPath, &r));
  EXPECT_EQ("compatibility", r.mainClass);
  EXPECT_EQ((std::vector<std::string>{(dir_ / "none"), "arg"}), r.arguments);
}

INSTANTIATE_TEST_SUITE_P(Cases, CompatibilityClass,
                         testing::Values(CompatCase{"Default", nullptr, 72},
                                         CompatCase{"Zero", "0", 0}, CompatCase{"Three", "3", 3},
                                         CompatCase{"NotANumber", "x", 1}),
                         [](const testing::TestParamInfo<CompatCase>& info) {
                           return info.param.label;
                         });

struct timespec modified(const std::string& path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st.st_mtim;
}

// The dump writes into the runtime it ran from, also after the runtime was copied the
// way the system runtime search copies one; the JDK's own archive stays untouched.
TEST_F(JavaFixture, ShareDumpWritesOnlyTheFixtureArchive) {
  const std::string jdkArchive = systemJavaHome() + "/lib/server/classes.jsa";
  const struct timespec before = modified(jdkArchive);
  const std::string copy = dir_ / "copied";
  const std::string command = "cp -Lrf \"" + runtime_ + "\" \"" + copy + "\"";
  ASSERT_EQ(0, system(command.c_str()));
  const std::string calls = dir_ / "calls";
  ScopedEnv log(FIXTURE_JAVA_CALLS_ENV, calls);
  EXPECT_EQ(0, run({copy + "/bin/java", "-Xshare:dump"}));
  EXPECT_TRUE(pathExists(copy + "/lib/server/classes.jsa"));
  EXPECT_FALSE(pathExists(runtime_ + "/lib/server/classes.jsa"));
  const struct timespec after = modified(jdkArchive);
  EXPECT_EQ(before.tv_sec, after.tv_sec);
  EXPECT_EQ(before.tv_nsec, after.tv_nsec);
  const auto logged = readFixtureCalls(calls);
  ASSERT_EQ(1u, logged.size());
  EXPECT_EQ((std::vector<std::string>{copy + "/bin/java", "-Xshare:dump"}), logged[0]);
}

std::string versionOutput(const std::string& java) {
  const std::string command = "\"" + java + "\" -version 2>&1";
  FILE* in = popen(command.c_str(), "r");
  std::string out;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) out.append(chunk, got);
  pclose(in);
  return out;
}

TEST_F(JavaFixture, VersionAnswerIsTheRealJvmsUnlessGiven) {
  EXPECT_EQ(0u, versionOutput(java()).find("openjdk version \"17.")) << versionOutput(java());
  const std::string faked = dir_ / "old";
  RuntimeFixtureOptions options;
  options.versionAnswer = "java version \"1.8.0_292\"\nJava(TM) SE Runtime Environment";
  ASSERT_TRUE(buildRuntimeFixture(faked, options));
  EXPECT_EQ(options.versionAnswer + "\n", versionOutput(faked + "/bin/java"));
}

TEST_F(JavaFixture, OptionsChooseTheMarkerFiles) {
  struct Case {
    RtJarPlace rtJar;
    bool unpack200;
    const char* present;
    const char* absent;
  };
  const Case cases[] = {{RtJarPlace::Lib, true, "/lib/rt.jar", "/jre/lib/rt.jar"},
                        {RtJarPlace::JreLib, true, "/jre/lib/rt.jar", "/lib/rt.jar"},
                        {RtJarPlace::None, false, "/bin/java", "/bin/unpack200"}};
  int n = 0;
  for (const Case& c : cases) {
    const std::string folder = dir_ / ("variant" + std::to_string(n++));
    RuntimeFixtureOptions options;
    options.rtJar = c.rtJar;
    options.withUnpack200 = c.unpack200;
    ASSERT_TRUE(buildRuntimeFixture(folder, options));
    EXPECT_TRUE(pathExists(folder + c.present)) << n;
    EXPECT_FALSE(pathExists(folder + c.absent)) << n;
    EXPECT_EQ(FIXTURE_CACERTS, readFileBytes(folder + "/lib/security/cacerts"));
  }
}

}  // namespace
