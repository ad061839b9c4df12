// What the run tells the user on its way: warnings of the set-up, the
// information block, the per-worker times and the closing time report.
#ifndef KYVANE_DRIVER_REPORT_H
#define KYVANE_DRIVER_REPORT_H

#include <cstdint>

#include "driver/threads.h"
#include "mrc/mrc.h"

// Advice printed after an out-of-memory failure and with the high-memory
// warning of the progress line.
extern const char memory_tips_text[];

// Read cache warnings after the tilt series is opened: asked is read_block
// before the library changed it.
void print_read_block_warnings(int asked, int min_block);
// Write cache warnings after the output is created: asked is write_block
// before the library changed it.
void print_write_block_warnings(int asked, int min_block);
// Where the previous output is overwritten as the run goes (replace is what
// mrc_replace_mode tells).
void print_replace_warning(int replace);

void print_information_block(const mrc_image_t *output);
void print_worker_times(const thread_team_t *team);
void print_nonfinite_warning(int64_t count);

// The time figures of a finished run: sums over the workers, and the reader's
// and writer's I/O.
struct run_times_t {
    double recon_s;
    double weight_s;
    double io_wait_s;
    double read_s;
    double write_s;
};

void sum_run_times(const thread_team_t *team, run_times_t *times);
// start_time: wall-clock seconds taken at the start of main.
void print_time_report(const run_times_t *times, int threads, double start_time);

#endif
