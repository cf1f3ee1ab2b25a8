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

namespace {

// Every code's value, filled on first use: each costs an extended division,
// and a file has many samples but few distinct codes.
double value8[256];
double value16[65536];
bool filled8;
bool filled16;

}  // namespace

int read_sample(FILE *stream, int bits, double *out) {
  const int low = getc_unlocked(stream);
  if (low == EOF) return 1;
  if (bits == 8) {
    if (!filled8) {
      for (int b = 0; b < 256; b++) {
        const long double x = b;
        value8[b] = static_cast<double>((x + x) / 255.0 - 1.0);
      }
      filled8 = true;
    }
    *out = value8[low];
    return 0;
  }
  const int high = getc_unlocked(stream);
  if (high == EOF) return 1;
  if (!filled16) {
    for (int v = -32768; v < 32768; v++) {
      const long double x = v;
      value16[v & 0xFFFF] = static_cast<double>((x + x + 1.0) / 65535.0);
    }
    filled16 = true;
  }
  *out = value16[low | high << 8];
  return 0;
}

int sample_code(double value, int bits, int *clipped) {
  *clipped = 0;
  if (value > 1) {
    value = 1;
    *clipped = 1;
  } else if (value < -1) {
    value = -1;
    *clipped = 1;
  }
  // NaN passes both tests above unclipped; its code is 0.
  if (std::isnan(value)) return 0;
  const long double x = value;
  const double scaled = bits == 8 ? static_cast<double>((x + 1.0) * 255.0 / 2.0)
                                  : static_cast<double>((x * 65535.0 - 1.0) / 2.0);
  return static_cast<int>(rint(scaled));
}

void write_code(int code, int bits, FILE *stream) {
  const bool written = putc_unlocked(code & 0xFF, stream) != EOF &&
                       (bits == 8 || putc_unlocked(code >> 8 & 0xFF, stream) != EOF);
  if (!written) err_exit("tapsum: Can't write to output file. File system is possibly full.\n", 2);
}

int write_sample(double value, int bits, FILE *stream) {
  int clipped = 0;
  write_code(sample_code(value, bits, &clipped), bits, stream);
  return clipped;
}
