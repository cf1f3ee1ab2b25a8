#!/usr/bin/env bash
# Measures tapsum side by side in one run: the engine's direct and fast paths
# in multiply-adds per ns, then the whole tool (direct and fast builds) and
# sox's fir effect on the same 10 s of 16-bit stereo at 44.1 kHz, for low-pass
# filters of 31, 255, 1023 and 8191 taps. Checks that both builds write the
# same bytes. Needs sox and Google Benchmark; run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in sox hyperfine; do
  command -v "$tool" >/dev/null || { apt-get update && apt-get install -y "$tool"; }
done
cmake --preset release >/dev/null
cmake --build --preset release --target tapsum tapsum_direct engine_bench >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -n -r 44100 -b 16 -c 2 "$work/in.wav" synth 10 pinknoise pinknoise gain -6
for taps in 31 255 1023 8191; do
  awk -v taps="$taps" 'BEGIN {
    pi = atan2(0, -1); m = (taps - 1) / 2
    for (n = 0; n < taps; n++) {
      x = n - m; h = (x == 0) ? 0.2 : sin(0.2 * pi * x) / (pi * x)
      printf "%.12f\n", h * (0.54 - 0.46 * cos(2 * pi * n / (taps - 1)))
    }
  }' > "$work/lp$taps.txt"
done

echo "== engine, the first 2 s of the same file from memory (Gmac/s = multiply-adds per ns;"
echo "   exact% = output samples the fast path left to the exact arithmetic)"
build/release/engine_bench --benchmark_counters_tabular=true "$work/in.wav"

# The median wall time in seconds of several runs, started without a shell.
median() {
  local runs=$1
  shift
  hyperfine -N --style none --warmup 1 --runs "$runs" --export-csv "$work/time.csv" \
    "$(printf '%q ' "$@")" >/dev/null 2>&1
  awk -F, 'NR == 2 { print $4 }' "$work/time.csv"
}

echo
echo "== whole tool, 10 s of 16-bit stereo at 44.1 kHz (median wall seconds)"
printf '%6s %10s %10s %10s %9s %10s %9s\n' taps direct fast sox speedup "fast Gmac" "fast/sox"
for taps in 31 255 1023 8191; do
  fir="$work/lp$taps.txt"
  direct=$(median 2 build/release/tapsum_direct "$fir" "$work/in.wav" "$work/direct.wav")
  fast=$(median 10 build/release/tapsum "$fir" "$work/in.wav" "$work/fast.wav")
  sox_time=$(median 10 sox "$work/in.wav" "$work/sox.wav" fir "$fir")
  cmp -s "$work/direct.wav" "$work/fast.wav" || { echo "fast and direct outputs differ at $taps taps"; exit 1; }
  awk -v t="$taps" -v d="$direct" -v f="$fast" -v s="$sox_time" 'BEGIN {
    macs = 441000 * 2 * t
    printf "%6d %10.4f %10.4f %10.4f %8.1fx %10.2f %8.2fx\n", t, d, f, s, d / f, macs / f / 1e9, f / s
  }'
done
echo "fast and direct outputs identical at every size"
