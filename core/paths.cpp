#include "core/paths.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"

void fixSeparators(char* path) { (void)path; }

namespace {

// The joining rule: one '/' between path and part, none after an empty path or one that
// ends with '/'.
bool needsSeparator(const char* path, size_t length) { return length > 0 && path[length - 1] != '/'; }

}  // namespace

char* appendPathN(char* path, size_t size, const char* part) {
  fixSeparators(path);
  const size_t pathLen = strlen(path);
  const size_t partLen = strlen(part);
  const bool needSlash = needsSeparator(path, pathLen);
  const size_t total = pathLen + (needSlash ? 1 : 0) + partLen;
  if (total + 1 > size) {
    logMessage("[Utils] Path too long, refused: '%s' + '%s'\n", path, part);
    path[0] = 0;
    return nullptr;
  }
  // The part may lie inside path itself: move it before the '/' can overwrite its end.
  memmove(path + pathLen + (needSlash ? 1 : 0), part, partLen);
  if (needSlash) path[pathLen] = '/';
  path[total] = 0;
  return path;
}

char* appendPath(char* path, const char* part) { return appendPathN(path, PATH_BUFFER_SIZE, part); }

std::string joinPath(const std::string& path, const std::string& part) {
  std::string joined = path;
  if (needsSeparator(joined.data(), joined.size())) joined += '/';
  return joined + part;
}

char* copyFixSeparators(const char* path) {
  char* copy = copyString(path);
  fixSeparators(copy);
  return copy;
}

char* setString(char* buffer, const char* text) {
  const size_t len = strlen(text);
  if (len + 1 > static_cast<size_t>(PATH_BUFFER_SIZE)) {
    logMessage("[Utils] Path too long, refused: '%.200s...'\n", text);
    buffer[0] = 0;
    return nullptr;
  }
  memmove(buffer, text, len + 1);
  return buffer;
}

static char* buildPathN(char* buffer, const char* const* parts, int count) {
  if (setString(buffer, parts[0]) == nullptr) return nullptr;
  for (int i = 1; i < count; ++i) {
    if (appendPath(buffer, parts[i]) == nullptr) return nullptr;
  }
  return buffer;
}

char* buildPath2(char* buffer, const char* p1, const char* p2) {
  const char* parts[] = {p1, p2};
  return buildPathN(buffer, parts, 2);
}

char* buildPath3(char* buffer, const char* p1, const char* p2, const char* p3) {
  const char* parts[] = {p1, p2, p3};
  return buildPathN(buffer, parts, 3);
}

char* buildPath4(char* buffer, const char* p1, const char* p2, const char* p3, const char* p4) {
  const char* parts[] = {p1, p2, p3, p4};
  return buildPathN(buffer, parts, 4);
}

char* buildPath5(char* buffer, const char* p1, const char* p2, const char* p3, const char* p4,
                 const char* p5) {
  const char* parts[] = {p1, p2, p3, p4, p5};
  return buildPathN(buffer, parts, 5);
}

char* copyString(const char* text) {
  const size_t len = strlen(text);
  char* copy = static_cast<char*>(malloc(len + 1));
  if (copy == nullptr) {
    logMessage("[Utils] Out of memory\n");
    endProcess(1);
  }
  memcpy(copy, text, len + 1);
  return copy;
}

char* substring(const char* text, int32_t start, int32_t length) {
  char* result = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (result == nullptr) {
    logMessage("[Utils] Out of memory\n");
    endProcess(1);
  }
  memcpy(result, text + start, static_cast<size_t>(length));
  result[length] = 0;
  return result;
}

bool staysInFolder(const char* name) {
  return strchr(name, '/') == nullptr && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

int32_t lastIndexOf(const char* text, char c) {
  int32_t found = -1;
  for (int32_t i = 0; text[i] != 0; ++i) {
    if (text[i] == c) found = i;
  }
  return found;
}

bool hasParentComponent(const char* path) {
  const char* part = path;
  for (;;) {
    const char* slash = strchr(part, '/');
    const size_t length = slash == nullptr ? strlen(part) : static_cast<size_t>(slash - part);
    if (length == 2 && part[0] == '.' && part[1] == '.') return true;
    if (slash == nullptr) return false;
    part = slash + 1;
  }
}

int32_t indexOfNth(const char* text, char c, int32_t n) {
  if (n < 1) return -1;
  int32_t count = 0;
  for (int32_t i = 0; text[i] != 0; ++i) {
    if (text[i] == c && ++count == n) return i;
  }
  return -1;
}

char* toAbsolutePath(char* path) {
  if (path[0] == '/') return path;
  constexpr size_t SIZE = 1024;
  char* result = static_cast<char*>(calloc(SIZE, 1));
  if (result == nullptr) {
    logMessage("[Utils] Out of memory\n");
    endProcess(1);
  }
  if (getcwd(result, SIZE) == nullptr) {
    logMessage("[Utils] Cannot read the current folder to make '%s' absolute\n", path);
    free(result);
    return nullptr;
  }
  if (appendPathN(result, SIZE, path) == nullptr) {
    free(result);
    return nullptr;
  }
  return result;
}

int32_t getExePath(char* buffer, int32_t size) {
  if (size <= 0) return -1;
  memset(buffer, 0, static_cast<size_t>(size));
  const ssize_t n = readlink("/proc/self/exe", buffer, static_cast<size_t>(size - 1));
  if (n < 0) {
    buffer[0] = 0;
    return -1;
  }
  logMessage("Path to exe is %s\n", buffer);
  return 0;
}

bool appendText(char* buffer, size_t size, const char* text) {
  const size_t have = strnlen(buffer, size);
  const size_t add = strlen(text);
  if (have >= size || have + add + 1 > size) return false;
  memcpy(buffer + have, text, add + 1);
  return true;
}

bool formatText(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(buffer, size, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    if (size > 0) buffer[0] = 0;
    return false;
  }
  return true;
}
