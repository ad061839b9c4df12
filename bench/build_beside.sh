# Sourced by the comparison scripts (". bench/build_beside.sh", from the top
# of the tree): builds commit REF beside the current tree, in Release, and
# sets OLD and NEW to the two build folders. REF is exported with git
# archive under build/compare/ (never committed) and its bench/ replaced by
# the current one, so that both builds run the same benchmark code.
# Input: REF (commit), TARGETS (ninja targets), JOBS (parallel build jobs).
OUT=build/compare
ref_id=$(git rev-parse --short "$REF")
OLD_SRC=$OUT/src-$ref_id
OLD=$OUT/build-$ref_id
NEW=$OUT/build-current

mkdir -p "$OUT"
if [ ! -d "$OLD_SRC" ]; then
    mkdir -p "$OLD_SRC.tmp"
    git archive "$REF" | tar -x -C "$OLD_SRC.tmp"
    mv "$OLD_SRC.tmp" "$OLD_SRC"
fi
rm -rf "$OLD_SRC/bench"
cp -R bench "$OLD_SRC/bench"
cmake -S "$OLD_SRC" -B "$OLD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake -S . -B "$NEW" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
ninja -C "$OLD" -j "$JOBS" $TARGETS >/dev/null
ninja -C "$NEW" -j "$JOBS" $TARGETS >/dev/null
