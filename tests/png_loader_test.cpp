// gtest first: the X11 headers define None, which gtest uses as a name.
#include <gtest/gtest.h>

#include "splash/png_loader.h"
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "splash/x11.h"
#include "tests/support/output_capture.h"
#include "tests/support/png_writer.h"
#include "tests/support/xvfb_server.h"

namespace {

// One Xvfb for the whole file: the loader only needs a display for XCreateImage.
class PngLoaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new XvfbServer();
    if (!server_->start(24)) {
      reason_ = server_->why();
      return;
    }
    display_ = XOpenDisplay(server_->display().c_str());
    if (display_ == nullptr) reason_ = "cannot connect to " + server_->display();
    char dir[] = "/tmp/hv-png-XXXXXX";
    if (mkdtemp(dir) != nullptr) dir_ = dir;
  }
  static void TearDownTestSuite() {
    if (display_ != nullptr) XCloseDisplay(display_);
    display_ = nullptr;
    delete server_;
    server_ = nullptr;
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  void SetUp() override {
    if (display_ == nullptr) GTEST_SKIP() << "no private X server: " << reason_;
    ASSERT_FALSE(dir_.empty());
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Loads with the XContext made for depth; stdout and stderr are captured.
  XImage* load(const std::string& file, int depth, uint32_t* w, uint32_t* h) {
    Window root = DefaultRootWindow(display_);
    initXContext(display_, root, depth, DefaultVisual(display_, DefaultScreen(display_)));
    capture_.start();
    XImage* image = loadPngImage(file.c_str(), w, h);
    capture_.stop();
    return image;
  }

  static XvfbServer* server_;
  static Display* display_;
  static std::string dir_;
  static std::string reason_;
  OutputCapture capture_;
};

XvfbServer* PngLoaderTest::server_ = nullptr;
Display* PngLoaderTest::display_ = nullptr;
std::string PngLoaderTest::dir_;
std::string PngLoaderTest::reason_;

uint32_t rgb565(uint32_t rgb) {
  return ((rgb >> 19) & 0x1F) << 11 | ((rgb >> 10) & 0x3F) << 5 | ((rgb >> 3) & 0x1F);
}

PngPicture samplesPicture(uint32_t width, uint32_t height, int colorType, int bitDepth,
                          std::vector<uint16_t> samples) {
  PngPicture p;
  p.width = width;
  p.height = height;
  p.colorType = colorType;
  p.bitDepth = bitDepth;
  p.samples = std::move(samples);
  return p;
}

PngPicture withPalette(PngPicture p, std::vector<uint32_t> palette,
                       std::vector<uint8_t> alpha = {}) {
  p.palette = std::move(palette);
  p.paletteAlpha = std::move(alpha);
  return p;
}

PngPicture withTransparent(PngPicture p, uint16_t r, uint16_t g = 0, uint16_t b = 0) {
  p.hasTransparentColor = true;
  p.transparentColor[0] = r;
  p.transparentColor[1] = g;
  p.transparentColor[2] = b;
  return p;
}

// Pixel x of row 0 as drawn at depth 24 (RRGGBB, alpha blended over white).
struct DecodeCase {
  const char* name;
  PngPicture picture;
  std::vector<uint32_t> row0;
  const char* typeLine;  // the colour-type line printed before the byte order, or ""
};

std::vector<DecodeCase> decodeCases() {
  return {
      {"rgb8_keeps_colours",
       samplesPicture(3, 1, 2, 8, {0x12, 0x34, 0x56, 0xFF, 0x00, 0x80, 0x01, 0xFE, 0x7F}),
       {0x123456, 0xFF0080, 0x01FE7F},
       "[HttpDownloader] RGB Image found\n"},
      {"rgb16_uses_high_bytes",
       samplesPicture(2, 1, 2, 16, {0x12FF, 0x3400, 0x56AA, 0xFFFF, 0x0101, 0x80FF}),
       {0x123456, 0xFF0180},
       "[HttpDownloader] RGB Image found\n"},
      {"rgb_trns_colour_becomes_white",
       withTransparent(samplesPicture(2, 1, 2, 8, {10, 20, 30, 10, 20, 31}), 10, 20, 30),
       {0xFFFFFF, 0x0A141F},
       "[HttpDownloader] RGB Image found\n"},
      {"rgba8_blends_over_white",
       // opaque colour, A=0, white A=1, white A=254, black A=128, black A=127
       samplesPicture(6, 1, 6, 8,
                      {0x12, 0x34, 0x56, 255, 0x12, 0x34, 0x56, 0,   255, 255, 255, 1,
                       255,  255,  255,  254, 0,    0,    0,    128, 0,   0,   0,   127}),
       {0x123456, 0xFFFFFF, 0xFEFEFE, 0xFEFEFE, 0x7E7E7E, 0x7F7F7F},
       "[HttpDownloader] RGB - ALPHA Image found\n"},
      {"rgba16_uses_high_bytes",
       samplesPicture(1, 1, 6, 16, {0x0000, 0x00FF, 0x0000, 0x80FF}),
       {0x7E7E7E},
       "[HttpDownloader] RGB - ALPHA Image found\n"},
      {"palette8_opaque",
       withPalette(samplesPicture(3, 1, 3, 8, {2, 0, 1}), {0x102030, 0xA0B0C0, 0x000000}),
       {0x000000, 0x102030, 0xA0B0C0},
       ""},
      {"palette1_packed",
       withPalette(samplesPicture(3, 1, 3, 1, {1, 0, 1}), {0x102030, 0xA0B0C0}),
       {0xA0B0C0, 0x102030, 0xA0B0C0},
       ""},
      {"palette2_packed",
       withPalette(samplesPicture(4, 1, 3, 2, {3, 2, 1, 0}),
                   {0x000001, 0x000002, 0x000003, 0x000004}),
       {0x000004, 0x000003, 0x000002, 0x000001},
       ""},
      {"palette4_packed",
       withPalette(samplesPicture(2, 1, 3, 4, {15, 1}),
                   {0, 0x010203, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFAFBFC}),
       {0xFAFBFC, 0x010203},
       ""},
      {"palette_trns_blends",
       // entry 0 fully transparent, 1 black at 128, 2 past the tRNS list: opaque
       withPalette(samplesPicture(3, 1, 3, 8, {0, 1, 2}), {0x102030, 0x000000, 0x405060}, {0, 128}),
       {0xFFFFFF, 0x7E7E7E, 0x405060},
       ""},
      {"gray1_expanded", samplesPicture(2, 1, 0, 1, {0, 1}), {0x000000, 0xFFFFFF}, ""},
      {"gray2_expanded",
       samplesPicture(4, 1, 0, 2, {0, 1, 2, 3}),
       {0x000000, 0x555555, 0xAAAAAA, 0xFFFFFF},
       ""},
      {"gray4_expanded", samplesPicture(2, 1, 0, 4, {7, 15}), {0x777777, 0xFFFFFF}, ""},
      {"gray8", samplesPicture(2, 1, 0, 8, {0x40, 0xC3}), {0x404040, 0xC3C3C3}, ""},
      {"gray16_uses_high_byte",
       samplesPicture(2, 1, 0, 16, {0x40FF, 0xC300}),
       {0x404040, 0xC3C3C3},
       ""},
      {"gray8_trns_becomes_white",
       withTransparent(samplesPicture(2, 1, 0, 8, {0x40, 0x41}), 0x40),
       {0xFFFFFF, 0x414141},
       ""},
      {"gray2_trns_becomes_white",
       withTransparent(samplesPicture(2, 1, 0, 2, {1, 2}), 1),
       {0xFFFFFF, 0xAAAAAA},
       ""},
      {"gray_alpha8", samplesPicture(2, 1, 4, 8, {0x40, 255, 0, 128}), {0x404040, 0x7E7E7E}, ""},
      {"gray_alpha16", samplesPicture(1, 1, 4, 16, {0x40FF, 0x0000}), {0xFFFFFF}, ""},
  };
}

TEST_F(PngLoaderTest, DecodesEveryColourTypeAtDepths24And16) {
  for (const DecodeCase& c : decodeCases()) {
    SCOPED_TRACE(c.name);
    std::string file = path(std::string(c.name) + ".png");
    ASSERT_TRUE(writePng(file, c.picture));
    for (int depth : {24, 16}) {
      SCOPED_TRACE(depth);
      uint32_t w = 0, h = 0;
      XImage* image = load(file, depth, &w, &h);
      ASSERT_NE(image, nullptr) << capture_.out() << capture_.err();
      EXPECT_EQ(w, c.picture.width);
      EXPECT_EQ(h, c.picture.height);
      EXPECT_EQ(image->width, static_cast<int>(c.picture.width));
      EXPECT_EQ(image->depth, depth);
      EXPECT_EQ(capture_.out(), std::string(c.typeLine) + "Byte order is 0 (LSB=0)\n");
      for (size_t x = 0; x < c.row0.size(); x++) {
        uint32_t expected = depth == 24 ? c.row0[x] : rgb565(c.row0[x]);
        EXPECT_EQ(XGetPixel(image, static_cast<int>(x), 0), expected) << "x=" << x;
      }
      XDestroyImage(image);
    }
  }
}

TEST_F(PngLoaderTest, Depth32PassesAlphaAndOtherDepthsStoreNothing) {
  PngPicture p =
      samplesPicture(3, 1, 6, 8, {0x12, 0x34, 0x56, 0x80, 255, 255, 255, 0, 1, 2, 3, 255});
  std::string file = path("alpha.png");
  ASSERT_TRUE(writePng(file, p));
  uint32_t w = 0, h = 0;
  XImage* image = load(file, 32, &w, &h);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(XGetPixel(image, 0, 0), 0x80123456u);
  EXPECT_EQ(XGetPixel(image, 1, 0), 0x00FFFFFFu);
  EXPECT_EQ(XGetPixel(image, 2, 0), 0xFF010203u);
  XDestroyImage(image);

  image = load(file, 8, &w, &h);
  ASSERT_NE(image, nullptr);
  for (int x = 0; x < 3; x++) EXPECT_EQ(XGetPixel(image, x, 0), 0u) << x;
  XDestroyImage(image);
}

TEST_F(PngLoaderTest, ReadsEveryRowOfATallerPicture) {
  PngPicture p = rgbaPicture(37, 23, [](uint32_t x, uint32_t y) {
    return (x * 7 & 0xFF) << 24 | (y * 11 & 0xFF) << 16 | ((x + y) & 0xFF) << 8 | 0xFF;
  });
  std::string file = path("tall.png");
  ASSERT_TRUE(writePng(file, p));
  uint32_t w = 0, h = 0;
  XImage* image = load(file, 24, &w, &h);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(w, 37u);
  EXPECT_EQ(h, 23u);
  for (uint32_t y = 0; y < 23; y++) {
    for (uint32_t x = 0; x < 37; x++) {
      uint32_t expected = (x * 7 & 0xFF) << 16 | (y * 11 & 0xFF) << 8 | ((x + y) & 0xFF);
      ASSERT_EQ(XGetPixel(image, static_cast<int>(x), static_cast<int>(y)), expected)
          << x << "," << y;
    }
  }
  XDestroyImage(image);
}

struct FailureCase {
  const char* name;
  // Makes the file; returns its path (may leave it missing).
  std::string (*make)(const std::string& dir);
  bool sizeWritten;  // the header was read, so width and height changed
  uint32_t width, height;
  const char* line;    // the loader's failure line, "%s" standing for the path
  bool libpngMessage;  // libpng reported on standard error
  bool reachedRows;    // got as far as the image, so the byte order line came first
};

std::string writeSized(const std::string& dir, const char* name, uint32_t w, uint32_t h) {
  PngPicture p =
      samplesPicture(w, h, 0, 8, std::vector<uint16_t>(static_cast<size_t>(w) * h, 0x80));
  std::string file = dir + "/" + name;
  return writePng(file, p) ? file : "";
}

std::string truncatedPicture(const std::string& dir) {
  std::string file = dir + "/truncated.png";
  PngPicture p =
      rgbaPicture(300, 40, [](uint32_t x, uint32_t y) { return (x * 2654435761u) ^ (y * 40503u); });
  if (!writePng(file, p)) return "";
  truncate(file.c_str(), static_cast<off_t>(std::filesystem::file_size(file) / 2));
  return file;
}

const FailureCase FAILURES[] = {
    {"missing_file", [](const std::string& dir) { return dir + "/absent.png"; }, false, 0, 0,
     "[HttpDownloader] Unable to open file for reading: %s\n", false, false},
    {"not_a_png",
     [](const std::string& dir) {
       std::string file = dir + "/text.png";
       std::ofstream(file) << "this is not a picture\n";
       return file;
     },
     false, 0, 0, "[HttpDownloader] Failed to load PNG: %s\n", true, false},
    {"truncated_rows", truncatedPicture, true, 300, 40, "[HttpDownloader] Failed to load PNG: %s\n",
     true, true},
    {"too_wide", [](const std::string& dir) { return writeSized(dir, "wide.png", 16385, 1); }, true,
     16385, 1, "[HttpDownloader] Failed to load PNG: %s\n", true, false},
    {"too_tall", [](const std::string& dir) { return writeSized(dir, "tall.png", 1, 16385); }, true,
     1, 16385, "[HttpDownloader] Failed to load PNG: %s\n", true, false},
};

TEST_F(PngLoaderTest, FailuresReturnNoPictureWithTheirLine) {
  for (const FailureCase& c : FAILURES) {
    SCOPED_TRACE(c.name);
    std::string file = c.make(dir_);
    ASSERT_FALSE(file.empty());
    uint32_t w = 77, h = 88;
    XImage* image = load(file, 24, &w, &h);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(w, c.sizeWritten ? c.width : 77u);
    EXPECT_EQ(h, c.sizeWritten ? c.height : 88u);
    std::string line = c.line;
    line.replace(line.find("%s"), 2, file);
    EXPECT_NE(capture_.out().find(line), std::string::npos) << capture_.out();
    EXPECT_EQ(capture_.out().find("Byte order is 0 (LSB=0)\n") != std::string::npos, c.reachedRows)
        << capture_.out();
    EXPECT_EQ(!capture_.err().empty(), c.libpngMessage) << capture_.err();
  }
}

TEST_F(PngLoaderTest, LargestAcceptedSideLoads) {
  std::string file = writeSized(dir_, "widest.png", PNG_MAX_DIMENSION, 1);
  ASSERT_FALSE(file.empty());
  uint32_t w = 0, h = 0;
  XImage* image = load(file, 24, &w, &h);
  ASSERT_NE(image, nullptr) << capture_.out();
  EXPECT_EQ(w, PNG_MAX_DIMENSION);
  EXPECT_EQ(XGetPixel(image, static_cast<int>(PNG_MAX_DIMENSION) - 1, 0), 0x808080u);
  XDestroyImage(image);
}

// Interlaced pictures are read without interlace handling: what they show is not
// settled, but the load must stay inside its buffers and give a picture of the size.
TEST_F(PngLoaderTest, InterlacedPictureLoadsSafely) {
  PngPicture p =
      rgbaPicture(33, 17, [](uint32_t x, uint32_t y) { return (x << 24) | (y << 16) | 0xFF; });
  p.interlaced = true;
  std::string file = path("interlaced.png");
  ASSERT_TRUE(writePng(file, p));
  uint32_t w = 0, h = 0;
  XImage* image = load(file, 24, &w, &h);
  EXPECT_EQ(w, 33u);
  EXPECT_EQ(h, 17u);
  if (image != nullptr) {
    EXPECT_EQ(image->width, 33);
    EXPECT_EQ(image->height, 17);
    XDestroyImage(image);
  }
}

}  // namespace
