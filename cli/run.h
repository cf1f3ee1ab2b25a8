// The run sequence, shared by tapsum and by the build of it on the direct path.
#pragma once

#include <cstdio>

#include "filter/filter.h"

// The filter stage a build runs: fir, or fir_direct for the reference.
using filter_stage = uint64_t (*)(FILE *in, FILE *out, const filter_job &job);

// Runs tapsum on the command line with filter as its filter stage; returns
// the process's status, or ends the process.
int run_tapsum(int argc, char **argv, filter_stage filter);
