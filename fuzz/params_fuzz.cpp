// The Params block: the bytes after the marker, read into a run's dynamic values.
#include <cstdlib>
#include <memory>

#include "core/launch_property_list.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "launcher/run.h"
#include "launcher/wrapper_tail.h"

int fuzzParams(const uint8_t* data, size_t size) {
  auto run = std::make_unique<ExtractorRun>();
  RingBuffer* ring = ringOfBytes(data, size);
  runReader([&] { WrapperTail_readParamsFrom(run.get(), ring); });
  freeRing(ring);
  if (run->launchProperties != nullptr) {
    free(run->launchProperties->buffer);
    free(run->launchProperties);
  }
  free(run->dynamicUpdateUrl);
  free(run->dynamicSplashImage);
  return 0;
}
