// Wall time of the run road on an installed home: the packed launcher started as a
// throwaway user until it exits, which it does right after spawning the program, for a
// tail of 1 MB and of 300 MB (one big application entry that the run road never reads);
// next to it `cat` of the same launcher file to /dev/null. The file is in the page cache
// in both, and a baseline gives the cost of starting a program as that user. The
// runtime's java is a script that exits at once, so no JVM loads the machine.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "tests/support/installed_home.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

const char APP[] = "BenchApp";

struct BenchHome {
  std::unique_ptr<InstalledHome> home;
  uintmax_t launcherBytes = 0;
};

// One home per tail size, built on first use and kept for the process.
BenchHome& benchHome(int64_t entryMegabytes) {
  static std::map<int64_t, BenchHome> homes;
  BenchHome& b = homes[entryMegabytes];
  if (b.home) return b;
  b.home = std::make_unique<InstalledHome>(APP);
  InstalledHome& home = *b.home;
  home.addStandardInstall();
  home.addApplication(APP, "3");
  const std::string java = home.inMaster(INSTALLED_JRE_FOLDER) + "/bin/java";
  writeFileBytes(java, "#!/bin/sh\nexit 0\n");
  chmod(java.c_str(), 0755);

  hvpack::ParamsBlock params;
  params.pairs = {{"jre_name", INSTALLED_JRE_NAME}};
  hvpack::TailBlock tail;
  tail.header = installedTailHeader(APP, "3");
  std::string data(static_cast<size_t>(entryMegabytes) << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  tail.entries = hvpack::ArchiveBuilder().file("lzma64", "x").file("app.bin", data).bytes();
  data.clear();
  home.packFrom(HV_BIN_DIR "/halvorin-launcher", params, tail);
  b.launcherBytes = fs::file_size(home.launcher());
  return b;
}

void BM_RunRoadUntilExit(benchmark::State& state) {
  BenchHome& b = benchHome(state.range(0));
  InstalledHome& home = *b.home;
  if (!home.ready()) {
    state.SkipWithError("no JDK for the fixture runtime");
    return;
  }
  for (auto _ : state) {
    const LauncherRun run = home.run({}, false);
    if (run.child.exitStatus != 0 ||
        run.child.output.find("[Spawner] Success - pid:") == std::string::npos) {
      state.SkipWithError("the run road did not spawn");
      break;
    }
    state.SetIterationTime(run.seconds);
    state.PauseTiming();
    // Each launch leaves a properties file and a log file; keep the folders as they were.
    for (const std::string& name : folderNames(home.inMaster(INSTALLED_QV_FOLDER))) {
      if (name.rfind("HVLaunchProperties-", 0) == 0) {
        fs::remove(home.inMaster(INSTALLED_QV_FOLDER) + "/" + name);
      }
    }
    for (const std::string& name : folderNames(home.inMaster("logs"))) {
      fs::remove(home.inMaster("logs") + "/" + name);
    }
    state.ResumeTiming();
  }
  state.counters["file_MB"] = static_cast<double>(b.launcherBytes) / (1 << 20);
}
BENCHMARK(BM_RunRoadUntilExit)->Arg(1)->Arg(300)->UseManualTime()->Unit(benchmark::kMillisecond);

// What each launcher run above pays for its start as the throwaway user (fork, private
// mount namespace, exec), measured on /bin/true.
void BM_TrueAsUser(benchmark::State& state) {
  BenchHome& b = benchHome(1);
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    const ChildRun run = runProgramAsUser(b.home->passwdPath(), b.home->user(), "/bin/true",
                                          {"true"}, b.home->home());
    if (run.exitStatus != 0) {
      state.SkipWithError("cannot run as the test user");
      break;
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
}
BENCHMARK(BM_TrueAsUser)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_CatToDevNull(benchmark::State& state) {
  BenchHome& b = benchHome(state.range(0));
  const std::string path = b.home->launcher();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  char* argv[] = {const_cast<char*>("cat"), const_cast<char*>(path.c_str()), nullptr};
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int status = 0;
    if (posix_spawn(&pid, "/bin/cat", &actions, nullptr, argv, environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("cat failed");
      break;
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
  posix_spawn_file_actions_destroy(&actions);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.launcherBytes));
  state.counters["file_MB"] = static_cast<double>(b.launcherBytes) / (1 << 20);
}
BENCHMARK(BM_CatToDevNull)->Arg(1)->Arg(300)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
