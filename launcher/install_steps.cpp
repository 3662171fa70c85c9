#include "launcher/install_steps.h"

#include "launcher/version_decision.h"

void Extractor_setupFolders(ExtractorRun* run) { VersionDecision_setupFolders(run); }

void Extractor_setupRuntimeName(ExtractorRun* run) { VersionDecision_setupRuntimeName(run); }

RunRoad Extractor_decideVersion(ExtractorRun* run) { return VersionDecision_decide(run); }
