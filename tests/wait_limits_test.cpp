// The test seam of the wait limits: the variable only ever shortens a limit, and a run as
// root never reads it.
#include "core/wait_limits.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "tests/support/output_capture.h"
#include "tests/support/scoped_env.h"

namespace {

constexpr uid_t ORDINARY_UID = 47231;

struct Case {
  const char* value;  // null: unset
  int32_t limit;
  int32_t inForce;    // for an ordinary user
};

const Case CASES[] = {
    {nullptr, 60, 60}, {"2", 60, 2},     {"59", 60, 59},  {"60", 60, 60},
    {"600", 60, 60},   {"0", 60, 60},    {"-5", 60, 60},  {"abc", 60, 60},
    {"2x", 60, 60},    {"", 60, 60},     {"30", 600, 30}, {"99999999999999999999", 600, 600},
};

enum class Source { VariableAsOrdinaryUser, VariableAsRoot, TestSeamAsRoot };

// Each case in a child of its own, so the user id and the seam stay there.
void expectCases(Source source) {
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.value == nullptr ? "unset" : c.value);
    const int32_t expected = source == Source::VariableAsRoot ? c.limit : c.inForce;
    const ChildRun run = runInChild(
        [&] {
          if (source == Source::VariableAsOrdinaryUser && setuid(ORDINARY_UID) != 0) return 2;
          std::unique_ptr<ScopedEnv> env;
          if (source == Source::TestSeamAsRoot) {
            setWaitLimitForTests(c.value);
          } else if (c.value != nullptr) {
            env = std::make_unique<ScopedEnv>(WAIT_LIMIT_ENV, c.value);
          }
          return waitLimitSeconds(c.limit) == expected ? 0 : 3;
        },
        10);
    EXPECT_EQ(0, run.exitStatus) << run.output;
  }
}

TEST(WaitLimits, VariableOnlyEverShortensALimit) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as an ordinary user";
  expectCases(Source::VariableAsOrdinaryUser);
}

// gksudo -k and beesu -m keep the caller's environment for the run as root.
TEST(WaitLimits, VariableIsIgnoredWhenTheEffectiveUserIsRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  expectCases(Source::VariableAsRoot);
}

TEST(WaitLimits, TestSeamShortensLikeTheVariableForRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  expectCases(Source::TestSeamAsRoot);
}

}  // namespace
