#include "core/shell.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/spawner.h"
#include "core/wait_limits.h"

namespace {

// popen(..., "re") of argv through the launcher's spawn, so that the program gets back
// the signals the launcher ignored for itself (a command still writing after the pipe is
// closed ends with SIGPIPE instead of running on), in a group of its own that can be
// killed whole. fromPath: program looked up in PATH, else the file at program. The pipe's
// read end, -1 when it cannot start.
int openProgramPipe(const char* program, const char* const* argv, bool fromPath, pid_t* pid) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  int ret = posix_spawn_file_actions_init(&actions);
  if (ret == 0) {
    // dup2 leaves the copy open across exec, even when the write end already is fd 1.
    ret = posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    if (ret == 0) {
      ret = fromPath ? spawnProgramFromPath(pid, program, &actions, argv, true)
                     : spawnProgram(pid, program, &actions, argv, true);
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  close(ends[1]);
  if (ret != 0) {
    close(ends[0]);
    return -1;
  }
  return ends[0];
}

// Reads up to size bytes of the pipe into buffer until its end or deadline. Returns the
// count; *more tells that bytes beyond size were there, *late that the deadline came.
size_t readUntil(int fd, char* buffer, size_t size, int64_t deadline, bool* more, bool* late) {
  size_t used = 0;
  for (;;) {
    const int32_t left = millisecondsLeft(deadline);
    if (left == 0) {
      *late = true;
      return used;
    }
    pollfd readable = {fd, POLLIN, 0};
    const int ready = poll(&readable, 1, left);
    if (ready < 0 && errno != EINTR) return used;
    if (ready <= 0) continue;
    if (used == size) {
      char extra;
      *more = read(fd, &extra, 1) > 0;
      return used;
    }
    const ssize_t n = read(fd, buffer + used, size - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return used;
    used += static_cast<size_t>(n);
  }
}

// The output of program run with argv (see runCommandCapture); command names it in the lines. *waitStatus
// := its wait status, -1 when it has none (not started, past the limit, reaped
// elsewhere).
char* captureOutput(const char* program, const char* const* argv, bool fromPath, const char* command, int* waitStatus,
                    bool* overran) {
  *waitStatus = -1;
  if (overran != nullptr) *overran = false;
  char* output = static_cast<char*>(calloc(COMMAND_OUTPUT_SIZE, 1));
  if (output == nullptr) {
    logMessage("[Utils] Out of memory\n");
    endProcess(1);
  }
  const int32_t limit = waitLimitSeconds(CHECK_CHILD_LIMIT_SECONDS);
  pid_t pid = -1;
  const int pipe = openProgramPipe(program, argv, fromPath, &pid);
  if (pipe < 0) {
    free(output);
    return nullptr;
  }
  const int64_t deadline = childDeadline(limit);
  bool more = false;
  bool late = false;
  const size_t used =
      readUntil(pipe, output, static_cast<size_t>(COMMAND_OUTPUT_SIZE - 1), deadline, &more, &late);
  if (more) {
    logMessage("[Utils] Output of '%s' cut at %d bytes\n", command, COMMAND_OUTPUT_SIZE - 1);
  }
  output[used] = 0;
  close(pipe);
  int status = 0;
  if (late) {
    killChildGroup(pid, limit, command);
  } else {
    switch (waitChildUntil(pid, deadline, limit, command, &status)) {
      case ChildWait::Ended:
        *waitStatus = status;
        break;
      case ChildWait::Failed:
        break;
      case ChildWait::Killed:
        late = true;
        break;
    }
  }
  if (late) {
    if (overran != nullptr) *overran = true;
    free(output);
    return nullptr;
  }
  // The output is text: it ends at its first 0x00.
  size_t length = strlen(output);
  while (length > 0 && (output[length - 1] == ' ' || output[length - 1] == '\r' ||
                        output[length - 1] == '\n')) {
    output[--length] = 0;
  }
  return output;
}

}  // namespace

bool appendShellQuoted(char* buffer, size_t size, const char* text) {
  const size_t have = strnlen(buffer, size);
  if (have >= size) return false;
  size_t need = 2;  // the opening and closing quote
  for (const char* p = text; *p != 0; ++p) need += *p == '\'' ? 4 : 1;
  if (have + need + 1 > size) return false;
  char* out = buffer + have;
  *out++ = '\'';
  for (const char* p = text; *p != 0; ++p) {
    if (*p == '\'') {
      memcpy(out, "'\\''", 4);
      out += 4;
    } else {
      *out++ = *p;
    }
  }
  *out++ = '\'';
  *out = 0;
  return true;
}

bool buildShellCommand(char* buffer, size_t size, const char* prefix, const char* path) {
  if (size == 0) return false;
  buffer[0] = 0;
  const size_t prefixLen = strlen(prefix);
  if (prefixLen + 1 > size || !appendShellQuoted(strcpy(buffer, prefix), size, path)) {
    buffer[0] = 0;
    logMessage("[Utils] Command too long, refused: %s%.200s...\n", prefix, path);
    return false;
  }
  return true;
}

char* runCommandCapture(const char* command, bool* overran) {
  const char* const argv[] = {"sh", "-c", command, nullptr};
  int status = 0;
  return captureOutput("/bin/sh", argv, false, command, &status, overran);
}

char* runProgramCapture(const char* const* argv, int32_t* exitStatus) {
  int status = 0;
  char* output = captureOutput(argv[0], argv, true, argv[0], &status, nullptr);
  *exitStatus = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}
