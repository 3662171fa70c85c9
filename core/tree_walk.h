// Walks a folder tree by descriptor, for trees that other users may write: each folder
// is held open (O_DIRECTORY | O_NOFOLLOW) and its children are named relative to it
// (fstatat with AT_SYMLINK_NOFOLLOW), never by a path joined twice, so an entry swapped
// for a link between two calls is met as a link and never followed. The visitor decides
// what happens to each entry, acting on it through parentFd and name only; the walk
// itself changes nothing. Iterative, one open folder per level below the top, and at
// most TREE_WALK_MAX_DEPTH levels: a chain made deeper (by another user, to exhaust
// memory or descriptors) is not walked below that. Any thread.
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
  // whole (errno set: ESTALE when it was swapped after the lstat, ELOOP when it holds
  // entries deeper than TREE_WALK_MAX_DEPTH, a readdir error as readdir gave it; for it
  // leave is not called): each folder entered gets leave or failed.
  virtual void failed(const TreeEntry& entry) { (void)entry; }
};

// Levels below the top that are walked: entries at depth 1 to this one. No real runtime
// or application comes near.
constexpr int TREE_WALK_MAX_DEPTH = 128;

enum class TreeWalkResult { Walked, TopMissing, TopIsLink, TooDeep };

// Walks path and everything below it, depth first in listing order. path itself is
// taken without following a link at its last part; TopIsLink when it is one (nothing
// visited), TopMissing when it cannot be lstat'ed. The top folder is visited too when
// withTop; else only its children (then it must open and list as a folder, or
// TopMissing). TooDeep when some folder held entries below TREE_WALK_MAX_DEPTH: those
// were not visited, that folder got failed (ELOOP), the rest was walked, and one line
// "[TreeWalk] <folder> is deeper than 128 levels: not walked below" was logged.
TreeWalkResult walkTree(const char* path, TreeVisitor* visitor, bool withTop = true);
