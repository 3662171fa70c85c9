#include "core/tree_walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/folders.h"
#include "core/install_modes.h"
#include "core/install_tree.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"

namespace {

// Makes a chain of levels nested folders "d" below top, each named relative to the
// last one's descriptor (a path that deep could not be named whole).
void makeChain(const std::string& top, int levels) {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < levels; ++i) {
    ASSERT_EQ(mkdirat(fd, "d", 0700), 0) << strerror(errno);
    const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
  }
  close(fd);
}

// Removes a chain made by makeChain without a walk: down to its end by descriptor, then
// back up through "..", removing one level each step.
void removeChain(const std::string& top) {
  struct stat topSt;
  ASSERT_EQ(stat(top.c_str(), &topSt), 0);
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int next; (next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW)) >= 0; fd = next) {
    close(fd);
  }
  for (struct stat st; fstat(fd, &st) == 0 && st.st_ino != topSt.st_ino;) {
    const int parent = openat(fd, "..", O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(parent, 0);
    fd = parent;
    ASSERT_EQ(unlinkat(fd, "d", AT_REMOVEDIR), 0) << strerror(errno);
  }
  close(fd);
}

// Writes down each call as "enter <path>", "leave <path>", "failed <path> <errno>", the
// path relative to base ("." for base itself).
class Recorder : public TreeVisitor {
 public:
  explicit Recorder(std::string base) : base_(std::move(base)) {}
  bool enter(const TreeEntry& entry) override {
    events.push_back("enter " + relative(entry.shown));
    if (onEnter) onEnter(entry);
    return true;
  }
  void leave(const TreeEntry& entry, int folderFd) override {
    struct stat st;
    // The descriptor given is the folder's own.
    const bool same = fstat(folderFd, &st) == 0 && st.st_ino == entry.st.st_ino;
    events.push_back("leave " + relative(entry.shown) + (same ? "" : " (other descriptor)"));
  }
  void failed(const TreeEntry& entry) override {
    events.push_back("failed " + relative(entry.shown) + " " + strerrorname_np(errno));
  }
  std::vector<std::string> events;
  std::function<void(const TreeEntry&)> onEnter;

 private:
  std::string relative(const std::string& shown) const {
    if (shown == base_) return ".";
    return shown.substr(base_.size() + 1);
  }
  std::string base_;
};

struct Case {
  const char* name;
  const char* top;  // below the scratch folder
  bool withTop;
  std::function<void(const std::string& scratch)> make;
  // Runs in enter of the entry named swapAt (relative): changes the tree under the walk.
  const char* swapAt;
  std::function<void(const std::string& scratch)> swap;
  TreeWalkResult result;
  std::vector<std::string> events;
};

void folder(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }

const Case kCases[] = {
    {"TopIsLink", "link", true,
     [](const std::string& s) {
       folder(s + "/real");
       ASSERT_EQ(symlink("real", (s + "/link").c_str()), 0);
     },
     nullptr, nullptr, TreeWalkResult::TopIsLink, {}},
    {"TopMissing", "none", true, [](const std::string&) {}, nullptr, nullptr,
     TreeWalkResult::TopMissing, {}},
    {"TopFileWithoutTop", "file", false,
     [](const std::string& s) { writeFileBytes(s + "/file", "x"); }, nullptr, nullptr,
     TreeWalkResult::TopMissing, {}},
    {"TopFileWithTop", "file", true,
     [](const std::string& s) { writeFileBytes(s + "/file", "x"); }, nullptr, nullptr,
     TreeWalkResult::Walked, {"enter ."}},
    {"WithTopPairs", "t", true,
     [](const std::string& s) {
       folder(s + "/t");
       folder(s + "/t/a");
       writeFileBytes(s + "/t/a/f", "x");
     },
     nullptr, nullptr, TreeWalkResult::Walked,
     {"enter .", "enter a", "enter a/f", "leave a", "leave ."}},
    {"WithoutTop", "t", false,
     [](const std::string& s) {
       folder(s + "/t");
       folder(s + "/t/a");
     },
     nullptr, nullptr, TreeWalkResult::Walked, {"enter a", "leave a"}},
    {"LinkBelowNotFollowed", "t", true,
     [](const std::string& s) {
       folder(s + "/t");
       folder(s + "/elsewhere");
       writeFileBytes(s + "/elsewhere/secret", "x");
       ASSERT_EQ(symlink("../elsewhere", (s + "/t/l").c_str()), 0);
     },
     nullptr, nullptr, TreeWalkResult::Walked, {"enter .", "enter l", "leave ."}},
    {"FolderSwappedForLink", "t", true,
     [](const std::string& s) {
       folder(s + "/t");
       folder(s + "/t/a");
       folder(s + "/elsewhere");
       writeFileBytes(s + "/elsewhere/secret", "x");
     },
     "a",
     [](const std::string& s) {
       ASSERT_EQ(rename((s + "/t/a").c_str(), (s + "/gone").c_str()), 0);
       ASSERT_EQ(symlink("../elsewhere", (s + "/t/a").c_str()), 0);
     },
     TreeWalkResult::Walked, {"enter .", "enter a", "failed a ELOOP", "leave ."}},
    {"FolderSwappedForFolder", "t", true,
     [](const std::string& s) {
       folder(s + "/t");
       folder(s + "/t/a");
       folder(s + "/other");
       writeFileBytes(s + "/other/secret", "x");
     },
     "a",
     [](const std::string& s) {
       ASSERT_EQ(rename((s + "/t/a").c_str(), (s + "/gone").c_str()), 0);
       ASSERT_EQ(rename((s + "/other").c_str(), (s + "/t/a").c_str()), 0);
     },
     TreeWalkResult::Walked, {"enter .", "enter a", "failed a ESTALE", "leave ."}},
    {"EntryVanished", "t", true,
     [](const std::string& s) {
       folder(s + "/t");
       folder(s + "/t/a");
       writeFileBytes(s + "/t/a/f", "x");
     },
     "a", [](const std::string& s) { ASSERT_EQ(unlink((s + "/t/a/f").c_str()), 0); },
     TreeWalkResult::Walked, {"enter .", "enter a", "leave a", "leave ."}},
};

class TreeWalkContract : public ::testing::TestWithParam<Case> {};

TEST_P(TreeWalkContract, VisitsAsTheHeaderSays) {
  const Case& c = GetParam();
  ScratchDir scratch;
  c.make(scratch.path());
  const std::string top = scratch / c.top;
  Recorder recorder(top);
  recorder.onEnter = [&](const TreeEntry& entry) {
    if (c.swapAt != nullptr && entry.shown == top + "/" + c.swapAt) c.swap(scratch.path());
  };
  EXPECT_EQ(walkTree(top.c_str(), &recorder, c.withTop), c.result);
  EXPECT_EQ(recorder.events, c.events);
}

INSTANTIATE_TEST_SUITE_P(Cases, TreeWalkContract, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A listing that fails part way is an error of that folder, not its end. The kernel
// lists another process's mapped files only while the caller may inspect that process:
// the walk in a child lists this (root's) process's, and drops to an ordinary user on
// the first entry, so the next read of the listing fails with EACCES.
TEST(TreeWalkListing, ReadFailurePartWayFailsTheFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user part way";
  const std::string top = "/proc/" + std::to_string(getpid()) + "/map_files";
  for (const bool withTop : {true, false}) {
    SCOPED_TRACE(withTop ? "with the top" : "without the top");
    const ChildRun run = runInChild(
        [&] {
          Recorder recorder(top);
          recorder.onEnter = [](const TreeEntry& entry) {
            if (entry.depth == 1 && geteuid() == 0 &&
                (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) {
              _exit(2);
            }
          };
          const TreeWalkResult result = walkTree(top.c_str(), &recorder, withTop);
          for (const std::string& event : recorder.events) printf("%s\n", event.c_str());
          fflush(stdout);
          return static_cast<int>(result);
        },
        30);
    const std::vector<std::string> events = splitLines(run.output);
    ASSERT_GE(events.size(), 2u) << run.output;
    // An entry was met before the listing failed.
    EXPECT_EQ(0u, events[withTop ? 1 : 0].rfind("enter ", 0)) << run.output;
    if (withTop) {
      // The top was entered, never left: it failed with the listing's error.
      EXPECT_EQ(static_cast<int>(TreeWalkResult::Walked), run.exitStatus);
      EXPECT_EQ("enter .", events.front());
      EXPECT_EQ("failed . EACCES", events.back()) << run.output;
      EXPECT_EQ(0, std::count(events.begin(), events.end(), std::string("leave .")));
    } else {
      EXPECT_EQ(static_cast<int>(TreeWalkResult::TopMissing), run.exitStatus) << run.output;
    }
  }
}

// "d/d/.../d", levels deep.
std::string chainPath(int levels) {
  std::string path = "d";
  for (int i = 1; i < levels; ++i) path += "/d";
  return path;
}

// The chain's events with the top: levels folders below it, all entered; capped, the
// deepest one fails instead of being left.
std::vector<std::string> chainEvents(int levels, bool capped) {
  std::vector<std::string> events{"enter ."};
  for (int i = 1; i <= levels; ++i) events.push_back("enter " + chainPath(i));
  events.push_back((capped ? "failed " : "leave ") + chainPath(levels) + (capped ? " ELOOP" : ""));
  for (int i = levels - 1; i >= 1; --i) events.push_back("leave " + chainPath(i));
  events.push_back("leave .");
  return events;
}

TEST(TreeWalkDepth, ExactlyTheCapIsWalkedWholeAndOneMoreIsAnError) {
  for (const int levels : {TREE_WALK_MAX_DEPTH, TREE_WALK_MAX_DEPTH + 1}) {
    SCOPED_TRACE(levels);
    ScratchDir scratch;
    makeChain(scratch.path(), levels);
    Recorder recorder(scratch.path());
    OutputCapture capture;
    capture.start();
    const TreeWalkResult result = walkTree(scratch.path().c_str(), &recorder);
    capture.stop();
    const bool capped = levels > TREE_WALK_MAX_DEPTH;
    EXPECT_EQ(result, capped ? TreeWalkResult::TooDeep : TreeWalkResult::Walked);
    EXPECT_EQ(recorder.events, chainEvents(capped ? TREE_WALK_MAX_DEPTH : levels, capped));
    EXPECT_EQ(countLinesStartingWith(capture.out(), "[TreeWalk]"), capped ? 1 : 0)
        << capture.out();
    removeChain(scratch.path());
  }
}

long peakKilobytes() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// A chain far deeper than the cap, as another user could make in a shared tree: each
// walk ends with the error and one line, in bounded memory, never a crash.
TEST(TreeWalkDepth, DeepChainIsRefusedInBoundedMemory) {
  // In memory where there is such a file system: 20,000 folders on a disk are slow.
  ScratchDir scratch(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  const std::string top = scratch / "top";
  ASSERT_EQ(mkdir(top.c_str(), 0700), 0);
  makeChain(top, 20000);
  struct Road {
    const char* name;
    std::function<int()> walk;  // 0 when it ended as an error
  };
  const Road roads[] = {
      {"walkTree",
       [&] {
         Recorder recorder(top);
         return walkTree(top.c_str(), &recorder) == TreeWalkResult::TooDeep ? 0 : 1;
       }},
      {"DeleteFolder", [&] { return DeleteFolder(top.c_str()) != 0 ? 0 : 1; }},
  };
  for (const Road& road : roads) {
    SCOPED_TRACE(road.name);
    const ChildRun run = runInChild(
        [&] {
          const long before = peakKilobytes();
          if (road.walk() != 0) return 2;
          return peakKilobytes() - before < 32 * 1024 ? 0 : 3;
        },
        60);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitStatus, 0) << "2: no error, 3: over 32 MB";
    EXPECT_EQ(countLinesStartingWith(run.output, "[TreeWalk]"), 1);
    EXPECT_TRUE(hasLine(run.output, "[TreeWalk] " + top + "/" + chainPath(TREE_WALK_MAX_DEPTH) +
                                        " is deeper than 128 levels: not walked below"))
        << run.output.substr(0, 2000);
  }
  removeChain(top);
}

// The shared layout opens a folder only after its entries have their modes: the folder's
// own mode change comes last.
TEST(ShareWalk, FolderModeIsSetAfterItsEntries) {
  if (geteuid() != 0) GTEST_SKIP() << "the shared layout is set up by root";
  ScratchDir scratch;
  const std::string master = scratch / "master";
  ASSERT_EQ(mkdir(master.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((master + "/lib").c_str(), 0700), 0);
  const int watch = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, master.c_str(), IN_ATTRIB), 0);
  const ChildRun run = runInChild(
      [&] {
        setInstallModes("perm_all");
        shareInstallTree(master.c_str());
        return 0;
      },
      30);
  EXPECT_EQ(run.exitStatus, 0);
  std::vector<std::string> order;  // "lib" for the entry, "." for master itself
  alignas(struct inotify_event) char events[4096];
  const ssize_t got = read(watch, events, sizeof events);
  for (ssize_t at = 0; at < got;) {
    const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
    order.push_back(event->len > 0 && event->name[0] != 0 ? event->name : ".");
    at += static_cast<ssize_t>(sizeof *event + event->len);
  }
  close(watch);
  EXPECT_EQ(order, (std::vector<std::string>{"lib", "."}));
  struct stat st;
  ASSERT_EQ(stat(master.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, SHARED_MODE);
}

}  // namespace
