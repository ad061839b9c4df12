#include "host/block_plan.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "host/vector_ext.h"

namespace {

// A list of tiles over `total` items: `full` tiles of `size`, then one of
// `rest` when the division leaves a remainder.
struct tiling_t {
    int size, full, rest;
    size_t entries() const { return static_cast<size_t>(full) + (rest != 0 ? 1 : 0); }
};

// Tiles of per_set items rounded half up, clamped to [1, total] while still
// a double so that a huge cache block cannot overflow the int conversion
// (a NaN becomes 1). Requested integer sizes pass through unchanged.
tiling_t tiling_of(double per_set, int total)
{
    const double v = per_set + 0.5;
    int size = total;
    if (!(v >= 1.0))
        size = 1;
    else if (v < static_cast<double>(total))
        size = static_cast<int>(v);
    return tiling_t{size, total / size, total % size};
}

void fill_list(int32_t *list, const tiling_t &t)
{
    for (int i = 0; i < t.full; ++i) list[i] = t.size;
    if (t.rest != 0) list[t.full] = t.rest;
}

void print_sets(const tiling_t &t, const char *what)
{
    std::printf("%d sets of %d %s", t.full, t.size, what);
    if (t.rest != 0) std::printf(" plus one of %d", t.rest);
}

}  // namespace

int plan_cache_blocks(int W, int H, int D, int N, int B, int Rq, int Pq,
                      int s, int verbose, int vector_ext, block_lists_t *lists)
{
    // Nothing sensible can be tiled without rows, projections, detector bins
    // or a positive split factor; refuse rather than divide by zero.
    if (s < 1 || W < s || H < 2 || D < 1 || N < 1) return -1;
    if (static_cast<int64_t>(H >> 1) * s > INT32_MAX) return -1;  // rows counted in int

    if (verbose) std::printf("Cache usage info:\n");

    const int R = (H >> 1) * s;
    // Only the SSE kernels have lanes here; AVX has its own planner.
    const int L = vector_lanes(vector_ext == VECTOR_EXT_SSE ? VECTOR_EXT_SSE : VECTOR_EXT_NONE);
    double rows_per_set = Rq;
    double projs_per_set = Pq;

    if (B != 0) {
        const int64_t row_bytes = static_cast<int64_t>(W / s) * 2 * L * 4;
        const int64_t proj_bytes = static_cast<int64_t>(D) * L * 4;
        const double rowKB = static_cast<double>(row_bytes) / 1024.0;
        const double projKB = static_cast<double>(proj_bytes) / 1024.0;
        const double S = static_cast<double>(R) * rowKB;
        const double G = static_cast<double>(N) * projKB;
        double kbS, kbG;
        if (S > G) {
            kbG = G * B / S;
            kbS = B - kbG;
        } else {
            kbS = S * B / G;
            kbG = B - kbS;
        }
        rows_per_set = kbS / rowKB;
        projs_per_set = kbG / projKB;
        if (verbose) {
            std::printf("Split factor    = %d\n", s);
            std::printf("Row size        = %g KB\n", rowKB);
            std::printf("Projection size = %g KB\n", projKB);
            std::printf("Cache block     = %d KB\n", B);
            std::printf("KB for slice    = %g\n", kbS);
            std::printf("KB for sinogram = %g\n", kbG);
        }
    }

    const tiling_t rows = tiling_of(rows_per_set, R);
    const tiling_t projs = tiling_of(projs_per_set, N);
    const size_t n_proj = projs.entries();

    lists->proj_block_sizes =
        static_cast<int32_t *>(std::malloc((n_proj + rows.entries()) * sizeof(int32_t)));
    if (lists->proj_block_sizes == nullptr) return -1;
    lists->row_block_sizes = lists->proj_block_sizes + n_proj;

    fill_list(lists->row_block_sizes, rows);
    fill_list(lists->proj_block_sizes, projs);

    if (verbose) {
        print_sets(rows, "rows");
        std::printf(".\n");
        print_sets(projs, "projections");
        std::printf(".\n\n");
    }
    return 0;
}

int plan_cache_blocks_avx(int W, int H, int D, int N, int B, int Pq, int s,
                          int verbose, block_lists_t *lists)
{
    if (s < 1 || W < s || H < 2 || D < 1 || N < 1) return -1;
    if (static_cast<int64_t>(H >> 1) * s > INT32_MAX) return -1;  // rows counted in int

    const int R = (H >> 1) * s;
    const double projKB = static_cast<double>(static_cast<int64_t>(D) * 32) / 1024.0;
    const tiling_t projs = tiling_of(B != 0 ? B / projKB : Pq, N);

    lists->proj_block_sizes =
        static_cast<int32_t *>(std::malloc(projs.entries() * sizeof(int32_t)));
    if (lists->proj_block_sizes == nullptr) return -1;
    fill_list(lists->proj_block_sizes, projs);

    if (verbose) {
        const int64_t l1_bytes = (static_cast<int64_t>(W) * 16 / s) * 4;
        std::printf("Cache usage info:\n");
        std::printf("Split factor    = %d\n", s);
        std::printf("L1 cache block  = %g KB (Row size)\n",
                    static_cast<double>(l1_bytes) / 1024.0);
        std::printf("LLC block       = %g KB\n", projs.size * projKB);
        std::printf("Projection size = %g KB\n", projKB);
        std::printf("%d sets of 1 row.\n", R);
        print_sets(projs, "projections");
        std::printf(".\n\n");
    }

    lists->row_block_sizes = nullptr;
    return 0;
}

void block_lists_free(block_lists_t *lists)
{
    if (lists != nullptr) std::free(lists->proj_block_sizes);
}
