// The file library as a program linking it meets it: the room rule that
// picks where a volume is written, descriptors left after a create and its
// close whatever road the volume took, and large blocks given back exactly
// as they were mapped, however many come and go.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mrc/mrc.h"
#include "mrc/mrc_block.h"
#include "mrc/mrc_internal.h"
#include "mrc/mrc_output.h"
#include "mrc_test_util.h"

namespace {


// Every boundary of the room rule, in blocks of 4096 bytes. A wrong 0
// destroys the old output before the volume is complete; a wrong 1 writes
// beside it where the file system cannot hold the volume, so the run fails
// after all the work.
TEST(MrcOutputRoom, Boundaries)
{
    const int64_t B = 4096;
    const struct {
        const char *what;
        int64_t bytes, held512, avail;  // held512: the old file's st_blocks, -1 none
        int plan;
        int beside;
    } cases[] = {
        {"a whole number of blocks, exact fit", 10 * B, 80, 10, MRC_REPLACE_RENAME, 1},
        {"a whole number of blocks, one short", 10 * B, 80, 9, MRC_REPLACE_RENAME, 0},
        {"one byte past whole blocks needs one more", 10 * B + 1, 80, 10, MRC_REPLACE_RENAME, 0},
        {"one byte past whole blocks, exact fit", 10 * B + 1, 80, 11, MRC_REPLACE_RENAME, 1},
        {"copy road, the growth fits", 10 * B, 32, 16, MRC_REPLACE_COPY, 1},
        {"copy road, one block short of the growth", 10 * B, 32, 15, MRC_REPLACE_COPY, 0},
        // A copy into a larger old file does not grow it, but the volume
        // itself is still written beside it first.
        {"copy road, old file larger, the volume fits", 10 * B, 120, 10, MRC_REPLACE_COPY, 1},
        {"copy road, old file larger, one short", 10 * B, 120, 9, MRC_REPLACE_COPY, 0},
        {"rename road, old file larger, one short", 10 * B, 120, 9, MRC_REPLACE_RENAME, 0},
        // Nothing fits anywhere: the old file is not given up for nothing.
        {"room neither beside nor in its place", 10 * B, 32, 5, MRC_REPLACE_RENAME, 1},
        {"the old file's place just fits", 10 * B, 32, 6, MRC_REPLACE_RENAME, 0},
        // Part of a block held counts for nothing in its place.
        {"held bytes less than a block", 1 * B, 7, 0, MRC_REPLACE_RENAME, 1},
        {"new output without room", 10 * B, -1, 0, MRC_REPLACE_RENAME, 1},
    };
    for (const auto &c : cases) {
        struct statvfs vfs = {};
        vfs.f_frsize = vfs.f_bsize = (unsigned long)B;
        vfs.f_blocks = 1000000;
        vfs.f_bavail = vfs.f_bfree = (fsblkcnt_t)c.avail;
        EXPECT_EQ(mrc_output_room(&vfs, c.bytes, c.held512, c.plan), c.beside) << c.what;
    }
}

// The descriptors of this process, by number.
std::vector<int> open_descriptors()
{
    std::vector<int> fds;
    DIR *d = opendir("/proc/self/fd");
    const int own = d ? dirfd(d) : -1;
    for (struct dirent *e; d && (e = readdir(d));) {
        if (e->d_name[0] != '.' && atoi(e->d_name) != own) fds.push_back(atoi(e->d_name));
    }
    if (d) closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

// However the volume reaches its name, or fails to, the create and the
// close leave no descriptor open: a program making hundreds of volumes
// would otherwise run out of them.
TEST(MrcCreate, LeavesNoDescriptorOpen)
{
    scratch_dir_t dir;
    const std::string out = dir.file("out.mrc"), twin = dir.file("twin.mrc"), link = dir.file("link.mrc");
    ASSERT_EQ(symlink("out.mrc", link.c_str()), 0);
    const struct {
        const char *what;
        std::string path;
        bool exists, twin, succeeds;
    } cases[] = {
        {"new output", out, false, false, true},
        {"renamed over the old output", out, true, false, true},
        {"copied into the old output of two names", out, true, true, true},
        {"through a symbolic link", link, true, false, true},
        {"a missing directory", dir.file("none/out.mrc"), false, false, false},
        {"a directory at the name", dir.path, false, false, false},
        {"a descriptor name", "/dev/null", false, false, true},
    };
    for (const auto &c : cases) {
        unlink(out.c_str());
        unlink(twin.c_str());
        if (c.exists) {
            FILE *f = fopen(out.c_str(), "wb");
            ASSERT_TRUE(f);
            fputs("previous volume", f);
            fclose(f);
        }
        if (c.twin) {
            ASSERT_EQ(::link(out.c_str(), twin.c_str()), 0);
        }
        const std::vector<int> before = open_descriptors();
        for (int cycle = 0; cycle < 3; ++cycle) {
            mrc_image_t rec;
            const int created = mrc_create(c.path.c_str(), &rec, 8, 4, 2, 0, NULL);
            EXPECT_EQ(created, c.succeeds ? 0 : -1) << c.what;
            if (created == 0) {
                mrc_image_t buf = {};
                ASSERT_EQ(mrc_alloc_data_x1(&buf, 8, 4, 2), 0);
                mrc_zero_data(&buf);
                EXPECT_EQ(mrc_write_sections(&buf, &rec, 0, 2), 2) << c.what;
                mrc_free_data(&buf);
                EXPECT_EQ(mrc_close(&rec, NULL), 0) << c.what;
            }
        }
        EXPECT_EQ(open_descriptors(), before) << c.what;
    }
}

// The process's mapped size in kB (VmSize), read without allocating.
long mapped_kb()
{
    char text[4096];
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0) close(fd);
    if (n <= 0) return -1;
    text[n] = '\0';
    const char *at = strstr(text, "VmSize:");
    return at ? atol(at + 7) : -1;
}

// A large block maps its head page and whole huge pages, no more, and its
// free gives back all of it: the aligned slack in front, the tail and the
// head page. Counted over many blocks, so that one page kept a cycle shows.
TEST(MrcBlock, GivesBackExactlyWhatItMapped)
{
    const size_t huge = MRC_BLOCK_HUGE_PAGE, page = (size_t)sysconf(_SC_PAGESIZE);
    const size_t sizes[] = {MRC_BLOCK_HUGE_MIN, MRC_BLOCK_HUGE_MIN + 1, 5 * huge / 2 + 123, 3 * huge - page,
                            7 * huge};
    for (const size_t bytes : sizes) {
        const long before = mapped_kb();
        void *p = mrc_block_alloc(bytes, 64);
        const long during = mapped_kb();
        ASSERT_NE(p, nullptr) << bytes;
        const size_t whole = (bytes + huge - 1) / huge * huge;
        EXPECT_EQ(during - before, (long)((page + whole) / 1024)) << bytes << " bytes";
        mrc_block_free(p);
        EXPECT_EQ(mapped_kb(), before) << bytes << " bytes";
    }
    const long start = mapped_kb();
    for (int cycle = 0; cycle < 100; ++cycle) {
        void *a = mrc_block_alloc(sizes[cycle % 5], 4096);
        void *b = mrc_block_alloc(sizes[(cycle + 2) % 5], 32);
        ASSERT_TRUE(a && b) << cycle;
        mrc_block_free(a);
        mrc_block_free(b);
    }
    EXPECT_EQ(mapped_kb(), start) << "kB still mapped after 100 cycles of two blocks";
}

}  // namespace
