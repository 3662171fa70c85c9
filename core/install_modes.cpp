#include "core/install_modes.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

constexpr char SHARED_INSTALL_TYPE[] = "perm_all";
constexpr mode_t CLOSED_FOLDER_MODE = 0755;
constexpr mode_t CLOSED_PROGRAM_MODE = 0755;
constexpr mode_t CLOSED_FILE_MODE = 0644;
constexpr mode_t SHARED_NEW_FILE_MODE = 0666;

std::atomic<ModePolicy> policy{ModePolicy::Closed};

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

bool ownerTrusted(uid_t owner) {
  return policy.load() != ModePolicy::Closed || owner == geteuid() || owner == 0;
}

