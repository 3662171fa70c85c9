#include "core/marker_search.h"

#include <sys/types.h>

#include <cstring>
#include <memory>

#include "core/log.h"

int64_t findMarker(FILE* file, const void* markerBytes, int32_t length, const char* name) {
  const unsigned char* marker = static_cast<const unsigned char*>(markerBytes);
  if (length == 0) return 0;
  if (length < 0) {
    logMessage("Could not find marker: %s\n", name);
    return -1;
  }
  int64_t read = 0;
  int32_t matched = 0;
  const off_t start = ftello(file);
  if (start < 0) {
    // Not seekable (a pipe): nothing may be read past the marker, so byte by byte.
    flockfile(file);
    int c;
    while (matched != length && (c = getc_unlocked(file)) != EOF) {
      ++read;
      matched = c == marker[matched] ? matched + 1 : 0;
    }
    funlockfile(file);
    if (matched == length) return read;
    logMessage("Could not find marker: %s\n", name);
    return -1;
  }
  constexpr size_t BLOCK = 1 << 20;
  std::unique_ptr<unsigned char[]> block(new unsigned char[BLOCK]);
  const unsigned char first = marker[0];
  for (;;) {
    const size_t n = fread(block.get(), 1, BLOCK, file);
    if (n == 0) break;
    const unsigned char* p = block.get();
    const unsigned char* end = p + n;
    while (p < end) {
      if (matched == 0) {
        // Nothing matched yet: skip straight to the next possible first byte.
        const void* hit = memchr(p, first, static_cast<size_t>(end - p));
        if (hit == nullptr) {
          p = end;
          break;
        }
        p = static_cast<const unsigned char*>(hit) + 1;
        matched = 1;
      } else {
        matched = *p++ == marker[matched] ? matched + 1 : 0;
      }
      if (matched == length) {
        read += p - block.get();
        // Give back what was read past the marker.
        if (fseeko(file, start + read, SEEK_SET) != 0) {
          logMessage("Could not find marker: %s\n", name);
          return -1;
        }
        return read;
      }
    }
    read += static_cast<int64_t>(n);
  }
  logMessage("Could not find marker: %s\n", name);
  return -1;
}
