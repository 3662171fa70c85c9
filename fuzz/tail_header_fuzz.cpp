// The Tail header: the bytes after the marker, read as the twelve values, then stored
// as static properties with the tail's public key imported.
#include <cstdlib>
#include <memory>

#include "core/launch_property_list.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "launcher/run.h"
#include "launcher/wrapper_tail.h"
#include "pipeline/signature.h"

int fuzzTailHeader(const uint8_t* data, size_t size) {
  auto run = std::make_unique<ExtractorRun>();
  char silentArgument[] = "--silent";
  char* arguments[] = {silentArgument};
  run->launcherArgc = 1;
  run->launcherArgv = arguments;
  run->dynamicUpdateUrl = static_cast<char*>(calloc(PARAM_VALUE_SIZE, 1));
  run->launchProperties = propListCreate(PARAM_VALUE_SIZE);
  RingBuffer* ring = ringOfBytes(data, size);
  runReader([&] {
    WrapperTail_readTailHeaderFrom(run.get(), ring);
    WrapperTail_setupStaticProperties(run.get());
  });
  freeRing(ring);
  // Keys that imported stay with the library, as in a run; they are rare here.
  archiveSignatureKey.store(nullptr);
  archiveKeyRequired.store(false);
  TailHeader& tail = run->tail;
  for (char* value : {tail.appName, tail.appVersion, tail.jreVersion, tail.qvVersion,
                      tail.minSplashMs, tail.signaturePublicKey, tail.canOverrideSplash,
                      tail.installType, tail.silentParameter, tail.requiredJavaVersion,
                      tail.updateUrl, tail.skipSystemJre}) {
    free(value);
  }
  free(run->launchProperties->buffer);
  free(run->launchProperties);
  free(run->dynamicUpdateUrl);
  return 0;
}
