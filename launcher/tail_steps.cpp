#include "launcher/tail_steps.h"

#include <cstdio>
#include <cstring>

#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"
#include "launcher/markers.h"

namespace {

// Opens the own executable by the program path and finds a marker in it; ends the run
// with status 1 when either fails, as a launcher without a wrapper tail must.
FILE* openAtMarker(const ExtractorRun* run, const unsigned char* marker, int size,
                   const char* name, const char* openFailure) {
  FILE* file = openFileForReading(run->programPath);
  if (file == nullptr) {
    logMessage(openFailure, run->programPath);
    endProcess(1);
  }
  if (findMarker(file, marker, size, name) < 0) endProcess(1);
  return file;
}

}  // namespace

void Extractor_start(ExtractorRun* run) {
  logPendingStep("clear the archive signature key and prepare the splash window");
  buildParamsMarker(run->paramsMarker);
  run->tailMarker = buildTailMarker();
  // argv[0] is not const in main; the record keeps it as typed.
  run->absoluteLauncherPath = toAbsolutePath(const_cast<char*>(run->programPath));
  if (run->absoluteLauncherPath == nullptr) {
    // The current folder cannot be read or the result is too long: the path as typed is
    // the best the later steps can have.
    logMessage("[Extractor] Cannot make the wrapper path absolute, keeping %s\n", run->programPath);
    run->absoluteLauncherPath = copyString(run->programPath);
  }
  logMessage("[Extractor] The absolute wrapper path is %s\n", run->absoluteLauncherPath);
  logMessage("[Extractor] The executable name is %s\n", run->programPath);
}

void Extractor_readParams(ExtractorRun* run) {
  FILE* file = openAtMarker(
      run, run->paramsMarker, PARAMS_MARKER_SIZE, "Params",
      "[Extractor] *********************** Failed to extract wrapper params - couldn't open file %s\n");
  logMessage("[Extractor] Found Params marker. Extracting now...\n");
  logPendingStep("read the dynamic properties of the Params block");
  fclose(file);
}

void Extractor_readTailHeader(ExtractorRun* run) {
  if (run->prepareOnly) {
    logMessage(
        "[Extractor] This is an elevated run purely to prepare an installation. Will not show UI "
        "or launch an app\n");
  }
  FILE* file = openAtMarker(
      run, run->tailMarker, TAIL_MARKER_SIZE, "Tail",
      "[Extractor] ************************* Failed to extract wrapper tail - couldn't open file %s\n");
  logMessage("[Extractor] Found tail marker\n");
  logPendingStep("read the tail header, choose the update URL, decide whether the run is silent");
  fclose(file);
}

void Extractor_setupStaticProperties(ExtractorRun* run) {
  (void)run;
  logPendingStep("store the static launch properties and import the public key");
}
