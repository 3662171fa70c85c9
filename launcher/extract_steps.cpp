#include "launcher/extract_steps.h"

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
#include "core/log.h"
#include "core/paths.h"
#include "launcher/elevation.h"
#include "launcher/runtime_setup.h"
#include "pipeline/unarchiver.h"
#include "splash/splash_window.h"

namespace {

const char QUORVANE_NAME[] = "Halvorin";
const char LZMA_FILE[] = "lzma64";
const char SPLASH_FILE[] = "nativesplash.png";
const char CACERTS_FILE[] = "cacerts";
// The mode an overriding splash picture has always had.
constexpr mode_t SPLASH_PICTURE_MODE = 0600;
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

// Writes the picture beside path and renames it over path, so a link planted at path is
// replaced rather than followed, and a picture that cannot be written whole leaves the
// extracted one in place. false (logged) when it could not be written.
bool replaceSplashPicture(const char* path, const unsigned char* image, uint64_t size) {
  const char* last;
  const int folder = DescriptorFiles_openPathParent(path, &last);
  const int replaced =
      folder >= 0 ? DescriptorFiles_replace(folder, last, SPLASH_PICTURE_MODE, [&](FILE* out) {
        return fwrite(image, 1, size, out) == size;
      })
                  : -1;
  const int error = errno;
  if (folder >= 0) close(folder);
  if (replaced == 0) return true;
  logMessage("[Extractor] Unable to write splash image %s [%d], keeping the extracted one\n", path,
             error);
  return false;
}

void configureSplashFrom(const char* splashPath) {
  logMessage("[Extractor] Native Splash PNG path is %s\n", splashPath);
  logMessage("[Extractor] Configuring splash\n");
  // The Quorvane folder may be writable by others: a FIFO there must not hold the run.
  configureSplash(splashPath, openRegularFileForReading);
}

}  // namespace

void Extractor_extractTailEntries(ExtractorRun* run, const char* folder, int count,
                                  const char* component) {
  for (int i = 0; i < count; ++i) {
    const int result = Unarchiver_extractOne(run->tailRing, folder);
    // A cut entry was named by the Unarchiver already.
    if (result == UNARCHIVER_ENTRY_CUT) endProcess(1);
    if (result != 0) {
      logMessage("[Extractor] An entry of the %s is missing: the installer file is cut\n",
                 component);
      endProcess(1);
    }
  }
}

void overrideSplashImage(const char* canOverride, const unsigned char* image, uint64_t size,
                         const char* path) {
  if (canOverride == nullptr || strcmp(canOverride, "1") != 0) return;
  logMessage("[Extractor] Authorised to override the splash image.\n");
  logMessage("[Extractor] DynamicSplash is %d, size is %d\n", image != nullptr ? 1 : 0,
             static_cast<int>(size));
  if (image == nullptr || size == 0) return;
  logMessage("[Extractor] Overwriting splash image at %s\n", path);
  if (replaceSplashPicture(path, image, size)) chmod777(path);
}

void Extractor_prepareExtraction(ExtractorRun* run) {
  if (!run->tailCarriesQuorvane) {
    logMessage("[Extractor] Unable to run (we are just a launcher)\n");
    endProcess(1);
  }
  ensureFolder(run->masterFolder);
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
  if (run->prepareOnly) {
    logFileError("[SUDO]", "create folder", run->qvTemp, errno);
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
