#include "launcher/tail_steps.h"

#include "launcher/wrapper_tail.h"

void Extractor_start(ExtractorRun* run) { WrapperTail_start(run); }

void Extractor_readParams(ExtractorRun* run) { WrapperTail_readParams(run); }

void Extractor_readTailHeader(ExtractorRun* run) { WrapperTail_readTailHeader(run); }

void Extractor_setupStaticProperties(ExtractorRun* run) { WrapperTail_setupStaticProperties(run); }
