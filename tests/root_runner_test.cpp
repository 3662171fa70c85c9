// The test-side setuid-root runner serves the one throwaway user it was installed for:
// every other local user is refused, whether it reaches the runner or not, and so is a
// runner whose allowed-uid file or folder someone other than root could have written.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/deadline_run.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/setuid_runner.h"

namespace {

const char ROOT_RUNNER[] = HV_BIN_DIR "/root_runner";
// Groups of their own, so no other test's user shares the runner folder's group.
constexpr uid_t SERVED_UID = 47231;
constexpr uid_t OTHER_UID = 47232;

DeadlineRun runAs(uid_t uid, const std::string& runner, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {runner};
  argv.insert(argv.end(), args.begin(), args.end());
  DeadlineOptions options;
  options.seconds = 10;
  options.prepare = [uid] { return setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0; };
  return runWithDeadline(runner, argv, {}, options);
}

std::string refusal(uid_t uid) { return "root_runner: refused for uid " + std::to_string(uid) + "\n"; }

// How the installed layout is changed before the call (not at all: AS_INSTALLED), and
// who calls.
constexpr mode_t AS_INSTALLED = 0;
struct RunnerCase {
  const char* name;
  uid_t caller;
  mode_t folderMode;     // of the runner's folder
  uid_t folderOwner;     // installed: root
  uid_t fileOwner;       // of allowed-uid (installed: root)
  mode_t fileMode;       // installed: 0644
  uid_t allowed;         // the uid written in allowed-uid
  int status;
  std::string output;
};

void PrintTo(const RunnerCase& c, std::ostream* os) { *os << c.name; }

class RootRunner : public ::testing::TestWithParam<RunnerCase> {};

TEST_P(RootRunner, ServesItsOwnUserAlone) {
  const RunnerCase& c = GetParam();
  if (geteuid() != 0) GTEST_SKIP() << "needs root to install a setuid runner";
  ScratchDir scratch;
  chmod(scratch.path().c_str(), 0755);
  const std::string folder = scratch / "runner";
  const std::string runner = installSetuidRunner(ROOT_RUNNER, folder, SERVED_UID, SERVED_UID);
  ASSERT_NE("", runner) << strerror(errno);
  const DeadlineRun check = runAs(SERVED_UID, runner, {"--check"});
  if (check.status != 0) {
    GTEST_SKIP() << "setuid root does not take effect here (no-new-privileges, or /tmp "
                    "mounted nosuid): " << check.status << " " << check.output;
  }

  if (c.folderMode != AS_INSTALLED) {
    const std::string allowed = folder + "/allowed-uid";
    writeFileBytes(allowed, std::to_string(c.allowed) + "\n");
    ASSERT_EQ(0, chown(allowed.c_str(), c.fileOwner, 0));
    ASSERT_EQ(0, chmod(allowed.c_str(), c.fileMode));
    ASSERT_EQ(0, chown(folder.c_str(), c.folderOwner, SERVED_UID));
    ASSERT_EQ(0, chmod(folder.c_str(), c.folderMode));
  }

  const DeadlineRun run = runAs(c.caller, runner, {"/usr/bin/id", "-u"});
  ASSERT_FALSE(run.timedOut) << run.output;
  EXPECT_EQ(c.status, run.status) << run.output;
  EXPECT_EQ(c.output, run.output);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RootRunner,
    ::testing::Values(
        // The user it serves gets root.
        RunnerCase{"TheUserItServes", SERVED_UID, AS_INSTALLED, 0, 0, 0, 0, 0, "0\n"},
        // Another user cannot even reach it: the exec itself fails.
        RunnerCase{"AnotherUserCannotReachIt", OTHER_UID, AS_INSTALLED, 0, 0, 0, 0, 126, ""},
        // Another user who reaches it is refused by the runner itself.
        RunnerCase{"AnotherUserIsRefused", OTHER_UID, 0755, 0, 0, 0644, SERVED_UID, 126,
                   refusal(OTHER_UID)},
        // An allowed-uid file that is not root's, or that others may write, names no one.
        RunnerCase{"UidFileOfTheCaller", OTHER_UID, 0755, 0, OTHER_UID, 0644, OTHER_UID, 126,
                   refusal(OTHER_UID)},
        RunnerCase{"UidFileOpenToAll", OTHER_UID, 0755, 0, 0, 0666, OTHER_UID, 126,
                   refusal(OTHER_UID)},
        // Nor does one in a folder the caller owns (where it could put a file of its own).
        RunnerCase{"FolderOfTheCaller", OTHER_UID, 0755, OTHER_UID, 0, 0644, OTHER_UID, 126,
                   refusal(OTHER_UID)},
        RunnerCase{"FolderOpenToAll", OTHER_UID, 0777, 0, 0, 0644, OTHER_UID, 126,
                   refusal(OTHER_UID)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
