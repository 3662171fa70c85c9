// The test seam of the wait limits: the variable only ever shortens a limit.
#include "core/wait_limits.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/scoped_env.h"

namespace {

TEST(WaitLimits, VariableOnlyEverShortensALimit) {
  struct Case {
    const char* value;  // null: unset
    int32_t limit;
    int32_t inForce;
  };
  const Case cases[] = {
      {nullptr, 60, 60}, {"2", 60, 2},     {"59", 60, 59},  {"60", 60, 60},
      {"600", 60, 60},   {"0", 60, 60},    {"-5", 60, 60},  {"abc", 60, 60},
      {"2x", 60, 60},    {"", 60, 60},     {"30", 600, 30}, {"99999999999999999999", 600, 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value == nullptr ? "unset" : c.value);
    std::unique_ptr<ScopedEnv> env;
    if (c.value != nullptr) env = std::make_unique<ScopedEnv>(WAIT_LIMIT_ENV, c.value);
    EXPECT_EQ(c.inForce, waitLimitSeconds(c.limit));
  }
}

}  // namespace
