// Small helpers for the libMRC tests: scratch directories and hand-built
// MRC files, so every test controls each header byte it depends on.
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

namespace mrc_test {

// A directory under /tmp removed with its files when the object goes away.
struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        char tmpl[] = "/tmp/kv_mrc_XXXXXX";
        const char *p = mkdtemp(tmpl);
        path = p ? p : "/tmp";
    }
    ~ScratchDir()
    {
        if (path == "/tmp") return;
        const std::string cmd = "rm -rf '" + path + "'";
        const int rc = system(cmd.c_str());
        (void)rc;
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

// The 56 header words and ten labels of a file, in machine byte order.
struct RawHeader {
    int32_t w[56];
    char labels[10][80];
};

inline RawHeader make_header(int nx, int ny, int nz, int mode, int next = 0)
{
    RawHeader h;
    memset(&h, 0, sizeof h);
    h.w[0] = nx;
    h.w[1] = ny;
    h.w[2] = nz;
    h.w[3] = mode;
    h.w[7] = nx;
    h.w[8] = ny;
    h.w[9] = nz;
    h.w[23] = next;
    return h;
}

inline void set_float_word(RawHeader &h, int word, float v)
{
    memcpy(&h.w[word], &v, 4);
}

inline void set_label(RawHeader &h, int i, const std::string &text)
{
    memset(h.labels[i], ' ', 80);
    memcpy(h.labels[i], text.data(), text.size() < 80 ? text.size() : 80);
}

inline int bytes_of_mode(int mode)
{
    return mode == 0 ? 1 : mode == 2 ? 4 : 2;
}

inline std::string read_file(const std::string &path)
{
    std::string out;
    FILE *fp = fopen(path.c_str(), "rb");
    if (!fp) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) out.append(buf, n);
    fclose(fp);
    return out;
}

inline void write_bytes(const std::string &path, const std::string &bytes)
{
    FILE *fp = fopen(path.c_str(), "wb");
    if (!fp) return;
    fwrite(bytes.data(), 1, bytes.size(), fp);
    fclose(fp);
}

// Serialises header, extended header and voxels; with `swap` every header
// word and every voxel of 2 or 4 bytes is written in the reverse byte order.
inline std::string mrc_bytes(const RawHeader &h, const std::string &ext,
                             const std::string &voxels, bool swap = false)
{
    RawHeader c = h;
    const int bpv = bytes_of_mode(h.w[3]);
    std::string v = voxels;
    if (swap) {
        for (int32_t &x : c.w) x = (int32_t)__builtin_bswap32((uint32_t)x);
        if (bpv > 1)
            for (size_t i = 0; i + bpv <= v.size(); i += bpv)
                std::reverse(v.begin() + i, v.begin() + i + bpv);
    }
    std::string out((const char *)&c, sizeof c);
    return out + ext + v;
}

// Voxel bytes in machine order for values given as doubles.
inline std::string voxel_bytes(int mode, const std::vector<double> &vals)
{
    std::string out;
    for (double d : vals) {
        if (mode == 0) {
            out.push_back((char)(uint8_t)d);
        } else if (mode == 1) {
            int16_t s = (int16_t)d;
            out.append((const char *)&s, 2);
        } else if (mode == 6) {
            uint16_t u = (uint16_t)d;
            out.append((const char *)&u, 2);
        } else {
            float f = (float)d;
            out.append((const char *)&f, 4);
        }
    }
    return out;
}

// Writes an nx x ny x nz file whose voxel (x, y, z) holds f(x, y, z).
template <class F>
std::vector<double> write_volume(const std::string &path, int nx, int ny, int nz, int mode,
                                 F f, bool swap = false, const std::string &ext = "")
{
    std::vector<double> vals;
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) vals.push_back(f(x, y, z));
    RawHeader h = make_header(nx, ny, nz, mode, (int)ext.size());
    write_bytes(path, mrc_bytes(h, ext, voxel_bytes(mode, vals), swap));
    return vals;
}

}  // namespace mrc_test

#endif
