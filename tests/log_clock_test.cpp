// The times the log writes, pinned against a clock the test controls: this binary's
// own gettimeofday and clock_gettime come before the C library's for the launcher's
// code linked into it. Unscripted they read the real clock, so nothing else changes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <deque>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/logfile.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_user.h"

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

// Runs in the same second with the same millisecond part never share a file: each later
// one takes the next number and the earlier logs stay whole.
TEST(LogFileName, SameSecondAndMillisecondPartTakesTheNextNumber) {
  const char* const lines[] = {"[Test] first run\n", "[Test] second run\n", "[Test] third run\n"};
  for (int attempt = 0; attempt < 5; ++attempt) {
    ScratchDir dir;
    const std::string master = dir / "m";
    const time_t before = time(nullptr);
    for (const char* line : lines) {
      const ChildRun child = runInChild([&] {
        scriptedMillisPart = 5;
        openLogFile(master.c_str());
        logMessage("%s", line);
        return 0;
      });
      ASSERT_EQ(0, child.exitStatus) << child.output;
    }
    if (time(nullptr) != before) continue;  // a second boundary fell between the runs
    const std::string stem = master + "/logs/Wrapper-" + localStamp(before) + "-005";
    const std::string names[] = {stem + ".log", stem + "-1.log", stem + "-2.log"};
    for (size_t i = 0; i < std::size(names); ++i) {
      const std::string file = readFileBytes(names[i]);
      EXPECT_EQ(1, std::count(file.begin(), file.end(), '\n')) << names[i] << "\n" << file;
      EXPECT_TRUE(file.ends_with(std::string(" ") + lines[i])) << names[i] << "\n" << file;
    }
    return;
  }
  GTEST_SKIP() << "every attempt crossed a second boundary";
}

constexpr uid_t PLANTING_UID = 47241;
constexpr gid_t PLANTING_GID = 100;

struct PlantCase {
  const char* name;
  bool link;  // a link to a file of root's, else a file of the planter's own
};

void PrintTo(const PlantCase& c, std::ostream* os) { *os << c.name; }

class PlantedLogName : public testing::TestWithParam<PlantCase> {};

// Another user who may write the logs folder puts a file or a link at every name the
// next run could take: the run's lines reach neither, they go to the next free name.
TEST_P(PlantedLogName, IsLeftAsItWasAndTheRunLogsElsewhere) {
  ScratchDir dir;
  const std::string logs = dir / "m/logs";
  ASSERT_EQ(0, mkdir((dir / "m").c_str(), 0755));
  ASSERT_EQ(0, mkdir(logs.c_str(), 0777));
  ASSERT_EQ(0, chmod(logs.c_str(), 0777));
  chmod(dir.path().c_str(), 0755);
  const std::string victim = dir / "victim";
  writeFileBytes(victim, "root's own\n");
  writeFileBytes(dir / "passwd", passwdText({{"hvplanter", PLANTING_UID, PLANTING_GID, ""}}));

  const time_t before = time(nullptr);
  std::vector<std::string> planted;
  for (time_t second = before; second <= before + 5; ++second) {
    planted.push_back(logs + "/Wrapper-" + localStamp(second) + "-005.log");
  }
  const ChildRun plant = runAsUser(dir / "passwd", PLANTING_UID, PLANTING_GID, [&] {
    for (const std::string& path : planted) {
      const bool made = GetParam().link ? symlink(victim.c_str(), path.c_str()) == 0
                                        : (writeFileBytes(path, "planted\n"), pathExists(path));
      if (!made) return 1;
    }
    return 0;
  });
  ASSERT_EQ(0, plant.exitStatus) << plant.output;

  const ChildRun child = runInChild([&] {
    scriptedMillisPart = 5;
    openLogFile((dir / "m").c_str());
    logMessage("[Test] the run's line\n");
    return 0;
  }, 20);
  ASSERT_EQ(0, child.exitStatus) << child.output;
  ASSERT_GT(before + 5, time(nullptr)) << "the run took longer than the planted names cover";

  EXPECT_EQ("root's own\n", readFileBytes(victim));
  int taken = 0;
  for (const std::string& path : planted) {
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st)) << path;
    EXPECT_EQ(PLANTING_UID, st.st_uid) << path;
    if (!GetParam().link) {
      EXPECT_EQ("planted\n", readFileBytes(path)) << path;
    }
    const std::string numbered = path.substr(0, path.size() - 4) + "-1.log";
    if (!pathExists(numbered)) continue;
    ++taken;
    EXPECT_NE(std::string::npos,
              child.output.find("[Extractor] Log file " + path +
                                " exists already, taking the next free name\n"))
        << child.output;
    EXPECT_NE(std::string::npos, child.output.find("[Extractor] Logging to " + numbered + "\n"))
        << child.output;
    const std::string file = readFileBytes(numbered);
    EXPECT_TRUE(file.ends_with(" [Test] the run's line\n")) << file;
    EXPECT_EQ(0, lstat(numbered.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0u, st.st_uid);
  }
  EXPECT_EQ(1, taken) << child.output;
}

INSTANTIATE_TEST_SUITE_P(Kinds, PlantedLogName,
                         testing::Values(PlantCase{"File", false}, PlantCase{"LinkToRootsFile", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Another user who may write the master folder puts a link to a folder of its own in the
// place of "logs": the run makes no file there and logs to the console only.
TEST(PlantedLogName, LinkInPlaceOfTheLogsFolderIsNeverFollowed) {
  ScratchDir dir;
  const std::string master = dir / "m";
  const std::string elsewhere = dir / "elsewhere";
  ASSERT_EQ(0, mkdir(master.c_str(), 0777));
  ASSERT_EQ(0, chmod(master.c_str(), 0777));
  ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0777));
  ASSERT_EQ(0, chmod(elsewhere.c_str(), 0777));
  chmod(dir.path().c_str(), 0755);
  writeFileBytes(dir / "passwd", passwdText({{"hvplanter", PLANTING_UID, PLANTING_GID, ""}}));
  const ChildRun plant = runAsUser(dir / "passwd", PLANTING_UID, PLANTING_GID, [&] {
    return symlink(elsewhere.c_str(), (master + "/logs").c_str()) == 0 ? 0 : 1;
  });
  ASSERT_EQ(0, plant.exitStatus) << plant.output;

  const ChildRun child = runInChild([&] {
    openLogFile(master.c_str());
    logMessage("[Test] console only\n");
    return 0;
  }, 20);
  ASSERT_EQ(0, child.exitStatus) << child.output;
  EXPECT_TRUE(child.output.find("[Test] console only\n") != std::string::npos) << child.output;
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere, ec)) << child.output;
  EXPECT_TRUE(std::filesystem::is_symlink(master + "/logs"));
}

}  // namespace
