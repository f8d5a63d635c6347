// The data file as text: its first record, then chunks of whole records,
// read straight into the chunks' own buffers. Cutting the text into
// records and fields is left to whoever takes a chunk, so that the one
// reader does little more than read.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "input/source.h"
#include "text/csv.h"
#include "text/dialect.h"

namespace karva {

// A UTF-8 byte-order mark, which some programs put before the first line.
inline constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

// Whole records of the data, back to back; the last may lack its line end
// when the input ends with it.
struct ChunkText {
  std::vector<char> bytes;  // the text, then SCAN_PADDING readable bytes
  std::size_t size = 0;
  bool last = false;  // nothing of the input follows
  const char* begin() const { return bytes.data(); }
  const char* end() const { return bytes.data() + size; }
};

class DataReader {
 public:
  // Cuts records at every line end, or, for CSV, at line ends outside quotes.
  DataReader(ByteSource source, std::string name, const Dialect& dialect);

  // The first record without its line end (and without a byte-order mark);
  // false when the input holds nothing, or reading failed. It also decides
  // the line end: a carriage return that no line feed follows makes carriage
  // returns the line ends. The text lasts until the next read.
  bool first_record(std::string_view& record);
  // The lines of the file the first record took.
  std::int64_t first_record_lines() const { return first_lines_; }
  // The first record is data: it starts the first chunk.
  void keep_first_record() { pos_ = first_start_; }

  // Whole records, at least one, and more until about `bytes` of text;
  // false when the input is used up (or reading failed: see read_failed).
  bool next_chunk(ChunkText& chunk, std::size_t bytes);

  bool csv() const { return csv_; }
  // The CSV grammar's bytes; its line end is also the default reading's.
  const CsvSyntax& syntax() const { return syntax_; }
  const std::string& name() const { return name_; }
  std::uint64_t bytes_read() const { return bytes_read_; }
  bool read_failed() const { return errno_ != 0; }
  int system_error() const { return errno_; }
  // Reads what is left of the input without keeping it, so that a
  // compressed stream's decoder reaches its check (and damage says what it
  // found); gives up once `cancel` (when not null) is set.
  void read_to_end(const std::atomic<bool>* cancel);
  // A compressed stream that is corrupt or cut short: what its decoder said.
  // The reading ends at the last whole record before it.
  const std::string& damage() const { return damage_; }

 private:
  bool fill(std::vector<char>& buf, std::size_t& size, std::size_t want);
  // Reads into buf until it holds `want` bytes or the input ends; a short
  // read (a pipe) whose bytes hold one of `line_ends` ends it early, so that
  // rows trickling through a pipe are not held back.
  void read_until(std::vector<char>& buf, std::size_t& size, std::size_t want, std::string_view line_ends);
  // Past the first (or last) record end in [p, e), or nullptr.
  const char* record_end(const char* p, const char* e, bool first) const;

  ByteSource source_;
  std::string name_;
  bool csv_;
  CsvSyntax syntax_;
  // Text read but not yet handed out in a chunk: buf_[pos_, size_).
  std::vector<char> buf_;
  std::size_t pos_ = 0;
  std::size_t size_ = 0;
  std::size_t first_start_ = 0;
  std::int64_t first_lines_ = 1;
  bool eof_ = false;
  int errno_ = 0;
  std::string damage_;
  std::uint64_t bytes_read_ = 0;
};

}  // namespace karva
