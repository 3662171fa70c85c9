// Splash pictures: the input as a PNG file, loaded for a display of depth 24, 32 or 16
// (by the input's length, so every depth meets every kind of file).
// X11 after the standard headers: it defines names such as None and Status.
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

}  // namespace

int fuzzPng(const uint8_t* data, size_t size) {
  static const int DEPTHS[] = {24, 32, 16};
  Display* display = fuzzDisplay();
  initXContext(display, DefaultRootWindow(display), DEPTHS[size % 3],
               DefaultVisual(display, DefaultScreen(display)));
  const std::string path = emptyScratch() + "/splash.png";
  writeScratchFile(path, data, size);
  uint32_t width = 0;
  uint32_t height = 0;
  XImage* image = loadPngImage(path.c_str(), &width, &height);
  if (image != nullptr) XDestroyImage(image);
  return 0;
}
