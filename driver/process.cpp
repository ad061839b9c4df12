#include "driver/process.h"

#include <cstdio>

#include "driver/config.h"
#include "kernels/kernel_slots.h"
#include "kernels/sirt_step.h"
#include "kernels/sirt_tables.h"
#include "kernels/wall_time.h"
#include "kernels/wbp_filter.h"

// Data below the tilt series' header minimum (a stack edited after its
// header was written) have no logarithm: the run ends at the first item that
// shows it, since every slice it touches would be NaN. Returns 0, or -1
// with the run told to stop and the cause reported once.
static int log_failure(worker_t *w)
{
    shared_state_t *s = w->shared;
    w->failed = 1;
    pthread_mutex_lock(&s->state_mutex);
    if (!s->failed)
        std::fprintf(stderr,
                     "%s: Some values lie below the header minimum %g, so their logarithm (-L) is "
                     "not defined.\nGive a density offset with -O that lifts every value above "
                     "0.\n",
                     s->input->path, (double)s->input->header->amin);
    s->failed = 1;
    s->stop = 1;
    pthread_mutex_unlock(&s->state_mutex);
    return -1;
}

// The logarithm takes precedence and then carries the density offset; SIRT
// alone lifts data with a negative header minimum to 1 or more, since its
// iterations assume non-negative measurements.
static int preprocess_slot(worker_t *w, int r, int sirt)
{
    mrc_image_t *input = w->shared->input;
    if (config.log10_input)
        return mrc_slot_log(input, r, config.density_offset) == 0 ? 0 : log_failure(w);
    if (config.density_offset_set)
        mrc_slot_add(input, r, 0, config.density_offset);
    else if (sirt)
        mrc_slot_add(input, r, 1, config.density_offset);
    return 0;
}

// Every routine ends alike: the optional clamp, then the slice group written
// into its write slot in the file's layout (counted as reconstruction time).
static void finish_slice(worker_t *w, int ws)
{
    if (config.constrain)
        constrain_fn(w->slice_view);
    const double t0 = wall_time_seconds();
    mrc_unfold_slot(w->shared->output, w->slice_view, ws);
    w->recon_s += wall_time_seconds() - t0;
}

void wbp_process_scalar(worker_t *w, int r, int ws)
{
    mrc_image_t *input = w->shared->input;
    if (preprocess_slot(w, r, 0) != 0)
        return;
    mrc_slot_view(input, w->sino_view, r);
    if (config.weighting) {
        const double t0 = wall_time_seconds();
        wbp_weight_sinogram(w->sino_view, w->index);
        w->weight_s += wall_time_seconds() - t0;
    }
    double t0 = wall_time_seconds();
    wbp_backproject_sinogram(w->sino_view, w->slice_view, w->index);
    w->recon_s += wall_time_seconds() - t0;
    finish_slice(w, ws);
}

void wbp_process_vector(worker_t *w, int r, int ws)
{
    mrc_image_t *input = w->shared->input;
    if (preprocess_slot(w, r, 0) != 0)
        return;
    if (config.weighting) {
        // The sinograms are weighted one by one in the file layout, before
        // they are interleaved into lanes.
        mrc_slot_view(input, w->sino_view, r);
        const double t0 = wall_time_seconds();
        wbp_weight_sinogram(w->sino_view, w->index);
        w->weight_s += wall_time_seconds() - t0;
    }
    double t0 = wall_time_seconds();
    mrc_interleave_slot(input, w->lane_view, r);
    wbp_backproject_sinogram(w->lane_view, w->slice_view, w->index);
    w->recon_s += wall_time_seconds() - t0;
    finish_slice(w, ws);
}

// The iterations shared by both SIRT routines; measured is the weighted
// sinogram in the lane layout of the run, corr a buffer of up to 8 floats.
static void sirt_iterate(worker_t *w, mrc_image_t *measured, int ws, float *corr)
{
    const int want_corr = config.verbosity == 2;
    for (int i = 1; i < config.iterations; i++) {
        sirt_step_fn(measured, w->slice_view, NULL, &w->recon_s, w->index);
        if (config.constrain)
            constrain_fn(w->slice_view);
    }
    sirt_step_fn(measured, w->slice_view, want_corr ? corr : NULL, &w->recon_s, w->index);
    if (want_corr && w->shared->print_correlation_fn)
        w->shared->print_correlation_fn(config.y_first + w->current, corr);
    finish_slice(w, ws);
}

// A resumed item starts from the slices the writer loaded into its write slot.
static void sirt_start_slice(worker_t *w, int ws)
{
    if (config.resume_name)
        mrc_fold_slot(w->shared->output, w->slice_view, ws);
    else
        slice_zero(w->slice_view);
}

void sirt_process_scalar(worker_t *w, int r, int ws)
{
    float corr[1] = {0.0f};
    mrc_image_t *input = w->shared->input;
    sirt_start_slice(w, ws);
    if (preprocess_slot(w, r, 1) != 0)
        return;
    mrc_slot_view(input, w->sino_view, r);
    const double t0 = wall_time_seconds();
    sino_weight_fn(w->sino_view);
    w->recon_s += wall_time_seconds() - t0;
    sirt_iterate(w, w->sino_view, ws, corr);
}

void sirt_process_vector(worker_t *w, int r, int ws)
{
    alignas(32) float corr[8] = {0.0f};
    mrc_image_t *input = w->shared->input;
    sirt_start_slice(w, ws);
    if (preprocess_slot(w, r, 1) != 0)
        return;
    const double t0 = wall_time_seconds();
    mrc_interleave_slot(input, w->lane_view, r);
    sino_weight_fn(w->lane_view);
    w->recon_s += wall_time_seconds() - t0;
    sirt_iterate(w, w->lane_view, ws, corr);
}

void print_correlation_x1(int first, const float *corr)
{
    std::printf("Sinogram %d: Correlation = %.5f\n", first, (double)corr[0]);
}

// A group that runs past the last slice of the window prints only its rows
// inside the window; the line is assembled first so that it reaches standard
// output in one call and does not interleave with other workers' lines.
static void print_correlation_short(int first, const float *corr, int k)
{
    char line[256];
    size_t used = 0;
    auto add = [&](int n) {
        if (n > 0 && used + (size_t)n < sizeof line) used += (size_t)n;
        else used = sizeof line - 1;
    };
    add(std::snprintf(line + used, sizeof line - used, "Sinograms{%d", first));
    for (int i = 1; i < k; i++)
        add(std::snprintf(line + used, sizeof line - used, ", %d", first + i));
    add(std::snprintf(line + used, sizeof line - used, "}: Correlation = {%.5f", (double)corr[0]));
    for (int i = 1; i < k; i++)
        add(std::snprintf(line + used, sizeof line - used, ", %.5f", (double)corr[i]));
    add(std::snprintf(line + used, sizeof line - used, "}\n"));
    std::fputs(line, stdout);
}

void print_correlation_x4(int first, const float *corr)
{
    const int end = config.y_first + config.num_slices;
    if (first + 4 <= end) {
        std::printf("Sinograms{%d, %d, %d, %d}: Correlation = {%.5f, %.5f, %.5f, %.5f}\n",
                    first, first + 1, first + 2, first + 3, (double)corr[0], (double)corr[1],
                    (double)corr[2], (double)corr[3]);
    } else if (end - first >= 1) {
        print_correlation_short(first, corr, end - first);
    }
}

void print_correlation_x8(int first, const float *corr)
{
    const int end = config.y_first + config.num_slices;
    if (first + 8 <= end) {
        std::printf("Sinograms{%d, %d, %d, %d, %d, %d, %d, %d}: Correlation = "
                    "{%.5f, %.5f, %.5f, %.5f, %.5f, %.5f, %.5f, %.5f}\n",
                    first, first + 1, first + 2, first + 3, first + 4, first + 5, first + 6,
                    first + 7, (double)corr[0], (double)corr[1], (double)corr[2],
                    (double)corr[3], (double)corr[4], (double)corr[5], (double)corr[6],
                    (double)corr[7]);
    } else if (end - first >= 1) {
        print_correlation_short(first, corr, end - first);
    }
}
