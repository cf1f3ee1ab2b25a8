// The entry of tapsum_direct: tapsum with every output computed by the direct path, the
// reference the benchmark measures and checks the engine against.
#include "cli/run.h"

int main(int argc, char **argv) {
  return run_tapsum(argc, argv, {nullptr, fir_direct});
}
