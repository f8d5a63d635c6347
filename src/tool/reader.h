// The data file: a header test on the first line, then rows read in chunks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/table.h"
#include "tool/number.h"

namespace karva {

// Fields are separated by runs of these.
inline constexpr std::string_view DELIMITERS = " \t,;";

// How the reading of rows came to an end.
enum class ReadEnd {
  END,           // every line was a row
  SHORT_LINE,    // a line held too few values
  NUL_BYTE,      // a line held a zero byte
  NOT_A_NUMBER,  // strict: a field was not wholly a number
  EXTRA_FIELDS,  // strict: a line held more fields than the first
};

// Fields or lines the reading took with doubt: how many, and the first.
struct Doubts {
  std::int64_t count = 0;
  std::int64_t line = 0;   // of the first
  std::int64_t field = 0;  // 1-based, the target counted
  std::string text;        // the field as written

  void note(std::int64_t at_line, std::int64_t at_field, std::string_view as_written);
  // Adds the doubts of later lines, whose line numbers start at `line_base`.
  void add(const Doubts& later, std::int64_t line_base);
};

// Whole lines of the data file, their line ends taken off, handed out
// together so that each block can be parsed on its own.
struct LineBlock {
  std::vector<char> text;         // the lines back to back, then SCAN_PADDING bytes
  std::vector<std::size_t> ends;  // where each line ends in `text`
  bool zero_seen = false;         // some line may hold a zero byte

  // Line `index`, which starts at `begin` (the end of the one before).
  std::string_view line(std::size_t index, std::size_t begin) const {
    return std::string_view(text.data() + begin, ends[index] - begin);
  }
};

// What a row of the data holds, and how strictly it is read.
struct RowShape {
  bool has_target = false;
  int variable_count = 0;
  bool strict = false;
};

// The reading of one block: where it stopped, if it did, and its doubts,
// with lines counted from 0 at the block's first line.
struct ChunkRead {
  ReadEnd end = ReadEnd::END;
  std::size_t stop = 0;         // the line that stopped the reading
  bool stop_has_value = false;  // that line is not blank
  Doubts non_numbers;
  Doubts extra_lines;
};

// Reads the rows of `block` into the input columns and targets of `table`,
// which has room for all its lines, and sets its row_count.
ChunkRead parse_block(const LineBlock& block, const RowShape& shape, DataTable& table);

// The readings of the blocks, in file order, summed up for the closing
// messages; after a stop, the lines that were not read.
class ReadTally {
 public:
  // `lines_before`: the lines already read, a header line say.
  explicit ReadTally(std::int64_t lines_before = 0) : lines_(lines_before) {}
  // Adds the next block, of which `rows` rows were read.
  void add(const LineBlock& block, const ChunkRead& read, std::size_t rows);
  bool stopped() const { return end_ != ReadEnd::END; }
  ReadEnd end() const { return end_; }
  std::int64_t rows_read() const { return rows_; }
  std::int64_t stop_line() const { return stop_line_; }  // 1-based
  std::int64_t lines_after_stop() const { return lines_after_stop_; }
  // Whether the stopping line or any line after it holds a value (blank
  // lines at the end do not make a stop worth a message).
  bool stop_matters() const { return stop_has_value_ || later_value_; }
  const Doubts& non_numbers() const { return non_numbers_; }
  const Doubts& extra_lines() const { return extra_lines_; }

 private:
  ReadEnd end_ = ReadEnd::END;
  std::int64_t lines_ = 0;
  std::int64_t rows_ = 0;
  std::int64_t stop_line_ = 0;
  std::int64_t lines_after_stop_ = 0;
  bool stop_has_value_ = false;
  bool later_value_ = false;
  Doubts non_numbers_;
  Doubts extra_lines_;
};

// A UTF-8 byte-order mark, which some programs put before the first line.
inline constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

class DataReader {
 public:
  // The buffer starts at `buffer_bytes` and grows to hold the longest line.
  DataReader(std::FILE* in, std::string name, std::size_t buffer_bytes = DEFAULT_BUFFER_BYTES);
  static constexpr std::size_t DEFAULT_BUFFER_BYTES = 256 * 1024;

  // The next lines, up to `max_lines` of them; false when none is left (or
  // the stream failed: see read_failed).
  bool next_lines(LineBlock& block, std::size_t max_lines);

  const std::string& name() const { return name_; }
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
  bool fill();
  std::size_t read_some(char* dst, std::size_t room);

  std::FILE* in_;
  std::string name_;
  std::size_t capacity_;   // text bytes buf_ takes; padding follows
  std::vector<char> buf_;
  std::size_t pos_ = 0;      // start of the unread text in buf_
  std::size_t end_ = 0;      // end of the text in buf_
  std::size_t scanned_ = 0;  // from pos_, bytes known to hold no line feed
  bool eof_ = false;
  bool zero_seen_ = false;  // some text read so far holds a zero byte
  bool error_ = false;
  int errno_ = 0;
  std::size_t first_line_start_ = 0;  // past a byte-order mark
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
