// Protection of the run against its environment: closed standard
// descriptors, broken pipes, file-size limits and stop signals.
#ifndef KYVANE_DRIVER_RUN_GUARD_H
#define KYVANE_DRIVER_RUN_GUARD_H

// Holds each of the descriptors 0, 1 and 2 that is closed with a path-only
// descriptor of the root directory, so that no file opened later takes a
// standard stream's number, input and output through it fail as on the
// closed stream, and /dev/stdout and its kin lead to no file. Called first
// in main. Returns 0, or -1 when a descriptor could not be filled.
int guard_standard_streams(void);

// Ignores SIGPIPE and SIGXFSZ (a write then fails with an error the run
// reports) and makes every other signal whose default action ends the
// process remove the output's temporary file before the process ends by
// that signal. A signal that the parent set to be ignored stays ignored.
void guard_signals(void);

// Holds back (hold 1) or lets through (hold 0) the stop signals, so that
// the temporary file and its record in the guard come into being together.
void guard_hold_signals(int hold);

// Names the temporary file (name in the directory dir_fd) that a signal or
// a failed run removes; NULL when there is none. The guard keeps a
// descriptor of the directory of its own: 0, or -1 with errno when it
// cannot (no descriptor left), and the file is then not guarded.
int guard_set_temp(int dir_fd, const char *name);

// Removes the temporary file named with guard_set_temp, if any.
void guard_remove_temp(void);

#endif
