// The words of the fit's figures: R-square and the figures of --stats, in
// words and as JSON. Part of the one place that words messages.
#include <cmath>

#include "render/messages.h"
#include "text/number.h"
#include "text/printf_text.h"

namespace karva {

std::string r_square_text(double r_square) { return printf_text("%.3f", r_square); }

std::string r_square_message(double r_square) { return "R-square = " + r_square_text(r_square) + "\n"; }

std::string r_square_notes(const RSquare& r_square, std::int64_t rows_left_out) {
  std::string text;
  if (rows_left_out > 0)
    text = printf_text("%s with a missing value %s left out of R-square.\n", counted(rows_left_out, "row").c_str(),
                       rows_left_out == 1 ? "is" : "are");
  switch (r_square.why_not) {
    case NoRSquare::NONE: break;
    case NoRSquare::NO_ROWS: text += "R-square needs two rows or more; there is none.\n"; break;
    case NoRSquare::ONE_ROW: text += "R-square needs two rows or more; there is one.\n"; break;
    case NoRSquare::CONSTANT_TARGET: text += "R-square is not defined: the target is the same in every row.\n"; break;
    case NoRSquare::CONSTANT_PREDICTION:
      text += "R-square is not defined: the prediction is the same in every row.\n";
      break;
    case NoRSquare::NOT_FINITE: text += "R-square is not defined: a target or prediction is NaN or infinite.\n"; break;
    case NoRSquare::TOO_LARGE:
      text += "R-square cannot be computed: its sums of squares are not finite.\n";
      break;
  }
  return text;
}

namespace {

// A figure as the lines karva adds show it: a NaN is "nan", whatever its
// sign bit (x86 makes inf - inf a negative NaN, which printf writes -nan).
double shown_figure(double v) { return std::isnan(v) ? std::fabs(v) : v; }

}  // namespace

std::string fit_statistics_message(const FitStatistics& st) {
  return printf_text("R-square above is the squared correlation of target and prediction; the coefficient of "
                     "determination\nbelow compares the predictions themselves with the targets.\n"
                     "rows used = %zu\nrows left out (a missing value) = %lld\nRMSE = %.6g\nMAE = %.6g\n"
                     "largest absolute error = %.6g\ncoefficient of determination (1 - SSE/SST, as r2_score) = %.6g\n",
                     st.rows_used, static_cast<long long>(st.rows_left_out), shown_figure(st.rmse),
                     shown_figure(st.mae), shown_figure(st.largest_error), shown_figure(st.determination));
}

namespace {

// A JSON number, or null for what JSON cannot hold.
std::string json_number(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[MAX_FIXED_CHARS];
  return std::string(buf, format_shortest(buf, v));
}

}  // namespace

std::string fit_statistics_json(const FitStatistics& st) {
  return printf_text("{\"rows_used\": %zu, \"rows_left_out\": %lld, \"r_square\": %s, "
                     "\"coefficient_of_determination\": %s, \"rmse\": %s, \"mae\": %s, \"largest_error\": %s}\n",
                     st.rows_used, static_cast<long long>(st.rows_left_out), json_number(st.r_square).c_str(),
                     json_number(st.determination).c_str(), json_number(st.rmse).c_str(), json_number(st.mae).c_str(),
                     json_number(st.largest_error).c_str());
}

}  // namespace karva
