#include "core/path_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/descriptor_files.h"
#include "core/install_modes.h"
#include "core/log.h"

namespace {

// The stream open(folder, last) gives for path's last component, its folder released.
template <typename Open>
FILE* inParentOf(const char* path, Open open) {
  const char* last;
  const int folder = DescriptorFiles_openPathParent(path, &last);
  if (folder < 0) return nullptr;
  FILE* file = open(folder, last);
  const int error = errno;
  close(folder);
  errno = error;
  return file;
}

}  // namespace

FILE* openFileForReading(const char* path) { return fopen(path, "rbe"); }

FILE* openRegularFileForReading(const char* path) {
  FILE* file = inParentOf(path, DescriptorFiles_openRegularStream);
  if (file == nullptr && (errno == ELOOP || errno == EINVAL)) {
    const int error = errno;
    logMessage("[Utils] Not a regular file, treated as missing: %s\n", path);
    errno = error;
  }
  struct stat st;
  if (file != nullptr && (fstat(fileno(file), &st) != 0 || !ownerTrusted(st.st_uid))) {
    // Another user's file in an install of the running user's own is never read.
    fclose(file);
    logMessage("[Utils] Not the running user's file, treated as missing: %s\n", path);
    errno = EPERM;
    return nullptr;
  }
  return file;
}

FILE* createFileNoFollow(const char* path) {
  return inParentOf(path, [](int folder, const char* last) {
    return DescriptorFiles_createStream(folder, last, FileCreation::Truncate);
  });
}

FILE* createFileExclusive(const char* path) {
  return inParentOf(path, [](int folder, const char* last) {
    return createFileExclusiveIn(folder, last);
  });
}

FILE* createFileExclusiveIn(int folder, const char* name) {
  return DescriptorFiles_createStream(folder, name, FileCreation::Exclusive);
}
