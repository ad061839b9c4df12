// The thread protocol end to end: many workers on the smallest buffers
// (fewer slots than workers), resumed runs whose workers wait for reloaded
// slots, and the trace of the threads. These runs are also meant to be run
// from a ThreadSanitizer build (-DKYVANE_TSAN=ON), where any data race makes
// the program fail.
#include <gtest/gtest.h>


#include "tests/driver/e2e_util.h"

namespace {

// The lines of text, without their line ends; a carriage return (the end of
// a progress line) ends a line too.
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines(1);
    for (char c : text) {
        if (c == '\n' || c == '\r')
            lines.emplace_back();
        else
            lines.back() += c;
    }
    return lines;
}

// The numbers of a comma-separated list such as "3, 4, 5".
std::vector<double> numbers_of(const std::string &list)
{
    std::vector<double> out;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');)
        out.push_back(std::stod(item));
    return out;
}

class E2eThreads : public ::testing::Test {
protected:
    scratch_dir_t dir;
    e2e_series_t series = e2e_make_series(48, 21, 41, 24);
    std::string ts = dir.file("series.mrc"), tlt = dir.file("series.tlt");

    void SetUp() override { e2e_write_series(series, ts, tlt); }

    e2e_volume_t run(const std::string &name, std::vector<std::string> extra)
    {
        std::vector<std::string> a = {"-a", tlt, "-i", ts, "-o", dir.file(name), "-f", "-v", "0"};
        a.insert(a.end(), extra.begin(), extra.end());
        const run_result_t r = e2e_run(a);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0) << r.err;
        return e2e_read_volume(dir.file(name));
    }
};

// 21 rows do not fill the last slot of 4 or 8 lanes; -b 1,1 leaves one slot
// in each cache for up to 16 workers.
TEST_F(E2eThreads, ManyWorkersOnTinyBuffers)
{
    for (const char *ext : {"none", "sse", "avx"}) {
        for (bool sirt : {false, true}) {
            std::vector<std::string> method = {"-e", ext};
            if (sirt)
                method.insert(method.end(), {"-S", "-l", "3"});
            const e2e_volume_t ref = run("ref.mrc", method);
            for (const auto &extra : std::vector<std::vector<std::string>>{
                     {"-t", "16", "-b", "1,1"}, {"-t", "7", "-b", "1,9"}, {"-t", "3", "-b", "17,1"}}) {
                std::vector<std::string> o = method;
                o.insert(o.end(), extra.begin(), extra.end());
                const e2e_volume_t v = run("tiny.mrc", o);
                ASSERT_TRUE(v.ok);
                EXPECT_EQ(e2e_relative_difference(ref.data, v.data), 0.0)
                    << ext << sirt << extra[1] << extra[3];
            }
        }
    }
}

// Resumed runs take the write slot holding their own rows; with tiny buffers
// workers keep retrying until the writer has reloaded it.
TEST_F(E2eThreads, ResumeOnTinyBuffers)
{
    for (const char *ext : {"none", "avx"}) {
        run("first.mrc", {"-S", "-l", "2", "-e", ext});
        const e2e_volume_t resumed =
            run("resumed.mrc", {"-S", "-l", "2", "-e", ext, "-t", "9", "-b", "1,1", "-r",
                                dir.file("first.mrc")});
        const e2e_volume_t once = run("once.mrc", {"-S", "-l", "4", "-e", ext});
        EXPECT_LT(e2e_relative_difference(once.data, resumed.data), 1e-4) << ext;
    }
}

TEST_F(E2eThreads, TraceAndWorkerReports)
{
    const run_result_t r = e2e_run({"-a", tlt, "-i", ts, "-o", dir.file("trace.mrc"), "-f", "-v", "5",
                                    "-e", "sse", "-t", "3", "-b", "4,4"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *line : {"I/O threads up and running.\n", "Worker 2 is born.\n",
                             "Reader: dataset read from disk.\n", "Writer: volume written to disk.\n",
                             "Worker 0 is running now.\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
    long sec = -1, nsec = -1;
    const size_t wake = r.out.find("Reader: I wake up every ");
    ASSERT_NE(wake, std::string::npos);
    EXPECT_EQ(std::sscanf(r.out.c_str() + wake, "Reader: I wake up every %ld sec. %ld nsec.", &sec, &nsec), 2);
    EXPECT_GE(sec, 0);
    EXPECT_TRUE(nsec >= 0 && nsec < 1000000000L);
    EXPECT_EQ(r.out.find("% completed"), std::string::npos);  // no progress line at level 5

    // Every sinogram group is processed once: the hits add up to the rows,
    // rounded up to whole groups of 4.
    const run_result_t v3 = e2e_run({"-a", tlt, "-i", ts, "-o", dir.file("v3.mrc"), "-f", "-v", "3",
                                     "-e", "sse", "-t", "4"});
    ASSERT_EQ(v3.status, 0) << v3.err;
    int hits = 0, workers = 0;
    for (const std::string &line : lines_of(v3.out)) {
        int index = -1, n = 0;
        if (std::sscanf(line.c_str(), "Worker %d dying with %d hits.", &index, &n) == 2) {
            hits += n;
            workers++;
        }
    }
    EXPECT_EQ(workers, 4);
    EXPECT_EQ(hits, 24);
    EXPECT_NE(v3.out.find("Worker 3 times (in sec.):\n"), std::string::npos);
}

// At verbosity 2 every row of the window gets one coefficient; a group that
// runs past the last row prints only the rows inside the window.
TEST_F(E2eThreads, CorrelationLinesCoverEveryRowOnce)
{
    for (const char *ext : {"none", "sse", "avx"}) {
        const run_result_t r = e2e_run({"-a", tlt, "-i", ts, "-o", dir.file("corr.mrc"), "-f", "-S",
                                        "-l", "6", "-v", "2", "-e", ext, "-t", "3", "-y", "2,20"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find("% completed"), std::string::npos);  // no progress line at level 2
        std::vector<int> seen(21, 0);
        for (const std::string &line : lines_of(r.out)) {
            std::vector<double> rows, values;
            int row = -1;
            double value = 0;
            const size_t open1 = line.find('{'), close1 = line.find('}');
            const size_t open2 = line.rfind('{'), close2 = line.rfind('}');
            if (std::sscanf(line.c_str(), "Sinogram %d: Correlation = %lf", &row, &value) == 2) {
                rows = {(double)row};
                values = {value};
            } else if (line.rfind("Sinograms{", 0) == 0 && close2 == line.size() - 1) {
                rows = numbers_of(line.substr(open1 + 1, close1 - open1 - 1));
                values = numbers_of(line.substr(open2 + 1, close2 - open2 - 1));
                ASSERT_NE(line.find("}: Correlation = {"), std::string::npos) << line;
            } else {
                continue;
            }
            ASSERT_EQ(rows.size(), values.size()) << line;
            for (size_t k = 0; k < rows.size(); k++) {
                const int y = (int)rows[k];
                ASSERT_GE(y, 2);
                ASSERT_LE(y, 20);
                seen[y]++;
                EXPECT_LE(std::fabs(values[k]), 1.0 + 1e-5);
                // Rows cut through the phantom are matched closely after 5 steps.
                if (y >= 5 && y <= 15) {
                    EXPECT_GT(values[k], 0.9) << line;
                }
            }
        }
        for (int y = 2; y <= 20; y++)
            EXPECT_EQ(seen[y], 1) << ext << " row " << y;
    }
    // The short group at the end of the window, as one line.
    const run_result_t r = e2e_run({"-a", tlt, "-i", ts, "-o", dir.file("corr.mrc"), "-f", "-S", "-l",
                                    "1", "-v", "2", "-e", "avx", "-y", "3,20"});
    ASSERT_EQ(r.status, 0) << r.err;
    bool found = false;
    for (const std::string &line : lines_of(r.out)) {
        double a = 0, b = 0;
        char end = 0;
        if (std::sscanf(line.c_str(), "Sinograms{19, 20}: Correlation = {%lf, %lf%c", &a, &b, &end) == 3 &&
            end == '}' && line.back() == '}')
            found = true;
    }
    EXPECT_TRUE(found) << r.out;
}

}  // namespace
