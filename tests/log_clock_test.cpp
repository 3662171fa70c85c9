// The times the log writes, pinned against a clock the test controls: this binary's
// own gettimeofday and clock_gettime come before the C library's for the launcher's
// code linked into it. Unscripted they read the real clock, so nothing else changes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <deque>
#include <string>

#include "core/log.h"
#include "core/logfile.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"

namespace {

// Readings gettimeofday hands out in order, in milliseconds; the real clock once empty.
std::deque<int64_t> scriptedMillis;
// The millisecond part clock_gettime(CLOCK_REALTIME) reports, or -1 for the real one.
int scriptedMillisPart = -1;

}  // namespace

extern "C" int gettimeofday(struct timeval* tv, void* tz) noexcept {
  if (scriptedMillis.empty()) return static_cast<int>(syscall(SYS_gettimeofday, tv, tz));
  const int64_t millis = scriptedMillis.front();
  scriptedMillis.pop_front();
  tv->tv_sec = millis / 1000;
  tv->tv_usec = (millis % 1000) * 1000 + 999;  // the microseconds are cut, not rounded
  return 0;
}

extern "C" int clock_gettime(clockid_t clock, struct timespec* now) noexcept {
  const int result = static_cast<int>(syscall(SYS_clock_gettime, clock, now));
  if (result == 0 && clock == CLOCK_REALTIME && scriptedMillisPart >= 0) {
    now->tv_nsec = scriptedMillisPart * 1000000L + 999999;
  }
  return result;
}

namespace {

// Each log line reads the clock twice: before it is written (its elapsed time counts
// from the previous line's second reading) and after.
TEST(LogClock, BannersMiddleLineCountsFromTheEndOfTheFirstStarLine) {
  ScratchDir dir;
  const std::string logPath = dir / "log";
  const ChildRun child = runInChild([&] {
    setLogFile(fopen(logPath.c_str(), "we"));
    scriptedMillis = {1000, 1000,   // the line before
                      1005, 1006,   // star line
                      1406, 1407,   // middle line
                      1417, 1500};  // star line
    logMessage("[Test] before\n");
    logBanner("No private JRE available!\n");
    return scriptedMillis.empty() ? 0 : 3;
  });
  ASSERT_EQ(0, child.exitStatus) << child.output;
  const std::string stars(43, '*');
  const std::string expected = "+0        [Test] before\n"
                               "+5        " + stars + "\n"
                               "+400      No private JRE available!\n"
                               "+10       " + stars + "\n";
  EXPECT_EQ(expected, child.output);
  EXPECT_EQ(expected, readFileBytes(logPath));
}

std::string localStamp(time_t seconds) {
  struct tm local;
  char stamp[64] = {0};
  localtime_r(&seconds, &local);
  strftime(stamp, sizeof stamp, "%Y-%m-%d-%H-%M-%S", &local);
  return stamp;
}

struct MillisCase {
  const char* name;
  int millisPart;
  const char* field;
};

class LogFileNameMillis : public testing::TestWithParam<MillisCase> {};

// The name is the local time of opening to the second, then the millisecond part of
// the clock as three digits.
TEST_P(LogFileNameMillis, IsTheClocksMillisecondPartInThreeDigits) {
  ScratchDir dir;
  const std::string master = dir / "m";
  const time_t before = time(nullptr);
  const ChildRun child = runInChild([&] {
    scriptedMillisPart = GetParam().millisPart;
    openLogFile(master.c_str());
    return 0;
  });
  const time_t after = time(nullptr);
  ASSERT_EQ(0, child.exitStatus) << child.output;
  bool found = false;
  for (time_t second = before; second <= after && !found; ++second) {
    const std::string path =
        master + "/logs/Wrapper-" + localStamp(second) + "-" + GetParam().field + ".log";
    found = pathExists(path) &&
            child.output.find("[Extractor] Logging to " + path + "\n") != std::string::npos;
  }
  EXPECT_TRUE(found) << child.output;
}

INSTANTIATE_TEST_SUITE_P(Cases, LogFileNameMillis,
                         testing::Values(MillisCase{"Zero", 0, "000"}, MillisCase{"OneDigit", 7, "007"},
                                         MillisCase{"TwoDigits", 42, "042"},
                                         MillisCase{"Largest", 999, "999"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Two runs in the same second with the same millisecond part share the name: the
// second truncates the first's file.
TEST(LogFileName, SameSecondAndMillisecondPartReusesTheFile) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    ScratchDir dir;
    const std::string master = dir / "m";
    const time_t before = time(nullptr);
    for (const char* line : {"[Test] first run\n", "[Test] second run\n"}) {
      const ChildRun child = runInChild([&] {
        scriptedMillisPart = 5;
        openLogFile(master.c_str());
        logMessage("%s", line);
        return 0;
      });
      ASSERT_EQ(0, child.exitStatus) << child.output;
    }
    if (time(nullptr) != before) continue;  // a second boundary fell between the runs
    const std::string path = master + "/logs/Wrapper-" + localStamp(before) + "-005.log";
    const std::string file = readFileBytes(path);
    EXPECT_EQ(std::string::npos, file.find("first run")) << file;
    EXPECT_TRUE(file.ends_with(" [Test] second run\n")) << file;
    return;
  }
  GTEST_SKIP() << "every attempt crossed a second boundary";
}

}  // namespace
