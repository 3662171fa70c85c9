#include "launcher/runtime_search.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fileops.h"
#include "core/install_folders.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/shell.h"
#include "core/spawner.h"
#include "core/wait_limits.h"
#include "launcher/jvm_launch.h"
#include "launcher/runtime_setup.h"

namespace {

constexpr char AUTOTEST_JAVA[] = "/opt/JRE_HVAutoTest/bin/java";
constexpr char WHICH_JAVA_COMMAND[] = "sh -c \"which java\"";
constexpr int SEARCH_COMMAND_SIZE = 10000;
constexpr int VERSION_COMMAND_SIZE = 1000;
// A chain of links longer than this is taken for a cycle.
constexpr int MAX_FOLLOWED_LINKS = 40;

char* newBuffer(size_t size) {
  char* buffer = static_cast<char*>(calloc(size, 1));
  if (buffer == nullptr) {
    logMessage("[Utils] Out of memory\n");
    endProcess(1);
  }
  return buffer;
}

// text read the way atoi reads it (blanks, sign, digits), saturated at the int limits.
int readInt(const char* text) {
  const long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// The candidate's link chain, followed in place. A relative target names a path beside
// the link. false when the chain does not end (logged) or a path does not fit.
bool followLinks(char* candidate) {
  for (int followed = 0;; ++followed) {
    char target[PATH_BUFFER_SIZE] = {};
    if (readlink(candidate, target, sizeof target - 1) < 0) return true;
    if (followed == MAX_FOLLOWED_LINKS) {
      logMessage("[JRESearch] More than %d links from %s, giving up\n", MAX_FOLLOWED_LINKS,
                 candidate);
      return false;
    }
    logMessage("[JRESearch] Followed link %s -> %s\n", candidate, target);
    char next[PATH_BUFFER_SIZE] = "";
    const char* slash = strrchr(candidate, '/');
    if (target[0] != '/' && slash != nullptr) {
      memcpy(next, candidate, static_cast<size_t>(slash - candidate) + 1);
      next[slash - candidate + 1] = 0;
    }
    if (!appendText(next, sizeof next, target)) {
      logMessage("[JRESearch] Link target too long, giving up\n");
      return false;
    }
    memcpy(candidate, next, strlen(next) + 1);
  }
}

// Cuts the candidate before its last "bin", then one final '/'.
void trimToRuntimeHome(char* candidate) {
  logMessage("[JRESearch] Searching for 'bin' occurrence\n");
  char* last = nullptr;
  for (char* at = strstr(candidate, "bin"); at != nullptr; at = strstr(at + 1, "bin")) last = at;
  logMessage("[JRESearch] Done searching for 'bin'\n");
  if (last == nullptr) return;
  *last = 0;
  logMessage("[JRESearch] Trimmed possibleJavaExe is %s\n", candidate);
  const size_t length = strlen(candidate);
  if (length > 0 && candidate[length - 1] == '/') {
    candidate[length - 1] = 0;
    logMessage("[JRESearch] Removed final slash: possibleJavaExe is %s\n", candidate);
  }
}

// "cp -Lrf 'home' 'temp'" and "chmod -R 755 'temp/bin'", the commands as a shell would
// take them, for the lines that name them; false when either does not fit.
bool buildCopyCommands(char* copy, char* mode, const char* home, const char* temp) {
  char bin[PATH_BUFFER_SIZE];
  return buildShellCommand(copy, SEARCH_COMMAND_SIZE, "cp -Lrf ", home) &&
         appendText(copy, SEARCH_COMMAND_SIZE, " ") &&
         appendShellQuoted(copy, SEARCH_COMMAND_SIZE, temp) &&
         buildPath2(bin, temp, "bin") != nullptr &&
         buildShellCommand(mode, SEARCH_COMMAND_SIZE, "chmod -R 755 ", bin);
}

// Runs words, a command of the system found in PATH, without a shell and within the
// work limit, after the line that shows it as a shell would take it. Its exit status, -1
// when it did not exit by itself (or could not start), SPAWN_PAST_LIMIT once killed.
int32_t runLogged(const char* shown, const char* const* words) {
  logMessage("[JRESearch] Running %s\n", shown);
  Spawner* spawner = createSpawner();
  setSpawnerExe(spawner, words[0]);
  for (int i = 1; words[i] != nullptr; ++i) appendSpawnerArgument(spawner, words[i]);
  const int32_t result = runCommandWithin(spawner, WORK_CHILD_LIMIT_SECONDS);
  freeSpawner(spawner);
  return result;
}

// A partial copy must never reach the complete folder, nor replace a working one copied
// earlier: what the copy left at temp goes, and the runtime is downloaded instead.
void removeFailedCopy(const char* temp) {
  struct stat st;
  if (lstat(temp, &st) != 0) return;
  DeleteFolder(temp);
  if (rmdir(temp) != 0) logFileError("[JRESearch]", "remove", temp, errno);
}

// One step of the copy into temp, run as runLogged runs it. A step that fails is logged
// as "<failed> (exit status N<why>), removing <temp>" and leaves no copy behind.
bool copyStepSucceeded(const char* shown, const char* const* words, const char* temp,
                       const char* failed, const char* why) {
  const int32_t status = runLogged(shown, words);
  if (status == 0) return true;
  logMessage("[JRESearch] %s (exit status %d%s), removing %s\n", failed, status < 0 ? -1 : status,
             why, temp);
  removeFailedCopy(temp);
  return false;
}

// The first field of a version text, or its second when it begins with "1." (the
// numbering before Java 9); new buffer, empty when that field holds no digits.
char* majorField(const char* text, size_t length) {
  const char* field = text;
  if (length >= 2 && text[0] == '1' && text[1] == '.') field += 2;
  size_t digits = 0;
  while (field + digits < text + length && field[digits] >= '0' && field[digits] <= '9') ++digits;
  char* major = newBuffer(digits + 1);
  memcpy(major, field, digits);
  return major;
}

}  // namespace

char* getJavaMajorVersion(const char* javaPath) {
  char command[VERSION_COMMAND_SIZE];
  if (!buildShellCommand(command, sizeof command, "", javaPath) ||
      !appendText(command, sizeof command, " -version 2>&1")) {
    logMessage("[JavaCheck] Version command too long for %.200s\n", javaPath);
    return copyString("0");
  }
  logMessage("[JavaCheck] Running %s\n", command);
  bool overran = false;
  char* answer = runCommandCapture(command, &overran);
  if (overran) return nullptr;  // a java that does not answer is no runtime to use
  if (answer == nullptr) {
    logMessage(
        "[JavaCheck] Version command result for JRE is empty, problem running version check?\n");
    return copyString("0");
  }
  logMessage("[JavaCheck] Version command result for JRE is %s\n", answer);
  const char* quote = strchr(answer, '"');
  if (quote == nullptr) {
    logMessage("[JavaCheck] Version command result for JRE, first quote is null\n");
    free(answer);
    return copyString("0");
  }
  const char* text = quote + 1;
  const char* close = strchr(text, '"');
  const size_t length = close == nullptr ? strlen(text) : static_cast<size_t>(close - text);
  logMessage("[JavaCheck] Version command result for JRE, version text is %.*s\n",
             static_cast<int>(length), text);
  char* major = majorField(text, length);
  free(answer);
  if (major[0] == 0) {
    logMessage("[JavaCheck] Version command result for JRE, no major version found\n");
    free(major);
    return copyString("0");
  }
  logMessage("[JavaCheck] Version command result for JRE, major version is %s\n", major);
  return major;
}

bool javaVersionSatisfies(const char* javaPath, const char* required) {
  char* major = getJavaMajorVersion(javaPath);
  if (major == nullptr || required == nullptr) {
    logMessage("[Extractor] Versions for JREs could not be detected (%d,%d)\n",
               major == nullptr ? 1 : 0, required == nullptr ? 1 : 0);
    free(major);
    return false;
  }
  logMessage("[Extractor] Checking JRE version requirements: %s vs required %s\n", major, required);
  const bool satisfied = readInt(major) >= readInt(required);
  free(major);
  return satisfied;
}

void findSystemJre(char* jreVersion, bool autotest, const char* requiredVersion, const char* master,
                   const char* qvFolder, char* jreTemp, const LaunchPropertyList* list, int argCount,
                   const char* const* args, const char* staticUpdateUrl,
                   const char* dynamicUpdateUrl, const char* launcherPath) {
  char* answer = runCommandCapture(WHICH_JAVA_COMMAND);
  char candidate[PATH_BUFFER_SIZE];
  if (autotest) {
    setString(candidate, AUTOTEST_JAVA);
    logMessage("AutoTesting - will fake possible jave exe to '%s'\n", candidate);
  } else if (answer == nullptr) {
    return;
  } else if (setString(candidate, answer) == nullptr) {
    logMessage("[JRESearch] 'which java' answer too long\n");
    free(answer);
    return;
  }
  free(answer);
  logMessage("[JRESearch] 'which java' returned '%s'\n", candidate);
  if (!followLinks(candidate)) return;
  trimToRuntimeHome(candidate);
  logMessage("[JRESearch] Final possibleJavaExe is %s\n", candidate);

  char javaPath[PATH_BUFFER_SIZE];
  char unpack200[PATH_BUFFER_SIZE];
  setString(javaPath, candidate);
  setString(unpack200, candidate);
  const bool named = appendPath(javaPath, "bin") != nullptr && appendPath(javaPath, "java") &&
                     appendPath(unpack200, "bin") != nullptr && appendPath(unpack200, "unpack200");
  logMessage("[JRESearch] Looking at JRE %s\n", javaPath);
  if (!named || fileExists(javaPath) == 0 || fileExists(unpack200) == 0 ||
      !javaVersionSatisfies(javaPath, requiredVersion)) {
    logMessage("[JRESearch] JRE does not exist or does not have unpack200\n");
    return;
  }
  logMessage("[JRESearch] JRE unpack200 exists %s\n", javaPath);
  // The updater this run extracted, never the highest one found: another user may have
  // put a folder of any version into the master folder.
  const char* latest = qvFolder == nullptr ? nullptr : qvFolder + lastIndexOf(qvFolder, '/') + 1;
  if (latest == nullptr || latest[0] == 0 || fileExists(qvFolder) == 0) {
    logMessage(
        "[JRESearch] ****************************** No latest App version even after download!\n");
    endProcess(1);
  }
  const bool passed = runJreCompatibilityTest(master, list, argCount, args, latest, staticUpdateUrl,
                                              dynamicUpdateUrl, javaPath, launcherPath);
  if (!passed) {
    logMessage("[JRESearch] JRE failed compatibility test\n");
    return;
  }
  logMessage("[JRESearch] JRE is valid, copying...\n");
  // cp would copy into an existing folder as a subfolder: the name must be free.
  char temp[PATH_BUFFER_SIZE];
  char* copy = newBuffer(SEARCH_COMMAND_SIZE);
  char* mode = newBuffer(SEARCH_COMMAND_SIZE);
  if (makeFreeTempFolderName(temp, master) == nullptr ||
      !buildCopyCommands(copy, mode, candidate, temp)) {
    free(copy);
    free(mode);
    return;
  }
  char bin[PATH_BUFFER_SIZE];
  buildPath2(bin, temp, "bin");
  const char* const copyWords[] = {"cp", "-Lrf", candidate, temp, nullptr};
  const char* const modeWords[] = {"chmod", "-R", "755", bin, nullptr};
  const bool copied =
      copyStepSucceeded(copy, copyWords, temp, "Copying the JRE failed", ", cp tells why above") &&
      // A copy whose programs cannot run is no runtime either.
      copyStepSucceeded(mode, modeWords, temp, "Setting the modes of the JRE copy failed", "");
  free(copy);
  free(mode);
  if (!copied) return;
  setString(jreTemp, temp);
  setString(jreVersion, COPIED_JRE_VERSION);
}
