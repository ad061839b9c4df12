#include "driver/run_guard.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// Read by the signal handler: only a flag, a descriptor and a fixed buffer,
// no allocation. The directory is held by a descriptor of the guard's own,
// so the name is removed where it was made whatever the path's length.
static char temp_name[NAME_MAX + 1];
static int temp_dir = -1;
static volatile sig_atomic_t temp_set = 0;

// Signals whose default action ends the process and that come from outside
// (a user, a timer, a resource limit): held back while the temporary file
// and its record come into being together.
static const int stop_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM,
                                   SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR};
// The same for faults of the process itself.
static const int fault_signals[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};

int guard_standard_streams(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is fd itself, the ones below being open.
        // A path-only descriptor of a directory holds the number: reads and
        // writes through it fail as on a closed stream, and no open of
        // /dev/fd/N can make a file of it, so the volume cannot go nowhere.
        const int null_fd = open("/", O_PATH | O_DIRECTORY);
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
        unlinkat(temp_dir, temp_name, 0);
    errno = saved;
    // The disposition was reset on entry and the signal is not blocked in
    // here, so raising it again ends the process by the signal itself, as
    // the caller (a shell loop, a batch system) must see it.
    raise(sig);
}

static void catch_signal(int sig)
{
    struct sigaction old = {};
    // Left alone: a signal the parent set to be ignored (nohup: the run must
    // go on) and one that already has a handler (a sanitizer's report).
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL ||
        (old.sa_flags & SA_SIGINFO))
        return;
    struct sigaction stop = {};
    stop.sa_handler = on_stop_signal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigaction(sig, &stop, nullptr);
}

void guard_signals(void)
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);

    for (int sig : stop_signals)
        catch_signal(sig);
    for (int sig : fault_signals)
        catch_signal(sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        catch_signal(sig);
}

void guard_hold_signals(int hold)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : stop_signals)
        sigaddset(&set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        sigaddset(&set, sig);
    pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

int guard_set_temp(int dir_fd, const char *name)
{
    temp_set = 0;
    if (temp_dir >= 0)
        close(temp_dir);
    temp_dir = -1;
    if (!name)
        return 0;
    if (std::strlen(name) >= sizeof temp_name) {
        errno = ENAMETOOLONG;
        return -1;
    }
    temp_dir = fcntl(dir_fd, F_DUPFD_CLOEXEC, 3);
    if (temp_dir < 0)
        return -1;
    std::memcpy(temp_name, name, std::strlen(name) + 1);
    temp_set = 1;
    return 0;
}

void guard_remove_temp(void)
{
    if (temp_set)
        unlinkat(temp_dir, temp_name, 0);
    guard_set_temp(-1, nullptr);
}
