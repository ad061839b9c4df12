// Set-up work spread over threads.
#include "kernels/setup_threads.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <vector>

int setup_threads = 1;

namespace {

struct setup_job_t {
    const std::function<void(int)> *fn;
    std::atomic<int> next;
    int n;
};

void setup_take_indices(setup_job_t *job)
{
    for (int i; (i = job->next.fetch_add(1)) < job->n;) (*job->fn)(i);
}

void *setup_worker(void *arg)
{
    setup_take_indices(static_cast<setup_job_t *>(arg));
    return nullptr;
}

}  // namespace

void setup_parallel_for(int n, const std::function<void(int)> &fn)
{
    if (n <= 0) return;
    setup_job_t job;
    job.fn = &fn;
    job.next = 0;
    job.n = n;
    const int helpers = (setup_threads < n ? setup_threads : n) - 1;
    std::vector<pthread_t> started;
    for (int k = 0; k < helpers; ++k) {
        pthread_t t;
        if (pthread_create(&t, nullptr, setup_worker, &job) != 0) break;
        started.push_back(t);
    }
    setup_take_indices(&job);
    for (pthread_t t : started) pthread_join(t, nullptr);
}

void setup_touch_pages(void *p, size_t bytes)
{
    // Chunks of one huge page: large enough that the threads' hand-offs cost
    // nothing, small enough to share out a buffer of a few megabytes.
    const size_t chunk = (size_t)2 << 20;
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    volatile char *const base = static_cast<volatile char *>(p);
    const int n = (int)((bytes + chunk - 1) / chunk);
    setup_parallel_for(n, [&](int i) {
        const size_t end = (size_t)(i + 1) * chunk < bytes ? (size_t)(i + 1) * chunk : bytes;
        for (size_t b = (size_t)i * chunk; b < end; b += page) base[b] = 0;
    });
}
