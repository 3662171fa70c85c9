#include "launcher/runtime_setup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/descriptor_files.h"
#include "core/fileops.h"
#include "core/install_folders.h"
#include "core/install_modes.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/spawner.h"
#include "core/timeutil.h"
#include "core/wait_limits.h"
#include "launcher/tail_entries.h"
#include "pipeline/streamer.h"
#include "pipeline/unarchiver.h"

namespace {

const char OFFLINE_TITLE[] = "Extracting Offline JRE";
const char ONLINE_TITLE[] = "Setting up online JRE";
const char CACERTS_FILE[] = "cacerts";
constexpr int CACHE_BUSTER_SIZE = 101;
// Readable by every user of the runtime (an install for all users included).
constexpr mode_t CACERTS_MODE = 0644;

const char* orEmpty(const char* text) { return text == nullptr ? "" : text; }

// New PATH_BUFFER_SIZE buffer holding <folder>/bin/<program> (empty when it does not fit).
char* binPath(const char* folder, const char* program) {
  char* path = static_cast<char*>(calloc(PATH_BUFFER_SIZE, 1));
  if (path == nullptr) {
    logMessage("[Utils] Out of memory\n");
    endProcess(1);
  }
  buildPath3(path, folder, "bin", program);
  return path;
}

[[noreturn]] void failCacerts(const char* action, const char* path, int error) {
  logFileError("[Extractor]", action, path, error);
  logBanner("Unable to write cacerts! Cannot complete the JRE.\n");
  endProcess(1);
}

// Copies in into a new file beside target and renames it over target: the store is
// never missing or cut, whatever fails, and a link at target is replaced, not followed.
// Ends the run on any failure, the partial copy removed and the old store left in place.
void replaceCacerts(FILE* in, const char* source, const char* target) {
  const char* last;
  const int folder = DescriptorFiles_openPathParent(target, &last);
  bool old = false;
  int readError = 0;
  ReplaceFailure failure;
  failure.error = errno;
  const int renamed = folder < 0 ? -1 : DescriptorFiles_replace(folder, last, CACERTS_MODE, [&](FILE* out) {
    const CopyResult copied = copyStream(in, out);
    if (copied == CopyResult::ReadFailed) readError = errno;
    if (copied != CopyResult::Ok) return false;
    // The old store is named as going only once the new one is on disk.
    if (fflush(out) != 0) return false;
    // A link there (the store of a system runtime often is one) goes too.
    old = fileExists(target) != 0;
    if (old) logMessage("[Extractor] Removing old cacerts file\n");
    return true;
  }, &failure);
  if (folder >= 0) close(folder);
  fclose(in);
  if (old) logMessage("[Extractor] Result = %d\n", renamed);
  if (renamed == 0) return;
  char scratch[PATH_BUFFER_SIZE];
  // Before a scratch file had a name, the line shows the pattern of its name.
  const char* suffix = failure.suffix[0] != '\0' ? failure.suffix : ".XXXXXX";
  if (!formatText(scratch, sizeof scratch, "%s%s", target, suffix)) {
    failCacerts("create a file beside", target, ENAMETOOLONG);
  }
  switch (failure.step) {
    case ReplaceStep::Write:
      if (readError != 0) failCacerts("read", source, readError);
      failCacerts("write", scratch, failure.error);
    case ReplaceStep::Close: failCacerts("close", scratch, failure.error);
    case ReplaceStep::Rename: failCacerts("rename a new file over", target, failure.error);
    case ReplaceStep::Create:
    case ReplaceStep::None: break;
  }
  if (failure.error == ENAMETOOLONG) failCacerts("create a file beside", target, failure.error);
  failCacerts("create", scratch, failure.error);
}

}  // namespace

void RuntimeSetup_run(ExtractorRun* run) {
  logMessage("[Extractor] Setting up a JRE\n");
  if (run->tail.jreVersion != nullptr && run->tail.jreVersion[0] != '\0') {
    RuntimeSetup_offlineRoad(run);
    RuntimeSetup_finish(run, OFFLINE_TITLE);
  } else {
    RuntimeSetup_onlineRoad(run);
    RuntimeSetup_finish(run, ONLINE_TITLE);
  }
}

void RuntimeSetup_offlineRoad(ExtractorRun* run) {
  logStart(OFFLINE_TITLE);
  logMessage("[Extractor] We want to query the JRE version to enable proxy detection.\n");
  // The QV temp buffer names the QV folder since the Quorvane's rename.
  fetchVersionFile(run->qvTemp, run->effectiveUpdateUrl, run->jreName);
  makeTempFolderName(run->jreTemp, run->masterFolder);
  makeCompleteFolderName(run->jreFolder, run->masterFolder, run->jreName, run->tail.jreVersion);
  if (run->jreTemp[0] == '\0' || run->jreFolder[0] == '\0') {
    logMessage("[Extractor] The JRE folder names do not fit, cannot extract the JRE\n");
    endProcess(1);
  }
  // Never a folder another run made: what it holds is not this runtime.
  if (createTempFolder(run->jreTemp) != 0) {
    logFileError("[Extractor]", "create folder", run->jreTemp, errno);
    logMessage("[Extractor] Cannot make a temporary folder for the JRE\n");
    endProcess(1);
  }
  formatText(run->jreVersion, sizeof run->jreVersion, "%s", run->tail.jreVersion);
  logMessage("[Extractor] Offline installer - no need to download JRE, will extract\n");
  unpack200Path = locateUnpack200(run->jreTemp);
  logMessage("[Extractor] UP200 path is %s\n", unpack200Path.load());
  logMessage("[Extractor] Extracting JRE archive...\n");
  Extractor_extractTailEntries(run, run->jreTemp, 1, "runtime");
  logMessage("[Extractor] Extracted JRE %s\n", run->jreName);
  logMessage("[Extractor] Regenerating jsa...\n");
  regenerateClassData(run->jreTemp);
}

void RuntimeSetup_finish(ExtractorRun* run, const char* title) {
  logEnd(title);
  // The store is replaced before the rename: a runtime under its complete name is whole.
  logMessage("[Extractor] JRE setup. Overriding cacerts.\n");
  char source[PATH_BUFFER_SIZE];
  buildPath2(source, run->qvTemp, CACERTS_FILE);
  overrideCacerts(source, run->jreTemp);
  renameWithFallback(run->jreTemp, run->jreFolder);
  logMessage("[Extractor] Renamed JRE folder to %s\n", run->jreFolder);
  logMessage("[Extractor] Ensuring JRE bin is writable.\n");
  char bin[PATH_BUFFER_SIZE];
  if (buildPath2(bin, run->jreFolder, "bin") == nullptr || chmodNoFollow(bin, folderMode()) != 0) {
    logBanner("Error setting bin dir to writeable!\n");
  }
  unpack200Path = locateUnpack200(run->jreFolder);
  logMessage("[Extractor] UP200 path is %s\n", unpack200Path.load());
}

char* locateJavaExe(const char* folder) {
  char* java = binPath(folder, "java");
  if (chmodNoFollow(java, 0755) != 0) logBanner("Error setting java to executable!\n");
  return java;
}

char* locateUnpack200(const char* folder) {
  // Straight to standard output: these lines never reach the log file.
  printf("[Locating UP200] %s\n", folder);
  char bin[PATH_BUFFER_SIZE];
  buildPath2(bin, folder, "bin");
  printf("[Locating UP200] %s\n", bin);
  fflush(stdout);
  char* unpack200 = binPath(folder, "unpack200");
  if (setProgramMode(unpack200) != 0) logBanner("Error setting unpack200 to executable!\n");
  printf("[Locating UP200] Result is %s\n", unpack200);
  fflush(stdout);
  return unpack200;
}

bool isSentinelUpdateUrl(const char* url) {
  return url != nullptr && strncmp(url, PLACEHOLDER_UPDATE_URL, PLACEHOLDER_UPDATE_URL_LENGTH) == 0;
}

char* cacheBusterString() {
  char* text = static_cast<char*>(calloc(CACHE_BUSTER_SIZE, 1));
  if (text == nullptr) {
    logMessage("[Utils] Out of memory\n");
    endProcess(1);
  }
  snprintf(text, CACHE_BUSTER_SIZE, "%lu", static_cast<unsigned long>(currentTimeMillis()));
  return text;
}

bool buildVersionFileNames(char* local, char* remote, const char* qvFolder,
                           const char* updateUrl, const char* jreName, const char* cacheBuster) {
  char name[PATH_BUFFER_SIZE];
  if (!formatText(name, sizeof name, "Halvorin-%s-version.txt", jreName) ||
      buildPath2(local, qvFolder, name) == nullptr ||
      !formatText(remote, PATH_BUFFER_SIZE, "%s%s?time=%s", orEmpty(updateUrl), name,
                  cacheBuster)) {
    local[0] = 0;
    remote[0] = 0;
    return false;
  }
  return true;
}

void fetchVersionFile(const char* qvFolder, const char* updateUrl, const char* jreName) {
  if (isSentinelUpdateUrl(updateUrl)) {
    logMessage("[Extractor] Invalid Update URL. Skipping...\n");
    return;
  }
  char local[PATH_BUFFER_SIZE];
  char remote[PATH_BUFFER_SIZE];
  char* cacheBuster = cacheBusterString();
  if (buildVersionFileNames(local, remote, qvFolder, updateUrl, jreName, cacheBuster)) {
    Streamer_downloadToFile(remote, local, JRE_VERSION_FILE_MAX_BYTES);
  } else {
    logMessage("[Extractor] Version file names do not fit, not asking for the JRE version\n");
  }
  free(cacheBuster);
}

void overrideCacerts(const char* source, const char* jreFolder) {
  // The updater's folder may be writable by others: a FIFO, device or link planted there
  // is no store, and is never waited on.
  FILE* in = nullptr;
  if (fileExists(source)) {
    in = openRegularFileForReading(source);
    if (in == nullptr && errno != ELOOP && errno != EINVAL) failCacerts("open", source, errno);
  }
  if (in == nullptr) {
    logMessage("[Extractor] Override CACerts does not exist.\n");
    return;
  }
  char target[PATH_BUFFER_SIZE];
  if (buildPath4(target, jreFolder, "lib", "security", CACERTS_FILE) == nullptr) {
    logMessage("[Extractor] CACerts target path does not fit, keeping the runtime's\n");
    fclose(in);
    return;
  }
  logMessage("[Extractor] CACerts path %s exists\n", source);
  logMessage("[Extractor] TargetCACerts path is %s\n", target);
  replaceCacerts(in, source, target);
}

void regenerateClassData(const char* folder) {
  char* java = locateJavaExe(folder);
  Spawner* spawner = createSpawner();
  setSpawnerExe(spawner, java);
  appendSpawnerArgument(spawner, "-Xshare:dump");
  runSpawnerAndWaitWithin(spawner, WORK_CHILD_LIMIT_SECONDS);  // its outcome is not used
  freeSpawner(spawner);
  free(java);
}
