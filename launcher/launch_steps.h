// The acts that end both roads: releasing the splash, closing the Tail ring, and starting
// the Java program from the latest QV folder.
#pragma once

#include "launcher/run.h"

// The last splash call of a run; no splash call follows it.
void Extractor_destroySplash(ExtractorRun* run);
// Closes the Tail ring; its reader thread stops.
void Extractor_closeTailRing(ExtractorRun* run);
// The last step before the exit 0 or the launch: a run as root on a "perm_all" install
// opens the install to all users as the shared layout has it (core/install_tree.h).
void Extractor_shareInstall(ExtractorRun* run);
// Writes the launch properties and spawns the Java program; its outcome does not change
// the exit status. A run as root on a "perm_all" install launches nothing: it ends here
// with status 0, like a prepare-only run.
void Extractor_launch(ExtractorRun* run);
