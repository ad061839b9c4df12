#include "driver/threads.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "driver/config.h"
#include "driver/process.h"
#include "driver/image_records.h"
#include "driver/report.h"
#include "host/memory_figures.h"
#include "host/vector_ext.h"
#include "kernels/sirt_step.h"
#include "kernels/wall_time.h"
#include "kernels/wbp_filter.h"

static int run_lanes(void)
{
    return vector_lanes(config.vector_ext);
}

static int verbose5(void)
{
    return config.verbosity == 5;
}

static void sleep_period(const struct timespec *period)
{
    nanosleep(period, NULL);
}

static int stop_requested(shared_state_t *s)
{
    pthread_mutex_lock(&s->state_mutex);
    const int stop = s->stop;
    pthread_mutex_unlock(&s->state_mutex);
    return stop;
}

static void broadcast_wake(shared_state_t *s)
{
    pthread_mutex_lock(&s->sleep_mutex);
    pthread_cond_broadcast(&s->wake_cond);
    pthread_mutex_unlock(&s->sleep_mutex);
}

void *worker_thread(void *arg)
{
    worker_t *w = static_cast<worker_t *>(arg);
    shared_state_t *s = w->shared;
    const int lanes = mrc_cache_step(s->input);
    w->real_s = wall_time_seconds();
    if (verbose5())
        std::printf("Worker %d is running now.\n", w->index);

    for (;;) {
        int ready = mrc_cache_count(s->input, 1);
        int free_slots = mrc_cache_count(s->output, 0);
        // A run that failed takes no new items.
        if (ready > 0 && free_slots > 0 && !stop_requested(s)) {
            const int r = mrc_cache_acquire(s->input, -1);
            if (r < 0)
                continue;
            w->current = mrc_cache_get_row(s->input, r);
            // A resumed item must land in the slot that holds the resumed
            // slices of its own rows.
            const int ws = s->resumed ? mrc_cache_acquire(s->output, w->current)
                                      : mrc_cache_acquire(s->output, -1);
            if (ws < 0) {
                mrc_cache_putback(s->input, r);
                continue;
            }
            mrc_cache_set_row(s->output, ws, w->current);
            s->process_fn(w, r, ws);
            mrc_cache_release(s->input, r);
            if (w->failed) {
                // Nothing of the failed item may reach the volume.
                mrc_cache_putback(s->output, ws);
                break;
            }
            mrc_cache_release(s->output, ws);
            w->hits += lanes;
            if (verbose5())
                std::printf("Worker %d processed sinograms [%d, %d].\n", w->index, w->current,
                            w->current + lanes - 1);
            continue;
        }

        pthread_mutex_lock(&s->state_mutex);
        if (s->stop) {
            pthread_mutex_unlock(&s->state_mutex);
            break;
        }
        const int old_read = s->wait4read;
        const int old_write = s->wait4write;
        ready = mrc_cache_count(s->input, 1);
        free_slots = mrc_cache_count(s->output, 0);
        s->wait4read = ready > 0 ? 0 : 1;
        s->wait4write = free_slots > 0 ? 0 : 1;
        if (ready > 0 && free_slots > 0) {
            if (verbose5())
                std::printf("Worker %d was wrong.\n", w->index);
            if (old_read || old_write) {
                if (verbose5())
                    std::printf("Worker %d waking up workers.\n", w->index);
                broadcast_wake(s);
            }
            pthread_mutex_unlock(&s->state_mutex);
            continue;
        }
        if (verbose5())
            std::printf("Worker %d going to sleep (wait4read=%d, wait4write=%d).\n", w->index,
                        s->wait4read, s->wait4write);
        // sleep_mutex is taken before state_mutex is let go, so a waker that
        // has seen the flags cannot broadcast before this worker waits.
        pthread_mutex_lock(&s->sleep_mutex);
        pthread_mutex_unlock(&s->state_mutex);
        const double t0 = wall_time_seconds();
        pthread_cond_wait(&s->wake_cond, &s->sleep_mutex);
        w->io_wait_s += wall_time_seconds() - t0;
        pthread_mutex_unlock(&s->sleep_mutex);
    }

    if (config.verbosity >= 3)
        std::printf("Worker %d dying with %d hits.\n", w->index, w->hits);
    w->real_s = wall_time_seconds() - w->real_s;
    w->other_s = w->real_s - w->recon_s - w->weight_s - w->io_wait_s;
    pthread_exit(NULL);
}

void *reader_thread(void *arg)
{
    io_thread_t *t = static_cast<io_thread_t *>(arg);
    shared_state_t *s = t->shared;
    mrc_image_t *input = s->input;
    const int lanes = mrc_cache_step(input);
    int next = 0;

    if (verbose5())
        std::printf("Reader: I wake up every %ld sec. %ld nsec.\n", (long)t->period.tv_sec,
                    (long)t->period.tv_nsec);
    for (;;) {
        if (stop_requested(s))
            break;
        const int owed = mrc_cache_count(input, 0);
        if (owed <= 0) {
            sleep_period(&t->period);
            continue;
        }
        if (verbose5())
            std::printf("Reader going to read %d/%d sinograms.\n", owed * lanes, config.read_block);
        const double t0 = wall_time_seconds();
        const int n = mrc_cache_fill_rows(input, next);
        t->read_s += wall_time_seconds() - t0;
        if (mrc_errno() != 0) {
            mrc_perror(input->path);
            t->error = 1;
            break;
        }
        if (verbose5())
            std::printf("Reader: read buffer refuelled [%d, %d] (%d).\n", next, next + n - 1, n);
        next += n;

        pthread_mutex_lock(&s->state_mutex);
        if (s->wait4read) {
            if (verbose5())
                std::printf("Reader: there are workers waiting for read.\n");
            if (!s->wait4write) {
                if (verbose5())
                    std::printf("Reader: waking up workers.\n");
                broadcast_wake(s);
            }
            s->wait4read = 0;
        }
        pthread_mutex_unlock(&s->state_mutex);

        if (next >= input->ny) {
            if (verbose5())
                std::printf("Reader: dataset read from disk.\n");
            break;
        }
        sleep_period(&t->period);
    }

    // A failed read ends the run; the writer sees stop and wakes the workers.
    if (t->error) {
        pthread_mutex_lock(&s->state_mutex);
        s->stop = 1;
        pthread_mutex_unlock(&s->state_mutex);
    }
    pthread_exit(NULL);
}

// Wakes sleeping workers once the writer has made room, unless they also
// wait for the reader, whose next fill will wake them.
static void writer_wake_step(shared_state_t *s)
{
    pthread_mutex_lock(&s->state_mutex);
    if (s->wait4write) {
        if (verbose5())
            std::printf("Writer: there are workers waiting for write.\n");
        if (!s->wait4read) {
            if (verbose5())
                std::printf("Writer: waking up workers.\n");
            broadcast_wake(s);
        }
        s->wait4write = 0;
    }
    pthread_mutex_unlock(&s->state_mutex);
}

// The writer's progress line. One flush can run for most of a long job (it
// keeps taking the slots the workers finish), so the line is also rewritten
// after every run of sections the flush writes.
struct progress_line_t {
    int nz;               // slices of the volume
    int left;             // slices not yet written
    int shown;            // left when the line was last printed, -1 before
    double total_value;   // the machine's RAM, in readable units
    const char *total_unit;
};

static void print_progress(progress_line_t *p)
{
    const uint64_t rss = sysinfo_resident_bytes();
    char rss_unit[8];
    const double rss_value = format_byte_size(rss, rss_unit);
    const float done = 100.0f - (float)p->left * 100.0f / (float)p->nz;
    std::printf("%.1f%% completed (RAM usage: %.1f%s/%.1f%s).%8s\r", (double)done, rss_value,
                rss_unit, p->total_value, p->total_unit, "");
    std::fflush(stdout);
    p->shown = p->left;
}

static void progress_after_run(void *arg, int sections)
{
    progress_line_t *p = static_cast<progress_line_t *>(arg);
    p->left -= sections;
    print_progress(p);
}

// Loads the next sections of the resumed volume into the written slots;
// returns the sections loaded, or -1 after a failure (message printed).
static int writer_reload(io_thread_t *t, int first)
{
    shared_state_t *s = t->shared;
    const double t0 = wall_time_seconds();
    const int m = mrc_cache_fill_sections(s->resumed, first);
    t->read_s += wall_time_seconds() - t0;
    if (mrc_errno() != 0) {
        mrc_perror(s->resumed->path);
        t->error = 1;
        return -1;
    }
    return m;
}

void *writer_thread(void *arg)
{
    io_thread_t *t = static_cast<io_thread_t *>(arg);
    shared_state_t *s = t->shared;
    mrc_image_t *output = s->output;
    const int lanes = mrc_cache_step(output);
    const int nz = output->nz;
    const int progress = config.verbosity == 1 || config.verbosity == 3;
    int left = nz;
    int resume_pos = 0;
    int warned = 0;

    if (verbose5())
        std::printf("Writer: I wake up every %ld sec. %ld nsec.\n", (long)t->period.tv_sec,
                    (long)t->period.tv_nsec);
    const uint64_t total = sysinfo_total_ram();
    char total_unit[8];
    const double total_value = format_byte_size(total, total_unit);
    progress_line_t line = {nz, left, -1, total_value, total_unit};

    if (s->resumed) {
        const int n = writer_reload(t, 0);
        if (n < 0)
            goto end;
        if (verbose5())
            std::printf("Writer: write buffer initialized [0, %d] (%d).\n", n - 1, n);
        writer_wake_step(s);
        resume_pos = n;
    }

    for (;;) {
        if (stop_requested(s))
            goto end;
        const int pending = mrc_cache_count(output, 1);
        if (pending <= 0) {
            sleep_period(&t->period);
            continue;
        }
        if (verbose5())
            std::printf("Writer going to write %d/%d slices.\n", pending * lanes, config.write_block);
        const double t0 = wall_time_seconds();
        line.left = left;
        const int n = progress ? mrc_cache_flush(output, progress_after_run, &line)
                               : mrc_cache_flush(output);
        t->write_s += wall_time_seconds() - t0;
        if (mrc_errno() != 0) {
            mrc_perror(output->path);
            t->error = 1;
            goto end;
        }
        left -= n;
        if (verbose5())
            std::printf("Writer: %d slices written, %d slices left.\n", n, left);

        const uint64_t rss = sysinfo_resident_bytes();
        line.left = left;
        if (progress && line.shown != left)
            print_progress(&line);
        if (reaches_ninety_percent(total, rss) && !warned) {
            warned = 1;
            std::printf("\nWarning: Very high memory allocation (this may degrade performance).\n"
                        "It is wise to cancel the reconstruction and then:\n%s",
                        memory_tips_text);
        }
        if (left <= 0) {
            if (verbose5())
                std::printf("Writer: volume written to disk.\n");
            if (progress)
                std::puts("");
            goto end;
        }
        // Near the end a long period would only delay the last slices.
        if (left <= 48) {
            t->period.tv_sec /= 2;
            if (verbose5())
                std::printf("Trigger activated (%ld sec. %ld nsec.).\n", (long)t->period.tv_sec,
                            (long)t->period.tv_nsec);
        }
        if (s->resumed && resume_pos < nz) {
            if (verbose5())
                std::printf("Writer going to resume %d/%d slices.\n", n, config.write_block);
            const int m = writer_reload(t, resume_pos);
            if (m < 0)
                goto end;
            if (verbose5())
                std::printf("Writer: write buffer resumed [%d, %d] (%d).\n", resume_pos,
                            resume_pos + m - 1, m);
            resume_pos += m;
        }
        writer_wake_step(s);
        sleep_period(&t->period);
    }

end:
    // Every way out ends the run and wakes every sleeping worker.
    pthread_mutex_lock(&s->state_mutex);
    s->stop = 1;
    pthread_mutex_lock(&s->sleep_mutex);
    pthread_mutex_unlock(&s->state_mutex);
    pthread_cond_broadcast(&s->wake_cond);
    pthread_mutex_unlock(&s->sleep_mutex);
    pthread_exit(NULL);
}

struct timespec period_from_seconds(double p)
{
    struct timespec ts;
    if (!(p > 0.0))
        p = 0.0;
    ts.tv_sec = (time_t)p;
    ts.tv_nsec = (long)((p - (double)ts.tv_sec) * 1e9);
    if (ts.tv_nsec > 999999999L)
        ts.tv_nsec = 999999999L;
    return ts;
}

int threads_prepare(thread_team_t *team, mrc_image_t *images)
{
    const int T = config.threads;
    shared_state_t *s = &team->shared;
    team->threads = T;
    team->workers = NULL;
    team->handles = NULL;

    const int e1 = pthread_mutex_init(&s->state_mutex, NULL);
    const int e2 = pthread_mutex_init(&s->sleep_mutex, NULL);
    const int e3 = pthread_cond_init(&s->wake_cond, NULL);
    if (e1 != 0 || e2 != 0 || e3 != 0) {
        std::fputs("Mutexes/condition variables could not be initialized.\n", stderr);
        return -1;
    }

    s->input = &images[IMAGE_SERIES];
    s->output = &images[IMAGE_OUTPUT];
    s->resumed = config.resume_name ? &images[IMAGE_RESUMED] : NULL;
    s->stop = 0;
    s->failed = 0;
    s->wait4read = 0;
    s->wait4write = 0;
    const int lanes = run_lanes();
    if (config.method == 1) {
        s->process_fn = lanes == 1 ? wbp_process_scalar : wbp_process_vector;
        s->print_correlation_fn = NULL;
    } else {
        s->process_fn = lanes == 1 ? sirt_process_scalar : sirt_process_vector;
        s->print_correlation_fn = lanes == 8   ? print_correlation_x8
                                  : lanes == 4 ? print_correlation_x4
                                               : print_correlation_x1;
    }

    team->workers = static_cast<worker_t *>(std::calloc((size_t)T, sizeof(worker_t)));
    team->handles = static_cast<pthread_t *>(std::calloc((size_t)T + 2, sizeof(pthread_t)));
    if (!team->workers || !team->handles) {
        std::fputs("No memory for threads.\n", stderr);
        return -1;
    }

    for (io_thread_t *t : {&team->reader, &team->writer}) {
        t->shared = s;
        t->error = 0;
        t->period.tv_sec = 0;
        t->period.tv_nsec = 0;
        t->read_s = 0.0;
        t->write_s = 0.0;
    }
    return 0;
}

// Column-pair walks (one kernel row against one projection's ray) that the
// calibration times: one to three milliseconds of one thread per call with
// any kernel family.
static const double calibration_walks = 1 << 19;

// Seconds of one work item's kernel time on the first `rows` kernel rows of
// the slice; the view is narrowed for the call and widened again.
static double item_seconds_on_rows(mrc_image_t *sino, mrc_image_t *slice, int rows)
{
    const int all_rows = slice->ny;
    slice->ny = rows;
    double seconds = 0.0;
    if (config.method == 1) {
        const double t0 = wall_time_seconds();
        wbp_backproject_sinogram(sino, slice, 0);
        seconds = wall_time_seconds() - t0;
    } else {
        sirt_step_fn(sino, slice, NULL, &seconds, 0);
    }
    slice->ny = all_rows;
    return seconds;
}

void calibrate_io_periods(thread_team_t *team, mrc_image_t *images)
{
    const int T = team->threads;
    const int lanes = run_lanes();
    const double in_flight = (double)T * lanes;

    mrc_image_t *sino;
    if (lanes == 1) {
        sino = &images[image_sino_view(T, 0)];
        mrc_slot_view(&images[IMAGE_SERIES], sino, 0);
    } else {
        sino = &images[image_lane_view(T, 0)];
        mrc_plane_view(&images[IMAGE_LANE_STORE], sino, 0, 1);
    }
    mrc_image_t *slice = &images[image_slice_view(0)];
    mrc_plane_view(&images[IMAGE_SLICE_STORE], slice, 0, 1);
    slice_zero(slice);
    mrc_zero_data(sino);

    // Timing whole items would keep every other core waiting for many
    // single-threaded steps. The kernels' time grows linearly with the
    // slice's kernel rows, so a few rows are timed and scaled to all of
    // them; for SIRT a step on no rows gives what does not grow with them
    // (the work sinogram's clearing, weighting and residual).
    const int R = slice->ny;
    const double walks_per_row = (double)(slice->nx / (2 * lanes)) * (double)sino->ny;
    double want = walks_per_row > 0.0 ? std::ceil(calibration_walks / walks_per_row) : 1.0;
    const int rows = want >= (double)R ? R : (want < 1.0 ? 1 : (int)want);

    // The first call touches the work stores' pages for the first time, and
    // a busy machine can only make a call longer: warm up, then take the
    // shorter of two calls.
    item_seconds_on_rows(sino, slice, config.method == 1 ? 1 : 0);
    double fixed = 0.0, with_rows = 0.0;
    for (int k = 0; k < 2; k++) {
        const double f = config.method == 1 ? 0.0 : item_seconds_on_rows(sino, slice, 0);
        const double t = item_seconds_on_rows(sino, slice, rows);
        fixed = (k == 0 || f < fixed) ? f : fixed;
        with_rows = (k == 0 || t < with_rows) ? t : with_rows;
    }
    double per_row = (with_rows - fixed) / rows;
    if (!(per_row > 0.0))
        per_row = 0.0;
    double unit = fixed + per_row * R;
    if (config.method != 1)
        unit *= (double)config.iterations;

    team->reader.period = period_from_seconds((double)config.read_block / in_flight * 0.4 * unit);
    team->writer.period = period_from_seconds((double)config.write_block / in_flight * 0.15 * unit);
}

int threads_run(thread_team_t *team, mrc_image_t *images)
{
    const int T = team->threads;
    const int lanes = run_lanes();

    const int er = pthread_create(&team->handles[T], NULL, reader_thread, &team->reader);
    const int ew = pthread_create(&team->handles[T + 1], NULL, writer_thread, &team->writer);
    if (er + ew != 0) {
        std::fputs("Creation of I/O threads failed!\n", stderr);
        return -1;
    }
    if (verbose5())
        std::printf("I/O threads up and running.\n");

    for (int i = 0; i < T; i++) {
        worker_t *w = &team->workers[i];
        w->shared = &team->shared;
        w->index = i;
        w->hits = 0;
        w->current = 0;
        w->failed = 0;
        w->recon_s = w->weight_s = w->io_wait_s = w->other_s = w->real_s = 0.0;
        w->slice_view = &images[image_slice_view(i)];
        mrc_plane_view(&images[IMAGE_SLICE_STORE], w->slice_view, i, 1);
        w->sino_view = &images[image_sino_view(T, i)];
        if (lanes > 1) {
            w->lane_view = &images[image_lane_view(T, i)];
            mrc_plane_view(&images[IMAGE_LANE_STORE], w->lane_view, i, 1);
        } else {
            w->lane_view = NULL;
        }
        if (pthread_create(&team->handles[i], NULL, worker_thread, w) != 0) {
            std::fprintf(stderr, "Worker %d creation failed!\n", i);
            return -1;
        }
        if (verbose5())
            std::printf("Worker %d is born.\n", i);
    }

    for (int i = 0; i < T + 2; i++)
        pthread_join(team->handles[i], NULL);
    return (team->reader.error || team->writer.error || team->shared.failed) ? 1 : 0;
}

void threads_release(thread_team_t *team)
{
    pthread_mutex_destroy(&team->shared.state_mutex);
    pthread_mutex_destroy(&team->shared.sleep_mutex);
    pthread_cond_destroy(&team->shared.wake_cond);
    std::free(team->workers);
    std::free(team->handles);
    team->workers = NULL;
    team->handles = NULL;
}
