// The first run of an offline installer whose runtime is the installed OpenJDK 17 (about
// 270 MB, a signed nested archive at xz preset 6), from its start to its exit right
// after the Java spawn, as a throwaway user on an empty home; next to it `xz -dc` and
// `xz -dc | tar x` of the same runtime as a .tar.xz of the same preset. Then the run
// road on the same installer (everything installed) next to `cat` of it, the cost of
// starting a program as that user, and the first run's peak resident memory. The
// installer and the .tar.xz are built once and kept in build/bench-cache (compressing
// 270 MB takes minutes).
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/installed_home.h"

namespace fs = std::filesystem;

namespace {

const char APP[] = "BenchFirstApp";
const std::string CACHE = std::string(HV_BIN_DIR) + "/../bench-cache";
const std::string STAGING = CACHE + "/jdk17-runtime";
const std::string TAIL_FILE = CACHE + "/jdk17-wrapper-tail";
const std::string TAR_XZ = CACHE + "/jdk17-runtime.tar.xz";

// The JDK with its links resolved (dangling ones left out) and an empty lib/rt.jar, by
// which an installed runtime folder is known as usable.
bool stageRuntime() {
  if (fs::exists(STAGING + "/lib/rt.jar")) return true;
  const std::string jdk = systemJavaHome();
  if (jdk.empty()) return false;
  const std::string partial = STAGING + ".partial";
  fs::remove_all(partial);
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(jdk, fs::directory_options::follow_directory_symlink, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    // Lexically: fs::relative would resolve a link and lead the copy out of the staging.
    const fs::path relative = it->path().lexically_relative(jdk);
    if (relative.empty() || *relative.begin() == "..") continue;
    const fs::path target = fs::path(partial) / relative;
    if (fs::is_directory(it->path())) {
      fs::create_directories(target);
    } else if (fs::is_regular_file(it->path())) {
      fs::create_directories(target.parent_path());
      fs::copy_file(it->path(), target, fs::copy_options::overwrite_existing);
    }
  }
  std::string emptyJar("PK\x05\x06", 4);
  emptyJar.append(18, '\0');
  writeFileBytes(partial + "/lib/rt.jar", emptyJar);
  fs::rename(partial, STAGING);
  return true;
}

bool buildCache() {
  fs::create_directories(CACHE);
  if (!stageRuntime()) return false;
  if (!fs::exists(TAR_XZ)) {
    const std::string command = "tar -C '" + STAGING + "' -cf - . | xz -6 -T1 > '" + TAR_XZ + ".partial' && mv '" +
                                TAR_XZ + ".partial' '" + TAR_XZ + "'";
    if (system(command.c_str()) != 0) return false;
  }
  if (fs::exists(TAIL_FILE)) return true;
  UpdaterProgram program;
  if (!updaterProgram(&program)) return false;
  hvpack::ParamsBlock params;
  params.pairs = {{"jre_name", INSTALLED_JRE_NAME}};
  hvpack::TailBlock tail;
  tail.header = installedTailHeader(APP, "1");
  tail.header.updateUrl = hvpack::PLACEHOLDER_UPDATE_URL;
  tail.header.signaturePublicKey = Signer_publicKeyHex(2048);
  hvpack::ArchiveBuilder qv;
  qv.file(hvpack::LAUNCH_FILE_NAME, updaterLaunchFile().bytes())
      .file("lib/updater.jar", readFileBytes(program.jarPath));
  hvpack::ArchiveBuilder runtime;
  runtime.tree(STAGING);
  hvpack::ArchiveBuilder app;
  app.file("app.jar", "application\n");
  tail.entries = hvpack::ArchiveBuilder()
                     .file("lzma64", "lzma")
                     .file("nativesplash.png", "not shown")
                     .nested("qv.p2.l2", qv.signedBytes(2048))
                     .folder("qv-extra")
                     .folder("qv-extra2")
                     .nested("jre.p2.l2", runtime.signedBytes(2048))
                     .nested("app.p2.l2", app.signedBytes(2048))
                     .file("notes.txt", "notes\n")
                     .bytes();
  writeFileBytes(TAIL_FILE + ".partial", hvpack::wrapperTail(params, tail));
  fs::rename(TAIL_FILE + ".partial", TAIL_FILE);
  return true;
}

// A home with the packed installer; the master folder emptied for each first run.
struct BenchHome {
  std::unique_ptr<InstalledHome> home;
  uintmax_t installerBytes = 0;
  uintmax_t runtimeXzBytes = 0;
  bool ok = false;
};

BenchHome& benchHome() {
  static BenchHome b;
  if (b.home) return b;
  b.home = std::make_unique<InstalledHome>(APP);
  if (!b.home->ready() || !buildCache()) return b;
  hvpack::packLauncher(HV_BIN_DIR "/halvorin-launcher", b.home->launcher(), readFileBytes(TAIL_FILE));
  b.installerBytes = fs::file_size(b.home->launcher());
  b.runtimeXzBytes = fs::file_size(TAR_XZ);
  b.ok = true;
  return b;
}

void emptyMaster(InstalledHome& home) {
  for (const std::string& name : folderNames(home.master())) fs::remove_all(home.inMaster(name));
}

bool launched(const LauncherRun& run) {
  return run.child.exitStatus == 0 && run.reported;
}

void BM_FirstRunUntilExit(benchmark::State& state) {
  BenchHome& b = benchHome();
  if (!b.ok) {
    state.SkipWithError("no JDK, or the installer could not be built");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    emptyMaster(*b.home);
    fs::remove(b.home->updaterResultPath());
    state.ResumeTiming();
    const LauncherRun run = b.home->run({}, true);
    if (!launched(run) || run.child.output.find("Extracting JRE archive") == std::string::npos) {
      state.SkipWithError(("the first run did not install and launch:\n" + run.child.output).c_str());
      break;
    }
    state.SetIterationTime(run.seconds);
  }
  state.counters["installer_MB"] = static_cast<double>(b.installerBytes) / (1 << 20);
}
BENCHMARK(BM_FirstRunUntilExit)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

double timeShell(const std::string& command) {
  const auto started = std::chrono::steady_clock::now();
  if (system(command.c_str()) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

void BM_XzDecompressOnly(benchmark::State& state) {
  BenchHome& b = benchHome();
  for (auto _ : state) {
    const double seconds = timeShell("xz -dc '" + TAR_XZ + "' > /dev/null");
    if (seconds < 0) {
      state.SkipWithError("xz failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.counters["tar_xz_MB"] = static_cast<double>(b.runtimeXzBytes) / (1 << 20);
}
BENCHMARK(BM_XzDecompressOnly)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_XzDecompressTarExtract(benchmark::State& state) {
  BenchHome& b = benchHome();
  ScratchDir out;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(out / "rt");
    fs::create_directories(out / "rt");
    state.ResumeTiming();
    const double seconds = timeShell("xz -dc '" + TAR_XZ + "' | tar -x -C '" + out / "rt" + "'");
    if (seconds < 0) {
      state.SkipWithError("xz | tar failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.counters["tar_xz_MB"] = static_cast<double>(b.runtimeXzBytes) / (1 << 20);
}
BENCHMARK(BM_XzDecompressTarExtract)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// The largest "VmHWM" (peak resident size) of the running processes whose program is
// exe, read from /proc every few milliseconds until stop(). A process's VmHWM only grows,
// so its last reading is its peak up to then. Unlike GNU time's figure it leaves out the
// children a process waits for (the class-data dump's JVM is a process of its own).
class PeakWatcher {
 public:
  explicit PeakWatcher(std::string exe) : exe_(std::move(exe)), thread_([this] { watch(); }) {}
  ~PeakWatcher() { stop(); }
  long stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    return peakKb_;
  }

 private:
  void watch() {
    while (!done_) {
      std::error_code ec;  // processes come and go while the folder is read
      for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        char target[4096];
        const ssize_t n = readlink((entry.path() / "exe").c_str(), target, sizeof target - 1);
        if (n <= 0 || std::string(target, static_cast<size_t>(n)) != exe_) continue;
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);)
          if (line.rfind("VmHWM:", 0) == 0) peakKb_ = std::max(peakKb_, std::atol(line.c_str() + 6));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  const std::string exe_;
  std::atomic<bool> done_{false};
  long peakKb_ = 0;  // written by the thread only until it is joined
  std::thread thread_;
};

// The first run's own peak memory, in a run of its own so that watching costs the timed
// runs nothing.
void BM_FirstRunPeakMemory(benchmark::State& state) {
  BenchHome& b = benchHome();
  if (!b.ok) {
    state.SkipWithError("no JDK, or the installer could not be built");
    return;
  }
  long peakKb = 0;
  for (auto _ : state) {
    state.PauseTiming();
    emptyMaster(*b.home);
    fs::remove(b.home->updaterResultPath());
    state.ResumeTiming();
    PeakWatcher watcher(fs::canonical(b.home->launcher()).string());
    const LauncherRun run = b.home->run({}, true);
    peakKb = std::max(peakKb, watcher.stop());
    if (!launched(run) || run.child.output.find("Extracting JRE archive") == std::string::npos) {
      state.SkipWithError(("the first run did not install and launch:\n" + run.child.output).c_str());
      break;
    }
    state.SetIterationTime(run.seconds);
  }
  state.counters["launcher_peak_rss_MB"] = static_cast<double>(peakKb) / 1024.0;
  state.counters["installer_MB"] = static_cast<double>(b.installerBytes) / (1 << 20);
}
BENCHMARK(BM_FirstRunPeakMemory)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same installer once everything is installed: no entry is read.
void BM_RunRoadUntilExit(benchmark::State& state) {
  BenchHome& b = benchHome();
  if (!b.ok) {
    state.SkipWithError("no installer");
    return;
  }
  if (!fs::exists(b.home->inMaster(INSTALLED_JRE_FOLDER))) {
    emptyMaster(*b.home);
    b.home->run({}, true);
  }
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove(b.home->updaterResultPath());
    state.ResumeTiming();
    const LauncherRun run = b.home->run({}, true);
    if (!launched(run) || run.child.output.find("Running without extraction now") == std::string::npos) {
      state.SkipWithError(("the run road did not launch:\n" + run.child.output).c_str());
      break;
    }
    state.SetIterationTime(run.seconds);
  }
  state.counters["installer_MB"] = static_cast<double>(b.installerBytes) / (1 << 20);
}
BENCHMARK(BM_RunRoadUntilExit)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_CatInstaller(benchmark::State& state) {
  BenchHome& b = benchHome();
  for (auto _ : state) {
    const double seconds = timeShell("cat '" + b.home->launcher() + "' > /dev/null");
    if (seconds < 0) {
      state.SkipWithError("cat failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.counters["installer_MB"] = static_cast<double>(b.installerBytes) / (1 << 20);
}
BENCHMARK(BM_CatInstaller)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

// What each launcher run pays for its start as the throwaway user.
void BM_TrueAsUser(benchmark::State& state) {
  BenchHome& b = benchHome();
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
BENCHMARK(BM_TrueAsUser)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
