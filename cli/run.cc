// The run sequence: the command line, the streams and the order of the run's stages.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "cli/run.h"
#include "cli/tapsum.h"
#include "filter/filter.h"
#include "fir_file/fir_file.h"
#include "wav/wav.h"

namespace {

[[noreturn]] void bad_arguments() {
  err_exit(1, "tapsum: Bad arguments. Type 'tapsum -h' for help.\n");
}

// The header stage and the direct path read and write byte by byte, the
// filter a block of frames at a time, which bypasses them.
unsigned char in_buffer[1 << 16];
unsigned char out_buffer[1 << 16];

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writing the output empties it, so an output that is the open input or the
// coefficient file under another name (a hard link, another spelling of the
// path) is refused before it is opened.
void refuse_named_output(int in, const struct stat &fir_stat, const char *out_name) {
  struct stat in_stat {};
  struct stat out_stat {};
  if (stat(out_name, &out_stat) != 0) return;
  if (fstat(in, &in_stat) == 0 && same_file(in_stat, out_stat))
    err_exit(2, "tapsum: Input and output are the same file '%s'.\n", out_name);
  if (same_file(fir_stat, out_stat))
    err_exit(2, "tapsum: FIR file and output are the same file '%s'.\n", out_name);
}

// Standard output redirected onto a regular file being read (">>" or "1<>"
// on the input or the coefficient file) would overwrite what is read; the
// input is checked first.
void refuse_standard_output(int in, const char *in_name, const struct stat &fir_stat,
                            const char *fir_name) {
  struct stat in_stat {};
  struct stat out_stat {};
  if (fstat(STDOUT_FILENO, &out_stat) != 0 || !S_ISREG(out_stat.st_mode)) return;
  if (fstat(in, &in_stat) == 0 && S_ISREG(in_stat.st_mode) && same_file(in_stat, out_stat))
    err_exit(2, "tapsum: Input and output are the same file '%s'.\n", in_name);
  if (S_ISREG(fir_stat.st_mode) && same_file(fir_stat, out_stat))
    err_exit(2, "tapsum: FIR file and output are the same file '%s'.\n", fir_name);
}

// Descriptors 0, 1 and 2 that are closed are opened on /dev/null, so that no
// file the run opens takes their number: standard input for writing only
// and standard output for reading only, so that a run that uses them fails
// as a read or a write would, and standard error for writing, so that its
// messages go nowhere.
void open_standard_descriptors() {
  const int modes[3] = {O_WRONLY, O_RDONLY, O_WRONLY};
  for (int fd = 0; fd < 3; fd++)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", modes[fd]);
}

// The usage text or the version on standard output; text that doesn't reach
// it is a failed write.
const char usage[] =
    "tapsum - apply an FIR filter on a WAV file.\n"
    "Usage: tapsum [-8 | -16] fir-file [input-file [output-file]]\n"
    "       tapsum -h | --help | --version\n";

int print_and_exit(const char *text) {
  if (fputs(text, stdout) == EOF || fflush(stdout) != 0) output_failed();
  return 0;
}

}  // namespace

int run_tapsum(int argc, char **argv, filter_stage filter) {
  open_standard_descriptors();
  std::set_new_handler(out_of_memory);
  if (argc == 2 && strcmp(argv[1], "-h") == 0) return print_and_exit(usage);
  if (argc == 2 && strcmp(argv[1], "--help") == 0)
    return print_and_exit(
        (std::string(usage) + "See 'man tapsum' for the coefficient file, the messages and the "
                              "exit statuses.\n")
            .c_str());
  if (argc == 2 && strcmp(argv[1], "--version") == 0)
    return print_and_exit("tapsum " TAPSUM_VERSION "\n");
  if (argc <= 1) bad_arguments();

  // An option is recognised only as the first argument.
  int out_bits = 0;
  int k = 0;
  if (strcmp(argv[1], "-8") == 0) {
    out_bits = 8;
    k = 1;
  } else if (strcmp(argv[1], "-16") == 0) {
    out_bits = 16;
    k = 1;
  }
  if (argc < k + 2 || argc > k + 4) bad_arguments();
  // WAV bytes on a terminal are of use to no one, and can leave it garbled.
  if (argc < k + 4 && isatty(STDOUT_FILENO))
    err_exit(1, "tapsum: Standard output is a terminal: name an output file or redirect it.\n");

  const int fir_fd = open(argv[k + 1], O_RDONLY);
  if (fir_fd < 0) err_exit(2, "tapsum: Can't open FIR file '%s'.\n", argv[k + 1]);
  struct stat fir_stat {};
  if (fstat(fir_fd, &fir_stat) != 0) fir_stat = {};
  const fir_shape shape = load_fir(fir_fd, argv[k + 1]);

  // The input is opened first, so an input that can't be opened leaves an
  // existing output file as it was; the output is opened without emptying
  // it, which writing the output header does.
  int in_fd = STDIN_FILENO;
  const char *in_name = "(standard input)";
  if (argc >= k + 3) {
    in_name = argv[k + 2];
    in_fd = open(argv[k + 2], O_RDONLY);
    if (in_fd < 0) err_exit(2, "tapsum: Can't open input file '%s'.\n", argv[k + 2]);
  }
  int out_fd = STDOUT_FILENO;
  const bool named_output = argc >= k + 4;
  if (named_output) {
    refuse_named_output(in_fd, fir_stat, argv[k + 3]);
    out_fd = open(argv[k + 3], O_WRONLY | O_CREAT, 0666);
    if (out_fd < 0) err_exit(2, "tapsum: Can't open output file '%s'.\n", argv[k + 3]);
  } else {
    refuse_standard_output(in_fd, in_name, fir_stat, argv[k + 1]);
  }

  // TAPSUM_THREADS=N runs the filter on N threads; 1 is this thread alone.
  // TAPSUM_METHOD=kernels or fft forms the sums by that method, whatever
  // the taps.
  if (const char *threads = getenv("TAPSUM_THREADS")) set_filter_threads(atoi(threads));
  if (const char *method = getenv("TAPSUM_METHOD")) {
    if (strcmp(method, "kernels") == 0) set_filter_method(kernel_sums);
    if (strcmp(method, "fft") == 0) set_filter_method(transform_sums);
  }

  catch_stop_signals();
  byte_stream in = stream_on(in_fd, in_buffer, sizeof in_buffer, input_failed);
  byte_stream out = stream_on(out_fd, out_buffer, sizeof out_buffer, output_failed);
  const wav_input input = read_header(in);
  const filter_job job{
      input.channels, input.bits,  shape.taps, shape.stereo, out_bits != 0 ? out_bits : input.bits,
      input.frames,   input.to_end};
  // The output's shape, computed once: its header, its format line and
  // the filter all go by it.
  const wav_output output{output_frames(input.frames, job.taps), output_channels(job), job.out_bits,
                          input.rate};
  if (filter.setup != nullptr) filter.setup(job);
  const bool header_at_start = write_header(out, output, named_output);
  const uint64_t written = filter.run(in, out, job);
  if (header_at_start) finish_header(out, output, written);

  // Samples written so far may still wait in the buffer; a run whose output
  // did not reach the file must not report success. A run asked to stop
  // ends by the signal that asked, its output whole and its header true,
  // so that a script running it stops too.
  flush_bytes(out);
  const int sig = stop_signal();
  if (sig != 0) end_progress_line();
  fprintf(stderr, "%ld samples written.\n", static_cast<long>(written));
  if (sig != 0) end_by_signal(sig);
  return 0;
}
