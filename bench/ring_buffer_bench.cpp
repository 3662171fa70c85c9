// Throughput of the ring between two threads, and of the FileReader stage over a large file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/ring_buffer.h"
#include "pipeline/file_reader.h"

namespace {

constexpr int64_t MOVED_PER_ITERATION = 64LL << 20;
constexpr int64_t LARGE_FILE_SIZE = 256LL << 20;
std::string largeFile;

// Producer blocks of range(0) bytes (all-or-nothing, or partial when range(1) is 1) into a
// 204800-byte ring; the consumer takes 51200 at a time.
void BM_RingThroughput(benchmark::State& state) {
  const int32_t block = static_cast<int32_t>(state.range(0));
  const bool partial = state.range(1) != 0;
  std::vector<uint8_t> source(static_cast<size_t>(block), 0x5a), sink(STREAM_CHUNK_SIZE);
  for (auto _ : state) {
    RingBuffer* ring = RingBuffer_create(1, FILE_RING_SIZE);
    std::thread producer([&] {
      for (int64_t moved = 0; moved < MOVED_PER_ITERATION;) {
        int32_t done = 0;
        while (done < block) {
          done += partial ? RingBuffer_writeSome(ring, source.data() + done, block - done)
                          : RingBuffer_write(ring, source.data(), block);
        }
        moved += block;
      }
      RingBuffer_close(ring);
    });
    int64_t taken = 0;
    int32_t n;
    while ((n = RingBuffer_read(ring, sink.data(), STREAM_CHUNK_SIZE)) > 0) taken += n;
    producer.join();
    benchmark::DoNotOptimize(taken);
  }
  state.SetBytesProcessed(state.iterations() * MOVED_PER_ITERATION);
}
BENCHMARK(BM_RingThroughput)
    ->ArgNames({"block", "partial"})
    ->Args({1024, 0})
    ->Args({16384, 0})
    ->Args({51200, 0})
    ->Args({51200, 1})
    ->UseRealTime();

// Delimited values of range(0) bytes taken one by one with RingBuffer_readUntil (the value
// that spans two chunks is longer, so the destination holds two).
void BM_RingReadUntil(benchmark::State& state) {
  const int32_t valueLength = static_cast<int32_t>(state.range(0));
  std::vector<uint8_t> chunk(STREAM_CHUNK_SIZE, 'v');
  for (int32_t i = valueLength; i < STREAM_CHUNK_SIZE; i += valueLength + 1) chunk[i] = 0;
  std::vector<char> value(2 * (static_cast<size_t>(valueLength) + 1));
  for (auto _ : state) {
    RingBuffer* ring = RingBuffer_create(1, FILE_RING_SIZE);
    std::thread producer([&] {
      for (int64_t moved = 0; moved < MOVED_PER_ITERATION; moved += STREAM_CHUNK_SIZE) {
        for (int32_t done = 0; done < STREAM_CHUNK_SIZE;) {
          done += RingBuffer_writeSome(ring, chunk.data() + done, STREAM_CHUNK_SIZE - done);
        }
      }
      RingBuffer_close(ring);
    });
    int64_t taken = 0;
    int32_t n;
    while ((n = RingBuffer_readUntil(ring, value.data(), static_cast<int32_t>(value.size()), 0)) > 0) taken += n;
    producer.join();
    benchmark::DoNotOptimize(taken);
  }
  state.SetBytesProcessed(state.iterations() * MOVED_PER_ITERATION);
}
BENCHMARK(BM_RingReadUntil)->Arg(100)->Arg(1000)->UseRealTime();

// A 256 MiB file through the FileReader stage, drained in 51200-byte reads.
void BM_FileReader(benchmark::State& state) {
  std::vector<uint8_t> sink(STREAM_CHUNK_SIZE);
  for (auto _ : state) {
    FILE* file = fopen(largeFile.c_str(), "rbe");
    if (file == nullptr) {
      state.SkipWithError("cannot open the large file");
      return;
    }
    RingBuffer* ring = Streamer_startFileReader(file);
    int64_t taken = 0;
    int32_t n;
    while ((n = RingBuffer_read(ring, sink.data(), STREAM_CHUNK_SIZE)) > 0) taken += n;
    if (taken != LARGE_FILE_SIZE) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(state.iterations() * LARGE_FILE_SIZE);
}
BENCHMARK(BM_FileReader)->Unit(benchmark::kMillisecond)->UseRealTime();

bool makeLargeFile() {
  char path[] = "/tmp/hvringbenchXXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  largeFile = path;
  std::vector<uint8_t> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 131);
  for (int64_t written = 0; written < LARGE_FILE_SIZE; written += static_cast<int64_t>(block.size())) {
    if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
      close(fd);
      return false;
    }
  }
  return close(fd) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!makeLargeFile()) {
    fprintf(stderr, "cannot write the large file\n");
    if (!largeFile.empty()) unlink(largeFile.c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  unlink(largeFile.c_str());
  return 0;
}
