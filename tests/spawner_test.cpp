#include "core/spawner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/wait_limits.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

void writeScript(const std::string& path, const std::string& text) {
  writeFileBytes(path, text);
  chmod(path.c_str(), 0755);
}

// A script that records how it was started: its argv[0], then each argument, one a line.
std::string writeRecorder(const ScratchDir& dir, const std::string& name) {
  const std::string path = dir / name;
  writeScript(path,
              "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"" + (dir / "record") + "\"\n"
              "printf '%s\\n' \"$#\" > \"" + (dir / "count") + "\"\n");
  return path;
}

TEST(Spawner, VectorIsExeThenArgumentsThenEmptySlot) {
  ScratchDir dir;
  const std::string exe = writeRecorder(dir, "java");
  const char* first = "-version two";  // one argument: no shell splits it
  const char* second = "x";
  int32_t result = -2;
  Spawner filled = {};  // the vector as it stood before the run
  const std::string out = captureStdout([&] {
    Spawner* spawner = createSpawner();
    setSpawnerExe(spawner, exe.c_str());
    appendSpawnerArgument(spawner, first);
    appendSpawnerArgument(spawner, second);
    filled = *spawner;
    result = runSpawnerAndWait(spawner);
    freeSpawner(spawner);
  });
  EXPECT_EQ(exe.c_str(), filled.slots[0]);
  EXPECT_EQ(first, filled.slots[1]);
  EXPECT_EQ(second, filled.slots[2]);
  EXPECT_EQ(nullptr, filled.slots[3]);
  EXPECT_EQ(0, result);
  EXPECT_EQ(exe + "\n-version two\nx\n", readFileBytes(dir / "record"));
  EXPECT_TRUE(contains(out, "[Spawner] Creating spawner\n"));
  EXPECT_TRUE(contains(out, "[Spawner] Setting spawner exe to " + exe + "\n"));
  EXPECT_TRUE(contains(out, "[Spawner] Appended argument " + exe + "\n"));
  EXPECT_TRUE(contains(out, "[Spawner] Appended argument -version two\n"));
  EXPECT_TRUE(contains(out, "[Spawner] Success - pid:"));
}

// A bare name is a file in the current folder, never a PATH lookup.
struct BareNameCase {
  const char* label;
  const char* name;
  bool presentInCurrentFolder;
  int32_t expected;
};

void PrintTo(const BareNameCase& c, std::ostream* os) { *os << c.label; }

class SpawnerBareName : public testing::TestWithParam<BareNameCase> {};

TEST_P(SpawnerBareName, IsTakenRelativeToTheCurrentFolder) {
  const BareNameCase& c = GetParam();
  ScratchDir onPath, current;
  writeScript(onPath / c.name, "#!/bin/sh\nexit 9\n");
  if (c.presentInCurrentFolder) writeScript(current / c.name, "#!/bin/sh\nexit 7\n");
  const ChildRun run = runInChild([&] {
    const std::string path = onPath.path() + ":" + getenv("PATH");
    setenv("PATH", path.c_str(), 1);
    if (chdir(current.path().c_str()) != 0) return 120;
    Spawner* spawner = createSpawner();
    setSpawnerExe(spawner, c.name);
    return runSpawnerAndWait(spawner) & 0xff;
  });
  EXPECT_EQ(c.expected & 0xff, run.exitStatus) << run.output;
  if (c.expected < 0) {
    EXPECT_TRUE(contains(run.output, "[Spawner] Error - ret:2\n")) << run.output;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SpawnerBareName,
                         testing::Values(BareNameCase{"Missing", "hvbareprog", false, -1},
                                         BareNameCase{"InCurrentFolder", "hvbareprog", true, 7}),
                         [](const testing::TestParamInfo<BareNameCase>& info) {
                           return info.param.label;
                         });

struct ExitCase {
  const char* label;
  const char* script;
  int32_t expected;
  const char* doneLine;  // the raw status as logged
  bool signalLine;
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.label; }

class SpawnerExit : public testing::TestWithParam<ExitCase> {};

enum class RunKind { Unlimited, Limited, Command };

// A child that ends within its limit gives the same result as one without a limit; a
// system command counts only by its exit status, so a signal's end is a failure (-1).
TEST_P(SpawnerExit, ResultFollowsTheWaitStatus) {
  const ExitCase& c = GetParam();
  for (const RunKind kind : {RunKind::Unlimited, RunKind::Limited, RunKind::Command}) {
    SCOPED_TRACE(kind == RunKind::Unlimited ? "without a limit"
                 : kind == RunKind::Limited ? "with a limit"
                                            : "as a command");
    const bool command = kind == RunKind::Command;
    int32_t result = -2;
    const std::string out = captureStdout([&] {
      Spawner* spawner = createSpawner();
      // A command's name is looked up in PATH.
      setSpawnerExe(spawner, command ? "sh" : "/bin/sh");
      appendSpawnerArgument(spawner, "-c");
      appendSpawnerArgument(spawner, c.script);
      result = kind == RunKind::Unlimited ? runSpawnerAndWait(spawner)
               : command                  ? runCommandWithin(spawner, 30)
                                          : runSpawnerAndWaitWithin(spawner, 30);
      freeSpawner(spawner);
    });
    EXPECT_EQ(command && c.signalLine ? -1 : c.expected, result) << out;
    EXPECT_TRUE(contains(out, c.doneLine)) << out;
    EXPECT_EQ(c.signalLine && !command, contains(out, "[Spawner] runSpawnerAndWait returned 0\n"))
        << out;
    EXPECT_FALSE(contains(out, "ran past its limit")) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpawnerExit,
    testing::Values(ExitCase{"Pass72", "exit 72", 72, " status:18432.\n", false},
                    ExitCase{"Zero", "exit 0", 0, " status:0.\n", false},
                    ExitCase{"Max", "exit 255", 255, " status:65280.\n", false},
                    ExitCase{"Killed", "kill -KILL $$", 0, " status:9.\n", true},
                    ExitCase{"Terminated", "kill -TERM $$; exit 4", 0, " status:15.\n", true}),
    [](const testing::TestParamInfo<ExitCase>& info) { return info.param.label; });

// Whether a process is gone (a zombie counts as gone), waiting up to ten seconds: a
// killed process may take a moment to end on a loaded machine.
bool endsSoon(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    if (kill(pid, 0) != 0) return true;
    const std::string stat = readFileBytes("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') {
      return true;
    }
    usleep(10000);
  }
  return false;
}

// Whether nothing is left in a process group, waiting up to ten seconds.
bool groupEndsSoon(pid_t group) {
  for (int i = 0; i < 1000; ++i) {
    if (kill(-group, 0) != 0) return true;
    usleep(10000);
  }
  return false;
}

// The shortened limit of these runs; a child that is never killed runs on far past
// limit + 10 s.
constexpr int LIMIT = 3;

// A run past its limit gives a result no exit status can give, one line names the
// program and the limit in force, and nothing of its group is left.
TEST(Spawner, RunPastItsLimitGivesItsOwnResult) {
  const ChildRun run = runInChild(
      [] {
        setWaitLimitForTests(std::to_string(LIMIT).c_str());
        Spawner* spawner = createSpawner();
        setSpawnerExe(spawner, "/bin/sh");
        appendSpawnerArgument(spawner, "-c");
        appendSpawnerArgument(spawner, "sleep 30 & sleep 30");
        const auto start = std::chrono::steady_clock::now();
        const int32_t result = runSpawnerAndWaitWithin(spawner, WORK_CHILD_LIMIT_SECONDS);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return result == SPAWN_PAST_LIMIT && seconds >= LIMIT && seconds < LIMIT + 10 ? 0 : 3;
      },
      LIMIT + 20);
  ASSERT_FALSE(run.timedOut) << run.output;
  EXPECT_EQ(0, run.exitStatus) << run.output;
  EXPECT_TRUE(contains(run.output, "[Spawner] /bin/sh ran past its limit of " +
                                       std::to_string(LIMIT) + " seconds and was killed\n"))
      << run.output;
  EXPECT_FALSE(contains(run.output, "Spawn call done")) << run.output;
  const auto at = run.output.find("[Spawner] Success - pid:");
  ASSERT_NE(std::string::npos, at) << run.output;
  const pid_t pid = static_cast<pid_t>(atol(run.output.c_str() + at + 24));
  ASSERT_GT(pid, 1);
  EXPECT_TRUE(groupEndsSoon(pid)) << "the group of " << pid << " still runs";
}

// At its deadline a child is killed with everything in its group. The child names
// itself and the helper it started through a pipe before the clock starts, so both are
// known to exist when the limit comes.
TEST(Spawner, ChildPastItsDeadlineIsKilledWithItsGroup) {
  const ChildRun run = runInChild(
      [] {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return 90;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 3);
        const char* const argv[] = {"/bin/sh", "-c", "sleep 30 & echo $$ $! >&3; sleep 30",
                                    nullptr};
        pid_t pid = -1;
        const int started = spawnProgram(&pid, argv[0], &actions, argv, true);
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        if (started != 0) return 91;
        char said[64] = {};
        pollfd readable = {ends[0], POLLIN, 0};
        if (poll(&readable, 1, 10000) != 1 || read(ends[0], said, sizeof said - 1) <= 0) {
          kill(-pid, SIGKILL);
          return 92;
        }
        const char* space = strchr(said, ' ');
        if (space == nullptr || atol(said) != pid || atol(space + 1) <= 1) return 93;
        const pid_t helper = static_cast<pid_t>(atol(space + 1));
        const auto start = std::chrono::steady_clock::now();
        int status = 0;
        const ChildWait outcome = waitChildUntil(pid, childDeadline(LIMIT), LIMIT, "hvsleeper",
                                                 &status);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (outcome != ChildWait::Killed) return 94;
        if (seconds < LIMIT || seconds >= LIMIT + 10) return 95;
        // Reaped: its pid names nothing of ours any more.
        if (waitpid(pid, &status, WNOHANG) != -1 || errno != ECHILD) return 96;
        return endsSoon(helper) ? 0 : 97;
      },
      LIMIT + 30);
  ASSERT_FALSE(run.timedOut) << run.output;
  EXPECT_EQ(0, run.exitStatus) << run.output;
  EXPECT_TRUE(contains(run.output, "[Spawner] hvsleeper ran past its limit of " +
                                       std::to_string(LIMIT) + " seconds and was killed\n"))
      << run.output;
}

TEST(Spawner, FiveHundredthAppendIsDroppedWithAWarning) {
  ScratchDir dir;
  const std::string exe = writeRecorder(dir, "count-args");
  std::vector<std::string> arguments;
  for (int i = 1; i <= SPAWNER_SLOTS; ++i) arguments.push_back("a" + std::to_string(i));
  int32_t result = -2;
  Spawner full = {}, afterWarning = {};
  const std::string out = captureStdout([&] {
    Spawner* spawner = createSpawner();
    setSpawnerExe(spawner, exe.c_str());
    for (int i = 0; i < SPAWNER_SLOTS - 2; ++i) appendSpawnerArgument(spawner, arguments[i].c_str());
    full = *spawner;
    appendSpawnerArgument(spawner, arguments[SPAWNER_SLOTS - 2].c_str());
    afterWarning = *spawner;
    result = runSpawnerAndWait(spawner);
    freeSpawner(spawner);
  });
  // Exe plus 498 arguments: the 499th pointer fills the last usable slot.
  EXPECT_EQ(arguments[SPAWNER_SLOTS - 3].c_str(), full.slots[SPAWNER_SLOTS - 2]);
  EXPECT_EQ(nullptr, full.slots[SPAWNER_SLOTS - 1]);
  EXPECT_EQ(nullptr, afterWarning.slots[SPAWNER_SLOTS - 1]);
  EXPECT_EQ(0, result);
  EXPECT_TRUE(contains(out, "[Spawner] Appended argument a498\n"));
  EXPECT_TRUE(contains(out, "[Spawner] WARNING: couldn't append argument a499\n")) << out;
  EXPECT_FALSE(contains(out, "[Spawner] Appended argument a499\n"));
  EXPECT_EQ("498\n", readFileBytes(dir / "count"));
}

TEST(Spawner, RunWithoutWaitReturnsWhileTheChildRuns) {
  int32_t result = -2;
  const std::string out = captureStdout([&] {
    Spawner* spawner = createSpawner();
    setSpawnerExe(spawner, "/bin/sleep");
    appendSpawnerArgument(spawner, "30");
    result = runSpawner(spawner);
    freeSpawner(spawner);
  });
  EXPECT_EQ(0, result);
  const auto at = out.find("[Spawner] Success - pid:");
  ASSERT_NE(std::string::npos, at) << out;
  const pid_t pid = static_cast<pid_t>(atoi(out.c_str() + at + 24));
  ASSERT_GT(pid, 0);
  int status = 0;
  EXPECT_EQ(0, waitpid(pid, &status, WNOHANG));  // still sleeping
  kill(pid, SIGKILL);
  EXPECT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_FALSE(contains(out, "Spawn call done"));
}

TEST(Spawner, ProgramThatCannotStartGivesMinusOne) {
  for (const bool wait : {true, false}) {
    int32_t result = -2;
    const std::string out = captureStdout([&] {
      Spawner* spawner = createSpawner();
      setSpawnerExe(spawner, "/nonexistent/hv/java");
      result = wait ? runSpawnerAndWait(spawner) : runSpawner(spawner);
      freeSpawner(spawner);
    });
    EXPECT_EQ(-1, result) << wait;
    EXPECT_TRUE(contains(out, "[Spawner] Error - ret:2\n")) << out;
    EXPECT_FALSE(contains(out, "Success")) << out;
  }
}

// Ignored signals survive exec: the child gets back to its default only what the
// launcher ignored for itself, and keeps what the user had ignored (nohup, say).
struct DispositionCase {
  const char* label;
  std::vector<int> ignoredByUser;      // before the launcher starts
  std::vector<int> ignoredByLauncher;  // as main does
  std::vector<int> ignoredInChild;     // of the signals in WATCHED
};

void PrintTo(const DispositionCase& c, std::ostream* os) { *os << c.label; }

class SpawnerSignals : public testing::TestWithParam<DispositionCase> {};

uint64_t maskOf(const std::vector<int>& signals) {
  uint64_t mask = 0;
  for (int s : signals) mask |= uint64_t{1} << (s - 1);
  return mask;
}

TEST_P(SpawnerSignals, ChildKeepsTheUsersDispositions) {
  const DispositionCase& c = GetParam();
  const std::vector<int> watched = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM};
  const ChildRun run = runInChild([&] {
    // The test process may itself run under nohup: start from the defaults.
    for (int s : watched) signal(s, SIG_DFL);
    for (int s : c.ignoredByUser) signal(s, SIG_IGN);
    for (int s : c.ignoredByLauncher) ignoreLauncherSignal(s);
    // Signals the launcher ignores stay ignored in the launcher itself.
    for (int s : c.ignoredByLauncher) {
      struct sigaction now = {};
      if (sigaction(s, nullptr, &now) != 0 || now.sa_handler != SIG_IGN) return 90;
    }
    Spawner* spawner = createSpawner();
    // grep leaves its dispositions as exec gave them and reports them.
    setSpawnerExe(spawner, "/bin/grep");
    appendSpawnerArgument(spawner, "^SigIgn:");
    appendSpawnerArgument(spawner, "/proc/self/status");
    return runSpawnerAndWait(spawner);
  });
  ASSERT_EQ(0, run.exitStatus) << run.output;
  const auto at = run.output.find("SigIgn:\t");
  ASSERT_NE(std::string::npos, at) << run.output;
  const unsigned long long ignored = strtoull(run.output.c_str() + at + 8, nullptr, 16);
  EXPECT_EQ(maskOf(c.ignoredInChild), ignored & maskOf(watched)) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpawnerSignals,
    testing::Values(
        DispositionCase{"LaunchersOwnSigpipeIsReset", {}, {SIGPIPE}, {}},
        DispositionCase{"NohupsSighupAndAnIgnoredSigintStay", {SIGHUP, SIGINT}, {SIGPIPE}, {SIGHUP, SIGINT}},
        DispositionCase{"SigpipeTheUserIgnoredStaysIgnored", {SIGPIPE, SIGQUIT}, {SIGPIPE}, {SIGPIPE, SIGQUIT}},
        DispositionCase{"IgnoringTwiceStillResets", {SIGTERM}, {SIGPIPE, SIGPIPE}, {SIGTERM}}),
    [](const auto& info) { return std::string(info.param.label); });

std::atomic<int> alarms{0};
void countAlarm(int) { alarms.fetch_add(1); }

TEST(Spawner, InterruptedWaitIsRetried) {
  const ChildRun run = runInChild([] {
    struct sigaction action = {};
    action.sa_handler = countAlarm;  // no SA_RESTART: waitpid returns EINTR
    sigaction(SIGALRM, &action, nullptr);
    struct itimerval timer = {};
    timer.it_value.tv_usec = 100000;
    timer.it_interval.tv_usec = 100000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    Spawner* spawner = createSpawner();
    setSpawnerExe(spawner, "/bin/sh");
    appendSpawnerArgument(spawner, "-c");
    appendSpawnerArgument(spawner, "sleep 1; exit 3");
    const int32_t result = runSpawnerAndWait(spawner);
    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    return alarms.load() > 0 ? result : 100;
  });
  EXPECT_EQ(3, run.exitStatus) << run.output;
  EXPECT_TRUE(contains(run.output, " status:768.\n")) << run.output;
}

// With SIGCHLD ignored the child is reaped by the kernel and no status exists.
TEST(Spawner, WaitWithoutAStatusGivesMinusOne) {
  const ChildRun run = runInChild([] {
    signal(SIGCHLD, SIG_IGN);
    Spawner* spawner = createSpawner();
    setSpawnerExe(spawner, "/bin/sh");
    appendSpawnerArgument(spawner, "-c");
    appendSpawnerArgument(spawner, "exit 72");
    return runSpawnerAndWait(spawner) == -1 ? 0 : 1;
  });
  EXPECT_EQ(0, run.exitStatus) << run.output;
  EXPECT_TRUE(contains(run.output, "[Spawner] Waiting for pid:")) << run.output;
  EXPECT_TRUE(contains(run.output, "failed - errno:10\n")) << run.output;
  EXPECT_FALSE(contains(run.output, "Spawn call done")) << run.output;
}

TEST(Spawner, ChildSeesTheWholeEnvironment) {
  ScratchDir dir;
  const std::string target = dir / "env";
  const ChildRun run = runInChild([&] {
    setenv("HV_SPAWNER_PROBE", "a b=c", 1);
    Spawner* spawner = createSpawner();
    setSpawnerExe(spawner, "/bin/sh");
    appendSpawnerArgument(spawner, "-c");
    const std::string script = "printf '%s' \"$HV_SPAWNER_PROBE\" > \"" + target + "\"";
    appendSpawnerArgument(spawner, script.c_str());
    return runSpawnerAndWait(spawner);
  });
  EXPECT_EQ(0, run.exitStatus) << run.output;
  EXPECT_EQ("a b=c", readFileBytes(target));
}

}  // namespace
