#include "driver/run.h"

// Stands in until the run set-up is built.
int run_reconstruction(double start_time)
{
    (void)start_time;
    return 0;
}
