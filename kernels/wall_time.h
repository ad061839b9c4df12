// Wall clock shared by every thread for the time report.
#ifndef KYVANE_KERNELS_WALL_TIME_H
#define KYVANE_KERNELS_WALL_TIME_H

// Seconds since the epoch, from gettimeofday, with microsecond resolution.
double wall_time_seconds(void);

#endif
