#include "core/logfile.h"

#include <cstring>
#include <ctime>

#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/timeutil.h"

void openLogFile(const char* master) {
  char name[LOG_NAME_BUFFER_SIZE] = {0};
  char path[LOG_NAME_BUFFER_SIZE] = {0};
  const time_t now = time(nullptr);
  struct tm local;
  char stamp[64] = {0};
  if (localtime_r(&now, &local) != nullptr) strftime(stamp, sizeof stamp, "%Y-%m-%d-%H-%M-%S", &local);
  formatText(name, sizeof name, "%s-%03d.log", stamp, currentMillisPart());

  const bool folderFits = strlen(master) < sizeof path &&
                          appendPathN(strcpy(path, master), sizeof path, "logs") != nullptr;
  if (!folderFits) {
    logMessage("[Extractor] Log file path too long, logging to the console only: %s\n", master);
    return;
  }
  ensureFolder(master);
  ensureFolder(path);
  if (appendPathN(path, sizeof path, "Wrapper-") == nullptr || !appendText(path, sizeof path, name)) {
    logMessage("[Extractor] Log file path too long, logging to the console only: %s\n", master);
    return;
  }
  logMessage("[Extractor] Logging to %s\n", path);
  setLogFile(createFileNoFollow(path));
}
