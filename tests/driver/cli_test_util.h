#ifndef KYVANE_TESTS_DRIVER_CLI_TEST_UTIL_H
#define KYVANE_TESTS_DRIVER_CLI_TEST_UTIL_H

#include <fstream>
#include <string>

#include "tests/support/scratch_dir.h"

inline void write_text_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

#endif
