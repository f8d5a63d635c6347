// How well the predictions fit the targets: R-square, the squared
// correlation of target and prediction that the run prints, and the figures
// of --stats, among them the coefficient of determination.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace karva {

// The rows of the fit: every row's target and prediction but those with a
// missing value, which are only counted.
struct FitData {
  std::vector<double> targets;
  std::vector<double> predictions;
  std::int64_t rows_left_out = 0;  // with a missing value the run reads
  // Adds rows; `missing[i]` non-zero leaves row i out.
  void keep(const std::vector<double>& more_targets, const std::vector<double>& more_predictions,
            const std::vector<unsigned char>& missing);
  // Room for `rows` rows up front, so that growing never copies what is
  // kept; pages that stay unused are never touched.
  void reserve(std::size_t rows);
};

// Why R-square is not a number, when it is not.
enum class NoRSquare { NONE, NO_ROWS, ONE_ROW, CONSTANT_TARGET, CONSTANT_PREDICTION, NOT_FINITE, TOO_LARGE };

struct RSquare {
  double value = std::numeric_limits<double>::quiet_NaN();
  NoRSquare why_not = NoRSquare::NONE;
};

// The squared correlation of predictions and targets: 1 minus the residual
// sum of squares of the least-squares line of the targets on the
// predictions over the targets' total sum of squares.
RSquare r_square(const FitData& fit);

// The figures of --stats, over the rows of the fit.
struct FitStatistics {
  std::size_t rows_used = 0;
  std::int64_t rows_left_out = 0;
  double r_square = std::numeric_limits<double>::quiet_NaN();
  double rmse = std::numeric_limits<double>::quiet_NaN();
  double mae = std::numeric_limits<double>::quiet_NaN();
  double largest_error = std::numeric_limits<double>::quiet_NaN();
  double determination = std::numeric_limits<double>::quiet_NaN();  // 1 - SSE/SST, scikit-learn's r2_score
  double mean_error = std::numeric_limits<double>::quiet_NaN();     // of prediction minus target
};
FitStatistics fit_statistics(const FitData& fit);

}  // namespace karva
