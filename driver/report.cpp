#include "driver/report.h"

#include <cstdio>

#include "driver/config.h"
#include "host/memory_figures.h"
#include "host/vector_ext.h"
#include "kernels/wall_time.h"

const char memory_tips_text[] =
    "Do not change the default values of -b and -M and try\n"
    "one or more of the following tips:\n"
    "  1. Reduce the number of threads (-t).\n"
    "  2. Disable vectorization or use SSE instead of AVX (-e).\n";

void print_read_block_warnings(int asked, int min_block)
{
    if (config.read_block != asked)
        std::printf("Warning: Dataset read block changes to %d.\n", config.read_block);
    if (config.read_block < min_block)
        std::printf("Warning: Read buffer may not feed threads efficiently.\n"
                    "Tip: Reduce the number of threads or increase dataset read block "
                    "(%d or greater recommended).\n",
                    min_block);
}

void print_write_block_warnings(int asked, int min_block)
{
    if (config.write_block != asked)
        std::printf("Warning: Reconstruction write block changes to %d.\n", config.write_block);
    if (config.write_block < min_block)
        std::printf("Warning: Write buffer may not serve threads efficiently.\n"
                    "Tip: Reduce the number of threads or increase reconstruction write block "
                    "(%d or greater recommended).\n",
                    min_block);
}

// Only where nothing can be written beside it is the old file given up
// before the volume is complete; the user must know.
void print_replace_warning(int replace)
{
    if (replace == MRC_REPLACE_NO_ROOM)
        std::printf("Warning: Not enough free space to write the volume beside %s: the previous "
                    "output is overwritten as the run goes.\n",
                    config.output_name);
    else if (replace == MRC_REPLACE_NO_DIR)
        std::printf("Warning: No file can be made in the directory of %s: the previous output is "
                    "overwritten as the run goes.\n",
                    config.output_name);
}

void print_information_block(const mrc_image_t *output)
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
    if (config.vector_ext == VECTOR_EXT_SSE)
        std::printf("SSE enabled.\n");
    else if (config.vector_ext == VECTOR_EXT_AVX)
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

void print_worker_times(const thread_team_t *team)
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
void print_nonfinite_warning(int64_t count)
{
    std::printf("Warning: %lld voxels of the reconstructed volume are not finite (NaN or "
                "infinite).\nCommon causes: non-finite pixels in the tilt series, or -L or -O "
                "values that take pixels to zero or below.\n",
                (long long)count);
}

void sum_run_times(const thread_team_t *team, run_times_t *times)
{
    times->recon_s = times->weight_s = times->io_wait_s = 0.0;
    for (int i = 0; i < team->threads; i++) {
        times->recon_s += team->workers[i].recon_s;
        times->weight_s += team->workers[i].weight_s;
        times->io_wait_s += team->workers[i].io_wait_s;
    }
    times->read_s = team->reader.read_s + team->writer.read_s;
    times->write_s = team->writer.write_s;
}

void print_time_report(const run_times_t *times, int threads, double start_time)
{
    const int T = threads;
    const double w = times->weight_s / T;
    const double r = times->recon_s / T + w;
    std::printf("Reconstruction time = %.4f sec.", r);
    if (config.method == 1 && config.weighting) {
        if (r > 0.0)
            std::printf(" (%.1f%% belongs to weighting)", 100.0 * w / r);
        else
            std::printf(" (0.0%% belongs to weighting)");
    }
    std::printf("\nI/O time = %.4f sec. {read = %.4f, write = %.4f, non-overlapped = %.4f}\n",
                times->read_s + times->write_s, times->read_s, times->write_s, times->io_wait_s / T);
    std::printf("Program execution time = %.4f sec.\n", wall_time_seconds() - start_time);
    std::printf("Reconstruction successful!\n");
}
