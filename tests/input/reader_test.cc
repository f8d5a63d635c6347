#include "input/reader.h"

#include "engine/run.h"
#include "input/rows.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/capture.h"

namespace karva {
namespace {

struct Read {
  std::optional<DataLayout> layout;
  FirstLineError error;
  ColumnError column_error;
  DataTable table;
  std::vector<std::vector<double>> rows;  // target first when there is one
  ReadEnd end = ReadEnd::END;
  bool stop_matters = false;
  std::int64_t stop_line = 0;
  std::int64_t lines_after = 0;
};

// Reads the whole of `text` in chunks of about `chunk_bytes`, `batch` rows
// at a time, as the pipeline does on one thread.
Read read_all(std::string text, bool has_target, int variables, std::size_t batch = 3,
              std::size_t chunk_bytes = DEFAULT_CHUNK_BYTES) {
  Read r;
  std::FILE* in = testing::open_bytes(text);
  DataReader reader(stream_source(in), "data.txt", false, ',');
  r.layout = scan_first_record(reader, std::nullopt, &r.error);
  std::optional<ColumnPlan> plan;
  if (r.layout) plan = plan_columns(*r.layout, {has_target, "", {}, {}}, variables, "data.txt", &r.column_error);
  if (!plan) r.layout.reset();
  if (plan) {
    plan->dialect.syntax = reader.syntax().csv_syntax;
    r.table.reserve(batch, variables);
    ChunkText chunk;
    ReadTally tally(plan->header_lines);
    while (reader.next_chunk(chunk, chunk_bytes)) {
      if (tally.stopped()) {
        tally.add(count_lines(chunk, *plan), 0);
        continue;
      }
      RowReader rows(chunk, *plan);
      RowExtras extras;
      std::size_t taken = 0;
      while (rows.read(r.table, extras)) {
        for (std::size_t i = 0; i < r.table.row_count; ++i, ++taken) {
          std::vector<double> row;
          if (has_target) row.push_back(r.table.targets[i]);
          for (int m = 0; m < variables; ++m) row.push_back(r.table.column(m)[i]);
          r.rows.push_back(row);
        }
      }
      tally.add(rows.finish(), taken);
    }
    r.end = tally.end();
    r.stop_matters = tally.stop_matters();
    r.stop_line = tally.stop_line();
    r.lines_after = tally.lines_after_stop();
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
  EXPECT_EQ(r.layout->names(), (std::vector<std::string>{"y", "x1", "x2"}));
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
    std::int64_t lines_after;
  };
  const Case cases[] = {
      {"1 2\n3\n5 6\n7 8\n", 2, 1, ReadEnd::SHORT_LINE, true, 2, 2},
      {"1 2\n3 4\n5\n", 2, 2, ReadEnd::SHORT_LINE, true, 3, 0},
      {"1 2\n3 4\n\n\n \n", 2, 2, ReadEnd::SHORT_LINE, false, 3, 2},  // blank lines at the end
      {"1 2\n\n5 6\n", 2, 1, ReadEnd::SHORT_LINE, true, 2, 1},        // a blank line before more data
      {"1\n\n2\n", 1, 1, ReadEnd::SHORT_LINE, true, 2, 1},
      {"1\n2\n\n", 1, 2, ReadEnd::SHORT_LINE, false, 3, 0},
  };
  for (const Case& c : cases) {
    const Read r = read_all(c.text, false, c.variables);
    EXPECT_EQ(r.rows.size(), c.rows) << c.text;
    EXPECT_EQ(r.end, c.end) << c.text;
    EXPECT_EQ(r.stop_matters, c.matters) << c.text;
    EXPECT_EQ(r.stop_line, c.stop_line) << c.text;
    EXPECT_EQ(r.lines_after, c.lines_after) << c.text;
  }
}

TEST(ReadChunk, ZeroBytesInsideALine) {
  const Read r = read_all(std::string("1 2\n3 \0 4\n5 6\n", 14), false, 2);
  EXPECT_EQ(r.rows, (Rows{{1, 2}}));
  EXPECT_EQ(r.end, ReadEnd::NUL_BYTE);
  EXPECT_TRUE(r.stop_matters);
  EXPECT_EQ(r.stop_line, 2);
  EXPECT_EQ(r.lines_after, 1);
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
