#include "core/log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include <algorithm>
#include <cctype>

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

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs fn in a fresh process (so lastLogMillis starts at 0) with the log file and
// standard output both going to files; returns {log file, stdout}.
template <typename Fn>
std::pair<std::string, std::string> runLogged(Fn fn) {
  char dir[] = "/tmp/hvlogXXXXXX";
  EXPECT_NE(nullptr, mkdtemp(dir));
  const std::string logPath = std::string(dir) + "/log";
  const std::string outPath = std::string(dir) + "/out";
  pid_t pid = fork();
  if (pid == 0) {
    freopen(outPath.c_str(), "w", stdout);
    setLogFile(fopen(logPath.c_str(), "w"));
    fn();
    endProcess(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto result = std::make_pair(readFile(logPath), readFile(outPath));
  std::string cmd = std::string("rm -rf ") + dir;
  EXPECT_EQ(0, system(cmd.c_str()));
  return result;
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

}  // namespace
