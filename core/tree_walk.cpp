#include "core/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/descriptor_files.h"
#include "core/log.h"
#include "core/paths.h"

namespace {

bool isDot(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// A folder being listed. The walk holds one per level, so its depth is bounded by
// TREE_WALK_MAX_DEPTH and not by the stack or a path that grows with the tree.
struct Frame {
  DIR* dir;
  bool hasEntry;  // false for the top walked without itself
  int parentFd;
  std::string name;
  std::string shown;
  struct stat st;
  int childDepth;
};

class Walk {
 public:
  explicit Walk(TreeVisitor* visitor) : visitor_(visitor) {
    frames_.reserve(TREE_WALK_MAX_DEPTH + 2);
  }
  ~Walk() {
    for (Frame& frame : frames_) closedir(frame.dir);
  }

  // Visits one entry; a folder to descend into becomes the next frame.
  void entry(int parentFd, const char* name, std::string shown, int depth) {
    struct stat st;
    const bool found = fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!found) memset(&st, 0, sizeof st);
    const TreeEntry entry{parentFd, name, shown, st, depth};
    if (!found) {
      visitor_->failed(entry);
      return;
    }
    if (!visitor_->enter(entry) || !S_ISDIR(st.st_mode)) return;
    const int fd = DescriptorFiles_openFolderAt(parentFd, name);
    if (fd < 0) {
      visitor_->failed(entry);
      return;
    }
    struct stat opened;
    // Swapped between the fstatat and the open: walk only the folder that was looked at.
    if (fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
      close(fd);
      errno = ESTALE;
      visitor_->failed(entry);
      return;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
      const int error = errno;
      close(fd);
      errno = error;
      visitor_->failed(entry);
      return;
    }
    frames_.push_back(Frame{dir, true, parentFd, name, std::move(shown), st, depth + 1});
  }

  // The top's children without the top itself.
  void push(DIR* dir, const std::string& shown) {
    struct stat st;
    memset(&st, 0, sizeof st);
    frames_.push_back(Frame{dir, false, AT_FDCWD, "", shown, st, 1});
  }

  TreeWalkResult run() {
    while (!frames_.empty()) {
      Frame& frame = frames_.back();
      errno = 0;
      struct dirent* child = readdir(frame.dir);
      if (child == nullptr) {
        finish(errno);
        continue;
      }
      if (isDot(child->d_name)) continue;
      if (frame.childDepth > TREE_WALK_MAX_DEPTH) {
        if (!tooDeep_) {
          logMessage("[TreeWalk] %s is deeper than %d levels: not walked below\n",
                     frame.shown.c_str(), TREE_WALK_MAX_DEPTH);
        }
        tooDeep_ = true;
        finish(ELOOP);
        continue;
      }
      entry(dirfd(frame.dir), child->d_name, joinPath(frame.shown, child->d_name),
            frame.childDepth);
    }
    if (tooDeep_) return TreeWalkResult::TooDeep;
    return topUnlisted_ ? TreeWalkResult::TopMissing : TreeWalkResult::Walked;
  }

 private:
  // Ends the innermost folder: leave when listed whole, else failed with error.
  void finish(int error) {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (frame.hasEntry) {
      const TreeEntry entry{frame.parentFd, frame.name.c_str(), frame.shown, frame.st,
                            frame.childDepth - 1};
      if (error != 0) {
        errno = error;
        visitor_->failed(entry);
      } else {
        visitor_->leave(entry, dirfd(frame.dir));
      }
    } else if (error != 0) {
      topUnlisted_ = true;
    }
    closedir(frame.dir);
  }

  TreeVisitor* visitor_;
  std::vector<Frame> frames_;
  bool tooDeep_ = false;
  bool topUnlisted_ = false;
};

}  // namespace

TreeWalkResult walkTree(const char* path, TreeVisitor* visitor, bool withTop) {
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return TreeWalkResult::TopMissing;
  if (S_ISLNK(st.st_mode)) return TreeWalkResult::TopIsLink;
  Walk walk(visitor);
  if (withTop) {
    walk.entry(AT_FDCWD, path, path, 0);
    return walk.run();
  }
  const int fd = DescriptorFiles_openFolderAt(AT_FDCWD, path);
  if (fd < 0) return TreeWalkResult::TopMissing;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return TreeWalkResult::TopMissing;
  }
  walk.push(dir, path);
  return walk.run();
}
