#include "pipeline/unarchiver_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/descriptor_files.h"
#include "core/log.h"

namespace {

constexpr char UNWRITABLE_LINE[] =
    "\t[Unarchiver] *************************** Unable to extract archive file. Unable to "
    "open file for writing.\n";

}  // namespace

// The system's reason first, then the line of record: a full disk and a refused
// permission must be told apart.
void Unarchiver_failUnwritable(const char* action, const char* path, int error) {
  logFileError("\t[Unarchiver]", action, path, error);
  logMessage(UNWRITABLE_LINE);
  endProcess(1);
}

int UnarchiverFiles_openTarget(const char* folder) {
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) Unarchiver_failUnwritable("open folder", folder, errno);
  return fd;
}

int UnarchiverFiles_openEntryFolder(int folderFd, const char* relative, const char* target,
                                    std::string* name) {
  const char* slash = strrchr(relative, '/');
  const std::string folders = slash == nullptr ? "" : std::string(relative, slash);
  *name = slash == nullptr ? relative : slash + 1;
  const int fd = DescriptorFiles_makeFolders(folderFd, folders.c_str());
  if (fd < 0) Unarchiver_failUnwritable("create folder for", target, errno);
  return fd;
}

void UnarchiverFiles_makeFolder(int folderFd, const char* relative, const char* target) {
  const int fd = DescriptorFiles_makeFolders(folderFd, relative);
  if (fd < 0) Unarchiver_failUnwritable("create folder", target, errno);
  close(fd);
}

void UnarchiverFiles_refuseLink(int folderFd, const char* name, const char* path) {
  struct stat st;
  if (fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    Unarchiver_failUnwritable("write", path, ELOOP);
  }
}

EntryFile UnarchiverFiles_create(int folderFd, const char* name) {
  EntryFile entry = {DescriptorFiles_createStream(folderFd, name, FileCreation::Truncate), 0,
                     "write"};
  if (entry.file == nullptr) entry.error = errno;
  return entry;
}

void UnarchiverFiles_write(EntryFile* entry, const unsigned char* bytes, int32_t count) {
  const size_t size = static_cast<size_t>(count);
  if (entry->error == 0 && fwrite(bytes, 1, size, entry->file) != size) {
    entry->error = errno != 0 ? errno : EIO;
  }
}

void UnarchiverFiles_finish(EntryFile* entry, const char* target) {
  if (fflush(entry->file) != 0 && entry->error == 0) entry->error = errno;
  if (fclose(entry->file) != 0 && entry->error == 0) {
    entry->error = errno;
    entry->action = "close";
  }
  entry->file = nullptr;
  if (entry->error != 0) Unarchiver_failUnwritable(entry->action, target, entry->error);
}
