// The driver's reader, writer and worker threads in process, on real files,
// with a work item that only tags its slices, so the protocol is what is
// judged. CI also runs these tests from a ThreadSanitizer build.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "driver/config.h"
#include "driver/image_records.h"
#include "driver/threads.h"
#include "tests/driver/e2e_util.h"

namespace {

constexpr int D = 8, ROWS = 8, N = 3, T = 3;

// Every voxel of the write slot holds its first row.
void tag_item(worker_t *w, int r, int ws)
{
    shared_state_t *s = w->shared;
    mrc_slot_view(s->input, w->sino_view, r);
    mrc_image_t slice = {};
    mrc_slot_view(s->output, &slice, ws);
    for (int z = 0; z < slice.ny; z++)
        for (int x = 0; x < slice.nx; x++)
            slice.data[0][z][x] = (float)w->current;
}

// Runs the threads of the team; a run that does not end within a few
// seconds has lost a wake-up, and the test process ends at once.
int run_with_watchdog(thread_team_t *team, mrc_image_t *images)
{
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    int outcome = -2;
    std::thread runner([&] {
        const int o = threads_run(team, images);
        std::lock_guard<std::mutex> lock(m);
        outcome = o;
        done = true;
        cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return done; })) {
        ADD_FAILURE() << "the threads did not end: a sleeping worker was never woken";
        std::fflush(stdout);
        std::_Exit(1);
    }
    lock.unlock();
    runner.join();
    return outcome;
}

// The tilt series is cut short after it was opened: the reader's fill of the
// last rows fails while the workers sleep for want of sinograms. The reader
// reports it and sets stop without waking anyone; the writer sees stop, ends
// and wakes the workers, who have finished every item they could take.
TEST(ThreadProtocol, ReadFailureEndsTheRunThroughTheWriter)
{
    scratch_dir_t dir;
    const std::string ts = dir.file("series.mrc");
    std::vector<float> values((size_t)D * ROWS * N);
    for (size_t i = 0; i < values.size(); i++)
        values[i] = (float)(i % 17);
    ASSERT_TRUE(e2e_write_mrc(ts, D, ROWS, N, values));

    config = config_defaults;
    config.threads = T;
    config.vector_ext = VECTOR_EXT_NONE;
    config.method = 1;
    config.verbosity = 0;
    mrc_image_t *images = mrc_alloc_images(image_record_count(T, 1));
    ASSERT_NE(images, nullptr);
    int read_depth = 2, write_depth = ROWS;
    ASSERT_EQ(mrc_open(ts.c_str(), &images[IMAGE_SERIES], 0, 0, 0, &read_depth, 1), 0);
    ASSERT_EQ(read_depth, 2);
    ASSERT_EQ(mrc_create(dir.file("out.mrc").c_str(), &images[IMAGE_OUTPUT], D, 4, ROWS, 0, &write_depth, 1, 0),
              0);
    ASSERT_EQ(mrc_alloc_data_x1(&images[IMAGE_SLICE_STORE], D, 4, T), 0);

    thread_team_t team = {};
    ASSERT_EQ(threads_prepare(&team, images), 0);
    team.shared.process_fn = tag_item;
    team.reader.period = period_from_seconds(0.02);  // workers sleep between fills
    team.writer.period = period_from_seconds(0.005);
    // Rows 6 and 7 of the last tilt image are gone: three fills of two rows
    // succeed, the fourth fails.
    ASSERT_EQ(truncate(ts.c_str(), 1024 + (off_t)values.size() * 4 - 2 * D * 4 + 4), 0);

    testing::internal::CaptureStderr();
    const int outcome = run_with_watchdog(&team, images);
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(outcome, 1);
    EXPECT_EQ(team.reader.error, 1);
    EXPECT_EQ(team.writer.error, 0);
    EXPECT_EQ(team.shared.stop, 1);
    EXPECT_EQ(err, ts + ": Cannot read image.\n" + ts +
                       ": the file ends before the data its header describes.\n");
    int hits = 0;
    for (int i = 0; i < T; i++)
        hits += team.workers[i].hits;
    EXPECT_EQ(hits, 6);

    threads_release(&team);
    mrc_close(&images[IMAGE_OUTPUT], NULL);
    mrc_close(&images[IMAGE_SERIES], NULL);
    mrc_free_data(&images[IMAGE_SLICE_STORE]);
    std::free(images);
    mrc_finish();
}

}  // namespace
