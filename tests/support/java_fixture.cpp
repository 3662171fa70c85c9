#include "tests/support/java_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "core/paths.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

const char JDK17_HOME[] = "/usr/lib/jvm/java-17-openjdk-amd64";

bool isJdk(const fs::path& home) {
  std::error_code ec;
  return fs::exists(home / "bin" / "java", ec) && fs::exists(home / "bin" / "javac", ec);
}

// The java that a shell would find, links resolved: <home>/bin/java.
fs::path javaOnPath() {
  const char* path = getenv("PATH");
  std::stringstream folders(path == nullptr ? "" : path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    std::error_code ec;
    const fs::path candidate = fs::path(folder) / "java";
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) {
      return fs::canonical(candidate, ec);
    }
  }
  return {};
}

std::string exeFolder() {
  char exe[PATH_BUFFER_SIZE];
  if (getExePath(exe, sizeof exe) != 0) return ".";
  return fs::path(exe).parent_path().string();
}

// Single quotes for the shell; the paths used here hold none themselves.
std::string quoted(const std::string& text) { return "'" + text + "'"; }

std::string javaScript(const std::string& realJava) {
  const std::string java = quoted(realJava);
  return "#!/bin/sh\n"
         "# Test runtime: every call goes to the installed JDK.\n"
         "here=$(cd \"$(dirname \"$0\")\" && pwd)\n"
         "if [ -n \"$" + std::string(FIXTURE_JAVA_CALLS_ENV) + "\" ]; then\n"
         // One write per call: runs at the same time append whole lines, never pieces
         // of each other's (the trailing '.' keeps a last argument's line ends).
         "  line=$(printf '%s' \"$0\"; for a in \"$@\"; do printf '\\t%s' \"$a\"; done; printf .)\n"
         "  printf '%s\\n' \"${line%.}\" >> \"$" + FIXTURE_JAVA_CALLS_ENV + "\"\n"
         "fi\n"
         "if [ \"$#\" = 1 ] && [ \"$1\" = -version ] && [ -f \"$here/../lib/fixture-version\" ]; then\n"
         "  if [ -f \"$here/../lib/fixture-version-delay\" ]; then\n"
         "    sleep \"$(cat \"$here/../lib/fixture-version-delay\")\"\n"
         "  fi\n"
         "  cat \"$here/../lib/fixture-version\" >&2\n"
         "  exit 0\n"
         "fi\n"
         "for a in \"$@\"; do\n"
         "  if [ \"$a\" = -Xshare:dump ]; then\n"
         "    if [ -n \"$" + std::string(FIXTURE_DUMP_SLEEP_ENV) + "\" ]; then sleep \"$" +
         FIXTURE_DUMP_SLEEP_ENV + "\"; fi\n"
         "    # The archive belongs to this runtime, never to the JDK's own folder.\n"
         "    mkdir -p \"$here/../lib/server\"\n"
         "    exec " + java + " -XX:SharedArchiveFile=\"$here/../lib/server/classes.jsa\" \"$@\"\n"
         "  fi\n"
         "done\n"
         "exec " + java + " \"$@\"\n";
}

// An empty zip archive: only the end-of-central-directory record.
std::string emptyJar() {
  std::string jar("PK\x05\x06", 4);
  jar.append(18, '\0');
  return jar;
}

uint64_t fnv1a(uint64_t hash, const std::string& bytes) {
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return hash;
}

bool runLogged(const std::string& command, const fs::path& logFile) {
  const std::string full = command + " > " + quoted(logFile.string()) + " 2>&1";
  if (system(full.c_str()) == 0) return true;
  const std::string log = readFileBytes(logFile.string());
  fprintf(stderr, "failed: %s\n%s\n", command.c_str(), log.c_str());
  return false;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string systemJavaHome() {
  if (isJdk(JDK17_HOME)) return JDK17_HOME;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/jvm", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find("17") != std::string::npos && isJdk(entry.path())) return entry.path().string();
  }
  const fs::path java = javaOnPath();
  if (!java.empty() && isJdk(java.parent_path().parent_path())) {
    return java.parent_path().parent_path().string();
  }
  return {};
}

std::string fakeUnpack200ToolPath() { return exeFolder() + "/fake_unpack200"; }

bool buildRuntimeFixture(const std::string& folder, const RuntimeFixtureOptions& options) {
  const std::string home = systemJavaHome();
  if (home.empty()) return false;
  const fs::path root(folder);
  try {
    fs::create_directories(root / "bin");
    fs::create_directories(root / "lib" / "security");
    writeFileBytes((root / "bin" / "java").string(), javaScript(home + "/bin/java"));
    fs::permissions(root / "bin" / "java", fs::perms(0755));
    if (options.withUnpack200) {
      fs::copy_file(fakeUnpack200ToolPath(), root / "bin" / "unpack200",
                    fs::copy_options::overwrite_existing);
      fs::permissions(root / "bin" / "unpack200", fs::perms(0755));
    }
    if (options.rtJar != RtJarPlace::None) {
      const fs::path lib = options.rtJar == RtJarPlace::Lib ? root / "lib" : root / "jre" / "lib";
      fs::create_directories(lib);
      writeFileBytes((lib / "rt.jar").string(), emptyJar());
    }
    writeFileBytes((root / "lib" / "security" / "cacerts").string(), FIXTURE_CACERTS);
    if (!options.versionAnswer.empty()) {
      writeFileBytes((root / "lib" / "fixture-version").string(), options.versionAnswer + "\n");
      if (options.versionDelaySeconds > 0) {
        writeFileBytes((root / "lib" / "fixture-version-delay").string(),
                       std::to_string(options.versionDelaySeconds) + "\n");
      }
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "cannot build the test runtime in %s: %s\n", folder.c_str(), e.what());
    return false;
  }
  return true;
}

bool compileUpdaterProgram(const std::string& javaSourceDir, UpdaterProgram* program) {
  const std::string home = systemJavaHome();
  if (home.empty()) {
    fprintf(stderr, "no JDK installed\n");
    return false;
  }
  std::vector<fs::path> sources;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(javaSourceDir, ec)) {
    if (entry.path().extension() == ".java") sources.push_back(entry.path());
  }
  std::sort(sources.begin(), sources.end());
  if (sources.empty()) {
    fprintf(stderr, "no Java sources in %s\n", javaSourceDir.c_str());
    return false;
  }
  // The cache folder is named after the sources and the JDK, so an edit compiles anew.
  uint64_t hash = fnv1a(14695981039346656037ULL, home);
  for (const auto& source : sources) {
    const std::string text = readFileBytes(source.string());
    hash = fnv1a(fnv1a(hash, source.string()), text);
  }
  char name[40];
  snprintf(name, sizeof name, "updater-%016llx", static_cast<unsigned long long>(hash));
  const fs::path cacheRoot = fs::path(exeFolder()).parent_path() / "java-fixtures";
  const fs::path done = cacheRoot / name;
  program->classesDir = (done / "classes").string();
  program->jarPath = (done / "updater.jar").string();
  if (fs::exists(done / "updater.jar", ec)) return true;

  // Built in a private folder, then renamed into place in one step: a racing test
  // process either wins the rename or finds the finished folder.
  fs::create_directories(cacheRoot, ec);
  std::string work = (cacheRoot / "partial-XXXXXX").string();
  if (mkdtemp(work.data()) == nullptr) return false;
  const fs::path partial(work);
  std::string javac = quoted(home + "/bin/javac") + " -encoding UTF-8 -d " +
                      quoted((partial / "classes").string());
  for (const auto& source : sources) javac += " " + quoted(source.string());
  const std::string jar = quoted(home + "/bin/jar") + " cf " +
                          quoted((partial / "updater.jar").string()) + " -C " +
                          quoted((partial / "classes").string()) + " .";
  const bool built = runLogged(javac, partial / "javac.log") && runLogged(jar, partial / "jar.log");
  if (built && rename(partial.c_str(), done.c_str()) == 0) return true;
  fs::remove_all(partial, ec);
  return built && fs::exists(done / "updater.jar", ec);
}

bool readUpdaterResult(const std::string& path, UpdaterResult* result) {
  if (!pathExists(path)) return false;
  const std::string text = readFileBytes(path);
  *result = UpdaterResult();
  std::stringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t space = line.find(' ');
    if (space == std::string::npos) return false;
    const std::string kind = line.substr(0, space);
    const std::string value = unescape(line.substr(space + 1));
    if (kind == "class") {
      result->mainClass = value;
    } else if (kind == "cwd") {
      result->workingDir = value;
    } else if (kind == "jvmarg") {
      result->jvmArguments.push_back(value);
    } else if (kind == "arg") {
      result->arguments.push_back(value);
    } else if (kind == "properties") {
      result->propertiesState = value;
    } else if (kind == "entry") {
      result->entries.push_back(value);
    } else {
      return false;
    }
  }
  if (result->mainClass.empty()) return false;
  if (result->propertiesState == "ok") {
    for (size_t i = 0; i + 1 < result->entries.size(); i += 2) {
      result->properties.emplace_back(result->entries[i], result->entries[i + 1]);
    }
  }
  return true;
}

bool waitForUpdaterResult(const std::string& path, int timeoutMillis, UpdaterResult* result) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
  while (!pathExists(path)) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return readUpdaterResult(path, result);
}

std::vector<std::string> propertyValues(const UpdaterResult& result, const std::string& key) {
  std::vector<std::string> values;
  for (const auto& [k, v] : result.properties) {
    if (k == key) values.push_back(v);
  }
  return values;
}

std::vector<std::vector<std::string>> readFixtureCalls(const std::string& path) {
  std::vector<std::vector<std::string>> calls;
  const std::string text = readFileBytes(path);
  std::stringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // Split by hand: an empty last argument is still an argument.
    std::vector<std::string> call(1);
    for (char c : line) {
      if (c == '\t') {
        call.emplace_back();
      } else {
        call.back() += c;
      }
    }
    calls.push_back(call);
  }
  return calls;
}
