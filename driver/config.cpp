#include "driver/config.h"

// The defaults, kept apart so that anything may start from a fresh record.
static constexpr config_t default_config = {
    0.75,   // mem_limit
    0.0f,   // hamming_freq
    0.0f,   // angle_offset
    0.0f,   // density_offset
    1,      // verbosity
    30,     // iterations
    -1,     // threads
    -1,     // split_factor
    0,      // l1_block_kb
    -1,     // cache_block_kb
    0,      // rows_per_set
    0,      // angles_per_set
    -1,     // read_block
    -1,     // write_block
    0,      // num_angles
    -1,     // y_first
    0,      // width
    0,      // num_slices
    0,      // height
    1,      // weighting
    1,      // interpolation
    0,      // constrain
    0,      // hyperthreading
    0,      // force_overwrite
    0,      // flip_handedness
    0,      // angle_offset_set
    0,      // density_offset_set
    0,      // log10_input
    0,      // buffers_set
    VECTOR_EXT_AUTO, // vector_ext
    1,      // method: WBP
    "WBP",  // method_name
    nullptr, // dataset_name
    nullptr, // output_name
    nullptr, // resume_name
    nullptr, // angles
    nullptr, // angles_name
};

const config_t config_defaults = default_config;
config_t config = default_config;
