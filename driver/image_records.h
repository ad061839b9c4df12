// Layout of the run's image record array (one mrc_alloc_images allocation
// of image_record_count records): five fixed records, then three runs of
// per-worker views, T = threads long each.
#ifndef KYVANE_DRIVER_IMAGE_RECORDS_H
#define KYVANE_DRIVER_IMAGE_RECORDS_H

enum {
    IMAGE_SERIES = 0,      // tilt series along its rows (sinograms), read cache
    IMAGE_OUTPUT = 1,      // output volume, write cache
    IMAGE_RESUMED = 2,     // resumed SIRT volume, given the output's cache
    IMAGE_SLICE_STORE = 3, // one slice plane per worker
    IMAGE_LANE_STORE = 4,  // one lane-interleaved sinogram per worker (SSE, AVX)
    IMAGE_FIXED_RECORDS = 5,
};

// Per-worker records: a slice view and a sinogram view for every
// extension, a lane-sinogram view only where there are lanes.
inline int image_records_per_thread(int lanes)
{
    return lanes == 1 ? 2 : 3;
}

inline int image_record_count(int threads, int lanes)
{
    return threads * image_records_per_thread(lanes) + IMAGE_FIXED_RECORDS;
}

// Worker i's view of its plane of the slice store.
inline int image_slice_view(int i)
{
    return IMAGE_FIXED_RECORDS + i;
}

// Worker i's sinogram view (a read slot while an item is processed).
inline int image_sino_view(int threads, int i)
{
    return IMAGE_FIXED_RECORDS + threads + i;
}

// Worker i's view of its plane of the lane-sinogram store.
inline int image_lane_view(int threads, int i)
{
    return IMAGE_FIXED_RECORDS + 2 * threads + i;
}

#endif
