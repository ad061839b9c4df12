// The output road's resolver and identity copy, called directly on a
// scratch directory, so that their faults show without running the program
// (and without root): where a path leads, the kernel's rules for sticky
// directories, what a replacing file takes of the file it replaces, and the
// close's part of the thread's reason.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <map>
#include <thread>
#include <string>

#include "mrc/mrc_internal.h"
#include "mrc/mrc_output.h"
#include "tests/support/scratch_dir.h"

namespace {

ino_t inode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Where each path leads: what stands there, the directory and name a
// create would use, or the refusal. A wrong directory or name writes the
// volume somewhere the user did not ask; a link followed from the wrong
// place, or a loop not stopped, does the same or never ends.
TEST(MrcPathResolve, WhereAPathLeads)
{
    scratch_dir_t s;
    ASSERT_FALSE(s.path.empty());
    ASSERT_EQ(mkdir(s.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(s.file("fd").c_str(), 0755), 0);
    FILE *fp = fopen(s.file("plain").c_str(), "w");
    ASSERT_NE(fp, nullptr);
    fclose(fp);
    fp = fopen(s.file("fd/7").c_str(), "w");
    ASSERT_NE(fp, nullptr);
    fclose(fp);
    const struct {
        const char *name, *target;
    } links[] = {
        {"rel", "plain"},          {"chain", "rel"},          {"sub/up", "../plain"},
        {"dangling", "missing"},   {"into", "sub/new"},       {"loop", "loop"},
        {"sub/back", "../sub/up"},
    };
    for (const auto &l : links) ASSERT_EQ(symlink(l.target, s.file(l.name).c_str()), 0) << l.name;
    ASSERT_EQ(symlink(s.file("plain").c_str(), s.file("abs").c_str()), 0);

    const std::string long_name(NAME_MAX + 1, 'x');
    const struct {
        const char *what;
        std::string path;
        mrc_path_found_t found;
        int error;            // for MRC_PATH_FAILED
        std::string dir;      // the directory the name is in
        std::string base;     // the name there
        std::string file;     // what stands there, for MRC_PATH_FILE
    } cases[] = {
        {"a plain file", s.file("plain"), MRC_PATH_FILE, 0, s.path, "plain", s.file("plain")},
        {"a new name", s.file("new"), MRC_PATH_NOTHING, 0, s.path, "new", ""},
        {"a relative link", s.file("rel"), MRC_PATH_FILE, 0, s.path, "plain", s.file("plain")},
        {"an absolute link", s.file("abs"), MRC_PATH_FILE, 0, s.path, "plain", s.file("plain")},
        {"a link to a link", s.file("chain"), MRC_PATH_FILE, 0, s.path, "plain", s.file("plain")},
        {"a link read from its own directory", s.file("sub/up"), MRC_PATH_FILE, 0, s.path, "plain",
         s.file("plain")},
        {"links through two directories", s.file("sub/back"), MRC_PATH_FILE, 0, s.path, "plain",
         s.file("plain")},
        {"a dangling link makes its target", s.file("dangling"), MRC_PATH_NOTHING, 0, s.path, "missing", ""},
        {"a link into a subdirectory", s.file("into"), MRC_PATH_NOTHING, 0, s.file("sub"), "new", ""},
        {"a directory stands at the name", s.file("sub"), MRC_PATH_FILE, 0, s.path, "sub", s.file("sub")},
        {"digits in a directory fd outside /proc", s.file("fd/7"), MRC_PATH_FILE, 0, s.file("fd"), "7",
         s.file("fd/7")},
        {"a descriptor entry", "/proc/self/fd/1", MRC_PATH_DESCRIPTOR, 0, "/proc/self/fd", "1", ""},
        {"a descriptor entry through /dev/fd", "/dev/fd/2", MRC_PATH_DESCRIPTOR, 0, "/proc/self/fd", "2", ""},
        {"a link to itself", s.file("loop"), MRC_PATH_FAILED, ELOOP, "", "", ""},
        {"a trailing slash", s.file("sub") + "/", MRC_PATH_FAILED, EISDIR, "", "", ""},
        {"a last component of dot", s.file("sub/."), MRC_PATH_FAILED, EISDIR, "", "", ""},
        {"a last component of dot-dot", s.file("sub/.."), MRC_PATH_FAILED, EISDIR, "", "", ""},
        {"a name too long", s.file(long_name), MRC_PATH_FAILED, ENAMETOOLONG, "", "", ""},
        {"a missing directory", s.file("none/x"), MRC_PATH_FAILED, ENOENT, "", "", ""},
    };
    for (const auto &c : cases) {
        int dir = -1;
        std::string base;
        struct stat st;
        errno = 0;
        const mrc_path_found_t found = mrc_path_resolve(c.path.c_str(), &dir, &base, &st);
        const int error = errno;
        EXPECT_EQ(found, c.found) << c.what;
        if (found == MRC_PATH_FAILED) {
            EXPECT_EQ(error, c.error) << c.what;
            continue;
        }
        struct stat d;
        ASSERT_EQ(fstat(dir, &d), 0) << c.what;
        close(dir);
        EXPECT_EQ(d.st_ino, inode_of(c.dir)) << c.what;
        EXPECT_EQ(base, c.base) << c.what;
        // The file as found without following a link at the name.
        if (found == MRC_PATH_FILE) {
            EXPECT_EQ(st.st_ino, inode_of(c.file)) << c.what;
        }
    }
}

// The protected_* setting a rule row runs under: its level for the one
// setting that decides the row, 0 for any other.
const char *g_setting = "";
int g_level = 0;
int fake_setting(const char *name)
{
    return strcmp(name, g_setting) == 0 ? g_level : 0;
}

// The kernel's rules for sticky directories, on the owners, modes and
// settings that decide them. A rule too lax lets another user lead the
// volume into a file of theirs or catch it in a planted file; one too strict
// refuses the user's own /tmp. An unreadable setting (-1) counts as on.
TEST(MrcPathRules, StickyDirectories)
{
    const uid_t me = geteuid(), owner = me + 1000, other = me + 2000;
    const char *const links = "protected_symlinks", *const regular = "protected_regular",
                      *const fifos = "protected_fifos";
    const struct {
        const char *what;
        mode_t dir_mode;
        uid_t dir_uid, file_uid;
        mode_t file_type;
        const char *setting;
        int level;
        bool allowed;
    } cases[] = {
        {"another's link, sticky world-writable", 01777, owner, other, S_IFLNK, links, 1, false},
        {"another's link, protection off", 01777, owner, other, S_IFLNK, links, 0, true},
        {"another's link, setting unreadable", 01777, owner, other, S_IFLNK, links, -1, false},
        {"own link", 01777, owner, me, S_IFLNK, links, 1, true},
        {"the directory owner's link", 01777, owner, owner, S_IFLNK, links, 1, true},
        {"another's link, sticky not world-writable", 01775, owner, other, S_IFLNK, links, 1, true},
        {"another's link, world-writable not sticky", 0777, owner, other, S_IFLNK, links, 1, true},
        {"another's file, sticky world-writable", 01777, owner, other, S_IFREG, regular, 1, false},
        {"another's file, protection off", 01777, owner, other, S_IFREG, regular, 0, true},
        {"another's file, setting unreadable", 01777, owner, other, S_IFREG, regular, -1, false},
        {"another's file, sticky group-writable, level 1", 01775, owner, other, S_IFREG, regular, 1, true},
        {"another's file, sticky group-writable, level 2", 01775, owner, other, S_IFREG, regular, 2, false},
        {"another's file, only its owner writes the directory", 01755, owner, other, S_IFREG, regular, 2, true},
        {"another's file, not sticky", 0777, owner, other, S_IFREG, regular, 2, true},
        {"own file", 01777, owner, me, S_IFREG, regular, 2, true},
        {"the directory owner's file", 01777, owner, owner, S_IFREG, regular, 2, true},
        {"another's FIFO, sticky world-writable", 01777, owner, other, S_IFIFO, fifos, 1, false},
        {"another's FIFO, sticky group-writable, level 2", 01775, owner, other, S_IFIFO, fifos, 2, false},
        {"another's device", 01777, owner, other, S_IFCHR, regular, 2, true},
    };
    for (const auto &c : cases) {
        struct stat dir = {}, file = {};
        dir.st_mode = S_IFDIR | c.dir_mode;
        dir.st_uid = c.dir_uid;
        file.st_mode = c.file_type | 0644;
        file.st_uid = c.file_uid;
        g_setting = c.setting;
        g_level = c.level;
        const bool allowed = c.file_type == S_IFLNK ? mrc_path_may_follow(&dir, &file, fake_setting)
                                                    : mrc_path_may_open_planted(&dir, &file, fake_setting);
        EXPECT_EQ(allowed, c.allowed) << c.what;
    }
}

std::map<std::string, std::string> xattrs_of(int fd)
{
    std::map<std::string, std::string> out;
    char names[4096];
    const ssize_t n = flistxattr(fd, names, sizeof names);
    for (ssize_t i = 0; i < n; i += (ssize_t)strlen(names + i) + 1) {
        char value[1024];
        const ssize_t v = fgetxattr(fd, names + i, value, sizeof value);
        out[names + i] = v >= 0 ? std::string(value, (size_t)v) : "?";
    }
    return out;
}

// An access ACL of owner rw-, one named user r--, owning group r--, mask
// and others as given, in the kernel's stored form.
std::string access_acl(unsigned mask, unsigned other)
{
    const struct {
        uint16_t tag, perm;
        uint32_t id;
    } entries[] = {{0x01, 6, 0xFFFFFFFF}, {0x02, 4, 54321}, {0x04, 4, 0xFFFFFFFF},
                   {0x10, (uint16_t)mask, 0xFFFFFFFF}, {0x20, (uint16_t)other, 0xFFFFFFFF}};
    std::string acl(4 + sizeof entries, '\0');
    const uint32_t version = 2;
    memcpy(&acl[0], &version, 4);
    memcpy(&acl[4], entries, sizeof entries);
    return acl;
}

// What the replacing file takes of the file it replaces, before any data:
// the whole mode with its set-id bits, every attribute and ACL (and none the
// old file lacked), and as root the owner and group. A fault here leaves the
// user's replaced output readable to others, or stripped of its ACL.
TEST(MrcIdentityCopy, TheReplacedFilesIdentity)
{
    scratch_dir_t s;
    ASSERT_FALSE(s.path.empty());
    {
        // Where the scratch file system keeps no user attributes, the
        // attribute rows would test nothing.
        const int fd = open(s.file("probe").c_str(), O_CREAT | O_RDWR, 0600);
        ASSERT_GE(fd, 0);
        const bool ok = fsetxattr(fd, "user.probe", "1", 1, 0) == 0;
        close(fd);
        if (!ok) GTEST_SKIP() << "no user attributes on " << s.path;
    }
    const bool root = geteuid() == 0;
    const struct {
        const char *what;
        mode_t mode;
        std::map<std::string, std::string> old_attrs, new_attrs;  // before the copy
        bool acl;                 // the old file has an access ACL
        bool other_owner;         // the old file belongs to another user (root only)
    } cases[] = {
        {"owner read-write only", 0600, {}, {}, false, false},
        {"group and others readable", 0644, {}, {}, false, false},
        {"the set-group-id bit", 02751, {}, {}, false, false},
        {"read-only", 0444, {}, {}, false, false},
        {"attributes, one of them empty", 0640, {{"user.a", "1"}, {"user.empty", ""}}, {}, false, false},
        {"an attribute only the new file has", 0640, {}, {{"user.extra", "x"}}, false, false},
        {"an attribute of another value", 0640, {{"user.a", "old"}}, {{"user.a", "new"}}, false, false},
        {"an access ACL with a mask", 0640, {}, {}, true, false},
        {"another user's file", 0640, {{"user.a", "1"}}, {}, false, true},
    };
    int n = 0;
    for (const auto &c : cases) {
        if (c.other_owner && !root) continue;
        const std::string old_path = s.file("old" + std::to_string(n)), new_path = s.file("new" + std::to_string(n));
        ++n;
        const int old_fd = open(old_path.c_str(), O_CREAT | O_RDWR, 0600);
        const int new_fd = open(new_path.c_str(), O_CREAT | O_RDWR, 0600);
        ASSERT_GE(old_fd, 0);
        ASSERT_GE(new_fd, 0);
        for (const auto &a : c.old_attrs)
            ASSERT_EQ(fsetxattr(old_fd, a.first.c_str(), a.second.data(), a.second.size(), 0), 0) << c.what;
        for (const auto &a : c.new_attrs)
            ASSERT_EQ(fsetxattr(new_fd, a.first.c_str(), a.second.data(), a.second.size(), 0), 0) << c.what;
        if (c.other_owner) {
            ASSERT_EQ(fchown(old_fd, 4321, 4322), 0) << c.what;
        }
        ASSERT_EQ(fchmod(old_fd, c.mode), 0) << c.what;
        if (c.acl) {
            const std::string acl = access_acl(4, 0);
            ASSERT_EQ(fsetxattr(old_fd, "system.posix_acl_access", acl.data(), acl.size(), 0), 0) << c.what;
        }
        struct stat old_st, new_st;
        ASSERT_EQ(fstat(old_fd, &old_st), 0);
        EXPECT_TRUE(mrc_identity_copy(new_fd, old_fd, &old_st)) << c.what;
        ASSERT_EQ(fstat(new_fd, &new_st), 0);
        EXPECT_EQ(new_st.st_mode & 07777, old_st.st_mode & 07777) << c.what;
        EXPECT_EQ(new_st.st_uid, old_st.st_uid) << c.what;
        EXPECT_EQ(new_st.st_gid, old_st.st_gid) << c.what;
        EXPECT_EQ(xattrs_of(new_fd), xattrs_of(old_fd)) << c.what;
        if (c.acl) {
            EXPECT_EQ(xattrs_of(new_fd).count("system.posix_acl_access"), 1u) << c.what;
        }
        close(old_fd);
        close(new_fd);
    }
}

// The close's part of the thread's reason: set and appended as the close
// composes its message, kept when the close then stores its code (as
// mrc_close does after placing the volume), and the calling thread's own.
// A fault here loses or garbles what the program prints after the work.
TEST(MrcCloseDetail, ComposedKeptAndPerThread)
{
    mrc_reset_closedetail();
    mrc_set_closedetailf("it could not be given its name (%s)", strerror(EBUSY));
    mrc_add_closedetailf("; the volume stays in %s beside it", ".out.part");
    const std::string composed = std::string("it could not be given its name (") + strerror(EBUSY) +
                                 "); the volume stays in .out.part beside it";
    EXPECT_EQ(mrc_close_detail(), composed);
    EXPECT_EQ(mrc_close_placed(), 0);

    // The code and its reason stored after the close leave its part alone.
    mrc_set_errno(MRC_EWRITE);
    mrc_set_errdetail("out.mrc", EIO);
    EXPECT_EQ(mrc_close_detail(), composed);
    EXPECT_EQ(std::string(mrc_errdetail()), std::string("out.mrc: ") + strerror(EIO));

    std::string seen;
    int seen_placed = -1;
    std::thread other([&] {
        seen = mrc_close_detail();
        mrc_set_closedetailf("another close");
        mrc_set_close_placed();
        seen_placed = mrc_close_placed();
    });
    other.join();
    EXPECT_EQ(seen, "") << "another thread's close detail";
    EXPECT_EQ(seen_placed, 1);
    EXPECT_EQ(mrc_close_detail(), composed);
    EXPECT_EQ(mrc_close_placed(), 0);

    // A text longer than the record is cut, never run past it.
    mrc_add_closedetailf("%s", std::string(4000, 'x').c_str());
    const size_t n = strlen(mrc_close_detail());
    EXPECT_GT(n, composed.size());
    EXPECT_LT(n, 4000u);

    mrc_set_close_placed();
    mrc_reset_closedetail();
    EXPECT_STREQ(mrc_close_detail(), "");
    EXPECT_EQ(mrc_close_placed(), 0);
    mrc_set_errno(MRC_OK);
}

}  // namespace
