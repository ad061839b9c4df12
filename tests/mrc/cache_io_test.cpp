// Rows and sections into slot caches, finished slots out to the file.
#include <gtest/gtest.h>

#include <float.h>
#include <cmath>
#include <unistd.h>

#include "tests/mrc/mrc_test_util.h"

using namespace mrc_test;

namespace {

// Voxel (x, y, k) of the test tilt series: unique and exact in every mode.
double tilt_value(int x, int y, int k)
{
    return (y * 3 + k) * 8 + x;
}

void fill_buffer(mrc_image_t &rec, float v)
{
    const mrc_cache_t *c = rec.cache;
    for (int64_t i = 0; i < (int64_t)c->depth * c->rows * c->nx; ++i) rec.data[0][0][i] = v;
}

TEST(MrcFillRows, SlotOrderAndRuns)
{
    scratch_dir_t dir;
    const std::string p = dir.file("t.mrc");
    write_volume(p, 8, 10, 3, 1, tilt_value);
    mrc_image_t rec;
    int depth = 4;
    ASSERT_EQ(mrc_open(p.c_str(), &rec, 0, 0, 0, &depth, 1), 0);
    EXPECT_EQ(mrc_cache_fill_rows(&rec, 0), 4);
    EXPECT_EQ(mrc_errno(), 0);
    for (int s = 0; s < 4; ++s) {
        EXPECT_EQ(rec.cache->slots[s].state, 0);
        EXPECT_EQ(rec.cache->slots[s].row, s);
        // Plane s is the sinogram of row s: row k comes from tilt image k.
        for (int k = 0; k < 3; ++k)
            for (int x = 0; x < 8; ++x) ASSERT_EQ(rec.data[s][k][x], tilt_value(x, s, k));
    }
    EXPECT_EQ(rec.cache->ready, 4);
    EXPECT_EQ(rec.cache->owed, 0);
    // Nothing empty: nothing read, and the error code is left as it was.
    mrc_cache_count(&rec, 9);
    EXPECT_EQ(mrc_cache_fill_rows(&rec, 4), 0);
    EXPECT_EQ(mrc_errno(), 13);

    for (int s = 0; s < 4; ++s) ASSERT_EQ(mrc_cache_acquire(&rec, -1), s);
    mrc_cache_release(&rec, 0);
    mrc_cache_release(&rec, 2);
    EXPECT_EQ(mrc_cache_fill_rows(&rec, 4), 2);
    EXPECT_EQ(rec.cache->slots[0].row, 4);
    EXPECT_EQ(rec.cache->slots[2].row, 5);
    EXPECT_EQ(rec.data[2][1][7], tilt_value(7, 5, 1));
    EXPECT_EQ(rec.cache->slots[1].state, 2);
    mrc_close(&rec, NULL);
}

TEST(MrcFillRows, LastSlotClampedAndMisalignedStart)
{
    scratch_dir_t dir;
    const std::string p = dir.file("t.mrc");
    write_volume(p, 8, 10, 3, 2, tilt_value);
    mrc_image_t rec;
    int depth = 12;
    ASSERT_EQ(mrc_open(p.c_str(), &rec, 0, 0, 0, &depth, 4), 0);
    ASSERT_EQ(depth, 8);  // a window of 10 rows holds two slots of 4
    EXPECT_EQ(mrc_cache_fill_rows(&rec, 6), 0);
    EXPECT_EQ(mrc_errno(), 13);
    EXPECT_EQ(rec.cache->ready, 0);
    EXPECT_EQ(mrc_cache_fill_rows(&rec, 0), 8);
    EXPECT_EQ(mrc_errno(), 0);
    for (int s = 0; s < 2; ++s) {
        ASSERT_EQ(mrc_cache_acquire(&rec, -1), s);
        ASSERT_EQ(mrc_cache_release(&rec, s), 0);
    }
    fill_buffer(rec, -99.0f);
    // Rows 8 and 9 remain: slot 0 takes them, clamped; slot 1 would start
    // at row 12 and stays empty.
    EXPECT_EQ(mrc_cache_fill_rows(&rec, 8), 2);
    EXPECT_EQ(rec.cache->slots[0].row, 8);
    EXPECT_EQ(rec.cache->slots[1].state, 1);
    EXPECT_EQ(rec.cache->slots[1].row, -1);
    EXPECT_EQ(rec.cache->ready, 1);
    EXPECT_EQ(rec.cache->owed, 1);
    EXPECT_EQ(rec.data[1][2][0], tilt_value(0, 9, 2));
    EXPECT_EQ(rec.data[2][0][0], -99.0f);  // rows 10 and 11 do not exist
    EXPECT_EQ(rec.data[3][2][7], -99.0f);
    mrc_close(&rec, NULL);
}

// The last rows of a window of 2^31 - 1 rows (a sparse file): the cursor
// that walks the slots must stop at the window's end, not wrap past it.
TEST(MrcFillRows, WindowEndingAtTheLargestRow)
{
    scratch_dir_t dir;
    const std::string p = dir.file("tall.mrc");
    mrc_raw_header_t h = mrc_raw_header(1, INT32_MAX, 1, 0);
    mrc_raw_write(p, mrc_raw_file(h, "", ""));
    ASSERT_EQ(truncate(p.c_str(), 1024 + (off_t)INT32_MAX), 0);
    mrc_image_t rec;
    int depth = 16;
    ASSERT_EQ(mrc_open(p.c_str(), &rec, 0, 0, 0, &depth, 8), 0);
    ASSERT_EQ(depth, 16);
    const int first = INT32_MAX - 7;  // a multiple of 8: seven rows remain
    EXPECT_EQ(mrc_cache_fill_rows(&rec, first), 7);
    EXPECT_EQ(mrc_errno(), 0);
    EXPECT_EQ(rec.cache->slots[0].row, first);
    EXPECT_EQ(rec.cache->slots[1].state, 1);  // nothing left for it
    EXPECT_EQ(rec.data[6][0][0], 0.0f);
    mrc_close(&rec, NULL);
}

TEST(MrcFillRows, RangeOffsetsAndConversions)
{
    scratch_dir_t dir;
    // Every mode in both byte orders, opened on rows 100 to 119 of 120.
    for (int mode : {0, 1, 2, 6}) {
        for (bool swap : {false, true}) {
            const std::string p = dir.file("r.mrc");
            write_volume(p, 8, 120, 3, mode, [](int x, int y, int k) {
                return std::fmod(tilt_value(x, y, k), 251.0);
            }, swap, "EXTENDED");
            mrc_image_t rec;
            int depth = 20;
            ASSERT_EQ(mrc_open(p.c_str(), &rec, 0, 100, 20, &depth, 4), 0);
            EXPECT_EQ(rec.swapped, swap && mode != 0 ? 1 : swap);
            EXPECT_EQ(mrc_cache_fill_rows(&rec, 0), 20);
            EXPECT_EQ(mrc_errno(), 0);
            for (int y = 0; y < 20; ++y)
                for (int k = 0; k < 3; ++k)
                    for (int x = 0; x < 8; ++x)
                        ASSERT_EQ(rec.data[y][k][x], std::fmod(tilt_value(x, y + 100, k), 251.0))
                            << "mode " << mode << " swap " << swap;
            mrc_close(&rec, NULL);
        }
    }
}

// Long runs are read in groups of rows; a run of 150 rows from row 7 crosses
// several group boundaries, so a wrong group offset shows up here.
TEST(MrcFillRows, LongRunsAcrossReadGroups)
{
    scratch_dir_t dir;
    for (int mode : {1, 2}) {
        const std::string p = dir.file("long.mrc");
        write_volume(p, 5, 160, 3, mode, [](int x, int y, int k) {
            return std::fmod(tilt_value(x, y, k), 30000.0);
        }, mode == 1);
        mrc_image_t rec;
        int depth = 150;
        ASSERT_EQ(mrc_open(p.c_str(), &rec, 0, 7, 150, &depth, 1), 0);
        ASSERT_EQ(depth, 150);
        EXPECT_EQ(mrc_cache_fill_rows(&rec, 0), 150);
        EXPECT_EQ(mrc_errno(), 0);
        for (int y = 0; y < 150; ++y)
            for (int k = 0; k < 3; ++k)
                for (int x = 0; x < 5; ++x)
                    ASSERT_EQ(rec.data[y][k][x], std::fmod(tilt_value(x, y + 7, k), 30000.0))
                        << "mode " << mode << " row " << y << " image " << k;
        mrc_close(&rec, NULL);
    }
}

TEST(MrcFillRows, SixteenBitSignednessAfterSwap)
{
    scratch_dir_t dir;
    for (int mode : {1, 6}) {
        const std::string p = dir.file("s.mrc");
        mrc_raw_header_t h = mrc_raw_header(2, 1, 1, mode);
        // Stored big-endian as 0x80 0x01, then 0x00 0xff.
        const std::string stored = mrc_raw_file(h, "", std::string("\x01\x80\xff\x00", 4), true);
        ASSERT_EQ(stored.substr(1024), std::string("\x80\x01\x00\xff", 4));
        mrc_raw_write(p, stored);
        mrc_image_t rec;
        int depth = 1;
        ASSERT_EQ(mrc_open(p.c_str(), &rec, 0, 0, 0, &depth, 1), 0);
        EXPECT_EQ(rec.swapped, 1);
        EXPECT_EQ(mrc_cache_fill_rows(&rec, 0), 1);
        EXPECT_EQ(rec.data[0][0][0], mode == 1 ? -32767.0f : 32769.0f);
        EXPECT_EQ(rec.data[0][0][1], 255.0f);
        mrc_close(&rec, NULL);
    }
}

TEST(MrcFillRows, FileTruncatedAfterOpen)
{
    scratch_dir_t dir;
    const std::string p = dir.file("cut.mrc");
    // The reason beside the code: no system error, the file's own end.
    const std::string cut_short = p + ": the file ends before the data its header describes";
    write_volume(p, 8, 10, 3, 2, tilt_value);
    mrc_image_t rec;
    int depth = 4;
    ASSERT_EQ(mrc_open(p.c_str(), &rec, 0, 0, 0, &depth, 1), 0);
    ASSERT_EQ(truncate(p.c_str(), 1024 + 2 * 8 * 10 * 4 + 8), 0);  // image 2 nearly gone
    EXPECT_EQ(mrc_cache_fill_rows(&rec, 0), 0);
    EXPECT_EQ(mrc_errno(), 4);
    EXPECT_EQ(std::string(mrc_errdetail()), cut_short);
    for (int s = 0; s < 4; ++s) EXPECT_EQ(rec.cache->slots[s].state, 1);
    EXPECT_EQ(rec.cache->owed, 4);
    EXPECT_EQ(rec.cache->ready, 0);
    mrc_close(&rec, NULL);

    // The same for whole sections of a resumed volume: the slots go back to
    // be loaded, nothing is published.
    write_volume(p, 8, 10, 3, 2, tilt_value);
    depth = 3;
    ASSERT_EQ(mrc_open(p.c_str(), &rec, 1, 0, 0, &depth, 1), 0);
    ASSERT_EQ(truncate(p.c_str(), 1024 + 2 * 8 * 10 * 4 + 8), 0);
    EXPECT_EQ(mrc_cache_fill_sections(&rec, 0), 0);
    EXPECT_EQ(mrc_errno(), 4);
    EXPECT_EQ(std::string(mrc_errdetail()), cut_short);
    for (int s = 0; s < 3; ++s) EXPECT_EQ(rec.cache->slots[s].state, 3);
    EXPECT_EQ(rec.cache->owed, 3);
    EXPECT_EQ(rec.cache->ready, 0);
    mrc_close(&rec, NULL);
}

TEST(MrcCacheGuards, SlotsThatCannotBePlaced)
{
    scratch_dir_t dir;
    // A resumed volume whose sections are larger than the output's planes
    // must not be copied into them.
    const std::string old = dir.file("old.mrc");
    write_volume(old, 5, 4, 4, 2, [](int x, int, int) { return x; });
    mrc_image_t out, resumed;
    int depth = 2;
    ASSERT_EQ(mrc_create(dir.file("new.mrc").c_str(), &out, 3, 2, 4, 0, &depth, 1, 1), 0);
    ASSERT_EQ(mrc_open(old.c_str(), &resumed, 1, 0, 0, NULL), 0);
    mrc_share_cache(&out, &resumed);
    EXPECT_EQ(mrc_cache_fill_sections(&resumed, 0), 0);
    EXPECT_EQ(mrc_errno(), 13);
    EXPECT_EQ(out.cache->slots[0].state, 3);
    mrc_close(&resumed, NULL);
    mrc_close(&out, NULL);

    // A finished slot that was never given a row has no place in the file;
    // it must not land before section 0, over the header.
    depth = 2;
    const std::string path = dir.file("w.mrc");
    ASSERT_EQ(mrc_create(path.c_str(), &out, 3, 2, 4, 0, &depth, 1, 0), 0);
    const int s = mrc_cache_acquire(&out, -1);
    ASSERT_EQ(mrc_cache_release(&out, s), 0);
    EXPECT_EQ(mrc_cache_flush(&out), 0);
    EXPECT_EQ(mrc_errno(), 5);
    EXPECT_EQ(out.cache->slots[s].state, 1);
    EXPECT_EQ(out.cache->pending, 1);
    EXPECT_EQ(read_whole_file(path).size(), 0u);
    mrc_close(&out, NULL);
}

class Flush : public ::testing::Test {
protected:
    scratch_dir_t dir;
    mrc_image_t out;
    std::string path;
    // An output of nz sections of 3 x 2 floats with a write cache of 4 slots.
    void create(int nz, int step, int reload = 0)
    {
        path = dir.file("out.mrc");
        int depth = 4 * step;
        ASSERT_EQ(mrc_create(path.c_str(), &out, 3, 2, nz, 0, &depth, step, reload), 0);
    }
    // A worker's round: take a free slot, fill it with tagged values, release.
    void finish(int row)
    {
        const int s = mrc_cache_acquire(&out, -1);
        ASSERT_GE(s, 0);
        mrc_cache_set_row(&out, s, row);
        const int step = out.cache->step;
        for (int l = 0; l < step; ++l)
            for (int i = 0; i < 6; ++i) out.data[s * step + l][0][i] = (float)((row + l) * 10 + i);
        ASSERT_EQ(mrc_cache_release(&out, s), 0);
    }
    float section_value(const std::string &bytes, int z, int i)
    {
        float f;
        memcpy(&f, bytes.data() + 1024 + (z * 6 + i) * 4, 4);
        return f;
    }
};

TEST_F(Flush, RunsOfConsecutiveRows)
{
    create(20, 4);
    for (int row : {8, 12, 4, 16}) finish(row);
    EXPECT_EQ(out.cache->pending, 4);
    EXPECT_EQ(mrc_cache_count(&out, 1), 4);
    EXPECT_EQ(mrc_cache_flush(&out), 16);
    EXPECT_EQ(mrc_errno(), 0);
    for (int s = 0; s < 4; ++s) {
        EXPECT_EQ(out.cache->slots[s].state, 0);
        EXPECT_EQ(out.cache->slots[s].row, -1);
    }
    EXPECT_EQ(out.cache->pending, 0);
    EXPECT_EQ(out.cache->ready, 4);
    EXPECT_EQ(out.cache->owed, 0);
    EXPECT_EQ(out.header->amin, 40.0f);
    EXPECT_EQ(out.header->amax, 195.0f);
    ASSERT_EQ(mrc_close(&out, NULL), 0);
    const std::string b = read_whole_file(path);
    // Sections 0 to 3 were never written: the file holds them as zeros.
    ASSERT_EQ(b.size(), 1024u + 20 * 24);
    for (int z = 4; z < 20; ++z)
        for (int i = 0; i < 6; ++i) ASSERT_EQ(section_value(b, z, i), z * 10 + i) << z;
    EXPECT_EQ(section_value(b, 3, 5), 0.0f);
}

TEST_F(Flush, RunPastTheEndIsClamped)
{
    create(10, 4);
    ASSERT_EQ(out.cache->nslots, 2);
    finish(8);
    finish(16);  // wholly past the end: freed, nothing written
    EXPECT_EQ(mrc_cache_flush(&out), 2);
    EXPECT_EQ(out.cache->ready, 2);
    EXPECT_EQ(out.cache->slots[1].row, -1);
    EXPECT_EQ(out.cache->pending, 0);
    ASSERT_EQ(mrc_close(&out, NULL), 0);
    const std::string b = read_whole_file(path);
    ASSERT_EQ(b.size(), 1024u + 10 * 24);
    EXPECT_EQ(section_value(b, 9, 2), 92.0f);
}

TEST_F(Flush, ReloadThenFillSections)
{
    const std::string old = dir.file("old.mrc");
    write_volume(old, 3, 2, 12, 2, [](int x, int y, int z) { return 1000 + z * 10 + y * 3 + x; });
    create(8, 1, 1);
    mrc_image_t resumed;
    ASSERT_EQ(mrc_open(old.c_str(), &resumed, 1, 4, 8, NULL), 0);
    mrc_share_cache(&out, &resumed);
    EXPECT_EQ(mrc_cache_fill_sections(&resumed, 0), 4);
    EXPECT_EQ(out.cache->ready, 4);
    EXPECT_EQ(out.data[2][1][1], 1000 + 6 * 10 + 3 + 1);  // window section 2 is file section 6
    for (int r = 0; r < 4; ++r) {
        const int s = mrc_cache_acquire(&out, r);
        ASSERT_EQ(s, r);
        mrc_cache_release(&out, s);
    }
    EXPECT_EQ(mrc_cache_flush(&out), 4);
    for (int s = 0; s < 4; ++s) {
        EXPECT_EQ(out.cache->slots[s].state, 3);
        EXPECT_EQ(out.cache->slots[s].row, -1);
    }
    EXPECT_EQ(out.cache->ready, 0);
    EXPECT_EQ(out.cache->owed, 4);
    EXPECT_EQ(mrc_cache_fill_sections(&resumed, 4), 4);
    EXPECT_EQ(out.cache->slots[3].row, 7);
    EXPECT_EQ(out.data[3][0][0], 1000 + 11 * 10);
    mrc_close(&resumed, NULL);
    mrc_close(&out, NULL);
}

TEST_F(Flush, FailedWriteKeepsSlotsFinished)
{
    // A section of 64 x 64 floats is larger than the stream's buffer, so the
    // full device fails the write itself.
    int depth = 2;
    ASSERT_EQ(mrc_create("/dev/full", &out, 64, 64, 4, 0, &depth, 1, 0), 0);
    for (int r = 0; r < 2; ++r) {
        const int s = mrc_cache_acquire(&out, -1);
        mrc_cache_set_row(&out, s, r);
        for (int i = 0; i < 64 * 64; ++i) out.data[s][0][i] = 5.0f;
        mrc_cache_release(&out, s);
    }
    EXPECT_EQ(mrc_cache_flush(&out), 0);
    EXPECT_EQ(mrc_errno(), 5);
    EXPECT_EQ(out.cache->slots[0].state, 1);
    EXPECT_EQ(out.cache->slots[1].state, 1);
    EXPECT_EQ(out.cache->slots[1].row, 1);
    EXPECT_EQ(out.cache->pending, 2);
    EXPECT_EQ(out.header->amax, 5.0f);  // merged before the write
    EXPECT_EQ(mrc_close(&out, NULL), -1);
}

TEST(MrcFlushErrors, ReadOnlyRecord)
{
    scratch_dir_t dir;
    const std::string p = dir.file("t.mrc");
    write_volume(p, 2, 4, 2, 2, tilt_value);
    mrc_image_t rec;
    int depth = 2;
    ASSERT_EQ(mrc_open(p.c_str(), &rec, 0, 0, 0, &depth, 1), 0);  // slots start in state 1
    EXPECT_EQ(mrc_cache_flush(&rec), 0);
    EXPECT_EQ(mrc_errno(), 7);
    EXPECT_EQ(rec.cache->slots[0].state, 1);
    mrc_image_t buf = {};
    ASSERT_EQ(mrc_alloc_data_x1(&buf, 2, 4, 2), 0);
    EXPECT_EQ(mrc_write_sections(&buf, &rec, 0, 1), -1);
    EXPECT_EQ(mrc_errno(), 7);
    mrc_free_data(&buf);
    mrc_close(&rec, NULL);
}

TEST(MrcTransfers, RingsRoundTrip)
{
    scratch_dir_t dir;
    const std::string p = dir.file("ring.mrc");
    mrc_image_t out;
    ASSERT_EQ(mrc_create(p.c_str(), &out, 3, 2, 6, 0, NULL), 0);
    mrc_image_t buf = {}, back = {};
    ASSERT_EQ(mrc_alloc_data_x1(&buf, 3, 2, 4), 0);
    ASSERT_EQ(mrc_alloc_data_x1(&back, 3, 2, 4), 0);
    for (int i = 0; i < 24; ++i) buf.data[0][0][i] = (float)i;
    // Planes 3 and then 0 and 1 of the ring hold sections 2, 3 and 4.
    EXPECT_EQ(mrc_write_sections_ring(&buf, &out, 2, 3, 3), 3);
    EXPECT_EQ(mrc_write_sections(&buf, &out, 5, 4), 1);  // clamped at nz
    ASSERT_EQ(mrc_close(&out, NULL), 0);
    mrc_image_t in;
    ASSERT_EQ(mrc_open(p.c_str(), &in, 1, 0, 0, NULL), 0);
    mrc_zero_data(&back);
    EXPECT_EQ(mrc_read_sections_ring(&back, &in, 2, 3, 3), 3);
    for (int i = 0; i < 18; ++i) {
        const int plane = i / 6, ring = (plane + 3) % 4;
        ASSERT_EQ(back.data[ring][0][i % 6], buf.data[ring][0][i % 6]) << i;
    }
    EXPECT_EQ(mrc_read_sections(&back, &in, 5, 9), 1);
    EXPECT_EQ(back.data[0][1][2], 5.0f);
    // Rows gathered into a ring: row y + j of every section into plane j.
    mrc_image_t rows = {};
    ASSERT_EQ(mrc_alloc_data_x1(&rows, 3, 6, 2), 0);
    mrc_close(&in, NULL);
    ASSERT_EQ(mrc_open(p.c_str(), &in, 0, 0, 0, NULL), 0);
    EXPECT_EQ(mrc_read_rows_ring(&rows, &in, 0, 2, 1), 2);
    EXPECT_EQ(rows.data[1][2][0], buf.data[3][0][0]);  // row 0 of section 2 in plane 1
    EXPECT_EQ(rows.data[0][2][0], buf.data[3][1][0]);  // row 1 wrapped to plane 0
    mrc_close(&in, NULL);
    mrc_free_data(&rows);
    mrc_free_data(&buf);
    mrc_free_data(&back);
}

}  // namespace

namespace {

// The header mean of a volume of millions of voxels around a large value:
// single-precision sums would drift far beyond one unit in the last place
// of the mean. Sections go out through the write cache, two slots at a time,
// as the writer sends them.
TEST(MrcFlushStatistics, MeanOfMillionsOfVoxelsKeepsItsPrecision)
{
    constexpr int NX = 256, NY = 256, NZ = 64;
    auto value = [](int x, int y, int z) {
        return 4000.0f + 0.0137f * (float)((x * 7 + y * 13 + z * 3) % 101);
    };
    scratch_dir_t dir;
    const std::string p = dir.file("big.mrc");
    mrc_image_t out;
    int depth = 2;
    ASSERT_EQ(mrc_create(p.c_str(), &out, NX, NY, NZ, 0, &depth, 1, 0), 0);
    double sum = 0.0;
    for (int z = 0; z < NZ; ++z) {
        int s = mrc_cache_acquire(&out, -1);
        if (s < 0) {
            ASSERT_EQ(mrc_cache_flush(&out), depth);
            s = mrc_cache_acquire(&out, -1);
        }
        ASSERT_GE(s, 0);
        mrc_cache_set_row(&out, s, z);
        for (int y = 0; y < NY; ++y)
            for (int x = 0; x < NX; ++x) {
                const float v = value(x, y, z);
                out.data[s][y][x] = v;
                sum += v;
            }
        mrc_cache_release(&out, s);
    }
    ASSERT_EQ(mrc_cache_flush(&out), depth);
    ASSERT_EQ(mrc_close(&out, NULL), 0);
    const double mean = sum / ((double)NX * NY * NZ);
    const std::string b = read_whole_file(p);
    ASSERT_EQ(b.size(), 1024u + (size_t)NX * NY * NZ * 4);
    float amean, amin, amax;
    memcpy(&amin, b.data() + 76, 4);
    memcpy(&amax, b.data() + 80, 4);
    memcpy(&amean, b.data() + 84, 4);
    EXPECT_EQ(amin, 4000.0f);
    EXPECT_EQ(amax, 4000.0f + 0.0137f * 100.0f);
    // Within one unit in the last place of the double mean.
    EXPECT_NEAR(amean, mean, std::nextafter((float)mean, 1e9f) - (float)mean)
        << "double mean " << mean;
}

}  // namespace

namespace {

// Whole sections of a resumed volume into the write slots of every lane
// count: each slot's row is the window section of its first plane, the slot
// a worker asks for by that row, and the last slot is clamped at the end.
class FillSections : public ::testing::TestWithParam<int> {};

TEST_P(FillSections, SlotRowsStepBySlotAndClampedTail)
{
    const int step = GetParam();
    const int nz = 2 * step + step / 2 + 1;  // the second load fills part of one slot
    auto value = [](int x, int y, int z) { return 1000 + z * 10 + y * 3 + x; };
    scratch_dir_t dir;
    const std::string old = dir.file("old.mrc");
    write_volume(old, 3, 2, nz + 2, 2, value);
    mrc_image_t out, resumed;
    int depth = 2 * step;
    ASSERT_EQ(mrc_create(dir.file("new.mrc").c_str(), &out, 3, 2, nz, 0, &depth, step, 1), 0);
    ASSERT_EQ(out.cache->nslots, 2);
    ASSERT_EQ(mrc_open(old.c_str(), &resumed, 1, 2, nz, NULL), 0);  // file sections 2 on
    mrc_share_cache(&out, &resumed);

    // Window section z lies in plane z - first of the slot tagged first.
    auto check_slot = [&](int slot, int first, int planes) {
        EXPECT_EQ(out.cache->slots[slot].state, 0) << "slot " << slot;
        EXPECT_EQ(out.cache->slots[slot].row, first) << "slot " << slot;
        for (int l = 0; l < planes; ++l)
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 3; ++x)
                    ASSERT_EQ(out.data[slot * step + l][y][x], value(x, y, first + l + 2))
                        << "slot " << slot << " plane " << l;
    };
    EXPECT_EQ(mrc_cache_fill_sections(&resumed, 0), 2 * step);
    EXPECT_EQ(mrc_errno(), 0);
    check_slot(0, 0, step);
    check_slot(1, step, step);
    EXPECT_EQ(out.cache->ready, 2);
    EXPECT_EQ(out.cache->owed, 0);

    // Workers take the slot that holds their rows, and only that one.
    if (step > 1) {
        EXPECT_EQ(mrc_cache_acquire(&out, 1), -1);
    }
    ASSERT_EQ(mrc_cache_acquire(&out, step), 1);
    ASSERT_EQ(mrc_cache_acquire(&out, 0), 0);
    mrc_cache_release(&out, 1);
    mrc_cache_release(&out, 0);
    EXPECT_EQ(mrc_cache_flush(&out), 2 * step);

    // The rest: step / 2 + 1 sections in slot 0; slot 1 would start past
    // the end and stays to be loaded.
    EXPECT_EQ(mrc_cache_fill_sections(&resumed, 2 * step), nz - 2 * step);
    check_slot(0, 2 * step, nz - 2 * step);
    EXPECT_EQ(out.cache->slots[1].state, 3);
    EXPECT_EQ(out.cache->slots[1].row, -1);
    EXPECT_EQ(out.cache->ready, 1);
    EXPECT_EQ(out.cache->owed, 1);
    EXPECT_EQ(mrc_cache_acquire(&out, 2 * step), 0);
    mrc_close(&resumed, NULL);
    mrc_close(&out, NULL);
}

INSTANTIATE_TEST_SUITE_P(Steps, FillSections, ::testing::Values(1, 4, 8));

}  // namespace
