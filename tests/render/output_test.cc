#include "render/output.h"

#include "engine/fit.h"

#include <gtest/gtest.h>

#include <cmath>

#include "render/messages.h"
#include "support/capture.h"

namespace karva {
namespace {

using testing::Capture;

FitData fit_of(std::vector<double> targets, std::vector<double> predictions) {
  FitData f;
  f.targets = std::move(targets);
  f.predictions = std::move(predictions);
  return f;
}

TEST(ReportFit, IsTheSquaredCorrelation) {
  struct Case {
    FitData fit;
    const char* line;
  };
  const Case cases[] = {
      {fit_of({1, 2}, {5, 7}), "R-square = 1.000\n"},
      {fit_of({1, 2, 3, 4}, {1, 4, 7, 10}), "R-square = 1.000\n"},  // 3 t - 2
      {fit_of({1, 2, 3, 4}, {-1, -2, -3, -4}), "R-square = 1.000\n"},
      {fit_of({1, 2, 3, 4}, {1, 3, 2, 4}), "R-square = 0.640\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(r_square_message(r_square(c.fit).value), c.line);
}

TEST(ReportFit, UndefinedCasesAreNaNAndSayWhy) {
  const std::pair<FitData, NoRSquare> cases[] = {
      {fit_of({}, {}), NoRSquare::NO_ROWS},
      {fit_of({1}, {2}), NoRSquare::ONE_ROW},
      {fit_of({3, 3, 3}, {1, 2, 3}), NoRSquare::CONSTANT_TARGET},
      {fit_of({1, 2, 3}, {4, 4, 4}), NoRSquare::CONSTANT_PREDICTION},
      {fit_of({1, 2, NAN}, {1, 2, 3}), NoRSquare::NOT_FINITE},
      {fit_of({1, 2, 3}, {1, INFINITY, 3}), NoRSquare::NOT_FINITE},
  };
  for (const auto& [f, why] : cases) {
    const RSquare r = r_square(f);
    EXPECT_TRUE(std::isnan(r.value)) << f.targets.size();
    EXPECT_EQ(r.why_not, why) << f.targets.size();
  }
}

TEST(ReportFit, RowsWithAMissingValueAreLeftOut) {
  FitData f;
  f.keep({1, 2, NAN, 4}, {1, NAN, 3, 7}, {0, MISSING_INPUT, MISSING_TARGET, 0});
  EXPECT_EQ(f.targets, (std::vector<double>{1, 4}));
  EXPECT_EQ(f.rows_left_out, 2);
  EXPECT_EQ(r_square_notes(r_square(f), f.rows_left_out), "2 rows with a missing value are left out of R-square.\n");
}

TEST(PredictionWriter, WritesTargetAndPrediction) {
  DataTable t;
  t.reserve(2, 2);
  t.row_count = 2;
  t.targets = {1e-7, -2.5};
  const double predictions[] = {9.5625, -0.0};
  std::vector<char> text(1);  // grows as needed
  OutputFormat format;
  format.has_target = true;
  const RowExtras extras;
  const ScoredRows rows{t, predictions, extras};
  std::size_t size = format_predictions(rows, format, text, 0);
  EXPECT_EQ(std::string(text.data(), size), "0.000000 9.562500\n-2.500000 -0.000000\n");
  // A second batch goes after the first.
  size = format_predictions(rows, format, text, size);
  EXPECT_EQ(std::string(text.data(), size), "0.000000 9.562500\n-2.500000 -0.000000\n"
                                            "0.000000 9.562500\n-2.500000 -0.000000\n");
}

TEST(PredictionWriter, ReportsAFullDisk) {
  std::FILE* full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  PredictionWriter w(full);
  EXPECT_TRUE(w.write("1.000000\n", 9));  // still in the stream's buffer
  EXPECT_FALSE(w.finish());
  std::fclose(full);
}

}  // namespace
}  // namespace karva
