// The two wrapper-tail markers as the packaging side writes them, kept apart from the
// launcher's own code so that tests check it against an independent copy.
#pragma once

#include <string>

std::string paramsMarkerBytes();  // 64 bytes
std::string tailMarkerBytes();    // 128 bytes, two of them 0x00
