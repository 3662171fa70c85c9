// The Java runtime setup of the extract road: the runtime from the tail (offline road),
// a compatible system runtime copied into the master folder, or one downloaded from the
// update site (online road); then the common ending that moves it into its complete
// folder. Main thread only. Fatal problems end the process with status 1.
#pragma once

#include <cstdint>

#include "core/launch_property_list.h"
#include "launcher/run.h"

// An update URL of the packaging side that names no update site.
constexpr char PLACEHOLDER_UPDATE_URL[] = "http://0.0.0.0:80/";
constexpr int PLACEHOLDER_UPDATE_URL_LENGTH = 18;
constexpr int MAX_JRE_VERSION_LENGTH = 50;
// Of the JRE version file at most this much is taken: a longer one is a failed download.
constexpr int64_t JRE_VERSION_FILE_MAX_BYTES = 4096;
constexpr int JRE_VERSION_BUFFER_SIZE = 100;

// Step 10: "[Extractor] Setting up a JRE", then the offline road when the tail's "JRE
// Version" is set, else the online road, then the common ending under that road's title
// ("Extracting Offline JRE" or "Setting up online JRE").
void RuntimeSetup_run(ExtractorRun* run);

// The offline road: the tail's runtime entry into a new JRE temp, the class-data dump.
// Fills run->jreTemp and run->jreFolder; ends the run with status 1 when JRE temp cannot
// be created or the entry is cut.
void RuntimeSetup_offlineRoad(ExtractorRun* run);
// The online road: the system runtime search, else the download. Returns with
// run->jreTemp (filled) and run->jreFolder named, or ends the process; the caller runs
// the common ending.
void RuntimeSetup_onlineRoad(ExtractorRun* run);
// The common ending under the title of the road that ran: logEnd, the QV folder's
// cacerts over the one in JRE temp, JRE temp renamed to the JRE folder, bin given the
// layout's folder mode,
// unpack200Path pointed into the JRE folder.
void RuntimeSetup_finish(ExtractorRun* run, const char* title);

// <folder>/bin/java, made 0755 (a banner when that fails); new buffer.
char* locateJavaExe(const char* folder);
// <folder>/bin/unpack200, given the layout's program mode (a banner when that fails); new buffer.
char* locateUnpack200(const char* folder);
// True when the first 18 characters of url are the placeholder update URL; false for none.
bool isSentinelUpdateUrl(const char* url);
// The epoch milliseconds as text in a new 101-byte buffer.
char* cacheBusterString();
// Local <qvFolder>/Halvorin-<jreName>-version.txt and remote
// <updateUrl>Halvorin-<jreName>-version.txt?time=<cacheBuster>; false when either does
// not fit its PATH_BUFFER_SIZE buffer.
bool buildVersionFileNames(char* local, char* remote, const char* qvFolder,
                           const char* updateUrl, const char* jreName, const char* cacheBuster);
// The proxy detection request: the version file into the QV folder, outcome ignored.
void fetchVersionFile(const char* qvFolder, const char* updateUrl, const char* jreName);
// Replaces <jreFolder>/lib/security/cacerts with source when source exists: the copy is
// written beside it (mode 0644), every write checked, then renamed over it. Any failure
// ends the run with status 1 after a line naming the path and the system's reason; the
// old store is then left as it was.
void overrideCacerts(const char* source, const char* jreFolder);
// Runs <folder>/bin/java (locateJavaExe) with "-Xshare:dump" and waits for it, at most
// WORK_CHILD_LIMIT_SECONDS (then it is killed); the caller logs its own "Regenerating
// jsa" line.
void regenerateClassData(const char* folder);
