// The wrapper tail appended to the launcher's own file, read in steps 1 to 4 of a run:
// the Params block (dynamic properties, each stored as a "hvdyna_" launch property and
// some of them acted on) and the Tail header (twelve static values, stored as "hvstat_"
// properties), the silent decision and the import of the tail's signature key.
// Main thread only. Every failure here is fatal: it is logged and the process ends with
// status 1 (no own file, no marker, a block that ends before its last value).
#pragma once

#include "launcher/run.h"

struct RingBuffer;

constexpr int PARAM_NAME_SIZE = 1024;
// Also the size of the launch property list that the run builds.
constexpr int PARAM_VALUE_SIZE = 200000;

// Opens the file at path ("rb", close-on-exec), finds the 64-byte Params marker in it
// and returns the ring that a FileReader fills from just after the marker. Ends the
// process with status 1 when the file cannot be opened or holds no marker.
RingBuffer* openParamsStream(const char* path, const unsigned char* marker);
// The same with the 128-byte Tail marker; logs "[Extractor] Found tail marker".
RingBuffer* openTailStream(const char* path, const unsigned char* marker);

// True when the silent parameter is set (not null, not empty) and equals one of the
// arguments byte for byte.
bool isSilentRequested(const char* silentParameter, int argumentCount, char** arguments);

// The path the own executable is opened by: argv[0] when it names a folder ('/'), else
// the running executable's resolved path (a name found through PATH says nothing about
// the current folder). Valid once step 1 has run.
const char* ownExecutablePath(const ExtractorRun* run);

// Step 1: no signature key, the splash prepared (not shown), both markers made, the
// absolute launcher path found and logged.
void WrapperTail_start(ExtractorRun* run);
// Step 2: the Params block into the launch properties and the run's dynamic values
// (silent, splash border, splash image, update URL, JRE name, autotest); its ring closed.
// The launch property list has PARAM_VALUE_SIZE bytes; the dynamic update URL is a
// buffer of PARAM_VALUE_SIZE bytes (empty without an "update_url" pair), a value longer
// than it keeps its first PARAM_VALUE_SIZE - 1 bytes.
void WrapperTail_readParams(ExtractorRun* run);
// Step 2's reading of the block from a ring that starts just after the Params marker;
// closes the ring.
void WrapperTail_readParamsFrom(ExtractorRun* run, RingBuffer* ring);
// Step 3: the twelve header values, the effective update URL and the silent flag; the
// Tail ring stays open at the first archive entry. Each value is a buffer of its own size:
// 8192 bytes for the public key, PATH_BUFFER_SIZE for the update URL, 2 for
// "Skip System JRE", 1024 for the others. The effective update URL is the dynamic one
// when "Update URL" is exactly "D", else the tail's (the same buffer either way).
void WrapperTail_readTailHeader(ExtractorRun* run);
// Step 3 after the Tail marker was found: the header values from ring (kept open as the
// run's tail ring) and what follows from them.
void WrapperTail_readTailHeaderFrom(ExtractorRun* run, RingBuffer* ring);
// Step 4: the eleven static properties (and "show_no_ui" when silent), then the tail's
// public key into archiveSignatureKey (left null when there is none or it is refused).
void WrapperTail_setupStaticProperties(ExtractorRun* run);
