// Shell commands built from paths, and running one to read its output. Every path put
// into a command goes through appendShellQuoted, so no path can run shell code. Commands
// are built in caller buffers and refused (never cut, never written past) when they do
// not fit. Stateless; any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int COMMAND_OUTPUT_SIZE = 10000;

// Appends text between single quotes, each embedded ' written as '\'' (the one form
// /bin/sh leaves untouched whatever the text holds). false, buffer unchanged, when the
// result would not fit in size bytes.
bool appendShellQuoted(char* buffer, size_t size, const char* text);

// buffer := prefix followed by the quoted path. false (buffer emptied, logged) when the
// command would not fit in size bytes.
bool buildShellCommand(char* buffer, size_t size, const char* prefix, const char* path);

// Runs command through /bin/sh and returns its standard output in a new buffer of
// COMMAND_OUTPUT_SIZE bytes owned by the caller, trailing blanks, CR and LF removed.
// Output beyond COMMAND_OUTPUT_SIZE - 1 bytes is cut (logged) and the pipe is closed,
// so an endless command does not hold the run. The commands are quick checks: one that
// has not ended within CHECK_CHILD_LIMIT_SECONDS (core/wait_limits.h) is killed with
// everything it started (logged), sets *overran (when given) and gives NULL. NULL also
// when it cannot be started.
char* runCommandCapture(const char* command, bool* overran = nullptr);

// runCommandCapture of a program and its words, without a shell: argv (ended by NULL)
// with argv[0] looked up in PATH as a shell does. *exitStatus := its exit status (0-255),
// -1 when it cannot be started, a signal ended it, it ran past its limit or no status
// could be had.
char* runProgramCapture(const char* const* argv, int32_t* exitStatus);
