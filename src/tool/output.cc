#include "tool/output.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <cerrno>
#include <new>

#include <gsl/gsl_errno.h>
#include <gsl/gsl_fit.h>
#include <gsl/gsl_statistics_double.h>

#include "tool/csv.h"
#include "tool/number.h"

namespace karva {
namespace {

// Room for one whole line: two numbers, a space and the line feed.
constexpr std::size_t MAX_LINE_CHARS = 2 * MAX_FIXED_CHARS + 2;

}  // namespace

std::string prediction_header(const ColumnPlan& columns, const OutputFormat& format) {
  const std::string& target_name = columns.target_name;
  const std::vector<std::string>& keep_names = columns.keep_names;
  std::string header;
  if (format.csv) {
    for (const std::string& name : keep_names) {
      csv_append(header, name, CSV_OUTPUT_DELIMITER);
      header += CSV_OUTPUT_DELIMITER;
    }
    if (format.has_target) {
      csv_append(header, target_name.empty() ? "target" : target_name, CSV_OUTPUT_DELIMITER);
      header += CSV_OUTPUT_DELIMITER;
    }
    return header + "predict\n";
  }
  for (const std::string& name : keep_names) header.append(name).append(" ");
  if (format.has_target && columns.has_header && !target_name.empty()) return header + target_name + "(target) predict\n";
  if (format.has_target && !columns.has_header) return header + "target predict\n";
  return header + "predict\n";
}

char* format_shortest(char* out, double value) { return std::to_chars(out, out + MAX_FIXED_CHARS, value).ptr; }

namespace {

char* format_number(char* p, double value, const OutputFormat& format) {
  return format.round_trip ? format_shortest(p, value) : format_fixed(p, value, format.precision);
}

// A kept field's text: as written, but for CSV quoting when the output is CSV.
void append_kept(std::string& line, std::string_view raw, const OutputFormat& format) {
  if (!format.csv) {
    line.append(raw);
    line += ' ';
    return;
  }
  if (raw.empty() || raw.front() != '"')
    csv_append(line, raw, CSV_OUTPUT_DELIMITER);
  else
    csv_append(line, csv_decode(raw, format.input), CSV_OUTPUT_DELIMITER);
  line += CSV_OUTPUT_DELIMITER;
}

}  // namespace

std::size_t format_predictions(const DataTable& table, const double* predictions, const OutputFormat& format,
                               const RowExtras* extras, std::vector<char>& buf, std::size_t used) {
  // The buffer is kept from chunk to chunk, so it grows only now and then.
  const char separator = format.csv ? CSV_OUTPUT_DELIMITER : ' ';
  std::string kept;
  for (std::size_t row = 0; row < table.row_count; ++row) {
    kept.clear();
    for (std::size_t k = 0; k < format.keep_count; ++k)
      append_kept(kept, extras->kept[row * format.keep_count + k], format);
    const std::size_t need = used + kept.size() + MAX_LINE_CHARS;
    if (buf.size() < need) buf.resize(std::max(2 * buf.size(), need));
    char* const start = buf.data();
    char* p = start + used;
    p = std::copy(kept.begin(), kept.end(), p);
    if (format.has_target) {
      p = format_number(p, table.targets[row], format);
      *p++ = separator;
    }
    p = format_number(p, predictions[row], format);
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

bool PredictionWriter::write_header(const std::string& header) { return write(header.data(), header.size()); }

bool PredictionWriter::finish() {
  if (!failed_ && (std::fflush(out_) != 0 || std::ferror(out_))) fail();
  return !failed_;
}

void FitData::keep(const std::vector<double>& more_targets, const std::vector<double>& more_predictions) {
  targets.insert(targets.end(), more_targets.begin(), more_targets.end());
  predictions.insert(predictions.end(), more_predictions.begin(), more_predictions.end());
}

void FitData::reserve(std::size_t rows) {
  try {
    targets.reserve(rows);
    predictions.reserve(rows);
  } catch (const std::bad_alloc&) {
    // Where address space is tight, the vectors grow as they go instead.
  }
}

FitStatistics fit_statistics(const FitData& fit) {
  std::vector<double> errors;  // prediction minus target
  std::vector<double> targets;
  for (std::size_t i = 0; i < fit.targets.size(); ++i) {
    if (std::isnan(fit.targets[i]) || std::isnan(fit.predictions[i])) continue;
    errors.push_back(fit.predictions[i] - fit.targets[i]);
    targets.push_back(fit.targets[i]);
  }
  FitStatistics st;
  const std::size_t n = errors.size();
  st.rows_used = n;
  st.rows_left_out = fit.targets.size() - n;
  if (n == 0) return st;
  gsl_set_error_handler_off();
  // About a mean of 0, these are the sum of squared errors and the mean absolute error.
  const double sse = gsl_stats_tss_m(errors.data(), 1, n, 0.0);
  st.mae = gsl_stats_absdev_m(errors.data(), 1, n, 0.0);
  double smallest = 0.0;
  double largest = 0.0;
  gsl_stats_minmax(&smallest, &largest, errors.data(), 1, n);
  st.rmse = std::sqrt(sse / static_cast<double>(n));
  st.largest_error = std::max(std::fabs(smallest), std::fabs(largest));
  st.determination = 1.0 - sse / gsl_stats_tss(targets.data(), 1, n);
  return st;
}

std::string fit_statistics_message(const FitStatistics& st) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "rows used = %zu\nrows left out (NaN) = %zu\nRMSE = %.6g\nMAE = %.6g\nlargest absolute error = %.6g\n"
                "1 - SSE/SST = %.6g\n",
                st.rows_used, st.rows_left_out, st.rmse, st.mae, st.largest_error, st.determination);
  return buf;
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
