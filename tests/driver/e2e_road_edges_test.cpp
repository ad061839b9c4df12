// End-to-end tests of the output road at its edges: the kernel's rules for
// links and planted files at their limits, paths at the root and through a
// directory called fd, the mode a new output is born with, inode flags, the
// name changed by someone else during the run, directories the user may
// write but not read, signals while a hidden file stands beside the output,
// long output names, and the volume handed to the disk as it is written.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/driver/e2e_replace_util.h"

namespace {

std::string bytes_of(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? read_whole_file(path) : std::string("(none)");
}

mode_t mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string xattr_of(const std::string &path, const char *name)
{
    std::string value(4096, '\0');
    const ssize_t n = getxattr(path.c_str(), name, &value[0], value.size());
    return n < 0 ? std::string("(none)") : value.substr(0, (size_t)n);
}

class E2eRoadEdges : public E2eReplace {
protected:
    run_result_t run(const std::string &out, const std::string &fail, int uid = -1,
                     std::function<void(int)> on_stop = nullptr, std::vector<std::string> extra = {})
    {
        run_options_t options;
        if (!fail.empty())
            options.env = e2e_fail_env(fail);
        if (uid >= 0)
            options.uid = options.gid = uid;
        options.on_stop = on_stop;
        return run_binary_with(KYVANE_BINARY, args(out, extra), options);
    }
};

// The kernel's own answer to a plain write of path by uid: 0, or its errno.
int plain_write(const std::string &path, int uid)
{
    const auto open_it = [&] {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return errno;
        close(fd);
        return 0;
    };
    return uid == 0 ? open_it() : run_as(uid, uid, open_it);
}

// Links and planted files where the kernel's rules change their answer: a
// run succeeds exactly where a plain write of the output by the same user
// would, with the volume in the file the path leads to, and is refused
// before the run with that file untouched where the plain write is. Each
// row sets the settings it needs, so the host's own decide nothing.
TEST_F(E2eRoadEdges, KernelRulesAtTheirEdges)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can set the protections and run as other users";
    enum kind_t { kLink, kPlanted, kChain };
    const struct {
        const char *what;
        const char *symlinks, *regular;  // the settings
        kind_t kind;
        mode_t dir_mode;
        int dir_owner;
        int owner;  // of the link, or of the planted file
        int runner;
        int chain;  // links in a chain
        bool succeeds;
    } cases[] = {
        {"another's link, sticky world-writable directory", "1", "0", kLink, 01777, 0, kOther, kNobody, 0, false},
        {"another's link, sticky directory others may not write", "1", "0", kLink, 01775, 0, kOther, kNobody, 0, true},
        {"another's link, world-writable directory not sticky", "1", "0", kLink, 0777, 0, kOther, kNobody, 0, true},
        {"another's link, protection off", "0", "0", kLink, 01777, 0, kOther, kNobody, 0, true},
        {"the directory owner's link", "1", "0", kLink, 01777, kOther, kOther, kNobody, 0, true},
        {"planted file, level 1, sticky group-writable directory", "0", "1", kPlanted, 01775, 0, kOther, kNobody,
         0, true},
        {"planted file, level 2, sticky group-writable directory", "0", "2", kPlanted, 01775, 0, kOther, kNobody,
         0, false},
        {"planted file, level 1, sticky world-writable directory", "0", "1", kPlanted, 01777, 0, kOther, kNobody,
         0, false},
        {"the directory owner's file, level 2", "0", "2", kPlanted, 01777, kOther, kOther, kNobody, 0, true},
        {"root over another's file, protection off", "0", "0", kPlanted, 01777, kNobody, kOther, 0, 0, true},
        {"root over another's file, level 1", "0", "1", kPlanted, 01777, kNobody, kOther, 0, 0, false},
        {"a chain of 40 links", "0", "0", kChain, 0755, 0, 0, 0, 40, true},
        {"a chain of 41 links", "0", "0", kChain, 0755, 0, 0, 0, 41, false},
    };
    int n = 0;
    for (const auto &c : cases) {
        const sysctl_t symlinks("protected_symlinks", c.symlinks), regular("protected_regular", c.regular);
        ASSERT_EQ(symlinks.error, 0) << "fs.protected_symlinks: " << std::strerror(symlinks.error);
        ASSERT_EQ(regular.error, 0) << "fs.protected_regular: " << std::strerror(regular.error);
        const std::string where = subdir("rules-" + std::to_string(n++), c.dir_mode, c.dir_owner, 0);
        const std::string out = where + "/vol.mrc";
        std::string target = out;
        if (c.kind == kLink) {
            target = where + "/precious.mrc";
            make_output(target, 0600, c.runner, c.runner);
            ASSERT_EQ(symlink(target.c_str(), out.c_str()), 0);
            ASSERT_EQ(lchown(out.c_str(), c.owner, c.owner), 0);
        } else if (c.kind == kPlanted) {
            make_output(out, 0666, c.owner, c.owner);
        } else {
            target = where + "/target.mrc";
            make_output(target);
            for (int i = 1; i <= c.chain; i++) {
                const std::string to = i == c.chain ? "target.mrc" : "l" + std::to_string(i + 1);
                ASSERT_EQ(symlink(to.c_str(), (where + "/l" + std::to_string(i)).c_str()), 0);
            }
            ASSERT_EQ(rename((where + "/l1").c_str(), out.c_str()), 0);
        }
        const std::string before = bytes_of(target);
        const ino_t old_inode = inode_of(target);
        const std::set<std::string> names = e2e_listing(where);
        const int plain = plain_write(out, c.runner);
        ASSERT_EQ(plain == 0, c.succeeds) << c.what << ": the kernel says " << std::strerror(plain);
        const run_result_t r = run(out, "", c.runner);
        // The settings are the whole machine's: a program that does not take
        // the settings lock may have changed them meanwhile, and the row
        // then proves nothing.
        if (read_whole_file(symlinks.path).substr(0, 1) != c.symlinks ||
            read_whole_file(regular.path).substr(0, 1) != c.regular) {
            std::cout << kRowSkipped << c.what << ": the settings were changed during the row\n";
            continue;
        }
        EXPECT_EQ(r.term_signal, 0) << c.what;
        EXPECT_EQ(e2e_listing(where), names) << c.what;
        if (c.succeeds) {
            EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
            expect_volume(target, c.what);
            // Root may remove another's file from a sticky directory.
            if (c.runner == 0 && c.kind == kPlanted) {
                EXPECT_NE(inode_of(target), old_inode) << c.what << ": not renamed over";
            }
        } else {
            EXPECT_EQ(r.status, 1) << c.what;
            // Refused with the reason the kernel gives a plain write.
            EXPECT_EQ(r.err, out + ": Cannot create image.\n" + out + ": " + std::strerror(plain) + ".\n")
                << c.what;
            EXPECT_EQ(r.out.find(kInfoBlock), std::string::npos) << c.what << ": refused late";
            EXPECT_TRUE(bytes_of(target) == before) << c.what << ": the file the path leads to changed";
        }
    }
}

// An output directly under / (named so, or through a link) lands there,
// not in the working directory; a numeric name in an ordinary directory
// called fd is an ordinary output, replaced whole at the end and kept as it
// was when the run fails, not a descriptor written in place.
TEST_F(E2eRoadEdges, PathsAtTheRootAndUnderFd)
{
    const std::string name = "kv-edge-" + std::to_string(getpid()) + ".mrc", top = "/" + name;
    const std::string work = subdir("work");
    ASSERT_EQ(symlink(top.c_str(), (work + "/link.mrc").c_str()), 0);
    for (const std::string &path : {top, std::string("link.mrc")}) {
        for (const bool exists : {false, true}) {
            const std::string what = path + (exists ? ", replacing" : ", new");
            unlink(top.c_str());
            if (exists)
                make_output(top);
            run_options_t options;
            options.cwd = work;
            const run_result_t r = run_binary_with(KYVANE_BINARY, args(path), options);
            EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
            expect_volume(top, what);
            EXPECT_EQ(e2e_listing(work), std::set<std::string>{"link.mrc"}) << what;
            std::error_code ec;
            EXPECT_EQ(std::filesystem::read_symlink(work + "/link.mrc", ec).string(), top) << what;
        }
    }
    unlink(top.c_str());

    const std::string fd_dir = subdir("fd");
    const std::string out = fd_dir + "/3";
    make_output(out);
    const ino_t before = inode_of(out);
    const run_result_t failed = run(out, "header");
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_EQ(read_whole_file(out), old_bytes) << "the old output was destroyed";
    const run_result_t r = run(out, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_with(r.out, kInPlaceWarning, ""), 0) << r.out;
    EXPECT_NE(inode_of(out), before) << "written in place";
    expect_volume(out, "a numeric name under a directory called fd");
    EXPECT_EQ(e2e_listing(fd_dir), std::set<std::string>{"3"});
}

// A new output gets the mode and ACL a plain create would give it in its
// directory: the default ACL's mask where it has one, its group entry
// where not, its other entry; the umask where there is no default ACL. Also
// where the user may write the directory but not read it.
TEST_F(E2eRoadEdges, ModeOfANewOutput)
{
    const uint16_t kUser = 0x01, kNamed = 0x02, kGroup = 0x04, kMask = 0x10, kOthers = 0x20;
    const struct {
        const char *what;
        std::vector<acl_entry_t> acl;  // the directory's default ACL, none when empty
        mode_t umask_bits;
        mode_t dir_mode;
        int runner;
        mode_t mode;
    } cases[] = {
        {"default ACL with a mask",
         {{kUser, 6, kNoId}, {kNamed, 7, (uint32_t)kOther}, {kGroup, 6, kNoId}, {kMask, 4, kNoId}, {kOthers, 0, kNoId}},
         022, 0755, 0, 0640},
        {"default ACL without a mask", {{kUser, 6, kNoId}, {kGroup, 2, kNoId}, {kOthers, 4, kNoId}}, 077, 0755, 0,
         0624},
        {"default ACL, others may write", {{kUser, 4, kNoId}, {kGroup, 0, kNoId}, {kOthers, 6, kNoId}}, 022, 0755,
         0, 0406},
        {"umask 027, no default ACL", {}, 027, 0755, 0, 0640},
        {"umask 002, no default ACL", {}, 002, 0755, 0, 0664},
        {"default ACL with a mask, directory not readable",
         {{kUser, 6, kNoId}, {kNamed, 7, (uint32_t)kOther}, {kGroup, 6, kNoId}, {kMask, 4, kNoId}, {kOthers, 0, kNoId}},
         022, 0733, kNobody, 0640},
        {"umask 007, directory not readable", {}, 007, 0733, kNobody, 0660},
    };
    int n = 0;
    for (const auto &c : cases) {
        if (c.runner != 0 && geteuid() != 0)
            continue;
        const std::string where = subdir("mode-" + std::to_string(n++), c.dir_mode);
        if (!c.acl.empty()) {
            const std::string acl = acl_blob(c.acl);
            if (setxattr(where.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) != 0) {
                std::cout << kRowSkipped << c.what << ": default ACL refused: " << std::strerror(errno) << "\n";
                continue;
            }
        }
        const std::string out = where + "/out.mrc", probe = where + "/probe";
        const mode_t saved = umask(c.umask_bits);
        const int plain = plain_write(probe, c.runner);
        const run_result_t r = run(out, "", c.runner);
        umask(saved);
        ASSERT_EQ(plain, 0) << c.what;
        EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
        EXPECT_EQ(mode_of(probe), c.mode) << c.what << ": the kernel's own create";
        EXPECT_EQ(mode_of(out), c.mode) << c.what << std::oct << ": mode 0" << mode_of(out);
        EXPECT_EQ(xattr_of(out, "system.posix_acl_access"), xattr_of(probe, "system.posix_acl_access")) << c.what;
        expect_volume(out, c.what);
        EXPECT_EQ(e2e_listing(where), (std::set<std::string>{"out.mrc", "probe"})) << c.what;
    }
}

// Inode flags the user set survive the replacement, a row each where the
// file system has the flag; one the new file inherits from its directory
// but the old one lacks is taken off. A set-group-id bit the kernel would
// drop from the new file (its group is not the user's) keeps the old file,
// which the volume is copied into.
TEST_F(E2eRoadEdges, InodeFlagsAndSetIdBits)
{
    const struct {
        const char *what;
        unsigned file_flags;  // set on the old file
        unsigned dir_flags;   // set on the directory, cleared from the old file
    } cases[] = {
        {"synchronous", FS_SYNC_FL, 0},
        {"compression", FS_COMPR_FL, 0},
        {"no-compression", FS_NOCOMP_FL, 0},
        {"no-dump inherited from the directory", 0, FS_NODUMP_FL},
        {"synchronous inherited from the directory", 0, FS_SYNC_FL},
        {"no-atime kept, no-dump inherited", FS_NOATIME_FL, FS_NODUMP_FL},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string where = subdir("flags-" + std::to_string(n++));
        const std::string out = where + "/out.mrc";
        const inode_flag_t dir_flag(where, (int)c.dir_flags);
        if (c.dir_flags && dir_flag.error) {
            std::cout << kRowSkipped << c.what << ": " << std::strerror(dir_flag.error) << "\n";
            continue;
        }
        make_output(out);
        std::string why = c.file_flags ? add_inode_flags(out, c.file_flags) : std::string();
        if (why.empty() && c.dir_flags && (inode_flags(out) & c.dir_flags) == 0)
            why = "the file system does not pass the directory's flag on";
        if (why.empty() && c.dir_flags && set_inode_flag(out, (int)c.dir_flags, false) != 0)
            why = "the inherited flag cannot be cleared";
        if (why.empty() && (inode_flags(out) & kUserFlags) != c.file_flags)
            why = "the file system keeps other flags";
        if (!why.empty()) {
            std::cout << kRowSkipped << c.what << ": " << why << "\n";
            continue;
        }
        const run_result_t r = run(out, "");
        EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
        EXPECT_EQ(inode_flags(out), c.file_flags) << c.what << std::hex << ": flags 0x" << inode_flags(out);
        expect_volume(out, c.what);
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << c.what;
    }

    if (geteuid() != 0)
        GTEST_SKIP() << "only root can run as another user";
    // New files take the directory's group, which the user is not in.
    const std::string where = subdir("setgid", 02777, 0, kForeignGroup);
    const std::string out = where + "/out.mrc";
    make_output(out, 02664, kNobody, kForeignGroup);
    // What the kernel leaves of the mode when the user writes the file.
    const std::string probe = dir.file("setgid-probe");
    make_output(probe, 02664, kNobody, kForeignGroup);
    ASSERT_EQ(run_as(kNobody, kNobody, [&] {
                  const int fd = open(probe.c_str(), O_WRONLY | O_CLOEXEC);
                  const bool ok = fd >= 0 && write(fd, "x", 1) == 1;
                  if (fd >= 0)
                      close(fd);
                  return ok ? 0 : 1;
              }),
              0);
    const identity_t before = identity(out);
    const run_result_t r = run(out, "", kNobody);
    EXPECT_EQ(r.status, 0) << r.err;
    const identity_t after = identity(out);
    EXPECT_EQ(after.ino, before.ino) << "renamed over: the set-group-id bit could not be given";
    EXPECT_EQ(after.mode & 07777, mode_of(probe)) << std::oct << after.mode;
    EXPECT_TRUE(after.uid == before.uid && after.gid == before.gid);
    expect_volume(out, "set-group-id output");
    EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"});
}

// Someone changes the output's name while the volume is computed (the
// program stops just before its volume's sync at the close): the volume
// ends where the user asked, or the run fails and says so with the file
// at the name kept; nothing stays beside the output either way.
TEST_F(E2eRoadEdges, NameChangedDuringTheRun)
{
    const struct {
        const char *what;
        const char *fail;
        bool twin;        // the old output has a second name in another directory
        bool take;        // another file is renamed over the name, else the name is removed
        bool keep_twin;   // the second name is left
        bool succeeds;
    } cases[] = {
        {"the old output removed", "", false, false, false, true},
        {"the old output removed under both its names", "", true, false, false, true},
        {"the old output's name removed, its other name left", "", true, false, true, true},
        {"the old output removed, named file", "tmpfile,", false, false, false, true},
        {"the name taken by another file, rename refused", "rename,", false, true, false, false},
        {"the name taken by another file, named file, rename refused", "tmpfile,rename,", false, true, false,
         false},
        {"the name taken by another file, append-only directory", "appenddir,", false, true, false, false},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string where = subdir("changed-" + std::to_string(n)), other = subdir("other-" + std::to_string(n));
        n++;
        const std::string out = where + "/out.mrc", twin = other + "/twin.mrc", taker = other + "/taker";
        make_output(out);
        if (c.twin) {
            ASSERT_EQ(link(out.c_str(), twin.c_str()), 0);
        }
        const std::string taken_bytes = "another file\n";
        write_text_file(taker, taken_bytes);
        int acted = -1;
        const run_result_t r = run(out, std::string(c.fail) + "stop=fsync", -1, [&](int) {
            if (c.take)
                acted = rename(taker.c_str(), out.c_str());
            else
                acted = unlink(out.c_str()) || (c.twin && !c.keep_twin && unlink(twin.c_str()));
        });
        ASSERT_EQ(r.stops, 1) << c.what << ": never reached the sync\n" << r.err;
        ASSERT_EQ(acted, 0) << c.what;
        EXPECT_EQ(r.term_signal, 0) << c.what;
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << c.what;
        if (c.succeeds) {
            EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
            expect_volume(out, c.what);
            // The name left is no longer the output's: its file stays as it was.
            if (c.keep_twin) {
                EXPECT_TRUE(read_whole_file(twin) == old_bytes) << c.what << ": the other name changed";
            }
        } else {
            EXPECT_EQ(r.status, 1) << c.what;
            EXPECT_EQ(lines_with(r.err, kNotPlaced, out + ": "), 1) << c.what << "\n" << r.err;
            EXPECT_EQ(r.out.find(kSuccess), std::string::npos) << c.what;
            EXPECT_TRUE(read_whole_file(out) == taken_bytes) << c.what << ": the file at the name changed";
        }
    }
}

// A directory the user may write but not read (0733) has no descriptor to
// sync: its whole file system is synced instead, and the run succeeds. An
// output written in place (no right to create beside it) whose sync fails
// is reported as the failure it is.
TEST_F(E2eRoadEdges, DirectoriesAndSyncs)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can run as another user";
    const std::string where = subdir("drop-box", 0733);
    for (const bool exists : {false, true}) {
        const std::string what = exists ? "replacing in a 0733 directory" : "new output in a 0733 directory";
        const std::string out = where + "/out.mrc";
        if (exists)
            make_output(out, 0640, kNobody, kNobody);
        const ino_t before = inode_of(out);
        const run_result_t r = run(out, "", kNobody);
        EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
        EXPECT_NE(r.out.find(kSuccess), std::string::npos) << what;
        expect_volume(out, what);
        if (exists) {
            EXPECT_NE(inode_of(out), before) << what << ": not renamed over";
            EXPECT_EQ(mode_of(out), 0640u) << what;
        }
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << what;
    }

    const std::string fixed = subdir("fixed", 0755);
    const std::string out = fixed + "/out.mrc";
    make_output(out, 0644, kNobody, kNobody);
    const run_result_t r = run(out, "fsync", kNobody);
    EXPECT_EQ(lines_with(r.out, kInPlaceWarning, "Warning: "), 1) << r.out;
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(out + ": Cannot write image.\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find(kSuccess), std::string::npos);
    EXPECT_EQ(e2e_listing(fixed), std::set<std::string>{"out.mrc"});
}

// In an append-only directory on a file system without unnamed files no
// hidden name is ever made: it could never be removed again.
TEST_F(E2eRoadEdges, NoHiddenNameInAnAppendOnlyDirectory)
{
    const std::string where = subdir("append");
    const std::string old = where + "/old.mrc", fresh = where + "/new.mrc";
    make_output(old);
    const inode_flag_t append(where, FS_APPEND_FL);
    if (append.error)
        GTEST_SKIP() << "chattr +a refused: " << std::strerror(append.error);
    std::set<std::string> expected = {"old.mrc"};
    for (const std::string &out : {old, fresh}) {
        std::set<std::string> seen;
        const run_result_t r = run(out, "tmpfile,stop=fsync", -1, [&](int) { seen = e2e_listing(where); });
        EXPECT_EQ(r.stops, 1) << out;
        EXPECT_EQ(r.status, 0) << out << "\n" << r.err;
        expected.insert(std::filesystem::path(out).filename());
        for (const std::string &name : seen)
            EXPECT_TRUE(expected.count(name)) << out << ": " << name << " made during the run";
        expect_volume(out, out);
        EXPECT_EQ(e2e_listing(where), expected) << out;
    }
}

// The hidden file made beside an output of the longest name keeps the
// ".part-" tail that tells what it is, behind as much of the name as fits.
TEST_F(E2eRoadEdges, HiddenNameOfALongOutputName)
{
    const std::string where = subdir("long");
    const std::string name = std::string(251, 'n') + ".mrc", out = where + "/" + name;
    std::set<std::string> seen;
    int pid = 0;
    const run_result_t r = run(out, "tmpfile,stop=fsync", -1, [&](int child) {
        pid = child;
        seen = e2e_listing(where);
    });
    ASSERT_EQ(r.stops, 1) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(seen.size(), 1u);
    const std::string hidden = *seen.begin();
    EXPECT_EQ(hidden.rfind("." + name.substr(0, 100), 0), 0u) << hidden;
    EXPECT_NE(hidden.find(".part-" + std::to_string(pid) + "-"), std::string::npos) << hidden;
    EXPECT_LE(hidden.size(), 255u);
    expect_volume(out, "the longest name");
    EXPECT_EQ(e2e_listing(where), std::set<std::string>{name});
}

// The dirty pages of a file and the pages counted, through the kernel's page
// flags (root only), leaving out the folio of the first page: the header,
// written at the close itself, dirties it again. -1 with why when the
// pages cannot be seen.
long dirty_pages(const std::string &path, long *counted, std::string *why)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size == 0) {
        *why = "the volume cannot be opened";
        if (fd >= 0)
            close(fd);
        return -1;
    }
    const long page = sysconf(_SC_PAGESIZE), pages = (long)((st.st_size + page - 1) / page);
    void *map = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        *why = "mmap refused";
        return -1;
    }
    const int pagemap = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    const int flags = open("/proc/kpageflags", O_RDONLY | O_CLOEXEC);
    const uint64_t kDirty = 1ULL << 4, kTail = 1ULL << 16, kFrame = (1ULL << 55) - 1;
    long dirty = 0;
    bool header_folio = true;
    *counted = 0;
    for (long i = 0; i < pages && dirty >= 0; i++) {
        volatile char touch = static_cast<const char *>(map)[i * page];
        (void)touch;
        uint64_t entry = 0, kflags = 0;
        const off_t at = (off_t)(((uintptr_t)map / page + i) * 8);
        if (pagemap < 0 || flags < 0 || pread(pagemap, &entry, 8, at) != 8 || !(entry >> 63) ||
            (entry & kFrame) == 0 || pread(flags, &kflags, 8, (off_t)((entry & kFrame) * 8)) != 8) {
            *why = "the kernel shows no page frames here";
            dirty = -1;
            break;
        }
        header_folio = i == 0 || (header_folio && (kflags & kTail));
        if (header_folio)
            continue;
        ++*counted;
        dirty += (kflags & kDirty) != 0;
    }
    if (pagemap >= 0)
        close(pagemap);
    if (flags >= 0)
        close(flags);
    munmap(map, (size_t)st.st_size);
    return dirty;
}

// The writer hands each written run of sections to the disk at once: at
// the close's sync, just before it, most of the volume's data are no longer
// dirty in the page cache but on their way, or on the disk already.
TEST_F(E2eRoadEdges, SectionsHandedToTheDiskDuringTheRun)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "page flags are shown to root only";
    // 8 MiB of volume, many folios of the page cache.
    const e2e_series_t wide = e2e_make_series(256, 32, 61, 32);
    const std::string wide_ts = dir.file("wide.mrc"), wide_tlt = dir.file("wide.tlt");
    e2e_write_series(wide, wide_ts, wide_tlt);
    const std::string where = subdir("handed");
    const std::string out = where + "/out.mrc";
    long dirty = -2, counted = 0;
    std::string why = "no volume open at the close";
    run_options_t options;
    options.env = e2e_fail_env("stop=fsync");
    options.on_stop = [&](int pid) {
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
            struct stat st;
            if (std::filesystem::read_symlink(e.path(), ec).string().rfind(where + "/", 0) != 0 ||
                stat(e.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < (1 << 20))
                continue;
            dirty = dirty_pages(e.path(), &counted, &why);
            break;
        }
    };
    const run_result_t r =
        run_binary_with(KYVANE_BINARY, {"-a", wide_tlt, "-i", wide_ts, "-o", out, "-f", "-t", "2"}, options);
    ASSERT_EQ(r.stops, 1) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    if (dirty == -1)
        GTEST_SKIP() << why;
    ASSERT_GE(counted, 256) << why;
    EXPECT_LE(dirty * 2, counted) << dirty << " of " << counted << " pages still dirty at the close";
}

// Every signal whose default action ends the process ends it while the
// volume is written under a hidden name (no unnamed files here), and the
// hidden file goes with it: each stop signal of a user, a timer or a limit,
// each fault signal, the real-time ones at both ends.
class E2eRoadSignals : public E2eRoadEdges, public ::testing::WithParamInterface<int> {};

TEST_P(E2eRoadSignals, RemoveTheHiddenFile)
{
    const int sig = GetParam();
    const std::string where = subdir("signalled");
    const std::string out = where + "/out.mrc";
    run_options_t options;
    // The sanitizers' own handlers of faults step aside for the program's.
    options.env = e2e_fail_env("tmpfile");
    const std::string own_faults = ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
    options.env.back() += own_faults;
    const char *tsan = std::getenv("TSAN_OPTIONS");
    options.env.push_back(std::string("TSAN_OPTIONS=") + (tsan ? tsan : "") + own_faults);
    options.signal = sig;
    bool hidden = false;
    options.trigger = [&](int pid) {
        if (!e2e_writing_a_file(pid, where))
            return false;
        for (const std::string &name : e2e_listing(where))
            hidden = hidden || name.rfind(".out.mrc.part-", 0) == 0;
        return true;
    };
    const run_result_t r = run_binary_with(KYVANE_BINARY, args(out, kLongRun), options);
    EXPECT_TRUE(r.signal_sent) << strsignal(sig);
    EXPECT_TRUE(hidden) << strsignal(sig) << ": no hidden file while writing";
    EXPECT_EQ(r.term_signal, sig) << strsignal(sig) << ": exit status " << r.status << "\n" << r.err;
    EXPECT_EQ(e2e_listing(where), std::set<std::string>{}) << strsignal(sig);
}

INSTANTIATE_TEST_SUITE_P(EveryEndingSignal, E2eRoadSignals,
                         ::testing::Values(SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
                                           SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGILL, SIGTRAP, SIGABRT,
                                           SIGBUS, SIGFPE, SIGSEGV, SIGSYS, SIGRTMIN, SIGRTMAX),
                         [](const ::testing::TestParamInfo<int> &info) {
                             const char *abbrev = sigabbrev_np(info.param);
                             return info.param == SIGRTMIN   ? std::string("RTMIN")
                                    : info.param == SIGRTMAX ? std::string("RTMAX")
                                    : abbrev                 ? std::string(abbrev)
                                                             : std::to_string(info.param);
                         });

}  // namespace
