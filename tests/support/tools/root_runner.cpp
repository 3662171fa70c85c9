// A stand-in for pkexec in elevation tests: installed setuid root by the test, it takes
// root as its real and effective id, gives its child a fresh environment (PATH only, as
// pkexec does, and the test runtime's unpack200 switches, so a test can hold the
// elevated run) and runs the program it is given, passing the program's status on.
// "root_runner --check" exits 0 when the setuid bit took effect (3 when it did not).
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "tests/support/java_fixture.h"

extern char** environ;

int main(int argc, char** argv) {
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
