#include "core/shell.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"

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
  FILE* pipe = popen(command, "re");
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
  pclose(pipe);
  // The output is text: it ends at its first 0x00.
  size_t length = strlen(output);
  while (length > 0 && (output[length - 1] == ' ' || output[length - 1] == '\r' ||
                        output[length - 1] == '\n')) {
    output[--length] = 0;
  }
  return output;
}
