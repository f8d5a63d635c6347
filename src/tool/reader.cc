#include "tool/reader.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

#include "tool/csv.h"
#include "tool/number.h"

namespace karva {
namespace {

constexpr std::array<bool, 256> make_delimiter_table() {
  std::array<bool, 256> table{};
  for (char c : DELIMITERS) table[static_cast<unsigned char>(c)] = true;
  return table;
}
constexpr std::array<bool, 256> IS_DELIMITER = make_delimiter_table();

bool is_delimiter(char c) { return IS_DELIMITER[static_cast<unsigned char>(c)]; }

const char* skip_delimiters(const char* p, const char* e) {
  while (p < e && is_delimiter(*p)) ++p;
  return p;
}

const char* field_end(const char* p, const char* e) {
  while (p < e && !is_delimiter(*p)) ++p;
  return p;
}

bool holds_value(std::string_view line) { return skip_delimiters(line.data(), line.data() + line.size()) != line.data() + line.size(); }

}  // namespace

DataReader::DataReader(std::FILE* in, std::string name, std::size_t buffer_bytes)
    : in_(in), name_(std::move(name)), capacity_(std::max<std::size_t>(buffer_bytes, 1)),
      buf_(capacity_ + SCAN_PADDING) {}

std::size_t DataReader::read_some(char* dst, std::size_t room) {
  // A stream with a descriptor is read straight into the buffer, past the
  // stream's own buffer (which nothing else reads from).
  const int fd = fileno(in_);
  if (fd < 0) {
    const std::size_t n = std::fread(dst, 1, room, in_);
    if (n == 0 && std::ferror(in_)) {
      error_ = true;
      errno_ = errno;
    }
    return n;
  }
  for (;;) {
    const ssize_t n = ::read(fd, dst, room);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) {
      error_ = true;
      errno_ = errno;
      return 0;
    }
  }
}

bool DataReader::fill() {
  if (eof_) return false;
  if (pos_ > 0) {
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  // A line longer than the buffer is read whole: the buffer grows.
  if (end_ == capacity_) {
    capacity_ *= 2;
    buf_.resize(capacity_ + SCAN_PADDING);
  }
  const std::size_t n = read_some(buf_.data() + end_, capacity_ - end_);
  if (n == 0) {
    eof_ = true;
    return false;
  }
  // One look for a zero byte per read, rather than one per line.
  if (!zero_seen_ && std::memchr(buf_.data() + end_, 0, n)) zero_seen_ = true;
  end_ += n;
  bytes_read_ += n;
  return true;
}

bool DataReader::next_line(std::string_view& line) {
  last_lines_ = 1;
  last_unclosed_ = false;
  for (;;) {
    const char* start = buf_.data() + pos_;
    const void* nl = std::memchr(start + scanned_, '\n', end_ - pos_ - scanned_);
    if (nl) {
      std::size_t len = static_cast<std::size_t>(static_cast<const char*>(nl) - start);
      if (csv_) {
        // A line end inside quotes belongs to the field: the record goes on.
        quotes_ += static_cast<std::size_t>(std::count(start + scanned_, start + len, '"'));
        if (quotes_ % 2 == 1) {
          scanned_ = len + 1;
          ++last_lines_;
          continue;
        }
        quotes_ = 0;
      }
      pos_ += len + 1;
      scanned_ = 0;
      // A CR LF line end reads like LF, and so does CR CR LF.
      if (len > 0 && start[len - 1] == '\r') --len;
      if (len > 0 && start[len - 1] == '\r') --len;
      line = std::string_view(start, len);
      return true;
    }
    if (csv_) quotes_ += static_cast<std::size_t>(std::count(start + scanned_, start + (end_ - pos_), '"'));
    scanned_ = end_ - pos_;
    // A line that fills the buffer and holds a zero byte is no text: it is
    // handed out as it is rather than grown without end (/dev/zero, say).
    const bool zero_filled = zero_seen_ && end_ - pos_ == capacity_ && std::memchr(start, 0, end_ - pos_);
    if (zero_filled || !fill()) {
      if (error_ || pos_ == end_) return false;
      std::size_t len = end_ - pos_;
      // The last line has no line feed; a carriage return there ends it all the same.
      if (!zero_filled && buf_[end_ - 1] == '\r') --len;
      line = std::string_view(buf_.data() + pos_, len);
      last_unclosed_ = csv_ && quotes_ % 2 == 1;
      quotes_ = 0;
      pos_ = end_;
      scanned_ = 0;
      return true;
    }
  }
}

bool DataReader::first_line(std::string_view& line) {
  if (!next_line(line)) return false;
  // A UTF-8 byte-order mark is no part of the first field.
  if (line.starts_with(BYTE_ORDER_MARK)) {
    line.remove_prefix(BYTE_ORDER_MARK.size());
    first_line_start_ = BYTE_ORDER_MARK.size();
  }
  return true;
}

void DataReader::keep_first_line() {
  // The buffer has not moved since the first line was handed out.
  pos_ = first_line_start_;
  scanned_ = 0;
  quotes_ = 0;
}

bool DataReader::next_lines(LineBlock& block, std::size_t max_lines) {
  block.text.clear();
  block.ends.clear();
  block.spans.clear();
  block.unclosed = false;
  std::string_view line;
  while (block.ends.size() < max_lines && next_line(line)) {
    block.text.insert(block.text.end(), line.begin(), line.end());
    block.ends.push_back(block.text.size());
    if (csv_) block.spans.push_back(last_lines_);
    if (last_unclosed_) block.unclosed = true;  // it can only be the last record
  }
  block.text.resize(block.text.size() + SCAN_PADDING);
  block.zero_seen = zero_seen_;
  return !block.ends.empty();
}

namespace {

FirstLineError first_line_error(FirstLineError::Kind kind, const std::string& file, int variable_count = 0,
                                std::int64_t inputs = 0, int system_error = 0) {
  FirstLineError err;
  err.kind = kind;
  err.file = file;
  err.variable_count = variable_count;
  err.inputs = inputs;
  err.system_error = system_error;
  return err;
}

// The next field of a row and its text for the value; nothing when the
// row has no more. `first` tells whether it is the row's first field.
bool next_field(const RowShape& shape, const char*& p, const char* e, bool first, std::string_view& raw,
                std::string_view& value, bool& empty) {
  if (shape.csv) {
    if (!first) {
      if (p == e) return false;
      ++p;  // the delimiter
    }
    CsvField f;
    p = next_csv_field(p, e, shape.delimiter, f);
    raw = f.raw;
    value = f.value;
    empty = f.value.empty();
    return true;
  }
  p = skip_delimiters(p, e);
  if (p == e) return false;
  const char* q = field_end(p, e);
  raw = std::string_view(p, static_cast<std::size_t>(q - p));
  value = unquoted(raw);
  empty = false;
  p = q;
  return true;
}

}  // namespace

// Rows whose fields are named, or CSV: each field goes where the plan says.
ChunkRead parse_planned(const LineBlock& block, const RowShape& shape, DataTable& table, RowExtras& extras) {
  ChunkRead read;
  table.row_count = 0;
  extras.missing.assign(block.ends.size(), 0);
  extras.kept.resize(block.ends.size() * shape.keep_count);
  const auto stop = [&](ReadEnd why, std::size_t index, bool has_value) {
    read.end = why;
    read.stop = index;
    read.stop_has_value = has_value;
    return read;
  };
  const std::size_t used = shape.feeds.size();
  // Where each field's value goes in this table: destinations from
  // first_destination[f] to first_destination[f + 1].
  std::vector<double*> destinations;
  std::vector<std::size_t> first_destination;
  std::vector<bool> reads_input;
  for (const std::vector<int>& feeds : shape.feeds) {
    first_destination.push_back(destinations.size());
    bool input = false;
    for (int to : feeds) {
      destinations.push_back(to < 0 ? table.targets.data() : table.column(to));
      input = input || to >= 0;
    }
    reads_input.push_back(input);
  }
  first_destination.push_back(destinations.size());
  std::size_t begin = 0;
  for (std::size_t index = 0; index < block.ends.size(); begin = block.ends[index++]) {
    const std::string_view line = block.line(index, begin);
    const std::size_t row = table.row_count;
    if (block.zero_seen && std::memchr(line.data(), 0, line.size())) return stop(ReadEnd::NUL_BYTE, index, true);
    if (block.unclosed && index + 1 == block.ends.size()) return stop(ReadEnd::UNCLOSED_QUOTE, index, true);
    if (line.empty()) return stop(ReadEnd::SHORT_LINE, index, false);
    const char* p = line.data();
    const char* e = p + line.size();
    std::string_view raw;
    std::string_view value;
    bool empty = false;
    for (std::size_t f = 0; f < used; ++f) {
      if (shape.csv && f > 0) {
        if (p == e) return stop(ReadEnd::SHORT_LINE, index, true);
        ++p;  // the delimiter
      } else if (!shape.csv) {
        p = skip_delimiters(p, e);
        if (p == e) return stop(ReadEnd::SHORT_LINE, index, f > 0);
      }
      const int kept_as = shape.kept_as[f];
      const std::size_t to_first = first_destination[f];
      const std::size_t to_end = first_destination[f + 1];
      // Most fields are plain numbers: read where they stand.
      if (to_first != to_end && p < e) {
        double v = 0.0;
        const char* q = scan_simple_decimal(p, e, v);
        if (q && (q == e || (shape.csv ? *q == shape.delimiter : is_delimiter(*q)))) {
          for (std::size_t d = to_first; d < to_end; ++d) destinations[d][row] = v;
          if (kept_as >= 0) extras.kept[row * shape.keep_count + static_cast<std::size_t>(kept_as)] = {p, q};
          p = q;
          continue;
        }
      }
      if (shape.csv) {
        CsvField field;
        p = next_csv_field(p, e, shape.delimiter, field);
        raw = field.raw;
        value = field.value;
        empty = field.value.empty();
      } else {
        const char* q = field_end(p, e);
        raw = std::string_view(p, static_cast<std::size_t>(q - p));
        value = unquoted(raw);
        empty = false;
        p = q;
      }
      if (kept_as >= 0) extras.kept[row * shape.keep_count + static_cast<std::size_t>(kept_as)] = raw;
      if (to_first == to_end) continue;
      double v = std::numeric_limits<double>::quiet_NaN();
      if (empty) {
        read.missing.note(static_cast<std::int64_t>(index), static_cast<std::int64_t>(f) + 1, raw);
        if (shape.strict) return stop(ReadEnd::MISSING_VALUE, index, true);
        if (reads_input[f]) extras.missing[row] = 1;
      } else {
        bool whole = true;
        v = parse_number(value, &whole);
        if (!whole) {
          read.non_numbers.note(static_cast<std::int64_t>(index), static_cast<std::int64_t>(f) + 1, raw);
          if (shape.strict) return stop(ReadEnd::NOT_A_NUMBER, index, true);
        }
      }
      for (std::size_t d = to_first; d < to_end; ++d) destinations[d][row] = v;
    }
    // Fields the plan does not use, up to the first line's count; past it, extra.
    bool extra = false;
    for (std::size_t f = used; !extra && next_field(shape, p, e, f == 0, raw, value, empty); ++f)
      extra = f >= shape.column_count && (shape.csv || !raw.empty());
    if (extra) {
      read.extra_lines.note(static_cast<std::int64_t>(index), 0, "");
      if (shape.strict) return stop(ReadEnd::EXTRA_FIELDS, index, true);
    }
    ++table.row_count;
  }
  return read;
}

ChunkRead parse_block(const LineBlock& block, const RowShape& shape, DataTable& table, RowExtras* extras) {
  if (!shape.positional && extras) return parse_planned(block, shape, table, *extras);
  ChunkRead read;
  table.row_count = 0;
  const int needed = shape.variable_count + (shape.has_target ? 1 : 0);
  // Where the k-th value of a line goes: the target first, if there is one.
  std::vector<double*> destinations;
  if (shape.has_target) destinations.push_back(table.targets.data());
  for (int m = 0; m < shape.variable_count; ++m) destinations.push_back(table.column(m));
  double* const* destination = destinations.data();
  const auto stop = [&](ReadEnd why, std::size_t index, bool has_value) {
    read.end = why;
    read.stop = index;
    read.stop_has_value = has_value;
    return read;
  };
  std::size_t begin = 0;
  for (std::size_t index = 0; index < block.ends.size(); begin = block.ends[index++]) {
    const std::string_view line = block.line(index, begin);
    const std::size_t row = table.row_count;
    // A zero byte is never a blank line: the stop always matters.
    if (block.zero_seen && std::memchr(line.data(), 0, line.size())) return stop(ReadEnd::NUL_BYTE, index, true);
    const char* p = line.data();
    const char* e = p + line.size();
    for (int k = 0; k < needed; ++k) {
      p = skip_delimiters(p, e);
      if (p == e) return stop(ReadEnd::SHORT_LINE, index, k > 0);
      double v = 0.0;
      const char* q = scan_simple_decimal(p, e, v);
      if (!q || (q < e && !is_delimiter(*q))) {
        q = field_end(p, e);
        const std::string_view token(p, static_cast<std::size_t>(q - p));
        bool whole = true;
        v = parse_number(unquoted(token), &whole);
        if (!whole) {
          read.non_numbers.note(static_cast<std::int64_t>(index), k + 1, token);
          if (shape.strict) return stop(ReadEnd::NOT_A_NUMBER, index, true);
        }
      }
      destination[k][row] = v;
      p = q;
    }
    if (skip_delimiters(p, e) != e) {
      read.extra_lines.note(static_cast<std::int64_t>(index), 0, "");
      if (shape.strict) return stop(ReadEnd::EXTRA_FIELDS, index, true);
    }
    ++table.row_count;
  }
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

void ReadTally::add(const LineBlock& block, const ChunkRead& read, std::size_t rows) {
  // Where each record starts among the file's lines, counted from 1.
  const auto file_line = [&](std::int64_t index) {
    if (block.spans.empty()) return lines_ + index + 1;
    std::int64_t line = lines_ + 1;
    for (std::int64_t i = 0; i < index; ++i) line += static_cast<std::int64_t>(block.spans[static_cast<std::size_t>(i)]);
    return line;
  };
  const auto add_doubts = [&](Doubts& total, const Doubts& d) {
    if (d.count == 0) return;
    Doubts at = d;
    at.line = file_line(d.line);
    total.add(at, 0);
  };
  const std::int64_t lines = file_line(static_cast<std::int64_t>(block.ends.size())) - lines_ - 1;
  std::size_t look_from = 0;  // the first line whose values the stop asks about
  std::int64_t lines_before_look = 0;
  if (!stopped()) {
    rows_ += static_cast<std::int64_t>(rows);
    add_doubts(non_numbers_, read.non_numbers);
    add_doubts(extra_lines_, read.extra_lines);
    add_doubts(missing_, read.missing);
    if (read.end == ReadEnd::END) {
      lines_ += lines;
      return;
    }
    end_ = read.end;
    stop_line_ = file_line(static_cast<std::int64_t>(read.stop));
    stop_has_value_ = read.stop_has_value;
    look_from = read.stop + 1;
    lines_before_look = file_line(static_cast<std::int64_t>(look_from)) - lines_ - 1;
  }
  lines_ += lines;
  lines_after_stop_ += lines - lines_before_look;
  std::size_t begin = look_from == 0 ? 0 : block.ends[look_from - 1];
  for (std::size_t index = look_from; !later_value_ && index < block.ends.size(); begin = block.ends[index++])
    later_value_ = holds_value(block.line(index, begin));
}

std::optional<DataLayout> scan_first_line(DataReader& reader, FirstLineError* err) {
  const auto fail = [&](FirstLineError::Kind kind) {
    if (err) *err = first_line_error(kind, reader.name(), 0, 0, reader.system_error());
    return std::nullopt;
  };
  std::string_view line;
  if (!reader.first_line(line))
    return fail(reader.read_failed() ? FirstLineError::Kind::READ_FAILED : FirstLineError::Kind::NO_LINE);
  if (line.find('\0') != std::string_view::npos) return fail(FirstLineError::Kind::ZERO_BYTE);
  const char* p = line.data();
  const char* e = p + line.size();
  DataLayout layout;
  layout.header_lines = static_cast<std::int64_t>(reader.last_lines());
  if (reader.csv()) {
    if (p == e) return fail(FirstLineError::Kind::NOT_RIGHT);
    for (bool more = true; more;) {
      CsvField f;
      p = next_csv_field(p, e, reader.delimiter(), f);
      if (layout.column_count++ == 0) layout.has_header = !looks_numeric(f.value);
      if (layout.has_header) layout.column_names.push_back(csv_decode(f.raw));
      more = p != e;
      if (more) ++p;
    }
    if (!layout.has_header) reader.keep_first_line();
    return layout;
  }
  p = skip_delimiters(p, e);
  if (p == e) return fail(FirstLineError::Kind::NOT_RIGHT);
  const auto field = [&](const char* q) { return unquoted(std::string_view(p, static_cast<std::size_t>(q - p))); };
  layout.has_header = !looks_numeric(field(field_end(p, e)));
  // The fields are counted, not kept: a data line may be very long.
  while (p != e) {
    const char* q = field_end(p, e);
    ++layout.column_count;
    if (layout.has_header) layout.column_names.emplace_back(field(q));
    p = skip_delimiters(q, e);
  }
  if (!layout.has_header) reader.keep_first_line();
  return layout;
}

std::optional<RowShape> plan_rows(const DataLayout& layout, const ColumnChoice& choice, int variable_count,
                                  const std::string& file, FirstLineError* err) {
  const auto fail = [&](FirstLineError::Kind kind, const std::string& option, const std::string& name) {
    if (err) {
      *err = first_line_error(kind, file, 0, 0, 0);
      err->option = option;
      err->name = name;
      err->header = layout.column_names;
    }
    return std::nullopt;
  };
  const bool named = !choice.inputs.empty() || !choice.target_name.empty() || !choice.keep.empty();
  const std::string first_named = !choice.inputs.empty()        ? "--inputs"
                                  : !choice.target_name.empty() ? "--target"
                                                                : "--keep";
  if (named && !layout.has_header) return fail(FirstLineError::Kind::NO_HEADER, first_named, "");
  const auto column_of = [&](const std::string& name) -> long long {
    const auto at = std::find(layout.column_names.begin(), layout.column_names.end(), name);
    return at == layout.column_names.end() ? -1 : static_cast<long long>(at - layout.column_names.begin());
  };
  long long target = -1;
  if (!choice.target_name.empty()) {
    target = column_of(choice.target_name);
    if (target < 0) return fail(FirstLineError::Kind::UNKNOWN_NAME, "--target", choice.target_name);
  } else if (choice.has_target) {
    target = 0;
  }
  std::vector<long long> inputs;
  for (const std::string& name : choice.inputs) {
    inputs.push_back(column_of(name));
    if (inputs.back() < 0) return fail(FirstLineError::Kind::UNKNOWN_NAME, "--inputs", name);
  }
  if (choice.inputs.empty())
    for (long long c = 0; c < layout.column_count; ++c)
      if (c != target) inputs.push_back(c);
  if (static_cast<long long>(inputs.size()) != variable_count) {
    if (err) *err = first_line_error(FirstLineError::Kind::MISMATCH, file, variable_count,
                                   static_cast<std::int64_t>(inputs.size()), 0);
    return std::nullopt;
  }
  std::vector<long long> kept;
  for (const std::string& name : choice.keep) {
    kept.push_back(column_of(name));
    if (kept.back() < 0) return fail(FirstLineError::Kind::UNKNOWN_NAME, "--keep", name);
  }

  RowShape shape;
  shape.has_target = target >= 0;
  shape.variable_count = variable_count;
  shape.column_count = static_cast<std::size_t>(layout.column_count);
  shape.positional = target <= 0 && choice.inputs.empty() && choice.keep.empty();
  long long last = target;
  for (long long c : inputs) last = std::max(last, c);
  for (long long c : kept) last = std::max(last, c);
  shape.feeds.assign(static_cast<std::size_t>(last + 1), {});
  shape.kept_as.assign(static_cast<std::size_t>(last + 1), -1);
  if (target >= 0) shape.feeds[static_cast<std::size_t>(target)].push_back(-1);
  for (std::size_t m = 0; m < inputs.size(); ++m)
    shape.feeds[static_cast<std::size_t>(inputs[m])].push_back(static_cast<int>(m));
  for (std::size_t k = 0; k < kept.size(); ++k) shape.kept_as[static_cast<std::size_t>(kept[k])] = static_cast<int>(k);
  shape.keep_count = kept.size();
  return shape;
}

}  // namespace karva
