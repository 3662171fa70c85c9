// gtest first: the X11 headers define None, which gtest uses as a name.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "splash/splash_tiles.h"

namespace {

uint32_t tileRgb(const BgrTile& tile, int column, int row) {
  const unsigned char* p = tile.pixels + row * bgrRowBytes(tile.width) + 3 * column;
  return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

int brightness(uint32_t rgb) { return (rgb >> 16 & 0xFF) + (rgb >> 8 & 0xFF) + (rgb & 0xFF); }

TEST(SplashTiles, StoredAsPaddedBgrRows) {
  struct Case {
    const char* name;
    const BgrTile* tile;
    int width, rowBytes;
  };
  const Case cases[] = {{"progress", &progressTile, 4, 12},
                        {"indefinite", &progressIndefiniteTile, 10, 32},
                        {"track", &trackTile, 4, 12}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.tile->width, c.width);
    EXPECT_EQ(c.tile->height, 18);
    EXPECT_EQ(bgrRowBytes(c.tile->width), c.rowBytes);
    for (int row = 0; row < c.tile->height; row++) {
      for (int pad = c.width * 3; pad < c.rowBytes; pad++) {
        EXPECT_EQ(c.tile->pixels[row * c.rowBytes + pad], 0) << row;
      }
    }
  }
  // Stored blue first: the first pixel of the fill tile, becdf5.
  EXPECT_EQ(progressTile.pixels[0], 0xf5);
  EXPECT_EQ(progressTile.pixels[1], 0xcd);
  EXPECT_EQ(progressTile.pixels[2], 0xbe);
}

TEST(SplashTiles, IndefiniteTileKeepsItsTellingRows) {
  const uint32_t rows[3][10] = {
      {0xbecdf5, 0xaabef2, 0x96aeef, 0x97afef, 0x95aeee, 0x95aeee, 0xa9bdf2, 0xbecdf5, 0xbdcdf5,
       0xbccbf5},
      {0x426ee1, 0x4e77e3, 0x6d8fe8, 0x7494e9, 0x6d8fe8, 0x7595e9, 0x6b8ee8, 0x4c76e3, 0x4a74e3,
       0x4873e2},
      {0x3c69e0, 0x3c69e0, 0x2f60df, 0x2457dd, 0x295bde, 0x2d5ede, 0x285add, 0x3867e0, 0x3c69e0,
       0x3967e0},
  };
  const int rowIndex[3] = {0, 8, 17};
  for (int i = 0; i < 3; i++) {
    for (int column = 0; column < 10; column++) {
      EXPECT_EQ(tileRgb(progressIndefiniteTile, column, rowIndex[i]), rows[i][column])
          << "row " << rowIndex[i] << " column " << column;
    }
  }
}

// Between the pale top and dark bottom rows each row has one light band about four
// columns wide, which goes one column to the left about every two rows, wrapping
// round so that tiles side by side continue each other's stripes.
TEST(SplashTiles, IndefiniteBandSlantsOneColumnPerTwoRows) {
  std::vector<int> centre;
  for (int row = 1; row <= 16; row++) {
    int lo = 1 << 30, hi = 0;
    for (int c = 0; c < 10; c++) {
      int b = brightness(tileRgb(progressIndefiniteTile, c, row));
      lo = std::min(lo, b);
      hi = std::max(hi, b);
    }
    ASSERT_GT(hi - lo, 30) << "row " << row << " has no band";
    // The band's columns, found from its start after a dark column (wraps round).
    int width = 0, start = -1;
    for (int c = 0; c < 10; c++) {
      bool light = brightness(tileRgb(progressIndefiniteTile, c, row)) * 2 > lo + hi;
      bool lightBefore =
          brightness(tileRgb(progressIndefiniteTile, (c + 9) % 10, row)) * 2 > lo + hi;
      if (light) width++;
      if (light && !lightBefore) {
        EXPECT_EQ(start, -1) << "row " << row << " has two bands";
        start = c;
      }
    }
    EXPECT_GE(width, 3) << row;
    EXPECT_LE(width, 6) << row;
    ASSERT_NE(start, -1) << row;
    centre.push_back(start);
  }
  int moved = 0;
  for (size_t i = 1; i < centre.size(); i++) {
    int step = (centre[i] - centre[i - 1] + 10) % 10;
    EXPECT_TRUE(step == 0 || step == 9) << "row " << i + 1 << " jumps by " << step;
    if (step == 9) moved++;
  }
  EXPECT_GE(moved, 6);
  EXPECT_LE(moved, 9);
}

// A client-side image of the depth, no display needed.
struct LocalImage {
  XImage image = {};
  std::vector<char> data;
  LocalImage(int width, int height, int depth, int bitsPerPixel) {
    image.width = width;
    image.height = height;
    image.format = ZPixmap;
    image.byte_order = LSBFirst;
    image.bitmap_unit = 32;
    image.bitmap_bit_order = LSBFirst;
    image.bitmap_pad = 32;
    image.depth = depth;
    image.bits_per_pixel = bitsPerPixel;
    image.bytes_per_line = (width * bitsPerPixel + 31) / 32 * 4;
    data.assign(static_cast<size_t>(image.bytes_per_line) * height, 0x5A);
    image.data = data.data();
  }
};

TEST(SplashTiles, FillImageConvertsPerDepth) {
  struct Case {
    int depth, bitsPerPixel;
    uint32_t (*expected)(uint32_t rgb);
  };
  const Case cases[] = {
      {24, 32, [](uint32_t rgb) { return 0xFF000000u | rgb; }},
      {32, 32, [](uint32_t rgb) { return 0xFF000000u | rgb; }},
      {16, 16,
       [](uint32_t rgb) {
         return ((rgb >> 19) & 0x1F) << 11 | ((rgb >> 10) & 0x3F) << 5 | ((rgb >> 3) & 0x1F);
       }},
      {8, 8, [](uint32_t) { return 0u; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.depth);
    LocalImage local(trackTile.width, trackTile.height, c.depth, c.bitsPerPixel);
    ASSERT_NE(XInitImage(&local.image), 0);
    fillImageFromBGR(&local.image, trackTile.pixels, c.depth);
    for (int y = 0; y < trackTile.height; y++) {
      for (int x = 0; x < trackTile.width; x++) {
        // Read the stored bytes: XGetPixel would mask a depth-24 pixel to 24 bits.
        const unsigned char* at = reinterpret_cast<const unsigned char*>(local.image.data) +
                                  y * local.image.bytes_per_line + x * c.bitsPerPixel / 8;
        uint32_t stored = 0;
        for (int i = c.bitsPerPixel / 8 - 1; i >= 0; i--) stored = stored << 8 | at[i];
        EXPECT_EQ(stored, c.expected(tileRgb(trackTile, x, y))) << x << "," << y;
      }
    }
  }
}

}  // namespace
