// End-to-end tests of the paths an output is replaced through: entries of a
// descriptor table, a process's root directory in /proc, paths at the length
// limits and a link loop, and outputs under mount points.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/driver/e2e_replace_util.h"

namespace {

class E2eReplacePaths : public E2eReplace {};

// A path through the descriptor table names the open file the caller
// passed, named or unnamed, however the path is spelt: the volume goes into
// that very file, and no file appears under the name the kernel shows for
// it.
TEST_F(E2eReplacePaths, DescriptorPaths)
{
    const struct {
        const char *prefix;
        bool unnamed;
    } cases[] = {{"/dev/fd/", false},         {"/proc/self/fd/", false}, {"/dev/fd/", true},
                 {"/proc/self/fd/", true},    {"/dev//fd/", false},      {"/dev/./fd/", false},
                 {"//proc/self/fd/", false}, {"/dev//fd/", true},       {"//proc/self/fd/", true}};
    int n = 0;
    for (const auto &c : cases) {
        const std::string what = std::string(c.prefix) + (c.unnamed ? " of an unnamed file" : " of a named file");
        const std::string where = subdir("fd-" + std::to_string(n++));
        const std::string held = where + "/held.mrc";
        const int fd = c.unnamed ? open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644)
                                 : open(held.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 && c.unnamed && errno == EOPNOTSUPP) {
            std::cout << kRowSkipped << what << ": the file system has no unnamed files\n";
            continue;
        }
        ASSERT_GE(fd, 0) << what << ": " << std::strerror(errno);
        ASSERT_EQ(write(fd, old_bytes.data(), old_bytes.size()), (ssize_t)old_bytes.size());
        const std::set<std::string> names = e2e_listing(where);
        run_options_t options;
        options.inherit_fds = {fd};
        const run_result_t r =
            run_binary_with(KYVANE_BINARY, args(c.prefix + std::to_string(fd)), options);
        EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
        expect_volume("/proc/self/fd/" + std::to_string(fd), what + ", through the descriptor");
        if (!c.unnamed) {
            struct stat by_fd, by_name;
            EXPECT_TRUE(fstat(fd, &by_fd) == 0 && stat(held.c_str(), &by_name) == 0 &&
                        by_fd.st_ino == by_name.st_ino)
                << what;
            expect_volume(held, what + ", through its name");
        }
        EXPECT_EQ(e2e_listing(where), names) << what;
        close(fd);
    }
}

// A symbolic-link loop is refused untouched, as a plain create refuses it;
// an output path just short of PATH_MAX is written like any other.
TEST_F(E2eReplacePaths, PathsAtTheLimits)
{
    const std::string loop = subdir("loop");
    ASSERT_EQ(symlink("b", (loop + "/a").c_str()), 0);
    ASSERT_EQ(symlink("a", (loop + "/b").c_str()), 0);
    const run_result_t r = e2e_run(args(loop + "/a"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, loop + "/a: Cannot create image.\n" + loop + "/a: Too many levels of symbolic links.\n");
    EXPECT_EQ(e2e_listing(loop), (std::set<std::string>{"a", "b"}));
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink(loop + "/a", ec).string(), "b");
    EXPECT_EQ(std::filesystem::read_symlink(loop + "/b", ec).string(), "a");

    // 4085 bytes: the longest name of the last directory is 100 bytes, so
    // any name longer than the output's own in that directory goes past
    // PATH_MAX (4096 with the terminating zero) as a path.
    const size_t total = 4085, name_length = 100;
    std::string deep = dir.path;
    while (deep.size() + 1 + name_length < total) {
        const size_t room = total - name_length - 1 - deep.size();  // for "/dir..."
        size_t length = std::min<size_t>(200, room - 1);
        if (room - (length + 1) == 1)  // a lone slash cannot stand
            length--;
        deep += "/" + std::string(length, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0) << deep.size() << " " << std::strerror(errno);
    }
    const std::string out = deep + "/" + std::string(name_length - 4, 'v') + ".mrc";
    ASSERT_EQ(out.size(), total);
    // And a name of NAME_MAX bytes, whose hidden companion must be shorter.
    const std::string longest = subdir("longest") + "/" + std::string(251, 'n') + ".mrc";
    // Unnamed, and with the hidden file a named one must be made beside.
    for (const std::string fail : {"", "tmpfile"}) {
        for (const std::string &path : {out, longest}) {
            const std::string what = "a path of " + std::to_string(path.size()) + " bytes, " +
                                     (fail.empty() ? "unnamed" : "named") + " file";
            make_output(path);
            run_options_t options;
            if (!fail.empty())
                options.env = e2e_fail_env(fail);
            const run_result_t r = run_binary_with(KYVANE_BINARY, args(path), options);
            EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
            // Replaced whole at the end, not given up at the start.
            EXPECT_EQ(lines_with(r.out, kInPlaceWarning, "Warning: "), 0) << what << "\n" << r.out;
            expect_volume(path, what);
            const std::string where = std::filesystem::path(path).parent_path();
            EXPECT_EQ(e2e_listing(where).size(), 1u) << what;
        }
    }
}

// An output under a mount point: a file bound over the output gets the
// volume in place (a rename cannot replace a mount point), and a small file
// system with room for the new volume only where the old one stands is
// written in place, with a warning.
TEST_F(E2eReplacePaths, Mounts)
{
    // Mounts made in a namespace of this process alone vanish with it.
    if (unshare(CLONE_NEWNS) == 0)
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);

    const std::string where = subdir("bind");
    const std::string source = where + "/source.mrc", out = where + "/out.mrc";
    make_output(source);
    write_text_file(out, "under the mount");
    const std::set<std::string> names = e2e_listing(where);
    {
        const mount_t bound(source, out, nullptr, MS_BIND, nullptr);
        if (bound.error)
            GTEST_SKIP() << "bind mount refused: " << std::strerror(bound.error);
        const run_result_t r = e2e_run(args(out));
        EXPECT_EQ(r.status, 0) << r.err;
        expect_volume(out, "bind-mounted output");
        expect_volume(source, "source of the bind mount");
        EXPECT_EQ(e2e_listing(where), names);
    }

    // 8 MiB of volume; 17.8 MB of the old one leave 7.4 MB of the 24 MiB.
    const e2e_series_t wide = e2e_make_series(256, 32, 61, 32);
    const std::string wide_ts = dir.file("wide.mrc"), wide_tlt = dir.file("wide.tlt");
    e2e_write_series(wide, wide_ts, wide_tlt);
    const std::string wide_ref = dir.file("wide-reference.mrc");
    ASSERT_EQ(e2e_run({"-a", wide_tlt, "-i", wide_ts, "-o", wide_ref, "-f", "-v", "0"}).status, 0);
    const std::string small = subdir("small");
    const mount_t tmpfs("tmpfs", small, "tmpfs", 0, "size=24m,mode=0755");
    if (tmpfs.error)
        GTEST_SKIP() << "tmpfs mount refused: " << std::strerror(tmpfs.error);
    const std::string full = small + "/out.mrc";
    write_text_file(full, std::string(17800000, '\x5a'));
    const run_result_t r = e2e_run({"-a", wide_tlt, "-i", wide_ts, "-o", full, "-f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_with(r.out, kInPlaceWarning, "Warning: "), 1) << r.out;
    const e2e_volume_t got = e2e_read_volume(full), want = e2e_read_volume(wide_ref);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.nx * got.ny * got.nz, 256 * 256 * 32);
    EXPECT_TRUE(got.data == want.data);
    EXPECT_EQ(e2e_listing(small), (std::set<std::string>{"out.mrc"}));
}

// A path through a process's root directory in /proc is an ordinary path,
// not a descriptor: the output is replaced whole at the end, and a run
// interrupted while writing leaves the old output as it was.
TEST_F(E2eReplacePaths, PathsThroughAProcessRoot)
{
    const std::string where = subdir("through-root");
    const std::string out = where + "/v.mrc", me = std::to_string(getpid());
    const std::string paths[] = {"/proc/" + me + "/task/" + me + "/root" + out, "/proc/self/root" + out};
    for (const std::string &path : paths) {
        make_output(out);
        const ino_t before = inode_of(out);
        const run_result_t r = e2e_run(args(path));
        EXPECT_EQ(r.status, 0) << path << "\n" << r.err;
        EXPECT_EQ(lines_with(r.out, kInPlaceWarning, ""), 0) << path;
        EXPECT_NE(inode_of(out), before) << path << ": written in place";
        expect_volume(out, path);
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"v.mrc"}) << path;

        make_output(out);
        run_options_t options;
        options.signal = SIGINT;
        options.trigger = [&](int pid) { return e2e_writing_a_file(pid, where); };
        const run_result_t stopped = run_binary_with(KYVANE_BINARY, args(path, kLongRun), options);
        EXPECT_TRUE(stopped.signal_sent) << path;
        EXPECT_EQ(stopped.term_signal, SIGINT) << path << "\n" << stopped.err;
        EXPECT_TRUE(read_whole_file(out) == old_bytes) << path << ": the old output was damaged";
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"v.mrc"}) << path;
    }
}

}  // namespace
