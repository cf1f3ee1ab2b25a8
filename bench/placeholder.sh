#!/usr/bin/env bash
# Streams longer than a streaming writer's placeholder size: sox writes a
# data size of 0x7FFFF000 for a length it doesn't know yet, arecord
# 0x80000000. From a pipe, tapsum reads such a stream to its end, so 64 MiB
# more than the placeholder of 16-bit stereo come out whole. Moves 4.4 GB
# through pipes for each: on demand, not in CI. bench/placeholder.sh SIZE
# tries one size (0x7FFFF000 by default, e.g. 0x80000000).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target tapsum >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '1\n' >"$work/one.txt"
size=$((${1:-0x7FFFF000}))
data=$((size + 64 * 1024 * 1024))
# The canonical header, 16-bit stereo at 44.1 kHz, with the placeholder.
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 24 & 255)))"; }
{ printf 'RIFF'; le32 $((size + 36)); printf 'WAVEfmt '; le32 16; printf '\x01\x00\x02\x00'
  le32 44100; le32 $((44100 * 4)); printf '\x04\x00\x10\x00data'; le32 $size; } >"$work/header"
out=$({ cat "$work/header"; head -c "$data" /dev/zero; } |
  build/release/tapsum "$work/one.txt" 2>"$work/report" | wc -c)
tail -n 1 "$work/report"
echo "bytes out: $out, of $((44 + data)) expected"
[ "$out" -eq $((44 + data)) ] && grep -qx "$((data / 4)) samples written." "$work/report"
echo "the whole stream came out"
