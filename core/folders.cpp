#include "core/folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/descriptor_files.h"
#include "core/file_modes.h"
#include "core/install_modes.h"
#include "core/log.h"
#include "core/tree_walk.h"

namespace {

void logLinkNotFolder(const char* shown) {
  logMessage("[Utils] Not a folder but a link, left alone: %s\n", shown);
  errno = ELOOP;
}

bool isLinkAt(int dirFd, const char* name) {
  struct stat st;
  return fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

int32_t ensureFolderAt(int dirFd, const char* name, const char* shown) {
  // A link is never taken for a folder: what is made below it would land where it points.
  const int fd = DescriptorFiles_openFolderAt(dirFd, name);
  if (fd >= 0) {
    close(fd);
    return 0;
  }
  if (errno == ELOOP) {
    logLinkNotFolder(shown);
    return -1;
  }
  if (mkdirat(dirFd, name, folderMode()) == 0) {
    chmodLayoutAt(dirFd, name, shown, EntryKind::Folder);
    return 0;
  }
  const int error = errno;
  if (error == EEXIST) {
    // Only a folder (another run's, made meanwhile) gets the layout's mode; a link or
    // anything else planted at the name keeps its own.
    const int made = DescriptorFiles_openFolderAt(dirFd, name);
    if (made < 0) {
      if (isLinkAt(dirFd, name)) {
        logLinkNotFolder(shown);
        return -1;
      }
      errno = error;
      return -1;
    }
    close(made);
  }
  chmodLayoutAt(dirFd, name, shown, EntryKind::Folder);
  // The caller may tell why mkdir failed.
  errno = error;
  return -1;
}

int32_t ensureFolder(const char* path) { return ensureFolderAt(AT_FDCWD, path, path); }

int32_t createFolderExclusive(const char* path) {
  if (mkdir(path, folderMode()) != 0) return -1;
  chmod777(path);
  return 0;
}

int32_t fileExists(const char* path) {
  if (DescriptorFiles_entryExists(AT_FDCWD, path) != 0) {
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
  const TreeWalkResult walked = walkTree(folder, &visitor, false);
  if (walked == TreeWalkResult::TooDeep) return 1;  // the walk and the visitor logged it
  if (walked != TreeWalkResult::Walked) {
    logMessage("[DeleteFolder] Deleting from '%s' is NULL\n", folder);
    return 1;
  }
  return 0;
}

