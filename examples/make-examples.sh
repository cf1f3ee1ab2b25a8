#!/bin/sh
# Makes the example files: a test signal with sox, and the coefficient files
# with awk (windowed-sinc designs, Hamming window) for 16 kHz, 44.1 kHz and
# 48 kHz. A coefficient file carries no sample rate: a design is right only at
# the rate named in its file name and title.
set -eu
cd "$(dirname "$0")"

# 1.5 s, 16-bit mono at 16 kHz: a sweep from 100 Hz to 7.9 kHz over quiet
# noise. Made once: the noise is new on every run.
[ -f sweep.wav ] || sox -n -r 16000 -b 16 -c 1 sweep.wav synth 1.5 sine 100-7900 whitenoise \
    remix 1v0.7,2v0.1 norm -3

# design TAPS CUTOFF low|high RATE TITLE: a sinc low-pass of TAPS taps with
# its -6 dB point at CUTOFF Hz; "high" inverts it into a high-pass.
design() {
  awk -v taps="$1" -v cutoff="$2" -v kind="$3" -v rate="$4" -v title="$5" 'BEGIN {
    pi = atan2(0, -1); fc = cutoff / rate; m = (taps - 1) / 2
    print "# " title
    for (n = 0; n < taps; n++) {
      x = n - m
      h = (x == 0) ? 2 * fc : sin(2 * pi * fc * x) / (pi * x)
      h *= 0.54 - 0.46 * cos(2 * pi * n / (taps - 1))
      if (kind == "high") h = (x == 0 ? 1 : 0) - h
      printf "%.12f\n", h
    }
  }'
}

# Two columns: the left channel is the input, the right one the input 12 ms
# later and 1.9 dB softer (0.8 times), which makes a wide stereo image of a
# mono file.
widen() {
  awk -v delay="$1" -v title="$2" 'BEGIN {
    print "# " title
    for (n = 0; n <= delay; n++) printf "%s %s\n", (n == 0 ? 1 : 0), (n == delay ? 0.8 : 0)
  }'
}

# The same filters at each rate: the taps grow with the rate, so that the
# transition bands are as wide in Hz (about 3.3 x rate / taps, some 840 Hz).
for rate_set in "16k 16000 63 192" "44k1 44100 175 529" "48k 48000 189 576"; do
  set -- $rate_set
  name=$1 rate=$2 taps=$3 delay=$4
  khz=$(awk -v r="$rate" 'BEGIN { print r / 1000 }')
  design "$taps" 1000 low "$rate" \
    "low-pass, $taps taps, cut-off 1 kHz at $khz kHz (designed for $khz kHz audio only)" \
    > "lowpass-$name.txt"
  design "$taps" 2000 high "$rate" \
    "high-pass, $taps taps, cut-off 2 kHz at $khz kHz (designed for $khz kHz audio only)" \
    > "highpass-$name.txt"
  widen "$delay" \
    "mono to stereo at $khz kHz: left as is, right delayed by 12 ms ($delay frames) and 1.9 dB softer" \
    > "widen-$name.txt"
done
