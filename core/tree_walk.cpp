#include "core/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/descriptor_files.h"

namespace {

bool isDot(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

std::string childShown(const std::string& parent, const char* name) {
  std::string shown = parent;
  if (shown.empty() || shown.back() != '/') shown += '/';
  shown += name;
  return shown;
}

// Walks the children of the open folder fd (which this call closes).
void walkChildren(int fd, const std::string& shown, int depth, TreeVisitor* visitor,
                  const TreeEntry* folder);

void walkEntry(int parentFd, const char* name, const std::string& shown, int depth,
               TreeVisitor* visitor) {
  struct stat st;
  const bool found = fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!found) memset(&st, 0, sizeof st);
  const TreeEntry entry{parentFd, name, shown, st, depth};
  if (!found) {
    visitor->failed(entry);
    return;
  }
  if (!visitor->enter(entry) || !S_ISDIR(st.st_mode)) return;
  const int fd = DescriptorFiles_openFolderAt(parentFd, name);
  if (fd < 0) {
    visitor->failed(entry);
    return;
  }
  struct stat opened;
  // Swapped between the fstatat and the open: walk only the folder that was looked at.
  if (fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    close(fd);
    errno = ESTALE;
    visitor->failed(entry);
    return;
  }
  walkChildren(fd, shown, depth + 1, visitor, &entry);
}

void walkChildren(int fd, const std::string& shown, int depth, TreeVisitor* visitor,
                  const TreeEntry* folder) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    if (folder != nullptr) visitor->failed(*folder);
    return;
  }
  while (struct dirent* child = readdir(dir)) {
    if (isDot(child->d_name)) continue;
    walkEntry(dirfd(dir), child->d_name, childShown(shown, child->d_name), depth, visitor);
  }
  if (folder != nullptr) visitor->leave(*folder, dirfd(dir));
  closedir(dir);
}

}  // namespace

TreeWalkResult walkTree(const char* path, TreeVisitor* visitor, bool withTop) {
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return TreeWalkResult::TopMissing;
  if (S_ISLNK(st.st_mode)) return TreeWalkResult::TopIsLink;
  const std::string shown = path;
  if (withTop) {
    walkEntry(AT_FDCWD, path, shown, 0, visitor);
    return TreeWalkResult::Walked;
  }
  const int fd = DescriptorFiles_openFolderAt(AT_FDCWD, path);
  if (fd < 0) return TreeWalkResult::TopMissing;
  walkChildren(fd, shown, 1, visitor, nullptr);
  return TreeWalkResult::Walked;
}
