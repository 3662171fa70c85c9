#include "launcher/version_decision.h"

#include <cctype>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fileops.h"
#include "core/install_folders.h"
#include "core/install_modes.h"
#include "core/install_tree.h"
#include "core/log.h"
#include "core/logfile.h"
#include "core/paths.h"
#include "core/property_stream.h"
#include "launcher/wrapper_tail.h"

namespace {

const char MASTER_PREFIX[] = "Halvorin-";
const char QUORVANE_NAME[] = "Halvorin";
const char APPS_FOLDER[] = "HVApps";
const char OVERRIDE_FILE[] = "JreNameOverride";
const char SHARED_CONFIG_FOLDER[] = "HVAppsSharedConfig";

// The reasons for extracting, one per case of the decision.
const char NO_QV_OR_JRE[] =
    "[Extractor] No latest QV or JRE version exists, will check tail for online/offline info\n";
const char NEWER_QV[] =
    "[Extractor] Our QV version is newer than existing latest version so will extract and run\n";
const char NO_APP[] = "[Extractor] No app version found and we are offline so will extract\n";
const char NEWER_APP[] =
    "[Extractor] Our App version is newer than existing latest version so will extract and run\n";

bool isEmpty(const char* text) { return text == nullptr || text[0] == 0; }

// The size of the buffer that holds the effective update URL: it is one of two buffers
// itself, never a copy.
size_t effectiveUrlBufferSize(const ExtractorRun* run) {
  return run->effectiveUpdateUrl == run->tail.updateUrl ? PATH_BUFFER_SIZE : PARAM_VALUE_SIZE;
}

// fileExists on master joined with the parts; a path beyond its buffer names no file.
bool probe(const char* master, const char* folder, const char* p1, const char* p2,
           const char* p3 = nullptr) {
  char path[PATH_BUFFER_SIZE];
  const char* joined = p3 == nullptr ? buildPath4(path, master, folder, p1, p2)
                                     : buildPath5(path, master, folder, p1, p2, p3);
  return joined != nullptr && fileExists(path) != 0;
}

constexpr size_t JRE_NAME_MAX_LENGTH = 64;

// The name becomes part of folder, file and download names and of log lines, and others
// may write the file in a shared install: 1 to 64 of [A-Za-z0-9._-], not "." or "..", and
// no name the updater's or the application's folders use, whose folders would be
// replaced by the runtime's or picked as the updater.
bool usableJreName(const char* name, const char* appName) {
  const size_t length = strlen(name);
  if (length == 0 || length > JRE_NAME_MAX_LENGTH || !staysInFolder(name)) return false;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (!isalnum(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return strcmp(name, QUORVANE_NAME) != 0 && (appName == nullptr || strcmp(name, appName) != 0);
}

// A refused name as a log line may show it: what is not printable (a line end) as '?'.
void showableCopy(char* shown, const char* name) {
  for (; *name != 0; ++name, ++shown) *shown = isprint(static_cast<unsigned char>(*name)) ? *name : '?';
  *shown = 0;
}

// The JreNameOverride file's value replaces the JRE name unless it is "-", empty or not
// usable (usableJreName).
void applyJreNameOverride(ExtractorRun* run) {
  char path[PATH_BUFFER_SIZE];
  FILE* file = buildPath3(path, run->masterFolder, APPS_FOLDER, OVERRIDE_FILE) != nullptr
                   ? openRegularFileForReading(path)
                   : nullptr;
  if (file == nullptr) {
    logMessage("[JREOverride] No JRE name override, will continue to use %s\n", run->jreName);
    return;
  }
  logMessage("[JREOverride] Processing JRE Override file (%s)\n", OVERRIDE_FILE);
  char* name = READSTRING(file, "JRE Override App Name", JRE_OVERRIDE_VALUE_SIZE);
  fclose(file);
  if (strcmp(name, "-") == 0) {
    logMessage("[JREOverride] Ignoring JRE name -, keeping %s\n", run->jreName);
  } else if (name[0] == 0) {
    logMessage("[JREOverride] Ignoring empty JRE name, keeping %s\n", run->jreName);
  } else if (!usableJreName(name, run->tail.appName)) {
    char shown[JRE_OVERRIDE_VALUE_SIZE];
    showableCopy(shown, name);
    logMessage("[JREOverride] Ignoring JRE name %s (not a plain name), keeping %s\n", shown,
               run->jreName);
  } else {
    snprintf(run->jreName, sizeof run->jreName, "%s", name);
    logMessage("[JREOverride] JRE name overriden to %s\n", run->jreName);
  }
  free(name);
}

RunRoad extract(const char* reason, bool jreFound, bool qvFound) {
  logMessage("%s", reason);
  logMessage(jreFound ? "[Extractor] Note: Latest JRE version does exist\n"
                      : "[Extractor] Note: No latest JRE version exists\n");
  logMessage(qvFound ? "[Extractor] Note: Latest QV version does exist\n"
                     : "[Extractor] Note: No latest QV version exists\n");
  return RunRoad::Extract;
}

}  // namespace

bool completeUpdateUrl(char* url, size_t bufferSize) {
  const size_t length = strlen(url);
  if (length == 0 || url[length - 1] == '/') return true;
  if (length + 2 > bufferSize) return false;
  url[length] = '/';
  url[length + 1] = 0;
  return true;
}

bool runtimeFolderPasses(const char* master, const char* folder) {
  const bool java = probe(master, folder, "bin", "java");
  if (probe(master, folder, "lib", "rt.jar")) return java;
  return java && probe(master, folder, "jre", "lib", "rt.jar");
}

void VersionDecision_setupFolders(ExtractorRun* run) {
  setInstallModes(run->tail.installType);
  run->sharedDir = getInstallBaseFolder(run->tail.installType);
  logMessage("[Extractor] Shared dir is %s\n", run->sharedDir);

  char* url = run->effectiveUpdateUrl;
  logMessage("[Extractor] Update URL is currently '%s'\n", url);
  const size_t size = effectiveUrlBufferSize(run);
  if (!completeUpdateUrl(url, size)) {
    // Every later user of the URL expects it to end with '/'; a cut URL would be another.
    logMessage(
        "[Extractor] Update URL of %zu bytes has no room for its final '/' (at most %zu "
        "bytes without one), cannot continue\n",
        strlen(url), size - 2);
    endProcess(1);
  }
  logMessage("[Extractor] Update URL is now '%s'\n", url);

  if (buildPath2(run->masterFolder, run->sharedDir, MASTER_PREFIX) == nullptr ||
      !appendText(run->masterFolder, sizeof run->masterFolder, run->tail.appName)) {
    logMessage("[Extractor] Master folder path for App Name '%s' in %s is too long, cannot "
               "continue\n",
               run->tail.appName, run->sharedDir);
    endProcess(1);
  }
  logMessage("[Extractor] Master folder is %s\n", run->masterFolder);
  closeInstallTree(run->sharedDir, run->masterFolder);
  openLogFile(run->masterFolder);
}

void VersionDecision_setupRuntimeName(ExtractorRun* run) {
  applyJreNameOverride(run);
  if (run->jreName[0] == 0) {
    // No runtime folder or download name can be formed from an empty name.
    logMessage("[Extractor] No JRE name given, cannot continue\n");
    endProcess(1);
  }
  char path[PATH_BUFFER_SIZE];
  if (buildPath2(path, run->masterFolder, SHARED_CONFIG_FOLDER) != nullptr) ensureFolder(path);

  const TailHeader& tail = run->tail;
  run->tailCarriesQuorvane = !isEmpty(tail.qvVersion);
  if (run->tailCarriesQuorvane) {
    logMessage("[Extractor] Quorvane version is %s\n", tail.qvVersion);
  } else {
    logMessage("[Extractor] No Quorvane embedded, we are just a launcher\n");
  }
  if (!isEmpty(tail.appVersion)) {
    logMessage("[Extractor] OFFLINE wrapper: App version is %s\n", tail.appVersion);
  } else {
    logMessage("[Extractor] ONLINE wrapper: No App embedded, QV will download and run\n");
  }
}

RunRoad VersionDecision_decide(ExtractorRun* run) {
  const char* master = run->masterFolder;
  const TailHeader& tail = run->tail;
  logMessage("[Extractor] Checking for a latest valid QV\n");
  char* latestQv = PickFolder(master, QUORVANE_NAME);
  char* latestJre = PickFolder(master, run->jreName);
  if (latestJre != nullptr && !runtimeFolderPasses(master, latestJre)) {
    logMessage("[Extractor] The existing JRE is broken. Instructing the wrapper to update.\n");
    free(latestJre);
    latestJre = nullptr;
  }
  const bool qvFound = latestQv != nullptr;
  const bool jreFound = latestJre != nullptr;
  if (!qvFound || !jreFound) return extract(NO_QV_OR_JRE, jreFound, qvFound);

  logMessage("[Extractor] Latest QV version exists: %s\n", latestQv);
  logMessage("[Extractor] Existing JRE exists: %s\n", latestJre);
  if (run->tailCarriesQuorvane && parseNumberValue(tail.qvVersion) > folderVersion(latestQv)) {
    return extract(NEWER_QV, jreFound, qvFound);
  }
  logMessage("[Extractor] Latest QVversion is newer or same as our version so will just run\n");
  if (run->tailCarriesQuorvane && !isEmpty(tail.appVersion)) {
    char* latestApp = PickFolder(master, tail.appName);
    if (latestApp == nullptr) return extract(NO_APP, jreFound, qvFound);
    const bool newer = parseNumberValue(tail.appVersion) > folderVersion(latestApp);
    free(latestApp);
    if (newer) return extract(NEWER_APP, jreFound, qvFound);
    logMessage(
        "[Extractor] Latest App version is newer or same as our version so will just run\n");
  }
  logMessage("[Extractor] Running without extraction now\n");
  run->latestQvFolder = latestQv;
  return RunRoad::Run;
}
