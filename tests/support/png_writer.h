// Test-side PNG writer: builds PNG files of any colour type, bit depth and
// transparency at test time, so the loader and splash tests need no binary fixtures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PngPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  int bitDepth = 8;
  int colorType = 6;  // PNG colour type: 0 gray, 2 RGB, 3 palette, 4 gray+alpha, 6 RGBA
  bool interlaced = false;
  // One value per sample, rows top first, channels in PNG order (palette: the index).
  std::vector<uint16_t> samples;
  std::vector<uint32_t> palette;             // RRGGBB entries for colour type 3
  std::vector<uint8_t> paletteAlpha;         // tRNS alpha per palette entry (colour type 3)
  bool hasTransparentColor = false;          // tRNS colour for types 0 and 2
  uint16_t transparentColor[3] = {0, 0, 0};  // gray in [0]; or red, green, blue
};

// Samples per pixel of a PNG colour type.
int pngChannels(int colorType);

// Writes the picture; false (with a line on standard error) when libpng refuses it.
bool writePng(const std::string& path, const PngPicture& picture);

// An 8-bit RGBA picture whose pixel (x, y) is rgba(x, y) as 0xRRGGBBAA.
template <typename F>
PngPicture rgbaPicture(uint32_t width, uint32_t height, F rgba) {
  PngPicture p;
  p.width = width;
  p.height = height;
  for (uint32_t y = 0; y < height; y++) {
    for (uint32_t x = 0; x < width; x++) {
      uint32_t v = rgba(x, y);
      p.samples.push_back(static_cast<uint16_t>(v >> 24));
      p.samples.push_back(static_cast<uint16_t>((v >> 16) & 0xFF));
      p.samples.push_back(static_cast<uint16_t>((v >> 8) & 0xFF));
      p.samples.push_back(static_cast<uint16_t>(v & 0xFF));
    }
  }
  return p;
}
