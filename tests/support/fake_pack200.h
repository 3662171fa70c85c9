// The stand-in for pack200 used by the test runtime: a packed file is a marker line
// followed by the original bytes, each XORed with one constant, so packing is exact,
// reversible and keeps the length plus the marker. The test packer packs with
// fakePack200 and the runtime's bin/unpack200 (the fake_unpack200 tool) restores.
#pragma once

#include <string>

// Marks a packed file; anything else is refused by the unpacker.
inline constexpr char FAKE_PACK200_MARKER[] = "HV-FAKE-PACK200\n";

std::string fakePack200(const std::string& plain);
// false (plain untouched) when packed does not start with the marker.
bool fakeUnpack200(const std::string& packed, std::string* plain);
