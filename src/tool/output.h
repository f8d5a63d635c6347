// The output file of predictions and the R-square report.
#pragma once

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "model/table.h"
#include "tool/columns.h"
#include "tool/rows.h"

namespace karva {

// How the output file is written.
struct OutputFormat {
  int precision = 6;        // digits after the point, as "%.Nf"
  bool round_trip = false;  // instead: the shortest text that reads back as the same double
  bool csv = false;         // RFC 4180 with commas; otherwise fields apart by a space
  bool has_target = false;
  std::size_t keep_count = 0;  // kept columns' text at the front of each line
  CsvSyntax input;             // how kept CSV fields were written
};

// The separator of output fields.
inline constexpr char CSV_OUTPUT_DELIMITER = ',';

// The first line of the output file.
std::string prediction_header(const ColumnPlan& columns, const OutputFormat& format);

// Writes `value` as the shortest text that reads back as the same double.
char* format_shortest(char* out, double value);

// Writes one line per row of the table into `buf` (grown as needed) from
// `used` on: the kept columns, the target when there is one, then the
// prediction. Returns the bytes of `buf` used.
std::size_t format_predictions(const DataTable& table, const double* predictions, const OutputFormat& format,
                               const RowExtras* extras, std::vector<char>& buf, std::size_t used);

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

// The targets and predictions of every row, kept for the fit.
struct FitData {
  std::vector<double> targets;
  std::vector<double> predictions;
  void keep(const std::vector<double>& more_targets, const std::vector<double>& more_predictions);
  // Room for `rows` rows up front, so that growing never copies what is
  // kept; pages that stay unused are never touched.
  void reserve(std::size_t rows);
};

// After R-square with --stats: the rows used, RMSE, MAE, the largest
// absolute error and 1 - SSE/SST of the predictions as they are; rows whose
// target or prediction is NaN are left out and counted.
struct FitStatistics {
  std::size_t rows_used = 0;
  std::size_t rows_left_out = 0;
  double rmse = std::numeric_limits<double>::quiet_NaN();
  double mae = std::numeric_limits<double>::quiet_NaN();
  double largest_error = std::numeric_limits<double>::quiet_NaN();
  double determination = std::numeric_limits<double>::quiet_NaN();  // 1 - SSE/SST
};
FitStatistics fit_statistics(const FitData& fit);
// Its lines "name = value".
std::string fit_statistics_message(const FitStatistics& statistics);

// The squared correlation of predictions and targets: 1 minus the residual
// sum of squares of the least-squares line of the targets on the
// predictions over the targets' total sum of squares. NaN when undefined.
double r_square(const FitData& fit);


}  // namespace karva
