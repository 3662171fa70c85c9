#include "core/log.h"

#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include <algorithm>
#include <cctype>
#include <atomic>
#include <climits>
#include <thread>
#include <sys/stat.h>

namespace {

struct PrefixCase {
  unsigned long long elapsed;
  const char* expected;
};

TEST(LogPrefix, PadsToEightAndNeverCuts) {
  const PrefixCase cases[] = {
      {0, "+0        "},
      {5, "+5        "},
      {12345678, "+12345678 "},
      {123456789, "+123456789 "},
      // A clock stepping back shows the difference as unsigned 64-bit.
      {static_cast<unsigned long long>(-3LL), "+18446744073709551613 "},
  };
  for (const auto& c : cases) {
    char buffer[32];
    formatLogPrefix(buffer, sizeof buffer, c.elapsed);
    EXPECT_STREQ(c.expected, buffer) << c.elapsed;
  }
}

std::string readFile(const std::string& path) { return readFileBytes(path); }

// Runs fn in a fresh process (so lastLogMillis starts at 0) with a log file installed;
// returns {log file, stdout}.
template <typename Fn>
std::pair<std::string, std::string> runLogged(Fn fn) {
  ScratchDir dir;
  const std::string logPath = dir / "log";
  const ChildRun child = runInChild([&] {
    setLogFile(fopen(logPath.c_str(), "w"));
    fn();
    return 0;
  });
  EXPECT_EQ(0, child.exitStatus);
  return {readFile(logPath), child.output};
}

TEST(LogMessage, FirstLineIsZeroAndBothOutputsMatch) {
  auto [file, out] = runLogged([] {
    usleep(20000);
    logMessage("[Test] first %d\n", 1);
    logMessage("[Test] second %s\n", "x");
  });
  EXPECT_EQ(file, out);
  EXPECT_EQ(0u, file.find("+0        [Test] first 1\n"));
  EXPECT_NE(std::string::npos, file.find("[Test] second x\n"));
}

// A failing log file (a full disk) sets errno as each line is written; the reason of the
// failure logged just before must survive for the "Cannot ...: <reason>" line after it.
TEST(LogMessage, KeepsErrnoAlsoWhenTheLogFileFails) {
  const ChildRun child = runInChild([] {
    setLogFile(fopen("/dev/full", "we"));
    errno = EACCES;
    logMessage("[Test] a line\n");
    if (errno != EACCES) return 1;
    errno = ENOENT;
    logBanner("a banner\n");
    return errno == ENOENT ? 0 : 2;
  });
  EXPECT_EQ(0, child.exitStatus) << child.output;
}

TEST(LogMessage, FramingLinesEachCarryAPrefix) {
  auto [file, out] = runLogged([] {
    logBanner("No private JRE available!\n");
    logStart("Spawn launch");
    logEnd("Spawn launch");
  });
  std::istringstream lines(out);
  std::string line;
  std::vector<std::string> bodies;
  while (std::getline(lines, line)) {
    ASSERT_EQ('+', line[0]);
    ASSERT_GE(line.size(), 10u);
    // "+" then the number padded to at least 8, then one blank
    size_t end = 1;
    while (end < line.size() && isdigit(static_cast<unsigned char>(line[end]))) ++end;
    ASSERT_GE(line.size(), std::max<size_t>(end + 1, 10)) << line;
    bodies.push_back(line.substr(std::max<size_t>(end + 1, 10)));
  }
  const std::string stars(43, '*'), plus(48, '+'), minus(48, '-');
  const std::vector<std::string> expected = {stars, "No private JRE available!", stars,
                                             plus,  "+++ Start: Spawn launch",   plus,
                                             minus, "--- End: Spawn launch",     minus};
  EXPECT_EQ(expected, bodies);
  EXPECT_EQ(file, out);
}

TEST(LogMessage, AfterCloseOnlyStandardOutput) {
  auto [file, out] = runLogged([] {
    logMessage("in file\n");
    closeLogFile();
    logMessage("console only\n");
    closeLogFile();  // no file: just the line
  });
  EXPECT_NE(std::string::npos, file.find("[Utils] Closing logging file.\n"));
  EXPECT_EQ(std::string::npos, file.find("console only"));
  EXPECT_NE(std::string::npos, out.find("console only\n"));
  // the closing line, then "console only", then the second closing line
  const auto first = out.find("[Utils] Closing logging file.\n");
  EXPECT_NE(std::string::npos, out.find("[Utils] Closing logging file.\n", first + 1));
}

// Lines of another thread while the main thread installs and closes log files: no line
// reaches a closed stream (ASan: use after free; TSan: a race), every line in a file is
// whole, and the closing line is the last one in its file.
TEST(LogMessage, LinesOfAnotherThreadWhileFilesAreSwitched) {
  ScratchDir dir;
  constexpr int FILES = 40;
  const ChildRun child = runInChild([&dir] {
    std::atomic<bool> stop{false};
    std::thread writer([&stop] {
      for (int i = 0; !stop.load(); ++i) logMessage("[Test] line %d of the writer\n", i);
    });
    for (int f = 0; f < FILES; ++f) {
      const std::string path = dir / ("log" + std::to_string(f));
      setLogFile(fopen(path.c_str(), "we"));
      usleep(2000);
      closeLogFile();
    }
    stop.store(true);
    writer.join();
    return 0;
  });
  ASSERT_EQ(0, child.exitStatus);
  for (int f = 0; f < FILES; ++f) {
    const std::string text = readFile(dir / ("log" + std::to_string(f)));
    std::istringstream lines(text);
    std::string line, last;
    while (std::getline(lines, line)) {
      ASSERT_EQ('+', line[0]) << line;
      const bool writerLine = line.find("[Test] line ") != std::string::npos &&
                              line.size() > 18 && line.compare(line.size() - 14, 14, " of the writer") == 0;
      const bool closing = line.find("[Utils] Closing logging file.") != std::string::npos;
      ASSERT_TRUE(writerLine || closing) << line;
      // Exactly one prefix per line: the halves of two lines never interleave.
      ASSERT_EQ(1u, std::count(line.begin(), line.end(), '[')) << line;
      last = line;
    }
    EXPECT_NE(std::string::npos, last.find("[Utils] Closing logging file.")) << f;
  }
}

// The working-folder line never shows unwritten memory when the folder cannot be read.
TEST(LogWorkingDir, UnreadableFolderGivesAFixedText) {
  struct Case {
    const char* name;
    bool removed;  // else: deeper than the 1024-byte buffer
  };
  for (const Case c : {Case{"removed", true}, Case{"too long", false}}) {
    ScratchDir dir;
    auto [file, out] = runLogged([&dir, c] {
      if (c.removed) {
        const std::string gone = dir / "gone";
        mkdir(gone.c_str(), 0777);
        if (chdir(gone.c_str()) != 0) _exit(4);
        rmdir(gone.c_str());
      } else {
        if (chdir(dir.path().c_str()) != 0) _exit(4);
        const std::string part(200, 'd');
        for (int i = 0; i < 6; ++i) {
          mkdir(part.c_str(), 0777);
          if (chdir(part.c_str()) != 0) _exit(4);
        }
      }
      logWorkingDir();
    });
    EXPECT_EQ("+0        [Extractor] Working dir is '(unknown)'\n", out) << c.name;
  }
}

}  // namespace
