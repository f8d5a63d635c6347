#include "input/reader.h"

#include "engine/plan.h"
#include "engine/run.h"
#include "input/rows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "support/capture.h"

namespace karva {
namespace {

struct Read {
  std::optional<DataLayout> layout;
  std::vector<std::string> names;  // the target's and the inputs', from the header
  FirstLineError error;
  ColumnError column_error;
  std::vector<std::vector<double>> rows;  // target first when there is one
  ReadEnd end = ReadEnd::END;
  bool stop_matters = false;
  std::int64_t stop_line = 0;
};

// Gathers the values every row was read as, target first: the workers
// write them into the chunk as bytes, and the sink takes them in order.
class ValueSink : public RowSink {
 public:
  ValueSink(bool has_target, int variables, std::vector<std::vector<double>>& rows)
      : has_target_(has_target), variables_(variables), rows_(rows) {}
  std::size_t format(const ScoredRows& scored, std::vector<char>& out, std::size_t used) const override {
    for (std::size_t i = 0; i < scored.table.row_count; ++i) {
      std::vector<double> row;
      if (has_target_) row.push_back(scored.table.targets[i]);
      for (int m = 0; m < variables_; ++m) row.push_back(scored.table.column(m)[i]);
      out.resize(std::max(out.size(), used + row.size() * sizeof(double)));
      std::memcpy(out.data() + used, row.data(), row.size() * sizeof(double));
      used += row.size() * sizeof(double);
    }
    return used;
  }
  bool take(const Chunk& chunk) override {
    const std::size_t width = static_cast<std::size_t>(variables_ + (has_target_ ? 1 : 0));
    for (std::size_t at = 0; at < chunk.out_size; at += width * sizeof(double)) {
      std::vector<double> row(width);
      std::memcpy(row.data(), chunk.out.data() + at, width * sizeof(double));
      rows_.push_back(row);
    }
    return true;
  }

 private:
  bool has_target_;
  int variables_;
  std::vector<std::vector<double>>& rows_;
};

// Reads the whole of `text` through the run core on one thread, in chunks
// of about `chunk_bytes`, `batch` rows at a time.
Read read_all(std::string text, bool has_target, int variables, std::size_t batch = 3,
              std::size_t chunk_bytes = DEFAULT_CHUNK_BYTES) {
  Read r;
  std::FILE* in = testing::open_bytes(text);
  Key key{variables, {{0.0, 1.0, "a", 0.0}}};
  // A key that reads no input cannot be prepared: its plan still fails, on
  // the columns.
  auto prepared = prepare_key(key);
  PlanRequest request;
  request.data_path = STANDARD_STREAM;
  request.columns.has_target = has_target;
  request.prepare = false;
  const auto plan = plan_with_key(std::make_shared<const LoadedKey>(LoadedKey{
                                      "k.key", "", key, prepared ? std::optional(std::move(*prepared)) : std::nullopt}),
                                  request, in, {});
  if (plan) {
    r.layout = plan->data->layout;
    if (has_target) r.names.push_back(plan->columns->target_name);
    r.names.insert(r.names.end(), plan->columns->input_names.begin(), plan->columns->input_names.end());
    ValueSink sink(has_target, variables, r.rows);
    const RunOutcome outcome = run_rows(*plan, {1, chunk_bytes, batch}, sink);
    r.end = outcome.tally.end();
    r.stop_matters = outcome.tally.stop_matters();
    r.stop_line = outcome.tally.stop_line();
  } else if (const auto* first_line = std::get_if<FirstLineError>(&plan.error())) {
    r.error = *first_line;
  } else {
    r.column_error = std::get<ColumnError>(plan.error());
  }
  std::fclose(in);
  return r;
}

using Rows = std::vector<std::vector<double>>;

TEST(ReadData, FirstLineAnalysis) {
  using Kind = FirstLineError::Kind;
  constexpr std::optional<Kind> MISMATCH = std::nullopt;
  struct Case {
    const char* text;
    bool target;
    int variables;
    std::optional<std::optional<Kind>> error;  // a first-line error, or a mismatch
    bool header;
    std::int64_t columns;  // or, with a mismatch, the inputs
  };
  const Case cases[] = {
      {"y,x1,x2\n1,2,3\n", true, 2, std::nullopt, true, 3},
      {"1;2;3;\n", false, 3, std::nullopt, false, 3},
      {"2.5\n", false, 1, std::nullopt, false, 1},  // one number is data, not a header
      {"\n1\n", false, 1, Kind::NOT_RIGHT, false, 0},
      {"", false, 1, Kind::NO_LINE, false, 0},
      {" ,;\t\n", false, 1, Kind::NOT_RIGHT, false, 0},
      {"a,b,c,d,e\n", true, 3, MISMATCH, true, 4},
      {"1 2\n", false, -1, MISMATCH, false, 2},
      {"y x\r\n", true, 1, std::nullopt, true, 2},
  };
  for (const Case& c : cases) {
    const Read r = read_all(c.text, c.target, c.variables);
    EXPECT_EQ(r.layout.has_value(), !c.error) << c.text;
    if (c.error && *c.error) {
      EXPECT_EQ(r.error.kind, **c.error) << c.text;
    }
    if (c.error && !*c.error) {
      EXPECT_EQ(r.column_error.inputs, c.columns) << c.text;
    }
    if (c.error) continue;
    EXPECT_EQ(r.layout->has_header, c.header) << c.text;
    EXPECT_EQ(r.layout->column_count, c.columns) << c.text;
  }
}

TEST(ReadData, HeaderNamesLoseTheLineEnd) {
  const Read r = read_all("y,x1,x2\r\n1,2,3\r\n", true, 2);
  EXPECT_EQ(r.names, (std::vector<std::string>{"y", "x1", "x2"}));
  EXPECT_EQ(r.rows, (Rows{{1, 2, 3}}));
}

TEST(ReadChunk, RowsAndValues) {
  struct Case {
    const char* text;
    bool target;
    int variables;
    Rows rows;
  };
  const Case cases[] = {
      {"1 2\n3 4\n", false, 2, {{1, 2}, {3, 4}}},
      {"h a b\n1,,2;\t 3 extra\n", true, 2, {{1, 2, 3}}},
      {"1 2\r\n3 4\r\n", false, 2, {{1, 2}, {3, 4}}},
      {"1 2\n3 4", false, 2, {{1, 2}, {3, 4}}},  // no line end after the last line
      {"p q r s\n12kg ab 1e400 0x10\n", false, 4, {{12, 0, HUGE_VAL, 16}}},
      {"1\n2\n3\n4\n5\n6\n7\n", false, 1, {{1}, {2}, {3}, {4}, {5}, {6}, {7}}},  // crosses chunks
      {"5\n", false, 1, {{5}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_all(c.text, c.target, c.variables).rows, c.rows) << c.text;
    // Chunks of one record or a few read the same.
    for (std::size_t bytes : {std::size_t{1}, std::size_t{2}, std::size_t{5}})
      EXPECT_EQ(read_all(c.text, c.target, c.variables, 2, bytes).rows, c.rows) << c.text << " " << bytes;
  }
}

TEST(ReadChunk, ShortLinesStopTheReading) {
  struct Case {
    const char* text;
    int variables;
    std::size_t rows;
    ReadEnd end;
    bool matters;
    std::int64_t stop_line;
  };
  const Case cases[] = {
      {"1 2\n3\n5 6\n7 8\n", 2, 1, ReadEnd::SHORT_LINE, true, 2},
      {"1 2\n3 4\n5\n", 2, 2, ReadEnd::SHORT_LINE, true, 3},
      {"1 2\n3 4\n\n\n \n", 2, 2, ReadEnd::SHORT_LINE, false, 3},  // blank lines at the end
      {"1 2\n\n5 6\n", 2, 1, ReadEnd::SHORT_LINE, true, 2},        // a blank line before more data
      {"1\n\n2\n", 1, 1, ReadEnd::SHORT_LINE, true, 2},
      {"1\n2\n\n", 1, 2, ReadEnd::SHORT_LINE, false, 3},
  };
  for (const Case& c : cases) {
    const Read r = read_all(c.text, false, c.variables);
    EXPECT_EQ(r.rows.size(), c.rows) << c.text;
    EXPECT_EQ(r.end, c.end) << c.text;
    EXPECT_EQ(r.stop_matters, c.matters) << c.text;
    EXPECT_EQ(r.stop_line, c.stop_line) << c.text;
  }
}

TEST(ReadChunk, ZeroBytesInsideALine) {
  const Read r = read_all(std::string("1 2\n3 \0 4\n5 6\n", 14), false, 2);
  EXPECT_EQ(r.rows, (Rows{{1, 2}}));
  EXPECT_EQ(r.end, ReadEnd::NUL_BYTE);
  EXPECT_TRUE(r.stop_matters);
  EXPECT_EQ(r.stop_line, 2);
}

TEST(ReadChunk, LongLinesAreNeverSplit) {
  std::string line = "7";
  line += std::string(3 * 1024 * 1024, ' ');  // past the reader's first buffer
  line += "8\n9 10\n";
  const Read r = read_all(line, false, 2);
  EXPECT_EQ(r.rows, (Rows{{7, 8}, {9, 10}}));
  EXPECT_EQ(r.end, ReadEnd::END);
}

}  // namespace
}  // namespace karva
