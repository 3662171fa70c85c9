// The online road: a compatible runtime already on the system is copied into the master
// folder (launcher/runtime_search), else the runtime named by the update site's version
// file is downloaded.
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
#include "launcher/runtime_search.h"
#include "launcher/runtime_setup.h"
#include "pipeline/streamer.h"
#include "pipeline/unarchiver.h"
#include "splash/splash_window.h"

namespace {

constexpr char ONLINE_TITLE[] = "Setting up online JRE";
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
                  run->qvFolder, run->jreTemp, run->launchProperties, run->launcherArgc,
                  run->launcherArgv, run->tail.updateUrl, run->dynamicUpdateUrl,
                  run->absoluteLauncherPath);
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
