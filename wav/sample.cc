// Single PCM samples: 8-bit unsigned and 16-bit signed codes to and from normalised doubles.
//
// Both depths map their full range onto exactly -1..+1 with no code at 0:
// x = 2b/255 - 1 and x = (2v + 1)/65535. The formulas are evaluated in the
// extended format and rounded to double where a value is stored or passed on;
// results that land on half a code after filtering depend on those bits.
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "cli/tapsum.h"
#include "wav/wav.h"

int read_sample(FILE *stream, int bits, double *out) {
  const int low = getc(stream);
  if (low == EOF) return 1;
  if (bits == 8) {
    const long double b = low;
    *out = static_cast<double>((b + b) / 255.0 - 1.0);
    return 0;
  }
  const int high = getc(stream);
  if (high == EOF) return 1;
  const long double v = static_cast<int16_t>(low | high << 8);
  *out = static_cast<double>((v + v + 1.0) / 65535.0);
  return 0;
}

int write_sample(double value, int bits, FILE *stream) {
  int clipped = 0;
  if (value > 1) {
    value = 1;
    clipped = 1;
  } else if (value < -1) {
    value = -1;
    clipped = 1;
  }
  // NaN passes both tests above unclipped; it is written as code 0 bytes.
  const bool nan = std::isnan(value);
  bool written;
  if (bits == 8) {
    const double scaled =
        static_cast<double>((static_cast<long double>(value) + 1.0) * 255.0 / 2.0);
    const int b = nan ? 0 : static_cast<int>(rint(scaled));
    written = putc(b, stream) != EOF;
  } else {
    const double scaled =
        static_cast<double>((static_cast<long double>(value) * 65535.0 - 1.0) / 2.0);
    const int v = nan ? 0 : static_cast<int>(rint(scaled));
    written = putc(v & 0xFF, stream) != EOF && putc(v >> 8 & 0xFF, stream) != EOF;
  }
  if (!written) err_exit("tapsum: Can't write to output file. File system is possibly full.\n", 2);
  return clipped;
}
