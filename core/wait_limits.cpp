#include "core/wait_limits.h"

#include <cerrno>
#include <cstdlib>

int32_t waitLimitSeconds(int32_t limit) {
  const char* text = getenv(WAIT_LIMIT_ENV);
  if (text == nullptr || *text == '\0') return limit;
  char* end = nullptr;
  errno = 0;
  const long cap = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || cap < 1 || cap >= limit) return limit;
  return static_cast<int32_t>(cap);
}
