// MRC files written byte by byte, independently of libMRC, for the tests and
// the tilt-series tool: a header of chosen words (every word a test does not
// set is zero), the full header of a well-formed file for given values, and
// the voxels of each data mode in either byte order.
#ifndef KYVANE_TESTS_SUPPORT_MRC_TEST_FILE_H
#define KYVANE_TESTS_SUPPORT_MRC_TEST_FILE_H

#include <stdint.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// The 56 header words and ten labels of a file, in machine byte order.
struct mrc_raw_header_t {
    int32_t w[56];
    char labels[10][80];
};

// Dimensions, mode, sampling and extended-header bytes; all else zero.
inline mrc_raw_header_t mrc_raw_header(int nx, int ny, int nz, int mode, int next = 0)
{
    mrc_raw_header_t h;
    std::memset(&h, 0, sizeof h);
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

inline void mrc_raw_set_float(mrc_raw_header_t &h, int word, float v)
{
    std::memcpy(&h.w[word], &v, 4);
}

// Label i, padded with blanks to 80 characters.
inline void mrc_raw_set_label(mrc_raw_header_t &h, int i, const std::string &text)
{
    std::memset(h.labels[i], ' ', 80);
    std::memcpy(h.labels[i], text.data(), std::min<size_t>(text.size(), 80));
}

inline int mrc_raw_bytes_per_voxel(int mode)
{
    return mode == 0 ? 1 : mode == 2 ? 4 : 2;
}

// What the rest of a well-formed file's header says of its values (given as
// they are stored, x fastest): cell lengths of pixel per voxel, right
// angles, axes 1, 2, 3, the extremes, mean and rms of the values, "MAP ",
// the machine stamp of the byte order written, the format version and the
// labels (at most ten).
inline void mrc_raw_describe(mrc_raw_header_t &h, const std::vector<float> &values, double pixel,
                             const std::vector<std::string> &labels, bool swap)
{
    float amin = values[0], amax = values[0];
    double sum = 0.0, squares = 0.0;
    for (float v : values) {
        amin = std::fmin(amin, v);
        amax = std::fmax(amax, v);
        sum += v;
    }
    const double mean = sum / (double)values.size();
    for (float v : values)
        squares += (v - mean) * (v - mean);
    for (int i = 0; i < 3; i++) {
        mrc_raw_set_float(h, 10 + i, (float)(h.w[7 + i] * pixel));
        mrc_raw_set_float(h, 13 + i, 90.0f);
        h.w[16 + i] = 1 + i;
    }
    mrc_raw_set_float(h, 19, amin);
    mrc_raw_set_float(h, 20, amax);
    mrc_raw_set_float(h, 21, (float)mean);
    h.w[27] = 20140;  // MRC2014 format version
    std::memcpy(&h.w[52], "MAP ", 4);
    const unsigned char stamp[4] = {(unsigned char)(swap ? 0x11 : 0x44),
                                    (unsigned char)(swap ? 0x11 : 0x44), 0, 0};
    std::memcpy(&h.w[53], stamp, 4);
    mrc_raw_set_float(h, 54, (float)std::sqrt(squares / (double)values.size()));
    const size_t n = std::min<size_t>(labels.size(), 10);
    h.w[55] = (int32_t)n;
    for (size_t i = 0; i < n; i++)
        mrc_raw_set_label(h, (int)i, labels[i]);
}

// Voxel bytes in machine order: unsigned bytes (mode 0), signed (1) or
// unsigned (6) 16-bit integers, floats (2).
template <class T>
std::string mrc_raw_voxels(int mode, const std::vector<T> &values)
{
    std::string out;
    for (T d : values) {
        if (mode == 0) {
            out.push_back((char)(uint8_t)d);
        } else if (mode == 1) {
            const int16_t s = (int16_t)d;
            out.append((const char *)&s, 2);
        } else if (mode == 6) {
            const uint16_t u = (uint16_t)d;
            out.append((const char *)&u, 2);
        } else {
            const float f = (float)d;
            out.append((const char *)&f, 4);
        }
    }
    return out;
}

// Header, extended header and voxels as one file; with swap every header
// word but the map text and the machine stamp, and every voxel of 2 or 4
// bytes, is written in the reverse byte order.
inline std::string mrc_raw_file(const mrc_raw_header_t &h, const std::string &ext,
                                const std::string &voxels, bool swap = false)
{
    mrc_raw_header_t c = h;
    const int bpv = mrc_raw_bytes_per_voxel(h.w[3]);
    std::string v = voxels;
    if (swap) {
        for (int i = 0; i < 56; i++)
            if (i != 52 && i != 53)
                c.w[i] = (int32_t)__builtin_bswap32((uint32_t)c.w[i]);
        if (bpv > 1)
            for (size_t i = 0; i + bpv <= v.size(); i += bpv)
                std::reverse(v.begin() + i, v.begin() + i + bpv);
    }
    return std::string((const char *)&c, sizeof c) + ext + v;
}

// The bytes of a well-formed file of nx x ny x nz values (x fastest) in
// the given mode and byte order.
inline std::string mrc_raw_file_of(int nx, int ny, int nz, int mode, const std::vector<float> &values,
                                   double pixel, const std::vector<std::string> &labels, bool swap)
{
    mrc_raw_header_t h = mrc_raw_header(nx, ny, nz, mode);
    mrc_raw_describe(h, values, pixel, labels, swap);
    return mrc_raw_file(h, "", mrc_raw_voxels(mode, values), swap);
}

// Writes bytes as the file at path; false when it cannot be written.
inline bool mrc_raw_write(const std::string &path, const std::string &bytes)
{
    FILE *fp = std::fopen(path.c_str(), "wb");
    if (!fp)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    return std::fclose(fp) == 0 && written;
}

#endif
