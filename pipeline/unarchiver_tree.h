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

// The unpack200 program for pack200 entries (null while no runtime has been located).
// Set by the runtime setup before an extraction starts; only read while one runs.
extern std::atomic<const char*> unpack200Path;

// A pack200 file waiting: the entry's path in the target folder, and the whole paths of
// its ".p2" file and of what it unpacks to (for the lines).
struct QueuedPack200 {
  std::string relative;
  std::string packed;
  std::string unpacked;
};

struct ArchiveTree {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  int folderFd = -1;  // the target folder, held by the outermost archive
  std::vector<QueuedPack200> pack200Files;  // in stream order
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
void ArchiveTree_queuePack200(ArchiveTree* tree, const QueuedPack200& file);
// Unpacks the queued files in order (in the tree's folder) and empties the queue.
void ArchiveTree_runPack200(ArchiveTree* tree);

// Unpacks the ".p2" file of the entry at relative (below folderFd, reached without
// following a link) with unpack200Path and removes it. The ".p2" file moves into a
// folder of the run's own making (mode 0700, beside it, held open), where unpack200
// runs with bare names, so no link swapped in on the way can steer what it writes; the
// result is renamed into place through the descriptors. Without a program the ".p2"
// file stays (a line says so). A link at the unpacked name is refused like any other.
// When unpack200 cannot run, ends with a status other than 0 or is killed at its limit,
// what it wrote is removed, a line names the file and the cause and the process ends
// with status 1: a cut file must never pass for a whole one.
void Unarchiver_unpack200(int folderFd, const QueuedPack200& file);
