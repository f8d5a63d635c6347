#include "tool/output.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include <gsl/gsl_errno.h>
#include <gsl/gsl_fit.h>
#include <gsl/gsl_statistics_double.h>

#include "tool/number.h"

namespace karva {
namespace {

// Room for one whole line: two numbers, a space and the line feed.
constexpr std::size_t MAX_LINE_CHARS = 2 * MAX_FIXED_CHARS + 2;

}  // namespace

std::string prediction_header(const DataLayout& layout) {
  if (layout.has_target && layout.has_header && !layout.column_names.empty())
    return layout.column_names[0] + "(target) predict\n";
  if (layout.has_target && !layout.has_header) return "target predict\n";
  return "predict\n";
}

std::size_t format_predictions(const DataTable& table, const double* predictions, int precision, bool has_target,
                               std::vector<char>& buf) {
  // The buffer is kept from chunk to chunk, so it grows only now and then.
  std::size_t used = 0;
  for (std::size_t row = 0; row < table.row_count; ++row) {
    if (buf.size() - used < MAX_LINE_CHARS) buf.resize(std::max(2 * buf.size(), used + MAX_LINE_CHARS));
    char* const start = buf.data();
    char* p = start + used;
    if (has_target) {
      p = format_fixed(p, table.targets[row], precision);
      *p++ = ' ';
    }
    p = format_fixed(p, predictions[row], precision);
    *p++ = '\n';
    used = static_cast<std::size_t>(p - start);
  }
  return used;
}

PredictionWriter::PredictionWriter(std::FILE* out) : out_(out) {}

void PredictionWriter::fail() {
  if (!failed_) errno_ = errno;
  failed_ = true;
}

bool PredictionWriter::write(const char* text, std::size_t size) {
  if (!failed_ && size > 0 && std::fwrite(text, 1, size, out_) != size) fail();
  return !failed_;
}

bool PredictionWriter::write_header(const DataLayout& layout) {
  const std::string header = prediction_header(layout);
  return write(header.data(), header.size());
}

bool PredictionWriter::finish() {
  if (!failed_ && (std::fflush(out_) != 0 || std::ferror(out_))) fail();
  return !failed_;
}

void FitData::keep(const DataTable& table, const double* chunk_predictions) {
  targets.insert(targets.end(), table.targets.begin(),
                 table.targets.begin() + static_cast<std::ptrdiff_t>(table.row_count));
  predictions.insert(predictions.end(), chunk_predictions, chunk_predictions + table.row_count);
}

void FitData::reserve(std::size_t rows) {
  try {
    targets.reserve(rows);
    predictions.reserve(rows);
  } catch (const std::bad_alloc&) {
    // Where address space is tight, the vectors grow as they go instead.
  }
}

double r_square(const FitData& fit) {
  // Degenerate data gives NaN, never an abort from GSL's error handler.
  gsl_set_error_handler_off();
  const std::size_t n = fit.targets.size();
  const double tss = gsl_stats_tss(fit.targets.data(), 1, n);
  double c0 = 0, c1 = 0, cov00 = 0, cov01 = 0, cov11 = 0, sumsq = 0;
  gsl_fit_linear(fit.predictions.data(), 1, fit.targets.data(), 1, n, &c0, &c1, &cov00, &cov01, &cov11, &sumsq);
  return 1.0 - sumsq / tss;
}

}  // namespace karva
