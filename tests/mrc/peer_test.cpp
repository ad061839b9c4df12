// libMRC against the field's reference reader (python3-mrcfile) and against
// real files written by other programs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/mrc/mrc_test_util.h"
#include "tests/support/realdata.h"

using namespace mrc_test;

namespace {

const std::string kPython = "/usr/bin/python3";
const std::string kPeer = std::string(KYVANE_SOURCE_DIR) + "/tests/mrc/mrc_peer.py";

std::string shell_quote(const std::string &s)
{
    return "'" + s + "'";
}

// Runs the peer script; its output goes to `log`, the exit status is returned.
int run_peer(const std::string &args, const std::string &log)
{
    const std::string cmd = kPython + " " + shell_quote(kPeer) + " " + args + " > " + shell_quote(log) + " 2>&1";
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool exists(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

// What the peer says about one file.
struct PeerDump {
    std::map<std::string, double> num;
    std::vector<std::string> labels;
    std::vector<float> voxels;  // z, y, x order
    int nx = 0, ny = 0, nz = 0;
};

PeerDump load_dump(const std::string &dir, int i)
{
    PeerDump d;
    std::ifstream txt(dir + "/" + std::to_string(i) + ".txt");
    std::string line;
    while (std::getline(txt, line)) {
        std::istringstream in(line);
        std::string key;
        in >> key;
        if (key == "shape") {
            in >> d.nx >> d.ny >> d.nz;
        } else if (key == "label") {
            std::string hex, bytes;
            in >> hex;
            for (size_t j = 0; j + 1 < hex.size(); j += 2)
                bytes.push_back((char)std::stoi(hex.substr(j, 2), nullptr, 16));
            d.labels.push_back(bytes);
        } else {
            double v = 0;
            in >> v;
            d.num[key] = v;
        }
    }
    const std::string raw = read_whole_file(dir + "/" + std::to_string(i) + ".f32");
    d.voxels.resize(raw.size() / 4);
    memcpy(d.voxels.data(), raw.data(), d.voxels.size() * 4);
    return d;
}

// Reads a whole file the way the reader thread does: along axis 0 through a
// read cache, one sinogram per plane. Returns voxels in z, y, x order.
std::vector<float> read_through_cache(const std::string &path, mrc_image_t *rec, int *code)
{
    std::vector<float> out;
    int depth = 1 << 30;
    if (mrc_open(path.c_str(), rec, 0, 0, 0, &depth, 1) != 0) {
        *code = mrc_errno();
        return out;
    }
    const int nx = rec->nx, ny = rec->ny, nz = rec->nz;
    out.assign((size_t)nx * ny * nz, NAN);
    int cursor = 0;
    while (cursor < ny) {
        const int got = mrc_cache_fill_rows(rec, cursor);
        if (mrc_errno() != 0 || got == 0) {
            *code = mrc_errno() ? mrc_errno() : -1;
            return out;
        }
        for (int s = 0; s < rec->cache->nslots; ++s) {
            const int row = rec->cache->slots[s].row;
            if (rec->cache->slots[s].state != 0) continue;
            for (int k = 0; k < nz; ++k)
                for (int x = 0; x < nx; ++x)
                    out[((size_t)k * ny + row) * nx + x] = rec->data[s][k][x];
            mrc_cache_acquire(rec, row);
            mrc_cache_release(rec, s);
        }
        cursor += got;
    }
    *code = 0;
    return out;
}

void expect_same_voxels(const std::vector<float> &ours, const std::vector<float> &peer,
                        const std::string &what)
{
    ASSERT_EQ(ours.size(), peer.size()) << what;
    size_t bad = 0;
    for (size_t i = 0; i < ours.size(); ++i) {
        // Bitwise, so NaN payloads and signed zeros count too.
        if (memcmp(&ours[i], &peer[i], 4) != 0 && bad++ < 3)
            ADD_FAILURE() << what << ": voxel " << i << " is " << ours[i] << ", peer " << peer[i];
    }
    EXPECT_EQ(bad, 0u) << what;
}

class MrcPeer : public ::testing::Test {
protected:
    scratch_dir_t dir;
    void SetUp() override
    {
        ASSERT_TRUE(exists(kPython)) << kPython << " is needed for the peer checks";
        const std::string probe = kPython + " -c 'import mrcfile' 2>/dev/null";
        ASSERT_EQ(std::system(probe.c_str()), 0) << "python3-mrcfile is not installed";
    }
};

TEST_F(MrcPeer, OurVolumeValidatesAndReadsBack)
{
    const int nx = 9, ny = 6, nz = 13, step = 4;
    const std::string path = dir.file("ours.mrc");
    mrc_image_t out;
    int depth = 8;
    ASSERT_EQ(mrc_create(path.c_str(), &out, nx, ny, nz, 3, &depth, step, 0), 0);
    std::vector<float> truth((size_t)nx * ny * nz);
    for (size_t i = 0; i < truth.size(); ++i) truth[i] = (float)(std::sin(0.37 * i) * 50.0 - 20.0);
    // Slice groups finished out of order, flushed as they come.
    const int order[] = {8, 0, 12, 4};
    for (int row : order) {
        const int s = mrc_cache_acquire(&out, -1);
        ASSERT_GE(s, 0);
        mrc_cache_set_row(&out, s, row);
        for (int l = 0; l < step && row + l < nz; ++l)
            memcpy(out.data[s * step + l][0], &truth[(size_t)(row + l) * nx * ny], nx * ny * 4);
        mrc_cache_release(&out, s);
        if (mrc_cache_count(&out, 0) == 0) mrc_cache_flush(&out);
        ASSERT_EQ(mrc_errno(), 0);
    }
    mrc_cache_flush(&out);
    ASSERT_EQ(mrc_errno(), 0);
    mrc_add_label(&out, "Kyvane: Tomogram reconstruction. SIRT, 30 iterations");
    mrc_add_label(&out, "second label");
    mrc_header_t ref_h = {};
    ref_h.mx = 2;
    ref_h.my = 2;
    ref_h.xlen = 3.0f;
    ref_h.ylen = 3.0f;
    mrc_image_t ref = {};
    ref.header = &ref_h;
    ASSERT_EQ(mrc_close(&out, &ref), 0);

    const std::string log = dir.file("validate.log");
    EXPECT_EQ(run_peer("validate " + shell_quote(path), log), 0) << read_whole_file(log);
    ASSERT_EQ(run_peer("dump " + shell_quote(dir.path) + " " + shell_quote(path), log), 0) << read_whole_file(log);
    PeerDump d = load_dump(dir.path, 0);
    EXPECT_EQ(d.num["mode"], 2);
    EXPECT_EQ(d.nx, nx);
    EXPECT_EQ(d.ny, ny);
    EXPECT_EQ(d.nz, nz);
    expect_same_voxels(truth, d.voxels, "our volume");
    const float mn = *std::min_element(truth.begin(), truth.end());
    const float mx = *std::max_element(truth.begin(), truth.end());
    EXPECT_EQ((float)d.num["dmin"], mn);
    EXPECT_EQ((float)d.num["dmax"], mx);
    EXPECT_NEAR(d.num["dmean"], d.num["datamean"], 1e-5 * std::fabs(d.num["datamean"]) + 1e-6);
    EXPECT_NEAR(d.num["rms"], d.num["datastd"], 1e-5 * d.num["datastd"]);
    ASSERT_EQ(d.labels.size(), 2u);
    EXPECT_EQ(d.labels[0].substr(0, 52), "Kyvane: Tomogram reconstruction. SIRT, 30 iterations");
    EXPECT_EQ(d.labels[1].substr(0, 12), "second label");
}

TEST_F(MrcPeer, FilesWrittenByThePeer)
{
    const std::string log = dir.file("write.log");
    ASSERT_EQ(run_peer("write " + shell_quote(dir.path), log), 0) << read_whole_file(log);
    for (int mode : {0, 1, 2, 6}) {
        for (const char *end : {"le", "be"}) {
            const std::string base = dir.file("m" + std::to_string(mode) + "_" + end);
            const std::string raw = read_whole_file(base + ".f32");
            std::vector<float> truth(raw.size() / 4);
            memcpy(truth.data(), raw.data(), raw.size());
            mrc_image_t rec;
            int code = -1;
            std::vector<float> ours = read_through_cache(base + ".mrc", &rec, &code);
            ASSERT_EQ(code, 0) << base;
            // The peer writes 8-bit data in its native order whatever it is asked.
            EXPECT_EQ(rec.swapped, std::string(end) == "be" && mode != 0 ? 1 : 0) << base;
            EXPECT_EQ(rec.header->mode, mode);
            expect_same_voxels(ours, truth, base);
            mrc_close(&rec, NULL);
        }
    }
}

struct RealFile {
    const char *name;
    int code;  // what mrc_open gives
};

const RealFile kRealFiles[] = {
    {"tomoauto/test_002_mode0.st", 0},   {"tomoauto/test_002_mode1.st", 0},
    {"tomoauto/test_002_mode2.st", 0},   {"tomoauto/test_002_mode6.st", 0},
    {"tomoauto/test_001_mode0.mrc", 0},  {"tomoauto/test_001_mode1.mrc", 0},
    {"tomoauto/test_001_mode2.mrc", 0},  {"tomoauto/test_001_mode6.mrc", 0},
    {"mrcfile/EMD-3197.map", 0},         {"mrcfile/EMD-3001.map", 0},
    {"rosettasciio/HAADFscan.mrc", 0},   {"rosettasciio/Custom_movie.mrc", 0},
    {"rosettasciio/20241021_00405_movie.mrc", 0},
    {"ngl/3pqr-mode0.ccp4", 0},          {"ngl/3pqr.ccp4", 0},
    {"spider/sav_img_mrc.mrc", 0},       {"spider/sav_chimera_mrc.mrc", 0},
    {"gemmi/5i55_tiny.ccp4", 0},         {"gemmi/iota_yzx.ccp4", 0},
    {"cryodrgn/hand.5.mrcs", 0},         {"relion/ref_shifted_image.mrc", 0},
    {"tomodrgn/warptools_test_box-32_angpix-12_reconstruct.mrc", 0},
    {"tomodrgn/Unt_050_12.00A_000001.mrcs", 10},  // float16
    {"imod/headerTest.st", 6},           // header only
    {"exiftool/MRC.mrc", 6},             // header and extended header only
    {"maptools/file.mrc", 6},            // longer than its header says
    {"sfftk/test_data_corrupt_header.map", 6},  // truncated
};

TEST_F(MrcPeer, RealFilesFromOtherPrograms)
{
    const std::string real_data = realdata_dir();
    KV_REQUIRE_REALDATA(real_data);
    std::string args = "dump " + shell_quote(dir.path);
    std::vector<std::string> admitted;
    for (const RealFile &f : kRealFiles) {
        if (f.code == 0) {
            admitted.push_back(f.name);
            args += " " + shell_quote(real_data + "/" + f.name);
        }
    }
    const std::string log = dir.file("dump.log");
    ASSERT_EQ(run_peer(args, log), 0) << read_whole_file(log);

    int index = 0;
    for (const RealFile &f : kRealFiles) {
        const std::string path = real_data + "/" + f.name;
        mrc_image_t rec;
        int code = -1;
        std::vector<float> ours = read_through_cache(path, &rec, &code);
        EXPECT_EQ(code, f.code) << f.name;
        if (f.code != 0) continue;
        if (code != 0) {
            ++index;
            continue;
        }
        PeerDump d = load_dump(dir.path, index++);
        EXPECT_EQ(rec.nx, d.nx) << f.name;
        EXPECT_EQ(rec.ny, d.ny) << f.name;
        EXPECT_EQ(rec.nz, d.nz) << f.name;
        EXPECT_EQ(rec.header->mode, (int)d.num["mode"]) << f.name;
        expect_same_voxels(ours, d.voxels, f.name);
        const int nlabl = rec.header->nlabl;
        EXPECT_EQ(nlabl, (int)d.num["nlabl"]) << f.name;
        for (int i = 0; i < nlabl && i < (int)d.labels.size(); ++i)
            EXPECT_EQ(std::string(rec.header->labels[i], 80), d.labels[i]) << f.name << " label " << i;
        if (std::string(f.name) == "spider/sav_img_mrc.mrc") {
            EXPECT_EQ(rec.swapped, 1);
        }
        mrc_close(&rec, NULL);
    }
}

}  // namespace
