#include "tests/support/run_program.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

ProgramResult runProgram(const std::string& path, const std::vector<std::string>& argv,
                         const ProgramOptions& options) {
  int out[2];
  if (pipe(out) != 0) return {-1, ""};
  int gone[2] = {-1, -1};
  if (options.stdoutReaderGone) {
    if (pipe(gone) != 0) return {-1, ""};
    close(gone[0]);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);  // as a shell would start it
    close(out[0]);
    dup2(options.stdoutReaderGone ? gone[1] : out[1], 1);
    dup2(out[1], 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execv(path.c_str(), args.data());
    _exit(127);
  }
  close(out[1]);
  if (gone[1] >= 0) close(gone[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, n);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status)
                                     : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
  return {code, output};
}
