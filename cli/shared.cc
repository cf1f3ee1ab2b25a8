// The static tables and the fatal-error routine.
#include <cstdio>
#include <cstdlib>

#include "cli/tapsum.h"

double fir_coef1[MAX_FIR_SAMPLES];
double fir_coef2[MAX_FIR_SAMPLES];
double data1[MAX_FIR_SAMPLES];
double data2[MAX_FIR_SAMPLES];
char line[80];

void err_exit(const char *message, int status) {
  fputs(message, stderr);
  exit(status);
}

void err_exit(const char *format, const char *arg, int status) {
  fprintf(stderr, format, arg);
  exit(status);
}

void err_exit(const char *format, int arg, int status) {
  fprintf(stderr, format, arg);
  exit(status);
}

void input_failed() {
  err_exit("tapsum: Can't read input file.\n", 2);
}

void output_failed() {
  err_exit("tapsum: Can't write to output file. File system is possibly full.\n", 2);
}
