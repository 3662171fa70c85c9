// Steps 5 to 7 of a run: the install layout under the shared dir (master folder, its log
// file, "HVAppsSharedConfig"), the completed update URL, the JRE name with its override
// file, and the version decision between running what is installed and extracting.
// Main thread only. A run that cannot go on here (no room for the URL's '/', a master
// folder path beyond its buffer, no JRE name) is logged and ends with status 1 before
// anything is installed or launched.
#pragma once

#include <cstddef>

#include "launcher/run.h"

// Bytes of the JreNameOverride file's one value that count, its 0x00 included.
constexpr int JRE_OVERRIDE_VALUE_SIZE = 500;

// Appends '/' in place to a non-empty url that does not end with one; url lives in a
// buffer of bufferSize bytes. false, url unchanged, when the '/' and the 0x00 do not fit.
bool completeUpdateUrl(char* url, size_t bufferSize);

// The runtime folder test on master/folder: bin/java with lib/rt.jar, or, without
// lib/rt.jar, bin/java with jre/lib/rt.jar. Every probe is logged.
bool runtimeFolderPasses(const char* master, const char* folder);

// Step 5: shared dir, the '/' of the effective update URL, master folder, log file.
void VersionDecision_setupFolders(ExtractorRun* run);
// Step 6: the JRE name override, the JRE name check, "HVAppsSharedConfig", and the lines
// telling whether the tail carries a Quorvane and an application.
void VersionDecision_setupRuntimeName(ExtractorRun* run);
// Step 7: Run (latestQvFolder set) or Extract (latestQvFolder left unset).
RunRoad VersionDecision_decide(ExtractorRun* run);
