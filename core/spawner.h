// Starts child programs straight from an argument vector: no shell, no PATH search,
// the whole environment, the current folder and the signal dispositions the launcher
// was started with (those it changed for itself go back to their defaults).
// A Spawner holds up to SPAWNER_SLOTS - 1 borrowed string pointers (the caller keeps
// them alive until the run returns), so the vector always ends with an empty slot.
// One Spawner is used by one thread; every step is logged with "[Spawner]".
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <cstdint>

constexpr int SPAWNER_SLOTS = 500;

struct Spawner {
  // Slot 0 is the program's path and its argv[0]; the first empty slot ends the vector.
  const char* slots[SPAWNER_SLOTS];
};

// A new Spawner with every slot empty.
Spawner* createSpawner();
// Logs the path, flushes standard output, then appends it like an argument.
void setSpawnerExe(Spawner* spawner, const char* path);
// Stores the pointer in the first empty slot; with 499 slots filled the argument is
// dropped with a warning.
void appendSpawnerArgument(Spawner* spawner, const char* argument);
// Starts the program and waits for it: its exit status (0-255), 0 when a signal ended
// it, -1 when it cannot be started or the wait fails for another reason than a signal
// handler interrupting it (then the wait is retried).
int32_t runSpawnerAndWait(Spawner* spawner);
// runSpawnerAndWait with a limit (waitLimitSeconds of limitSeconds, core/wait_limits.h):
// the program leads a session and process group of its own, and once it has run that
// long the whole group is killed, one line names the program and the limit, and the
// result is SPAWN_PAST_LIMIT. With folderFd (an open folder, not -1) the program starts
// in that folder, so relative arguments name its entries whatever happens meanwhile to
// the path that leads to it.
constexpr int32_t SPAWN_PAST_LIMIT = -2;
int32_t runSpawnerAndWaitWithin(Spawner* spawner, int32_t limitSeconds, int folderFd = -1);
// For the system's commands (cp, chmod, which): runSpawnerAndWaitWithin with slot 0
// looked up in PATH as a shell does when it holds no '/'. A command counts only by its
// exit status: -1 when it cannot be started, its wait fails or a signal ended it.
int32_t runCommandWithin(Spawner* spawner, int32_t limitSeconds);
// Starts the program without waiting (it is never reaped): 0, or -1 when it cannot be
// started.
int32_t runSpawner(Spawner* spawner);
// The one way the launcher starts a program: posix_spawn of path (no PATH search) with
// argv, the file actions (or none), the whole environment and the signals the launcher
// ignored for itself back at their defaults; with ownGroup in a session and process
// group of its own (for waitChildUntil). The spawn's error number, 0 when started.
int spawnProgram(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                 const char* const* argv, bool ownGroup = false);
// spawnProgram with name looked up in PATH as a shell does when it holds no '/'.
int spawnProgramFromPath(pid_t* pid, const char* name, const posix_spawn_file_actions_t* actions,
                         const char* const* argv, bool ownGroup = false);
// A child's deadline: the monotonic clock in milliseconds, seconds from now.
int64_t childDeadline(int32_t seconds);
// Milliseconds left until deadline: 0 once it has passed, at most INT32_MAX.
int32_t millisecondsLeft(int64_t deadline);
enum class ChildWait { Ended, Failed, Killed };
// Waits for the child pid, started with ownGroup, until deadline (a signal handler that
// interrupts the wait does not end it). Ended: *status holds its wait status. Failed:
// waitpid failed, errno set. Killed: it ran past the deadline, so its whole group was
// killed, the child reaped and "[Spawner] %s ran past its limit of %d seconds and was
// killed\n" logged with command and limitSeconds. The group is killed only while the
// child is unreaped (its pidfd asked first): a child reaped elsewhere (SIGCHLD ignored,
// another waiter) gives Failed with ECHILD, since its group id may name others by then.
ChildWait waitChildUntil(pid_t pid, int64_t deadline, int32_t limitSeconds, const char* command,
                         int* status);
// The Killed end of waitChildUntil at once, for a child started with ownGroup: true once
// its whole group is killed, the child reaped and the line logged; false (errno ECHILD,
// nothing killed) when the child was reaped elsewhere.
bool killChildGroup(pid_t pid, int32_t limitSeconds, const char* command);
// Ignores a signal in the launcher (main thread, before any other thread starts). When
// the launcher found it at its default, children get the default back; a signal the
// launcher was started with ignored (nohup's SIGHUP, say) stays ignored for them.
void ignoreLauncherSignal(int signal);
// Releases the array only, never the strings.
void freeSpawner(Spawner* spawner);
