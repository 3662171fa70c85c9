// Download and extraction in one pipeline: signed archives served by a real HTTP server
// on 127.0.0.1 go through Streamer_downloadAndUnarchive in a forked child (a failed check
// ends the process), and its result, exit status, log and folder are read back.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <random>
#include <string>

#include "pipeline/signature.h"
#include "pipeline/streamer.h"
#include "tests/support/http_test_server.h"
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
      {"transfer cut, key required", closedAfter(COMPRESSED, COMPRESSED.size() / 2), true, ENDED,
       1, false},
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
    const std::string folder = dir / "out";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    const ChildRun run = runInChild(
        [&] {
          // The server lives in the child, which makes every thread of its run.
          auto* server = new HttpTestServer;
          server->serve(ARCHIVE_PATH, c.plan);
          if (!server->start(CHILD_DEADLINE_SECONDS)) return 99;
          archiveKeyRequired.store(c.keyRequired);
          const SignerBytes der = Signer_publicKeyDer(2048);
          archiveSignatureKey.store(importPublicKey(der.data(), static_cast<int>(der.size())));
          const std::string url = server->url(ARCHIVE_PATH);
          const int result = Streamer_downloadAndUnarchive(url.c_str(), folder.c_str());
          server->stop();  // every thread of the run ends before the child does
          return RETURNED + result;
        },
        CHILD_DEADLINE_SECONDS);
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

}  // namespace
