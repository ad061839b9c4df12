// Element-wise kernels over the nx * ny * nz floats of a record, walked as
// one flat run from data[0][0]: the clamp to non-negative values and the
// scale by 1/n.
#ifndef KYVANE_KERNELS_ELEMENTWISE_H
#define KYVANE_KERNELS_ELEMENTWISE_H

#include "mrc/mrc.h"

// Plain: x = (0 > x) ? 0 : x, so a NaN and -0.0 stay as they are.
void slice_constrain_scalar(mrc_image_t *image);
// SSE/AVX: x kept where x >= 0 (ordered), else +0.0, so a NaN becomes +0.0.
// They take whole vectors of 4 (SSE, 16-byte aligned data) or 8 (AVX, any
// alignment); a remainder, which the lane layouts never leave, is finished
// element by element with the same rule.
void slice_constrain_sse(mrc_image_t *image);
void slice_constrain_avx(mrc_image_t *image);

// Every float times 1.0f / (float)n (a multiplication by the single-precision
// reciprocal, not a division). Same vector and alignment rules as the clamp.
// n <= 0 leaves the record unchanged (there is no count to divide by).
void image_scale_scalar(mrc_image_t *image, int n);
void image_scale_sse(mrc_image_t *image, int n);
void image_scale_avx(mrc_image_t *image, int n);

#endif
