// Round trips of the test-side packer: what it writes is parsed back here by a reader of
// its own (values up to 0x00, then raw data), never by the packer's writing code.
#include "tests/support/markers.h"
#include "tests/support/packer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace hvpack;

// ---- An independent reader of what the packer writes ---------------------------------

class Cursor {
 public:
  explicit Cursor(std::string bytes, size_t at = 0) : bytes_(std::move(bytes)), at_(at) {}
  // The next value up to its 0x00; fails the test when there is none.
  std::string value() {
    const size_t end = bytes_.find('\0', at_);
    if (end == std::string::npos) {
      ADD_FAILURE() << "no terminated value at offset " << at_;
      at_ = bytes_.size();
      return {};
    }
    std::string v = bytes_.substr(at_, end - at_);
    at_ = end + 1;
    return v;
  }
  std::string take(size_t n) {
    EXPECT_LE(n, bytes_.size() - at_) << "data runs past the end";
    std::string v = bytes_.substr(at_, n);
    at_ += v.size();
    return v;
  }
  bool atEnd() const { return at_ == bytes_.size(); }
  size_t offset() const { return at_; }
  std::string rest() const { return bytes_.substr(at_); }

 private:
  std::string bytes_;
  size_t at_;
};

struct ParsedEntry {
  std::string type, path, length, data;
};

// Reads entries the way the launcher does: type, path, a length unless the type is 1,
// then that many bytes; stops at the end or after the SignatureBlock's two values.
std::vector<ParsedEntry> parseArchive(const std::string& bytes, std::string* signatureHex = nullptr,
                                      size_t* signatureBlockAt = nullptr) {
  std::vector<ParsedEntry> entries;
  Cursor c(bytes);
  while (!c.atEnd()) {
    const size_t start = c.offset();
    ParsedEntry e;
    e.type = c.value();
    e.path = c.value();
    if (e.type != "1") e.length = c.value();
    if (e.path == SIGNATURE_BLOCK_PATH) {
      const std::string count = c.value();
      EXPECT_EQ(e.length, count);
      const std::string hex = c.value();
      EXPECT_EQ(hex.size(), 2 * std::stoul(count));
      if (signatureHex) *signatureHex = hex;
      if (signatureBlockAt) *signatureBlockAt = start;
      EXPECT_TRUE(c.atEnd()) << "bytes after the SignatureBlock";
      break;
    }
    if (e.type != "1") e.data = c.take(std::stoul(e.length));
    entries.push_back(e);
  }
  return entries;
}

std::vector<std::string> allValues(const std::string& bytes) {
  std::vector<std::string> values;
  Cursor c(bytes);
  while (!c.atEnd()) values.push_back(c.value());
  return values;
}

std::string toHex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char b : bytes) {
    std::snprintf(two, sizeof two, "%02X", b);
    out += two;
  }
  return out;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/hvpacker-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    path_ = made ? made : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs a shell command; returns its exit status.
int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Decompresses with the xz program, which reads both .xz and .lzma.
std::string unxz(const TempDir& dir, const std::string& compressed, const char* format) {
  writeFileBytes(dir.file("packed"), compressed);
  EXPECT_EQ(0, shell(std::string("xz -dc --format=") + format + " '" + dir.file("packed") +
                     "' > '" + dir.file("unpacked") + "'"));
  return readFileBytes(dir.file("unpacked"));
}

// ---- Markers ------------------------------------------------------------------------

TEST(PackerMarkers, AreTheLaunchersBytes) {
  EXPECT_EQ(toHex(paramsMarker()),
            "59BDC952AA35ADBB10EFDE672C47E0B5"
            "D4821F8152A102442AEBAA7B793B9345"
            "AED2097A3E2F2EFAFF1DF09B197C15B8"
            "1E6DC610417E5CED51B1191C3CE294D8");
  EXPECT_EQ(toHex(tailMarker()),
            "1D432A505B7A1F642347212417323C50"
            "216C0466295C297B0B5B19332F4F0F4D"
            "2758182415394E792B7615593D574900"
            "112905652B1070665E2D406075433008"
            "614A747E401B533B5646371E4B2C7259"
            "30443A3C2F44782B2665717139732523"
            "101451243170104A0D05572A060A5321"
            "4D2C130036291A74472D1A552C2F4263");
}

struct ScanCase {
  const char* name;
  std::string bytes;
  std::string marker;
  size_t expected;
};

TEST(PackerMarkers, ScanStepsForwardLikeTheLauncher) {
  const ScanCase cases[] = {
      {"at the start", "123xyz", "123", 0},
      {"after other bytes", "ab123", "123", 2},
      // The byte that breaks a partial match is not tried as a new start.
      {"occurrence hidden by a partial match", std::string("1123123"), "123", 4},
      {"only occurrence hidden", "1123", "123", std::string::npos},
      {"missing", "12", "123", std::string::npos},
      {"empty marker", "abc", "", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(scanForMarker(c.bytes, c.marker), c.expected) << c.name;
}

// ---- Archive streams ----------------------------------------------------------------

// Stand-in pack200 step: reversible and changes every byte.
std::string flipBytes(std::string_view data) {
  std::string out(data);
  for (char& c : out) c = static_cast<char>(c ^ 0x5A);
  return out;
}

TEST(PackerArchive, EveryEntryKindReadsBack) {
  TempDir dir;
  std::string binary;
  for (int i = 0; i < 600; ++i) binary.push_back(static_cast<char>(i * 7));
  const std::string inner = ArchiveBuilder().folder("in").file("in/x.txt", "inner data").bytes();
  const std::string archive = ArchiveBuilder()
                                  .folder("a/b")
                                  .file("a/b/c.txt", "hello")
                                  .file("empty", "")
                                  .file("bin", binary)
                                  .pack200("lib/rt.jar", "jar bytes", flipBytes)
                                  .nested("q.p2.l2", inner)
                                  .nested("r.p2.l2", inner, NestedFormat::LzmaAlone)
                                  .entry("7", "odd", "3", "xyz")
                                  .bytes();
  const auto e = parseArchive(archive);
  ASSERT_EQ(e.size(), 8u);
  EXPECT_EQ(e[0].type, "1");
  EXPECT_EQ(e[0].path, "a/b");
  EXPECT_EQ(e[1].type, "0");
  EXPECT_EQ(e[1].length, "5");
  EXPECT_EQ(e[1].data, "hello");
  EXPECT_EQ(e[2].length, "0");
  EXPECT_EQ(e[2].data, "");
  EXPECT_EQ(e[3].data, binary);
  EXPECT_EQ(e[4].type, "2");
  EXPECT_EQ(e[4].path, "lib/rt.jar");
  EXPECT_EQ(e[4].data, flipBytes("jar bytes"));
  EXPECT_EQ(e[5].path, "q.p2.l2");
  EXPECT_NE(e[5].type, "1");
  EXPECT_NE(e[5].type, "2");
  EXPECT_EQ(unxz(dir, e[5].data, "xz"), inner);
  EXPECT_EQ(unxz(dir, e[6].data, "lzma"), inner);
  EXPECT_EQ(e[7].type, "7");
  EXPECT_EQ(e[7].data, "xyz");
}

TEST(PackerArchive, TreeListsFoldersBeforeTheirContentsInByteOrder) {
  TempDir dir;
  const std::string root = dir.file("src");
  fs::create_directories(root + "/lib/sub");
  fs::create_directories(root + "/empty");
  writeFileBytes(root + "/lib/sub/b.jar", "BJAR");
  writeFileBytes(root + "/lib/a.txt", "A");
  writeFileBytes(root + "/Z", "zz");
  ArchiveBuilder::TreeOptions options;
  options.packAs200 = [](const std::string& path) { return path.ends_with(".jar"); };
  options.pack = flipBytes;
  const auto e = parseArchive(ArchiveBuilder().tree(root, "top", options).bytes());
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"0", "top/Z"},         {"1", "top/empty"},         {"1", "top/lib"},
      {"0", "top/lib/a.txt"}, {"1", "top/lib/sub"},       {"2", "top/lib/sub/b.jar"},
  };
  ASSERT_EQ(e.size(), expected.size());
  for (size_t i = 0; i < e.size(); ++i) {
    EXPECT_EQ(e[i].type, expected[i].first) << i;
    EXPECT_EQ(e[i].path, expected[i].second) << i;
  }
  EXPECT_EQ(e[0].data, "zz");
  EXPECT_EQ(e[5].data, flipBytes("BJAR"));
  EXPECT_THROW(ArchiveBuilder().tree(dir.file("missing")), PackError);
}

// ---- Wrapper tail -------------------------------------------------------------------

TailHeader sampleHeader() {
  TailHeader h;
  h.appName = "Demo";
  h.appVersion = "7";
  h.jreVersion = "17";
  h.qvVersion = "12";
  h.minSplashMs = "500";
  h.signaturePublicKey = "30820122";
  h.canOverrideSplash = "1";
  h.installType = "perm_user";
  h.silentParameter = "-q";
  h.requiredJavaVersion = "11";
  h.updateUrl = "D";
  h.skipSystemJre = "";
  return h;
}

TEST(PackerTail, HeaderValuesInOrderThenEntries) {
  TailBlock tail;
  tail.header = sampleHeader();
  tail.entries = ArchiveBuilder().file("lzma64", "L").bytes();
  Cursor c(tail.bytes());
  const std::vector<std::string> expected = {"Demo", "7",         "17", "12", "500", "30820122",
                                             "1",    "perm_user", "-q", "11", "D",   ""};
  for (const auto& v : expected) EXPECT_EQ(c.value(), v);
  EXPECT_EQ(c.rest(), tail.entries);

  tail.headerValues = 5;  // a truncated header: the entries follow the fifth value
  Cursor cut(tail.bytes());
  for (const auto& v : {"Demo", "7", "17", "12", "500"}) EXPECT_EQ(cut.value(), v);
  EXPECT_EQ(cut.rest(), tail.entries);
}

TEST(PackerTail, EntryCountFollowsTheVersions) {
  struct Case {
    const char* qv;
    const char* jre;
    const char* app;
    int entries;
  };
  const Case cases[] = {{"", "17", "3", 0},  {"1", "", "", 5},   {"1", "17", "", 6},
                        {"1", "", "3", 7},   {"1", "17", "3", 8}};
  for (const auto& c : cases) {
    TailHeader h;
    h.qvVersion = c.qv;
    h.jreVersion = c.jre;
    h.appVersion = c.app;
    EXPECT_EQ(expectedTailEntries(h), c.entries) << c.qv << "/" << c.jre << "/" << c.app;
  }
}

TEST(PackerParams, CountAndPairsInOrder) {
  ParamsBlock params;
  params.pairs = {{"update_url", "http://127.0.0.1/"}, {"wrapper_autotest", ""},
                  {"update_url", "second"}};
  EXPECT_EQ(allValues(params.bytes()),
            (std::vector<std::string>{"3", "update_url", "http://127.0.0.1/", "wrapper_autotest",
                                      "", "update_url", "second"}));
  params.countText = "abc";
  EXPECT_EQ(allValues(params.bytes()).front(), "abc");
  EXPECT_EQ(allValues(ParamsBlock().bytes()), std::vector<std::string>{"0"});
}

struct OrderCase {
  const char* name;
  BlockOrder order;
};

class PackerLauncher : public ::testing::TestWithParam<OrderCase> {};

TEST_P(PackerLauncher, AppendsBothBlocksToACopyOfTheLauncher) {
  TempDir dir;
  const std::string launcher = readFileBytes(HV_LAUNCHER_PATH);
  ParamsBlock params;
  params.pairs = {{"jre_name", "hvjre"}};
  TailBlock tail;
  tail.header = sampleHeader();
  tail.entries = ArchiveBuilder().file("lzma64", "L").file("nativesplash.png", "P").bytes();
  const std::string out = dir.file("installer");
  packLauncher(HV_LAUNCHER_PATH, out, wrapperTail(params, tail, GetParam().order));

  const std::string image = readFileBytes(out);
  ASSERT_EQ(image.compare(0, launcher.size(), launcher), 0) << "the launcher is not copied whole";
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  const size_t p = scanForMarker(image, paramsMarker());
  const size_t t = scanForMarker(image, tailMarker());
  ASSERT_NE(p, std::string::npos);
  ASSERT_NE(t, std::string::npos);
  EXPECT_GE(std::min(p, t), launcher.size());
  EXPECT_EQ(GetParam().order == BlockOrder::ParamsFirst, p < t);

  // Each block reads back from just past its marker.
  Cursor pc(image, p + PARAMS_MARKER_SIZE);
  EXPECT_EQ(pc.value(), "1");
  EXPECT_EQ(pc.value(), "jre_name");
  EXPECT_EQ(pc.value(), "hvjre");
  Cursor tc(image, t + TAIL_MARKER_SIZE);
  for (const auto& v : tail.header.values()) EXPECT_EQ(tc.value(), v);
  const auto entries = parseArchive(tc.rest().substr(0, tail.entries.size()));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].path, "nativesplash.png");

  // A packed launcher is refused as a source: it would go on reading its old tail.
  EXPECT_THROW(packLauncher(out, dir.file("again"), ""), PackError);
}

INSTANTIATE_TEST_SUITE_P(Orders, PackerLauncher,
                         ::testing::Values(OrderCase{"ParamsFirst", BlockOrder::ParamsFirst},
                                           OrderCase{"TailFirst", BlockOrder::TailFirst}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Launch file and LSO file -------------------------------------------------------

LaunchFile sampleLaunchFile(long long version) {
  LaunchFile f;
  f.version = version;
  f.mainClass = "a.Main";
  f.classOnUpdate = "a.Update";
  f.appName = "demoapp";
  f.osIcns = "icns";
  f.urlRequired = true;
  f.jvmMemMb = 512;
  f.jvmStackMb = 0;
  f.classPath = {"lib/a.jar", "lib/b.jar"};
  f.extraArgs = {"--x"};
  f.compatibilityClass = "a.Compat";
  f.postInstallClass = "a.Post";
  f.preUninstallClass = "a.Pre";
  f.appJvmOptions = {"-Dk=v", "-Xss2m"};
  f.mustFork = true;
  return f;
}

class PackerLaunchFile : public ::testing::TestWithParam<long long> {};

TEST_P(PackerLaunchFile, WritesExactlyTheValuesOfItsVersion) {
  const long long version = GetParam();
  std::vector<std::string> expected = {std::to_string(version), "a.Main", "a.Update", "demoapp",
                                       "icns", "1", "512", "0", "2", "lib/a.jar", "lib/b.jar",
                                       "1", "--x"};
  if (version > 2) expected.push_back("a.Compat");
  if (version > 3) expected.insert(expected.end(), {"a.Post", "a.Pre"});
  if (version > 4) expected.insert(expected.end(), {"2", "-Dk=v", "-Xss2m"});
  if (version > 5) expected.push_back("1");
  EXPECT_EQ(allValues(sampleLaunchFile(version).bytes()), expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, PackerLaunchFile, ::testing::Values(1, 2, 3, 4, 5, 6, 7));

TEST(PackerLsoFile, CountThenEntries) {
  LsoFile f;
  f.options = {"-Xmx1g", "-Dx=y"};
  EXPECT_EQ(allValues(f.bytes()), (std::vector<std::string>{"2", "-Xmx1g", "-Dx=y"}));
  f.count = 5;  // a count that promises more than the file holds
  EXPECT_EQ(allValues(f.bytes()), (std::vector<std::string>{"5", "-Xmx1g", "-Dx=y"}));
}

// ---- The command-line tool ----------------------------------------------------------

struct ToolRun {
  int status;
  std::string output;  // standard output and standard error
};

ToolRun runTool(const std::string& arguments) {
  const std::string command = std::string(HV_BIN_DIR) + "/halvorin-pack " + arguments + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  ToolRun run{-1, {}};
  if (p == nullptr) return run;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;) run.output.append(chunk, n);
  const int status = pclose(p);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class PackerTool : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFileBytes(dir.file("lzma.bin"), "LZMA tool");
    writeFileBytes(dir.file("splash.bin"), std::string("\x89PNG\0\1", 6));
    writeFileBytes(dir.file("a.txt"), "AAA");
    fs::create_directories(dir.file("qvtree/lib"));
    writeFileBytes(dir.file("qvtree/HalvorinLaunch"), "launch");
    writeFileBytes(dir.file("qvtree/lib/q.jar"), "QJAR");
  }
  std::string manifest(const std::string& text) const {
    writeFileBytes(dir.file("m.txt"), text);
    return "'" + dir.file("m.txt") + "'";
  }
  TempDir dir;
};

TEST_F(PackerTool, InstallerFromAManifest) {
  const std::string m = manifest(std::string("# demo installer\n") +
                                 "launcher " + HV_LAUNCHER_PATH + "\n"
                                 "order tail-first\n"
                                 "param update_url http://127.0.0.1:1/\n"
                                 "param empty_one\n"
                                 "param-base64 splash_image splash.bin\n"
                                 "header app_name Demo App\n"
                                 "header qv_version 3\n"
                                 "header install_type perm_user\n"
                                 "file lzma64 lzma.bin\n"
                                 "file nativesplash.png splash.bin\n"
                                 "folder qv\n"
                                 "tree qv.p2.l2 qvtree\n"
                                 "nested more.p2.l2\n"
                                 "  file a.txt a.txt\n"
                                 "end\n");
  const ToolRun run = runTool("installer " + m + " -o '" + dir.file("out") + "'");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string image = readFileBytes(dir.file("out"));
  const size_t p = scanForMarker(image, paramsMarker());
  const size_t t = scanForMarker(image, tailMarker());
  ASSERT_LT(t, p) << "tail-first puts the Tail block first";

  Cursor pc(image, p + PARAMS_MARKER_SIZE);
  for (const char* v : {"3", "update_url", "http://127.0.0.1:1/", "empty_one", "",
                        "splash_image", "iVBORwAB"})
    EXPECT_EQ(pc.value(), v);
  EXPECT_TRUE(pc.atEnd());

  Cursor tc(image, t + TAIL_MARKER_SIZE);
  const std::vector<std::string> header = {"Demo App", "", "", "3", "", "", "",
                                           "perm_user", "", "", "", ""};
  for (const auto& v : header) EXPECT_EQ(tc.value(), v);
  const auto e = parseArchive(image.substr(tc.offset(), p - tc.offset()));
  ASSERT_EQ(e.size(), 5u);
  EXPECT_EQ(e[0].data, "LZMA tool");
  EXPECT_EQ(e[1].path, "nativesplash.png");
  EXPECT_EQ(e[2].type, "1");
  const auto qv = parseArchive(unxz(dir, e[3].data, "xz"));
  ASSERT_EQ(qv.size(), 3u);
  EXPECT_EQ(qv[0].path, "HalvorinLaunch");
  EXPECT_EQ(qv[1].path, "lib");
  EXPECT_EQ(qv[2].data, "QJAR");
  const auto more = parseArchive(unxz(dir, e[4].data, "xz"));
  ASSERT_EQ(more.size(), 1u);
  EXPECT_EQ(more[0].data, "AAA");
}

TEST_F(PackerTool, RefusesBadManifests) {
  struct Case {
    const char* name;
    std::string body;
    const char* message;
  };
  const std::string head = std::string("launcher ") + HV_LAUNCHER_PATH + "\nheader qv_version 1\n";
  const std::string five = "file a a.txt\nfile b a.txt\nfile c a.txt\nfile d a.txt\nfile e a.txt\n";
  const Case cases[] = {
      {"too few entries", head + "file a a.txt\n", "announces 5 tail entries but the manifest has 1"},
      {"unknown directive", head + five + "frobnicate x\n", "line 8: unknown directive"},
      {"nested without end", head + five + "nested x.p2.l2\nfile f a.txt\n", "without \"end\""},
      {"missing source", head + "file a nothere\n", "cannot open"},
      {"signed without key", head + "tree x.p2.l2 qvtree signed\n", "needs a sign-key"},
      {"dir as tail entries", head + "dir qvtree\n", "use tree or nested"},
      {"unknown header key", head + "header colour red\n", "unknown header key colour"},
  };
  for (const auto& c : cases) {
    const ToolRun run = runTool("installer " + manifest(c.body) + " -o '" + dir.file("out") + "'");
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << c.name << ": " << run.output;
  }
  EXPECT_EQ(runTool("").status, 2);
}

TEST_F(PackerTool, CompressedArchive) {
  const std::string m = manifest("compress xz\nfolder top\ndir qvtree top\nfile top/a.txt a.txt\n");
  const ToolRun run = runTool("archive " + m + " -o '" + dir.file("jre.xz") + "'");
  ASSERT_EQ(run.status, 0) << run.output;
  const auto e = parseArchive(unxz(dir, readFileBytes(dir.file("jre.xz")), "xz"));
  ASSERT_EQ(e.size(), 5u);
  EXPECT_EQ(e[0].path, "top");
  EXPECT_EQ(e[1].path, "top/HalvorinLaunch");
  EXPECT_EQ(e[3].path, "top/lib/q.jar");
  EXPECT_EQ(e[4].data, "AAA");
}

TEST_F(PackerTool, LaunchAndLsoFiles) {
  ToolRun run = runTool("launch-file '" + dir.file("HalvorinLaunch") +
                        "' --version 5 --class a.Main --app-name demo --jvm-mem 256"
                        " --classpath lib/a.jar --classpath lib/b.jar --extra-arg -x"
                        " --compat-class a.Compat --jvm-option -Dk=v --url-required");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(allValues(readFileBytes(dir.file("HalvorinLaunch"))),
            (std::vector<std::string>{"5", "a.Main", "", "demo", "", "1", "256", "0", "2",
                                      "lib/a.jar", "lib/b.jar", "1", "-x", "a.Compat", "", "",
                                      "1", "-Dk=v"}));
  run = runTool("lso-file '" + dir.file("lso") + "' -Xmx1g '-Dx=a b'");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(allValues(readFileBytes(dir.file("lso"))),
            (std::vector<std::string>{"2", "-Xmx1g", "-Dx=a b"}));
  EXPECT_EQ(runTool("launch-file '" + dir.file("x") + "' --jvm-mem lots").status, 1);
}

}  // namespace
