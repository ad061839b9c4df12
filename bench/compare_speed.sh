#!/bin/sh
# The whole-run comparison of the speed work: WBP, SIRT with 2 and 10
# iterations at the benchmark size and SIRT on 1,024 rows, each on a tmpfs
# and on a disk, this tree against commit REF (default 243ec1f), builds
# alternating in one sitting (bench/compare_whole_runs.sh). Prints the
# machine first, since figures only compare on one machine.
# Usage: sh bench/compare_speed.sh [commit]; ROUNDS (default 5) and the
# other settings of compare_whole_runs.sh apply.
set -e
cd "$(dirname "$0")/.."
lscpu | grep -E '^(Model name|CPU\(s\)|Thread|L1d|L2|L3)' || true
CASES=${CASES:-"WBP SIRT:2 SIRT:10 SIRT:2@1024"} TUNABLE=${TUNABLE:-0} ROUNDS=${ROUNDS:-5} \
    sh bench/compare_whole_runs.sh "${1:-243ec1f}"
build/compare/build-current/kyvane -d | sed -n '/Processor *: -1/,$p'
