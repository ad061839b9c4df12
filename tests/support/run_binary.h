#ifndef KYVANE_TESTS_SUPPORT_RUN_BINARY_H
#define KYVANE_TESTS_SUPPORT_RUN_BINARY_H

#include <string>
#include <vector>

// Seconds after which a child is killed; the build sets it below the
// tests' own time limit.
#ifndef KYVANE_CHILD_TIMEOUT
#define KYVANE_CHILD_TIMEOUT 15
#endif

// What a finished child process left behind.
struct run_result_t {
    int status;        // exit status; 128 + signal number when killed by a signal
    bool timed_out;    // killed because it ran past the time limit
    std::string out;   // everything written to standard output
    std::string err;   // everything written to standard error
};

// Runs the program at path with the given arguments (argv[0] is path), feeds
// stdin_text to its standard input and then closes it, and collects its
// standard output and error. cwd, when not empty, is the working directory
// of the child. A child still running after timeout_seconds is killed
// (timed_out set).
run_result_t run_binary(const std::string &path, const std::vector<std::string> &args,
                        const std::string &stdin_text = std::string(),
                        const std::string &cwd = std::string(), double timeout_seconds = KYVANE_CHILD_TIMEOUT);

#endif
