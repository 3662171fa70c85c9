// Fuzz targets: each body takes one input and hands it to one reader of the launcher the
// way a run meets such bytes (a ring, a file in a folder of its own). The same bodies
// serve the libFuzzer binaries of the fuzz build (fuzz_entry.cpp) and the normal build's
// replay of stored inputs (tests/fuzz_regression_test.cpp).
// A body returns after a clean read. A fatal input ends it the way the reader ends a run:
// in fuzz builds the thrown ProcessEnd is caught and the body returns; in other builds
// the process ends with the reader's status, so callers there run each input in a child.
// Bodies return 0, or -1 for an input they refuse to try (libFuzzer keeps no such input).
// One call at a time per process; each body empties its scratch folder first.
#pragma once

#include <cstddef>
#include <cstdint>

using FuzzBody = int (*)(const uint8_t* data, size_t size);

// An archive stream read from a ring while no archive key is required, and while the
// test key of 2048 bits is required.
int fuzzArchive(const uint8_t* data, size_t size);
int fuzzArchiveSigned(const uint8_t* data, size_t size);
// The same for archives holding nested ".p2.l2" archives (the flat bodies refuse those).
int fuzzArchiveNested(const uint8_t* data, size_t size);
int fuzzArchiveNestedSigned(const uint8_t* data, size_t size);
// The bytes after the Params marker, and after the Tail marker (header values, then the
// static properties with the tail's public key).
int fuzzParams(const uint8_t* data, size_t size);
int fuzzTailHeader(const uint8_t* data, size_t size);
// The launch file of an installed folder launched with a fixed LSO file, and a fixed
// launch file with the LSO file; the runtime's java is an empty file, so nothing runs.
int fuzzLaunchFile(const uint8_t* data, size_t size);
int fuzzLsoFile(const uint8_t* data, size_t size);
// A splash picture loaded for an X display (a private Xvfb; see fuzz_support.h).
int fuzzPng(const uint8_t* data, size_t size);

struct FuzzTarget {
  const char* name;  // also the folder of its seeds and of its regression inputs
  FuzzBody body;
};
constexpr int FUZZ_TARGET_COUNT = 9;
extern const FuzzTarget FUZZ_TARGETS[FUZZ_TARGET_COUNT];
