#include "tests/support/xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

const char* const XVFB_PATHS[] = {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"};
constexpr int FIRST_DISPLAY = 50;
constexpr int DISPLAY_RANGE = 200;
constexpr int ATTEMPTS = 30;
constexpr int READY_TIMEOUT_MS = 15000;
constexpr int STOP_TIMEOUT_MS = 5000;

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void sleepMillis(long millis) {
  timespec pause = {millis / 1000, (millis % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

// Waits for the child to end, SIGKILL after the timeout; never blocks for ever.
void reap(pid_t pid, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (waitpid(pid, nullptr, WNOHANG) != 0) return;
    sleepMillis(10);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::string readTail(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  return s.size() > 400 ? s.substr(s.size() - 400) : s;
}

const char* xvfbPath() {
  for (const char* path : XVFB_PATHS) {
    if (access(path, X_OK) == 0) return path;
  }
  return nullptr;
}

}  // namespace

bool XvfbServer::start(int depth) {
  stop();
  if (xvfbPath() == nullptr) {
    why_ = "Xvfb is not installed";
    return false;
  }
  int offset = static_cast<int>(getpid() % DISPLAY_RANGE);
  for (int i = 0; i < ATTEMPTS; i++) {
    int number = FIRST_DISPLAY + (offset + i * 7) % DISPLAY_RANGE;
    if (exists("/tmp/.X" + std::to_string(number) + "-lock") ||
        exists("/tmp/.X11-unix/X" + std::to_string(number))) {
      continue;
    }
    if (tryDisplay(number, depth)) return true;
  }
  if (why_.empty()) why_ = "no free display number";
  return false;
}

bool XvfbServer::tryDisplay(int number, int depth) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    why_ = std::string("pipe: ") + strerror(errno);
    return false;
  }
  std::string name = ":" + std::to_string(number);
  std::string screen = "1024x768x" + std::to_string(depth);
  std::string log =
      "/tmp/hv-xvfb-" + std::to_string(getpid()) + "-" + std::to_string(number) + ".log";
  const char* argv[] = {xvfbPath(),  name.c_str(), "-screen",    "0", screen.c_str(),
                        "-nolisten", "tcp",        "-displayfd", "3", nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(ready[1]);
  if (rc != 0) {
    close(ready[0]);
    why_ = std::string("cannot run Xvfb: ") + strerror(rc);
    return false;
  }
  // Xvfb writes the display number and a line end once it accepts connections; end of
  // file means it gave up (for instance the display was taken meanwhile).
  std::string reported;
  bool done = false;
  for (int waited = 0; !done && waited < READY_TIMEOUT_MS; waited += 100) {
    pollfd p = {ready[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c;
    ssize_t n = read(ready[0], &c, 1);
    if (n <= 0) break;
    if (c == '\n')
      done = true;
    else
      reported += c;
  }
  close(ready[0]);
  if (!done || reported != std::to_string(number)) {
    kill(pid, SIGTERM);
    reap(pid, STOP_TIMEOUT_MS);
    why_ = "Xvfb " + name + " did not start: " + readTail(log);
    unlink(log.c_str());
    return false;
  }
  unlink(log.c_str());
  pid_ = pid;
  display_ = name;
  why_.clear();
  return true;
}

void XvfbServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  reap(pid_, STOP_TIMEOUT_MS);
  pid_ = -1;
  display_.clear();
}
