#include "core/hexbase64.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct HexCase {
  const char* name;
  const char* text;
  int32_t max;
  std::vector<unsigned char> bytes;  // converted bytes, the 0x00 after them not included
  bool warns;
};

class HexToBytesTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexToBytesTest, ConvertsPairsAndEndsWithZero) {
  const HexCase& c = GetParam();
  // Guard bytes after max show any write past the buffer.
  std::vector<unsigned char> out(static_cast<size_t>(c.max) + 8, 0xEE);
  testing::internal::CaptureStdout();
  const int32_t n = HexToBytes(out.data(), c.max, c.text);
  const std::string printed = testing::internal::GetCapturedStdout();
  ASSERT_EQ(static_cast<int32_t>(c.bytes.size()), n);
  for (size_t i = 0; i < c.bytes.size(); ++i) EXPECT_EQ(c.bytes[i], out[i]) << i;
  EXPECT_EQ(0, out[c.bytes.size()]);
  for (size_t i = static_cast<size_t>(c.max); i < out.size(); ++i) EXPECT_EQ(0xEE, out[i]);
  if (c.warns) {
    const std::string expected = "[Utils] ERROR - HexToBytes is writing too far! " +
                                 std::to_string(n) + " " + std::to_string(c.max) + "\n";
    EXPECT_EQ(expected, printed);
  } else {
    EXPECT_EQ("", printed);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexToBytesTest,
    ::testing::Values(
        HexCase{"MixedCase", "0A1b", 4, {0x0A, 0x1B}, false},
        HexCase{"OddLengthLastDigitAlone", "abc", 3, {0xAB, 0x0C}, false},
        HexCase{"PairWithOneDigitStillStepsTwo", "1g23", 4, {0x01, 0x23}, false},
        HexCase{"NoDigitStopsAtOnce", "zz12", 4, {}, false},
        HexCase{"TooLongCutsAndWarns", "010203", 3, {0x01, 0x02}, true},
        HexCase{"MaxOneHoldsOnlyTheZero", "ff", 1, {}, true},
        HexCase{"EmptyText", "", 1, {}, false},
        HexCase{"LeadingBlankSkippedLikeScanf", " 1ff", 4, {0x1F, 0xFF}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HexToBytes, ReadsNothingAfterTheText) {
  // The odd last digit sits at the very end of an exactly sized heap block: ASan
  // reports any read past the 0x00.
  char* text = static_cast<char*>(malloc(4));
  memcpy(text, "abc", 4);
  unsigned char out[4];
  EXPECT_EQ(2, HexToBytes(out, 4, text));
  free(text);
}

struct Base64Case {
  const char* name;
  std::string text;
  std::string bytes;
};

class Base64DecodeTest : public ::testing::TestWithParam<Base64Case> {};

TEST_P(Base64DecodeTest, Decodes) {
  const Base64Case& c = GetParam();
  uint64_t outLength = 12345;
  unsigned char* out = Base64_decode(c.text.data(), c.text.size(), &outLength);
  ASSERT_NE(nullptr, out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), outLength), c.bytes);
  free(out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Base64DecodeTest,
    ::testing::Values(
        Base64Case{"ThreeBytes", "TWFu", "Man"},
        Base64Case{"OnePad", "TWE=", "Ma"},
        Base64Case{"TwoPads", "TQ==", "M"},
        Base64Case{"Empty", "", ""},
        Base64Case{"TwoBlocks", "TWFuTWFu", "ManMan"},
        // '=' second to last shortens by one even when the last character is not '='.
        Base64Case{"PadSecondToLastOnly", "TW=u", "M\x60"},
        // An early '=' is the value 0 and shortens nothing.
        Base64Case{"EarlyPadIsZero", "=WFuTWFu", std::string("\x01\x61\x6eMan", 6)},
        // Outside the alphabet, also bytes of 0x80 and above: value 0.
        Base64Case{"HighBytesDecodeToZero", "\x80\xff\xc3\xa9", std::string(3, '\0')},
        Base64Case{"BlankDecodesToZero", "TW u", "M\x60\x2e"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Base64Decode, UnalignedLengthIsRefused) {
  uint64_t outLength = 777;
  testing::internal::CaptureStdout();
  EXPECT_EQ(nullptr, Base64_decode("TWF", 3, &outLength));
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos,
            printed.find("[Extractor] Base64 deconding failed as input_length is not aligned\n"));
  EXPECT_EQ(777u, outLength);
}

}  // namespace
