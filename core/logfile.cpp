#include "core/logfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/timeutil.h"

namespace {

void logConsoleOnly(const char* master) {
  logMessage("[Extractor] Log file path too long, logging to the console only: %s\n", master);
}

}  // namespace

void openLogFile(const char* master) {
  char name[LOG_NAME_BUFFER_SIZE] = {0};
  char path[LOG_NAME_BUFFER_SIZE] = {0};
  const time_t now = time(nullptr);
  struct tm local;
  char stamp[64] = {0};
  if (localtime_r(&now, &local) != nullptr) strftime(stamp, sizeof stamp, "%Y-%m-%d-%H-%M-%S", &local);
  formatText(name, sizeof name, "%s-%03d", stamp, currentMillisPart());

  const bool folderFits = strlen(master) < sizeof path &&
                          appendPathN(strcpy(path, master), sizeof path, "logs") != nullptr;
  if (!folderFits) {
    logConsoleOnly(master);
    return;
  }
  ensureFolder(master);
  ensureFolder(path);
  if (appendPathN(path, sizeof path, "Wrapper-") == nullptr || !appendText(path, sizeof path, name)) {
    logConsoleOnly(master);
    return;
  }
  // The file is created, never opened: a file or link someone else put at the name keeps
  // its contents, and the run takes the same name with the next free number.
  const size_t stemLength = strlen(path);
  for (int number = 0; number <= LOG_NAME_NUMBERS; ++number) {
    path[stemLength] = 0;
    const bool fits = number == 0 ? appendText(path, sizeof path, ".log")
                                  : formatText(path + stemLength, sizeof path - stemLength,
                                               "-%d.log", number);
    if (!fits) {
      path[stemLength] = 0;
      logConsoleOnly(master);
      return;
    }
    logMessage("[Extractor] Logging to %s\n", path);
    FILE* file = createFileExclusive(path);
    if (file != nullptr || errno != EEXIST) {
      setLogFile(file);
      return;
    }
    logMessage("[Extractor] Log file %s exists already, taking the next free name\n", path);
  }
  setLogFile(nullptr);
}
