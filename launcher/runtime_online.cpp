// The online road: a compatible runtime already on the system is copied into the master
// folder, else the runtime named by the update site's version file is downloaded.
#include "launcher/runtime_online.h"

#include <sys/stat.h>
#include <sys/wait.h>
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
#include "launcher/jvm_launch.h"
#include "launcher/runtime_setup.h"
#include "pipeline/streamer.h"
#include "pipeline/unarchiver.h"
#include "splash/splash_window.h"

namespace {

constexpr char ONLINE_TITLE[] = "Setting up online JRE";
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

// "cp -Lrf 'home' 'temp'" and "chmod -R 755 'temp/bin'"; false when either does not fit.
bool buildCopyCommands(char* copy, char* mode, const char* home, const char* temp) {
  char bin[PATH_BUFFER_SIZE];
  return buildShellCommand(copy, SEARCH_COMMAND_SIZE, "cp -Lrf ", home) &&
         appendText(copy, SEARCH_COMMAND_SIZE, " ") &&
         appendShellQuoted(copy, SEARCH_COMMAND_SIZE, temp) &&
         buildPath2(bin, temp, "bin") != nullptr &&
         buildShellCommand(mode, SEARCH_COMMAND_SIZE, "chmod -R 755 ", bin);
}

// The status system() gives.
int runLogged(const char* command) {
  logMessage("[JRESearch] Running %s\n", command);
  return system(command);
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

bool quietRun(const ExtractorRun* run) { return run->silent || run->prepareOnly; }

// Download road: the version file, then the archive into a new JRE temp.
void downloadRuntime(ExtractorRun* run) {
  logMessage("[JREDownload] Failed to pick up any existing system JRE, will download\n");
  char local[PATH_BUFFER_SIZE];
  char remote[PATH_BUFFER_SIZE];
  char* buster = cacheBusterString();
  const bool named = buildVersionFileNames(local, remote, run->qvFolder, run->effectiveUpdateUrl,
                                           run->jreName, buster);
  free(buster);
  if (!named) {
    // Nothing was asked of the site: the name it would be asked under does not fit.
    if (!quietRun(run)) destroySplashMutex();
    logBanner("[JREDownload] JRE version file URL too long, nothing downloaded\n");
    endProcess(1);
  }
  if (!quietRun(run)) showSplash();
  logMessage("[JREDownload] Fetching JRE Version from %s\n", remote);
  logMessage("[JREDownload] Saving into %s\n", local);
  if (Streamer_downloadToFile(remote, local, JRE_VERSION_FILE_MAX_BYTES) != 1) {
    if (!quietRun(run)) destroySplashMutex();
    logBanner("[JREDownload] Failed to download JRE version file\n");
    endProcess(1);
  }
  setProgress(PROGRESS_INDEFINITE);
  logMessage("[JREDownload] JRE version downloaded OK [%s]\n", local);
  readJreVersionFile(run, local);

  if (makeTempFolderName(run->jreTemp, run->masterFolder) == nullptr ||
      createTempFolder(run->jreTemp) != 0) {
    if (run->jreTemp[0] != 0) logFileError("[JREDownload]", "create folder", run->jreTemp, errno);
    logMessage("[JREDownload] Cannot make a temporary folder for the JRE\n");
    endProcess(1);
  }
  char archive[PATH_BUFFER_SIZE];
  if (!formatText(archive, sizeof archive, "%sHalvorin-%s-%s-archive.p2.l2",
                  run->effectiveUpdateUrl == nullptr ? "" : run->effectiveUpdateUrl, run->jreName,
                  run->jreVersion)) {
    logMessage("[JREDownload] Failed to download and extract JRE archive.\n");
    endProcess(1);
  }
  unpack200Path = locateUnpack200(run->jreTemp);
  if (!quietRun(run)) showSplash();
  logMessage("[JREDownload] Extracting JRE archive to %s\n", run->jreTemp);
  if (Streamer_downloadAndUnarchive(archive, run->jreTemp) == 0) {
    logMessage("[JREDownload] Failed to download and extract JRE archive.\n");
    endProcess(1);
  }
  logMessage("[JREDownload] Regenerating jsa...\n");
  regenerateClassData(run->jreTemp);
  logMessage("[JREDownload] Downloaded JRE is now ready.\n");
}

}  // namespace

void readJreVersionFile(ExtractorRun* run, const char* path) {
  FILE* file = openRegularFileForReading(path);
  if (file == nullptr) {
    logMessage("[JREDownload] ************************** Unable to open version file! [%d]\n",
               errno);
  }
  logMessage("[JREDownload] Extracting version: ");
  size_t length = 0;
  run->jreVersion[0] = 0;
  for (int c = file == nullptr ? EOF : fgetc(file); c != EOF; c = fgetc(file)) {
    logMessage("%c", c);
    if (c == '\r' || c == '\n' || c == ' ') {
      logMessage("\n[JREDownload] Spaces in version file, assuming EOF\n");
      break;
    }
    if (c == '/') {
      logMessage("\n[JREDownload] Version invalid (holds a '/')\n");
      endProcess(1);
    }
    run->jreVersion[length++] = static_cast<char>(c);
    run->jreVersion[length] = 0;
    if (length > static_cast<size_t>(MAX_JRE_VERSION_LENGTH)) {
      logMessage("\n[JREDownload] Version invalid (too long)\n");
      endProcess(1);
    }
  }
  logMessage("\n");
  if (file != nullptr) fclose(file);
  logMessage("[JREDownload] JRE Version is %s\n", run->jreVersion);
}

void RuntimeSetup_onlineRoad(ExtractorRun* run) {
  logStart(ONLINE_TITLE);
  run->jreVersion[0] = 0;
  if (run->tail.skipSystemJre != nullptr && run->tail.skipSystemJre[0] != 0) {
    logMessage("[Extractor] Online installer - no stored JRE. Skipping system JRE.\n");
  } else {
    logMessage(
        "[Extractor] Online installer - no stored JRE, will check for compatible system JRE\n");
    findSystemJre(run->jreVersion, run->autotest, run->tail.requiredJavaVersion, run->masterFolder,
                  run->jreTemp, run->launchProperties, run->launcherArgc, run->launcherArgv,
                  run->tail.updateUrl, run->dynamicUpdateUrl, run->absoluteLauncherPath);
  }
  if (run->jreVersion[0] != 0) {
    logMessage(
        "[Extractor] We are copying the JRE. We want to query the JRE version to enable proxy "
        "detection.\n");
    fetchVersionFile(run->qvFolder, run->effectiveUpdateUrl, run->jreName);
  } else {
    downloadRuntime(run);
  }
  if (run->jreVersion[0] == 0) {
    logBanner("[JREDownload] Failed to detect or download a JRE (no jre version)\n");
    endProcess(1);
  }
  logMessage("[JREDownload] Finalising setup of new JRE %s\n", run->jreVersion);
  if (makeCompleteFolderName(run->jreFolder, run->masterFolder, run->jreName, run->jreVersion) ==
      nullptr) {
    logMessage("[JREDownload] The JRE folder name does not fit\n");
    endProcess(1);
  }
}

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
                   char* jreTemp, const LaunchPropertyList* list, int argCount,
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
  char* latest = PickFolder(master, "Halvorin");
  if (latest == nullptr) {
    logMessage(
        "[JRESearch] ****************************** No latest App version even after download!\n");
    endProcess(1);
  }
  const bool passed = runJreCompatibilityTest(master, list, argCount, args, latest, staticUpdateUrl,
                                              dynamicUpdateUrl, javaPath, launcherPath);
  free(latest);
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
  const int copied = runLogged(copy);
  free(copy);
  if (copied != 0) {
    // A partial copy must never reach the complete folder, nor replace a working one
    // copied earlier: the copy goes, and the runtime is downloaded instead.
    const int status = copied != -1 && WIFEXITED(copied) ? WEXITSTATUS(copied) : -1;
    logMessage("[JRESearch] Copying the JRE failed (exit status %d, cp tells why above), "
               "removing %s\n",
               status, temp);
    struct stat st;
    if (lstat(temp, &st) == 0) {
      DeleteFolder(temp);
      if (rmdir(temp) != 0) logFileError("[JRESearch]", "remove", temp, errno);
    }
    free(mode);
    return;
  }
  runLogged(mode);
  free(mode);
  setString(jreTemp, temp);
  setString(jreVersion, COPIED_JRE_VERSION);
}
