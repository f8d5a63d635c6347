#include "render/output.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <cerrno>
#include <new>

#include "text/csv.h"
#include "text/number.h"

namespace karva {
namespace {

// Room for one whole line: two numbers, a space and the line feed.
constexpr std::size_t MAX_LINE_CHARS = 2 * MAX_FIXED_CHARS + 2;

}  // namespace

OutputFormat output_format(const ColumnPlan& columns, OutputStyle style) {
  return {std::move(style), columns.dialect, columns.syntax, columns.has_target, columns.keep_count};
}

std::string prediction_header(const ColumnPlan& columns, const OutputFormat& format) {
  const std::string& target_name = columns.target_name;
  std::string header;
  if (format.dialect.csv) {
    for (const std::string& name : columns.keep_names) {
      csv_append(header, name, format.dialect.delimiter);
      header += format.dialect.delimiter;
    }
    if (format.has_target) {
      csv_append(header, target_name.empty() ? "target" : target_name, format.dialect.delimiter);
      header += format.dialect.delimiter;
    }
    csv_append(header, format.style.prediction_name, format.dialect.delimiter);
    return header + "\n";
  }
  for (const std::string& name : columns.keep_names) header.append(name).append(" ");
  if (format.has_target && columns.has_header && !target_name.empty()) header += target_name + "(target) ";
  if (format.has_target && !columns.has_header) header += "target ";
  return header + format.style.prediction_name + "\n";
}

namespace {

char* format_number(char* p, double value, const OutputFormat& format) {
  // pandas writes a missing value as an empty field, and reads one back as NaN.
  if (format.dialect.csv && std::isnan(value)) return p;
  char* end = format.style.round_trip ? format_shortest(p, value) : format_fixed(p, value, format.style.precision);
  if (format.dialect.decimal != '.') std::replace(p, end, '.', format.dialect.decimal);
  return end;
}

// A kept field's text: as written, but for CSV quoting when the output is CSV.
void append_kept(std::string& line, std::string_view raw, const OutputFormat& format) {
  if (!format.dialect.csv) {
    line.append(raw);
    line += ' ';
    return;
  }
  if (raw.empty() || raw.front() != '"')
    csv_append(line, raw, format.dialect.delimiter);
  else
    csv_append(line, csv_decode(raw, format.input), format.dialect.delimiter);
  line += format.dialect.delimiter;
}

}  // namespace

std::size_t format_predictions(const ScoredRows& rows, const OutputFormat& format, std::vector<char>& buf,
                               std::size_t used) {
  const DataTable& table = rows.table;
  // The buffer is kept from chunk to chunk, so it grows only now and then.
  const char separator = format.dialect.csv ? format.dialect.delimiter : ' ';
  std::string kept;
  for (std::size_t row = 0; row < table.row_count; ++row) {
    kept.clear();
    for (std::size_t k = 0; k < format.keep_count; ++k)
      append_kept(kept, rows.extras.kept[row * format.keep_count + k], format);
    const std::size_t need = used + kept.size() + MAX_LINE_CHARS;
    if (buf.size() < need) buf.resize(std::max(2 * buf.size(), need));
    char* const start = buf.data();
    char* p = start + used;
    p = std::copy(kept.begin(), kept.end(), p);
    if (format.has_target) {
      p = format_number(p, table.targets[row], format);
      *p++ = separator;
    }
    char* const line = start + used;
    p = format_number(p, rows.predictions[row], format);
    // A record that is one empty field would be a blank line, which CSV
    // readers skip: it is written as an empty quoted field, as pandas does.
    if (p == line && format.dialect.csv) p = std::copy_n("\"\"", 2, p);
    *p++ = '\n';
    used = static_cast<std::size_t>(p - start);
  }
  return used;
}

PredictionWriter::PredictionWriter(std::FILE* out) : out_(out) {}

void PredictionWriter::fail() {
  if (!failed_) errno_ = errno;
  failed_ = true;
}

bool PredictionWriter::write(const char* text, std::size_t size) {
  if (!failed_ && size > 0 && std::fwrite(text, 1, size, out_) != size) fail();
  return !failed_;
}

bool PredictionWriter::write_header(const std::string& header) { return write(header.data(), header.size()); }

bool PredictionWriter::finish() {
  if (!failed_ && (std::fflush(out_) != 0 || std::ferror(out_))) fail();
  return !failed_;
}

}  // namespace karva
