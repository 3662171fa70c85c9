#include "launcher/launch_steps.h"

void Extractor_destroySplash(ExtractorRun* run) {
  (void)run;
  logPendingStep("destroy the splash mutex");
}

void Extractor_closeTailRing(ExtractorRun* run) {
  (void)run;
  logPendingStep("close the Tail ring");
}

void Extractor_launch(ExtractorRun* run) {
  (void)run;
  logPendingStep("launch the latest Quorvane");
}
