// The per-run log file: <master>/logs/Wrapper-<local time>-<millis>.log, created with
// its folders and installed as the log's file. Main thread, once per run. A path that
// does not fit its 1024-byte buffer is refused with a line: the run logs to the
// console only, exactly as when the file cannot be opened.
#pragma once

constexpr int LOG_NAME_BUFFER_SIZE = 1024;

void openLogFile(const char* master);
