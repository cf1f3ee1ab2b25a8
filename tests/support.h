// Test helpers: WAV bytes, temporary files, runs of the built tool and of the filter engine.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

std::string le16(int v);
std::string le32(uint32_t v);
// The canonical 44-byte header: a 16-byte format chunk, then the data chunk.
std::string wav_header(int channels, int bits, uint32_t data_size, int32_t rate = 8000);
// A file of these bytes in the test's own temporary folder; returns its path.
std::string temp_file(const std::string &name, const std::string &bytes);
std::string read_file(const std::string &path);

// Runs a bash command line in the test's folder, with "tapsum" standing for
// the built tool; its standard output goes to the file "stdout" there.
struct run_result {
  int status;
  std::string out;
  std::string err;
};
run_result run_tool(const std::string &command);

// A filter stage in this process: the coefficient columns (col2 empty for
// one column), the input's layout, the data chunk's body, declared frames.
struct job {
  std::vector<double> col1;
  std::vector<double> col2;
  int channels;
  int in_bits;
  int out_bits;
  std::string data;
  uint32_t frames;
};
struct filtered {
  std::string out;
  std::string err;
  uint64_t written;
  int next;  // the input byte after the filter stopped reading
};
using engine = uint64_t (*)(FILE *, FILE *, int, int, int, int, int, uint32_t);
filtered run_filter(const job &j, engine filter);
