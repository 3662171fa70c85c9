// Steps 1 to 4 of a run: start, the Params block, the Tail header, the static properties
// and the signature key. Each step either fills its values of the run record or ends the
// process (status 1 when the own executable or a marker cannot be found).
#pragma once

#include "launcher/run.h"

// Step 1: no signature key yet, splash prepared (not shown), markers made, absolute path.
void Extractor_start(ExtractorRun* run);
// Step 2: the dynamic properties of the Params block; the Params ring is closed after.
void Extractor_readParams(ExtractorRun* run);
// Step 3: the twelve header values, the effective update URL, the silent flag.
void Extractor_readTailHeader(ExtractorRun* run);
// Step 4: the static launch properties and the imported public key.
void Extractor_setupStaticProperties(ExtractorRun* run);
