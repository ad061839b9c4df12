// Memory figures for the progress line and the information block.
#ifndef KYVANE_HOST_MEMORY_FIGURES_H
#define KYVANE_HOST_MEMORY_FIGURES_H

#include <cstdint>

// The count in GB, MB, KB or bytes; the unit goes NUL-terminated into unit
// (room for at least 6 characters).
double format_byte_size(uint64_t bytes, char *unit);
// Total physical memory in bytes; 0 when the platform cannot tell.
uint64_t sysinfo_total_ram();
// Resident size of this process in bytes; 0 when it cannot be read.
uint64_t sysinfo_resident_bytes();
// 1 when part is at least 90 % of total.
int reaches_ninety_percent(uint64_t total, uint64_t part);

#endif
