// WBP weighting filter (a ramp in Fourier space, optionally tapered by a
// Hamming window) and the WBP slice step.
#ifndef KYVANE_KERNELS_WBP_FILTER_H
#define KYVANE_KERNELS_WBP_FILTER_H

#include "mrc/mrc.h"

// Weight of Fourier bin j, j = 0 .. n/2. The FFT buffers and plans stay
// inside the filter's own file.
extern float *wbp_filter_table;

// Builds the filter for rows of n floats (freq in [0, 0.5]: the Hamming taper
// starts at bin ceil(n * freq); 0.5 or more, or NaN, gives the pure ramp),
// one buffer pair per worker and the two plans. Returns 0, or -1 with
// nothing left allocated. Call on the main thread before workers start.
int wbp_filter_init(int n, int nthreads, float freq);
void wbp_filter_free(void);

// Weights every row of every section of a one-lane sinogram in place (a
// circular convolution of length nx); `thread` is the caller's worker index.
void wbp_weight_sinogram(mrc_image_t *sino, int thread);

// slice = back-projection of sino times 1 / (sino's ny), through the slots,
// with the step table of worker `thread`.
void wbp_backproject_sinogram(mrc_image_t *sino, mrc_image_t *slice, int thread);

#endif
