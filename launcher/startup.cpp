#include "launcher/startup.h"

#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "launcher/devmodes.h"
#include "launcher/elevation.h"
#include "launcher/extractor.h"

int savedArgc = 0;
char** savedArgv = nullptr;

namespace {

const char EXTRACT_TEST_OPTION[] = "--corvastine-extracttest";
const char DOWNLOAD_UNPACK_TEST_OPTION[] = "--corvastine-downloadtest2";
const char DOWNLOAD_TEST_OPTION[] = "--corvastine-downloadtest";
const char SPLASH_DEMO_OPTION[] = "-TESTSPLASH";
const char PREPARE_ONLY_MARKER[] = "HVPREPARE_FOR_LAUNCH_ONLY";

}  // namespace

DeveloperOption findDeveloperOption(int argc, char** argv) {
  if (argc <= 2) return DeveloperOption::None;
  if (strcmp(argv[1], EXTRACT_TEST_OPTION) == 0) return DeveloperOption::ExtractTest;
  if (strcmp(argv[1], DOWNLOAD_UNPACK_TEST_OPTION) == 0) return DeveloperOption::DownloadUnpackTest;
  if (strcmp(argv[1], DOWNLOAD_TEST_OPTION) == 0) return DeveloperOption::DownloadTest;
  return DeveloperOption::None;
}

void runDeveloperOption(DeveloperOption option, int argc, char** argv) {
  (void)argc;
  switch (option) {
    case DeveloperOption::ExtractTest:
      runExtractTest();
      break;
    case DeveloperOption::DownloadUnpackTest:
      runDownloadUnpackTest(argv[2]);
      break;
    case DeveloperOption::DownloadTest:
      runDownloadTest(argv[2]);
      break;
    case DeveloperOption::None:
      break;
  }
}

bool isPrepareOnlyRun(int argc, char** argv) {
  return argc > 0 && strcmp(argv[argc - 1], PREPARE_ONLY_MARKER) == 0;
}

void startupDispatch() {
  // At once, so that no child of this run (the Java program above all) inherits it.
  takeRelaunchMarker();
  if (savedArgc < 1) {
    // Without argv[0] there is no path to find the own executable, and so no tail.
    logMessage("[Extractor] No program path on the command line, cannot read the wrapper tail\n");
    endProcess(1);
  }
  if (savedArgc > 1 && strcmp(savedArgv[1], SPLASH_DEMO_OPTION) == 0) runSplashDemo();
  const bool prepareOnly = isPrepareOnlyRun(savedArgc, savedArgv);
  printf("Extracting wrapper tail...\n");
  fflush(stdout);
  Extractor_run(savedArgv[0], savedArgc - 1, savedArgv + 1, savedArgc, savedArgv, prepareOnly);
}
