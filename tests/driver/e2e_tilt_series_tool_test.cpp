// The synthetic tilt-series generator of tools/: its angle list and its
// projections must describe the same geometry, or the reconstructions made
// from them cannot be judged against the phantom.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/driver/e2e_util.h"

namespace {

TEST(E2eTiltSeriesTool, AngleListHoldsTheAnglesOfTheProjections)
{
    const std::string tool =
        (std::filesystem::path(KYVANE_BINARY).parent_path() / "make_tilt_series").string();
    if (!std::filesystem::exists(tool))
        GTEST_SKIP() << "make_tilt_series is not built";
    scratch_dir_t dir;
    const std::string series = dir.file("s.mrc"), angles = dir.file("s.tlt");
    // Steps of 100/7 degrees are not short decimals.
    const int D = 32, rows = 3, N = 8, H = 16;
    const run_result_t r = run_binary(tool, {"-o", series, "-a", angles, "-d", std::to_string(D), "-r",
                                             std::to_string(rows), "-n", std::to_string(N), "-T", "50",
                                             "-z", std::to_string(H)});
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<float> listed;
    std::ifstream in(angles);
    for (std::string line; std::getline(in, line);)
        listed.push_back(std::strtof(line.c_str(), nullptr));
    ASSERT_EQ(listed.size(), (size_t)N);
    for (int a = 0; a < N; a++)
        EXPECT_EQ(listed[a], (float)(-50.0 + 100.0 * a / (N - 1))) << a;

    const e2e_volume_t v = e2e_read_volume(series);
    ASSERT_TRUE(v.ok);
    ASSERT_EQ(v.nx, D);
    ASSERT_EQ(v.ny, rows);
    ASSERT_EQ(v.nz, N);
    std::vector<float> expected((size_t)D * rows * N);
    phantom_tilt_series(phantom_volume_ellipsoids(D * 3 / 4, H, rows), rows, D, N, listed.data(),
                        expected.data());
    EXPECT_LT(e2e_relative_difference(expected, v.data), 1e-6);
}

}  // namespace
