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
};

class DataReader {
 public:
  // The buffer starts at `buffer_bytes` and grows to hold the longest line.
  DataReader(std::FILE* in, std::string name, bool has_target, int variable_count,
             std::size_t buffer_bytes = DEFAULT_BUFFER_BYTES);
  static constexpr std::size_t DEFAULT_BUFFER_BYTES = 256 * 1024;

  // Fills the input columns and targets of `table` with up to its capacity
  // of rows, and sets its row_count.
  ReadEnd read_chunk(DataTable& table);

  // After SHORT_LINE or NUL_BYTE: reads the rest of the stream and tells
  // whether the stop matters, that is whether the stopping line or any line
  // after it holds a value (blank lines at the end do not count).
  bool stop_matters();

  const std::string& name() const { return name_; }
  std::int64_t rows_read() const { return rows_read_; }
  std::int64_t stop_line() const { return stop_line_; }         // 1-based
  std::int64_t lines_after_stop() const { return lines_after_stop_; }
  std::uint64_t bytes_read() const { return bytes_read_; }

  // The first line, for the header test; false when the stream has none.
  bool first_line(std::string& line);
  // Hands the first line out again as the first data line.
  void keep_first_line(const std::string& line);
  bool read_failed() const { return error_; }
  int system_error() const { return errno_; }  // errno of the failed read

 private:
  bool next_line(std::string_view& line);
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
  bool pending_ = false;       // the first line is data, not yet handed out
  std::vector<char> pending_text_;  // with room for the number scan to read past
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
    NOT_RIGHT,    // no field, or a zero byte on the line
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
