// Hexadecimal and Base64 text to bytes (keys, signatures, a splash picture handed over
// as a property). Free functions; the only state is the Base64 decode table, built
// once on first use (thread-safe). Nothing here ends the process, and no input makes
// them write past the buffers they are given or read past the text's end.
#pragma once

#include <cstdint>

// Converts hex text two characters at a time ("%2x" rules: leading blanks skipped, at
// most two characters per byte) into out, a buffer of max bytes (max >= 1). Stops at
// the first pair that is no number, at the text's end, or when only the final 0x00
// still fits (then a warning goes to standard output). out is always 0x00-ended.
// Returns the number of bytes converted.
int32_t HexToBytes(unsigned char* out, int32_t max, const char* text);

// Decodes length characters of Base64 text (standard alphabet, '=' as pad). The length
// must be a multiple of 4. Characters outside the alphabet decode as 0. Returns a new
// buffer of *outLength bytes owned by the caller, or NULL (logged).
unsigned char* Base64_decode(const char* text, uint64_t length, uint64_t* outLength);
void Base64_buildDecodeTable();
