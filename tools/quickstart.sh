#!/bin/sh
# Installs what is missing, builds Kyvane, makes a small synthetic tilt series
# of a phantom and reconstructs it by WBP and by SIRT.
set -e
cd "$(dirname "$0")/.."
sh tools/install_deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build kyvane make_tilt_series

out=build/quickstart
mkdir -p "$out"
# 61 tilt images of 128 x 32 pixels from -60 to +60 degrees.
./build/make_tilt_series -o "$out/phantom.mrc" -a "$out/phantom.tlt" -d 128 -r 32 -n 61 -T 60 -z 64

./build/kyvane -a "$out/phantom.tlt" -i "$out/phantom.mrc" -o "$out/phantom_wbp.mrc" -z 64 -f
./build/kyvane -a "$out/phantom.tlt" -i "$out/phantom.mrc" -o "$out/phantom_sirt.mrc" -z 64 -f -S -l 20

echo
echo "Tilt series:          $out/phantom.mrc (angles in $out/phantom.tlt)"
echo "WBP reconstruction:   $out/phantom_wbp.mrc"
echo "SIRT reconstruction:  $out/phantom_sirt.mrc"
