#include "tests/support/fake_pack200.h"

#include <cstring>

namespace {

constexpr unsigned char MASK = 0xA5;

std::string maskBytes(const char* data, size_t size) {
  std::string out(data, size);
  for (char& c : out) c = static_cast<char>(static_cast<unsigned char>(c) ^ MASK);
  return out;
}

}  // namespace

std::string fakePack200(const std::string& plain) {
  return FAKE_PACK200_MARKER + maskBytes(plain.data(), plain.size());
}

bool fakeUnpack200(const std::string& packed, std::string* plain) {
  const size_t markerSize = strlen(FAKE_PACK200_MARKER);
  if (packed.compare(0, markerSize, FAKE_PACK200_MARKER) != 0) return false;
  *plain = maskBytes(packed.data() + markerSize, packed.size() - markerSize);
  return true;
}
