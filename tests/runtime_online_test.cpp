// The online road's own decisions, run in-process in a child: the version file read into
// the JRE version, and "Skip System JRE" keeping the system search (and its shell) away.
#include "launcher/runtime_online.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/paths.h"
#include "launcher/runtime_setup.h"
#include "tests/support/http_test_server.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr int CHILD_DEADLINE_SECONDS = 60;
constexpr char RESULT_PREFIX[] = "VERSION RESULT ";

// Runs the online road in this (child) process for a run whose tail asks for no stored
// runtime and names the update site url.
void runOnlineRoad(const std::string& master, const std::string& qv, const std::string& url,
                   const char* skipSystemJre, const char* requiredJavaVersion) {
  static ExtractorRun run{};
  run.silent = true;
  run.tail.skipSystemJre = const_cast<char*>(skipSystemJre);
  run.tail.requiredJavaVersion = const_cast<char*>(requiredJavaVersion);
  run.effectiveUpdateUrl = const_cast<char*>(url.c_str());
  setString(run.jreName, "jre");
  setString(run.masterFolder, master.c_str());
  setString(run.qvFolder, qv.c_str());
  RuntimeSetup_onlineRoad(&run);
}

// ---- Version file -------------------------------------------------------------------------

struct VersionFileCase {
  const char* name;
  std::string bytes;    // the file's bytes
  bool missing;         // no file at all
  int status;           // the child's exit status
  std::string version;  // the JRE version read (status 0)
  const char* line;     // a log text of the read
  bool fifo = false;    // a FIFO in the file's place, which no one writes
};

const VersionFileCase VERSION_FILE_CASES[] = {
    {"TokenBeforeLineEnd", "1.8.0_292\nignored", false, 0, "1.8.0_292",
     "[JREDownload] Spaces in version file, assuming EOF"},
    {"TokenBeforeCr", "17.0.15\r\n", false, 0, "17.0.15",
     "[JREDownload] Spaces in version file, assuming EOF"},
    {"TokenToTheEnd", "21", false, 0, "21", "[JREDownload] JRE Version is 21"},
    {"FiftyCharactersAccepted", std::string(50, '7'), false, 0, std::string(50, '7'),
     "[JREDownload] JRE Version is 77777777777777777777777777777777777777777777777777"},
    {"FiftyOneRefused", std::string(51, '7'), false, 1, "",
     "[JREDownload] Version invalid (too long)"},
    {"LeadingBlankIsEmpty", " 17", false, 0, "", "[JREDownload] JRE Version is "},
    {"LeadingLineEndIsEmpty", "\n17", false, 0, "", "[JREDownload] JRE Version is "},
    {"EmptyFile", "", false, 0, "", "[JREDownload] JRE Version is "},
    {"MissingFile", "", true, 0, "",
     "[JREDownload] ************************** Unable to open version file! [2]"},
    {"SlashRefused", "../../x", false, 1, "", "[JREDownload] Version invalid (holds a '/')"},
    // Read as missing at once instead of waiting for a writer for ever.
    {"FifoIsMissing", "", true, 0, "",
     "[JREDownload] ************************** Unable to open version file! [22]", true},
};

class VersionFile : public ::testing::TestWithParam<VersionFileCase> {};

TEST_P(VersionFile, FirstTokenBecomesTheJreVersion) {
  const VersionFileCase& c = GetParam();
  ScratchDir dir;
  const std::string path = dir / "Halvorin-jre-version.txt";
  if (!c.missing) writeFileBytes(path, c.bytes);
  if (c.fifo) {
    ASSERT_EQ(0, mkfifo(path.c_str(), 0666));
  }
  const ChildRun child = runInChild([&] {
    alarm(CHILD_DEADLINE_SECONDS);
    static ExtractorRun run{};
    strcpy(run.jreVersion, "stale");
    readJreVersionFile(&run, path.c_str());
    printf("%s%s\n", RESULT_PREFIX, run.jreVersion);
    return 0;
  });
  EXPECT_EQ(c.status, child.exitStatus) << child.output;
  EXPECT_TRUE(hasLine(child.output, c.line)) << child.output;
  if (c.status == 0) {
    EXPECT_TRUE(hasLine(child.output, RESULT_PREFIX + c.version)) << child.output;
    EXPECT_TRUE(hasLine(child.output, "[JREDownload] JRE Version is " + c.version));
  } else {
    EXPECT_EQ(std::string::npos, child.output.find(RESULT_PREFIX));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, VersionFile, ::testing::ValuesIn(VERSION_FILE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Skip System JRE ----------------------------------------------------------------------

struct SkipCase {
  const char* name;
  const char* skip;  // "Skip System JRE"; null: absent from the tail
  bool searched;
};

const SkipCase SKIP_CASES[] = {
    {"OneCharacterSkips", "n", false},
    {"EmptySearches", "", true},
    {"AbsentSearches", nullptr, true},
};

class SkipSystemJre : public ::testing::TestWithParam<SkipCase> {};

// Without a runtime on the system and without an update site the road ends with status 1
// either way; only a road that searches runs the shell's lookup.
TEST_P(SkipSystemJre, SkippedSearchRunsNoShellCommand) {
  const SkipCase& c = GetParam();
  ScratchDir dir;
  const std::string bin = dir / "path";
  const std::string calls = dir / "which-calls";
  fs::create_directories(bin);
  writeFileBytes(bin + "/which", "#!/bin/sh\necho \"$@\" >> '" + calls + "'\n");
  chmod((bin + "/which").c_str(), 0755);
  const std::string master = dir / "Halvorin-SkipTest";
  const std::string qv = master + "/Halvorin-Halvorin-12-complete";
  fs::create_directories(qv);
  RefusingPort refusing;
  const std::string url = "http://127.0.0.1:" + std::to_string(refusing.port()) + "/";
  const ChildRun child = runInChild([&] {
    alarm(CHILD_DEADLINE_SECONDS);
    setenv("PATH", (bin + ":/usr/bin:/bin").c_str(), 1);
    runOnlineRoad(master, qv, url, c.skip, "8");
    return 0;
  });
  const std::string& log = child.output;
  EXPECT_EQ(1, child.exitStatus) << log;
  EXPECT_EQ(c.searched, pathExists(calls)) << log;
  EXPECT_EQ(c.searched, hasLine(log,
                                "[Extractor] Online installer - no stored JRE, will check "
                                "for compatible system JRE"))
      << log;
  EXPECT_EQ(!c.searched,
            hasLine(log, "[Extractor] Online installer - no stored JRE. Skipping system JRE."))
      << log;
  EXPECT_EQ(c.searched ? 1 : 0, countLinesStartingWith(log, "[JRESearch] 'which java' returned"));
  EXPECT_EQ("", missingInOrder(
                    log, {"+++ Start: Setting up online JRE",
                          "[JREDownload] Failed to pick up any existing system JRE, will download",
                          "[JREDownload] Saving into " + qv + "/Halvorin-jre-version.txt",
                          "[JREDownload] Failed to download JRE version file"}))
      << log;
  EXPECT_EQ(1, countLinesStartingWith(log, "[JREDownload] Fetching JRE Version from " + url +
                                               "Halvorin-jre-version.txt?time="))
      << log;
}

INSTANTIATE_TEST_SUITE_P(Cases, SkipSystemJre, ::testing::ValuesIn(SKIP_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A version file URL too long for its buffer ---------------------------------------

// The remote name is the URL, "Halvorin-jre-version.txt?time=" and 13 digits of epoch
// milliseconds: a URL of 4956 bytes leaves it 4999 bytes, the most its buffer holds. One
// byte more and nothing is asked of the site; the line says why, not that a download
// failed.
TEST(VersionFileUrl, TooLongForItsBufferIsNeverTried) {
  struct Case {
    const char* name;
    size_t urlLength;
    bool tried;
  };
  const Case cases[] = {{"JustFits", 4956, true}, {"OneByteTooLong", 4957, false}};
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string qv = dir / "Halvorin-UrlTest/Halvorin-Halvorin-12-complete";
    fs::create_directories(qv);
    RefusingPort refusing;
    std::string url = "http://127.0.0.1:" + std::to_string(refusing.port()) + "/";
    url += std::string(c.urlLength - url.size() - 1, 'u') + "/";
    const ChildRun child = runInChild([&] {
      alarm(CHILD_DEADLINE_SECONDS);
      static ExtractorRun run{};
      run.silent = true;
      run.tail.skipSystemJre = const_cast<char*>("1");
      run.effectiveUpdateUrl = const_cast<char*>(url.c_str());
      setString(run.jreName, "jre");
      setString(run.masterFolder, (dir / "Halvorin-UrlTest").c_str());
      setString(run.qvFolder, qv.c_str());
      RuntimeSetup_onlineRoad(&run);
      return 0;
    });
    const std::string& log = child.output;
    EXPECT_EQ(1, child.exitStatus) << c.name << "\n" << log;
    EXPECT_EQ(c.tried ? 1 : 0, countLinesStartingWith(log, "[JREDownload] Fetching JRE Version from " + url))
        << c.name << "\n" << log;
    EXPECT_EQ(c.tried, hasLine(log, "[JREDownload] Failed to download JRE version file")) << c.name;
    EXPECT_EQ(!c.tried, hasLine(log, "[JREDownload] JRE version file URL too long, nothing downloaded"))
        << c.name << "\n" << log;
  }
}


// ---- The downloaded runtime's temporary folder ------------------------------------------

// The version file arrives, but no temporary folder can be made for the runtime: the road
// ends with status 1 and the system's reason before the archive is asked for, instead of
// extracting into a folder it did not make.
TEST(DownloadRoadTempFolder, ThatCannotBeMadeEndsTheRoad) {
  enum class Master { Missing, RegularFile, ReadOnly };
  struct Case {
    const char* name;
    Master master;
    int error;
  };
  const Case cases[] = {
      {"MasterFolderMissing", Master::Missing, ENOENT},
      {"MasterIsARegularFile", Master::RegularFile, ENOTDIR},
      {"MasterOnAReadOnlyFileSystem", Master::ReadOnly, EROFS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string qv = dir / "qv/Halvorin-Halvorin-12-complete";
    const std::string master = dir / "Halvorin-TempTest";
    fs::create_directories(qv);
    if (c.master == Master::RegularFile) writeFileBytes(master, "not a folder");
    if (c.master == Master::ReadOnly) fs::create_directories(master);
    HttpTestServer server;
    HttpPlan plan;
    plan.body = "17\n";
    server.serve("/site/Halvorin-jre-version.txt", plan);
    plan.body = "no archive is asked for";
    server.serve("/site/Halvorin-jre-17-archive.p2.l2", plan);
    ASSERT_TRUE(server.start()) << server.why();
    const std::string url = server.url("/site/");
    const ChildRun child = runInChild([&] {
      alarm(CHILD_DEADLINE_SECONDS);
      if (c.master == Master::ReadOnly &&
          (unshare(CLONE_NEWNS) != 0 ||
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
           mount("tmpfs", master.c_str(), "tmpfs", MS_RDONLY, "mode=0755") != 0)) {
        return 4;
      }
      runOnlineRoad(master, qv, url, "1", nullptr);
      return 0;
    });
    const std::string& log = child.output;
    if (child.exitStatus == 4) GTEST_SKIP() << "no private read-only mount: " << log;
    EXPECT_EQ(1, child.exitStatus) << log;
    std::string cause;
    for (const std::string& text : logTexts(log)) {
      if (text.rfind("[JREDownload] Cannot create folder " + master + "/HalvorinTemp-", 0) == 0) {
        cause = text;
      }
    }
    const std::string reason = std::string(": ") + strerror(c.error);
    ASSERT_GT(cause.size(), reason.size()) << log;
    EXPECT_EQ(reason, cause.substr(cause.size() - reason.size())) << cause;
    EXPECT_EQ("", missingInOrder(log, {"[JREDownload] JRE Version is 17", cause,
                                       "[JREDownload] Cannot make a temporary folder for the JRE"}))
        << log;
    EXPECT_EQ(0, countLinesStartingWith(log, "[JREDownload] Extracting JRE archive to")) << log;
    EXPECT_EQ(1, server.requests("/site/Halvorin-jre-version.txt"));
    EXPECT_EQ(0, server.requests("/site/Halvorin-jre-17-archive.p2.l2")) << log;
  }
}

}  // namespace
