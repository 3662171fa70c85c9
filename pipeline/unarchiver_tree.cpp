#include "pipeline/unarchiver_tree.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/descriptor_files.h"
#include "core/fileops.h"
#include "core/log.h"
#include "core/spawner.h"
#include "core/wait_limits.h"
#include "pipeline/unarchiver_files.h"

std::atomic<const char*> unpack200Path{nullptr};

namespace {

constexpr char NO_UNPACK200[] = "(none)";
constexpr char UNPACK200_MISSING_LINE[] = "\t[Unarchiver] ERROR: unpack200 (%s) does not exist!\n";
constexpr char UNPACK200_FAILED_LINE[] =
    "\t[Unarchiver] ERROR: unpack200 failed on %s (%s): what it wrote is removed\n";

constexpr char PRIVATE_FOLDER_PREFIX[] = ".unpack200-";
constexpr int PRIVATE_FOLDER_TRIES = 100;
constexpr char NAME_LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// The folders before the last component of relative, and that component.
void splitLast(std::string relative, std::string* parent, std::string* name) {
  while (relative.size() > 1 && relative.back() == '/') relative.pop_back();
  const size_t slash = relative.rfind('/');
  *parent = slash == std::string::npos ? "" : relative.substr(0, slash);
  *name = slash == std::string::npos ? relative : relative.substr(slash + 1);
}

// Makes a folder beside the entry that only this run may write (mode 0700, a name
// nobody could guess), and opens it; its name goes to *name. Should another hand swap
// something in between the making and the opening, that is no folder of ours: refused.
int makePrivateFolder(int parentFd, std::string* name) {
  for (int attempt = 0; attempt < PRIVATE_FOLDER_TRIES; ++attempt) {
    unsigned char random[8];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
    *name = PRIVATE_FOLDER_PREFIX;
    for (unsigned char byte : random) *name += NAME_LETTERS[byte % (sizeof NAME_LETTERS - 1)];
    if (mkdirat(parentFd, name->c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    const int fd = DescriptorFiles_openFolder(parentFd, name->c_str());
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) == 0) {
      return fd;
    }
    if (fd >= 0) close(fd);
    errno = EPERM;
    return -1;
  }
  errno = EEXIST;
  return -1;
}

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

void ArchiveTree_queuePack200(ArchiveTree* tree, const QueuedPack200& file) {
  pthread_mutex_lock(&tree->mutex);
  tree->pack200Files.push_back(file);
  pthread_mutex_unlock(&tree->mutex);
}

void ArchiveTree_runPack200(ArchiveTree* tree) {
  pthread_mutex_lock(&tree->mutex);
  std::vector<QueuedPack200> files = std::move(tree->pack200Files);
  tree->pack200Files.clear();
  pthread_mutex_unlock(&tree->mutex);
  for (const QueuedPack200& file : files) {
    logMessage("\t[Unarchiver] Unpacking200 %s\n", file.packed.c_str());
    Unarchiver_unpack200(tree->folderFd, file);
  }
}

void Unarchiver_unpack200(int folderFd, const QueuedPack200& file) {
  const char* program = unpack200Path.load();
  if (program == nullptr || *program == '\0') {
    logMessage(UNPACK200_MISSING_LINE, NO_UNPACK200);
    return;
  }
  std::string parentPath, name;
  splitLast(file.relative, &parentPath, &name);
  const std::string packedName = name + ".p2";
  const char* unpacked = file.unpacked.c_str();
  // Looked up again from the target folder: a queued file waits for the whole archive,
  // time enough to swap a folder on its way or plant a link in its place.
  const int parentFd = DescriptorFiles_openFolder(folderFd, parentPath.c_str());
  if (parentFd < 0) Unarchiver_failUnwritable("open the folder of", unpacked, errno);
  UnarchiverFiles_refuseLink(parentFd, name.c_str(), unpacked);
  std::string privateName;
  const int privateFd = makePrivateFolder(parentFd, &privateName);
  if (privateFd < 0) Unarchiver_failUnwritable("create a folder for", unpacked, errno);
  if (renameat(parentFd, packedName.c_str(), privateFd, packedName.c_str()) != 0) {
    const int error = errno;
    unlinkat(parentFd, privateName.c_str(), AT_REMOVEDIR);
    Unarchiver_failUnwritable("move", file.packed.c_str(), error);
  }
  Spawner* spawner = createSpawner();
  setSpawnerExe(spawner, program);
  appendSpawnerArgument(spawner, packedName.c_str());
  appendSpawnerArgument(spawner, name.c_str());
  const int32_t result = runSpawnerAndWaitWithin(spawner, WORK_CHILD_LIMIT_SECONDS, privateFd);
  freeSpawner(spawner);
  unlinkat(privateFd, packedName.c_str(), 0);
  int moveError = 0;
  if (result != 0) {
    // A disk that filled or a kill halfway leaves a cut file that would pass for whole.
    unlinkat(privateFd, name.c_str(), 0);
  } else if (renameat(privateFd, name.c_str(), parentFd, name.c_str()) != 0) {
    moveError = errno;
    unlinkat(privateFd, name.c_str(), 0);
  }
  close(privateFd);
  unlinkat(parentFd, privateName.c_str(), AT_REMOVEDIR);
  close(parentFd);
  if (result != 0) {
    char cause[64];
    describeFailure(result, cause, sizeof cause);
    logMessage(UNPACK200_FAILED_LINE, file.packed.c_str(), cause);
    endProcess(1);
  }
  if (moveError == ENOENT) {
    logMessage(UNPACK200_MISSING_LINE, unpacked);
  } else if (moveError != 0) {
    Unarchiver_failUnwritable("rename into place", unpacked, moveError);
  }
}
