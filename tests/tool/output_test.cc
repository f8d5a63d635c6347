#include "tool/output.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/capture.h"
#include "tool/messages.h"

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
  for (const Case& c : cases) EXPECT_EQ(r_square_message(r_square(c.fit)), c.line);
}

TEST(ReportFit, UndefinedCasesAreNaN) {
  const FitData cases[] = {
      fit_of({}, {}), fit_of({1}, {2}), fit_of({3, 3, 3}, {1, 2, 3}), fit_of({1, 2, 3}, {4, 4, 4}),
      fit_of({1, 2, NAN}, {1, 2, 3}), fit_of({1, 2, 3}, {1, INFINITY, 3}),
  };
  for (const FitData& f : cases) EXPECT_TRUE(std::isnan(r_square(f))) << f.targets.size();
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
  std::size_t size = format_predictions(t, predictions, format, nullptr, text, 0);
  EXPECT_EQ(std::string(text.data(), size), "0.000000 9.562500\n-2.500000 -0.000000\n");
  // A second batch goes after the first.
  size = format_predictions(t, predictions, format, nullptr, text, size);
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
