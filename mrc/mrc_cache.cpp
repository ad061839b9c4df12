// Slot cache: creation, slot states and the small operations of the threads.
#include <stdlib.h>

#include "mrc/mrc_internal.h"

int mrc_cache_create(mrc_image_t *rec, int *depth, int limit, int rows, int step,
                     int reload, int state)
{
    // Depth rule: at most the limit, at least one slot, a whole number of slots.
    int d = *depth < limit ? *depth : limit;
    if (d < step) d = step;
    d -= d % step;
    *depth = d;

    mrc_cache_t *cache = (mrc_cache_t *)calloc(1, sizeof *cache);
    if (!cache) {
        mrc_set_errno(MRC_ENOMEM);
        return -1;
    }
    cache->nslots = d / step;
    cache->next = 0;
    cache->pending = 0;
    cache->step = step;
    cache->reload = reload;
    cache->share = 0;
    cache->nx = rec->nx;
    cache->rows = rows;
    cache->depth = d;
    if (state == MRC_SLOT_READY) {
        cache->ready = cache->nslots;
        cache->owed = 0;
    } else {
        cache->ready = 0;
        cache->owed = cache->nslots;
    }

    cache->slots = (mrc_slot_t *)calloc((size_t)cache->nslots, sizeof(mrc_slot_t));
    if (!cache->slots) {
        free(cache);
        mrc_set_errno(MRC_ENOMEM);
        return -1;
    }
    float ***buffer = mrc_array_alloc(cache->nx, cache->rows, cache->depth, 8);
    if (!buffer) {
        free(cache->slots);
        free(cache);
        mrc_set_errno(MRC_ENOMEM);
        return -1;
    }
    if (pthread_mutex_init(&cache->lock, NULL) != 0) {
        mrc_array_free(buffer);
        free(cache->slots);
        free(cache);
        mrc_set_errno(MRC_ERESOURCES);
        return -1;
    }
    for (int s = 0; s < cache->nslots; ++s) {
        cache->slots[s].state = state;
        cache->slots[s].row = -1;
    }
    rec->cache = cache;
    rec->data = buffer;
    return 0;
}

void mrc_cache_destroy(mrc_cache_t *cache, float ***buffer)
{
    pthread_mutex_destroy(&cache->lock);
    free(cache->slots);
    free(cache);
    mrc_array_free(buffer);
}

int mrc_cache_acquire(mrc_image_t *rec, int row)
{
    mrc_cache_t *c = rec->cache;
    int taken = -1;
    pthread_mutex_lock(&c->lock);
    if (row < 0) {
        for (int probe = 0; probe < c->nslots; ++probe) {
            const int s = c->next;
            c->next = (s + 1) % c->nslots;
            if (c->slots[s].state == MRC_SLOT_READY) {
                taken = s;
                break;
            }
        }
    } else {
        for (int s = 0; s < c->nslots; ++s) {
            if (c->slots[s].state == MRC_SLOT_READY && c->slots[s].row == row) {
                taken = s;
                break;
            }
        }
    }
    if (taken >= 0) {
        c->slots[taken].state = MRC_SLOT_TAKEN;
        c->ready -= 1;
    }
    pthread_mutex_unlock(&c->lock);
    return taken;
}

static bool mrc_slot_valid(const mrc_image_t *rec, int slot)
{
    if (slot >= 0 && slot < rec->cache->nslots) return true;
    mrc_set_errno(MRC_EPARAM);
    return false;
}

int mrc_cache_putback(mrc_image_t *rec, int slot)
{
    if (!mrc_slot_valid(rec, slot)) return -1;
    mrc_cache_t *c = rec->cache;
    pthread_mutex_lock(&c->lock);
    c->slots[slot].state = MRC_SLOT_READY;
    c->ready += 1;
    pthread_mutex_unlock(&c->lock);
    mrc_set_errno(MRC_OK);
    return 0;
}

int mrc_cache_release(mrc_image_t *rec, int slot)
{
    if (!mrc_slot_valid(rec, slot)) return -1;
    mrc_cache_t *c = rec->cache;
    pthread_mutex_lock(&c->lock);
    c->owed += 1;
    c->slots[slot].state = MRC_SLOT_FINISHED;
    if (rec->writable) {
        c->pending += 1;  // the row stays: the writer places the group by it
    } else {
        c->slots[slot].row = -1;
        if (rec->axis == 1) c->slots[slot].state = MRC_SLOT_LOAD;
    }
    pthread_mutex_unlock(&c->lock);
    mrc_set_errno(MRC_OK);
    return 0;
}

// The two row accessors take no lock: they are used only on a slot in state
// 2, which belongs to the calling worker alone.
int mrc_cache_set_row(mrc_image_t *rec, int slot, int row)
{
    if (!mrc_slot_valid(rec, slot)) return -1;
    if (row < 0) {
        mrc_set_errno(MRC_EPARAM);
        return -1;
    }
    rec->cache->slots[slot].row = row;
    mrc_set_errno(MRC_OK);
    return 0;
}

int mrc_cache_get_row(mrc_image_t *rec, int slot)
{
    if (!mrc_slot_valid(rec, slot)) return -1;
    mrc_set_errno(MRC_OK);
    return rec->cache->slots[slot].row;
}

int mrc_cache_count(mrc_image_t *rec, int which)
{
    if (which != 0 && which != 1) {
        mrc_set_errno(MRC_EPARAM);
        return -1;
    }
    mrc_set_errno(MRC_OK);
    mrc_cache_t *c = rec->cache;
    pthread_mutex_lock(&c->lock);
    int n;
    if (rec->writable)
        n = which == 0 ? c->ready : c->pending;
    else
        n = which == 0 ? c->owed : c->ready;
    pthread_mutex_unlock(&c->lock);
    return n;
}

int mrc_cache_step(const mrc_image_t *rec)
{
    return rec->cache->step;
}

void mrc_share_cache(mrc_image_t *src, mrc_image_t *dst)
{
    src->cache->share += 1;
    dst->data = src->data;
    dst->cache = src->cache;
}
