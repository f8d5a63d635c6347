#include "engine/fit.h"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_fit.h>
#include <gsl/gsl_statistics_double.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <limits>
#include <new>

namespace karva {

void FitData::keep(const std::vector<double>& more_targets, const std::vector<double>& more_predictions,
                   const std::vector<unsigned char>& missing) {
  // Most chunks miss nothing: they are kept whole.
  if (std::none_of(missing.begin(), missing.end(), [](unsigned char m) { return m != 0; })) {
    targets.insert(targets.end(), more_targets.begin(), more_targets.end());
    predictions.insert(predictions.end(), more_predictions.begin(), more_predictions.end());
    return;
  }
  for (std::size_t i = 0; i < more_targets.size(); ++i) {
    if (missing[i]) {
      ++rows_left_out;
      continue;
    }
    targets.push_back(more_targets[i]);
    predictions.push_back(more_predictions[i]);
  }
}

namespace {

// Asks for huge pages under a large reservation, so that filling it costs a
// page fault every 2 MiB rather than every 4 KiB.
void prefer_huge_pages(const void* data, std::size_t bytes) {
  constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
  // A small fit fills few pages; a huge one would be cleared whole for it.
  constexpr std::size_t WORTH_IT = 16 * HUGE_PAGE;
  if (bytes < WORTH_IT) return;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(HUGE_PAGE - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

void FitData::reserve(std::size_t rows) {
  try {
    targets.reserve(rows);
    predictions.reserve(rows);
    prefer_huge_pages(targets.data(), rows * sizeof(double));
    prefer_huge_pages(predictions.data(), rows * sizeof(double));
  } catch (const std::bad_alloc&) {
    // Where address space is tight, the vectors grow as they go instead.
  }
}

namespace {

bool all_equal(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [&](double x) { return x == v.front(); });
}

bool all_finite(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

NoRSquare why_no_r_square(const FitData& fit) {
  if (fit.targets.empty()) return NoRSquare::NO_ROWS;
  if (fit.targets.size() == 1) return NoRSquare::ONE_ROW;
  if (!all_finite(fit.targets) || !all_finite(fit.predictions)) return NoRSquare::NOT_FINITE;
  if (all_equal(fit.targets)) return NoRSquare::CONSTANT_TARGET;
  if (all_equal(fit.predictions)) return NoRSquare::CONSTANT_PREDICTION;
  return NoRSquare::TOO_LARGE;  // the sums overflowed
}

}  // namespace

namespace {

// Magnitudes whose squares, summed over any number of rows, stay well
// inside the range of a double: data within them is not scaled.
constexpr int SAFE_EXPONENT = 400;
constexpr int LARGEST_POWER_OF_TWO = std::numeric_limits<double>::max_exponent - 1;

// 1 for data whose largest magnitude (of its finite values) is within the
// safe range; else 2^-e, where 2^e is just above that magnitude, so that the
// scaled values lie below 1 and their squares neither overflow nor, for tiny
// values, vanish. A power of two scales exactly, so the figures are the
// same bits they would be without overflow. Below the smallest normal
// double 2^-e itself would overflow; the largest finite power of two lifts
// such values well clear of underflow all the same.
double scale_of(std::initializer_list<const std::vector<double>*> values) {
  double largest = 0.0;
  for (const std::vector<double>* v : values)
    for (double x : *v)
      if (std::isfinite(x)) largest = std::max(largest, std::fabs(x));
  int exponent = 0;
  std::frexp(largest, &exponent);
  if (largest == 0.0 || std::abs(exponent) < SAFE_EXPONENT) return 1.0;
  return std::ldexp(1.0, std::min(-exponent, LARGEST_POWER_OF_TWO));
}

// `v` scaled into `storage`; `v` itself when the scale is 1.
const std::vector<double>& scaled(const std::vector<double>& v, double scale, std::vector<double>& storage) {
  if (scale == 1.0) return v;
  storage.resize(v.size());
  std::transform(v.begin(), v.end(), storage.begin(), [scale](double x) { return x * scale; });
  return storage;
}

}  // namespace

RSquare r_square(const FitData& fit) {
  // Degenerate data gives NaN, never an abort from GSL's error handler.
  gsl_set_error_handler_off();
  const std::size_t n = fit.targets.size();
  // The squared correlation does not change when either side is scaled:
  // each is scaled into a range where the sums of squares are exact to
  // the last bit that the unscaled ones would be, and cannot overflow.
  std::vector<double> target_storage, prediction_storage;
  const std::vector<double>& targets = scaled(fit.targets, scale_of({&fit.targets}), target_storage);
  const std::vector<double>& predictions = scaled(fit.predictions, scale_of({&fit.predictions}), prediction_storage);
  const double tss = gsl_stats_tss(targets.data(), 1, n);
  double c0 = 0, c1 = 0, cov00 = 0, cov01 = 0, cov11 = 0, sumsq = 0;
  gsl_fit_linear(predictions.data(), 1, targets.data(), 1, n, &c0, &c1, &cov00, &cov01, &cov11, &sumsq);
  RSquare r;
  r.value = 1.0 - sumsq / tss;
  if (std::isnan(r.value)) r.why_not = why_no_r_square(fit);
  return r;
}

FitStatistics fit_statistics(const FitData& fit) {
  FitStatistics st;
  const std::size_t n = fit.targets.size();
  st.rows_used = n;
  st.rows_left_out = fit.rows_left_out;
  st.r_square = r_square(fit).value;
  if (n == 0) return st;
  gsl_set_error_handler_off();
  // Errors are taken on one scale for both sides, so that a difference of
  // huge values does not overflow and one of tiny values does not vanish.
  const double scale = scale_of({&fit.targets, &fit.predictions});
  std::vector<double> errors(n);  // prediction minus target, scaled
  for (std::size_t i = 0; i < n; ++i) errors[i] = fit.predictions[i] * scale - fit.targets[i] * scale;
  // About a mean of 0, these are the sum of squared errors and the mean absolute error.
  const double sse = gsl_stats_tss_m(errors.data(), 1, n, 0.0);
  st.mae = gsl_stats_absdev_m(errors.data(), 1, n, 0.0) / scale;
  st.rmse = std::sqrt(sse / static_cast<double>(n)) / scale;
  st.mean_error = gsl_stats_mean(errors.data(), 1, n) / scale;
  st.largest_error = 0.0;
  for (double e : errors) st.largest_error = std::isnan(e) ? e : std::max(st.largest_error, std::fabs(e) / scale);
  std::vector<double> storage;
  const std::vector<double>& targets = scaled(fit.targets, scale, storage);
  st.determination = 1.0 - sse / gsl_stats_tss(targets.data(), 1, n);
  return st;
}

}  // namespace karva
