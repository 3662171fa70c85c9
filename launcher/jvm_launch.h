// Starts a Java program installed in a folder of the master folder in a JVM child: reads
// the folder's launch file, writes a launch properties file into the folder, closes the
// log file and spawns. Main thread only; the caller's property list is never changed.
// Fatal input (no launch file or runtime, sizes beyond launcher/launch_limits.h) ends the
// process with status 1 before anything is spawned; no writable properties file, with
// status 99.
#pragma once

#include "core/launch_property_list.h"
// The fixed sizes of a launch and the launch properties' exit status.
#include "launcher/launch_limits.h"
#include "launcher/launch_properties.h"

// Exit status of the compatibility main class that accepts a runtime.
constexpr int COMPATIBILITY_PASS_STATUS = 72;

constexpr int LAUNCH_CLASS_NORMAL = 0;
constexpr int LAUNCH_CLASS_COMPATIBILITY = 1;

// Launch class 0: 0 when the child was started, -1 when the spawn failed.
// Launch class 1: the child's exit status (0 when a signal ended it), -1 when it could
// not be started or the launch file (version 2 or lower) names no compatibility class.
// args are the launcher's own arguments after its program path; dynamicUpdateUrl may
// be NULL; jre is the JRE name (class 0) or the candidate java path (class 1).
int launchFromFolder(const char* master, const LaunchPropertyList* list, int argCount,
                     const char* const* args, const char* folder, const char* staticUpdateUrl,
                     const char* dynamicUpdateUrl, const char* jre, int launchClass,
                     const char* launchedFrom);

// launchFromFolder with launch class 0.
int launchApp(const char* master, const LaunchPropertyList* list, int argCount,
              const char* const* args, const char* folder, const char* staticUpdateUrl,
              const char* dynamicUpdateUrl, const char* jreName, const char* launchedFrom);

// launchFromFolder with launch class 1 on javaPath; true only on COMPATIBILITY_PASS_STATUS.
bool runJreCompatibilityTest(const char* master, const LaunchPropertyList* list, int argCount,
                             const char* const* args, const char* folder,
                             const char* staticUpdateUrl, const char* dynamicUpdateUrl,
                             const char* javaPath, const char* launchedFrom);

// The JVM command line: exe, options, "-cp" and the entries joined with ':' (both left
// out when that text is empty), mainClass, arguments. A new vector of LAUNCH_ARGS_SLOTS
// slots ending with an empty slot; its strings are borrowed but for the new joined class
// path. A vector or class path beyond its fixed size ends the process with status 1.
const char** buildJvmArgv(const char* exe, const char* mainClass, int optionCount,
                          const char* const* options, int classPathCount,
                          const char* const* classPath, int argumentCount,
                          const char* const* arguments, int* count);
