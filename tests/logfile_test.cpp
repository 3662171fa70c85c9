#include "core/logfile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "core/log.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"

namespace {

std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (struct dirent* e = readdir(dir)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    }
    closedir(dir);
  }
  return names;
}

// 'd' stands for any decimal digit, every other character for itself.
bool matchesPattern(const std::string& text, const std::string& pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (pattern[i] == 'd' ? !isdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i]) {
      return false;
    }
  }
  return true;
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

struct OpenCase {
  const char* name;
  const char* master;  // below the scratch folder
  const char* logs;    // where the logs folder must be
};

class OpenLogFileTest : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenLogFileTest, CreatesFoldersAndLogsEveryLaterLineIntoTheFile) {
  ScratchDir dir;
  const std::string master = dir / GetParam().master;
  const std::string logs = dir / GetParam().logs;
  const ChildRun child = runInChild([&] {
    umask(022);
    openLogFile(master.c_str());
    logMessage("[Test] after opening\n");
    return 0;
  });
  ASSERT_EQ(0, child.exitStatus);
  const std::vector<std::string> names = entriesOf(logs);
  ASSERT_EQ(1u, names.size());
  EXPECT_TRUE(matchesPattern(names[0], "Wrapper-dddd-dd-dd-dd-dd-dd-ddd.log")) << names[0];
  EXPECT_EQ(0755u, modeOf(dir / "m"));
  EXPECT_EQ(0755u, modeOf(logs));
  const std::string path = logs + "/" + names[0];
  EXPECT_NE(std::string::npos, child.output.find("[Extractor] Logging to " + path + "\n"))
      << child.output;
  // The file starts with the first line after its opening.
  const std::string file = readFileBytes(path);
  EXPECT_EQ(0u, file.find("+"));
  EXPECT_EQ(1u, std::count(file.begin(), file.end(), '\n')) << file;
  EXPECT_TRUE(file.ends_with(" [Test] after opening\n")) << file;
  EXPECT_EQ(std::string::npos, file.find("Logging to"));
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenLogFileTest,
                         ::testing::Values(OpenCase{"NewMaster", "m", "m/logs"},
                                           OpenCase{"TrailingSlashNoDoubleSlash", "m/", "m/logs"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OpenLogFile, UnusableMasterLeavesTheRunOnTheConsole) {
  ScratchDir dir;
  struct Case {
    const char* name;
    std::string master;
    const char* line;  // expected on standard output
  };
  const Case cases[] = {
      {"cannot be created", dir / "missing/m", "[Extractor] Logging to "},
      // The folder path alone would not fit 1024 bytes.
      {"folder too long", dir / std::string(1100, 'a'),
       "[Extractor] Log file path too long, logging to the console only: "},
      // The folder fits, the file name after it does not.
      {"name too long", dir / std::string(1010 - dir.path().size(), 'b'),
       "[Extractor] Log file path too long, logging to the console only: "},
  };
  for (const Case& c : cases) {
    const ChildRun child = runInChild([&] {
      openLogFile(c.master.c_str());
      logMessage("[Test] console only\n");
      return 0;
    });
    ASSERT_EQ(0, child.exitStatus) << c.name;
    EXPECT_NE(std::string::npos, child.output.find(c.line)) << c.name << child.output;
    EXPECT_NE(std::string::npos, child.output.find("[Test] console only\n")) << c.name;
    EXPECT_TRUE(entriesOf(c.master + "/logs").empty()) << c.name;
  }
  EXPECT_FALSE(pathExists(dir / "missing"));
}

}  // namespace
