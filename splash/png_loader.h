// Reads a PNG file with libpng into a ZPixmap XImage of the splash window's visual and
// depth. Every colour type and bit depth arrives as 8-bit RGBA; at depths 24 and 16
// alpha is blended over white, at depth 32 it is passed on. Messages go straight to
// standard output, libpng's own to standard error. Not thread-safe: the splash calls
// it under its own lock. The returned image and its data belong to the caller.
#pragma once

#include <cstdint>
#include <cstdio>

#include "splash/x11.h"

// The display, window, visual and depth that pictures are made for.
struct XContext {
  Display* display;
  Window window;
  Visual* visual;
  int32_t depth;
  GC gc;  // made on a 1 x 1 pixmap of depth
};

// The one context, made by initXContext and kept until the process ends.
extern XContext* xContext;

// Largest picture side accepted; larger pictures are refused like a damaged file.
constexpr uint32_t PNG_MAX_DIMENSION = 16384;

// Fills xContext (made on first use, reused afterwards) and returns 1.
int32_t initXContext(Display* display, Window window, int32_t depth, Visual* visual);

// Opens a picture file for reading; NULL when it cannot be opened.
using PictureOpener = FILE* (*)(const char* path);

// Loads the PNG at path, opened with open (fopen for reading when none is given), or
// returns nullptr. width and height receive the size from the PNG header as soon as it
// is read (so also on a later failure); they stay as they were when the file cannot be
// opened.
XImage* loadPngImage(const char* path, uint32_t* width, uint32_t* height,
                     PictureOpener open = nullptr);
