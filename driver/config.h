#ifndef KYVANE_DRIVER_CONFIG_H
#define KYVANE_DRIVER_CONFIG_H

#include <cstdint>

#include "host/vector_ext.h"

// The run's whole configuration. Written by the command line, completed by
// the run tuning and the run set-up on the main thread, then only read.
struct config_t {
    double mem_limit;          // -M: fraction of RAM the I/O buffers may use
    float hamming_freq;        // -m
    float angle_offset;        // -A
    float density_offset;      // -O
    int32_t verbosity;         // -v, 0..5
    int32_t iterations;        // -l
    int32_t threads;           // -t, -1 automatic
    int32_t split_factor;      // -s, -1 automatic
    int32_t l1_block_kb;       // set by the run tuning
    int32_t cache_block_kb;    // -C, -1 automatic, 0 = rows/angles per set
    int32_t rows_per_set;      // -R
    int32_t angles_per_set;    // -P
    int32_t read_block;        // -b n: sinograms in the read buffer, -1 automatic
    int32_t write_block;       // -b ,m: slices in the write buffer, -1 automatic
    int32_t num_angles;        // count of angles read with -a
    int32_t y_first;           // -y y1, -1 not given
    int32_t width;             // -x, 0 = tilt-series width
    int32_t num_slices;        // -y (y2 - y1 + 1), 0 = all rows
    int32_t height;            // -z, 0 = tilt-series width
    int32_t weighting;         // -w on/off
    int32_t interpolation;     // -I on/off
    int32_t constrain;         // -c
    int32_t hyperthreading;    // -H
    int32_t force_overwrite;   // -f
    int32_t flip_handedness;   // -n
    int32_t angle_offset_set;  // -A given
    int32_t density_offset_set;// -O given
    int32_t log10_input;       // -L
    int32_t buffers_set;       // -b given
    int32_t vector_ext;        // -e: a VECTOR_EXT_* code
    int32_t method;            // 1 WBP, 0 SIRT
    char method_name[8];       // "WBP" or "SIRT"
    char *dataset_name;        // -i
    char *output_name;         // -o, buffer of at least 256 bytes
    char *resume_name;         // -r
    float *angles;             // -a: tilt angles in degrees, file order
    char *angles_name;         // -a: the file they were read from
};

// The one configuration record of the run, statically set to the defaults.
extern config_t config;
// A pristine copy of the defaults.
extern const config_t config_defaults;

#endif
