// Stand-ins for what the launcher runs but does not build: a Java runtime folder whose
// bin/java hands every call to the installed OpenJDK 17 (so a real JVM runs) and whose
// bin/unpack200 is the fake_unpack200 tool, and the updater program, compiled with
// javac on first use and cached in the build tree (safe when test processes race).
// The updater records each start in a result file read back by readUpdaterResult.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Environment switches of the fixture runtime's programs.
// bin/java appends one line per call (its $0 and arguments, tab separated) to this file.
inline constexpr char FIXTURE_JAVA_CALLS_ENV[] = "HV_FIXTURE_JAVA_CALLS";
// bin/java with "-Xshare:dump" sleeps these seconds first (a dump that hangs).
inline constexpr char FIXTURE_DUMP_SLEEP_ENV[] = "HV_FIXTURE_DUMP_SLEEP";
// bin/unpack200: see tests/support/tools/fake_unpack200.cpp.
inline constexpr char FIXTURE_UNPACK200_CALLS_ENV[] = "HV_FIXTURE_UNPACK200_CALLS";
inline constexpr char FIXTURE_UNPACK200_SLEEP_ENV[] = "HV_FIXTURE_UNPACK200_SLEEP";
inline constexpr char FIXTURE_UNPACK200_FAIL_ENV[] = "HV_FIXTURE_UNPACK200_FAIL";
inline constexpr char FIXTURE_UNPACK200_HOLD_ENV[] = "HV_FIXTURE_UNPACK200_HOLD";
inline constexpr char FIXTURE_UNPACK200_CUT_ENV[] = "HV_FIXTURE_UNPACK200_CUT";
// Every switch of bin/unpack200 begins so (the root runner passes them on).
inline constexpr char FIXTURE_UNPACK200_PREFIX[] = "HV_FIXTURE_UNPACK200_";

// The updater program's switches: result files of the two main classes, the exit status
// of the compatibility class (72 when unset) and the seconds it sleeps first (a test
// that hangs).
inline constexpr char UPDATER_RESULT_ENV[] = "HV_UPDATER_RESULT";
inline constexpr char UPDATER_COMPAT_RESULT_ENV[] = "HV_UPDATER_COMPAT_RESULT";
inline constexpr char UPDATER_COMPAT_STATUS_ENV[] = "HV_UPDATER_COMPAT_STATUS";
inline constexpr char UPDATER_COMPAT_SLEEP_ENV[] = "HV_UPDATER_COMPAT_SLEEP";
inline constexpr char UPDATER_MAIN_CLASS[] = "hvfixture.Updater";
inline constexpr char UPDATER_COMPAT_CLASS[] = "hvfixture.Compatibility";

// The bytes of the fixture runtime's lib/security/cacerts.
inline constexpr char FIXTURE_CACERTS[] = "hv fixture runtime cacerts\n";

// Home of the installed OpenJDK 17 ("/usr/lib/jvm/..."), empty when there is none.
std::string systemJavaHome();

enum class RtJarPlace { Lib, JreLib, None };

struct RuntimeFixtureOptions {
  bool withUnpack200 = true;
  RtJarPlace rtJar = RtJarPlace::Lib;
  // Not empty: "java -version" prints this text (and a line end) on standard error and
  // exits 0 instead of asking the JVM.
  std::string versionAnswer;
  // With versionAnswer: "java -version" first sleeps this long (a java that hangs).
  int versionDelaySeconds = 0;
};

// Fills folder (created when missing) with bin/java, bin/unpack200, lib/rt.jar (an
// empty jar) and lib/security/cacerts (FIXTURE_CACERTS). bin/java finds its folder
// from $0, so copies and renames of the runtime keep working; with "-Xshare:dump" it
// writes the archive to lib/server/classes.jsa of its own runtime, never to the JDK.
// false when no JDK is installed or a file cannot be written.
bool buildRuntimeFixture(const std::string& folder, const RuntimeFixtureOptions& options = {});

// build/bin/fake_unpack200, found beside the running test executable.
std::string fakeUnpack200ToolPath();

struct UpdaterProgram {
  std::string classesDir;  // for -cp
  std::string jarPath;     // the same classes as one jar
};
// Compiles the sources of javaSourceDir (once per content) into the build tree.
// false when javac or jar fails; the reason goes to standard error.
bool compileUpdaterProgram(const std::string& javaSourceDir, UpdaterProgram* program);
#ifdef HV_SOURCE_DIR
inline bool updaterProgram(UpdaterProgram* program) {
  return compileUpdaterProgram(HV_SOURCE_DIR "/tests/java", program);
}
#endif

// One start of the updater as its result file tells it.
struct UpdaterResult {
  std::string mainClass;  // "normal" or "compatibility"
  std::string workingDir;
  std::vector<std::string> jvmArguments;  // as the JVM reports them (no -cp)
  std::vector<std::string> arguments;     // application arguments, first the properties file
  // "ok", "none" (no argument), "unreadable", or "malformed " + the first problem: an
  // empty entry (two 0x00 in a row, or one at either end) or an odd entry count.
  std::string propertiesState;
  // Entries split at each 0x00, the one-byte entry 0x04 read as empty.
  std::vector<std::string> entries;
  // Key and value pairs of the entries, in file order; filled only when "ok".
  std::vector<std::pair<std::string, std::string>> properties;
};
// Parses a result file; false when it cannot be read or is not one.
bool readUpdaterResult(const std::string& path, UpdaterResult* result);
// Polls for the file (which appears whole) for up to timeoutMillis, then parses it.
bool waitForUpdaterResult(const std::string& path, int timeoutMillis, UpdaterResult* result);
// Values of every property with this key, in file order.
std::vector<std::string> propertyValues(const UpdaterResult& result, const std::string& key);

// The calls logged by bin/java through FIXTURE_JAVA_CALLS_ENV: each its $0 then its
// arguments. Empty when the file is missing.
std::vector<std::vector<std::string>> readFixtureCalls(const std::string& path);
