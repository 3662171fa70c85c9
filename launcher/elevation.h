// Elevation: when the install folder is not writable, the launcher runs itself through a
// graphical elevation tool (gksudo, kdesudo, beesu or pkexec, the first found) as a
// prepare-only run, then starts itself again with the user's rights. Elevation happens
// at most once per launch: neither the elevated run nor the relaunch elevates again.
// Main thread only; the road functions never return.
#pragma once

#include <cstdint>

#include "launcher/run.h"

// Environment variable that marks the unelevated relaunch (any value).
constexpr char RELAUNCH_MARKER_ENV[] = "HVRELAUNCHED_AFTER_ELEVATION";
// Folders of the elevation road's picture: mkdtemp names below "/tmp", mode 0700.
constexpr char ELEVATION_FOLDER_TEMPLATE[] = "/tmp/hvelevation-XXXXXX";
constexpr int ELEVATION_EXE_PATH_SIZE = 10000;

// Removes the relaunch marker from the environment at once (so no child inherits it) and
// remembers whether it was there. Called first thing at start-up.
bool takeRelaunchMarker();

// Ends the process with status 1 after a "[SUDO]" line when this run must not elevate: a
// prepare-only run (it is the elevated run, or was asked to only prepare), or a run that
// took the relaunch marker. Returns otherwise.
void stopRepeatedElevation(bool prepareOnly);

// The elevation road of the extraction: entries 1 and 2 into a private folder, the
// splash configured from its picture, then elevateAndRelaunch. Never returns.
[[noreturn]] void Extractor_elevationRoad(ExtractorRun* run);

// Runs argv elevated as a prepare-only run, then relaunches it unelevated with the
// relaunch marker; ends the process with status 0 after the relaunch, 1 without a
// usable tool or when the user refused.
[[noreturn]] void elevateAndRelaunch(int32_t argc, char** argv, bool silent);

// With escape: a new string with a backslash before every byte special to the shell
// (blank, tab and !"#$&'()*;<=>?[\]^`{|}~) and each newline put in single quotes, for
// tools that split their command again. Without it: text itself.
char* escapeSpaces(const char* text, bool escape);
