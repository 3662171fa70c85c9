#include "launcher/elevation.h"

#include "core/log.h"

void Extractor_elevationRoad(ExtractorRun* run) {
  logMessage("[Extractor] Unable to create QV Temp folder - assuming elevation required\n");
  elevateAndRelaunch(run->argc, run->argv, run->silent);
}

void elevateAndRelaunch(int32_t, char**, bool) {
  logPendingStep("elevation");
  endProcess(1);
}

char* escapeSpaces(const char* text, bool) { return const_cast<char*>(text); }
