#!/bin/sh
# Builds Kyvane and runs the whole test suite: a bounded fuzzing run of the
# MRC reader, the thread protocol under ThreadSanitizer, everything under
# AddressSanitizer + UndefinedBehaviorSanitizer, and last everything in the
# optimised build. Each stage has its own build directory.
set -e
cd "$(dirname "$0")/.."
sh tools/install_deps.sh
JOBS=$(nproc)

# Untrusted headers: arbitrary bytes fed to the MRC reader for a minute.
sh tests/mrc/fuzz/run_fuzz.sh 60

# The slot cache and the reader/writer/worker protocol under ThreadSanitizer;
# the end-to-end thread tests, stop signals and output replacement run a
# TSan-built kyvane. These are the tests labelled "threads" in
# tests/CMakeLists.txt.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYVANE_TSAN=ON >/dev/null
ninja -C build-tsan test_mrc_threads test_driver_threads kyvane
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j "$JOBS" -L '^threads$'

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYVANE_SANITIZE=ON >/dev/null
ninja -C build-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j "$JOBS"
