// The run sequence, shared by tapsum and by the build of it on the direct path.
#pragma once

#include "filter/filter.h"

// The filter stage a build runs: fir after fir_setup, or fir_direct, which
// needs no setup (nullptr), for the reference.
struct filter_stage {
  void (*setup)(const filter_job &job);
  uint64_t (*run)(byte_stream &in, byte_stream &out, const filter_job &job);
};

// Runs tapsum on the command line with filter as its filter stage; returns
// the process's status, or ends the process.
int run_tapsum(int argc, char **argv, filter_stage filter);
