#!/usr/bin/env bash
# Installs what the tests need (on Debian or Ubuntu) and runs the whole
# suite: the code's layout, then the GoogleTest suite in the release build,
# with AddressSanitizer and UndefinedBehaviorSanitizer, with ThreadSanitizer,
# for arm64 under qemu-aarch64, and with clang++. Any failure fails it. CI
# runs this too. Run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/packages.sh
install_missing "${BUILD_PACKAGES[@]}" libgtest-dev libgmock-dev python3 strace clang \
  clang-format g++-aarch64-linux-gnu qemu-user libfftw3-dev:arm64 libgtest-dev:arm64 \
  libgmock-dev:arm64 libstdc++6:arm64 sox flac

# The code is laid out as .clang-format says.
clang-format --dry-run --Werror $(find base cli filter fir_file wav tests bench -name '*.cc' -o -name '*.h')

for preset in release sanitize thread aarch64 clang; do
  cmake --workflow --preset "$preset"
done
echo "all five builds passed every test"
