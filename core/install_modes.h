// The modes of the install tree, decided in one place from the install type. A per-user
// or temporary install is closed to other users: folders and programs 0755, other files
// 0644. A "perm_all" install is shared: what the layout opens to everyone is 0777. A run
// as root on a "perm_all" install works in a tree closed like a per-user one and opens
// the shared layout only at its last step (core/install_tree.h). Until setInstallModes
// runs the tree is closed. Any thread.
#pragma once

#include <sys/types.h>

enum class ModePolicy {
  Closed,       // not "perm_all"
  Shared,       // "perm_all", a run without root rights: modes as the layout has them
  SharedLater,  // "perm_all" as root: closed while working, shared by shareInstallTree
};

// What an entry is, for the mode the layout gives it where it opens it to everyone.
enum class EntryKind { Folder, Program, File };

constexpr mode_t SHARED_MODE = 0777;

// Decides the policy from the tail's "Install Type" and the effective user id.
void setInstallModes(const char* installType);
ModePolicy installModePolicy();

// The mode every folder made in the install tree gets (mkdir, then set exactly).
mode_t folderMode();
// The creation mode of every file made in the install tree (the umask narrows it).
mode_t newFileMode();
// The mode of an entry the shared layout opens to everyone: SHARED_MODE when shared;
// else 0755 for a folder or a program, 0644 for any other file.
mode_t layoutMode(EntryKind kind);
// Whether the run may take an entry of this owner: in a per-user or temporary install
// only its own user's (or root's); in a shared install anyone's.
bool ownerTrusted(uid_t owner);
