// The vector extension a run computes with (config_t::vector_ext, -e) and
// the lanes of float it works on at once.
#ifndef KYVANE_HOST_VECTOR_EXT_H
#define KYVANE_HOST_VECTOR_EXT_H

// The codes are stored in config_t and passed to every kernel set-up; the
// run tuning replaces VECTOR_EXT_AUTO with one of the other three.
enum {
    VECTOR_EXT_AVX = 0,
    VECTOR_EXT_SSE = 1,
    VECTOR_EXT_NONE = 2,
    VECTOR_EXT_AUTO = 3,
};

// Floats per vector: 8 with AVX, 4 with SSE, 1 for any other code.
inline int vector_lanes(int vector_ext)
{
    return vector_ext == VECTOR_EXT_AVX ? 8 : vector_ext == VECTOR_EXT_SSE ? 4 : 1;
}

#endif
