// Test helpers: WAV bytes, temporary files, runs of the built tool and of the filter engine.
#include "tests/support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cli/tapsum.h"

std::string le16(int v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)};
}

std::string le32(uint32_t v) {
  return le16(static_cast<int>(v & 0xFFFF)) + le16(static_cast<int>(v >> 16));
}

std::string wav_header(int channels, int bits, uint32_t data_size, int32_t rate) {
  const int block = channels * bits / 8;
  return "RIFF" + le32(data_size + 36) + "WAVEfmt " + le32(16) + le16(1) + le16(channels) +
         le32(static_cast<uint32_t>(rate)) + le32(static_cast<uint32_t>(rate * block)) +
         le16(block) + le16(bits) + "data" + le32(data_size);
}

std::string temp_file(const std::string &name, const std::string &bytes) {
  const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string dir = testing::TempDir() + "tapsum_" + test->test_suite_name() + "_" +
                          test->name() + "_" + std::to_string(getpid());
  mkdir(dir.c_str(), 0700);
  std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
  return dir + "/" + name;
}

std::string read_file(const std::string &path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

run_result run_tool(const std::string &command) {
  const std::string out = temp_file("stdout", "");
  const std::string err = temp_file("stderr", "");
  const std::string line = "cd " + out.substr(0, out.rfind('/')) + " && tapsum() { " +
                           TAPSUM_BINARY + " \"$@\"; } && { " + command + "; } >>stdout 2>stderr";
  const int status = system(("bash -o pipefail -c '" + line + "'").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
}

filtered run_filter(const job &j, engine filter) {
  for (size_t k = 0; k < j.col1.size(); k++) {
    fir_coef1[k] = j.col1[k];
    fir_coef2[k] = j.col2.empty() ? j.col1[k] : j.col2[k];
  }
  FILE *in = fmemopen(const_cast<char *>(j.data.data()), j.data.size(), "rb");
  FILE *out = tmpfile();
  testing::internal::CaptureStderr();
  const uint64_t written =
      filter(in, out, j.channels, j.in_bits, j.out_bits, static_cast<int>(j.col1.size()),
             j.col2.empty() ? 0 : 1, j.frames);
  const std::string err = testing::internal::GetCapturedStderr();
  const int next = getc(in);
  fclose(in);
  std::string bytes(static_cast<size_t>(ftell(out)), '\0');
  rewind(out);
  bytes.resize(fread(bytes.data(), 1, bytes.size(), out));
  fclose(out);
  return {bytes, err, written, next};
}
