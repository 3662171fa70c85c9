// Copying files and folder trees, and moving a filled folder to its final name. A source
// is read only when it is a regular file, never through a link; targets are created
// relative to their folder held open (core/descriptor_files.h), so nothing lands where a
// planted link points. Failures are only logged or returned. copyFile, CopyFolder and
// renameWithFallback run on the main thread; copyStream on any.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int COPY_BUFFER_SIZE = 50000;
constexpr int RENAME_RETRIES = 10;
constexpr int RENAME_RETRY_PAUSE_MS = 300;

enum class CopyResult { Ok, ReadFailed, WriteFailed };

// Moves the whole rest of in to out (neither closed); a short write or a read error is a
// failure, errno telling why.
CopyResult copyStream(FILE* in, FILE* out);

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
