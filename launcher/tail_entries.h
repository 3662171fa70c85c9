// Taking whole entries off the installer's tail into a folder, for every road that
// extracts them (the Quorvane, the runtime, the application, the elevation road's
// picture). Main thread only; ends the process on a cut or missing entry.
#pragma once

#include "launcher/run.h"

// The next count entries of the tail into folder, each whole: an entry that is cut or
// missing (a partial download of the installer) ends the run with status 1 before any
// folder holding it is renamed to a complete name; component ("updater", "runtime",
// "application") names what a missing entry belonged to.
void Extractor_extractTailEntries(ExtractorRun* run, const char* folder, int count,
                                  const char* component);
// The same, but a cut or missing entry (named in its line) gives false instead of ending
// the run, for a road that has its own things to clear away first.
bool Extractor_takeTailEntries(ExtractorRun* run, const char* folder, int count,
                               const char* component);
