#include "core/timeutil.h"

#include <cerrno>
#include <ctime>

namespace {

bool readClock(struct timespec* now) { return clock_gettime(CLOCK_REALTIME, now) == 0; }

}  // namespace

uint64_t currentTimeMillis() {
  struct timespec now;
  if (!readClock(&now)) return 0;
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec / 1000000);
}

int32_t currentMillisPart() {
  struct timespec now;
  if (!readClock(&now)) return 0;
  return static_cast<int32_t>(now.tv_nsec / 1000000);
}

int32_t sleepSeconds(int64_t seconds) {
  struct timespec pause = {static_cast<time_t>(seconds), 0};
  return nanosleep(&pause, nullptr);
}

void sleepMillis(int64_t millis) {
  struct timespec pause = {static_cast<time_t>(millis / 1000),
                           static_cast<long>((millis % 1000) * 1000000)};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}
