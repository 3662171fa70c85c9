#include "launcher/extract_steps.h"

#include "core/log.h"
#include "launcher/runtime_setup.h"

void Extractor_prepareExtraction(ExtractorRun* run) {
  if (!run->tailCarriesQuorvane) {
    logMessage("[Extractor] Unable to run (we are just a launcher)\n");
    endProcess(1);
  }
  logPendingStep("name the QV and APP folders and create QV temp (or elevate)");
}

void Extractor_extractQuorvane(ExtractorRun* run) {
  (void)run;
  logPendingStep("extract the Quorvane and show the splash");
}

void Extractor_setupJavaRuntime(ExtractorRun* run) { RuntimeSetup_run(run); }

void Extractor_extractApplication(ExtractorRun* run) {
  logPendingStep("extract the application and pick the latest QV folder");
  if (run->latestQvFolder == nullptr) {
    logBanner("No latest App version even after download!\n");
    endProcess(1);
  }
}
