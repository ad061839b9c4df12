// Clamp and scale families.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <vector>

#include "kernels/elementwise.h"
#include "kernels/kernel_slots.h"
#include "tests/kernels/kernel_layout_util.h"

using namespace layout_test;

namespace {

bool negative_zero(float v) { return v == 0.0f && signbit(v); }

TEST(ClampTest, NegativesBecomeZeroAndNaNDependsOnVariant)
{
    struct variant_t {
        constrain_fn_t fn;
        int L;
        bool nan_kept;
    };
    const variant_t variants[] = {{slice_constrain_scalar, 1, true},
                                  {slice_constrain_sse, 4, false},
                                  {slice_constrain_avx, 8, false}};
    const float input[] = {-5.0f, 3.0f, -0.0f, NAN, -1e-30f, 0.0f, INFINITY, -INFINITY};
    for (const variant_t &v : variants) {
        SCOPED_TRACE(v.L);
        record r(v.L, 16 / v.L, 2);  // 32 floats
        for (int i = 0; i < 32; i++) r.floats()[i] = input[i % 8];
        v.fn(&r.rec);
        for (int i = 0; i < 32; i++) {
            const float got = r.floats()[i];
            switch (i % 8) {
            case 0: EXPECT_EQ(got, 0.0f); EXPECT_FALSE(signbit(got)); break;
            case 1: EXPECT_EQ(got, 3.0f); break;
            case 2: EXPECT_TRUE(negative_zero(got)); break;
            case 3:
                if (v.nan_kept) EXPECT_TRUE(isnan(got));
                else { EXPECT_EQ(got, 0.0f); EXPECT_FALSE(signbit(got)); }
                break;
            case 4: EXPECT_EQ(got, 0.0f); break;
            case 5: EXPECT_EQ(got, 0.0f); break;
            case 6: EXPECT_EQ(got, INFINITY); break;
            case 7: EXPECT_EQ(got, 0.0f); break;
            }
        }
    }
}

// 1/n in single precision times x is not always x/n: 0.3f/3 differs from
// 0.3f * (1.0f/3) in the last bit, which tells the two apart.
TEST(ScaleTest, MultipliesByTheSinglePrecisionReciprocal)
{
    const float x = 0.3f;
    ASSERT_NE(x / 3.0f, x * (1.0f / 3.0f));
    for (scale_fn_t fn : {image_scale_scalar, image_scale_sse, image_scale_avx}) {
        record r(8, 3, 2, 2);  // 96 floats, 32-byte aligned
        for (int64_t i = 0; i < r.count(); i++) r.floats()[i] = x + (float)i;
        fn(&r.rec, 3);
        for (int64_t i = 0; i < r.count(); i++)
            ASSERT_EQ(r.floats()[i], (x + (float)i) * (1.0f / 3.0f)) << i;
        std::vector<float> before(r.floats(), r.floats() + r.count());
        fn(&r.rec, 1);
        EXPECT_EQ(0, memcmp(before.data(), r.floats(), before.size() * sizeof(float)));
    }
}

// A count that is not a whole number of vectors is finished element by
// element and nothing past the record is touched.
TEST(ElementwiseTest, VectorMembersStopAtTheEndOfAShortRecord)
{
    record r(1, 13, 1);
    for (int i = 0; i < 13; i++) r.floats()[i] = -1.0f - i;
    slice_constrain_avx(&r.rec);
    for (int i = 0; i < 13; i++) EXPECT_EQ(r.floats()[i], 0.0f);
    for (int i = 0; i < 13; i++) r.floats()[i] = 2.0f;
    image_scale_avx(&r.rec, 4);
    for (int i = 0; i < 13; i++) EXPECT_EQ(r.floats()[i], 0.5f);
}

}  // namespace
