#!/bin/sh
# Compares the kernels of an earlier commit with the current tree in one
# sitting: builds the commit (exported with git archive under
# build/compare/, never committed; its bench/ replaced by the current one,
# so that both builds run the same benchmark code) and the current tree
# side by side, then runs bench_backproject, bench_sirt and bench_cycles of
# both builds back to back, alternating which goes first, ROUNDS times, and
# prints for every case the median, lowest and highest figure of each build
# and the ratio of the medians. Then it checks that both builds write
# byte-identical volumes (bench/check_identical.sh) and, with E2E=1, times
# whole SIRT runs of both with bench/run_benchmark.sh, alternating as well.
#
# Usage: sh bench/compare_builds.sh [commit, default f413910]
# Environment (all optional):
#   ROUNDS   rounds of both benchmarks per build (default 5)
#   SECONDS_PER_CASE  seconds per case of both benchmarks (default 1)
#   ONLY     one extension to benchmark: avx, sse or plain (default all)
#   CYCLE_CALLS  timed calls per case of bench_cycles (default 5)
#   CHECK    0 skips the bit-identity check (default 1)
#   E2E      1 adds the end-to-end SIRT runs (default 0); E2E_ROUNDS runs of
#            each build (default 3), sizes as run_benchmark.sh takes them
#            (defaults here: 128 slices of 1024 x 512 from 121 tilts,
#            10 iterations, all cores)
#   JOBS     parallel build jobs (default 3)
set -e
cd "$(dirname "$0")/.."
REF=${1:-f413910}
ROUNDS=${ROUNDS:-5}
SECONDS_PER_CASE=${SECONDS_PER_CASE:-1}
JOBS=${JOBS:-3}
TARGETS="kyvane make_tilt_series bench_backproject bench_sirt bench_cycles"
. bench/build_beside.sh

# One line "case value" per measured case of one benchmark run.
parse_backproject() {
    awk '/^backproject_/ && /voxel-updates/ {
        for (i = 1; i <= NF; i++) if ($i == "G") v = $(i - 1)
        printf "%s_t%s %s\n", $1, $3, v
    }'
}
parse_sirt() {
    awk -F'|' '/^(avx|sse|scalar) / && NF >= 4 {
        split($1, h, " "); split($2, f, " "); split($3, b, " "); split($4, it, " ")
        c = h[2] "_" h[1]
        printf "fwd_%s_t1 %s\nfwd_%s_tall %s\nback_%s_t1 %s\nback_%s_tall %s\n", c, f[1], c, f[2], c, b[1], c, b[2]
        printf "sirt_iteration_%s_seconds %s\n", c, it[1]
    }'
}

parse_cycles() {
    awk '/^cycles_/ { printf "%s %s\n", $1, $2 }'
}

raw=$OUT/raw.txt
: >"$raw"
echo "Benchmarks of $ref_id (old) and the current tree (new), $ROUNDS rounds, alternating"
r=1
while [ "$r" -le "$ROUNDS" ]; do
    if [ $((r % 2)) = 1 ]; then order="old new"; else order="new old"; fi
    for b in $order; do
        dir=$OLD
        [ "$b" = new ] && dir=$NEW
        bp_only=${ONLY:-} sirt_only=${ONLY:-}
        [ "$sirt_only" = plain ] && sirt_only=scalar
        "$dir/bench/bench_backproject" "$SECONDS_PER_CASE" $bp_only | parse_backproject | sed "s/^/$b /" >>"$raw"
        "$dir/bench/bench_sirt" "$SECONDS_PER_CASE" $sirt_only | parse_sirt | sed "s/^/$b /" >>"$raw"
        "$dir/bench/bench_cycles" "${CYCLE_CALLS:-5}" $bp_only | parse_cycles | sed "s/^/$b /" >>"$raw"
    done
    echo "round $r of $ROUNDS done"
    r=$((r + 1))
done

# Medians and spread per case; G voxel-updates/s except the iteration time.
summarise() {
    awk '
    { key = $2; v[$1, key, ++n[$1, key]] = $3; if (!(key in seen)) { seen[key] = 1; order[++k] = key } }
    function sorted(b, key, m,   i, j, t) {
        for (i = 1; i <= m; i++) s[i] = v[b, key, i]
        for (i = 2; i <= m; i++) for (j = i; j > 1 && s[j - 1] + 0 > s[j] + 0; j--) { t = s[j]; s[j] = s[j - 1]; s[j - 1] = t }
    }
    function median(m) { return m % 2 ? s[(m + 1) / 2] : (s[m / 2] + s[m / 2 + 1]) / 2 }
    END {
        printf "%-34s %24s %24s %8s\n", "case (G voxel-updates/s; s; cycles)", "old median [min max]", "new median [min max]", "speed-up"
        for (i = 1; i <= k; i++) {
            key = order[i]
            mo = n["old", key]; mn = n["new", key]
            if (!mo || !mn) continue
            sorted("old", key, mo); om = median(mo); olo = s[1]; ohi = s[mo]
            sorted("new", key, mn); nm = median(mn); nlo = s[1]; nhi = s[mn]
            lower = key ~ /seconds$/ || key ~ /^cycles_/
            ratio = lower ? (nm > 0 ? om / nm : 0) : (om > 0 ? nm / om : 0)
            printf "%-34s %8.3f [%6.3f %6.3f] %8.3f [%6.3f %6.3f] %8.2f\n", key, om, olo, ohi, nm, nlo, nhi, ratio
        }
    }' "$1"
}
echo
summarise "$raw"
echo "(speed-up: ratio of the medians, new/old for rates, old/new for times and cycles per update;"
echo " cycles: core cycles per L-lane update on one thread, from bench_cycles)"

if [ "${CHECK:-1}" = 1 ]; then
    echo
    echo "Bit identity of the volumes, $ref_id against the current tree:"
    sh bench/check_identical.sh "$OLD" "$NEW"
fi

if [ "${E2E:-0}" = 1 ]; then
    echo
    echo "End to end: SIRT, ${ITERATIONS:-10} iterations, run_benchmark.sh of each build, alternating"
    e2e=$OUT/e2e.txt
    : >"$e2e"
    export DETECTOR=${DETECTOR:-1024} TILTS=${TILTS:-121} THICKNESS=${THICKNESS:-512}
    export ROWS=${ROWS:-128} SIRT_ROWS=${SIRT_ROWS:-128} ITERATIONS=${ITERATIONS:-10}
    export THREADS=${THREADS:-$(nproc)} METHODS=SIRT REPEAT=1
    r=1
    while [ "$r" -le "${E2E_ROUNDS:-3}" ]; do
        if [ $((r % 2)) = 1 ]; then order="old new"; else order="new old"; fi
        for b in $order; do
            dir=$OLD
            [ "$b" = new ] && dir=$NEW
            # Columns of run_benchmark.sh: method threads wall ... recon ...
            WORK_DIR=$OUT/e2e-work sh bench/run_benchmark.sh "$dir" |
                awk -v b="$b" '$1 == "SIRT" { printf "%s sirt_wall_seconds %s\n%s sirt_recon_seconds %s\n", b, $3, b, $7 }' >>"$e2e"
        done
        r=$((r + 1))
    done
    summarise "$e2e"
    echo "(wall: the whole process; recon: the time report's reconstruction time)"
fi
