// Blocks on transparent huge pages where they are large enough to gain.
#include "mrc/mrc_block.h"

#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

// Stored just before every block: where its allocation starts and, for a
// mapped block, the bytes mapped (0 for one from the C library). The free
// thus needs no size and no table of blocks.
struct mrc_block_head_t {
    void *base;
    size_t mapped;
};

static size_t mrc_round_up(size_t n, size_t to)
{
    return (n + to - 1) & ~(to - 1);
}

// A page for the head, then the block on a huge-page boundary: map one huge
// page more than needed, slide to the boundary and give back both ends.
static void *mrc_block_map(size_t bytes)
{
    const size_t huge = MRC_BLOCK_HUGE_PAGE;
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    if (bytes > SIZE_MAX - 2 * huge) return NULL;
    const size_t length = mrc_round_up(bytes, huge);
    const size_t span = length + huge;
    void *raw = mmap(NULL, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return NULL;
    char *const start = (char *)raw;
    char *const block = (char *)mrc_round_up((uintptr_t)(start + page), huge);
    char *const head = block - page;
    if (head > start) munmap(start, (size_t)(head - start));
    char *const end = block + length;
    if (start + span > end) munmap(end, (size_t)(start + span - end));
    // Fails with EINVAL where the kernel has no transparent huge pages; the
    // block is then an ordinary mapping, which is all the fallback needed.
    (void)madvise(block, length, MADV_HUGEPAGE);
    mrc_block_head_t *h = (mrc_block_head_t *)block - 1;
    h->base = head;
    h->mapped = page + length;
    return block;
}

void *mrc_block_alloc(size_t bytes, size_t align)
{
    if (align == 0 || (align & (align - 1)) != 0 || align > MRC_BLOCK_HUGE_PAGE) return NULL;
    if (bytes >= MRC_BLOCK_HUGE_MIN) return mrc_block_map(bytes);
    // The head sits in front of the block, in a slot of the block's own
    // alignment so the block keeps it.
    const size_t slot = align < sizeof(mrc_block_head_t) ? sizeof(mrc_block_head_t) : align;
    void *base = NULL;
    if (posix_memalign(&base, slot, slot + bytes) != 0 || !base) return NULL;
    char *const block = (char *)base + slot;
    mrc_block_head_t *h = (mrc_block_head_t *)block - 1;
    h->base = base;
    h->mapped = 0;
    return block;
}

void mrc_block_free(void *block)
{
    if (!block) return;
    const mrc_block_head_t *h = (const mrc_block_head_t *)block - 1;
    if (h->mapped != 0)
        munmap(h->base, h->mapped);
    else
        free(h->base);
}
