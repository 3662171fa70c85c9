#include "launcher/extractor.h"

#include "core/log.h"
#include "launcher/extract_steps.h"
#include "launcher/install_steps.h"
#include "launcher/launch_steps.h"
#include "launcher/tail_steps.h"

void Extractor_run(const char* programPath, int argumentCount, char** arguments, int argc,
                   char** argv, bool prepareOnly) {
  // Lives until the process ends, like everything a run makes.
  ExtractorRun* run = new ExtractorRun{};
  run->programPath = programPath;
  run->launcherArgc = argumentCount;
  run->launcherArgv = arguments;
  run->argc = argc;
  run->argv = argv;
  run->prepareOnly = prepareOnly;

  Extractor_start(run);                  // 1
  Extractor_readParams(run);             // 2
  Extractor_readTailHeader(run);         // 3
  Extractor_setupStaticProperties(run);  // 4
  Extractor_setupFolders(run);           // 5
  Extractor_setupRuntimeName(run);       // 6
  if (Extractor_decideVersion(run) == RunRoad::Run) Extractor_runRoad(run);  // 7
  Extractor_extractRoad(run);
}

void Extractor_runRoad(ExtractorRun* run) {
  Extractor_destroySplash(run);
  Extractor_closeTailRing(run);
  Extractor_shareInstall(run);
  if (run->prepareOnly) endProcess(0);
  Extractor_launch(run);
  endProcess(0);
}

void Extractor_extractRoad(ExtractorRun* run) {
  Extractor_prepareExtraction(run);   // 8
  Extractor_extractQuorvane(run);     // 9
  Extractor_setupJavaRuntime(run);    // 10
  Extractor_extractApplication(run);  // 11
  Extractor_destroySplash(run);
  logMessage("[Extractor] Will now run latest QV %s\n", run->latestQvFolder);
  Extractor_closeTailRing(run);
  Extractor_shareInstall(run);
  if (run->prepareOnly) endProcess(0);
  Extractor_launch(run);
  endProcess(0);
}
