#!/bin/sh
# Builds the libMRC fuzz target with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it from a fresh seed corpus for a
# bounded time (default 60 s). Needs clang and libclang-rt-14-dev.
#   sh tests/mrc/fuzz/run_fuzz.sh [seconds] [build-dir]
# Exit status 0 when no crash was found; crashing inputs are left in
# <build-dir>/artifacts/ and belong in a regular test once understood.
set -e
ROOT="$(cd "$(dirname "$0")/../../.." && pwd)"
SECONDS_TO_RUN="${1:-60}"
OUT="${2:-$ROOT/build-fuzz}"
mkdir -p "$OUT/corpus" "$OUT/seeds" "$OUT/artifacts"

clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -I"$ROOT" \
    "$ROOT"/mrc/*.cpp "$ROOT/tests/mrc/fuzz/fuzz_mrc_open.cpp" \
    -o "$OUT/fuzz_mrc_open" -pthread

python3 "$ROOT/tests/mrc/fuzz/make_seeds.py" "$OUT/seeds"

"$OUT/fuzz_mrc_open" -max_total_time="$SECONDS_TO_RUN" -max_len=16384 \
    -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$OUT/artifacts/" "$OUT/corpus" "$OUT/seeds"
