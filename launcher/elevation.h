// Elevation: when the install folder is not writable, the launcher runs itself through a
// graphical elevation tool as a prepare-only run, then starts itself again with the
// user's rights. Main thread only; neither road function returns.
#pragma once

#include <cstdint>

#include "launcher/run.h"

// The elevation road of the extraction: entries 1 and 2 into a private folder, the
// splash configured from its picture, then elevateAndRelaunch. Never returns.
[[noreturn]] void Extractor_elevationRoad(ExtractorRun* run);

// Runs argv elevated as a prepare-only run, then relaunches it unelevated; ends the
// process with status 0 or 1.
[[noreturn]] void elevateAndRelaunch(int32_t argc, char** argv, bool silent);

// With escape: a new string with every byte special to the shell escaped; without it:
// text itself.
char* escapeSpaces(const char* text, bool escape);
