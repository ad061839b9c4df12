// How a created volume reaches its name, in four parts that share this
// header (internal to libMRC, not part of mrc/mrc.h):
//   mrc_output_path.cpp      (mrc_path_)     the path resolved once, under the kernel's rules
//   mrc_output_identity.cpp  (mrc_identity_) the replaced file's flags, owner, attributes, ACLs, mode
//   mrc_output_plan.cpp      (mrc_plan_)     the plan made at the create: choice, room, the files taken
//   mrc_output_place.cpp     (mrc_place_)    the placing at the close: copy, link, rename, directory sync
// The road's entry points keep the prefix mrc_output_.
//
// The volume is written beside the file the name leads to, as an unnamed
// file that is linked in over it only once complete, so that whatever stood
// there survives every failure and every death of the process, and keeps
// the mode, owner, group, ACLs, attributes and flags the user gave it. The
// rare files that cannot be replaced so are written beside and copied into
// at the close, or, with no room or no right to write beside them, written
// in place.
//
// Other users may change a shared directory at any moment, so the path is
// resolved once, at the create, with the kernel's rules; from then on only
// descriptors taken then are used: the directory, the old file opened for
// writing as a plain write would open it, and the volume's file. The close
// opens nothing by name.
#ifndef KYVANE_MRC_MRC_OUTPUT_H
#define KYVANE_MRC_MRC_OUTPUT_H

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

// How a created volume replaces what stands at its name. Every descriptor
// the close needs is taken at the create.
struct mrc_output_t {
    int plan;          // an mrc_replace_t
    int dir_fd;        // directory of the name, while written beside it
    int dir_readable;  // dir_fd is open for reading (it can be synced), not O_PATH
    int target_fd;     // the file the name led to at the create, open for writing, or -1
    int volume_fd;     // the volume's file, for naming it once its stream is closed
    int tmpfile;       // 1: written beside as an unnamed file
    int append_only;   // the directory keeps every name linked into it
    int named_now;     // the volume got its name (the directory must reach the disk)
    char name[NAME_MAX + 1];  // the name in dir_fd
    char temp[NAME_MAX + 1];  // hidden name while written beside under one
    int error;         // errno of the call that refused the set-up, or 0
    const char *why;   // what that refusal means where errno alone would mislead, or NULL
};

// ---- The road's entry points ----------------------------------------------

// Decides how the volume of `bytes` reaches path, and opens the file it is
// written into (*fd), its blocks reserved. Returns 0, or the libMRC code of
// the refusal, with its reason in out->error and out->why.
int mrc_output_prepare(const char *path, int64_t bytes, mrc_output_t *out, int *fd);
// Puts the complete volume in place after its header was written (result:
// 0, or the code of a failed write) and closes fp. Returns a libMRC code;
// mrc_close_detail() then says what failed.
int mrc_output_finish(mrc_output_t *out, FILE *fp, int result);
// Drops a volume that will not be finished: nothing of it stays.
void mrc_output_release(mrc_output_t *out);

// What decides between renaming over an existing output and copying into it.
struct mrc_output_facts_t {
    int exists;           // a regular file stands at the name
    int64_t links;        // its link count
    int other_mount;      // it is mounted over the name (a bind mount)
    int sticky_other;     // a sticky directory lets the user write it but not remove it
    int append_only_dir;  // the directory keeps every name linked into it
};
int mrc_output_choose(const mrc_output_facts_t *facts);
// 1 when the file system's free space takes the volume beside the output
// (held_blocks512: the old file's st_blocks, -1 for a new output), 0 when
// only in the old file's place.
struct statvfs;
int mrc_output_room(const struct statvfs *vfs, int64_t bytes, int64_t held_blocks512, int plan);

static inline void mrc_output_close_fd(int *fd)
{
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// ---- The path resolver ----------------------------------------------------

// What stands at the name a path leads to.
enum mrc_path_found_t {
    MRC_PATH_FAILED = -1,     // the path cannot be followed (errno says why)
    MRC_PATH_NOTHING = 0,     // no file: a create makes it
    MRC_PATH_FILE = 1,        // a file (a link-free look at it in *st)
    MRC_PATH_DESCRIPTOR = 2,  // an entry of a descriptor table in /proc
};

// Follows path to the name a create would make or open: its directory
// (*dir, O_PATH, the caller's to close unless MRC_PATH_FAILED) and the name
// in it (*base). Links of the last component are followed under the
// kernel's rules, the rest by the kernel itself.
mrc_path_found_t mrc_path_resolve(const char *path, int *dir, std::string *base, struct stat *st);
// A value of /proc/sys/fs, or -1 when it cannot be read.
int mrc_path_fs_sysctl(const char *name);
typedef int (*mrc_path_setting_fn)(const char *name);
// The kernel's rules for a link (mrc_path_may_follow) and for an existing
// file or FIFO opened with O_CREAT (mrc_path_may_open_planted) found in a
// directory, for the effective user, under the protected_* settings as
// `setting` reads them (read only where they decide).
bool mrc_path_may_follow(const struct stat *dir, const struct stat *link,
                         mrc_path_setting_fn setting = mrc_path_fs_sysctl);
bool mrc_path_may_open_planted(const struct stat *dir, const struct stat *file,
                               mrc_path_setting_fn setting = mrc_path_fs_sysctl);
// True when name in dir is an entry of a process's descriptor table in /proc.
bool mrc_path_descriptor_entry(int dir, const std::string &name);
// The name through which the kernel reaches an open descriptor's file.
std::string mrc_path_of_fd(int fd);

// ---- The replaced file's identity -----------------------------------------

// Gives the new file (tmp) the flags, owner, group, attributes, ACLs and mode
// of the one it replaces (target, st), before any data goes in. False when
// any of it cannot be given.
bool mrc_identity_copy(int tmp, int target, const struct stat *st);
// The mode a plain create with 0666 would give in the output's directory.
mode_t mrc_identity_created_mode(const mrc_output_t *out);

// ---- The plan, shared with the placing --------------------------------------

// A hidden name beside the output for a volume being put in place.
void mrc_plan_hidden_name(const mrc_output_t *out, char *name, size_t size);

#endif
