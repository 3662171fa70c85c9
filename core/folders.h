// Folders of the install tree: making one level, telling whether an entry exists, and
// emptying a tree. Folders are opened without following a link at their name, and a
// tree is walked by descriptor (core/tree_walk.h), never through a symbolic link, also
// when one is swapped in during the walk. Modes come from core/install_modes.h. Failures
// are returned or logged, never fatal. Any thread.
#pragma once

#include <cstdint>

// 0 when path is a folder or was made (mkdir with folderMode, then chmod777), -1 with
// errno set (mkdir's, or ELOOP) when mkdir failed or the name is a symbolic link (never
// taken for a folder, whatever it points to). Something else at the name (a file, a
// FIFO) is left exactly as it was, its mode included: -1 with EEXIST.
int32_t ensureFolder(const char* path);
// ensureFolder for name in the open folder dirFd; shown is its path for the log lines.
int32_t ensureFolderAt(int dirFd, const char* name, const char* shown);
// Makes a new folder of folderMode (mkdir, then chmod777): 0 only when this call created
// it; -1 with errno set (EEXIST when anything of that name exists) otherwise.
int32_t createFolderExclusive(const char* path);

// 1 when path names an entry this user may read, or a symbolic link (never followed),
// else 0; both logged. Nothing is opened: a FIFO or device at the name is not touched.
int32_t fileExists(const char* path);

// Empties a folder tree, keeping the folder. A symbolic link is removed itself, never
// descended into, also when it replaced a folder during the walk ("Failed to delete");
// a folder path that is itself a link is not opened. 0 when the folder was listed
// (whatever failed inside), 1 when it cannot be opened or the walk failed (a listing
// error, a tree too deep).
int32_t DeleteFolder(const char* folder);
