// The placing at the close: the complete volume renamed over the old file,
// linked in at a new name or copied into the old file, with the signals held
// while a step would leave debris or a damaged file, and the directory
// written to the disk. What kept it from its place goes to the calling
// thread's close detail (mrc_close_detail).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "mrc/mrc_internal.h"
#include "mrc/mrc_output.h"

static void mrc_place_say(const char *what, int error)
{
    if (error)
        mrc_set_closedetailf("%s (%s)", what, strerror(error));
    else
        mrc_set_closedetailf("%s", what);
}

// 1 when the volume is written beside the output, to take its place at the close.
static int mrc_place_beside(const mrc_output_t *out)
{
    return out->plan == MRC_REPLACE_RENAME || out->plan == MRC_REPLACE_COPY;
}

// The hidden name the system last refused to take away, for the report.
static thread_local char mrc_place_left_name[NAME_MAX + 1];

// Takes the hidden name away: 0, or the errno of the refusal.
static int mrc_place_remove_hidden(mrc_output_t *out)
{
    int refused = 0;
    if (out->temp[0] && out->dir_fd >= 0 && unlinkat(out->dir_fd, out->temp, 0) != 0 && errno != ENOENT) {
        refused = errno;
        memcpy(mrc_place_left_name, out->temp, sizeof mrc_place_left_name);
    }
    out->temp[0] = '\0';
    return refused;
}

void mrc_output_release(mrc_output_t *out)
{
    mrc_place_remove_hidden(out);
    mrc_output_close_fd(&out->volume_fd);
    mrc_output_close_fd(&out->dir_fd);
    mrc_output_close_fd(&out->target_fd);
}

// Every catchable signal held back while the volume is put in place: while
// a named file exists that only the next call takes away, or while the old
// file is being overwritten, a signal would leave debris or a damaged file.
static void mrc_place_hold_signals(bool hold, sigset_t *saved)
{
    if (hold) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, saved);
    } else {
        pthread_sigmask(SIG_SETMASK, saved, NULL);
    }
}

// Writes the bytes of src into the existing file dst from its start and
// cuts dst to their size. 0, or the errno of the failure.
static int mrc_place_copy_into(int src, int dst, int64_t bytes)
{
    loff_t in = 0, at = 0;
    while (at < bytes) {
        const ssize_t n = copy_file_range(src, &in, dst, &at, (size_t)(bytes - at), 0);
        if (n > 0) continue;
        if (n == 0) return EIO;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
        // No kernel copy between these files: through a buffer, a small one
        // where memory is short, so the copy never fails for want of it.
        static char fallback[64 << 10];
        size_t size = 1 << 20;
        char *buf = (char *)malloc(size);
        if (!buf) buf = fallback, size = sizeof fallback;
        int error = 0;
        while (at < bytes && !error) {
            const ssize_t got = pread(src, buf, (size_t)std::min<int64_t>((int64_t)size, bytes - at), at);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                error = got < 0 ? errno : EIO;
                break;
            }
            for (ssize_t done = 0; done < got;) {
                const ssize_t w = pwrite(dst, buf + done, (size_t)(got - done), at + done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    error = w < 0 ? errno : EIO;
                    break;
                }
                done += w;
            }
            at += got;
        }
        if (buf != fallback) free(buf);
        if (error) return error;
    }
    if (ftruncate(dst, bytes) != 0 || fsync(dst) != 0) return errno;
    return 0;
}

// Copies the finished volume (src) into the file the path led to at the
// create, through the descriptor taken then. Runs copying into one file
// take turns: each holds a lock of its open file on the whole file through
// its copy (waited for with the signals let through), so the file ends as
// one volume or the other, never a mix. A file system without such locks
// (or that refuses the lock) is copied into all the same: the work is done.
static int mrc_place_copy(mrc_output_t *out, int src)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    int locked;
    while ((locked = fcntl(out->target_fd, F_OFD_SETLKW, &lock)) != 0 && errno == EINTR) {
    }
    struct stat st;
    sigset_t saved;
    mrc_place_hold_signals(true, &saved);
    const int error = fstat(src, &st) == 0 ? mrc_place_copy_into(src, out->target_fd, (int64_t)st.st_size) : errno;
    if (locked == 0) {
        lock.l_type = F_UNLCK;
        fcntl(out->target_fd, F_OFD_SETLK, &lock);
    }
    mrc_place_hold_signals(false, &saved);
    if (!error) return MRC_OK;
    mrc_place_say("copying it into the existing output failed, which may now hold part of it", error);
    return MRC_EWRITE;
}

// Gives the complete volume (fd) the output's name, in the directory held
// since the create. The name is given over the file found there then, or
// over whatever took the name since (the entry itself: a link is never
// followed); a rename refused over the old file puts the volume into it.
static int mrc_place_link(mrc_output_t *out, int fd)
{
    struct stat now, old;
    const bool had = out->target_fd >= 0 && fstat(out->target_fd, &old) == 0;
    const bool taken = fstatat(out->dir_fd, out->name, &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (!taken && errno != ENOENT) {
        mrc_place_say("its directory could not be read", errno);
        return MRC_ECREATE;
    }
    const bool same = had && taken && now.st_dev == old.st_dev && now.st_ino == old.st_ino;
    const std::string self = mrc_path_of_fd(fd);
    if (!taken && out->tmpfile) {
        if (linkat(AT_FDCWD, self.c_str(), out->dir_fd, out->name, AT_SYMLINK_FOLLOW) == 0) {
            out->named_now = 1;
            return MRC_OK;
        }
        if (errno != EEXIST) {
            mrc_place_say("it could not be linked in", errno);
            return MRC_ECREATE;
        }
    }
    sigset_t saved;
    mrc_place_hold_signals(true, &saved);
    int error = 0;
    if (out->tmpfile && !out->append_only) {
        int linked = 0;
        for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
            mrc_plan_hidden_name(out, out->temp, sizeof out->temp);
            linked = linkat(AT_FDCWD, self.c_str(), out->dir_fd, out->temp, AT_SYMLINK_FOLLOW) == 0;
            if (!linked && errno != EEXIST) break;
        }
        if (!linked) {
            error = errno;
            out->temp[0] = '\0';
        }
    } else if (out->tmpfile) {
        error = EPERM;  // nothing is linked in that could not be taken away
    }
    const bool renamed = out->temp[0] && renameat(out->dir_fd, out->temp, out->dir_fd, out->name) == 0;
    int left = 0;
    if (out->temp[0] && !renamed) {
        error = errno;
        // The volume stays reachable through fd for a copy.
        left = mrc_place_remove_hidden(out);
    }
    out->temp[0] = '\0';
    mrc_place_hold_signals(false, &saved);
    if (renamed) {
        out->named_now = 1;
        return MRC_OK;
    }
    // The rename was refused over the old file: the volume goes into it.
    int result = MRC_ECREATE;
    if (same) {
        result = mrc_place_copy(out, fd);
        if (result == MRC_OK && left) {
            // Its data are in the output now: what stays beside it holds none.
            const int emptied = ftruncate(fd, 0) == 0;
            mrc_set_closedetailf("the volume was copied into it, but the file %s beside it, which could not be "
                                 "removed (%s), %s",
                                 mrc_place_left_name, strerror(left),
                                 emptied ? "was emptied" : "still holds a copy");
        } else if (left) {
            mrc_add_closedetailf("; the volume stays in %s beside it, which could not be removed (%s)",
                                 mrc_place_left_name, strerror(left));
        }
        return result;
    }
    if (taken)
        mrc_place_say("its name was taken by another file during the run, which may not be replaced", error);
    else
        mrc_place_say("it could not be given its name", error);
    if (left) {
        mrc_add_closedetailf("; the volume stays in %s beside it, which could not be removed (%s)",
                             mrc_place_left_name, strerror(left));
    }
    return result;
}

// Makes the name given to the volume last through a power cut.
static int mrc_place_sync_directory(mrc_output_t *out)
{
    // Without a readable descriptor of the directory, its whole file system.
    const int failed = out->dir_readable ? fsync(out->dir_fd) : syncfs(out->volume_fd);
    if (failed == 0 || errno == EINVAL || errno == EROFS) return MRC_OK;
    // The name is given: what the user must know is that it may not last.
    const int error = errno;
    mrc_set_closedetailf(out->target_fd >= 0
                             ? "the volume replaced the previous output, but the directory could not be "
                               "written to the disk (%s): after a power cut the previous output may be back"
                             : "the volume was given its name, but the directory could not be written to "
                               "the disk (%s): after a power cut the name may be gone",
                         strerror(error));
    mrc_set_close_placed();
    return MRC_EWRITE;
}

int mrc_output_finish(mrc_output_t *out, FILE *fp, int result)
{
    mrc_reset_closedetail();
    const bool beside = mrc_place_beside(out);
    if (result != MRC_OK) mrc_place_say("its header could not be written", 0);
    // The data must be on the disk before a name points at them; a file
    // written in place must be there before success is reported.
    struct stat st;
    if (result == MRC_OK &&
        (beside || (fstat(fileno(fp), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)))) &&
        fsync(fileno(fp)) != 0) {
        mrc_place_say("its data could not be written to the disk", errno);
        result = MRC_EWRITE;
    }
    if (fclose(fp) != 0) {
        if (result == MRC_OK) mrc_place_say("its file could not be closed", errno);
        result = MRC_ECLOSE;
    }
    if (result == MRC_OK && beside) {
        struct stat target, now;
        // A file no longer at the output's name (gone from every directory,
        // or left only under its other names) would take the volume away
        // from where the user asked: the volume is given the name instead.
        if (out->plan == MRC_REPLACE_COPY && fstat(out->target_fd, &target) == 0 && target.st_nlink > 0 &&
            fstatat(out->dir_fd, out->name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == target.st_dev &&
            now.st_ino == target.st_ino)
            result = mrc_place_copy(out, out->volume_fd);
        else
            result = mrc_place_link(out, out->volume_fd);
    }
    if (result == MRC_OK && out->named_now) result = mrc_place_sync_directory(out);
    const int left = mrc_place_remove_hidden(out);
    if (left) {
        mrc_add_closedetailf("%sthe unfinished file %s beside it, which could not be removed (%s), stays",
                             *mrc_close_detail() ? "; " : "", mrc_place_left_name, strerror(left));
    }
    mrc_output_release(out);
    return result;
}
