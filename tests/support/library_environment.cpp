// Compiled into every test executable: creates libMRC's error key once,
// before the first test, as the program does before its first library call.
// Without it the key is the zero default, a key gtest itself uses for its
// per-thread result reporter, and the first code a test stores overwrites it.
#include <gtest/gtest.h>
#include <gtest/gtest-spi.h>

#include "mrc/mrc.h"

namespace {
class MrcEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(mrc_init(), 0); }
    void TearDown() override { mrc_finish(); }
};
const ::testing::Environment *const mrc_env =
    ::testing::AddGlobalTestEnvironment(new MrcEnvironment);
}  // namespace

#ifdef KV_ENVIRONMENT_SUITE
// A stored error code must leave gtest able to report a failure.
TEST(KV_ENVIRONMENT_SUITE, FailureReportedAfterAnErrorCode)
{
    EXPECT_EQ(mrc_alloc_images(-1), nullptr);
    EXPECT_EQ(mrc_errno(), MRC_ENOMEM);
    EXPECT_NONFATAL_FAILURE(ADD_FAILURE() << "reported", "reported");
}
#endif
