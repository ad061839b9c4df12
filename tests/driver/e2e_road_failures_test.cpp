// End-to-end tests of how the output road fails: every refusal at the set-up
// names its reason, what can be known before the run (no room, a file that
// cannot seek, the program's own report streams, a closed stream, no
// descriptor for the signal guard) ends it before the work, and a close
// never claims more, or less, than is true.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/driver/e2e_replace_util.h"

namespace {

class E2eRoadFailures : public E2eReplace {
protected:
    run_result_t run(const std::string &out, const std::string &fail, std::vector<std::string> extra = {},
                     run_options_t options = {})
    {
        if (!fail.empty())
            options.env = e2e_fail_env(fail);
        return run_binary_with(KYVANE_BINARY, args(out, extra), options);
    }

    // A refusal at the set-up: the error's line, then the file and reason,
    // nothing of the run after it.
    static void expect_refused(const run_result_t &r, const std::string &out, const std::string &reason,
                               const std::string &what)
    {
        EXPECT_FALSE(r.timed_out) << what;
        EXPECT_EQ(r.status, 1) << what << "\n" << r.err;
        EXPECT_EQ(r.err, out + ": Cannot create image.\n" + out + ": " + reason) << what;
        EXPECT_EQ(r.out.find(kInfoBlock), std::string::npos) << what << ": refused after the set-up";
    }
};

// A refusal of the create says the system's reason beside its error line;
// a volume the file system cannot make room for, whether for a full disk, a
// quota or a size limit, is refused before the work and leaves nothing.
TEST_F(E2eRoadFailures, CreateRefusalsSayWhy)
{
    const std::string closed = subdir("closed", 0755);
    const struct {
        const char *what;
        std::string where;  // directory of the output, under the scratch directory
        bool as_user;       // run as an ordinary user
        const char *fail;   // the shim's modes
        const char *reason;
    } cases[] = {
        {"missing directory", "no/such", false, "", "No such file or directory.\n"},
        {"directory the user may not write", "closed", true, "", "Permission denied.\n"},
        {"full disk", "full", false, "fallocate=ENOSPC", "No space left on device.\n"},
        {"quota", "quota", false, "fallocate=EDQUOT", "Disk quota exceeded.\n"},
        {"file too large for the file system", "big", false, "fallocate=EFBIG", "File too large.\n"},
        {"full disk, named file", "full-named", false, "tmpfile,fallocate=ENOSPC",
         "No space left on device.\n"},
    };
    for (const auto &c : cases) {
        const std::string where = dir.file(c.where);
        if (c.where != std::string("closed") && c.where != std::string("no/such"))
            subdir(c.where, 0777);
        const std::string out = where + "/out.mrc";
        run_options_t options;
        if (c.as_user)
            options.uid = options.gid = kNobody;
        const run_result_t r = run(out, c.fail, {}, options);
        expect_refused(r, out, c.reason, c.what);
        std::error_code ec;
        if (std::filesystem::exists(where, ec)) {
            EXPECT_TRUE(e2e_listing(where).empty()) << c.what;
        }
    }
}

// The room is reserved in the file the volume goes into. For a replacement
// a refusal beside the old file takes the road with no room for two copies
// (in place, with its warning); one in the old file too refuses the run
// and keeps the old file; a file system that cannot reserve changes nothing.
TEST_F(E2eRoadFailures, ReservationDecidesTheRoad)
{
    enum road_t { kRenamed, kInPlace, kRefused };
    const struct {
        const char *what;
        bool exists;
        const char *fail;
        road_t road;
    } cases[] = {
        {"replacement, no room beside", true, "fallocate-unnamed=ENOSPC", kInPlace},
        {"replacement, quota beside", true, "fallocate-unnamed=EDQUOT", kInPlace},
        {"replacement, no room at all", true, "fallocate=ENOSPC", kRefused},
        {"replacement, file system cannot reserve", true, "fallocate=EOPNOTSUPP", kRenamed},
        {"new output, file system cannot reserve", false, "fallocate=EOPNOTSUPP", kRenamed},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string where = subdir("room-" + std::to_string(n++));
        const std::string out = where + "/out.mrc";
        if (c.exists)
            make_output(out);
        struct stat before = {};
        ASSERT_TRUE(!c.exists || stat(out.c_str(), &before) == 0);
        const run_result_t r = run(out, c.fail);
        struct stat after = {};
        if (c.road == kRefused) {
            expect_refused(r, out, "No space left on device.\n", c.what);
            EXPECT_EQ(read_whole_file(out), old_bytes) << c.what;
        } else {
            EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
            expect_volume(out, c.what);
            EXPECT_EQ(lines_with(r.out, kInPlaceWarning, "Warning: Not enough free space"), c.road == kInPlace)
                << c.what << "\n" << r.out;
            ASSERT_EQ(stat(out.c_str(), &after), 0) << c.what;
            if (c.exists) {
                EXPECT_EQ(after.st_ino == before.st_ino, c.road == kInPlace) << c.what;
            }
        }
        const std::set<std::string> names = c.exists || c.road != kRefused ? std::set<std::string>{"out.mrc"}
                                                                            : std::set<std::string>{};
        EXPECT_EQ(e2e_listing(where), names) << c.what;
    }
}

// A pipe, a FIFO (with or without a reader) and a terminal cannot take a
// volume whose header is written last: refused at the set-up with the
// reason, never blocking in the open (the stop signals are held there).
TEST_F(E2eRoadFailures, StreamsThatCannotSeekAreRefusedAtTheSetUp)
{
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    const int pty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(pty, 0) << std::strerror(errno);
    ASSERT_EQ(grantpt(pty), 0);
    ASSERT_EQ(unlockpt(pty), 0);
    const std::string terminal = ptsname(pty);
    const struct {
        const char *what;
        std::string out;
        bool reader;  // a reader holds the FIFO open
    } cases[] = {
        {"FIFO without a reader", fifo, false},
        {"FIFO with a reader", fifo, true},
        {"standard output, a pipe", "/dev/stdout", false},
        {"terminal", terminal, false},
    };
    for (const auto &c : cases) {
        const int reader = c.reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        ASSERT_TRUE(!c.reader || reader >= 0) << c.what;
        run_options_t options;
        options.timeout_seconds = 8;  // a blocked open would sit until killed
        const run_result_t r = run(c.out, "", {}, options);
        expect_refused(r, c.out, kUnseekable, c.what);
        if (reader >= 0) {
            char byte;
            EXPECT_LE(read(reader, &byte, 1), 0) << c.what << ": bytes reached the reader";
            close(reader);
        }
    }
    close(pty);
}

// The program's own standard output or error as the output would put the
// report among the voxels, and a standard stream closed at the start holds
// no file: both refused at the set-up. Whatever the outcome, a run that says
// success leaves a file every reader opens.
TEST_F(E2eRoadFailures, ReportStreamsAndClosedStreamsAsTheOutput)
{
    if (!e2e_have_mrcfile())
        GTEST_SKIP() << "python3-mrcfile is not installed";
    const std::string vol = dir.file("vol.mrc");
    const std::string cmd = std::string("exec '") + KYVANE_BINARY + "' -a '" + tlt + "' -i '" + ts + "' -f -t 2 ";
    const struct {
        const char *what;
        std::string shell;  // the command line, the output redirected by the shell
        const char *reason;
    } cases[] = {
        {"standard output, -v 1", cmd + "-o /dev/stdout > '" + vol + "'", "/dev/stdout"},
        {"standard output, -v 0", cmd + "-v 0 -o /dev/stdout > '" + vol + "'", "/dev/stdout"},
        {"standard output, -v 3", cmd + "-v 3 -o /dev/stdout > '" + vol + "'", "/dev/stdout"},
        {"standard output by its name", cmd + "-o '" + vol + "' > '" + vol + "'", nullptr},
        {"standard error", cmd + "-o /dev/stderr 2> '" + vol + "'", "/dev/stderr"},
    };
    for (const auto &c : cases) {
        const run_result_t r = run_binary("/bin/sh", {"-c", c.shell});
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.err;
        const std::string log = r.err + read_whole_file(vol);
        const std::string out = c.reason ? c.reason : vol;
        EXPECT_NE(log.find(out + ": Cannot create image.\n" + out +
                           ": it is the program's own standard output or error.\n"),
                  std::string::npos)
            << c.what << "\n" << log;
        if (r.status == 0) {
            EXPECT_TRUE(e2e_mrcfile_valid(vol)) << c.what << ": success claimed for an invalid file";
        }
    }
    run_options_t closed;
    closed.close_stdout = true;
    const run_result_t r = run_binary_with(KYVANE_BINARY, args("/dev/stdout"), closed);
    expect_refused(r, "/dev/stdout", "no file is open on that descriptor (Bad file descriptor).\n",
                   "closed standard output");
}

// A block device is on the disk before success is said: a failing sync
// fails the run.
TEST_F(E2eRoadFailures, BlockDeviceSyncedBeforeSuccess)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "loop devices need root";
    const std::string backing = dir.file("disk.img");
    write_text_file(backing, std::string(1 << 20, '\0'));
    const run_result_t attach = run_binary("/usr/sbin/losetup", {"--find", "--show", backing});
    if (attach.status != 0)
        GTEST_SKIP() << "no loop device: " << attach.err;
    const std::string device = attach.out.substr(0, attach.out.find('\n'));
    const run_result_t good = run(device, "");
    EXPECT_EQ(good.status, 0) << good.err;
    const run_result_t failed = run(device, "fsync");
    run_binary("/usr/sbin/losetup", {"--detach", device});
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_NE(failed.err.find(device + ": Cannot write image.\n"), std::string::npos) << failed.err;
    EXPECT_EQ(failed.out.find(kSuccess), std::string::npos);
}

// Two runs copying into one hard-linked output take turns: the second
// waits while the first, stopped before its copy, holds the file; the file
// ends as one whole volume.
TEST_F(E2eRoadFailures, CopiesIntoOneFileTakeTurns)
{
    const std::string out = dir.file("linked.mrc"), other = dir.file("other-link.mrc");
    make_output(out);
    ASSERT_EQ(link(out.c_str(), other.c_str()), 0);
    const std::string sirt_ref = dir.file("sirt-reference.mrc");
    ASSERT_EQ(e2e_run(args(sirt_ref, {"-S"})).status, 0);
    const e2e_volume_t sirt = e2e_read_volume(sirt_ref);
    ASSERT_TRUE(sirt.ok);
    for (const char *fail : {"stop=copy_file_range"}) {
        std::atomic<bool> second_done{false};
        run_result_t second;
        std::thread waiter;
        bool finished_while_held = false;
        run_options_t options;
        options.on_stop = [&](int) {
            if (waiter.joinable())
                return;
            waiter = std::thread([&] {
                second = e2e_run(args(out, {"-S"}));
                second_done = true;
            });
            // Time for the second run to finish, were it not held back.
            for (int i = 0; i < 40 && !second_done; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            finished_while_held = second_done;
        };
        const run_result_t first = run(out, fail, {}, options);
        if (waiter.joinable())
            waiter.join();
        EXPECT_GE(first.stops, 1) << fail << ": the first run never reached its copy";
        EXPECT_EQ(first.status, 0) << fail << "\n" << first.err;
        EXPECT_EQ(second.status, 0) << fail << "\n" << second.err;
        EXPECT_FALSE(finished_while_held) << fail << ": the second run copied while the first held the file";
        const e2e_volume_t got = e2e_read_volume(other);
        EXPECT_TRUE(got.ok && got.data == sirt.data) << fail << ": not the second run's volume whole";
    }
}

// Where the file system cannot store a mode, a new output takes the one it
// gives (as an ordinary user's plain write would); a replacement is copied
// into the old file, whose identity stays.
TEST_F(E2eRoadFailures, FileSystemThatRefusesChmod)
{
    for (const bool exists : {false, true}) {
        const std::string what = exists ? "replacement" : "new output";
        const std::string where = subdir(std::string("nochmod-") + (exists ? "1" : "0"), 0755, kNobody, kNobody);
        const std::string out = where + "/out.mrc";
        if (exists)
            make_output(out, 0640, kNobody, kNobody);
        const identity_t before = identity(out);
        run_options_t as_user;
        as_user.uid = as_user.gid = kNobody;
        const run_result_t r = run(out, "chmod-deny", {}, as_user);
        EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
        expect_volume(out, what);
        const identity_t after = identity(out);
        if (exists) {
            EXPECT_TRUE(after.ino == before.ino && after.mode == before.mode) << what << ": " << describe(after);
        } else {
            // Private, as it was made: never more open than asked.
            EXPECT_EQ(after.mode & 07777, 0600u) << what;
            EXPECT_EQ(after.uid, (uid_t)kNobody) << what;
        }
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << what;
    }
}

// On the named-file road the signal guard's descriptor of the directory is
// one the set-up takes: at every descriptor limit the run is either refused
// at the set-up or guarded, so a stop signal while the volume is still
// hidden leaves nothing behind.
TEST_F(E2eRoadFailures, SignalGuardWithinTheDescriptorLimit)
{
    int guarded = 0, refused_for_resources = 0;
    for (int limit = 4; limit <= 16; limit++) {
        const std::string what = std::to_string(limit) + " descriptors";
        const std::string where = subdir("guard-" + std::to_string(limit));
        const std::string out = where + "/out.mrc";
        run_options_t options;
        options.open_files_limit = limit;
        options.on_stop = [](int pid) { kill(pid, SIGTERM); };
        options.env = e2e_fail_env("tmpfile,stop=fsync");
        // The leak checker at exit needs descriptors of its own.
        for (std::string &e : options.env)
            if (e.rfind("ASAN_OPTIONS=", 0) == 0)
                e += ":detect_leaks=0";
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
        EXPECT_FALSE(r.timed_out) << what;
        if (r.term_signal == SIGTERM)
            guarded++;
        else
            EXPECT_EQ(r.status, 1) << what << "\n" << r.err;
        if (r.err.find(out + ": Out of resources.\n" + out + ": Too many open files.\n") != std::string::npos)
            refused_for_resources++;
        EXPECT_TRUE(e2e_listing(where).empty()) << what << ": left behind after " << r.err;
    }
    EXPECT_GT(guarded, 0) << "no limit let the run reach its close";
    EXPECT_GT(refused_for_resources, 0) << "no limit refused the output for want of descriptors";
}

// A rename the system refuses leaves nothing beside the output, on the
// unnamed and the named road alike; where the removal is refused too, the
// run says so, and what stays holds no data once the volume is in place.
TEST_F(E2eRoadFailures, RefusedRenameLeavesNothingBeside)
{
    const struct {
        const char *what;
        bool exists;
        const char *fail;
        int status;
        bool left;  // the removal is refused: a file stays beside, named in the log
    } cases[] = {
        {"replacement, unnamed file", true, "rename", 0, false},
        {"replacement, named file", true, "tmpfile,rename", 0, false},
        {"replacement, named file, removal refused", true, "tmpfile,rename,unlink", 0, true},
        {"replacement, unnamed file, removal refused", true, "rename,unlink", 0, true},
        {"new output, named file", false, "tmpfile,rename", 1, false},
        {"new output, named file, removal refused", false, "tmpfile,rename,unlink", 1, true},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string where = subdir("rename-" + std::to_string(n++));
        const std::string out = where + "/out.mrc";
        if (c.exists)
            make_output(out);
        const run_result_t r = run(out, c.fail);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.err;
        std::set<std::string> names = e2e_listing(where);
        if (c.exists) {
            expect_volume(out, c.what);
            EXPECT_EQ(names.erase("out.mrc"), 1u) << c.what;
        }
        EXPECT_EQ(names.size(), c.left ? 1u : 0u) << c.what;
        for (const std::string &name : names) {
            const std::string log = r.out + r.err;
            EXPECT_NE(log.find(name + " beside it, which could not be removed (Operation not permitted)"), std::string::npos)
                << c.what << ": " << name << " not named\n" << log;
            if (c.status == 0) {
                EXPECT_EQ(std::filesystem::file_size(where + "/" + name), 0u) << c.what;
            }
        }
    }
}

}  // namespace
