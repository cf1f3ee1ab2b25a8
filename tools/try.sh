#!/usr/bin/env bash
# Installs what the build needs (on Debian or Ubuntu), builds tapsum and
# filters the example sweep through the shipped 1 kHz low-pass into
# sweep-lowpass.wav. Run from anywhere; the build goes to build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/packages.sh
install_missing "${BUILD_PACKAGES[@]}"
cmake --preset release >/dev/null
cmake --build --preset release --target tapsum -j "$(nproc)"
build/release/tapsum examples/lowpass-16k.txt examples/sweep.wav sweep-lowpass.wav
echo "tapsum is built/release/tapsum; the filtered sweep is sweep-lowpass.wav"
