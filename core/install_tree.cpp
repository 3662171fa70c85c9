#include "core/install_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/install_modes.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/tree_walk.h"

namespace {

constexpr mode_t OTHERS_WRITE = 0022;

// The shared layout's state while a SharedLater run works: the modes closeInstallTree
// took away (every folder it met, every file it changed) and the entries deferred to
// SHARED_MODE, by path. Paths are only matched, never opened. Matching them as text is
// sound: a deferred path and the share walk's path of the same entry are both joined by
// joinPath's rule from the same master folder, one plain name at a time, and a rename
// of a deferred folder moves its paths along (moveDeferredModes). A path written another
// way only leaves its entry with the mode it has; and no other entry can take a deferred
// name meanwhile, as the tree is closed to other users while the run works and the walk
// passes over hard links and entries root does not own.
std::mutex layoutMutex;
// By device and inode: a name may have been given to another entry meanwhile.
struct EntryId {
  dev_t dev;
  ino_t ino;
  bool operator==(const EntryId& other) const { return dev == other.dev && ino == other.ino; }
};
struct EntryIdHash {
  size_t operator()(const EntryId& id) const {
    return std::hash<unsigned long long>()(static_cast<unsigned long long>(id.ino) * 31u +
                                           static_cast<unsigned long long>(id.dev));
  }
};
std::unordered_map<EntryId, mode_t, EntryIdHash> closedModes;

EntryId idOf(const struct stat& st) { return EntryId{st.st_dev, st.st_ino}; }
std::unordered_set<std::string> deferredModes;

void reportModeFailure(const std::string& shown) {
  fprintf(stderr, "chmod: changing permissions of '%s': %s\n", shown.c_str(), strerror(errno));
  fflush(stderr);
}

void setModeAt(const TreeEntry& entry, mode_t mode) {
  if ((entry.st.st_mode & 07777) == mode) return;
  if (fchmodat(entry.parentFd, entry.name, mode, AT_SYMLINK_NOFOLLOW) != 0) {
    reportModeFailure(entry.shown);
  }
}

// The name a foreign entry is moved to: no '-', so no component name is ever read from
// it, and never one that exists (the rename replaces nothing).
constexpr char FOREIGN_PREFIX[] = "HalvorinForeign_";
constexpr int FOREIGN_NAME_ATTEMPTS = 1000;

void moveAside(const TreeEntry& entry) {
  const std::string shown = entry.shown;
  const size_t slash = shown.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : shown.substr(0, slash + 1);
  for (int n = 0; n < FOREIGN_NAME_ATTEMPTS; ++n) {
    const std::string name = FOREIGN_PREFIX + std::to_string(entry.st.st_uid) + "_" +
                             std::to_string(n);
    if (renameat2(entry.parentFd, entry.name, entry.parentFd, name.c_str(), RENAME_NOREPLACE) ==
        0) {
      logMessage("[ChMod] %s belongs to user %u: moved aside to %s%s, never read\n",
                 shown.c_str(), static_cast<unsigned>(entry.st.st_uid), folder.c_str(),
                 name.c_str());
      return;
    }
    if (errno != EEXIST) break;
  }
  logMessage("[ChMod] %s belongs to user %u and cannot be moved aside: %s\n", shown.c_str(),
             static_cast<unsigned>(entry.st.st_uid), strerror(errno));
}

// Takes write for group and others from every entry; keep: the modes are remembered.
// announce: the line to log before the first change (nullptr: none).
class CloseVisitor : public TreeVisitor {
 public:
  CloseVisitor(bool keep, const char* announce) : keep_(keep), announce_(announce) {}
  bool enter(const TreeEntry& entry) override {
    const mode_t mode = entry.st.st_mode & 07777;
    const bool folder = S_ISDIR(entry.st.st_mode);
    if (entry.depth > 0 && !ownerTrusted(entry.st.st_uid)) {
      announce();
      moveAside(entry);
      return false;
    }
    if (S_ISLNK(entry.st.st_mode)) return false;
    if (keep_ && (folder || (mode & OTHERS_WRITE) != 0)) closedModes[idOf(entry.st)] = mode;
    // A folder is closed before it is listed: nothing new can appear in it meanwhile.
    if ((mode & OTHERS_WRITE) != 0) announce();
    setModeAt(entry, mode & ~OTHERS_WRITE);
    return folder;
  }
  void failed(const TreeEntry& entry) override {
    if (entry.st.st_mode != 0) reportModeFailure(entry.shown);
  }

 private:
  void announce() {
    if (announce_ != nullptr) logMessage("%s", announce_);
    announce_ = nullptr;
  }
  bool keep_;
  const char* announce_;
};

// A folder's mode is set after its entries: opened to others only once what is in it
// has its own mode.
class ShareVisitor : public TreeVisitor {
 public:
  bool enter(const TreeEntry& entry) override {
    if (S_ISLNK(entry.st.st_mode)) return false;
    const bool folder = S_ISDIR(entry.st.st_mode);
    // A hard link or another user's entry may be anything outside the install: its mode
    // is never opened.
    if (entry.st.st_uid != 0 || (!folder && entry.st.st_nlink > 1)) return false;
    if (!folder) setShared(entry);
    return folder;
  }
  void leave(const TreeEntry& entry, int) override { setShared(entry); }
  void failed(const TreeEntry& entry) override {
    if (entry.st.st_mode != 0) reportModeFailure(entry.shown);
  }

 private:
  static void setShared(const TreeEntry& entry) {
    if (deferredModes.count(entry.shown) != 0) {
      setModeAt(entry, SHARED_MODE);
    } else if (auto kept = closedModes.find(idOf(entry.st)); kept != closedModes.end()) {
      setModeAt(entry, kept->second);
    } else if (S_ISDIR(entry.st.st_mode)) {
      setModeAt(entry, SHARED_MODE);
    }
  }
};

}  // namespace

void deferSharedMode(const char* path) {
  if (installModePolicy() != ModePolicy::SharedLater) return;
  std::lock_guard<std::mutex> hold(layoutMutex);
  deferredModes.insert(path);
}

void moveDeferredModes(const char* source, const char* target) {
  if (installModePolicy() != ModePolicy::SharedLater) return;
  std::lock_guard<std::mutex> hold(layoutMutex);
  const std::string from = joinPath(source, "");
  std::unordered_set<std::string> moved;
  for (auto it = deferredModes.begin(); it != deferredModes.end();) {
    if (it->compare(0, from.size(), from) == 0) {
      moved.insert(joinPath(target, it->substr(from.size())));
      it = deferredModes.erase(it);
    } else {
      ++it;
    }
  }
  deferredModes.merge(moved);
}

void closeInstallTree(const char* sharedDir, const char* master) {
  const ModePolicy current = installModePolicy();
  if (current == ModePolicy::SharedLater) {
    struct stat st;
    if (lstat(master, &st) != 0) return;
    logMessage("[ChMod] Closing %s to other users while this run works\n", master);
    std::lock_guard<std::mutex> hold(layoutMutex);
    CloseVisitor visitor(true, nullptr);
    walkTree(master, &visitor);
    return;
  }
  if (current != ModePolicy::Closed) return;
  // Any entry may have been left open, not only the shared dir: each run looks at all.
  std::string line = std::string("[ChMod] Closing ") + sharedDir + " to other users\n";
  CloseVisitor visitor(false, line.c_str());
  walkTree(sharedDir, &visitor);
}

void shareInstallTree(const char* master) {
  if (installModePolicy() != ModePolicy::SharedLater) return;
  logMessage("[ChMod] Opening %s to all users as the shared layout has it\n", master);
  std::lock_guard<std::mutex> hold(layoutMutex);
  ShareVisitor visitor;
  walkTree(master, &visitor);
}
