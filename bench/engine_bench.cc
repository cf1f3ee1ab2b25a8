// The filter engine's speed: the direct path against the fast path, in multiply-adds per ns.
//
// Each run filters 2 s of 16-bit stereo at 44.1 kHz from memory to /dev/null
// through a windowed-sinc low-pass of 31 to 8191 taps: the samples of the
// canonical WAV file named as the first argument, or Gaussian noise.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "cli/tapsum.h"
#include "filter/filter.h"

namespace {

constexpr uint32_t frames = 2 * 44100;

std::vector<char> samples;

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
  for (int n = 0; n < taps; n++) {
    const double x = n - (taps - 1) / 2.0;
    const double sinc = x == 0 ? 0.2 : std::sin(0.2 * pi * x) / (pi * x);
    fir_coef1[n] = fir_coef2[n] = sinc * (0.54 - 0.46 * std::cos(2 * pi * n / (taps - 1)));
  }
}

template <uint32_t (*engine)(FILE *, FILE *, int, int, int, int, int, uint32_t)>
void filter(benchmark::State &state) {
  std::vector<char> &data = samples;
  const int taps = static_cast<int>(state.range(0));
  low_pass(taps);
  FILE *out = fopen("/dev/null", "wb");
  uint64_t outputs = 0;
  uint64_t exact = 0;
  for (auto _ : state) {
    FILE *in = fmemopen(data.data(), data.size(), "rb");
    const uint32_t written = engine(in, out, 2, 16, 16, taps, 0, frames);
    fclose(in);
    outputs += 2 * uint64_t{written};
    exact += exact_outputs();
  }
  fclose(out);
  const double macs = 2.0 * frames * taps;
  // Shown per second: Gmac/s, multiply-adds per ns.
  state.counters["Gmac"] =
      benchmark::Counter(macs / 1e9, benchmark::Counter::kIsIterationInvariantRate);
  if (engine == fir)
    state.counters["exact%"] = 100.0 * static_cast<double>(exact) / static_cast<double>(outputs);
}

BENCHMARK(filter<fir_direct>)
    ->Name("direct")
    ->Arg(31)
    ->Arg(255)
    ->Arg(1023)
    ->Arg(8191)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(filter<fir>)
    ->Name("fast")
    ->Arg(31)
    ->Arg(255)
    ->Arg(1023)
    ->Arg(8191)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
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
  if (freopen("/dev/null", "w", stderr) == nullptr) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
