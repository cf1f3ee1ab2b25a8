// The static tables every part of tapsum shares: the coefficient columns, the ring buffers and
// the line buffer.
#include "cli/tapsum.h"

double fir_coef1[MAX_FIR_SAMPLES];
double fir_coef2[MAX_FIR_SAMPLES];
double data1[MAX_FIR_SAMPLES];
double data2[MAX_FIR_SAMPLES];
char line[80];
