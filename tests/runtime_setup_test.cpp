// The helpers of the runtime setup and the splash override, one call at a time: the
// placeholder update URL, the version file names and the proxy detection request against
// a local server, the java and unpack200 mode changes, the certificate store, and the
// picture that replaces the extracted splash, and the application step without its
// temporary folder.
#include "launcher/runtime_setup.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/timeutil.h"
#include "launcher/extract_steps.h"
#include "launcher/splash_override.h"
#include "tests/support/full_disk.h"
#include "tests/support/http_test_server.h"
#include "tests/support/isolated_run.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/packer.h"
#include "tests/support/ring_keeper.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_user.h"

namespace {

// The second local user who plants things in folders others may write.
constexpr uid_t PLANTING_UID = 47271;
constexpr gid_t PLANTING_GID = 47271;

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
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    (void)entry;
    ++count;
  }
  return count;
}

struct Captured {
  std::string out, err;
};

template <typename Body>
Captured capture(Body body) {
  OutputCapture c;
  c.start();
  body();
  c.stop();
  return {c.out(), c.err()};
}

// ---- Placeholder update URL ---------------------------------------------------------

TEST(PlaceholderUpdateUrl, PackerWritesWhatTheLauncherSkips) {
  EXPECT_STREQ(hvpack::PLACEHOLDER_UPDATE_URL, PLACEHOLDER_UPDATE_URL);
  EXPECT_EQ(static_cast<size_t>(PLACEHOLDER_UPDATE_URL_LENGTH), strlen(PLACEHOLDER_UPDATE_URL));
  struct Case {
    const char* url;
    bool sentinel;
  };
  const Case cases[] = {
      {nullptr, false},
      {"", false},
      {"http://0.0.0.0:80/", true},
      {"http://0.0.0.0:80/more/path/", true},  // only the first 18 characters count
      {"http://0.0.0.0:80", false},            // 17 characters
      {"http://0.0.0.1:80/", false},
      {"https://updates.test/app/", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.sentinel, isSentinelUpdateUrl(c.url)) << (c.url == nullptr ? "none" : c.url);
  }
}

// ---- Version file names and the proxy detection request ------------------------------

TEST(VersionFile, NamesAndCacheBuster) {
  const uint64_t before = currentTimeMillis();
  char* buster = cacheBusterString();
  const uint64_t after = currentTimeMillis();
  ASSERT_NE(nullptr, buster);
  EXPECT_EQ(std::string(buster).find_first_not_of("0123456789"), std::string::npos) << buster;
  EXPECT_GE(strtoull(buster, nullptr, 10), before);
  EXPECT_LE(strtoull(buster, nullptr, 10), after);
  free(buster);

  char local[PATH_BUFFER_SIZE], remote[PATH_BUFFER_SIZE];
  ASSERT_TRUE(buildVersionFileNames(local, remote, "/m/Halvorin-Halvorin-12-complete",
                                    "https://u.test/app/", "jre17", "123"));
  EXPECT_STREQ("/m/Halvorin-Halvorin-12-complete/Halvorin-jre17-version.txt", local);
  EXPECT_STREQ("https://u.test/app/Halvorin-jre17-version.txt?time=123", remote);
  // Names that do not fit are refused, both buffers emptied.
  const std::string longName(PATH_BUFFER_SIZE, 'j');
  EXPECT_FALSE(buildVersionFileNames(local, remote, "/m", "https://u.test/", longName.c_str(), "1"));
  EXPECT_STREQ("", local);
  EXPECT_STREQ("", remote);
}

// The request goes to the update site with a fresh cache buster; the answer stays in the
// QV folder. The placeholder asks nothing.
TEST(VersionFile, ProxyDetectionRequest) {
  // Plans match whole request targets, and the cache buster cannot be known before:
  // the answer is the server's empty error page, which still counts as a transfer.
  HttpTestServer server;
  ASSERT_TRUE(server.start(60)) << server.why();
  ScratchDir qv;
  const std::string url = server.url("/app/");
  const uint64_t before = currentTimeMillis();
  const Captured asked = capture([&] { fetchVersionFile(qv.path().c_str(), url.c_str(), "jre17"); });
  const std::vector<std::string> paths = server.requestedPaths();
  ASSERT_EQ(1u, paths.size()) << asked.out;
  const std::string prefix = "/app/Halvorin-jre17-version.txt?time=";
  ASSERT_EQ(prefix, paths[0].substr(0, prefix.size()));
  EXPECT_GE(strtoull(paths[0].c_str() + prefix.size(), nullptr, 10), before);
  EXPECT_TRUE(pathExists(qv / "Halvorin-jre17-version.txt"));

  ScratchDir quiet;
  const Captured skipped =
      capture([&] { fetchVersionFile(quiet.path().c_str(), PLACEHOLDER_UPDATE_URL, "jre17"); });
  EXPECT_EQ(std::vector<std::string>{"[Extractor] Invalid Update URL. Skipping..."},
            logTexts(skipped.out));
  EXPECT_FALSE(pathExists(quiet / "Halvorin-jre17-version.txt"));
  EXPECT_EQ(1u, server.requestedPaths().size());
}

// ---- java and unpack200 -------------------------------------------------------------

TEST(LocateRuntimePrograms, ModesAndLines) {
  ScratchDir dir;
  const std::string runtime = dir / "rt";
  mkdir(runtime.c_str(), 0755);
  mkdir((runtime + "/bin").c_str(), 0755);
  writeFileBytes(runtime + "/bin/java", "j");
  writeFileBytes(runtime + "/bin/unpack200", "u");
  chmod((runtime + "/bin/java").c_str(), 0600);
  chmod((runtime + "/bin/unpack200").c_str(), 0600);
  char* java = nullptr;
  char* unpack200 = nullptr;
  const Captured found = capture([&] {
    java = locateJavaExe(runtime.c_str());
    unpack200 = locateUnpack200(runtime.c_str());
  });
  EXPECT_EQ(runtime + "/bin/java", java);
  EXPECT_EQ(runtime + "/bin/unpack200", unpack200);
  EXPECT_EQ(0755u, modeOf(java));
  EXPECT_EQ(0755u, modeOf(unpack200));
  // The three prints of the unpack200 search, straight to standard output.
  EXPECT_EQ((std::vector<std::string>{"[Locating UP200] " + runtime, "[Locating UP200] " + runtime + "/bin",
                                      "[Locating UP200] Result is " + runtime + "/bin/unpack200"}),
            splitLines(found.out));
  free(java);
  free(unpack200);

  // Missing programs, and links planted in their place: banners, nothing changed.
  const std::string empty = dir / "empty";
  mkdir(empty.c_str(), 0755);
  const std::string linked = dir / "linked";
  mkdir(linked.c_str(), 0755);
  mkdir((linked + "/bin").c_str(), 0755);
  writeFileBytes(dir / "victim", "v");
  chmod((dir / "victim").c_str(), 0600);
  symlink((dir / "victim").c_str(), (linked + "/bin/java").c_str());
  symlink((dir / "victim").c_str(), (linked + "/bin/unpack200").c_str());
  for (const std::string& folder : {empty, linked}) {
    const Captured missing = capture([&] {
      free(locateJavaExe(folder.c_str()));
      free(locateUnpack200(folder.c_str()));
    });
    EXPECT_TRUE(hasLine(missing.out, "Error setting java to executable!")) << missing.out;
    EXPECT_TRUE(hasLine(missing.out, "Error setting unpack200 to executable!")) << missing.out;
  }
  EXPECT_EQ(0600u, modeOf(dir / "victim"));
}

// ---- Certificate store --------------------------------------------------------------

TEST(OverrideCacerts, ReplacesTheStoreNeverThroughALink) {
  enum class Target { Missing, File, LinkToFile, DanglingLink };
  struct Case {
    const char* name;
    bool source;
    Target target;
    std::vector<std::string> lines;  // in this order
  };
  const Case cases[] = {
      {"NoSource", false, Target::File, {"[Extractor] Override CACerts does not exist."}},
      {"ReplacesFile", true, Target::File, {"[Extractor] Removing old cacerts file", "[Extractor] Result = 0"}},
      {"NoStoreYet", true, Target::Missing, {"[Extractor] TargetCACerts path is "}},
      {"LinkRemoved", true, Target::LinkToFile, {"[Extractor] Removing old cacerts file", "[Extractor] Result = 0"}},
      {"DanglingLinkRemoved", true, Target::DanglingLink, {"[Extractor] Removing old cacerts file"}},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string source = dir / "qv-cacerts";
    const std::string runtime = dir / "rt";
    const std::string target = runtime + "/lib/security/cacerts";
    mkdir(runtime.c_str(), 0755);
    mkdir((runtime + "/lib").c_str(), 0755);
    mkdir((runtime + "/lib/security").c_str(), 0755);
    if (c.source) writeFileBytes(source, "quorvane store");
    writeFileBytes(dir / "system-store", "system store");
    if (c.target == Target::File) writeFileBytes(target, "runtime store");
    if (c.target == Target::LinkToFile) symlink((dir / "system-store").c_str(), target.c_str());
    if (c.target == Target::DanglingLink) symlink((dir / "nowhere").c_str(), target.c_str());
    const Captured out = capture([&] { overrideCacerts(source.c_str(), runtime.c_str()); });
    std::vector<std::string> texts;
    for (const std::string& line : c.lines) {
      // A line given as a start stands for the line with the target path.
      texts.push_back(line.back() == ' ' ? line + target : line);
    }
    EXPECT_EQ("", missingInOrder(out.out, texts)) << c.name << "\n" << out.out;
    EXPECT_EQ("system store", readFileBytes(dir / "system-store")) << c.name;
    EXPECT_FALSE(pathExists(dir / "nowhere")) << c.name;
    if (c.source) {
      EXPECT_FALSE(isLink(target)) << c.name;
      EXPECT_EQ("quorvane store", readFileBytes(target)) << c.name;
      EXPECT_EQ(0644u, modeOf(target)) << c.name;
      EXPECT_EQ(1, entryCount(runtime + "/lib/security")) << c.name << ": nothing left beside it";
    } else {
      EXPECT_EQ("runtime store", readFileBytes(target)) << c.name;
    }
  }
}

// The updater's folder may be writable by others: what another user plants at its cacerts
// instead of a store (a FIFO no one writes, a link to a store of its choosing) counts as
// no store. The runtime keeps its own and the run goes on at once, never waiting on it.
TEST(OverrideCacerts, PlantedFifoOrLinkCountsAsMissing) {
  struct Case {
    const char* name;
    std::function<bool(const std::string& at, const std::string& store)> plant;
  };
  const Case cases[] = {
      {"LinkToAStore",
       [](const std::string& at, const std::string& store) {
         return symlink(store.c_str(), at.c_str()) == 0;
       }},
      {"Fifo", [](const std::string& at, const std::string&) { return mkfifo(at.c_str(), 0666) == 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string qv = dir / "qv";
    const std::string source = qv + "/cacerts";
    const std::string planted = dir / "planted-store";
    const std::string security = dir / "rt/lib/security";
    std::filesystem::create_directories(security);
    writeFileBytes(security + "/cacerts", "runtime store");
    chmod(dir.path().c_str(), 0755);
    mkdir(qv.c_str(), 0777);
    chmod(qv.c_str(), 0777);
    writeFileBytes(planted, "another user's store");
    chmod(planted.c_str(), 0644);
    writeFileBytes(dir / "passwd", passwdText({{"hvstoreplanter", PLANTING_UID, PLANTING_GID, ""}}));
    const ChildRun plant = runAsUser(dir / "passwd", PLANTING_UID, PLANTING_GID,
                                     [&] { return c.plant(source, planted) ? 0 : 1; });
    ASSERT_EQ(0, plant.exitStatus) << plant.output;
    const ChildRun run = runInChild(
        [&] {
          overrideCacerts(source.c_str(), (dir / "rt").c_str());
          return 0;
        },
        10);
    ASSERT_FALSE(run.timedOut) << "the run waited on what was planted\n" << run.output;
    EXPECT_EQ(0, run.exitStatus) << run.output;
    EXPECT_EQ("", missingInOrder(run.output, {"[Utils] Not a regular file, treated as missing: " + source,
                                              "[Extractor] Override CACerts does not exist."}))
        << run.output;
    EXPECT_EQ("runtime store", readFileBytes(security + "/cacerts"));
    EXPECT_EQ(1, entryCount(security)) << "nothing left beside the store";
    struct stat st;
    ASSERT_EQ(0, lstat(source.c_str(), &st));
    EXPECT_EQ(PLANTING_UID, st.st_uid) << "what was planted stays as it was";
  }
}

// A store that cannot be written whole ends the run and leaves the runtime's own store as
// it was: never removed first, never cut. RLIMIT_FSIZE stands for a full disk (the write
// past the limit fails with EFBIG, as one past the free space fails with ENOSPC).
TEST(OverrideCacerts, FailedWriteEndsTheRunAndKeepsTheOldStore) {
  struct Case {
    const char* name;
    bool securityFolder;  // lib/security exists
    rlim_t sizeLimit;     // 0: none
    std::string cause;    // the start of the line with the system's reason
  };
  const std::string store(200000, 'q');
  const Case cases[] = {
      {"WriteBeyondTheFreeSpace", true, 60000, "[Extractor] Cannot write "},
      {"NoFolderForTheNewFile", false, 0, "[Extractor] Cannot create "},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string source = dir / "qv-cacerts";
    const std::string security = dir / "rt/lib/security";
    writeFileBytes(source, store);
    std::filesystem::create_directories(c.securityFolder ? security : dir / "rt/lib");
    if (c.securityFolder) writeFileBytes(security + "/cacerts", "runtime store");
    const ChildRun run = runInChild([&] {
      signal(SIGXFSZ, SIG_IGN);
      if (c.sizeLimit != 0) {
        const struct rlimit limit = {c.sizeLimit, c.sizeLimit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
      }
      overrideCacerts(source.c_str(), (dir / "rt").c_str());
      return 0;
    });
    EXPECT_EQ(1, run.exitStatus) << c.name << "\n" << run.output;
    const std::vector<std::string> texts = logTexts(run.output);
    const auto cause = std::find_if(texts.begin(), texts.end(), [&](const std::string& text) {
      return text.rfind(c.cause + security + "/cacerts.", 0) == 0;
    });
    ASSERT_NE(texts.end(), cause) << c.name << "\n" << run.output;
    EXPECT_NE(std::string::npos,
              cause->find(c.securityFolder ? strerror(EFBIG) : strerror(ENOENT)))
        << *cause;
    EXPECT_EQ("", missingInOrder(run.output, {*cause, "Unable to write cacerts! Cannot complete the JRE."}))
        << c.name << "\n" << run.output;
    if (c.securityFolder) {
      EXPECT_EQ("runtime store", readFileBytes(security + "/cacerts")) << c.name;
      EXPECT_EQ(1, entryCount(security)) << c.name << ": the partial copy is removed";
    }
  }
}

// A store small enough to sit in stdio's buffer, on a full disk: every write is taken,
// the flush fails. The run ends and the runtime's own store stays whole, with no partial
// copy beside it.
TEST(OverrideCacerts, FlushThatFailsEndsTheRunAndKeepsTheOldStore) {
  ScratchDir dir;
  const std::string source = dir / "qv-cacerts";
  const std::string security = dir / "rt/lib/security";
  writeFileBytes(source, std::string(1000, 'q'));
  std::filesystem::create_directories(security);
  const std::string failure = runIsolated(
      [&] {
        ASSERT_TRUE(mountFullTmpfs(security, {{"cacerts", "runtime store"}}));
        const ChildRun run = runInChild([&] {
          overrideCacerts(source.c_str(), (dir / "rt").c_str());
          return 0;
        });
        EXPECT_EQ(1, run.exitStatus) << run.output;
        EXPECT_TRUE(hasLine(run.output, "Unable to write cacerts! Cannot complete the JRE.")) << run.output;
        EXPECT_NE(std::string::npos, run.output.find(strerror(ENOSPC))) << run.output;
        EXPECT_EQ(std::string::npos, run.output.find("[Extractor] Removing old cacerts file")) << run.output;
        EXPECT_EQ("runtime store", readFileBytes(security + "/cacerts"));
        EXPECT_EQ(2, entryCount(security)) << "the store and the filler only";
      },
      20);
  EXPECT_EQ("", failure);
}

// ---- Splash picture override --------------------------------------------------------

TEST(OverrideSplashImage, ReplacesOnlyWhenAllowedAndGiven) {
  const std::string picture = "dynamic picture bytes";
  const auto* bytes = reinterpret_cast<const unsigned char*>(picture.data());
  struct Case {
    const char* name;
    const char* canOverride;
    bool image;
    bool linkAtPath;
    bool replaced;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"Absent", nullptr, true, false, false, {}},
      {"Zero", "0", true, false, false, {}},
      {"OneWithoutImage", "1", false, false, false,
       {"[Extractor] Authorised to override the splash image.", "[Extractor] DynamicSplash is 0, size is 0"}},
      {"OneWithImage", "1", true, false, true,
       {"[Extractor] Authorised to override the splash image.", "[Extractor] DynamicSplash is 1, size is 21",
        "[Extractor] Overwriting splash image at "}},
      // A link planted at the name is replaced by the picture, its target untouched.
      {"LinkAtPath", "1", true, true, true,
       {"[Extractor] Authorised to override the splash image.", "[Extractor] DynamicSplash is 1, size is 21"}},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string path = dir / "nativesplash.png";
    writeFileBytes(dir / "victim", "victim");
    if (c.linkAtPath) {
      symlink((dir / "victim").c_str(), path.c_str());
    } else {
      writeFileBytes(path, "extracted");
    }
    const Captured out = capture([&] {
      overrideSplashImage(c.canOverride, c.image ? bytes : nullptr, c.image ? picture.size() : 0,
                          path.c_str());
    });
    std::vector<std::string> texts;
    for (const std::string& line : c.lines) texts.push_back(line.back() == ' ' ? line + path : line);
    EXPECT_EQ("", missingInOrder(out.out, texts)) << c.name << "\n" << out.out;
    const size_t chmodLines = c.replaced ? 1 : 0;
    EXPECT_EQ(static_cast<int>(chmodLines),
              countLinesStartingWith(out.out, "[ChMod] Executing chmod 644 \"" + path + "\""))
        << c.name;
    if (c.lines.empty()) {
      EXPECT_EQ("", out.out) << c.name;
    }
    EXPECT_EQ("victim", readFileBytes(dir / "victim")) << c.name;
    if (c.replaced) {
      EXPECT_FALSE(isLink(path)) << c.name;
      EXPECT_EQ(picture, readFileBytes(path)) << c.name;
      EXPECT_EQ(0644u, modeOf(path)) << c.name;
    } else {
      EXPECT_EQ("extracted", readFileBytes(path)) << c.name;
    }
    // No scratch file left beside the picture.
    EXPECT_EQ(2, entryCount(dir.path())) << c.name;
  }
}

// A picture that cannot be written leaves the extracted one (here: none) and says so.
TEST(OverrideSplashImage, UnwritablePictureKeepsTheExtractedOne) {
  ScratchDir dir;
  const std::string path = dir / "missing-folder/nativesplash.png";
  const unsigned char byte = 1;
  const Captured out = capture([&] { overrideSplashImage("1", &byte, 1, path.c_str()); });
  EXPECT_EQ(1, countLinesStartingWith(out.out, "[Extractor] Unable to write splash image " + path)) << out.out;
  EXPECT_EQ(0, countLinesStartingWith(out.out, "[ChMod]")) << out.out;
}

// A picture whose write or rename fails leaves the extracted one and no scratch file
// beside it. Each case runs in a child with a mount namespace of its own.
TEST(OverrideSplashImage, FailedWriteOrRenameRemovesTheScratchFile) {
  const std::string picture(3000, 'p');
  struct Case {
    const char* name;
    int error;  // the errno the line names
    // Run in the child's namespace once the extracted picture is in place; false: the
    // kernel refused.
    std::function<bool(const std::string& dir, const std::string& path)> fault;
    int entries;  // what the folder holds afterwards
  };
  const Case cases[] = {
      // The folder's file system is full: the write fails.
      {"WriteFails", ENOSPC,
       [](const std::string& dir, const std::string&) {
         FILE* filler = fopen((dir + "/filler").c_str(), "wb");
         if (filler == nullptr) return false;
         const std::string block(4096, 'f');
         while (fwrite(block.data(), 1, block.size(), filler) == block.size() && fflush(filler) == 0) {
         }
         fclose(filler);
         return true;
       },
       2},
      // The picture is a mount point: the rename over it fails.
      {"RenameFails", EBUSY,
       [](const std::string&, const std::string& path) {
         return mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0;
       },
       1},
  };
  for (const Case& c : cases) {
    ScratchDir scratch;
    const std::string dir = scratch.path();
    const std::string path = dir + "/nativesplash.png";
    const std::string failure = runIsolated(
        [&] {
          ASSERT_TRUE(unshare(CLONE_NEWNS) == 0 &&
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                      mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,mode=0700") == 0);
          writeFileBytes(path, "extracted");
          ASSERT_TRUE(c.fault(dir, path));
          const Captured out = capture([&] {
            overrideSplashImage("1", reinterpret_cast<const unsigned char*>(picture.data()),
                                picture.size(), path.c_str());
          });
          EXPECT_TRUE(hasLine(out.out, "[Extractor] Unable to write splash image " + path + " [" +
                                           std::to_string(c.error) + "], keeping the extracted one"))
              << out.out;
          EXPECT_EQ(0, countLinesStartingWith(out.out, "[ChMod]")) << out.out;
          EXPECT_EQ("extracted", readFileBytes(path));
          EXPECT_EQ(c.entries, entryCount(dir)) << "a scratch file stayed beside the picture";
        },
        10);
    EXPECT_EQ("", failure) << c.name;
  }
}

// ---- The application step ---------------------------------------------------------------

// An APP temp folder that cannot be created ends the run with status 1 before anything is
// extracted. The master folder holds a Quorvane, so a step that went on would return.
TEST(ExtractApplication, EndsWithStatusOneWhenItsTempFolderCannotBeMade) {
  struct Case {
    const char* name;
    std::string appTemp;  // below the master folder
  };
  const Case cases[] = {
      {"ParentFolderMissing", "/gone/HalvorinTemp-1700000000-0-app"},
      {"NameTakenByAFile", "/taken"},
  };
  for (const Case& c : cases) {
    ScratchDir master;
    ASSERT_EQ(0, mkdir((master / "Halvorin-Halvorin-12-complete").c_str(), 0755));
    writeFileBytes(master / "taken", "a file");
    const ChildRun child = runInChild(
        [&] {
          static ExtractorRun run = {};
          setString(run.masterFolder, master.path().c_str());
          setString(run.appTemp, (master.path() + c.appTemp).c_str());
          setString(run.appFolder, (master / "Halvorin-App-3-complete").c_str());
          run.tail.appName = const_cast<char*>("App");
          run.tail.appVersion = const_cast<char*>("3");
          run.tailRing = keptRing(3, 16);
          RingBuffer_close(run.tailRing);
          Extractor_extractApplication(&run);
          return 40;
        },
        10);
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(child.timedOut);
    EXPECT_EQ(1, child.exitStatus) << child.output;
    EXPECT_TRUE(hasLine(child.output, "Unable to create App Temp folder")) << child.output;
    EXPECT_EQ(0, countLinesStartingWith(child.output, "[Extractor] Extracting App...")) << child.output;
    EXPECT_FALSE(pathExists(master / "Halvorin-App-3-complete"));
  }
}

}  // namespace
