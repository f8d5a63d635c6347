#include "tool/output.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/capture.h"

namespace karva {
namespace {

using testing::Capture;

TEST(PredictionHeader, ChosenByHeaderAndTarget) {
  DataTable t;
  t.column_names = {"y", "x1"};
  t.has_header = true;
  t.has_target = true;
  EXPECT_EQ(prediction_header(t), "y(target) predict\n");
  t.has_target = false;
  EXPECT_EQ(prediction_header(t), "predict\n");
  t.has_header = false;
  EXPECT_EQ(prediction_header(t), "predict\n");
  t.has_target = true;
  EXPECT_EQ(prediction_header(t), "target predict\n");
}

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
  for (const Case& c : cases) {
    Capture msg;
    report_fit(c.fit, msg.stream());
    EXPECT_EQ(msg.text(), c.line);
  }
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
  t.has_target = true;
  t.reserve(2, 2);
  t.row_count = 2;
  t.row_width = 2;
  t.targets = {1e-7, -2.5};
  t.at(0, 1) = 9.5625;
  t.at(1, 1) = -0.0;
  Capture out;
  PredictionWriter w(out.stream(), 6);
  ASSERT_TRUE(w.write_predictions(t));
  ASSERT_TRUE(w.finish());
  EXPECT_EQ(out.text(), "0.000000 9.562500\n-2.500000 -0.000000\n");
}

TEST(PredictionWriter, ReportsAFullDisk) {
  std::FILE* full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  DataTable t;
  t.reserve(1, 1);
  t.row_count = 1;
  t.row_width = 1;
  PredictionWriter w(full, 6);
  EXPECT_TRUE(w.write_predictions(t));  // still in the buffer
  EXPECT_FALSE(w.finish());
  std::fclose(full);
}

}  // namespace
}  // namespace karva
