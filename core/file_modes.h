// Modes of the install tree's entries: the chmod commands the launcher logs and the mode
// changes behind them, all set with system calls and never through a symbolic link. Modes
// come from the install tree's policy (core/install_modes.h). Any thread.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "core/install_modes.h"

// Mode changes never go through a symbolic link: a link is left alone with the line
// "[ChMod] Leaving link alone: PATH". chmod777 gives path the mode the layout opens to
// everyone (layoutMode: 0777 in a shared install, else 0755 for a folder, 0644 for a
// file). chmod777, chmodAllExecutable and chmod755Recursive log "[ChMod] Executing " and
// the command they stand for ("chmod " and the mode actually set, "chmod -R a+x ",
// "chmod -R 755 " and the path in double quotes, or shell-quoted when it holds a byte
// that double quotes leave active), then change the modes with system calls; a failure
// is told on standard error as chmod tells it. The result is the status system() would
// give: 0, or 256 when a mode could not be set (a link at path itself included); -1
// (nothing logged but the refusal) when the command text does not fit.
int32_t chmod777(const char* path);
// Recursive forms: execute added for everyone, or rwxr-xr-x; links inside are passed over.
int32_t chmodAllExecutable(const char* path);
int32_t chmod755Recursive(const char* path);
// Sets the mode of path itself with the system call; a link is left alone (logged). 0, or
// -1 with errno set.
int32_t chmodNoFollow(const char* path, mode_t mode);
// chmodNoFollow with the mode the layout gives a program it opens to everyone (0777
// shared, else 0755), unlogged.
int32_t setProgramMode(const char* path);

// The layout's mode for kind set on name in dirFd, logged as "[ChMod] Executing chmod
// <mode> <path>" with shown; a link is left alone. 0, 256 (the failure told on standard
// error), or -1 when the command text does not fit.
int32_t chmodLayoutAt(int dirFd, const char* name, const char* shown, EntryKind kind);
