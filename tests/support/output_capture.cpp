#include "tests/support/output_capture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "core/log.h"
#include "tests/support/scratch_dir.h"

namespace {

std::string makeCaptureFile() {
  char name[] = "/tmp/hvcaptureXXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  close(fd);
  return name;
}

std::string takeCaptureFile(const std::string& name) {
  const std::string text = readFileBytes(name);
  unlink(name.c_str());
  return text;
}

}  // namespace

std::string captureStdout(const std::function<void()>& body) {
  const std::string name = makeCaptureFile();
  fflush(stdout);
  const int saved = dup(1);
  const int fd = open(name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (saved < 0 || fd < 0) throw std::runtime_error("cannot redirect standard output");
  dup2(fd, 1);
  close(fd);
  body();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  return takeCaptureFile(name);
}

ChildRun runInChild(const std::function<int()>& body, int timeoutSeconds) {
  const std::string name = makeCaptureFile();
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int fd = open(name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) _exit(125);
    dup2(fd, 1);
    close(fd);
    endProcess(body());
  }
  int status = 0;
  ChildRun run;
  for (long waited = 0;; waited += 5) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (waited >= timeoutSeconds * 1000L) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      run.timedOut = true;
      break;
    }
    usleep(5000);
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  run.output = takeCaptureFile(name);
  return run;
}

namespace {

int tempFile() {
  char name[] = "/tmp/hv-capture-XXXXXX";
  int fd = mkostemp(name, O_CLOEXEC);
  if (fd >= 0) unlink(name);
  return fd;
}

std::string readAll(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

}  // namespace

void OutputCapture::start() {
  stop();
  out_.clear();
  err_.clear();
  fflush(stdout);
  fflush(stderr);
  fileOut_ = tempFile();
  fileErr_ = tempFile();
  savedOut_ = dup(1);
  savedErr_ = dup(2);
  dup2(fileOut_, 1);
  dup2(fileErr_, 2);
}

void OutputCapture::stop() {
  if (savedOut_ < 0) return;
  fflush(stdout);
  fflush(stderr);
  dup2(savedOut_, 1);
  dup2(savedErr_, 2);
  close(savedOut_);
  close(savedErr_);
  savedOut_ = savedErr_ = -1;
  out_ = readAll(fileOut_);
  err_ = readAll(fileErr_);
  close(fileOut_);
  close(fileErr_);
  fileOut_ = fileErr_ = -1;
}

std::string OutputCapture::outSoFar() const {
  std::string text;
  if (fileOut_ < 0) return text;
  // pread leaves the offset that standard output shares with this descriptor alone.
  char buffer[4096];
  off_t offset = 0;
  ssize_t n;
  while ((n = pread(fileOut_, buffer, sizeof buffer, offset)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return text;
}
