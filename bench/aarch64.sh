#!/usr/bin/env bash
# The arm64 build, run under qemu-aarch64, writes the same bytes as the
# x86-64 build: 10 s of stereo pink noise at 8 and 16 bits, through low-pass
# filters of 31, 255, 1023 and 8191 taps, by each method, written at 8 and
# 16 bits, compared with cmp. Needs the aarch64 preset's packages (see
# .ci/run) and sox; on demand, not in CI: the 8191-tap runs take minutes
# under the emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v sox >/dev/null || { apt-get update && apt-get install -y sox; }
for preset in release aarch64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target tapsum >/dev/null
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -n -r 44100 -b 16 -c 2 "$work/in16.wav" synth 10 pinknoise pinknoise gain -6
sox "$work/in16.wav" -b 8 "$work/in8.wav"
compared=0
for taps in 31 255 1023 8191; do
  awk -v taps="$taps" -f bench/lowpass.awk >"$work/lp$taps.txt"
  for bits in 8 16; do
    for out in 8 16; do
      for method in kernels fft; do
        args=(-"$out" "$work/lp$taps.txt" "$work/in$bits.wav")
        TAPSUM_METHOD=$method build/release/tapsum "${args[@]}" "$work/x86.wav" 2>/dev/null
        TAPSUM_METHOD=$method qemu-aarch64 build/aarch64/tapsum "${args[@]}" "$work/arm.wav" 2>/dev/null
        cmp "$work/x86.wav" "$work/arm.wav"
        compared=$((compared + 1))
      done
    done
  done
  echo "$taps taps: the same bytes, 8 and 16 bits in and out, both methods"
done
echo "$compared pairs of outputs compared, all the same"
