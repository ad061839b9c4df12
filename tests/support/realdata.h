// Real files written by other programs. They live outside the repository,
// in ../shared/realdata beside the source tree, or wherever
// KYVANE_REALDATA_DIR points. Tests that read them start with
// KV_REQUIRE_REALDATA(path).
#ifndef KYVANE_TESTS_SUPPORT_REALDATA_H
#define KYVANE_TESTS_SUPPORT_REALDATA_H

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

inline std::string realdata_dir()
{
    const char *dir = std::getenv("KYVANE_REALDATA_DIR");
    if (dir != nullptr && *dir != '\0')
        return dir;
    return std::string(KYVANE_SOURCE_DIR) + "/../shared/realdata";
}

// CI (CI=true) must not pass on a machine where the files are missing.
inline bool realdata_required()
{
    const char *ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0' && std::strcmp(ci, "false") != 0 && std::strcmp(ci, "0") != 0;
}

// Fails the test in CI when path is absent; elsewhere skips it, saying why.
#define KV_REQUIRE_REALDATA(path)                                                                       \
    do {                                                                                                \
        const std::string kv_realdata_path_ = (path);                                                   \
        if (!std::filesystem::exists(kv_realdata_path_)) {                                              \
            if (realdata_required())                                                                    \
                FAIL() << "real data missing: " << kv_realdata_path_ << " (CI needs it)";                \
            GTEST_SKIP() << "real data missing: " << kv_realdata_path_                                  \
                         << " (set KYVANE_REALDATA_DIR to the folder that holds it)";                   \
        }                                                                                               \
    } while (0)

#endif
