// One SIRT iteration on one sinogram group, with the per-thread work
// sinograms, the residual-row and correlation families and slice_zero.
#ifndef KYVANE_KERNELS_SIRT_STEP_H
#define KYVANE_KERNELS_SIRT_STEP_H

#include <stdint.h>

#include "mrc/mrc.h"

// threads + 1 records: record 0 owns one array of `threads` sections of N rows
// of D*L floats; record t + 1 is the one-section view of worker t.
extern mrc_image_t *sirt_work;

// (measured, slice, corr or NULL, time accumulator, thread index).
typedef void (*sirt_step_fn_t)(mrc_image_t *measured, mrc_image_t *slice, float *corr,
                               double *time, int thread);
// (projected, measured, out): one Pearson coefficient per lane into out.
typedef void (*correlation_fn_t)(mrc_image_t *projected, mrc_image_t *measured, float *out);

extern sirt_step_fn_t sirt_step_fn;
extern correlation_fn_t correlation_fn;

// Fills correlation_fn and sirt_step_fn. 0, or -1 when out of memory.
int sirt_work_init(int sino_width, int num_angles, int threads, int vector_ext);
void sirt_work_free(void);

// slice += back-projection of (measured - rho * A slice), with the work
// sinogram and step table of worker `thread`; corr, when not NULL,
// receives the correlation of the weighted projection with the measurement.
// Only the projection and the residual with back-projection are added to *time.
void sirt_iterate_sinogram(mrc_image_t *measured, mrc_image_t *slice, float *corr,
                           double *time, int thread);
// work = measured - work, row by row, then its back-projection added to
// slice; steps is the caller's step table (ray_steps_table).
void sirt_residual_backproject(mrc_image_t *work, mrc_image_t *measured, mrc_image_t *slice,
                               int32_t *steps);

// dst[i] = src[i] - dst[i] for i < n. The vector members need n to be a whole
// number of vectors; the SSE one also 16-byte aligned rows.
void row_residual_scalar(float *dst, const float *src, int n);
void row_residual_sse(float *dst, const float *src, int n);
void row_residual_avx(float *dst, const float *src, int n);

// The scalar member yields 0 when the variance product is 0 or not a number;
// the vector members divide by sqrt(1) for a zero product (so 0 for a flat
// projection) and yield NaN for a NaN product.
void correlation_scalar(mrc_image_t *projected, mrc_image_t *measured, float *out);
void correlation_sse(mrc_image_t *projected, mrc_image_t *measured, float *out);
void correlation_avx(mrc_image_t *projected, mrc_image_t *measured, float *out);

// Sets every float of the record to 0.
void slice_zero(mrc_image_t *slice);

#endif
