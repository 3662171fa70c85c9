#include "launcher/extract_steps.h"

#include <cerrno>

#include "core/fileops.h"
#include "core/install_folders.h"
#include "core/log.h"
#include "core/paths.h"
#include "launcher/elevation.h"
#include "launcher/runtime_setup.h"
#include "launcher/splash_override.h"
#include "launcher/tail_entries.h"
#include "splash/splash_window.h"

namespace {

const char QUORVANE_NAME[] = "Halvorin";
const char LZMA_FILE[] = "lzma64";
const char SPLASH_FILE[] = "nativesplash.png";
const char CACERTS_FILE[] = "cacerts";
// Entries 3 to 5 and the two application entries.
constexpr int QUORVANE_ENTRIES = 3;
constexpr int APPLICATION_ENTRIES = 2;
// What a missing entry belongs to, in the line that ends the run.
const char UPDATER_COMPONENT[] = "updater";
const char APPLICATION_COMPONENT[] = "application";

bool isEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }
const char* orEmpty(const char* text) { return text == nullptr ? "" : text; }

// A name that does not fit its buffer would leave an empty path, which the steps must
// never act on.
void requireName(const char* name, const char* what) {
  if (name != nullptr && name[0] != '\0') return;
  logMessage("[Extractor] The %s name does not fit, cannot extract\n", what);
  endProcess(1);
}

// The failures that more rights can mend.
bool lacksRights(int error) { return error == EACCES || error == EPERM || error == EROFS; }

void configureSplashFrom(const char* splashPath) {
  logMessage("[Extractor] Native Splash PNG path is %s\n", splashPath);
  logMessage("[Extractor] Configuring splash\n");
  // The Quorvane folder may be writable by others: a FIFO there must not hold the run.
  configureSplash(splashPath, openRegularFileForReading);
}

}  // namespace

void Extractor_prepareExtraction(ExtractorRun* run) {
  if (!run->tailCarriesQuorvane) {
    logMessage("[Extractor] Unable to run (we are just a launcher)\n");
    endProcess(1);
  }
  const int32_t master = ensureFolder(run->masterFolder);
  const int masterError = errno;
  const TailHeader& tail = run->tail;
  makeCompleteFolderName(run->qvFolder, run->masterFolder, QUORVANE_NAME, tail.qvVersion);
  makeTempFolderName(run->qvTemp, run->masterFolder);
  makeCompleteFolderName(run->appFolder, run->masterFolder, orEmpty(tail.appName),
                         orEmpty(tail.appVersion));
  makeTempFolderName(run->appTemp, run->masterFolder);
  requireName(run->qvFolder, "QV folder");
  requireName(run->qvTemp, "QV temp");
  requireName(run->appFolder, "APP folder");
  requireName(run->appTemp, "APP temp");
  logMessage("[Extractor] QV folder is %s\n", run->qvFolder);
  logMessage("[Extractor] QV temp is %s\n", run->qvTemp);
  if (createTempFolder(run->qvTemp) == 0) return;
  // A master folder that could not be made leaves its parent's answer as the cause.
  const int error = errno == ENOENT && master != 0 ? masterError : errno;
  if (!lacksRights(error)) {
    // Names taken (anyone may make them in a shared install) or a full disk: more rights
    // would change nothing, and the elevated run would close the install meanwhile.
    logFileError("[Extractor]", "create folder", run->qvTemp, error);
    logMessage("[Extractor] Unable to create QV Temp folder, and not for lack of rights: cannot "
               "continue\n");
    endProcess(1);
  }
  if (run->prepareOnly) {
    logFileError("[SUDO]", "create folder", run->qvTemp, error);
    // This run is the elevated one already: elevating again could loop for ever.
    logMessage("[SUDO] Prepare-only run unable to create QV temp folder %s, not elevating again\n",
               run->qvTemp);
    endProcess(1);
  }
  Extractor_elevationRoad(run);
}

void Extractor_extractQuorvane(ExtractorRun* run) {
  char lzmaPath[PATH_BUFFER_SIZE];
  char splashPath[PATH_BUFFER_SIZE];
  char cacertsPath[PATH_BUFFER_SIZE];
  buildPath2(lzmaPath, run->qvTemp, LZMA_FILE);
  logMessage("[Extractor] LZMA path is %s\n", lzmaPath);
  Extractor_extractTailEntries(run, run->qvTemp, 1, UPDATER_COMPONENT);
  logMessage("[Extractor] Ensuring LZMA is executable.\n");
  if (setProgramMode(lzmaPath) != 0) {
    logMessage("[Extractor] ***************************** Error setting LZMA executable!\n");
  }
  Extractor_extractTailEntries(run, run->qvTemp, 1, UPDATER_COMPONENT);
  buildPath2(splashPath, run->qvTemp, SPLASH_FILE);
  overrideSplashImage(run->tail.canOverrideSplash, run->dynamicSplashImage,
                      run->dynamicSplashImageSize, splashPath);
  Extractor_extractTailEntries(run, run->qvTemp, QUORVANE_ENTRIES, UPDATER_COMPONENT);
  logMessage("[Extractor] Extracted QV and QV Version\n");
  logMessage("[Extractor] Renaming QV folder to %s\n", run->qvFolder);
  renameWithFallback(run->qvTemp, run->qvFolder);
  chmod777(run->qvFolder);
  logMessage("[Extractor] Recreating QV location\n");
  setString(run->qvTemp, run->qvFolder);
  buildPath2(lzmaPath, run->qvTemp, LZMA_FILE);
  logMessage("[Extractor] LZMA path is %s\n", lzmaPath);
  buildPath2(cacertsPath, run->qvTemp, CACERTS_FILE);
  logMessage("[Extractor] CACerts override path is %s\n", cacertsPath);
  buildPath2(splashPath, run->qvTemp, SPLASH_FILE);
  configureSplashFrom(splashPath);
  logMessage("[Extractor] Showing splash\n");
  if (!run->silent && !run->prepareOnly) showSplash();
  setProgress(PROGRESS_INDEFINITE);
}

void Extractor_setupJavaRuntime(ExtractorRun* run) { RuntimeSetup_run(run); }

void Extractor_extractApplication(ExtractorRun* run) {
  const TailHeader& tail = run->tail;
  if (!isEmpty(tail.appVersion)) {
    logMessage("[Extractor] Offline installer - app to extract.\n");
    logMessage("[Extractor] APP folder is %s\n", run->appFolder);
    logMessage("[Extractor] APP temp is %s\n", run->appTemp);
    if (createTempFolder(run->appTemp) != 0) {
      logFileError("[Extractor]", "create folder", run->appTemp, errno);
      logBanner("Unable to create App Temp folder\n");
      endProcess(1);
    }
    logMessage("[Extractor] Extracting App...\n");
    Extractor_extractTailEntries(run, run->appTemp, APPLICATION_ENTRIES, APPLICATION_COMPONENT);
    logMessage("[Extractor] Setting permissions...\n");
    chmodAllExecutable(run->appTemp);
    char picture[PATH_BUFFER_SIZE];
    char pictureName[PATH_BUFFER_SIZE];
    if (formatText(pictureName, sizeof pictureName, "Halvorin-%s-splash.png", orEmpty(tail.appName)) &&
        buildPath2(picture, run->appTemp, pictureName) != nullptr) {
      chmod777(picture);
    }
    renameWithFallback(run->appTemp, run->appFolder);
    logMessage("[Extractor] Renaming App folder to %s\n", run->appFolder);
  } else {
    logMessage("[Extractor] Online installer - no app to extract\n");
  }
  run->latestQvFolder = PickFolder(run->masterFolder, QUORVANE_NAME);
  if (run->latestQvFolder == nullptr) {
    logBanner("No latest App version even after download!\n");
    endProcess(1);
  }
}
