// Splash pictures: the input as a PNG file, loaded for a display of depth 24, 32 or 16
// (by the input's length, so every depth meets every kind of file). Inputs of even
// length get every chunk's CRC made right first: otherwise nearly every mutation is
// refused at its first chunk and the decoding behind it is never reached.
// X11 after the standard headers: it defines names such as None and Status.
#include <zlib.h>

#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "splash/png_loader.h"
#include "splash/x11.h"
#include "tests/support/xvfb_server.h"

namespace {

XvfbServer* ownServer = nullptr;

void stopOwnServer() {
  delete ownServer;
  ownServer = nullptr;
}

Display* fuzzDisplay() {
  static Display* display = [] {
    std::string name;
    if (const char* given = getenv(FUZZ_DISPLAY_ENV); given != nullptr && given[0] != '\0') {
      name = given;
    } else {
      ownServer = new XvfbServer();
      if (!ownServer->start(24)) abort();  // no picture can be made without a display
      atexit(stopOwnServer);
      name = ownServer->display();
    }
    Display* opened = XOpenDisplay(name.c_str());
    if (opened == nullptr) abort();
    return opened;
  }();
  return display;
}

uint32_t bigEndian32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Rewrites the CRC of every whole chunk after the 8-byte signature.
void fixChunkCrcs(std::string* bytes) {
  auto* p = reinterpret_cast<unsigned char*>(bytes->data());
  size_t at = 8;
  while (at + 12 <= bytes->size()) {
    const uint32_t length = bigEndian32(p + at);
    if (length > bytes->size() - at - 12) break;
    const uint32_t crc = static_cast<uint32_t>(crc32(0, p + at + 4, length + 4));
    unsigned char* out = p + at + 8 + length;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
    at += 12 + length;
  }
}

}  // namespace

int fuzzPng(const uint8_t* data, size_t size) {
  static const int DEPTHS[] = {24, 32, 16};
  Display* display = fuzzDisplay();
  initXContext(display, DefaultRootWindow(display), DEPTHS[size % 3],
               DefaultVisual(display, DefaultScreen(display)));
  const std::string path = emptyScratch() + "/splash.png";
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (size % 2 == 0) fixChunkCrcs(&bytes);
  writeScratchFile(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  uint32_t width = 0;
  uint32_t height = 0;
  XImage* image = loadPngImage(path.c_str(), &width, &height);
  if (image != nullptr) XDestroyImage(image);
  return 0;
}
