// The install tree's modes: the policy each install type and user gets, the modes each
// policy gives, the deferred modes matched by whole path components, and the root share
// pass against a second user who plants hard links and swaps entries around the run.
#include "core/install_modes.h"
#include "core/install_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_user.h"

namespace {

constexpr uid_t ORDINARY_UID = 47261;
constexpr uid_t ATTACKER_UID = 47262;
constexpr gid_t TEST_GID = 100;
constexpr unsigned CHILD_DEADLINE_SECONDS = 20;

mode_t modeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

void makeFolder(const std::string& path, mode_t mode) {
  ASSERT_EQ(0, mkdir(path.c_str(), mode)) << path;
  ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
}

void makeFile(const std::string& path, mode_t mode) {
  writeFileBytes(path, "x");
  ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
}

struct PolicyCase {
  const char* installType;  // nullptr: no tail value
  bool asRoot;
  ModePolicy policy;
  mode_t folder, newFile, program, file;
};

const PolicyCase POLICY_CASES[] = {
    {"perm_all", true, ModePolicy::SharedLater, 0755, 0644, 0755, 0644},
    {"perm_all", false, ModePolicy::Shared, 0777, 0666, 0777, 0777},
    {"perm_user", true, ModePolicy::Closed, 0755, 0644, 0755, 0644},
    {"perm_user", false, ModePolicy::Closed, 0755, 0644, 0755, 0644},
    {"temp", false, ModePolicy::Closed, 0755, 0644, 0755, 0644},
    {"perm_all ", false, ModePolicy::Closed, 0755, 0644, 0755, 0644},
    {"PERM_ALL", true, ModePolicy::Closed, 0755, 0644, 0755, 0644},
    {"", false, ModePolicy::Closed, 0755, 0644, 0755, 0644},
    {nullptr, true, ModePolicy::Closed, 0755, 0644, 0755, 0644},
};

void PrintTo(const PolicyCase& c, std::ostream* os) {
  *os << (c.installType == nullptr ? "(none)" : "\"" + std::string(c.installType) + "\"")
      << (c.asRoot ? " as root" : " as a user");
}

// What setInstallModes decided and the modes it gives, in one line to compare.
std::string decided(const char* installType) {
  setInstallModes(installType);
  char line[128];
  snprintf(line, sizeof line, "policy %d folder %o newFile %o program %o file %o",
           static_cast<int>(installModePolicy()), folderMode(), newFileMode(),
           layoutMode(EntryKind::Program), layoutMode(EntryKind::File));
  return line;
}

std::string expected(const PolicyCase& c) {
  char line[128];
  snprintf(line, sizeof line, "policy %d folder %o newFile %o program %o file %o",
           static_cast<int>(c.policy), c.folder, c.newFile, c.program, c.file);
  return line;
}

class InstallModesPolicy : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(InstallModesPolicy, ByInstallTypeAndUser) {
  const PolicyCase& c = GetParam();
  ASSERT_EQ(0u, geteuid()) << "needs root to run both as root and as a throwaway user";
  if (c.asRoot) {
    EXPECT_EQ(expected(c), decided(c.installType));
    // Folders and layout folders agree, whatever the policy.
    EXPECT_EQ(folderMode(), layoutMode(EntryKind::Folder));
    return;
  }
  ScratchDir dir;
  writeFileBytes(dir / "passwd", passwdText({{"hvmodeuser", ORDINARY_UID, TEST_GID, ""}}));
  const ChildRun run = runAsUser(
      dir / "passwd", ORDINARY_UID, TEST_GID,
      [&] {
        if (geteuid() != ORDINARY_UID) return 3;
        printf("%s\n", decided(c.installType).c_str());
        fflush(stdout);
        return folderMode() == layoutMode(EntryKind::Folder) ? 0 : 4;
      },
      {"", CHILD_DEADLINE_SECONDS});
  ASSERT_EQ(0, run.exitStatus) << run.output;
  EXPECT_EQ(expected(c) + "\n", run.output);
}

INSTANTIATE_TEST_SUITE_P(Table, InstallModesPolicy, ::testing::ValuesIn(POLICY_CASES));

// An earlier layout left entries of a per-user install open to others. The next run
// closes each of them, wherever it is: the shared dir itself may be closed already.
struct LeftOpenCase {
  const char* name;
  mode_t shared, master, lib, data;  // as the earlier layout left them
};

const LeftOpenCase LEFT_OPEN_CASES[] = {
    {"SharedDirOpen", 0777, 0777, 0777, 0666},
    {"OnlyMasterOpen", 0755, 0777, 0755, 0644},
    {"OnlyAFileDeepInsideOpen", 0755, 0755, 0755, 0666},
    {"NothingOpen", 0755, 0755, 0700, 0600},
};

void PrintTo(const LeftOpenCase& c, std::ostream* os) { *os << c.name; }

class ClosingLeftOpenEntries : public ::testing::TestWithParam<LeftOpenCase> {};

TEST_P(ClosingLeftOpenEntries, EveryOpenEntryIsClosed) {
  const LeftOpenCase& c = GetParam();
  ScratchDir dir;
  const std::string shared = dir / "shared", master = shared + "/master";
  makeFolder(shared, 0755);
  makeFolder(master, 0755);
  makeFolder(master + "/lib", 0755);
  makeFile(master + "/lib/data", c.data);
  ASSERT_EQ(0, chmod((master + "/lib").c_str(), c.lib));
  ASSERT_EQ(0, chmod(master.c_str(), c.master));
  ASSERT_EQ(0, chmod(shared.c_str(), c.shared));
  setInstallModes("perm_user");
  OutputCapture capture;
  capture.start();
  closeInstallTree(shared.c_str(), master.c_str());
  capture.stop();
  setInstallModes(nullptr);
  const auto closed = [](mode_t mode) { return mode & ~static_cast<mode_t>(0022); };
  EXPECT_EQ(closed(c.shared), modeOf(shared));
  EXPECT_EQ(closed(c.master), modeOf(master));
  EXPECT_EQ(closed(c.lib), modeOf(master + "/lib"));
  EXPECT_EQ(closed(c.data), modeOf(master + "/lib/data"));
  const bool anyOpen = ((c.shared | c.master | c.lib | c.data) & 0022) != 0;
  EXPECT_EQ(anyOpen ? 1 : 0, countLinesStartingWith(capture.out(), "[ChMod] Closing " + shared +
                                                                       " to other users"))
      << capture.out();
}

INSTANTIATE_TEST_SUITE_P(Cases, ClosingLeftOpenEntries, ::testing::ValuesIn(LEFT_OPEN_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// A master folder of root's in a scratch folder others may pass through.
class RootShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0u, geteuid()) << "needs root";
    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
    makeFolder(shared_, 0755);
    makeFolder(master_, 0755);
    setInstallModes("perm_all");
    ASSERT_EQ(ModePolicy::SharedLater, installModePolicy());
  }
  void TearDown() override { setInstallModes(nullptr); }

  std::string in(const std::string& name) const { return master_ + "/" + name; }

  ScratchDir dir_;
  const std::string shared_ = dir_ / "shared";
  const std::string master_ = shared_ + "/master";
};

// A deferred mode belongs to its own path alone: a sibling whose name only starts the
// same gets nothing.
TEST_F(RootShareTest, DeferredModeIsNotAPrefixMatch) {
  closeInstallTree(shared_.c_str(), master_.c_str());
  makeFolder(in("a"), 0755);
  makeFile(in("a/b"), 0644);
  makeFile(in("a/bc"), 0644);
  deferSharedMode(in("a/b").c_str());
  shareInstallTree(master_.c_str());
  EXPECT_EQ(SHARED_MODE, modeOf(in("a/b")));
  EXPECT_EQ(0644u, modeOf(in("a/bc")));
}

// A folder moved in one piece takes the deferred modes below it, and only those: a
// sibling whose name only starts the same keeps its own.
TEST_F(RootShareTest, MovedFolderTakesOnlyItsOwnDeferredModes) {
  closeInstallTree(shared_.c_str(), master_.c_str());
  makeFolder(in("a"), 0755);
  makeFolder(in("a/b"), 0755);
  makeFolder(in("x"), 0755);
  makeFile(in("a/b/c"), 0644);
  makeFile(in("a/b/d"), 0644);
  makeFile(in("a/bc"), 0644);
  makeFile(in("a/bd"), 0644);
  deferSharedMode(in("a/b/c").c_str());
  deferSharedMode(in("a/bc").c_str());
  ASSERT_EQ(0, rename(in("a/b").c_str(), in("x/b").c_str()));
  moveDeferredModes(in("a/b").c_str(), in("x/b").c_str());
  // A file now at the old deferred path is not what was deferred.
  makeFile(in("a/b"), 0644);
  shareInstallTree(master_.c_str());
  EXPECT_EQ(SHARED_MODE, modeOf(in("x/b/c")));
  EXPECT_EQ(0644u, modeOf(in("x/b/d")));
  EXPECT_EQ(SHARED_MODE, modeOf(in("a/bc")));
  EXPECT_EQ(0644u, modeOf(in("a/bd")));
  EXPECT_EQ(0644u, modeOf(in("a/b")));
}

// The moved folder's path written with a final '/' names the same folder: its deferred
// modes still move along.
TEST_F(RootShareTest, MovedFolderNamedWithFinalSlashTakesItsDeferredModes) {
  closeInstallTree(shared_.c_str(), master_.c_str());
  makeFolder(in("a"), 0755);
  makeFile(in("a/c"), 0644);
  deferSharedMode(in("a/c").c_str());
  ASSERT_EQ(0, rename(in("a").c_str(), in("x").c_str()));
  moveDeferredModes(in("a/").c_str(), in("x").c_str());
  shareInstallTree(master_.c_str());
  EXPECT_EQ(SHARED_MODE, modeOf(in("x/c")));
}

// Modes as they were before the share pass, of every entry below master not root's.
std::map<std::string, mode_t> foreignModes(const std::string& top) {
  std::map<std::string, mode_t> modes;
  std::vector<std::string> folders = {top};
  while (!folders.empty()) {
    const std::string folder = folders.back();
    folders.pop_back();
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
      const std::string path = item.path().string();
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) continue;
      if (st.st_uid != 0) modes[path] = st.st_mode & 07777;
      if (S_ISDIR(st.st_mode)) folders.push_back(path);
    }
  }
  return modes;
}

// An earlier shared layout left master open; a second user plants hard links to files
// outside it before root's run and swaps entries of its own folder while root works.
// Root's share pass opens none of them: the outside files keep their modes and no entry
// not root's gets a mode from root.
TEST_F(RootShareTest, HardLinksAndSwappedEntriesOfAnotherUserGetNoMode) {
  const TestUser attacker{"hvmodeattack", ATTACKER_UID, TEST_GID, ""};
  writeFileBytes(dir_ / "passwd", passwdText({attacker}));
  const std::string outside = dir_ / "outside";
  makeFolder(outside, 0755);
  ASSERT_EQ(0, chown(outside.c_str(), ATTACKER_UID, TEST_GID));
  ASSERT_EQ(0, chmod(master_.c_str(), 0777));
  makeFile(in("data"), 0666);  // root's, left open by the earlier layout
  makeFolder(in("open"), 0777);
  const auto asAttacker = [&](const std::function<int()>& body) {
    const ChildRun run = runAsUser(dir_ / "passwd", ATTACKER_UID, TEST_GID, body,
                                   {"", CHILD_DEADLINE_SECONDS});
    EXPECT_EQ(0, run.exitStatus) << run.output;
  };
  asAttacker([&] {
    int failed = 0;
    writeFileBytes(outside + "/secret", "attacker's own");
    failed |= chmod((outside + "/secret").c_str(), 0600);
    // Its own file, linked into master under a name and into its own folder there.
    failed |= link((outside + "/secret").c_str(), in("planted").c_str());
    failed |= mkdir(in("mine").c_str(), 0777) | chmod(in("mine").c_str(), 0777);
    writeFileBytes(in("mine/f"), "open");
    failed |= chmod(in("mine/f").c_str(), 0666);
    // Root's open file, given a second name outside.
    failed |= link(in("data").c_str(), (outside + "/data").c_str());
    return failed == 0 ? 0 : 1;
  });
  ASSERT_FALSE(HasFailure());

  closeInstallTree(shared_.c_str(), master_.c_str());
  EXPECT_EQ(0755u, modeOf(master_));
  // Its own folder is still its own to open and change while root works.
  asAttacker([&] {
    int failed = chmod(in("mine").c_str(), 0777);
    failed |= unlink(in("mine/f").c_str());
    failed |= link((outside + "/secret").c_str(), in("mine/f").c_str());
    failed |= mkdir(in("mine/sub").c_str(), 0700);
    return failed == 0 ? 0 : 1;
  });
  ASSERT_FALSE(HasFailure());
  const std::map<std::string, mode_t> before = foreignModes(master_);
  ASSERT_EQ(1u, before.count(in("mine/f")));

  shareInstallTree(master_.c_str());
  EXPECT_EQ(0600u, modeOf(outside + "/secret"));
  EXPECT_EQ(0644u, modeOf(outside + "/data")) << "a file with a second name outside";
  EXPECT_EQ(before, foreignModes(master_));
  // Root's own entries get the layout back.
  EXPECT_EQ(0777u, modeOf(master_));
  EXPECT_EQ(0777u, modeOf(in("open")));
}

}  // namespace
