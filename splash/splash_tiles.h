// The three small pictures compiled into the splash for its progress strip, and their
// conversion into an XImage. Tiles are constant data, safe to read from any thread;
// fillImageFromBGR writes only into the image it is given.
#pragma once

#include <cstdint>

#include "splash/x11.h"

// Pixel rows top first, 3 bytes per pixel (blue, green, red), each row filled up with
// zero bytes to a multiple of 4 bytes.
struct BgrTile {
  int32_t width;
  int32_t height;
  const unsigned char* pixels;
};

extern const BgrTile progressTile;            // 4 x 18, the fill of a percentage
extern const BgrTile progressIndefiniteTile;  // 10 x 18, the moving stripes
extern const BgrTile trackTile;               // 4 x 18, the track after the fill

// Bytes of one stored row of a tile of the given width.
int32_t bgrRowBytes(int32_t width);

// Stores every tile pixel into image (whose width and height give the tile's) with
// XPutPixel: 0xFF<<24 | R<<16 | G<<8 | B at depths 24 and 32, RGB565 at 16, 0 otherwise.
void fillImageFromBGR(XImage* image, const unsigned char* pixels, int32_t depth);
