// Steps 8 to 11 of a run, the extract road: preparing the folders (or the elevation road),
// the Quorvane, the Java runtime and the application. Each ends the process on a fatal
// error; step 11 sets latestQvFolder or ends the run with status 1.
#pragma once

#include <cstdint>

#include "launcher/run.h"

// With canOverride exactly "1": logs the authorisation and the dynamic picture's presence
// and size; a picture of at least one byte then replaces the file at path (written beside
// it and renamed over it, never through a link) and is opened as the layout has it (chmod777). A picture that cannot
// be written leaves the file at path as it was, with a line.
void overrideSplashImage(const char* canOverride, const unsigned char* image, uint64_t size,
                         const char* path);

// The next count entries of the tail into folder, each whole: an entry that is cut or
// missing (a partial download of the installer) ends the run with status 1 before any
// folder holding it is renamed to a complete name; component ("updater", "runtime",
// "application") names what a missing entry belonged to.
void Extractor_extractTailEntries(ExtractorRun* run, const char* folder, int count,
                                  const char* component);

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
