#include "launcher/elevation.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/shell.h"
#include "core/spawner.h"
#include "launcher/splash_override.h"
#include "launcher/tail_entries.h"
#include "splash/splash_window.h"

namespace {

const char PREPARE_ONLY_MARKER[] = "HVPREPARE_FOR_LAUNCH_ONLY";
const char SPLASH_PICTURE_NAME[] = "nativesplash.png";
// Entries 1 and 2 (lzma64 and the picture) belong to the updater.
const char UPDATER_COMPONENT[] = "updater";

// Bytes that /bin/sh treats specially when a tool hands it the command words again.
const char SHELL_SPECIAL[] = " \t!\"#$&'()*;<=>?[\\]^`{|}~";

// 44 stars and no line end: the next line follows on the same output line.
const char STAR_LINE[] = "********************************************";

struct ElevationTool {
  const char* name;     // "which <name>" prints its path and exits 0 when it is installed
  const char* found;    // logged when the tool is chosen
  const char* option;   // placed before the program, or null
  bool escaped;         // the tool splits its command words again
  int32_t refusals[2];  // statuses meaning that the user refused (0 fills)
};

// In the order of preference; every probe runs, once, before the choice.
const ElevationTool TOOLS[] = {
    {"gksudo", "[SUDO] Found GKSudo\n\n", "-k", true, {1, 0}},
    {"kdesudo", "[SUDO] Found KDESudo\n\n", nullptr, true, {1, 0}},
    {"beesu", "[SUDO] Found BeeSU\n\n", "-m", true, {1, 0}},
    {"pkexec", "[SUDO] Found PKExec\n\n", nullptr, false, {126, 127}},
};
constexpr int TOOL_COUNT = sizeof(TOOLS) / sizeof(TOOLS[0]);

bool relaunchMarkerTaken = false;

bool isRefusal(const ElevationTool& tool, int32_t status) {
  for (int32_t refusal : tool.refusals) {
    if (refusal != 0 && refusal == status) return true;
  }
  return false;
}

[[noreturn]] void noToolFound() {
  logMessage("%s", STAR_LINE);
  logMessage(
      "[ERROR] This application requires root access, but was unable to identify a UI-based "
      "elevation utility to use.\n");
  logMessage("[ERROR] Currently supported utilities are gksudo, kdesudo, beesu and pkexec.\n");
  logMessage("%s", STAR_LINE);
  fflush(stdout);
  endProcess(1);
}

void logSudoBanner(const char* title) {
  logMessage("[SUDO] ==============================================\n");
  logMessage("[SUDO] %s\n", title);
  logMessage("[SUDO] ==============================================\n");
}

// Empties and removes the road's private folder.
void removePrivateFolder(const char* folder) {
  DeleteFolder(folder);
  if (rmdir(folder) != 0) logMessage("[Extractor] Could not remove %s\n", folder);
}

}  // namespace

bool takeRelaunchMarker() {
  if (getenv(RELAUNCH_MARKER_ENV) != nullptr) {
    unsetenv(RELAUNCH_MARKER_ENV);
    relaunchMarkerTaken = true;
  }
  return relaunchMarkerTaken;
}

void stopRepeatedElevation(bool prepareOnly) {
  // pkexec hands its child a fresh environment, so the prepare-only rule, not the marker,
  // is what stops the elevated run.
  if (prepareOnly) {
    logMessage(
        "[SUDO] A prepare-only run cannot create its folders even with the rights it has; "
        "not elevating again\n");
    endProcess(1);
  }
  if (relaunchMarkerTaken) {
    logMessage(
        "[SUDO] The install folder is still not writable after the elevated setup; not "
        "elevating again\n");
    endProcess(1);
  }
}

void Extractor_elevationRoad(ExtractorRun* run) {
  logMessage("[Extractor] Unable to create QV Temp folder - assuming elevation required\n");
  stopRepeatedElevation(run->prepareOnly);

  // A private folder: fixed names in /tmp could be made first, or be links, by anyone.
  char* folder = copyString(ELEVATION_FOLDER_TEMPLATE);
  if (folder == nullptr || mkdtemp(folder) == nullptr) {
    if (folder != nullptr) logFileError("[Extractor]", "create folder", folder, errno);
    logMessage("[Extractor] Unable to create a private folder in /tmp for the splash picture\n");
    endProcess(1);
  }
  // The picture of a cut installer is no picture to show: the road ends before any tool
  // is asked for rights.
  if (!Extractor_takeTailEntries(run, folder, 2, UPDATER_COMPONENT)) {
    removePrivateFolder(folder);
    endProcess(1);
  }

  char splashPath[PATH_BUFFER_SIZE];
  buildPath2(splashPath, folder, SPLASH_PICTURE_NAME);
  overrideSplashImage(run->tail.canOverrideSplash, run->dynamicSplashImage,
                      run->dynamicSplashImageSize, splashPath);
  logMessage("[Extractor] Native Splash PNG path is %s\n", splashPath);
  logMessage("[Extractor] Configuring splash\n");
  configureSplash(splashPath);
  // The picture is in memory now; nothing of the road is left in /tmp whatever ends it.
  removePrivateFolder(folder);

  logMessage("[Extractor] Performing elevated setup and launch\n");
  elevateAndRelaunch(run->argc, run->argv, run->silent);
}

void elevateAndRelaunch(int32_t argc, char** argv, bool silent) {
  logMessage("[SUDO] Elevation required.\n");
  logMessage(
      "[SUDO] On Linux, UI-based elevation utility is required. Searching for an available "
      "one...\n");
  // Each probe once, without a shell and within the check limit; its answer is the path.
  char* paths[TOOL_COUNT] = {};
  bool found[TOOL_COUNT];
  for (int i = 0; i < TOOL_COUNT; ++i) {
    const char* const words[] = {"which", TOOLS[i].name, nullptr};
    int32_t status = -1;
    paths[i] = runProgramCapture(words, &status);
    found[i] = status == 0;
  }
  const ElevationTool* tool = nullptr;
  const char* toolPath = nullptr;
  for (int i = 0; i < TOOL_COUNT && tool == nullptr; ++i) {
    if (!found[i]) continue;
    tool = &TOOLS[i];
    toolPath = paths[i];
  }
  for (int i = 0; i < TOOL_COUNT; ++i) {
    if (paths[i] != toolPath) free(paths[i]);
  }
  if (tool == nullptr) noToolFound();

  logMessage("%s", tool->found);
  if (toolPath == nullptr || toolPath[0] == 0) noToolFound();
  logMessage("[SUDO] Elevate command is located at %s\n", toolPath);

  const bool escape = tool->escaped;
  Spawner* elevated = createSpawner();
  // Slot 0 is opened by the spawn itself, never by a shell.
  setSpawnerExe(elevated, toolPath);
  if (tool->option != nullptr) appendSpawnerArgument(elevated, escapeSpaces(tool->option, escape));
  char* exePath = static_cast<char*>(calloc(ELEVATION_EXE_PATH_SIZE, 1));
  if (exePath == nullptr) {
    logMessage("[Utils] Out of memory\n");
    endProcess(1);
  }
  getExePath(exePath, ELEVATION_EXE_PATH_SIZE);
  appendSpawnerArgument(elevated, escapeSpaces(exePath, escape));
  for (int32_t i = 1; i < argc; ++i) appendSpawnerArgument(elevated, escapeSpaces(argv[i], escape));
  appendSpawnerArgument(elevated, PREPARE_ONLY_MARKER);

  logSudoBanner("======      Launching elevated setup    ======");
  if (!silent) {
    showSplash();
    setProgress(PROGRESS_INDEFINITE);
  }
  const int32_t status = runSpawnerAndWait(elevated);
  if (!silent) hideSplash();
  logMessage("[SUDO] Elevated setup complete\n");
  freeSpawner(elevated);
  logMessage("[SUDO] Elevated setup complete\n");
  if (isRefusal(*tool, status)) endProcess(1);

  Spawner* relaunch = createSpawner();
  setSpawnerExe(relaunch, exePath);
  for (int32_t i = 1; i < argc; ++i) appendSpawnerArgument(relaunch, argv[i]);
  logSudoBanner("======      Relaunching post setup      ======");
  // The relaunch must not take this road again should the install still be unwritable.
  setenv(RELAUNCH_MARKER_ENV, "1", 1);
  runSpawnerAndWait(relaunch);
  logMessage("[SUDO] Relaunch complete\n");
  endProcess(0);
}

char* escapeSpaces(const char* text, bool escape) {
  if (!escape) return const_cast<char*>(text);
  const size_t length = strlen(text);
  // At most three bytes per input byte (a newline becomes '\n' in quotes).
  char* out = static_cast<char*>(calloc(3 * length + 1, 1));
  if (out == nullptr) {
    logMessage("[Utils] Out of memory\n");
    endProcess(1);
  }
  char* o = out;
  for (const char* p = text; *p != 0; ++p) {
    if (*p == '\n') {
      *o++ = '\'';
      *o++ = '\n';
      *o++ = '\'';
      continue;
    }
    if (memchr(SHELL_SPECIAL, *p, sizeof(SHELL_SPECIAL) - 1) != nullptr) *o++ = '\\';
    *o++ = *p;
  }
  return out;
}
