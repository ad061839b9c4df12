// The fixture of the end-to-end failure tests: a small float series and its
// angle list in a scratch directory, and the arguments of a run on them.
#ifndef KYVANE_TESTS_DRIVER_E2E_FAILURES_FIXTURE_H
#define KYVANE_TESTS_DRIVER_E2E_FAILURES_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/driver/e2e_util.h"

class E2eFailures : public ::testing::Test {
protected:
    scratch_dir_t dir;
    e2e_series_t series = e2e_make_series(64, 8, 61, 32);
    std::string ts = dir.file("series.mrc"), tlt = dir.file("series.tlt");

    void SetUp() override { e2e_write_series(series, ts, tlt); }

    std::vector<std::string> args(const std::string &output, std::vector<std::string> extra = {})
    {
        std::vector<std::string> a = {"-a", tlt, "-i", ts, "-o", output};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
};

#endif
