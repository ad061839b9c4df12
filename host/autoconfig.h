// Run tuning: completes the configuration with what the user left unset.
#ifndef KYVANE_HOST_AUTOCONFIG_H
#define KYVANE_HOST_AUTOCONFIG_H

#include <cstdint>

#include "driver/config.h"
#include "host/sysinfo.h"

// Vector extension, threads, hyper-threading, cache block and L1 block
// from the host description.
void autoconfig_hardware(config_t *cfg);
// Read and write buffer sizes from the memory limit and the tilt series
// (and resumed volume) dimensions. 0, or -1 when a header cannot be read.
int autoconfig_io_buffers(config_t *cfg);
// Checks a given split factor against the width W, or chooses one for the
// AVX kernels. 0, or -1 when a given factor does not divide W.
int autoconfig_split_factor(config_t *cfg, int W);

// The decisions with the host given as inputs. summary: the summary record
// of the host description, NULL when the probe failed; host_avx: what
// sysinfo_has_avx answers (used only when summary is NULL).
void autoconfig_hardware_from(config_t *cfg, const sysinfo_t *summary, int host_avx);
// Buffer sizing for a tilt series of nx x nz; resume_w/resume_t are the
// resumed volume's width and height (used only with resume_name).
void autoconfig_io_plan(config_t *cfg, int nx, int nz, int resume_w, int resume_t, uint64_t total_ram);

#endif
