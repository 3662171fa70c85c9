// The per-run log file: <master>/logs/Wrapper-<local time>-<millis>.log, created with
// its folders and installed as the log's file. Main thread, once per run. The file is
// always a new one: when anything has that name already (another run's log, a planted
// file or link), it is left as it is and the name gains "-1" before ".log", then "-2",
// up to LOG_NAME_NUMBERS. A path that does not fit its 1024-byte buffer is refused with
// a line: the run logs to the console only, exactly as when the file cannot be created.
#pragma once

constexpr int LOG_NAME_BUFFER_SIZE = 1024;
constexpr int LOG_NAME_NUMBERS = 99;

void openLogFile(const char* master);
