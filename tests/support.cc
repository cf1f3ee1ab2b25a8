// Test helpers: WAV bytes, temporary files, streams, filter runs and runs of the built tool.
#include "tests/support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "cli/tapsum.h"
#include "filter/filter.h"

std::string le16(int v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)};
}

std::string le32(uint32_t v) {
  return le16(static_cast<int>(v & 0xFFFF)) + le16(static_cast<int>(v >> 16));
}

std::string wav_header(int channels, int bits, uint32_t data_size, int32_t rate) {
  const int block = channels * bits / 8;
  return "RIFF" + le32(data_size + 36) + "WAVE" + "fmt " + le32(16) +  // format chunk, 16 bytes
         le16(1) + le16(channels) +                                    // PCM, channels
         le32(static_cast<uint32_t>(rate)) +                           // sample rate
         le32(static_cast<uint32_t>(rate * block)) + le16(block) + le16(bits) + "data" +
         le32(data_size);
}

std::string temp_file(const std::string &name, const std::string &bytes) {
  const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string dir = testing::TempDir() + "tapsum_" + test->test_suite_name() + "_" +
                          test->name() + "_" + std::to_string(getpid());
  mkdir(dir.c_str(), 0700);
  const std::string path = dir + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

FILE *stream_of(const std::string &bytes) {
  FILE *f = tmpfile();
  fwrite(bytes.data(), 1, bytes.size(), f);
  rewind(f);
  return f;
}

std::string contents(FILE *written) {
  fflush(written);
  rewind(written);
  std::string bytes;
  for (int c; (c = getc(written)) != EOF;) bytes += static_cast<char>(c);
  fclose(written);
  return bytes;
}

run_result run_tool(const std::vector<std::string> &args, const tool_io &io) {
  const std::string out_path =
      io.stdout_file.empty() ? temp_file("run.stdout", "") : io.stdout_file;
  int feed[2];
  int report[2];  // stderr through a pipe, so that a file size limit spares it
  int output[2];
  if (pipe(feed) != 0 || pipe(report) != 0 || pipe(output) != 0) return {-1, "", "pipe failed"};
  signal(SIGPIPE, SIG_IGN);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(io.stdin_file.empty() ? feed[0] : open(io.stdin_file.c_str(), O_RDONLY), 0);
    dup2(io.stdout_pipe ? output[1]
                        : open(out_path.c_str(),
                               io.stdout_file.empty() ? O_WRONLY | O_TRUNC : O_WRONLY | O_APPEND),
         1);
    dup2(report[1], 2);
    for (const int fd : {feed[0], feed[1], report[0], report[1], output[0], output[1]}) close(fd);
    if (io.file_size_limit >= 0) {
      const rlimit limit{static_cast<rlim_t>(io.file_size_limit),
                         static_cast<rlim_t>(io.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGXFSZ, SIG_IGN);
    }
    std::vector<char *> argv{const_cast<char *>(TAPSUM_BINARY)};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(TAPSUM_BINARY, argv.data());
    _exit(127);
  }
  close(feed[0]);
  close(report[1]);
  close(output[1]);
  for (size_t done = 0; done < io.stdin_bytes.size();) {
    const ssize_t n = write(feed[1], io.stdin_bytes.data() + done, io.stdin_bytes.size() - done);
    if (n <= 0) break;  // the tool stopped reading
    done += static_cast<size_t>(n);
  }
  close(feed[1]);
  // The tests' outputs are small: each fits a pipe's buffer while the
  // other is read.
  std::string piped;
  std::string err;
  for (const auto &[fd, into] : {std::pair{output[0], &piped}, {report[0], &err}}) {
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
      into->append(chunk, static_cast<size_t>(n));
    close(fd);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1,
          io.stdout_pipe ? piped : read_file(out_path), err};
}

run_result run_tool(const std::vector<std::string> &args, const std::string &stdin_bytes,
                    long file_size_limit) {
  tool_io io;
  io.stdin_bytes = stdin_bytes;
  io.file_size_limit = file_size_limit;
  return run_tool(args, io);
}

filtered run_filter(const job &j, engine filter) {
  for (size_t k = 0; k < j.col1.size(); k++) {
    fir_coef1[k] = j.col1[k];
    fir_coef2[k] = j.col2.empty() ? j.col1[k] : j.col2[k];
  }
  FILE *in = stream_of(j.data);
  FILE *out = tmpfile();
  uint64_t written = 0;
  const std::string err = stderr_of([&] {
    written = (filter == nullptr ? fir : filter)(in, out, j.channels, j.in_bits, j.out_bits,
                                                 static_cast<int>(j.col1.size()),
                                                 j.col2.empty() ? 0 : 1, j.frames);
  });
  const int next = getc(in);
  fclose(in);
  return {contents(out), err, written, next};
}
