// The splash picture given on the command line in place of the one an install carries.
// Main thread only; a picture that cannot be written never ends the run.
#pragma once

#include <cstdint>

// With canOverride exactly "1": logs the authorisation and the dynamic picture's presence
// and size; a picture of at least one byte then replaces the file at path (written beside
// it and renamed over it, never through a link) and is opened as the layout has it (chmod777). A picture that cannot
// be written leaves the file at path as it was, with a line.
void overrideSplashImage(const char* canOverride, const unsigned char* image, uint64_t size,
                         const char* path);
