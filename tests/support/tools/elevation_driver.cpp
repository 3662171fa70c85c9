// The launcher at its elevation road, for tests with fake elevation tools; see
// tests/support/elevation_driver.h for its switches and records.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/ring_buffer.h"
#include "launcher/elevation.h"
#include "launcher/startup.h"
#include "splash/splash_window.h"
#include "tests/support/elevation_driver.h"
#include "tests/support/scratch_dir.h"

namespace {

void recordStart(bool marker, int argc, char** argv) {
  const char* path = getenv(ELEVATION_DRIVER_RECORD_ENV);
  if (path == nullptr) return;
  std::string call;
  auto field = [&call](const std::string& text) { call += text + '\0'; };
  field("driver");
  field(marker ? "marker" : "none");
  field(getenv(RELAUNCH_MARKER_ENV) != nullptr ? "left" : "gone");
  for (int i = 0; i < argc; ++i) field(argv[i]);
  field(RECORD_END_FIELD);
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  if (write(fd, call.data(), call.size()) < 0) perror("record");
  close(fd);
}

std::string fileNamedBy(const char* variable) {
  const char* path = getenv(variable);
  return path == nullptr ? "" : readFileBytes(path);
}

}  // namespace

int main(int argc, char** argv) {
  const bool marker = takeRelaunchMarker();
  init();
  recordStart(marker, argc, argv);

  ExtractorRun* run = new ExtractorRun{};
  run->argc = argc;
  run->argv = argv;
  run->prepareOnly = isPrepareOnlyRun(argc, argv);
  run->silent = getenv(ELEVATION_DRIVER_SILENT_ENV) != nullptr;
  run->tail.canOverrideSplash = getenv(ELEVATION_DRIVER_OVERRIDE_ENV);
  const std::string image = fileNamedBy(ELEVATION_DRIVER_IMAGE_ENV);
  if (!image.empty()) {
    run->dynamicSplashImage = new unsigned char[image.size()];
    image.copy(reinterpret_cast<char*>(run->dynamicSplashImage), image.size());
    run->dynamicSplashImageSize = image.size();
  }
  // The whole tail is in the ring before the road reads it, as a reader thread ahead of
  // the road would have it.
  const std::string entries = fileNamedBy(ELEVATION_DRIVER_ENTRIES_ENV);
  run->tailRing = RingBuffer_create(2, static_cast<int32_t>(entries.size()) + 1);
  RingBuffer_write(run->tailRing, entries.data(), static_cast<int32_t>(entries.size()));
  RingBuffer_close(run->tailRing);
  Extractor_elevationRoad(run);
}
