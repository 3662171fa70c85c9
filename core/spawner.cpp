#include "core/spawner.h"

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/log.h"

extern char** environ;

namespace {

// Bit n-1 stands for signal n: the signals the launcher turned from their default to
// ignored. Set on the main thread before other threads start, read by any spawn.
std::atomic<uint64_t> launcherIgnoredSignals{0};

// Starts the child and logs the outcome; -1 for a failed start.
pid_t spawnLogged(Spawner* spawner) {
  pid_t pid = -1;
  const int ret = spawner->slots[0] == nullptr
                      ? EINVAL
                      : spawnProgram(&pid, spawner->slots[0], nullptr, spawner->slots);
  if (ret != 0) {
    logMessage("[Spawner] Error - ret:%d\n", ret);
    return -1;
  }
  logMessage("[Spawner] Success - pid:%d\n", static_cast<int>(pid));
  return pid;
}

}  // namespace

// Ignored signals survive exec, so the ones the launcher ignored for itself are reset in
// the child; those the user had ignored stay ignored, so a program starts as it would
// from the user's shell.
int spawnProgram(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                 const char* const* argv) {
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
  if (ret == 0) ret = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  if (ret == 0) {
    // posix_spawn never writes through argv; its prototype just predates const.
    ret = posix_spawn(pid, path, actions, &attributes, const_cast<char* const*>(argv),
                      getEnviron());
  }
  posix_spawnattr_destroy(&attributes);
  return ret;
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
    // No status can be had (the child was reaped elsewhere, or SIGCHLD is ignored).
    logMessage("[Spawner] Waiting for pid:%d failed - errno:%d\n", static_cast<int>(pid), errno);
    return -1;
  }
  logMessage("[Spawner] Spawn call done pid:%d status:%d.\n", static_cast<int>(pid), status);
  if ((status & 0x7f) != 0) {
    logMessage("[Spawner] runSpawnerAndWait returned %d\n", 0);
    return 0;
  }
  return (status >> 8) & 0xff;
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

char** getEnviron() { return environ; }
