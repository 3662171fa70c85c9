// gtest first: the X11 headers define None, which gtest uses as a name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/fileops.h"
#include "tests/support/log_lines.h"

#include "splash/splash_window.h"
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "splash/splash_tiles.h"
#include "tests/support/isolated_run.h"
#include "tests/support/output_capture.h"
#include "tests/support/png_writer.h"
#include "tests/support/xvfb_server.h"

#if defined(__SANITIZE_THREAD__)
// Cases run in forked children that end with _exit, which skips the sanitizer's own
// exit status: make a race end the child at once instead.
extern "C" const char* __tsan_default_options() { return "halt_on_error=1"; }
#endif

namespace {

constexpr int PICTURE_W = 300;
constexpr int PICTURE_H = 40;
constexpr int STRIP = 18;

void sleepMillis(long millis) {
  timespec pause = {millis / 1000, (millis % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

uint32_t rgb565(uint32_t rgb) {
  return ((rgb >> 19) & 0x1F) << 11 | ((rgb >> 10) & 0x3F) << 5 | ((rgb >> 3) & 0x1F);
}

// Stands for the frame colour in expected pixels: the server's pixel for #D2D2D2, which
// is exact at depth 24 and the server's nearest colour at 16.
constexpr uint32_t FRAME = 0xFF000000;
uint32_t framePixel = 0;

// What a window pixel of an RRGGBB colour reads back as at the depth.
uint32_t shown(uint32_t rgb, int depth) {
  if (rgb == FRAME) return framePixel;
  return depth == 16 ? rgb565(rgb) : rgb & 0xFFFFFF;
}

// The frame pixel as the server allocates it, asked over the test's own connection.
void learnFramePixel(Display* test, int depth) {
  XColor color;
  Colormap colormap = DefaultColormap(test, 0);
  ASSERT_TRUE(XParseColor(test, colormap, "#D2D2D2", &color));
  ASSERT_TRUE(XAllocColor(test, colormap, &color));
  framePixel = static_cast<uint32_t>(color.pixel) & (depth == 16 ? 0xFFFF : 0xFFFFFF);
  if (depth == 24) {
    ASSERT_EQ(framePixel, 0xD2D2D2u);
  }
}

uint32_t tileRgb(const BgrTile& tile, int column, int row) {
  const unsigned char* p = tile.pixels + row * bgrRowBytes(tile.width) + 3 * column;
  return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

// The test picture: a known colour pattern, one half-transparent black pixel at (10, 10)
// and one fully transparent one at (11, 10).
uint32_t patternRgba(uint32_t x, uint32_t y) {
  if (x == 10 && y == 10) return 0x00000080;
  if (x == 11 && y == 10) return 0xFFFFFF00;
  return (x * 7 & 0xFF) << 24 | (y * 5 & 0xFF) << 16 | ((x + y) * 3 & 0xFF) << 8 | 0xFF;
}

uint32_t patternShownRgb(uint32_t x, uint32_t y) {
  if (x == 10 && y == 10) return 0x7E7E7E;  // 0 * a + (1 - a) * 255 with A = 128
  if (x == 11 && y == 10) return 0xFFFFFF;
  return patternRgba(x, y) >> 8;
}

// The splash window as the server holds it, read back over a connection of our own.
struct Shot {
  int width = 0, height = 0, depth = 0;
  std::vector<uint32_t> pixels;
  uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

Shot grab(Display* test, Window window) {
  XSync(splashState.splashDisplay, False);  // every paint request has been carried out
  Window root;
  int x, y;
  unsigned w, h, border, depth;
  XGetGeometry(test, window, &root, &x, &y, &w, &h, &border, &depth);
  Shot shot;
  shot.width = static_cast<int>(w);
  shot.height = static_cast<int>(h);
  shot.depth = static_cast<int>(depth);
  XImage* image = XGetImage(test, window, 0, 0, w, h, AllPlanes, ZPixmap);
  uint32_t mask = depth == 16 ? 0xFFFF : 0xFFFFFF;
  for (int row = 0; row < shot.height; row++) {
    for (int col = 0; col < shot.width; col++) {
      shot.pixels.push_back(static_cast<uint32_t>(XGetPixel(image, col, row)) & mask);
    }
  }
  XDestroyImage(image);
  return shot;
}

std::pair<int, int> windowSize(Display* test, Window window) {
  XSync(splashState.splashDisplay, False);
  Window root;
  int x, y;
  unsigned w, h, border, depth;
  XGetGeometry(test, window, &root, &x, &y, &w, &h, &border, &depth);
  return {static_cast<int>(w), static_cast<int>(h)};
}

// Compares a rectangle of the shot with expected(x, y) (RRGGBB); reports the first
// mismatch and how many there were.
template <typename F>
::testing::AssertionResult regionShows(const Shot& shot, int x0, int y0, int x1, int y1,
                                       F expected) {
  int bad = 0;
  std::ostringstream first;
  for (int y = y0; y < y1; y++) {
    for (int x = x0; x < x1; x++) {
      uint32_t want = shown(expected(x, y), shot.depth);
      if (shot.at(x, y) != want && bad++ == 0) {
        first << "at (" << x << ", " << y << ") 0x" << std::hex << shot.at(x, y) << " instead of 0x"
              << want;
      }
    }
  }
  if (bad == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << bad << " wrong pixels, first " << first.str();
}

// The strip of a percentage: fill columns [0, end), track columns [end, W).
::testing::AssertionResult percentageStrip(const Shot& shot, int top, int end) {
  return regionShows(shot, 0, top, shot.width, top + STRIP, [&](int x, int y) {
    return x < end ? tileRgb(progressTile, x % 3, y - top)
                   : tileRgb(trackTile, (x - end) % 3, y - top);
  });
}

// The indefinite strip at a phase: column x shows tile column (x - phase) mod 10.
::testing::AssertionResult indefiniteStrip(const Shot& shot, int top, int phase) {
  return regionShows(shot, 0, top, shot.width, top + STRIP, [&](int x, int y) {
    return tileRgb(progressIndefiniteTile, ((x - phase) % 10 + 10) % 10, y - top);
  });
}

bool onFrame(int x, int y, int width, int height) {
  return x == 0 || y == 0 || x == width - 1 || y == height - 1;
}

// One splash call and exactly what it must print.
struct PrintingCall {
  const char* name;
  void (*call)();
  std::string out, err;
};

void expectEachPrintsOnly(const std::vector<PrintingCall>& calls) {
  OutputCapture capture;
  for (const PrintingCall& c : calls) {
    SCOPED_TRACE(c.name);
    capture.start();
    c.call();
    capture.stop();
    EXPECT_EQ(capture.out(), c.out);
    EXPECT_EQ(capture.err(), c.err);
  }
}

int lockedOffset() {
  pthread_mutex_lock(&splashState.splashMutex);
  int offset = splashState.indefiniteOffset;
  pthread_mutex_unlock(&splashState.splashMutex);
  return offset;
}

// Waits (bounded) until the animation phase differs from `from`.
bool phaseMovesFrom(int from) {
  for (int waited = 0; waited < 20000; waited += 5) {
    if (lockedOffset() != from) return true;
    sleepMillis(5);
  }
  return false;
}

// A private X server of the parameter's depth and a folder for test pictures.
class SplashOnServer : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!server_.start(GetParam())) GTEST_SKIP() << "no private X server: " << server_.why();
    char dir[] = "/tmp/hv-splash-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    server_.stop();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  // In the child: points DISPLAY at the server, writes the test picture, runs init.
  void startSplash() {
    setenv("DISPLAY", server_.display().c_str(), 1);
    picture_ = dir_ + "/pattern.png";
    ASSERT_TRUE(writePng(picture_, rgbaPicture(PICTURE_W, PICTURE_H, patternRgba)));
    OutputCapture capture;
    capture.start();
    init();
    capture.stop();
    ASSERT_NE(splashState.splashDisplay, nullptr) << capture.err();
    EXPECT_EQ(capture.out(), "[Splash] init()\n[Splash] Connecting to display " +
                                 server_.display() + "\n[Splash] Initialising X connection...\n");
    EXPECT_EQ(capture.err(), "");
    test_ = XOpenDisplay(server_.display().c_str());
    ASSERT_NE(test_, nullptr);
    learnFramePixel(test_, GetParam());
  }

  // Maps the window over the test connection, so that no painter thread runs.
  void mapWindow() {
    XMapWindow(test_, splashState.splashWindow);
    XSync(test_, False);
  }

  std::string configure(const std::string& path, PictureOpener open = nullptr) {
    OutputCapture capture;
    capture.start();
    configureSplash(path.c_str(), open);
    capture.stop();
    return capture.out();
  }

  XvfbServer server_;
  std::string dir_;
  std::string picture_;
  Display* test_ = nullptr;
};

TEST_P(SplashOnServer, DrawsPictureFrameAndPercentageStrip) {
  std::string result = runIsolated([&] {
    ASSERT_NO_FATAL_FAILURE(startSplash());
    setSplashBuffer(0);
    EXPECT_EQ(configure(picture_), "[Splash] configureSplash with URL " + picture_ +
                                       "\n[HttpDownloader] RGB - ALPHA Image found\n"
                                       "Byte order is 0 (LSB=0)\n"
                                       "[Splash] Got image of size: 300 x 40\n");
    EXPECT_EQ(splashState.progressState, PROGRESS_HIDDEN);
    mapWindow();

    // The window manager reads the window type.
    Atom type = XInternAtom(test_, "_NET_WM_WINDOW_TYPE", False);
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    XGetWindowProperty(test_, splashState.splashWindow, type, 0, 1, False, XA_ATOM, &actual,
                       &format, &count, &after, &data);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(*reinterpret_cast<Atom*>(data),
              XInternAtom(test_, "_NET_WM_WINDOW_TYPE_SPLASH", False));
    XFree(data);

    setProgress(50);
    Shot shot = grab(test_, splashState.splashWindow);
    ASSERT_EQ(shot.width, PICTURE_W);
    ASSERT_EQ(shot.height, PICTURE_H + STRIP);
    // With b = 0 the frame covers the picture's outermost pixels.
    EXPECT_TRUE(regionShows(shot, 0, 0, PICTURE_W, PICTURE_H, [](int x, int y) {
      return onFrame(x, y, PICTURE_W, PICTURE_H + STRIP) ? FRAME : patternShownRgb(x, y);
    }));
    EXPECT_EQ(shot.at(10, 10), shown(0x7E7E7E, GetParam()));
    EXPECT_TRUE(percentageStrip(shot, PICTURE_H, 150));
    // A few colours of the tiles, as drawn: fill at columns 0 and 2, track at
    // the first track column.
    EXPECT_EQ(shot.at(0, PICTURE_H), shown(0xbecdf5, GetParam()));
    EXPECT_EQ(shot.at(2, PICTURE_H + 17), shown(0x103db4, GetParam()));
    EXPECT_EQ(shot.at(150, PICTURE_H + 1), shown(0x929292, GetParam()));
    EXPECT_EQ(shot.at(151, PICTURE_H + 17), shown(0x737373, GetParam()));

    struct StripCase {
      int value, state, fillEnd;  // fillEnd -1: the strip rows stay white
    };
    const StripCase cases[] = {
        {33, 33, 99}, {100, 100, 300}, {0, 0, 0},    {250, 100, 300},
        {-150, 0, 0}, {-50, -50, -1},  {-2, -2, -1}, {99, 99, 297},
    };
    for (const StripCase& c : cases) {
      SCOPED_TRACE(c.value);
      setProgress(c.value);
      EXPECT_EQ(splashState.progressState, c.state);
      shot = grab(test_, splashState.splashWindow);
      if (c.fillEnd >= 0) {
        EXPECT_TRUE(percentageStrip(shot, PICTURE_H, c.fillEnd));
      } else {
        EXPECT_TRUE(regionShows(shot, 0, PICTURE_H, PICTURE_W, PICTURE_H + STRIP, [](int x, int y) {
          return onFrame(x, y, PICTURE_W, PICTURE_H + STRIP) ? FRAME : 0xFFFFFFu;
        }));
      }
    }

    // Back to no strip: the window keeps its height, the frame outlines the
    // picture area and the strip rows stay white.
    setProgress(PROGRESS_HIDDEN);
    shot = grab(test_, splashState.splashWindow);
    ASSERT_EQ(shot.height, PICTURE_H + STRIP);
    EXPECT_TRUE(regionShows(shot, 0, 0, PICTURE_W, PICTURE_H + STRIP, [](int x, int y) {
      if (y >= PICTURE_H) return 0xFFFFFFu;
      return onFrame(x, y, PICTURE_W, PICTURE_H) ? FRAME : patternShownRgb(x, y);
    }));

    // With W = 250, 1 percent fills 2 columns.
    std::string narrow = dir_ + "/narrow.png";
    ASSERT_TRUE(writePng(narrow, rgbaPicture(250, 20, patternRgba)));
    configure(narrow);
    setProgress(1);
    shot = grab(test_, splashState.splashWindow);
    ASSERT_EQ(shot.width, 250);
    ASSERT_EQ(shot.height, 20 + STRIP);
    EXPECT_TRUE(percentageStrip(shot, 20, 2));
  });
  EXPECT_EQ(result, "");
}

TEST_P(SplashOnServer, BorderPlacesPictureAndStripesMoveOnePixelPerPaint) {
  std::string result = runIsolated([&] {
    ASSERT_NO_FATAL_FAILURE(startSplash());
    mapWindow();
    setSplashBuffer(5);
    EXPECT_EQ(getSplashBuffer(), 5);
    configure(picture_);
    const int w = PICTURE_W + 10, h = PICTURE_H + 10;
    Shot shot = grab(test_, splashState.splashWindow);
    ASSERT_EQ(shot.width, w);
    ASSERT_EQ(shot.height, h);
    // Frame, then 4 white columns and rows, then the picture from (5, 5).
    EXPECT_TRUE(regionShows(shot, 0, 0, w, h, [&](int x, int y) {
      if (onFrame(x, y, w, h)) return FRAME;
      if (x < 5 || y < 5 || x >= w - 5 || y >= h - 5) return 0xFFFFFFu;
      return patternShownRgb(x - 5, y - 5);
    }));

    // The first paint after PROGRESS_INDEFINITE draws phase 1: the first tile
    // starts at x = -9, so strip column 0 shows the tile's column 9.
    setProgress(PROGRESS_INDEFINITE);
    EXPECT_EQ(splashState.indefiniteOffset, 1);
    shot = grab(test_, splashState.splashWindow);
    ASSERT_EQ(shot.height, h + STRIP);
    EXPECT_TRUE(indefiniteStrip(shot, h, 1));
    EXPECT_EQ(shot.at(0, h), shown(tileRgb(progressIndefiniteTile, 9, 0), GetParam()));
    EXPECT_EQ(shot.at(0, h + 8), shown(0x4873e2, GetParam()));   // given row 8, column 9
    EXPECT_EQ(shot.at(1, h + 17), shown(0x3c69e0, GetParam()));  // given row 17, column 0

    // The same value again does not repaint; an explicit paint advances.
    setProgress(PROGRESS_INDEFINITE);
    EXPECT_EQ(splashState.indefiniteOffset, 1);
    paintSplash();
    EXPECT_EQ(splashState.indefiniteOffset, 2);
    EXPECT_TRUE(indefiniteStrip(grab(test_, splashState.splashWindow), h, 2));

    // Eleven phases; 10 and 0 draw the same.
    while (splashState.indefiniteOffset != 10) paintSplash();
    EXPECT_TRUE(indefiniteStrip(grab(test_, splashState.splashWindow), h, 10));
    paintSplash();
    EXPECT_EQ(splashState.indefiniteOffset, 0);
    EXPECT_TRUE(indefiniteStrip(grab(test_, splashState.splashWindow), h, 0));
  });
  EXPECT_EQ(result, "");
}

TEST_P(SplashOnServer, MissingPicturesAndDrawablesAreSkipped) {
  std::string result = runIsolated([&] {
    ASSERT_NO_FATAL_FAILURE(startSplash());
    mapWindow();
    // No back pixmap yet: the state changes, no X request is made (a request
    // on a missing drawable would end this child through Xlib's handler).
    setProgress(50);
    EXPECT_EQ(splashState.progressState, 50);
    paintSplash();
    XSync(splashState.splashDisplay, False);

    // A picture that does not open keeps the 100 x 100 size and shows white.
    std::string missing = dir_ + "/absent.png";
    EXPECT_EQ(configure(missing), "[Splash] configureSplash with URL " + missing +
                                      "\n[HttpDownloader] Unable to open file for reading: " +
                                      missing + "\n[Splash] Got image of size: 100 x 100\n");
    setProgress(50);
    Shot shot = grab(test_, splashState.splashWindow);
    ASSERT_EQ(shot.width, 100);
    ASSERT_EQ(shot.height, 100 + STRIP);
    EXPECT_TRUE(regionShows(shot, 0, 0, 100, 100, [](int x, int y) {
      return onFrame(x, y, 100, 100 + STRIP) ? FRAME : 0xFFFFFFu;
    }));
    EXPECT_TRUE(percentageStrip(shot, 100, 50));

    // A damaged picture sizes the window from its header and shows white.
    std::string damaged = dir_ + "/damaged.png";
    ASSERT_TRUE(writePng(damaged, rgbaPicture(120, 30, [](uint32_t x, uint32_t y) {
                           return (x * 2654435761u) ^ (y * 40503u);
                         })));
    truncate(damaged.c_str(), static_cast<off_t>(std::filesystem::file_size(damaged) / 2));
    configure(damaged);
    EXPECT_EQ(splashState.splashImage, nullptr);
    shot = grab(test_, splashState.splashWindow);
    ASSERT_EQ(shot.width, 120);
    ASSERT_EQ(shot.height, 30);
    EXPECT_TRUE(regionShows(shot, 0, 0, 120, 30, [](int x, int y) {
      return onFrame(x, y, 120, 30) ? FRAME : 0xFFFFFFu;
    }));

    // A refused oversized picture keeps its header size; a border far below
    // zero is clamped so the window keeps at least one row.
    std::string wide = dir_ + "/wide.png";
    PngPicture p = rgbaPicture(20000, 2, [](uint32_t, uint32_t) { return 0x102030FFu; });
    ASSERT_TRUE(writePng(wide, p));
    configure(wide);
    EXPECT_EQ(splashState.splashImage, nullptr);
    EXPECT_EQ(windowSize(test_, splashState.splashWindow), std::make_pair(20000, 2));
    setSplashBuffer(-1000);
    configure(picture_);
    EXPECT_EQ(windowSize(test_, splashState.splashWindow), std::make_pair(262, 2));
    setProgress(50);
    EXPECT_EQ(windowSize(test_, splashState.splashWindow), std::make_pair(262, 2 + STRIP));
    XSync(splashState.splashDisplay, False);

    // A FIFO at the picture's name, opened as the launcher opens the Quorvane's picture,
    // is a missing picture at once; a plain open would wait for a writer until the deadline.
    std::string fifo = dir_ + "/fifo.png";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
    const std::string fifoOut = configure(fifo, openRegularFileForReading);
    EXPECT_TRUE(hasLine(fifoOut, "[Utils] Not a regular file, treated as missing: " + fifo)) << fifoOut;
    EXPECT_EQ(splashState.splashImage, nullptr);
  });
  EXPECT_EQ(result, "");
}

INSTANTIATE_TEST_SUITE_P(Depths, SplashOnServer, ::testing::Values(24, 16),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "depth" + std::to_string(info.param);
                         });

// Painter threads of two shows against percentages from another thread, then the end.
TEST(SplashThreads, PaintersStopBeforeTheMutexIsDestroyed) {
  XvfbServer server;
  if (!server.start(24)) GTEST_SKIP() << "no private X server: " << server.why();
  char dir[] = "/tmp/hv-splash-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string picture = std::string(dir) + "/pattern.png";
  std::string result = runIsolated([&] {
    setenv("DISPLAY", server.display().c_str(), 1);
    ASSERT_TRUE(writePng(picture, rgbaPicture(PICTURE_W, PICTURE_H, patternRgba)));
    init();
    ASSERT_NE(splashState.splashDisplay, nullptr);
    configureSplash(picture.c_str());
    OutputCapture capture;
    capture.start();
    showSplash();
    capture.stop();
    EXPECT_EQ(capture.out(), "[Splash] showSplash()\n[Splash] Creating splash thread\n");
    showSplash();
    setProgress(PROGRESS_INDEFINITE);

    std::thread download([] {
      for (int i = 0; i <= 300; i++) setProgress(i % 101);
      setProgress(PROGRESS_INDEFINITE);
    });
    for (int i = 0; i < 50; i++) paintSplash();
    hideSplash();
    showSplash();
    download.join();
    EXPECT_TRUE(phaseMovesFrom(lockedOffset()));
    // Hidden, the painters go on painting.
    hideSplash();
    EXPECT_TRUE(phaseMovesFrom(lockedOffset()));

    destroySplashMutex();
    int offset = splashState.indefiniteOffset;
    sleepMillis(300);
    EXPECT_EQ(splashState.indefiniteOffset, offset) << "a painter still paints";

    // After the end every operation does nothing beyond its own line.
    expectEachPrintsOnly({
        {"setProgress", [] { setProgress(30); }, "", ""},
        {"paintSplash", [] { paintSplash(); }, "", ""},
        {"configureSplash", [] { configureSplash("x.png"); },
         "[Splash] configureSplash with URL x.png\n", ""},
        {"showSplash", [] { showSplash(); }, "[Splash] showSplash()\n", ""},
        {"hideSplash", [] { hideSplash(); }, "[Splash] hideSplash()\n", ""},
        {"destroySplashMutex", [] { destroySplashMutex(); }, "", ""},
        {"init", [] { init(); }, "[Splash] init()\n", ""},
    });
    EXPECT_EQ(splashState.progressState, PROGRESS_INDEFINITE);
    EXPECT_EQ(splashState.indefiniteOffset, offset);
  });
  EXPECT_EQ(result, "");
  server.stop();
  std::filesystem::remove_all(dir);
}

// Without a display every call prints only its own lines and the run goes on.
struct NoDisplayCase {
  const char* name;
  const char* display;  // nullptr: DISPLAY unset
  const char* shownName;
};

void PrintTo(const NoDisplayCase& c, std::ostream* os) { *os << c.name; }

class SplashWithoutDisplay : public ::testing::TestWithParam<NoDisplayCase> {};

TEST_P(SplashWithoutDisplay, EveryCallPrintsOnlyItsLines) {
  const NoDisplayCase& param = GetParam();
  std::string result = runIsolated([&] {
    if (param.display == nullptr) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", param.display, 1);
    }
    std::string connect = std::string("[Splash] Connecting to display ") + param.shownName + "\n";
    std::string cannot = std::string("[Splash] Can't open display ") + param.shownName + "\n";
    expectEachPrintsOnly({
        {"init", [] { init(); }, "[Splash] init()\n" + connect, cannot},
        {"setSplashBuffer", [] { setSplashBuffer(7); }, "", ""},
        {"configureSplash", [] { configureSplash("nativesplash.png"); },
         "[Splash] configureSplash with URL nativesplash.png\n[Splash] No active display.\n", ""},
        {"showSplash", [] { showSplash(); }, "[Splash] showSplash()\n", ""},
        {"setProgress", [] { setProgress(PROGRESS_INDEFINITE); }, "", ""},
        {"paintSplash", [] { paintSplash(); }, "", ""},
        {"hideSplash", [] { hideSplash(); }, "[Splash] hideSplash()\n", ""},
        {"destroySplashMutex", [] { destroySplashMutex(); }, "", ""},
        // A later init tries again.
        {"init again", [] { init(); }, "[Splash] init()\n" + connect, cannot},
    });
    EXPECT_EQ(splashState.splashDisplay, nullptr);
    EXPECT_EQ(getSplashBuffer(), 7);
    EXPECT_EQ(splashState.progressState, 0);
    EXPECT_EQ(splashState.splashImageWidth, 100u);
  });
  EXPECT_EQ(result, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, SplashWithoutDisplay,
                         ::testing::Values(NoDisplayCase{"unset", nullptr, ""},
                                           NoDisplayCase{"no_server", ":4999", ":4999"}),
                         [](const ::testing::TestParamInfo<NoDisplayCase>& info) {
                           return std::string(info.param.name);
                         });

struct GeometryCase {
  const char* name;
  uint32_t imageWidth, imageHeight;
  int32_t buffer;
  SplashGeometry expected;
};

TEST(SplashGeometryTest, BorderIsClampedToXLimits) {
  const GeometryCase cases[] = {
      {"plain", 300, 40, 0, {0, 300, 40, 18}},
      {"border", 300, 40, 5, {5, 310, 50, 18}},
      {"negative_border_shrinks", 300, 40, -10, {-10, 280, 20, 18}},
      {"negative_border_keeps_one_row", 300, 40, -1000, {-19, 262, 2, 18}},
      {"odd_side_keeps_one_row", 300, 41, -1000, {-20, 260, 1, 18}},
      {"huge_border_keeps_width_inside", 300, 40, 2000000000, {32617, 65534, 65274, 18}},
      {"huge_border_keeps_strip_inside", 40, 300, 2000000000, {32608, 65256, 65516, 18}},
      {"most_negative_border", 300, 40, INT32_MIN, {-19, 262, 2, 18}},
      {"picture_past_limit", 70000, 10, 0, {-2233, 65534, 1, 18}},
      {"zero_sized_picture", 0, 0, -5, {0, 1, 1, 18}},
  };
  for (const GeometryCase& c : cases) {
    SCOPED_TRACE(c.name);
    SplashGeometry g = splashGeometry(c.imageWidth, c.imageHeight, c.buffer, STRIP);
    EXPECT_EQ(g.border, c.expected.border);
    EXPECT_EQ(g.width, c.expected.width);
    EXPECT_EQ(g.height, c.expected.height);
    EXPECT_EQ(g.strip, c.expected.strip);
    EXPECT_GE(g.width, 1);
    EXPECT_LE(g.width, SPLASH_MAX_SIDE);
    EXPECT_GE(g.height, 1);
    EXPECT_LE(g.height + g.strip, SPLASH_MAX_SIDE);
  }
}

}  // namespace
