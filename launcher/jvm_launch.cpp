#include "launcher/jvm_launch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/descriptor_files.h"
#include "core/fileops.h"
#include "core/install_folders.h"
#include "core/launch_property_list.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/property_stream.h"
#include "core/spawner.h"
#include "core/wait_limits.h"
#include "launcher/launch_limits.h"
#include "launcher/launch_properties.h"

namespace {

const char LAUNCH_FILE_NAME[] = "HalvorinLaunch";
const char LSO_FOLDER[] = "HVApps";
const char LSO_PREFIX[] = "JRE-LastSuccessfulOptions-";
const char FAILURE_STARS[] = "***************************\n";
// The java copy runs for every user of the runtime.
constexpr mode_t JAVA_COPY_MODE = 0755;

// The low 32 bits of a number value, as the launch file's 32-bit fields are read.
int32_t low32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

// Builds the private runtime's copy of java named after the program. It is written
// under a fresh name made exclusively beside it (the bin folder may be writable by
// everyone: nothing planted at a predictable name is truncated or followed) and renamed
// only once complete and executable, so a failed copy never leaves a file that later
// launches would take as the finished one.
void makeJavaCopy(const char* java, const char* exe) {
  logMessage("[Extractor] Copying FILE %s\n", exe);
  FILE* in = openRegularFileForReading(java);
  if (in == nullptr) {
    logMessage("[Extractor] *************************** Unable to open source file for copy %s\n",
               java);
  }
  const char* last;
  const int folder = in != nullptr ? DescriptorFiles_openPathParent(exe, &last) : -1;
  ReplaceFailure failure;
  const int made =
      folder >= 0
          ? DescriptorFiles_replace(folder, last, JAVA_COPY_MODE,
                                    [in](FILE* out) { return copyStream(in, out) == CopyResult::Ok; },
                                    &failure)
          : -1;
  if (folder >= 0) close(folder);
  if (in != nullptr) fclose(in);
  if (made == 0) return;
  if (failure.step == ReplaceStep::Rename) {
    logMessage("[Extractor] Could not rename '%s%s' to '%s' [%d]\n", exe, failure.suffix, exe,
               failure.error);
    return;
  }
  logMessage("[Extractor] Copy of %s to %s is incomplete, not used\n", java, exe);
  logBanner("Error setting app binary executable!\n");
}

void logList(const char* format, const StringSlots* list) {
  for (int i = 0; i < list->count; ++i) logMessage(format, i, list->items[i]);
}

int spawnVector(const char** vector, int count, int launchClass) {
  Spawner* spawner = createSpawner();
  setSpawnerExe(spawner, vector[0]);
  for (int i = 1; i < count; ++i) appendSpawnerArgument(spawner, vector[i]);
  if (launchClass == LAUNCH_CLASS_NORMAL) return runSpawner(spawner);
  // A test that does not end within its limit is killed and fails (SPAWN_PAST_LIMIT).
  const int r = runSpawnerAndWaitWithin(spawner, CHECK_CHILD_LIMIT_SECONDS);
  freeSpawner(spawner);
  return r;
}

}  // namespace

const char** buildJvmArgv(const char* exe, const char* mainClass, int optionCount,
                          const char* const* options, int classPathCount,
                          const char* const* classPath, int argumentCount,
                          const char* const* arguments, int* count) {
  optionCount = optionCount < 0 ? 0 : optionCount;
  classPathCount = classPathCount < 0 ? 0 : classPathCount;
  argumentCount = argumentCount < 0 ? 0 : argumentCount;

  char* joined = static_cast<char*>(calloc(CLASSPATH_JOINED_SIZE, 1));
  for (int i = 0; i < classPathCount; ++i) {
    if ((i > 0 && !appendText(joined, CLASSPATH_JOINED_SIZE, ":")) ||
        !appendText(joined, CLASSPATH_JOINED_SIZE, classPath[i])) {
      refuseLaunch("Class path longer than %d bytes, cannot launch!\n", CLASSPATH_JOINED_SIZE - 1);
    }
  }
  const bool hasClassPath = joined[0] != 0;
  // One slot stays empty, so the vector always ends like an exec argument vector.
  const int64_t needed =
      1 + static_cast<int64_t>(optionCount) + (hasClassPath ? 2 : 0) + 1 + argumentCount;
  if (needed > LAUNCH_ARGS_SLOTS - 1) {
    refuseLaunch("JVM command line of %" PRId64 " arguments exceeds %d, cannot launch!\n", needed,
                 LAUNCH_ARGS_SLOTS - 1);
  }

  const char** vector = static_cast<const char**>(calloc(LAUNCH_ARGS_SLOTS, sizeof(char*)));
  int n = 0;
  vector[n++] = exe;
  for (int i = 0; i < optionCount; ++i) vector[n++] = options[i];
  if (hasClassPath) {
    vector[n++] = "-cp";
    vector[n++] = joined;
  } else {
    free(joined);
  }
  vector[n++] = mainClass;
  for (int i = 0; i < argumentCount; ++i) vector[n++] = arguments[i];
  for (int i = 0; i < n; ++i) logMessage("[Extractor][Spawn][%d] %s\n", i, vector[i]);
  *count = n;
  return vector;
}

int launchFromFolder(const char* master, const LaunchPropertyList* list, int argCount,
                     const char* const* args, const char* folder, const char* staticUpdateUrl,
                     const char* dynamicUpdateUrl, const char* jre, int launchClass,
                     const char* launchedFrom) {
  logStart("Launching");
  logMessage("[Extractor] Launching '%s' from master folder '%s' of class %d using JRE '%s'\n",
             folder, master, launchClass, jre);

  char* appDir = requirePath(buildPath2(newPathBuffer(), master, folder), "launched folder");
  char* launchPath =
      requirePath(buildPath3(newPathBuffer(), master, folder, LAUNCH_FILE_NAME), "launch file");
  FILE* launch = openRegularFileForReading(launchPath);
  if (launch == nullptr) {
    logFileError("[Extractor]", "open", launchPath, errno);
    logBanner("Unable to open launch file %s\n", launchPath);
    endProcess(1);
  }

  const int32_t version = low32(readLong(launch, "LaunchFile VER"));
  const char* mainClassNormal = readString(launch, "Class");
  free(readString(launch, "Class OnUpdate"));
  const char* appName = readString(launch, "App Name");
  free(readString(launch, "OS ICNS"));
  (void)readBool(launch, "URL Required");
  const int32_t jvmMem = low32(readLong(launch, "jvmMem (old)"));
  const int32_t jvmStack = low32(readLong(launch, "jvmStack (old)"));

  char* exe = newPathBuffer();
  char* jreFolder = nullptr;
  char* lsoPath = nullptr;
  if (launchClass == LAUNCH_CLASS_NORMAL) {
    jreFolder = PickFolder(master, jre);
    if (jreFolder == nullptr) {
      logBanner("No private JRE available!\n");
      endProcess(1);
    }
    logMessage("[Extractor] Using private JRE %s\n", jreFolder);
    // The copy is named after the program inside bin: a name that leaves bin or names
    // bin itself would place it elsewhere or overwrite the runtime.
    if (appName[0] == 0 || !staysInFolder(appName)) {
      refuseLaunch("App Name '%s' cannot name the java copy, cannot launch!\n", appName);
    }
    requirePath(buildPath3(exe, master, jreFolder, "bin"), "runtime bin folder");
    char* java = requirePath(buildPath2(newPathBuffer(), exe, "java"), "runtime java");
    requirePath(appendPath(exe, appName), "java copy");
    if (!fileExists(exe)) makeJavaCopy(java, exe);
    free(java);

    lsoPath = static_cast<char*>(calloc(LSO_PATH_SIZE, 1));
    requirePath(buildPath3(lsoPath, master, LSO_FOLDER, LSO_PREFIX), "LSO file");
    if (!appendText(lsoPath, LSO_PATH_SIZE, jreFolder + lastIndexOf(jreFolder, '/') + 1)) {
      requirePath(nullptr, "LSO file");
    }
    logMessage("[Extractor] JRE LSO file is %s\n", lsoPath);
  } else {
    requirePath(setString(exe, jre), "candidate java");
    logMessage("[Extractor] Checking for existing system JRE %s\n", exe);
    if (version <= 2) {
      // Such a launch file names no compatibility class: nothing could be run.
      logMessage(
          "[Extractor] Launch file version %d has no JRE compatibility class, "
          "cannot test %s\n",
          version, exe);
      fclose(launch);
      return -1;
    }
  }

  StringSlots options = newSlots("JVM options");
  if (jvmMem > 0) {
    char* option = static_cast<char*>(calloc(HEAP_OPTION_SIZE, 1));
    snprintf(option, HEAP_OPTION_SIZE, "-Xmx%dm", jvmMem);
    pushSlot(&options, option);
  }
  if (jvmStack > 0) {
    char* option = static_cast<char*>(calloc(HEAP_OPTION_SIZE, 1));
    snprintf(option, HEAP_OPTION_SIZE, "-Xms%dm", jvmStack);
    pushSlot(&options, option);
  }
  const int heapOptions = options.count;

  logMessage("[Extractor] Building classpath\n");
  StringSlots classPath = newSlots("class path entries");
  const int64_t classPathCount = readLong(launch, "Classpath Count");
  size_t joinedLength = 0;
  for (int64_t i = 0; i < classPathCount; ++i) {
    char* entry = readString(launch, "Classpath Entry");
    char* joinedEntry = buildPath2(newPathBuffer(), appDir, entry);
    if (joinedEntry == nullptr || strlen(joinedEntry) >= CLASSPATH_ENTRY_SIZE) {
      refuseLaunch("Class path entry %s longer than %d bytes, cannot launch!\n", entry,
                   CLASSPATH_ENTRY_SIZE - 1);
    }
    joinedLength += strlen(joinedEntry) + (i > 0 ? 1 : 0);
    if (joinedLength >= CLASSPATH_JOINED_SIZE) {
      refuseLaunch("Class path longer than %d bytes, cannot launch!\n", CLASSPATH_JOINED_SIZE - 1);
    }
    pushSlot(&classPath, joinedEntry);
    free(entry);
  }

  logMessage("[Extractor] Creating launch properties\n");
  LaunchPropertyList* props = copyPropertyList(list);
  addProperty(props, false, "update_url", staticUpdateUrl);
  if (strcmp(staticUpdateUrl, "D") == 0 && dynamicUpdateUrl != nullptr) {
    addProperty(props, true, "update_url", dynamicUpdateUrl);
  }
  addProperty(props, false, "app_dir", appDir);
  addProperty(props, false, "jre_name", jre);
  addProperty(props, false, "launched_from_dynprops", launchedFrom);

  logMessage("[Extractor] Checking LSO file\n");
  if (lsoPath == nullptr) {
    logBanner("Not a private JRE (no need to check for LSO file)\n");
  } else {
    readLsoFile(lsoPath, &options, props);
  }

  char* propertiesPath = writeLaunchProperties(appDir, props);

  StringSlots arguments = newSlots("application arguments");
  pushSlot(&arguments, propertiesPath);
  const int64_t extraCount = readLong(launch, "Extra Args Count");
  logMessage("[Extractor] Reading %" PRId64 " extra args\n", extraCount);
  for (int64_t i = 0; i < extraCount; ++i)
    pushSlot(&arguments, readString(launch, "Extra Args Entry"));

  const char* compatibilityClass = "";
  if (version > 2) {
    compatibilityClass = readString(launch, "Main Class JRECompatibility");
    logMessage("[Extractor] Read JRE compatibility class %s\n", compatibilityClass);
  }
  if (version > 3) {
    free(readString(launch, "Main Class PostInstall"));
    free(readString(launch, "Main Class PreUninstall"));
  }
  if (version > 4) {
    const int32_t count = low32(readLong(launch, "App JVM Option Count"));
    const bool add = options.count == heapOptions;
    logMessage("[Extractor] jvmArgCount:%d emptyArgs:%d so addToJVM:%d\n", options.count,
               heapOptions, add ? 1 : 0);
    logMessage("[Extractor] Additional JRE option count is %d\n", count);
    for (int32_t i = 0; i < count; ++i) {
      char* option = readString(launch, "App JVM Option Entry");
      if (add) {
        logMessage("[Extractor] Added option %s\n", option);
        pushSlot(&options, option);
      } else {
        logMessage("[Extractor] Skipping option %s\n", option);
        free(option);
        // Past the end of the file every further value is empty: nothing left to skip.
        if (feof(launch)) break;
      }
    }
  }
  if (version > 5) (void)readBool(launch, "Must Fork");

  const char* mainClass = launchClass == LAUNCH_CLASS_NORMAL ? mainClassNormal : compatibilityClass;

  logMessage("[Extractor] Appending %d command line args\n", argCount);
  for (int i = 0; i < argCount; ++i) pushSlot(&arguments, args[i]);

  logMessage("[Extractor] [Launch] Executable: %s\n", exe);
  logMessage("[Extractor] [Launch] Class: %s\n", mainClass);
  logList("[Extractor] [Launch] JVM Argument %d: %s\n", &options);
  logList("[Extractor] [Launch] ClassPath %d: %s\n", &classPath);
  logList("[Extractor] [Launch] App Argument %d: %s\n", &arguments);
  logMessage("[Extractor] This is a newer extractor... launchclass is %d\n", launchClass);
  fclose(launch);

  if (launchClass == LAUNCH_CLASS_NORMAL) {
    char* jreDir = requirePath(buildPath2(newPathBuffer(), master, jreFolder), "runtime folder");
    logMessage("[Extractor] JRE folder is %s\n", jreDir);
    free(jreDir);
    logMessage("[Extractor] Attempting spawn launch\n");
    logStart("Spawn launch");
  }

  int count = 0;
  const char** vector = buildJvmArgv(exe, mainClass, options.count, options.items, classPath.count,
                                     classPath.items, arguments.count, arguments.items, &count);
  // The spawner keeps fewer slots than the vector: a cut command line would start the
  // program without its main class or its launch properties.
  if (count > SPAWNER_SLOTS - 1) {
    refuseLaunch("JVM command line of %d arguments exceeds the spawner's %d, cannot launch!\n",
                 count, SPAWNER_SLOTS - 1);
  }
  closeLogFile();

  const int r = spawnVector(vector, count, launchClass);
  if (r != 0) {
    logMessage("%s", FAILURE_STARS);
    logMessage(
        "[ERROR] Attempt to launch app failed with return code %ld! (app likely did not "
        "launch at all)\n",
        static_cast<long>(r));
    logMessage("%s", FAILURE_STARS);
  }
  return r;
}

int launchApp(const char* master, const LaunchPropertyList* list, int argCount,
              const char* const* args, const char* folder, const char* staticUpdateUrl,
              const char* dynamicUpdateUrl, const char* jreName, const char* launchedFrom) {
  return launchFromFolder(master, list, argCount, args, folder, staticUpdateUrl, dynamicUpdateUrl,
                          jreName, LAUNCH_CLASS_NORMAL, launchedFrom);
}

bool runJreCompatibilityTest(const char* master, const LaunchPropertyList* list, int argCount,
                             const char* const* args, const char* folder,
                             const char* staticUpdateUrl, const char* dynamicUpdateUrl,
                             const char* javaPath, const char* launchedFrom) {
  return launchFromFolder(master, list, argCount, args, folder, staticUpdateUrl, dynamicUpdateUrl,
                          javaPath, LAUNCH_CLASS_COMPATIBILITY,
                          launchedFrom) == COMPATIBILITY_PASS_STATUS;
}
