// Runs a test body in a forked child so that process-wide state (such as the one
// splash) starts fresh for every case. Fork from a single-threaded test only. The
// child's assertion failures print as usual and make it exit 1; the parent waits a
// bounded time and kills a child that hangs.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

// "" when the body passed in the child, else what went wrong.
template <typename Body>
std::string runIsolated(Body body, int timeoutSeconds = 120) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    body();
    fflush(stdout);
    fflush(stderr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  for (long waited = 0; waited < timeoutSeconds * 1000L; waited += 10) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
      if (WIFEXITED(status))
        return "child failed with status " + std::to_string(WEXITSTATUS(status));
      return "child killed by signal " + std::to_string(WTERMSIG(status));
    }
    timespec pause = {0, 10 * 1000000L};
    nanosleep(&pause, nullptr);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return "child timed out after " + std::to_string(timeoutSeconds) + " s";
}
