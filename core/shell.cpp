#include "core/shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/spawner.h"

namespace {

void waitForCommand(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// popen(command, "re") through the launcher's spawn, so that the shell and its command
// get back the signals the launcher ignored for itself: a command still writing after
// the pipe is closed ends with SIGPIPE instead of running on. NULL when it cannot start.
FILE* openCommandPipe(const char* command, pid_t* pid) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  int ret = posix_spawn_file_actions_init(&actions);
  if (ret == 0) {
    // dup2 leaves the copy open across exec, even when the write end already is fd 1.
    ret = posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    const char* const argv[] = {"sh", "-c", command, nullptr};
    if (ret == 0) ret = spawnProgram(pid, "/bin/sh", &actions, argv);
    posix_spawn_file_actions_destroy(&actions);
  }
  close(ends[1]);
  FILE* pipe = ret == 0 ? fdopen(ends[0], "r") : nullptr;
  if (pipe == nullptr) {
    close(ends[0]);
    if (ret == 0) waitForCommand(*pid);
  }
  return pipe;
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

char* runCommandCapture(const char* command) {
  char* output = static_cast<char*>(calloc(COMMAND_OUTPUT_SIZE, 1));
  if (output == nullptr) {
    logMessage("[Utils] Out of memory\n");
    endProcess(1);
  }
  pid_t pid = -1;
  FILE* pipe = openCommandPipe(command, &pid);
  if (pipe == nullptr) {
    free(output);
    return nullptr;
  }
  size_t used = 0;
  while (used < static_cast<size_t>(COMMAND_OUTPUT_SIZE - 1)) {
    const size_t n = fread(output + used, 1, COMMAND_OUTPUT_SIZE - 1 - used, pipe);
    if (n == 0) break;
    used += n;
  }
  if (used == static_cast<size_t>(COMMAND_OUTPUT_SIZE - 1) && fgetc(pipe) != EOF) {
    logMessage("[Utils] Output of '%s' cut at %d bytes\n", command, COMMAND_OUTPUT_SIZE - 1);
  }
  output[used] = 0;
  fclose(pipe);
  waitForCommand(pid);
  // The output is text: it ends at its first 0x00.
  size_t length = strlen(output);
  while (length > 0 && (output[length - 1] == ' ' || output[length - 1] == '\r' ||
                        output[length - 1] == '\n')) {
    output[--length] = 0;
  }
  return output;
}
