// Loading the coefficient file into the filter's coefficient table.
#pragma once

#include <vector>

// The most coefficient rows a file may give; rows past it are left out.
constexpr int MAX_FIR_SAMPLES = 1 << 20;

// The filter's coefficients: entry k of a column weighs the input sample k
// frames back. A one-column file fills the first column alone, which then
// serves both output channels.
struct fir_table {
  std::vector<double> columns[2];
  int taps;     // coefficient rows, 1 to MAX_FIR_SAMPLES
  bool stereo;  // the file has two columns, one per output channel
};

// Reads the table from the file open on fd, named name, closes it and
// prints the count line. Ends the process on a file with no table, with
// rows of differing width, or that can't be read.
fir_table load_fir(int fd, const char *name);

// Scans one number the way "%lf" does, except that the words for infinity
// and NaN are not numbers. Returns 1 and sets value and used (the characters
// consumed), or returns 0.
int scan_number(const char *text, double *value, int *used);
