#include "core/logfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/descriptor_files.h"
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
  // The file is made in the folder opened here: a link put in the place of "logs" is
  // never followed, so no other folder receives the file.
  const int folder = DescriptorFiles_openFolderAt(AT_FDCWD, path);
  const size_t folderLength = strlen(path) + 1;  // the file name starts after the '/'
  if (appendPathN(path, sizeof path, "Wrapper-") == nullptr || !appendText(path, sizeof path, name)) {
    if (folder >= 0) close(folder);
    logConsoleOnly(master);
    return;
  }
  // The file is created, never opened: a file or link someone else put at the name keeps
  // its contents, and the run takes the same name with the next free number.
  const size_t stemLength = strlen(path);
  FILE* file = nullptr;
  for (int number = 0; number <= LOG_NAME_NUMBERS; ++number) {
    path[stemLength] = 0;
    const bool fits = number == 0 ? appendText(path, sizeof path, ".log")
                                  : formatText(path + stemLength, sizeof path - stemLength,
                                               "-%d.log", number);
    if (!fits) {
      path[stemLength] = 0;
      logConsoleOnly(master);
      break;
    }
    logMessage("[Extractor] Logging to %s\n", path);
    if (folder < 0) break;
    file = createFileExclusiveIn(folder, path + folderLength);
    if (file != nullptr || errno != EEXIST) break;
    logMessage("[Extractor] Log file %s exists already, taking the next free name\n", path);
  }
  if (folder >= 0) close(folder);
  setLogFile(file);
}
