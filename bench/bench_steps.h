// The projection slots as the benchmarks call them. compare_builds.sh
// builds earlier commits with the current bench/, and there the slots took
// no step table and there was no ray_steps_init: these helpers fit both.
#ifndef KYVANE_BENCH_BENCH_STEPS_H
#define KYVANE_BENCH_BENCH_STEPS_H

#include <stdint.h>

#include "kernels/ray_steps.h"
#include "mrc/mrc.h"

namespace bench_steps_fallback {
// Templates: where the kernels declare these, theirs win the overload.
template <class... A> int ray_steps_init(A...) { return 0; }
template <class... A> void ray_steps_free(A...) {}
template <class... A> int32_t *ray_steps_table(A...) { return nullptr; }
}  // namespace bench_steps_fallback

// Step tables for `threads` workers on kernel rows of `pairs` column pairs.
inline int bench_steps_init(int threads, int pairs)
{
    using namespace bench_steps_fallback;
    return ray_steps_init(threads, pairs);
}

inline void bench_steps_free()
{
    using namespace bench_steps_fallback;
    ray_steps_free();
}

inline int32_t *bench_steps_table(int thread)
{
    using namespace bench_steps_fallback;
    return ray_steps_table(thread);
}

// A projection slot called with worker `thread`'s table, or without one.
template <class Fn>
auto bench_project(Fn fn, mrc_image_t *sino, mrc_image_t *slice, int thread)
    -> decltype(fn(sino, slice, (int32_t *)nullptr))
{
    return fn(sino, slice, bench_steps_table(thread));
}

template <class Fn>
auto bench_project(Fn fn, mrc_image_t *sino, mrc_image_t *slice, long)
    -> decltype(fn(sino, slice))
{
    return fn(sino, slice);
}

#endif
