// Replays the inputs stored under tests/fuzz_regressions/<target>/ through the same fuzz
// target bodies the libFuzzer binaries run, each input in a child of its own: it must
// end as the reader ends a run (returned, or status 1 or 99 from a refused input), never
// by a signal, a hang or a sanitizer report.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "launcher/jvm_launch.h"
#include "tests/support/output_capture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/xvfb_server.h"

namespace fs = std::filesystem;

void PrintTo(const FuzzTarget& target, std::ostream* os) { *os << target.name; }

namespace {

constexpr int INPUT_DEADLINE_SECONDS = 60;

std::vector<fs::path> storedInputs(const std::string& target) {
  std::vector<fs::path> inputs;
  const fs::path folder = fs::path(HV_SOURCE_DIR) / "tests" / "fuzz_regressions" / target;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

class FuzzRegression : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzRegression, StoredInputsEndAsARunWould) {
  const FuzzTarget& target = GetParam();
  const std::vector<fs::path> inputs = storedInputs(target.name);
  if (inputs.empty()) GTEST_SKIP() << "no stored inputs for " << target.name;
  XvfbServer server;
  if (std::string(target.name) == "png") {
    if (!server.start(24)) GTEST_SKIP() << "no private X server: " << server.why();
    setenv(FUZZ_DISPLAY_ENV, server.display().c_str(), 1);
  }
  for (const fs::path& input : inputs) {
    SCOPED_TRACE(input.string());
    const std::string bytes = readFileBytes(input.string());
    ScratchDir scratch;
    const ChildRun child = runInChild(
        [&] {
          dup2(1, 2);  // sanitizer reports join the captured output
          setenv(FUZZ_SCRATCH_ENV, scratch.path().c_str(), 1);
          target.body(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
          return 0;
        },
        INPUT_DEADLINE_SECONDS);
    EXPECT_FALSE(child.timedOut);
    EXPECT_EQ(0, child.signal);
    EXPECT_TRUE(child.exitStatus == 0 || child.exitStatus == 1 ||
                child.exitStatus == EXIT_LAUNCH_PROPERTIES_UNWRITABLE)
        << "status " << child.exitStatus;
    EXPECT_EQ(std::string::npos, child.output.find("Sanitizer")) << child.output;
    EXPECT_EQ(std::string::npos, child.output.find("runtime error:")) << child.output;
  }
  unsetenv(FUZZ_DISPLAY_ENV);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzRegression, ::testing::ValuesIn(FUZZ_TARGETS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
