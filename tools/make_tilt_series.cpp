// Writes a synthetic tilt series of an ellipsoid phantom and its angle list.
//
// Every pixel is an exact line integral through the phantom, so a
// reconstruction can be judged against the phantom itself. Float series in
// the machine's byte order are written through libMRC; the other data modes
// and the reverse byte order byte by byte, with the same header layout.
#include <getopt.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mrc/mrc.h"
#include "tests/support/mrc_test_file.h"
#include "tests/support/phantom.h"

namespace {

const char *const kLabel = "make_tilt_series: ellipsoid phantom, exact line integrals";

struct options_t {
    const char *series = nullptr;
    const char *angles = nullptr;
    int detector = 128;
    int rows = 32;
    int tilts = 61;
    double max_tilt = 60.0;
    int thickness = 0;   // 0: half the detector width
    int mode = 2;
    bool swap = false;
    bool quantise = false;
    double pixel = 1.0;  // Angstrom per pixel, for the cell lengths
};

void usage(FILE *to)
{
    std::fputs("Usage: make_tilt_series -o series.mrc -a angles.tlt [options]\n"
               "  -d n     detector width in pixels (default 128)\n"
               "  -r n     rows of each tilt image (default 32)\n"
               "  -n n     number of tilt images (default 61)\n"
               "  -T deg   tilt range from -deg to +deg (default 60)\n"
               "  -z n     thickness of the phantom slab in pixels (default detector / 2)\n"
               "  -m mode  MRC data mode 0, 1, 2 or 6 (default 2)\n"
               "  -s       write the reverse of this machine's byte order\n"
               "  -q       store whole numbers 0..127 also in mode 2 (modes 0, 1, 6 always do)\n"
               "  -p size  pixel size in Angstrom for the cell lengths (default 1)\n",
               to);
}

bool parse_int(const char *text, int low, int &out)
{
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < low || v > 1 << 20)
        return false;
    out = (int)v;
    return true;
}

// Any mode, either byte order, written byte by byte.
int write_raw(const options_t &o, const std::vector<float> &values)
{
    const std::string bytes = mrc_raw_file_of(o.detector, o.rows, o.tilts, o.mode, values, o.pixel,
                                              {kLabel}, o.swap);
    if (!mrc_raw_write(o.series, bytes)) {
        std::perror(o.series);
        return -1;
    }
    return 0;
}

// Float series in this machine's byte order, through libMRC.
int write_with_library(const options_t &o, const std::vector<float> &values)
{
    mrc_image_t file, buf;
    std::memset(&buf, 0, sizeof buf);
    if (mrc_create(o.series, &file, o.detector, o.rows, o.tilts, 0, nullptr) < 0) {
        mrc_perror(o.series);
        return -1;
    }
    if (mrc_alloc_data_x1(&buf, o.detector, o.rows, o.tilts) < 0) {
        mrc_perror(o.series);
        return -1;
    }
    std::memcpy(buf.data[0][0], values.data(), values.size() * sizeof(float));
    const int written = mrc_write_sections(&buf, &file, 0, o.tilts);
    mrc_free_data(&buf);
    if (written != o.tilts) {
        mrc_perror(o.series);
        return -1;
    }
    file.header->xlen = (float)(o.detector * o.pixel);
    file.header->ylen = (float)(o.rows * o.pixel);
    file.header->zlen = (float)(o.tilts * o.pixel);
    mrc_add_label(&file, kLabel);
    if (mrc_close(&file, nullptr) < 0) {
        mrc_perror(o.series);
        return -1;
    }
    return 0;
}

int write_angles(const char *path, const std::vector<float> &angles)
{
    FILE *fp = std::fopen(path, "w");
    if (!fp) {
        std::perror(path);
        return -1;
    }
    // Nine significant digits give back the very floats the projections
    // were computed with.
    for (float a : angles)
        std::fprintf(fp, "%.9g\n", (double)a);
    if (std::fclose(fp) != 0) {
        std::perror(path);
        return -1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    options_t o;
    int c;
    while ((c = getopt(argc, argv, "o:a:d:r:n:T:z:m:sqp:h")) != -1) {
        bool ok = true;
        switch (c) {
        case 'o': o.series = optarg; break;
        case 'a': o.angles = optarg; break;
        case 'd': ok = parse_int(optarg, 2, o.detector); break;
        case 'r': ok = parse_int(optarg, 1, o.rows); break;
        case 'n': ok = parse_int(optarg, 1, o.tilts); break;
        case 'z': ok = parse_int(optarg, 2, o.thickness); break;
        case 'm': ok = parse_int(optarg, 0, o.mode) && (o.mode <= 2 || o.mode == 6); break;
        case 'T': o.max_tilt = std::atof(optarg); ok = o.max_tilt >= 0.0 && o.max_tilt < 90.0; break;
        case 's': o.swap = true; break;
        case 'q': o.quantise = true; break;
        case 'p': o.pixel = std::atof(optarg); ok = o.pixel > 0.0; break;
        case 'h': usage(stdout); return 0;
        default: ok = false; break;
        }
        if (!ok) {
            std::fprintf(stderr, "make_tilt_series: invalid option -%c%s%s\n", optopt ? optopt : c,
                         optarg ? " " : "", optarg ? optarg : "");
            usage(stderr);
            return 1;
        }
    }
    if (!o.series || !o.angles) {
        usage(stderr);
        return 1;
    }
    if (o.thickness == 0)
        o.thickness = o.detector / 2 < 2 ? 2 : o.detector / 2;

    std::vector<float> angles((size_t)o.tilts);
    for (int a = 0; a < o.tilts; a++)
        angles[a] = o.tilts == 1 ? 0.0f
                                 : (float)(-o.max_tilt + 2.0 * o.max_tilt * a / (o.tilts - 1));

    // The phantom fills the central part of the slice so that its shadow
    // stays on the detector at every tilt.
    const int phantom_width = o.detector * 3 / 4;
    const auto shapes = phantom_volume_ellipsoids(phantom_width, o.thickness, o.rows);
    std::vector<float> values((size_t)o.detector * o.rows * o.tilts);
    phantom_tilt_series(shapes, o.rows, o.detector, o.tilts, angles.data(), values.data());

    // Whole numbers for the integer modes: the range mapped onto 0..127,
    // which mode 0 holds whether it is read as signed or as unsigned bytes.
    if (o.quantise || o.mode != 2) {
        float lo = values[0], hi = values[0];
        for (float v : values) {
            lo = std::fmin(lo, v);
            hi = std::fmax(hi, v);
        }
        const double scale = hi > lo ? 127.0 / (hi - lo) : 0.0;
        for (float &v : values)
            v = (float)std::lround((v - lo) * scale);
    }

    if (mrc_init() < 0) {
        std::fputs("make_tilt_series: could not initialise libMRC\n", stderr);
        return 1;
    }
    const int rc = (o.mode == 2 && !o.swap) ? write_with_library(o, values) : write_raw(o, values);
    mrc_finish();
    if (rc < 0 || write_angles(o.angles, angles) < 0)
        return 1;
    return 0;
}
