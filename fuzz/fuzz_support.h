// What the fuzz bodies share: a scratch folder per process, rings made from an input,
// and running a reader so that its fatal end returns to the body in fuzz builds.
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/log.h"
#include "core/ring_buffer.h"

// Names the scratch folder (made if missing, kept at exit) instead of a fresh one below
// /tmp (removed at exit); the replay test gives each child its own.
constexpr const char* FUZZ_SCRATCH_ENV = "HV_FUZZ_SCRATCH";
// Names the X display the PNG body uses; without it the body starts its own Xvfb.
constexpr const char* FUZZ_DISPLAY_ENV = "HV_FUZZ_DISPLAY";

// The process's scratch folder, emptied (and made again when a reader removed it).
const std::string& emptyScratch();

// A closed ring holding exactly the input (capacity at least 1), and its release: a fuzz
// run makes millions.
RingBuffer* ringOfBytes(const uint8_t* data, size_t size);
void freeRing(RingBuffer* ring);

void writeScratchFile(const std::string& path, const uint8_t* data, size_t size);

// Runs the reader; in fuzz builds a fatal end (ProcessEnd) comes back as false.
template <typename F>
bool runReader(F reader) {
#ifdef HV_FUZZ
  try {
    reader();
  } catch (const ProcessEnd&) {
    return false;
  }
#else
  reader();
#endif
  return true;
}
