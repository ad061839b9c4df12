#include <cstdio>
#include <cstdlib>

#include <xmmintrin.h>

#include "driver/cmdline.h"
#include "driver/config.h"
#include "driver/run.h"
#include "driver/run_guard.h"
#include "host/sysinfo.h"
#include "kernels/wall_time.h"

// Flush-to-zero (bit 15) and denormals-are-zero (bit 6): denormal inputs and
// results count as zero in every kernel. Threads created later inherit it.
static const unsigned int mxcsr_ftz_daz = 0x8040;

static void print_host_report(void)
{
    sysinfo_t *host = sysinfo_probe();
    if (!host) {
        std::fputs("System information could not be retrieved.\n", stderr);
        return;
    }
    sysinfo_print(host);
    list_free(host);
}

int main(int argc, char **argv)
{
    // Before anything is opened: a file must never get a standard stream's
    // number, or the prompt would read it and the log would be written into it.
    if (guard_standard_streams() != 0)
        return EXIT_FAILURE;
    guard_signals();
    _mm_setcsr(_mm_getcsr() | mxcsr_ftz_daz);
    const double start_time = wall_time_seconds();
    // Warnings go to standard output and errors to standard error; with both
    // redirected into one log, whole lines must still come in the order made.
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    switch (parse_command_line(&config, argc, argv)) {
    case CMDLINE_RUN:
        break;
    case CMDLINE_HELP:
        print_help();
        return EXIT_SUCCESS;
    case CMDLINE_VERSION:
        print_version();
        return EXIT_SUCCESS;
    case CMDLINE_HOST_REPORT:
        print_host_report();
        return EXIT_SUCCESS;
    default:
        return EXIT_FAILURE;
    }

    if (finish_command_line(&config, argv[0]) != 0)
        return EXIT_FAILURE;
    if (config.verbosity > 0)
        print_banner();

    const int status = run_reconstruction(start_time);
    // A failed run leaves whatever stood at the output name as it was.
    if (status != 0)
        guard_remove_temp();
    return status;
}
