// Test helpers: WAV bytes, temporary files and runs of the built tool.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

inline std::string le16(int v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)};
}

inline std::string le32(uint32_t v) {
  return le16(static_cast<int>(v & 0xFFFF)) + le16(static_cast<int>(v >> 16));
}

// The canonical 44-byte header: a 16-byte format chunk, then the data chunk.
inline std::string wav_header(int channels, int bits, uint32_t data_size, int32_t rate = 8000) {
  const int block = channels * bits / 8;
  return "RIFF" + le32(data_size + 36) + "WAVEfmt " + le32(16) + le16(1) + le16(channels) +
         le32(static_cast<uint32_t>(rate)) + le32(static_cast<uint32_t>(rate * block)) +
         le16(block) + le16(bits) + "data" + le32(data_size);
}

// A file of these bytes in the test's own temporary folder; returns its path.
inline std::string temp_file(const std::string &name, const std::string &bytes) {
  const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string dir = testing::TempDir() + "tapsum_" + test->test_suite_name() + "_" +
                          test->name() + "_" + std::to_string(getpid());
  mkdir(dir.c_str(), 0700);
  std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
  return dir + "/" + name;
}

inline std::string read_file(const std::string &path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// Runs a bash command line in the test's folder, with "tapsum" standing for
// the built tool; its standard output goes to the file "stdout" there.
struct run_result {
  int status;
  std::string out;
  std::string err;
};
inline run_result run_tool(const std::string &command) {
  const std::string out = temp_file("stdout", "");
  const std::string err = temp_file("stderr", "");
  const std::string line = "cd " + out.substr(0, out.rfind('/')) + " && tapsum() { " +
                           TAPSUM_BINARY + " \"$@\"; } && { " + command + "; } >>stdout 2>stderr";
  const int status = system(("bash -o pipefail -c '" + line + "'").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
}
