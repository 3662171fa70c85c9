// The two markers that open the blocks of the wrapper tail. Neither is stored as one run
// of bytes in the executable (its own scan would find it there first): each is put
// together at run time from a masked table.
#pragma once

#include "launcher/run.h"

// Fills out with the PARAMS_MARKER_SIZE bytes of the Params marker.
void buildParamsMarker(unsigned char* out);
// A new buffer of TAIL_MARKER_SIZE bytes holding the Tail marker; the caller owns it.
unsigned char* buildTailMarker();
