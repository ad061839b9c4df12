#include "tests/support/run_binary.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static double now_seconds()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

static void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

run_result_t run_binary(const std::string &path, const std::vector<std::string> &args,
                        const std::string &stdin_text, const std::string &cwd, double timeout_seconds)
{
    run_options_t options;
    options.stdin_text = stdin_text;
    options.cwd = cwd;
    options.timeout_seconds = timeout_seconds;
    return run_binary_with(path, args, options);
}

run_result_t run_binary_with(const std::string &path, const std::vector<std::string> &args,
                             const run_options_t &options)
{
    const std::string &stdin_text = options.stdin_text;
    const std::string &cwd = options.cwd;
    const double timeout_seconds = options.timeout_seconds;
    run_result_t result{-1, 0, false, std::string(), std::string(), false, 0};
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0)
        return result;
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        close(in_pipe[0]), close(in_pipe[1]);
        return result;
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(in_pipe[0]), close(in_pipe[1]), close(out_pipe[0]), close(out_pipe[1]);
        return result;
    }

    // Built before the fork: the child may only call async-signal-safe code.
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    // The caller's environment, an entry of options.env replacing the one
    // of the same name.
    std::vector<std::string> env_entries;
    for (char **e = environ; *e; e++) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string &extra : options.env)
            replaced = replaced || extra.compare(0, name.size(), name) == 0;
        if (!replaced)
            env_entries.push_back(entry);
    }
    env_entries.insert(env_entries.end(), options.env.begin(), options.env.end());
    std::vector<char *> envp;
    for (std::string &entry : env_entries)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    // Sorted, so the descriptors between them can be closed by range.
    std::vector<int> kept = options.inherit_fds;
    std::sort(kept.begin(), kept.end());

    const pid_t pid = fork();
    if (pid == 0) {
        // The child starts with every signal at its default, whatever the
        // test runner set for itself, and leaves no core dump behind.
        for (int sig = 1; sig < 32; sig++)
            if (sig != SIGKILL && sig != SIGSTOP)
                signal(sig, SIG_DFL);
        for (int sig : options.ignored_signals)
            signal(sig, SIG_IGN);
        const rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(in_pipe[0], STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        if (options.close_stdin)
            close(STDIN_FILENO);
        if (options.close_stdout)
            close(STDOUT_FILENO);
        if (options.close_stderr)
            close(STDERR_FILENO);
        if (options.file_size_limit >= 0) {
            const rlimit limit = {(rlim_t)options.file_size_limit, (rlim_t)options.file_size_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(125);
        }
        if (options.stack_limit >= 0) {
            const rlimit limit = {(rlim_t)options.stack_limit, (rlim_t)options.stack_limit};
            if (setrlimit(RLIMIT_STACK, &limit) != 0)
                _exit(125);
        }
        if (options.open_files_limit >= 0) {
            // Whatever the test runner left open would count against it.
            unsigned from = 3;
            for (int fd : kept) {
                if (fd >= (int)from) {
                    if (fd > (int)from)
                        syscall(SYS_close_range, from, (unsigned)fd - 1, 0);
                    from = (unsigned)fd + 1;
                }
            }
            syscall(SYS_close_range, from, ~0U, 0);
            const rlimit limit = {(rlim_t)options.open_files_limit, (rlim_t)options.open_files_limit};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
                _exit(125);
        }
        for (int fd : options.inherit_fds)
            if (fcntl(fd, F_SETFD, 0) != 0)
                _exit(125);
        if ((options.uid >= 0 || options.gid >= 0) && setgroups(0, nullptr) != 0)
            _exit(125);
        if (options.gid >= 0 && setgid((gid_t)options.gid) != 0)
            _exit(125);
        if (options.uid >= 0 && setuid((uid_t)options.uid) != 0)
            _exit(125);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    int in_fd = in_pipe[1], out_fd = out_pipe[0], err_fd = err_pipe[0];
    if (pid < 0) {
        close_fd(in_fd), close_fd(out_fd), close_fd(err_fd);
        return result;
    }

    // A child that stops reading must not get SIGPIPE'd into the parent.
    struct sigaction ignore_pipe{}, old_pipe{};
    ignore_pipe.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore_pipe, &old_pipe);

    if (options.stdout_unread)
        close_fd(out_fd);
    size_t written = 0;
    if (stdin_text.empty())
        close_fd(in_fd);
    else
        fcntl(in_fd, F_SETFL, fcntl(in_fd, F_GETFL) | O_NONBLOCK);

    const double deadline = now_seconds() + timeout_seconds;
    bool triggered = false;
    const auto poll_trigger = [&]() {
        if (!triggered && options.trigger && options.trigger(pid)) {
            triggered = true;
            if (options.signal) {
                kill(pid, options.signal);
                result.signal_sent = true;
            }
        }
    };
    // With on_stop, the child is watched for stops; it may end meanwhile.
    int wait_status = 0;
    bool reaped = false;
    const auto poll_stop = [&]() {
        if (!options.on_stop || reaped)
            return;
        int status = 0;
        const pid_t seen = waitpid(pid, &status, WNOHANG | WUNTRACED);
        if (seen == pid && WIFSTOPPED(status)) {
            result.stops++;
            options.on_stop(pid);
            kill(pid, SIGCONT);
        } else if (seen == pid) {
            wait_status = status;
            reaped = true;
        }
    };
    const bool polling = options.trigger || options.on_stop;
    while (out_fd >= 0 || err_fd >= 0) {
        poll_trigger();
        poll_stop();
        pollfd fds[3];
        int nfds = 0;
        if (out_fd >= 0)
            fds[nfds++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0)
            fds[nfds++] = {err_fd, POLLIN, 0};
        if (in_fd >= 0)
            fds[nfds++] = {in_fd, POLLOUT, 0};
        const double left = deadline - now_seconds();
        if (left <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        const bool waiting = options.on_stop ? !reaped : options.trigger && !triggered;
        const int wait_ms = polling && waiting ? 2 : static_cast<int>(left * 1000) + 1;
        const int ready = poll(fds, nfds, wait_ms);
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < nfds && ready > 0; i++) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == in_fd) {
                const ssize_t n = write(in_fd, stdin_text.data() + written, stdin_text.size() - written);
                if (n > 0)
                    written += static_cast<size_t>(n);
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    close_fd(in_fd);
                else if (written == stdin_text.size())
                    close_fd(in_fd);
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            const bool is_out = fds[i].fd == out_fd;
            if (n > 0)
                (is_out ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                close_fd(is_out ? out_fd : err_fd);
        }
    }
    close_fd(in_fd), close_fd(out_fd), close_fd(err_fd);

    // The pipes may close before the child ends; keep to the time limit.
    for (;;) {
        if (reaped)
            break;
        const int stops = options.on_stop && !result.timed_out ? WUNTRACED : 0;
        const pid_t done = waitpid(pid, &wait_status, (result.timed_out ? 0 : WNOHANG) | stops);
        if (done == pid && WIFSTOPPED(wait_status)) {
            result.stops++;
            options.on_stop(pid);
            kill(pid, SIGCONT);
            continue;
        }
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        if (done == 0) {
            poll_trigger();
            if (now_seconds() >= deadline) {
                result.timed_out = true;
                kill(pid, SIGKILL);
            } else {
                usleep(1000);
            }
        }
    }
    sigaction(SIGPIPE, &old_pipe, nullptr);
    if (WIFEXITED(wait_status))
        result.status = WEXITSTATUS(wait_status);
    else if (WIFSIGNALED(wait_status))
        result.term_signal = WTERMSIG(wait_status);
    return result;
}

int run_as(int uid, int gid, const std::function<int()> &action)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid((gid_t)gid) != 0 || setuid((uid_t)uid) != 0)
            _exit(255);
        _exit(action() & 0xff);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}
