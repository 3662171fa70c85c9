#include "core/descriptor_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "core/install_modes.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_user.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t SWAPPING_UID = 47251;
constexpr gid_t SWAPPING_GID = 47251;
constexpr int CASE_DEADLINE_SECONDS = 10;

mode_t modeOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

bool isLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int entryCount(const std::string& folder) {
  int n = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    (void)entry;
    ++n;
  }
  return n;
}

// The tree every case starts from, below a top folder the calls are relative to:
//   a/ a/b/ file ("old", 0600) fifo dev (a null device) outside/ (must never change)
//   linkdir -> a   a/linkb -> b   a/linkfile -> ../outside/target   dangling -> nowhere
struct Layout {
  ScratchDir dir;
  std::string top = dir / "top";
  std::string outside = dir / "top/outside";

  Layout() {
    mkdir(top.c_str(), 0755);
    mkdir((top + "/a").c_str(), 0755);
    mkdir((top + "/a/b").c_str(), 0755);
    mkdir(outside.c_str(), 0755);
    writeFileBytes(outside + "/target", "outside\n");
    writeFileBytes(top + "/file", "old");
    chmod((top + "/file").c_str(), 0600);
    mkfifo((top + "/fifo").c_str(), 0666);
    chmod((top + "/fifo").c_str(), 0666);
    mknod((top + "/dev").c_str(), S_IFCHR | 0666, makedev(1, 3));
    symlink("a", (top + "/linkdir").c_str());
    symlink("b", (top + "/a/linkb").c_str());
    symlink("../outside/target", (top + "/a/linkfile").c_str());
    symlink("nowhere", (top + "/dangling").c_str());
  }
  bool outsideUntouched() const {
    return entryCount(outside) == 1 && readFileBytes(outside + "/target") == "outside\n";
  }
};

enum class Op { OpenFolder, MakeFolders, CreateExclusive, CreateTruncate, OpenRegular, Replace };

struct Case {
  const char* name;
  Op op;
  const char* path;
  int error;  // 0: the call succeeds
  // What must hold on disk afterwards (top is the layout's top folder).
  std::function<bool(const Layout&)> after;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

bool fileIs(const Layout& l, const char* rel, const std::string& bytes, mode_t mode) {
  const std::string path = l.top + "/" + rel;
  return !isLink(path) && readFileBytes(path) == bytes && modeOf(path) == mode;
}

bool noScratchLeft(const Layout& l, const char* folder, int entries) {
  return entryCount(l.top + "/" + folder) == entries;
}

const Case CASES[] = {
    // Links at each component: refused, nothing written where they point.
    {"OpenFolderLinkFirst", Op::OpenFolder, "linkdir/b", ELOOP, nullptr},
    {"OpenFolderLinkMiddle", Op::OpenFolder, "a/linkb", ELOOP, nullptr},
    {"MakeFoldersLinkFirst", Op::MakeFolders, "linkdir/new", ELOOP,
     [](const Layout& l) { return !pathExists(l.top + "/a/new"); }},
    {"MakeFoldersLinkMiddle", Op::MakeFolders, "a/linkb/new", ELOOP,
     [](const Layout& l) { return !pathExists(l.top + "/a/b/new"); }},
    {"MakeFoldersDanglingLink", Op::MakeFolders, "dangling/new", ELOOP,
     [](const Layout& l) { return !pathExists(l.top + "/nowhere") && isLink(l.top + "/dangling"); }},
    {"CreateThroughLinkedFolder", Op::CreateExclusive, "linkdir/new", ELOOP,
     [](const Layout& l) { return !pathExists(l.top + "/a/new"); }},
    {"CreateExclusiveAtLink", Op::CreateExclusive, "a/linkfile", EEXIST, nullptr},
    {"CreateExclusiveAtDanglingLink", Op::CreateExclusive, "dangling", EEXIST,
     [](const Layout& l) { return !pathExists(l.top + "/nowhere"); }},
    {"TruncateAtLink", Op::CreateTruncate, "a/linkfile", ELOOP, nullptr},
    {"TruncateAtDanglingLink", Op::CreateTruncate, "dangling", ELOOP,
     [](const Layout& l) { return !pathExists(l.top + "/nowhere"); }},
    {"OpenRegularAtLink", Op::OpenRegular, "a/linkfile", ELOOP, nullptr},
    {"OpenRegularThroughLinkedFolder", Op::OpenRegular, "linkdir/b", ELOOP, nullptr},
    {"ReplaceOverLinkReplacesTheLink", Op::Replace, "a/linkfile", 0,
     [](const Layout& l) { return fileIs(l, "a/linkfile", "new", 0640) && noScratchLeft(l, "a", 3); }},
    {"ReplaceThroughLinkedFolder", Op::Replace, "linkdir/file", ELOOP,
     [](const Layout& l) { return !pathExists(l.top + "/a/file"); }},
    // ".." and absolute paths: refused before anything is touched.
    {"DotDotRefused", Op::OpenRegular, "a/../file", EINVAL, nullptr},
    {"DotDotRefusedBeforeCreating", Op::MakeFolders, "new/../x", EINVAL,
     [](const Layout& l) { return !pathExists(l.top + "/new"); }},
    {"DotDotLastRefused", Op::CreateTruncate, "a/..", EINVAL, nullptr},
    {"AbsoluteRefused", Op::CreateExclusive, "/tmp/hv-descriptor-files-never", EINVAL,
     [](const Layout&) { return !pathExists("/tmp/hv-descriptor-files-never"); }},
    // FIFO and device: never waited on, never emptied.
    {"OpenRegularFifo", Op::OpenRegular, "fifo", EINVAL, nullptr},
    {"TruncateFifo", Op::CreateTruncate, "fifo", EINVAL, nullptr},
    {"OpenRegularDevice", Op::OpenRegular, "dev", EINVAL, nullptr},
    {"TruncateDeviceWritesThrough", Op::CreateTruncate, "dev", 0, nullptr},
    {"OpenRegularFolder", Op::OpenRegular, "a", EINVAL, nullptr},
    {"MakeFoldersAtFifo", Op::MakeFolders, "fifo/x", ENOTDIR,
     [](const Layout& l) { return modeOf(l.top + "/fifo") == 0666; }},
    // An existing file.
    {"OpenRegularFile", Op::OpenRegular, "file", 0, nullptr},
    {"CreateExclusiveExisting", Op::CreateExclusive, "file", EEXIST,
     [](const Layout& l) { return fileIs(l, "file", "old", 0600); }},
    {"TruncateExisting", Op::CreateTruncate, "file", 0,
     [](const Layout& l) { return fileIs(l, "file", "new", 0600); }},
    {"MakeFoldersAtFileChangesNoMode", Op::MakeFolders, "file/x", ENOTDIR,
     [](const Layout& l) { return fileIs(l, "file", "old", 0600); }},
    {"MakeFoldersLastIsFile", Op::MakeFolders, "file", ENOTDIR,
     [](const Layout& l) { return fileIs(l, "file", "old", 0600); }},
    {"ReplaceExisting", Op::Replace, "file", 0,
     [](const Layout& l) { return fileIs(l, "file", "new", 0640) && noScratchLeft(l, "", 7); }},
    // Missing parents and new names.
    {"OpenFolderMissing", Op::OpenFolder, "a/missing", ENOENT, nullptr},
    {"CreateMissingParent", Op::CreateExclusive, "missing/new", ENOENT,
     [](const Layout& l) { return !pathExists(l.top + "/missing"); }},
    {"ReplaceMissingParent", Op::Replace, "missing/new", ENOENT, nullptr},
    {"OpenRegularMissing", Op::OpenRegular, "a/missing", ENOENT, nullptr},
    {"CreateExclusiveNew", Op::CreateExclusive, "a/b/new", 0,
     [](const Layout& l) { return fileIs(l, "a/b/new", "new", 0640); }},
    {"TruncateNew", Op::CreateTruncate, "a//./b/new", 0,
     [](const Layout& l) { return fileIs(l, "a/b/new", "new", 0640); }},
    {"MakeFoldersExistingKeepsMode", Op::MakeFolders, "a/b", 0,
     [](const Layout& l) { return modeOf(l.top + "/a/b") == 0755 && entryCount(l.top + "/a/b") == 0; }},
    {"MakeFoldersNewGetExactMode", Op::MakeFolders, "a/n1/n2/", 0,
     [](const Layout& l) { return modeOf(l.top + "/a/n1") == 0755 && modeOf(l.top + "/a/n1/n2") == 0755; }},
    {"OpenFolderItself", Op::OpenFolder, "", 0, nullptr},
    {"OpenRegularNoName", Op::OpenRegular, ".", EINVAL, nullptr},
};

// Runs one call in the open top folder; 0 or errno. A writing call writes "new"; Replace
// sets mode 0640, the creations ask for 0640 (the test's umask is 022).
int runCase(int topFd, const Case& c) {
  switch (c.op) {
    case Op::OpenFolder:
    case Op::MakeFolders: {
      int made = 0;
      const int fd = c.op == Op::OpenFolder ? DescriptorFiles_openFolder(topFd, c.path)
                                            : DescriptorFiles_makeFolders(topFd, c.path, &made);
      if (fd < 0) return errno;
      struct stat st;
      const bool folder = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
      const bool cloexec = (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
      close(fd);
      return folder && cloexec ? 0 : 1000;
    }
    case Op::CreateExclusive:
    case Op::CreateTruncate: {
      const FileCreation how =
          c.op == Op::CreateExclusive ? FileCreation::Exclusive : FileCreation::Truncate;
      const int fd = DescriptorFiles_createFile(topFd, c.path, how, 0640);
      if (fd < 0) return errno;
      const bool blocking = (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0;
      const bool cloexec = (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
      const bool wrote = write(fd, "new", 3) == 3;
      close(fd);
      return blocking && cloexec && wrote ? 0 : 1000;
    }
    case Op::OpenRegular: {
      FILE* file = DescriptorFiles_openRegularStream(topFd, c.path);
      if (file == nullptr) return errno;
      char text[8] = {0};
      const bool blocking = (fcntl(fileno(file), F_GETFL) & O_NONBLOCK) == 0;
      const bool cloexec = (fcntl(fileno(file), F_GETFD) & FD_CLOEXEC) != 0;
      const bool read = fread(text, 1, sizeof text - 1, file) == 3 && strcmp(text, "old") == 0;
      fclose(file);
      return blocking && cloexec && read ? 0 : 1000;
    }
    case Op::Replace: {
      ReplaceFailure failure;
      const int r = DescriptorFiles_replace(
          topFd, c.path, 0640, [](FILE* out) { return fputs("new", out) >= 0; }, &failure);
      if (r == 0) return failure.step == ReplaceStep::None ? 0 : 1001;
      return failure.error == errno && failure.step == ReplaceStep::Create ? errno : 1002;
    }
  }
  return 1003;
}

class DescriptorFilesContract : public testing::TestWithParam<Case> {};

TEST_P(DescriptorFilesContract, ResultAndDisk) {
  const Case& c = GetParam();
  Layout layout;
  // In a child under a deadline: an open that waits on the FIFO fails the case.
  const ChildRun child = runInChild(
      [&] {
        umask(022);
        setInstallModes("");
        const int topFd = open(layout.top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int error = runCase(topFd, c);
        if (error != c.error) {
          printf("result %d (%s), wanted %d (%s)\n", error, strerror(error), c.error,
                 strerror(c.error));
          return 1;
        }
        // The caller's descriptor is left open and usable.
        struct stat st;
        return fstat(topFd, &st) == 0 && S_ISDIR(st.st_mode) ? 0 : 2;
      },
      CASE_DEADLINE_SECONDS);
  ASSERT_FALSE(child.timedOut) << "the call blocked";
  EXPECT_EQ(0, child.exitStatus) << child.output;
  EXPECT_TRUE(layout.outsideUntouched());
  if (c.after) {
    EXPECT_TRUE(c.after(layout));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DescriptorFilesContract, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// A writer that fails, a name too long for a scratch file: the old file stays, no scratch
// file is left, and the failure tells its step.
TEST(DescriptorFilesReplace, FailureLeavesTheOldFileAndNoScratch) {
  Layout layout;
  const int topFd = open(layout.top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ReplaceFailure failure;
  const int r = DescriptorFiles_replace(
      topFd, "a/linkfile", 0644,
      [](FILE* out) {
        fputs("partial", out);
        errno = ENOSPC;
        return false;
      },
      &failure);
  EXPECT_EQ(-1, r);
  EXPECT_EQ(ENOSPC, errno);
  EXPECT_EQ(ReplaceStep::Write, failure.step);
  EXPECT_EQ(ENOSPC, failure.error);
  EXPECT_TRUE(isLink(layout.top + "/a/linkfile"));
  EXPECT_EQ(3, entryCount(layout.top + "/a"));

  const std::string longName(NAME_MAX - 3, 'n');
  writeFileBytes(layout.top + "/" + longName, "old");
  EXPECT_EQ(-1, DescriptorFiles_replace(topFd, longName.c_str(), 0644,
                                        [](FILE*) { return true; }, &failure));
  EXPECT_EQ(ReplaceStep::Create, failure.step);
  EXPECT_EQ(ENAMETOOLONG, failure.error);
  EXPECT_EQ("old", readFileBytes(layout.top + "/" + longName));

  // A successful replace tells the scratch name it used through its suffix only.
  ASSERT_EQ(0, DescriptorFiles_replace(topFd, "file", 0600, [](FILE* out) {
    return fputs("fresh", out) >= 0;
  }, &failure));
  EXPECT_EQ(7u, strlen(failure.suffix));
  EXPECT_FALSE(pathExists(layout.top + "/file" + failure.suffix));
  EXPECT_EQ("fresh", readFileBytes(layout.top + "/file"));
  close(topFd);
}

// Another user who may write a folder on the way swaps it for a link to a folder of
// root's, over and over, while the calls run: whatever the timing, nothing is ever made
// or written where the link points.
TEST(DescriptorFilesRace, FolderSwappedForALinkDuringCreation) {
  Layout layout;
  const std::string work = layout.top + "/work";
  ASSERT_EQ(0, mkdir(work.c_str(), 0755));
  ASSERT_EQ(0, mkdir((work + "/d").c_str(), 0755));
  ASSERT_EQ(0, symlink(layout.outside.c_str(), (work + "/swap").c_str()));
  ASSERT_EQ(0, chown(work.c_str(), SWAPPING_UID, SWAPPING_GID));
  ASSERT_EQ(0, lchown((work + "/d").c_str(), SWAPPING_UID, SWAPPING_GID));
  ASSERT_EQ(0, lchown((work + "/swap").c_str(), SWAPPING_UID, SWAPPING_GID));
  chmod(layout.dir.path().c_str(), 0755);
  chmod(layout.top.c_str(), 0755);
  writeFileBytes(layout.dir / "passwd", passwdText({{"hvswapper", SWAPPING_UID, SWAPPING_GID, ""}}));
  const std::string stop = layout.dir / "stop";

  std::atomic<int> swaps{-1};
  std::thread swapper([&] {
    ChildSandbox sandbox;
    sandbox.deadlineSeconds = 20;
    const ChildRun run = runAsUser(layout.dir / "passwd", SWAPPING_UID, SWAPPING_GID, [&] {
      int n = 0;
      // Exchanges the folder and the link at the two names, atomically, until told to stop.
      while (access(stop.c_str(), F_OK) != 0) {
        if (renameat2(AT_FDCWD, (work + "/d").c_str(), AT_FDCWD, (work + "/swap").c_str(),
                      RENAME_EXCHANGE) != 0) {
          return 1;
        }
        ++n;
      }
      printf("%d\n", n);
      return 0;
    }, sandbox);
    swaps = run.exitStatus == 0 ? atoi(run.output.c_str()) : -1;
  });

  const int topFd = open(layout.top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int refused = 0, done = 0;
  const time_t deadline = time(nullptr) + 5;
  // Both outcomes must be met for the race to have been run at all.
  for (int i = 0; i < 200000 && time(nullptr) < deadline && (refused < 500 || done < 500); ++i) {
    const std::string name = "work/d/n" + std::to_string(i);
    const int fd = i % 2 == 0
                       ? DescriptorFiles_makeFolders(topFd, name.c_str())
                       : DescriptorFiles_createFile(topFd, name.c_str(), FileCreation::Exclusive, 0644);
    if (fd >= 0) {
      ++done;
      close(fd);
    } else {
      ASSERT_TRUE(errno == ELOOP || errno == ENOTDIR) << strerror(errno);
      ++refused;
    }
  }
  writeFileBytes(stop, "");
  swapper.join();
  close(topFd);
  EXPECT_GT(swaps.load(), 0);
  EXPECT_GT(refused, 0);
  EXPECT_GT(done, 0);
  EXPECT_TRUE(layout.outsideUntouched());
}

TEST(DescriptorFilesExists, NeverOpensAndNeverFollows) {
  Layout layout;
  const int topFd = open(layout.top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct Probe {
    const char* name;
    int expected;
  };
  const Probe probes[] = {{"file", 1}, {"fifo", 1}, {"dev", 1}, {"a", 1},
                          {"dangling", 1}, {"a/linkfile", 1}, {"missing", 0}};
  for (const Probe& p : probes) {
    // A FIFO opened for reading would wait here for a writer.
    const ChildRun child = runInChild([&] { return DescriptorFiles_entryExists(topFd, p.name); }, 10);
    EXPECT_EQ(p.expected, child.exitStatus) << p.name;
  }
  close(topFd);
}

}  // namespace
