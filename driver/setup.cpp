#include "driver/setup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/config.h"
#include "driver/output_name.h"
#include "driver/run.h"
#include "driver/run_guard.h"
#include "driver/threads.h"
#include "host/autoconfig.h"
#include "host/memory_figures.h"
#include "kernels/geometry.h"
#include "kernels/ray_steps.h"
#include "kernels/sirt_step.h"
#include "kernels/sirt_tables.h"
#include "kernels/wall_time.h"
#include "kernels/wbp_filter.h"

const char memory_tips_text[] =
    "Do not change the default values of -b and -M and try\n"
    "one or more of the following tips:\n"
    "  1. Reduce the number of threads (-t).\n"
    "  2. Disable vectorization or use SSE instead of AVX (-e).\n";

// The run's image records and threads stay reachable from here while the
// process lives, also when a failure ends it without releasing them
// (volatile, so that the otherwise unread pointer is really stored).
static mrc_image_t *volatile run_images = NULL;
static thread_team_t run_team;

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
static bool thread_count_fits(int T, int lanes, int per_thread)
{
    const int64_t t = T;
    return t >= 1 && t * per_thread + 5 <= INT32_MAX && 2 * lanes * t <= INT32_MAX;
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
    mrc_image_t *resumed = &images[2];
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

static void print_information_block(const mrc_image_t *output)
{
    std::printf("Input dataset:      %s\n", config.dataset_name);
    std::printf("Output recon file:  %s\n", config.output_name);
    if (config.resume_name)
        std::printf("Resumed recon file: %s\n", config.resume_name);
    std::printf("Running %s", config.method_name);
    if (config.method == 1) {
        if (config.weighting && config.hamming_freq < 0.5f)
            std::printf(" (with Hamming filter from frequency = %.3f)", (double)config.hamming_freq);
    } else {
        std::printf(" (%d iterations)", config.iterations);
    }
    std::printf(".\nI/O buffers set to %d,%d.\n", config.read_block, config.write_block);
    if (config.vector_ext == 1)
        std::printf("SSE enabled.\n");
    else if (config.vector_ext == 0)
        std::printf("AVX enabled.\n");
    if (config.hyperthreading)
        std::printf("Hyper-Threading enabled.\n");
    std::printf("%d thread(s) will be created.\n", config.threads);
    char unit[8];
    const int64_t bytes = (int64_t)output->nz * output->section_bytes + 1024;
    const double size = format_byte_size((uint64_t)bytes, unit);
    std::printf("Output volume will be %d x %d x %d (%.1f %s).\n", output->nx, output->ny, output->nz,
                size, unit);
    if (config.verbosity == 1 || config.verbosity == 3) {
        std::printf("0%% completed.\r");
        std::fflush(stdout);
    }
}

static void print_worker_times(const thread_team_t *team)
{
    for (int i = 0; i < team->threads; i++) {
        const worker_t *w = &team->workers[i];
        std::printf("Worker %d times (in sec.):\n\tReal     = %10.4f\n\tRecon    = %10.4f\n"
                    "\tWeight   = %10.4f\n\tI/O wait = %10.4f\n\tOther    = %10.4f\n",
                    w->index, w->real_s, w->recon_s, w->weight_s, w->io_wait_s, w->other_s);
    }
}

// A volume with NaN or infinite voxels is written all the same, but the
// user must hear of it: one bad pixel spoils the whole slice it lies in.
static void print_nonfinite_warning(int64_t count)
{
    std::printf("Warning: %lld voxels of the reconstructed volume are not finite (NaN or "
                "infinite).\nCommon causes: non-finite pixels in the tilt series, or -L or -O "
                "values that take pixels to zero or below.\n",
                (long long)count);
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

int run_reconstruction(double start_time)
{
    // 1-3: library and run tuning.
    if (mrc_init() < 0) {
        std::fputs("Could not initialize libMRC!\n", stderr);
        return 1;
    }
    autoconfig_hardware(&config);
    if (autoconfig_io_buffers(&config) < 0)
        return 1;

    // 4: image records by the index plan.
    const int T = config.threads;
    const int lanes = config.vector_ext == 0 ? 8 : config.vector_ext == 1 ? 4 : 1;
    const int per_thread = lanes == 1 ? 2 : 3;
    if (!thread_count_fits(T, lanes, per_thread)) {
        std::fprintf(stderr,
                     "Too many threads (-t %d): the per-thread records and buffers cannot be "
                     "sized.\n",
                     T);
        return 1;
    }
    const int min_block = 2 * lanes * T;
    mrc_image_t *images = mrc_alloc_images(T * per_thread + 5);
    if (!images) {
        mrc_perror(NULL);
        return 1;
    }
    run_images = images;
    const int resuming = config.resume_name != NULL;
    const int show_buffer_warnings = config.verbosity == 5 || config.buffers_set == 1;

    // 5: resumed volume first.
    if (resuming && open_resumed_volume(images) < 0)
        return 1;

    // 6-7: tilt series with its read cache.
    const int read_block_asked = config.read_block;
    if (mrc_open(config.dataset_name, &images[0], 0, config.y_first, config.num_slices,
                 &config.read_block, lanes) < 0) {
        print_open_failure(config.dataset_name);
        return 1;
    }
    mrc_image_t *series = &images[0];
    if (show_buffer_warnings) {
        if (config.read_block != read_block_asked)
            std::printf("Warning: Dataset read block changes to %d.\n", config.read_block);
        if (config.read_block < min_block)
            std::printf("Warning: Read buffer may not feed threads efficiently.\n"
                        "Tip: Reduce the number of threads or increase dataset read block "
                        "(%d or greater recommended).\n",
                        min_block);
    }

    // 8: angles against tilt images; the lower count wins.
    if (config.num_angles != series->nz) {
        std::printf("Warning: There are %d tilt images in the dataset and %d angles in the angle "
                    "list. Using the lowest value.\n",
                    series->nz, config.num_angles);
        if (series->nz < config.num_angles)
            config.num_angles = series->nz;
        if (mrc_set_image_count(series, config.num_angles) < 0) {
            mrc_perror(series->path);
            return 1;
        }
    }

    // 9: geometry from the tilt series unless a volume is resumed.
    if (!resuming && settle_geometry(series) < 0)
        return 1;

    // 10: never overwrite a file without consent.
    if (!config.force_overwrite) {
        config.output_name = confirm_output_file(config.output_name);
        if (!config.output_name) {
            std::fputs("Overwriting check could not be performed!\n", stderr);
            return 1;
        }
    }
    // The volume takes the output's place at the end: it must not be one of
    // the inputs.
    if (same_file(config.output_name, config.angles_name)) {
        std::fputs("Output file and angle list cannot be the same!\n", stderr);
        return 1;
    }
    if (same_file(config.output_name, config.dataset_name)) {
        std::fputs("Output file and tilt series cannot be the same!\n", stderr);
        return 1;
    }
    if (resuming && same_file(config.output_name, config.resume_name)) {
        std::fputs("Output file and resumed file cannot be the same!\n", stderr);
        return 1;
    }

    // 11-12: output volume with its write cache.
    const int write_block_asked = config.write_block;
    // A stop signal must not come between the temporary file and its record.
    guard_hold_signals(1);
    const int created = mrc_create(config.output_name, &images[1], config.width, config.height,
                                   config.num_slices, config.y_first, &config.write_block, lanes,
                                   resuming ? 1 : 0);
    int guarded = 0;
    if (created == 0) {
        int temp_dir = -1;
        const char *temp = mrc_temp_name(&images[1], &temp_dir);
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
        return 1;
    }
    if (guarded) {
        std::fprintf(stderr, "%s: %s.\n%s: %s.\n", config.output_name,
                     mrc_error_messages[guarded == EMFILE || guarded == ENFILE ? MRC_ERESOURCES : MRC_ECREATE],
                     config.output_name, std::strerror(guarded));
        return 1;
    }
    mrc_image_t *output = &images[1];
    // Only where nothing can be written beside it is the old file given up
    // before the volume is complete; the user must know.
    const int replace = mrc_replace_mode(output);
    if (replace == MRC_REPLACE_NO_ROOM)
        std::printf("Warning: Not enough free space to write the volume beside %s: the previous "
                    "output is overwritten as the run goes.\n",
                    config.output_name);
    else if (replace == MRC_REPLACE_NO_DIR)
        std::printf("Warning: No file can be made in the directory of %s: the previous output is "
                    "overwritten as the run goes.\n",
                    config.output_name);
    if (show_buffer_warnings) {
        if (config.write_block != write_block_asked)
            std::printf("Warning: Reconstruction write block changes to %d.\n", config.write_block);
        if (config.write_block < min_block)
            std::printf("Warning: Write buffer may not serve threads efficiently.\n"
                        "Tip: Reduce the number of threads or increase reconstruction write block "
                        "(%d or greater recommended).\n",
                        min_block);
    }

    // 13: the writer reloads the output's slots through the resumed record.
    if (resuming)
        mrc_share_cache(output, &images[2]);

    // 14: split factor against the output width.
    if (autoconfig_split_factor(&config, output->nx) < 0)
        return 1;

    // 15: per-worker slice planes, lane sinograms and, for the AVX walks,
    // step tables.
    // Sized in 64 bits: a volume too wide or too high for the stores' int
    // sizes cannot be held, like one that does not fit in memory.
    const int64_t slice_vectors = 2 * (int64_t)output->nx / config.split_factor;
    const int64_t slice_rows = (int64_t)(output->ny / 2) * config.split_factor;
    int stores = 0;
    if (slice_vectors > INT32_MAX || slice_rows > INT32_MAX) {
        stores = -1;
    } else if (lanes == 8) {
        stores += mrc_alloc_data_x8(&images[4], series->nx, config.num_angles, T);
        stores += mrc_alloc_data_x8(&images[3], (int)slice_vectors, (int)slice_rows, T);
        stores += ray_steps_init(T, (int)(slice_vectors / 2));
    } else if (lanes == 4) {
        stores += mrc_alloc_data_x4(&images[4], series->nx, config.num_angles, T);
        stores += mrc_alloc_data_x4(&images[3], (int)slice_vectors, (int)slice_rows, T);
    } else {
        stores += mrc_alloc_data_x1(&images[3], (int)slice_vectors, (int)slice_rows, T);
    }
    if (stores < 0) {
        std::fprintf(stderr, "No memory to reconstruct the 3D volume!\n%s", memory_tips_text);
        return 1;
    }

    // 16: kernel tables.
    int tables = projection_geometry_init(output->nx, output->ny, series->nx, config.num_angles,
                                          config.angles, config.cache_block_kb, config.rows_per_set,
                                          config.angles_per_set, config.split_factor,
                                          config.verbosity == 5 ? 1 : 0, config.interpolation,
                                          config.vector_ext);
    if (tables == 0) {
        if (config.method == 1) {
            if (config.weighting)
                tables = wbp_filter_init(series->nx, T, config.hamming_freq);
        } else {
            tables = sirt_init(output->ny, series->nx, config.num_angles, config.angles,
                               config.split_factor, config.weighting, config.interpolation,
                               config.vector_ext);
            tables += sirt_work_init(series->nx, config.num_angles, T, config.vector_ext);
        }
    }
    if (tables < 0) {
        std::fputs("Program initialization failed!\n", stderr);
        return 1;
    }

    // 17: information block.
    if (config.verbosity > 0)
        print_information_block(output);

    // 18: the threads.
    thread_team_t *team = &run_team;
    if (threads_prepare(team, images) < 0)
        return 1;
    calibrate_io_periods(team, images);
    const int outcome = threads_run(team, images);
    if (outcome < 0)
        abort_run();

    // Shutdown.
    double sum_recon = 0.0, sum_weight = 0.0, sum_wait = 0.0;
    for (int i = 0; i < T; i++) {
        sum_recon += team->workers[i].recon_s;
        sum_weight += team->workers[i].weight_s;
        sum_wait += team->workers[i].io_wait_s;
    }
    if (config.verbosity >= 3)
        print_worker_times(team);
    const double read_s = team->reader.read_s + team->writer.read_s;
    const double write_s = team->writer.write_s;
    threads_release(team);
    if (outcome != 0) {
        // The verdict follows the per-worker blocks also where both streams
        // end up in one log.
        std::fflush(stdout);
        std::fputs("Reconstruction unsuccessful!\n", stderr);
        return 1;
    }

    if (!resuming) {
        mrc_copy_labels(output, series);
        if (mrc_errno() != 0)
            mrc_perror("Warning: Tiltseries labels not copied");
    } else {
        mrc_close(&images[2], NULL);
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
        return 1;
    }
    if (*mrc_close_detail())
        std::printf("Warning: %s: %s.\n", config.output_name, mrc_close_detail());
    if (nonfinite > 0)
        print_nonfinite_warning(nonfinite);
    mrc_close(series, NULL);

    mrc_free_data(&images[3]);
    if (lanes > 1)
        mrc_free_data(&images[4]);
    ray_steps_free();
    std::free(images);
    run_images = NULL;

    projection_geometry_free();
    if (config.method == 1) {
        if (config.weighting)
            wbp_filter_free();
    } else {
        sirt_tables_free();
        sirt_work_free();
    }

    if (config.verbosity > 0) {
        const double w = sum_weight / T;
        const double r = sum_recon / T + w;
        std::printf("Reconstruction time = %.4f sec.", r);
        if (config.method == 1 && config.weighting) {
            if (r > 0.0)
                std::printf(" (%.1f%% belongs to weighting)", 100.0 * w / r);
            else
                std::printf(" (0.0%% belongs to weighting)");
        }
        std::printf("\nI/O time = %.4f sec. {read = %.4f, write = %.4f, non-overlapped = %.4f}\n",
                    read_s + write_s, read_s, write_s, sum_wait / T);
        std::printf("Program execution time = %.4f sec.\n", wall_time_seconds() - start_time);
        std::printf("Reconstruction successful!\n");
    }

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
    mrc_finish();
    return 0;
}
