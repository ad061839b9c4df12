#!/bin/sh
# Builds Kyvane and runs the whole test suite: once optimised, once under
# AddressSanitizer + UndefinedBehaviorSanitizer in a separate build directory.
set -e
cd "$(dirname "$0")/.."
sh tools/install_deps.sh
JOBS=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j "$JOBS"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYVANE_SANITIZE=ON >/dev/null
ninja -C build-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS"

# The thread protocol once more under ThreadSanitizer: the slot-cache run.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYVANE_TSAN=ON >/dev/null
ninja -C build-tsan test_mrc
TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/test_mrc

# Untrusted headers: a bounded fuzzing run of the MRC reader.
sh tests/mrc/fuzz/run_fuzz.sh 60
