#include "launcher/splash_override.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/descriptor_files.h"
#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"

namespace {

// The mode an overriding splash picture has always had.
constexpr mode_t SPLASH_PICTURE_MODE = 0600;

// Writes the picture beside path and renames it over path, so a link planted at path is
// replaced rather than followed, and a picture that cannot be written whole leaves the
// extracted one in place. false (logged) when it could not be written.
bool replaceSplashPicture(const char* path, const unsigned char* image, uint64_t size) {
  const char* last;
  const int folder = DescriptorFiles_openPathParent(path, &last);
  const int replaced =
      folder >= 0 ? DescriptorFiles_replace(folder, last, SPLASH_PICTURE_MODE, [&](FILE* out) {
        return fwrite(image, 1, size, out) == size;
      })
                  : -1;
  const int error = errno;
  if (folder >= 0) close(folder);
  if (replaced == 0) return true;
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
