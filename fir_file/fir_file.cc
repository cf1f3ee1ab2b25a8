// The coefficient file: optional title lines, then a table of one or two numeric columns.
#include "fir_file/fir_file.h"

#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/report.h"
#include "base/streams.h"
#include "wav/wav.h"

namespace {

// Scans a table row as "%lf %lf" does: the count of numbers converted, 0 to
// 2. Whatever follows them on the line is ignored.
int scan_row(const char *text, double *first, double *second) {
  int used = 0;
  if (!scan_number(text, first, &used)) return 0;
  int rest = 0;
  return 1 + scan_number(text + used, second, &rest);
}

const char *file_name;  // for the read-failure message

[[noreturn]] void bad_fir_file() {
  fatal(2, "Bad FIR file.");
}

[[noreturn]] void unreadable() {
  fatal(2, "Can't read FIR file '%s'.", file_name);
}

// A physical line of the file as the table rules see it: its first 79
// characters, whether it held a NUL byte, and its number, from 1.
struct text_line {
  char text[80];
  bool nul;
  int number;
};

// Reads one physical line into line, whatever its length: its first 79
// characters are kept and the rest of it, up to and including its line feed,
// is discarded. A UTF-8 byte order mark that opens the file is skipped.
bool next_line(byte_stream &file, text_line &line, bool first) {
  int n = 0;
  int c;
  line.nul = false;
  line.number = first ? 1 : line.number + 1;
  while ((c = next_byte(file)) >= 0) {
    line.nul |= c == '\0';
    if (n < static_cast<int>(sizeof line.text) - 1) line.text[n++] = static_cast<char>(c);
    if (first && n == 3) {
      first = false;
      if (memcmp(line.text, "\xEF\xBB\xBF", 3) == 0) n = 0;
    }
    if (c == '\n') break;
  }
  line.text[n] = '\0';
  return n > 0 || c >= 0;
}

}  // namespace

// A title such as "Info" or "Nancy's filter" would otherwise start the table
// with a value that is not finite, so those words are refused; so is a number
// too large for a double (1e400), which would make every output meaningless.
// Underflow to 0 or a subnormal stays a number.
int scan_number(const char *text, double *value, int *used) {
  const char *p = text;
  while (isspace(static_cast<unsigned char>(*p))) p++;
  if (*p == '+' || *p == '-') p++;
  if (isalpha(static_cast<unsigned char>(*p))) return 0;
  // A plain decimal number ended by a space or the line's end, the table's
  // usual row, is converted by from_chars, or strtod past a double's range:
  // the same correctly rounded conversion as sscanf's, at a fraction of its
  // cost. Anything else goes to sscanf.
  const char *q = p;
  int digits = 0;
  while (isdigit(static_cast<unsigned char>(*q))) q++, digits++;
  if (*q == '.')
    for (q++; isdigit(static_cast<unsigned char>(*q));) q++, digits++;
  if (digits > 0 && (*q == 'e' || *q == 'E')) {
    const char *e = q + 1;
    if (*e == '+' || *e == '-') e++;
    q = isdigit(static_cast<unsigned char>(*e)) ? e : p;
    while (isdigit(static_cast<unsigned char>(*q))) q++;
  }
  int n = 0;
  if (digits > 0 && q != p && (*q == '\0' || isspace(static_cast<unsigned char>(*q)))) {
    const char *start = p - (p > text && p[-1] == '-' ? 1 : 0);
    const auto [end, error] = std::from_chars(start, q, *value);
    n = static_cast<int>(end - text);
    if (error != std::errc{}) {
      char *past = nullptr;
      *value = strtod(text, &past);
      n = static_cast<int>(past - text);
    }
  } else if (sscanf(text, "%lf%n", value, &n) != 1) {
    return 0;
  }
  if (std::isinf(*value)) return 0;
  *used = n;
  return 1;
}

namespace {

// Where the first number of text ends, past white space and the number.
const char *after_number(const char *text) {
  double value = 0;
  int used = 0;
  return scan_number(text, &value, &used) ? text + used : text;
}

bool blank(const char *text) {
  for (; *text != '\0'; text++)
    if (!isspace(static_cast<unsigned char>(*text))) return false;
  return true;
}

// The slips a file has been warned of, each once, at its first line.
struct slips {
  bool comma;
  bool more;
};

// Warns of a row the rules read, but not as its writer likely meant: more
// than two numbers, a number followed at once by a comma, and, on the
// table's first row, a title: a number followed by words.
void warn_of_slips(const text_line &line, int numbers, bool first_row, slips &warned) {
  const char *rest = after_number(line.text);
  if (*rest == ',' && !warned.comma) {
    warn("Warning: line %d of FIR file '%s' has a comma after a number, which ends the row.",
         line.number, file_name);
    warned.comma = true;
  }
  if (numbers == 2) {
    rest = after_number(rest);
    if (after_number(rest) != rest && !warned.more) {
      warn("Warning: line %d of FIR file '%s' holds more than two numbers; the first two are read.",
           line.number, file_name);
      warned.more = true;
    }
  }
  while (isspace(static_cast<unsigned char>(*rest)) || *rest == '-' || *rest == '+') rest++;
  if (first_row && isalpha(static_cast<unsigned char>(*rest)))
    warn("Warning: line %d of FIR file '%s' reads as a row, but looks like a title.", line.number,
         file_name);
}

// The table of a text file, whose first line the caller has read: rows of
// one or two columns, up to the limit.
fir_table load_text(byte_stream &file) {
  text_line line;
  double value = 0;
  int used = 0;
  bool first = true;
  // No text file of coefficients holds a NUL byte, and every WAV file does:
  // one in the titles or the table is a file given in the wrong place.
  do {
    if (!next_line(file, line, first) || line.nul) bad_fir_file();
    first = false;
  } while (!scan_number(line.text, &value, &used));

  fir_table table{};
  int columns = 0;
  slips warned{};
  for (;;) {
    double row[2];
    const int r = scan_row(line.text, &row[0], &row[1]);
    if (r <= 0) break;
    if (line.nul) bad_fir_file();
    if (columns == 0) {
      columns = r;
    } else if (r != columns) {
      fatal(2, "Number of columns in FIR file is not constant.");
    }
    warn_of_slips(line, r, table.columns[0].empty(), warned);
    table.columns[0].push_back(row[0]);
    if (columns == 2) table.columns[1].push_back(row[1]);
    if (static_cast<int>(table.columns[0].size()) == MAX_FIR_SAMPLES) {
      if (next_line(file, line, false) && scan_number(line.text, &value, &used))
        warn("FIR file truncated (max. %d samples).", MAX_FIR_SAMPLES);
      break;
    }
    if (!next_line(file, line, false)) break;
  }
  // A blank line ends the table: numbers after it are not read.
  if (blank(line.text)) {
    const int blank_line = line.number;
    while (next_line(file, line, false))
      if (scan_number(line.text, &value, &used)) {
        warn(
            "Warning: line %d of FIR file '%s' is blank and ends the table; the numbers after "
            "it are not read.",
            blank_line, file_name);
        break;
      }
  }
  table.stereo = columns == 2;
  return table;
}

// What makes a WAV file of coefficients unusable.
void refuse_wav(header_fault fault, int value) {
  if (fault == channels_unsupported)
    fatal(2, "FIR file '%s' has %d channels; a WAV file of coefficients has one or two.", file_name,
          value);
  if (fault == bits_unsupported)
    fatal(2, "FIR file '%s' has samples of %d bits, which tapsum doesn't read.", file_name, value);
  if (fault == not_pcm)
    fatal(2, "FIR file '%s' holds samples that are neither integer codes nor floats.", file_name);
  fatal(2, "FIR file '%s' is a WAV file whose header is corrupted.", file_name);
}

// The table of a WAV file: a column a channel, a row a frame, each sample
// a weight (weight_of); up to the limit, with the warning past it.
fir_table load_wav(byte_stream &file) {
  const wav_input wav = read_other_header(file, refuse_wav);
  fir_table table{};
  table.stereo = wav.channels == 2;
  const size_t size = static_cast<size_t>(frame_bytes(wav.channels, *wav.depth));
  unsigned char frame[16];
  for (uint64_t read = 0; wav.to_end || read < wav.frames; read++) {
    if (read_bytes(file, frame, size) < size) break;
    if (static_cast<int>(table.columns[0].size()) == MAX_FIR_SAMPLES) {
      warn("FIR file truncated (max. %d samples).", MAX_FIR_SAMPLES);
      break;
    }
    for (int c = 0; c < wav.channels; c++) {
      const double weight = weight_of(frame + c * wav.depth->bytes, *wav.depth);
      if (!std::isfinite(weight))
        fatal(2, "FIR file '%s' holds a sample that is infinite or not a number.", file_name);
      table.columns[c].push_back(weight);
    }
  }
  if (table.columns[0].empty()) bad_fir_file();
  return table;
}

}  // namespace

fir_table load_fir(int fd, const char *name) {
  file_name = name;
  unsigned char buffer[1 << 16];
  byte_stream file = stream_on(fd, buffer, sizeof buffer, unreadable);
  const bool wav = next_bytes_are(file, "RIFF", 4) || next_bytes_are(file, "RF64", 4) ||
                   next_bytes_are(file, "BW64", 4);
  fir_table table = wav ? load_wav(file) : load_text(file);
  close(fd);
  table.taps = static_cast<int>(table.columns[0].size());
  note("%d FIR samples, %s\n", table.taps, table.stereo ? "stereo" : "mono");
  return table;
}
