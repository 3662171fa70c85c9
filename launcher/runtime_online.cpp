#include "launcher/runtime_setup.h"

#include "core/log.h"
#include "core/paths.h"

void RuntimeSetup_onlineRoad(ExtractorRun*) {
  logMessage("[Extractor] Online runtime not built yet\n");
  endProcess(1);
}
char* getJavaMajorVersion(const char*) { return copyString("0"); }
bool javaVersionSatisfies(const char*, const char*) { return false; }
void findSystemJre(char*, bool, const char*, const char*, char*, const LaunchPropertyList*, int,
                   const char* const*, const char*, const char*, const char*) {}
