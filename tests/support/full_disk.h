// A full disk for one process: a small tmpfs of a private mount namespace, filled up, so
// that a short write is still taken into stdio's buffer and fails only once flushed.
#pragma once

#include <string>
#include <utility>
#include <vector>

// In the calling process (a forked child, single-threaded): a private mount namespace
// with a 64 KiB tmpfs at folder (mode 0755) holding files (name, bytes), then a file
// "filler" takes all the space left. false when the kernel refuses.
bool mountFullTmpfs(const std::string& folder,
                    const std::vector<std::pair<std::string, std::string>>& files = {});
