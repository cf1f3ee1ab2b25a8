// tapsum's entry.
#include "cli/run.h"

int main(int argc, char **argv) {
  return run_tapsum(argc, argv, {fir_setup, fir});
}
