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
std::unordered_map<std::string, mode_t> closedModes;
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

// Takes write for group and others from every entry; keep: the modes are remembered.
class CloseVisitor : public TreeVisitor {
 public:
  explicit CloseVisitor(bool keep) : keep_(keep) {}
  bool enter(const TreeEntry& entry) override {
    if (S_ISLNK(entry.st.st_mode)) return false;
    const mode_t mode = entry.st.st_mode & 07777;
    const bool folder = S_ISDIR(entry.st.st_mode);
    if (keep_ && (folder || (mode & OTHERS_WRITE) != 0)) closedModes[entry.shown] = mode;
    // A folder is closed before it is listed: nothing new can appear in it meanwhile.
    setModeAt(entry, mode & ~OTHERS_WRITE);
    return folder;
  }
  void failed(const TreeEntry& entry) override {
    if (entry.st.st_mode != 0) reportModeFailure(entry.shown);
  }

 private:
  bool keep_;
};

class ShareVisitor : public TreeVisitor {
 public:
  bool enter(const TreeEntry& entry) override {
    if (S_ISLNK(entry.st.st_mode)) return false;
    const bool folder = S_ISDIR(entry.st.st_mode);
    if (deferredModes.count(entry.shown) != 0) {
      setModeAt(entry, SHARED_MODE);
    } else if (auto kept = closedModes.find(entry.shown); kept != closedModes.end()) {
      setModeAt(entry, kept->second);
    } else if (folder) {
      setModeAt(entry, SHARED_MODE);
    }
    return folder;
  }
  void failed(const TreeEntry& entry) override {
    if (entry.st.st_mode != 0) reportModeFailure(entry.shown);
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
    CloseVisitor visitor(true);
    walkTree(master, &visitor);
    return;
  }
  struct stat st;
  if (current != ModePolicy::Closed || lstat(sharedDir, &st) != 0 || !S_ISDIR(st.st_mode) ||
      (st.st_mode & OTHERS_WRITE) == 0) {
    return;
  }
  logMessage("[ChMod] Closing %s to other users\n", sharedDir);
  CloseVisitor visitor(false);
  walkTree(sharedDir, &visitor);
}

void shareInstallTree(const char* master) {
  if (policy.load() != ModePolicy::SharedLater) return;
  logMessage("[ChMod] Opening %s to all users as the shared layout has it\n", master);
  std::lock_guard<std::mutex> hold(layoutMutex);
  ShareVisitor visitor;
  walkTree(master, &visitor);
}
