#include "splash/png_loader.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

XContext* xContext = nullptr;

namespace {

const char MSG_CANNOT_OPEN[] = "[HttpDownloader] Unable to open file for reading: %s\n";
const char MSG_NO_READ_STRUCT[] = "[HttpDownloader] Failed to create PNG read struct: %s\n";
const char MSG_NO_INFO_STRUCT[] = "[HttpDownloader] Failed to create PNG info struct: %s\n";
const char MSG_LOAD_FAILED[] = "[HttpDownloader] Failed to load PNG: %s\n";
const char MSG_RGB[] = "[HttpDownloader] RGB Image found";
const char MSG_RGB_ALPHA[] = "[HttpDownloader] RGB - ALPHA Image found";
const char MSG_NO_XIMAGE[] = "[HttpDownloader] Failed to create XImage for PNG: %s\n";
const char MSG_BYTE_ORDER[] = "Byte order is %d (LSB=%d)\n";

// Libpng leaves a row of 4 bytes per pixel; the row buffer is kept at 8 for headroom.
constexpr size_t ROW_BYTES_PER_PIXEL = 8;

// What a libpng error must be able to free: written before the error can strike and
// read after longjmp, so volatile.
struct PngLoad {
  XImage* volatile image;
  png_bytep volatile row;
};

int blendOverWhite(int channel, int alpha) {
  float a = alpha / 255.0f;
  float product = channel * a;
  return static_cast<int>(static_cast<double>(product) + (1.0 - static_cast<double>(a)) * 255.0);
}

// Sets every transformation that makes the rows 8-bit R, G, B, A.
void setTransformations(png_structp png, png_infop info, int bitDepth, int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_PALETTE:
      png_set_palette_to_rgb(png);
      if (bitDepth < 8) png_set_packing(png);
      break;
    case PNG_COLOR_TYPE_GRAY:
      png_set_gray_to_rgb(png);
      if (bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
      break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      png_set_gray_to_rgb(png);
      break;
    case PNG_COLOR_TYPE_RGB:
      puts(MSG_RGB);
      break;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      puts(MSG_RGB_ALPHA);
      break;
    default:
      break;
  }
  if (bitDepth == 16) png_set_strip_16(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_RGB ||
      colorType == PNG_COLOR_TYPE_PALETTE) {
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  }
  png_read_update_info(png, info);
}

void storePixel(XImage* image, int x, int y, int depth, const png_byte* rgba) {
  unsigned long r = rgba[0], g = rgba[1], b = rgba[2], a = rgba[3];
  unsigned long pixel;
  switch (depth) {
    case 32:
      pixel = (a << 24) | (r << 16) | (g << 8) | b;
      break;
    case 24:
      pixel = (static_cast<unsigned long>(blendOverWhite(r, a)) << 16) |
              (static_cast<unsigned long>(blendOverWhite(g, a)) << 8) |
              static_cast<unsigned long>(blendOverWhite(b, a));
      break;
    case 16:
      pixel = (static_cast<unsigned long>(blendOverWhite(r, a) >> 3) << 11) |
              (static_cast<unsigned long>(blendOverWhite(g, a) >> 2) << 5) |
              static_cast<unsigned long>(blendOverWhite(b, a) >> 3);
      break;
    default:
      return;  // other depths get no pixels
  }
  XPutPixel(image, x, y, pixel);
}

// Everything after the error return point; any libpng error, or png_error for a
// picture we refuse, lands back in loadPngImage's setjmp.
void readPicture(png_structp png, png_infop info, FILE* file, const char* path, uint32_t* width,
                 uint32_t* height, PngLoad* load) {
  png_init_io(png, file);
  png_read_info(png, info);
  png_uint_32 w = 0, h = 0;
  int bitDepth = 0, colorType = 0;
  png_get_IHDR(png, info, &w, &h, &bitDepth, &colorType, nullptr, nullptr, nullptr);
  *width = w;
  *height = h;
  // The cap keeps every size below (an int bytes-per-line, the data buffer) in range.
  if (w == 0 || h == 0 || w > PNG_MAX_DIMENSION || h > PNG_MAX_DIMENSION) {
    png_error(png, "picture too large");
  }
  setTransformations(png, info, bitDepth, colorType);

  size_t rowSize = ROW_BYTES_PER_PIXEL * w;
  if (png_get_rowbytes(png, info) > rowSize) png_error(png, "unexpected row size");
  load->row = static_cast<png_bytep>(malloc(rowSize));
  if (load->row == nullptr) png_error(png, "out of memory");

  if (xContext == nullptr) {
    printf(MSG_NO_XIMAGE, path);
    return;
  }
  XImage* image = XCreateImage(xContext->display, xContext->visual, xContext->depth, ZPixmap, 0,
                               nullptr, w, h, 32, 0);
  if (image == nullptr) {
    printf(MSG_NO_XIMAGE, path);
    return;
  }
  load->image = image;
  printf(MSG_BYTE_ORDER, image->byte_order, LSBFirst);
  size_t dataSize = 0;
  if (image->bytes_per_line <= 0 ||
      __builtin_mul_overflow(static_cast<size_t>(image->bytes_per_line), h, &dataSize)) {
    png_error(png, "picture too large");
  }
  image->data = static_cast<char*>(calloc(dataSize, 1));
  if (image->data == nullptr) png_error(png, "out of memory");

  png_bytep row = load->row;
  for (png_uint_32 y = 0; y < h; y++) {
    png_read_row(png, row, nullptr);
    for (png_uint_32 x = 0; x < w; x++) {
      storePixel(image, static_cast<int>(x), static_cast<int>(y), xContext->depth, row + 4 * x);
    }
  }
}

}  // namespace

int32_t initXContext(Display* display, Window window, int32_t depth, Visual* visual) {
  if (xContext == nullptr) {
    xContext = static_cast<XContext*>(calloc(1, sizeof(XContext)));
    if (xContext == nullptr) return 0;
  } else if (xContext->gc != nullptr) {
    XFreeGC(xContext->display, xContext->gc);
  }
  xContext->display = display;
  xContext->window = window;
  xContext->visual = visual;
  xContext->depth = depth;
  Pixmap pixmap = XCreatePixmap(display, window, 1, 1, static_cast<unsigned>(depth));
  xContext->gc = XCreateGC(display, pixmap, 0, nullptr);
  XFreePixmap(display, pixmap);
  return 1;
}

// The frame that calls setjmp holds only plain C values: a longjmp skips no destructor.
XImage* loadPngImage(const char* path, uint32_t* width, uint32_t* height, PictureOpener open) {
  FILE* file = open != nullptr ? open(path) : fopen(path, "rbe");
  if (file == nullptr) {
    printf(MSG_CANNOT_OPEN, path);
    return nullptr;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) {
    printf(MSG_NO_READ_STRUCT, path);
    fclose(file);
    return nullptr;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    printf(MSG_NO_INFO_STRUCT, path);
    png_destroy_read_struct(&png, nullptr, nullptr);
    fclose(file);
    return nullptr;
  }
  PngLoad load = {nullptr, nullptr};
  if (setjmp(png_jmpbuf(png))) {
    printf(MSG_LOAD_FAILED, path);
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(file);
    if (load.image != nullptr) XDestroyImage(load.image);  // frees its data too
    free(load.row);
    return nullptr;
  }
  readPicture(png, info, file, path, width, height, &load);
  png_destroy_read_struct(&png, &info, nullptr);
  fclose(file);
  free(load.row);
  return load.image;
}
