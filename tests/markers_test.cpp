#include "launcher/markers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "tests/support/markers.h"
#include "tests/support/scratch_dir.h"

namespace {

TEST(Markers, MadeAtRunTimeAndAbsentFromTheImage) {
  unsigned char params[PARAMS_MARKER_SIZE];
  buildParamsMarker(params);
  unsigned char* tail = buildTailMarker();
  EXPECT_EQ(hvpack::paramsMarker(), std::string(reinterpret_cast<char*>(params), PARAMS_MARKER_SIZE));
  EXPECT_EQ(hvpack::tailMarker(), std::string(reinterpret_cast<char*>(tail), TAIL_MARKER_SIZE));
  free(tail);
  // The scan for a block starts at the file's first byte: the executable image itself
  // must not hold a marker.
  const std::string image = readFileBytes(HV_LAUNCHER_PATH);
  ASSERT_GT(image.size(), 10000u);
  EXPECT_EQ(std::string::npos, image.find(hvpack::paramsMarker()));
  EXPECT_EQ(std::string::npos, image.find(hvpack::tailMarker()));
}

}  // namespace
