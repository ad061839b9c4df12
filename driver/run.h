#ifndef KYVANE_DRIVER_RUN_H
#define KYVANE_DRIVER_RUN_H

// Runs the reconstruction that config describes, from the run set-up to the
// time report. start_time is the wall-clock time in seconds taken at the
// start of main. Returns the process exit status (0 success, 1 error).
int run_reconstruction(double start_time);

#endif
