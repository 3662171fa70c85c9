#include "core/log.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <chrono>
#include <mutex>

namespace {

std::atomic<int64_t> lastLogMillis{0};
FILE* logFile = nullptr;
// Guards logFile and keeps the two halves of a line together.
std::timed_mutex logLock;

const char STAR_LINE[] = "*******************************************\n";
const char PLUS_LINE[] = "++++++++++++++++++++++++++++++++++++++++++++++++\n";
const char MINUS_LINE[] = "------------------------------------------------\n";

unsigned long long elapsedSinceLastLine() {
  const int64_t now = getTimeMillis();
  const int64_t last = lastLogMillis.load();
  return last == 0 ? 0ULL : static_cast<unsigned long long>(now - last);
}

// Writes one line to the log file (when set) and standard output; logLock is held.
void writeLineLocked(const char* prefix, const char* format, va_list args) {
  if (logFile != nullptr) {
    va_list copy;
    va_copy(copy, args);
    fputs(prefix, logFile);
    vfprintf(logFile, format, copy);
    va_end(copy);
    fflush(logFile);
  }
  va_list copy;
  va_copy(copy, args);
  // One hold of the stream: console text of other threads (the download bar) never
  // lands between a line's prefix and its message.
  flockfile(stdout);
  fputs(prefix, stdout);
  vfprintf(stdout, format, copy);
  fflush(stdout);
  funlockfile(stdout);
  va_end(copy);
  fflush(stderr);
}

void writeLine(const char* format, va_list args) {
  char prefix[32];
  formatLogPrefix(prefix, sizeof prefix, elapsedSinceLastLine());
  {
    std::lock_guard<std::timed_mutex> guard(logLock);
    writeLineLocked(prefix, format, args);
  }
  lastLogMillis.store(getTimeMillis());
}

void writeLockedLine(const char* prefix, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLineLocked(prefix, format, args);
  va_end(args);
}

void writeFixed(const char* text) { logMessage("%s", text); }

}  // namespace

void formatLogPrefix(char* buffer, size_t size, unsigned long long elapsed) {
  snprintf(buffer, size, "+%-8llu ", elapsed);
}

int64_t getTimeMillis() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

void logMessage(const char* format, ...) {
  // A line logged between a failed call and the report of its reason keeps that reason.
  const int error = errno;
  va_list args;
  va_start(args, format);
  writeLine(format, args);
  va_end(args);
  errno = error;
}

void logBanner(const char* format, ...) {
  const int error = errno;
  writeFixed(STAR_LINE);
  va_list args;
  va_start(args, format);
  writeLine(format, args);
  va_end(args);
  writeFixed(STAR_LINE);
  fflush(stdout);
  fflush(stderr);
  errno = error;
}

void logStart(const char* title) {
  writeFixed(PLUS_LINE);
  logMessage("+++ Start: %s\n", title);
  writeFixed(PLUS_LINE);
}

void logEnd(const char* title) {
  writeFixed(MINUS_LINE);
  logMessage("--- End: %s\n", title);
  writeFixed(MINUS_LINE);
}

void setLogFile(FILE* file) {
  std::lock_guard<std::timed_mutex> guard(logLock);
  logFile = file;
}

void closeLogFile() {
  char prefix[32];
  formatLogPrefix(prefix, sizeof prefix, elapsedSinceLastLine());
  {
    // One hold of the lock: no other thread's line lands after the closing line.
    std::lock_guard<std::timed_mutex> guard(logLock);
    writeLockedLine(prefix, "%s", "[Utils] Closing logging file.\n");
    if (logFile != nullptr) {
      fclose(logFile);
      logFile = nullptr;
    }
  }
  lastLogMillis.store(getTimeMillis());
}

void logWorkingDir() {
  char buffer[1024];
  if (getcwd(buffer, sizeof buffer) != nullptr) {
    logMessage("[Extractor] Working dir is '%s'\n", buffer);
  } else {
    logMessage("[Extractor] Working dir is '%s'\n", "(unknown)");
  }
}

void logFileError(const char* tag, const char* action, const char* path, int error) {
  logMessage("%s Cannot %s %s: %s\n", tag, action, path, strerror(error));
}

void endProcess(int status) {
  // A thread stuck writing a line must not keep the process alive: wait a little for
  // the lock, flush what can be flushed either way.
  const bool locked = logLock.try_lock_for(std::chrono::seconds(2));
  if (locked && logFile != nullptr) fflush(logFile);
  fflush(stdout);
  fflush(stderr);
#ifdef HV_FUZZ
  if (locked) logLock.unlock();
  throw ProcessEnd{status};
#endif
  _exit(status);
}
