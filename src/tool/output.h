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

// Writes prediction lines through one large buffer.
class PredictionWriter {
 public:
  PredictionWriter(std::FILE* out, int precision, bool has_target);
  bool write_header(const DataLayout& layout);
  // One line per row of the chunk: the target and a space when there is
  // one, then the prediction. False once a write has failed.
  bool write_predictions(const DataTable& table, const double* predictions);
  // Hands everything to the stream and flushes it; false on failure.
  bool finish();
  int system_error() const { return errno_; }  // errno of the failed write

 private:
  bool drain();
  void fail();
  std::FILE* out_;
  int precision_;
  bool has_target_;
  std::vector<char> buf_;
  std::size_t used_ = 0;
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
