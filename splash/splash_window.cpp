#include "splash/splash_window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "splash/png_loader.h"
#include "splash/splash_tiles.h"

SplashState splashState;

namespace {

const char MSG_INIT[] = "[Splash] init()";
const char MSG_CONNECTING[] = "[Splash] Connecting to display %s\n";
const char MSG_XINITTHREADS[] = "Warning: XInitThread failed!";
const char MSG_CANNOT_OPEN[] = "[Splash] Can't open display %s\n";  // standard error
const char MSG_INITIALISING[] = "[Splash] Initialising X connection...";
const char MSG_NO_PROGRESS_IMAGE[] = "[Splash] Failed to create XImage for progressImage";
const char MSG_NO_INDEFINITE_IMAGE[] =
    "[Splash] Failed to create XImage for progressIndefiniteImage";
const char MSG_NO_TRACK_IMAGE[] = "[Splash] Failed to create XImage for trackImage";
const char MSG_CONFIGURE[] = "[Splash] configureSplash with URL %s\n";
const char MSG_NO_DISPLAY[] = "[Splash] No active display.";
const char MSG_IMAGE_SIZE[] = "[Splash] Got image of size: %u x %u\n";
const char MSG_SHOW[] = "[Splash] showSplash()";
const char MSG_CREATING_THREAD[] = "[Splash] Creating splash thread";
const char MSG_HIDE[] = "[Splash] hideSplash()";

const char FRAME_COLOR[] = "#D2D2D2";
constexpr int INITIAL_X = 200;
constexpr int INITIAL_Y = 200;
// Drawing coordinates travel as 16-bit signed values; nothing past this can be drawn.
constexpr int MAX_COORDINATE = 32767;
// How long destroySplashMutex waits for a paint in progress before giving up.
constexpr int DESTROY_WAIT_MS = 5000;

// Gate in front of splashMutex. Every locked operation counts itself in and checks
// splashEnded before taking the mutex; destroySplashMutex raises splashEnded and waits
// for the count to drop to zero, so the mutex is never destroyed under a waiter and
// never taken once destroyed. Both are sequentially consistent: either the entrant
// sees splashEnded, or the destroyer sees the entrant.
std::atomic<bool> splashEnded{false};
std::atomic<int> splashUsers{0};
std::atomic<bool> destroyRequested{false};

bool enterSplash() {
  splashUsers.fetch_add(1);
  if (splashEnded.load()) {
    splashUsers.fetch_sub(1);
    return false;
  }
  return true;
}

void leaveSplash() { splashUsers.fetch_sub(1); }

void sleepMillis(long millis) {
  timespec pause = {millis / 1000, (millis % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

const char* displayText() {
  const char* name = getenv("DISPLAY");
  return name != nullptr ? name : "";
}

Display* openSplashDisplay() {
  if (splashState.splashDisplay != nullptr) return splashState.splashDisplay;
  if (XInitThreads() == 0) puts(MSG_XINITTHREADS);
  return XOpenDisplay(nullptr);
}

XImage* makeTileImage(const BgrTile& tile, const char* failure) {
  SplashState& s = splashState;
  XImage* image = XCreateImage(
      s.splashDisplay, s.splashVisual, static_cast<unsigned>(s.splashDepth), ZPixmap, 0, nullptr,
      static_cast<unsigned>(tile.width), static_cast<unsigned>(tile.height), 32, 0);
  if (image != nullptr) {
    image->data = static_cast<char*>(
        calloc(static_cast<size_t>(image->bytes_per_line) * static_cast<size_t>(tile.height), 1));
    if (image->data == nullptr) {
      XDestroyImage(image);
      image = nullptr;
    }
  }
  if (image == nullptr) {
    puts(failure);
    return nullptr;
  }
  fillImageFromBGR(image, tile.pixels, s.splashDepth);
  return image;
}

int32_t stripHeight() {
  const XImage* tile = splashState.progressIndefiniteImage;
  return tile != nullptr ? tile->height : progressIndefiniteTile.height;
}

SplashGeometry currentGeometry() {
  const SplashState& s = splashState;
  return splashGeometry(s.splashImageWidth, s.splashImageHeight, s.splashBuffer.load(),
                        stripHeight());
}

// Puts columns [srcX, srcX + width) of a strip tile at (x, y) of the back pixmap.
void putTile(XImage* tile, int srcX, int x, int y, int width) {
  const SplashState& s = splashState;
  width = std::min(width, tile->width - srcX);
  if (width <= 0) return;
  XPutImage(s.splashDisplay, s.splashBackPixmap, s.splashGC, tile, srcX, 0, x, y,
            static_cast<unsigned>(width), static_cast<unsigned>(tile->height));
}

void paintPercentage(const SplashGeometry& g, int y) {
  SplashState& s = splashState;
  int w = g.width;
  int end = s.progressState == 100
                ? w
                : static_cast<int>(static_cast<int64_t>(w) * s.progressState / 100);
  int limit = std::min(w, MAX_COORDINATE + 1);
  if (XImage* fill = s.progressImage) {
    int step = std::max(fill->width - 1, 1);
    for (int x = 0; x < end && x < limit; x += step) {
      putTile(fill, 0, x, y, x + fill->width <= end ? fill->width : w - x);
    }
  }
  if (XImage* track = s.trackImage) {
    int step = std::max(track->width - 1, 1);
    for (int x = end; x < w && x < limit; x += step) {
      putTile(track, 0, x, y, x + track->width <= w ? track->width : w - x);
    }
  }
}

void paintIndefinite(const SplashGeometry& g, int y) {
  SplashState& s = splashState;
  int tileWidth = s.progressIndefiniteImage != nullptr ? s.progressIndefiniteImage->width
                                                       : progressIndefiniteTile.width;
  s.indefiniteOffset = s.indefiniteOffset + 1 > tileWidth ? 0 : s.indefiniteOffset + 1;
  XImage* tile = s.progressIndefiniteImage;
  if (tile == nullptr) return;
  int limit = std::min(g.width, MAX_COORDINATE + 1);
  for (int x = s.indefiniteOffset - tileWidth; x < limit; x += tileWidth) {
    if (x < 0) {
      putTile(tile, -x, 0, y, tileWidth + x);
    } else {
      putTile(tile, 0, x, y, std::min(tileWidth, g.width - x));
    }
  }
}

// One frame; the caller holds splashMutex.
void paintLocked() {
  SplashState& s = splashState;
  if (s.splashBackPixmap == 0) return;  // nothing configured yet: nothing to draw on
  SplashGeometry g = currentGeometry();
  unsigned fullHeight = static_cast<unsigned>(
      std::min<int64_t>(static_cast<int64_t>(g.height) + g.strip, SPLASH_MAX_SIDE));
  Display* d = s.splashDisplay;
  XSetForeground(d, s.splashGC, s.splashWhitePixel);
  XFillRectangle(d, s.splashBackPixmap, s.splashGC, 0, 0, static_cast<unsigned>(g.width),
                 fullHeight);
  if (s.splashImage != nullptr) {
    XPutImage(d, s.splashBackPixmap, s.splashGC, s.splashImage, 0, 0, g.border, g.border,
              s.splashImageWidth, s.splashImageHeight);
  }
  XSetForeground(d, s.splashGC, s.frameColor.pixel);
  unsigned frameHeight =
      s.progressState == PROGRESS_HIDDEN ? static_cast<unsigned>(g.height) : fullHeight;
  XDrawRectangle(d, s.splashBackPixmap, s.splashGC, 0, 0, static_cast<unsigned>(g.width) - 1,
                 frameHeight - 1);
  if (g.height <= MAX_COORDINATE) {
    if (s.progressState >= 0 && s.progressState <= 100) {
      paintPercentage(g, g.height);
    } else if (s.progressState == PROGRESS_INDEFINITE) {
      paintIndefinite(g, g.height);
    }
  }
  XCopyArea(d, s.splashBackPixmap, s.splashWindow, s.splashGC, 0, 0, static_cast<unsigned>(g.width),
            fullHeight, 0, 0);
  XFlush(d);
}

// setProgress with splashMutex held by the caller.
void setProgressLocked(int32_t value) {
  SplashState& s = splashState;
  int32_t v = value < PROGRESS_HIDDEN ? 0 : value > 100 ? 100 : value;
  if (v == s.progressState) return;
  if (s.progressState == PROGRESS_HIDDEN) {
    SplashGeometry g = currentGeometry();
    unsigned w = static_cast<unsigned>(g.width);
    unsigned h = static_cast<unsigned>(g.height + g.strip);
    XResizeWindow(s.splashDisplay, s.splashWindow, w, h);
    if (s.splashBackPixmap != 0) XFreePixmap(s.splashDisplay, s.splashBackPixmap);
    s.splashBackPixmap =
        XCreatePixmap(s.splashDisplay, s.splashWindow, w, h, static_cast<unsigned>(s.splashDepth));
  }
  s.progressState = v;
  paintLocked();
}

// A paint by a painter thread; false once the painters are to stop.
bool painterPaint() {
  if (!enterSplash()) return false;
  pthread_mutex_lock(&splashState.splashMutex);
  bool go = !splashState.paintersStopped;
  if (go) paintLocked();
  pthread_mutex_unlock(&splashState.splashMutex);
  leaveSplash();
  return go;
}

void* splashEventThread(void*) {
  Display* d = splashState.splashDisplay;
  for (;;) {
    XEvent event;
    XNextEvent(d, &event);
    if (event.type == Expose) {
      if (!painterPaint()) break;
    } else if (event.type == DestroyNotify) {
      break;
    }
  }
  return nullptr;
}

void* splashAnimationThread(void*) {
  while (painterPaint()) sleepMillis(SPLASH_ANIMATION_PERIOD_MS);
  return nullptr;
}

void startThread(void* (*body)(void*)) {
  pthread_t thread;
  // Painters run until the process ends and are never joined.
  if (pthread_create(&thread, nullptr, body, nullptr) == 0) pthread_detach(thread);
}

}  // namespace

SplashGeometry splashGeometry(uint32_t imageWidth, uint32_t imageHeight, int32_t buffer,
                              int32_t stripHeight) {
  int64_t w = imageWidth, h = imageHeight, s = std::max(stripHeight, 0);
  // Smallest border that leaves both sides at least 1, largest that keeps the widest
  // side (the picture area plus strip counts) at most SPLASH_MAX_SIDE.
  int64_t shortest = std::min(w, h);
  int64_t lowest = -((shortest - 1) / 2);
  int64_t longest = std::max(w, h + s);
  int64_t room = SPLASH_MAX_SIDE - longest;
  int64_t highest = room >= 0 ? room / 2 : -((-room + 1) / 2);
  int64_t b = buffer;
  if (b < lowest) b = lowest;
  if (b > highest) b = highest;
  SplashGeometry g;
  g.border = static_cast<int32_t>(b);
  g.width = static_cast<int32_t>(std::clamp<int64_t>(w + 2 * b, 1, SPLASH_MAX_SIDE));
  g.height = static_cast<int32_t>(std::clamp<int64_t>(h + 2 * b, 1, SPLASH_MAX_SIDE - s));
  g.strip = static_cast<int32_t>(s);
  return g;
}

void init() {
  SplashState& s = splashState;
  const char* name = displayText();
  puts(MSG_INIT);
  if (s.splashDisplay != nullptr) return;
  printf(MSG_CONNECTING, name);
  s.splashDisplay = openSplashDisplay();
  if (s.splashDisplay == nullptr) {
    fprintf(stderr, MSG_CANNOT_OPEN, name);
    return;
  }
  pthread_mutex_init(&s.splashMutex, nullptr);
  puts(MSG_INITIALISING);
  Display* d = s.splashDisplay;
  int screen = DefaultScreen(d);
  s.splashVisual = DefaultVisual(d, screen);
  s.splashDepth = DefaultDepth(d, screen);
  s.splashWhitePixel = WhitePixel(d, screen);
  s.splashWindow =
      XCreateSimpleWindow(d, RootWindow(d, screen), INITIAL_X, INITIAL_Y, s.splashImageWidth,
                          s.splashImageHeight, 0, s.splashWhitePixel, s.splashWhitePixel);
  XSelectInput(d, s.splashWindow, ExposureMask | StructureNotifyMask);
  initXContext(d, s.splashWindow, s.splashDepth, s.splashVisual);
  Atom windowType = XInternAtom(d, "_NET_WM_WINDOW_TYPE", False);
  Atom splashType = XInternAtom(d, "_NET_WM_WINDOW_TYPE_SPLASH", False);
  XChangeProperty(d, s.splashWindow, windowType, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&splashType), 1);
  s.splashGC = XCreateGC(d, s.splashWindow, 0, nullptr);
  s.progressImage = makeTileImage(progressTile, MSG_NO_PROGRESS_IMAGE);
  s.progressIndefiniteImage = makeTileImage(progressIndefiniteTile, MSG_NO_INDEFINITE_IMAGE);
  s.trackImage = makeTileImage(trackTile, MSG_NO_TRACK_IMAGE);
  Colormap colormap = DefaultColormap(d, 0);
  XParseColor(d, colormap, FRAME_COLOR, &s.frameColor);
  XAllocColor(d, colormap, &s.frameColor);
}

void setSplashBuffer(int32_t pixels) { splashState.splashBuffer.store(pixels); }

int32_t getSplashBuffer() { return splashState.splashBuffer.load(); }

void configureSplash(const char* path, PictureOpener open) {
  SplashState& s = splashState;
  if (path == nullptr) path = "";
  printf(MSG_CONFIGURE, path);
  if (s.splashDisplay == nullptr) {
    puts(MSG_NO_DISPLAY);
    return;
  }
  if (!enterSplash()) return;
  pthread_mutex_lock(&s.splashMutex);
  s.splashImage = loadPngImage(path, &s.splashImageWidth, &s.splashImageHeight, open);
  SplashGeometry g = currentGeometry();
  XResizeWindow(s.splashDisplay, s.splashWindow, static_cast<unsigned>(g.width),
                static_cast<unsigned>(g.height));
  s.splashBackPixmap =
      XCreatePixmap(s.splashDisplay, s.splashWindow, static_cast<unsigned>(g.width),
                    static_cast<unsigned>(g.height), static_cast<unsigned>(s.splashDepth));
  printf(MSG_IMAGE_SIZE, s.splashImageWidth, s.splashImageHeight);
  setProgressLocked(PROGRESS_HIDDEN);
  pthread_mutex_unlock(&s.splashMutex);
  leaveSplash();
}

void showSplash() {
  SplashState& s = splashState;
  puts(MSG_SHOW);
  if (s.splashDisplay == nullptr || splashEnded.load()) return;
  XMapWindow(s.splashDisplay, s.splashWindow);
  XFlush(s.splashDisplay);
  puts(MSG_CREATING_THREAD);
  fflush(stdout);
  startThread(splashEventThread);
  startThread(splashAnimationThread);
}

void hideSplash() {
  SplashState& s = splashState;
  puts(MSG_HIDE);
  if (s.splashDisplay == nullptr || splashEnded.load()) return;
  XUnmapWindow(s.splashDisplay, s.splashWindow);
  XFlush(s.splashDisplay);
}

void setProgress(int32_t value) {
  if (splashState.splashDisplay == nullptr || !enterSplash()) return;
  pthread_mutex_lock(&splashState.splashMutex);
  setProgressLocked(value);
  pthread_mutex_unlock(&splashState.splashMutex);
  leaveSplash();
}

void paintSplash() {
  if (splashState.splashDisplay == nullptr) return;
  painterPaint();
}

void destroySplashMutex() {
  SplashState& s = splashState;
  if (s.splashDisplay == nullptr || destroyRequested.exchange(true)) return;
  pthread_mutex_lock(&s.splashMutex);
  s.paintersStopped = true;
  pthread_mutex_unlock(&s.splashMutex);
  splashEnded.store(true);
  for (int waited = 0; splashUsers.load() != 0; waited++) {
    // A paint stuck in Xlib longer than this keeps the mutex alive rather than
    // destroying it under its holder.
    if (waited >= DESTROY_WAIT_MS) return;
    sleepMillis(1);
  }
  pthread_mutex_destroy(&s.splashMutex);
}
