// Whole-file reads for the tests: what a file holds, byte for byte.
#ifndef KYVANE_TESTS_SUPPORT_TEST_FILES_H
#define KYVANE_TESTS_SUPPORT_TEST_FILES_H

#include <fstream>
#include <iterator>
#include <string>

// The bytes of the file at path; empty when it cannot be read.
inline std::string read_whole_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#endif
