// Installs the test-side setuid-root runner (tools/root_runner) for one throwaway user:
// folder is made root's, group gid, mode 0750, so only root and that group reach it;
// inside go the runner (root's, setuid) and "allowed-uid" (root's, 0644) naming uid,
// the one real uid the runner serves. Needs root, as tests run.
#pragma once

#include <sys/types.h>

#include <string>

// The installed runner's path, or "" when a step failed (errno tells which).
std::string installSetuidRunner(const std::string& builtRunner, const std::string& folder,
                                uid_t uid, gid_t gid);
