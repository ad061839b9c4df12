// End-to-end tests of the close, where the volume is put in place: the room
// rule that picks the road at its boundaries (and file systems that count no
// blocks), the directory sync after the name is given, signals arriving
// while the volume is being placed, failures of the last steps and of the
// copy into the old file, a rename refused only then, an append-only
// directory, the identity checks that pick the road, the one event a
// watcher of the name sees, and descriptor limits that would fail it after
// the work.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/driver/e2e_replace_util.h"

namespace {

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
                    EXPECT_EQ(read_whole_file(out), old) << what << ": the old output was destroyed";
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
            EXPECT_EQ(r.out.find(kSuccess), std::string::npos) << what;
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
    EXPECT_EQ(failed.out.find(kSuccess), std::string::npos);
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

// A pipeline watching the directory sees the output's name change once,
// when the volume is complete: no write or close-after-write of the old
// file at the start of the run. The old file, held open for writing since
// the start (so the kernel refuses at once what it would refuse a plain
// write), may report its close only after the new volume has its name.
TEST_F(E2eReplaceClose, OnlyTheFinalEventOnTheName)
{
    const std::string where = subdir("watched");
    const std::string out = where + "/out.mrc";
    make_output(out);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0) << std::strerror(errno);
    ASSERT_GE(inotify_add_watch(watch, where.c_str(), IN_ALL_EVENTS), 0) << std::strerror(errno);
    const run_result_t r = e2e_run(args(out));
    EXPECT_EQ(r.status, 0) << r.err;
    expect_volume(out, "watched");

    std::vector<uint32_t> on_name;
    bool overflow = false;
    alignas(inotify_event) char buffer[65536];
    ssize_t n;
    while ((n = read(watch, buffer, sizeof buffer)) > 0) {
        for (char *p = buffer; p < buffer + n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(p);
            overflow = overflow || (e->mask & IN_Q_OVERFLOW);
            // Reading the old file is harmless: only changes count.
            const uint32_t reads = IN_OPEN | IN_ACCESS | IN_CLOSE_NOWRITE;
            if (e->len && std::string(e->name) == "out.mrc" && (e->mask & ~reads))
                on_name.push_back(e->mask);
            p += sizeof(inotify_event) + e->len;
        }
    }
    close(watch);
    EXPECT_FALSE(overflow);
    std::ostringstream masks;
    for (uint32_t m : on_name)
        masks << std::hex << " 0x" << m;
    if (on_name.size() == 2 && on_name[1] == IN_CLOSE_WRITE)
        on_name.pop_back();
    EXPECT_EQ(on_name, std::vector<uint32_t>{IN_MOVED_TO}) << "events:" << masks.str();
}

// The last steps of the close fail (data not on the disk, header not
// written, file not closed): the previous output stays byte for byte and
// nothing is left beside it, with the unnamed file and with the named one
// the program falls back to.
TEST_F(E2eReplaceClose, FailuresAtTheClose)
{
    const struct {
        const char *fail;
        const char *message;
    } cases[] = {
        {"fsync", ": Cannot write image.\n"},
        {"header", ": Cannot write image.\n"},
        {"close", ": Cannot close image.\n"},
        {"flush", ": Cannot write image.\n"},
    };
    const struct {
        const char *what;
        std::string fail;
    } rounds[] = {{"unnamed file", ""}, {"named hidden file", "tmpfile,"}};
    const std::string where = subdir("close");
    const std::string out = where + "/out.mrc";
    make_output(out);
    const std::set<std::string> names = e2e_listing(where);
    for (const auto &round : rounds) {
        for (const auto &c : cases) {
            const std::string what = std::string(c.fail) + ", " + round.what;
            run_options_t options;
            options.env = e2e_fail_env(round.fail + c.fail);
            const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_EQ(r.term_signal, 0) << what;
            EXPECT_NE(r.err.find(out + c.message), std::string::npos) << what << "\n" << r.err;
            EXPECT_EQ(r.out.find(kSuccess), std::string::npos) << what;
            EXPECT_EQ(read_whole_file(out), old_bytes) << what;
            EXPECT_EQ(e2e_listing(where), names) << what;
        }
    }
}

// A rename that the directory refuses only at the close, for a reason no
// check before the run could see: the volume goes into the old file, which
// keeps its inode, and nothing is left beside it.
TEST_F(E2eReplaceClose, RenameRefusedAtTheClose)
{
    const std::string where = subdir("refused");
    const std::string out = where + "/out.mrc";
    for (const std::string fail : {"rename", "tmpfile,rename"}) {
        make_output(out);
        const std::set<std::string> names = e2e_listing(where);
        struct stat before;
        ASSERT_EQ(stat(out.c_str(), &before), 0);
        run_options_t options;
        options.env = e2e_fail_env(fail);
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
        EXPECT_EQ(r.status, 0) << fail << "\n" << r.err;
        struct stat after;
        ASSERT_EQ(stat(out.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << fail;
        expect_volume(out, fail);
        EXPECT_EQ(e2e_listing(where), names) << fail;
    }
}

// Whatever descriptor limit the run has, it either ends with the whole
// volume, or fails before the reconstruction with the old output as it
// was: never after all the work.
TEST_F(E2eReplaceClose, DescriptorLimits)
{
    int succeeded = 0;
    for (const bool replace : {false, true}) {
        for (int limit = 4; limit <= 12; limit++) {
            const std::string what =
                std::string(replace ? "replacing" : "new output") + ", " + std::to_string(limit) + " descriptors";
            const std::string where = subdir("limit-" + std::to_string(replace) + "-" + std::to_string(limit));
            const std::string out = where + "/out.mrc";
            if (replace)
                make_output(out);
            const std::set<std::string> names = e2e_listing(where);
            run_options_t options;
            options.open_files_limit = limit;
            // The leak checker at exit needs descriptors of its own.
            const char *asan = std::getenv("ASAN_OPTIONS");
            options.env = {std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0"};
            const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
            EXPECT_FALSE(r.timed_out) << what;
            EXPECT_EQ(r.term_signal, 0) << what << "\n" << r.err;
            if (r.status == 0) {
                succeeded++;
                expect_volume(out, what);
                EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << what;
                continue;
            }
            EXPECT_EQ(r.status, 1) << what << "\n" << r.err;
            EXPECT_EQ(r.out.find(kInfoBlock), std::string::npos) << what << ": failed after set-up\n"
                                                                  << r.err;
            // Said of the output only as a plain resource shortage.
            if (r.err.find(out) != std::string::npos) {
                EXPECT_EQ(r.err, out + ": Out of resources.\n" + out + ": Too many open files.\n") << what;
            }
            EXPECT_TRUE(read_whole_file(out) == (replace ? old_bytes : std::string())) << what;
            EXPECT_EQ(e2e_listing(where), names) << what;
        }
    }
    // The table means something only where the larger limits succeed.
    EXPECT_GE(succeeded, 2);
}

// In an append-only directory (chattr +a) no name may be linked in that
// cannot be removed again: an old output is replaced by a copy into it
// (its inode kept), nothing left beside it; a new output is linked in. The
// same through the shim where chattr is refused.
TEST_F(E2eReplaceClose, AppendOnlyDirectory)
{
    const struct {
        const char *what;
        bool real;
        const char *fail;
    } rounds[] = {{"chattr +a", true, ""}, {"the shim's append-only directory", false, "appenddir"}};
    int n = 0;
    for (const auto &round : rounds) {
        const std::string where = subdir("append-" + std::to_string(n++));
        const std::string out = where + "/out.mrc", fresh = where + "/new.mrc";
        make_output(out);
        const ino_t before = inode_of(out);
        const inode_flag_t append(where, round.real ? FS_APPEND_FL : 0);
        if (round.real && append.error) {
            std::cout << kRowSkipped << round.what << ": " << std::strerror(append.error) << "\n";
            continue;
        }
        run_options_t options;
        if (*round.fail)
            options.env = e2e_fail_env(round.fail);
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
        EXPECT_EQ(r.status, 0) << round.what << "\n" << r.err;
        EXPECT_EQ(inode_of(out), before) << round.what;
        expect_volume(out, round.what);
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << round.what;

        const run_result_t made = run_binary_with(KYVANE_BINARY, args(fresh), options);
        EXPECT_EQ(made.status, 0) << round.what << ", new output\n" << made.err;
        expect_volume(fresh, std::string(round.what) + ", new output");
        EXPECT_EQ(e2e_listing(where), (std::set<std::string>{"out.mrc", "new.mrc"})) << round.what;
    }
}

// A file system that reports no total blocks (ramfs, tmpfs without a size)
// has no free space to compare with: the volume is written beside the old
// output as anywhere else, which an interrupted run leaves whole.
TEST_F(E2eReplaceClose, NoBlockCount)
{
    // Mounts made in a namespace of this process alone vanish with it.
    if (unshare(CLONE_NEWNS) == 0)
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    const struct {
        const char *what;
        const char *type;  // of the file system mounted, or none
        const char *data;
        const char *fail;
    } rounds[] = {
        {"ramfs", "ramfs", "mode=0755", ""},
        {"tmpfs of size 0", "tmpfs", "size=0,mode=0755", ""},
        {"the shim's statvfs without blocks", nullptr, nullptr, "statvfs=0:0:4096"},
    };
    int n = 0;
    for (const auto &round : rounds) {
        const std::string where = subdir("blocks-" + std::to_string(n++));
        std::unique_ptr<mount_t> mounted;
        if (round.type) {
            mounted.reset(new mount_t(round.type, where, round.type, 0, round.data));
            if (mounted->error) {
                std::cout << kRowSkipped << round.what << ": mount refused: " << std::strerror(mounted->error)
                          << "\n";
                continue;
            }
        }
        const std::string out = where + "/out.mrc";
        make_output(out);
        const ino_t before = inode_of(out);
        run_options_t options;
        if (*round.fail)
            options.env = e2e_fail_env(round.fail);
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
        EXPECT_EQ(r.status, 0) << round.what << "\n" << r.err;
        EXPECT_EQ(lines_with(r.out, kInPlaceWarning, ""), 0) << round.what << "\n" << r.out;
        EXPECT_NE(inode_of(out), before) << round.what << ": written in place";
        expect_volume(out, round.what);
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << round.what;

        make_output(out);
        options.signal = SIGINT;
        options.trigger = [&](int pid) { return e2e_writing_a_file(pid, where); };
        const run_result_t stopped = run_binary_with(KYVANE_BINARY, args(out, kLongRun), options);
        EXPECT_TRUE(stopped.signal_sent) << round.what;
        EXPECT_EQ(stopped.term_signal, SIGINT) << round.what << "\n" << stopped.err;
        EXPECT_TRUE(read_whole_file(out) == old_bytes) << round.what << ": the old output was damaged";
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << round.what;
    }
}

}  // namespace
