// The launch file and the LSO file of an installed folder, read by a real launch from a
// master folder in the scratch folder. The runtime's java is an empty file: the spawn
// at the end fails at once and nothing runs.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/launch_property_list.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "launcher/jvm_launch.h"

namespace {

using namespace std::string_literals;

const char APP_FOLDER[] = "Halvorin-FuzzApp-1-complete";
const char JRE_FOLDER[] = "Halvorin-jre17-17-complete";
const char JRE_NAME[] = "jre17";

// Version 6 with every value: class, on-update class, app name, icon, URL required, heap
// and stack, two class path entries, one extra argument, the compatibility, post-install
// and pre-uninstall classes, one app JVM option and must-fork.
const std::string LAUNCH_FILE =
    "6\0app.Main\0app.Update\0FuzzApp\0app.icns\0" "0\0" "64\0" "0\0" "2\0lib/a.jar\0lib/b.jar\0"
    "1\0--extra\0app.Compat\0app.Post\0app.Pre\0" "1\0-Dapp=1\0" "1\0"s;
const std::string LSO_FILE = "2\0-Xmx128m\0-Dlso=1\0"s;

void writeText(const std::string& path, const std::string& bytes) {
  writeScratchFile(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

int launch(const std::string& launchFile, const std::string& lsoFile) {
  const std::string master = emptyScratch() + "/Halvorin-Fuzz";
  const std::string app = master + "/" + APP_FOLDER;
  const std::string bin = master + "/" + JRE_FOLDER + "/bin";
  for (const std::string& folder : {app, bin, master + "/HVApps"}) {
    std::filesystem::create_directories(folder);
  }
  writeText(bin + "/java", "");
  chmod((bin + "/java").c_str(), 0755);
  writeText(app + "/HalvorinLaunch", launchFile);
  writeText(master + "/HVApps/JRE-LastSuccessfulOptions-" + JRE_FOLDER, lsoFile);

  LaunchPropertyList* list = propListCreate(4096);
  putDynamicProperty(list, "jre_name", JRE_NAME);
  putStaticProperty(list, "app_name", "Fuzz App");
  char argument[] = "--from-fuzz";
  const char* const arguments[] = {argument};
  runReader([&] {
    launchApp(master.c_str(), list, 1, arguments, APP_FOLDER, "D", "https://updates.test/",
              JRE_NAME, "/opt/fuzz/launcher");
  });
  free(list->buffer);
  free(list);
  return 0;
}

}  // namespace

int fuzzLaunchFile(const uint8_t* data, size_t size) {
  return launch(std::string(reinterpret_cast<const char*>(data), size), LSO_FILE);
}

int fuzzLsoFile(const uint8_t* data, size_t size) {
  return launch(LAUNCH_FILE, std::string(reinterpret_cast<const char*>(data), size));
}
