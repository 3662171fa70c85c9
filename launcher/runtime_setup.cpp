#include "launcher/runtime_setup.h"

#include "core/log.h"

void RuntimeSetup_run(ExtractorRun* run) {
  (void)run;
  logPendingStep("set up the Java runtime");
}
void RuntimeSetup_offlineRoad(ExtractorRun*) {}
void RuntimeSetup_finish(ExtractorRun*, const char*) {}
char* locateJavaExe(const char*) { return nullptr; }
char* locateUnpack200(const char*) { return nullptr; }
bool isSentinelUpdateUrl(const char*) { return false; }
char* cacheBusterString() { return nullptr; }
bool buildVersionFileNames(char*, char*, const char*, const char*, const char*, const char*) {
  return false;
}
void fetchVersionFile(const char*, const char*, const char*) {}
void overrideCacerts(const char*, const char*) {}
void regenerateClassData(const char*) {}
