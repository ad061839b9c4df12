// The slot cache: depth rule, slot states, counters, sharing and release.
#include <gtest/gtest.h>

#include "tests/mrc/mrc_test_util.h"

using namespace mrc_test;

namespace {

// Counters must match the slot table whenever the lock is free.
void expect_invariants(const mrc_image_t &rec)
{
    const mrc_cache_t *c = rec.cache;
    int ready = 0, owed = 0;
    for (int s = 0; s < c->nslots; ++s) {
        const int st = c->slots[s].state;
        ready += st == 0;
        owed += st == 1 || st == 3 || st == 4;
    }
    EXPECT_EQ(c->ready, ready);
    EXPECT_EQ(c->owed, owed);
    if (!rec.writable) {
        EXPECT_EQ(c->pending, 0);
    }
}

TEST(MrcCache, DepthRule)
{
    scratch_dir_t dir;
    struct Case { int request, step, limit, depth; };
    const Case cases[] = {
        {10, 4, 100, 8}, {0, 4, 100, 4}, {-7, 1, 100, 1}, {100, 8, 3, 8},
        {30, 4, 30, 28}, {5, 1, 3, 3}, {16, 8, 100, 16},
    };
    for (const Case &c : cases) {
        mrc_image_t rec;
        int depth = c.request;
        ASSERT_EQ(mrc_create(dir.file("d.mrc").c_str(), &rec, 3, 2, c.limit, 0, &depth, c.step, 0), 0);
        EXPECT_EQ(depth, c.depth) << c.request << " " << c.step << " " << c.limit;
        EXPECT_EQ(rec.cache->depth, c.depth);
        EXPECT_EQ(rec.cache->nslots, c.depth / c.step);
        EXPECT_EQ(rec.cache->rows, 2);
        EXPECT_EQ(rec.cache->nx, 3);
        EXPECT_EQ(mrc_cache_step(&rec), c.step);
        // The buffer holds depth planes of rows x nx floats, one flat block.
        EXPECT_EQ(rec.data[c.depth - 1][1] + 3 - rec.data[0][0], c.depth * 6);
        expect_invariants(rec);
        mrc_close(&rec, NULL);
    }
}

TEST(MrcCache, InitialStatesAndCounts)
{
    scratch_dir_t dir;
    const std::string tilt = dir.file("t.mrc");
    write_volume(tilt, 3, 10, 4, 1, [](int, int, int) { return 0; });
    struct Case { int kind; int state; int count0; int count1; };
    // kind 0: read along axis 0, 1: read along axis 1, 2: write, 3: write reloading
    const Case cases[] = {{0, 1, 4, 0}, {1, 3, 4, 0}, {2, 0, 4, 0}, {3, 3, 0, 0}};
    for (const Case &c : cases) {
        mrc_image_t rec;
        int depth = 4;
        if (c.kind < 2)
            ASSERT_EQ(mrc_open(tilt.c_str(), &rec, c.kind, 0, 0, &depth, 1), 0);
        else
            ASSERT_EQ(mrc_create(dir.file("o.mrc").c_str(), &rec, 3, 4, 10, 0, &depth, 1, c.kind - 2), 0);
        for (int s = 0; s < 4; ++s) {
            EXPECT_EQ(rec.cache->slots[s].state, c.state);
            EXPECT_EQ(rec.cache->slots[s].row, -1);
        }
        EXPECT_EQ(mrc_cache_count(&rec, 0), c.count0) << c.kind;
        EXPECT_EQ(mrc_cache_count(&rec, 1), c.count1) << c.kind;
        EXPECT_EQ(mrc_errno(), 0);
        EXPECT_EQ(mrc_cache_count(&rec, 2), -1);
        EXPECT_EQ(mrc_errno(), 13);
        EXPECT_EQ(rec.cache->rows, c.kind == 0 ? 4 : 10 * (c.kind == 1) + 4 * (c.kind >= 2));
        expect_invariants(rec);
        mrc_close(&rec, NULL);
    }
}

class WriteCache : public ::testing::Test {
protected:
    scratch_dir_t dir;
    mrc_image_t rec;
    void SetUp() override
    {
        int depth = 3;
        ASSERT_EQ(mrc_create(dir.file("w.mrc").c_str(), &rec, 2, 2, 30, 0, &depth, 1, 0), 0);
    }
    void TearDown() override { mrc_close(&rec, NULL); }
    void set_state(int s, int state)
    {
        mrc_cache_t *c = rec.cache;
        c->ready -= c->slots[s].state == 0;
        c->owed -= c->slots[s].state == 1 || c->slots[s].state >= 3;
        c->slots[s].state = state;
        c->ready += state == 0;
        c->owed += state == 1 || state >= 3;
    }
};

TEST_F(WriteCache, RoundRobinCursor)
{
    set_state(1, 2);
    rec.cache->next = 1;
    EXPECT_EQ(mrc_cache_acquire(&rec, -1), 2);
    EXPECT_EQ(rec.cache->next, 0);
    EXPECT_EQ(mrc_cache_acquire(&rec, -1), 0);
    EXPECT_EQ(rec.cache->next, 1);
    EXPECT_EQ(rec.cache->ready, 0);
    // Nothing left: -1 after a full turn, the cursor back where it was, and
    // the thread's error code untouched.
    mrc_cache_count(&rec, 5);
    EXPECT_EQ(mrc_cache_acquire(&rec, -1), -1);
    EXPECT_EQ(rec.cache->next, 1);
    EXPECT_EQ(mrc_errno(), 13);
    EXPECT_EQ(mrc_cache_putback(&rec, 0), 0);
    EXPECT_EQ(mrc_cache_acquire(&rec, -1), 0);
    expect_invariants(rec);
}

TEST_F(WriteCache, AcquireByRow)
{
    for (int s = 0; s < 3; ++s) rec.cache->slots[s].row = 5;
    set_state(0, 3);
    set_state(1, 4);
    set_state(2, 3);
    EXPECT_EQ(mrc_cache_acquire(&rec, 5), -1);  // still to be loaded, or in transfer
    set_state(2, 0);
    set_state(1, 0);
    EXPECT_EQ(mrc_cache_acquire(&rec, 6), -1);
    EXPECT_EQ(mrc_cache_acquire(&rec, 5), 1);  // the lower of two ready slots
    EXPECT_EQ(rec.cache->next, 0);             // by row leaves the cursor alone
    EXPECT_EQ(mrc_cache_acquire(&rec, 5), 2);
    EXPECT_EQ(rec.cache->slots[2].state, 2);
    expect_invariants(rec);
}

TEST_F(WriteCache, ReleaseKeepsRowAndOwesTheWriter)
{
    const int s = mrc_cache_acquire(&rec, -1);
    ASSERT_EQ(mrc_cache_set_row(&rec, s, 12), 0);
    EXPECT_EQ(mrc_cache_get_row(&rec, s), 12);
    ASSERT_EQ(mrc_cache_release(&rec, s), 0);
    EXPECT_EQ(rec.cache->slots[s].state, 1);
    EXPECT_EQ(rec.cache->slots[s].row, 12);
    EXPECT_EQ(rec.cache->owed, 1);
    EXPECT_EQ(rec.cache->pending, 1);
    EXPECT_EQ(mrc_cache_count(&rec, 1), 1);
    expect_invariants(rec);
}

TEST_F(WriteCache, BadArgumentsChangeNothing)
{
    rec.cache->slots[0].row = 4;
    const mrc_cache_t before = *rec.cache;
    for (int bad : {-1, 3}) {
        mrc_cache_count(&rec, 0);
        EXPECT_EQ(mrc_cache_putback(&rec, bad), -1);
        EXPECT_EQ(mrc_errno(), 13);
        mrc_cache_count(&rec, 0);
        EXPECT_EQ(mrc_cache_release(&rec, bad), -1);
        EXPECT_EQ(mrc_errno(), 13);
        mrc_cache_count(&rec, 0);
        EXPECT_EQ(mrc_cache_set_row(&rec, bad, 1), -1);
        EXPECT_EQ(mrc_errno(), 13);
        mrc_cache_count(&rec, 0);
        EXPECT_EQ(mrc_cache_get_row(&rec, bad), -1);
        EXPECT_EQ(mrc_errno(), 13);
    }
    EXPECT_EQ(mrc_cache_set_row(&rec, 0, -2), -1);
    EXPECT_EQ(mrc_errno(), 13);
    EXPECT_EQ(rec.cache->slots[0].row, 4);
    EXPECT_EQ(mrc_cache_get_row(&rec, 1), -1);  // no row, but a valid slot
    EXPECT_EQ(mrc_errno(), 0);
    EXPECT_EQ(rec.cache->ready, before.ready);
    EXPECT_EQ(rec.cache->owed, before.owed);
    EXPECT_EQ(rec.cache->pending, before.pending);
    for (int s = 0; s < 3; ++s) EXPECT_EQ(rec.cache->slots[s].state, 0);
}

TEST(MrcCache, ReleaseOnReadCaches)
{
    scratch_dir_t dir;
    const std::string tilt = dir.file("t.mrc");
    write_volume(tilt, 3, 8, 4, 2, [](int x, int, int) { return x; });
    for (int axis = 0; axis < 2; ++axis) {
        mrc_image_t rec;
        int depth = 2;
        ASSERT_EQ(mrc_open(tilt.c_str(), &rec, axis, 0, 0, &depth, 1), 0);
        const int got = axis == 0 ? mrc_cache_fill_rows(&rec, 0) : mrc_cache_fill_sections(&rec, 0);
        ASSERT_EQ(got, 2);
        const int s = mrc_cache_acquire(&rec, -1);
        ASSERT_EQ(s, 0);
        EXPECT_EQ(mrc_cache_get_row(&rec, s), 0);
        ASSERT_EQ(mrc_cache_release(&rec, s), 0);
        EXPECT_EQ(rec.cache->slots[s].state, axis == 0 ? 1 : 3);
        EXPECT_EQ(rec.cache->slots[s].row, -1);
        EXPECT_EQ(rec.cache->pending, 0);
        EXPECT_EQ(mrc_cache_count(&rec, 0), 1);
        expect_invariants(rec);
        mrc_close(&rec, NULL);
    }
}

TEST(MrcCache, SharedCacheIsFreedByTheLastClose)
{
    scratch_dir_t dir;
    const std::string old = dir.file("old.mrc");
    write_volume(old, 4, 3, 6, 2, [](int x, int y, int z) { return x + 10 * y + 100 * z; });
    mrc_image_t out, resumed;
    int depth = 4;
    ASSERT_EQ(mrc_create(dir.file("new.mrc").c_str(), &out, 4, 3, 6, 0, &depth, 1, 1), 0);
    ASSERT_EQ(mrc_open(old.c_str(), &resumed, 1, 2, 4, NULL), 0);
    mrc_share_cache(&out, &resumed);
    EXPECT_EQ(resumed.cache, out.cache);
    EXPECT_EQ(resumed.data, out.data);
    EXPECT_EQ(out.cache->share, 1);
    // The resumed record loads into the output's slots, from its own range.
    EXPECT_EQ(mrc_cache_fill_sections(&resumed, 0), 4);
    EXPECT_EQ(out.data[1][2][3], 3 + 10 * 2 + 100 * 3);
    EXPECT_EQ(mrc_cache_acquire(&out, 3), 3);
    mrc_cache_t *shared = out.cache;
    ASSERT_EQ(mrc_close(&resumed, NULL), 0);
    EXPECT_EQ(shared->share, 0);  // still alive: under ASan a freed cache would trap
    EXPECT_EQ(shared->slots[3].state, 2);
    out.data[3][0][0] = 1.0f;
    ASSERT_EQ(mrc_close(&out, NULL), 0);  // frees it; a leak checker sees the rest
}

}  // namespace
