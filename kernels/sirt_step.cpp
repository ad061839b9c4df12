// The SIRT iteration step and its per-thread work sinograms.
#include "kernels/sirt_step.h"

#include <stdlib.h>

#include "host/vector_ext.h"
#include "kernels/forward_project.h"
#include "kernels/kernel_slots.h"
#include "kernels/ray_steps.h"
#include "kernels/wall_time.h"

mrc_image_t *sirt_work = nullptr;
sirt_step_fn_t sirt_step_fn = nullptr;

int sirt_work_init(int sino_width, int num_angles, int threads, int vector_ext)
{
    sirt_work = mrc_alloc_images(threads + 1);
    if (!sirt_work) return -1;
    correlation_fn = kernel_variants(vector_ext).correlation;
    int (*alloc)(mrc_image_t *, int, int, int) = vector_ext == VECTOR_EXT_AVX   ? mrc_alloc_data_x8
                                               : vector_ext == VECTOR_EXT_SSE ? mrc_alloc_data_x4
                                                                 : mrc_alloc_data_x1;
    if (alloc(&sirt_work[0], sino_width, num_angles, threads) < 0) {
        free(sirt_work);
        sirt_work = nullptr;
        return -1;
    }
    for (int t = 0; t < threads; ++t) mrc_plane_view(&sirt_work[0], &sirt_work[t + 1], t, 1);
    sirt_step_fn = sirt_iterate_sinogram;
    return 0;
}

void sirt_work_free(void)
{
    if (!sirt_work) return;
    mrc_free_data(&sirt_work[0]);
    free(sirt_work);
    sirt_work = nullptr;
}

void sirt_iterate_sinogram(mrc_image_t *measured, mrc_image_t *slice, float *corr,
                           double *time, int thread)
{
    const double t0 = wall_time_seconds();
    mrc_image_t *w = &sirt_work[thread + 1];
    int32_t *steps = ray_steps_table(thread);
    forward_project_fn(w, slice, steps);
    const double t1 = wall_time_seconds();
    if (corr) correlation_fn(w, measured, corr);
    const double t2 = wall_time_seconds();
    sirt_residual_backproject(w, measured, slice, steps);
    const double t3 = wall_time_seconds();
    *time = (((t1 - t0) - t2) + t3) + *time;
}

void sirt_residual_backproject(mrc_image_t *work, mrc_image_t *measured, mrc_image_t *slice,
                               int32_t *steps)
{
    for (int a = 0; a < work->ny; ++a)
        residual_row_fn(work->data[0][a], measured->data[0][a], work->nx);
    backproject_fn(work, slice, steps);
}

void slice_zero(mrc_image_t *slice)
{
    mrc_zero_data(slice);
}
