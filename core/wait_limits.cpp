#include "core/wait_limits.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace {

// 0: no shortening.
std::atomic<long> testCap{0};

// A positive whole number, else 0.
long readCap(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  errno = 0;
  const long cap = strtol(text, &end, 10);
  return errno != 0 || *end != '\0' || cap < 1 ? 0 : cap;
}

}  // namespace

int32_t waitLimitSeconds(int32_t limit) {
  long cap = testCap.load();
  if (cap == 0 && geteuid() != 0) cap = readCap(getenv(WAIT_LIMIT_ENV));
  if (cap < 1 || cap >= limit) return limit;
  return static_cast<int32_t>(cap);
}

void setWaitLimitForTests(const char* text) { testCap.store(readCap(text)); }
