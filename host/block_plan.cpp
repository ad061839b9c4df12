#include "host/block_plan.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "host/vector_ext.h"

namespace {

// Rounds half up by truncation and clamps to [1, hi] while still a double,
// so a huge cache block cannot overflow the int conversion.
int tile_from_double(double value, int hi)
{
    double v = value + 0.5;
    if (!(v >= 1.0)) return 1;  // also catches NaN
    if (v >= static_cast<double>(hi)) return hi;
    int t = static_cast<int>(v);
    return t < 1 ? 1 : (t > hi ? hi : t);
}

int clamp_tile(int t, int hi)
{
    if (t < 1) t = 1;
    if (t > hi) t = hi;
    return t;
}

void fill_list(int32_t *list, int q, int size, int rest)
{
    for (int i = 0; i < q; ++i) list[i] = size;
    if (rest != 0) list[q] = rest;
}

void print_sets(int q, int size, int rest, const char *what)
{
    std::printf("%d sets of %d %s", q, size, what);
    if (rest != 0) std::printf(" plus one of %d", rest);
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
    int rows_per_set = Rq;
    int projs_per_set = Pq;

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
        rows_per_set = tile_from_double(kbS / rowKB, R);
        projs_per_set = tile_from_double(kbG / projKB, N);
        if (verbose) {
            std::printf("Split factor    = %d\n", s);
            std::printf("Row size        = %g KB\n", rowKB);
            std::printf("Projection size = %g KB\n", projKB);
            std::printf("Cache block     = %d KB\n", B);
            std::printf("KB for slice    = %g\n", kbS);
            std::printf("KB for sinogram = %g\n", kbG);
        }
    }

    rows_per_set = clamp_tile(rows_per_set, R);
    projs_per_set = clamp_tile(projs_per_set, N);

    const int qR = R / rows_per_set, rR = R % rows_per_set;
    const int qP = N / projs_per_set, rP = N % projs_per_set;
    const size_t n_proj = static_cast<size_t>(qP) + (rP != 0 ? 1 : 0);
    const size_t n_rows = static_cast<size_t>(qR) + (rR != 0 ? 1 : 0);

    lists->proj_block_sizes =
        static_cast<int32_t *>(std::malloc((n_proj + n_rows) * sizeof(int32_t)));
    if (lists->proj_block_sizes == nullptr) return -1;
    lists->row_block_sizes = lists->proj_block_sizes + n_proj;

    fill_list(lists->row_block_sizes, qR, rows_per_set, rR);
    fill_list(lists->proj_block_sizes, qP, projs_per_set, rP);

    if (verbose) {
        print_sets(qR, rows_per_set, rR, "rows");
        std::printf(".\n");
        print_sets(qP, projs_per_set, rP, "projections");
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
    int projs_per_set = (B != 0) ? tile_from_double(B / projKB, N) : Pq;
    projs_per_set = clamp_tile(projs_per_set, N);

    const int qP = N / projs_per_set, rP = N % projs_per_set;
    const size_t n_proj = static_cast<size_t>(qP) + (rP != 0 ? 1 : 0);

    lists->proj_block_sizes =
        static_cast<int32_t *>(std::malloc(n_proj * sizeof(int32_t)));
    if (lists->proj_block_sizes == nullptr) return -1;
    fill_list(lists->proj_block_sizes, qP, projs_per_set, rP);

    if (verbose) {
        const int64_t l1_bytes = (static_cast<int64_t>(W) * 16 / s) * 4;
        std::printf("Cache usage info:\n");
        std::printf("Split factor    = %d\n", s);
        std::printf("L1 cache block  = %g KB (Row size)\n",
                    static_cast<double>(l1_bytes) / 1024.0);
        std::printf("LLC block       = %g KB\n", projs_per_set * projKB);
        std::printf("Projection size = %g KB\n", projKB);
        std::printf("%d sets of 1 row.\n", R);
        print_sets(qP, projs_per_set, rP, "projections");
        std::printf(".\n\n");
    }

    lists->row_block_sizes = nullptr;
    return 0;
}

void block_lists_free(block_lists_t *lists)
{
    if (lists != nullptr) std::free(lists->proj_block_sizes);
}
