// A home folder laid out as earlier runs of the launcher would have left it, for runs of
// a packed launcher as a throwaway user (test_user.h): the master folder of one App Name
// with Quorvane folders (launch file and the updater program), fixture runtimes,
// application folders and HVApps files; beside the home the packed launcher and a records
// folder where the fixture java and the updater report. Built as root; each run hands
// the home to the user first. Files are removed with the scratch folder.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/java_fixture.h"
#include "tests/support/output_capture.h"
#include "tests/support/packer.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_user.h"

inline constexpr char INSTALLED_JRE_NAME[] = "jre17";
inline constexpr char INSTALLED_JRE_FOLDER[] = "Halvorin-jre17-17-complete";
inline constexpr char INSTALLED_QV_FOLDER[] = "Halvorin-Halvorin-12-complete";
// The java copy's name, from the launch file.
inline constexpr char INSTALLED_PROGRAM_NAME[] = "RunRoadUpdater";

using PropertyPairs = std::vector<std::pair<std::string, std::string>>;

// A whole first run, runtime dump and all, takes a few seconds: a launcher that still runs
// after this long has hung.
inline constexpr unsigned LAUNCHER_RUN_DEADLINE_SECONDS = 30;

// A version-6 launch file that starts the updater from lib/updater.jar: -Xmx512m, two
// extra arguments, app JVM options "-XX:-UsePerfData" (no JVM files left in /tmp) and
// "-Dhv.app=1".
hvpack::LaunchFile updaterLaunchFile();

// A tail header of what addStandardInstall installs: Quorvane 12, runtime version 17,
// "perm_user", a static update URL without its final '/', the given application version
// (none when empty).
hvpack::TailHeader installedTailHeader(const std::string& appName,
                                       const std::string& appVersion = "");

// The launch properties that steps 2 and 4 store: every Params pair as "hvdyna_", then
// the eleven static values as read ("show_no_ui" when silent).
PropertyPairs startupProperties(const hvpack::ParamsBlock& params,
                                const hvpack::TailHeader& header, bool silent = false);

struct LauncherRun {
  ChildRun child;            // exit status and console output
  std::string logFile;       // the run's log file ("" when it left none)
  int logFileCount = 0;      // log files in the master folder's "logs"
  bool reported = false;     // the updater wrote its result (when it was waited for)
  UpdaterResult result;
  std::vector<std::vector<std::string>> calls;  // the fixture java's calls
  double seconds = 0;        // wall time of the launcher's own run
};

class InstalledHome {
 public:
  explicit InstalledHome(const std::string& appName);

  bool ready() const { return ready_; }  // a JDK and the updater program are there
  const TestUser& user() const { return user_; }
  const std::string& passwdPath() const { return passwd_; }
  const std::string& home() const { return home_; }
  const std::string& shared() const { return shared_; }  // home + "/.Halvorin"
  const std::string& master() const { return master_; }
  const std::string& launcher() const { return launcher_; }
  std::string inMaster(const std::string& name) const { return master_ + "/" + name; }

  // Halvorin-Halvorin-<version>-complete with the launch file and lib/updater.jar.
  std::string addQuorvane(const std::string& version,
                          const hvpack::LaunchFile& file = updaterLaunchFile());
  // Halvorin-<name>-<version>-complete from the fixture builder; withJava false removes
  // bin/java afterwards.
  std::string addRuntime(const std::string& name, const std::string& version,
                         RtJarPlace rtJar = RtJarPlace::Lib, bool withJava = true);
  // Halvorin-<name>-<version>-complete holding one file.
  std::string addApplication(const std::string& name, const std::string& version);
  // The usual install: Quorvane 12, runtime jre17 17.
  void addStandardInstall();
  // A file of the master folder's HVApps.
  void writeAppsFile(const std::string& name, const std::string& bytes);
  // A folder (made when missing) that stays root's, mode 0755, through the hand-over.
  void keepRootOwned(const std::string& path);
  // Another local user plants something at path: its folder is made writable by everyone
  // (as a perm_all install leaves its folders), then make(path) runs as a second user
  // without a home, and what it made stays that user's through the hand-over. false when
  // make failed.
  bool plantAsOtherUser(const std::string& path, const std::function<bool(const std::string&)>& make);

  // Packs a copy of launcherImage, the Params block first; the entries go after the
  // header as given.
  void packFrom(const std::string& launcherImage, const hvpack::ParamsBlock& params,
                const hvpack::TailBlock& tail);
#ifdef HV_LAUNCHER_PATH
  void pack(const hvpack::ParamsBlock& params, const hvpack::TailBlock& tail) {
    packFrom(HV_LAUNCHER_PATH, params, tail);
  }
#endif

  // Runs the packed launcher (argv[0] its absolute path) as the user in the home folder,
  // the recording switches and extraEnv in its environment. waitForLaunch: when the
  // launcher started its child, wait up to 30 s for the updater's report. A deadline that
  // is not 0 ends the launcher (SIGALRM, child.signal tells) when it runs longer, so a
  // hang fails at once.
  LauncherRun run(const std::vector<std::string>& args, bool waitForLaunch,
                  const EnvironmentList& extraEnv = {},
                  unsigned deadlineSeconds = LAUNCHER_RUN_DEADLINE_SECONDS);

  // Starts count runs of the packed launcher at the same moment (args as for run, no
  // wait for a launch) and waits for all of them, each bounded by 120 s.
  std::vector<ChildRun> runTogether(const std::vector<std::string>& args, int count,
                                    const EnvironmentList& extraEnv = {});

  std::string javaCallsPath() const { return records_ + "/java-calls"; }
  std::string updaterResultPath() const { return records_ + "/updater-result"; }

 private:
  void handOver() const;
  EnvironmentList runEnvironment(const EnvironmentList& extraEnv) const;

  ScratchDir root_;
  TestUser user_;
  std::string passwd_, home_, shared_, master_, launcher_, records_;
  std::vector<std::string> rootOwned_;
  std::vector<std::string> planted_;
  UpdaterProgram program_;
  bool ready_ = false;
};

// Entries of a folder, sorted; empty when it cannot be listed.
std::vector<std::string> folderNames(const std::string& folder);
