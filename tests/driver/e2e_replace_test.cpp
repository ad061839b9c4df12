// End-to-end replacement of an existing output as users' systems meet it:
// the file keeps its identity (mode, owner, ACLs, attributes, links), an
// ordinary user's permissions decide as they would for a plain write, paths
// through descriptor tables, at the length limits and under mount points
// work, and a failure at the close leaves the previous output as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include <grp.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/driver/e2e_replace_util.h"

namespace {

// Whatever stands at the output's name afterwards is the same file to its
// owner and to the system: mode with its set-id bits, owner, group, ACLs by
// value, every attribute, inode flags, and a file of several names stays one
// file that every name shows anew.
TEST_F(E2eReplace, KeepsTheFilesIdentity)
{
    const group *adm = getgrnam("adm");
    const gid_t adm_gid = adm ? adm->gr_gid : 4;
    // Each setup returns why its case cannot run here, or nothing.
    struct case_t {
        const char *what;
        std::function<std::string(const std::string &out)> setup;
        std::vector<std::string> other_names = {};  // further links made to the output
    } cases[] = {
        {"mode 0600", [](const std::string &out) { return refused("chmod", chmod(out.c_str(), 0600)); }},
        {"mode 0640, group adm",
         [&](const std::string &out) {
             return refused("chown", chown(out.c_str(), 0, adm_gid) || chmod(out.c_str(), 0640));
         }},
        {"owned by nobody",
         [](const std::string &out) { return refused("chown", chown(out.c_str(), kNobody, kNobody)); }},
        {"ACL entry for nobody",
         [](const std::string &out) {
             const std::string acl = acl_with_nobody();
             return refused("ACL", setxattr(out.c_str(), "system.posix_acl_access", acl.data(),
                                            acl.size(), 0));
         }},
        {"user attribute",
         [](const std::string &out) {
             const char value[] = "tilt series 7, session 2";
             return refused("user attribute",
                            setxattr(out.c_str(), "user.kyvane.origin", value, sizeof value - 1, 0));
         }},
        {"two hard links", [](const std::string &) { return std::string(); }, {"twin.mrc"}},
        {"set-user-id and set-group-id bits",
         [](const std::string &out) { return refused("chmod", chmod(out.c_str(), 06644)); }},
        {"trusted attribute",
         [](const std::string &out) {
             const char value[] = "kept by root";
             return refused("trusted attribute",
                            setxattr(out.c_str(), "trusted.kyvane.note", value, sizeof value - 1, 0));
         }},
        // The new file is born with the directory's ACL, which the old one
        // never had.
        {"directory default ACL, none on the file",
         [](const std::string &out) {
             const std::string acl = acl_with_nobody(4), where = std::filesystem::path(out).parent_path();
             return refused("default ACL", setxattr(where.c_str(), "system.posix_acl_default", acl.data(),
                                                    acl.size(), 0));
         }},
        // Both carry an entry for nobody: r-- inherited, rw- the file's own.
        {"ACL entry differing from the directory default's",
         [](const std::string &out) {
             const std::string dflt = acl_with_nobody(4), own = acl_with_nobody(6);
             const std::string where = std::filesystem::path(out).parent_path();
             return refused("ACL", setxattr(where.c_str(), "system.posix_acl_default", dflt.data(),
                                            dflt.size(), 0) ||
                                       setxattr(out.c_str(), "system.posix_acl_access", own.data(),
                                                own.size(), 0));
         }},
        {"no-dump", [](const std::string &out) { return add_inode_flags(out, FS_NODUMP_FL); }},
        {"no-atime", [](const std::string &out) { return add_inode_flags(out, FS_NOATIME_FL); }},
        {"no-dump and no-atime",
         [](const std::string &out) { return add_inode_flags(out, FS_NODUMP_FL | FS_NOATIME_FL); }},
    };
    int n = 0;
    for (const case_t &c : cases) {
        const std::string where = subdir("identity-" + std::to_string(n++));
        const std::string out = where + "/out.mrc";
        make_output(out);
        for (const std::string &name : c.other_names)
            ASSERT_EQ(link(out.c_str(), (where + "/" + name).c_str()), 0);
        const std::string refused = c.setup(out);
        if (!refused.empty()) {
            std::cout << "[  SKIPPED ] " << c.what << ": " << refused << "\n";
            continue;
        }
        const identity_t before = identity(out);
        const std::set<std::string> names = e2e_listing(where);
        const run_result_t r = e2e_run(args(out));
        EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
        const identity_t after = identity(out);
        ASSERT_TRUE(after.ok) << c.what;
        EXPECT_EQ(after.mode, before.mode) << c.what;
        EXPECT_EQ(after.uid, before.uid) << c.what;
        EXPECT_EQ(after.gid, before.gid) << c.what;
        EXPECT_EQ(after.nlink, before.nlink) << c.what;
        EXPECT_EQ(after.flags, before.flags) << c.what;
        EXPECT_EQ(after.xattrs, before.xattrs)
            << c.what << "\nbefore: " << describe(before) << "\nafter:  " << describe(after);
        expect_volume(out, c.what);
        for (const std::string &name : c.other_names) {
            const identity_t twin = identity(where + "/" + name);
            EXPECT_TRUE(twin.dev == after.dev && twin.ino == after.ino) << c.what << ": " << name;
            expect_volume(where + "/" + name, c.what);
        }
        EXPECT_EQ(e2e_listing(where), names) << c.what;
    }
}

// An ordinary user's run succeeds or is refused as a plain write of the
// output would be; what succeeds stays the same file, owner and mode.
TEST_F(E2eReplace, OrdinaryUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can run a child as another user";
    struct case_t {
        const char *what;
        mode_t dir_mode;   // of the root-owned directory holding the output
        int out_owner, out_group;
        mode_t out_mode;
        bool succeeds;
        bool in_place;     // written in place, which the run warns of
    } cases[] = {
        // Nothing can be made beside the output: it is written in place.
        {"directory not writable, own writable output", 0755, kNobody, kNobody, 0644, true, true},
        // Another user's file cannot be renamed over: copied at the close.
        {"sticky directory, root's output writable by all", 01777, 0, 0, 0666, true, false},
        // The user cannot give a new file that group: copied at the close.
        {"own output of a group the user is not in", 0777, kNobody, 0, 0664, true, false},
        // A rename would replace these; the user may not write them.
        {"own write-protected output", 0777, kNobody, kNobody, 0444, false, false},
        {"root's output readable by all", 0777, 0, 0, 0644, false, false},
    };
    int n = 0;
    for (const case_t &c : cases) {
        const std::string where = subdir("user-" + std::to_string(n++), c.dir_mode);
        const std::string out = where + "/out.mrc";
        make_output(out, c.out_mode, c.out_owner, c.out_group);
        const identity_t before = identity(out);
        const std::set<std::string> names = e2e_listing(where);
        run_options_t as_user;
        as_user.uid = as_user.gid = kNobody;
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), as_user);
        const identity_t after = identity(out);
        EXPECT_EQ(r.term_signal, 0) << c.what;
        if (c.succeeds) {
            EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
            EXPECT_EQ(r.err, "") << c.what;
            EXPECT_EQ(lines_with(r.out, kInPlaceWarning, "Warning: "), c.in_place ? 1 : 0)
                << c.what << "\n" << r.out;
            EXPECT_EQ(lines_with(r.out, kInPlaceWarning, ""), c.in_place ? 1 : 0) << c.what;
            EXPECT_TRUE(after.dev == before.dev && after.ino == before.ino) << c.what;
            EXPECT_TRUE(after.uid == before.uid && after.gid == before.gid) << c.what;
            EXPECT_EQ(after.mode, before.mode) << c.what;
            expect_volume(out, c.what);
        } else {
            EXPECT_EQ(r.status, 1) << c.what;
            EXPECT_EQ(r.err, out + ": Cannot create image.\n") << c.what;
            EXPECT_EQ(e2e_read_bytes(out), old_bytes) << c.what;
            EXPECT_TRUE(after.ino == before.ino && after.mode == before.mode) << c.what;
        }
        EXPECT_EQ(e2e_listing(where), names) << c.what;
    }
}

// A path through the descriptor table names the open file the caller
// passed, named or unnamed: the volume goes into that very file, and no
// file appears under the name the kernel shows for it.
TEST_F(E2eReplace, DescriptorPaths)
{
    const struct {
        const char *prefix;
        bool unnamed;
    } cases[] = {{"/dev/fd/", false}, {"/proc/self/fd/", false}, {"/dev/fd/", true}, {"/proc/self/fd/", true}};
    int n = 0;
    for (const auto &c : cases) {
        const std::string what = std::string(c.prefix) + (c.unnamed ? " of an unnamed file" : " of a named file");
        const std::string where = subdir("fd-" + std::to_string(n++));
        const std::string held = where + "/held.mrc";
        const int fd = c.unnamed ? open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644)
                                 : open(held.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 && c.unnamed && errno == EOPNOTSUPP) {
            std::cout << "[  SKIPPED ] " << what << ": the file system has no unnamed files\n";
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
TEST_F(E2eReplace, PathsAtTheLimits)
{
    const std::string loop = subdir("loop");
    ASSERT_EQ(symlink("b", (loop + "/a").c_str()), 0);
    ASSERT_EQ(symlink("a", (loop + "/b").c_str()), 0);
    const run_result_t r = e2e_run(args(loop + "/a"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, loop + "/a: Cannot create image.\n");
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

// A pipeline watching the directory sees the output's name change once,
// when the volume is complete: no write or close-after-write of the old
// file at the start of the run. The old file, held open for writing since
// the start (so the kernel refuses at once what it would refuse a plain
// write), may report its close only after the new volume has its name.
TEST_F(E2eReplace, OnlyTheFinalEventOnTheName)
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

// An output under a mount point: a file bound over the output gets the
// volume in place (a rename cannot replace a mount point), and a small file
// system with room for the new volume only where the old one stands is
// written in place, with a warning.
TEST_F(E2eReplace, Mounts)
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

// The last steps of the close fail (data not on the disk, header not
// written, file not closed): the previous output stays byte for byte and
// nothing is left beside it, with the unnamed file and with the named one
// the program falls back to.
TEST_F(E2eReplace, FailuresAtTheClose)
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
            EXPECT_EQ(r.out.find("Reconstruction successful!"), std::string::npos) << what;
            EXPECT_EQ(e2e_read_bytes(out), old_bytes) << what;
            EXPECT_EQ(e2e_listing(where), names) << what;
        }
    }
}

// A rename that the directory refuses only at the close, for a reason no
// check before the run could see: the volume goes into the old file, which
// keeps its inode, and nothing is left beside it.
TEST_F(E2eReplace, RenameRefusedAtTheClose)
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

}  // namespace
