#ifndef KYVANE_TESTS_DRIVER_CLI_TEST_UTIL_H
#define KYVANE_TESTS_DRIVER_CLI_TEST_UTIL_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
struct scratch_dir_t {
    std::string path;
    scratch_dir_t()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kyvane-cli-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            path = pattern;
    }
    ~scratch_dir_t()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    scratch_dir_t(const scratch_dir_t &) = delete;
    scratch_dir_t &operator=(const scratch_dir_t &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

inline void write_text_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

#endif
