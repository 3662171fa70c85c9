// Throughput of the archive digest: the Keccak-256 sponge alone, libtomcrypt's SHA-256
// alone and the full mixed digest (both side by side), over 50 KiB and 1 MiB inputs.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "src/hashes/mixedhash/mixed.h"
#include "src/hashes/sha3/keccak.h"

namespace {

std::vector<unsigned char> input(size_t len) {
  std::vector<unsigned char> data(len);
  for (size_t i = 0; i < len; ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  return data;
}

void reportRate(benchmark::State& state, size_t len) {
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(len);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
}

void BM_Keccak256(benchmark::State& state) {
  const size_t len = static_cast<size_t>(state.range(0));
  const std::vector<unsigned char> data = input(len);
  unsigned char out[KECCAK256_DIGEST_SIZE];
  for (auto _ : state) {
    keccak_state s;
    keccak_init(&s);
    keccak_update(&s, data.data(), len * 8);
    keccak_final(&s, out, sizeof out);
    benchmark::DoNotOptimize(out);
  }
  reportRate(state, len);
}

// libtomcrypt's SHA-256 alone: the other half of the mixed digest, for comparison.
void BM_Sha256(benchmark::State& state) {
  const size_t len = static_cast<size_t>(state.range(0));
  const std::vector<unsigned char> data = input(len);
  unsigned char out[32];
  for (auto _ : state) {
    hash_state md;
    sha256_init(&md);
    sha256_process(&md, data.data(), len);
    sha256_done(&md, out);
    benchmark::DoNotOptimize(out);
  }
  reportRate(state, len);
}

void BM_Mixed(benchmark::State& state) {
  const size_t len = static_cast<size_t>(state.range(0));
  const std::vector<unsigned char> data = input(len);
  for (auto _ : state) {
    hash_state md;
    mixedHashInit(&md);
    mixedHashProcess(&md, data.data(), static_cast<int>(len));
    unsigned char* out = mixedHashDone(&md);
    benchmark::DoNotOptimize(out);
    free(out);
  }
  reportRate(state, len);
}

}  // namespace

// 51200 is the streaming chunk size; 1 MiB a whole extraction buffer.
BENCHMARK(BM_Keccak256)->Arg(51200)->Arg(1 << 20);
BENCHMARK(BM_Sha256)->Arg(1 << 20);
BENCHMARK(BM_Mixed)->Arg(51200)->Arg(1 << 20);

// The context names the SHA-256 path the mixed digest took, for the bench's summary line.
int main(int argc, char** argv) {
  benchmark::AddCustomContext("mixed_sha256", mixedHashSha256Path());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
