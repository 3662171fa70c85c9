// Files the launcher names by a whole path: the path's folders are resolved as the
// system does (they are the caller's), its last component by the rules of
// core/descriptor_files.h: never through a link, a FIFO or device never waited on.
// Every stream is close-on-exec. Any thread.
#pragma once

#include <cstdio>

// fopen(path, "rb") with close-on-exec, for files of the launcher's own.
FILE* openFileForReading(const char* path);
// Opens path for reading like openFileForReading, but only a regular file, and without
// following a link at its name or waiting on a FIFO or device there: for every file read
// from a folder that others may write. A link or another kind of file is treated as
// missing with the line "[Utils] Not a regular file, treated as missing: PATH": NULL, errno
// ELOOP (a link) or EINVAL; any other failure is NULL with open's errno and no line.
FILE* openRegularFileForReading(const char* path);
// Creates or truncates path for writing (newFileMode less the umask), close-on-exec, and
// refuses (NULL) when the name is a symbolic link (ELOOP) or a FIFO (EINVAL, never
// waited on). For every file made in the install tree.
FILE* createFileNoFollow(const char* path);
// Creates path as a new file for writing, like createFileNoFollow, but NULL when anything
// of that name exists already: a file that must be this run's own never takes over
// another's (a planted file or hard link, another run's file of the same name).
FILE* createFileExclusive(const char* path);
// createFileExclusive of name in the open folder folder.
FILE* createFileExclusiveIn(int folder, const char* name);
