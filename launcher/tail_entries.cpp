#include "launcher/tail_entries.h"

#include "core/log.h"
#include "pipeline/unarchiver.h"

bool Extractor_takeTailEntries(ExtractorRun* run, const char* folder, int count,
                               const char* component) {
  for (int i = 0; i < count; ++i) {
    const int result = Unarchiver_extractOne(run->tailRing, folder);
    // A cut entry was named by the Unarchiver already.
    if (result == UNARCHIVER_ENTRY_CUT) return false;
    if (result != 0) {
      logMessage("[Extractor] An entry of the %s is missing: the installer file is cut\n",
                 component);
      return false;
    }
  }
  return true;
}

void Extractor_extractTailEntries(ExtractorRun* run, const char* folder, int count,
                                  const char* component) {
  if (!Extractor_takeTailEntries(run, folder, count, component)) endProcess(1);
}
