// Extractor_run carries one run from the wrapper tail to the start of the Java program,
// on the main thread, in a fixed order of steps, and never returns: every road ends the
// process (0 after a launch or a prepare-only run, 1 on a fatal error, 99 when no
// launch-properties file can be written).
#pragma once

#include "launcher/run.h"

// argumentCount and arguments are those after the program path.
[[noreturn]] void Extractor_run(const char* programPath, int argumentCount, char** arguments,
                                int argc, char** argv, bool prepareOnly);

// The two roads after the version decision.
[[noreturn]] void Extractor_runRoad(ExtractorRun* run);
[[noreturn]] void Extractor_extractRoad(ExtractorRun* run);
