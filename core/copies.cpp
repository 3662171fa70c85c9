#include "core/copies.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/descriptor_files.h"
#include "core/folders.h"
#include "core/install_modes.h"
#include "core/install_tree.h"
#include "core/log.h"
#include "core/path_files.h"
#include "core/paths.h"
#include "core/timeutil.h"
#include "core/tree_walk.h"

CopyResult copyStream(FILE* in, FILE* out) {
  std::unique_ptr<char[]> copyBuffer(new char[COPY_BUFFER_SIZE]);
  for (;;) {
    const size_t n = fread(copyBuffer.get(), 1, COPY_BUFFER_SIZE, in);
    if (n > 0 && fwrite(copyBuffer.get(), 1, n, out) != n) return CopyResult::WriteFailed;
    if (n < static_cast<size_t>(COPY_BUFFER_SIZE)) {
      return ferror(in) ? CopyResult::ReadFailed : CopyResult::Ok;
    }
  }
}

namespace {

// copyStream, then out closed: a failed close (data that never reached the disk) is a
// failure too.
CopyResult copyContents(FILE* in, FILE* out) {
  CopyResult result = copyStream(in, out);
  if (fclose(out) != 0 && result == CopyResult::Ok) result = CopyResult::WriteFailed;
  return result;
}

}  // namespace

void copyFile(const char* source, const char* target) {
  logMessage("[Extractor] Copying FILE %s\n", target);
  FILE* in = openRegularFileForReading(source);
  if (in == nullptr) {
    logMessage("[Extractor] *************************** Unable to open source file for copy %s\n",
               source);
    return;
  }
  FILE* out = createFileNoFollow(target);
  if (out == nullptr) {
    logMessage(
        "[Extractor] *************************** Unable to open destination file for copy %s\n",
        target);
    fclose(in);
    return;
  }
  const CopyResult result = copyContents(in, out);
  fclose(in);
  if (result == CopyResult::ReadFailed) {
    logMessage("[Extractor] *************************** Unable to read source file for copy %s\n",
               source);
  } else if (result == CopyResult::WriteFailed) {
    logMessage(
        "[Extractor] *************************** Unable to write destination file for copy %s\n",
        target);
  }
}

namespace {

// Copies the source tree into the target folder, both held by descriptor: every target
// folder is opened without following a link, so nothing lands where a planted link
// points. The first failure ends the copy (result), each folder above it logging.
class CopyVisitor : public TreeVisitor {
 public:
  CopyVisitor(const char* source, const char* target, int targetFd)
      : sourceLength_(strlen(source)), target_(target) {
    targets_.push_back(targetFd);
  }
  ~CopyVisitor() override {
    for (int fd : targets_) close(fd);
  }

  bool enter(const TreeEntry& entry) override {
    if (result != 0) return false;
    const char* from = entry.shown.c_str();
    const std::string to = targetShown(entry.shown);
    if (S_ISLNK(entry.st.st_mode)) {
      // Following a link could copy or descend into anything on the machine.
      logMessage("[CopyFolder] Passing over link %s\n", from);
      return false;
    }
    const int targetFd = targets_.back();
    if (S_ISDIR(entry.st.st_mode)) {
      logMessage("[CopyFolder] Copying DIR %s\n", to.c_str());
      const int fd = ensureFolderAt(targetFd, entry.name, to.c_str()) == 0
                         ? DescriptorFiles_openFolderAt(targetFd, entry.name)
                         : -1;
      if (fd < 0) {
        logMessage(
            "[CopyFolder] *************************** Failed to copy %s to %s (could not create "
            "target folder)\n",
            from, to.c_str());
        result = -1;
        return false;
      }
      targets_.push_back(fd);
      return true;
    }
    logMessage("[CopyFolder] Copying FILE %s\n", to.c_str());
    // Only files are copied: a FIFO or device in the source is neither opened for long
    // nor waited on.
    FILE* in = DescriptorFiles_openRegularStream(entry.parentFd, entry.name);
    if (in == nullptr) {
      logMessage("[CopyFolder] *************************** Unable to open source file for copy %s\n",
                 from);
      result = 1;
      return false;
    }
    FILE* out = DescriptorFiles_createStream(targetFd, entry.name, FileCreation::Truncate);
    if (out == nullptr) {
      logMessage(
          "[CopyFolder] *************************** Unable to open destination file for copy %s\n",
          to.c_str());
      fclose(in);
      result = 1;
      return false;
    }
    const CopyResult copied = copyContents(in, out);
    fclose(in);
    if (copied != CopyResult::Ok) {
      logMessage("[CopyFolder] *************************** Unable to %s file for copy %s\n",
                 copied == CopyResult::ReadFailed ? "read source" : "write destination",
                 copied == CopyResult::ReadFailed ? from : to.c_str());
      result = 1;
    }
    return false;
  }

  void leave(const TreeEntry& entry, int) override {
    close(targets_.back());
    targets_.pop_back();
    if (result != 0) {
      logMessage("[CopyFolder] *************************** Failed to copy %s to %s\n",
                 entry.shown.c_str(), targetShown(entry.shown).c_str());
    }
  }

  void failed(const TreeEntry& entry) override {
    if (S_ISDIR(entry.st.st_mode)) {
      // Entered, then it could not be listed: its target folder is done with.
      close(targets_.back());
      targets_.pop_back();
    }
    if (result != 0) return;
    logMessage("[CopyFolder] *************************** Unable to open source file for copy %s\n",
               entry.shown.c_str());
    result = 1;
  }

  int32_t result = 0;

 private:
  std::string targetShown(const std::string& shown) const {
    std::string rest = shown.substr(sourceLength_);
    while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    return joinPath(target_, rest);
  }

  size_t sourceLength_;
  std::string target_;
  std::vector<int> targets_;
};

}  // namespace

int32_t CopyFolder(const char* source, const char* target) {
  const int sourceFd = DescriptorFiles_openFolderAt(AT_FDCWD, source);
  if (sourceFd < 0) {
    logMessage("[CopyFolder] SourceDir from '%s' is NULL\n", source);
    return 1;
  }
  close(sourceFd);
  const int targetFd = DescriptorFiles_openFolderAt(AT_FDCWD, target);
  if (targetFd < 0) {
    logMessage(
        "[CopyFolder] *************************** Unable to open destination file for copy %s\n",
        target);
    return 1;
  }
  CopyVisitor visitor(source, target, targetFd);
  const TreeWalkResult walked = walkTree(source, &visitor, false);
  if (walked == TreeWalkResult::TooDeep) return visitor.result;  // failed() set it
  if (walked != TreeWalkResult::Walked) {
    logMessage("[CopyFolder] SourceDir from '%s' is NULL\n", source);
    return 1;
  }
  return visitor.result;
}

namespace {

// A link planted at a target name would carry a rename's copy elsewhere: it is removed.
// false when a link stays there.
bool removeLinkAt(const char* target) {
  struct stat st;
  if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) return true;
  logMessage("[Rename] The target is a link. Removing it.\n");
  if (unlink(target) == 0 || errno == ENOENT) return true;
  logMessage("[Rename] Could not remove the link '%s' [%d]\n", target, errno);
  return false;
}

}  // namespace

namespace {

// The name an old target that cannot be emptied is moved to: in the same folder, with no
// '-', so no component name is ever read from it.
constexpr char REPLACED_PREFIX[] = "HalvorinReplaced_";
constexpr int REPLACED_NAME_ATTEMPTS = 1000;

// Leaves nothing at target (no link there: removeLinkAt ran): an old folder is emptied
// and removed, or, when that fails (another user's files, a tree too deep to walk), moved
// aside whole and left; a copy never merges into it. false (logged) when neither worked.
bool clearTarget(const char* target) {
  struct stat st;
  if (lstat(target, &st) != 0) return true;
  logMessage("[Rename] The target already exists. Deleting.\n");
  if (S_ISDIR(st.st_mode)) DeleteFolder(target);
  if ((S_ISDIR(st.st_mode) ? rmdir(target) : unlink(target)) == 0 || errno == ENOENT) return true;
  const int error = errno;
  const std::string path = target;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  int asideError = 0;
  for (int n = 0; n < REPLACED_NAME_ATTEMPTS; ++n) {
    const std::string aside = folder + REPLACED_PREFIX + std::to_string(time(nullptr)) + "_" +
                              std::to_string(n);
    if (renameat2(AT_FDCWD, target, AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      logMessage("[Rename] Could not empty '%s' (%s), moved it aside to '%s'\n", target,
                 strerror(error), aside.c_str());
      return true;
    }
    asideError = errno;
    if (asideError != EEXIST) break;
  }
  logMessage("[Rename] [FAIL] Cannot replace '%s': it can be neither emptied (%s) nor moved aside "
             "(%s)\n",
             target, strerror(error), strerror(asideError));
  return false;
}

void requireClearTarget(const char* target) {
  if (!clearTarget(target)) endProcess(1);
}

}  // namespace

void renameWithFallback(const char* source, const char* target) {
  logWorkingDir();
  if (!removeLinkAt(target)) {
    logMessage("[Rename] [FAIL] Not renaming '%s' to '%s' through a link\n", source, target);
    return;
  }
  requireClearTarget(target);
  int failed = rename(source, target) != 0;
  int error = failed ? errno : 0;
  for (int retry = 0; failed && retry < RENAME_RETRIES; ++retry) {
    logMessage("[Rename] Could not rename '%s' to '%s' [%d]\n", source, target, error);
    sleepMillis(RENAME_RETRY_PAUSE_MS);
    // Another launcher that installed the same folder a moment ago may have put it there
    // again: it goes again, or the rename could never succeed.
    if (error == ENOTEMPTY || error == EEXIST) requireClearTarget(target);
    failed = rename(source, target) != 0;
    error = failed ? errno : 0;
  }
  if (!failed) {
    moveDeferredModes(source, target);
    logMessage("[Rename] File '%s' renamed to '%s'\n", source, target);
    return;
  }
  logMessage("[Rename] [FAIL] Could not rename '%s' to '%s' [%d]\n", source, target, error);
  logMessage("[Rename] Can do no better than a copy on this filesystem\n");
  // The copy goes into a folder of its own making only, never into one found there.
  bool made = removeLinkAt(target) && clearTarget(target) && createFolderExclusive(target) == 0;
  logMessage("[Rename] Created folder %s\n", target);
  if (made && CopyFolder(source, target) == 0) {
    moveDeferredModes(source, target);
    logMessage("[Rename] Copied %s to %s\n", source, target);
    return;
  }
  logMessage("[Rename] Copy failed too! Severe filesystem issues.\n");
  // A complete folder name must never claim a partial install.
  if (made) {
    DeleteFolder(target);
    if (rmdir(target) == 0) {
      logMessage("[Rename] Removed the partial copy %s\n", target);
    } else {
      logMessage("[Rename] Could not remove the partial copy %s [%d]\n", target, errno);
    }
  }
}
