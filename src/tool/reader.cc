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

DataReader::DataReader(std::FILE* in, std::string name, bool has_target, int variable_count,
                       std::size_t buffer_bytes)
    : in_(in), name_(std::move(name)), has_target_(has_target), variable_count_(variable_count),
      capacity_(std::max<std::size_t>(buffer_bytes, 1)), buf_(capacity_ + SCAN_PADDING) {}

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
      ++line_number_;
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
      ++line_number_;
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
  line_number_ = 0;
}

ReadEnd DataReader::read_chunk(DataTable& table) {
  table.row_count = 0;
  const std::size_t capacity = table.capacity();
  const int needed = variable_count_ + (has_target_ ? 1 : 0);
  // Where the k-th value of a line goes: the target first, if there is one.
  destinations_.clear();
  if (has_target_) destinations_.push_back(table.targets.data());
  for (int m = 0; m < variable_count_; ++m) destinations_.push_back(table.column(m));
  double* const* destination = destinations_.data();
  std::string_view line;
  while (table.row_count < capacity) {
    if (!next_line(line)) return error_ ? ReadEnd::READ_ERROR : ReadEnd::END;
    const std::size_t row = table.row_count;
    // A zero byte is never a blank line: the stop always matters.
    if (zero_seen_ && std::memchr(line.data(), 0, line.size())) return stop_here(ReadEnd::NUL_BYTE);
    const char* p = line.data();
    const char* e = p + line.size();
    for (int k = 0; k < needed; ++k) {
      p = skip_delimiters(p, e);
      if (p == e) {
        stop_line_ = line_number_;
        stop_line_has_value_ = k > 0;
        return ReadEnd::SHORT_LINE;
      }
      double v = 0.0;
      const char* q = scan_simple_decimal(p, e, v);
      if (!q || (q < e && !is_delimiter(*q))) {
        q = field_end(p, e);
        const std::string_view token(p, static_cast<std::size_t>(q - p));
        bool whole = true;
        v = parse_number(unquoted(token), &whole);
        if (!whole) {
          if (non_numbers_.count++ == 0) non_numbers_ = {1, line_number_, k + 1, std::string(token)};
          if (strict_) return stop_here(ReadEnd::NOT_A_NUMBER);
        }
      }
      destination[k][row] = v;
      p = q;
    }
    if (skip_delimiters(p, e) != e) {
      if (extra_lines_.count++ == 0) extra_lines_ = {1, line_number_, 0, ""};
      if (strict_) return stop_here(ReadEnd::EXTRA_FIELDS);
    }
    ++table.row_count;
    ++rows_read_;
  }
  return ReadEnd::MORE;
}

ReadEnd DataReader::stop_here(ReadEnd why) {
  stop_line_ = line_number_;
  stop_line_has_value_ = true;
  return why;
}

bool DataReader::stop_matters() {
  bool later_value = false;
  std::string_view line;
  while (next_line(line)) {
    ++lines_after_stop_;
    if (!later_value && holds_value(line)) later_value = true;
  }
  return stop_line_has_value_ || later_value;
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
