// The rows of a chunk: its records cut into fields, each field read into
// the place the column plan gives it, with what the reading doubted and
// where it stopped, if it did.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "input/columns.h"
#include "input/reader.h"
#include "model/table.h"

namespace karva {

// How the reading of rows came to an end.
enum class ReadEnd {
  END,             // every record was a row
  SHORT_LINE,      // a line held too few values
  NUL_BYTE,        // a line held a zero byte
  NOT_A_NUMBER,    // strict: a field was not wholly a number
  EXTRA_FIELDS,    // strict: a line held more fields than the first
  MISSING_VALUE,   // strict: a field the key reads was empty
  UNCLOSED_QUOTE,  // a quoted field was never closed
  NEEDS_CSV,       // named columns: a line only CSV can place
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

// What a row misses, as bits: an input, which leaves the row without a
// prediction, or the target; either leaves it out of the fit.
inline constexpr unsigned char MISSING_INPUT = 1;
inline constexpr unsigned char MISSING_TARGET = 2;

// What rows give besides their values: what each misses, and the text of
// the kept columns (views into the chunk).
struct RowExtras {
  std::vector<unsigned char> missing;  // per row
  std::size_t missing_rows = 0;        // rows that miss an input
  std::vector<std::string_view> kept;  // keep_count per row
};

// The reading of one chunk, its lines counted from 0 at its first line.
struct ChunkRead {
  ReadEnd end = ReadEnd::END;
  std::int64_t stop = 0;         // the line that stopped the reading
  bool stop_has_value = false;   // that line is not blank
  std::int64_t lines = 0;        // the lines of the file the chunk holds
  bool later_value = false;      // after a stop: a later line holds a value
  Doubts non_numbers;
  Doubts extra_lines;
  Doubts missing;
};

// Reads the records of one chunk a table of rows at a time.
class RowReader {
 public:
  RowReader(const ChunkText& chunk, const ColumnPlan& plan);
  // The next rows, as many as `table` has room for, into its input columns
  // and targets; sets row_count. False when no row was read: the chunk is
  // used up, or the reading stopped.
  bool read(DataTable& table, RowExtras& extras);
  // Once read gives false: the chunk's lines, and after a stop whether a
  // later line holds a value.
  const ChunkRead& finish();

 private:
  struct Record {
    std::string_view text;  // without its line end
    std::int64_t lines = 1;
    const char* unclosed = nullptr;  // where a quote that is never closed opened
  };
  bool next_record(Record& record);
  // What became of a record: a row, nothing (a blank line CSV skips, as
  // pandas does), or the stop of the reading.
  enum class RecordRead { ROW, SKIPPED, STOPPED };
  // Reads one record into row `row`.
  RecordRead read_record(const Record& record, std::size_t row, RowExtras& extras);
  // Fields f and on are absent from a short CSV record: missing values.
  void absent_fields(std::size_t f, std::size_t row, RowExtras& extras);
  // The value of a field the fast path did not take; false when it stops
  // the reading.
  bool read_value(std::size_t f, const FieldRoute& route, std::string_view raw, std::string_view value,
                  std::size_t row, RowExtras& extras, double& v);
  bool stop(ReadEnd why, bool has_value);

  const ChunkText& chunk_;
  const ColumnPlan& plan_;
  const char* at_;
  bool has_zero_;
  bool stopped_ = false;
  std::int64_t line_ = 0;  // the first line of the current record
  std::vector<double*> destinations_;
  std::vector<std::size_t> first_destination_;  // of field f: [f], [f + 1])
  std::string scratch_;
  ChunkRead read_;
};

// A chunk after a stop is only counted: its lines, and whether one holds a value.
ChunkRead count_lines(const ChunkText& chunk, const ColumnPlan& plan);

// The readings of the chunks, in file order, summed up for the closing
// messages; after a stop, the lines that were not read.
class ReadTally {
 public:
  // `lines_before`: the lines already read, a header's say.
  explicit ReadTally(std::int64_t lines_before = 0) : lines_(lines_before) {}
  // Adds the next chunk, of which `rows` rows were read (after a stop, they
  // only tell that a later line holds a value).
  void add(const ChunkRead& read, std::size_t rows);
  bool stopped() const { return end_ != ReadEnd::END; }
  ReadEnd end() const { return end_; }
  std::int64_t rows_read() const { return rows_; }
  std::int64_t lines_read() const { return lines_; }  // the header's included
  std::int64_t stop_line() const { return stop_line_; }  // 1-based
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
  bool stop_has_value_ = false;
  bool later_value_ = false;
  Doubts non_numbers_;
  Doubts extra_lines_;
  Doubts missing_;
};

}  // namespace karva
