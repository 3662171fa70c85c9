#include "launcher/splash_override.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"

namespace {

// Writes the picture beside path and renames it over path, so a link planted at path is
// replaced rather than followed, and a picture that cannot be written whole leaves the
// extracted one in place. false (logged) when it could not be written.
bool replaceSplashPicture(const char* path, const unsigned char* image, uint64_t size) {
  char scratch[PATH_BUFFER_SIZE];
  if (!formatText(scratch, sizeof scratch, "%s.XXXXXX", path)) {
    logMessage("[Extractor] Unable to write splash image %s, keeping the extracted one\n", path);
    return false;
  }
  const int fd = mkostemp(scratch, O_CLOEXEC);
  bool written = fd >= 0;
  for (uint64_t done = 0; written && done < size;) {
    const ssize_t n = write(fd, image + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      written = false;
    } else {
      done += static_cast<uint64_t>(n);
    }
  }
  if (fd >= 0 && close(fd) != 0) written = false;
  if (written && rename(scratch, path) == 0) return true;
  const int error = errno;
  if (fd >= 0) unlink(scratch);
  logMessage("[Extractor] Unable to write splash image %s [%d], keeping the extracted one\n", path,
             error);
  return false;
}

}  // namespace

void overrideSplashImage(const char* canOverride, const unsigned char* image, uint64_t size,
                         const char* path) {
  if (canOverride == nullptr || strcmp(canOverride, "1") != 0) return;
  logMessage("[Extractor] Authorised to override the splash image.\n");
  logMessage("[Extractor] DynamicSplash is %d, size is %d\n", image != nullptr ? 1 : 0,
             static_cast<int>(size));
  if (image == nullptr || size == 0) return;
  logMessage("[Extractor] Overwriting splash image at %s\n", path);
  if (replaceSplashPicture(path, image, size)) chmod777(path);
}
