// The AVX-512 kernel: 8 vectors of 8 outputs and 16 taps at a time in registers, with fused
// multiply-adds.
//
// Each output is one chain of fused multiply-adds over its taps (kernels.cc).
#ifdef __x86_64__
#include <immintrin.h>

#include <algorithm>

#include "filter/kernels.h"

namespace {

// R vectors of 8 outputs.
template <int R>
__attribute__((target("avx512f"), always_inline)) inline void pass_avx512(const double *reversed,
                                                                          const double *x, int taps,
                                                                          double *sums) {
  __m512d acc[R];
  for (int j = 0; j < R; j++) acc[j] = _mm512_setzero_pd();
  for (int m = 0; m < taps; m++) {
    const __m512d h = _mm512_set1_pd(reversed[m]);
    for (int j = 0; j < R; j++) acc[j] = _mm512_fmadd_pd(h, _mm512_loadu_pd(x + m + 8 * j), acc[j]);
  }
  for (int j = 0; j < R; j++) _mm512_storeu_pd(sums + 8 * j, acc[j]);
}

// Adds 16 taps, h[0] to h[15], of 8 vectors of 8 outputs whose windows
// start at w, to the sums a: the blocking of pass6_avx2 with twice the
// lanes. The window loaded at offset s serves tap s - 8j of vector j and
// tap s - 8j + 8 of vector j - 1, so 72 loads feed 128 fused multiply-adds;
// neighbouring multiply-adds go to different sums. It reads doubles 0 to 78
// of w: its last window starts at 71. Written as instructions, in two
// blocks of eight coefficients each (an asm takes 30 operands at most),
// because the compiler otherwise keeps the 16 coefficients in memory and
// reloads one for every multiply-add; tools/avx512_group.py makes them by
// rule, and a test holds this text to its output. Each is vfmadd231pd, the fused
// multiply-add _mm512_fmadd_pd compiles to, and each output is still one
// chain over the taps, in its own order.
__attribute__((target("avx512f"), always_inline)) inline void group16_avx512(const double *h,
                                                                             const double *w,
                                                                             __m512d *a) {
  __m512d a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3], a4 = a[4], a5 = a[5], a6 = a[6], a7 = a[7];
  __m512d window;
  {
    const __m512d h0 = _mm512_set1_pd(h[0]), h1 = _mm512_set1_pd(h[1]), h2 = _mm512_set1_pd(h[2]),
                  h3 = _mm512_set1_pd(h[3]), h8 = _mm512_set1_pd(h[8]), h9 = _mm512_set1_pd(h[9]),
                  h10 = _mm512_set1_pd(h[10]), h11 = _mm512_set1_pd(h[11]);
    asm("vmovupd 0(%[w]), %[win]\n\t"
        "vfmadd231pd %[h0], %[win], %[a0]\n\t"
        "vmovupd 128(%[w]), %[win]\n\t"
        "vfmadd231pd %[h0], %[win], %[a2]\n\t"
        "vfmadd231pd %[h8], %[win], %[a1]\n\t"
        "vmovupd 256(%[w]), %[win]\n\t"
        "vfmadd231pd %[h0], %[win], %[a4]\n\t"
        "vfmadd231pd %[h8], %[win], %[a3]\n\t"
        "vmovupd 384(%[w]), %[win]\n\t"
        "vfmadd231pd %[h0], %[win], %[a6]\n\t"
        "vfmadd231pd %[h8], %[win], %[a5]\n\t"
        "vmovupd 512(%[w]), %[win]\n\t"
        "vfmadd231pd %[h8], %[win], %[a7]\n\t"
        "vmovupd 8(%[w]), %[win]\n\t"
        "vfmadd231pd %[h1], %[win], %[a0]\n\t"
        "vmovupd 136(%[w]), %[win]\n\t"
        "vfmadd231pd %[h1], %[win], %[a2]\n\t"
        "vfmadd231pd %[h9], %[win], %[a1]\n\t"
        "vmovupd 264(%[w]), %[win]\n\t"
        "vfmadd231pd %[h1], %[win], %[a4]\n\t"
        "vfmadd231pd %[h9], %[win], %[a3]\n\t"
        "vmovupd 392(%[w]), %[win]\n\t"
        "vfmadd231pd %[h1], %[win], %[a6]\n\t"
        "vfmadd231pd %[h9], %[win], %[a5]\n\t"
        "vmovupd 520(%[w]), %[win]\n\t"
        "vfmadd231pd %[h9], %[win], %[a7]\n\t"
        "vmovupd 16(%[w]), %[win]\n\t"
        "vfmadd231pd %[h2], %[win], %[a0]\n\t"
        "vmovupd 144(%[w]), %[win]\n\t"
        "vfmadd231pd %[h2], %[win], %[a2]\n\t"
        "vfmadd231pd %[h10], %[win], %[a1]\n\t"
        "vmovupd 272(%[w]), %[win]\n\t"
        "vfmadd231pd %[h2], %[win], %[a4]\n\t"
        "vfmadd231pd %[h10], %[win], %[a3]\n\t"
        "vmovupd 400(%[w]), %[win]\n\t"
        "vfmadd231pd %[h2], %[win], %[a6]\n\t"
        "vfmadd231pd %[h10], %[win], %[a5]\n\t"
        "vmovupd 528(%[w]), %[win]\n\t"
        "vfmadd231pd %[h10], %[win], %[a7]\n\t"
        "vmovupd 24(%[w]), %[win]\n\t"
        "vfmadd231pd %[h3], %[win], %[a0]\n\t"
        "vmovupd 152(%[w]), %[win]\n\t"
        "vfmadd231pd %[h3], %[win], %[a2]\n\t"
        "vfmadd231pd %[h11], %[win], %[a1]\n\t"
        "vmovupd 280(%[w]), %[win]\n\t"
        "vfmadd231pd %[h3], %[win], %[a4]\n\t"
        "vfmadd231pd %[h11], %[win], %[a3]\n\t"
        "vmovupd 408(%[w]), %[win]\n\t"
        "vfmadd231pd %[h3], %[win], %[a6]\n\t"
        "vfmadd231pd %[h11], %[win], %[a5]\n\t"
        "vmovupd 536(%[w]), %[win]\n\t"
        "vfmadd231pd %[h11], %[win], %[a7]\n\t"
        "vmovupd 64(%[w]), %[win]\n\t"
        "vfmadd231pd %[h0], %[win], %[a1]\n\t"
        "vfmadd231pd %[h8], %[win], %[a0]\n\t"
        "vmovupd 192(%[w]), %[win]\n\t"
        "vfmadd231pd %[h0], %[win], %[a3]\n\t"
        "vfmadd231pd %[h8], %[win], %[a2]\n\t"
        "vmovupd 320(%[w]), %[win]\n\t"
        "vfmadd231pd %[h0], %[win], %[a5]\n\t"
        "vfmadd231pd %[h8], %[win], %[a4]\n\t"
        "vmovupd 448(%[w]), %[win]\n\t"
        "vfmadd231pd %[h0], %[win], %[a7]\n\t"
        "vfmadd231pd %[h8], %[win], %[a6]\n\t"
        "vmovupd 72(%[w]), %[win]\n\t"
        "vfmadd231pd %[h1], %[win], %[a1]\n\t"
        "vfmadd231pd %[h9], %[win], %[a0]\n\t"
        "vmovupd 200(%[w]), %[win]\n\t"
        "vfmadd231pd %[h1], %[win], %[a3]\n\t"
        "vfmadd231pd %[h9], %[win], %[a2]\n\t"
        "vmovupd 328(%[w]), %[win]\n\t"
        "vfmadd231pd %[h1], %[win], %[a5]\n\t"
        "vfmadd231pd %[h9], %[win], %[a4]\n\t"
        "vmovupd 456(%[w]), %[win]\n\t"
        "vfmadd231pd %[h1], %[win], %[a7]\n\t"
        "vfmadd231pd %[h9], %[win], %[a6]\n\t"
        "vmovupd 80(%[w]), %[win]\n\t"
        "vfmadd231pd %[h2], %[win], %[a1]\n\t"
        "vfmadd231pd %[h10], %[win], %[a0]\n\t"
        "vmovupd 208(%[w]), %[win]\n\t"
        "vfmadd231pd %[h2], %[win], %[a3]\n\t"
        "vfmadd231pd %[h10], %[win], %[a2]\n\t"
        "vmovupd 336(%[w]), %[win]\n\t"
        "vfmadd231pd %[h2], %[win], %[a5]\n\t"
        "vfmadd231pd %[h10], %[win], %[a4]\n\t"
        "vmovupd 464(%[w]), %[win]\n\t"
        "vfmadd231pd %[h2], %[win], %[a7]\n\t"
        "vfmadd231pd %[h10], %[win], %[a6]\n\t"
        "vmovupd 88(%[w]), %[win]\n\t"
        "vfmadd231pd %[h3], %[win], %[a1]\n\t"
        "vfmadd231pd %[h11], %[win], %[a0]\n\t"
        "vmovupd 216(%[w]), %[win]\n\t"
        "vfmadd231pd %[h3], %[win], %[a3]\n\t"
        "vfmadd231pd %[h11], %[win], %[a2]\n\t"
        "vmovupd 344(%[w]), %[win]\n\t"
        "vfmadd231pd %[h3], %[win], %[a5]\n\t"
        "vfmadd231pd %[h11], %[win], %[a4]\n\t"
        "vmovupd 472(%[w]), %[win]\n\t"
        "vfmadd231pd %[h3], %[win], %[a7]\n\t"
        "vfmadd231pd %[h11], %[win], %[a6]\n\t"
        : [a0] "+v"(a0), [a1] "+v"(a1), [a2] "+v"(a2), [a3] "+v"(a3), [a4] "+v"(a4), [a5] "+v"(a5),
          [a6] "+v"(a6), [a7] "+v"(a7), [win] "=&v"(window)
        : [w] "r"(w), [h0] "v"(h0), [h1] "v"(h1), [h2] "v"(h2), [h3] "v"(h3), [h8] "v"(h8),
          [h9] "v"(h9), [h10] "v"(h10), [h11] "v"(h11)
        : "memory");
  }
  {
    const __m512d h4 = _mm512_set1_pd(h[4]), h5 = _mm512_set1_pd(h[5]), h6 = _mm512_set1_pd(h[6]),
                  h7 = _mm512_set1_pd(h[7]), h12 = _mm512_set1_pd(h[12]),
                  h13 = _mm512_set1_pd(h[13]), h14 = _mm512_set1_pd(h[14]),
                  h15 = _mm512_set1_pd(h[15]);
    asm("vmovupd 32(%[w]), %[win]\n\t"
        "vfmadd231pd %[h4], %[win], %[a0]\n\t"
        "vmovupd 160(%[w]), %[win]\n\t"
        "vfmadd231pd %[h4], %[win], %[a2]\n\t"
        "vfmadd231pd %[h12], %[win], %[a1]\n\t"
        "vmovupd 288(%[w]), %[win]\n\t"
        "vfmadd231pd %[h4], %[win], %[a4]\n\t"
        "vfmadd231pd %[h12], %[win], %[a3]\n\t"
        "vmovupd 416(%[w]), %[win]\n\t"
        "vfmadd231pd %[h4], %[win], %[a6]\n\t"
        "vfmadd231pd %[h12], %[win], %[a5]\n\t"
        "vmovupd 544(%[w]), %[win]\n\t"
        "vfmadd231pd %[h12], %[win], %[a7]\n\t"
        "vmovupd 40(%[w]), %[win]\n\t"
        "vfmadd231pd %[h5], %[win], %[a0]\n\t"
        "vmovupd 168(%[w]), %[win]\n\t"
        "vfmadd231pd %[h5], %[win], %[a2]\n\t"
        "vfmadd231pd %[h13], %[win], %[a1]\n\t"
        "vmovupd 296(%[w]), %[win]\n\t"
        "vfmadd231pd %[h5], %[win], %[a4]\n\t"
        "vfmadd231pd %[h13], %[win], %[a3]\n\t"
        "vmovupd 424(%[w]), %[win]\n\t"
        "vfmadd231pd %[h5], %[win], %[a6]\n\t"
        "vfmadd231pd %[h13], %[win], %[a5]\n\t"
        "vmovupd 552(%[w]), %[win]\n\t"
        "vfmadd231pd %[h13], %[win], %[a7]\n\t"
        "vmovupd 48(%[w]), %[win]\n\t"
        "vfmadd231pd %[h6], %[win], %[a0]\n\t"
        "vmovupd 176(%[w]), %[win]\n\t"
        "vfmadd231pd %[h6], %[win], %[a2]\n\t"
        "vfmadd231pd %[h14], %[win], %[a1]\n\t"
        "vmovupd 304(%[w]), %[win]\n\t"
        "vfmadd231pd %[h6], %[win], %[a4]\n\t"
        "vfmadd231pd %[h14], %[win], %[a3]\n\t"
        "vmovupd 432(%[w]), %[win]\n\t"
        "vfmadd231pd %[h6], %[win], %[a6]\n\t"
        "vfmadd231pd %[h14], %[win], %[a5]\n\t"
        "vmovupd 560(%[w]), %[win]\n\t"
        "vfmadd231pd %[h14], %[win], %[a7]\n\t"
        "vmovupd 56(%[w]), %[win]\n\t"
        "vfmadd231pd %[h7], %[win], %[a0]\n\t"
        "vmovupd 184(%[w]), %[win]\n\t"
        "vfmadd231pd %[h7], %[win], %[a2]\n\t"
        "vfmadd231pd %[h15], %[win], %[a1]\n\t"
        "vmovupd 312(%[w]), %[win]\n\t"
        "vfmadd231pd %[h7], %[win], %[a4]\n\t"
        "vfmadd231pd %[h15], %[win], %[a3]\n\t"
        "vmovupd 440(%[w]), %[win]\n\t"
        "vfmadd231pd %[h7], %[win], %[a6]\n\t"
        "vfmadd231pd %[h15], %[win], %[a5]\n\t"
        "vmovupd 568(%[w]), %[win]\n\t"
        "vfmadd231pd %[h15], %[win], %[a7]\n\t"
        "vmovupd 96(%[w]), %[win]\n\t"
        "vfmadd231pd %[h4], %[win], %[a1]\n\t"
        "vfmadd231pd %[h12], %[win], %[a0]\n\t"
        "vmovupd 224(%[w]), %[win]\n\t"
        "vfmadd231pd %[h4], %[win], %[a3]\n\t"
        "vfmadd231pd %[h12], %[win], %[a2]\n\t"
        "vmovupd 352(%[w]), %[win]\n\t"
        "vfmadd231pd %[h4], %[win], %[a5]\n\t"
        "vfmadd231pd %[h12], %[win], %[a4]\n\t"
        "vmovupd 480(%[w]), %[win]\n\t"
        "vfmadd231pd %[h4], %[win], %[a7]\n\t"
        "vfmadd231pd %[h12], %[win], %[a6]\n\t"
        "vmovupd 104(%[w]), %[win]\n\t"
        "vfmadd231pd %[h5], %[win], %[a1]\n\t"
        "vfmadd231pd %[h13], %[win], %[a0]\n\t"
        "vmovupd 232(%[w]), %[win]\n\t"
        "vfmadd231pd %[h5], %[win], %[a3]\n\t"
        "vfmadd231pd %[h13], %[win], %[a2]\n\t"
        "vmovupd 360(%[w]), %[win]\n\t"
        "vfmadd231pd %[h5], %[win], %[a5]\n\t"
        "vfmadd231pd %[h13], %[win], %[a4]\n\t"
        "vmovupd 488(%[w]), %[win]\n\t"
        "vfmadd231pd %[h5], %[win], %[a7]\n\t"
        "vfmadd231pd %[h13], %[win], %[a6]\n\t"
        "vmovupd 112(%[w]), %[win]\n\t"
        "vfmadd231pd %[h6], %[win], %[a1]\n\t"
        "vfmadd231pd %[h14], %[win], %[a0]\n\t"
        "vmovupd 240(%[w]), %[win]\n\t"
        "vfmadd231pd %[h6], %[win], %[a3]\n\t"
        "vfmadd231pd %[h14], %[win], %[a2]\n\t"
        "vmovupd 368(%[w]), %[win]\n\t"
        "vfmadd231pd %[h6], %[win], %[a5]\n\t"
        "vfmadd231pd %[h14], %[win], %[a4]\n\t"
        "vmovupd 496(%[w]), %[win]\n\t"
        "vfmadd231pd %[h6], %[win], %[a7]\n\t"
        "vfmadd231pd %[h14], %[win], %[a6]\n\t"
        "vmovupd 120(%[w]), %[win]\n\t"
        "vfmadd231pd %[h7], %[win], %[a1]\n\t"
        "vfmadd231pd %[h15], %[win], %[a0]\n\t"
        "vmovupd 248(%[w]), %[win]\n\t"
        "vfmadd231pd %[h7], %[win], %[a3]\n\t"
        "vfmadd231pd %[h15], %[win], %[a2]\n\t"
        "vmovupd 376(%[w]), %[win]\n\t"
        "vfmadd231pd %[h7], %[win], %[a5]\n\t"
        "vfmadd231pd %[h15], %[win], %[a4]\n\t"
        "vmovupd 504(%[w]), %[win]\n\t"
        "vfmadd231pd %[h7], %[win], %[a7]\n\t"
        "vfmadd231pd %[h15], %[win], %[a6]\n\t"
        : [a0] "+v"(a0), [a1] "+v"(a1), [a2] "+v"(a2), [a3] "+v"(a3), [a4] "+v"(a4), [a5] "+v"(a5),
          [a6] "+v"(a6), [a7] "+v"(a7), [win] "=&v"(window)
        : [w] "r"(w), [h4] "v"(h4), [h5] "v"(h5), [h6] "v"(h6), [h7] "v"(h7), [h12] "v"(h12),
          [h13] "v"(h13), [h14] "v"(h14), [h15] "v"(h15)
        : "memory");
  }

  a[0] = a0, a[1] = a1, a[2] = a2, a[3] = a3, a[4] = a4, a[5] = a5, a[6] = a6, a[7] = a7;
}

// The last taps, fewer than 16, go as a group whose other coefficients are
// 0: a product with a coefficient of 0 adds an exact 0 to a sum, and no
// rounding. Its windows reach up to 15 samples past the ones the outputs
// need, finite samples of the same window except in a block's last pass,
// which reads a copy of just the samples it needs, 0 beyond.
__attribute__((target("avx512f"))) void pass8_avx512(const double *reversed, const double *x,
                                                     int taps, double *sums, bool last) {
  __m512d acc[8];
  for (__m512d &a : acc) a = _mm512_setzero_pd();
  int m = 0;
  for (; m + 16 <= taps; m += 16) group16_avx512(reversed + m, x + m, acc);
  if (m < taps) {
    const int rest = taps - m;
    double h[16] = {};
    std::copy_n(reversed + m, rest, h);
    if (last) {
      // The rest + 63 samples the outputs need (78 at most), zeros after:
      // room for the 79 doubles the group reads.
      double w[8 * 8 + 8 + 16] = {};
      std::copy_n(x + m, rest + 63, w);
      group16_avx512(h, w, acc);
    } else {
      group16_avx512(h, x + m, acc);
    }
  }
  for (int j = 0; j < 8; j++) _mm512_storeu_pd(sums + 8 * j, acc[j]);
}

}  // namespace

__attribute__((target("avx512f"))) void sums_avx512(const double *reversed, const double *x,
                                                    int taps, int n, double *sums) {
  int i = 0;
  for (; i + 64 <= n; i += 64) pass8_avx512(reversed, x + i, taps, sums + i, i + 128 > n);
  for (; i < n; i += 8) pass_avx512<1>(reversed, x + i, taps, sums + i);
}

#endif
