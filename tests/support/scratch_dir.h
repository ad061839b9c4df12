// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
#ifndef KYVANE_TESTS_SUPPORT_SCRATCH_DIR_H
#define KYVANE_TESTS_SUPPORT_SCRATCH_DIR_H

#include <cstdlib>
#include <filesystem>
#include <string>

struct scratch_dir_t {
    std::string path;  // empty when no directory could be made
    scratch_dir_t()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kyvane-test-XXXXXX").string();
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

#endif
