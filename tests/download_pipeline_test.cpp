// Download and extraction in one pipeline: signed archives served by a real HTTP server
// on 127.0.0.1 go through Streamer_downloadAndUnarchive in a forked child (a failed check
// ends the process), and its result, exit status, log and folder are read back.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <random>
#include <string>

#include "core/wait_limits.h"
#include "pipeline/signature.h"
#include "pipeline/streamer.h"
#include "tests/support/http_test_server.h"
#include "tests/support/installed_home.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/packer.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signer.h"

#if defined(__SANITIZE_THREAD__)
// A fatal error ends the process from the stage thread that met it, while the stages
// around it are still unjoined, by design: such an end is no thread leak.
extern "C" const char* __tsan_default_options() { return "report_thread_leaks=0"; }
#endif

namespace {

using hvpack::ArchiveBuilder;

// Exit statuses of the child: the starter returned 0 or 1, or the process was ended.
constexpr int RETURNED = 40;
constexpr int ENDED = 1;
// One download and extraction takes well under a second; a stage that never lets go
// fails its case after this long.
constexpr int CHILD_DEADLINE_SECONDS = 20;
const char VERIFIED[] = "[Unarchiver] Archive signature verified.";
const char ARCHIVE_PATH[] = "/runtime.p2.l2";

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(engine());
  return bytes;
}

const std::string BIG = randomBytes(400000, 11);
const std::string INNER = randomBytes(200000, 12);

// A signed archive holding a signed nested one; random data, so that its compressed form
// is several rings long.
std::string signedArchive() {
  ArchiveBuilder inner;
  inner.folder("lib").file("lib/inner.bin", INNER);
  ArchiveBuilder outer;
  outer.folder("bin").file("bin/java", "#!java").file("big.bin", BIG);
  outer.nested("lib.p2.l2", inner.signedBytes(2048));
  return outer.signedBytes(2048);
}


bool extractedWhole(const ScratchDir& dir) {
  return readFileBytes(dir / "out/bin/java") == "#!java" && readFileBytes(dir / "out/big.bin") == BIG &&
         readFileBytes(dir / "out/lib/inner.bin") == INNER;
}

HttpPlan served(std::string body) {
  HttpPlan plan;
  plan.body = std::move(body);
  return plan;
}

HttpPlan unsizedAndSlow(std::string body) {
  HttpPlan plan = served(std::move(body));
  plan.sendLength = false;
  plan.chunk = 8192;
  plan.chunkDelayMs = 1;
  return plan;
}

HttpPlan withStatus(int status, std::string body) {
  HttpPlan plan = served(std::move(body));
  plan.status = status;
  return plan;
}

HttpPlan closedAfter(std::string body, size_t bytes) {
  HttpPlan plan = served(std::move(body));
  plan.closeAfter = bytes;
  return plan;
}

std::string flipByte(std::string bytes, size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x55);
  return bytes;
}

// Streamer_downloadAndUnarchive of the archive served by plan into dir/out, in a child
// that serves it itself; its exit status is RETURNED + the result, or ENDED. stallLimit
// (when given) shortens the wait limits; refusedPort (when given) is asked instead.
ChildRun downloadInChild(const HttpPlan& plan, bool keyRequired, const ScratchDir& dir,
                         const char* stallLimit = nullptr, int refusedPort = 0) {
  const std::string folder = dir / "out";
  if (mkdir(folder.c_str(), 0700) != 0) return {};
  return runInChild(
      [&] {
        if (stallLimit != nullptr) setWaitLimitForTests(stallLimit);
        // The server lives in the child, which makes every thread of its run.
        auto* server = new HttpTestServer;
        server->serve(ARCHIVE_PATH, plan);
        if (!server->start(CHILD_DEADLINE_SECONDS)) return 99;
        archiveKeyRequired.store(keyRequired);
        const SignerBytes der = Signer_publicKeyDer(2048);
        archiveSignatureKey.store(importPublicKey(der.data(), static_cast<int>(der.size())));
        const std::string url =
            refusedPort == 0 ? server->url(ARCHIVE_PATH)
                             : "http://127.0.0.1:" + std::to_string(refusedPort) + ARCHIVE_PATH;
        const int result = Streamer_downloadAndUnarchive(url.c_str(), folder.c_str());
        server->stop();  // every thread of the run ends before the child does
        return RETURNED + result;
      },
      CHILD_DEADLINE_SECONDS);
}

struct PipelineCase {
  const char* name;
  HttpPlan plan;
  bool keyRequired;
  int exitStatus;      // RETURNED + the starter's result, or ENDED
  int downloadResult;  // the Downloader's, as logged
  bool whole;          // the archive was extracted and verified
};

// Only a transfer that succeeded, decoded whole and held the whole archive counts; what
// follows an archive that ended at its SignatureBlock is drained, not waited for.
TEST(DownloadPipelineTest, ResultNeedsTransferDecodingAndArchiveWhole) {
  // Built here, not before main: the signer's keys are other files' statics.
  const std::string ARCHIVE = signedArchive();
  const std::string COMPRESSED = hvpack::xzCompress(ARCHIVE);
  const std::string garbage = randomBytes(3 << 20, 13);
  const PipelineCase cases[] = {
      {"served whole", served(COMPRESSED), true, RETURNED + 1, 0, true},
      {"no size, slow server", unsizedAndSlow(COMPRESSED), true, RETURNED + 1, 0, true},
      {"server sends on after the compressed stream", served(COMPRESSED + garbage), true,
       RETURNED + 1, 0, true},
      {"archive ends inside the compressed stream",
       served(hvpack::xzCompress(ARCHIVE + garbage)), true, RETURNED + 1, 0, true},
      {"server sends on after the archive, then breaks off",
       closedAfter(COMPRESSED + garbage, COMPRESSED.size() + garbage.size() / 2), true,
       RETURNED + 0, 1, true},
      {"not found", withStatus(404, "<html>not here</html>"), false, RETURNED + 0, 1, false},
      {"transfer cut, no key", closedAfter(COMPRESSED, COMPRESSED.size() / 2), false,
       RETURNED + 0, 1, false},
      // A failed download, not a failed check: the starter reports it.
      {"transfer cut, key required", closedAfter(COMPRESSED, COMPRESSED.size() / 2), true,
       RETURNED + 0, 1, false},
      // The stream header's check fails before anything is decoded.
      {"corrupt stream header", served(flipByte(COMPRESSED, 8)), false, RETURNED + 0, 0, false},
      // Garbage may be decoded before the decoder notices: the archive is cut or fails its
      // check, and either ends the process.
      {"corrupt compressed data, key required",
       served(flipByte(COMPRESSED, COMPRESSED.size() / 2)), true, ENDED, 0, false},
      {"compressed stream cut, transfer whole", served(COMPRESSED.substr(0, COMPRESSED.size() / 2)),
       false, RETURNED + 0, 0, false},
      {"archive cut, compressed stream whole",
       served(hvpack::xzCompress(ARCHIVE.substr(0, ARCHIVE.size() / 2))), false, RETURNED + 0, 0,
       false},
  };
  for (const PipelineCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const ChildRun run = downloadInChild(c.plan, c.keyRequired, dir);
    ASSERT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(c.exitStatus, run.exitStatus) << run.output;
    EXPECT_EQ(c.whole, extractedWhole(dir));
    // Bars are drawn without a line end: a log line may follow one on the same line.
    const std::string output = withoutDownloadBars(run.output);
    // The nested archive and the outer one each verify once.
    EXPECT_EQ(c.whole, countLinesStartingWith(output, VERIFIED) == 2) << run.output;
    if (c.exitStatus != ENDED) {
      EXPECT_EQ("", missingInOrder(output, {"[Streamer] [Downloader] Starting...",
                                                "[Streamer] [Downloader] Done (" +
                                                    std::to_string(c.downloadResult) + ")."}));
      EXPECT_EQ("", missingInOrder(output, {"[Streamer] [UnArchiver] Starting...",
                                                "[Streamer] [UnArchiver] Done."}));
    }
  }
}

// The archive ends at its SignatureBlock before the compressed stream's last bytes (its
// check, index and footer) arrive: the UnArchiver is done and the starter closes the
// rings while they are still on their way, or they come a little late. The download is
// whole and verified all the same, however long the tail takes.
TEST(DownloadPipelineTest, StreamTailArrivingLateTakesNothingFromAWholeDownload) {
  const std::string ARCHIVE = signedArchive();
  const std::string COMPRESSED = hvpack::xzCompress(ARCHIVE);
  for (const size_t tail : {1, 12, 30}) {
    for (const int ms : {0, 2, 20, 300}) {
      SCOPED_TRACE("the last " + std::to_string(tail) + " bytes " + std::to_string(ms) +
                   " ms late");
      HttpPlan plan = served(COMPRESSED);
      plan.pauseAfter = COMPRESSED.size() - tail;
      plan.pauseMs = ms;
      ScratchDir dir;
      const ChildRun run = downloadInChild(plan, true, dir);
      ASSERT_FALSE(run.timedOut) << run.output;
      EXPECT_EQ(RETURNED + 1, run.exitStatus) << run.output;
      EXPECT_TRUE(extractedWhole(dir));
      EXPECT_EQ(std::string::npos, run.output.find("lzma_code failed")) << run.output;
    }
  }
}

const char BROKEN_OFF[] =
    "[Unarchiver] The download failed before the archive's end: it is not checked.";
const char NO_SIGNATURE[] =
    "[Unarchiver] The archive carries no signature, but a signed one is required.";
const char UNVERIFIED[] = "[Unarchiver] ERROR - unable to verify signature of hash of archive.";

struct FailedTransferCase {
  const char* name;
  HttpPlan plan;
  bool refused;  // nobody listens at the archive's address
  int exitStatus;
  bool brokenOff;  // reported as a download that failed before the archive's end
};

HttpPlan silentSite() {
  HttpPlan plan;
  plan.silent = true;
  return plan;
}

HttpPlan stalledAfter(std::string body, size_t bytes) {
  HttpPlan plan = served(std::move(body));
  plan.pauseAfter = bytes;
  plan.pauseMs = 20000;
  return plan;
}

// Under a key, a transfer that fails before the archive's end (refused, cut, stalled,
// never answered) is a failed download: the starter returns 0 for its caller to report,
// and what was extracted is removed. Only an archive that arrived whole and does not
// verify is a failed check, which ends the process, even when the transfer failed after.
TEST(DownloadPipelineTest, FailedTransferUnderAKeyIsAFailedDownload) {
  const std::string ARCHIVE = signedArchive();
  const std::string COMPRESSED = hvpack::xzCompress(ARCHIVE);
  std::string tampered = ARCHIVE;
  tampered[tampered.find(BIG.substr(0, 64)) + 10] ^= 0x20;
  const std::string TAMPERED = hvpack::xzCompress(tampered);
  const std::string garbage = randomBytes(1 << 20, 14);
  const FailedTransferCase cases[] = {
      {"connection refused", served(COMPRESSED), true, RETURNED + 0, true},
      {"cut before the archive's end", closedAfter(COMPRESSED, COMPRESSED.size() / 2), false,
       RETURNED + 0, true},
      {"cut inside the nested archive", closedAfter(COMPRESSED, COMPRESSED.size() - 2000), false,
       RETURNED + 0, true},
      {"stalled before the archive's end", stalledAfter(COMPRESSED, COMPRESSED.size() / 2), false,
       RETURNED + 0, true},
      {"site that never answers", silentSite(), false, RETURNED + 0, true},
      {"tampered archive, whole transfer", served(TAMPERED), false, ENDED, false},
      {"tampered archive whole, then the transfer breaks off",
       closedAfter(TAMPERED + garbage, TAMPERED.size() + garbage.size() / 2), false, ENDED, false},
  };
  for (const FailedTransferCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    RefusingPort refused;
    const ChildRun run = downloadInChild(c.plan, true, dir, "3", c.refused ? refused.port() : 0);
    ASSERT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(c.exitStatus, run.exitStatus) << run.output;
    const std::string output = withoutDownloadBars(run.output);
    EXPECT_EQ(c.brokenOff, countLinesStartingWith(output, BROKEN_OFF) == 1) << run.output;
    EXPECT_EQ(0, countLinesStartingWith(output, NO_SIGNATURE)) << run.output;
    EXPECT_EQ(!c.brokenOff, countLinesStartingWith(output, UNVERIFIED) == 1) << run.output;
    if (c.brokenOff) {
      EXPECT_TRUE(hasLine(output, "[Streamer] [Downloader] Done (1).")) << run.output;
    }
    // Nothing of an archive that was not checked stays, nor of one that failed.
    EXPECT_EQ(std::vector<std::string>{}, folderNames(dir / "out"));
  }
}

}  // namespace
