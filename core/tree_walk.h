// Walks a folder tree by descriptor, for trees that other users may write: each folder
// is held open (O_DIRECTORY | O_NOFOLLOW) and its children are named relative to it
// (fstatat with AT_SYMLINK_NOFOLLOW), never by a path joined twice, so an entry swapped
// for a link between two calls is met as a link and never followed. The visitor decides
// what happens to each entry, acting on it through parentFd and name only; the walk
// itself changes nothing. Keeps its state on the stack and the heap: any thread.
#pragma once

#include <sys/stat.h>

#include <string>

struct TreeEntry {
  int parentFd;           // the folder holding the entry (AT_FDCWD for the top)
  const char* name;       // the entry's name in parentFd: the only name to act on
  const std::string& shown;  // the entry's path, for log lines and matching only
  const struct stat& st;  // lstat of the entry as the walk met it
  int depth;              // 0 for the top
};

class TreeVisitor {
 public:
  virtual ~TreeVisitor() = default;
  // Before a folder's children (and for every other entry): true to descend into a
  // folder. Never called again for an entry.
  virtual bool enter(const TreeEntry& entry) = 0;
  // After a folder's children were walked; folderFd is the descriptor they were read
  // through (gone once this returns).
  virtual void leave(const TreeEntry& entry, int folderFd) { (void)entry, (void)folderFd; }
  // The entry vanished (st zeroed), or a folder entered could not be opened or listed
  // (errno set; for it leave is not called): each folder entered gets leave or failed.
  virtual void failed(const TreeEntry& entry) { (void)entry; }
};

enum class TreeWalkResult { Walked, TopMissing, TopIsLink };

// Walks path and everything below it, depth first in listing order. path itself is
// taken without following a link at its last part; TopIsLink when it is one (nothing
// visited), TopMissing when it cannot be lstat'ed. The top folder is visited too when
// withTop; else only its children (then it must open as a folder, or TopMissing).
TreeWalkResult walkTree(const char* path, TreeVisitor* visitor, bool withTop = true);
