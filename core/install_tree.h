// The passes over the install tree that close it to other users and open the shared
// layout (the modes come from core/install_modes.h). A run as root on a "perm_all"
// install closes an existing tree first and opens it only by shareInstallTree, its last
// step: until then no folder it runs from, writes through or deletes in is open to
// others. Walks by descriptor, never through a link. Any thread.
#pragma once

// SharedLater: path is to get SHARED_MODE from shareInstallTree (a folder gets it anyway).
void deferSharedMode(const char* path);
// A folder tree moved from source to target: the deferred modes below it move along.
void moveDeferredModes(const char* source, const char* target);

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
