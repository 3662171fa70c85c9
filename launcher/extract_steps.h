// Steps 8 to 11 of a run, the extract road: preparing the folders (or the elevation road),
// the Quorvane, the Java runtime and the application. Each ends the process on a fatal
// error; step 11 sets latestQvFolder or ends the run with status 1.
#pragma once

#include "launcher/run.h"

// Step 8: ends with status 1 when the tail carries no Quorvane; names the folders and
// creates QV temp exclusively, or takes the elevation road (which never comes back). A
// prepare-only run, the elevated one already, ends with status 1 instead of elevating.
void Extractor_prepareExtraction(ExtractorRun* run);
// Step 9: tail entries 1 to 5 into QV temp, renamed to the QV folder; the splash shown.
void Extractor_extractQuorvane(ExtractorRun* run);
// Step 10: the runtime from the tail, the system or the update site.
void Extractor_setupJavaRuntime(ExtractorRun* run);
// Step 11: the application entries into their own new APP temp, renamed to the APP
// folder, then the latest QV folder.
void Extractor_extractApplication(ExtractorRun* run);
