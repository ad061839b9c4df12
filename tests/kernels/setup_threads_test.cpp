// The set-up's threads: every index handled once, and the tables they build
// the same, byte for byte, as the tables of a plain loop.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kernels/geometry.h"
#include "kernels/setup_threads.h"
#include "kernels/sirt_tables.h"
#include "tests/kernels/kernel_layout_util.h"

using namespace layout_test;

namespace {

struct threads_setting {
    explicit threads_setting(int n) : saved(setup_threads) { setup_threads = n; }
    ~threads_setting() { setup_threads = saved; }
    int saved;
};

TEST(SetupThreadsTest, EveryIndexOnceOnSeveralThreads)
{
    struct row {
        int n, threads;
    } rows[] = {{0, 4}, {1, 4}, {7, 1}, {7, 3}, {40, 8}, {3, 8}};
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << "n=" << r.n << " threads=" << r.threads);
        threads_setting t(r.threads);
        std::vector<std::atomic<int>> seen(r.n);
        std::mutex m;
        std::set<std::thread::id> ids;
        const bool shared = r.threads > 1 && r.n >= 2;
        setup_parallel_for(r.n, [&](int i) {
            ASSERT_GE(i, 0);
            ASSERT_LT(i, r.n);
            seen[i]++;
            {
                std::lock_guard<std::mutex> lock(m);
                ids.insert(std::this_thread::get_id());
            }
            // The first index waits for a helper to take the next one: the
            // caller alone must not be able to finish the loop.
            for (int waited = 0; shared && i == 0 && waited < 2000; ++waited) {
                {
                    std::lock_guard<std::mutex> lock(m);
                    if (ids.size() > 1) break;
                }
                usleep(1000);
            }
        });
        for (int i = 0; i < r.n; ++i) EXPECT_EQ(1, seen[i].load()) << i;
        if (shared) {
            EXPECT_GT(ids.size(), 1u);
        }
        if (r.threads == 1 && r.n > 0) {
            ASSERT_EQ(1u, ids.size());
            EXPECT_EQ(std::this_thread::get_id(), *ids.begin());
        }
    }
}

// What projection_geometry_init and sirt_init leave, as bytes.
std::vector<char> table_bytes(int W, int H, int D, const std::vector<float> &angles, int s,
                              int interp, int ext)
{
    std::vector<char> out;
    geometry_holder g(W, H, D, angles, s, interp, ext);
    EXPECT_TRUE(g.ok);
    if (!g.ok) return out;
    const int N = (int)angles.size(), R = s * (H / 2);
    EXPECT_EQ(0, sirt_init(H, D, N, angles.data(), s, 1, interp, ext));
    auto add = [&](const void *p, size_t n) {
        out.insert(out.end(), (const char *)p, (const char *)p + n);
    };
    add(ray_table[0], sizeof(ray_segment_t) * (size_t)R * N);
    add(ray_table_by_angle[0], sizeof(ray_segment_t) * (size_t)R * N);
    add(cos_table, sizeof(float) * N);
    add(ray_weights[0], sizeof(float) * (size_t)D * N);
    sirt_tables_free();
    return out;
}

// Slice rows not a multiple of one thread's share, pieces, both samplings
// and every extension's layout.
TEST(SetupThreadsTest, TablesOnThreadsMatchAPlainLoop)
{
    std::vector<float> angles;
    for (int a = -61; a <= 61; a += 4) angles.push_back((float)a + 0.25f);
    struct row {
        int W, H, D, s, interp, ext;
    } rows[] = {{64, 46, 71, 1, 1, 0}, {96, 30, 100, 3, 0, 0}, {48, 18, 53, 2, 1, 1},
                {40, 22, 41, 4, 0, 2}, {512, 200, 601, 2, 1, 0}};
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << "W=" << r.W << " H=" << r.H << " s=" << r.s
                                        << " interp=" << r.interp << " ext=" << r.ext);
        std::vector<char> plain, spread;
        {
            threads_setting t(1);
            plain = table_bytes(r.W, r.H, r.D, angles, r.s, r.interp, r.ext);
        }
        {
            threads_setting t(5);
            spread = table_bytes(r.W, r.H, r.D, angles, r.s, r.interp, r.ext);
        }
        ASSERT_FALSE(plain.empty());
        ASSERT_EQ(plain.size(), spread.size());
        EXPECT_EQ(0, memcmp(plain.data(), spread.data(), plain.size()));
    }
}

TEST(SetupThreadsTest, TouchedPagesKeepTheBufferWhole)
{
    threads_setting t(4);
    // Not a whole number of chunks or pages, and a guard word past its end.
    const size_t bytes = ((size_t)5 << 20) + 12345;
    std::vector<unsigned char> buf(bytes + 64, 0xab);
    setup_touch_pages(buf.data(), bytes);
    for (size_t i = bytes; i < buf.size(); ++i) ASSERT_EQ(0xab, buf[i]) << i;
}

}  // namespace
