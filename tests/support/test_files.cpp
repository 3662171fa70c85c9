#include "tests/support/test_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

TempFolder::TempFolder(const char* tag) {
  std::string pattern = std::string("/tmp/") + tag + "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() { removeTree(path_); }

std::string TempFolder::file(const std::string& name) const { return path_ + "/" + name; }

bool readFileBytes(const std::string& path, std::string* bytes) {
  FILE* in = fopen(path.c_str(), "rbe");
  if (in == nullptr) return false;
  bytes->clear();
  char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) bytes->append(chunk, got);
  const bool ok = ferror(in) == 0;
  fclose(in);
  return ok;
}

bool writeFileBytes(const std::string& path, const std::string& bytes, int mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  // The mode asked for, whatever the umask took away.
  const bool ok = fchmod(fd, static_cast<mode_t>(mode)) == 0;
  return close(fd) == 0 && ok;
}

bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void removeTree(const std::string& path) {
  if (path.empty() || path == "/") return;
  const std::string command = "rm -rf \"" + path + "\"";
  if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
}
