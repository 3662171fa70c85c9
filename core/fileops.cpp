#include "core/fileops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/log.h"
#include "core/paths.h"
#include "core/shell.h"
#include "core/timeutil.h"

namespace {

// Child paths live on the heap: trees may be deep, and a frame per level must stay small.
std::unique_ptr<char[]> newPathBuffer() {
  std::unique_ptr<char[]> buffer(new char[PATH_BUFFER_SIZE]);
  buffer[0] = 0;
  return buffer;
}

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

// Sets the mode of name in the folder parentFd and, for a folder, of everything below it, never
// through a link: links are left alone with a line. shown names the entry in lines.
// false when any mode change failed (the walk goes on, as chmod -R does).
bool chmodTreeAt(int parentFd, const char* name, const char* shown, ModeRule rule) {
  struct stat st;
  if (fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    reportChmodFailure(shown);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    logLinkLeftAlone(shown);
    return true;
  }
  bool ok = true;
  if (fchmodat(parentFd, name, rule(st.st_mode), AT_SYMLINK_NOFOLLOW) != 0) {
    reportChmodFailure(shown);
    ok = false;
  }
  if (!S_ISDIR(st.st_mode)) return ok;
  const int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    reportChmodFailure(shown);
    return false;
  }
  std::unique_ptr<char[]> child = newPathBuffer();
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (buildPath2(child.get(), shown, entry->d_name) == nullptr) {
      ok = false;
      continue;
    }
    ok = chmodTreeAt(dirfd(dir), entry->d_name, child.get(), rule) && ok;
  }
  closedir(dir);
  return ok;
}

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
  return chmodTreeAt(AT_FDCWD, path, path, rule) ? 0 : CHMOD_FAILED_STATUS;
}

// Opens a folder for listing without following a link at its name.
DIR* openFolderNoFollow(const char* path) {
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) close(fd);
  return dir;
}

bool isDot(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
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
  // Reads of a regular file never block anyway; the stream gets the ordinary mode.
  const int flags = fcntl(fd, F_GETFL);
  FILE* file = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, "rb")
                                                                          : nullptr;
  if (file == nullptr) close(fd);
  return file;
}

namespace {

FILE* createFileWithFlags(int folder, const char* path, int flags) {
  const int fd = openat(folder, path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, 0666);
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

int32_t chmod777(const char* path) {
  char command[PATH_BUFFER_SIZE];
  if (!describeChmod(command, "chmod 777 ", path)) return -1;
  logMessage("[ChMod] Executing %s\n", command);
  if (chmodNoFollow(path, 0777) == 0) return 0;
  reportChmodFailure(path);
  return CHMOD_FAILED_STATUS;
}
int32_t chmodAllExecutable(const char* path) {
  return runChmodTree("chmod -R a+x ", path, addExecute);
}
int32_t chmod755Recursive(const char* path) { return runChmodTree("chmod -R 755 ", path, mode755); }

int32_t createFolderExclusive(const char* path) {
  if (mkdir(path, 0777) != 0) return -1;
  chmod777(path);
  return 0;
}

int32_t ensureFolder(const char* path) {
  // A link is never taken for a folder: what is made below it would land where it points.
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    logMessage("[Utils] Not a folder but a link, left alone: %s\n", path);
    errno = ELOOP;
    return -1;
  }
  DIR* dir = opendir(path);
  if (dir != nullptr) {
    closedir(dir);
    return 0;
  }
  const int made = mkdir(path, 0777);
  const int error = errno;
  // chmod follows a link at the name: a planted link must not hand its target mode 777.
  if (made != 0 && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    logMessage("[Utils] Not a folder but a link, left alone: %s\n", path);
    errno = ELOOP;
    return -1;
  }
  chmod777(path);
  if (made == 0) return 0;
  // The caller may tell why mkdir failed.
  errno = error;
  return -1;
}

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

int32_t DeleteFolder(const char* folder) {
  DIR* dir = openFolderNoFollow(folder);
  if (dir == nullptr) {
    logMessage("[DeleteFolder] Deleting from '%s' is NULL\n", folder);
    return 1;
  }
  std::unique_ptr<char[]> child = newPathBuffer();
  while (struct dirent* entry = readdir(dir)) {
    if (isDot(entry->d_name)) continue;
    if (buildPath2(child.get(), folder, entry->d_name) == nullptr) continue;
    struct stat st;
    // lstat: a link counts as a file and is removed itself.
    if (lstat(child.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
      logMessage("Deleting DIR %s\n", child.get());
      if (DeleteFolder(child.get()) == 0) {
        rmdir(child.get());
      } else {
        logMessage("Failed to delete %s\n", child.get());
      }
    } else {
      logMessage("Deleting FILE %s\n", child.get());
      if (remove(child.get()) != 0) logMessage("Failed to delete file %s\n", child.get());
    }
  }
  closedir(dir);
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

int32_t CopyFolder(const char* source, const char* target) {
  DIR* dir = opendir(source);
  if (dir == nullptr) {
    logMessage("[CopyFolder] SourceDir from '%s' is NULL\n", source);
    return 1;
  }
  std::unique_ptr<char[]> sourceChild = newPathBuffer();
  std::unique_ptr<char[]> targetChild = newPathBuffer();
  int32_t result = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (isDot(entry->d_name)) continue;
    if (buildPath2(sourceChild.get(), source, entry->d_name) == nullptr ||
        buildPath2(targetChild.get(), target, entry->d_name) == nullptr) {
      result = 1;
      break;
    }
    struct stat st;
    if (lstat(sourceChild.get(), &st) != 0) {
      logMessage("[CopyFolder] *************************** Unable to open source file for copy %s\n",
                 sourceChild.get());
      result = 1;
      break;
    }
    if (S_ISLNK(st.st_mode)) {
      // Following a link could copy or descend into anything on the machine.
      logMessage("[CopyFolder] Passing over link %s\n", sourceChild.get());
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      logMessage("[CopyFolder] Copying DIR %s\n", targetChild.get());
      result = ensureFolder(targetChild.get());
      // A link planted at the target name would carry the copy elsewhere.
      if (result == 0 && lstat(targetChild.get(), &st) == 0 && S_ISLNK(st.st_mode)) result = -1;
      if (result != 0) {
        logMessage(
            "[CopyFolder] *************************** Failed to copy %s to %s (could not create "
            "target folder)\n",
            sourceChild.get(), targetChild.get());
        break;
      }
      result = CopyFolder(sourceChild.get(), targetChild.get());
      if (result != 0) {
        logMessage("[CopyFolder] *************************** Failed to copy %s to %s\n",
                   sourceChild.get(), targetChild.get());
        break;
      }
      continue;
    }
    logMessage("[CopyFolder] Copying FILE %s\n", targetChild.get());
    FILE* in = openFileForReading(sourceChild.get());
    if (in == nullptr) {
      logMessage("[CopyFolder] *************************** Unable to open source file for copy %s\n",
                 sourceChild.get());
      result = 1;
      break;
    }
    FILE* out = createFileNoFollow(targetChild.get());
    if (out == nullptr) {
      logMessage(
          "[CopyFolder] *************************** Unable to open destination file for copy %s\n",
          targetChild.get());
      fclose(in);
      result = 1;
      break;
    }
    const CopyResult copied = copyContents(in, out);
    fclose(in);
    if (copied != CopyResult::Ok) {
      logMessage("[CopyFolder] *************************** Unable to %s file for copy %s\n",
                 copied == CopyResult::ReadFailed ? "read source" : "write destination",
                 copied == CopyResult::ReadFailed ? sourceChild.get() : targetChild.get());
      result = 1;
      break;
    }
  }
  closedir(dir);
  return result;
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

void renameWithFallback(const char* source, const char* target) {
  logWorkingDir();
  if (!removeLinkAt(target)) {
    logMessage("[Rename] [FAIL] Not renaming '%s' to '%s' through a link\n", source, target);
    return;
  }
  if (fileExists(target)) {
    logMessage("[Rename] The target already exists. Deleting.\n");
    DeleteFolder(target);
  }
  int failed = rename(source, target) != 0;
  int error = failed ? errno : 0;
  for (int retry = 0; failed && retry < RENAME_RETRIES; ++retry) {
    logMessage("[Rename] Could not rename '%s' to '%s' [%d]\n", source, target, error);
    sleepMillis(RENAME_RETRY_PAUSE_MS);
    // Another launcher that installed the same folder a moment ago may have written into
    // it after it was emptied: it is emptied again, or the rename could never succeed.
    if (error == ENOTEMPTY || error == EEXIST) DeleteFolder(target);
    failed = rename(source, target) != 0;
    error = failed ? errno : 0;
  }
  if (!failed) {
    logMessage("[Rename] File '%s' renamed to '%s'\n", source, target);
    return;
  }
  logMessage("[Rename] [FAIL] Could not rename '%s' to '%s' [%d]\n", source, target, error);
  logMessage("[Rename] Can do no better than a copy on this filesystem\n");
  ensureFolder(target);
  logMessage("[Rename] Created folder %s\n", target);
  // ensureFolder takes a link for a folder; the copy must not go through one.
  struct stat st;
  const bool intoFolder = lstat(target, &st) == 0 && S_ISDIR(st.st_mode);
  if (intoFolder && CopyFolder(source, target) == 0) {
    logMessage("[Rename] Copied %s to %s\n", source, target);
    return;
  }
  logMessage("[Rename] Copy failed too! Severe filesystem issues.\n");
  // A complete folder name must never claim a partial install.
  if (intoFolder) {
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
