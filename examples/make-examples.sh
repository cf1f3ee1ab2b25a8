#!/bin/sh
# Makes the example files: a test signal with sox, and the coefficient files
# with awk (windowed-sinc designs, Hamming window, 16 kHz sample rate).
set -eu
cd "$(dirname "$0")"

# 1.5 s, 16-bit mono at 16 kHz: a sweep from 100 Hz to 7.9 kHz over quiet noise.
sox -n -r 16000 -b 16 -c 1 sweep.wav synth 1.5 sine 100-7900 whitenoise \
    remix 1v0.7,2v0.1 norm -3

# sinc low-pass of the given taps and cut-off (Hz); "high" inverts it.
design() {
  awk -v taps="$1" -v cutoff="$2" -v kind="$3" -v title="$4" 'BEGIN {
    pi = atan2(0, -1); fc = cutoff / 16000; m = (taps - 1) / 2
    print title
    for (n = 0; n < taps; n++) {
      x = n - m
      h = (x == 0) ? 2 * fc : sin(2 * pi * fc * x) / (pi * x)
      h *= 0.54 - 0.46 * cos(2 * pi * n / (taps - 1))
      if (kind == "high") h = (x == 0 ? 1 : 0) - h
      printf "%.12f\n", h
    }
  }'
}
design 63 1000 low "low-pass, 63 taps, cut-off 1 kHz at 16 kHz" > lowpass.txt
design 63 2000 high "high-pass, 63 taps, cut-off 2 kHz at 16 kHz" > highpass.txt

# Two columns: the left channel is the input, the right one the input 12 ms
# later and a little softer, which makes a wide stereo image of a mono file.
awk 'BEGIN {
  print "mono to stereo: left as is, right delayed by 12 ms (192 frames at 16 kHz)"
  for (n = 0; n < 193; n++) printf "%s %s\n", (n == 0 ? 1 : 0), (n == 192 ? 0.8 : 0)
}' > widen.txt
