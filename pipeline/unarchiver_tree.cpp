#include "pipeline/unarchiver_tree.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/fileops.h"
#include "core/log.h"
#include "core/spawner.h"
#include "core/wait_limits.h"
#include "pipeline/unarchiver.h"

namespace {

constexpr char NO_UNPACK200[] = "(none)";
constexpr char UNPACK200_MISSING_LINE[] = "\t[Unarchiver] ERROR: unpack200 (%s) does not exist!\n";
constexpr char UNPACK200_FAILED_LINE[] =
    "\t[Unarchiver] ERROR: unpack200 failed on %s (%s): what it wrote is removed\n";

// Why a run of unpack200 cannot be trusted, from the Spawner's result.
void describeFailure(int32_t result, char* cause, size_t size) {
  if (result == SPAWN_PAST_LIMIT) {
    snprintf(cause, size, "killed at its limit");
  } else if (result < 0) {
    snprintf(cause, size, "it could not be run");
  } else {
    snprintf(cause, size, "exit status %d", static_cast<int>(result));
  }
}

}  // namespace

bool ArchiveTree_charge(ArchiveTree* tree, uint64_t bytes) {
  tree->written += bytes;
  if (tree->compressedBytes == nullptr) return true;
  const uint64_t compressed = tree->compressedBytes->load();
  // No real download comes near the product's overflow: a compressed count that large
  // is allowance enough.
  if (compressed > (UINT64_MAX - WRITE_ALLOWANCE_BASE) / WRITE_ALLOWANCE_FACTOR) return true;
  return tree->written <= compressed * WRITE_ALLOWANCE_FACTOR + WRITE_ALLOWANCE_BASE;
}

uint64_t ArchiveTree_compressedSoFar(const ArchiveTree* tree) {
  return tree->compressedBytes == nullptr ? 0 : tree->compressedBytes->load();
}

void ArchiveTree_queuePack200(ArchiveTree* tree, const char* packed, const char* unpacked) {
  pthread_mutex_lock(&tree->mutex);
  tree->pack200Files.emplace_back(packed, unpacked);
  pthread_mutex_unlock(&tree->mutex);
}

void ArchiveTree_runPack200(ArchiveTree* tree) {
  pthread_mutex_lock(&tree->mutex);
  std::vector<std::pair<std::string, std::string>> files = std::move(tree->pack200Files);
  tree->pack200Files.clear();
  pthread_mutex_unlock(&tree->mutex);
  for (const auto& [packed, unpacked] : files) {
    logMessage("\t[Unarchiver] Unpacking200 %s\n", packed.c_str());
    Unarchiver_unpack200(packed.c_str(), unpacked.c_str());
  }
}

void Unarchiver_unpack200(const char* packed, const char* unpacked) {
  const char* program = unpack200Path.load();
  if (program == nullptr || *program == '\0') {
    logMessage(UNPACK200_MISSING_LINE, NO_UNPACK200);
    return;
  }
  if (!unpack200Prepared.exchange(true)) makeExecutable(program, 1);
  // Checked again here: a queued file waits for the whole archive, time enough to plant
  // a link in its place, through which unpack200 would write.
  if (Unarchiver_isLink(unpacked)) Unarchiver_failUnwritable("write", unpacked, ELOOP);
  Spawner* spawner = createSpawner();
  setSpawnerExe(spawner, program);
  appendSpawnerArgument(spawner, packed);
  appendSpawnerArgument(spawner, unpacked);
  const int32_t result = runSpawnerAndWaitWithin(spawner, WORK_CHILD_LIMIT_SECONDS);
  freeSpawner(spawner);
  if (result != 0) {
    // A disk that filled or a kill halfway leaves a cut file that would pass for whole.
    char cause[64];
    describeFailure(result, cause, sizeof cause);
    remove(unpacked);
    remove(packed);
    logMessage(UNPACK200_FAILED_LINE, packed, cause);
    endProcess(1);
  }
  if (!fileExists(unpacked)) logMessage(UNPACK200_MISSING_LINE, unpacked);
  remove(packed);
}
