// The run sequence: the command line, the streams and the order of the run's stages.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/report.h"
#include "base/signals.h"
#include "base/streams.h"
#include "cli/run.h"
#include "filter/filter.h"
#include "fir_file/fir_file.h"
#include "wav/wav.h"

namespace {

[[noreturn]] void bad_arguments() {
  usage_error("Bad arguments. Type 'tapsum -h' for help.");
}

// The header stage and the direct path read and write byte by byte, the
// filter a block of frames at a time; a transfer too large for a buffer
// goes past it (streams.cc).
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
    fatal(2, "Input and output are the same file '%s'.", out_name);
  if (same_file(fir_stat, out_stat))
    fatal(2, "FIR file and output are the same file '%s'.", out_name);
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
    fatal(2, "Input and output are the same file '%s'.", in_name);
  if (S_ISREG(fir_stat.st_mode) && same_file(fir_stat, out_stat))
    fatal(2, "FIR file and output are the same file '%s'.", fir_name);
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

// The usage text, the help or the version on standard output; text that
// doesn't reach it is a failed write. The help is the usage text and every
// option.
#define USAGE                                                      \
  "tapsum - apply an FIR filter on a WAV file.\n"                  \
  "Usage: tapsum [-8 | -16] fir-file [input-file [output-file]]\n" \
  "       tapsum -h | --help | --version\n"
const char usage[] = USAGE;
const char help[] = USAGE
    "The output's samples, as the first argument; without one, the input's:\n"
    "  -8, -16, -24, -32   integer codes of that many bits (8 unsigned)\n"
    "  -f32, -f64          IEEE floats of 32 or 64 bits\n"
    "See 'man tapsum' for the coefficient file, the messages and the exit statuses.\n";

// The options that set the output's depth, by name.
const struct {
  const char *name;
  int bits;
  bool floating;
} DEPTH_OPTIONS[] = {{"-8", 8, false},   {"-16", 16, false}, {"-24", 24, false},
                     {"-32", 32, false}, {"-f32", 32, true}, {"-f64", 64, true}};

int print_and_exit(const char *text) {
  if (fputs(text, stdout) != EOF && fflush(stdout) == 0) return 0;
  const int error = errno;
  if (on_pipe(STDOUT_FILENO)) output_cut(error);
  output_failed();
}

// The command line, parsed: an option only as the first argument, then the
// coefficient file, then the input and the output, each optional.
struct command_line {
  const sample_depth *out_depth;  // the output's, or nullptr for the input's
  const char *fir_name;           // the coefficient file
  const char *in_name;            // the input file, or nullptr for standard input
  const char *out_name;           // the output file, or nullptr for standard output
};

// The usage text or the version when the command line asks for one alone,
// else nullptr.
const char *text_asked_for(int argc, char **argv) {
  if (argc != 2) return nullptr;
  if (strcmp(argv[1], "-h") == 0) return usage;
  if (strcmp(argv[1], "--help") == 0) return help;
  if (strcmp(argv[1], "--version") == 0) return "tapsum " TAPSUM_VERSION "\n";
  return nullptr;
}

// Ends the process on a command line of the wrong length, and on WAV bytes
// bound for a terminal, which are of use to no one and can leave it garbled.
command_line parse_command_line(int argc, char **argv) {
  if (argc <= 1) bad_arguments();
  command_line args{nullptr, nullptr, nullptr, nullptr};
  int first = 1;
  for (const auto &option : DEPTH_OPTIONS)
    if (strcmp(argv[1], option.name) == 0) {
      args.out_depth = depth_of(option.bits, option.floating);
      first = 2;
    }
  const int names = argc - first;
  if (names < 1 || names > 3) bad_arguments();
  args.fir_name = argv[first];
  if (names >= 2) args.in_name = argv[first + 1];
  if (names == 3) args.out_name = argv[first + 2];
  if (args.out_name == nullptr && isatty(STDOUT_FILENO))
    usage_error("Standard output is a terminal: name an output file or redirect it.");
  return args;
}

// The run's open files: the input and the output, named or standard.
struct run_files {
  int in;
  int out;
};

// An output file the run created, until its header is written: a run that
// ends before then removes it, if it is still the file the run created.
const char *created_name;
struct stat created_stat;

void remove_created_output() {
  struct stat now {};
  if (stat(created_name, &now) == 0 && same_file(now, created_stat)) unlink(created_name);
}

// Opens the output, created when it doesn't exist, or else as it is.
int open_output(const char *name) {
  const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd < 0) return errno == EEXIST ? open(name, O_WRONLY | O_CREAT, 0666) : -1;
  if (fstat(fd, &created_stat) == 0) {
    created_name = name;
    undo_on_early_end(remove_created_output);
  }
  return fd;
}

// Opens the input, then the output without emptying it, which writing the
// output header does: an input that can't be opened leaves an existing
// output file as it was, and one the run created is removed. An output that
// would overwrite what is read is refused first.
run_files open_files(const command_line &args, const struct stat &fir_stat) {
  run_files files{STDIN_FILENO, STDOUT_FILENO};
  if (args.in_name != nullptr) {
    files.in = open(args.in_name, O_RDONLY);
    if (files.in < 0) fatal(2, "Can't open input file '%s'.", args.in_name);
  }
  if (args.out_name != nullptr) {
    refuse_named_output(files.in, fir_stat, args.out_name);
    files.out = open_output(args.out_name);
    if (files.out < 0) fatal(2, "Can't open output file '%s'.", args.out_name);
  } else {
    refuse_standard_output(files.in, args.in_name != nullptr ? args.in_name : "(standard input)",
                           fir_stat, args.fir_name);
  }
  return files;
}

// TAPSUM_THREADS=N runs the filter on N threads; 1 is this thread alone.
// TAPSUM_METHOD=kernels or fft forms the sums by that method, whatever the
// taps.
void read_environment() {
  if (const char *threads = getenv("TAPSUM_THREADS")) set_filter_threads(atoi(threads));
  if (const char *method = getenv("TAPSUM_METHOD")) {
    if (strcmp(method, "kernels") == 0) set_filter_method(kernel_sums);
    if (strcmp(method, "fft") == 0) set_filter_method(transform_sums);
  }
}

// The header stage, the filter stage and the end of the run. Returns the
// process's status, or ends the process.
int run_stages(filter_stage filter, const command_line &args, const fir_table &fir,
               const run_files &files) {
  catch_stop_signals();
  byte_stream in = stream_on(files.in, in_buffer, sizeof in_buffer, input_failed);
  byte_stream out = stream_on(files.out, out_buffer, sizeof out_buffer, output_failed);
  const wav_input input = read_header(in);
  const filter_job job{
      input.channels,
      input.depth,
      fir.taps,
      fir.stereo,
      args.out_depth != nullptr ? args.out_depth : input.depth,
      input.frames,
      input.to_end,
      {fir.columns[0].data(), (fir.stereo ? fir.columns[1] : fir.columns[0]).data()}};
  // The output's shape, computed once: its header, its format line and
  // the filter all go by it.
  const wav_output output{output_frames(input.frames, job.taps), output_channels(job),
                          job.out_depth, input.rate, input.to_end};
  if (filter.setup != nullptr) filter.setup(job);
  const bool header_at_start = write_header(out, output, args.out_name != nullptr);
  undo_on_early_end(nullptr);
  const uint64_t written = filter.run(in, out, job);
  if (header_at_start) finish_header(out, output, written);

  // Samples written so far may still wait in the buffer; a run whose output
  // did not reach the file must not report success. A run asked to stop
  // ends by the signal that asked, its output whole and its header true,
  // so that a script running it stops too.
  flush_bytes(out);
  const int sig = stop_signal();
  if (sig != 0) end_progress_line();
  note("%" PRIu64 " samples written.\n", written);
  if (sig != 0) end_by_signal(sig);
  return 0;
}

}  // namespace

int run_tapsum(int argc, char **argv, filter_stage filter) {
  open_standard_descriptors();
  std::set_new_handler(out_of_memory);
  if (const char *text = text_asked_for(argc, argv)) return print_and_exit(text);
  const command_line args = parse_command_line(argc, argv);

  const int fir = open(args.fir_name, O_RDONLY);
  if (fir < 0) fatal(2, "Can't open FIR file '%s'.", args.fir_name);
  struct stat fir_stat {};
  if (fstat(fir, &fir_stat) != 0) fir_stat = {};
  const fir_table table = load_fir(fir, args.fir_name);

  const run_files files = open_files(args, fir_stat);
  read_environment();
  return run_stages(filter, args, table, files);
}
