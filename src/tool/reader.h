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
  NOT_A_NUMBER,   // strict: a field was not wholly a number
  EXTRA_FIELDS,   // strict: a line held more fields than the first
  MISSING_VALUE,  // strict: a field the key reads was empty
  UNCLOSED_QUOTE, // a quoted field was never closed
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
  // CSV records may hold line ends inside quotes: the lines of the file
  // each record takes (empty outside CSV: one each), and whether the last
  // one's quote is never closed.
  std::vector<std::size_t> spans;
  bool unclosed = false;

  std::size_t file_lines(std::size_t index) const { return spans.empty() ? 1 : spans[index]; }

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

  // The target first, then the inputs in order, and nothing else: fields
  // are read as they come. Otherwise (named columns, CSV) the plan below
  // says which field feeds what.
  bool positional = true;
  bool csv = false;
  char delimiter = ',';
  std::size_t column_count = 0;        // fields on the first line
  std::vector<std::vector<int>> feeds;  // per field, up to the last one used: -1 the target, m input m
  std::vector<int> kept_as;            // per field: its place among the kept columns, or -1
  std::size_t keep_count = 0;
};

// What a row gives besides its values: whether a value the key reads is
// missing, and the text of the kept columns (views into the block).
struct RowExtras {
  std::vector<unsigned char> missing;  // per row
  std::vector<std::string_view> kept;  // keep_count per row
};

// The reading of one block: where it stopped, if it did, and its doubts,
// with lines counted from 0 at the block's first line.
struct ChunkRead {
  ReadEnd end = ReadEnd::END;
  std::size_t stop = 0;         // the line that stopped the reading
  bool stop_has_value = false;  // that line is not blank
  Doubts non_numbers;
  Doubts extra_lines;
  Doubts missing;
};

// Reads the rows of `block` into the input columns and targets of `table`,
// which has room for all its lines, and sets its row_count. `extras` is
// filled when the shape is not positional.
ChunkRead parse_block(const LineBlock& block, const RowShape& shape, DataTable& table, RowExtras* extras = nullptr);

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
  const Doubts& missing() const { return missing_; }

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
  Doubts missing_;
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

  // Lines are CSV records: a line end inside double quotes does not end one.
  void set_csv(bool csv, char delimiter) {
    csv_ = csv;
    delimiter_ = delimiter;
  }
  bool csv() const { return csv_; }
  char delimiter() const { return delimiter_; }
  // The lines of the file the last record took.
  std::size_t last_lines() const { return last_lines_; }

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
  bool csv_ = false;
  char delimiter_ = ',';
  std::size_t quotes_ = 0;  // quotes in the record so far, up to scanned_
  std::size_t last_lines_ = 1;
  bool last_unclosed_ = false;
  std::uint64_t bytes_read_ = 0;
};

// What the first line tells about the whole file.
struct DataLayout {
  bool has_target = false;
  bool has_header = false;
  std::int64_t column_count = 0;          // columns on the first line, target included
  std::vector<std::string> column_names;  // the header's fields, when there is one
  std::int64_t header_lines = 0;          // lines of the file the first line took (a CSV record may take more)
};

// Why the first line cannot be used, with the facts its message names.
struct FirstLineError {
  enum class Kind {
    NO_LINE,      // the file is empty
    NOT_RIGHT,    // no field on the line
    ZERO_BYTE,    // a zero byte on the line
    MISMATCH,     // its column count does not fit the key
    READ_FAILED,  // the stream failed
    NO_HEADER,    // columns are named, but the file has no header line
    UNKNOWN_NAME, // a name that is not in the header
  };
  Kind kind = Kind::NOT_RIGHT;
  std::string file;
  int variable_count = 0;  // the key's, with MISMATCH
  std::int64_t inputs = 0;  // the line's columns less the target, with MISMATCH
  int system_error = 0;     // with READ_FAILED
  std::string option;       // with NO_HEADER and UNKNOWN_NAME: the option that named it
  std::string name;         // with UNKNOWN_NAME
  std::vector<std::string> header;  // with UNKNOWN_NAME
};

// The columns a run asks for by name.
struct ColumnChoice {
  bool has_target = false;
  std::string target_name;          // empty: the first column, when has_target
  std::vector<std::string> inputs;  // empty: every column but the target, in order
  std::vector<std::string> keep;
};

// Which field feeds what, from the first line's layout: nothing, with `*err`
// filled, when a name is not in the header or the inputs do not fit the key.
std::optional<RowShape> plan_rows(const DataLayout& layout, const ColumnChoice& choice, int variable_count,
                                  const std::string& file, FirstLineError* err);

// Reads the first line of `reader` and decides whether it is a header and
// how many columns it has; nothing, with `*err` filled, when it has no field.
// A first line that is data is kept and becomes the first row of the first
// chunk. has_target is left for the caller.
std::optional<DataLayout> scan_first_line(DataReader& reader, FirstLineError* err);

}  // namespace karva
