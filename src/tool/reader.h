// The data file: a header test on the first line, then rows read in chunks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/table.h"

namespace karva {

// Fields are separated by runs of these.
inline constexpr std::string_view DELIMITERS = " \t,;";

// How the reading of rows came to an end.
enum class ReadEnd {
  MORE,        // the chunk is full; more lines may follow
  END,         // every line was read
  SHORT_LINE,  // a line held too few values
  NUL_BYTE,    // a line held a zero byte
  READ_ERROR,  // the stream failed
  NOT_A_NUMBER,  // strict: a field was not wholly a number
  EXTRA_FIELDS,  // strict: a line held more fields than the first
};

// Fields or lines the reading took with doubt: how many, and the first.
struct Doubts {
  std::int64_t count = 0;
  std::int64_t line = 0;   // 1-based
  std::int64_t field = 0;  // 1-based, the target counted
  std::string text;        // the field as written
};

// A UTF-8 byte-order mark, which some programs put before the first line.
inline constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

class DataReader {
 public:
  // The buffer starts at `buffer_bytes` and grows to hold the longest line.
  DataReader(std::FILE* in, std::string name, bool has_target, int variable_count,
             std::size_t buffer_bytes = DEFAULT_BUFFER_BYTES);
  static constexpr std::size_t DEFAULT_BUFFER_BYTES = 256 * 1024;

  // Fills the input columns and targets of `table` with up to its capacity
  // of rows, and sets its row_count.
  ReadEnd read_chunk(DataTable& table);

  // Fields that are not wholly numbers, and lines with more fields than the
  // first, stop the reading rather than being counted.
  void set_strict(bool strict) { strict_ = strict; }
  const Doubts& non_numbers() const { return non_numbers_; }
  const Doubts& extra_lines() const { return extra_lines_; }

  // After any stop but END and READ_ERROR: reads the rest of the stream and tells
  // whether the stop matters, that is whether the stopping line or any line
  // after it holds a value (blank lines at the end do not count).
  bool stop_matters();

  const std::string& name() const { return name_; }
  std::int64_t rows_read() const { return rows_read_; }
  std::int64_t stop_line() const { return stop_line_; }         // 1-based
  std::int64_t lines_after_stop() const { return lines_after_stop_; }
  std::uint64_t bytes_read() const { return bytes_read_; }

  // The first line, for the header test, without a byte-order mark; false
  // when the stream has none. The text lasts until the next read.
  bool first_line(std::string_view& line);
  // Hands the first line out again as the first data line.
  void keep_first_line();
  bool read_failed() const { return error_; }
  int system_error() const { return errno_; }  // errno of the failed read

 private:
  bool next_line(std::string_view& line);
  ReadEnd stop_here(ReadEnd why);
  bool fill();
  std::size_t read_some(char* dst, std::size_t room);

  std::FILE* in_;
  std::string name_;
  bool has_target_;
  int variable_count_;
  std::size_t capacity_;   // text bytes buf_ takes; padding follows
  std::vector<char> buf_;
  std::size_t pos_ = 0;      // start of the unread text in buf_
  std::size_t end_ = 0;      // end of the text in buf_
  std::size_t scanned_ = 0;  // from pos_, bytes known to hold no line feed
  bool eof_ = false;
  bool zero_seen_ = false;  // some text read so far holds a zero byte
  std::vector<double*> destinations_;
  bool error_ = false;
  int errno_ = 0;
  std::size_t first_line_start_ = 0;  // past a byte-order mark
  bool strict_ = false;
  Doubts non_numbers_;
  Doubts extra_lines_;
  std::int64_t line_number_ = 0;
  std::int64_t rows_read_ = 0;
  std::int64_t stop_line_ = 0;
  std::int64_t lines_after_stop_ = 0;
  bool stop_line_has_value_ = false;
  std::uint64_t bytes_read_ = 0;
};

// What the first line tells about the whole file.
struct DataLayout {
  bool has_target = false;
  bool has_header = false;
  std::int64_t column_count = 0;          // columns on the first line, target included
  std::vector<std::string> column_names;  // the header's fields, when there is one
};

// Why the first line cannot be used, with the facts its message names.
struct FirstLineError {
  enum class Kind {
    NO_LINE,      // the file is empty
    NOT_RIGHT,    // no field on the line
    ZERO_BYTE,    // a zero byte on the line
    MISMATCH,     // its column count does not fit the key
    READ_FAILED,  // the stream failed
  };
  Kind kind = Kind::NOT_RIGHT;
  std::string file;
  int variable_count = 0;  // the key's, with MISMATCH
  std::int64_t inputs = 0;  // the line's columns less the target, with MISMATCH
  int system_error = 0;     // with READ_FAILED
};

// Reads the first line of `reader` and decides whether it is a header and
// how many columns it has; nothing, with `*err` filled, when it has no field.
// A first line that is data is kept and becomes the first row of the first
// chunk. has_target is left for the caller.
std::optional<DataLayout> scan_first_line(DataReader& reader, FirstLineError* err);

// The same, and the column count checked against the key's `variable_count`.
std::optional<DataLayout> read_layout(DataReader& reader, bool has_target, int variable_count,
                                      FirstLineError* err);

}  // namespace karva
