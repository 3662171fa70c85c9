#include "core/paths.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr size_t GUARD = 64;

// A PATH_BUFFER_SIZE buffer followed by guard bytes that must never change.
struct GuardedBuffer {
  std::vector<char> bytes = std::vector<char>(PATH_BUFFER_SIZE + GUARD, 'G');
  char* data() { return bytes.data(); }
  bool guardIntact() const {
    for (size_t i = PATH_BUFFER_SIZE; i < bytes.size(); ++i) {
      if (bytes[i] != 'G') return false;
    }
    return true;
  }
};

struct JoinCase {
  const char* name;
  std::vector<std::string> parts;  // parts[0] is the path, the rest are joined on in order
  std::string expected;
  bool refused = false;
};

class JoinTest : public ::testing::TestWithParam<JoinCase> {};

char* joinAll(char* buffer, const std::vector<std::string>& p) {
  switch (p.size()) {
    case 2: return buildPath2(buffer, p[0].c_str(), p[1].c_str());
    case 3: return buildPath3(buffer, p[0].c_str(), p[1].c_str(), p[2].c_str());
    case 4: return buildPath4(buffer, p[0].c_str(), p[1].c_str(), p[2].c_str(), p[3].c_str());
    case 5:
      return buildPath5(buffer, p[0].c_str(), p[1].c_str(), p[2].c_str(), p[3].c_str(),
                        p[4].c_str());
  }
  return nullptr;
}

// appendPath step by step, the buildPath member of the same arity and joinPath (whose
// results walks match against joined buffers as keys) agree.
TEST_P(JoinTest, JoinsWithOneSlashAndRefusesWhatDoesNotFit) {
  const JoinCase& c = GetParam();
  GuardedBuffer byAppend, byBuild;
  CaptureStdout();
  char* result = setString(byAppend.data(), c.parts[0].c_str());
  for (size_t i = 1; i < c.parts.size() && result != nullptr; ++i) {
    result = appendPath(byAppend.data(), c.parts[i].c_str());
  }
  char* built = joinAll(byBuild.data(), c.parts);
  const std::string out = GetCapturedStdout();
  if (!c.refused) {
    EXPECT_EQ(byAppend.data(), result);
    EXPECT_TRUE(c.expected == byAppend.data()) << c.name;
    EXPECT_EQ(byBuild.data(), built);
    EXPECT_TRUE(c.expected == byBuild.data()) << c.name;
    std::string joined = c.parts[0];
    for (size_t i = 1; i < c.parts.size(); ++i) joined = joinPath(joined, c.parts[i]);
    EXPECT_EQ(c.expected, joined) << c.name;
  } else {
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(nullptr, built);
    // Emptied: a refused child path must never name its parent folder instead.
    EXPECT_EQ(0, byAppend.data()[0]);
    EXPECT_EQ(0, byBuild.data()[0]);
    EXPECT_NE(std::string::npos, out.find("[Utils] Path too long, refused"));
  }
  EXPECT_TRUE(byAppend.guardIntact());
  EXPECT_TRUE(byBuild.guardIntact());
}

const std::string LONG4997(4997, 'p');
const std::string LONG4998(4998, 'p');

INSTANTIATE_TEST_SUITE_P(
    Cases, JoinTest,
    ::testing::Values(
        JoinCase{"Plain", {"a", "b"}, "a/b"},
        JoinCase{"PathEndsWithSlash", {"a/", "b"}, "a/b"},
        JoinCase{"PartStartsWithSlashKept", {"a", "/b"}, "a//b"},
        JoinCase{"EmptyPartStillAddsSlash", {"a", ""}, "a/"},
        JoinCase{"EmptyPathTakesPartAsIs", {"", "b"}, "b"},
        JoinCase{"Root", {"/", "x"}, "/x"},
        JoinCase{"NoNormalising", {"a//", "./b"}, "a//./b"},
        JoinCase{"Three", {"/opt", "x/", "y"}, "/opt/x/y"},
        JoinCase{"Four", {"/h", "a", "b/", "c"}, "/h/a/b/c"},
        JoinCase{"Five", {"/", "a", "b", "c", "d"}, "/a/b/c/d"},
        JoinCase{"FillsBufferExactly", {LONG4997, "x"}, LONG4997 + "/x"},
        JoinCase{"OneByteTooMany", {LONG4998, "x"}, "", true},
        JoinCase{"FirstPartTooLong", {std::string(PATH_BUFFER_SIZE, 'p'), "x"}, "", true},
        JoinCase{"RefusedInTheMiddle", {LONG4997, "xyz", "z"}, "", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AppendPath, SizedFormAndPartInsideTheBuffer) {
  char small[8 + GUARD];
  memset(small, 'G', sizeof small);
  strcpy(small, "ab");
  EXPECT_EQ(small, appendPathN(small, 8, "cdef"));  // "ab/cdef" + 0x00 = 8
  EXPECT_STREQ("ab/cdef", small);
  strcpy(small, "ab");
  CaptureStdout();
  EXPECT_EQ(nullptr, appendPathN(small, 8, "cdefg"));
  GetCapturedStdout();
  EXPECT_EQ(0, small[0]);
  for (size_t i = 8; i < sizeof small; ++i) ASSERT_EQ('G', small[i]);
  // The part is the tail of the path itself.
  char buffer[PATH_BUFFER_SIZE] = "x/yz";
  EXPECT_STREQ("x/yz/yz", appendPath(buffer, buffer + 2));
}

TEST(Strings, IndexesAndSubstrings) {
  struct LastCase {
    const char* text;
    char c;
    int32_t expected;
  };
  const LastCase lasts[] = {{"a-b-c", '-', 3}, {"abc", '-', -1}, {"/x/y/", '/', 4},
                            {"", '-', -1},     {"\xff" "a\xff", '\xff', 2}};
  for (const LastCase& c : lasts) EXPECT_EQ(c.expected, lastIndexOf(c.text, c.c)) << c.text;
  struct NthCase {
    const char* text;
    int32_t n;
    int32_t expected;
  };
  const NthCase nths[] = {{"a-b-c", 1, 1},  {"a-b-c", 2, 3}, {"a-b-c", 3, -1},
                          {"a-b-c", 0, -1}, {"a-b-c", -5, -1}, {"--", 2, 1}, {"", 1, -1}};
  for (const NthCase& c : nths) {
    EXPECT_EQ(c.expected, indexOfNth(c.text, '-', c.n)) << c.text << " " << c.n;
  }
  struct SubCase {
    int32_t start, length;
    const char* expected;
  };
  const SubCase subs[] = {{2, 3, "cde"}, {2, 0, ""}, {0, 6, "abcdef"}, {5, 1, "f"}};
  for (const SubCase& s : subs) {
    char* got = substring("abcdef", s.start, s.length);
    EXPECT_STREQ(s.expected, got);
    free(got);
  }
}

TEST(BoundedText, AppendAndFormatNeverWritePast) {
  char buffer[8 + GUARD];
  memset(buffer, 'G', sizeof buffer);
  buffer[0] = 0;
  EXPECT_TRUE(appendText(buffer, 8, "abc"));
  EXPECT_TRUE(appendText(buffer, 8, "defg"));  // 7 characters + 0x00
  EXPECT_FALSE(appendText(buffer, 8, "h"));
  EXPECT_STREQ("abcdefg", buffer);  // kept what it held
  EXPECT_TRUE(formatText(buffer, 8, "%s-%03d", "ab", 7));
  EXPECT_STREQ("ab-007", buffer);
  EXPECT_FALSE(formatText(buffer, 8, "%s", "12345678"));
  EXPECT_EQ(0, buffer[0]);
  for (size_t i = 8; i < sizeof buffer; ++i) ASSERT_EQ('G', buffer[i]);
}

// Runs the body in a chosen current folder and restores the old one afterwards.
class InFolder {
 public:
  explicit InFolder(const std::string& folder) {
    EXPECT_NE(nullptr, getcwd(old_, sizeof old_));
    EXPECT_EQ(0, chdir(folder.c_str()));
  }
  ~InFolder() { EXPECT_EQ(0, chdir(old_)); }

 private:
  char old_[PATH_MAX];
};

TEST(ToAbsolutePath, AbsoluteIsTheSamePointerRelativeIsJoined) {
  char absolute[] = "/usr/bin/x";
  EXPECT_EQ(absolute, toAbsolutePath(absolute));

  ScratchDir dir;
  struct Case {
    const char* path;
    std::string expected;
  };
  const Case cases[] = {{"bin/x", dir / "bin/x"}, {"./x", dir / "./x"}, {"", dir.path() + "/"}};
  InFolder in(dir.path());
  for (const Case& c : cases) {
    std::string copy = c.path;
    char* got = toAbsolutePath(copy.data());
    ASSERT_NE(nullptr, got) << c.path;
    EXPECT_NE(copy.data(), got);
    EXPECT_EQ(c.expected, std::string(got));
    free(got);
  }
}

TEST(ToAbsolutePath, RootGetsNoSecondSlash) {
  InFolder in("/");
  char empty[] = "";
  char* got = toAbsolutePath(empty);
  ASSERT_NE(nullptr, got);
  EXPECT_STREQ("/", got);
  free(got);
}

TEST(ToAbsolutePath, RefusedWhenTooLongOrTheFolderIsGone) {
  ScratchDir dir;
  // The folder plus '/' plus the path must fit 1024 bytes with the 0x00.
  const size_t room = 1024 - dir.path().size() - 2;
  std::string fits(room, 'f'), tooLong(room + 1, 'f');
  {
    InFolder in(dir.path());
    CaptureStdout();
    char* got = toAbsolutePath(fits.data());
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(1023u, strlen(got));
    free(got);
    EXPECT_EQ(nullptr, toAbsolutePath(tooLong.data()));
    GetCapturedStdout();
  }
  // A current folder that was removed cannot be read.
  const std::string gone = dir / "gone";
  mkdir(gone.c_str(), 0777);
  InFolder in(gone);
  rmdir(gone.c_str());
  char relative[] = "x";
  CaptureStdout();
  EXPECT_EQ(nullptr, toAbsolutePath(relative));
  const std::string out = GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("[Utils] Cannot read the current folder"));
}

TEST(GetExePath, CutAtSizeMinusOne) {
  char real[PATH_MAX] = {0};
  ASSERT_GT(readlink("/proc/self/exe", real, sizeof real - 1), 9);
  const std::string full = real;
  struct Case {
    int32_t size;
    std::string expected;
  };
  const Case cases[] = {{10, full.substr(0, 9)},
                        {static_cast<int32_t>(full.size()), full.substr(0, full.size() - 1)},
                        {static_cast<int32_t>(full.size() + 1), full},
                        {PATH_BUFFER_SIZE, full}};
  for (const Case& c : cases) {
    std::vector<char> buffer(static_cast<size_t>(c.size) + GUARD, 'G');
    CaptureStdout();
    EXPECT_EQ(0, getExePath(buffer.data(), c.size));
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(c.expected, std::string(buffer.data())) << c.size;
    EXPECT_NE(std::string::npos, out.find("Path to exe is " + c.expected + "\n"));
    for (size_t i = static_cast<size_t>(c.size); i < buffer.size(); ++i) ASSERT_EQ('G', buffer[i]);
  }
}

}  // namespace
