#!/usr/bin/env bash
# Measures tapsum side by side in one run, on this machine: the processor's
# multiply-add peak and the kernels' share of it, the engine's paths and
# methods, the floor (a one-tap run beside cp and sox's plain copy), then the
# whole tool against sox's fir effect and ffmpeg's afir filter (both FFT based,
# both leaving out the tail) on the same 10 s and 60 s of 16-bit stereo at
# 44.1 kHz, for low-pass filters of 31, 255, 1023 and 8191 taps, with the
# default threads and with TAPSUM_THREADS=1, the peak resident memory, a
# 65,536-tap filter on 60 s with its peak memory, and 24-bit stereo through
# 255 and 8191 taps against sox.
# Checks that tapsum writes the bytes of the direct path by either method.
# Commands compared are timed in turn, round after round (alternate.py).
# Needs sox, ffmpeg, Python 3 and Google Benchmark (it installs the first
# two if missing); run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in sox ffmpeg; do
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
# A low-pass of TAPS taps as tapsum reads it, lpTAPS.txt, and as ffmpeg
# takes a response, as audio: irTAPS.wav, a mono float file of the same taps.
make_lowpass() {
  awk -v taps="$1" -f bench/lowpass.awk >"$work/lp$1.txt"
  { printf '; Sample Rate 44100\n; Channels 1\n'
    awk '{ printf "%.10f %s\n", (NR - 1) / 44100, $1 }' "$work/lp$1.txt"; } >"$work/ir$1.dat"
  sox "$work/ir$1.dat" -e floating-point -b 32 "$work/ir$1.wav"
}

sox -n -r 44100 -b 16 -c 2 "$work/in.wav" synth 10 pinknoise pinknoise gain -6
for taps in 31 255 1023 8191; do make_lowpass "$taps"; done

echo
echo "== engine, the first 2 s of the same file from memory (Gmac/s = multiply-adds per ns;"
echo "   peak% = share of the peak/LEVEL line; exact% = outputs that took the exact sum;"
echo "   fast/TAPS/0/M = default threads, fast/TAPS/1/M = one thread; M 1 = kernels, 2 = transform)"
build/release/engine_bench --benchmark_counters_tabular=true "$work/in.wav"

# The median wall times in seconds of commands separated by --, run in
# turn for ROUNDS rounds, a line each; taken whole before they are read, so
# that a command that fails stops the script.
alternate() { python3 bench/alternate.py "$@"; }

# The median times through TAPS taps on INPUT.wav of tapsum, tapsum on one
# thread, sox and ffmpeg, in turn for ROUNDS rounds: into tapsum, one,
# sox_time and ffmpeg_time. One thread must write the bytes of the default.
time_tools() {
  local taps=$1 input=$2 rounds=$3
  local fir="$work/lp$taps.txt" wav="$work/$input.wav" times
  times=$(alternate "$rounds" \
    -- build/release/tapsum "$fir" "$wav" "$work/fast.wav" \
    -- env TAPSUM_THREADS=1 build/release/tapsum "$fir" "$wav" "$work/one.wav" \
    -- sox "$wav" "$work/sox.wav" fir "$fir" \
    -- ffmpeg -v error -y -i "$wav" -i "$work/ir$taps.wav" \
    -lavfi afir=gtype=none:irgain=0.70710678 "$work/ffmpeg.wav")
  { read -r tapsum; read -r one; read -r sox_time; read -r ffmpeg_time; } <<<"$times"
  cmp -s "$work/one.wav" "$work/fast.wav" || { echo "one thread and the default differ at $taps taps"; exit 1; }
}

sox -n -r 44100 -b 16 -c 2 "$work/in60.wav" synth 60 pinknoise pinknoise gain -6
printf '1\n' >"$work/lp1.txt"
echo
echo "== the floor, 10 s of 16-bit stereo (median wall seconds): a one-tap run, cp, sox's plain copy"
printf '%9s %9s %9s\n' "1 tap" cp "sox copy"
times=$(alternate 20 -- build/release/tapsum "$work/lp1.txt" "$work/in.wav" "$work/one.wav" \
  -- cp "$work/in.wav" "$work/copy.wav" -- sox "$work/in.wav" "$work/copy.wav")
paste -s - <<<"$times" | awk '{ printf "%9.4f %9.4f %9.4f\n", $1, $2, $3 }'

for input in in in60; do
  seconds=$([ "$input" = in ] && echo 10 || echo 60)
  echo
  echo "== whole tool, $seconds s of 16-bit stereo at 44.1 kHz (median wall seconds, side by side)"
  printf '%6s %9s %9s %9s %9s %9s %9s %10s %11s\n' taps tapsum "1 thread" sox ffmpeg \
    "tap/sox" "1thr/sox" "tap/ffmpeg" "method"
  for taps in 31 255 1023 8191; do
    fir="$work/lp$taps.txt"
    time_tools "$taps" "$input" 15
    # Both methods and the direct path write the same bytes; the direct path
    # is compared on the 10 s input only, where it takes seconds, not minutes.
    for method in kernels fft; do
      TAPSUM_METHOD=$method build/release/tapsum "$fir" "$work/$input.wav" "$work/$method.wav" 2>/dev/null
      cmp -s "$work/$method.wav" "$work/fast.wav" || { echo "TAPSUM_METHOD=$method differs at $taps taps"; exit 1; }
    done
    if [ "$input" = in ]; then
      build/release/tapsum_direct "$fir" "$work/in.wav" "$work/direct.wav" 2>/dev/null
      cmp -s "$work/direct.wav" "$work/fast.wav" || { echo "tapsum and the direct path differ at $taps taps"; exit 1; }
    fi
    method=$(build/release/engine_bench --method "$taps" "$seconds")
    awk -v t="$taps" -v a="$tapsum" -v o="$one" -v s="$sox_time" -v f="$ffmpeg_time" -v m="$method" 'BEGIN {
      printf "%6d %9.4f %9.4f %9.4f %9.4f %9.2f %9.2f %10.2f %11s\n", t, a, o, s, f, a / s, o / s, a / f, m
    }'
  done
done
echo "tapsum, one thread, each method and (on 10 s) the direct path wrote the same bytes at every size"

echo
echo "== 65,536 taps on 60 s of the same stereo (median wall seconds; peak resident KiB)"
make_lowpass 65536
fir="$work/lp65536.txt"
time_tools 65536 in60 7
peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
printf '%9s %9s %9s %9s %9s %9s %11s %11s\n' tapsum "1 thread" sox ffmpeg "tap/sox" "1thr/sox" "peak KiB" "1thr KiB"
awk -v a="$tapsum" -v o="$one" -v s="$sox_time" -v f="$ffmpeg_time" \
  -v m="$(peak build/release/tapsum "$fir" "$work/in60.wav" "$work/fast.wav")" \
  -v n="$(peak env TAPSUM_THREADS=1 build/release/tapsum "$fir" "$work/in60.wav" "$work/fast.wav")" \
  'BEGIN { printf "%9.4f %9.4f %9.4f %9.4f %9.2f %9.2f %11d %11d\n", a, o, s, f, a / s, o / s, m, n }'

echo
echo "== 24-bit stereo at 44.1 kHz, the same noise (median wall seconds, side by side)"
printf '%6s %6s %9s %9s %9s\n' input taps tapsum sox "tap/sox"
for input in in in60; do
  sox "$work/$input.wav" -b 24 "$work/${input}_24.wav"
  for taps in 255 8191; do
    fir="$work/lp$taps.txt"
    times=$(alternate 15 \
      -- build/release/tapsum "$fir" "$work/${input}_24.wav" "$work/fast.wav" \
      -- sox "$work/${input}_24.wav" "$work/sox.wav" fir "$fir")
    { read -r tapsum; read -r sox_time; } <<<"$times"
    awk -v i="$([ "$input" = in ] && echo 10s || echo 60s)" -v t="$taps" -v a="$tapsum" -v s="$sox_time" \
      'BEGIN { printf "%6s %6d %9.4f %9.4f %9.2f\n", i, t, a, s, a / s }'
  done
done

echo
echo "== peak resident memory, 8191 taps on 60 s, default threads"
/usr/bin/time -f '%M KiB' build/release/tapsum "$work/lp8191.txt" "$work/in60.wav" "$work/fast.wav" 2>&1 | tail -1
