// A stand-in for pkexec in elevation tests: installed setuid root by the test, it takes
// root as its real and effective id, gives its child a fresh environment (PATH only, as
// pkexec does, and the test runtime's unpack200 switches, so a test can hold the
// elevated run) and runs the program it is given, passing the program's status on.
// "root_runner --check" exits 0 when the setuid bit took effect (3 when it did not).
//
// It serves one caller only: the real uid written in "allowed-uid" beside it, a file
// that root owns and no one else may write, in a folder that root owns and no one else
// may write (tests/support/setuid_runner.h installs it so). Its own location comes from
// the kernel, never from the caller, so any other caller, or a copy or link of it next to
// a file of the caller's own, is refused with status 126 before it takes root.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/java_fixture.h"

extern char** environ;

namespace {

constexpr int REFUSED = 126;

// Root's own and closed to every other writer.
bool heldByRoot(const struct stat& st) { return st.st_uid == 0 && (st.st_mode & 0022) == 0; }

// The uid named by the allowed-uid file beside this program; false when there is no
// such file that only root could have written.
bool allowedUid(uid_t* uid) {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return false;
  self[length] = '\0';
  char* slash = strrchr(self, '/');
  if (slash == nullptr) return false;
  *slash = '\0';
  const int folder = open(self[0] != '\0' ? self : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return false;
  struct stat st;
  bool ok = fstat(folder, &st) == 0 && heldByRoot(st);
  const int file = ok ? openat(folder, "allowed-uid", O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
  close(folder);
  if (file < 0) return false;
  char text[32] = {};
  ok = fstat(file, &st) == 0 && S_ISREG(st.st_mode) && heldByRoot(st) &&
       read(file, text, sizeof text - 1) > 0;
  close(file);
  if (!ok) return false;
  char* end = nullptr;
  const unsigned long value = strtoul(text, &end, 10);
  if (end == text || (*end != '\0' && *end != '\n') || value > UINT_MAX) return false;
  *uid = static_cast<uid_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uid_t allowed = 0;
  if (!allowedUid(&allowed) || getuid() != allowed) {
    fprintf(stderr, "root_runner: refused for uid %u\n", static_cast<unsigned>(getuid()));
    return REFUSED;
  }
  const bool rooted = setgroups(0, nullptr) == 0 && setgid(0) == 0 && setuid(0) == 0;
  if (argc == 2 && strcmp(argv[1], "--check") == 0) return rooted && getuid() == 0 ? 0 : 3;
  if (!rooted || argc < 2) {
    fprintf(stderr, "root_runner: cannot run as root\n");
    return 127;
  }
  char path[] = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  char home[] = "HOME=/root";
  std::vector<char*> environment = {path, home};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (strncmp(*entry, FIXTURE_UNPACK200_PREFIX, sizeof FIXTURE_UNPACK200_PREFIX - 1) == 0) {
      environment.push_back(*entry);
    }
  }
  environment.push_back(nullptr);
  execve(argv[1], argv + 1, environment.data());
  perror("root_runner");
  return 127;
}
