#include "core/shell.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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
    // The limit's clock starts inside runCommandCapture, before the command exists, so no
    // handshake can come first. A command that a loaded machine kept from its first word
    // until the limit started nothing that could be left, and the group test is moot.
    const pid_t shell = static_cast<pid_t>(atol(readFileBytes(pidFile).c_str()));
    if (c.overran && shell == 0) continue;
    ASSERT_GT(shell, 1);
    // The group is gone: nothing in it answers a signal any more (a killed process may
    // take a moment to end on a loaded machine).
    bool gone = false;
    for (int i = 0; i < 1000 && !gone; ++i) {
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
      15);
  const pid_t group = static_cast<pid_t>(atol(readFileBytes(groupFile).c_str()));
  if (group > 1) kill(-group, SIGKILL);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(0, run.exitStatus) << run.output;
}

// The group kill at the limit is for the command's own group only. Once its leader is
// reaped elsewhere (SIGCHLD ignored here) and nothing is left in the group, the kernel
// may give the leader's pid to a new process, which may lead a group of that number:
// killing the group by the old pid would kill a stranger. The stranger is made at once
// with that pid (clone3's set_tid, in a pid namespace of the test's own, so nothing
// outside it is touched); the command's output stays open in a process of another
// session, so the capture runs to its limit.

// The kernel's clone3 arguments up to set_tid_size.
struct CloneArgs {
  uint64_t flags, pidfd, childTid, parentTid, exitSignal, stack, stackSize, tls, setTid,
      setTidSize;
};

// Reads one line of digits from fd within seconds; 0 when none came.
long readNumber(int fd, int seconds) {
  std::string text;
  const int64_t deadline = childDeadline(seconds);
  for (;;) {
    pollfd readable = {fd, POLLIN, 0};
    const int32_t left = millisecondsLeft(deadline);
    if (left == 0 || poll(&readable, 1, left) <= 0) return 0;
    char c = 0;
    if (read(fd, &c, 1) != 1) return 0;
    if (c == '\n') return atol(text.c_str());
    text += c;
  }
}

void writeNumber(int fd, long number) {
  const std::string text = std::to_string(number) + "\n";
  // A raw system call: the stranger runs without the C library's bookkeeping of a fork.
  syscall(SYS_write, fd, text.data(), text.size());
}

// In the stand-in parent: waits for the command to name its pid, then for that pid to
// be free, and takes it for a stranger that leads a session and group of that number.
// Reports the stranger's pid and the moment it led its group (childDeadline(0)), then
// the signal that ended it; stays its parent (so the
// stranger is never a child of the process that runs the command).
[[noreturn]] void standInParent(int fromCommand, int report) {
  const long pid = readNumber(fromCommand, 10);
  if (pid <= 1) _exit(3);
  pid_t tid = static_cast<pid_t>(pid);
  CloneArgs args = {};
  args.exitSignal = SIGCHLD;
  args.setTid = reinterpret_cast<uint64_t>(&tid);
  args.setTidSize = 1;
  const int64_t deadline = childDeadline(10);
  long stranger = -1;
  // EEXIST while the pid is still in use (the command, or a member of its group that
  // has not yet left it).
  while ((stranger = syscall(SYS_clone3, &args, sizeof args)) < 0 && errno == EEXIST &&
         millisecondsLeft(deadline) > 0) {
    sched_yield();
  }
  if (stranger < 0) _exit(4);
  if (stranger == 0) {
    syscall(SYS_setsid);
    writeNumber(report, static_cast<long>(syscall(SYS_getpid)));
    writeNumber(report, static_cast<long>(childDeadline(0)));
    for (;;) syscall(SYS_pause);
  }
  int status = 0;
  if (waitpid(static_cast<pid_t>(stranger), &status, 0) != stranger) _exit(5);
  writeNumber(report, WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  _exit(0);
}

TEST(CommandCapture, GroupOfALeaderReapedElsewhereIsLeftAlone) {
  constexpr int LIMIT = 3;
  const ChildRun run = runInChild(
      [] {
        // The first child of the namespace is its init: the command, its session and the
        // stranger all live inside and end with it.
        if (unshare(CLONE_NEWPID) != 0) return 77;
        const pid_t init = fork();
        if (init < 0) return 78;
        if (init > 0) {
          int status = 0;
          if (waitpid(init, &status, 0) != init) return 79;
          return WIFEXITED(status) ? WEXITSTATUS(status) : 80;
        }
        int named[2], report[2];
        if (pipe(named) != 0 || pipe2(report, O_CLOEXEC) != 0) _exit(81);
        fcntl(named[0], F_SETFD, FD_CLOEXEC);
        const pid_t parent = fork();
        if (parent == 0) {
          close(named[1]);
          standInParent(named[0], report[1]);
        }
        close(named[0]);
        close(report[1]);
        // The kernel reaps the command as it ends.
        signal(SIGCHLD, SIG_IGN);
        setWaitLimitForTests(std::to_string(LIMIT).c_str());
        const std::string command =
            "setsid sleep 30 & echo $$ >&" + std::to_string(named[1]);
        bool overran = false;
        const int64_t limitCame = childDeadline(LIMIT);
        char* out = runCommandCapture(command.c_str(), &overran);
        close(named[1]);
        if (out != nullptr || !overran) _exit(82);
        const long stranger = readNumber(report[0], 1);
        const long ledAt = readNumber(report[0], 1);
        // The stranger led its group before the limit came, or this run shows nothing.
        if (stranger <= 1 || ledAt >= limitCame) _exit(83);
        kill(static_cast<pid_t>(stranger), SIGUSR1);
        const long endedBy = readNumber(report[0], 10);
        _exit(endedBy == SIGUSR1 ? 0 : endedBy == SIGKILL ? 84 : 85);
      },
      LIMIT + 20);
  if (run.exitStatus == 77) GTEST_SKIP() << "no pid namespace of the test's own";
  ASSERT_FALSE(run.timedOut) << run.output;
  EXPECT_EQ(0, run.exitStatus) << "84: the stranger's group was killed\n" << run.output;
  EXPECT_EQ(std::string::npos, run.output.find("ran past its limit")) << run.output;
}

}  // namespace
