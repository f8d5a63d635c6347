// The predictions as lines of text: the header, the lines a sink formats
// for each table of scored rows, and the writer that takes them in order.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "engine/run.h"
#include "input/columns.h"
#include "model/table.h"

namespace karva {

// How the output file is written.
struct OutputFormat {
  int precision = 6;        // digits after the point, as "%.Nf"
  bool round_trip = false;  // instead: the shortest text that reads back as the same double
  bool csv = false;         // RFC 4180; otherwise fields apart by a space, and NaN as nan
  char delimiter = ',';     // of CSV
  char decimal = '.';       // the decimal mark of numbers
  std::string prediction_name = "predict";
  bool has_target = false;
  std::size_t keep_count = 0;  // kept columns' text at the front of each line
  CsvSyntax input;             // how kept CSV fields were written
};

// The first line of the output file.
std::string prediction_header(const ColumnPlan& columns, const OutputFormat& format);

// Writes one line per scored row into `buf` (grown as needed) from `used`
// on: the kept columns, the target when there is one, then the prediction.
// Returns the bytes of `buf` used.
std::size_t format_predictions(const ScoredRows& rows, const OutputFormat& format, std::vector<char>& buf,
                               std::size_t used);

// A sink whose workers format the predictions' lines; what takes them is
// the surface's.
class LineSink : public RowSink {
 public:
  explicit LineSink(OutputFormat format) : format_(std::move(format)) {}
  std::size_t format(const ScoredRows& rows, std::vector<char>& out, std::size_t used) const override {
    return format_predictions(rows, format_, out, used);
  }
  const OutputFormat& output_format() const { return format_; }

 private:
  OutputFormat format_;
};

// Writes the output file's header and then the formatted chunks.
class PredictionWriter {
 public:
  explicit PredictionWriter(std::FILE* out);
  bool write_header(const std::string& header);
  // False once a write has failed.
  bool write(const char* text, std::size_t size);
  // Flushes the stream; false on failure.
  bool finish();
  int system_error() const { return errno_; }  // errno of the failed write

 private:
  void fail();
  std::FILE* out_;
  bool failed_ = false;
  int errno_ = 0;
};

}  // namespace karva
