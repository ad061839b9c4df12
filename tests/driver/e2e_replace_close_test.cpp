// End-to-end tests of the close, where the volume is put in place: the room
// rule that picks the road at its boundaries, the directory sync after the
// name is given, signals arriving while the volume is being placed, failures
// of the copy into the old file, and the identity checks that pick the road.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/driver/e2e_replace_util.h"

namespace {

const char *const kNotPlaced = "the volume was computed but could not be put in place";

class E2eReplaceClose : public E2eReplace {
protected:
    // The volume's size in bytes, as the room rule counts it.
    long long volume_bytes() const { return 1024 + 4LL * ref.nx * ref.ny * ref.nz; }

    // Runs the program on out with the shim's modes (none when empty).
    run_result_t run(const std::string &out, const std::string &fail)
    {
        run_options_t options;
        if (!fail.empty())
            options.env = e2e_fail_env(fail);
        return run_binary_with(KYVANE_BINARY, args(out), options);
    }

    static struct stat status(const std::string &path)
    {
        struct stat st = {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
        return st;
    }
};

// The free space the file system reports decides the road, counted in its
// blocks: beside the old file when the volume fits there (a copy into the
// old file also needs its growth), else in the old file's place with a
// warning when it fits there, else beside anyway. Wherever the road is
// beside, the old output survives a failure at the close; a road wrongly
// taken in place would have destroyed it.
TEST_F(E2eReplaceClose, RoomRuleAtItsBoundaries)
{
    const long long frsize = 4096;
    const long long need = (volume_bytes() + frsize - 1) / frsize;
    enum road_t { kBeside, kCopy, kInPlace };
    // A file smaller than the volume, so that a copy into it grows it.
    const std::string small_old = std::string("small previous volume\n") + std::string(100000, '\x33');
    struct case_t {
        const char *what;
        bool exists;
        bool small;           // the old output smaller than the volume
        bool twin;            // a second hard link: the copy road
        const char *fail;     // further shim modes
        std::function<long long(long long held)> avail;
        road_t road;
    } cases[] = {
        {"rename road, exact fit", true, false, false, "", [&](long long) { return need; }, kBeside},
        {"rename road, one block short", true, false, false, "",
         [&](long long) { return need - 1; }, kInPlace},
        {"copy road, exact fit with the growth", true, true, true, "",
         [&](long long held) { return need + (need - held); }, kCopy},
        {"copy road, one block short of the growth", true, true, true, "",
         [&](long long held) { return need + (need - held) - 1; }, kInPlace},
        {"rename road, no room beside nor in the old file's place", true, true, false, "",
         [&](long long held) { return need - held - 1; }, kBeside},
        {"named file, no room", true, false, false, "tmpfile,", [&](long long) { return 0; }, kInPlace},
        {"new output, no room", false, false, false, "", [&](long long) { return 0; }, kBeside},
    };
    int n = 0;
    for (const case_t &c : cases) {
        const std::string where = subdir("room-" + std::to_string(n++));
        const std::string out = where + "/out.mrc", twin = where + "/twin.mrc";
        // Once as it succeeds, once with the header's write failing at the close.
        for (const bool failing : {false, true}) {
            if (failing && c.road == kInPlace)
                continue;  // nothing to keep: the warning said so
            const std::string what = std::string(c.what) + (failing ? ", failing at the close" : "");
            std::filesystem::remove(out);
            std::filesystem::remove(twin);
            std::string old;
            long long held = 0;
            struct stat before = {};
            if (c.exists) {
                old = c.small ? small_old : old_bytes;
                write_text_file(out, old);
                if (c.twin) {
                    ASSERT_EQ(link(out.c_str(), twin.c_str()), 0);
                }
                before = status(out);
                held = (long long)before.st_blocks * 512 / frsize;
                ASSERT_TRUE(c.small ? held < need : held > need) << what << ": " << held << " blocks";
            }
            const long long avail = c.avail(held);
            ASSERT_GE(avail, 0) << what;
            const std::set<std::string> names = e2e_listing(where);
            const std::string fail = std::string(c.fail) + "statvfs=1000000:" + std::to_string(avail) + ":" +
                                     std::to_string(frsize) + (failing ? ",header" : "");
            const run_result_t r = run(out, fail);
            EXPECT_EQ(r.term_signal, 0) << what;
            if (failing) {
                EXPECT_EQ(r.status, 1) << what;
                EXPECT_NE(r.err.find(out + ": Cannot write image.\n"), std::string::npos) << what << "\n" << r.err;
                if (c.exists) {
                    EXPECT_EQ(e2e_read_bytes(out), old) << what << ": the old output was destroyed";
                }
                EXPECT_EQ(e2e_listing(where), names) << what;
                continue;
            }
            EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
            EXPECT_EQ(lines_with(r.out, kInPlaceWarning, ""), c.road == kInPlace ? 1 : 0) << what << "\n" << r.out;
            EXPECT_EQ(lines_with(r.out, "Not enough free space to write the volume beside " + out + ": ", ""),
                      c.road == kInPlace ? 1 : 0)
                << what << "\n" << r.out;
            expect_volume(out, what);
            if (c.twin)
                expect_volume(twin, what + ", the second name");
            if (c.exists) {
                const struct stat after = status(out);
                EXPECT_EQ(after.st_ino == before.st_ino, c.road != kBeside)
                    << what << ": " << (c.road == kBeside ? "the old inode kept" : "a new inode");
            }
            std::set<std::string> expected = names;
            expected.insert("out.mrc");
            EXPECT_EQ(e2e_listing(where), expected) << what;
        }
    }
}

// A name given but not synced to its directory is lost at a power cut: a
// directory sync that fails fails the run, new output or replacement,
// through the unnamed and the named file alike.
TEST_F(E2eReplaceClose, DirectorySyncFails)
{
    for (const std::string named : {"", "tmpfile,"}) {
        for (const bool exists : {false, true}) {
            const std::string what = std::string(exists ? "replacement" : "new output") +
                                     (named.empty() ? ", unnamed file" : ", named file");
            const std::string where = subdir("dirsync-" + std::to_string(exists) + std::to_string(named.size()));
            const std::string out = where + "/out.mrc";
            if (exists)
                make_output(out);
            const run_result_t r = run(out, named + "dirsync");
            EXPECT_EQ(r.status, 1) << what << "\n" << r.err;
            EXPECT_EQ(r.term_signal, 0) << what;
            // The name holds the volume already: said as it is, never as a
            // volume that could not be put in place.
            EXPECT_EQ(r.err.find(kNotPlaced), std::string::npos) << what << "\n" << r.err;
            EXPECT_NE(r.err.find(exists ? out + ": the volume replaced the previous output, but the directory could not be written to the disk (Input/output error)"
                                        : out + ": the volume was given its name, but the directory could not be written to the disk (Input/output error)"),
                      std::string::npos)
                << what << "\n" << r.err;
            EXPECT_EQ(r.out.find("Reconstruction successful!"), std::string::npos) << what;
            const std::set<std::string> listing = e2e_listing(where);
            EXPECT_TRUE(listing.empty() || listing == std::set<std::string>{"out.mrc"}) << what;
        }
    }
}

// XFS reports ENODATA when the ACL a new file inherited from its directory
// is removed: it is gone all the same, so the output is still replaced by a
// rename, without the ACL the old file never had.
TEST_F(E2eReplaceClose, InheritedAclAlreadyGone)
{
    const std::string where = subdir("xfs");
    const std::string out = where + "/out.mrc";
    make_output(out, 0640);
    const std::string acl = acl_with_nobody(4);
    if (setxattr(where.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) != 0)
        GTEST_SKIP() << "default ACL refused: " << std::strerror(errno);
    const struct stat before = status(out);
    const run_result_t r = run(out, "xattr-gone");
    EXPECT_EQ(r.status, 0) << r.err;
    const identity_t after = identity(out);
    EXPECT_NE(after.ino, before.st_ino) << "copied into the old file, not renamed over it";
    EXPECT_EQ(after.mode, before.st_mode);
    EXPECT_EQ(after.xattrs.count("system.posix_acl_access"), 0u) << describe(after);
    expect_volume(out, "default ACL in the directory");
    EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"});
}

// No-copy-on-write takes only while a file is empty: the new file must get
// it before any data (file systems that have the flag: btrfs). A test of
// its own, as its skip would hide the identity table's failures from ctest.
TEST_F(E2eReplaceClose, NoCopyOnWriteKept)
{
    const std::string where = subdir("nocow");
    const std::string out = where + "/out.mrc";
    make_output(out);
    const std::string why = add_inode_flags(out, FS_NOCOW_FL);
    if (!why.empty())
        GTEST_SKIP() << "no-copy-on-write: " << why;
    const identity_t before = identity(out);
    const run_result_t r = run(out, "");
    EXPECT_EQ(r.status, 0) << r.err;
    const identity_t after = identity(out);
    EXPECT_EQ(after.flags, before.flags);
    EXPECT_EQ(after.mode, before.mode);
    expect_volume(out, "no-copy-on-write");
    EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"});
}

// A signal that arrives while the volume is being put in place waits until
// it is placed, then ends the process as it would have: the output holds
// the whole new volume (never a mix), nothing is left beside it, and the
// signal mask is given back once the placing ends.
TEST_F(E2eReplaceClose, SignalsWhileThePlacing)
{
    const struct {
        const char *what;
        const char *fail;  // where the program stops itself
        int signal;
        bool twin;         // a second hard link: copied into the old file
    } cases[] = {
        {"between the hidden link and the rename", "stop=renameat", SIGTERM, false},
        {"before the rename of the named file", "tmpfile,stop=renameat", SIGTERM, false},
        {"during the copy into the old file", "stop=copy_file_range", SIGINT, true},
        {"at the directory's sync, after the name is given", "stop=fsync@2", SIGINT, false},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string where = subdir("signal-" + std::to_string(n++));
        const std::string out = where + "/out.mrc", twin = where + "/twin.mrc";
        make_output(out);
        if (c.twin) {
            ASSERT_EQ(link(out.c_str(), twin.c_str()), 0);
        }
        const std::set<std::string> names = e2e_listing(where);
        run_options_t options;
        options.env = e2e_fail_env(c.fail);
        const int sig = c.signal;
        options.on_stop = [sig](int pid) { kill(pid, sig); };
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
        EXPECT_EQ(r.stops, 1) << c.what << ": never reached " << c.fail;
        EXPECT_EQ(r.term_signal, c.signal) << c.what << ": exit status " << r.status << "\n" << r.err;
        expect_volume(out, c.what);
        if (c.twin)
            expect_volume(twin, std::string(c.what) + ", the second name");
        EXPECT_EQ(e2e_listing(where), names) << c.what;
    }
}

// The copy into the old file fails or goes another way: a failing sync of
// the old file fails the run and says so; a copy the kernel cannot make
// between two file systems goes through a buffer.
TEST_F(E2eReplaceClose, CopyIntoTheOldFile)
{
    const std::string where = subdir("copy");
    const std::string out = where + "/out.mrc", twin = where + "/twin.mrc";
    make_output(out);
    ASSERT_EQ(link(out.c_str(), twin.c_str()), 0);
    const std::set<std::string> names = e2e_listing(where);
    const struct stat before = status(out);

    const run_result_t failed = run(out, "fsync-named");
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_EQ(failed.term_signal, 0);
    EXPECT_NE(failed.err.find(kNotPlaced), std::string::npos) << failed.err;
    EXPECT_EQ(failed.out.find("Reconstruction successful!"), std::string::npos);
    EXPECT_EQ(e2e_listing(where), names);

    const run_result_t r = run(out, "copyrange");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(status(out).st_ino, before.st_ino);
    expect_volume(out, "copied through a buffer");
    expect_volume(twin, "copied through a buffer, the second name");
    EXPECT_EQ(e2e_listing(where), names);
}

// The road follows the file the path leads to, not the spelling: through a
// symbolic link into another directory the target is renamed over in its
// own directory and the link stays; a file with a second name in another
// directory is copied into, so both names show the volume.
TEST_F(E2eReplaceClose, RoadByTheFileThePathLeadsTo)
{
    const std::string links = subdir("links"), files = subdir("files");
    const std::string target = files + "/target.mrc", link_path = links + "/out.mrc";
    make_output(target, 0640);
    ASSERT_EQ(symlink("../files/target.mrc", link_path.c_str()), 0);
    const std::set<std::string> link_names = e2e_listing(links), file_names = e2e_listing(files);
    const struct stat before = status(target);
    run_result_t r = e2e_run(args(link_path));
    EXPECT_EQ(r.status, 0) << r.err;
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink(link_path, ec).string(), "../files/target.mrc");
    const struct stat after = status(target);
    EXPECT_NE(after.st_ino, before.st_ino) << "copied into the target, not renamed over it";
    EXPECT_EQ(after.st_mode, before.st_mode);
    expect_volume(target, "through a symbolic link");
    EXPECT_EQ(e2e_listing(links), link_names);
    EXPECT_EQ(e2e_listing(files), file_names);

    const std::string out = links + "/hard.mrc", other = files + "/hard.mrc";
    make_output(out);
    ASSERT_EQ(link(out.c_str(), other.c_str()), 0);
    const std::set<std::string> a = e2e_listing(links), b = e2e_listing(files);
    const struct stat hard = status(out);
    r = e2e_run(args(out));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(status(out).st_ino, hard.st_ino);
    expect_volume(out, "a file with a name in another directory");
    expect_volume(other, "its name in the other directory");
    EXPECT_EQ(e2e_listing(links), a);
    EXPECT_EQ(e2e_listing(files), b);
}

}  // namespace
