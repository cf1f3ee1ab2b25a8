#!/usr/bin/env bash
# Measures tapsum side by side in one run, on this machine: the processor's
# multiply-add peak and the kernels' share of it, the engine's paths, then the
# whole tool against sox's fir effect and ffmpeg's afir filter (both FFT based,
# both leaving out the tail) on the same 10 s of 16-bit stereo at 44.1 kHz,
# for low-pass filters of 31, 255, 1023 and 8191 taps, with the default
# threads and with TAPSUM_THREADS=1. Checks that tapsum writes the bytes of
# the direct path. Needs sox, ffmpeg, hyperfine and Google Benchmark (it
# installs the first three if missing); run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in sox ffmpeg hyperfine; do
  command -v "$tool" >/dev/null || { apt-get update && apt-get install -y "$tool"; }
done
cmake --preset release >/dev/null
cmake --build --preset release --target tapsum tapsum_direct engine_bench >/dev/null

echo "== machine"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" \
  "(family $(grep -m1 'cpu family' /proc/cpuinfo | cut -d: -f2 | tr -d ' ')," \
  "model $(grep -m1 '^model' /proc/cpuinfo | cut -d: -f2 | tr -d ' '))," \
  "$(nproc) CPUs for this process"
echo "simd: $(grep -m1 '^flags' /proc/cpuinfo | tr ' ' '\n' | grep -E '^(avx2|fma|avx512f)$' | tr '\n' ' ')"

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
  # ffmpeg takes the response as audio: a mono float file of the same taps.
  { printf '; Sample Rate 44100\n; Channels 1\n'
    awk '{ printf "%.10f %s\n", (NR - 1) / 44100, $1 }' "$work/lp$taps.txt"; } > "$work/ir$taps.dat"
  sox "$work/ir$taps.dat" -e floating-point -b 32 "$work/ir$taps.wav"
done

echo
echo "== engine, the first 2 s of the same file from memory (Gmac/s = multiply-adds per ns;"
echo "   peak% = share of the peak/LEVEL line; exact% = outputs that took the exact sum;"
echo "   fast/TAPS/0 = default threads, fast/TAPS/1 = one thread)"
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
echo "== whole tool, 10 s of 16-bit stereo at 44.1 kHz (median wall seconds, side by side)"
printf '%6s %9s %9s %9s %9s %10s %10s %10s %9s\n' taps tapsum "1 thread" sox ffmpeg \
  "tap/sox" "tap/ffmpeg" "1 thr/def" "Gmac/s"
for taps in 31 255 1023 8191; do
  fir="$work/lp$taps.txt"
  tapsum=$(median 10 build/release/tapsum "$fir" "$work/in.wav" "$work/fast.wav")
  one=$(median 5 env TAPSUM_THREADS=1 build/release/tapsum "$fir" "$work/in.wav" "$work/one.wav")
  sox_time=$(median 10 sox "$work/in.wav" "$work/sox.wav" fir "$fir")
  ffmpeg_time=$(median 5 ffmpeg -v error -y -i "$work/in.wav" -i "$work/ir$taps.wav" \
    -lavfi afir=gtype=none:irgain=0.70710678 "$work/ffmpeg.wav")
  build/release/tapsum_direct "$fir" "$work/in.wav" "$work/direct.wav" 2>/dev/null
  cmp -s "$work/direct.wav" "$work/fast.wav" || { echo "tapsum and the direct path differ at $taps taps"; exit 1; }
  cmp -s "$work/one.wav" "$work/fast.wav" || { echo "one thread and the default differ at $taps taps"; exit 1; }
  awk -v t="$taps" -v a="$tapsum" -v o="$one" -v s="$sox_time" -v f="$ffmpeg_time" 'BEGIN {
    printf "%6d %9.4f %9.4f %9.4f %9.4f %10.2f %10.2f %10.2f %9.2f\n",
      t, a, o, s, f, a / s, a / f, o / a, 441000 * 2 * t / a / 1e9
  }'
done
echo "tapsum, one thread and the direct path wrote the same bytes at every size"
