// Throughput of the marker scan over a large launcher-like file (random bytes, so the
// marker's first byte recurs every 256 bytes or so, then the marker at the very end).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "core/fileops.h"

namespace {

const char MARKER[] = "\x59\xBD\xC9\x52\xAA\x35\xAD\xBB\x10\xEF\xDE\x67\x2C\x47\xE0\xB5";

std::string makeFile(size_t size) {
  const std::string path = "/dev/shm/hv-find-marker-bench-" + std::to_string(getpid());
  FILE* f = fopen(path.c_str(), "wb");
  std::mt19937_64 random(42);
  std::string block(1 << 20, 0);
  for (size_t done = 0; done < size; done += block.size()) {
    for (size_t i = 0; i < block.size(); i += 8) {
      const uint64_t v = random();
      block.replace(i, 8, reinterpret_cast<const char*>(&v), 8);
    }
    fwrite(block.data(), 1, block.size(), f);
  }
  fwrite(MARKER, 1, sizeof MARKER - 1, f);
  fclose(f);
  return path;
}

void BM_FindMarker(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0)) << 20;
  const std::string path = makeFile(size);
  for (auto _ : state) {
    FILE* f = fopen(path.c_str(), "rb");
    // The scan logs nothing when it finds the marker.
    const int64_t n = findMarker(f, MARKER, sizeof MARKER - 1, "Params");
    if (n != static_cast<int64_t>(size + sizeof MARKER - 1)) state.SkipWithError("marker not found");
    fclose(f);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  unlink(path.c_str());
}
BENCHMARK(BM_FindMarker)->Arg(64)->Arg(512)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
