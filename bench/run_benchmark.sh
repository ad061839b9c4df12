#!/bin/sh
# End-to-end benchmark: makes a synthetic tilt series of a phantom and times
# whole runs of the program, WBP and SIRT, at 1, 2, 4 and 8 threads.
#
# Usage: sh bench/run_benchmark.sh [build dir, default build]
# Environment (all optional):
#   WORK_DIR   where the data and volumes go (default /tmp/kyvane-bench; about
#              1 GB is needed with the default sizes, and it is removed at the end
#              unless KEEP=1)
#   DETECTOR   detector width, also the slice width (default 1024)
#   TILTS      number of tilt images, -60 to +60 degrees (default 121)
#   THICKNESS  slice height (default 512)
#   ROWS       tilt-series rows = slices reconstructed by WBP (default 256)
#   SIRT_ROWS  slices reconstructed by SIRT, the first of ROWS (default 64)
#   ITERATIONS SIRT iterations (default 10)
#   THREADS    thread counts (default "1 2 4 8")
#   METHODS    methods to time (default "WBP SIRT")
#   REPEAT     runs of each case; the run with the median wall time is shown
#              (default 1; the page cache and a shared machine make single
#              runs noisy, so use 3 or 5 to compare builds)
#
# Columns: wall time of the whole process; slices per second over the wall
# time; voxel updates per second, counting W x H x N per slice for WBP and
# per slice and iteration for SIRT (one back-projection each); peak resident
# memory from /usr/bin/time -v; and the program's own report: reconstruction
# time (per worker), I/O time and the part of the I/O the workers waited for.
set -e

BUILD=${1:-build}
KYVANE=$BUILD/kyvane
MAKE_SERIES=$BUILD/make_tilt_series
WORK_DIR=${WORK_DIR:-/tmp/kyvane-bench}
DETECTOR=${DETECTOR:-1024}
TILTS=${TILTS:-121}
THICKNESS=${THICKNESS:-512}
ROWS=${ROWS:-256}
SIRT_ROWS=${SIRT_ROWS:-64}
ITERATIONS=${ITERATIONS:-10}
THREADS=${THREADS:-"1 2 4 8"}
METHODS=${METHODS:-"WBP SIRT"}
REPEAT=${REPEAT:-1}

for tool in "$KYVANE" "$MAKE_SERIES" /usr/bin/time; do
    if [ ! -x "$tool" ]; then
        echo "run_benchmark: $tool not found (build with: ninja -C $BUILD kyvane make_tilt_series)" >&2
        exit 1
    fi
done

mkdir -p "$WORK_DIR"
series=$WORK_DIR/series.mrc
angles=$WORK_DIR/series.tlt
volume=$WORK_DIR/volume.mrc
log=$WORK_DIR/run.log
lines=$WORK_DIR/lines.txt
"$MAKE_SERIES" -o "$series" -a "$angles" -d "$DETECTOR" -r "$ROWS" -n "$TILTS" -T 60 -z "$THICKNESS"

echo "Tilt series: $DETECTOR x $ROWS x $TILTS; slices of $DETECTOR x $THICKNESS;" \
     "SIRT: $ITERATIONS iterations on $SIRT_ROWS slices; $(nproc) logical CPUs"
printf '%-5s %7s %9s %10s %12s %10s %9s %9s %9s\n' \
    method threads "wall s" "slices/s" "Gvox-upd/s" "peak MB" "recon s" "I/O s" "waited s"

# once METHOD THREADS SLICES OPTIONS...: one run, one line
once() {
    method=$1 threads=$2 slices=$3
    shift 3
    rm -f "$volume"
    if ! /usr/bin/time -v "$KYVANE" -a "$angles" -i "$series" -o "$volume" -f -z "$THICKNESS" \
            -t "$threads" "$@" >"$log" 2>&1; then
        echo "run_benchmark: $method with $threads threads failed; see $log" >&2
        exit 1
    fi
    awk -v method="$method" -v threads="$threads" -v slices="$slices" -v w="$DETECTOR" \
        -v h="$THICKNESS" -v n="$TILTS" -v iters="$([ "$method" = SIRT ] && echo "$ITERATIONS" || echo 1)" '
        /Elapsed \(wall clock\)/ {
            t = $NF; k = split(t, part, ":"); wall = 0
            for (i = 1; i <= k; i++) wall = wall * 60 + part[i]
        }
        /Maximum resident set size/ { rss = $NF / 1024 }
        /^Reconstruction time = / { recon = $4 }
        /^I\/O time = / { io = $4; waited = $NF; sub(/}/, "", waited) }
        END {
            updates = w * h * n * slices * iters
            printf "%-5s %7d %9.2f %10.1f %12.2f %10.0f %9.2f %9.2f %9.2f\n", method, threads, wall,
                   slices / wall, updates / wall / 1e9, rss, recon, io, waited
        }' "$log"
}

# run METHOD THREADS SLICES OPTIONS...: REPEAT runs, the median by wall time
run() {
    : >"$lines"
    i=0
    while [ "$i" -lt "$REPEAT" ]; do
        once "$@" >>"$lines"
        i=$((i + 1))
    done
    sort -n -k3 "$lines" | sed -n "$(((REPEAT + 1) / 2))p"
}

for m in $METHODS; do
    for t in $THREADS; do
        case $m in
        WBP) run WBP "$t" "$ROWS" ;;
        SIRT) run SIRT "$t" "$SIRT_ROWS" -S -l "$ITERATIONS" -y "0,$((SIRT_ROWS - 1))" ;;
        *) echo "run_benchmark: unknown method $m" >&2; exit 1 ;;
        esac
    done
done

if [ "${KEEP:-0}" != 1 ]; then
    rm -f "$series" "$angles" "$volume" "$log" "$lines"
    rmdir "$WORK_DIR" 2>/dev/null || true
fi
