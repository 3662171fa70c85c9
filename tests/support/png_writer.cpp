#include "tests/support/png_writer.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>

int pngChannels(int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB:
      return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return 4;
    default:
      return 1;
  }
}

namespace {

// Packs one row of samples into PNG's byte layout for the bit depth.
std::vector<png_byte> packRow(const PngPicture& p, uint32_t y) {
  size_t perRow = static_cast<size_t>(p.width) * pngChannels(p.colorType);
  const uint16_t* in = p.samples.data() + perRow * y;
  std::vector<png_byte> out;
  if (p.bitDepth == 16) {
    for (size_t i = 0; i < perRow; i++) {
      out.push_back(static_cast<png_byte>(in[i] >> 8));
      out.push_back(static_cast<png_byte>(in[i] & 0xFF));
    }
  } else if (p.bitDepth == 8) {
    for (size_t i = 0; i < perRow; i++) out.push_back(static_cast<png_byte>(in[i]));
  } else {
    out.assign((perRow * p.bitDepth + 7) / 8, 0);
    for (size_t i = 0; i < perRow; i++) {
      size_t bit = i * p.bitDepth;
      int shift = 8 - p.bitDepth - static_cast<int>(bit % 8);
      out[bit / 8] = static_cast<png_byte>(out[bit / 8] | (in[i] << shift));
    }
  }
  return out;
}

// Plain C data only in the frame that calls setjmp.
bool writeRows(FILE* file, const PngPicture& p, png_bytep* rows) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  png_color palette[256];
  png_color_16 transparent = {};
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, p.width, p.height, p.bitDepth, p.colorType,
               p.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (p.colorType == PNG_COLOR_TYPE_PALETTE) {
    int count = static_cast<int>(p.palette.size() > 256 ? 256 : p.palette.size());
    for (int i = 0; i < count; i++) {
      palette[i].red = static_cast<png_byte>(p.palette[i] >> 16);
      palette[i].green = static_cast<png_byte>(p.palette[i] >> 8);
      palette[i].blue = static_cast<png_byte>(p.palette[i]);
    }
    png_set_PLTE(png, info, palette, count);
    if (!p.paletteAlpha.empty()) {
      png_set_tRNS(png, info, p.paletteAlpha.data(), static_cast<int>(p.paletteAlpha.size()),
                   nullptr);
    }
  } else if (p.hasTransparentColor) {
    transparent.gray = p.transparentColor[0];
    transparent.red = p.transparentColor[0];
    transparent.green = p.transparentColor[1];
    transparent.blue = p.transparentColor[2];
    png_set_tRNS(png, info, nullptr, 0, &transparent);
  }
  png_set_rows(png, info, rows);
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool writePng(const std::string& path, const PngPicture& picture) {
  size_t expected =
      static_cast<size_t>(picture.width) * picture.height * pngChannels(picture.colorType);
  if (picture.samples.size() != expected) {
    fprintf(stderr, "writePng: %zu samples, %zu expected\n", picture.samples.size(), expected);
    return false;
  }
  std::vector<std::vector<png_byte>> packed;
  std::vector<png_bytep> rows;
  for (uint32_t y = 0; y < picture.height; y++) packed.push_back(packRow(picture, y));
  for (auto& row : packed) rows.push_back(row.data());
  FILE* file = fopen(path.c_str(), "wbe");
  if (file == nullptr) return false;
  bool ok = writeRows(file, picture, rows.data());
  ok = fclose(file) == 0 && ok;
  if (!ok) fprintf(stderr, "writePng: libpng refused %s\n", path.c_str());
  return ok;
}
