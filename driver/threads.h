// The reader, writer and worker threads of a run and the state they share.
//
// One reader fills the tilt series' read cache, T workers turn ready read
// slots into finished write slots, one writer drains the write cache into the
// output volume. The reader and the writer poll at calibrated periods; idle
// workers sleep on one condition variable. Lock order: state_mutex, then
// sleep_mutex; a cache lock may be taken while state_mutex is held.
#ifndef KYVANE_DRIVER_THREADS_H
#define KYVANE_DRIVER_THREADS_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include "mrc/mrc.h"

struct worker_t;

// One work item: read slot r of the input into write slot ws of the output.
typedef void (*process_fn_t)(worker_t *w, int r, int ws);
// Prints the correlation coefficients of one item whose first row is first.
typedef void (*print_correlation_fn_t)(int first, const float *corr);

struct shared_state_t {
    mrc_image_t *input;     // tilt series, read cache of sinogram slots
    mrc_image_t *output;    // output volume, write cache of slice slots
    mrc_image_t *resumed;   // resumed SIRT volume sharing the write cache, or NULL
    int32_t stop;           // set once to end the run
    int32_t failed;         // a worker met data it cannot reconstruct (set once)
    int32_t wait4read;      // a worker sleeps for want of a ready read slot
    int32_t wait4write;     // a worker sleeps for want of a free write slot
    pthread_mutex_t state_mutex;  // guards stop, failed, wait4read, wait4write
    pthread_mutex_t sleep_mutex;  // the mutex of wake_cond
    pthread_cond_t wake_cond;     // idle workers wait here; only broadcast
    process_fn_t process_fn;
    print_correlation_fn_t print_correlation_fn;  // NULL for WBP
};

struct worker_t {
    shared_state_t *shared;
    mrc_image_t *sino_view;   // re-pointed at the read slot in hand
    mrc_image_t *slice_view;  // this worker's plane of the slice store
    mrc_image_t *lane_view;   // this worker's plane of the lane-sinogram store, or NULL
    int32_t index;
    int32_t hits;             // sinograms processed (lanes per item)
    int32_t current;          // window row of the first sinogram in hand
    int32_t failed;           // the item in hand could not be reconstructed
    double recon_s;
    double weight_s;
    double io_wait_s;
    double other_s;
    double real_s;            // start time while running, elapsed time at the end
};

struct io_thread_t {
    shared_state_t *shared;
    int32_t error;            // the thread's file input or output failed
    struct timespec period;   // sleep between two passes
    double read_s;            // reader: filling the read cache; writer: reloading
    double write_s;           // writer: flushing the write cache
};

// Everything the main thread keeps for the threads of one run.
struct thread_team_t {
    shared_state_t shared;
    io_thread_t reader;
    io_thread_t writer;
    worker_t *workers;        // threads records
    pthread_t *handles;       // threads + 2: workers, reader, writer
    int threads;
};

void *worker_thread(void *arg);   // arg: worker_t*
void *reader_thread(void *arg);   // arg: io_thread_t*
void *writer_thread(void *arg);   // arg: io_thread_t*

// Locks, shared fields, routines and allocation of the worker records.
// images is the run's image record array. Returns 0, or -1 with the message
// printed on standard error.
int threads_prepare(thread_team_t *team, mrc_image_t *images);

// Sets the reader's and writer's periods from the time of one work item on
// zeroed data, estimated on the main thread with worker 0's stores from a
// few of the slice's kernel rows (a millisecond or so, whatever the job).
void calibrate_io_periods(thread_team_t *team, mrc_image_t *images);

// Period p seconds as whole seconds and nanoseconds, both truncated.
struct timespec period_from_seconds(double p);

// Starts the reader, the writer and the workers, then joins them all.
// Returns 0 when the run went through, 1 when the reader, the writer or a
// worker failed, -1 when a thread could not be started (message printed).
int threads_run(thread_team_t *team, mrc_image_t *images);

// Destroys the locks and frees the worker records and the handles.
void threads_release(thread_team_t *team);

#endif
