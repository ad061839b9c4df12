// Helpers of the end-to-end tests: synthetic tilt series written byte by
// byte (independently of libMRC), a reader of the float volumes the program
// writes, and the phantom the series are made from.
#ifndef KYVANE_TESTS_DRIVER_E2E_UTIL_H
#define KYVANE_TESTS_DRIVER_E2E_UTIL_H

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "tests/driver/cli_test_util.h"
#include "tests/support/test_files.h"
#include "tests/support/mrc_test_file.h"
#include "tests/support/phantom.h"
#include "tests/support/run_binary.h"

// A synthetic data set: tilt images of D x rows, N tilts evenly from
// -max_tilt to +max_tilt degrees, a phantom slab of thickness H in the middle
// of the slice.
struct e2e_series_t {
    int D = 64;
    int rows = 16;
    int N = 61;
    int H = 32;
    std::vector<float> angles;
    std::vector<phantom_ellipsoid_t> shapes;
    std::vector<float> tilt;  // tilt[(a * rows + y) * D + i]
};

inline e2e_series_t e2e_make_series(int D = 64, int rows = 16, int N = 61, int H = 32,
                                    double max_tilt = 60.0)
{
    e2e_series_t s;
    s.D = D;
    s.rows = rows;
    s.N = N;
    s.H = H;
    for (int a = 0; a < N; a++)
        s.angles.push_back(N == 1 ? 0.0f : (float)(-max_tilt + 2.0 * max_tilt * a / (N - 1)));
    // Narrower than the detector, so every projection sees the whole phantom.
    s.shapes = phantom_volume_ellipsoids(D * 3 / 4, H, rows);
    s.tilt.resize((size_t)D * rows * N);
    phantom_tilt_series(s.shapes, rows, D, N, s.angles.data(), s.tilt.data());
    return s;
}

// The phantom as the reconstruction of width W and height H should show it:
// vol[(y * H + z) * W + x].
inline std::vector<float> e2e_phantom_volume(const e2e_series_t &s, int W, int H)
{
    std::vector<float> vol((size_t)W * H * s.rows);
    phantom_volume(s.shapes, W, H, s.rows, 3, vol.data());
    return vol;
}

// Maps the values onto whole numbers 0..250, which every data mode holds.
inline void e2e_quantise(std::vector<float> &v)
{
    float lo = v[0], hi = v[0];
    for (float x : v) {
        lo = std::fmin(lo, x);
        hi = std::fmax(hi, x);
    }
    for (float &x : v)
        x = (float)std::lround((x - lo) * 250.0 / (hi - lo));
}

struct e2e_mrc_options_t {
    int mode = 2;
    bool swap = false;
    float pixel = 1.0f;                 // cell lengths = dimensions times this
    std::vector<std::string> labels;    // at most 10
};

// Writes values (nx * ny * nz, x fastest) as an MRC file in the given mode
// and byte order. The header minimum, maximum, mean and rms are the data's
// own.
inline bool e2e_write_mrc(const std::string &path, int nx, int ny, int nz,
                          const std::vector<float> &values, const e2e_mrc_options_t &opt = {})
{
    return mrc_raw_write(path, mrc_raw_file_of(nx, ny, nz, opt.mode, values, opt.pixel, opt.labels,
                                               opt.swap));
}

inline bool e2e_write_angles(const std::string &path, const std::vector<float> &angles)
{
    std::ofstream out(path);
    for (float a : angles)
        out << a << "\n";
    return (bool)out;
}

// Writes the series' float tilt series and its angle list into dir.
inline void e2e_write_series(const e2e_series_t &s, const std::string &series_path,
                             const std::string &angles_path, const e2e_mrc_options_t &opt = {})
{
    e2e_write_mrc(series_path, s.D, s.rows, s.N, s.tilt, opt);
    e2e_write_angles(angles_path, s.angles);
}

// A float volume as the program writes it, with the header words it sets.
struct e2e_volume_t {
    bool ok = false;
    int32_t nx = 0, ny = 0, nz = 0, mode = -1, origin_row = 0, nlabl = 0;
    float xlen = 0, ylen = 0, zlen = 0, amin = 0, amax = 0, amean = 0;
    std::vector<std::string> labels;
    std::vector<float> data;
    float at(int x, int z, int y) const { return data[((size_t)y * ny + z) * nx + x]; }
};

inline e2e_volume_t e2e_read_volume(const std::string &path)
{
    e2e_volume_t v;
    std::ifstream in(path, std::ios::binary);
    unsigned char head[1024];
    if (!in.read(reinterpret_cast<char *>(head), sizeof head))
        return v;
    int32_t w[56];
    std::memcpy(w, head, sizeof w);
    v.nx = w[0], v.ny = w[1], v.nz = w[2], v.mode = w[3];
    std::memcpy(&v.xlen, &w[10], 4);
    std::memcpy(&v.ylen, &w[11], 4);
    std::memcpy(&v.zlen, &w[12], 4);
    std::memcpy(&v.amin, &w[19], 4);
    std::memcpy(&v.amax, &w[20], 4);
    std::memcpy(&v.amean, &w[21], 4);
    v.origin_row = w[25];
    v.nlabl = w[55];
    for (int i = 0; i < v.nlabl && i < 10; i++)
        v.labels.emplace_back(reinterpret_cast<char *>(head + 224 + 80 * i), 80);
    if (v.mode != 2 || v.nx < 1 || v.ny < 1 || v.nz < 1)
        return v;
    v.data.resize((size_t)v.nx * v.ny * v.nz);
    if (!in.read(reinterpret_cast<char *>(v.data.data()),
                 (std::streamsize)(v.data.size() * sizeof(float))))
        return v;
    in.peek();
    v.ok = in.eof();  // nothing may follow the last section
    return v;
}

// Pearson correlation of two equally long arrays.
inline double e2e_correlation(const std::vector<float> &a, const std::vector<float> &b)
{
    const size_t n = a.size();
    double ma = 0, mb = 0;
    for (size_t i = 0; i < n; i++)
        ma += a[i], mb += b[i];
    ma /= n, mb /= n;
    double cov = 0, va = 0, vb = 0;
    for (size_t i = 0; i < n; i++) {
        cov += (a[i] - ma) * (b[i] - mb);
        va += (a[i] - ma) * (a[i] - ma);
        vb += (b[i] - mb) * (b[i] - mb);
    }
    return cov / std::sqrt(va * vb);
}

// Largest absolute difference, relative to the largest magnitude of a.
inline double e2e_relative_difference(const std::vector<float> &a, const std::vector<float> &b)
{
    double peak = 0, diff = 0;
    for (size_t i = 0; i < a.size(); i++) {
        peak = std::fmax(peak, std::fabs(a[i]));
        diff = std::fmax(diff, std::fabs((double)a[i] - b[i]));
    }
    return peak > 0 ? diff / peak : diff;
}

inline run_result_t e2e_run(const std::vector<std::string> &args, const std::string &stdin_text = "",
                            const std::string &cwd = "")
{
    return run_binary(KYVANE_BINARY, args, stdin_text, cwd);
}

// Every name in a directory, hidden ones included.
inline std::set<std::string> e2e_listing(const std::string &dir)
{
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename());
    return names;
}

// The environment entries that make the program's calls fail, or stop it at
// a chosen call, as mode says (comma-separated modes such as tmpfile,
// fsync, rename, unlink, appenddir, statvfs=0:0:4096, stop=fchmod; all of
// them in tests/support/fail_shim.c). A sanitizer runtime wants to be loaded first
// and must be told that the preloaded shim is not a mistake.
inline std::vector<std::string> e2e_fail_env(const std::string &mode)
{
    const char *asan = std::getenv("ASAN_OPTIONS");
    return {std::string("LD_PRELOAD=") + KV_FAIL_SHIM, "KV_FAIL=" + mode,
            std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
}

// True when process pid holds a regular file of directory dir open for
// writing, and that file holds data: named or not, the volume it writes.
inline bool e2e_writing_a_file(int pid, const std::string &dir)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(proc + "/fd", ec)) {
        const std::string fd = e.path().filename();
        struct stat st;
        if (std::filesystem::read_symlink(e.path(), ec).string().rfind(dir + "/", 0) != 0 ||
            stat(e.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
            continue;
        std::ifstream info(proc + "/fdinfo/" + fd);
        std::string key, flags;
        while (info >> key >> flags)
            if (key == "flags:" && (std::strtol(flags.c_str(), nullptr, 8) & O_ACCMODE) != O_RDONLY)
                return true;
    }
    return false;
}

// Runs /usr/bin/python3 with mrcfile's validator on path; true when valid.
inline bool e2e_mrcfile_valid(const std::string &path, std::string *report = nullptr)
{
    const run_result_t r = run_binary(
        "/usr/bin/python3",
        {"-c", "import sys, mrcfile; sys.exit(0 if mrcfile.validate(sys.argv[1]) else 1)", path});
    if (report)
        *report = r.out + r.err;
    return r.status == 0;
}

inline bool e2e_have_mrcfile()
{
    return run_binary("/usr/bin/python3", {"-c", "import mrcfile"}).status == 0;
}

#endif
