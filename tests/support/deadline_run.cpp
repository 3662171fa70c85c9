#include "tests/support/deadline_run.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "tests/support/scratch_dir.h"

DeadlineRun runWithDeadline(const std::string& program, const std::vector<std::string>& argv,
                            const EnvChanges& env, const DeadlineOptions& options) {
  char outputPath[] = "/tmp/hv-deadline-XXXXXX";
  const int fd = mkostemp(outputPath, O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("mkostemp failed");
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    for (const auto& [name, value] : env) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    signal(SIGPIPE, SIG_DFL);  // as a shell would start it
    if (options.prepare && !options.prepare()) _exit(125);
    execv(program.c_str(), args.data());
    _exit(126);
  }
  setpgid(pid, pid);  // also here, so that the kill below never misses the group
  DeadlineRun run;
  int status = 0;
  bool ended = false;
  for (long waited = 0; waited < options.seconds * 1000L && !ended; waited += 10) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) {
      timespec pause = {0, 10 * 1000000L};
      nanosleep(&pause, nullptr);
    }
  }
  if (ended && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  if (ended && options.afterExit) options.afterExit(run.status);
  kill(-pid, SIGKILL);
  if (!ended) {
    waitpid(pid, &status, 0);
    run.timedOut = true;
  }
  close(fd);
  run.output = readFileBytes(outputPath);
  unlink(outputPath);
  return run;
}
