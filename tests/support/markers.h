// The two wrapper-tail markers, for the test-side packer and for tests that look for
// them. They are kept masked in this library and unmasked on each call, so that no
// file built from it holds a marker as one run of bytes unless it packs one on purpose.
// Thread-safe; each call returns a fresh copy.
#pragma once

#include <string>

namespace hvpack {

constexpr size_t PARAMS_MARKER_SIZE = 64;
constexpr size_t TAIL_MARKER_SIZE = 128;

// The 64 bytes that open the Params block.
std::string paramsMarker();
// The 128 bytes that open the Tail block (two of them are 0x00).
std::string tailMarker();

}  // namespace hvpack
