#ifndef KYVANE_TESTS_SUPPORT_RUN_BINARY_H
#define KYVANE_TESTS_SUPPORT_RUN_BINARY_H

#include <functional>
#include <string>
#include <vector>

// Seconds after which a child is killed; the build sets it below the
// tests' own time limit.
#ifndef KYVANE_CHILD_TIMEOUT
#define KYVANE_CHILD_TIMEOUT 15
// Runs action in a forked child of the caller as uid and gid (all
// supplementary groups gone), e.g. to plant a file as another user. Returns
// what action returns (0..255, e.g. 0 or an errno value), or -1 when the
// child could not be made or become that user.
int run_as(int uid, int gid, const std::function<int()> &action);

#endif

// What a finished child process left behind.
struct run_result_t {
    int status;        // exit status; -1 when killed by a signal (or never run)
    int term_signal;   // the signal that killed the child, 0 when it exited
    bool timed_out;    // killed because it ran past the time limit
    std::string out;   // everything written to standard output
    std::string err;   // everything written to standard error
    bool signal_sent;  // run_options_t::signal was sent
    int stops;         // times the child was seen stopped (and continued)
};

// What run_binary_with sets up around the child.
struct run_options_t {
    std::string stdin_text;          // fed to standard input, which is then closed
    std::string cwd;                 // working directory of the child, when not empty
    double timeout_seconds = KYVANE_CHILD_TIMEOUT;  // the child is killed after this
    bool close_stdin = false;        // descriptors 0, 1 and 2 closed in the child
    bool close_stdout = false;
    bool close_stderr = false;
    bool stdout_unread = false;      // standard output a pipe whose reader is gone
    long long file_size_limit = -1;  // RLIMIT_FSIZE of the child in bytes, -1 none
    long long stack_limit = -1;      // RLIMIT_STACK (the threads' default stack size), -1 as is
    // RLIMIT_NOFILE (descriptors), -1 as is; with a limit the child keeps
    // only 0, 1, 2 and inherit_fds open, so the limit alone decides.
    long long open_files_limit = -1;
    int signal = 0;                  // sent once (SIGKILL too), as soon as trigger returns true
    // Polled every few milliseconds with the child's pid until it returns
    // true; it may act itself, with or without a signal to send.
    std::function<bool(int pid)> trigger;
    // Called each time the child is seen stopped (by a signal, e.g. one it
    // raised itself); SIGCONT follows. A signal the callback sends the child
    // stays pending until then.
    std::function<void(int pid)> on_stop;
    int uid = -1, gid = -1;          // the child drops to these (all supplementary groups gone)
    std::vector<std::string> env;    // NAME=value entries added to (or replacing) the environment
    std::vector<int> inherit_fds;    // descriptors of the caller the child keeps open across exec
    std::vector<int> ignored_signals;  // set to SIG_IGN in the child, as nohup does
};

// Runs the program at path with the given arguments (argv[0] is path), feeds
// stdin_text to its standard input and then closes it, and collects its
// standard output and error. cwd, when not empty, is the working directory
// of the child. A child still running after timeout_seconds is killed
// (timed_out set).
run_result_t run_binary(const std::string &path, const std::vector<std::string> &args,
                        const std::string &stdin_text = std::string(),
                        const std::string &cwd = std::string(), double timeout_seconds = KYVANE_CHILD_TIMEOUT);
run_result_t run_binary_with(const std::string &path, const std::vector<std::string> &args,
                             const run_options_t &options);

// Runs action in a forked child of the caller as uid and gid (all
// supplementary groups gone), e.g. to plant a file as another user. Returns
// what action returns (0..255, e.g. 0 or an errno value), or -1 when the
// child could not be made or become that user.
int run_as(int uid, int gid, const std::function<int()> &action);

#endif
