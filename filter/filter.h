// The filter stage: streaming direct-form convolution of the input with the coefficient columns.
#pragma once

#include <cstdint>
#include <cstdio>

// Filters the data chunk of in into out, frame by frame, and returns the
// number of frames written: the frames read plus taps - 1 frames of tail.
// Reading stops at the end of the input or after frames frames (0 never
// matches). Prints the progress, the peak level and the clipping warning.
uint32_t fir(FILE *in, FILE *out, int channels, int in_bits, int out_bits, int taps, int stereo_fir,
             uint32_t frames);
