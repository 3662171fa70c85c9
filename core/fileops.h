// File and folder work of the launcher: folders of the install tree, chmod commands,
// marker search, deleting, copying and renaming folder trees. Modes come from the install
// tree's policy (core/install_modes.h). Failures are returned or logged, never fatal.
// Every file opened here is close-on-exec; files created are opened without following a
// link at their name. Tree walks go by descriptor (core/tree_walk.h) and never follow
// symbolic links, also when one is swapped in during the walk.
// ensureFolder, DeleteFolder, fileExists and findMarker may run on any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sys/types.h>

constexpr int COPY_BUFFER_SIZE = 50000;
constexpr int RENAME_RETRIES = 10;
constexpr int RENAME_RETRY_PAUSE_MS = 300;

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

// 0 when path is a folder or was made (mkdir with folderMode, then chmod777), -1 with
// errno set (mkdir's, or ELOOP) when mkdir failed or the name is a symbolic link (never
// taken for a folder, whatever it points to).
int32_t ensureFolder(const char* path);
// Makes a new folder of folderMode (mkdir, then chmod777): 0 only when this call created
// it; -1 with errno set (EEXIST when anything of that name exists) otherwise.
int32_t createFolderExclusive(const char* path);

// Scans file forward from its current position for marker (a mismatch restarts the
// match at 0 without retrying the mismatching byte). Returns the number of bytes read up
// to and including the marker, the stream positioned just after it; -1 (logged
// "Could not find marker: NAME") at the end of the file. A length of 0 reads nothing.
int64_t findMarker(FILE* file, const void* marker, int32_t length, const char* name);

// 1 when the path opens for reading (folders too), else 0; both logged.
int32_t fileExists(const char* path);

// Empties a folder tree, keeping the folder. A symbolic link is removed itself, never
// descended into, also when it replaced a folder during the walk ("Failed to delete");
// a folder path that is itself a link is not opened. 0 when the folder was listed
// (whatever failed inside), 1 when it cannot be opened.
int32_t DeleteFolder(const char* folder);

// Copies one regular file (failures only logged; a source of another kind, or a link, is
// not opened); the target is created or truncated.
void copyFile(const char* source, const char* target);
// Merges the contents of source into the existing folder target. Links in the source
// are passed over, and only files and folders are copied. 0, or on the first failure 1 (cannot open, read or write) or -1 (a
// target folder cannot be made).
int32_t CopyFolder(const char* source, const char* target);

// Moves a filled folder to target: a link at the target name is removed first (nothing
// is renamed or copied while one stays there), an existing target is emptied and
// removed, or moved aside whole to a fresh name in its folder when that fails, and when
// neither works the process ends with status 1; never is a tree merged into an old one.
// rename is retried RENAME_RETRIES times RENAME_RETRY_PAUSE_MS apart, then the tree is
// copied into a folder made for it. A copy that fails is removed again with that folder,
// so the target name never holds part of a tree. Otherwise the outcome is only logged.
void renameWithFallback(const char* source, const char* target);

// Nothing to do on this platform; modes are set with the chmod operations.
void makeExecutable(const char* path, int32_t flag);

// fopen(path, "rb") with close-on-exec.
FILE* openFileForReading(const char* path);
// Opens path for reading like openFileForReading, but only a regular file, and without
// following a link at its name or waiting on a FIFO or device there: for every file read
// from a folder that others may write. A link or another kind of file is treated as
// missing with the line "[Utils] Not a regular file, treated as missing: PATH": NULL, errno
// ELOOP (a link) or EINVAL; any other failure is NULL with open's errno and no line.
FILE* openRegularFileForReading(const char* path);
// Creates or truncates path for writing (newFileMode less the umask), close-on-exec, and
// refuses (NULL) when the name is a symbolic link. For every file made in the install tree.
FILE* createFileNoFollow(const char* path);
// Creates path as a new file for writing, like createFileNoFollow, but NULL when anything
// of that name exists already: a file that must be this run's own never takes over
// another's (a planted file or hard link, another run's file of the same name).
FILE* createFileExclusive(const char* path);
// createFileExclusive of name in the open folder folder.
FILE* createFileExclusiveIn(int folder, const char* name);
