/* Counts the heap allocations of the process it is preloaded into
 * (LD_PRELOAD) and prints "heap allocations: N" on standard error at exit.
 * Every allocating entry of the C library is counted, and operator new
 * comes through malloc. Not for sanitizer builds, whose runtime owns the
 * allocator. */
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <unistd.h>

extern void *__libc_malloc(size_t n);
extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *p, size_t n);
extern void *__libc_memalign(size_t align, size_t n);

static unsigned long heap_count;

static void counted(void)
{
    __atomic_add_fetch(&heap_count, 1, __ATOMIC_RELAXED);
}

void *malloc(size_t n)
{
    counted();
    return __libc_malloc(n);
}

void *calloc(size_t n, size_t size)
{
    counted();
    return __libc_calloc(n, size);
}

void *realloc(void *p, size_t n)
{
    counted();
    return __libc_realloc(p, n);
}

void *memalign(size_t align, size_t n)
{
    counted();
    return __libc_memalign(align, n);
}

void *aligned_alloc(size_t align, size_t n)
{
    return memalign(align, n);
}

void *valloc(size_t n)
{
    return memalign((size_t)sysconf(_SC_PAGESIZE), n);
}

int posix_memalign(void **out, size_t align, size_t n)
{
    if (align < sizeof(void *) || (align & (align - 1)) != 0)
        return EINVAL;
    void *p = memalign(align, n);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

__attribute__((destructor)) static void heap_count_report(void)
{
    char line[64];
    const int n = snprintf(line, sizeof line, "heap allocations: %lu\n",
                           __atomic_load_n(&heap_count, __ATOMIC_RELAXED));
    if (n > 0 && write(2, line, (size_t)n) < 0)
        return;
}
