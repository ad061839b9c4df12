#!/bin/sh
# Whole runs of an earlier commit and of the current tree in one sitting:
# builds the commit beside the current tree (bench/build_beside.sh), makes
# one synthetic tilt series, then runs the whole command of each build in
# turn, ROUNDS times per case, and prints for
# every case the median, lowest and highest minor page faults, wall time,
# user and system time and peak resident size of each build, with the
# ratios of the medians. A third build, "tunable", is the old one (or, with
# TUNABLE=new, the current one) under GLIBC_TUNABLES=glibc.malloc.hugetlb=1:
# the C library then marks every large allocation for transparent huge
# pages, the reference for what huge pages can give.
# Cases: those of CASES (by default WBP and SIRT), each with its output in
# every folder of OUTPUTS (a tmpfs and a disk by default), each under every
# THP mode of THP_MODES.
# Every run starts after a sync, so a disk still writing back the volume of
# the run before does not slow the next one. What ran before still counts:
# after a run on 4 KB pages, free memory is fragmented and the next run's
# huge pages may cost the kernel a compaction. So the rounds go through
# every order of the builds (all six of three in six rounds), and each build
# follows each other one equally often.
#
# Usage: sh bench/compare_whole_runs.sh [commit, default 6ed9265]
# Environment (all optional):
#   ROUNDS      runs of each build per case (default 6)
#   OUTPUTS     folders the volume is written to (default: /dev/shm/kyvane-whole
#               and build/compare/whole-disk); the series lies in the first
#   METHODS     "WBP SIRT" (default), or one of them
#   CASES       runs to compare, each WBP or SIRT, optionally followed by
#               :ITERATIONS (SIRT) and @ROWS (tilt-series rows), e.g.
#               "WBP SIRT:2 SIRT:10 SIRT:2@1024"; default: METHODS with
#               ITERATIONS and ROWS
#   TUNABLE     the build run under the tunable: old (default), new, or 0 for
#               no tunable runs
#   THP_MODES   transparent-huge-page modes to run under, of "always madvise
#               never" (default: the mode the machine has, unchanged).
#               Setting one needs root; the mode found is put back at the end,
#               also when a run fails or the script is interrupted.
#   DETECTOR, ROWS, TILTS, THICKNESS  sizes (default 1024, 128, 121, 512)
#   THREADS     worker threads (default 8)
#   BUFFERS     read-write buffers, -b (default 128,128)
#   ITERATIONS  SIRT iterations (default 2)
#   OUTPUT_CASES  "new" (default: the volume is a new file each run),
#               "replace" (it replaces the volume of the run before, a plain
#               file of its owner), or "new replace"
#   JOBS        parallel build jobs (default 3)
set -e
cd "$(dirname "$0")/.."
REF=${1:-6ed9265}
ROUNDS=${ROUNDS:-6}
METHODS=${METHODS:-"WBP SIRT"}
TUNABLE=${TUNABLE:-old}
DETECTOR=${DETECTOR:-1024}
ROWS=${ROWS:-128}
TILTS=${TILTS:-121}
THICKNESS=${THICKNESS:-512}
THREADS=${THREADS:-8}
BUFFERS=${BUFFERS:-128,128}
ITERATIONS=${ITERATIONS:-2}
JOBS=${JOBS:-3}
OUTPUT_CASES=${OUTPUT_CASES:-new}
CASES=${CASES:-$(for m in $METHODS; do [ "$m" = SIRT ] && printf 'SIRT:%s ' "$ITERATIONS" || printf '%s ' "$m"; done)}
TARGETS="kyvane make_tilt_series"
. bench/build_beside.sh
OUTPUTS=${OUTPUTS:-"/dev/shm/kyvane-whole $OUT/whole-disk"}

THP=/sys/kernel/mm/transparent_hugepage/enabled
thp_mode() {
    [ -r "$THP" ] && sed 's/.*\[\(.*\)\].*/\1/' "$THP" || echo none
}
THP_FOUND=$(thp_mode)
THP_MODES=${THP_MODES:-$THP_FOUND}
# Puts the mode found back, whatever ends the script.
restore_thp() {
    if [ -w "$THP" ] && [ "$(thp_mode)" != "$THP_FOUND" ]; then
        echo "$THP_FOUND" >"$THP"
        echo "THP mode put back to $THP_FOUND"
    fi
}
trap restore_thp EXIT
trap 'exit 130' INT TERM HUP

builds="old new"
[ "$TUNABLE" != 0 ] && builds="old new tunable"
set -- $OUTPUTS
for d in "$@"; do mkdir -p "$d"; done
# One tilt series per row count of the cases, in the first folder.
case_rows() {
    case $1 in *@*) echo "${1#*@}" ;; *) echo "$ROWS" ;; esac
}
case_iterations() {
    case $1 in *:*) c=${1#*:}; echo "${c%@*}" ;; *) echo "$ITERATIONS" ;; esac
}
all_rows=$(for c in $CASES; do case_rows "$c"; done | sort -un)
for rows in $all_rows; do
    "$NEW/make_tilt_series" -o "$1/series-$rows.mrc" -a "$1/series-$rows.tlt" -d "$DETECTOR" \
        -r "$rows" -n "$TILTS" -T 60 -z "$THICKNESS"
done
series_dir=$1
raw=$OUT/whole-runs.txt
: >"$raw"

# once BUILD DIR CASE WHAT: one whole run, one line "case build faults wall user sys rss".
once() {
    b=$1 dir=$2 run=$3 what=$4
    method=${run%%[:@]*}
    rows=$(case_rows "$run")
    series=$series_dir/series-$rows.mrc
    angles=$series_dir/series-$rows.tlt
    bin=$NEW/kyvane
    [ "$b" = old ] || { [ "$b" = tunable ] && [ "$TUNABLE" = old ]; } && bin=$OLD/kyvane
    env=
    [ "$b" = tunable ] && env=GLIBC_TUNABLES=glibc.malloc.hugetlb=1
    set -- -a "$angles" -i "$series" -o "$dir/volume.mrc" -f -z "$THICKNESS" -t "$THREADS" -b "$BUFFERS"
    [ "$method" = SIRT ] && set -- "$@" -S -l "$(case_iterations "$run")"
    [ "$what" = new ] && rm -f "$dir/volume.mrc"
    [ "$what" = replace ] && [ ! -f "$dir/volume.mrc" ] && echo previous >"$dir/volume.mrc"
    sync
    t0=$(date +%s%N)
    if ! env $env /usr/bin/time -o "$OUT/time.txt" -f "%R %U %S %M" "$bin" "$@" >"$OUT/run.log" 2>&1; then
        echo "compare_whole_runs: $b $method into $dir failed; see $OUT/run.log" >&2
        exit 1
    fi
    t1=$(date +%s%N)
    fs=$(df --output=fstype "$dir" | tail -n 1)
    read -r faults user sys rss <"$OUT/time.txt"
    echo "$mode/$fs/$run/$what $b $faults $(((t1 - t0) / 1000000)) $user $sys $rss" >>"$raw"
}

for mode in $THP_MODES; do
    if [ "$mode" != "$(thp_mode)" ]; then
        echo "$mode" >"$THP"
    fi
    echo "THP mode $(thp_mode): $ROUNDS rounds of $builds"
    r=1
    while [ "$r" -le "$ROUNDS" ]; do
        # Odd rounds: a rotation of the builds; even rounds: its reverse; the
        # rotation moves on every two rounds.
        order=$(echo $builds | awk -v r="$r" '{
            k = int((r - 1) / 2)
            for (i = 0; i < NF; i++) o[i] = $((i + k) % NF + 1)
            for (i = 0; i < NF; i++) printf "%s ", r % 2 ? o[i] : o[NF - 1 - i]
        }')
        for run in $CASES; do
            for dir in $OUTPUTS; do
                for what in $OUTPUT_CASES; do
                    for b in $order; do once "$b" "$dir" "$run" "$what"; done
                done
            done
        done
        r=$((r + 1))
    done
done
restore_thp
for d in $OUTPUTS; do rm -f "$d/volume.mrc"; done
for rows in $all_rows; do rm -f "$series_dir/series-$rows.mrc" "$series_dir/series-$rows.tlt"; done

echo
tunable_note=
[ "$TUNABLE" = old ] && tunable_note=", $ref_id under glibc.malloc.hugetlb=1 (tunable)"
[ "$TUNABLE" = new ] && tunable_note=", the current tree under glibc.malloc.hugetlb=1 (tunable)"
echo "$ref_id (old), the current tree (new)$tunable_note;"
echo "Cases $CASES (METHOD:ITERATIONS@ROWS; default $ROWS rows, $ITERATIONS iterations):" \
     "slices of $DETECTOR x $THICKNESS from $TILTS tilts;" \
     "$THREADS threads, -b $BUFFERS; $ROUNDS runs each: median [lowest highest]"
awk -v builds="$builds" '
    { key = $1; b = $2; n[key, b]++
      for (m = 1; m <= 5; m++) v[key, b, m, n[key, b]] = $(m + 2)
      if (!(key in seen)) { seen[key] = 1; order[++k] = key } }
    function med(key, b, m,   c, i, j, t) {
        c = n[key, b]
        for (i = 1; i <= c; i++) s[i] = v[key, b, m, i]
        for (i = 2; i <= c; i++) for (j = i; j > 1 && s[j - 1] + 0 > s[j] + 0; j--) { t = s[j]; s[j] = s[j - 1]; s[j - 1] = t }
        lo = s[1]; hi = s[c]
        return c % 2 ? s[(c + 1) / 2] : (s[c / 2] + s[c / 2 + 1]) / 2
    }
    END {
        nb = split(builds, B, " ")
        split("minor faults|wall ms|user s|system s|peak RSS MB", name, "|")
        for (i = 1; i <= k; i++) {
            key = order[i]
            print ""
            print key
            for (m = 1; m <= 5; m++) {
                line = sprintf("  %-13s", name[m])
                delete M
                for (j = 1; j <= nb; j++) {
                    if (!n[key, B[j]]) continue
                    x = med(key, B[j], m)
                    if (m == 5) { x /= 1024; lo /= 1024; hi /= 1024 }
                    fmt = m == 1 || m == 2 || m == 5 ? "%s %8.0f [%.0f %.0f]" : "%s %6.2f [%.2f %.2f]"
                    line = line sprintf("  " fmt, B[j], x, lo, hi)
                    M[B[j]] = x
                }
                if (m <= 2) {
                    line = line sprintf("  old/new %.2f", M["new"] > 0 ? M["old"] / M["new"] : 0)
                    if (M["tunable"] > 0) line = line sprintf("  new/tunable %.2f", M["new"] / M["tunable"])
                }
                print line
            }
        }
    }' "$raw"
