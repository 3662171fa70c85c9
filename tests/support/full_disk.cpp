#include "tests/support/full_disk.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

bool mountFullTmpfs(const std::string& folder,
                    const std::vector<std::pair<std::string, std::string>>& files) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) {
    return false;
  }
  for (const auto& [name, bytes] : files) {
    const int fd = open((folder + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    if (fd >= 0) close(fd);
    if (!written) return false;
  }
  const int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::string block(4096, 'f');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  close(fd);
  return true;
}
