#include "fuzz/fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "fuzz/fuzz_targets.h"

namespace fs = std::filesystem;

const FuzzTarget FUZZ_TARGETS[FUZZ_TARGET_COUNT] = {
    {"archive", fuzzArchive},         {"archive_signed", fuzzArchiveSigned},
    {"archive_nested", fuzzArchiveNested}, {"archive_nested_signed", fuzzArchiveNestedSigned},
    {"params", fuzzParams},           {"tail_header", fuzzTailHeader},
    {"launch_file", fuzzLaunchFile},  {"lso_file", fuzzLsoFile},
    {"png", fuzzPng},
};

namespace {

std::string scratchPath;

void removeOwnScratch() {
  std::error_code ignored;
  fs::remove_all(scratchPath, ignored);
}

}  // namespace

const std::string& emptyScratch() {
  if (scratchPath.empty()) {
    if (const char* given = getenv(FUZZ_SCRATCH_ENV); given != nullptr && given[0] != '\0') {
      scratchPath = given;
    } else {
      char name[] = "/tmp/hv-fuzz-XXXXXX";
      if (mkdtemp(name) == nullptr) throw std::runtime_error("cannot make a scratch folder");
      scratchPath = name;
      atexit(removeOwnScratch);
    }
  }
  std::error_code ignored;
  if (fs::is_directory(scratchPath, ignored)) {
    for (const auto& entry : fs::directory_iterator(scratchPath, ignored)) {
      fs::remove_all(entry.path(), ignored);
    }
  }
  fs::create_directories(scratchPath, ignored);
  return scratchPath;
}

RingBuffer* ringOfBytes(const uint8_t* data, size_t size) {
  const int32_t capacity = size == 0 ? 1 : static_cast<int32_t>(size);
  RingBuffer* ring = RingBuffer_create(1, capacity);
  if (size > 0) RingBuffer_write(ring, data, static_cast<int32_t>(size));
  RingBuffer_close(ring);
  return ring;
}

void freeRing(RingBuffer* ring) { RingBuffer_destroy(ring); }

void writeScratchFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot write " + path);
  const bool written = size == 0 || fwrite(data, 1, size, file) == size;
  if (fclose(file) != 0 || !written) throw std::runtime_error("cannot write " + path);
}
