#include "core/spawner.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "core/log.h"
#include "core/wait_limits.h"

extern char** environ;

namespace {

// Bit n-1 stands for signal n: the signals the launcher turned from their default to
// ignored. Set on the main thread before other threads start, read by any spawn.
std::atomic<uint64_t> launcherIgnoredSignals{0};


// The process environment at the time of the call, handed to every child.
char** getEnviron() { return environ; }

// Ignored signals survive exec, so the ones the launcher ignored for itself are reset in
// the child; those the user had ignored stay ignored, so a program starts as it would
// from the user's shell. fromPath: a name without '/' is looked up in PATH as a shell
// does.
int spawnWith(bool fromPath, pid_t* pid, const char* path,
              const posix_spawn_file_actions_t* actions, const char* const* argv, bool ownGroup) {
  posix_spawnattr_t attributes;
  int ret = posix_spawnattr_init(&attributes);
  if (ret != 0) return ret;
  sigset_t defaults;
  sigemptyset(&defaults);
  const uint64_t changed = launcherIgnoredSignals.load();
  for (int signal = 1; signal <= 64; ++signal) {
    if ((changed >> (signal - 1)) & 1) sigaddset(&defaults, signal);
  }
  ret = posix_spawnattr_setsigdefault(&attributes, &defaults);
  // A session of its own makes the child lead a process group that can be killed whole,
  // and keeps it clear of the terminal's job control (no stop for touching the terminal
  // from a background group).
  const short flags =
      static_cast<short>(POSIX_SPAWN_SETSIGDEF | (ownGroup ? POSIX_SPAWN_SETSID : 0));
  if (ret == 0) ret = posix_spawnattr_setflags(&attributes, flags);
  if (ret == 0) {
    // posix_spawn never writes through argv; its prototype just predates const.
    char* const* words = const_cast<char* const*>(argv);
    ret = fromPath ? posix_spawnp(pid, path, actions, &attributes, words, getEnviron())
                   : posix_spawn(pid, path, actions, &attributes, words, getEnviron());
  }
  posix_spawnattr_destroy(&attributes);
  return ret;
}

// Starts the child (in folderFd, unless -1) and logs the outcome; -1 for a failed start.
pid_t spawnLogged(Spawner* spawner, bool ownGroup = false, bool fromPath = false,
                  int folderFd = -1) {
  pid_t pid = -1;
  posix_spawn_file_actions_t actions;
  int ret = spawner->slots[0] == nullptr ? EINVAL : 0;
  const bool inFolder = ret == 0 && folderFd >= 0;
  bool actionsMade = false;
  if (inFolder) {
    ret = posix_spawn_file_actions_init(&actions);
    actionsMade = ret == 0;
    if (ret == 0) ret = posix_spawn_file_actions_addfchdir_np(&actions, folderFd);
  }
  if (ret == 0) {
    ret = spawnWith(fromPath, &pid, spawner->slots[0], inFolder ? &actions : nullptr,
                    spawner->slots, ownGroup);
  }
  if (actionsMade) posix_spawn_file_actions_destroy(&actions);
  if (ret != 0) {
    logMessage("[Spawner] Error - ret:%d\n", ret);
    return -1;
  }
  logMessage("[Spawner] Success - pid:%d\n", static_cast<int>(pid));
  return pid;
}

void logFailedWait(pid_t pid) {
  // No status can be had (the child was reaped elsewhere, or SIGCHLD is ignored).
  logMessage("[Spawner] Waiting for pid:%d failed - errno:%d\n", static_cast<int>(pid), errno);
}

// The result of a waited-for child from its wait status: its exit status, or for a
// signal's end 0 (a program, as runSpawnerAndWait gives) or -1 (a command, which counts
// only by its exit status).
int32_t childResult(pid_t pid, int status, bool command = false) {
  logMessage("[Spawner] Spawn call done pid:%d status:%d.\n", static_cast<int>(pid), status);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (command) return -1;
  logMessage("[Spawner] runSpawnerAndWait returned %d\n", 0);
  return 0;
}

int64_t monotonicMillis() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Sleeps until the child ends or timeoutMs pass, whichever comes first (or less, when a
// signal handler interrupts it). pidfd is -1 where the kernel has none: then short naps.
void awaitChild(int pidfd, int32_t timeoutMs, int32_t* napMs) {
  if (pidfd >= 0) {
    pollfd ended = {pidfd, POLLIN, 0};
    poll(&ended, 1, timeoutMs);
    return;
  }
  const int32_t nap = *napMs < timeoutMs ? *napMs : timeoutMs;
  const timespec pause = {nap / 1000, static_cast<long>(nap % 1000) * 1000000};
  nanosleep(&pause, nullptr);
  if (*napMs < 50) *napMs *= 2;
}

// A pidfd of pid, -1 where the kernel has none or pid names no process.
int openPidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// True while pid is a child of this process that nobody has reaped (running or a
// zombie): only then does its pid, and so its process group id, still belong to it. A
// pid reaped elsewhere may already name another process, of which a pidfd opened now
// would speak: waitid answers ECHILD for it, as for any process not our child.
bool childUnreaped(pid_t pid, int pidfd) {
  siginfo_t info = {};
  const int flags = WEXITED | WNOHANG | WNOWAIT;
  if (pidfd >= 0) return waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, flags) == 0;
  return waitid(P_PID, static_cast<id_t>(pid), &info, flags) == 0;
}

// The group kill of a child past its limit, only while the child is unreaped; then the
// child is reaped and the line logged. false (errno ECHILD, nothing killed) when it was
// reaped elsewhere.
bool killGroupWhileUnreaped(pid_t pid, int pidfd, int32_t limitSeconds, const char* command) {
  if (!childUnreaped(pid, pidfd)) {
    errno = ECHILD;
    return false;
  }
  kill(-pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  logMessage("[Spawner] %s ran past its limit of %d seconds and was killed\n", command,
             static_cast<int>(limitSeconds));
  return true;
}

// The limited run of a program (command false: slot 0 is its path, started in folderFd
// unless -1) or of a system command (slot 0 looked up in PATH).
int32_t runWithin(Spawner* spawner, int32_t limitSeconds, bool command, int folderFd) {
  const int32_t limit = waitLimitSeconds(limitSeconds);
  const pid_t pid = spawnLogged(spawner, true, command, folderFd);
  if (pid < 0) return -1;
  int status = 0;
  switch (waitChildUntil(pid, childDeadline(limit), limit, spawner->slots[0], &status)) {
    case ChildWait::Ended:
      return childResult(pid, status, command);
    case ChildWait::Failed:
      logFailedWait(pid);
      return -1;
    case ChildWait::Killed:
      break;
  }
  return SPAWN_PAST_LIMIT;
}

}  // namespace

int64_t childDeadline(int32_t seconds) { return monotonicMillis() + int64_t{seconds} * 1000; }

int32_t millisecondsLeft(int64_t deadline) {
  const int64_t left = deadline - monotonicMillis();
  if (left <= 0) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int32_t>(left);
}

ChildWait waitChildUntil(pid_t pid, int64_t deadline, int32_t limitSeconds, const char* command,
                         int* status) {
  const int pidfd = openPidfd(pid);
  int32_t napMs = 1;
  ChildWait outcome = ChildWait::Killed;
  for (;;) {
    const pid_t waited = waitpid(pid, status, WNOHANG);
    if (waited == pid) {
      outcome = ChildWait::Ended;
      break;
    }
    if (waited < 0 && errno != EINTR) {
      outcome = ChildWait::Failed;
      break;
    }
    const int32_t left = millisecondsLeft(deadline);
    if (left == 0) break;
    awaitChild(pidfd, left, &napMs);
  }
  if (outcome == ChildWait::Killed && !killGroupWhileUnreaped(pid, pidfd, limitSeconds, command)) {
    outcome = ChildWait::Failed;
  }
  if (pidfd >= 0) {
    const int error = errno;
    close(pidfd);
    errno = error;
  }
  return outcome;
}

bool killChildGroup(pid_t pid, int32_t limitSeconds, const char* command) {
  const int pidfd = openPidfd(pid);
  const bool killed = killGroupWhileUnreaped(pid, pidfd, limitSeconds, command);
  if (pidfd >= 0) {
    const int error = errno;
    close(pidfd);
    errno = error;
  }
  return killed;
}

int spawnProgram(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                 const char* const* argv, bool ownGroup) {
  return spawnWith(false, pid, path, actions, argv, ownGroup);
}

int spawnProgramFromPath(pid_t* pid, const char* name, const posix_spawn_file_actions_t* actions,
                         const char* const* argv, bool ownGroup) {
  return spawnWith(true, pid, name, actions, argv, ownGroup);
}

Spawner* createSpawner() {
  logMessage("[Spawner] Creating spawner\n");
  return static_cast<Spawner*>(calloc(1, sizeof(Spawner)));
}

void setSpawnerExe(Spawner* spawner, const char* path) {
  logMessage("[Spawner] Setting spawner exe to %s\n", path);
  fflush(stdout);
  appendSpawnerArgument(spawner, path);
}

void appendSpawnerArgument(Spawner* spawner, const char* argument) {
  for (int i = 0; i < SPAWNER_SLOTS - 1; ++i) {
    if (spawner->slots[i] == nullptr) {
      spawner->slots[i] = argument;
      logMessage("[Spawner] Appended argument %s\n", argument);
      return;
    }
  }
  logMessage("[Spawner] WARNING: couldn't append argument %s\n", argument);
}

int32_t runSpawnerAndWait(Spawner* spawner) {
  const pid_t pid = spawnLogged(spawner);
  if (pid < 0) return -1;
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) {
    logFailedWait(pid);
    return -1;
  }
  return childResult(pid, status);
}

int32_t runSpawnerAndWaitWithin(Spawner* spawner, int32_t limitSeconds, int folderFd) {
  return runWithin(spawner, limitSeconds, false, folderFd);
}

int32_t runCommandWithin(Spawner* spawner, int32_t limitSeconds) {
  return runWithin(spawner, limitSeconds, true, -1);
}

int32_t runSpawner(Spawner* spawner) { return spawnLogged(spawner) < 0 ? -1 : 0; }

void ignoreLauncherSignal(int signal) {
  if (signal < 1 || signal > 64) return;
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction previous = {};
  if (sigaction(signal, &ignore, &previous) != 0) return;
  const bool wasDefault = (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_DFL;
  if (wasDefault) launcherIgnoredSignals.fetch_or(uint64_t{1} << (signal - 1));
}

void freeSpawner(Spawner* spawner) { free(spawner); }

