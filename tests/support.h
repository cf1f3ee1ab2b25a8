// Test helpers: WAV bytes, temporary files, streams, filter runs and runs of the built tool.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The canonical 44-byte header: a 16-byte format chunk, then the data chunk.
std::string wav_header(int channels, int bits, uint32_t data_size, int32_t rate = 8000);
std::string le16(int v);
std::string le32(uint32_t v);

// A file of these bytes in the test's own temporary folder; returns its path.
std::string temp_file(const std::string &name, const std::string &bytes);
std::string read_file(const std::string &path);
// A seekable stream holding bytes, and the bytes written to a stream.
FILE *stream_of(const std::string &bytes);
std::string contents(FILE *written);

template <typename Fn>
std::string stderr_of(Fn fn) {
  testing::internal::CaptureStderr();
  fn();
  return testing::internal::GetCapturedStderr();
}

// A filter stage: the coefficient columns (col2 empty for one column), the
// input's layout, the data chunk's body and the frames it declares.
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
// Loads the columns and runs the engine, fir unless another is named.
filtered run_filter(const job &j, engine filter = nullptr);

struct run_result {
  int status;  // -1 when the process did not exit normally
  std::string out;
  std::string err;
};
// Where a run of the built tool reads and writes. By default standard input
// is a pipe fed with stdin_bytes and standard output a new regular file.
struct tool_io {
  std::string stdin_bytes;
  std::string stdin_file;     // standard input opened on this file instead
  std::string stdout_file;    // standard output opened on this file, appending
  bool stdout_pipe = false;   // standard output a pipe
  long file_size_limit = -1;  // writes past it fail as on a full disk
};
run_result run_tool(const std::vector<std::string> &args, const tool_io &io);
run_result run_tool(const std::vector<std::string> &args, const std::string &stdin_bytes = "",
                    long file_size_limit = -1);
