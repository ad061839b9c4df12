// Memory blocks of the float arrays, slot caches and per-worker tables.
//
// A block of MRC_BLOCK_HUGE_MIN bytes or more is mapped on its own, starts
// on a huge-page boundary, spans a whole number of huge pages and is marked
// for transparent huge pages: it then faults in a few hundred 2 MB pages
// instead of hundreds of thousands of 4 KB ones, and the walks over it miss
// the TLB far less. Where the kernel gives no huge pages it is an ordinary
// mapping. A smaller block comes from the C library.
#ifndef KYVANE_MRC_MRC_BLOCK_H
#define KYVANE_MRC_MRC_BLOCK_H

#include <stddef.h>

// The huge page of x86-64 (the PMD size of 4 KB page tables).
#define MRC_BLOCK_HUGE_PAGE ((size_t)2 << 20)

// Rounding a block's end up to a whole huge page may add up to 2 MB less
// 4 KB to its resident size, so a block is marked only from two huge pages
// on: below that it has at most a thousand 4 KB pages to fault, and the
// rounding could make it half again as large; from here on it saves at least
// a thousand faults per block and adds at most one huge page.
#define MRC_BLOCK_HUGE_MIN ((size_t)4 << 20)

// An uncleared block of `bytes` aligned to `align` (a power of two, at most
// MRC_BLOCK_HUGE_PAGE; a large block is aligned to the huge page whatever
// is asked). NULL when out of memory or when the size cannot be held.
void *mrc_block_alloc(size_t bytes, size_t align);

// Releases a block of mrc_block_alloc; NULL is ignored.
void mrc_block_free(void *block);

#endif
