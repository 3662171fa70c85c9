#include "core/fileops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/install_modes.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/shell.h"
#include "core/timeutil.h"
#include "core/tree_walk.h"

namespace {

// The status system() reports for a chmod command that exited with 1.
constexpr int32_t CHMOD_FAILED_STATUS = 1 << 8;

// The command text logged for a mode change: the path between double quotes as the
// command is known, or shell-quoted when it holds a byte that double quotes leave
// active. false (logged) when it does not fit.
bool describeChmod(char* command, const char* prefix, const char* path) {
  if (!buildShellCommand(command, PATH_BUFFER_SIZE, prefix, path)) return false;
  // Same length as the single-quoted form, so it fits too.
  if (strpbrk(path, "\"$`\\") == nullptr) formatText(command, PATH_BUFFER_SIZE, "%s\"%s\"", prefix, path);
  return true;
}

void reportChmodFailure(const char* path) {
  fprintf(stderr, "chmod: changing permissions of '%s': %s\n", path, strerror(errno));
  fflush(stderr);
}

void logLinkLeftAlone(const char* path) {
  logMessage("[ChMod] Leaving link alone: %s\n", path);
}

// New mode of an entry from its current one.
using ModeRule = mode_t (*)(mode_t current);
mode_t addExecute(mode_t current) { return (current & 07777) | 0111; }
mode_t mode755(mode_t) { return 0755; }

// Sets the modes of a tree by rule, never through a link: links are left alone with a
// line. ok turns false when any mode change failed (the walk goes on, as chmod -R does).
class ChmodVisitor : public TreeVisitor {
 public:
  explicit ChmodVisitor(ModeRule rule) : rule_(rule) {}
  bool enter(const TreeEntry& entry) override {
    if (S_ISLNK(entry.st.st_mode)) {
      logLinkLeftAlone(entry.shown.c_str());
      return false;
    }
    if (fchmodat(entry.parentFd, entry.name, rule_(entry.st.st_mode), AT_SYMLINK_NOFOLLOW) != 0) {
      reportChmodFailure(entry.shown.c_str());
      ok = false;
    }
    return S_ISDIR(entry.st.st_mode);
  }
  void failed(const TreeEntry& entry) override {
    reportChmodFailure(entry.shown.c_str());
    ok = false;
  }
  bool ok = true;

 private:
  ModeRule rule_;
};

// A recursive mode change logged as its command; a link at path itself fails.
int32_t runChmodTree(const char* prefix, const char* path, ModeRule rule) {
  char command[PATH_BUFFER_SIZE];
  if (!describeChmod(command, prefix, path)) return -1;
  logMessage("[ChMod] Executing %s\n", command);
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    logLinkLeftAlone(path);
    return CHMOD_FAILED_STATUS;
  }
  ChmodVisitor visitor(rule);
  if (walkTree(path, &visitor) != TreeWalkResult::Walked) {
    reportChmodFailure(path);
    return CHMOD_FAILED_STATUS;
  }
  return visitor.ok ? 0 : CHMOD_FAILED_STATUS;
}

enum class CopyResult { Ok, ReadFailed, WriteFailed };

// Moves the whole contents of in to out and closes out; a short write, a read error or
// a failed close (data that never reached the disk) is a failure.
CopyResult copyContents(FILE* in, FILE* out) {
  std::unique_ptr<char[]> copyBuffer(new char[COPY_BUFFER_SIZE]);
  CopyResult result = CopyResult::Ok;
  for (;;) {
    const size_t n = fread(copyBuffer.get(), 1, COPY_BUFFER_SIZE, in);
    if (n > 0 && fwrite(copyBuffer.get(), 1, n, out) != n) {
      result = CopyResult::WriteFailed;
      break;
    }
    if (n < static_cast<size_t>(COPY_BUFFER_SIZE)) {
      if (ferror(in)) result = CopyResult::ReadFailed;
      break;
    }
  }
  if (fclose(out) != 0 && result == CopyResult::Ok) result = CopyResult::WriteFailed;
  return result;
}

}  // namespace

FILE* openFileForReading(const char* path) { return fopen(path, "rbe"); }

namespace {

// Non-blocking: opening a FIFO planted at the name must not wait for a writer.
int openNonBlocking(const char* path, int flags) {
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
}

}  // namespace

FILE* openRegularFileForReading(const char* path) {
  const int fd = openNonBlocking(path, O_NOFOLLOW);
  struct stat st;
  const bool regular = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!regular) {
    const int error = fd >= 0 ? EINVAL : errno;
    if (fd >= 0) close(fd);
    if (error == ELOOP || error == EINVAL) {
      logMessage("[Utils] Not a regular file, treated as missing: %s\n", path);
    }
    errno = error;
    return nullptr;
  }
  if (!ownerTrusted(st.st_uid)) {
    // Another user's file in an install of the running user's own is never read.
    close(fd);
    logMessage("[Utils] Not the running user's file, treated as missing: %s\n", path);
    errno = EPERM;
    return nullptr;
  }
  // Reads of a regular file never block anyway; the stream gets the ordinary mode.
  const int flags = fcntl(fd, F_GETFL);
  FILE* file = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, "rb")
                                                                          : nullptr;
  if (file == nullptr) close(fd);
  return file;
}

namespace {

FILE* createFileWithFlags(int folder, const char* path, int flags) {
  const int fd = openat(folder, path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags,
                        newFileMode());
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

FILE* createFileNoFollow(const char* path) { return createFileWithFlags(AT_FDCWD, path, O_TRUNC); }

FILE* createFileExclusive(const char* path) { return createFileWithFlags(AT_FDCWD, path, O_EXCL); }

FILE* createFileExclusiveIn(int folder, const char* name) {
  return createFileWithFlags(folder, name, O_EXCL);
}

int32_t chmodNoFollow(const char* path, mode_t mode) {
  if (fchmodat(AT_FDCWD, path, mode, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  const int error = errno;
  struct stat st;
  if (error == EOPNOTSUPP && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) logLinkLeftAlone(path);
  errno = error;
  return -1;
}

namespace {

// The layout's mode for name in dirFd, logged as the chmod command it stands for and set
// without following a link; a mode the shared layout gives later is remembered.
int32_t chmodLayoutAt(int dirFd, const char* name, const char* shown, EntryKind kind) {
  const mode_t mode = layoutMode(kind);
  char prefix[32];
  snprintf(prefix, sizeof prefix, "chmod %o ", static_cast<unsigned>(mode));
  char command[PATH_BUFFER_SIZE];
  if (!describeChmod(command, prefix, shown)) return -1;
  logMessage("[ChMod] Executing %s\n", command);
  if (kind != EntryKind::Folder) deferSharedMode(shown);
  if (fchmodat(dirFd, name, mode, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  const int error = errno;
  struct stat st;
  if (error == EOPNOTSUPP && fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    logLinkLeftAlone(shown);
  }
  errno = error;
  reportChmodFailure(shown);
  return CHMOD_FAILED_STATUS;
}

// ensureFolder for name in dirFd: made with the layout's folder mode, set exactly.
int32_t ensureFolderAt(int dirFd, const char* name, const char* shown) {
  // A link is never taken for a folder: what is made below it would land where it points.
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    logMessage("[Utils] Not a folder but a link, left alone: %s\n", shown);
    errno = ELOOP;
    return -1;
  }
  const int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return 0;
  }
  const int made = mkdirat(dirFd, name, folderMode());
  const int error = errno;
  // A link planted at the name meanwhile must not have its target's mode changed.
  if (made != 0 && fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    logMessage("[Utils] Not a folder but a link, left alone: %s\n", shown);
    errno = ELOOP;
    return -1;
  }
  chmodLayoutAt(dirFd, name, shown, EntryKind::Folder);
  if (made == 0) return 0;
  // The caller may tell why mkdir failed.
  errno = error;
  return -1;
}

}  // namespace

int32_t chmod777(const char* path) {
  struct stat st;
  const bool folder = lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
  return chmodLayoutAt(AT_FDCWD, path, path, folder ? EntryKind::Folder : EntryKind::File);
}
int32_t chmodAllExecutable(const char* path) {
  return runChmodTree("chmod -R a+x ", path, addExecute);
}
int32_t chmod755Recursive(const char* path) { return runChmodTree("chmod -R 755 ", path, mode755); }

int32_t setProgramMode(const char* path) {
  deferSharedMode(path);
  return chmodNoFollow(path, layoutMode(EntryKind::Program));
}

int32_t createFolderExclusive(const char* path) {
  if (mkdir(path, folderMode()) != 0) return -1;
  chmod777(path);
  return 0;
}

int32_t ensureFolder(const char* path) { return ensureFolderAt(AT_FDCWD, path, path); }

int64_t findMarker(FILE* file, const void* markerBytes, int32_t length, const char* name) {
  const unsigned char* marker = static_cast<const unsigned char*>(markerBytes);
  if (length == 0) return 0;
  if (length < 0) {
    logMessage("Could not find marker: %s\n", name);
    return -1;
  }
  int64_t read = 0;
  int32_t matched = 0;
  const off_t start = ftello(file);
  if (start < 0) {
    // Not seekable (a pipe): nothing may be read past the marker, so byte by byte.
    flockfile(file);
    int c;
    while (matched != length && (c = getc_unlocked(file)) != EOF) {
      ++read;
      matched = c == marker[matched] ? matched + 1 : 0;
    }
    funlockfile(file);
    if (matched == length) return read;
    logMessage("Could not find marker: %s\n", name);
    return -1;
  }
  constexpr size_t BLOCK = 1 << 20;
  std::unique_ptr<unsigned char[]> block(new unsigned char[BLOCK]);
  const unsigned char first = marker[0];
  for (;;) {
    const size_t n = fread(block.get(), 1, BLOCK, file);
    if (n == 0) break;
    const unsigned char* p = block.get();
    const unsigned char* end = p + n;
    while (p < end) {
      if (matched == 0) {
        // Nothing matched yet: skip straight to the next possible first byte.
        const void* hit = memchr(p, first, static_cast<size_t>(end - p));
        if (hit == nullptr) {
          p = end;
          break;
        }
        p = static_cast<const unsigned char*>(hit) + 1;
        matched = 1;
      } else {
        matched = *p++ == marker[matched] ? matched + 1 : 0;
      }
      if (matched == length) {
        read += p - block.get();
        // Give back what was read past the marker.
        if (fseeko(file, start + read, SEEK_SET) != 0) {
          logMessage("Could not find marker: %s\n", name);
          return -1;
        }
        return read;
      }
    }
    read += static_cast<int64_t>(n);
  }
  logMessage("Could not find marker: %s\n", name);
  return -1;
}

int32_t fileExists(const char* path) {
  const int fd = openNonBlocking(path, 0);
  if (fd >= 0) {
    close(fd);
    logMessage("[Utils] File exists: %s\n", path);
    return 1;
  }
  logMessage("[Utils] File does NOT exist: %s\n", path);
  return 0;
}

namespace {

// Removes every entry below the top: files and links on meeting them, folders once
// emptied. A folder that cannot be opened as one (a link swapped in) is left.
class DeleteVisitor : public TreeVisitor {
 public:
  bool enter(const TreeEntry& entry) override {
    const char* shown = entry.shown.c_str();
    if (S_ISDIR(entry.st.st_mode)) {
      logMessage("Deleting DIR %s\n", shown);
      return true;
    }
    logMessage("Deleting FILE %s\n", shown);
    if (unlinkat(entry.parentFd, entry.name, 0) != 0) logMessage("Failed to delete file %s\n", shown);
    return false;
  }
  void leave(const TreeEntry& entry, int) override {
    unlinkat(entry.parentFd, entry.name, AT_REMOVEDIR);  // what failed inside shows it
  }
  void failed(const TreeEntry& entry) override {
    if (S_ISDIR(entry.st.st_mode)) logMessage("Failed to delete %s\n", entry.shown.c_str());
  }
};

}  // namespace

int32_t DeleteFolder(const char* folder) {
  DeleteVisitor visitor;
  if (walkTree(folder, &visitor, false) != TreeWalkResult::Walked) {
    logMessage("[DeleteFolder] Deleting from '%s' is NULL\n", folder);
    return 1;
  }
  return 0;
}

void copyFile(const char* source, const char* target) {
  logMessage("[Extractor] Copying FILE %s\n", target);
  FILE* in = openRegularFileForReading(source);
  if (in == nullptr) {
    logMessage("[Extractor] *************************** Unable to open source file for copy %s\n",
               source);
    return;
  }
  FILE* out = createFileNoFollow(target);
  if (out == nullptr) {
    logMessage(
        "[Extractor] *************************** Unable to open destination file for copy %s\n",
        target);
    fclose(in);
    return;
  }
  const CopyResult result = copyContents(in, out);
  fclose(in);
  if (result == CopyResult::ReadFailed) {
    logMessage("[Extractor] *************************** Unable to read source file for copy %s\n",
               source);
  } else if (result == CopyResult::WriteFailed) {
    logMessage(
        "[Extractor] *************************** Unable to write destination file for copy %s\n",
        target);
  }
}

namespace {

FILE* openStream(int fd, const char* how) {
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, how);
  if (file == nullptr) close(fd);
  return file;
}

// Copies the source tree into the target folder, both held by descriptor: every target
// folder is opened without following a link, so nothing lands where a planted link
// points. The first failure ends the copy (result), each folder above it logging.
class CopyVisitor : public TreeVisitor {
 public:
  CopyVisitor(const char* source, const char* target, int targetFd)
      : sourceLength_(strlen(source)), target_(target) {
    targets_.push_back(targetFd);
  }
  ~CopyVisitor() override {
    for (int fd : targets_) close(fd);
  }

  bool enter(const TreeEntry& entry) override {
    if (result != 0) return false;
    const char* from = entry.shown.c_str();
    const std::string to = targetShown(entry.shown);
    if (S_ISLNK(entry.st.st_mode)) {
      // Following a link could copy or descend into anything on the machine.
      logMessage("[CopyFolder] Passing over link %s\n", from);
      return false;
    }
    const int targetFd = targets_.back();
    if (S_ISDIR(entry.st.st_mode)) {
      logMessage("[CopyFolder] Copying DIR %s\n", to.c_str());
      const int fd = ensureFolderAt(targetFd, entry.name, to.c_str()) == 0
                         ? openFolderAt(targetFd, entry.name)
                         : -1;
      if (fd < 0) {
        logMessage(
            "[CopyFolder] *************************** Failed to copy %s to %s (could not create "
            "target folder)\n",
            from, to.c_str());
        result = -1;
        return false;
      }
      targets_.push_back(fd);
      return true;
    }
    logMessage("[CopyFolder] Copying FILE %s\n", to.c_str());
    // Non-blocking: a FIFO in the source must not hold the copy; only files are copied.
    const int inFd = openat(entry.parentFd, entry.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    FILE* in = inFd >= 0 && fstat(inFd, &st) == 0 && S_ISREG(st.st_mode) &&
                       fcntl(inFd, F_SETFL, O_RDONLY) == 0
                   ? openStream(inFd, "rb")
                   : nullptr;
    if (in == nullptr) {
      if (inFd >= 0) close(inFd);
      logMessage("[CopyFolder] *************************** Unable to open source file for copy %s\n",
                 from);
      result = 1;
      return false;
    }
    FILE* out = openStream(openat(targetFd, entry.name,
                                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                                  newFileMode()),
                           "wb");
    if (out == nullptr) {
      logMessage(
          "[CopyFolder] *************************** Unable to open destination file for copy %s\n",
          to.c_str());
      fclose(in);
      result = 1;
      return false;
    }
    const CopyResult copied = copyContents(in, out);
    fclose(in);
    if (copied != CopyResult::Ok) {
      logMessage("[CopyFolder] *************************** Unable to %s file for copy %s\n",
                 copied == CopyResult::ReadFailed ? "read source" : "write destination",
                 copied == CopyResult::ReadFailed ? from : to.c_str());
      result = 1;
    }
    return false;
  }

  void leave(const TreeEntry& entry, int) override {
    close(targets_.back());
    targets_.pop_back();
    if (result != 0) {
      logMessage("[CopyFolder] *************************** Failed to copy %s to %s\n",
                 entry.shown.c_str(), targetShown(entry.shown).c_str());
    }
  }

  void failed(const TreeEntry& entry) override {
    if (S_ISDIR(entry.st.st_mode)) {
      // Entered, then it could not be listed: its target folder is done with.
      close(targets_.back());
      targets_.pop_back();
    }
    if (result != 0) return;
    logMessage("[CopyFolder] *************************** Unable to open source file for copy %s\n",
               entry.shown.c_str());
    result = 1;
  }

  int32_t result = 0;

 private:
  std::string targetShown(const std::string& shown) const {
    std::string rest = shown.substr(sourceLength_);
    while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    std::string to = target_;
    if (to.empty() || to.back() != '/') to += '/';
    return to + rest;
  }

  size_t sourceLength_;
  std::string target_;
  std::vector<int> targets_;
};

}  // namespace

int32_t CopyFolder(const char* source, const char* target) {
  const int sourceFd = openFolderAt(AT_FDCWD, source);
  if (sourceFd < 0) {
    logMessage("[CopyFolder] SourceDir from '%s' is NULL\n", source);
    return 1;
  }
  close(sourceFd);
  const int targetFd = openFolderAt(AT_FDCWD, target);
  if (targetFd < 0) {
    logMessage(
        "[CopyFolder] *************************** Unable to open destination file for copy %s\n",
        target);
    return 1;
  }
  CopyVisitor visitor(source, target, targetFd);
  if (walkTree(source, &visitor, false) != TreeWalkResult::Walked) {
    logMessage("[CopyFolder] SourceDir from '%s' is NULL\n", source);
    return 1;
  }
  return visitor.result;
}

// A link planted at a target name would carry a rename's copy elsewhere: it is removed.
// false when a link stays there.
bool removeLinkAt(const char* target) {
  struct stat st;
  if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) return true;
  logMessage("[Rename] The target is a link. Removing it.\n");
  if (unlink(target) == 0 || errno == ENOENT) return true;
  logMessage("[Rename] Could not remove the link '%s' [%d]\n", target, errno);
  return false;
}

namespace {

// The name an old target that cannot be emptied is moved to: in the same folder, with no
// '-', so no component name is ever read from it.
constexpr char REPLACED_PREFIX[] = "HalvorinReplaced_";
constexpr int REPLACED_NAME_ATTEMPTS = 1000;

// Leaves nothing at target (no link there: removeLinkAt ran): an old folder is emptied
// and removed, or, when that fails (another user's files, a tree too deep to walk), moved
// aside whole and left; a copy never merges into it. false (logged) when neither worked.
bool clearTarget(const char* target) {
  struct stat st;
  if (lstat(target, &st) != 0) return true;
  logMessage("[Rename] The target already exists. Deleting.\n");
  if (S_ISDIR(st.st_mode)) DeleteFolder(target);
  if ((S_ISDIR(st.st_mode) ? rmdir(target) : unlink(target)) == 0 || errno == ENOENT) return true;
  const int error = errno;
  const std::string path = target;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  int asideError = 0;
  for (int n = 0; n < REPLACED_NAME_ATTEMPTS; ++n) {
    const std::string aside = folder + REPLACED_PREFIX + std::to_string(time(nullptr)) + "_" +
                              std::to_string(n);
    if (renameat2(AT_FDCWD, target, AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      logMessage("[Rename] Could not empty '%s' (%s), moved it aside to '%s'\n", target,
                 strerror(error), aside.c_str());
      return true;
    }
    asideError = errno;
    if (asideError != EEXIST) break;
  }
  logMessage("[Rename] [FAIL] Cannot replace '%s': it can be neither emptied (%s) nor moved aside "
             "(%s)\n",
             target, strerror(error), strerror(asideError));
  return false;
}

void requireClearTarget(const char* target) {
  if (!clearTarget(target)) endProcess(1);
}

}  // namespace

void renameWithFallback(const char* source, const char* target) {
  logWorkingDir();
  if (!removeLinkAt(target)) {
    logMessage("[Rename] [FAIL] Not renaming '%s' to '%s' through a link\n", source, target);
    return;
  }
  requireClearTarget(target);
  int failed = rename(source, target) != 0;
  int error = failed ? errno : 0;
  for (int retry = 0; failed && retry < RENAME_RETRIES; ++retry) {
    logMessage("[Rename] Could not rename '%s' to '%s' [%d]\n", source, target, error);
    sleepMillis(RENAME_RETRY_PAUSE_MS);
    // Another launcher that installed the same folder a moment ago may have put it there
    // again: it goes again, or the rename could never succeed.
    if (error == ENOTEMPTY || error == EEXIST) requireClearTarget(target);
    failed = rename(source, target) != 0;
    error = failed ? errno : 0;
  }
  if (!failed) {
    moveDeferredModes(source, target);
    logMessage("[Rename] File '%s' renamed to '%s'\n", source, target);
    return;
  }
  logMessage("[Rename] [FAIL] Could not rename '%s' to '%s' [%d]\n", source, target, error);
  logMessage("[Rename] Can do no better than a copy on this filesystem\n");
  // The copy goes into a folder of its own making only, never into one found there.
  bool made = removeLinkAt(target) && clearTarget(target) && createFolderExclusive(target) == 0;
  logMessage("[Rename] Created folder %s\n", target);
  if (made && CopyFolder(source, target) == 0) {
    moveDeferredModes(source, target);
    logMessage("[Rename] Copied %s to %s\n", source, target);
    return;
  }
  logMessage("[Rename] Copy failed too! Severe filesystem issues.\n");
  // A complete folder name must never claim a partial install.
  if (made) {
    DeleteFolder(target);
    if (rmdir(target) == 0) {
      logMessage("[Rename] Removed the partial copy %s\n", target);
    } else {
      logMessage("[Rename] Could not remove the partial copy %s [%d]\n", target, errno);
    }
  }
}

void makeExecutable(const char* path, int32_t flag) {
  (void)path;
  (void)flag;
}
