#include "core/ring_buffer.h"
#include "tests/support/ring_keeper.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
// Fast enough under ThreadSanitizer too (a few seconds), so every build moves it all.
constexpr int64_t STRESS_BYTES = 256LL << 20;

bool mutexIsFree(RingBuffer* ring) {
  if (pthread_mutex_trylock(&ring->mutex) != 0) return false;
  pthread_mutex_unlock(&ring->mutex);
  return true;
}

int32_t writeText(RingBuffer* ring, const std::string& text) {
  return RingBuffer_write(ring, text.data(), static_cast<int32_t>(text.size()));
}

// Everything readable, taken without waiting.
std::string contentsOf(RingBuffer* ring) {
  pthread_mutex_lock(&ring->mutex);
  std::string out(static_cast<size_t>(RingBuffer_available(ring)), '\0');
  if (!out.empty()) RingBuffer_readLocked(ring, out.data(), static_cast<int32_t>(out.size()));
  pthread_mutex_unlock(&ring->mutex);
  return out;
}

// Waits until the writer thread is parked waiting for room; false if it never is.
bool awaitWaitingWriter(RingBuffer* ring) {
  for (int i = 0; i < 10000; ++i) {
    pthread_mutex_lock(&ring->mutex);
    const bool waiting = ring->writerNeed > 0;
    pthread_mutex_unlock(&ring->mutex);
    if (waiting) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

TEST(RingBuffer, CreateGivesAnOpenEmptyZeroFilledRing) {
  RingBuffer* ring = keptRing(7, 16);
  EXPECT_EQ(7, ring->id);
  EXPECT_EQ(16, ring->capacity);
  EXPECT_EQ(0, ring->start);
  EXPECT_EQ(-1, ring->end);
  EXPECT_FALSE(ring->closed.load());
  EXPECT_EQ(std::string(16, '\0'), std::string(reinterpret_cast<char*>(ring->data), 16));
}

TEST(RingBuffer, CapacityEightWrapWalkThrough) {
  RingBuffer* ring = keptRing(1, 8);
  EXPECT_EQ(5, writeText(ring, "ABCDE"));
  EXPECT_EQ(0, ring->start);
  EXPECT_EQ(5, ring->end);

  char out[8];
  EXPECT_EQ(3, RingBuffer_read(ring, out, 3));
  EXPECT_EQ("ABC", std::string(out, 3));
  EXPECT_EQ(3, ring->start);

  EXPECT_EQ(6, writeText(ring, "FGHIJK"));
  EXPECT_EQ("FGH", std::string(reinterpret_cast<char*>(ring->data) + 5, 3));
  EXPECT_EQ("IJK", std::string(reinterpret_cast<char*>(ring->data), 3));
  EXPECT_EQ(3, ring->end);
  EXPECT_EQ(ring->start, ring->end);
  EXPECT_EQ(8, RingBuffer_available(ring));
  EXPECT_EQ(0, RingBuffer_free(ring));

  EXPECT_EQ(8, RingBuffer_read(ring, out, 8));
  EXPECT_EQ("DEFGHIJK", std::string(out, 8));
  EXPECT_EQ(0, ring->start);
  EXPECT_EQ(-1, ring->end);
  EXPECT_EQ(0, RingBuffer_available(ring));
}

TEST(RingBuffer, NonPositiveWriteReturnsZeroAndChangesNothing) {
  RingBuffer* ring = keptRing(1, 8);
  writeText(ring, "abc");
  for (int32_t length : {0, -1, INT32_MIN}) {
    EXPECT_EQ(0, RingBuffer_write(ring, "zzzz", length)) << length;
    EXPECT_EQ(0, RingBuffer_writeSome(ring, "zzzz", length)) << length;
    EXPECT_EQ(0, ring->start);
    EXPECT_EQ(3, ring->end);
  }
  EXPECT_EQ("abc", contentsOf(ring));
}

TEST(RingBuffer, WriteSomeTakesWhatFitsAndWrapsInOrder) {
  RingBuffer* ring = keptRing(1, 8);
  EXPECT_EQ(6, writeText(ring, "abcdef"));
  char out[8];
  EXPECT_EQ(4, RingBuffer_read(ring, out, 4));
  EXPECT_EQ(6, RingBuffer_writeSome(ring, "ghijklmnop", 10));  // 2 at the end, 4 at the front
  EXPECT_EQ(8, RingBuffer_available(ring));
  EXPECT_EQ("efghijkl", contentsOf(ring));
}

// The behaviour of every operation on a ring closed with the given contents.
enum class Op { Write, WriteSome, Read, ReadUntil, Close };
struct ClosedCase {
  const char* name;
  std::string contents;
  Op op;
  std::string written;  // for the writes
  int32_t expected;
  std::string taken;  // for the reads
  std::string remaining;
};

TEST(RingBuffer, BehaviourOnAClosedRing) {
  const std::string D("\0", 1);
  const ClosedCase cases[] = {
      {"write that fits is copied", "abc", Op::Write, "xyz", 3, "", "abcxyz"},
      {"write that must wait gives -1", "abcdef", Op::Write, "xyz", -1, "", "abcdef"},
      {"writeSome with room is copied", "abcdef", Op::WriteSome, "xyz", 2, "", "abcdefxy"},
      {"writeSome on a full ring gives -1", "abcdefgh", Op::WriteSome, "x", -1, "", "abcdefgh"},
      {"read drains what is left", "abc", Op::Read, "", 3, "abc", ""},
      {"read of an empty ring gives -1", "", Op::Read, "", -1, "", ""},
      {"readUntil takes a complete value", "ab" + D + "cd", Op::ReadUntil, "", 3, "ab" + D, "cd"},
      {"readUntil leaves an incomplete value", "cd", Op::ReadUntil, "", -1, "", "cd"},
      {"a second close changes nothing", "abc", Op::Close, "", 0, "", "abc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RingBuffer* ring = keptRing(1, 8);
    writeText(ring, c.contents);
    RingBuffer_close(ring);
    char out[16] = {};
    int32_t result = 0;
    const int32_t length = static_cast<int32_t>(c.written.size());
    switch (c.op) {
      case Op::Write: result = RingBuffer_write(ring, c.written.data(), length); break;
      case Op::WriteSome: result = RingBuffer_writeSome(ring, c.written.data(), length); break;
      case Op::Read: result = RingBuffer_read(ring, out, 16); break;
      case Op::ReadUntil: result = RingBuffer_readUntil(ring, out, 16, 0); break;
      case Op::Close: RingBuffer_close(ring); break;
    }
    EXPECT_EQ(c.expected, result);
    if (c.op == Op::Read || c.op == Op::ReadUntil) {
      EXPECT_EQ(c.taken, std::string(out, result > 0 ? static_cast<size_t>(result) : 0));
    }
    EXPECT_TRUE(ring->closed.load());
    EXPECT_TRUE(mutexIsFree(ring));
    EXPECT_EQ(c.remaining, contentsOf(ring));
  }
}

TEST(RingBuffer, WaitingWriterIsReleasedByCloseWithMinusOne) {
  struct Case {
    const char* name;
    const char* contents;
    bool some;
  };
  const Case cases[] = {
      {"all-or-nothing write lacking room", "abcdef", false},
      {"partial write on a full ring", "abcdefgh", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RingBuffer* ring = keptRing(1, 8);
    writeText(ring, c.contents);
    auto writer = std::async(std::launch::async, [&] {
      return c.some ? RingBuffer_writeSome(ring, "wxyz", 4) : RingBuffer_write(ring, "wxyz", 4);
    });
    EXPECT_TRUE(awaitWaitingWriter(ring));
    EXPECT_EQ(std::future_status::timeout, writer.wait_for(20ms));
    RingBuffer_close(ring);
    EXPECT_EQ(-1, writer.get());
    EXPECT_TRUE(mutexIsFree(ring));
    EXPECT_EQ(std::string(c.contents), contentsOf(ring));
  }
}

TEST(RingBuffer, WaitingReaderIsReleasedByCloseWithMinusOne) {
  struct Case {
    const char* name;
    const char* contents;
    bool until;
  };
  const Case cases[] = {
      {"read of an empty ring", "", false},
      {"readUntil of an empty ring", "", true},
      {"readUntil of an incomplete value", "ab", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RingBuffer* ring = keptRing(1, 8);
    writeText(ring, c.contents);
    auto reader = std::async(std::launch::async, [&] {
      char out[8];
      return c.until ? RingBuffer_readUntil(ring, out, 8, 0) : RingBuffer_read(ring, out, 8);
    });
    EXPECT_EQ(std::future_status::timeout, reader.wait_for(50ms));
    RingBuffer_close(ring);
    EXPECT_EQ(-1, reader.get());
    EXPECT_TRUE(mutexIsFree(ring));
    EXPECT_EQ(std::string(c.contents), contentsOf(ring));
  }
}

// Never waits: what is there now, 0 for nothing yet, -1 for nothing ever again.
TEST(RingBuffer, ReadReadyTakesWhatIsThereWithoutWaiting) {
  struct Case {
    const char* name;
    const char* contents;
    bool closed;
    int32_t n;
    int32_t expected;
    const char* remaining;
  };
  const Case cases[] = {
      {"open and empty gives 0", "", false, 8, 0, ""},
      {"takes up to n", "abc", false, 2, 2, "c"},
      {"takes all there is", "abc", false, 8, 3, ""},
      {"n below 1 gives 0", "abc", false, 0, 0, "abc"},
      {"closed ring is drained first", "abc", true, 8, 3, ""},
      {"closed and drained gives -1", "", true, 8, -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RingBuffer* ring = keptRing(1, 8);
    writeText(ring, c.contents);
    if (c.closed) RingBuffer_close(ring);
    char out[8] = {};
    auto reader = std::async(std::launch::async, [&] { return RingBuffer_readReady(ring, out, c.n); });
    if (reader.wait_for(5s) != std::future_status::ready) {
      RingBuffer_close(ring);  // releases it, should it wait after all
      ADD_FAILURE() << "readReady waited";
    }
    const int32_t result = reader.get();
    EXPECT_EQ(c.expected, result);
    EXPECT_EQ(std::string(c.contents).substr(0, result > 0 ? static_cast<size_t>(result) : 0),
              std::string(out, result > 0 ? static_cast<size_t>(result) : 0));
    EXPECT_TRUE(mutexIsFree(ring));
    EXPECT_EQ(std::string(c.remaining), contentsOf(ring));
  }
}

TEST(RingBuffer, ReadReadyReleasesAWriterWaitingForRoom) {
  RingBuffer* ring = keptRing(1, 8);
  writeText(ring, "abcdefgh");
  auto writer = std::async(std::launch::async, [&] { return RingBuffer_write(ring, "xy", 2); });
  ASSERT_TRUE(awaitWaitingWriter(ring));
  char out[4];
  EXPECT_EQ(4, RingBuffer_readReady(ring, out, 4));
  if (writer.wait_for(5s) != std::future_status::ready) {
    RingBuffer_close(ring);
    ADD_FAILURE() << "the writer was not woken";
  }
  EXPECT_EQ(2, writer.get());
  EXPECT_EQ("efghxy", contentsOf(ring));
}

TEST(RingBuffer, ReadUntilTakesTheValueAndLeavesTheRest) {
  RingBuffer* ring = keptRing(1, 16);
  writeText(ring, std::string("abc\0de", 6));
  char out[16] = {};
  EXPECT_EQ(4, RingBuffer_readUntil(ring, out, 16, 0));
  EXPECT_EQ(std::string("abc\0", 4), std::string(out, 4));
  EXPECT_EQ(2, RingBuffer_available(ring));
  RingBuffer_close(ring);
  EXPECT_EQ(-1, RingBuffer_readUntil(ring, out, 16, 0));
  EXPECT_EQ("de", contentsOf(ring));
}

TEST(RingBuffer, ReadUntilReturnsOnlyAfterTheDelimiterArrives) {
  RingBuffer* ring = keptRing(1, 16);
  writeText(ring, "ab");
  auto reader = std::async(std::launch::async, [&] {
    std::string out(16, 'x');
    const int32_t n = RingBuffer_readUntil(ring, out.data(), 16, 0);
    return out.substr(0, n < 0 ? 0 : n);
  });
  EXPECT_EQ(std::future_status::timeout, reader.wait_for(30ms));
  writeText(ring, "cd");
  EXPECT_EQ(std::future_status::timeout, reader.wait_for(30ms));
  writeText(ring, std::string("e\0f", 3));
  EXPECT_EQ(std::string("abcde\0", 6), reader.get());
  EXPECT_EQ("f", contentsOf(ring));
}

// A value that cannot fit the destination, or can never complete in the ring, is cut:
// never written past the destination, never left waiting, and the rest read next.
TEST(RingBuffer, ReadUntilCutsValuesThatCannotFitOrComplete) {
  struct Case {
    const char* name;
    int32_t capacity;
    std::string contents;
    bool closed;
    int32_t size;
    std::vector<std::string> reads;  // each call's bytes; "-1" for -1
    const char* warning;
  };
  const std::string D("\0", 1);
  const Case cases[] = {
      {"value of size - 1 fits whole", 16, "abcdefg" + D, false, 8, {"abcdefg" + D}, ""},
      {"value of size bytes keeps size - 1", 16, "abcdefgh" + D, false, 8, {"abcdefg", "h" + D},
       "***WARNING - STRING TOO LONG FOR ALLOC 7>8! (RingBuffer_readUntil) [abcdefg]\n"},
      {"cut before the delimiter has arrived", 16, "abcdefghij", false, 8, {"abcdefg"},
       "***WARNING - STRING TOO LONG FOR ALLOC 7>8! (RingBuffer_readUntil) [abcdefg]\n"},
      {"long value in a closed ring", 16, "abcdefghij", true, 8, {"abcdefg", "-1"},
       "***WARNING - STRING TOO LONG FOR ALLOC 7>8! (RingBuffer_readUntil) [abcdefg]\n"},
      {"value larger than a full ring", 8, "abcdefgh", false, 100, {"abcdefgh"},
       "***WARNING - STRING TOO LONG FOR ALLOC 8>100! (RingBuffer_readUntil) [abcdefgh]\n"},
      {"full closed ring without delimiter", 8, "abcdefgh", true, 100, {"-1"}, ""},
      {"destination too small for anything", 8, "ab" + D, false, 1, {"-1"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RingBuffer* ring = keptRing(1, c.capacity);
    writeText(ring, c.contents);
    if (c.closed) RingBuffer_close(ring);
    testing::internal::CaptureStdout();
    for (const auto& expected : c.reads) {
      std::vector<char> out(static_cast<size_t>(c.size) + 4, '#');
      const int32_t n = RingBuffer_readUntil(ring, out.data(), c.size, 0);
      if (expected == "-1") {
        EXPECT_EQ(-1, n);
        continue;
      }
      ASSERT_EQ(static_cast<int32_t>(expected.size()), n);
      EXPECT_EQ(expected, std::string(out.data(), static_cast<size_t>(n)));
      if (expected.back() != '\0') {
        EXPECT_EQ('\0', out[static_cast<size_t>(n)]);
      }
      // nothing beyond the destination's size is touched
      EXPECT_EQ(std::string(4, '#'), std::string(out.data() + c.size, 4));
    }
    EXPECT_EQ(c.warning, testing::internal::GetCapturedStdout());
    EXPECT_TRUE(mutexIsFree(ring));
  }
}

// An all-or-nothing writer that waits for room while the reader waits for a delimiter
// would leave both stuck; the reader hands over what it has and both go on.
TEST(RingBuffer, ReadUntilReleasesAWriterThatWaitsForRoom) {
  for (bool readerFirst : {true, false}) {
    SCOPED_TRACE(readerFirst ? "reader waits first" : "writer waits first");
    RingBuffer* ring = keptRing(1, 16);
    writeText(ring, "aaaaaaaaaa");
    const std::string second = std::string("bbbbbbbbbb") + '\0';
    testing::internal::CaptureStdout();
    auto startReader = [&] {
      return std::async(std::launch::async, [&] {
        char out[100];
        const int32_t n = RingBuffer_readUntil(ring, out, 100, 0);
        return std::string(out, static_cast<size_t>(n < 0 ? 0 : n));
      });
    };
    std::future<std::string> reader;
    if (readerFirst) {
      reader = startReader();
      std::this_thread::sleep_for(20ms);  // let it settle into its wait
    }
    auto writer = std::async(std::launch::async, [&] { return writeText(ring, second); });
    if (!readerFirst) {
      EXPECT_TRUE(awaitWaitingWriter(ring));
      reader = startReader();
    }
    if (reader.wait_for(10s) != std::future_status::ready) {
      RingBuffer_close(ring);  // release both before failing
      FAIL() << "reader and writer both stuck";
    }
    EXPECT_EQ("aaaaaaaaaa", reader.get());
    EXPECT_EQ(11, writer.get());
    testing::internal::GetCapturedStdout();
    char out[100];
    EXPECT_EQ(11, RingBuffer_readUntil(ring, out, 100, 0));
    EXPECT_EQ(second, std::string(out, 11));
  }
}

// Byte of a long pseudo-random stream at a given position (no short period).
uint8_t streamByte(uint64_t position) {
  uint64_t z = (position >> 3) + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<uint8_t>(z >> ((position & 7) * 8));
}

TEST(RingBufferStress, RandomBlocksArriveWholeAndInOrder) {
  constexpr int32_t CAPACITY = 4093;  // odd, so every wrap point gets used
  RingBuffer* ring = keptRing(9, CAPACITY);
  std::thread producer([ring] {
    std::mt19937 random(1);
    std::vector<uint8_t> block(2 * CAPACITY);
    int64_t position = 0;
    bool partial = false;
    while (position < STRESS_BYTES) {
      const int32_t limit = partial ? 2 * CAPACITY : CAPACITY;
      const int32_t length = static_cast<int32_t>(
          std::min<int64_t>(1 + random() % limit, STRESS_BYTES - position));
      for (int32_t i = 0; i < length; ++i) block[i] = streamByte(position + i);
      int32_t done = 0;
      while (done < length) {
        const int32_t n = partial ? RingBuffer_writeSome(ring, block.data() + done, length - done)
                                  : RingBuffer_write(ring, block.data(), length);
        if (n <= 0) {
          ADD_FAILURE() << "write refused on an open ring";
          position = STRESS_BYTES;
          break;
        }
        done += n;
      }
      position += length;
      partial = !partial;
    }
    RingBuffer_close(ring);
  });
  std::mt19937 random(2);
  std::vector<uint8_t> out(CAPACITY + 100);
  int64_t position = 0;
  int64_t mismatches = 0;
  for (;;) {
    const int32_t n =
        RingBuffer_read(ring, out.data(), 1 + static_cast<int32_t>(random() % out.size()));
    if (n < 0) break;
    for (int32_t i = 0; i < n; ++i) mismatches += out[i] != streamByte(position + i);
    position += n;
  }
  producer.join();
  EXPECT_EQ(STRESS_BYTES, position);
  EXPECT_EQ(0, mismatches);
}

TEST(RingBufferStress, DelimitedValuesSplitAcrossRandomBlocks) {
  constexpr int32_t CAPACITY = 1024;
  constexpr int32_t MAX_VALUE = 300;
  constexpr int64_t TOTAL = STRESS_BYTES / 16;
  RingBuffer* ring = keptRing(9, CAPACITY);
  // Values of 0 to 300 non-zero bytes, each ended by 0x00; deterministic from the seed.
  auto valueAt = [](std::mt19937& random, std::string& value) {
    value.assign(random() % (MAX_VALUE + 1), '\0');
    for (auto& ch : value) ch = static_cast<char>(1 + random() % 255);
  };
  std::thread producer([&] {
    std::mt19937 values(5), blocks(6);
    std::string stream, value;
    while (static_cast<int64_t>(stream.size()) < TOTAL) {
      valueAt(values, value);
      stream += value;
      stream += '\0';
    }
    size_t done = 0;
    bool partial = false;
    while (done < stream.size()) {
      // all-or-nothing blocks leave room for the longest value the reader may hold
      const size_t limit = partial ? 2 * CAPACITY : CAPACITY - MAX_VALUE - 1;
      const int32_t length =
          static_cast<int32_t>(std::min<size_t>(1 + blocks() % limit, stream.size() - done));
      const int32_t n = partial ? RingBuffer_writeSome(ring, stream.data() + done, length)
                                : RingBuffer_write(ring, stream.data() + done, length);
      if (n <= 0) {
        ADD_FAILURE() << "write refused on an open ring";
        break;
      }
      done += static_cast<size_t>(n);
      partial = !partial;
    }
    RingBuffer_close(ring);
  });
  std::mt19937 values(5);
  std::string expected;
  char out[MAX_VALUE + 2];
  int64_t count = 0, wrong = 0, bytes = 0;
  for (;;) {
    const int32_t n = RingBuffer_readUntil(ring, out, sizeof out, 0);
    if (n < 0) break;
    valueAt(values, expected);
    wrong += std::string(out, static_cast<size_t>(n)) != expected + '\0';
    bytes += n;
    ++count;
  }
  producer.join();
  EXPECT_GE(bytes, TOTAL);
  EXPECT_GT(count, 0);
  EXPECT_EQ(0, wrong);
}

void limitAddressSpace(rlim_t bytes) {
  rlimit limit{};
  limit.rlim_cur = bytes;
  limit.rlim_max = bytes;
  setrlimit(RLIMIT_AS, &limit);
}

TEST(RingBufferDeathTest, CreationThatCannotAllocateEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dup2(2, 1);
        RingBuffer_create(4, 0);
      },
      testing::ExitedWithCode(1),
      "\\[RingBuffer\\] Cannot create ring 4 of 0 bytes: the capacity must be at least 1");
  if (SANITIZED) GTEST_SKIP() << "address-space limits do not mix with sanitizer shadow memory";
  EXPECT_EXIT(
      {
        dup2(2, 1);
        limitAddressSpace(256L << 20);
        RingBuffer_create(5, INT32_MAX);
      },
      testing::ExitedWithCode(1), "\\[RingBuffer\\] Cannot create ring 5 of 2147483647 bytes: out of memory");
}

}  // namespace
