// Small helpers for the libMRC tests: scratch directories and hand-built
// MRC files (tests/support), so every test controls each header byte it
// depends on.
#ifndef KYVANE_TESTS_MRC_MRC_TEST_UTIL_H
#define KYVANE_TESTS_MRC_MRC_TEST_UTIL_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mrc/mrc.h"
#include "tests/support/mrc_test_file.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_files.h"

namespace mrc_test {


// Writes an nx x ny x nz file whose voxel (x, y, z) holds f(x, y, z).
template <class F>
std::vector<double> write_volume(const std::string &path, int nx, int ny, int nz, int mode,
                                 F f, bool swap = false, const std::string &ext = "")
{
    std::vector<double> vals;
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) vals.push_back(f(x, y, z));
    const mrc_raw_header_t h = mrc_raw_header(nx, ny, nz, mode, (int)ext.size());
    mrc_raw_write(path, mrc_raw_file(h, ext, mrc_raw_voxels(mode, vals), swap));
    return vals;
}

}  // namespace mrc_test

#endif
