// Steps 5 to 7 of a run: the install layout and the log file, the runtime name and the
// shared configuration folder, and the version decision that picks the road.
#pragma once

#include "launcher/run.h"

// Step 5: shared dir, the '/' of the effective update URL, master folder, log file.
void Extractor_setupFolders(ExtractorRun* run);
// Step 6: the JreNameOverride file (an empty name then ends the run with status 1),
// "HVAppsSharedConfig", whether the tail has a Quorvane.
void Extractor_setupRuntimeName(ExtractorRun* run);
// Step 7: compares installed and carried versions; on the run road latestQvFolder is set.
RunRoad Extractor_decideVersion(ExtractorRun* run);
