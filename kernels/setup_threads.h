// Set-up work spread over threads. The tables the kernels read are built
// once per run on the main thread, before any worker exists; for a large
// job their walks take longer than the first work items, with every core
// but one idle. Each index is handled whole by one thread, so a table
// built this way is the same, byte for byte, as one built in a plain loop.
#ifndef KYVANE_KERNELS_SETUP_THREADS_H
#define KYVANE_KERNELS_SETUP_THREADS_H

#include <stddef.h>

#include <functional>

// Threads the set-up may use, the calling one included (1: a plain loop).
// The driver sets it to the run's thread count before the tables are built.
extern int setup_threads;

// fn(i) for every i in 0 .. n-1, each on one of up to setup_threads
// threads, the caller among them; returns when all are done. A thread that
// cannot be started leaves its share to the others.
void setup_parallel_for(int n, const std::function<void(int)> &fn);

// Writes one byte into every page of the bytes at p, on the set-up's
// threads: a buffer that one thread would fill first (the reader's) then
// finds its pages mapped. The bytes' contents are undefined afterwards.
void setup_touch_pages(void *p, size_t bytes);

#endif
