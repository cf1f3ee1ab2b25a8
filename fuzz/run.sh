#!/usr/bin/env bash
# Fuzzes tapsum's two inputs with AFL++, one campaign per core: the WAV input
# (with a fixed 3-tap coefficient file) and the coefficient file (with a
# fixed short WAV file). Then replays every queued input, crash and hang
# through the AddressSanitizer and UndefinedBehaviorSanitizer build.
#
#   fuzz/run.sh [seconds per campaign, default 1200]
#
# Work and findings go to build/fuzz-out/{wav,fir}; run on demand, not in CI.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1200}

command -v afl-fuzz >/dev/null || { apt-get update && apt-get install -y afl++; }

cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=afl-clang-fast++ -DCMAKE_BUILD_TYPE=Release \
  -DTAPSUM_TESTS=OFF >/dev/null
cmake --build build/fuzz --target tapsum >/dev/null
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize --target tapsum >/dev/null

work=build/fuzz-out
rm -rf "$work"
mkdir -p "$work/seeds/wav" "$work/seeds/fir"

# Little-endian fields for the seed headers.
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16 & 65535)); }
# header CHANNELS BITS DATA-BYTES [FORMAT-EXTRA-BYTES]
header() {
  local extra=${4:-0}
  printf RIFF; le32 $((36 + extra + $3)); printf 'WAVEfmt '; le32 $((16 + extra))
  le16 1; le16 "$1"; le32 8000; le32 $((8000 * $1 * $2 / 8)); le16 $(($1 * $2 / 8)); le16 "$2"
  head -c "$extra" /dev/zero
}
{ header 1 8 6; printf 'data'; le32 6; printf '\x00\x40\x80\xc0\xff\x7f'; } > "$work/seeds/wav/mono8.wav"
{ header 2 16 8; printf 'data'; le32 8; le16 -32768; le16 32767; le16 0; le16 -1; } > "$work/seeds/wav/stereo16.wav"
{ header 1 16 4 2; printf 'LIST'; le32 3; printf 'abc'; printf 'data'; le32 4; le16 100; le16 -100; } \
  > "$work/seeds/wav/chunks.wav"
printf '0.25\n0.5\n0.25\n' > "$work/seeds/fir/mono.txt"
printf 'stereo pair\n1 0\n0.5 -0.5\n1e-3 .25\n' > "$work/seeds/fir/stereo.txt"
printf '0.5 # gain\n\n7\n' > "$work/seeds/fir/comment.txt"
cp "$work/seeds/fir/mono.txt" "$work/fixed.txt"
cp "$work/seeds/wav/stereo16.wav" "$work/fixed.wav"

export AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_UI=1
afl-fuzz -V "$seconds" -t 2000 -i "$work/seeds/wav" -o "$work/wav" \
  -- build/fuzz/tapsum "$work/fixed.txt" @@ /dev/null > "$work/wav.log" 2>&1 &
afl-fuzz -V "$seconds" -t 2000 -i "$work/seeds/fir" -o "$work/fir" \
  -- build/fuzz/tapsum @@ "$work/fixed.wav" /dev/null > "$work/fir.log" 2>&1 &
wait

# Every input the campaigns kept, through the sanitizer build: any report
# (or a status other than 0, 1 and 2) is a finding.
findings=0
for campaign in wav fir; do
  stats="$work/$campaign/default/fuzzer_stats"
  echo "$campaign: $(awk -F' *: ' '/^execs_done|^corpus_count|^saved_crashes|^saved_hangs|^run_time/ {printf "%s %s  ", $1, $2}' "$stats")"
  for input in "$work/$campaign"/default/{queue,crashes,hangs}/id*; do
    [ -e "$input" ] || continue
    if [ "$campaign" = wav ]; then args=("$work/fixed.txt" "$input" /dev/null); else args=("$input" "$work/fixed.wav" /dev/null); fi
    status=0
    timeout 20 build/sanitize/tapsum "${args[@]}" > /dev/null 2> "$work/last.err" || status=$?
    if [ "$status" -gt 2 ] || grep -q 'Sanitizer\|runtime error' "$work/last.err"; then
      findings=$((findings + 1))
      echo "finding (status $status): $input"
      head -n 5 "$work/last.err"
    fi
  done
done
echo "$findings findings"
[ "$findings" -eq 0 ]
