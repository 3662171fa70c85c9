#include "core/install_folders.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/timeutil.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_user.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// ---- install base folder ----------------------------------------------------------

// Who runs getInstallBaseFolder: a user whose password entry names a home folder in the
// scratch folder, one whose entry has an empty home, or a user id without any entry.
enum class User { WithHome, EmptyHome, NoEntry };

constexpr uid_t HOME_UID = 47101, EMPTY_HOME_UID = 47102, NO_ENTRY_UID = 47103;

struct BaseFolderCase {
  const char* label;
  User user;
  const char* installType;
  int exitStatus;
  const char* result;  // "HOME" stands for the user's home folder; nullptr: none
  const char* modeLine;
  bool created;
};

void PrintTo(const BaseFolderCase& c, std::ostream* os) { *os << c.label; }

// Runs body as the chosen user, with a password database of the test's own in which
// hvhome's home is in the scratch folder and hvempty has none. Nothing ever reaches a
// real user's home.
ChildRun runAsHomeUser(const ScratchDir& dir, uid_t uid, const std::function<int()>& body) {
  const std::string passwd = dir / "passwd";
  writeFileBytes(passwd, passwdText({{"hvhome", HOME_UID, 100, dir / "home"},
                                     {"hvempty", EMPTY_HOME_UID, 100, ""}}));
  return runAsUser(passwd, uid, 100, body);
}

class InstallBaseFolder : public testing::TestWithParam<BaseFolderCase> {};

TEST_P(InstallBaseFolder, FollowsInstallTypeAndPasswordEntry) {
  const BaseFolderCase& c = GetParam();
  ScratchDir dir;
  const std::string home = dir / "home";
  ASSERT_EQ(0, mkdir(home.c_str(), 0755));
  ASSERT_EQ(0, chown(home.c_str(), HOME_UID, 100));
  chmod(dir.path().c_str(), 0755);  // the user must reach its home
  const uid_t uid = c.user == User::WithHome ? HOME_UID
                    : c.user == User::EmptyHome ? EMPTY_HOME_UID
                                                : NO_ENTRY_UID;
  const bool rootSharedBefore = pathExists("/.Halvorin");
  const ChildRun run = runAsHomeUser(dir, uid, [&] {
    char* shared = getInstallBaseFolder(c.installType);
    printf("RESULT %s\n", shared);
    free(shared);
    return 0;
  });
  ASSERT_LT(run.exitStatus, TEST_USER_SETUP_FAILED) << "cannot set up the test user: " << run.exitStatus;
  EXPECT_EQ(c.exitStatus, run.exitStatus) << run.output;
  EXPECT_TRUE(contains(run.output, c.modeLine)) << run.output;
  EXPECT_EQ(std::string(c.modeLine) == "Temporary install\n",
            contains(run.output, "Temporary install\n"));
  std::string expected;
  if (c.result != nullptr) {
    expected = std::string("RESULT ") + (std::string(c.result) == "HOME" ? home + "/.Halvorin"
                                                                          : c.result) + "\n";
    EXPECT_TRUE(contains(run.output, expected)) << run.output;
  } else {
    EXPECT_FALSE(contains(run.output, "RESULT")) << run.output;
  }
  EXPECT_EQ(c.user == User::WithHome && c.exitStatus == 0 && c.result != nullptr &&
                std::string(c.result) == "HOME",
            contains(run.output, "HomeDir is " + home + "\n"))
      << run.output;
  EXPECT_EQ(c.created, pathExists(home + "/.Halvorin"));
  EXPECT_EQ(rootSharedBefore, pathExists("/.Halvorin"));
  if (c.exitStatus == 1) {
    EXPECT_TRUE(contains(run.output, "No home folder for user id ")) << run.output;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallBaseFolder,
    testing::Values(
        BaseFolderCase{"PermAll", User::WithHome, "perm_all", 0, "/opt",
                       "Permanent install for all users\n", false},
        BaseFolderCase{"PermUser", User::WithHome, "perm_user", 0, "HOME",
                       "Permanent install for current user\n", true},
        BaseFolderCase{"UpperCase", User::WithHome, "PERM_USER", 0, "HOME", "Temporary install\n",
                       true},
        BaseFolderCase{"Misspelt", User::WithHome, "per_user", 0, "HOME", "Temporary install\n",
                       true},
        BaseFolderCase{"Empty", User::WithHome, "", 0, "HOME", "Temporary install\n", true},
        BaseFolderCase{"PermAllNeedsNoEntry", User::NoEntry, "perm_all", 0, "/opt",
                       "Permanent install for all users\n", false},
        BaseFolderCase{"NoEntryEnds", User::NoEntry, "perm_user", 1, nullptr,
                       "Permanent install for current user\n", false},
        BaseFolderCase{"EmptyHomeEnds", User::EmptyHome, "", 1, nullptr, "Temporary install\n",
                       false}),
    [](const testing::TestParamInfo<BaseFolderCase>& info) { return info.param.label; });

// ---- field readers ----------------------------------------------------------------

struct FieldCase {
  const char* entry;
  const char* wanted;
  bool matches;
  int64_t version;
};

TEST(FolderFields, MatchAndVersionFollowTheDashes) {
  const FieldCase cases[] = {
      {"Halvorin-Halvorin-12-complete", "Halvorin", true, 12},
      {"Halvorin-Halvorin-0042-complete", "Halvorin", true, 42},
      {"x-Halvorin-3-y", "Halvorin", true, 3},
      {"Halvorin-Halvorin-10-complete.plugin", "Halvorin", false, 10},
      {"a-b-.plugin", "b", false, -1},
      {"Halvorin-Halvorin-abc-complete", "Halvorin", true, 0},
      {"Halvorin-Halvorin-12abc-complete", "Halvorin", true, 12},
      {"Halvorin-Halvorin- 7-complete", "Halvorin", true, 7},
      {"Halvorin-Halvorin-+8-complete", "Halvorin", true, 8},
      {"Halvorin-Halvorin--complete", "Halvorin", true, 0},
      {"Halvorin-Halvorin-99999999999999999999-complete", "Halvorin", true, INT64_MAX},
      {"Halvorin-Halvorin-5", "Halvorin", true, -1},
      {"Halvorin-Halvorin", "Halvorin", false, -1},
      {"Halvorin", "Halvorin", false, -1},
      {"Halvorin-Halvorinx-1-complete", "Halvorin", false, 1},
      {"Halvorin-Halvo-1-complete", "Halvorin", false, 1},
      {"Halvorin-Hal-vorin-3-complete", "Hal-vorin", false, 0},
      {"a--1-b", "", true, 1},
      {"HalvorinTemp-1700000000-5-app", "Halvorin", false, 5},
  };
  for (const FieldCase& c : cases) {
    EXPECT_EQ(c.matches, folderMatchesName(c.entry, c.wanted) == 0) << c.entry << " " << c.wanted;
    EXPECT_EQ(c.version, folderVersion(c.entry)) << c.entry;
  }
}

TEST(FolderFields, MismatchOrdersLikeStrcmp) {
  EXPECT_LT(folderMatchesName("H-Halvo-1-c", "Halvorin"), 0);
  EXPECT_GT(folderMatchesName("H-Halvorinx-1-c", "Halvorin"), 0);
  EXPECT_LT(folderMatchesName("H-Alpha-1-c", "Beta"), 0);
}

// ---- PickFolder -------------------------------------------------------------------

struct PickCase {
  const char* label;
  std::vector<const char*> folders;
  std::vector<const char*> files;
  const char* wanted;
  const char* pick;  // nullptr: none
  std::vector<const char*> logLines;
};

void PrintTo(const PickCase& c, std::ostream* os) { *os << c.label; }

class PickFolderCases : public testing::TestWithParam<PickCase> {};

TEST_P(PickFolderCases, PicksTheHighestVersion) {
  const PickCase& c = GetParam();
  ScratchDir dir;
  for (const char* name : c.folders) ASSERT_EQ(0, mkdir((dir / name).c_str(), 0755)) << name;
  for (const char* name : c.files) writeFileBytes(dir / name, "x");
  char* pick = nullptr;
  const std::string out = captureStdout([&] { pick = PickFolder(dir.path().c_str(), c.wanted); });
  if (c.pick == nullptr) {
    EXPECT_EQ(nullptr, pick) << pick;
  } else {
    ASSERT_NE(nullptr, pick) << out;
    EXPECT_STREQ(c.pick, pick);
  }
  free(pick);
  for (const char* line : c.logLines) EXPECT_TRUE(contains(out, line)) << line << "\n" << out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PickFolderCases,
    testing::Values(
        PickCase{"NumbersNotText",
                 {"Halvorin-Halvorin-9-complete", "Halvorin-Halvorin-10-complete"},
                 {},
                 "Halvorin",
                 "Halvorin-Halvorin-10-complete",
                 {"[PickFolder] Folder Halvorin-Halvorin-9-complete matches Halvorin with version 9\n",
                  "[PickFolder] Set latest to 10 Halvorin-Halvorin-10-complete\n"}},
        PickCase{"PluginNeverMatches",
                 {"Halvorin-Halvorin-10-complete.plugin", "Halvorin-Halvorin-3-complete"},
                 {},
                 "Halvorin",
                 "Halvorin-Halvorin-3-complete",
                 {}},
        PickCase{"NoDigitsIsZero",
                 {"Halvorin-Halvorin-abc-complete"},
                 {},
                 "Halvorin",
                 "Halvorin-Halvorin-abc-complete",
                 {"[PickFolder] Folder Halvorin-Halvorin-abc-complete matches Halvorin with version 0\n",
                  "[PickFolder] Set latest to 0 Halvorin-Halvorin-abc-complete\n"}},
        PickCase{"NoThirdDashNeverPicked",
                 {"Halvorin-Halvorin-5"},
                 {},
                 "Halvorin",
                 nullptr,
                 {"[PickFolder] Folder Halvorin-Halvorin-5 matches Halvorin with version -1\n"}},
        PickCase{"OuterFieldsIgnored", {"x-Halvorin-3-y"}, {}, "Halvorin", "x-Halvorin-3-y", {}},
        PickCase{"WantedWithDash",
                 {"Halvorin-Hal-vorin-3-complete", "Halvorin-Hal-1-complete"},
                 {},
                 "Hal-vorin",
                 nullptr,
                 {}},
        PickCase{"OtherComponentsAndTempFolders",
                 {"Halvorin-Other-99-complete", "HalvorinTemp-1700000000-7-app",
                  "Halvorin-Halvorin-1-complete"},
                 {},
                 "Halvorin",
                 "Halvorin-Halvorin-1-complete",
                 {}},
        PickCase{"FileCountsLikeAFolder",
                 {"Halvorin-Halvorin-2-complete"},
                 {"Halvorin-Halvorin-7-complete"},
                 "Halvorin",
                 "Halvorin-Halvorin-7-complete",
                 {}},
        PickCase{"HugeVersionSaturates",
                 {"Halvorin-Halvorin-99999999999999999999-complete", "Halvorin-Halvorin-5-complete"},
                 {},
                 "Halvorin",
                 "Halvorin-Halvorin-99999999999999999999-complete",
                 {}},
        PickCase{"EmptyFolder", {}, {}, "Halvorin", nullptr, {}},
        PickCase{"MasterFolderWithoutCopies",
                 {"logs", "HVApps", "HVAppsSharedConfig"},
                 {},
                 "Halvorin",
                 nullptr,
                 {}}),
    [](const testing::TestParamInfo<PickCase>& info) { return info.param.label; });

TEST(PickFolder, MissingFolderGivesNull) {
  EXPECT_EQ(nullptr, PickFolder("/nonexistent/hv/master", "Halvorin"));
}

std::vector<std::string> listing(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  while (const dirent* entry = readdir(dir)) names.push_back(entry->d_name);
  closedir(dir);
  return names;
}

// 5 and 05 are both version 5: whichever the listing yields first stays picked.
TEST(PickFolder, EqualVersionsKeepTheFirstListed) {
  ScratchDir dir;
  ASSERT_EQ(0, mkdir((dir / "Halvorin-Halvorin-5-complete").c_str(), 0755));
  ASSERT_EQ(0, mkdir((dir / "Halvorin-Halvorin-05-complete").c_str(), 0755));
  std::string first;
  for (const std::string& name : listing(dir.path())) {
    if (name.rfind("Halvorin-", 0) == 0) {
      first = name;
      break;
    }
  }
  char* pick = nullptr;
  const std::string out = captureStdout([&] { pick = PickFolder(dir.path().c_str(), "Halvorin"); });
  ASSERT_NE(nullptr, pick);
  EXPECT_EQ(first, pick);
  free(pick);
  size_t setLines = 0;
  for (size_t at = out.find("Set latest"); at != std::string::npos; at = out.find("Set latest", at + 1)) {
    ++setLines;
  }
  EXPECT_EQ(1u, setLines) << out;
}

// ---- name builders ----------------------------------------------------------------

std::unique_ptr<char[]> pathBuffer() {
  // Exactly PATH_BUFFER_SIZE on the heap, so a write past it is caught by the sanitizer.
  std::unique_ptr<char[]> buffer(new char[PATH_BUFFER_SIZE]);
  memset(buffer.get(), 'Z', PATH_BUFFER_SIZE);
  return buffer;
}

TEST(CompleteFolderName, JoinsWithOneSlash) {
  const char* parents[] = {"/m/master", "/m/master/"};
  for (const char* parent : parents) {
    auto dst = pathBuffer();
    EXPECT_EQ(dst.get(), makeCompleteFolderName(dst.get(), parent, "My App", "0042"));
    EXPECT_STREQ("/m/master/Halvorin-My App-0042-complete", dst.get());
  }
}

int entriesOf(const std::string& folder) { return static_cast<int>(listing(folder).size()); }

TEST(TempFolderName, SameSecondSameFolderSameName) {
  ScratchDir dir;
  writeFileBytes(dir / "a", "");
  writeFileBytes(dir / "b", "");
  for (int attempt = 0; attempt < 5; ++attempt) {
    auto first = pathBuffer(), second = pathBuffer();
    const long before = static_cast<long>(time(nullptr));
    makeTempFolderName(first.get(), dir.path().c_str());
    makeTempFolderName(second.get(), dir.path().c_str());
    const long after = static_cast<long>(time(nullptr));
    if (before != after) continue;  // the second turned between the calls
    EXPECT_STREQ(first.get(), second.get());
    EXPECT_EQ(dir / ("HalvorinTemp-" + std::to_string(before) + "-4-app"), first.get());
    return;
  }
  FAIL() << "the clock kept turning its second";
}

TEST(TempFolderName, MissingFolderCountsZero) {
  auto dst = pathBuffer();
  const long before = static_cast<long>(time(nullptr));
  makeTempFolderName(dst.get(), "/nonexistent/hv");
  const long after = static_cast<long>(time(nullptr));
  long seconds = 0;
  char tail[16] = {};
  ASSERT_EQ(2, sscanf(dst.get(), "/nonexistent/hv/HalvorinTemp-%ld-%15s", &seconds, tail))
      << dst.get();
  EXPECT_STREQ("0-app", tail);
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
}

// Two runs forming their names in the same second never share a temporary folder: a
// name that is taken (by a folder, a file or a link) is formed again with its count
// raised by one.
TEST(TempFolder, CreatedExclusivelyWithTheCountRaised) {
  ScratchDir dir;
  const std::string name = "HalvorinTemp-1700000000-7-app";
  mkdir((dir / name).c_str(), 0700);
  writeFileBytes(dir / "HalvorinTemp-1700000000-8-app", "");
  symlink("/nonexistent", (dir / "HalvorinTemp-1700000000-9-app").c_str());
  auto path = pathBuffer();
  strcpy(path.get(), (dir / name).c_str());
  std::string out;
  out = captureStdout([&] { EXPECT_EQ(0, createTempFolder(path.get())); });
  EXPECT_EQ(dir / "HalvorinTemp-1700000000-10-app", path.get());
  struct stat st;
  ASSERT_EQ(0, lstat(path.get(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0755u, st.st_mode & 07777);
  EXPECT_TRUE(contains(out, "[Utils] " + dir / name + " is taken, trying HalvorinTemp-1700000000-8-app\n"))
      << out;
  EXPECT_TRUE(contains(out, "trying HalvorinTemp-1700000000-10-app\n")) << out;
  // A free name is taken as it is.
  strcpy(path.get(), (dir / "HalvorinTemp-1700000000-20-app").c_str());
  captureStdout([&] { EXPECT_EQ(0, createTempFolder(path.get())); });
  EXPECT_EQ(dir / "HalvorinTemp-1700000000-20-app", path.get());
  // A taken name at the highest count is not raised past it.
  const std::string highest = "HalvorinTemp-1700000000-2147483647-app";
  mkdir((dir / highest).c_str(), 0700);
  strcpy(path.get(), (dir / highest).c_str());
  out = captureStdout([&] { EXPECT_EQ(-1, createTempFolder(path.get())); });
  EXPECT_EQ(dir / highest, path.get());
  EXPECT_TRUE(contains(out, "[Utils] " + dir / highest + " is taken and its count cannot be raised\n"))
      << out;
  // Other failures are not retried.
  strcpy(path.get(), (dir / "missing/HalvorinTemp-1700000000-1-app").c_str());
  captureStdout([&] { EXPECT_EQ(-1, createTempFolder(path.get())); });
  EXPECT_EQ(dir / "missing/HalvorinTemp-1700000000-1-app", path.get());
}

TEST(LaunchPropertiesName, MillisecondsThenEntryCount) {
  ScratchDir dir;
  writeFileBytes(dir / "HalvorinLaunch", "");
  const struct {
    std::string parent;
    int count;
  } cases[] = {{dir.path(), entriesOf(dir.path())}, {"/nonexistent/hv", 0}};
  for (const auto& c : cases) {
    auto dst = pathBuffer();
    const uint64_t before = currentTimeMillis();
    EXPECT_EQ(dst.get(), makeLaunchPropertiesName(dst.get(), c.parent.c_str()));
    const uint64_t after = currentTimeMillis();
    unsigned long long millis = 0;
    int count = -1;
    const std::string format = c.parent + "/HVLaunchProperties-%llu-%d";
    ASSERT_EQ(2, sscanf(dst.get(), format.c_str(), &millis, &count)) << dst.get();
    EXPECT_GE(millis, before);
    EXPECT_LE(millis, after);
    EXPECT_EQ(c.count, count);
    EXPECT_EQ(3, entriesOf(dir.path()));  // nothing was created
  }
}

// A name that would not fit is refused: NULL, the buffer emptied, nothing written past.
TEST(NameBuilders, RefuseWhatDoesNotFit) {
  const std::string longParent = "/" + std::string(PATH_BUFFER_SIZE - 20, 'p');
  const std::string longVersion(PATH_BUFFER_SIZE, '9');
  const std::string fittingParent = "/" + std::string(PATH_BUFFER_SIZE - 40, 'p');
  struct Case {
    const char* label;
    std::function<char*(char*)> build;
    bool fits;
  };
  const Case cases[] = {
      {"CompleteLongParent",
       [&](char* d) { return makeCompleteFolderName(d, longParent.c_str(), "Halvorin", "1"); },
       false},
      {"CompleteLongVersion",
       [&](char* d) { return makeCompleteFolderName(d, "/m", "Halvorin", longVersion.c_str()); },
       false},
      {"CompleteJustFits",
       [&](char* d) { return makeCompleteFolderName(d, fittingParent.c_str(), "H", "1"); }, true},
      {"Temp", [&](char* d) { return makeTempFolderName(d, longParent.c_str()); }, false},
      {"LaunchProperties", [&](char* d) { return makeLaunchPropertiesName(d, longParent.c_str()); },
       false},
  };
  for (const Case& c : cases) {
    auto dst = pathBuffer();
    char* result = nullptr;
    captureStdout([&] { result = c.build(dst.get()); });
    if (c.fits) {
      EXPECT_EQ(dst.get(), result) << c.label;
      EXPECT_LT(strlen(dst.get()), static_cast<size_t>(PATH_BUFFER_SIZE)) << c.label;
    } else {
      EXPECT_EQ(nullptr, result) << c.label;
      EXPECT_STREQ("", dst.get()) << c.label;
    }
  }
}

}  // namespace
