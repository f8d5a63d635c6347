#include "tool/reader.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

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
  for (;;) {
    const char* start = buf_.data() + pos_;
    const void* nl = std::memchr(start + scanned_, '\n', end_ - pos_ - scanned_);
    if (nl) {
      std::size_t len = static_cast<std::size_t>(static_cast<const char*>(nl) - start);
      pos_ += len + 1;
      scanned_ = 0;
      // A CR LF line end reads like LF, and so does CR CR LF.
      if (len > 0 && start[len - 1] == '\r') --len;
      if (len > 0 && start[len - 1] == '\r') --len;
      line = std::string_view(start, len);
      return true;
    }
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
}

bool DataReader::next_lines(LineBlock& block, std::size_t max_lines) {
  block.text.clear();
  block.ends.clear();
  std::string_view line;
  while (block.ends.size() < max_lines && next_line(line)) {
    block.text.insert(block.text.end(), line.begin(), line.end());
    block.ends.push_back(block.text.size());
  }
  block.text.resize(block.text.size() + SCAN_PADDING);
  block.zero_seen = zero_seen_;
  return !block.ends.empty();
}

ChunkRead parse_block(const LineBlock& block, const RowShape& shape, DataTable& table) {
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
  const std::int64_t lines = static_cast<std::int64_t>(block.ends.size());
  std::size_t look_from = 0;  // the first line whose values the stop asks about
  if (!stopped()) {
    rows_ += static_cast<std::int64_t>(rows);
    // Lines are counted from 1.
    non_numbers_.add(read.non_numbers, lines_ + 1);
    extra_lines_.add(read.extra_lines, lines_ + 1);
    if (read.end == ReadEnd::END) {
      lines_ += lines;
      return;
    }
    end_ = read.end;
    stop_line_ = lines_ + static_cast<std::int64_t>(read.stop) + 1;
    stop_has_value_ = read.stop_has_value;
    look_from = read.stop + 1;
  }
  lines_ += lines;
  lines_after_stop_ += lines - static_cast<std::int64_t>(look_from);
  std::size_t begin = look_from == 0 ? 0 : block.ends[look_from - 1];
  for (std::size_t index = look_from; !later_value_ && index < block.ends.size(); begin = block.ends[index++])
    later_value_ = holds_value(block.line(index, begin));
}

std::optional<DataLayout> scan_first_line(DataReader& reader, FirstLineError* err) {
  const auto fail = [&](FirstLineError::Kind kind) {
    if (err) *err = FirstLineError{kind, reader.name(), 0, 0, reader.system_error()};
    return std::nullopt;
  };
  std::string_view line;
  if (!reader.first_line(line))
    return fail(reader.read_failed() ? FirstLineError::Kind::READ_FAILED : FirstLineError::Kind::NO_LINE);
  if (line.find('\0') != std::string_view::npos) return fail(FirstLineError::Kind::ZERO_BYTE);
  const char* p = line.data();
  const char* e = p + line.size();
  p = skip_delimiters(p, e);
  if (p == e) return fail(FirstLineError::Kind::NOT_RIGHT);
  DataLayout layout;
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

std::optional<DataLayout> read_layout(DataReader& reader, bool has_target, int variable_count,
                                      FirstLineError* err) {
  std::optional<DataLayout> layout = scan_first_line(reader, err);
  if (!layout) return layout;
  layout->has_target = has_target;
  const std::int64_t inputs = layout->column_count - (has_target ? 1 : 0);
  if (inputs != variable_count) {
    if (err) *err = FirstLineError{FirstLineError::Kind::MISMATCH, reader.name(), variable_count, inputs, 0};
    return std::nullopt;
  }
  return layout;
}

}  // namespace karva
