// Per-item routines: one read slot of sinograms becomes one write slot of
// slices, by WBP or SIRT, with 1 lane or with 4/8 lanes; and the printers of
// the SIRT correlation coefficients.
#ifndef KYVANE_DRIVER_PROCESS_H
#define KYVANE_DRIVER_PROCESS_H

#include "driver/threads.h"

void wbp_process_scalar(worker_t *w, int r, int ws);
void wbp_process_vector(worker_t *w, int r, int ws);
void sirt_process_scalar(worker_t *w, int r, int ws);
void sirt_process_vector(worker_t *w, int r, int ws);

void print_correlation_x1(int first, const float *corr);
void print_correlation_x4(int first, const float *corr);
void print_correlation_x8(int first, const float *corr);

#endif
