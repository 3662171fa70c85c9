#include "pipeline/file_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/property_stream.h"
#include "tests/support/ring_keeper.h"

namespace {

using namespace std::chrono_literals;

uint8_t patternByte(uint64_t position) {
  return static_cast<uint8_t>((position * 2654435761ULL) >> 11);
}

class FileReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hvfilereaderXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(0, system(command.c_str()));
  }

  std::string writeFile(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string writePatternFile(const std::string& name, int64_t size) {
    std::string bytes(static_cast<size_t>(size), '\0');
    for (int64_t i = 0; i < size; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(patternByte(i));
    return writeFile(name, bytes);
  }
  static FILE* openAt(const std::string& path, long offset) {
    FILE* file = fopen(path.c_str(), "rbe");
    EXPECT_NE(nullptr, file);
    EXPECT_EQ(0, fseek(file, offset, SEEK_SET));
    return file;
  }

  std::string dir_;
};

struct DeliveryCase {
  const char* name;
  int64_t fileSize;
  long start;
};

// The ring delivers the file from its starting position to its end, in order and without
// gaps, then is closed so that a reader gets -1 once it is drained.
TEST_F(FileReaderTest, DeliversTheRestOfTheFileThenCloses) {
  const DeliveryCase cases[] = {
      {"positioned at the end", 1000, 1000},
      {"an empty file", 0, 0},
      {"exactly one chunk", STREAM_CHUNK_SIZE, 0},
      {"remainder a multiple of the chunk", 3 * STREAM_CHUNK_SIZE + 100, 100},
      {"remainder not a multiple", 2 * STREAM_CHUNK_SIZE + 17, 0},
      {"far larger than the ring", (3 << 20) + 5, 7},
  };
  std::mt19937 random(3);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = writePatternFile("data", c.fileSize);
    RingBuffer* ring = keepRing(Streamer_startFileReader(openAt(path, c.start)));
    EXPECT_EQ(FILE_RING_ID, ring->id);
    EXPECT_EQ(FILE_RING_SIZE, ring->capacity);
    std::vector<uint8_t> out(70000);
    int64_t position = c.start, mismatches = 0;
    int32_t n;
    while ((n = RingBuffer_read(ring, out.data(), 1 + static_cast<int32_t>(random() % out.size()))) > 0) {
      for (int32_t i = 0; i < n; ++i) mismatches += out[i] != patternByte(position + i);
      position += n;
    }
    EXPECT_EQ(-1, n);
    EXPECT_EQ(c.fileSize, position);
    EXPECT_EQ(0, mismatches);
    EXPECT_TRUE(ring->closed.load());
    EXPECT_EQ(-1, RingBuffer_read(ring, out.data(), 10));
  }
}

// A consumer that closes the ring early: the thread stops on its own without reading the
// rest of a file far larger than the ring.
TEST_F(FileReaderTest, ConsumerCloseStopsTheReader) {
  constexpr int64_t SIZE = 16 << 20;
  const std::string path = writePatternFile("big", SIZE);
  const std::string logPath = dir_ + "/log";
  setLogFile(fopen(logPath.c_str(), "we"));
  FILE* file = openAt(path, 0);
  // A second descriptor on the same open file shares its offset: it shows how far the
  // reader got after it closed its own.
  const int probe = dup(fileno(file));
  ASSERT_GE(probe, 0);
  RingBuffer* ring = keepRing(Streamer_startFileReader(file));
  char first[100];
  ASSERT_EQ(100, RingBuffer_read(ring, first, 100));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(patternByte(i), static_cast<uint8_t>(first[i]));
  RingBuffer_close(ring);

  // The reader's own descriptor goes when it closes the file.
  const int readerFd = fileno(file);
  bool stopped = false;
  for (int i = 0; i < 2000 && !stopped; ++i) {
    stopped = fcntl(readerFd, F_GETFD) == -1 && errno == EBADF;
    if (!stopped) std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(stopped) << "the reader did not stop";
  const off_t reached = lseek(probe, 0, SEEK_CUR);
  close(probe);
  // the ring, the chunk that was waiting and one more taken before the close was seen
  EXPECT_LE(reached, 100 + FILE_RING_SIZE + 2 * STREAM_CHUNK_SIZE + 65536);
  EXPECT_LT(reached, SIZE);
  std::string log;
  for (int i = 0; i < 2000 && log.find("[Streamer] [FileReader] Done.\n") == std::string::npos; ++i) {
    std::this_thread::sleep_for(5ms);
    std::ifstream in(logPath);
    std::stringstream text;
    text << in.rdbuf();
    log = text.str();
  }
  closeLogFile();
  EXPECT_NE(std::string::npos, log.find("[Streamer] [FileReader] Starting...\n"));
  EXPECT_NE(std::string::npos, log.find("[Streamer] [FileReader] Done.\n"));
}

struct LongValueCase {
  int32_t offset;  // where the long value starts in the file
  int32_t length;  // its bytes without the 0x00
};

void PrintTo(const LongValueCase& c, std::ostream* os) {
  *os << c.length << " bytes at " << c.offset;
}

class FileReaderLongValue : public FileReaderTest,
                            public testing::WithParamInterface<LongValueCase> {};

// However the chunks fall, a value that fits the ring completes and reads back whole
// (whole-chunk writes would leave it waiting behind a chunk that cannot fit).
TEST_P(FileReaderLongValue, CompletesAndReadsBackWhole) {
  const LongValueCase c = GetParam();
  std::string bytes;
  if (c.offset > 0) bytes = std::string(static_cast<size_t>(c.offset - 1), 'f') + '\0';
  std::string value(static_cast<size_t>(c.length), '\0');
  for (int32_t i = 0; i < c.length; ++i) value[static_cast<size_t>(i)] = static_cast<char>('a' + i % 26);
  // Much more follows, as the tail follows the Params block, so every chunk is a full one.
  const std::string trailer(999, 'z');
  constexpr int TRAILERS = 200;
  bytes += value + '\0';
  for (int i = 0; i < TRAILERS; ++i) bytes += trailer + '\0';
  RingBuffer* ring = keepRing(Streamer_startFileReader(openAt(writeFile("params", bytes), 0)));

  auto consumer = std::async(std::launch::async, [&] {
    std::vector<std::string> values;
    for (;;) {
      char* v = readStreamStringSized(ring, "Value", std::max(c.offset, c.length + 1));
      if (v == nullptr) return values;
      values.emplace_back(v);
      free(v);
    }
  });
  if (consumer.wait_for(20s) != std::future_status::ready) {
    RingBuffer_close(ring);  // release the consumer before failing
    consumer.wait();
    FAIL() << "the long value never completed";
  }
  std::vector<std::string> expected;
  if (c.offset > 0) expected.push_back(std::string(static_cast<size_t>(c.offset - 1), 'f'));
  expected.push_back(value);
  expected.insert(expected.end(), TRAILERS, trailer);
  const std::vector<std::string> values = consumer.get();
  ASSERT_EQ(expected.size(), values.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(expected[i] == values[i]) << "value " << i;
}

constexpr int32_t LONGEST_PARAM = 199999;
INSTANTIATE_TEST_SUITE_P(
    AroundChunkBoundaries, FileReaderLongValue,
    testing::Values(LongValueCase{0, LONGEST_PARAM}, LongValueCase{1, LONGEST_PARAM},
                    LongValueCase{4800, LONGEST_PARAM}, LongValueCase{4801, LONGEST_PARAM},
                    LongValueCase{51199, LONGEST_PARAM}, LongValueCase{51200, LONGEST_PARAM},
                    LongValueCase{51201, LONGEST_PARAM}, LongValueCase{102399, LONGEST_PARAM},
                    LongValueCase{102400, LONGEST_PARAM}, LongValueCase{102401, LONGEST_PARAM},
                    LongValueCase{153599, LONGEST_PARAM}, LongValueCase{153600, LONGEST_PARAM},
                    LongValueCase{153601, LONGEST_PARAM}, LongValueCase{204800, LONGEST_PARAM},
                    // a value that with its 0x00 fills the ring exactly
                    LongValueCase{51201, FILE_RING_SIZE - 1}),
    [](const testing::TestParamInfo<LongValueCase>& info) {
      return "at" + std::to_string(info.param.offset) + "_len" + std::to_string(info.param.length);
    });

}  // namespace
