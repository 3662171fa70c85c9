// Pieces of the online runtime road that are worth reaching on their own. Main thread
// only, like the rest of the runtime setup.
#pragma once

#include "launcher/run.h"

// Reads the JRE version, the version file's first token (up to a CR, LF, blank or the
// end), into run->jreVersion. A file that cannot be opened reads as empty; a token
// longer than MAX_JRE_VERSION_LENGTH or holding a '/' (the version becomes part of folder
// names) ends the process with status 1.
void readJreVersionFile(ExtractorRun* run, const char* path);
