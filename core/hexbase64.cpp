#include "core/hexbase64.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/log.h"

namespace {

const char base64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every byte value has an entry, so no input byte indexes outside the table; bytes
// outside the alphabet keep 0.
unsigned char base64DecodeTable[256];
std::once_flag base64TableOnce;

}  // namespace

int32_t HexToBytes(unsigned char* out, int32_t max, const char* text) {
  if (max < 1) return 0;
  const size_t length = strlen(text);
  int32_t count = 0;
  bool overflow = false;
  size_t pos = 0;
  while (pos < length) {
    // "%2x" skips leading white space without counting it, then reads at most two
    // characters. Converting a private copy of exactly those keeps the scan linear.
    size_t start = pos;
    while (start < length && isspace(static_cast<unsigned char>(text[start]))) ++start;
    char pair[3] = {0, 0, 0};
    for (size_t k = 0; k < 2 && start + k < length; ++k) pair[k] = text[start + k];
    unsigned int value = 0;
    if (sscanf(pair, "%2x", &value) != 1) break;
    if (count >= max - 1) {
      overflow = true;
      break;
    }
    out[count++] = static_cast<unsigned char>(value & 0xFF);
    pos += 2;
  }
  out[count] = 0;
  if (overflow) {
    printf("[Utils] ERROR - HexToBytes is writing too far! %d %d\n", count, max);
    fflush(stdout);
  }
  return count;
}

void Base64_buildDecodeTable() {
  std::call_once(base64TableOnce, [] {
    for (int i = 0; i < 64; ++i) {
      base64DecodeTable[static_cast<unsigned char>(base64Alphabet[i])] =
          static_cast<unsigned char>(i);
    }
  });
}

unsigned char* Base64_decode(const char* text, uint64_t length, uint64_t* outLength) {
  Base64_buildDecodeTable();
  if (length % 4 != 0) {
    logMessage("[Extractor] Base64 deconding failed as input_length is not aligned\n");
    return nullptr;
  }
  uint64_t size = length / 4 * 3;
  if (length > 0) {
    if (text[length - 1] == '=') --size;
    if (text[length - 2] == '=') --size;
  }
  *outLength = size;
  // malloc(0) may give NULL; an empty result is still a buffer.
  unsigned char* out = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
  if (out == nullptr) {
    logMessage("[Extractor] Base64 deconding failed as malloc failed to init %llu\n",
               static_cast<unsigned long long>(size));
    return nullptr;
  }
  auto value = [text](uint64_t i) -> uint32_t {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    return c == '=' ? 0 : base64DecodeTable[c];
  };
  uint64_t o = 0;
  for (uint64_t i = 0; i < length; i += 4) {
    const uint32_t triple =
        (value(i) << 18) | (value(i + 1) << 12) | (value(i + 2) << 6) | value(i + 3);
    if (o < size) out[o++] = static_cast<unsigned char>((triple >> 16) & 0xFF);
    if (o < size) out[o++] = static_cast<unsigned char>((triple >> 8) & 0xFF);
    if (o < size) out[o++] = static_cast<unsigned char>(triple & 0xFF);
  }
  return out;
}
