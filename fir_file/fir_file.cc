// The coefficient file: optional title lines, then a table of one or two numeric columns.
#include "fir_file/fir_file.h"

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/report.h"
#include "base/streams.h"

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
// characters, and whether it held a NUL byte.
struct text_line {
  char text[80];
  bool nul;
};

// Reads one physical line into line, whatever its length: its first 79
// characters are kept and the rest of it, up to and including its line feed,
// is discarded. A UTF-8 byte order mark that opens the file is skipped.
bool next_line(byte_stream &file, text_line &line, bool first) {
  int n = 0;
  int c;
  line.nul = false;
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
  // usual row, is converted by strtod: the same conversion as sscanf's, at a
  // fraction of its cost. Anything else goes to sscanf.
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
    char *end = nullptr;
    *value = strtod(text, &end);
    n = static_cast<int>(end - text);
  } else if (sscanf(text, "%lf%n", value, &n) != 1) {
    return 0;
  }
  if (std::isinf(*value)) return 0;
  *used = n;
  return 1;
}

fir_table load_fir(int fd, const char *name) {
  file_name = name;
  unsigned char buffer[1 << 16];
  byte_stream file = stream_on(fd, buffer, sizeof buffer, unreadable);
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
    table.columns[0].push_back(row[0]);
    table.columns[1].push_back(columns == 1 ? row[0] : row[1]);
    if (static_cast<int>(table.columns[0].size()) == MAX_FIR_SAMPLES) {
      if (next_line(file, line, false) && scan_number(line.text, &value, &used))
        warn("FIR file truncated (max. %d samples).", MAX_FIR_SAMPLES);
      break;
    }
    if (!next_line(file, line, false)) break;
  }
  close(fd);

  table.taps = static_cast<int>(table.columns[0].size());
  table.stereo = columns == 2;
  note("%d FIR samples, %s\n", table.taps, table.stereo ? "stereo" : "mono");
  return table;
}
