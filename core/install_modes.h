// The modes of the install tree, decided in one place from the install type. A per-user
// or temporary install is closed to other users: folders and programs 0755, other files
// 0644. A "perm_all" install is shared: what the layout opens to everyone is 0777. A run
// as root on a "perm_all" install works in a tree closed like a per-user one (closing an
// existing tree first) and opens the shared layout only by shareInstallTree, its last
// step: until then no folder it runs from, writes through or deletes in is open to
// others. Until setInstallModes runs the tree is closed. Any thread.
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
// SharedLater: path is to get SHARED_MODE from shareInstallTree (a folder gets it anyway).
void deferSharedMode(const char* path);
// A folder tree moved from source to target: the deferred modes below it move along.
void moveDeferredModes(const char* source, const char* target);

// Whether the run may take an entry of this owner: in a per-user or temporary install
// only its own user's (or root's); in a shared install anyone's.
bool ownerTrusted(uid_t owner);

// Step 5, before anything is written below master. SharedLater: every entry of master
// (master included) loses write for group and others, its mode kept for the last step.
// Closed: every run walks the shared dir; when an entry is writable by others (an
// earlier layout left it open) it is closed the same way, and an entry of another user
// (not ownerTrusted) is renamed aside in its folder, to a name no reader takes, and not
// entered. Walks by descriptor, never through a link. Nothing otherwise.
void closeInstallTree(const char* sharedDir, const char* master);
// SharedLater, the run's last step before its exit 0 or its launch: one walk of master
// by descriptor, never through a link: entries seen by closeInstallTree (known by device
// and inode) get their mode back, deferred ones and new folders SHARED_MODE, the rest
// stays; files with more than one link and entries root does not own are passed over
// (another user's folder is not entered). Nothing otherwise.
void shareInstallTree(const char* master);
