#include "tests/support/installed_home.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>

namespace fs = std::filesystem;

namespace {

constexpr uid_t RUN_USER_UID = 47201;
constexpr gid_t RUN_USER_GID = 100;
constexpr uid_t PLANTING_USER_UID = 47202;

const char* const STATIC_KEYS[] = {"update_url",          "install_type",
                                   "min_splash_ms",       "hvsig_public_key",
                                   "can_override_splash", "app_name",
                                   "wrapper_app_version", "wrapper_qv_version",
                                   "silent_parameter",    "java_version",
                                   "skip_system_jre"};

void chownTree(const std::string& top, uid_t uid, gid_t gid) {
  std::error_code ec;
  lchown(top.c_str(), uid, gid);
  for (auto it = fs::recursive_directory_iterator(top, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    lchown(it->path().c_str(), uid, gid);
  }
}

std::set<std::string> logNames(const std::string& master) {
  const std::vector<std::string> names = folderNames(master + "/logs");
  return std::set<std::string>(names.begin(), names.end());
}

}  // namespace

hvpack::LaunchFile updaterLaunchFile() {
  hvpack::LaunchFile file;
  file.version = 6;
  file.mainClass = UPDATER_MAIN_CLASS;
  file.classOnUpdate = "hvfixture.OnUpdate";
  file.appName = INSTALLED_PROGRAM_NAME;
  file.osIcns = "updater.icns";
  file.jvmMemMb = 512;
  file.jvmStackMb = 0;
  file.classPath = {"lib/updater.jar"};
  file.extraArgs = {"--from-launch-file", "two words"};
  file.compatibilityClass = UPDATER_COMPAT_CLASS;
  file.postInstallClass = "hvfixture.PostInstall";
  file.preUninstallClass = "hvfixture.PreUninstall";
  file.appJvmOptions = {"-XX:-UsePerfData", "-Dhv.app=1"};
  file.mustFork = false;
  return file;
}

hvpack::TailHeader installedTailHeader(const std::string& appName, const std::string& appVersion) {
  hvpack::TailHeader h;
  h.appName = appName;
  h.appVersion = appVersion;
  h.jreVersion = "17";
  h.qvVersion = "12";
  h.minSplashMs = "1500";
  h.canOverrideSplash = "0";
  h.installType = "perm_user";
  h.updateUrl = "https://updates.test/app";
  return h;
}

PropertyPairs startupProperties(const hvpack::ParamsBlock& params,
                                const hvpack::TailHeader& header, bool silent) {
  PropertyPairs properties;
  for (const auto& [name, value] : params.pairs) properties.push_back({"hvdyna_" + name, value});
  // The static values in the order they are stored; "JRE Version" is not one.
  const std::string byKey[] = {header.updateUrl,         header.installType,
                               header.minSplashMs,       header.signaturePublicKey,
                               header.canOverrideSplash, header.appName,
                               header.appVersion,        header.qvVersion,
                               header.silentParameter,   header.requiredJavaVersion,
                               header.skipSystemJre};
  for (size_t i = 0; i < std::size(STATIC_KEYS); ++i) {
    properties.push_back({std::string("hvstat_") + STATIC_KEYS[i], byKey[i]});
  }
  if (silent) properties.push_back({"hvstat_show_no_ui", "true"});
  return properties;
}

std::vector<std::string> folderNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

InstalledHome::InstalledHome(const std::string& appName) {
  home_ = root_ / "home";
  shared_ = home_ + "/.Halvorin";
  master_ = shared_ + "/Halvorin-" + appName;
  launcher_ = root_ / "launcher";
  records_ = root_ / "records";
  passwd_ = root_ / "passwd";
  user_ = {"hvrunroad", RUN_USER_UID, RUN_USER_GID, home_};
  writeFileBytes(passwd_, passwdText({user_}));
  fs::create_directories(master_);
  fs::create_directories(records_);
  chmod(root_.path().c_str(), 0755);
  // The same sources, and so the same cached build, as updaterProgram() of the tests.
  const std::string javaSources = fs::path(HV_TEST_DATA_DIR).parent_path().string() + "/java";
  ready_ = !systemJavaHome().empty() && compileUpdaterProgram(javaSources, &program_);
}

std::string InstalledHome::addQuorvane(const std::string& version, const hvpack::LaunchFile& file) {
  const std::string folder = inMaster("Halvorin-Halvorin-" + version + "-complete");
  fs::create_directories(folder + "/lib");
  writeFileBytes(folder + "/" + hvpack::LAUNCH_FILE_NAME, file.bytes());
  if (ready_) {
    fs::copy_file(program_.jarPath, folder + "/lib/updater.jar",
                  fs::copy_options::overwrite_existing);
  }
  return folder;
}

std::string InstalledHome::addRuntime(const std::string& name, const std::string& version,
                                      RtJarPlace rtJar, bool withJava) {
  const std::string folder = inMaster("Halvorin-" + name + "-" + version + "-complete");
  RuntimeFixtureOptions options;
  options.rtJar = rtJar;
  if (!buildRuntimeFixture(folder, options)) ready_ = false;
  if (!withJava) fs::remove(folder + "/bin/java");
  return folder;
}

std::string InstalledHome::addApplication(const std::string& name, const std::string& version) {
  const std::string folder = inMaster("Halvorin-" + name + "-" + version + "-complete");
  fs::create_directories(folder);
  writeFileBytes(folder + "/app.jar", "application " + version + "\n");
  return folder;
}

void InstalledHome::addStandardInstall() {
  addQuorvane("12");
  addRuntime(INSTALLED_JRE_NAME, "17");
}

void InstalledHome::writeAppsFile(const std::string& name, const std::string& bytes) {
  fs::create_directories(master_ + "/HVApps");
  writeFileBytes(master_ + "/HVApps/" + name, bytes);
}

void InstalledHome::keepRootOwned(const std::string& path) {
  fs::create_directories(path);
  rootOwned_.push_back(path);
}

bool InstalledHome::plantAsOtherUser(const std::string& path,
                                     const std::function<bool(const std::string&)>& make) {
  const std::string folder = fs::path(path).parent_path().string();
  fs::create_directories(folder);
  chmod(folder.c_str(), 0777);
  const ChildRun child =
      runAsUser(passwd_, PLANTING_USER_UID, RUN_USER_GID, [&] { return make(path) ? 0 : 1; });
  if (child.exitStatus != 0) return false;
  planted_.push_back(path);
  return true;
}

void InstalledHome::packFrom(const std::string& launcherImage, const hvpack::ParamsBlock& params,
                             const hvpack::TailBlock& tail) {
  hvpack::packLauncher(launcherImage, launcher_, hvpack::wrapperTail(params, tail));
}

void InstalledHome::handOver() const {
  chownTree(home_, user_.uid, user_.gid);
  chownTree(records_, user_.uid, user_.gid);
  for (const std::string& path : rootOwned_) {
    chownTree(path, 0, 0);
    chmod(path.c_str(), 0755);
  }
  for (const std::string& path : planted_) lchown(path.c_str(), PLANTING_USER_UID, RUN_USER_GID);
}

EnvironmentList InstalledHome::runEnvironment(const EnvironmentList& extraEnv) const {
  EnvironmentList env = {{FIXTURE_JAVA_CALLS_ENV, javaCallsPath()},
                         {UPDATER_RESULT_ENV, updaterResultPath()}};
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  return env;
}

std::vector<ChildRun> InstalledHome::runTogether(const std::vector<std::string>& args, int count,
                                                 const EnvironmentList& extraEnv) {
  handOver();
  std::vector<std::string> argv = {launcher_};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> vector;
  for (const std::string& a : argv) vector.push_back(const_cast<char*>(a.c_str()));
  vector.push_back(nullptr);
  const EnvironmentList env = runEnvironment(extraEnv);
  std::vector<std::string> outputs;
  for (int i = 0; i < count; ++i) outputs.push_back(records_ + "/together-" + std::to_string(i));
  std::vector<ChildRun> runs(static_cast<size_t>(count));
  // One child as the user forks the launchers, so they start within a few microseconds
  // of each other, and writes down each one's exit status.
  const ChildRun starter = runAsUser(passwd_, user_.uid, user_.gid, [&] {
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    if (chdir(home_.c_str()) != 0) return TEST_USER_SETUP_FAILED + 2;
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        const int fd = open(outputs[static_cast<size_t>(i)].c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) _exit(TEST_USER_SETUP_FAILED + 4);
        dup2(fd, 1);
        dup2(fd, 2);
        execv(launcher_.c_str(), vector.data());
        _exit(TEST_USER_SETUP_FAILED + 3);
      }
      pids.push_back(pid);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (int i = 0; i < count; ++i) {
      int status = 0;
      while (waitpid(pids[static_cast<size_t>(i)], &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          kill(pids[static_cast<size_t>(i)], SIGKILL);
          waitpid(pids[static_cast<size_t>(i)], &status, 0);
          break;
        }
        usleep(10000);
      }
      writeFileBytes(outputs[static_cast<size_t>(i)] + ".status",
                     std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1));
    }
    return 0;
  });
  for (int i = 0; i < count; ++i) {
    ChildRun& run = runs[static_cast<size_t>(i)];
    const std::string& output = outputs[static_cast<size_t>(i)];
    run.output = pathExists(output) ? readFileBytes(output) : starter.output;
    run.exitStatus = pathExists(output + ".status") ? std::stoi(readFileBytes(output + ".status")) : -1;
  }
  return runs;
}

LauncherRun InstalledHome::run(const std::vector<std::string>& args, bool waitForLaunch,
                               const EnvironmentList& extraEnv, unsigned deadlineSeconds) {
  handOver();
  const std::set<std::string> logsBefore = logNames(master_);
  std::vector<std::string> argv = {launcher_};
  argv.insert(argv.end(), args.begin(), args.end());
  const EnvironmentList env = runEnvironment(extraEnv);
  LauncherRun run;
  const auto started = std::chrono::steady_clock::now();
  ChildSandbox sandbox;
  sandbox.deadlineSeconds = deadlineSeconds;
  run.child = runProgramAsUser(passwd_, user_, launcher_, argv, home_, env, sandbox);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::set<std::string> logsAfter = logNames(master_);
  run.logFileCount = static_cast<int>(logsAfter.size());
  for (const std::string& name : logsAfter) {
    if (logsBefore.count(name) == 0) run.logFile = readFileBytes(master_ + "/logs/" + name);
  }
  // Only a child that was started can report.
  if (waitForLaunch && run.child.output.find("[Spawner] Success - pid:") != std::string::npos) {
    run.reported = waitForUpdaterResult(updaterResultPath(), 30000, &run.result);
  }
  run.calls = readFixtureCalls(javaCallsPath());
  return run;
}
