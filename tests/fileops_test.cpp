#include "core/fileops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "core/install_modes.h"
#include "tests/support/full_disk.h"
#include "tests/support/isolated_run.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_user.h"

namespace {

// Entry names of a folder, sorted.
std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace fs = std::filesystem;

constexpr uid_t ENSURE_UID = 47291;
constexpr uid_t PLANTING_UID = 47292;
constexpr gid_t TEST_GID = 100;
constexpr unsigned CHILD_DEADLINE_SECONDS = 20;

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

mode_t modeOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

int countOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// ---- chmod commands ----

TEST(Chmod, PathWithQuotesAndDollarPassesUnharmed) {
  ScratchDir dir;
  const std::string name = "a\"b$(touch pwned)`touch pwned`'c\\";
  const std::string path = dir / name;
  writeFileBytes(path, "x");
  chmod(path.c_str(), 0600);
  CaptureStdout();
  EXPECT_EQ(0, chmod777(path.c_str()));
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(0644u, modeOf(path));
  EXPECT_FALSE(pathExists(dir / "pwned"));
  EXPECT_FALSE(pathExists("pwned"));
  // The logged line is the command as run.
  const std::string quoted = "'" + dir.path() + "/a\"b$(touch pwned)`touch pwned`'\\''c\\'";
  EXPECT_NE(std::string::npos, out.find("[ChMod] Executing chmod 644 " + quoted + "\n")) << out;
}

TEST(Chmod, RecursiveForms) {
  ScratchDir dir;
  mkdir((dir / "t").c_str(), 0700);
  mkdir((dir / "t/sub").c_str(), 0700);
  writeFileBytes(dir / "t/sub/f", "x");
  chmod((dir / "t/sub/f").c_str(), 0600);
  CaptureStdout();
  EXPECT_EQ(0, chmodAllExecutable((dir / "t").c_str()));
  EXPECT_EQ(0711u, modeOf(dir / "t/sub"));
  EXPECT_EQ(0711u, modeOf(dir / "t/sub/f"));
  EXPECT_EQ(0, chmod755Recursive((dir / "t").c_str()));
  GetCapturedStdout();
  EXPECT_EQ(0755u, modeOf(dir / "t/sub/f"));
}

// A link at the path, or inside a tree, is never followed: its target keeps its mode.
TEST(Chmod, LinksAreLeftAlone) {
  struct Case {
    const char* name;
    std::function<int32_t(const char*)> call;
    const char* command;  // the logged command's prefix; null for chmodNoFollow
    int32_t result;
  };
  const Case cases[] = {
      {"chmod777", chmod777, "chmod 644 ", 256},
      {"chmodAllExecutable", chmodAllExecutable, "chmod -R a+x ", 256},
      {"chmod755Recursive", chmod755Recursive, "chmod -R 755 ", 256},
      {"chmodNoFollow", [](const char* p) { return chmodNoFollow(p, 0777); }, nullptr, -1},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    writeFileBytes(dir / "victim", "v");
    chmod((dir / "victim").c_str(), 0600);
    mkdir((dir / "victimdir").c_str(), 0700);
    symlink((dir / "victim").c_str(), (dir / "link").c_str());
    symlink((dir / "victimdir").c_str(), (dir / "dirlink").c_str());
    OutputCapture capture;
    capture.start();
    const int32_t onFile = c.call((dir / "link").c_str());
    const int32_t onFolder = c.call((dir / "dirlink").c_str());
    capture.stop();
    EXPECT_EQ(c.result, onFile) << c.name;
    EXPECT_EQ(c.result, onFolder) << c.name;
    EXPECT_EQ(0600u, modeOf(dir / "victim")) << c.name;
    EXPECT_EQ(0700u, modeOf(dir / "victimdir")) << c.name;
    const std::string& out = capture.out();
    EXPECT_EQ(1, countOf(out, "[ChMod] Leaving link alone: " + dir / "link" + "\n")) << out;
    EXPECT_EQ(1, countOf(out, "[ChMod] Leaving link alone: " + dir / "dirlink" + "\n")) << out;
    if (c.command != nullptr) {
      EXPECT_EQ(1, countOf(out, std::string("[ChMod] Executing ") + c.command + "\"" +
                                    dir / "link" + "\"\n"))
          << out;
    }
  }
}

TEST(Chmod, RecursiveFormsPassOverLinksInside) {
  ScratchDir dir;
  writeFileBytes(dir / "victim", "v");
  chmod((dir / "victim").c_str(), 0600);
  mkdir((dir / "victimdir").c_str(), 0700);
  writeFileBytes(dir / "victimdir/inner", "i");
  chmod((dir / "victimdir/inner").c_str(), 0600);
  mkdir((dir / "t").c_str(), 0700);
  writeFileBytes(dir / "t/f", "f");
  chmod((dir / "t/f").c_str(), 0600);
  symlink((dir / "victim").c_str(), (dir / "t/link").c_str());
  symlink((dir / "victimdir").c_str(), (dir / "t/dirlink").c_str());
  OutputCapture capture;
  capture.start();
  EXPECT_EQ(0, chmodAllExecutable((dir / "t").c_str()));
  EXPECT_EQ(0, chmod755Recursive((dir / "t").c_str()));
  capture.stop();
  EXPECT_EQ(0755u, modeOf(dir / "t/f"));
  EXPECT_EQ(0600u, modeOf(dir / "victim"));
  EXPECT_EQ(0700u, modeOf(dir / "victimdir"));
  EXPECT_EQ(0600u, modeOf(dir / "victimdir/inner"));
  EXPECT_EQ(2, countOf(capture.out(), "[ChMod] Leaving link alone: " + dir / "t/link" + "\n"));
  EXPECT_EQ("", capture.err());
}

// A missing path: the command line, chmod's own complaint on standard error, status 256.
TEST(Chmod, MissingPathFailsWithOneLine) {
  ScratchDir dir;
  const std::string path = dir / "Halvorin-App-splash.png";
  OutputCapture capture;
  capture.start();
  EXPECT_EQ(256, chmod777(path.c_str()));
  capture.stop();
  EXPECT_EQ(std::vector<std::string>{"[ChMod] Executing chmod 644 \"" + path + "\""},
            logTexts(capture.out()));
  EXPECT_EQ("chmod: changing permissions of '" + path + "': No such file or directory\n",
            capture.err());
}

TEST(Chmod, TooLongPathIsRefusedWithoutRunning) {
  const std::string path = "/tmp/" + std::string(6000, 'x');
  CaptureStdout();
  EXPECT_EQ(-1, chmod777(path.c_str()));
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(std::string::npos, out.find("[ChMod] Executing"));
}

// ---- ensureFolder ----

// Whatever is already at the name keeps its mode under both layouts; only a folder the
// call made gets the layout's, set exactly whatever the umask. Run as an ordinary user,
// so the shared layout is the one that opens folders to everyone.
struct EnsureLayout {
  const char* name;
  const char* installType;
};

void PrintTo(const EnsureLayout& layout, std::ostream* os) { *os << layout.name; }

class EnsureFolderTest : public ::testing::TestWithParam<EnsureLayout> {};

TEST_P(EnsureFolderTest, OnlyAFolderItMadeGetsTheLayoutsMode) {
  ASSERT_EQ(0u, geteuid()) << "needs root to run as a throwaway user";
  ScratchDir home;
  writeFileBytes(home / "passwd", passwdText({{"hvensureuser", ENSURE_UID, TEST_GID, ""}}));
  ASSERT_EQ(0, chown(home.path().c_str(), ENSURE_UID, TEST_GID));
  const std::string dir = home / "tree";
  const ChildRun run = runAsUser(
      home / "passwd", ENSURE_UID, TEST_GID,
      [&] {
        setInstallModes(GetParam().installType);
        const mode_t layout = folderMode();
        mkdir(dir.c_str(), 0700);
        mkdir((dir + "/existing").c_str(), 0700);
        mkdir((dir + "/linked").c_str(), 0700);
        writeFileBytes(dir + "/victim", "x");
        chmod((dir + "/victim").c_str(), 0600);
        writeFileBytes(dir + "/file", "x");
        chmod((dir + "/file").c_str(), 0600);
        mkfifo((dir + "/fifo").c_str(), 0600);
        symlink((dir + "/nowhere").c_str(), (dir + "/dangling").c_str());
        symlink((dir + "/victim").c_str(), (dir + "/tofile").c_str());
        symlink((dir + "/linked").c_str(), (dir + "/tofolder").c_str());
        struct Case {
          const char* name;
          int result;
          int error;      // when result is -1
          bool chmodRun;  // the layout's chmod line logged
          mode_t mode;    // of the name afterwards (0: does not exist)
        };
        const Case cases[] = {
            {"existing", 0, 0, false, 0700},     // left as it is, no chmod
            {"new", 0, 0, true, layout},         // the mode set exactly, whatever the umask
            {"missing/child", -1, ENOENT, true, 0},  // one level only; chmod still runs
            {"file", -1, EEXIST, false, 0600},   // a regular file keeps its mode
            {"fifo", -1, EEXIST, false, 0600},   // never opened or waited on either
            {"dangling", -1, ELOOP, false, 0777},  // a link's target is never made
            {"tofile", -1, ELOOP, false, 0777},
            {"tofolder", -1, ELOOP, false, 0777},  // a link to a folder is no folder
        };
        umask(077);
        for (const Case& c : cases) {
          const std::string path = dir + "/" + c.name;
          OutputCapture capture;
          capture.start();
          errno = 0;
          const int32_t result = ensureFolder(path.c_str());
          const int error = errno;
          capture.stop();
          EXPECT_EQ(c.result, result) << c.name;
          if (c.result != 0) {
            EXPECT_STREQ(strerrorname_np(c.error), strerrorname_np(error)) << c.name;
          }
          char chmodLine[64];
          snprintf(chmodLine, sizeof chmodLine, "[ChMod] Executing chmod %o \"", layout);
          EXPECT_EQ(c.chmodRun, hasLine(capture.out(), chmodLine + path + "\""))
              << c.name << ": " << capture.out();
          EXPECT_EQ(c.mode, modeOf(path)) << c.name;
        }
        // What the links lead to is untouched.
        EXPECT_EQ(0600u, modeOf(dir + "/victim"));
        EXPECT_EQ(0700u, modeOf(dir + "/linked"));
        EXPECT_FALSE(pathExists(dir + "/nowhere"));
        return ::testing::Test::HasFailure() ? 1 : 0;
      },
      {"", CHILD_DEADLINE_SECONDS});
  EXPECT_EQ(0, run.exitStatus) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Layouts, EnsureFolderTest,
                         ::testing::Values(EnsureLayout{"PerUser", "perm_user"},
                                           EnsureLayout{"Shared", "perm_all"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- createFolderExclusive ----

TEST(CreateFolderExclusive, OnlyANewFolderCounts) {
  ScratchDir dir;
  mkdir((dir / "existing").c_str(), 0700);
  writeFileBytes(dir / "file", "x");
  mkdir((dir / "victim").c_str(), 0700);
  symlink((dir / "victim").c_str(), (dir / "link").c_str());
  struct Case {
    const char* name;
    int32_t result;
    int error;
    mode_t mode;
  };
  const Case cases[] = {
      {"new", 0, 0, 0755},
      {"existing", -1, EEXIST, 0700},
      {"file", -1, EEXIST, 0644},
      {"link", -1, EEXIST, 0777},  // the link's own mode; its target stays 0700
      {"missing/child", -1, ENOENT, 0},
  };
  const mode_t old = umask(022);
  for (const Case& c : cases) {
    const std::string path = dir / c.name;
    if (std::string(c.name) == "file") chmod(path.c_str(), 0644);
    CaptureStdout();
    errno = 0;
    EXPECT_EQ(c.result, createFolderExclusive(path.c_str())) << c.name;
    const int error = errno;
    GetCapturedStdout();
    if (c.result != 0) {
      EXPECT_EQ(c.error, error) << c.name;
    }
    EXPECT_EQ(c.mode, modeOf(path)) << c.name;
  }
  umask(old);
  EXPECT_EQ(0700u, modeOf(dir / "victim"));
}

// ---- findMarker ----

struct MarkerCase {
  const char* name;
  std::string data;
  std::string marker;
  long startAt;        // where the caller has positioned the stream
  int64_t result;
  int nextByte;        // what the stream yields next (EOF when none)
};

constexpr size_t BIG = (1 << 20) - 2;  // puts a marker across the 1 MiB read blocks

std::string bigThen(const std::string& tail, char fill = 0) { return std::string(BIG, fill) + tail; }

class FindMarkerTest : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(FindMarkerTest, CountsBytesAndLeavesStreamAfterMarker) {
  const MarkerCase& c = GetParam();
  ScratchDir dir;
  writeFileBytes(dir / "f", c.data);
  FILE* f = fopen((dir / "f").c_str(), "rb");
  ASSERT_NE(nullptr, f);
  ASSERT_EQ(0, fseek(f, c.startAt, SEEK_SET));
  CaptureStdout();
  EXPECT_EQ(c.result, findMarker(f, c.marker.data(), static_cast<int32_t>(c.marker.size()), "Params"));
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(c.result < 0, out.find("Could not find marker: Params\n") != std::string::npos) << out;
  if (c.result >= 0) {
    EXPECT_EQ(c.nextByte, fgetc(f));
  }
  fclose(f);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindMarkerTest,
    ::testing::Values(
        // The second 1 ends the first partial match and is not retried as a start.
        MarkerCase{"MismatchByteNotRetried", std::string("\1\1\2\3\1\2\3", 7), "\1\2\3", 0, 7, EOF},
        MarkerCase{"OnlyThePassedOverOccurrence", std::string("\1\1\2\3", 4), "\1\2\3", 0, -1, EOF},
        MarkerCase{"FirstOccurrenceThenRest", "xxABCyyABCz", "ABC", 0, 5, 'y'},
        MarkerCase{"ZeroLengthReadsNothing", "abc", "", 1, 0, 'b'},
        MarkerCase{"CountedFromCallersPosition", "ABCxxABCz", "ABC", 3, 5, 'z'},
        MarkerCase{"MarkerAtStart", "ABCd", "ABC", 0, 3, 'd'},
        MarkerCase{"Absent", "abcdef", "xyz", 0, -1, EOF},
        MarkerCase{"EmptyFile", "", "A", 0, -1, EOF},
        MarkerCase{"SplitAcrossBlocks", bigThen("MARK!"), "MARK", 0, BIG + 4, '!'},
        MarkerCase{"EndsExactlyAtBlockEnd", bigThen("MA") + "tail", "MA", 0, BIG + 2, 't'},
        // A partial match at the end of one block that fails in the next block.
        MarkerCase{"PartialAcrossBlocksThenMismatch", bigThen("MAX") + "MAR!", "MAR", 0, BIG + 6, '!'},
        MarkerCase{"MarkerIsLastBytes", bigThen("MARK", 'a'), "MARK", 0, BIG + 4, EOF}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FindMarker, WorksOnAStreamThatCannotSeek) {
  FILE* pipe = popen("printf 'xxABCrest'", "r");
  ASSERT_NE(nullptr, pipe);
  CaptureStdout();
  EXPECT_EQ(5, findMarker(pipe, "ABC", 3, "Tail"));
  GetCapturedStdout();
  EXPECT_EQ('r', fgetc(pipe));
  pclose(pipe);
}

// ---- fileExists ----

TEST(FileExists, FoldersCountFifosDoNotBlockUnreadableDoesNotCount) {
  ScratchDir dir;
  writeFileBytes(dir / "secret", "x");
  chmod((dir / "secret").c_str(), 0000);
  mkfifo((dir / "fifo").c_str(), 0666);
  chmod(dir.path().c_str(), 0755);
  CaptureStdout();
  EXPECT_EQ(1, fileExists(dir.path().c_str()));
  EXPECT_EQ(1, fileExists((dir / "fifo").c_str()));  // returns at once, no writer needed
  EXPECT_EQ(0, fileExists((dir / "missing").c_str()));
  const std::string out = GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("[Utils] File exists: " + dir.path() + "\n"));
  EXPECT_NE(std::string::npos, out.find("[Utils] File does NOT exist: " + dir / "missing" + "\n"));
  // A user who may not read the file sees it as missing (root reads everything).
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(fileExists((dir / "secret").c_str()) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Another user plants links in a folder root checks names in, to root's own file, to a
// device and to a FIFO: the check counts each link as present and opens nothing it
// leads to (inotify sees every open of the targets).
TEST(FileExists, LinksPlantedByAnotherUserAreNeverOpened) {
  ASSERT_EQ(0u, geteuid()) << "needs root to plant as a throwaway user";
  ScratchDir dir;
  ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
  writeFileBytes(dir / "passwd", passwdText({{"hvplantuser", PLANTING_UID, TEST_GID, ""}}));
  const std::string planted = dir / "planted";
  ASSERT_EQ(0, mkdir(planted.c_str(), 0755));
  ASSERT_EQ(0, chown(planted.c_str(), PLANTING_UID, TEST_GID));
  writeFileBytes(dir / "watched", "root's");
  ASSERT_EQ(0, chmod((dir / "watched").c_str(), 0600));
  ASSERT_EQ(0, mknod((dir / "device").c_str(), S_IFCHR | 0666, makedev(1, 3)));  // a null device
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0666));
  struct Case {
    const char* link;
    std::string target;
  };
  const Case cases[] = {
      {"tofile", dir / "watched"},
      {"todevice", dir / "device"},
      {"tofifo", dir / "fifo"},
      {"tonowhere", dir / "missing"},  // still a link at the name: present
  };
  const ChildRun plant = runAsUser(
      dir / "passwd", PLANTING_UID, TEST_GID,
      [&] {
        int failed = 0;
        for (const Case& c : cases) failed |= symlink(c.target.c_str(), (planted + "/" + c.link).c_str());
        return failed == 0 ? 0 : 1;
      },
      {"", CHILD_DEADLINE_SECONDS});
  ASSERT_EQ(0, plant.exitStatus) << plant.output;
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  for (const char* target : {"watched", "device", "fifo"}) {
    ASSERT_GE(inotify_add_watch(watch, (dir / target).c_str(), IN_OPEN | IN_ACCESS), 0) << target;
  }
  const auto eventBytes = [watch] {
    alignas(struct inotify_event) char events[4096];
    const ssize_t got = read(watch, events, sizeof events);
    return got < 0 ? 0 : got;
  };
  for (const Case& c : cases) {
    const std::string path = planted + "/" + c.link;
    // In a child with a deadline: an open of the FIFO that waited would hang the check.
    const ChildRun check = runInChild([&] { return fileExists(path.c_str()) == 1 ? 0 : 1; }, 10);
    EXPECT_EQ(0, check.exitStatus) << c.link << ": " << check.output;
    EXPECT_TRUE(hasLine(check.output, "[Utils] File exists: " + path)) << check.output;
    EXPECT_EQ(0, eventBytes()) << c.link << ": its target was opened";
  }
  // The watch sees an open when there is one.
  close(open((dir / "watched").c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_GT(eventBytes(), 0);
  close(watch);
}

// ---- openRegularFileForReading ----

// Every kind another user could put at a name the launcher reads: only the regular file
// opens, nothing waits for a writer, and a link is refused even when it leads to a file.
TEST(OpenRegularFileForReading, OnlyARegularFileOpensAndNothingBlocks) {
  ScratchDir dir;
  writeFileBytes(dir / "file", "contents");
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0666));
  ASSERT_EQ(0, mkdir((dir / "folder").c_str(), 0755));
  ASSERT_EQ(0, symlink((dir / "file").c_str(), (dir / "link").c_str()));
  ASSERT_EQ(0, symlink((dir / "fifo").c_str(), (dir / "link-to-fifo").c_str()));
  struct Case {
    const char* name;
    std::string path;
    bool opens;
    int error;       // errno when it does not open
    bool refusedLine;
  };
  const Case cases[] = {
      {"regular file", dir / "file", true, 0, false},
      {"fifo", dir / "fifo", false, EINVAL, true},
      {"folder", dir / "folder", false, EINVAL, true},
      {"device", "/dev/zero", false, EINVAL, true},
      {"link to a file", dir / "link", false, ELOOP, true},
      {"link to a fifo", dir / "link-to-fifo", false, ELOOP, true},
      {"missing", dir / "missing", false, ENOENT, false},
  };
  for (const Case& c : cases) {
    // A blocking open would hang here: the child's deadline turns it into a failure.
    const ChildRun child = runInChild(
        [&] {
          FILE* file = openRegularFileForReading(c.path.c_str());
          if (file == nullptr) return errno == c.error && !c.opens ? 0 : 10;
          char text[16] = {0};
          const bool blocking = (fcntl(fileno(file), F_GETFL) & O_NONBLOCK) == 0;
          const bool closeOnExec = (fcntl(fileno(file), F_GETFD) & FD_CLOEXEC) != 0;
          const bool read = fread(text, 1, sizeof text - 1, file) == 8 &&
                            std::string(text) == "contents";
          fclose(file);
          return c.opens && blocking && closeOnExec && read ? 0 : 11;
        },
        10);
    EXPECT_EQ(0, child.exitStatus) << c.name << "\n" << child.output;
    EXPECT_EQ(c.refusedLine ? 1 : 0,
              countOf(child.output, "[Utils] Not a regular file, treated as missing: " + c.path + "\n"))
        << c.name << "\n" << child.output;
  }
  // copyFile takes its source the same way: a FIFO is a source that cannot be opened.
  const ChildRun copy = runInChild(
      [&] {
        copyFile((dir / "fifo").c_str(), (dir / "copy").c_str());
        return 0;
      },
      10);
  EXPECT_EQ(0, copy.exitStatus) << copy.output;
  EXPECT_NE(std::string::npos,
            copy.output.find("[Extractor] *************************** Unable to open source file for copy " +
                             dir / "fifo" + "\n"))
      << copy.output;
}

// ---- DeleteFolder ----

TEST(DeleteFolder, EmptiesTreeKeepsTopAndNeverFollowsLinks) {
  ScratchDir dir;
  const std::string top = dir / "top";
  mkdir(top.c_str(), 0777);
  mkdir((top + "/sub").c_str(), 0777);
  mkdir((top + "/sub/deeper").c_str(), 0777);
  writeFileBytes(top + "/.a", "a");
  writeFileBytes(top + "/sub/deeper/f", "f");
  // A tree elsewhere, reachable through links in the tree.
  mkdir((dir / "elsewhere").c_str(), 0777);
  writeFileBytes(dir / "elsewhere/keep", "k");
  symlink((dir / "elsewhere").c_str(), (top + "/link").c_str());
  symlink((dir / "elsewhere/keep").c_str(), (top + "/sub/filelink").c_str());
  CaptureStdout();
  EXPECT_EQ(0, DeleteFolder(top.c_str()));
  const std::string out = GetCapturedStdout();
  EXPECT_TRUE(pathExists(top));
  for (const char* gone : {"/.a", "/sub", "/link"}) EXPECT_FALSE(pathExists(top + gone)) << gone;
  EXPECT_EQ("k", readFileBytes(dir / "elsewhere/keep"));
  EXPECT_NE(std::string::npos, out.find("Deleting DIR " + top + "/sub\n"));
  EXPECT_NE(std::string::npos, out.find("Deleting FILE " + top + "/link\n"));
  EXPECT_NE(std::string::npos, out.find("Deleting FILE " + top + "/.a\n"));
}

TEST(DeleteFolder, MissingFolderOrLinkedFolderIsNotOpened) {
  ScratchDir dir;
  mkdir((dir / "elsewhere").c_str(), 0777);
  writeFileBytes(dir / "elsewhere/keep", "k");
  symlink((dir / "elsewhere").c_str(), (dir / "link").c_str());
  for (const char* name : {"missing", "link"}) {
    const std::string path = dir / name;
    CaptureStdout();
    EXPECT_EQ(1, DeleteFolder(path.c_str())) << name;
    const std::string out = GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("[DeleteFolder] Deleting from '" + path + "' is NULL\n"));
  }
  EXPECT_EQ("k", readFileBytes(dir / "elsewhere/keep"));
}

// ---- Walks while another writer swaps folders for links ----

constexpr int SWAP_SUBFOLDERS = 12;
constexpr int SWAP_FILES = 300;

// Swaps each watched subfolder of top for a link to victim as soon as a walk acts in it
// (the first inotify event from it: opened, listed, an entry opened, changed or
// removed), moving the real folder away, as a user who may write top could.
class FolderSwapper {
 public:
  FolderSwapper(const std::string& top, const std::vector<std::string>& names,
                const std::string& victim, const std::string& away)
      : top_(top), victim_(victim), away_(away) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    for (const std::string& name : names) {
      const int wd = inotify_add_watch(fd_, (top + "/" + name).c_str(),
                                       IN_OPEN | IN_ACCESS | IN_ATTRIB | IN_DELETE | IN_ONLYDIR);
      if (wd >= 0) watched_[wd] = name;
    }
    thread_ = std::thread([this] { loop(); });
  }
  ~FolderSwapper() { finish(); }
  bool watching(size_t count) const { return fd_ >= 0 && watched_.size() == count; }
  // Stops the swapper; the number of folders swapped.
  int finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return swapped_;
  }

 private:
  void loop() {
    alignas(struct inotify_event) char events[16384];
    while (!stop_) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      const ssize_t n = read(fd_, events, sizeof events);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
        at += static_cast<ssize_t>(sizeof *event + event->len);
        auto it = watched_.find(event->wd);
        if (it == watched_.end() || it->second.empty()) continue;
        const std::string name = it->second;
        it->second.clear();  // one swap per folder
        if (rename((top_ + "/" + name).c_str(), (away_ + "/" + name).c_str()) == 0 &&
            symlink(victim_.c_str(), (top_ + "/" + name).c_str()) == 0) {
          ++swapped_;
        }
      }
    }
  }

  std::string top_, victim_, away_;
  int fd_ = -1;
  std::map<int, std::string> watched_;
  std::atomic<bool> stop_{false};
  int swapped_ = 0;
  std::thread thread_;
};

struct SwapCase {
  const char* name;
  std::function<void(const std::string& top, const std::string& copy)> walk;
};

void PrintTo(const SwapCase& c, std::ostream* os) { *os << c.name; }

class TreeWalks : public ::testing::TestWithParam<SwapCase> {};

// Many subfolders of many files, each swapped for a link to a victim folder (files of
// the same names, mode 0600, "victim") while the walk is inside it: the victim's files
// are never removed, changed or copied, whatever the walk does to its own tree.
TEST_P(TreeWalks, SubfolderSwappedForALinkMidWalkNeverLeadsOutside) {
  const SwapCase& c = GetParam();
  const std::string failure = runIsolated(
      [&c] {
        ScratchDir dir;
        const std::string top = dir / "top", victim = dir / "victim", away = dir / "away",
                          copy = dir / "copy";
        for (const std::string& folder : {top, victim, away, copy}) mkdir(folder.c_str(), 0755);
        std::vector<std::string> names;
        for (int k = 0; k < SWAP_FILES; ++k) {
          const std::string file = victim + "/f" + std::to_string(k);
          writeFileBytes(file, "victim");
          chmod(file.c_str(), 0600);
        }
        for (int i = 0; i < SWAP_SUBFOLDERS; ++i) {
          names.push_back("s" + std::to_string(i));
          mkdir((top + "/" + names.back()).c_str(), 0755);
          for (int k = 0; k < SWAP_FILES; ++k) {
            writeFileBytes(top + "/" + names.back() + "/f" + std::to_string(k), "mine");
          }
        }
        FolderSwapper swapper(top, names, victim, away);
        ASSERT_TRUE(swapper.watching(names.size()));
        OutputCapture capture;
        capture.start();
        c.walk(top, copy);
        capture.stop();
        EXPECT_GT(swapper.finish(), 0) << "no folder was swapped during the walk";
        int intact = 0;
        for (int k = 0; k < SWAP_FILES; ++k) {
          const std::string file = victim + "/f" + std::to_string(k);
          intact += pathExists(file) && readFileBytes(file) == "victim" && modeOf(file) == 0600u;
        }
        EXPECT_EQ(SWAP_FILES, intact);
        int copiedFromVictim = 0;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(copy, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
          copiedFromVictim += it->is_regular_file(ec) && readFileBytes(it->path()) == "victim";
        }
        EXPECT_EQ(0, copiedFromVictim);
      },
      60);
  EXPECT_EQ("", failure);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TreeWalks,
    ::testing::Values(
        SwapCase{"DeleteFolder",
                 [](const std::string& top, const std::string&) { DeleteFolder(top.c_str()); }},
        SwapCase{"chmod755Recursive",
                 [](const std::string& top, const std::string&) { chmod755Recursive(top.c_str()); }},
        SwapCase{"chmodAllExecutable",
                 [](const std::string& top, const std::string&) { chmodAllExecutable(top.c_str()); }},
        SwapCase{"CopyFolder",
                 [](const std::string& top, const std::string& copy) {
                   CopyFolder(top.c_str(), copy.c_str());
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- copyFile and CopyFolder ----

TEST(CopyFolder, MergesOverwritesAndDropsModeBits) {
  ScratchDir dir;
  const std::string src = dir / "src", dst = dir / "dst";
  mkdir(src.c_str(), 0777);
  mkdir((src + "/sub").c_str(), 0777);
  writeFileBytes(src + "/same", "new");
  writeFileBytes(src + "/tool", "#!/bin/sh\n");
  chmod((src + "/tool").c_str(), 0755);
  writeFileBytes(src + "/sub/inner", std::string(3 * COPY_BUFFER_SIZE + 17, 'q'));
  writeFileBytes(src + "/exact", std::string(COPY_BUFFER_SIZE, 'e'));
  writeFileBytes(dir / "outside", "secret");
  symlink((dir / "outside").c_str(), (src + "/link").c_str());
  mkdir(dst.c_str(), 0777);
  writeFileBytes(dst + "/same", "old contents");
  writeFileBytes(dst + "/other", "stays");
  const mode_t old = umask(022);
  CaptureStdout();
  EXPECT_EQ(0, CopyFolder(src.c_str(), dst.c_str()));
  const std::string out = GetCapturedStdout();
  umask(old);
  EXPECT_EQ("new", readFileBytes(dst + "/same"));
  EXPECT_EQ("stays", readFileBytes(dst + "/other"));
  EXPECT_EQ(std::string(3 * COPY_BUFFER_SIZE + 17, 'q'), readFileBytes(dst + "/sub/inner"));
  EXPECT_EQ(std::string(COPY_BUFFER_SIZE, 'e'), readFileBytes(dst + "/exact"));
  EXPECT_EQ(0644u, modeOf(dst + "/tool"));
  EXPECT_FALSE(pathExists(dst + "/link"));
  EXPECT_NE(std::string::npos, out.find("[CopyFolder] Copying DIR " + dst + "/sub\n"));
  EXPECT_NE(std::string::npos, out.find("[CopyFolder] Copying FILE " + dst + "/same\n"));
}

TEST(CopyFolder, FailuresStopTheCopy) {
  ScratchDir dir;
  const std::string src = dir / "src", dst = dir / "dst";
  mkdir(src.c_str(), 0777);
  mkdir((src + "/sub").c_str(), 0777);
  mkdir(dst.c_str(), 0777);
  // The target name for "sub" is a link to a folder elsewhere: never written through.
  mkdir((dir / "elsewhere").c_str(), 0777);
  symlink((dir / "elsewhere").c_str(), (dst + "/sub").c_str());
  writeFileBytes(src + "/sub/f", "f");
  CaptureStdout();
  EXPECT_EQ(-1, CopyFolder(src.c_str(), dst.c_str()));
  EXPECT_EQ(1, CopyFolder((dir / "missing").c_str(), dst.c_str()));
  const std::string out = GetCapturedStdout();
  EXPECT_FALSE(pathExists(dir / "elsewhere/f"));
  EXPECT_NE(std::string::npos, out.find("(could not create target folder)"));
  EXPECT_NE(std::string::npos, out.find("[CopyFolder] SourceDir from '" + dir / "missing" + "' is NULL\n"));
}

TEST(CopyFile, CopiesAndReportsEveryFailure) {
  ScratchDir dir;
  writeFileBytes(dir / "a", std::string(COPY_BUFFER_SIZE + 1, 'a'));
  writeFileBytes(dir / "victim", "v");
  symlink((dir / "victim").c_str(), (dir / "link").c_str());
  struct Case {
    std::string source, target, line;
  };
  const Case cases[] = {
      {dir / "a", dir / "b", ""},
      {dir / "missing", dir / "c",
       "[Extractor] *************************** Unable to open source file for copy " + dir / "missing"},
      // Created files never follow a link at their name.
      {dir / "a", dir / "link",
       "[Extractor] *************************** Unable to open destination file for copy " + dir / "link"},
      // A full disk is reported, not passed over.
      {dir / "a", "/dev/full",
       "[Extractor] *************************** Unable to write destination file for copy /dev/full"},
  };
  for (const Case& c : cases) {
    CaptureStdout();
    copyFile(c.source.c_str(), c.target.c_str());
    const std::string out = GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("[Extractor] Copying FILE " + c.target + "\n"));
    if (c.line.empty()) {
      EXPECT_EQ(std::string::npos, out.find("****")) << out;
      EXPECT_EQ(readFileBytes(c.source), readFileBytes(c.target));
    } else {
      EXPECT_NE(std::string::npos, out.find(c.line + "\n")) << out;
    }
  }
  EXPECT_EQ("v", readFileBytes(dir / "victim"));
}

// A file small enough to sit in stdio's buffer, copied onto a full disk: every write is
// taken, the close fails, and that is a failed copy for both.
TEST(CopyFolderAndCopyFile, CloseThatFailsIsAFailedCopy) {
  ScratchDir dir;
  const std::string src = dir / "src", dst = dir / "dst";
  mkdir(src.c_str(), 0755);
  mkdir(dst.c_str(), 0755);
  writeFileBytes(src + "/small", std::string(1000, 's'));
  const std::string failure = runIsolated(
      [&] {
        ASSERT_TRUE(mountFullTmpfs(dst));
        CaptureStdout();
        EXPECT_EQ(1, CopyFolder(src.c_str(), dst.c_str()));
        copyFile((src + "/small").c_str(), (dst + "/single").c_str());
        const std::string out = GetCapturedStdout();
        EXPECT_TRUE(hasLine(out, "[CopyFolder] *************************** Unable to write "
                                 "destination file for copy " + dst + "/small"))
            << out;
        EXPECT_TRUE(hasLine(out, "[Extractor] *************************** Unable to write "
                                 "destination file for copy " + dst + "/single"))
            << out;
      },
      20);
  EXPECT_EQ("", failure);
}

// The descriptors open in this process by number, each with what it is.
std::map<int, std::pair<dev_t, ino_t>> openDescriptors() {
  std::map<int, std::pair<dev_t, ino_t>> open;
  for (int fd = 0; fd < 1024; ++fd) {
    struct stat st;
    if (fstat(fd, &st) == 0) open[fd] = {st.st_dev, st.st_ino};
  }
  return open;
}

// A copy that runs out of descriptors at each point in turn (the target folder, a
// source folder, a source file, a destination file) fails with its line and leaves the
// process's descriptors as they were: none of its own left open, none of the caller's
// (the sentinel) closed.
TEST(CopyFolder, RunningOutOfDescriptorsFailsCleanlyAtEveryPoint) {
  ScratchDir dir;
  const std::string src = dir / "src", dst = dir / "dst";
  mkdir(src.c_str(), 0755);
  mkdir((src + "/sub").c_str(), 0755);
  writeFileBytes(src + "/a", "a");
  writeFileBytes(src + "/sub/b", "b");
  const std::string failure = runIsolated(
      [&] {
        const int sentinel = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(sentinel, 0);
        struct rlimit saved;
        ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
        // One copy with every descriptor it wants first: the sanitizers check a type the
        // first time they meet it through a pipe of their own, which a lowered limit fails.
        ASSERT_EQ(0, mkdir(dst.c_str(), 0755));
        int32_t warmed = -1;
        captureStdout([&] { warmed = CopyFolder(src.c_str(), dst.c_str()); });
        ASSERT_EQ(0, warmed);
        bool destinationFailed = false, copied = false;
        for (int spare = 0; spare <= 8 && !copied; ++spare) {
          SCOPED_TRACE(spare);
          fs::remove_all(dst);
          ASSERT_EQ(0, mkdir(dst.c_str(), 0755));
          OutputCapture capture;
          capture.start();
          const auto before = openDescriptors();
          const int lowestFree = fcntl(0, F_DUPFD_CLOEXEC, 0);
          close(lowestFree);
          struct rlimit low = saved;
          low.rlim_cur = static_cast<rlim_t>(lowestFree + spare);
          const int lowered = setrlimit(RLIMIT_NOFILE, &low);
          const int32_t result = CopyFolder(src.c_str(), dst.c_str());
          const int restored = setrlimit(RLIMIT_NOFILE, &saved);
          const auto after = openDescriptors();
          capture.stop();
          ASSERT_EQ(0, lowered);
          ASSERT_EQ(0, restored);
          EXPECT_EQ(before, after);
          ASSERT_EQ(1u, after.count(sentinel));
          EXPECT_EQ(before.at(sentinel), after.at(sentinel));
          const std::string& out = capture.out();
          const bool logged = out.find("****") != std::string::npos ||
                              out.find("[CopyFolder] SourceDir from") != std::string::npos;
          EXPECT_EQ(result != 0, logged) << out;
          destinationFailed |= out.find("Unable to open destination file for copy " + dst + "/") !=
                               std::string::npos;
          copied = result == 0;
        }
        EXPECT_TRUE(destinationFailed);
        ASSERT_TRUE(copied) << "no copy succeeded with the descriptors it needs";
        EXPECT_EQ("a", readFileBytes(dst + "/a"));
        EXPECT_EQ("b", readFileBytes(dst + "/sub/b"));
        close(sentinel);
      },
      60);
  EXPECT_EQ("", failure);
}

// ---- renameWithFallback ----

TEST(RenameWithFallback, ReplacesAnExistingTarget) {
  ScratchDir dir;
  const std::string src = dir / "src", dst = dir / "dst";
  mkdir(src.c_str(), 0777);
  writeFileBytes(src + "/new", "n");
  mkdir(dst.c_str(), 0777);
  mkdir((dst + "/oldsub").c_str(), 0777);
  writeFileBytes(dst + "/oldsub/old", "o");
  CaptureStdout();
  renameWithFallback(src.c_str(), dst.c_str());
  const std::string out = GetCapturedStdout();
  EXPECT_FALSE(pathExists(src));
  EXPECT_FALSE(pathExists(dst + "/oldsub"));
  EXPECT_EQ("n", readFileBytes(dst + "/new"));
  EXPECT_NE(std::string::npos, out.find("[Rename] The target already exists. Deleting.\n"));
  EXPECT_NE(std::string::npos, out.find("[Rename] File '" + src + "' renamed to '" + dst + "'\n"));
  EXPECT_EQ(std::string::npos, out.find("Could not rename"));
  // Emptied and removed: nothing of the old folder is left anywhere.
  EXPECT_EQ(std::vector<std::string>{"dst"}, namesIn(dir.path())) << out;
}

constexpr uid_t OLD_TARGET_OWNER = 47218;
constexpr int SHALLOW_FILE_LIMIT = 40;

// Another user owns the old target and keeps it from being emptied with a chain of
// folders deeper than the run may hold open at once: it is moved aside whole and left,
// and the new tree takes the name alone, never merged with the old one.
TEST(RenameWithFallback, OldTargetThatCannotBeEmptiedIsMovedAsideNeverMergedInto) {
  ScratchDir dir;
  const std::string src = dir / "src", dst = dir / "dst";
  mkdir(src.c_str(), 0755);
  writeFileBytes(src + "/new", "n");
  std::string deep = dst;
  for (int i = 0; i < 3 * SHALLOW_FILE_LIMIT; ++i) deep += "/d";
  fs::create_directories(deep);
  writeFileBytes(dst + "/bin-theirs", "their program");
  for (auto it = fs::recursive_directory_iterator(dst); it != fs::recursive_directory_iterator(); ++it) {
    lchown(it->path().c_str(), OLD_TARGET_OWNER, OLD_TARGET_OWNER);
  }
  lchown(dst.c_str(), OLD_TARGET_OWNER, OLD_TARGET_OWNER);
  const ChildRun run = runInChild([&] {
    const rlimit limit = {SHALLOW_FILE_LIMIT, SHALLOW_FILE_LIMIT};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
    renameWithFallback(src.c_str(), dst.c_str());
    return 0;
  });
  ASSERT_EQ(0, run.exitStatus) << run.output;
  EXPECT_EQ(std::vector<std::string>{"new"}, namesIn(dst)) << run.output;
  EXPECT_FALSE(pathExists(src));
  std::vector<std::string> names = namesIn(dir.path());
  ASSERT_EQ(2u, names.size()) << run.output;
  const std::string aside = dir / names[0];
  EXPECT_EQ(0u, names[0].rfind("HalvorinReplaced_", 0)) << names[0];
  EXPECT_TRUE(pathExists(aside + "/d")) << "the chain that kept it from being emptied";
  EXPECT_NE(std::string::npos,
            run.output.find("[Rename] Could not empty '" + dst + "' (Directory not empty), moved it "
                            "aside to '" + aside + "'\n"))
      << run.output;
  EXPECT_EQ(std::string::npos, run.output.find("Could not rename")) << run.output;
}

TEST(RenameWithFallback, CopiesWhenRenameCannotWorkAcrossFileSystems) {
  ScratchDir shm("/dev/shm");
  ScratchDir tmp("/tmp");
  const std::string src = shm / "src", dst = tmp / "dst";
  mkdir(src.c_str(), 0777);
  mkdir((src + "/sub").c_str(), 0777);
  writeFileBytes(src + "/sub/f", "payload");
  CaptureStdout();
  renameWithFallback(src.c_str(), dst.c_str());
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(10, countOf(out, "[Rename] Could not rename '" + src + "' to '" + dst + "' [18]\n")) << out;
  EXPECT_EQ(1, countOf(out, "[Rename] [FAIL] Could not rename '" + src + "' to '" + dst + "' [18]\n"));
  EXPECT_NE(std::string::npos, out.find("[Rename] Can do no better than a copy on this filesystem\n"));
  EXPECT_NE(std::string::npos, out.find("[Rename] Created folder " + dst + "\n"));
  EXPECT_NE(std::string::npos, out.find("[Rename] Copied " + src + " to " + dst + "\n"));
  EXPECT_EQ("payload", readFileBytes(dst + "/sub/f"));
  EXPECT_EQ("payload", readFileBytes(src + "/sub/f"));  // the source stays
}

// A link planted at the target name is removed, never written through.
TEST(RenameWithFallback, RemovesALinkAtTheTarget) {
  ScratchDir dir;
  const std::string src = dir / "src", dst = dir / "dst";
  mkdir(src.c_str(), 0777);
  writeFileBytes(src + "/new", "n");
  mkdir((dir / "elsewhere").c_str(), 0777);
  writeFileBytes(dir / "elsewhere/keep", "k");
  symlink((dir / "elsewhere").c_str(), dst.c_str());
  CaptureStdout();
  renameWithFallback(src.c_str(), dst.c_str());
  const std::string out = GetCapturedStdout();
  struct stat st;
  ASSERT_EQ(0, lstat(dst.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ("n", readFileBytes(dst + "/new"));
  EXPECT_EQ("k", readFileBytes(dir / "elsewhere/keep"));
  EXPECT_FALSE(pathExists(dir / "elsewhere/new"));
  EXPECT_NE(std::string::npos, out.find("[Rename] The target is a link. Removing it.\n")) << out;
  EXPECT_NE(std::string::npos, out.find("[Rename] File '" + src + "' renamed to '" + dst + "'\n"));
}

// Rename impossible (another file system) and the copy fails on a file the user may
// not read: what was copied goes again, so the target name never names a partial tree.
TEST(RenameWithFallback, FailedCopyIsRemoved) {
  ScratchDir shm("/dev/shm");
  ScratchDir tmp("/tmp");
  chmod(shm.path().c_str(), 0755);
  chmod(tmp.path().c_str(), 0777);
  const std::string src = shm / "src", dst = tmp / "dst";
  mkdir(src.c_str(), 0755);
  mkdir((src + "/sub").c_str(), 0755);
  writeFileBytes(src + "/sub/readable", "r");
  writeFileBytes(src + "/readable", "r");
  writeFileBytes(src + "/secret", "s");
  chmod((src + "/readable").c_str(), 0644);
  chmod((src + "/sub/readable").c_str(), 0644);
  chmod((src + "/secret").c_str(), 0600);
  const ChildRun run = runInChild([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
    renameWithFallback(src.c_str(), dst.c_str());
    return 0;
  });
  ASSERT_EQ(0, run.exitStatus) << run.output;
  EXPECT_FALSE(pathExists(dst)) << run.output;
  EXPECT_TRUE(pathExists(src + "/secret"));
  EXPECT_NE(std::string::npos, run.output.find("[Rename] Copy failed too! Severe filesystem issues.\n"));
  EXPECT_NE(std::string::npos, run.output.find("[Rename] Removed the partial copy " + dst + "\n"))
      << run.output;
}

}  // namespace
