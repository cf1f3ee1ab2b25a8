// Helpers for the tests: WAV bytes, temporary files, in-memory streams and runs of the built tool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The canonical 44-byte header: a 16-byte format chunk, then the data chunk.
std::string wav_header(int channels, int bits, uint32_t data_size, int32_t rate = 8000);
// Little-endian encodings, for building headers and sample data.
std::string le16(int v);
std::string le32(uint32_t v);

// A file of these bytes in the test's own temporary folder; returns its path.
std::string temp_file(const std::string &name, const std::string &bytes);
std::string read_file(const std::string &path);

// A read stream over bytes, and an empty stream to write to (tmpfile).
FILE *stream_of(const std::string &bytes);
std::string contents(FILE *written);

// Runs fn with stderr captured and returns what it printed.
template <typename Fn>
std::string stderr_of(Fn fn);

struct run_result {
  int status;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs the built tapsum with args, feeding stdin_bytes through a pipe.
run_result run_tool(const std::vector<std::string> &args, const std::string &stdin_bytes = "");

// A death-test pattern that matches message exactly as a substring.
std::string literally(const std::string &message);

#include <gtest/gtest.h>

template <typename Fn>
std::string stderr_of(Fn fn) {
  testing::internal::CaptureStderr();
  fn();
  return testing::internal::GetCapturedStderr();
}
