#include "launcher/launch_properties.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fileops.h"
#include "core/install_folders.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/property_stream.h"
#include "core/timeutil.h"

namespace {

// makeLaunchPropertiesName, made again while it repeats the name that just failed (the
// clock and the folder's entry count may not have moved since). Both names come from
// that one builder for the same folder, so equal text is the same name.
char* freshPropertiesName(char* path, const char* appDir, const char* failed) {
  for (int tries = 0; tries < 20; ++tries) {
    requirePath(makeLaunchPropertiesName(path, appDir), "launch properties file");
    if (failed == nullptr || strcmp(path, failed) != 0) break;
    sleepMillis(1);
  }
  return path;
}

// One attempt: create, write, flush and close. A file that was created but not
// written whole is removed, so no partial list is left for the program to read. false
// with errno telling why.
bool writePropertiesFile(const char* path, const LaunchPropertyList* props) {
  // A new file only: a name already taken (another launch in the same millisecond, a
  // planted file or link) is left alone and the next attempt takes a fresh name.
  FILE* file = createFileExclusive(path);
  if (file == nullptr) {
    logFileError("[Extractor]", "create", path, errno);
    return false;
  }
  logMessage("[Extractor] Writing to file\n");
  bool ok = propListWriteFile(props, file) == 0;
  ok = fflush(file) == 0 && ok;
  const int writeError = ok ? 0 : errno;
  ok = fclose(file) == 0 && ok;
  if (!ok) {
    const int error = writeError != 0 ? writeError : errno;
    logFileError("[Extractor]", "write", path, error);
    remove(path);
    errno = error;
    return false;
  }
  logMessage("[Extractor] Finished writing launch properties file\n");
  return true;
}

}  // namespace

LaunchPropertyList* copyPropertyList(const LaunchPropertyList* list) {
  const int32_t length = propListEnd(list);
  if (length < 0) refuseLaunch("Launch property list has no end, cannot launch!\n");
  LaunchPropertyList* copy = propListCreate(length + ADDED_PROPERTIES_SIZE);
  memcpy(copy->buffer, list->buffer, static_cast<size_t>(length) + 2);
  return copy;
}

void addProperty(LaunchPropertyList* copy, bool dynamic, const char* key, const char* value) {
  const int32_t r =
      dynamic ? putDynamicProperty(copy, key, value) : putStaticProperty(copy, key, value);
  if (r != 0) {
    refuseLaunch("Launch properties exceed %d added bytes (at %s), cannot launch!\n",
                 ADDED_PROPERTIES_SIZE, key);
  }
}

void readLsoFile(const char* lsoPath, StringSlots* options, LaunchPropertyList* props) {
  logMessage("[Extractor] Reading %s\n", lsoPath);
  FILE* lso = openRegularFileForReading(lsoPath);
  // A FIFO, a device or a link at the name is missing: no retry can make it a file.
  const bool refused = lso == nullptr && (errno == ELOOP || errno == EINVAL);
  const bool exists = fileExists(lsoPath) != 0;
  if (lso == nullptr && exists && !refused) {
    for (int k = 0; k < LSO_OPEN_RETRIES; ++k) {
      logMessage("[Extractor] LSO file does exist. Retrying (%d)...", k);
      lso = openRegularFileForReading(lsoPath);
      if (lso != nullptr) break;
      sleepMillis(RETRY_PAUSE_MILLIS);
    }
  }
  if (lso == nullptr) {
    logBanner("JRE LSO file does not exist\n");
    return;
  }
  logMessage("[Extractor] JRE LSO file exists\n");
  const int64_t count = readLong(lso, "LSO Count");
  logMessage("[Extractor] Found %" PRId64 " JVM Options\n", count);
  char number[32];
  snprintf(number, sizeof number, "%" PRId64, count);
  addProperty(props, false, "jvm_options_count", number);
  for (int64_t i = 0; i < count; ++i) {
    const char* entry = readString(lso, "LSO Entry");
    pushSlot(options, entry);
    char key[48];
    snprintf(key, sizeof key, "jvm_options_%d", static_cast<int>(i));
    if (strlen(entry) >= 100) {
      logMessage("[Extractor] Launch Prop: %s = %.99s...\n", key, entry);
    } else {
      logMessage("[Extractor] Launch Prop: %s = %s\n", key, entry);
    }
    addProperty(props, false, key, entry);
  }
  fclose(lso);
}

char* writeLaunchProperties(const char* appDir, const LaunchPropertyList* props) {
  logMessage("[Extractor] Writing launch properties file\n");
  char* path = newPathBuffer();
  char* failed = newPathBuffer();
  freshPropertiesName(path, appDir, nullptr);
  logMessage("[Extractor] Writing launch properties to %s (length: %d)\n", path,
             propListEnd(props));
  bool written = writePropertiesFile(path, props);
  for (int retry = 1; !written && retry < LAUNCH_PROPERTIES_ATTEMPTS; ++retry) {
    setString(failed, path);
    freshPropertiesName(path, appDir, failed);
    logMessage("[Retry] Writing launch properties to %s\n", path);
    written = writePropertiesFile(path, props);
    if (!written) sleepMillis(RETRY_PAUSE_MILLIS);
  }
  if (!written) {
    logBanner("Unable to write Launch Properties file! Cannot run!\n");
    endProcess(EXIT_LAUNCH_PROPERTIES_UNWRITABLE);
  }
  free(failed);
  return path;
}

