// The process-wide X11 splash window: a PNG picture inside a white border and a light
// grey frame, optionally with a progress strip (percentage or moving stripes) below it.
// Any thread may call the operations once init has run; splashMutex guards all state
// that changes after init. Without a display every operation but init prints at most
// its own lines and does nothing else. After destroySplashMutex every operation does
// nothing beyond its own lines, and no thread takes the mutex again.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "splash/png_loader.h"
#include "splash/x11.h"

// Progress values: no strip; moving stripes; 0..100 are percentages.
constexpr int32_t PROGRESS_HIDDEN = -100;
constexpr int32_t PROGRESS_INDEFINITE = -1;
constexpr long SPLASH_ANIMATION_PERIOD_MS = 30;
// X's limits for the sides of a window or pixmap.
constexpr int64_t SPLASH_MAX_SIDE = 65535;

struct SplashState {
  // Set by init and never changed afterwards; read without the lock.
  Display* splashDisplay = nullptr;  // none means no splash
  Window splashWindow = 0;
  GC splashGC = nullptr;
  Visual* splashVisual = nullptr;
  int32_t splashDepth = 0;
  unsigned long splashWhitePixel = 0;
  XColor frameColor = {};
  XImage* progressImage = nullptr;  // none when XCreateImage failed
  XImage* progressIndefiniteImage = nullptr;
  XImage* trackImage = nullptr;
  // Guarded by splashMutex.
  Pixmap splashBackPixmap = 0;    // none until the first configureSplash
  XImage* splashImage = nullptr;  // none until a picture loaded
  uint32_t splashImageWidth = 100;
  uint32_t splashImageHeight = 100;
  int32_t progressState = 0;
  int32_t indefiniteOffset = 0;
  bool paintersStopped = false;  // set by destroySplashMutex
  // Border width around the picture; set before configureSplash.
  std::atomic<int32_t> splashBuffer{0};
  pthread_mutex_t splashMutex;  // initialised by init once the display is open
};

// The one splash; callers outside this module only read it.
extern SplashState splashState;

// Window sizes derived from the picture size, the border and the strip height. The
// border is clamped so that width, height and height plus strip stay within
// 1..SPLASH_MAX_SIDE (sizes themselves are clamped when no border can do it).
struct SplashGeometry {
  int32_t border;
  int32_t width;   // W: window, back pixmap and strip width
  int32_t height;  // H: picture area height; the strip starts at y = H
  int32_t strip;   // s: strip height
};
SplashGeometry splashGeometry(uint32_t imageWidth, uint32_t imageHeight, int32_t buffer,
                              int32_t stripHeight);

// Opens the display named by DISPLAY and builds the window, the tiles and the frame
// colour. Once a display is open, later calls only print "[Splash] init()".
void init();
void setSplashBuffer(int32_t pixels);
int32_t getSplashBuffer();
// Loads the picture at path (opened with open, as loadPngImage does) and sizes the
// window for it without a strip.
void configureSplash(const char* path, PictureOpener open = nullptr);
// Maps the window and starts one more pair of painter threads (event and animation).
void showSplash();
void hideSplash();
// Clamps value (below -100 gives 0, above 100 gives 100), stores it and repaints when
// it changed; the first change away from PROGRESS_HIDDEN adds the strip for good.
void setProgress(int32_t value);
// Stops the painters, waits (bounded) until no thread is inside a splash operation,
// then destroys splashMutex. The last splash operation.
void destroySplashMutex();
// Draws one frame into the back pixmap and copies it onto the window.
void paintSplash();
