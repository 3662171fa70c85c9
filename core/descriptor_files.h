// Creating, opening and replacing files below a folder held open, for trees that other
// users may write. Every relative path is resolved one component at a time from the
// descriptor in hand (openat/mkdirat with O_NOFOLLOW | O_DIRECTORY), never joined and
// looked up again, so a link planted or swapped in at any component is met as a link and
// refused (ELOOP, or ENOTDIR when a link or file stands where a folder must be).
// Relative paths: components split on '/', empty and "." components skipped; an absolute
// path or a ".." component is refused with EINVAL before anything is touched; a component
// longer than NAME_MAX gives ENAMETOOLONG. "" (or ".") names the folder dirFd itself.
// dirFd may be AT_FDCWD. Every descriptor made here is close-on-exec and owned by the
// caller; nothing logs. Failures return -1 (or NULL) with errno set, the caller's
// descriptors untouched. No state of its own: any thread (modes come from
// core/install_modes, read atomically).
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <functional>

// The one folder open: name in dirFd exactly as openat takes it (with AT_FDCWD any path,
// its earlier components resolved by the system), as a folder, a link at its last
// component never followed (ELOOP; ENOTDIR for anything else not a folder).
int DescriptorFiles_openFolderAt(int dirFd, const char* name);

// For a file the caller names by a whole path (absolute, or relative to the working
// folder): opens the folder holding its last component (the path's own folders resolved
// by the system, as the caller gave them) and sets *last to that component, so the
// calls above act on it relative to the descriptor. -1 with errno, EINVAL for a path
// without a last name ("", "/", one ending in "..").
int DescriptorFiles_openPathParent(const char* path, const char** last);

// Opens the folder relPath below dirFd without creating anything: a new descriptor, or
// -1 (ENOENT missing, ELOOP/ENOTDIR a link or another kind of entry on the way).
int DescriptorFiles_openFolder(int dirFd, const char* relPath);

// Opens relPath below dirFd as a folder, making each missing folder on the way with
// mkdirat and folderMode(), then set to exactly that mode through its own descriptor
// (the umask does not narrow it). An existing folder is opened as it is, its mode
// unchanged; anything else of a component's name (a link, a file, a FIFO) is refused and
// left as it was (ENOTDIR or ELOOP). *made (when given) counts the folders this call made.
int DescriptorFiles_makeFolders(int dirFd, const char* relPath, int* made = nullptr);

// Opens the folder holding relPath's last component (which must exist; never created
// here), setting *last to that component inside relPath. -1 with EINVAL when relPath
// names no entry ("" or only "." components).
int DescriptorFiles_openParent(int dirFd, const char* relPath, const char** last);

enum class FileCreation {
  Exclusive,  // a new file only: EEXIST when anything has the name (a link included)
  Truncate,   // a new file, or an existing one emptied; a link is refused (ELOOP), a
              // FIFO (EINVAL) or folder (EISDIR) too, a FIFO never waited on; a device (which only
              // root can make) is written as the system writes it
};

// Creates the file relPath (its folders must exist) for writing with mode (the umask
// narrows it, as for any creation). A new descriptor, or -1.
int DescriptorFiles_createFile(int dirFd, const char* relPath, FileCreation how, mode_t mode);
// DescriptorFiles_createFile with newFileMode(), as a "wb" stream; NULL (the descriptor
// closed) when the stream cannot be made.
FILE* DescriptorFiles_createStream(int dirFd, const char* relPath, FileCreation how);

// Opens relPath for reading only when it is a regular file: a link at the last component
// is ELOOP, a FIFO, device, socket or folder EINVAL (never waited on: the open is
// non-blocking, and the flag is cleared again once the file is known to be regular).
// Any other failure keeps open's errno.
int DescriptorFiles_openRegular(int dirFd, const char* relPath);
// DescriptorFiles_openRegular as an "rb" stream; NULL (the descriptor closed) when the
// stream cannot be made.
FILE* DescriptorFiles_openRegularStream(int dirFd, const char* relPath);

// The step at which DescriptorFiles_replace failed.
enum class ReplaceStep { None, Create, Write, Close, Rename };

struct ReplaceFailure {
  ReplaceStep step = ReplaceStep::None;
  int error = 0;       // errno of the failed step
  char suffix[8] = ""; // the scratch file's name is the target's name followed by this
};

// Writes a new relPath beside it and renames it over the old one: a scratch file
// "<name>.XXXXXX" is made exclusively in the same folder (never through a link, never an
// existing file), set to exactly mode, handed to write (which returns false with errno
// set when it could not produce the contents), flushed and closed, every step checked,
// then renamed over relPath with renameat, which replaces a link there rather than
// following it. On any failure the scratch file is removed, relPath is left as it was,
// and the result is -1 with errno and *failure (when given) telling the step. 0 when
// relPath now holds the complete new contents.
int DescriptorFiles_replace(int dirFd, const char* relPath, mode_t mode,
                            const std::function<bool(FILE* out)>& write,
                            ReplaceFailure* failure = nullptr);

// 1 when name is an entry of dirFd, looked up as fstatat does (with AT_FDCWD any path)
// but never following a link at its last component: a link counts as present, any other
// entry when this user may read it (as an open for reading would tell). Nothing is opened,
// so no FIFO or device is touched. 0 otherwise, errno set.
int DescriptorFiles_entryExists(int dirFd, const char* name);
