#ifndef KYVANE_DRIVER_CMDLINE_H
#define KYVANE_DRIVER_CMDLINE_H

#include "driver/config.h"

// What parse_command_line asks main to do next.
enum {
    CMDLINE_ERROR = -1,       // a message is printed; exit status 1
    CMDLINE_RUN = 0,          // go on with the checks and the run
    CMDLINE_HELP = 'h',       // print the help text; exit status 0
    CMDLINE_VERSION = 'V',    // print the version text; exit status 0
    CMDLINE_HOST_REPORT = 'd' // print the host report; exit status 0
};

// The getopt option string of the program.
extern const char cmdline_options[];

// Parses the options of argv into cfg in command-line order, reading the
// angle list at the first -a. Stops at the first rejected option (its
// message printed on standard error) and at -h, -V or -d. Restarts getopt,
// so it may be called more than once.
int parse_command_line(config_t *cfg, int argc, char **argv);

// The checks and adjustments that follow the parsing: required -a and -i,
// the default output name, the output/resume clash, the P and R pair, then
// hyper-threading off with -t, handedness flip, angle offset and the WBP
// verbosity rule. program_path names the program in the usage hint.
// Returns 0, or -1 with the message printed on standard error.
int finish_command_line(config_t *cfg, const char *program_path);

void print_usage_hint(const char *program_path);
void print_help(void);
void print_version(void);
void print_banner(void);

#endif
