// The launcher's one log: every line gets the "+%-8llu " prefix (milliseconds since
// the end of the previous log call, 0 for the first) and goes to the per-run log file
// while one is installed, then to standard output; both are flushed after each line.
// Safe from any thread: a lock keeps a line away from a log file being switched or
// closed. Nothing here ever fails or stops the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Wall-clock milliseconds from gettimeofday.
int64_t getTimeMillis();

// The line prefix for an elapsed time: "+%-8llu " (never cut; 32 bytes are plenty).
void formatLogPrefix(char* buffer, size_t size, unsigned long long elapsed);

// logMessage and logBanner leave errno as they found it, so a failure can be logged
// before its reason is.
void logMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line of 43 '*', the message as one log line, the star line again.
void logBanner(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "+++ Start: %s" / "--- End: %s" between lines of 48 '+' or 48 '-'.
void logStart(const char* title);
void logEnd(const char* title);

// Installs an open stream (or none) as the log file; the log takes ownership.
void setLogFile(FILE* file);
// Logs "[Utils] Closing logging file." and closes the log file when one is set.
void closeLogFile();
// "[Extractor] Working dir is '%s'".
void logWorkingDir();
// "<tag> Cannot <action> <path>: <strerror(error)>": the system's reason for a failed
// file or folder operation, logged just before the line that ends the run for it.
void logFileError(const char* tag, const char* action, const char* path, int error);

// Ends the process from whichever thread meets a fatal error: flushes the log file,
// standard output and standard error, then _exit(status). Static destructors do not
// run, so stage threads still working are never pulled out from under.
[[noreturn]] void endProcess(int status);

#ifdef HV_FUZZ
// Fuzz builds only: endProcess throws this (after the same flushes) instead of ending
// the process, so a fuzz target can take its next input. Called on the main thread only.
struct ProcessEnd {
  int status;
};
#endif
