#include "launcher/install_steps.h"

void Extractor_setupFolders(ExtractorRun* run) {
  (void)run;
  logPendingStep("choose the shared dir and master folder, open the per-run log file");
}

void Extractor_setupRuntimeName(ExtractorRun* run) {
  logPendingStep("apply the JRE name override, ensure HVAppsSharedConfig");
  run->tailCarriesQuorvane = run->tail.qvVersion != nullptr && run->tail.qvVersion[0] != 0;
}

RunRoad Extractor_decideVersion(ExtractorRun* run) {
  (void)run;
  // Nothing is looked up yet, so nothing counts as installed: extract.
  logPendingStep("compare the installed versions with the tail's");
  return RunRoad::Extract;
}
