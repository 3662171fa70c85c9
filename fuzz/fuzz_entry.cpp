// The libFuzzer entry of one target binary; HV_FUZZ_BODY names its body.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return HV_FUZZ_BODY(data, size);
}
