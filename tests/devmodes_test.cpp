// End-to-end: the built launcher's developer modes, each run as a throwaway user in a
// private mount namespace whose /tmp is a folder of the test's own, so that the fixed
// names ("/tmp/test", "/tmp", "deleteme.tmp") never meet another run.
// gtest first: the X11 headers define None, which gtest uses as a name.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "splash/splash_tiles.h"
#include "tests/support/http_test_server.h"
#include "tests/support/log_lines.h"
#include "tests/support/packer.h"
#include "tests/support/png_writer.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signer.h"
#include "tests/support/test_user.h"
#include "tests/support/xvfb_server.h"

namespace {

namespace fs = std::filesystem;

// What the extract test is made for: it copies exactly this many bytes.
constexpr size_t TEST_ARCHIVE_SIZE = 63586021;
// A mode that hangs is ended by SIGALRM and fails its case. The extract and download
// modes end within a second; the splash demonstration takes its 13 seconds.
constexpr unsigned DEADLINE_SECONDS = 10;
constexpr unsigned SPLASH_DEMO_DEADLINE_SECONDS = 60;

struct ModeRun {
  int status = -1;
  int signal = 0;
  std::string output;
  double seconds = 0;
};

// A scratch folder holding the run's "/tmp" (tmp), its current folder (work) and the
// passwd file of its user; outside /tmp, which the run sees replaced.
class Sandbox {
 public:
  Sandbox() : dir_("/var/tmp"), user_{"hvdevmode", 47216, 100, dir_ / "work"} {
    tmp_ = dir_ / "tmp";
    mkdir(tmp_.c_str(), 0755);
    chmod(tmp_.c_str(), 01777);
    mkdir(user_.home.c_str(), 0755);
    chown(user_.home.c_str(), user_.uid, user_.gid);
    chmod(dir_.path().c_str(), 0755);
    writeFileBytes(dir_ / "passwd", passwdText({user_}));
  }

  // A path as the run sees it ("/tmp/..." or relative to its current folder) made real.
  std::string inTmp(const std::string& name) const { return tmp_ + "/" + name; }
  std::string inWork(const std::string& name) const { return user_.home + "/" + name; }
  // Hands a file or folder to the run's user (the test itself runs as root).
  void giveToUser(const std::string& path) const {
    ASSERT_EQ(0, chown(path.c_str(), user_.uid, user_.gid)) << path;
  }

  ModeRun run(const std::vector<std::string>& args, const EnvironmentList& env = {},
              unsigned deadlineSeconds = DEADLINE_SECONDS) const {
    std::vector<std::string> argv = {HV_LAUNCHER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto start = std::chrono::steady_clock::now();
    const ChildRun child = runProgramAsUser(dir_ / "passwd", user_, HV_LAUNCHER_PATH, argv,
                                            user_.home, env, {tmp_, deadlineSeconds});
    ModeRun run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.status = child.exitStatus;
    run.signal = child.signal;
    run.output = child.output;
    return run;
  }

 private:
  ScratchDir dir_;
  TestUser user_;
  std::string tmp_;
};

// A file's bytes as a tree entry shows them: whole when short, else size and hash.
std::string shownBytes(const std::string& bytes) {
  if (bytes.size() <= 64) return bytes;
  return std::to_string(bytes.size()) + " bytes #" + std::to_string(std::hash<std::string>{}(bytes));
}

// Files below folder as "relative path=bytes" (folders as "path/"), sorted.
std::vector<std::string> treeOf(const std::string& folder) {
  std::vector<std::string> entries;
  if (!fs::is_directory(fs::symlink_status(folder))) return entries;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string rel = fs::relative(e.path(), folder).string();
    if (e.is_directory()) {
      entries.push_back(rel + "/");
    } else {
      entries.push_back(rel + "=" + shownBytes(readFileBytes(e.path().string())));
    }
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string noiseBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// ---- The extract test ---------------------------------------------------------------

const std::string README = "read me first\n";
// Large enough, incompressible, to pass through every ring of the pipeline many times.
const std::string NOISE = noiseBytes(700 * 1000, 16);

hvpack::ArchiveBuilder testArchive() {
  hvpack::ArchiveBuilder archive;
  archive.folder("docs").file("docs/readme.txt", README).file("noise.bin", NOISE);
  return archive;
}

const std::vector<std::string> EXTRACTED = {"docs/", "docs/readme.txt=" + README,
                                            "noise.bin=" + shownBytes(NOISE)};

enum class Archive {
  NoFile,          // no "test.p2.l2"
  Padded,          // signed with the test key, padded to the size the test copies
  PaddedLonger,    // the same with a megabyte more
  Unpadded,        // signed, the file ends with its compressed stream
  Cut,             // the first half of the compressed stream only
  Tampered,        // one byte of a file changed after signing
  OtherKey,        // signed with a key the launcher does not hold
  Unsigned,        // no SignatureBlock
};

std::string testArchiveFile(Archive kind) {
  const hvpack::ArchiveBuilder archive = testArchive();
  std::string stream;
  switch (kind) {
    case Archive::OtherKey:
      stream = archive.signedBytes(4096);
      break;
    case Archive::Unsigned:
      stream = archive.bytes();
      break;
    default:
      stream = archive.signedBytes(hvpack::namedKeySigner(EXTRACT_TEST_KEY_NAME));
  }
  if (kind == Archive::Tampered) stream[stream.find(README) + 3] ^= 0x20;
  std::string file = hvpack::xzCompress(stream);
  if (kind == Archive::Cut) return file.substr(0, file.size() / 2);
  if (kind == Archive::Padded || kind == Archive::PaddedLonger) {
    // Padding follows the end of the compressed stream; the decoder never reads it.
    file.resize(TEST_ARCHIVE_SIZE + (kind == Archive::PaddedLonger ? 1048576 : 0), '\x5a');
  }
  return file;
}

enum class Folder {
  Missing,        // "/tmp/test" does not exist yet
  Existing,       // a folder of the run's user with a file of its own
  Foreign,        // a folder another user made, writable by everyone
  GroupWritable,  // a folder of the run's user that its group may write
  ForeignClosed,  // a folder another user made, 0755
  Link,           // a link to another folder of /tmp, writable by everyone
  LinkToOwn,      // a link to a closed folder of the run's user
};

// The user who made the foreign folders.
constexpr uid_t FOREIGN_UID = 47217;

struct ExtractCase {
  const char* name;
  Archive archive;
  Folder folder;
  int status;
  std::vector<std::string> tree;     // what "/tmp/test" holds afterwards
  std::vector<std::string> present;  // output lines in this order
};

const std::string NOT_ITS_OWN =
    "[Extractor] Cannot use /tmp/test as the extract test's folder (not a folder of its own)";
const std::string KEY_LENGTH_LINE = "[Extractor] Processed public key of length 550";
const std::string OLD_FILE = "old.txt=left from before";

std::vector<std::string> withOldFile(std::vector<std::string> tree) {
  tree.push_back(OLD_FILE);
  std::sort(tree.begin(), tree.end());
  return tree;
}

// The key line with the committed public half in upper case: the compiled-in key is the
// one that signs the test archive.
std::string keyHexLine() {
  std::string hex = Signer_publicKeyHexOf(EXTRACT_TEST_KEY_NAME);
  std::transform(hex.begin(), hex.end(), hex.begin(), ::toupper);
  return "[Extractor] Hex: " + hex;
}

void PrintTo(const ExtractCase& c, std::ostream* os) { *os << c.name; }

class ExtractTest : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractTest, ExtractsIntoTmpTest) {
  const ExtractCase& c = GetParam();
  Sandbox box;
  if (c.archive != Archive::NoFile) {
    writeFileBytes(box.inWork("test.p2.l2"), testArchiveFile(c.archive));
  }
  const std::string target = box.inTmp("test");
  const std::string elsewhere = box.inTmp("elsewhere");
  const bool linked = c.folder == Folder::Link || c.folder == Folder::LinkToOwn;
  if (linked) {
    fs::create_directory(elsewhere);
    if (c.folder == Folder::LinkToOwn) {
      chmod(elsewhere.c_str(), 0755);
      box.giveToUser(elsewhere);
    } else {
      chmod(elsewhere.c_str(), 0777);
    }
    fs::create_directory_symlink("elsewhere", target);
  } else if (c.folder != Folder::Missing) {
    fs::create_directory(target);
    writeFileBytes(target + "/old.txt", "left from before");
    const bool own = c.folder == Folder::Existing || c.folder == Folder::GroupWritable;
    if (own) box.giveToUser(target);
    if (c.folder == Folder::ForeignClosed) chown(target.c_str(), FOREIGN_UID, FOREIGN_UID);
    const mode_t mode = c.folder == Folder::Foreign         ? 0777
                        : c.folder == Folder::GroupWritable ? 0775
                                                            : 0755;
    chmod(target.c_str(), mode);
  }

  const ModeRun r = box.run({"--corvastine-extracttest", "x"});
  EXPECT_EQ(0, r.signal) << "ended by a signal (the deadline?)\n" << r.output;
  EXPECT_EQ(c.status, r.status) << r.output;
  std::vector<std::string> lines = {KEY_LENGTH_LINE, keyHexLine()};
  lines.insert(lines.end(), c.present.begin(), c.present.end());
  EXPECT_EQ("", missingInOrder(r.output, lines)) << r.output;
  EXPECT_EQ(std::string::npos, r.output.find("Extracting wrapper tail")) << r.output;
  if (linked) {
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(target)));
    EXPECT_EQ(std::vector<std::string>{}, treeOf(elsewhere));
  } else {
    EXPECT_EQ(c.tree, treeOf(target));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractTest,
    ::testing::Values(
        ExtractCase{"PaddedArchive", Archive::Padded, Folder::Missing, 0, EXTRACTED,
                    {"[Streamer] [UnArchiver] Done."}},
        ExtractCase{"LongerFileStillEnds", Archive::PaddedLonger, Folder::Missing, 0, EXTRACTED,
                    {}},
        ExtractCase{"ExistingFolderIsUsed", Archive::Padded, Folder::Existing, 0,
                    withOldFile(EXTRACTED), {}},
        // The key is still converted, logged and imported; nothing is made.
        ExtractCase{"MissingFile", Archive::NoFile, Folder::Missing, 0, {},
                    {"Could not open test.p2.l2"}},
        // Shorter than the size the test copies: the copy stops at the end of the file.
        ExtractCase{"ShortFileWithWholeStream", Archive::Unpadded, Folder::Missing, 0, EXTRACTED,
                    {}},
        // A stream that never ends within the file still ends the wait; an archive that
        // ends without its verified SignatureBlock is refused.
        ExtractCase{"ShortFileCutStream", Archive::Cut, Folder::Missing, 1, {}, {}},
        ExtractCase{"TamperedArchive", Archive::Tampered, Folder::Missing, 1, {}, {}},
        ExtractCase{"SignedWithAnotherKey", Archive::OtherKey, Folder::Missing, 1, {}, {}},
        ExtractCase{"UnsignedArchive", Archive::Unsigned, Folder::Missing, 1, {}, {}},
        // Nothing is written through a link planted at the fixed name.
        ExtractCase{"LinkAtTheFolderName", Archive::Padded, Folder::Link, 1, {}, {NOT_ITS_OWN}},
        ExtractCase{"LinkToAClosedFolderOfItsOwn", Archive::Padded, Folder::LinkToOwn, 1, {},
                    {NOT_ITS_OWN}},
        // Its owner, or its group, could plant links below it while the archive is
        // extracted.
        ExtractCase{"FolderOfAnotherUser", Archive::Padded, Folder::Foreign, 1,
                    withOldFile({}), {NOT_ITS_OWN}},
        ExtractCase{"ClosedFolderOfAnotherUser", Archive::Padded, Folder::ForeignClosed, 1,
                    withOldFile({}), {NOT_ITS_OWN}},
        ExtractCase{"OwnFolderItsGroupMayWrite", Archive::Padded, Folder::GroupWritable, 1,
                    withOldFile({}), {NOT_ITS_OWN}}),
    [](const auto& info) { return std::string(info.param.name); });

// A URL on 127.0.0.1 whose port refuses connections while the port object lives.
std::string refusedUrl(const RefusingPort& port) {
  return "http://127.0.0.1:" + std::to_string(port.port()) + "/gone";
}

// The tool a developer builds "test.p2.l2" with: signed with the test key, padded.
TEST(ExtractTestArchive, FromThePackerTool) {
  Sandbox box;
  writeFileBytes(box.inWork("readme.txt"), README);
  writeFileBytes(box.inWork("manifest"),
                 "compress xz\nsign-key extracttest\nsign\npad-to 63586021\nfolder docs\n"
                 "file docs/readme.txt readme.txt\n");
  const std::string command = std::string(HV_BIN_DIR) + "/halvorin-pack archive '" +
                              box.inWork("manifest") + "' -o '" + box.inWork("test.p2.l2") +
                              "' > /dev/null";
  ASSERT_EQ(0, system(command.c_str()));
  EXPECT_EQ(TEST_ARCHIVE_SIZE, fs::file_size(box.inWork("test.p2.l2")));
  const ModeRun r = box.run({"--corvastine-extracttest", "x"});
  EXPECT_EQ(0, r.status) << r.output;
  EXPECT_EQ((std::vector<std::string>{"docs/", "docs/readme.txt=" + README}),
            treeOf(box.inTmp("test")));
}

// ---- The two download tests ---------------------------------------------------------

HttpPlan servedBody(const std::string& body) {
  HttpPlan plan;
  plan.body = body;
  return plan;
}

TEST(DownloadTest, SavesTheBodyIntoDeletemeTmp) {
  const std::string body = noiseBytes(300 * 1000, 7);
  HttpTestServer server;
  server.serve("/payload.bin", servedBody(body));
  ASSERT_TRUE(server.start()) << server.why();
  RefusingPort refusing;
  struct Case {
    const char* name;
    std::string url;
    std::string saved;  // what "deleteme.tmp" holds afterwards
  };
  const Case cases[] = {
      {"served", server.url("/payload.bin"), body},
      // Created before the transfer, holding nothing; the status is 0 all the same.
      {"unreachable", refusedUrl(refusing), ""},
  };
  for (const Case& c : cases) {
    Sandbox box;
    const ModeRun r = box.run({"--corvastine-downloadtest", c.url, "ignored"});
    EXPECT_EQ(0, r.status) << c.name << "\n" << r.output;
    EXPECT_TRUE(hasLine(r.output, "[Streamer] Downloading from " + c.url + " into deleteme.tmp"))
        << c.name << "\n" << r.output;
    ASSERT_TRUE(pathExists(box.inWork("deleteme.tmp"))) << c.name << "\n" << r.output;
    EXPECT_EQ(shownBytes(c.saved), shownBytes(readFileBytes(box.inWork("deleteme.tmp")))) << c.name;
  }
}

TEST(DownloadUnpackTest, ExtractsIntoTmpWithoutAKey) {
  const hvpack::ArchiveBuilder archive = testArchive();
  HttpTestServer server;
  server.serve("/unsigned.p2.l2", servedBody(hvpack::xzCompress(archive.bytes())));
  server.serve("/signed.p2.l2", servedBody(hvpack::xzCompress(archive.signedBytes(
                                    hvpack::namedKeySigner(EXTRACT_TEST_KEY_NAME)))));
  ASSERT_TRUE(server.start()) << server.why();
  RefusingPort refusing;
  // A file of someone else's in /tmp that no outcome may touch.
  const std::string OTHER = "other.txt=not the launcher's";
  struct Case {
    const char* name;
    std::string url;
    int status;
    const char* outcome;  // the last "[DEBUG]" line, none when the run ends earlier
    std::vector<std::string> tree;  // the run's /tmp afterwards
  };
  std::vector<std::string> extracted = EXTRACTED;
  extracted.push_back(OTHER);
  std::sort(extracted.begin(), extracted.end());
  const Case cases[] = {
      {"unsigned", server.url("/unsigned.p2.l2"), 0, "[DEBUG] Download worked!", extracted},
      // No key in this mode: the signed archive is refused, and nothing is removed.
      {"signed", server.url("/signed.p2.l2"), 1, nullptr, extracted},
      {"unreachable", refusedUrl(refusing), 0, "[DEBUG] Download FALED!", {OTHER}},
  };
  for (const Case& c : cases) {
    Sandbox box;
    writeFileBytes(box.inTmp("other.txt"), "not the launcher's");
    const ModeRun r = box.run({"--corvastine-downloadtest2", c.url});
    EXPECT_EQ(0, r.signal) << c.name << "\n" << r.output;
    EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.output;
    std::vector<std::string> lines = {"[DEBUG] Downloading " + c.url};
    if (c.outcome != nullptr) lines.push_back(c.outcome);
    EXPECT_EQ("", missingInOrder(r.output, lines)) << c.name << "\n" << r.output;
    if (c.outcome == nullptr) {
      EXPECT_EQ(std::string::npos, r.output.find("[DEBUG] Download ")) << c.name << "\n" << r.output;
    }
    std::vector<std::string> tree = treeOf(box.inTmp(""));
    // The X server sockets bound into the run's /tmp are not the launcher's.
    std::erase_if(tree, [](const std::string& e) { return e.rfind(".X11-unix", 0) == 0; });
    EXPECT_EQ(c.tree, tree) << c.name;
  }
}

// ---- The splash demonstration -------------------------------------------------------

std::vector<std::string> splashDemoLines() {
  std::vector<std::string> lines = {"[TestSplash] Initialising splash",
                                    "[TestSplash] Configure splash to use cv_logo.png",
                                    "[TestSplash] Show", "[TestSplash] SetProgress -1",
                                    "[TestSplash] Sleep"};
  for (int value = 0; value <= 90; value += 10) {
    lines.push_back("[TestSplash] SetProgress " + std::to_string(value));
    lines.push_back("[TestSplash] Sleep");
  }
  lines.push_back("[TestSplash] SetProgress 100");
  return lines;
}

// The demonstration's pauses: 1 s, 2 s, then 1 s for each of ten percentages.
constexpr double SPLASH_DEMO_PAUSES = 13.0;

TEST(SplashDemo, WithoutADisplayEveryLineAndThePauses) {
  Sandbox box;
  const ModeRun r = box.run({"-TESTSPLASH", "more", "words"}, {{"DISPLAY", ":hv-none"}},
                            SPLASH_DEMO_DEADLINE_SECONDS);
  EXPECT_EQ(1, r.status) << r.output;
  std::vector<std::string> lines = splashDemoLines();
  lines.insert(lines.begin() + 1, "[Splash] init()");
  EXPECT_EQ("", missingInOrder(r.output, lines)) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("[Splash] Can't open display :hv-none\n")) << r.output;
  EXPECT_EQ(1, countLinesStartingWith(r.output, "[Splash] configureSplash with URL cv_logo.png"));
  EXPECT_EQ(2, countLinesStartingWith(r.output, "[Splash] showSplash()"));
  EXPECT_EQ(3, countLinesStartingWith(r.output, "[Splash] hideSplash()"));
  EXPECT_EQ(std::string::npos, r.output.find("Extracting wrapper tail")) << r.output;
  EXPECT_GE(r.seconds, SPLASH_DEMO_PAUSES - 0.05);
  EXPECT_LT(r.seconds, SPLASH_DEMO_PAUSES + 10);  // no pause taken twice
}

// The picture: an opaque pattern, so that every pixel shows as written.
constexpr uint32_t LOGO_W = 200;
constexpr uint32_t LOGO_H = 60;
constexpr int STRIP_H = 18;
uint32_t logoRgb(uint32_t x, uint32_t y) { return (x * 5 & 0xFF) << 16 | (y * 3 & 0xFF) << 8 | 0x40; }

uint32_t tileRgb(const BgrTile& tile, int column, int row) {
  const unsigned char* p = tile.pixels + row * bgrRowBytes(tile.width) + 3 * column;
  return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

// One look at the server's screen: the launcher's top-level window, when one is mapped.
struct Shot {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
  uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

std::atomic<int> xErrors{0};
int countXError(Display*, XErrorEvent*) {
  xErrors++;
  return 0;
}

bool grabMappedWindow(Display* display, Shot* shot) {
  Window root = DefaultRootWindow(display), parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) return false;
  bool grabbed = false;
  for (unsigned i = 0; i < count && !grabbed; i++) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(display, children[i], &a) || a.map_state != IsViewable) continue;
    XImage* image = XGetImage(display, children[i], 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (image == nullptr) continue;  // unmapped meanwhile
    shot->width = a.width;
    shot->height = a.height;
    shot->pixels.clear();
    for (int y = 0; y < a.height; y++) {
      for (int x = 0; x < a.width; x++) {
        shot->pixels.push_back(static_cast<uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFF);
      }
    }
    XDestroyImage(image);
    grabbed = true;
  }
  if (children != nullptr) XFree(children);
  return grabbed;
}

// The picture inside the frame, and the strip inside the frame filled to 90 %.
bool showsLogo(const Shot& s) {
  for (uint32_t y = 1; y < LOGO_H; y++) {
    for (uint32_t x = 1; x + 1 < LOGO_W; x++) {
      if (s.at(x, y) != logoRgb(x, y)) return false;
    }
  }
  return true;
}

bool showsStripAt90(const Shot& s) {
  const int end = static_cast<int>(LOGO_W) * 90 / 100;
  for (int row = 0; row + 1 < STRIP_H; row++) {
    for (int x = 1; x + 1 < static_cast<int>(LOGO_W); x++) {
      const uint32_t want = x < end ? tileRgb(progressTile, x % 3, row)
                                    : tileRgb(trackTile, (x - end) % 3, row);
      if (s.at(x, static_cast<int>(LOGO_H) + row) != want) return false;
    }
  }
  return true;
}

TEST(SplashDemo, OnAServerShowsTheLogoAndTheStripAt90) {
  XvfbServer server;
  if (!server.start(24)) GTEST_SKIP() << "no private X server: " << server.why();
  Sandbox box;
  ASSERT_TRUE(writePng(box.inWork("cv_logo.png"),
                       rgbaPicture(LOGO_W, LOGO_H, [](uint32_t x, uint32_t y) {
                         return logoRgb(x, y) << 8 | 0xFF;
                       })));
  Display* display = XOpenDisplay(server.display().c_str());
  ASSERT_NE(display, nullptr);
  XSetErrorHandler(countXError);

  // Looks at the screen every 100 ms while the demonstration runs; each percentage
  // stands for a whole second.
  std::atomic<bool> running{true};
  std::mutex lock;
  bool sawLogo = false, sawStripAt90 = false, sawWindow = false;
  std::thread watcher([&] {
    Shot shot;
    while (running) {
      if (grabMappedWindow(display, &shot)) {
        std::lock_guard<std::mutex> guard(lock);
        sawWindow = true;
        if (shot.width == static_cast<int>(LOGO_W) &&
            shot.height == static_cast<int>(LOGO_H) + STRIP_H) {
          sawLogo = sawLogo || showsLogo(shot);
          sawStripAt90 = sawStripAt90 || showsStripAt90(shot);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  const ModeRun r =
      box.run({"-TESTSPLASH"}, {{"DISPLAY", server.display()}}, SPLASH_DEMO_DEADLINE_SECONDS);
  running = false;
  watcher.join();
  XCloseDisplay(display);

  EXPECT_EQ(1, r.status) << r.output;
  EXPECT_EQ("", missingInOrder(r.output, splashDemoLines())) << r.output;
  EXPECT_EQ("", missingInOrder(r.output, {"[Splash] Initialising X connection...",
                                          "[Splash] Got image of size: 200 x 60"}))
      << r.output;
  EXPECT_EQ(2, countLinesStartingWith(r.output, "[Splash] Creating splash thread")) << r.output;
  EXPECT_TRUE(sawWindow) << r.output;
  EXPECT_TRUE(sawLogo);
  EXPECT_TRUE(sawStripAt90);
}

}  // namespace
