#include "core/shell.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <signal.h>
#include <unistd.h>

#include "core/paths.h"
#include "core/spawner.h"
#include "core/wait_limits.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"

namespace {

struct QuoteCase {
  const char* name;
  const char* text;
  const char* quoted;
};

class ShellQuoteTest : public ::testing::TestWithParam<QuoteCase> {};

// The quoted form is exact, and the shell hands the text back byte for byte without
// running anything in it.
TEST_P(ShellQuoteTest, ShellSeesTheTextUnharmed) {
  const QuoteCase& c = GetParam();
  char buffer[PATH_BUFFER_SIZE] = "";
  ASSERT_TRUE(appendShellQuoted(buffer, sizeof buffer, c.text));
  EXPECT_STREQ(c.quoted, buffer);

  ScratchDir dir;
  char command[PATH_BUFFER_SIZE];
  ASSERT_TRUE(buildShellCommand(command, sizeof command,
                                ("cd '" + dir.path() + "' && printf %s ").c_str(), c.text));
  char* out = runCommandCapture(command);
  ASSERT_NE(nullptr, out);
  EXPECT_STREQ(c.text, out);
  free(out);
  EXPECT_FALSE(pathExists(dir / "pwned"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShellQuoteTest,
    ::testing::Values(QuoteCase{"Plain", "/opt/x y", "'/opt/x y'"},
                      QuoteCase{"Empty", "", "''"},
                      QuoteCase{"SingleQuote", "it's", "'it'\\''s'"},
                      QuoteCase{"OnlyQuotes", "''", "''\\'''\\'''"},
                      QuoteCase{"DoubleQuoteDollar", "a\"$(touch pwned)\"", "'a\"$(touch pwned)\"'"},
                      QuoteCase{"BackquoteBackslash", "`touch pwned`\\n;x", "'`touch pwned`\\n;x'"},
                      QuoteCase{"QuoteThenCommand", "x'; touch pwned; '", "'x'\\''; touch pwned; '\\'''"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ShellCommand, RefusedWhenItDoesNotFitAndNeverWrittenPast) {
  struct Case {
    size_t pathLength;
    bool fits;
  };
  // "chmod 777 " (10) + 2 quotes + path + 0x00 in 100 bytes: 87 fits, 88 does not.
  const Case cases[] = {{87, true}, {88, false}, {500, false}};
  for (const Case& c : cases) {
    char buffer[100 + 16];
    memset(buffer, 'G', sizeof buffer);
    const std::string path(c.pathLength, 'p');
    EXPECT_EQ(c.fits, buildShellCommand(buffer, 100, "chmod 777 ", path.c_str())) << c.pathLength;
    if (c.fits) {
      EXPECT_EQ("chmod 777 '" + path + "'", std::string(buffer));
    } else {
      EXPECT_EQ(0, buffer[0]);
    }
    for (size_t i = 100; i < sizeof buffer; ++i) ASSERT_EQ('G', buffer[i]) << c.pathLength;
  }
}

struct CaptureCase {
  const char* name;
  const char* command;
  std::string output;
};

class CaptureTest : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(CaptureTest, TrimsTrailingBlanksCrAndLf) {
  char* out = runCommandCapture(GetParam().command);
  ASSERT_NE(nullptr, out);
  EXPECT_EQ(GetParam().output, std::string(out));
  free(out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CaptureTest,
    ::testing::Values(
        CaptureCase{"BlankCrLfLf", "printf 'x \\r\\n\\n'", "x"},
        CaptureCase{"NothingIsEmptyNotNull", "true", ""},
        CaptureCase{"TabsStay", "printf 'a\\tb\\t'", "a\tb\t"},
        CaptureCase{"InnerLinesStay", "printf 'a\\nb\\n'", "a\nb"},
        CaptureCase{"OnlyStandardOutput", "echo err >&2; echo out", "out"},
        CaptureCase{"LongOutputCut", "head -c 20000 /dev/zero | tr '\\0' a",
                    std::string(COMMAND_OUTPUT_SIZE - 1, 'a')},
        // An endless command must not hold the caller.
        CaptureCase{"EndlessOutputCut", "yes abc",
                    [] {
                      std::string s;
                      while (s.size() < COMMAND_OUTPUT_SIZE - 1) s += "abc\n";
                      s.resize(COMMAND_OUTPUT_SIZE - 1);
                      while (!s.empty() && s.back() == '\n') s.pop_back();
                      return s;
                    }()}),
    [](const auto& info) { return std::string(info.param.name); });

struct LimitCase {
  const char* name;
  const char* command;
  bool overran;
  const char* output;  // the answer when it did not overrun
};

// A command still running at its limit is killed with everything it started (its group),
// named in one line with the limit, and gives no answer; one that ends in time is read
// as before. A command that ended but left a process holding its output is still late.
TEST(CommandCapture, CommandPastItsLimitIsKilledAndGivesNoAnswer) {
  // The shortened limit; a loaded machine may take seconds more to end a command, a
  // command that is never ended runs on far past limit + 10 s.
  constexpr int LIMIT = 3;
  const LimitCase cases[] = {
      {"ends in time", "sleep 0.2; echo ok", false, "ok"},
      {"never ends", "echo partial; sleep 30", true, nullptr},
      {"leaves a process holding its output", "sleep 30 & echo started", true, nullptr},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string pidFile = dir / "pids";
    const std::string command = std::string("echo $$ >> '") + pidFile + "'; " + c.command;
    const ChildRun run = runInChild(
        [&] {
          setWaitLimitForTests(std::to_string(LIMIT).c_str());
          bool overran = !c.overran;
          const auto start = std::chrono::steady_clock::now();
          char* out = runCommandCapture(command.c_str(), &overran);
          const double seconds =
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          const bool answered = c.output != nullptr ? out != nullptr && strcmp(out, c.output) == 0
                                                    : out == nullptr;
          free(out);
          return overran == c.overran && answered && seconds < LIMIT + 10 ? 0 : 3;
        },
        LIMIT + 20);
    ASSERT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(0, run.exitStatus) << run.output;
    const std::string line = "[Spawner] " + command + " ran past its limit of " +
                             std::to_string(LIMIT) + " seconds and was killed\n";
    EXPECT_EQ(c.overran, run.output.find(line) != std::string::npos) << run.output;
    const pid_t shell = static_cast<pid_t>(atol(readFileBytes(pidFile).c_str()));
    ASSERT_GT(shell, 1);
    // The group is gone: nothing in it answers a signal any more.
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
      gone = kill(-shell, 0) != 0;
      if (!gone) usleep(10000);
    }
    EXPECT_TRUE(gone) << "the command's group still runs";
  }
}

// The launcher ignores SIGPIPE for itself; a command it captures must not inherit that,
// or a shell loop still writing after the cut would run for ever.
TEST(CommandCapture, EndlessShellLoopEndsAfterTheCutInTheLauncher) {
  ScratchDir dir;
  const std::string groupFile = dir / "group";
  const ChildRun run = runInChild(
      [&] {
        // A loop left running is killed at the (shortened) limit, and fails the test.
        setWaitLimitForTests("5");
        // Its own process group, so that a loop left running can be ended below.
        setpgid(0, 0);
        writeFileBytes(groupFile, std::to_string(getpid()));
        signal(SIGPIPE, SIG_DFL);
        ignoreLauncherSignal(SIGPIPE);
        char* out = runCommandCapture("while :; do echo abc; done");
        const bool cut = out != nullptr && strlen(out) >= COMMAND_OUTPUT_SIZE - 4;
        free(out);
        return cut ? 0 : 3;
      },
      20);
  const pid_t group = static_cast<pid_t>(atol(readFileBytes(groupFile).c_str()));
  if (group > 1) kill(-group, SIGKILL);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(0, run.exitStatus) << run.output;
}

}  // namespace
