// Creates libMRC's error key once for the whole test executable.
#include <gtest/gtest.h>

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
