// ArchiveTree: what an outermost archive shares with the archives nested in it, however
// deep: the pack200 files waiting for its check, the download it came from, how much
// all of them wrote against what that download allows, and how deep the nesting is now.
// The Unarchiver's own record (pipeline/unarchiver.cpp makes one per outermost archive
// and per nested tail entry). One extraction works on a tree at a time: an archive that
// meets a nested one only copies its bytes until the nested UnArchiver has ended.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Archives inside one another, the outermost one counted: one more is refused.
constexpr int32_t MAX_ARCHIVE_DEPTH = 4;
// A downloaded archive may write WRITE_ALLOWANCE_FACTOR times the compressed bytes
// received so far plus WRITE_ALLOWANCE_BASE before its check. Real runtimes compress
// about 4:1; a bomb of zeros thousands to one.
constexpr uint64_t WRITE_ALLOWANCE_FACTOR = 64;
constexpr uint64_t WRITE_ALLOWANCE_BASE = uint64_t{64} << 20;
// What a file or folder entry costs besides its bytes (a block and an inode), so that
// countless empty entries cannot fill a disk either.
constexpr uint64_t ENTRY_WRITE_COST = 4096;

struct ArchiveTree {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  // The ".p2" file and the path it unpacks to, in stream order.
  std::vector<std::pair<std::string, std::string>> pack200Files;
  // The outermost archive's download, when it came from one; set before any ring of
  // the pipeline ends.
  const std::atomic<bool>* transferFailed = nullptr;
  // The compressed bytes of that download received so far; null: no allowance applies.
  const std::atomic<uint64_t>* compressedBytes = nullptr;
  uint64_t written = 0;  // bytes (and entry costs) written below the tree so far
  int32_t depth = 0;     // archives open now, the outermost one counted
};

// Counts bytes about to be written; false when they take the tree past its allowance
// (never while no allowance applies).
bool ArchiveTree_charge(ArchiveTree* tree, uint64_t bytes);
// The compressed bytes received so far (0 while no allowance applies), for the line that
// refuses an archive past its allowance.
uint64_t ArchiveTree_compressedSoFar(const ArchiveTree* tree);

// Adds a pack200 file to run once the outermost archive has passed its check.
void ArchiveTree_queuePack200(ArchiveTree* tree, const char* packed, const char* unpacked);
// Unpacks the queued files in order and empties the queue.
void ArchiveTree_runPack200(ArchiveTree* tree);

// Runs unpack200Path on one ".p2" file and removes it. Without a program the ".p2" file
// stays (a line says so). When unpack200 cannot run, ends with a status other than 0 or
// is killed at its limit, what it wrote is removed, a line names the file and the cause
// and the process ends with status 1: a cut file must never pass for a whole one.
void Unarchiver_unpack200(const char* packed, const char* unpacked);

// Shared by both files of the Unarchiver (defined in pipeline/unarchiver.cpp).
// Logs the system's reason, then the line of record for an entry that cannot be
// written, and ends the process with status 1.
[[noreturn]] void Unarchiver_failUnwritable(const char* action, const char* path, int error);
// True when path names a symbolic link (trailing '/' left out, which would follow it).
bool Unarchiver_isLink(const char* path);
