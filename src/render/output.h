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

// Digits after the decimal point in the output file: printf's "%f".
inline constexpr int DEFAULT_PRECISION = 6;

// What the options say of the output's numbers and prediction column.
struct OutputStyle {
  int precision = DEFAULT_PRECISION;  // digits after the point, as "%.Nf"
  bool round_trip = false;  // instead: the shortest text that reads back as the same double
  std::string prediction_name = "predict";
};

// How the output file is written: the style, in the table's dialect (CSV
// with its delimiter and decimal mark, or fields apart by a space with NaN
// as nan), with the columns the plan gives.
struct OutputFormat {
  OutputStyle style;
  Dialect dialect;
  CsvSyntax input;  // how kept CSV fields were written
  bool has_target = false;
  std::size_t keep_count = 0;  // kept columns' text at the front of each line
};

OutputFormat output_format(const ColumnPlan& columns, OutputStyle style);

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
