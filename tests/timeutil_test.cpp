#include "core/timeutil.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

uint64_t wallMillis() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000 + static_cast<uint64_t>(tv.tv_usec / 1000);
}

TEST(Clock, ReadingsAreEpochMillisAndTheirMillisecondPart) {
  const uint64_t before = wallMillis();
  const uint64_t now = currentTimeMillis();
  const uint64_t after = wallMillis();
  EXPECT_LE(before, now);
  EXPECT_GE(after, now);
  for (int i = 0; i < 1000; ++i) {
    const int32_t part = currentMillisPart();
    ASSERT_GE(part, 0);
    ASSERT_LE(part, 999);
  }
}

TEST(Sleep, SecondsPauseAtLeastThatLong) {
  const uint64_t before = wallMillis();
  EXPECT_EQ(0, sleepSeconds(1));
  EXPECT_GE(wallMillis() - before, 1000u);
}

void onAlarm(int) {}

TEST(Sleep, SignalCutsASecondsPauseShort) {
  struct sigaction sa = {};
  sa.sa_handler = onAlarm;  // no SA_RESTART: nanosleep returns early
  struct sigaction old;
  ASSERT_EQ(0, sigaction(SIGALRM, &sa, &old));
  alarm(1);
  // Without the signal this would pause for an hour and time the test out.
  EXPECT_EQ(-1, sleepSeconds(3600));
  sigaction(SIGALRM, &old, nullptr);
}

TEST(Sleep, MillisPauseIsResumedAfterASignal) {
  struct sigaction sa = {};
  sa.sa_handler = onAlarm;
  struct sigaction old;
  ASSERT_EQ(0, sigaction(SIGALRM, &sa, &old));
  struct itimerval timer = {};
  timer.it_value.tv_usec = 50000;
  setitimer(ITIMER_REAL, &timer, nullptr);
  const uint64_t before = wallMillis();
  sleepMillis(300);
  EXPECT_GE(wallMillis() - before, 300u);
  sigaction(SIGALRM, &old, nullptr);
}

}  // namespace
