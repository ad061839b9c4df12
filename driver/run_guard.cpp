#include "driver/run_guard.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// Read by the signal handler: only a flag and a fixed buffer, no allocation.
static char temp_path[PATH_MAX + 1];
static volatile sig_atomic_t temp_set = 0;

static const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

int guard_standard_streams(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is fd itself, the ones below being open.
        const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null_fd < 0)
            return -1;
        if (null_fd != fd) {
            const int moved = dup2(null_fd, fd);
            close(null_fd);
            if (moved != fd)
                return -1;
        }
    }
    return 0;
}

static void on_stop_signal(int sig)
{
    const int saved = errno;
    if (temp_set)
        unlink(temp_path);
    errno = saved;
    // The disposition was reset on entry and the signal is not blocked in
    // here, so raising it again ends the process by the signal itself.
    raise(sig);
    _exit(128 + sig);
}

void guard_signals(void)
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);

    struct sigaction stop = {};
    stop.sa_handler = on_stop_signal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESETHAND | SA_NODEFER;
    for (int sig : stop_signals) {
        struct sigaction old = {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue; // e.g. nohup: the caller wants the run to go on
        sigaction(sig, &stop, nullptr);
    }
}

void guard_hold_signals(int hold)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : stop_signals)
        sigaddset(&set, sig);
    pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void guard_set_temp(const char *path)
{
    temp_set = 0;
    if (!path || std::strlen(path) >= sizeof temp_path)
        return;
    std::memcpy(temp_path, path, std::strlen(path) + 1);
    temp_set = 1;
}

void guard_remove_temp(void)
{
    if (temp_set)
        unlink(temp_path);
    temp_set = 0;
}
