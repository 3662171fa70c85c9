// The LZMA stage and the decode-and-extract pipeline with real .xz and legacy .lzma data,
// .xz both in one block and in many (decoded on threads of the decoder's own): whole
// streams at the sizes where chunk and block edges meet, corrupt, cut and over-long
// input, consumers that stop early, and nested archives whose extraction stops before
// their bytes do. Every test bounds its own waiting.
#include "pipeline/streamer.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/ring_buffer.h"
#include "pipeline/signature.h"
#include "pipeline/unarchiver.h"
#include "tests/support/http_test_server.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/packer.h"
#include "tests/support/ring_keeper.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signer.h"

#if defined(__SANITIZE_THREAD__)
// A fatal error ends the process from the stage thread that met it, while the stages
// around it are still unjoined, by design: such an end is no thread leak.
extern "C" const char* __tsan_default_options() { return "report_thread_leaks=0"; }
#endif

namespace {

using namespace std::chrono_literals;
using hvpack::ArchiveBuilder;

// A decode or a pipeline run here takes well under a second, also under the thread
// sanitizer; a stage that never lets go fails its case after this long.
constexpr auto DEADLINE = 10s;
constexpr int CHILD_DEADLINE_SECONDS = 20;

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(engine());
  return bytes;
}

// Compressible: short runs of a few symbols.
std::string textBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = "abcab cbaab\n"[(i * i / 7 + i / 13) % 12];
  return bytes;
}

bool writeInPieces(RingBuffer* ring, const std::string& bytes, size_t piece) {
  for (size_t at = 0; at < bytes.size(); at += piece) {
    const size_t want = std::min(piece, bytes.size() - at);
    if (!RingBuffer_writeAll(ring, bytes.data() + at, static_cast<int32_t>(want))) return false;
  }
  return true;
}

struct Decoded {
  int result = -1;
  std::string output;
  bool producerReleased = false;  // the producer's writes ended (all taken or refused)
};

struct DecodeOptions {
  size_t piece = 4096;          // the producer writes this much at a time
  bool closeInput = true;       // the producer closes the input after its bytes
  size_t stopAfter = SIZE_MAX;  // the consumer closes the output once it has this much
};

// Runs Streamer_unLzma between a producer and a consumer thread of its own. On the
// deadline both rings are closed to release everyone, and the test fails.
Decoded decode(const std::string& input, const DecodeOptions& options = {}) {
  RingBuffer* in = keptRing(1, PIPELINE_RING_SIZE);
  RingBuffer* out = keptRing(2, PIPELINE_RING_SIZE);
  Decoded decoded;
  auto producer = std::async(std::launch::async, [&] {
    writeInPieces(in, input, options.piece);
    if (options.closeInput) RingBuffer_close(in);
  });
  auto decoder = std::async(std::launch::async, [&] { return Streamer_unLzma(in, out); });
  auto consumer = std::async(std::launch::async, [&] {
    std::string got;
    std::vector<char> chunk(65536);
    for (;;) {
      const int32_t n = RingBuffer_read(out, chunk.data(), static_cast<int32_t>(chunk.size()));
      if (n < 0) break;
      got.append(chunk.data(), static_cast<size_t>(n));
      if (got.size() >= options.stopAfter) {
        RingBuffer_close(out);
        break;
      }
    }
    return got;
  });
  const auto until = std::chrono::steady_clock::now() + DEADLINE;
  const bool done = decoder.wait_until(until) == std::future_status::ready &&
                    consumer.wait_until(until) == std::future_status::ready &&
                    producer.wait_until(until) == std::future_status::ready;
  if (!done) {
    RingBuffer_close(in);
    RingBuffer_close(out);
    ADD_FAILURE() << "the decoder, its producer or its consumer did not finish";
  }
  decoded.result = decoder.get();
  decoded.output = consumer.get();
  producer.get();
  decoded.producerReleased = done;
  return decoded;
}

// ---- Whole streams at chunk edges ----------------------------------------------------

enum class Format { Xz, XzInBlocks, Lzma, LzmaKnownSize };

struct WholeCase {
  Format format;
  size_t size;
  bool random;
  size_t piece;
};

std::string compress(Format format, const std::string& data) {
  switch (format) {
    case Format::Xz: return hvpack::xzCompress(data);
    case Format::XzInBlocks: return hvpack::xzCompressInBlocks(data);
    case Format::Lzma: return hvpack::lzmaAloneCompress(data);
    case Format::LzmaKnownSize: return hvpack::lzmaAloneKnownSizeCompress(data);
  }
  return {};
}

std::vector<WholeCase> wholeCases() {
  std::vector<WholeCase> cases;
  const size_t sizes[] = {0,      1,      51199,  51200,  51201,  102399,
                          102400, 102401, 153600, 204800, 204801, 307200};
  for (size_t size : sizes) {
    for (bool random : {false, true}) cases.push_back({Format::LzmaKnownSize, size, random, 4096});
  }
  // The whole compressed stream in one read, and byte by byte in small pieces.
  for (size_t size : {size_t{102400}, size_t{204800}}) {
    cases.push_back({Format::LzmaKnownSize, size, false, 1 << 20});
    cases.push_back({Format::LzmaKnownSize, size, true, 97});
  }
  for (Format format : {Format::Xz, Format::Lzma}) {
    for (size_t size : {size_t{0}, size_t{51200}, size_t{102400}, size_t{204801}})
      cases.push_back({format, size, true, 4096});
  }
  // Blocks of 65536 bytes against chunks of 51200: no block, one, where a block ends
  // inside a chunk or with it (327680 is five blocks and six and a half chunks).
  constexpr size_t BLOCK = hvpack::TEST_XZ_BLOCK_SIZE;
  const size_t blockSizes[] = {0,         1,         51200,     BLOCK - 1, BLOCK,  BLOCK + 1,
                               102400,    2 * BLOCK, 2 * BLOCK + 1, 204800, 327680, 327681};
  for (size_t size : blockSizes) {
    for (bool random : {false, true}) cases.push_back({Format::XzInBlocks, size, random, 4096});
  }
  for (size_t size : {size_t{2 * BLOCK}, size_t{327681}}) {
    cases.push_back({Format::XzInBlocks, size, true, 1 << 20});
    cases.push_back({Format::XzInBlocks, size, true, 97});
  }
  return cases;
}

std::string wholeName(const testing::TestParamInfo<WholeCase>& info) {
  const char* format = info.param.format == Format::Xz           ? "Xz"
                       : info.param.format == Format::XzInBlocks ? "XzInBlocks"
                       : info.param.format == Format::Lzma       ? "LzmaWithEndMarker"
                                                                 : "LzmaOfKnownSize";
  return std::string(format) + "_" + std::to_string(info.param.size) +
         (info.param.random ? "_Random" : "_Text") + "_Pieces" + std::to_string(info.param.piece);
}

class WholeStreamTest : public testing::TestWithParam<WholeCase> {};

TEST_P(WholeStreamTest, DecodesEveryByte) {
  const WholeCase& c = GetParam();
  const std::string data = c.random ? randomBytes(c.size, static_cast<unsigned>(c.size)) : textBytes(c.size);
  const Decoded d = decode(compress(c.format, data), {.piece = c.piece});
  EXPECT_EQ(0, d.result);
  EXPECT_EQ(data.size(), d.output.size());
  EXPECT_TRUE(data == d.output) << "decoded bytes differ";
}

INSTANTIATE_TEST_SUITE_P(ChunkEdges, WholeStreamTest, testing::ValuesIn(wholeCases()), wholeName);

// ---- Streams that are not whole ------------------------------------------------------

const std::string DATA = randomBytes(300000, 11);

struct BrokenCase {
  const char* name;
  std::function<std::string()> input;
  DecodeOptions options;
  int result;
  std::function<bool(const std::string&)> outputOk;
  std::string stderrText;  // expected on standard error ("" to skip)
};

bool isPrefixOfData(const std::string& out) { return out.size() < DATA.size() && DATA.compare(0, out.size(), out) == 0; }

// Where each block of a multi-block .xz stream ends (after its check), from the sizes
// its block headers carry.
std::vector<size_t> blockEnds(const std::string& xz) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(xz.data());
  lzma_stream_flags flags;
  EXPECT_EQ(LZMA_OK, lzma_stream_header_decode(&flags, bytes));
  std::vector<size_t> ends;
  size_t at = LZMA_STREAM_HEADER_SIZE;
  while (at < xz.size() && bytes[at] != 0x00) {  // 0x00 opens the index
    lzma_filter filters[LZMA_FILTERS_MAX + 1];
    lzma_block block = {};
    block.version = 1;
    block.check = flags.check;
    block.filters = filters;
    block.header_size = lzma_block_header_size_decode(bytes[at]);
    EXPECT_EQ(LZMA_OK, lzma_block_header_decode(&block, nullptr, bytes + at));
    for (size_t i = 0; filters[i].id != LZMA_VLI_UNKNOWN; ++i) free(filters[i].options);
    const lzma_vli total = lzma_block_total_size(&block);
    if (total == 0) {
      ADD_FAILURE() << "a block header without its sizes";
      break;
    }
    at += total;
    ends.push_back(at);
  }
  return ends;
}

// Decoded bytes agree with DATA and hold at least its first blocks whole blocks.
std::function<bool(const std::string&)> firstBlocksWhole(size_t blocks) {
  return [blocks](const std::string& out) {
    const size_t whole = std::min(DATA.size(), blocks * hvpack::TEST_XZ_BLOCK_SIZE);
    return out.size() >= whole && out.size() <= DATA.size() && DATA.compare(0, out.size(), out) == 0;
  };
}

// Bytes that agree with DATA for its first blocks whole blocks and may be anything after.
std::function<bool(const std::string&)> firstBlocksIntact(size_t blocks) {
  return [blocks](const std::string& out) {
    const size_t whole = blocks * hvpack::TEST_XZ_BLOCK_SIZE;
    return out.size() >= whole && out.size() <= DATA.size() && DATA.compare(0, whole, out, 0, whole) == 0;
  };
}

// A place past the end (block ends of a stream that failed its check) changes nothing.
std::string flipped(std::string bytes, size_t at) {
  if (at < bytes.size()) bytes[at] ^= 0x55;
  return bytes;
}

// The inputs are made when a case runs, not when the cases are listed: every test
// process lists them all, but runs one.
const std::string& dataXz() {
  static const std::string xz = hvpack::xzCompress(DATA);
  return xz;
}

const std::string& dataInBlocks() {
  static const std::string blocks = hvpack::xzCompressInBlocks(DATA);
  return blocks;
}

// Where the five blocks of dataInBlocks() end.
std::vector<size_t> fiveBlockEnds() {
  std::vector<size_t> ends = blockEnds(dataInBlocks());
  EXPECT_EQ(5u, ends.size());
  ends.resize(5, 0);
  return ends;
}

std::vector<BrokenCase> brokenCases() {
  return {
      // Whatever came out before the check failed may be wrong; the result says so.
      {"CorruptDataFails", [] { return flipped(dataXz(), dataXz().size() / 2); }, {}, 1,
       [](const std::string& out) { return out.size() <= DATA.size(); }, "lzma_code failed: 9"},
      {"CutXzStreamFails", [] { return dataXz().substr(0, dataXz().size() / 2); }, {}, 1, isPrefixOfData,
       "lzma_code failed: 10"},
      {"CutKnownSizeLzmaFails",
       [] {
         const std::string packed = hvpack::lzmaAloneKnownSizeCompress(DATA);
         return packed.substr(0, packed.size() / 2);
       },
       {}, 1, isPrefixOfData, ""},
      {"EmptyInputFails", [] { return std::string(); }, {}, 1,
       [](const std::string& out) { return out.empty(); }, ""},
      {"HtmlPageIsNoStream",
       [] { return std::string("<html><body>404 Not Found</body></html>\n"); }, {}, 1,
       [](const std::string& out) { return out.empty(); }, "lzma_code failed: 7"},
      // The producer never closes its input and has far more than the ring holds: the
      // decoder ends at the end of the stream and releases it.
      {"DataAfterTheStreamAreNeverDecoded",
       [] { return dataXz() + randomBytes(1 << 20, 3); }, {.closeInput = false}, 0,
       [](const std::string& out) { return out == DATA; }, ""},
      {"ConsumerThatStopsReleasesEveryone", [] { return dataXz(); }, {.stopAfter = 1000}, 0,
       [](const std::string& out) { return out.size() >= 1000 && DATA.compare(0, out.size(), out) == 0; },
       ""},
      // The same in five blocks (four whole, one short), which the decoder's threads
      // decode: errors and cuts anywhere fail as above, and no block before the fault is
      // lost.
      {"InBlocks_CorruptThirdBlockFails", [] { const auto ends = fiveBlockEnds(); return flipped(dataInBlocks(), (ends[1] + ends[2]) / 2); }, {}, 1,
       firstBlocksIntact(2), "lzma_code failed: 9"},
      {"InBlocks_CorruptBlockHeaderFails", [] { return flipped(dataInBlocks(), fiveBlockEnds()[1] + 1); }, {}, 1,
       firstBlocksWhole(2), "lzma_code failed: 9"},
      {"InBlocks_CorruptCheckFails", [] { return flipped(dataInBlocks(), fiveBlockEnds()[1] - 1); }, {}, 1,
       firstBlocksIntact(1), "lzma_code failed: 9"},
      {"InBlocks_CorruptIndexFails", [] { return flipped(dataInBlocks(), fiveBlockEnds()[4] + 2); }, {}, 1,
       firstBlocksWhole(5), "lzma_code failed: 9"},
      {"InBlocks_CutAfterABlockFails", [] { return dataInBlocks().substr(0, fiveBlockEnds()[1]); }, {}, 1,
       firstBlocksWhole(2), "lzma_code failed: 10"},
      {"InBlocks_CutInABlockHeaderFails", [] { return dataInBlocks().substr(0, fiveBlockEnds()[2] + 3); }, {}, 1,
       firstBlocksWhole(3), "lzma_code failed: 10"},
      {"InBlocks_CutInABlockFails", [] { const auto ends = fiveBlockEnds(); return dataInBlocks().substr(0, (ends[2] + ends[3]) / 2); }, {}, 1,
       firstBlocksWhole(3), "lzma_code failed: 10"},
      {"InBlocks_CutInTheIndexFails", [] { return dataInBlocks().substr(0, fiveBlockEnds()[4] + 2); }, {}, 1,
       firstBlocksWhole(5), "lzma_code failed: 10"},
      {"InBlocks_CutInTheFooterFails", [] { return dataInBlocks().substr(0, dataInBlocks().size() - 1); }, {}, 1,
       firstBlocksWhole(5), "lzma_code failed: 10"},
      {"InBlocks_DataAfterTheStreamAreNeverDecoded",
       [] { return dataInBlocks() + randomBytes(1 << 20, 3); }, {.closeInput = false}, 0,
       [](const std::string& out) { return out == DATA; }, ""},
      // Stops while later blocks are still being decoded.
      {"InBlocks_ConsumerThatStopsReleasesEveryone", [] { return dataInBlocks(); }, {.stopAfter = 150000}, 0,
       [](const std::string& out) { return out.size() >= 150000 && DATA.compare(0, out.size(), out) == 0; },
       ""},
      {"InBlocks_ConsumerThatStopsWhileTheProducerWritesReleasesEveryone",
       [] { return dataInBlocks() + randomBytes(1 << 20, 3); }, {.closeInput = false, .stopAfter = 1000}, 0,
       [](const std::string& out) { return out.size() >= 1000 && DATA.compare(0, out.size(), out) == 0; },
       ""},
  };
}

class BrokenStreamTest : public testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenStreamTest, EndsWithTheRightResult) {
  const BrokenCase& c = GetParam();
  const std::string input = c.input();
  OutputCapture capture;
  capture.start();
  const Decoded d = decode(input, c.options);
  capture.stop();
  EXPECT_TRUE(d.producerReleased);
  EXPECT_EQ(c.result, d.result);
  EXPECT_TRUE(c.outputOk(d.output)) << d.output.size() << " bytes decoded";
  if (!c.stderrText.empty()) {
    EXPECT_EQ(c.stderrText, capture.err());
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenStreamTest, testing::ValuesIn(brokenCases()),
                         [](const testing::TestParamInfo<BrokenCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- The decode-and-extract pipeline -------------------------------------------------

// Child exit status once the pipeline returned: 40 + the UnLZMAer's result + 2 times
// the UnArchiver's (cut) result.
constexpr int RETURNED = 40;

struct PipelineRun {
  ChildRun run;
  std::string folder;
};

// Feeds compressed into Streamer_startUnLzmaUnarchive in a child, waits for both stages
// and reports their results through the exit status.
ChildRun runPipeline(const std::string& compressed, const std::string& folder, bool keyRequired) {
  return runInChild(
      [&] {
        archiveKeyRequired.store(keyRequired);
        if (keyRequired) {
          const SignerBytes der = Signer_publicKeyDer(2048);
          archiveSignatureKey.store(importPublicKey(der.data(), static_cast<int>(der.size())));
        }
        RingBuffer* input = RingBuffer_create(7, PIPELINE_RING_SIZE);
        UnLzmaUnarchiveContext* context = nullptr;
        StageThreadSet* threads = Streamer_startUnLzmaUnarchive(input, folder.c_str(), &context);
        writeInPieces(input, compressed, 65536);
        RingBuffer_close(input);
        pthread_join(threads->unArchiver, nullptr);
        pthread_join(threads->unLzmaer, nullptr);
        return RETURNED + context->unLzmaResult + 2 * context->archiveCut;
      },
      CHILD_DEADLINE_SECONDS);
}

struct PipelineCase {
  const char* name;
  std::function<std::string()> compressed;
  bool keyRequired;
  int status;
  std::vector<std::string> present;  // files that must exist, with their bytes
  std::vector<std::string> missing;  // files that must not
  std::vector<std::string> lines;    // log lines in this order
};

const std::string BIG = randomBytes(200000, 5);

// An inner archive whose signature block is followed by megabytes the extraction never
// reads: its UnArchiver stops long before the outer copy has handed over its bytes.
std::string earlyEndingInner() {
  ArchiveBuilder inner;
  inner.file("inner.txt", "inner");
  ArchiveBuilder trailing;
  trailing.file("never.bin", randomBytes(3 << 20, 9));
  return inner.signedBytes(2048) + trailing.bytes();
}

const std::string& plainArchive() {
  static const std::string bytes =
      ArchiveBuilder().folder("d").file("d/big.bin", BIG).file("d/small.txt", "small").bytes();
  return bytes;
}

const std::string& plainXz() {
  static const std::string xz = hvpack::xzCompress(plainArchive());
  return xz;
}

const std::string& blocksXz() {
  // Both levels in blocks, both signed: the outer stream's blocks are decoded on threads
  // while its UnArchiver feeds the nested stream to a decoder with threads of its own.
  static const std::string xz = [] {
    ArchiveBuilder blocksInner;
    blocksInner.folder("d").file("d/big.bin", BIG).file("d/small.txt", "small");
    ArchiveBuilder blocksOuter;
    blocksOuter.file("first.txt", randomBytes(150000, 6))
        .nested("in.p2.l2", blocksInner.signedBytes(2048), hvpack::NestedFormat::XzInBlocks)
        .file("after.txt", "after");
    return hvpack::xzCompressInBlocks(blocksOuter.signedBytes(2048));
  }();
  return xz;
}

std::string earlyEndingOuterXz() {
  ArchiveBuilder earlyOuter;
  earlyOuter.file("first.txt", "first").nested("in.p2.l2", earlyEndingInner()).file("after.txt", "after");
  return hvpack::xzCompress(earlyOuter.signedBytes(2048));
}

std::string corruptNestedXz() {
  ArchiveBuilder corruptOuter;
  const std::string corruptInner = flipped(plainXz(), plainXz().size() / 2);
  corruptOuter.entry("0", "bad.p2.l2", std::to_string(corruptInner.size()), corruptInner)
      .file("after.txt", "after");
  return hvpack::xzCompress(corruptOuter.bytes());
}

std::vector<PipelineCase> pipelineCases() {
  return {
      {"WholeStreamDecodesAndExtracts", [] { return plainXz(); }, false, RETURNED,
       {"d/big.bin", "d/small.txt"}, {},
       {"[Streamer] [UnLZMAer] Done (0).", "[Streamer] [UnArchiver] Done."}},
      {"CutCompressedStreamReportsBothResults",
       [] { return plainXz().substr(0, plainXz().size() / 2); }, false, RETURNED + 1 + 2, {}, {"d/small.txt"},
       {"[Streamer] [UnLZMAer] Done (1)."}},
      {"NestedArchiveStoppingFirstDoesNotHang",
       earlyEndingOuterXz, true, RETURNED,
       {"first.txt", "inner.txt", "after.txt"}, {"never.bin"},
       {"[Unarchiver] Archive signature verified.",
        "\t[Unarchiver] .p2.l2 in sync unarchive complete.", "[Unarchiver] Extracting after.txt (::0 from 0)",
        "[Unarchiver] Archive signature verified."}},
      {"NestedArchivesInBlocksExtractAndVerify", [] { return blocksXz(); }, true, RETURNED,
       {"first.txt", "d/big.bin", "d/small.txt", "after.txt"}, {},
       {"\t[Unarchiver] .p2.l2 detected. Performing in sync unarchive.",
        "[Unarchiver] Archive signature verified.", "\t[Unarchiver] .p2.l2 in sync unarchive complete.",
        "[Unarchiver] Extracted after.txt length:5", "[Unarchiver] Archive signature verified."}},
      {"CutStreamInBlocksReportsBothResults",
       [] { return blocksXz().substr(0, blocksXz().size() / 2); }, false, RETURNED + 1 + 2, {"first.txt"},
       {"after.txt"}, {"[Streamer] [UnLZMAer] Done (1)."}},
      {"NestedDecodingFailureMarksTheArchiveCut",
       corruptNestedXz, false, RETURNED + 2, {"after.txt"}, {},
       {"\t[Unarchiver] .p2.l2 in sync unarchive complete.", "[Unarchiver] Extracted after.txt length:5"}},
  };
}

class PipelineTest : public testing::TestWithParam<PipelineCase> {};

TEST_P(PipelineTest, Ends) {
  const PipelineCase& c = GetParam();
  ScratchDir scratch;
  const ChildRun run = runPipeline(c.compressed(), scratch.path(), c.keyRequired);
  ASSERT_FALSE(run.timedOut) << run.output;
  EXPECT_EQ(c.status, run.exitStatus) << run.output;
  for (const std::string& name : c.present) EXPECT_TRUE(pathExists(scratch / name)) << name;
  for (const std::string& name : c.missing) EXPECT_FALSE(pathExists(scratch / name)) << name;
  EXPECT_EQ("", missingInOrder(run.output, c.lines)) << run.output;
  if (pathExists(scratch / "d/big.bin") && c.status == RETURNED) {
    EXPECT_TRUE(BIG == readFileBytes(scratch / "d/big.bin"));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PipelineTest, testing::ValuesIn(pipelineCases()),
                         [](const testing::TestParamInfo<PipelineCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

namespace {

// ---- A downloaded archive that writes far more than arrived ---------------------------

// One .xz stream (the fastest preset) of header followed by zeroCount zero bytes, encoded
// piece by piece so that the zeros are never held whole.
std::string xzOfZerosAfter(const std::string& header, uint64_t zeroCount) {
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_easy_encoder(&stream, 0, LZMA_CHECK_CRC64) != LZMA_OK) return "";
  std::string out;
  std::vector<uint8_t> buffer(1 << 16);
  const std::vector<uint8_t> zeros(1 << 20, 0);
  const auto feed = [&](const uint8_t* data, size_t size, lzma_action action) {
    stream.next_in = data;
    stream.avail_in = size;
    for (;;) {
      stream.next_out = buffer.data();
      stream.avail_out = buffer.size();
      const lzma_ret ret = lzma_code(&stream, action);
      out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - stream.avail_out);
      if (ret == LZMA_STREAM_END) return;
      if (ret != LZMA_OK) {
        out.clear();
        return;
      }
      if (action == LZMA_RUN && stream.avail_in == 0) return;
    }
  };
  feed(reinterpret_cast<const uint8_t*>(header.data()), header.size(), LZMA_RUN);
  for (uint64_t left = zeroCount; left > 0;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
    feed(zeros.data(), piece, LZMA_RUN);
    left -= piece;
  }
  feed(nullptr, 0, LZMA_FINISH);
  lzma_end(&stream);
  return out;
}

int folderEntries(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++count;
  }
  closedir(dir);
  return count;
}

constexpr int NO_PRIVATE_TMPFS = 77;
constexpr int ZERO_BOMB_DEADLINE_SECONDS = 60;

// A site serves, under a key, an archive of one file of 256 MiB of zeros (39 KB
// compressed) into a folder on a 96 MiB disk. It is refused once it would write 64
// times what arrived plus 64 MiB, so the disk never fills (no "No space left" line), and
// what it wrote is removed. The extraction runs in a grandchild, so that its child can
// look at the disk, which only their mount namespace sees, after the process ended.
TEST(DownloadedArchive, ZeroBombIsRefusedBeforeItFillsTheDisk) {
  const uint64_t zeros = uint64_t{256} << 20;
  const std::string header = hvpack::PropertyWriter().value("0").value("zeros.bin").number(
      static_cast<long long>(zeros)).bytes();
  const std::string bomb = xzOfZerosAfter(header, zeros);
  ASSERT_FALSE(bomb.empty());
  ASSERT_LT(bomb.size(), size_t{1} << 20);
  ScratchDir scratch;
  const std::string folder = scratch.path();
  const ChildRun run = runInChild(
      [&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=96m,mode=0755") != 0) {
          return NO_PRIVATE_TMPFS;
        }
        // The extraction forks before any thread runs here (the site's threads start
        // after), and learns the site's address through a pipe.
        int addressPipe[2];
        if (pipe(addressPipe) != 0) return 2;
        fflush(stdout);
        const pid_t extraction = fork();
        if (extraction == 0) {
          close(addressPipe[1]);
          char url[256] = {};
          if (read(addressPipe[0], url, sizeof url - 1) <= 0) _exit(3);
          archiveKeyRequired.store(true);
          const SignerBytes der = Signer_publicKeyDer(2048);
          archiveSignatureKey.store(importPublicKey(der.data(), static_cast<int>(der.size())));
          _exit(40 + Streamer_downloadAndUnarchive(url, folder.c_str()));
        }
        close(addressPipe[0]);
        HttpTestServer server;
        HttpPlan plan;
        plan.body = bomb;
        server.serve("/jre-archive.p2.l2", plan);
        if (extraction < 0 || !server.start()) return 4;
        const std::string url = server.url("/jre-archive.p2.l2");
        if (write(addressPipe[1], url.data(), url.size()) != static_cast<ssize_t>(url.size())) return 5;
        close(addressPipe[1]);
        int status = 0;
        if (waitpid(extraction, &status, 0) != extraction) return 2;
        struct statvfs disk;
        if (statvfs(folder.c_str(), &disk) != 0) return 3;
        printf("extraction status %d, entries left %d, bytes in use %llu\n",
               WIFEXITED(status) ? WEXITSTATUS(status) : -1, folderEntries(folder),
               static_cast<unsigned long long>((disk.f_blocks - disk.f_bfree) * disk.f_frsize));
        return 0;
      },
      ZERO_BOMB_DEADLINE_SECONDS);
  if (run.exitStatus == NO_PRIVATE_TMPFS) GTEST_SKIP() << "needs root and private mount namespaces";
  ASSERT_FALSE(run.timedOut) << run.output;
  ASSERT_EQ(0, run.exitStatus) << run.output;
  const std::string out = withoutDownloadBars(run.output);
  EXPECT_EQ(1, countLinesStartingWith(
                   out, "[Unarchiver] The archive writes more than 64 times the "))
      << out;
  EXPECT_EQ("", missingInOrder(out, {"[Unarchiver] Halvorin will disregard this update.",
                                     "extraction status 1, entries left 0, bytes in use 0"}))
      << out;
  EXPECT_EQ(std::string::npos, out.find("No space left on device")) << out;
}

}  // namespace
