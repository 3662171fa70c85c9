// A signed runtime archive (the OpenJDK 17 tree, its lib folder as a signed nested
// archive, the whole xz -6) served from 127.0.0.1 by python3's http.server and taken
// through Streamer_downloadAndUnarchive, next to `curl -s URL | xz -dc | tar x` of a
// tar.xz (xz -6) of the same tree from the same server. Peak memory is each process's
// own peak resident size (GNU time), summed over the shell pipeline's three processes.
// HV_BENCH_SITE names a folder to keep the built archives in and reuse them from.
// Not run by the test suite.
//
//   download_pipeline_bench [--benchmark_...]       the comparison
//   download_pipeline_bench --run URL FOLDER         one pipeline run (used by the above)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pipeline/signature.h"
#include "pipeline/streamer.h"
#include "tests/support/packer.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signer.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

const char RUNTIME[] = "/usr/lib/jvm/java-17-openjdk-amd64";
const char SELF[] = "/proc/self/exe";

const char TIME[] = "/usr/bin/time";

struct Spawned {
  int status = -1;
};

Spawned runAndWait(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  Spawned result;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return result;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

void shell(const std::string& command) {
  if (system(command.c_str()) != 0) {
    fprintf(stderr, "failed: %s\n", command.c_str());
    exit(1);
  }
}

// The served folder with both archives, python3's http.server on it, and a scratch
// folder for the runs.
struct Site {
  std::unique_ptr<ScratchDir> dir;
  std::string served;
  pid_t server = -1;
  std::string base;  // "http://127.0.0.1:PORT/"
  size_t archiveBytes = 0, tarBytes = 0;
};

void buildArchives(const ScratchDir& dir, const std::string& served) {
  const std::string tree = dir / "runtime";
  // A copy without its dangling links, read the same way by both packers.
  shell("cp -a '" + std::string(RUNTIME) + "' '" + tree + "' && find '" + tree +
        "' -xtype l -delete");
  hvpack::ArchiveBuilder outer;
  for (const auto& entry : fs::directory_iterator(tree)) {
    const std::string name = entry.path().filename().string();
    if (name == "lib") continue;
    if (fs::is_directory(entry.path())) {
      outer.folder(name).tree(entry.path().string(), name);
    } else {
      outer.file(name, hvpack::readInputFile(entry.path().string()));
    }
  }
  hvpack::ArchiveBuilder lib;
  lib.folder("lib").tree(tree + "/lib", "lib");
  outer.nested("lib.p2.l2", lib.signedBytes(2048));
  writeFileBytes(served + "/runtime.p2.l2", hvpack::xzCompress(outer.signedBytes(2048)));
  shell("tar -C '" + tree + "' -hcf - . | xz -6 -T1 > '" + served + "/runtime.tar.xz'");
  fs::remove_all(tree);
}

void startServer(Site& site) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) exit(1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  const std::string dirArg = site.served;
  std::vector<std::string> args = {"/usr/bin/env", "python3", "-u", "-m", "http.server", "--bind",
                                   "127.0.0.1", "--directory", dirArg, "0"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&site.server, argv[0], &actions, nullptr, argv.data(), environ) != 0) exit(1);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  // "Serving HTTP on 127.0.0.1 port N (http://127.0.0.1:N/) ..."
  std::string line;
  char c;
  while (line.find('\n') == std::string::npos && read(pipeFds[0], &c, 1) == 1) line += c;
  close(pipeFds[0]);
  const size_t at = line.find("port ");
  if (at == std::string::npos) {
    fprintf(stderr, "http.server did not start: %s\n", line.c_str());
    exit(1);
  }
  site.base = "http://127.0.0.1:" + std::to_string(atoi(line.c_str() + at + 5)) + "/";
}

Site& site() {
  static Site s;
  if (s.dir) return s;
  s.dir = std::make_unique<ScratchDir>();
  const char* keep = getenv("HV_BENCH_SITE");
  s.served = keep != nullptr && *keep != '\0' ? keep : s.dir->path();
  fs::create_directories(s.served);
  if (!pathExists(s.served + "/runtime.tar.xz")) buildArchives(*s.dir, s.served);
  s.archiveBytes = fs::file_size(s.served + "/runtime.p2.l2");
  s.tarBytes = fs::file_size(s.served + "/runtime.tar.xz");
  startServer(s);
  atexit([] {
    if (s.server > 0) {
      kill(s.server, SIGTERM);
      waitpid(s.server, nullptr, 0);
    }
    s.dir.reset();
  });
  return s;
}

void freshFolder(const std::string& folder) {
  fs::remove_all(folder);
  fs::create_directories(folder);
}

void report(benchmark::State& state, size_t compressedBytes, long maxRssKb) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * compressedBytes));
  state.counters["peak_rss_MB"] = static_cast<double>(maxRssKb) / 1024.0;
  state.counters["compressed_MB"] = static_cast<double>(compressedBytes) / 1048576.0;
}

// "/usr/bin/time -f %M -o FILE": the peak resident memory of one process (a spawned
// process would otherwise inherit the peak of the one that spawned it).
std::string timed(const std::string& file) { return std::string(TIME) + " -f %M -o '" + file + "' "; }

long peakKb(const std::string& file) { return atol(readFileBytes(file).c_str()); }

// Times the shell command (made for a fresh output folder and the files that take each
// process's peak memory) per iteration; reports the largest sum of those peaks.
void measure(benchmark::State& state, const char* outName, size_t compressedBytes, int processes,
             const std::function<std::string(const std::string&, const std::vector<std::string>&)>& command) {
  const ScratchDir& dir = *site().dir;
  const std::string folder = dir / outName;
  std::vector<std::string> peakFiles;
  for (int i = 0; i < processes; ++i) peakFiles.push_back(dir / (std::string(outName) + ".peak" + std::to_string(i)));
  long maxRss = 0;
  for (auto _ : state) {
    state.PauseTiming();
    freshFolder(folder);
    state.ResumeTiming();
    const Spawned run = runAndWait({"/bin/sh", "-c", command(folder, peakFiles)});
    if (run.status != 0) state.SkipWithError("the run failed");
    long sum = 0;
    for (const std::string& file : peakFiles) sum += peakKb(file);
    maxRss = std::max(maxRss, sum);
  }
  report(state, compressedBytes, maxRss);
}

void BM_DownloadAndUnarchive(benchmark::State& state) {
  const Site& s = site();
  const std::string self = fs::read_symlink(SELF).string();
  measure(state, "out-pipeline", s.archiveBytes, 1,
          [&](const std::string& folder, const std::vector<std::string>& peaks) {
            return timed(peaks[0]) + "'" + self + "' --run '" + s.base + "runtime.p2.l2' '" + folder + "'";
          });
}

void BM_CurlXzTar(benchmark::State& state) {
  const Site& s = site();
  measure(state, "out-tar", s.tarBytes, 3,
          [&](const std::string& folder, const std::vector<std::string>& peaks) {
            return timed(peaks[0]) + "curl -s '" + s.base + "runtime.tar.xz' | " + timed(peaks[1]) +
                   "xz -dc | " + timed(peaks[2]) + "tar x -C '" + folder + "'";
          });
}

BENCHMARK(BM_DownloadAndUnarchive)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_CurlXzTar)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// One pipeline run with the test key required, quiet; exit status 0 when it returned 1.
int runPipeline(const char* url, const char* folder) {
  const SignerBytes der = Signer_publicKeyDer(2048);
  archiveSignatureKey.store(importPublicKey(der.data(), static_cast<int>(der.size())));
  archiveKeyRequired.store(true);
  return Streamer_downloadAndUnarchive(url, folder) == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--run") == 0) return runPipeline(argv[2], argv[3]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
