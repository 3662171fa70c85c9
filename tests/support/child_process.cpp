#include "tests/support/child_process.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/log.h"
#include "tests/support/scratch_dir.h"

ChildResult runInChild(const std::function<void()>& body) {
  ScratchDir dir;
  const std::string outPath = dir / "stdout";
  fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    if (freopen(outPath.c_str(), "w", stdout) == nullptr) _exit(120);
    body();
    endProcess(0);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return {-1, ""};
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFileBytes(outPath)};
}
