#include "driver/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "driver/config.h"
#include "driver/image_records.h"
#include "driver/output_name.h"
#include "driver/report.h"
#include "driver/run_guard.h"
#include "driver/threads.h"
#include "host/autoconfig.h"
#include "host/vector_ext.h"
#include "kernels/geometry.h"
#include "kernels/ray_steps.h"
#include "kernels/setup_threads.h"
#include "kernels/sirt_step.h"
#include "kernels/sirt_tables.h"
#include "kernels/wbp_filter.h"

// What the run holds from one stage to the next.
struct run_t {
    mrc_image_t *images; // image_record_count records, laid out as image_records.h says
    int threads;
    int lanes;
    int min_block;
    int resuming;
    int show_buffer_warnings;
    int stores_held; // slice and lane-sinogram stores, step tables
    int tables_held; // the kernels' tables
    thread_team_t team;
};

// A failure once the output is created ends the process with every file as
// the failure found it: the output is never closed, so it is never put in
// place. Its records stay here, reachable, until the process ends.
static run_t the_run;

// True when both paths name one existing file.
static int same_file(const char *a, const char *b)
{
    struct stat sa, sb;
    if (!a || !b || stat(a, &sa) != 0 || stat(b, &sb) != 0)
        return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

static void print_open_failure(const char *path)
{
    const int code = mrc_errno();
    mrc_perror(path);
    if (code == MRC_ENOMEM)
        std::fputs(memory_tips_text, stderr);
}

// Every count derived from the thread count (image records, sinograms and
// slices in flight, two slots' worth per worker) must fit the ints that hold
// them; beyond that only memory limits the thread count.
static bool thread_count_fits(int T, int lanes)
{
    const int64_t t = T;
    return t >= 1 && t * image_records_per_thread(lanes) + IMAGE_FIXED_RECORDS <= INT32_MAX &&
           2 * lanes * t <= INT32_MAX;
}

static int record_open(const mrc_image_t *rec)
{
    return rec->fp != NULL;
}

// The library and the run tuning.
static int start_library(void)
{
    if (mrc_init() < 0) {
        std::fputs("Could not initialize libMRC!\n", stderr);
        return -1;
    }
    autoconfig_hardware(&config);
    if (autoconfig_io_buffers(&config) < 0)
        return -1;
    return 0;
}

// The image record array for the settled thread count and extension.
static int allocate_records(run_t *run)
{
    const int T = config.threads;
    const int lanes = vector_lanes(config.vector_ext);
    if (!thread_count_fits(T, lanes)) {
        std::fprintf(stderr,
                     "Too many threads (-t %d): the per-thread records and buffers cannot be "
                     "sized.\n",
                     T);
        return -1;
    }
    run->threads = T;
    // The tables' walks and the first touch of the read cache use them too.
    setup_threads = T;
    run->lanes = lanes;
    run->min_block = 2 * lanes * T;
    run->images = mrc_alloc_images(image_record_count(T, lanes));
    if (!run->images) {
        mrc_perror(NULL);
        return -1;
    }
    run->resuming = config.resume_name != NULL;
    run->show_buffer_warnings = config.verbosity == 5 || config.buffers_set == 1;
    return 0;
}

// Closes the inputs still open (read only: nothing is written to them) and
// frees the array. Never while the output is open: that would put it in place.
static void release_records(run_t *run)
{
    for (int i : {IMAGE_RESUMED, IMAGE_SERIES})
        if (record_open(&run->images[i]))
            mrc_close(&run->images[i], NULL);
    std::free(run->images);
    run->images = NULL;
}

// Opens the resumed SIRT volume, which fixes width, height and slice range.
static int open_resumed_volume(mrc_image_t *images)
{
    const char *name = config.resume_name;
    const int origin = mrc_read_origin_row(name);
    if (origin < 0) {
        if (mrc_errno() != 0)
            mrc_perror(name);
        else
            std::fprintf(stderr, "%s: Invalid first row %d in the resumed reconstruction.\n", name,
                         origin);
        return -1;
    }
    mrc_image_t *resumed = &images[IMAGE_RESUMED];
    // A first section beyond the int range lies outside any volume: -1 has
    // the library refuse it as out of bounds.
    const int64_t first = (int64_t)config.y_first - origin;
    const int first_section = first >= 0 && first <= INT32_MAX ? (int)first : -1;
    if (mrc_open(name, resumed, 1, first_section, config.num_slices, NULL) < 0) {
        mrc_perror(name);
        return -1;
    }
    // Its sections are loaded as they are stored, straight into float slots.
    if (resumed->header->mode != MRC_MODE_FLOAT || resumed->swapped) {
        std::fprintf(stderr,
                     "%s: A resumed reconstruction must hold 32-bit floats in this machine's "
                     "byte order.\n",
                     name);
        return -1;
    }
    // Slices are held as pairs of a voxel and its reflection: an odd height
    // would leave one voxel per slice without a place in the stores.
    if (resumed->ny % 2 != 0) {
        std::fprintf(stderr, "%s: A resumed reconstruction must have an even height.\n", name);
        return -1;
    }
    if (config.width == 0) {
        config.width = resumed->nx;
    } else if (config.width != resumed->nx) {
        std::printf("Warning: -x must be equal to resumed reconstruction width. Adjusting -x to %d.\n",
                    resumed->nx);
        config.width = resumed->nx;
    }
    if (config.num_slices == 0) {
        config.y_first = origin;
        config.num_slices = resumed->nz;
    }
    if (config.height == 0) {
        config.height = resumed->ny;
    } else if (config.height != resumed->ny) {
        std::printf("Warning: -z must be equal to resumed reconstruction height. Adjusting -z to %d.\n",
                    resumed->ny);
        config.height = resumed->ny;
    }
    return 0;
}

// Width, height and slice range from the tilt series when nothing is resumed.
static int settle_geometry(const mrc_image_t *series)
{
    if (config.width == 0) {
        config.width = series->nx;
    } else if (config.width > series->nx) {
        std::printf("Warning: -x is greater than maximum width. Adjusting -x to %d.\n", series->nx);
        config.width = series->nx;
    }
    if (config.num_slices == 0) {
        config.y_first = 0;
        config.num_slices = series->ny;
    }
    if (config.height == 0) {
        config.height = series->nx;
    } else if (config.height > series->nx) {
        std::printf("Warning: -z is greater than maximum height. Adjusting -z to %d.\n", series->nx);
        config.height = series->nx;
    }
    if (config.height % 2 != 0) {
        config.height -= 1;
        std::printf("Warning: -z is odd. Adjusting -z to %d.\n", config.height);
        if (config.height == 0) {
            std::fputs("-z became 0 unexpectedly!\n", stderr);
            return -1;
        }
    }
    return 0;
}

// The resumed volume first (it fixes the slice range), then the tilt series
// with its read cache, the angle count against its images, and the geometry.
static int open_inputs(run_t *run)
{
    mrc_image_t *images = run->images;
    if (run->resuming && open_resumed_volume(images) < 0)
        return -1;

    const int read_block_asked = config.read_block;
    mrc_image_t *series = &images[IMAGE_SERIES];
    if (mrc_open(config.dataset_name, series, 0, config.y_first, config.num_slices,
                 &config.read_block, run->lanes) < 0) {
        print_open_failure(config.dataset_name);
        return -1;
    }
    if (run->show_buffer_warnings)
        print_read_block_warnings(read_block_asked, run->min_block);

    // The lower count of angles and tilt images wins.
    if (config.num_angles != series->nz) {
        std::printf("Warning: There are %d tilt images in the dataset and %d angles in the angle "
                    "list. Using the lowest value.\n",
                    series->nz, config.num_angles);
        if (series->nz < config.num_angles)
            config.num_angles = series->nz;
        if (mrc_set_image_count(series, config.num_angles) < 0) {
            mrc_perror(series->path);
            return -1;
        }
    }

    if (!run->resuming && settle_geometry(series) < 0)
        return -1;
    return 0;
}

// Never overwrite a file without consent, and never one of the inputs: the
// volume takes the output's place at the end.
static int check_output_name(run_t *run)
{
    if (!config.force_overwrite) {
        config.output_name = confirm_output_file(config.output_name);
        if (!config.output_name) {
            std::fputs("Overwriting check could not be performed!\n", stderr);
            return -1;
        }
    }
    if (same_file(config.output_name, config.angles_name)) {
        std::fputs("Output file and angle list cannot be the same!\n", stderr);
        return -1;
    }
    if (same_file(config.output_name, config.dataset_name)) {
        std::fputs("Output file and tilt series cannot be the same!\n", stderr);
        return -1;
    }
    if (run->resuming && same_file(config.output_name, config.resume_name)) {
        std::fputs("Output file and resumed file cannot be the same!\n", stderr);
        return -1;
    }
    return 0;
}

// The output volume with its write cache, guarded against stop signals,
// and the resumed volume given its cache.
static int create_output(run_t *run)
{
    if (check_output_name(run) < 0)
        return -1;

    mrc_image_t *images = run->images;
    const int write_block_asked = config.write_block;
    // A stop signal must not come between the temporary file and its record.
    guard_hold_signals(1);
    const int created = mrc_create(config.output_name, &images[IMAGE_OUTPUT], config.width,
                                   config.height, config.num_slices, config.y_first,
                                   &config.write_block, run->lanes, run->resuming ? 1 : 0);
    int guarded = 0;
    if (created == 0) {
        int temp_dir = -1;
        const char *temp = mrc_temp_name(&images[IMAGE_OUTPUT], &temp_dir);
        // The guard's own descriptor of the directory is one the set-up
        // needs: without it a stop signal would leave the hidden file.
        if (guard_set_temp(temp_dir, temp) != 0) {
            guarded = errno;
            unlinkat(temp_dir, temp, 0);
        }
    }
    guard_hold_signals(0);
    if (created < 0) {
        print_open_failure(config.output_name);
        return -1;
    }
    if (guarded) {
        std::fprintf(stderr, "%s: %s.\n%s: %s.\n", config.output_name,
                     mrc_error_messages[guarded == EMFILE || guarded == ENFILE ? MRC_ERESOURCES : MRC_ECREATE],
                     config.output_name, std::strerror(guarded));
        return -1;
    }
    mrc_image_t *output = &images[IMAGE_OUTPUT];
    print_replace_warning(mrc_replace_mode(output));
    if (run->show_buffer_warnings)
        print_write_block_warnings(write_block_asked, run->min_block);

    // The writer reloads the output's slots through the resumed record.
    if (run->resuming)
        mrc_share_cache(output, &images[IMAGE_RESUMED]);
    return 0;
}

static void free_stores(run_t *run)
{
    mrc_free_data(&run->images[IMAGE_SLICE_STORE]);
    if (run->lanes > 1)
        mrc_free_data(&run->images[IMAGE_LANE_STORE]);
    ray_steps_free();
}

// The split factor against the output width, then per-worker slice planes,
// lane sinograms and, for the AVX walks, step tables.
static int allocate_stores(run_t *run)
{
    mrc_image_t *images = run->images;
    const mrc_image_t *output = &images[IMAGE_OUTPUT];
    const mrc_image_t *series = &images[IMAGE_SERIES];
    const int T = run->threads;
    if (autoconfig_split_factor(&config, output->nx) < 0)
        return -1;

    // Sized in 64 bits: a volume too wide or too high for the stores' int
    // sizes cannot be held, like one that does not fit in memory.
    const int64_t slice_vectors = 2 * (int64_t)output->nx / config.split_factor;
    const int64_t slice_rows = (int64_t)(output->ny / 2) * config.split_factor;
    mrc_image_t *slices = &images[IMAGE_SLICE_STORE];
    mrc_image_t *lane_sinos = &images[IMAGE_LANE_STORE];
    int stores = 0;
    if (slice_vectors > INT32_MAX || slice_rows > INT32_MAX) {
        stores = -1;
    } else if (run->lanes == 8) {
        stores += mrc_alloc_data_x8(lane_sinos, series->nx, config.num_angles, T);
        stores += mrc_alloc_data_x8(slices, (int)slice_vectors, (int)slice_rows, T);
        stores += ray_steps_init(T, (int)(slice_vectors / 2));
    } else if (run->lanes == 4) {
        stores += mrc_alloc_data_x4(lane_sinos, series->nx, config.num_angles, T);
        stores += mrc_alloc_data_x4(slices, (int)slice_vectors, (int)slice_rows, T);
    } else {
        stores += mrc_alloc_data_x1(slices, (int)slice_vectors, (int)slice_rows, T);
    }
    if (stores < 0) {
        std::fprintf(stderr, "No memory to reconstruct the 3D volume!\n%s", memory_tips_text);
        free_stores(run);
        return -1;
    }
    run->stores_held = 1;

    // The reader alone would fault in the read cache's pages on its first
    // fill, one after the other, while every worker waits for that fill.
    const mrc_cache_t *rc = series->cache;
    if (rc && series->data)
        setup_touch_pages(series->data[0][0], (size_t)rc->nx * (size_t)rc->rows * (size_t)rc->depth * 4);
    return 0;
}

static void free_tables(void)
{
    projection_geometry_free();
    if (config.method == 1) {
        if (config.weighting)
            wbp_filter_free();
    } else {
        sirt_tables_free();
        sirt_work_free();
    }
}

// The kernels' tables: geometry, then the WBP filter or the SIRT weights and
// work records.
static int build_tables(run_t *run)
{
    const mrc_image_t *output = &run->images[IMAGE_OUTPUT];
    const mrc_image_t *series = &run->images[IMAGE_SERIES];
    int tables = projection_geometry_init(output->nx, output->ny, series->nx, config.num_angles,
                                          config.angles, config.cache_block_kb, config.rows_per_set,
                                          config.angles_per_set, config.split_factor,
                                          config.verbosity == 5 ? 1 : 0, config.interpolation,
                                          config.vector_ext);
    const int geometry_built = tables == 0;
    if (geometry_built) {
        if (config.method == 1) {
            if (config.weighting)
                tables = wbp_filter_init(series->nx, run->threads, config.hamming_freq);
        } else {
            tables = sirt_init(output->ny, series->nx, config.num_angles, config.angles,
                               config.split_factor, config.weighting, config.interpolation,
                               config.vector_ext);
            tables += sirt_work_init(series->nx, config.num_angles, run->threads, config.vector_ext);
        }
    }
    if (tables < 0) {
        std::fputs("Program initialization failed!\n", stderr);
        // A failed geometry or filter set-up has released its own part.
        if (geometry_built)
            projection_geometry_free();
        if (config.method != 1) {
            sirt_tables_free();
            sirt_work_free();
        }
        return -1;
    }
    run->tables_held = 1;
    return 0;
}

// The threads are still running when a start fails; end the process at once
// without touching the files they use.
[[noreturn]] static void abort_run(void)
{
    guard_remove_temp();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(1);
}

// The reader, the writer and the workers, from their set-up to their end.
static int run_threads(run_t *run, run_times_t *times)
{
    thread_team_t *team = &run->team;
    if (threads_prepare(team, run->images) < 0)
        return -1;
    calibrate_io_periods(team, run->images);
    const int outcome = threads_run(team, run->images);
    if (outcome < 0)
        abort_run();

    sum_run_times(team, times);
    if (config.verbosity >= 3)
        print_worker_times(team);
    threads_release(team);
    if (outcome != 0) {
        // The verdict follows the per-worker blocks also where both streams
        // end up in one log.
        std::fflush(stdout);
        std::fputs("Reconstruction unsuccessful!\n", stderr);
        return -1;
    }
    return 0;
}

// Labels, then the output's close, which puts the volume in its place, then
// the inputs.
static int close_output(run_t *run)
{
    mrc_image_t *images = run->images;
    mrc_image_t *output = &images[IMAGE_OUTPUT];
    mrc_image_t *series = &images[IMAGE_SERIES];
    if (!run->resuming) {
        mrc_copy_labels(output, series);
        if (mrc_errno() != 0)
            mrc_perror("Warning: Tiltseries labels not copied");
    } else {
        mrc_close(&images[IMAGE_RESUMED], NULL);
    }
    char label[56];
    if (config.method == 1)
        std::snprintf(label, sizeof label, "Kyvane: Tomogram reconstruction. WBP");
    else
        std::snprintf(label, sizeof label, "Kyvane: Tomogram reconstruction. SIRT, %d iterations",
                      config.iterations);
    mrc_add_label(output, label);
    const int64_t nonfinite = mrc_nonfinite_count(output);
    const int closed = mrc_close(output, series);
    guard_set_temp(-1, NULL); // in place, or removed by the close
    if (closed < 0) {
        mrc_perror(config.output_name);
        // The work is done but lost, or in place but not safe: the user
        // must know which, and why.
        if (*mrc_close_detail() && mrc_close_placed())
            std::fprintf(stderr, "%s: %s.\n", config.output_name, mrc_close_detail());
        else if (*mrc_close_detail())
            std::fprintf(stderr, "%s: the volume was computed but could not be put in place: %s.\n",
                         config.output_name, mrc_close_detail());
        return -1;
    }
    if (*mrc_close_detail())
        std::printf("Warning: %s: %s.\n", config.output_name, mrc_close_detail());
    if (nonfinite > 0)
        print_nonfinite_warning(nonfinite);
    mrc_close(series, NULL);
    return 0;
}

static void free_config_names(void)
{
    std::free(config.angles);
    std::free(config.dataset_name);
    std::free(config.output_name);
    std::free(config.resume_name);
    std::free(config.angles_name);
    config.angles = NULL;
    config.angles_name = NULL;
    config.dataset_name = NULL;
    config.output_name = NULL;
    config.resume_name = NULL;
}

// Frees what the stages took. A created output that was never closed is
// left open, with the records it lives in (see the_run).
static void release_run(run_t *run)
{
    if (run->stores_held)
        free_stores(run);
    run->stores_held = 0;
    if (!record_open(&run->images[IMAGE_OUTPUT]))
        release_records(run);
    if (run->tables_held)
        free_tables();
    run->tables_held = 0;
}

static int fail_run(run_t *run)
{
    release_run(run);
    return 1;
}

int run_reconstruction(double start_time)
{
    run_t *run = &the_run;
    if (start_library() < 0 || allocate_records(run) < 0)
        return 1;
    if (open_inputs(run) < 0 || create_output(run) < 0 || allocate_stores(run) < 0 ||
        build_tables(run) < 0)
        return fail_run(run);
    if (config.verbosity > 0)
        print_information_block(&run->images[IMAGE_OUTPUT]);

    run_times_t times;
    if (run_threads(run, &times) < 0 || close_output(run) < 0)
        return fail_run(run);
    release_run(run);

    if (config.verbosity > 0)
        print_time_report(&times, run->threads, start_time);
    free_config_names();
    mrc_finish();
    return 0;
}
