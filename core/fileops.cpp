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

int32_t runChmod(const char* prefix, const char* path) {
  char command[PATH_BUFFER_SIZE];
  if (!buildShellCommand(command, sizeof command, prefix, path)) return -1;
  logMessage("[ChMod] Executing %s\n", command);
  return system(command);
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

FILE* createFileNoFollow(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

int32_t chmod777(const char* path) { return runChmod("chmod 777 ", path); }
int32_t chmodAllExecutable(const char* path) { return runChmod("chmod -R a+x ", path); }
int32_t chmod755Recursive(const char* path) { return runChmod("chmod -R 755 ", path); }

int32_t ensureFolder(const char* path) {
  // A link is never taken for a folder: what is made below it would land where it points.
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    logMessage("[Utils] Not a folder but a link, left alone: %s\n", path);
    return -1;
  }
  DIR* dir = opendir(path);
  if (dir != nullptr) {
    closedir(dir);
    return 0;
  }
  const int made = mkdir(path, 0777);
  // chmod follows a link at the name: a planted link must not hand its target mode 777.
  if (made != 0 && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    logMessage("[Utils] Not a folder but a link, left alone: %s\n", path);
    return -1;
  }
  chmod777(path);
  return made == 0 ? 0 : -1;
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
  // Non-blocking: opening a FIFO planted at the name must not wait for a writer.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
  FILE* in = openFileForReading(source);
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

void renameWithFallback(const char* source, const char* target) {
  logWorkingDir();
  if (fileExists(target)) {
    logMessage("[Rename] The target already exists. Deleting.\n");
    DeleteFolder(target);
  }
  int failed = rename(source, target) != 0;
  int error = failed ? errno : 0;
  for (int retry = 0; failed && retry < RENAME_RETRIES; ++retry) {
    logMessage("[Rename] Could not rename '%s' to '%s' [%d]\n", source, target, error);
    sleepMillis(RENAME_RETRY_PAUSE_MS);
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
  if (CopyFolder(source, target) != 0) {
    logMessage("[Rename] Copy failed too! Severe filesystem issues.\n");
  } else {
    logMessage("[Rename] Copied %s to %s\n", source, target);
  }
}

void makeExecutable(const char* path, int32_t flag) {
  (void)path;
  (void)flag;
}
