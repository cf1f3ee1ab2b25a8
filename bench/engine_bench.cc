// The filter engine's speed: the processor's multiply-add peak, the kernels against it, and the
// whole engine against the direct path.
//
// peak/LEVEL runs independent fused multiply-add chains in registers: the
// most multiply-adds per ns one core can do with that instruction set.
// kernel/LEVEL/TAPS runs the double-sum kernel alone on one thread over a
// block of 8192 outputs, and reports its rate as a share of that peak. The
// engine runs filter 2 s of 16-bit stereo at 44.1 kHz from memory to
// /dev/null through a windowed-sinc low-pass of 31 to 8191 taps: the samples
// of the canonical WAV file named as the first argument, or Gaussian noise.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#ifdef __x86_64__
#include <immintrin.h>
#endif

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "base/extended.h"
#include "base/report.h"
#include "base/streams.h"
#include "filter/engine.h"

namespace {

constexpr uint32_t frames = 2 * 44100;

std::vector<char> samples;
std::vector<double> coef;  // the low-pass column
double peak_rate[3];       // multiply-adds per ns, by kernel level

std::vector<char> noise() {
  std::mt19937 random(1);
  std::normal_distribution<double> normal(0, 6000);
  std::vector<char> data;
  for (uint32_t i = 0; i < 2 * frames; i++) {
    const int v =
        static_cast<int>(std::lround(std::fmax(-32768, std::fmin(32767, normal(random)))));
    data.push_back(static_cast<char>(v & 0xFF));
    data.push_back(static_cast<char>(v >> 8 & 0xFF));
  }
  return data;
}

void low_pass(int taps) {
  const double pi = std::acos(-1.0);
  coef.resize(static_cast<size_t>(taps));
  for (int n = 0; n < taps; n++) {
    const double x = n - (taps - 1) / 2.0;
    const double sinc = x == 0 ? 0.2 : std::sin(0.2 * pi * x) / (pi * x);
    coef[n] = sinc * (0.54 - 0.46 * std::cos(2 * pi * n / (taps - 1)));
  }
}

#ifdef __x86_64__
// Independent chains of vector multiply-adds: two multiply-add units of
// latency 4 or 5 need 8 to 10 chains busy. 12 in the 16 AVX2 registers,
// with the two constants; 16 chains there would spill, and the loop would
// measure the spills (a kernel then showed more than 100% of it). 16 of
// the 32 AVX-512 registers. The compiler may not merge or drop them (no
// fast-math). Each returns the multiply-adds done.
__attribute__((target("avx2,fma"))) double run_avx2(long rounds, double *sink) {
  __m256d acc[12];
  for (int j = 0; j < 12; j++) acc[j] = _mm256_set1_pd(1.0 / (j + 2));
  const __m256d a = _mm256_set1_pd(0.999999), b = _mm256_set1_pd(1e-9);
  for (long r = 0; r < rounds; r++)
    for (int j = 0; j < 12; j++) acc[j] = _mm256_fmadd_pd(acc[j], a, b);
  for (int j = 1; j < 12; j++) acc[0] = _mm256_add_pd(acc[0], acc[j]);
  *sink = _mm256_cvtsd_f64(acc[0]);
  return 12.0 * 4 * static_cast<double>(rounds);
}

__attribute__((target("avx512f"))) double run_avx512(long rounds, double *sink) {
  __m512d acc[16];
  for (int j = 0; j < 16; j++) acc[j] = _mm512_set1_pd(1.0 / (j + 2));
  const __m512d a = _mm512_set1_pd(0.999999), b = _mm512_set1_pd(1e-9);
  for (long r = 0; r < rounds; r++)
    for (int j = 0; j < 16; j++) acc[j] = _mm512_fmadd_pd(acc[j], a, b);
  for (int j = 1; j < 16; j++) acc[0] = _mm512_add_pd(acc[0], acc[j]);
  double lanes[8];
  _mm512_storeu_pd(lanes, acc[0]);
  *sink = lanes[0];
  return 16.0 * 8 * static_cast<double>(rounds);
}

#endif

// The portable kernel multiplies and adds separately, in whatever vectors
// the compiler's baseline has (two lanes on x86-64 and arm64): a chain's
// step is a multiply and an add in turn, twice the latency of one, so it
// takes 28 chains, 14 of the 16 registers of two lanes (arm64 has 32).
// The empty statement after each round keeps the compiler from turning
// the loops inside out, one chain at a time; noinline keeps the loop as
// written wherever it is called from.
__attribute__((noinline)) double run_portable(long rounds, double *sink) {
  double acc[28];
  for (int j = 0; j < 28; j++) acc[j] = 1.0 / (j + 2);
  for (long r = 0; r < rounds; r++) {
    for (int j = 0; j < 28; j++) acc[j] = acc[j] * 0.999999 + 1e-9;
    __asm__ volatile("");
  }
  for (int j = 1; j < 28; j++) acc[0] += acc[j];
  *sink = acc[0];
  return 28.0 * static_cast<double>(rounds);
}

double peak_of(int level, long rounds, double *sink) {
#ifdef __x86_64__
  if (level == 2) return run_avx512(rounds, sink);
  if (level == 1) return run_avx2(rounds, sink);
#else
  (void)level;
#endif
  return run_portable(rounds, sink);
}

void peak(benchmark::State &state) {
  const int level = static_cast<int>(state.range(0));
  if (level > best_kernel_level()) {
    state.SkipWithError("this processor lacks the instructions");
    return;
  }
  double sink = 0;
  double macs = 0;
  for (auto _ : state) macs += peak_of(level, 1 << 20, &sink);
  benchmark::DoNotOptimize(sink);
  state.counters["Gmac"] = benchmark::Counter(macs / 1e9, benchmark::Counter::kIsRate);
}

// The peak measured once, before the kernels, for their share of it.
double measure_peak(int level) {
  double sink = 0;
  peak_of(level, 1 << 18, &sink);
  const auto start = std::chrono::steady_clock::now();
  const double macs = peak_of(level, 1 << 24, &sink);
  const double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  benchmark::DoNotOptimize(sink);
  return macs / ns;
}

void kernel(benchmark::State &state) {
  const int level = static_cast<int>(state.range(0));
  const int taps = static_cast<int>(state.range(1));
  if (set_kernel_level(static_cast<kernel_level>(level)) != level) {
    state.SkipWithError("this processor lacks the kernel");
    return;
  }
  constexpr int n = 8192;
  std::vector<double> h(taps, 0.001);
  std::vector<double> x(n + taps, 0.25);
  std::vector<double> sums(n);
  double macs = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    block_sums(h.data(), x.data(), taps, n, sums.data());
    benchmark::DoNotOptimize(sums.data());
    macs += static_cast<double>(n) * taps;
  }
  const double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  state.counters["Gmac"] = benchmark::Counter(macs / 1e9, benchmark::Counter::kIsRate);
  state.counters["peak%"] = 100 * macs / ns / peak_rate[level];
  set_kernel_level(best_kernel_level());
}

// The exact sums alone, four interleaved chains at a time over a window of
// 2048 outputs, in the extended format and with the running sum rounded to
// double (rounded = 1): the rate of every output a bound can't decide, and
// of a whole run whose coefficients have no bound. Taps 0: every tap
// visited in turn; 1: every tap through a list of the taps not zero, as a
// column with a zero is summed; 2: that list for a column with every other
// tap zero (a half-band filter), counted as all taps.
void exact(benchmark::State &state) {
  const int taps = static_cast<int>(state.range(0));
  const bool rounded = state.range(1) != 0;
  const int listed = static_cast<int>(state.range(2));
  constexpr int n = 2048;
  low_pass(taps);
  std::vector<int> index, before;
  for (int k = 0; k < taps; k++) {
    if (listed == 2 && k % 2 == 1) coef[k] = 0;
    before.push_back(static_cast<int>(index.size()));
    if (coef[k] != 0) index.push_back(k);
  }
  before.push_back(static_cast<int>(index.size()));
  const tap_list list =
      listed == 0 ? tap_list{nullptr, nullptr} : tap_list{index.data(), before.data()};
  std::vector<double> x(n + taps);
  std::mt19937 random(3);
  std::uniform_real_distribution<double> value(-1, 1);
  for (double &v : x) v = value(random);
  extended sums[4];
  double macs = 0;
  for (auto _ : state) {
    for (int i = 0; i < n; i += 4) {
      const double *at[4] = {&x[i + taps - 1], &x[i + taps], &x[i + taps + 1], &x[i + taps + 2]};
      for (extended &sum : sums) sum = 0;
      exact_sum4(coef.data(), at, 0, taps - 1, list, rounded, sums);
      benchmark::DoNotOptimize(sums);
    }
    macs += static_cast<double>(n) * taps;
  }
  state.counters["Gmac"] = benchmark::Counter(macs / 1e9, benchmark::Counter::kIsRate);
}

template <uint64_t (*engine)(byte_stream &, byte_stream &, const filter_job &)>
void filter(benchmark::State &state) {
  std::vector<char> &data = samples;
  const int taps = static_cast<int>(state.range(0));
  set_filter_threads(static_cast<int>(state.range(1)));
  set_filter_method(static_cast<filter_method>(state.range(2)));
  low_pass(taps);
  static unsigned char in_buffer[1 << 16], out_buffer[1 << 16];
  const int in_fd = memfd_create("samples", 0);
  if (write(in_fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
    state.SkipWithError("can't hold the samples in memory");
  const int out_fd = open("/dev/null", O_WRONLY);
  const sample_depth *depth = depth_of(16, false);
  const filter_job job{2, depth, taps, false, depth, frames, false, {coef.data(), coef.data()}};
  uint64_t outputs = 0;
  uint64_t exact = 0;
  for (auto _ : state) {
    lseek(in_fd, 0, SEEK_SET);
    byte_stream in = stream_on(in_fd, in_buffer, sizeof in_buffer, input_failed);
    byte_stream out = stream_on(out_fd, out_buffer, sizeof out_buffer, output_failed);
    if (engine == fir) fir_setup(job);
    const uint64_t written = engine(in, out, job);
    flush_bytes(out);
    outputs += 2 * written;
    exact += exact_outputs();
  }
  close(in_fd);
  close(out_fd);
  set_filter_threads(0);
  set_filter_method(automatic);
  const double macs = 2.0 * frames * taps;
  // Shown per second: Gmac/s, multiply-adds per ns.
  state.counters["Gmac"] =
      benchmark::Counter(macs / 1e9, benchmark::Counter::kIsIterationInvariantRate);
  if (engine == fir)
    state.counters["exact%"] = 100.0 * static_cast<double>(exact) / static_cast<double>(outputs);
}

BENCHMARK(peak)->Name("peak")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(kernel)
    ->Name("kernel")
    ->ArgsProduct({{0, 1, 2}, {31, 255, 1023, 8191}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(exact)
    ->Name("exact")
    ->ArgsProduct({{255, 8191}, {0, 1}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(filter<fir_direct>)
    ->Name("direct")
    ->Args({31, 1, 0})
    ->Args({255, 1, 0})
    ->Args({1023, 1, 0})
    ->Args({8191, 1, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(filter<fir>)
    ->Name("fast")
    ->ArgsProduct({{31, 255, 1023, 8191}, {1, 0}, {kernel_sums, transform_sums}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  // --method TAPS SECONDS: the method a run of TAPS rows over SECONDS of
  // stereo at 44.1 kHz takes, for bench/run.sh.
  if (argc == 4 && strcmp(argv[1], "--method") == 0) {
    const int taps = atoi(argv[2]);
    const uint64_t products = output_frames(44100 * strtoull(argv[3], nullptr, 10), taps) * 2 *
                              static_cast<uint64_t>(taps);
    puts(method_for(taps, products) == transform_sums ? "fft" : "kernels");
    return 0;
  }
  // The engine reports its progress on stderr.
  benchmark::Initialize(&argc, argv);
  samples = noise();
  if (argc > 1) {
    FILE *wav = fopen(argv[1], "rb");
    if (wav == nullptr || fseek(wav, 44, SEEK_SET) != 0 ||
        fread(samples.data(), 1, samples.size(), wav) != samples.size()) {
      fprintf(stderr, "engine_bench: can't read 2 s of samples from '%s'\n", argv[1]);
      return 1;
    }
    fclose(wav);
  }
  const int best = best_kernel_level();
  for (int level = 0; level <= best; level++) peak_rate[level] = measure_peak(level);
  printf("kernel levels: 0 portable, 1 AVX2 with FMA, 2 AVX-512; this processor: up to %d\n", best);
  if (freopen("/dev/null", "w", stderr) == nullptr) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
