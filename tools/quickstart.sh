#!/bin/sh
# Installs what is missing, builds Kyvane, and shows its usage.
set -e
cd "$(dirname "$0")/.."
sh tools/install_deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build kyvane
./build/kyvane -h || true
