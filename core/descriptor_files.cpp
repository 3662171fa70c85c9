#include "core/descriptor_files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/install_modes.h"

namespace {

constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int SCRATCH_TRIES = 100;
constexpr char SCRATCH_LETTERS[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr size_t SCRATCH_RANDOM = 6;

// A folder descriptor in hand: the caller's (not closed here) or one opened on the way.
struct Held {
  int fd;
  bool owned;
};

void release(Held held) {
  if (held.owned) close(held.fd);
}

// The next component of *rest into name (empty and "." components skipped); false at the
// end of the path.
bool nextComponent(const char** rest, char (&name)[NAME_MAX + 1]) {
  const char* p = *rest;
  for (;;) {
    while (*p == '/') ++p;
    if (*p == '\0') {
      *rest = p;
      return false;
    }
    const char* end = strchrnul(p, '/');
    const size_t length = static_cast<size_t>(end - p);
    if (!(length == 1 && p[0] == '.')) {
      memcpy(name, p, length);
      name[length] = '\0';
      *rest = end;
      return true;
    }
    p = end;
  }
}

// Refuses an absolute path, a ".." component or a name too long, before anything is done.
bool validPath(const char* relPath) {
  if (relPath == nullptr || relPath[0] == '/') {
    errno = EINVAL;
    return false;
  }
  for (const char* p = relPath; *p != '\0';) {
    while (*p == '/') ++p;
    const char* end = strchrnul(p, '/');
    const size_t length = static_cast<size_t>(end - p);
    if (length == 2 && p[0] == '.' && p[1] == '.') {
      errno = EINVAL;
      return false;
    }
    if (length > NAME_MAX) {
      errno = ENAMETOOLONG;
      return false;
    }
    p = end;
  }
  return true;
}

// Opens name in fd as a folder; with create, makes it first when missing (its mode then
// set exactly through the new descriptor).
int stepInto(int fd, const char* name, bool create, int* made) {
  int next = DescriptorFiles_openFolderAt(fd, name);
  if (next >= 0 || !create || errno != ENOENT) return next;
  const mode_t mode = folderMode();
  const bool madeHere = mkdirat(fd, name, mode) == 0;
  if (!madeHere && errno != EEXIST) return -1;
  // Whatever stands at the name now (another run's folder, a link swapped in) is opened
  // only when it is a folder, never followed.
  next = DescriptorFiles_openFolderAt(fd, name);
  if (next < 0 || !madeHere) return next;
  if (made != nullptr) ++*made;
  if (fchmod(next, mode) != 0) {
    const int error = errno;
    close(next);
    errno = error;
    return -1;
  }
  return next;
}

// Walks the folders of relPath from dirFd; with parentOnly the last component is left
// for the caller (*last points at it in relPath).
bool walkFolders(int dirFd, const char* relPath, bool create, bool parentOnly, Held* out,
                 const char** last, int* made) {
  if (!validPath(relPath)) return false;
  Held current{dirFd, false};
  const char* rest = relPath;
  char name[NAME_MAX + 1];
  bool lastFound = false;
  while (nextComponent(&rest, name)) {
    if (parentOnly) {
      const char* peek = rest;
      char following[NAME_MAX + 1];
      if (!nextComponent(&peek, following)) {
        *last = rest - strlen(name);
        lastFound = true;
        break;
      }
    }
    const int next = stepInto(current.fd, name, create, made);
    if (next < 0) {
      const int error = errno;
      release(current);
      errno = error;
      return false;
    }
    release(current);
    current = Held{next, true};
  }
  if (parentOnly && !lastFound) {
    release(current);
    errno = EINVAL;
    return false;
  }
  *out = current;
  return true;
}

bool openParentHeld(int dirFd, const char* relPath, Held* parent, const char** last) {
  return walkFolders(dirFd, relPath, false, true, parent, last, nullptr);
}

// A component name as the last one of a path (no trailing '/').
bool lastName(const char* last, char (&name)[NAME_MAX + 1]) {
  const char* rest = last;
  return nextComponent(&rest, name);
}

int newDescriptor(Held held) {
  if (held.owned) return held.fd;
  return openat(held.fd, ".", FOLDER_FLAGS);
}

int closeKeepingErrno(int fd) {
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

// Keeps fd when its kind passes (EINVAL otherwise), then lets it block as usual: it was
// opened without waiting, so a FIFO found there never held the run.
int keepIfKind(int fd, bool (*passes)(mode_t)) {
  struct stat st;
  if (fstat(fd, &st) != 0) return closeKeepingErrno(fd);
  if (!passes(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return closeKeepingErrno(fd);
  return fd;
}

// Only a regular file is read.
bool isRegular(mode_t mode) { return S_ISREG(mode); }
// Anything but a FIFO or socket is written as the system writes it (a device only root
// can have made there included).
bool isNoPipe(mode_t mode) { return !S_ISFIFO(mode) && !S_ISSOCK(mode); }

FILE* streamOf(int fd, const char* how) {
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, how);
  if (file == nullptr) closeKeepingErrno(fd);
  return file;
}

void scratchSuffix(char (&suffix)[8]) {
  static std::atomic<unsigned> counter{0};
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t seed = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                  (static_cast<uint64_t>(getpid()) << 40) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ULL);
  suffix[0] = '.';
  for (size_t i = 1; i <= SCRATCH_RANDOM; ++i) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    suffix[i] = SCRATCH_LETTERS[(seed >> 33) % (sizeof SCRATCH_LETTERS - 1)];
  }
  suffix[SCRATCH_RANDOM + 1] = '\0';
}

}  // namespace

int DescriptorFiles_openFolderAt(int dirFd, const char* name) {
  const int fd = openat(dirFd, name, FOLDER_FLAGS);
  if (fd >= 0 || errno != ENOTDIR) return fd;
  // The kernel tells a link where a folder must be as ENOTDIR; it is told as a link.
  struct stat st;
  const bool link = fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
  errno = link ? ELOOP : ENOTDIR;
  return -1;
}

int DescriptorFiles_openPathParent(const char* path, const char** last) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  size_t end = strlen(path);
  while (end > 0 && path[end - 1] == '/') --end;
  size_t start = end;
  while (start > 0 && path[start - 1] != '/') --start;
  const size_t length = end - start;
  if (length == 0 || (length == 2 && path[start] == '.' && path[start + 1] == '.') ||
      (length == 1 && path[start] == '.')) {
    errno = EINVAL;
    return -1;
  }
  *last = path + start;
  if (start == 0) return openat(AT_FDCWD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string folder(path, start);
  // The caller's own folders: resolved as the system does, links in them included.
  return openat(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int DescriptorFiles_openFolder(int dirFd, const char* relPath) {
  Held held;
  if (!walkFolders(dirFd, relPath, false, false, &held, nullptr, nullptr)) return -1;
  return newDescriptor(held);
}

int DescriptorFiles_makeFolders(int dirFd, const char* relPath, int* made) {
  Held held;
  if (!walkFolders(dirFd, relPath, true, false, &held, nullptr, made)) return -1;
  return newDescriptor(held);
}

int DescriptorFiles_openParent(int dirFd, const char* relPath, const char** last) {
  Held held;
  if (!openParentHeld(dirFd, relPath, &held, last)) return -1;
  return newDescriptor(held);
}

int DescriptorFiles_createFile(int dirFd, const char* relPath, FileCreation how, mode_t mode) {
  Held parent;
  const char* last;
  if (!openParentHeld(dirFd, relPath, &parent, &last)) return -1;
  char name[NAME_MAX + 1];
  lastName(last, name);
  int fd;
  if (how == FileCreation::Exclusive) {
    fd = openat(parent.fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  } else {
    // Non-blocking: a FIFO at the name is never waited on (nor written); the flag is
    // cleared again once the file is known not to be one.
    fd = openat(parent.fd, name,
                O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                mode);
    if (fd < 0 && errno == ENXIO) errno = EINVAL;
    if (fd >= 0) fd = keepIfKind(fd, isNoPipe);
  }
  const int error = errno;
  release(parent);
  errno = error;
  return fd;
}

FILE* DescriptorFiles_createStream(int dirFd, const char* relPath, FileCreation how) {
  return streamOf(DescriptorFiles_createFile(dirFd, relPath, how, newFileMode()), "wb");
}

int DescriptorFiles_openRegular(int dirFd, const char* relPath) {
  Held parent;
  const char* last;
  if (!openParentHeld(dirFd, relPath, &parent, &last)) return -1;
  char name[NAME_MAX + 1];
  lastName(last, name);
  int fd = openat(parent.fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd >= 0) fd = keepIfKind(fd, isRegular);
  const int error = errno;
  release(parent);
  errno = error;
  return fd;
}

FILE* DescriptorFiles_openRegularStream(int dirFd, const char* relPath) {
  return streamOf(DescriptorFiles_openRegular(dirFd, relPath), "rb");
}

int DescriptorFiles_replace(int dirFd, const char* relPath, mode_t mode,
                            const std::function<bool(FILE* out)>& write, ReplaceFailure* failure) {
  ReplaceFailure local;
  ReplaceFailure* report = failure != nullptr ? failure : &local;
  *report = ReplaceFailure{};
  const auto fail = [report](ReplaceStep step, int error) {
    report->step = step;
    report->error = error != 0 ? error : EIO;
    errno = report->error;
    return -1;
  };
  Held parent;
  const char* last;
  if (!openParentHeld(dirFd, relPath, &parent, &last)) return fail(ReplaceStep::Create, errno);
  char name[NAME_MAX + 1];
  lastName(last, name);
  char scratch[NAME_MAX + 1];
  int fd = -1;
  if (strlen(name) + SCRATCH_RANDOM + 1 > NAME_MAX) {
    errno = ENAMETOOLONG;
  } else {
    for (int tries = 0; fd < 0 && tries < SCRATCH_TRIES; ++tries) {
      scratchSuffix(report->suffix);
      snprintf(scratch, sizeof scratch, "%s%s", name, report->suffix);
      fd = openat(parent.fd, scratch, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd < 0 && errno != EEXIST) break;
    }
  }
  if (fd < 0) {
    const int error = errno;
    release(parent);
    return fail(ReplaceStep::Create, error);
  }
  const auto discard = [&](ReplaceStep step, int error) {
    unlinkat(parent.fd, scratch, 0);
    release(parent);
    return fail(step, error);
  };
  FILE* out = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
  if (out == nullptr) {
    const int error = errno;
    close(fd);
    return discard(ReplaceStep::Create, error);
  }
  errno = 0;
  if (!write(out)) {
    const int error = errno;
    fclose(out);
    return discard(ReplaceStep::Write, error);
  }
  if (fflush(out) != 0 || ferror(out)) {
    const int error = errno;
    fclose(out);
    return discard(ReplaceStep::Write, error);
  }
  if (fclose(out) != 0) return discard(ReplaceStep::Close, errno);
  if (renameat(parent.fd, scratch, parent.fd, name) != 0) return discard(ReplaceStep::Rename, errno);
  release(parent);
  return 0;
}

int DescriptorFiles_entryExists(int dirFd, const char* name) {
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  if (S_ISLNK(st.st_mode)) return 1;
  return faccessat(dirFd, name, R_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 0;
}
