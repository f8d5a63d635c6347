#include "input/rows.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "text/number.h"

namespace karva {
namespace {

// Whether a line, its carriage returns aside, holds anything but delimiters.
bool holds_value(const char* p, const char* e) {
  while (e > p && e[-1] == '\r') --e;
  return skip_delimiters(p, e) != e;
}

// The lines of [p, e) and, when asked, whether one of them holds a value.
std::int64_t lines_in(const char* p, const char* e, char line_end, bool* any_value) {
  if (p >= e) return 0;
  for (const char* s = p; any_value && !*any_value && s < e;) {
    const char* end = static_cast<const char*>(std::memchr(s, line_end, static_cast<std::size_t>(e - s)));
    *any_value = holds_value(s, end ? end : e);
    s = end ? end + 1 : e;
  }
  return std::count(p, e, line_end) + (e[-1] != line_end ? 1 : 0);
}

// The fields of one record, one after another, in either reading.
class FieldCursor {
 public:
  FieldCursor(std::string_view line, bool csv, CsvSyntax syntax, std::string& scratch)
      : p(line.data()), e(p + line.size()), csv_(csv), syntax_(syntax), scratch_(scratch) {}

  // Whether a field that ends at q ends there.
  bool separates(const char* q) const { return q == e || (csv_ ? *q == syntax_.delimiter : is_delimiter(*q)); }

  // Moves to field f; false when the record has no more.
  bool to_field(std::size_t f) {
    if (!csv_) return (p = skip_delimiters(p, e)) != e;
    if (f == 0) return true;
    if (p == e) return false;
    ++p;  // the delimiter
    return true;
  }

  // Reads the field at p, as written and as a value.
  void read_field() {
    if (csv_) {
      CsvField field;
      p = next_csv_field(p, e, syntax_, field, scratch_);
      raw = field.raw;
      value = field.value;
      return;
    }
    const char* q = field_end(p, e);
    raw = std::string_view(p, static_cast<std::size_t>(q - p));
    value = unquoted(raw);
    p = q;
  }

  const char* p;
  const char* e;
  std::string_view raw;
  std::string_view value;

 private:
  bool csv_;
  CsvSyntax syntax_;
  std::string& scratch_;
};

}  // namespace

RowReader::RowReader(const ChunkText& chunk, const ColumnPlan& plan)
    : chunk_(chunk), plan_(plan), at_(chunk.begin()), has_zero_(std::memchr(chunk.begin(), 0, chunk.size) != nullptr) {}

bool RowReader::next_record(Record& record) {
  const char* e = chunk_.end();
  if (at_ >= e) return false;
  const CsvSyntax syntax = plan_.syntax;
  const char* end = nullptr;  // past the line end
  record.unclosed = nullptr;
  if (plan_.dialect.csv) {
    const CsvRecordEnds ends = csv_record_ends(at_, e, syntax, true);
    end = ends.first;
    if (!end && chunk_.last && ends.state == CsvState::QUOTED) record.unclosed = ends.opened;
  } else if (const void* found = std::memchr(at_, syntax.line_end, static_cast<std::size_t>(e - at_))) {
    end = static_cast<const char*>(found) + 1;
  }
  const char* stop = end ? end - 1 : e;
  record.lines = plan_.dialect.csv ? 1 + std::count(at_, stop, syntax.line_end) : 1;
  // A carriage return before the line feed belongs to the line end; so do
  // two, and one at the end of the input.
  if (syntax.line_end == '\n')
    for (int i = 0; i < (end ? 2 : 1) && stop > at_ && stop[-1] == '\r'; ++i) --stop;
  record.text = std::string_view(at_, static_cast<std::size_t>(stop - at_));
  at_ = end ? end : e;
  return true;
}

bool RowReader::stop(ReadEnd why, bool has_value) {
  read_.end = why;
  read_.stop = line_;
  read_.stop_has_value = has_value;
  stopped_ = true;
  return false;
}

bool RowReader::read(DataTable& table, RowExtras& extras) {
  table.row_count = 0;
  if (stopped_) return false;
  // Where each field's value goes in this table.
  destinations_.clear();
  first_destination_.clear();
  for (const FieldRoute& route : plan_.fields) {
    first_destination_.push_back(destinations_.size());
    for (int to : route.feeds) destinations_.push_back(to < 0 ? table.targets.data() : table.column(to));
  }
  first_destination_.push_back(destinations_.size());
  extras.missing.assign(table.capacity(), 0);
  extras.missing_rows = 0;
  extras.kept.resize(table.capacity() * plan_.keep_count);
  Record record;
  while (table.row_count < table.capacity() && next_record(record)) {
    const RecordRead got = read_record(record, table.row_count, extras);
    if (got == RecordRead::STOPPED) {
      // A quote never closed is named where it opened.
      if (record.unclosed) read_.stop += std::count(record.text.data(), record.unclosed, plan_.syntax.line_end);
      read_.lines = line_ + record.lines;
      break;
    }
    if (got == RecordRead::ROW) ++table.row_count;
    line_ += record.lines;
  }
  return table.row_count > 0;
}

RowReader::RecordRead RowReader::read_record(const Record& record, std::size_t row, RowExtras& extras) {
  const auto stopped = [&](ReadEnd why, bool has_value) {
    stop(why, has_value);
    return RecordRead::STOPPED;
  };
  const std::string_view line = record.text;
  if (has_zero_ && std::memchr(line.data(), 0, line.size())) return stopped(ReadEnd::NUL_BYTE, true);
  if (record.unclosed) return stopped(ReadEnd::UNCLOSED_QUOTE, true);
  const bool csv = plan_.dialect.csv;
  const bool strict = plan_.dialect.strict;
  // CSV reads blank lines and short records as pandas does, unless strict.
  if (csv && line.empty()) return strict ? stopped(ReadEnd::SHORT_LINE, false) : RecordRead::SKIPPED;
  if (plan_.guarded && needs_csv(line)) return stopped(ReadEnd::NEEDS_CSV, true);
  FieldCursor at(line, csv, plan_.syntax, scratch_);
  for (std::size_t f = 0; f < plan_.fields.size(); ++f) {
    if (!at.to_field(f)) {
      if (csv && !strict) {
        absent_fields(f, row, extras);
        return RecordRead::ROW;
      }
      return stopped(ReadEnd::SHORT_LINE, csv || f > 0);
    }
    const FieldRoute& route = plan_.fields[f];
    double* const* to = destinations_.data() + first_destination_[f];
    double* const* to_end = destinations_.data() + first_destination_[f + 1];
    // Most fields are plain numbers: read where they stand.
    double v = 0.0;
    const char* q = to != to_end && at.p < at.e && plan_.dialect.decimal == '.' ? scan_simple_decimal(at.p, at.e, v)
                                                                              : nullptr;
    if (q && at.separates(q)) {
      at.raw = std::string_view(at.p, static_cast<std::size_t>(q - at.p));
      at.p = q;
    } else {
      at.read_field();
      if (to != to_end && !read_value(f, route, at.raw, at.value, row, extras, v)) return RecordRead::STOPPED;
    }
    for (; to != to_end; ++to) (*to)[row] = v;
    if (route.kept_as >= 0) extras.kept[row * plan_.keep_count + static_cast<std::size_t>(route.kept_as)] = at.raw;
  }
  // Fields the plan does not use, up to the first record's count; past it, extra.
  bool extra = false;
  for (std::size_t f = plan_.fields.size(); !extra && at.to_field(f); ++f) {
    at.read_field();
    extra = f >= plan_.column_count && (csv || !at.raw.empty());
  }
  if (extra) {
    read_.extra_lines.note(line_, 0, "");
    if (strict) return stopped(ReadEnd::EXTRA_FIELDS, true);
  }
  return RecordRead::ROW;
}

void RowReader::absent_fields(std::size_t f, std::size_t row, RowExtras& extras) {
  for (; f < plan_.fields.size(); ++f) {
    const FieldRoute& route = plan_.fields[f];
    if (route.kept_as >= 0) extras.kept[row * plan_.keep_count + static_cast<std::size_t>(route.kept_as)] = {};
    if (route.feeds.empty()) continue;
    double v = 0.0;
    read_value(f, route, {}, {}, row, extras, v);  // an empty field: missing
    for (std::size_t d = first_destination_[f]; d < first_destination_[f + 1]; ++d) destinations_[d][row] = v;
  }
}

bool RowReader::read_value(std::size_t f, const FieldRoute& route, std::string_view raw, std::string_view value,
                           std::size_t row, RowExtras& extras, double& v) {
  const auto field = static_cast<std::int64_t>(f) + 1;
  if (!plan_.dialect.csv) {
    // The default reading takes a field's numeric start, or 0.
    bool whole = true;
    v = parse_number(value, &whole);
    if (!whole) read_.non_numbers.note(line_, field, raw);
    return whole || !plan_.dialect.strict || stop(ReadEnd::NOT_A_NUMBER, true);
  }
  // CSV: a value that is missing or not a number leaves its row without a
  // prediction.
  const CsvValue read = read_csv_number(value, plan_.dialect.decimal, v);
  if (read == CsvValue::NUMBER) return true;
  (read == CsvValue::MISSING ? read_.missing : read_.non_numbers).note(line_, field, raw);
  if (plan_.dialect.strict) return stop(read == CsvValue::MISSING ? ReadEnd::MISSING_VALUE : ReadEnd::NOT_A_NUMBER, true);
  unsigned char& missing = extras.missing[row];
  if (std::any_of(route.feeds.begin(), route.feeds.end(), [](int m) { return m >= 0; }) && !(missing & MISSING_INPUT)) {
    missing |= MISSING_INPUT;
    ++extras.missing_rows;
  }
  if (std::find(route.feeds.begin(), route.feeds.end(), -1) != route.feeds.end()) missing |= MISSING_TARGET;
  return true;
}

const ChunkRead& RowReader::finish() {
  const char line_end = plan_.syntax.line_end;
  if (!stopped_) {
    read_.lines = line_;
    return read_;
  }
  // The lines after the stopping record, and whether one holds a value.
  const std::int64_t after = lines_in(at_, chunk_.end(), line_end, &read_.later_value);
  read_.lines += after;
  return read_;
}

ChunkRead count_lines(const ChunkText& chunk, const ColumnPlan& plan) {
  ChunkRead read;
  read.lines = lines_in(chunk.begin(), chunk.end(), plan.syntax.line_end, &read.later_value);
  return read;
}

void Doubts::note(std::int64_t at_line, std::int64_t at_field, std::string_view as_written) {
  if (count++ > 0) return;
  line = at_line;
  field = at_field;
  text.assign(as_written);
}

void Doubts::add(const Doubts& later, std::int64_t line_base) {
  if (later.count == 0) return;
  if (count == 0) {
    *this = later;
    line += line_base;
  } else {
    count += later.count;
  }
}

void ReadTally::add(const ChunkRead& read, std::size_t rows) {
  if (stopped()) {
    // A chunk parsed before the stop was known holds a value if it gave a row.
    later_value_ = later_value_ || read.later_value || rows > 0;
    lines_ += read.lines;
    return;
  }
  rows_ += static_cast<std::int64_t>(rows);
  non_numbers_.add(read.non_numbers, lines_ + 1);
  extra_lines_.add(read.extra_lines, lines_ + 1);
  missing_.add(read.missing, lines_ + 1);
  if (read.end != ReadEnd::END) {
    end_ = read.end;
    stop_line_ = lines_ + read.stop + 1;
    stop_has_value_ = read.stop_has_value;
    later_value_ = read.later_value;
  }
  lines_ += read.lines;
}

}  // namespace karva
