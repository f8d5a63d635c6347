// The output file of predictions and the R-square report.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "model/table.h"
#include "tool/reader.h"

namespace karva {

// The first line of the output file.
std::string prediction_header(const DataLayout& layout);

// Writes one line per row of the chunk into `buf` (grown as needed): the
// target and a space when there is one, then the prediction. Returns the
// bytes written.
std::size_t format_predictions(const DataTable& table, const double* predictions, int precision, bool has_target,
                               std::vector<char>& buf);

// Writes the output file's header and then the formatted chunks.
class PredictionWriter {
 public:
  explicit PredictionWriter(std::FILE* out);
  bool write_header(const DataLayout& layout);
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
  void keep(const DataTable& table, const double* predictions);
  // Room for `rows` rows up front, so that growing never copies what is
  // kept; pages that stay unused are never touched.
  void reserve(std::size_t rows);
};

// The squared correlation of predictions and targets: 1 minus the residual
// sum of squares of the least-squares line of the targets on the
// predictions over the targets' total sum of squares. NaN when undefined.
double r_square(const FitData& fit);


}  // namespace karva
