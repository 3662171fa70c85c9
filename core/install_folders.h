// The install base folder (shared dir) and the names of versioned component folders:
// "Halvorin-<name>-<version>-complete", temporary extraction folders and launch-
// properties files, and PickFolder, which finds the newest installed copy of a component
// by reading the names in a folder back. Name builders write into PATH_BUFFER_SIZE
// buffers and refuse (buffer emptied, NULL) what would not fit. Main thread only.
#pragma once

#include <cstdint>

// "/opt" for "perm_all"; otherwise the password-database home folder of the real user id
// followed by "/.Halvorin", created when missing. New PATH_BUFFER_SIZE buffer owned by
// the caller. Ends the process with status 1 when the user has no home folder.
char* getInstallBaseFolder(const char* installType);

// dst := parent joined with "Halvorin-" name "-" version "-complete".
char* makeCompleteFolderName(char* dst, const char* parent, const char* name, const char* version);
// dst := parent joined with "HalvorinTemp-<seconds>-<entry count of parent>-app".
char* makeTempFolderName(char* dst, const char* parent);
// makeTempFolderName for a folder that a command will create itself: while the name is
// taken (by anything, a dangling link included) the count is raised, up to
// FREE_TEMP_NAME_TRIES names; NULL (buffer emptied, logged) when none is free.
constexpr int32_t FREE_TEMP_NAME_TRIES = 1000;
char* makeFreeTempFolderName(char* dst, const char* parent);
// Creates the temporary folder named in path (a name from makeTempFolderName) with
// createFolderExclusive, so no two runs ever share one: while anything of that name
// exists, the name is formed again with its count raised by one (logged) and path is
// rewritten. 0 with path naming the folder this call made; -1 when mkdir fails for
// another reason, path holding the name tried last.
int32_t createTempFolder(char* path);
// dst := parent joined with "HVLaunchProperties-<epoch milliseconds>-<entry count>".
char* makeLaunchPropertiesName(char* dst, const char* parent);

// 0 when the field between the first and second '-' equals wanted (never for a name
// ending in ".plugin"); non-zero otherwise.
int folderMatchesName(const char* entry, const char* wanted);
// The field between the second and third '-' read as a decimal number (never negative),
// or -1 when the name has fewer than three '-'.
int64_t folderVersion(const char* entry);
// The name (not the path) of the matching entry of parent with the highest version, the
// first in listing order among equals; new string owned by the caller. NULL when none
// matches with a version or the folder cannot be listed.
char* PickFolder(const char* parent, const char* wanted);
