#include "kernels/wbp_filter.h"

#include <fftw3.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "kernels/kernel_slots.h"
#include "kernels/ray_steps.h"

float *wbp_filter_table;
// Number of workers; each owns one real and one complex buffer.
static int wbp_nthreads;
// 2 * wbp_nthreads buffers: the real ones first, then the complex ones.
static void **wbp_fft_buffers;
static float **wbp_real_bufs;
static fftwf_complex **wbp_complex_bufs;
static fftwf_plan wbp_plan_r2c;
static fftwf_plan wbp_plan_c2r;

static void release_buffers(void)
{
    for (int k = 0; k < 2 * wbp_nthreads; k++)
        if (wbp_fft_buffers[k] != NULL)
            fftwf_free(wbp_fft_buffers[k]);
    free(wbp_fft_buffers);
    free(wbp_filter_table);
}

int wbp_filter_init(int n, int nthreads, float freq)
{
    if (n < 1 || nthreads < 1)
        return -1;
    const int m = n >> 1;
    wbp_filter_table = static_cast<float *>(malloc(sizeof(float) * (size_t)(m + 1)));
    if (wbp_filter_table == NULL)
        return -1;

    if (!(freq < 0.5f)) {  // 0.5 and above, or not a number: the pure ramp
        for (int j = 0; j <= m; j++)
            wbp_filter_table[j] = (float)j;
    } else {
        const int c = (int)ceilf((float)n * freq);
        const int d = m - c;
        const float step = (float)(3.141592653589793 / (double)d);
        const int ramp_end = c < m ? c : m;
        for (int j = 0; j <= ramp_end; j++)
            wbp_filter_table[j] = (float)j;
        // A frequency below 0 would put c below 0; the taper then starts at
        // bin 0 rather than before the table.
        for (int j = c + 1 > 0 ? c + 1 : 0; j <= m; j++) {
            const float angle = (float)(m - j) * step;
            wbp_filter_table[j] = (0.54f - cosf(angle) * 0.46f) * (float)j;
        }
    }

    wbp_nthreads = nthreads;
    wbp_fft_buffers = static_cast<void **>(calloc(2 * (size_t)nthreads, sizeof(void *)));
    if (wbp_fft_buffers == NULL) {
        free(wbp_filter_table);
        return -1;
    }
    wbp_real_bufs = reinterpret_cast<float **>(wbp_fft_buffers);
    wbp_complex_bufs = reinterpret_cast<fftwf_complex **>(wbp_fft_buffers + nthreads);
    for (int k = 0; k < nthreads; k++) {
        wbp_real_bufs[k] = fftwf_alloc_real((size_t)n);
        wbp_complex_bufs[k] = fftwf_alloc_complex((size_t)(m + 1));
        if (wbp_real_bufs[k] == NULL || wbp_complex_bufs[k] == NULL) {
            release_buffers();
            return -1;
        }
    }

    wbp_plan_r2c = fftwf_plan_dft_r2c_1d(n, wbp_real_bufs[0], wbp_complex_bufs[0], FFTW_ESTIMATE);
    wbp_plan_c2r = fftwf_plan_dft_c2r_1d(n, wbp_complex_bufs[0], wbp_real_bufs[0], FFTW_ESTIMATE);
    // A missing plan would make every worker crash on its first row; fail
    // the set-up instead.
    if (wbp_plan_r2c == NULL || wbp_plan_c2r == NULL) {
        if (wbp_plan_r2c != NULL)
            fftwf_destroy_plan(wbp_plan_r2c);
        if (wbp_plan_c2r != NULL)
            fftwf_destroy_plan(wbp_plan_c2r);
        release_buffers();
        return -1;
    }
    return 0;
}

void wbp_filter_free(void)
{
    fftwf_destroy_plan(wbp_plan_r2c);
    fftwf_destroy_plan(wbp_plan_c2r);
    for (int k = 0; k < 2 * wbp_nthreads; k++)
        fftwf_free(wbp_fft_buffers[k]);
    free(wbp_fft_buffers);
    free(wbp_filter_table);
}

void wbp_weight_sinogram(mrc_image_t *sino, int thread)
{
    const int n = sino->nx;
    const int m = n >> 1;
    const float g = 1.0f / (float)n;
    float *real = wbp_real_bufs[thread];
    fftwf_complex *spectrum = wbp_complex_bufs[thread];
    for (int sec = 0; sec < sino->nz; sec++) {
        for (int r = 0; r < sino->ny; r++) {
            float *row = sino->data[sec][r];
            memcpy(real, row, sizeof(float) * (size_t)n);
            fftwf_execute_dft_r2c(wbp_plan_r2c, real, spectrum);
            for (int j = 0; j <= m; j++) {
                spectrum[j][0] *= wbp_filter_table[j];
                spectrum[j][1] *= wbp_filter_table[j];
            }
            fftwf_execute_dft_c2r(wbp_plan_c2r, spectrum, real);
            memcpy(row, real, sizeof(float) * (size_t)n);
            for (int i = 0; i < n; i++)
                row[i] *= g;
        }
    }
}

void wbp_backproject_sinogram(mrc_image_t *sino, mrc_image_t *slice, int thread)
{
    mrc_zero_data(slice);
    backproject_fn(sino, slice, ray_steps_table(thread));
    scale_fn(slice, sino->ny);
}
