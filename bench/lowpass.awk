# A windowed-sinc low-pass of taps rows (awk -v taps=N -f bench/lowpass.awk),
# cut-off at a tenth of the sample rate, Hamming window: the filters the
# benchmarks and the arm64 check run.
BEGIN {
  pi = atan2(0, -1); m = (taps - 1) / 2
  for (n = 0; n < taps; n++) {
    x = n - m; h = (x == 0) ? 0.2 : sin(0.2 * pi * x) / (pi * x)
    printf "%.12f\n", h * (0.54 - 0.46 * cos(2 * pi * n / (taps - 1)))
  }
}
