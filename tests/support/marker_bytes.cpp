#include "tests/support/marker_bytes.h"

#include <cstdlib>

namespace {

std::string fromHex(const char* hex) {
  std::string bytes;
  for (const char* p = hex; p[0] != 0 && p[1] != 0; p += 2) {
    const char pair[3] = {p[0], p[1], 0};
    bytes.push_back(static_cast<char>(strtoul(pair, nullptr, 16)));
  }
  return bytes;
}

}  // namespace

std::string paramsMarkerBytes() {
  return fromHex("59BDC952AA35ADBB10EFDE672C47E0B5D4821F8152A102442AEBAA7B793B9345AED2097A3E2F2EFAFF1DF09B197C15B81E6DC610417E5CED51B1191C3CE294D8");
}

std::string tailMarkerBytes() {
  return fromHex("1D432A505B7A1F642347212417323C50216C0466295C297B0B5B19332F4F0F4D2758182415394E792B7615593D574900112905652B1070665E2D406075433008614A747E401B533B5646371E4B2C725930443A3C2F44782B2665717139732523101451243170104A0D05572A060A53214D2C130036291A74472D1A552C2F4263");
}
