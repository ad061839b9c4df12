// A reconstruction run in miniature: a reader fills the tilt series' read
// cache, workers move tagged slices into the output's write cache, a writer
// flushes it, also when it resumes a volume. Every row must arrive once, in
// its place. CI also runs these tests from a ThreadSanitizer build.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/mrc/mrc_test_util.h"

using namespace mrc_test;

namespace {

constexpr int W = 12, H = 37, N = 5;  // width, rows (slices), tilt images

double tilt_value(int x, int y, int k)
{
    return y * 100 + k * 16 + x;
}

// The counters match the slot table (taken under the cache lock).
bool invariants_hold(mrc_image_t *rec)
{
    mrc_cache_t *c = rec->cache;
    pthread_mutex_lock(&c->lock);
    int ready = 0, owed = 0, finished = 0;
    for (int s = 0; s < c->nslots; ++s) {
        const int st = c->slots[s].state;
        ready += st == 0;
        owed += st == 1 || st == 3 || st == 4;
        finished += st == 1;
    }
    bool ok = c->ready == ready && c->owed == owed;
    if (rec->writable) ok = ok && c->pending >= finished && c->pending <= owed;
    pthread_mutex_unlock(&c->lock);
    return ok;
}

class MiniRun : public ::testing::TestWithParam<int> {};

TEST_P(MiniRun, EveryRowOnceInItsPlace)
{
    const int step = GetParam();
    scratch_dir_t dir;
    const std::string tilt = dir.file("tilt.mrc");
    write_volume(tilt, W, H, N, 1, tilt_value);

    mrc_image_t in, out;
    int read_depth = 3 * step, write_depth = 2 * step;
    ASSERT_EQ(mrc_open(tilt.c_str(), &in, 0, 0, 0, &read_depth, step), 0);
    // The slice of a row is its sinogram, tagged: 2v + 1.
    const std::string vol = dir.file("vol.mrc");
    ASSERT_EQ(mrc_create(vol.c_str(), &out, W, N, H, 0, &write_depth, step, 0), 0);

    const int groups = (H + step - 1) / step;
    std::atomic<int> done_groups{0};
    std::atomic<bool> failed{false};
    std::vector<std::atomic<int>> seen(H);
    for (auto &s : seen) s = 0;

    std::thread reader([&] {
        int cursor = 0;
        while (cursor < in.ny && !failed) {
            if (mrc_cache_count(&in, 0) > 0) {
                cursor += mrc_cache_fill_rows(&in, cursor);
                if (mrc_errno() != 0) failed = true;
            }
            std::this_thread::yield();
        }
    });
    std::thread writer([&] {
        int written = 0;
        while (written < H && !failed) {
            if (mrc_cache_count(&out, 1) > 0) {
                written += mrc_cache_flush(&out);
                if (mrc_errno() != 0) failed = true;
                if (!invariants_hold(&in) || !invariants_hold(&out)) failed = true;
            }
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            mrc_image_t sino = {}, slice = {};
            while (done_groups < groups && !failed) {
                const int rs = mrc_cache_acquire(&in, -1);
                if (rs < 0) {
                    std::this_thread::yield();
                    continue;
                }
                const int ws = mrc_cache_acquire(&out, -1);
                if (ws < 0) {
                    mrc_cache_putback(&in, rs);
                    std::this_thread::yield();
                    continue;
                }
                const int row = mrc_cache_get_row(&in, rs);
                mrc_cache_set_row(&out, ws, row);
                mrc_slot_view(&in, &sino, rs);
                mrc_slot_view(&out, &slice, ws);
                for (int l = 0; l < step && row + l < H; ++l) {
                    seen[row + l] += 1;
                    for (int k = 0; k < N; ++k)
                        for (int x = 0; x < W; ++x)
                            slice.data[l][k][x] = 2 * sino.data[l][k][x] + 1;
                }
                mrc_cache_release(&in, rs);
                mrc_cache_release(&out, ws);
                done_groups += 1;
            }
        });
    }
    for (auto &w : workers) w.join();
    reader.join();
    writer.join();
    ASSERT_FALSE(failed);
    for (int y = 0; y < H; ++y) EXPECT_EQ(seen[y], 1) << "row " << y;
    EXPECT_TRUE(invariants_hold(&in));
    EXPECT_TRUE(invariants_hold(&out));
    EXPECT_EQ(out.cache->pending, 0);
    EXPECT_EQ(out.cache->ready, out.cache->nslots);
    EXPECT_EQ(in.cache->ready, 0);
    ASSERT_EQ(mrc_close(&out, NULL), 0);
    ASSERT_EQ(mrc_close(&in, NULL), 0);

    const std::string b = read_whole_file(vol);
    ASSERT_EQ(b.size(), 1024u + (size_t)W * N * H * 4);
    const float *v = (const float *)(b.data() + 1024);
    for (int z = 0; z < H; ++z)
        for (int k = 0; k < N; ++k)
            for (int x = 0; x < W; ++x)
                ASSERT_EQ(v[(z * N + k) * W + x], 2 * tilt_value(x, z, k) + 1) << z << " " << k;
    float amin, amax;
    memcpy(&amin, b.data() + 76, 4);
    memcpy(&amax, b.data() + 80, 4);
    EXPECT_EQ(amin, 1.0f);
    EXPECT_EQ(amax, 2 * tilt_value(W - 1, H - 1, N - 1) + 1);
}

INSTANTIATE_TEST_SUITE_P(Steps, MiniRun, ::testing::Values(1, 4, 8));

// The same run resuming a volume: the writer loads the write slots with the
// volume's sections and reloads them after each flush; a worker takes the
// write slot that holds its own rows and puts its read slot back until the
// writer has loaded it. Each slice is the resumed one plus the tagged
// sinogram, so a slice placed in the wrong slot or loaded twice shows.
class ResumedMiniRun : public ::testing::TestWithParam<int> {};

double old_value(int x, int k, int z)
{
    return 0.5 + z * 7 + k * 3 + x * 0.25;
}

TEST_P(ResumedMiniRun, EverySliceContinuesItsOwnSection)
{
    const int step = GetParam();
    scratch_dir_t dir;
    const std::string tilt = dir.file("tilt.mrc");
    write_volume(tilt, W, H, N, 1, tilt_value);
    const std::string old = dir.file("old.mrc");
    write_volume(old, W, N, H, 2, old_value);

    mrc_image_t in, out, resumed;
    int read_depth = 3 * step, write_depth = 2 * step;
    ASSERT_EQ(mrc_open(tilt.c_str(), &in, 0, 0, 0, &read_depth, step), 0);
    ASSERT_EQ(mrc_open(old.c_str(), &resumed, 1, 0, 0, NULL), 0);
    const std::string vol = dir.file("vol.mrc");
    ASSERT_EQ(mrc_create(vol.c_str(), &out, W, N, H, 0, &write_depth, step, 1), 0);
    mrc_share_cache(&out, &resumed);

    const int groups = (H + step - 1) / step;
    std::atomic<int> done_groups{0};
    std::atomic<bool> failed{false};
    std::vector<std::atomic<int>> seen(H);
    for (auto &s : seen) s = 0;
    // Workers that never find their slot would retry for ever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto too_late = [&] {
        if (std::chrono::steady_clock::now() > deadline) failed = true;
        return failed.load();
    };

    std::thread reader([&] {
        int cursor = 0;
        while (cursor < in.ny && !too_late()) {
            if (mrc_cache_count(&in, 0) > 0) {
                cursor += mrc_cache_fill_rows(&in, cursor);
                if (mrc_errno() != 0) failed = true;
            }
            std::this_thread::yield();
        }
    });
    std::thread writer([&] {
        int loaded = mrc_cache_fill_sections(&resumed, 0);
        if (mrc_errno() != 0) failed = true;
        int written = 0;
        while (written < H && !too_late()) {
            if (mrc_cache_count(&out, 1) > 0) {
                written += mrc_cache_flush(&out);
                if (mrc_errno() != 0) failed = true;
                if (loaded < H) {
                    loaded += mrc_cache_fill_sections(&resumed, loaded);
                    if (mrc_errno() != 0) failed = true;
                }
                if (!invariants_hold(&in) || !invariants_hold(&out)) failed = true;
            }
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            mrc_image_t sino = {}, slice = {};
            while (done_groups < groups && !too_late()) {
                const int rs = mrc_cache_acquire(&in, -1);
                if (rs < 0) {
                    std::this_thread::yield();
                    continue;
                }
                const int row = mrc_cache_get_row(&in, rs);
                const int ws = mrc_cache_acquire(&out, row);
                if (ws < 0) {
                    mrc_cache_putback(&in, rs);
                    std::this_thread::yield();
                    continue;
                }
                mrc_cache_set_row(&out, ws, row);
                mrc_slot_view(&in, &sino, rs);
                mrc_slot_view(&out, &slice, ws);
                for (int l = 0; l < step && row + l < H; ++l) {
                    seen[row + l] += 1;
                    for (int k = 0; k < N; ++k)
                        for (int x = 0; x < W; ++x)
                            slice.data[l][k][x] += 2 * sino.data[l][k][x] + 1;
                }
                mrc_cache_release(&in, rs);
                mrc_cache_release(&out, ws);
                done_groups += 1;
            }
        });
    }
    for (auto &w : workers) w.join();
    reader.join();
    writer.join();
    ASSERT_FALSE(failed);
    for (int y = 0; y < H; ++y) EXPECT_EQ(seen[y], 1) << "row " << y;
    EXPECT_TRUE(invariants_hold(&out));
    EXPECT_EQ(out.cache->pending, 0);
    ASSERT_EQ(mrc_close(&resumed, NULL), 0);
    ASSERT_EQ(mrc_close(&out, NULL), 0);
    ASSERT_EQ(mrc_close(&in, NULL), 0);

    const std::string b = read_whole_file(vol);
    ASSERT_EQ(b.size(), 1024u + (size_t)W * N * H * 4);
    const float *v = (const float *)(b.data() + 1024);
    for (int z = 0; z < H; ++z)
        for (int k = 0; k < N; ++k)
            for (int x = 0; x < W; ++x)
                ASSERT_EQ(v[(z * N + k) * W + x],
                          (float)old_value(x, k, z) + (float)(2 * tilt_value(x, z, k) + 1))
                    << z << " " << k;
}

INSTANTIATE_TEST_SUITE_P(Steps, ResumedMiniRun, ::testing::Values(1, 4, 8));

}  // namespace
