// Opening, creating, peeking, labelling and closing MRC files.
#include <gtest/gtest.h>

#include <float.h>
#include <math.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "mrc/mrc_internal.h"
#include "mrc/mrc_output.h"
#include "tests/mrc/mrc_test_util.h"

using namespace mrc_test;

namespace {

std::string small_file(const scratch_dir_t &dir, const char *name, int mode, int nz = 3)
{
    std::string p = dir.file(name);
    write_volume(p, 4, 5, nz, mode, [](int x, int y, int z) { return x + y + z; });
    return p;
}

TEST(MrcOpen, SizeRuleAndDamagedHeaders)
{
    scratch_dir_t dir;
    const std::string good = mrc_raw_file(mrc_raw_header(4, 5, 3, 1), "", std::string(120, '\1'));
    mrc_raw_header_t zero_nx = mrc_raw_header(0, 5, 3, 2);
    mrc_raw_header_t neg_next = mrc_raw_header(1, 1, 1, 2, -4);  // 1024 - 4 + 4 matches 1024
    mrc_raw_header_t neg_dims = mrc_raw_header(-2, -2, 1, 0);    // product 4 matches 1028
    struct Case { const char *what; std::string bytes; int code; };
    const Case cases[] = {
        {"exact", good, 0},
        {"one byte more", good + "x", 6},
        {"one byte less", good.substr(0, good.size() - 1), 6},
        {"empty file", "", 6},
        {"short, invalid mode in what was read", std::string("\4\0\0\0\4\0\0\0\1\0\0\0\3\0\0\0", 16), 6},
        {"header only, 1023 bytes", good.substr(0, 1023), 6},
        {"zero nx", mrc_raw_file(zero_nx, "", ""), 6},
        {"negative next", mrc_raw_file(neg_next, "", std::string(4, '\0')), 6},
        {"negative dimensions", mrc_raw_file(neg_dims, "", std::string(4, '\0')), 6},
        // Sizes of 2^64 bytes, which 64 bits would wrap to 0 and so to 1024.
        {"nx ny nz beyond 64 bits", mrc_raw_file(mrc_raw_header(1 << 30, 1 << 30, 16, 0), "", ""), 6},
        {"bytes beyond 64 bits", mrc_raw_file(mrc_raw_header(1 << 30, 1 << 30, 4, 2), "", ""), 6},
        {"with extended header", mrc_raw_file(mrc_raw_header(4, 5, 3, 1, 7), "abcdefg", std::string(120, '\1')), 0},
    };
    for (const Case &c : cases) {
        const std::string p = dir.file("f.mrc");
        mrc_raw_write(p, c.bytes);
        mrc_image_t rec;
        const int rc = mrc_open(p.c_str(), &rec, 0, 0, 0, NULL);
        EXPECT_EQ(mrc_errno(), c.code) << c.what;
        EXPECT_EQ(rc, c.code ? -1 : 0) << c.what;
        if (rc == 0) {
            EXPECT_EQ(rec.nx, 4);
            EXPECT_EQ(rec.data_offset, 1024 + rec.header->next);
            EXPECT_EQ(rec.section_bytes, 4 * 5 * 2);
            if (rec.header->next) {
                EXPECT_EQ(std::string((char *)rec.ext_header, 7), "abcdefg");
            } else {
                EXPECT_EQ(rec.ext_header, nullptr);
            }
            EXPECT_STREQ(rec.path, p.c_str());
            EXPECT_EQ(mrc_close(&rec, NULL), 0);
        }
    }
    mrc_image_t rec;
    EXPECT_EQ(mrc_open(dir.file("missing.mrc").c_str(), &rec, 0, 0, 0, NULL), -1);
    EXPECT_EQ(mrc_errno(), 1);
}

// A failed open or peek keeps the system's reason, named with the file,
// beside its code; an unread data mode names the mode and the modes read.
TEST(MrcOpen, FailuresKeepTheirReason)
{
    scratch_dir_t dir;
    const std::string missing = dir.file("missing.mrc"), folder = dir.file("folder");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const std::string half = dir.file("half.mrc");
    mrc_raw_write(half, mrc_raw_file(mrc_raw_header(1, 1, 3, 12), "", std::string(6, '\0')));
    int nx = 0, n = 0;
    mrc_image_t rec;
    const struct {
        const char *what;
        std::function<int()> call;
        int code;
        std::string reason;
    } cases[] = {
        {"open, missing", [&] { return mrc_open(missing.c_str(), &rec, 0, 0, 0, NULL); }, 1,
         missing + ": No such file or directory"},
        {"open, a directory", [&] { return mrc_open(folder.c_str(), &rec, 0, 0, 0, NULL); }, 4,
         folder + ": Is a directory"},
        {"open, half floats", [&] { return mrc_open(half.c_str(), &rec, 0, 0, 0, NULL); }, 10,
         half + ": data mode 12 is not read (modes read: 0, 1, 2, 6)"},
        {"dims, missing", [&] { return mrc_read_dims(missing.c_str(), 0, &nx, &n); }, 1,
         missing + ": No such file or directory"},
        {"dims, a directory", [&] { return mrc_read_dims(folder.c_str(), 0, &nx, &n); }, 4,
         folder + ": Is a directory"},
        {"origin row, missing", [&] { return mrc_read_origin_row(missing.c_str()); }, 1,
         missing + ": No such file or directory"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.call(), -1) << c.what;
        EXPECT_EQ(mrc_errno(), c.code) << c.what;
        EXPECT_EQ(std::string(mrc_errdetail()), c.reason) << c.what;
        // The next success clears it.
        mrc_image_t ok;
        ASSERT_EQ(mrc_open(small_file(dir, "ok.mrc", 2).c_str(), &ok, 0, 0, 0, NULL), 0);
        EXPECT_STREQ(mrc_errdetail(), "") << c.what;
        mrc_close(&ok, NULL);
    }
}

TEST(MrcOpen, DataModes)
{
    scratch_dir_t dir;
    struct Case { int mode; int nz; int code; int bpv; };
    const Case cases[] = {
        {0, 3, 0, 1}, {1, 3, 0, 2}, {2, 3, 0, 4}, {6, 3, 0, 2},
        {3, 3, 10, 0}, {4, 3, 10, 0}, {12, 3, 10, 0}, {-1, 3, 10, 0},
        // More than 65535 sections reads as the other byte order: the
        // reversed mode is invalid, except mode 0 which then fails the size.
        {1, 70000, 10, 0}, {2, 70000, 10, 0}, {6, 70000, 10, 0}, {0, 70000, 6, 0},
    };
    for (const Case &c : cases) {
        const std::string p = dir.file("m.mrc");
        mrc_raw_header_t h = mrc_raw_header(1, 1, c.nz, c.mode);
        mrc_raw_write(p, mrc_raw_file(h, "", std::string((size_t)c.nz * (c.bpv ? c.bpv : 2), '\0')));
        mrc_image_t rec;
        const int rc = mrc_open(p.c_str(), &rec, 0, 0, 0, NULL);
        EXPECT_EQ(mrc_errno(), c.code) << "mode " << c.mode << " nz " << c.nz;
        if (rc == 0) {
            EXPECT_EQ(rec.bytes_per_voxel, c.bpv);
            EXPECT_EQ(rec.swapped, 0);
            mrc_close(&rec, NULL);
        }
    }
}

TEST(MrcOpen, ReverseByteOrderHeader)
{
    scratch_dir_t dir;
    const std::string p = dir.file("be.mrc");
    mrc_raw_header_t h = mrc_raw_header(6, 4, 2, 2);
    mrc_raw_set_float(h, 19, -3.5f);
    h.w[25] = 77;  // origin_row
    mrc_raw_set_label(h, 0, "written big-endian");
    h.w[55] = 1;
    mrc_raw_write(p, mrc_raw_file(h, "", std::string(6 * 4 * 2 * 4, '\0'), true));
    mrc_image_t rec;
    ASSERT_EQ(mrc_open(p.c_str(), &rec, 0, 0, 0, NULL), 0);
    EXPECT_EQ(rec.swapped, 1);
    EXPECT_EQ(rec.header->nx, 6);
    EXPECT_EQ(rec.header->ny, 4);
    EXPECT_EQ(rec.header->mode, 2);
    EXPECT_EQ(rec.header->amin, -3.5f);
    EXPECT_EQ(rec.header->nlabl, 1);
    EXPECT_EQ(std::string(rec.header->labels[0], 18), "written big-endian");
    EXPECT_EQ(rec.header->labels[0][80], '\0');
    mrc_close(&rec, NULL);
    // The peeks return the words as stored.
    EXPECT_EQ(mrc_read_origin_row(p.c_str()), (int)__builtin_bswap32(77));
    EXPECT_EQ(mrc_errno(), 0);
}

TEST(MrcOpen, RangesAtTheirLimits)
{
    scratch_dir_t dir;
    const std::string p = small_file(dir, "r.mrc", 2, 7);  // 4 x 5 x 7
    struct Case { int axis, first, count, code, ny, nz; };
    const Case cases[] = {
        {0, -1, 0, 0, 5, 7},   // count 0: whole file, first not looked at
        {0, 0, 5, 0, 5, 7},
        {0, 1, 4, 0, 4, 7},
        {0, 1, 5, 11, 0, 0},
        {0, -1, 2, 11, 0, 0},
        {0, 0, -1, 11, 0, 0},
        {0, 0x7fffffff, 1, 11, 0, 0},  // first + count overflows int32
        {1, 2, 5, 0, 5, 5},
        {1, 3, 5, 11, 0, 0},
        {2, 0, 0, 13, 0, 0},
    };
    for (const Case &c : cases) {
        mrc_image_t rec;
        const int rc = mrc_open(p.c_str(), &rec, c.axis, c.first, c.count, NULL);
        EXPECT_EQ(mrc_errno(), c.code) << c.axis << " " << c.first << " " << c.count;
        if (rc != 0) continue;
        EXPECT_EQ(rec.ny, c.ny);
        EXPECT_EQ(rec.nz, c.nz);
        EXPECT_EQ(rec.section_bytes, 4 * 5 * 4);  // always the file's ny
        const mrc_header_t *h = rec.header;
        if (c.count == 0) {
            EXPECT_EQ(h->nystart, 0);
            EXPECT_EQ(h->nzstart, 0);
        } else if (c.axis == 0) {
            EXPECT_EQ(h->nystart, c.first);
            EXPECT_EQ(h->ny, c.count);
        } else {
            EXPECT_EQ(h->nzstart, c.first);
            EXPECT_EQ(h->nz, c.count);
        }
        mrc_close(&rec, NULL);
    }
    // File checks come before the axis check.
    const std::string bad = dir.file("bad.mrc");
    mrc_raw_write(bad, read_whole_file(p) + "x");
    mrc_image_t rec;
    EXPECT_EQ(mrc_open(bad.c_str(), &rec, 2, 0, 0, NULL), -1);
    EXPECT_EQ(mrc_errno(), 6);
}

TEST(MrcPeek, DimsAndOriginRow)
{
    scratch_dir_t dir;
    const std::string p = dir.file("p.mrc");
    mrc_raw_header_t h = mrc_raw_header(9, 8, 7, 2);
    h.w[25] = -5;
    // The peeks check neither size nor byte order: no voxels needed.
    mrc_raw_write(p, mrc_raw_file(h, "", ""));
    int nx = 0, n = 0;
    EXPECT_EQ(mrc_read_dims(p.c_str(), 0, &nx, &n), 0);
    EXPECT_EQ(nx, 9);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(mrc_read_dims(p.c_str(), 1, &nx, &n), 0);
    EXPECT_EQ(n, 8);
    nx = n = 0;
    EXPECT_EQ(mrc_read_dims(p.c_str(), 2, &nx, &n), -1);
    EXPECT_EQ(mrc_errno(), 13);
    EXPECT_EQ(nx, 9);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(mrc_read_origin_row(p.c_str()), -5);
    EXPECT_EQ(mrc_errno(), 0);
    EXPECT_EQ(mrc_read_origin_row(dir.file("none").c_str()), -1);
    EXPECT_EQ(mrc_errno(), 1);
    const std::string cut = dir.file("cut.mrc");
    mrc_raw_write(cut, mrc_raw_file(h, "", "").substr(0, 200));
    EXPECT_EQ(mrc_read_dims(cut.c_str(), 0, &nx, &n), -1);
    EXPECT_EQ(mrc_errno(), 4);
    EXPECT_EQ(mrc_read_origin_row(cut.c_str()), -1);
    EXPECT_EQ(mrc_errno(), 4);

    // A tilt series of the other byte order: the run tuning needs its real
    // dimensions, not their byte-reversed words (2048 would read 524288).
    const std::string be = dir.file("be.mrc");
    mrc_raw_write(be, mrc_raw_file(mrc_raw_header(2048, 16, 61, 1), "", "", true));
    EXPECT_EQ(mrc_read_dims(be.c_str(), 0, &nx, &n), 0);
    EXPECT_EQ(nx, 2048);
    EXPECT_EQ(n, 61);
    EXPECT_EQ(mrc_read_dims(be.c_str(), 1, &nx, &n), 0);
    EXPECT_EQ(n, 16);
}

TEST(MrcOpen, SetImageCount)
{
    scratch_dir_t dir;
    const std::string p = small_file(dir, "s.mrc", 1, 6);
    mrc_image_t rec;
    int depth = 4;
    ASSERT_EQ(mrc_open(p.c_str(), &rec, 0, 0, 0, &depth, 1), 0);
    EXPECT_EQ(rec.cache->rows, 6);
    EXPECT_EQ(mrc_set_image_count(&rec, 7), -1);
    EXPECT_EQ(mrc_errno(), 13);
    EXPECT_EQ(mrc_set_image_count(&rec, 0), -1);
    EXPECT_EQ(mrc_errno(), 13);
    EXPECT_EQ(rec.nz, 6);
    ASSERT_EQ(mrc_set_image_count(&rec, 4), 0);
    EXPECT_EQ(rec.nz, 4);
    EXPECT_EQ(rec.header->nz, 6);
    EXPECT_EQ(rec.cache->rows, 4);
    // The new buffer is sized for 4 tilt images and is what reads fill.
    EXPECT_EQ(mrc_cache_fill_rows(&rec, 0), 4);
    EXPECT_EQ(mrc_errno(), 0);
    EXPECT_EQ(rec.data[3][3][2], 2 + 3 + 3);
    mrc_close(&rec, NULL);

    ASSERT_EQ(mrc_open(p.c_str(), &rec, 1, 0, 0, NULL), 0);
    EXPECT_EQ(mrc_set_image_count(&rec, 2), -1);
    EXPECT_EQ(mrc_errno(), 13);
    mrc_close(&rec, NULL);
}

float word_float(const std::string &bytes, int off)
{
    float f;
    memcpy(&f, bytes.data() + off, 4);
    return f;
}

int32_t word_int(const std::string &bytes, int off)
{
    int32_t v;
    memcpy(&v, bytes.data() + off, 4);
    return v;
}

TEST(MrcCreate, EmptyVolumeHeader)
{
    scratch_dir_t dir;
    const std::string p = dir.file("out.mrc");
    mrc_image_t rec;
    ASSERT_EQ(mrc_create(p.c_str(), &rec, 6, 4, 3, 12, NULL), 0);
    EXPECT_EQ(rec.writable, 1);
    EXPECT_EQ(rec.axis, 1);
    EXPECT_EQ(rec.section_bytes, 6 * 4 * 4);
    EXPECT_EQ(rec.cache, nullptr);
    EXPECT_EQ(read_whole_file(p).size(), 0u);  // nothing is written before the close
    ASSERT_EQ(mrc_close(&rec, NULL), 0);
    const std::string b = read_whole_file(p);
    ASSERT_EQ(b.size(), 1024u);
    EXPECT_EQ(word_int(b, 0), 6);
    EXPECT_EQ(word_int(b, 12), 2);
    EXPECT_EQ(word_int(b, 36), 3);
    EXPECT_EQ(word_float(b, 40), 0.0f);  // no reference: no cell lengths
    EXPECT_EQ(word_float(b, 52), 90.0f);
    EXPECT_EQ(word_int(b, 72), 3);
    EXPECT_EQ(word_float(b, 76), FLT_MAX);
    EXPECT_EQ(word_float(b, 80), -FLT_MAX);
    EXPECT_EQ(word_float(b, 84), 0.0f);
    EXPECT_EQ(word_int(b, 88), 1);
    EXPECT_EQ(word_int(b, 100), 12);
    EXPECT_EQ(word_int(b, 108), 20140);
    EXPECT_EQ(b.substr(208, 4), "MAP ");
    EXPECT_EQ(b.substr(212, 4), std::string("\x44\x44\0\0", 4));
    EXPECT_EQ(word_int(b, 220), 0);
    EXPECT_EQ(b.substr(224), std::string(800, '\0'));
}

TEST(MrcCreate, CellFromReferenceAndTrueStatistics)
{
    scratch_dir_t dir;
    mrc_image_t ref = {};
    mrc_header_t rh = {};
    rh.mx = 10;
    rh.my = 20;
    rh.xlen = 25.0f;  // 2.5 per pixel
    rh.ylen = 30.0f;  // 1.5 per pixel
    ref.header = &rh;
    const std::string p = dir.file("vol.mrc");
    mrc_image_t rec;
    ASSERT_EQ(mrc_create(p.c_str(), &rec, 4, 2, 3, 0, NULL), 0);
    mrc_image_t buf = {};
    ASSERT_EQ(mrc_alloc_data_x1(&buf, 4, 2, 3), 0);
    // All negative: the maximum must be the true one.
    std::vector<double> v;
    for (int i = 0; i < 24; ++i) {
        buf.data[0][0][i] = -1000.0f - 0.5f * i;
        v.push_back(buf.data[0][0][i]);
    }
    EXPECT_EQ(mrc_write_sections(&buf, &rec, 0, 3), 3);
    mrc_free_data(&buf);
    ASSERT_EQ(mrc_close(&rec, &ref), 0);
    const std::string b = read_whole_file(p);
    ASSERT_EQ(b.size(), 1024u + 96);
    EXPECT_FLOAT_EQ(word_float(b, 40), 10.0f);  // 4 x 2.5
    EXPECT_FLOAT_EQ(word_float(b, 44), 5.0f);   // 2 x the x pixel size: y is the thickness
    EXPECT_FLOAT_EQ(word_float(b, 48), 4.5f);   // 3 x the y pixel size: z runs along the rows
    double mean = 0, var = 0;
    for (double x : v) mean += x / v.size();
    for (double x : v) var += (x - mean) * (x - mean) / v.size();
    EXPECT_EQ(word_float(b, 76), -1011.5f);
    EXPECT_EQ(word_float(b, 80), -1000.0f);
    EXPECT_FLOAT_EQ(word_float(b, 84), (float)mean);
    EXPECT_NEAR(word_float(b, 216), sqrt(var), 1e-4);

    // A reference without sampling gives non-finite lengths, written as such.
    rh.mx = 0;
    ASSERT_EQ(mrc_create(p.c_str(), &rec, 4, 2, 3, 0, NULL), 0);
    ASSERT_EQ(mrc_close(&rec, &ref), 0);
    EXPECT_FALSE(std::isfinite(word_float(read_whole_file(p), 40)));
}

TEST(MrcCreate, Failures)
{
    scratch_dir_t dir;
    mrc_image_t rec;
    EXPECT_EQ(mrc_create(dir.file("no/such/dir.mrc").c_str(), &rec, 2, 2, 2, 0, NULL), -1);
    EXPECT_EQ(mrc_errno(), 2);
    EXPECT_EQ(mrc_create(dir.file("zero.mrc").c_str(), &rec, 0, 2, 2, 0, NULL), -1);
    EXPECT_EQ(mrc_errno(), 13);
    EXPECT_EQ(read_whole_file(dir.file("zero.mrc")), "");
    int depth = 4;
    EXPECT_EQ(mrc_create(dir.file("step.mrc").c_str(), &rec, 2, 2, 2, 0, &depth, 3, 0), -1);
    EXPECT_EQ(mrc_errno(), 13);
    // A full device: the close must report that the header did not land.
    ASSERT_EQ(mrc_create("/dev/full", &rec, 2, 2, 2, 0, NULL), 0);
    EXPECT_EQ(mrc_close(&rec, NULL), -1);
    EXPECT_TRUE(mrc_errno() == 3 || mrc_errno() == 5);
}

// Names in a directory, hidden ones included.
std::vector<std::string> listing(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

void mrc_raw_write(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Whatever stands at the name stays until the close has written the whole
// volume, and nothing new shows in any directory before then; the volume
// lands at the file the name leads to, which keeps the mode it had, while a
// new file takes 0666 less the umask.
TEST(MrcCreate, OutputReplacedOnlyAtTheClose)
{
    scratch_dir_t dir;
    mkdir(dir.file("sub").c_str(), 0755);
    mrc_raw_write(dir.file("sub/target.mrc"), "old volume");
    chmod(dir.file("sub/target.mrc").c_str(), 0604);
    symlink("sub/target.mrc", dir.file("link.mrc").c_str());
    symlink("sub/fresh.mrc", dir.file("dangling.mrc").c_str());
    const mode_t mask = umask(027);
    struct Case { const char *name; const char *lands_at; unsigned mode; };
    const Case cases[] = {
        {"sub/target.mrc", "sub/target.mrc", 0604},
        {"link.mrc", "sub/target.mrc", 0604},   // the link stays, its file is replaced
        {"dangling.mrc", "sub/fresh.mrc", 0640},
        {"new.mrc", "new.mrc", 0640},
    };
    for (const Case &c : cases) {
        const std::string before = read_whole_file(dir.file(c.lands_at));
        const std::vector<std::string> top = listing(dir.path), sub = listing(dir.file("sub"));
        mrc_image_t rec;
        ASSERT_EQ(mrc_create(dir.file(c.name).c_str(), &rec, 4, 2, 3, 0, NULL), 0) << c.name;
        EXPECT_STREQ(rec.path, dir.file(c.name).c_str());
        // The common case is a rename, never a copy into the old file.
        EXPECT_EQ(mrc_replace_mode(&rec), MRC_REPLACE_RENAME) << c.name;
        EXPECT_EQ(read_whole_file(dir.file(c.lands_at)), before) << c.name;
        int temp_dir = -1;
        const char *temp = mrc_temp_name(&rec, &temp_dir);
        if (temp) {  // only where the file system has no unnamed files
            EXPECT_EQ(std::string(temp).rfind("." + std::filesystem::path(c.lands_at).filename().string() + ".part-", 0), 0u) << temp;
            struct stat st;
            EXPECT_EQ(fstatat(temp_dir, temp, &st, 0), 0) << temp;
        } else {
            EXPECT_EQ(listing(dir.path), top) << c.name;
            EXPECT_EQ(listing(dir.file("sub")), sub) << c.name;
        }
        ASSERT_EQ(mrc_close(&rec, NULL), 0) << c.name;
        EXPECT_EQ(read_whole_file(dir.file(c.lands_at)).size(), 1024u) << c.name;
        struct stat st;
        ASSERT_EQ(stat(dir.file(c.lands_at).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.mode) << c.name;
    }
    umask(mask);
    struct stat st;
    ASSERT_EQ(lstat(dir.file("link.mrc").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(listing(dir.path),
              (std::vector<std::string>{"dangling.mrc", "link.mrc", "new.mrc", "sub"}));
    EXPECT_EQ(listing(dir.file("sub")), (std::vector<std::string>{"fresh.mrc", "target.mrc"}));
}

// A close that cannot put the volume in place fails and leaves no trace,
// and so does a create that fails once the file beside exists.
TEST(MrcCreate, FailedCloseRemovesTheVolume)
{
    scratch_dir_t dir;
    mrc_image_t rec;
    ASSERT_EQ(mrc_create(dir.file("out.mrc").c_str(), &rec, 4, 2, 3, 0, NULL), 0);
    mkdir(dir.file("out.mrc").c_str(), 0755);  // a directory cannot be replaced by a file
    EXPECT_EQ(mrc_close(&rec, NULL), -1);
    EXPECT_EQ(mrc_errno(), 2);
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"out.mrc"});
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("out.mrc")));

    // A file that cannot be written is refused at once, not at the close.
    EXPECT_EQ(mrc_create(dir.file("out.mrc").c_str(), &rec, 4, 2, 3, 0, NULL), -1);
    EXPECT_EQ(mrc_errno(), 2);
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"out.mrc"});

    // A cache that cannot be had: the create fails after its file was made.
    mrc_raw_write(dir.file("keep.mrc"), "old volume");
    int depth = 1 << 30;
    EXPECT_EQ(mrc_create(dir.file("keep.mrc").c_str(), &rec, 1 << 30, 1 << 30, 1 << 30, 0, &depth, 8, 0), -1);
    EXPECT_EQ(mrc_errno(), 8);
    EXPECT_EQ(read_whole_file(dir.file("keep.mrc")), "old volume");
    EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"keep.mrc", "out.mrc"}));
}

std::string label_text(const mrc_image_t &rec, int i)
{
    return std::string(rec.header->labels[i], 80);
}

// " dd-Mon-yy  hh:mm:ss     ": '9' stands for a digit, 'A' for an upper-case
// and 'a' for a lower-case letter; anything else must match itself.
bool is_dated(const std::string &s)
{
    const std::string shape = " 99-Aaa-99  99:99:99     ";
    if (s.size() != shape.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i], want = shape[i];
        const bool ok = want == '9' ? c >= '0' && c <= '9'
                      : want == 'A' ? c >= 'A' && c <= 'Z'
                      : want == 'a' ? c >= 'a' && c <= 'z'
                                    : c == want;
        if (!ok) return false;
    }
    return true;
}

// Which existing outputs a rename may replace: only the very file the path
// leads to, on its own mount, where the user may remove it and the
// directory does not keep the names linked into it. Each condition alone
// sends the volume into the old file instead.
TEST(MrcOutput, PlanChoice)
{
    struct Case {
        const char *what;
        mrc_output_facts_t facts;
        int plan;
    } cases[] = {
        {"new output", {0, 0, 0, 0, 0}, MRC_REPLACE_RENAME},
        {"new output in an append-only directory", {0, 0, 0, 0, 1}, MRC_REPLACE_RENAME},
        {"plain file of one link", {1, 1, 0, 0, 0}, MRC_REPLACE_RENAME},
        {"two links", {1, 2, 0, 0, 0}, MRC_REPLACE_COPY},
        {"mounted over its name", {1, 1, 1, 0, 0}, MRC_REPLACE_COPY},
        {"another's file in a sticky directory", {1, 1, 0, 1, 0}, MRC_REPLACE_COPY},
        {"in an append-only directory", {1, 1, 0, 0, 1}, MRC_REPLACE_COPY},
    };
    for (const Case &c : cases)
        EXPECT_EQ(mrc_output_choose(&c.facts), c.plan) << c.what;
}

// The free-space rule at its boundaries, in blocks of 4096 bytes: beside
// the old file while both fit (for a copy, also the old file's growth),
// in its place while only the new one fits there, and beside again when
// nothing fits anyway or the file system counts no blocks.
TEST(MrcOutput, RoomRule)
{
    const int64_t block = 4096, bytes = 100 * block - 5;  // needs 100 blocks
    struct Case {
        const char *what;
        uint64_t total, avail;
        int64_t held512;  // the old file's st_blocks, -1: none
        int plan;
        int beside;
    } cases[] = {
        {"new output, no room at all", 1000, 0, -1, MRC_REPLACE_RENAME, 1},
        {"rename, exact fit", 1000, 100, 8 * 40, MRC_REPLACE_RENAME, 1},
        {"rename, one block short, fits in the old place", 1000, 99, 8 * 40, MRC_REPLACE_RENAME, 0},
        {"rename, fits the old place exactly", 1000, 60, 8 * 40, MRC_REPLACE_RENAME, 0},
        {"rename, fits nowhere", 1000, 59, 8 * 40, MRC_REPLACE_RENAME, 1},
        {"copy, room for the volume and the growth", 1000, 160, 8 * 40, MRC_REPLACE_COPY, 1},
        {"copy, one block short of the growth", 1000, 159, 8 * 40, MRC_REPLACE_COPY, 0},
        {"copy into a larger old file", 1000, 100, 8 * 150, MRC_REPLACE_COPY, 1},
        {"no block count (ramfs), a large old file", 0, 0, 8 * 150, MRC_REPLACE_RENAME, 1},
    };
    for (const Case &c : cases) {
        struct statvfs vfs = {};
        vfs.f_frsize = vfs.f_bsize = (unsigned long)block;
        vfs.f_blocks = c.total;
        vfs.f_bavail = vfs.f_bfree = c.avail;
        EXPECT_EQ(mrc_output_room(&vfs, bytes, c.held512, c.plan), c.beside) << c.what;
    }
}

TEST(MrcLabels, AddAndCopyLimits)
{
    scratch_dir_t dir;
    mrc_image_t out;
    ASSERT_EQ(mrc_create(dir.file("l.mrc").c_str(), &out, 2, 2, 2, 0, NULL), 0);
    mrc_add_label(&out, "");
    mrc_add_label(&out, std::string(60, 'x').c_str());
    EXPECT_EQ(out.header->nlabl, 2);
    EXPECT_EQ(label_text(out, 0).substr(0, 55), std::string(55, ' '));
    EXPECT_TRUE(is_dated(label_text(out, 0).substr(55))) << label_text(out, 0);
    EXPECT_EQ(label_text(out, 1).substr(0, 55), std::string(55, 'x'));
    EXPECT_EQ(out.header->labels[1][80], '\0');

    // Sources with 0, 11 and 8 labels; the destination holds 5.
    mrc_header_t src_h = {};
    mrc_image_t src = {};
    src.header = &src_h;
    for (int i = 0; i < 10; ++i) snprintf(src_h.labels[i], 81, "source label %d%66s", i, "");
    EXPECT_EQ(mrc_copy_labels(&out, &src), 0);
    EXPECT_EQ(out.header->nlabl, 2);
    src_h.nlabl = 11;
    EXPECT_EQ(mrc_copy_labels(&out, &src), -1);
    EXPECT_EQ(mrc_errno(), 12);
    EXPECT_EQ(out.header->nlabl, 2);
    for (int i = 0; i < 3; ++i) mrc_add_label(&out, "own");
    src_h.nlabl = 8;
    EXPECT_EQ(mrc_copy_labels(&out, &src), 0);
    EXPECT_EQ(out.header->nlabl, 10);
    EXPECT_EQ(label_text(out, 5).substr(0, 14), "source label 0");
    EXPECT_EQ(label_text(out, 9).substr(0, 14), "source label 7");
    mrc_add_label(&out, "last word");
    EXPECT_EQ(out.header->nlabl, 10);
    EXPECT_EQ(label_text(out, 9).substr(0, 9), "last word");
    EXPECT_EQ(label_text(out, 8).substr(0, 14), "source label 3");
    ASSERT_EQ(mrc_close(&out, NULL), 0);
    const std::string b = read_whole_file(dir.file("l.mrc"));
    EXPECT_EQ(word_int(b, 220), 10);
    EXPECT_EQ(b.substr(224 + 9 * 80, 9), "last word");
}

TEST(MrcLabels, UnusedSlotsAreZeroFilled)
{
    scratch_dir_t dir;
    mrc_image_t out;
    ASSERT_EQ(mrc_create(dir.file("z.mrc").c_str(), &out, 2, 2, 2, 0, NULL), 0);
    mrc_add_label(&out, "Kyvane: Tomogram reconstruction. WBP");
    memset(out.header->labels[3], 'q', 80);  // stale text beyond nlabl
    ASSERT_EQ(mrc_close(&out, NULL), 0);
    const std::string b = read_whole_file(dir.file("z.mrc"));
    EXPECT_EQ(b.substr(224, 36), "Kyvane: Tomogram reconstruction. WBP");
    EXPECT_EQ(b.substr(304), std::string(720, '\0'));
}

}  // namespace
