// Loading the coefficient file into fir_coef1 and fir_coef2.
#pragma once

struct fir_shape {
  int taps;     // coefficient rows, 1 to MAX_FIR_SAMPLES
  bool stereo;  // the file has two columns, one per output channel
};

// Reads the table from the file open on fd, named name, closes it and
// prints the count line. Ends the process on a file with no table, with
// rows of differing width, or that can't be read.
fir_shape load_fir(int fd, const char *name);

// Scans one number the way "%lf" does, except that the words for infinity
// and NaN are not numbers. Returns 1 and sets value and used (the characters
// consumed), or returns 0.
int scan_number(const char *text, double *value, int *used);
