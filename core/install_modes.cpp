#include "core/install_modes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/log.h"
#include "core/tree_walk.h"

namespace {

constexpr char SHARED_INSTALL_TYPE[] = "perm_all";
constexpr mode_t CLOSED_FOLDER_MODE = 0755;
constexpr mode_t CLOSED_PROGRAM_MODE = 0755;
constexpr mode_t CLOSED_FILE_MODE = 0644;
constexpr mode_t SHARED_NEW_FILE_MODE = 0666;
constexpr mode_t OTHERS_WRITE = 0022;

std::atomic<ModePolicy> policy{ModePolicy::Closed};

// The shared layout's state while a SharedLater run works: the modes closeInstallTree
// took away (every folder it met, every file it changed) and the entries deferred to
// SHARED_MODE, by path. Paths are only matched, never opened.
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

void setInstallModes(const char* installType) {
  ModePolicy chosen = ModePolicy::Closed;
  if (installType != nullptr && strcmp(installType, SHARED_INSTALL_TYPE) == 0) {
    chosen = geteuid() == 0 ? ModePolicy::SharedLater : ModePolicy::Shared;
  }
  policy.store(chosen);
}

ModePolicy installModePolicy() { return policy.load(); }

mode_t folderMode() { return layoutMode(EntryKind::Folder); }

mode_t newFileMode() {
  return policy.load() == ModePolicy::Shared ? SHARED_NEW_FILE_MODE : CLOSED_FILE_MODE;
}

mode_t layoutMode(EntryKind kind) {
  if (policy.load() == ModePolicy::Shared) return SHARED_MODE;
  switch (kind) {
    case EntryKind::Folder: return CLOSED_FOLDER_MODE;
    case EntryKind::Program: return CLOSED_PROGRAM_MODE;
    case EntryKind::File: break;
  }
  return CLOSED_FILE_MODE;
}

void deferSharedMode(const char* path) {
  if (policy.load() != ModePolicy::SharedLater) return;
  std::lock_guard<std::mutex> hold(layoutMutex);
  deferredModes.insert(path);
}

void moveDeferredModes(const char* source, const char* target) {
  if (policy.load() != ModePolicy::SharedLater) return;
  std::lock_guard<std::mutex> hold(layoutMutex);
  const std::string from = std::string(source) + "/";
  std::unordered_set<std::string> moved;
  for (auto it = deferredModes.begin(); it != deferredModes.end();) {
    if (it->compare(0, from.size(), from) == 0) {
      moved.insert(std::string(target) + "/" + it->substr(from.size()));
      it = deferredModes.erase(it);
    } else {
      ++it;
    }
  }
  deferredModes.merge(moved);
}

void closeInstallTree(const char* sharedDir, const char* master) {
  const ModePolicy current = policy.load();
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

bool ownerTrusted(uid_t owner) {
  return policy.load() != ModePolicy::Closed || owner == geteuid() || owner == 0;
}

void shareInstallTree(const char* master) {
  if (policy.load() != ModePolicy::SharedLater) return;
  logMessage("[ChMod] Opening %s to all users as the shared layout has it\n", master);
  std::lock_guard<std::mutex> hold(layoutMutex);
  ShareVisitor visitor;
  walkTree(master, &visitor);
}
