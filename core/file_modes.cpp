#include "core/file_modes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/install_modes.h"
#include "core/install_tree.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/shell.h"
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

}  // namespace

int32_t chmodNoFollow(const char* path, mode_t mode) {
  if (fchmodat(AT_FDCWD, path, mode, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  const int error = errno;
  struct stat st;
  if (error == EOPNOTSUPP && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) logLinkLeftAlone(path);
  errno = error;
  return -1;
}

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

