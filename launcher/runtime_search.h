// The system runtime search of the online road: the `java` on PATH, its link chain
// followed to the runtime's home, its version and the compatibility test checked, then
// the runtime copied into a free temporary folder of the master folder. Main thread only.
#pragma once

#include "core/launch_property_list.h"

// The version a copied system runtime is given (its complete folder is named by it).
constexpr char COPIED_JRE_VERSION[] = "00000000000";

// The major version of the java program at javaPath as text; "0" on any failure, and
// NULL (no version at all: the runtime is not usable) when "-version" did not answer
// within CHECK_CHILD_LIMIT_SECONDS.
char* getJavaMajorVersion(const char* javaPath);
// True when the major version is at least required.
bool javaVersionSatisfies(const char* javaPath, const char* required);
// The system runtime search; on success writes COPIED_JRE_VERSION into jreVersion and the
// copy's folder into jreTemp, else leaves both as they were. The compatibility test runs
// the updater of qvFolder (this run's QV folder, a path in master). May end the process.
void findSystemJre(char* jreVersion, bool autotest, const char* requiredVersion,
                   const char* master, const char* qvFolder, char* jreTemp,
                   const LaunchPropertyList* list,
                   int argCount, const char* const* args, const char* staticUpdateUrl,
                   const char* dynamicUpdateUrl, const char* launcherPath);
