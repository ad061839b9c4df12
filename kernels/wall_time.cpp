#include "kernels/wall_time.h"

#include <stddef.h>
#include <sys/time.h>

double wall_time_seconds(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return (double)tv.tv_sec + (double)tv.tv_usec * 1e-6;
}
