#!/bin/sh
# Installs the Debian packages Kyvane needs to build and test, only those missing.
set -e
PKGS="cmake ninja-build g++ pkg-config libfftw3-dev libgtest-dev python3 python3-numpy python3-mrcfile clang libclang-rt-14-dev"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq $missing
fi
