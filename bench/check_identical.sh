#!/bin/sh
# Checks that two builds reconstruct byte-identical volumes: WBP and SIRT,
# interpolation on and off, every vector extension, the automatic cache
# block and two small ones (blocks of 6 projections and of 1, the latter
# also with slice rows split in 5 pieces), on a small
# synthetic tilt series (sizes chosen so that rays start and end at
# different column pairs, cross the detector centre, and projection blocks
# have remainders).
# The header words and the voxels must match; the labels are left out of the
# comparison because one of them carries the date and time of the run.
#
# Usage: sh bench/check_identical.sh OLD_BUILD_DIR NEW_BUILD_DIR
# Environment: WORK_DIR (default: a new folder under NEW_BUILD_DIR).
set -e

OLD=${1:?usage: check_identical.sh OLD_BUILD_DIR NEW_BUILD_DIR}
NEW=${2:?usage: check_identical.sh OLD_BUILD_DIR NEW_BUILD_DIR}
for b in "$OLD" "$NEW"; do
    if [ ! -x "$b/kyvane" ] || [ ! -x "$b/make_tilt_series" ]; then
        echo "check_identical: $b has no kyvane or make_tilt_series" >&2
        exit 1
    fi
done
WORK_DIR=${WORK_DIR:-$NEW/identical-check}
rm -rf "$WORK_DIR"
mkdir -p "$WORK_DIR"

series=$WORK_DIR/series.mrc
angles=$WORK_DIR/series.tlt
# Odd detector width, tilts up to 70 degrees, 24 rows: three groups of 8.
"$NEW/make_tilt_series" -o "$series" -a "$angles" -d 203 -r 24 -n 47 -T 70 -z 60

# same A B: header words (bytes 0-223) and data (from byte 1024) equal.
same() {
    cmp -n 224 "$1" "$2" >/dev/null && cmp -i 1024 "$1" "$2" >/dev/null
}

runs=0 failed=0
for method in WBP SIRT; do
    for interp in on off; do
        for ext in avx sse none; do
            for tiles in auto 40 8 8s5; do
                set -- -a "$angles" -i "$series" -z 60 -x 190 -f -v 0 -t 2 -I "$interp" -e "$ext"
                case $tiles in
                auto) ;;
                8s5) set -- "$@" -C 8 -s 5 ;;
                *) set -- "$@" -C "$tiles" ;;
                esac
                [ "$method" = SIRT ] && set -- "$@" -S -l 3
                name=$method-$interp-$ext-$tiles
                "$OLD/kyvane" "$@" -o "$WORK_DIR/old-$name.mrc" >"$WORK_DIR/old-$name.log" 2>&1
                "$NEW/kyvane" "$@" -o "$WORK_DIR/new-$name.mrc" >"$WORK_DIR/new-$name.log" 2>&1
                runs=$((runs + 1))
                if same "$WORK_DIR/old-$name.mrc" "$WORK_DIR/new-$name.mrc"; then
                    echo "identical  $name"
                else
                    echo "DIFFERENT  $name"
                    failed=$((failed + 1))
                fi
            done
        done
    done
done
echo "$((runs - failed)) passed, $failed failed"
[ "$failed" = 0 ] && rm -rf "$WORK_DIR"
[ "$failed" = 0 ]
