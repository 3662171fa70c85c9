#include "launcher/launch_steps.h"

#include "core/install_modes.h"
#include "core/install_tree.h"
#include "core/log.h"
#include "core/ring_buffer.h"
#include "launcher/jvm_launch.h"
#include "splash/splash_window.h"

void Extractor_destroySplash(ExtractorRun* run) {
  (void)run;
  destroySplashMutex();
}

void Extractor_closeTailRing(ExtractorRun* run) { RingBuffer_close(run->tailRing); }

void Extractor_shareInstall(ExtractorRun* run) { shareInstallTree(run->masterFolder); }

void Extractor_launch(ExtractorRun* run) {
  if (installModePolicy() == ModePolicy::SharedLater) {
    // Every user may write a shared install: whatever root would start from it, the updater,
    // the runtime's java, an LSO file's options, may be anyone's.
    logMessage("[Extractor] This install is shared by every user: it is not started as root\n");
    endProcess(0);
  }
  // The URLs as step 5 completed them; the launch's result never changes the exit status.
  launchApp(run->masterFolder, run->launchProperties, run->launcherArgc, run->launcherArgv,
            run->latestQvFolder, run->tail.updateUrl, run->dynamicUpdateUrl, run->jreName,
            run->absoluteLauncherPath);
}
