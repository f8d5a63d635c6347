// Files as pandas and spreadsheets write them: columns by name, IDs carried
// through, missing values, CSV in and out.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/key_writer.h"
#include "support/process.h"

namespace karva::testing {
namespace {

// prediction = 0.5 + 2 (a + b)
const std::string KEY = key_bytes(2, {{0.5, 2.0, "+ab", 0.0}});

// pandas' to_csv: the index first, text columns, the inputs in another order.
const std::string PANDAS =
    ",id,name,x2,y,x1\n"
    "0,A-1,\"Smith, J\",0.72,0.967,1.19\n"
    "1,A-2,\"O\"\"Brien\",-1.93,0.745,0.33\n"
    "2,A-3,\"two\nlines\",,0.5,1.0\n"
    "3,A-4,plain,1.5,,2.0\n";

Outcome run_in(ScratchDir& dir, const std::string& data, const std::vector<std::string>& args) {
  dir.write("k.key", KEY);
  dir.write("d.csv", data);
  std::vector<std::string> all = args;
  all.insert(all.end(), {"k.key", "d.csv", "o.csv"});
  return run_karva(dir, all);
}

TEST(Tables, APandasExportScoredAndReadBack) {
  ScratchDir dir;
  const Outcome o = run_in(dir, PANDAS, {"--csv", "--inputs", "x1,x2", "--target=y", "--keep", "id,name"});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_EQ(dir.read("o.csv"),
            "id,name,y,predict\n"
            "A-1,\"Smith, J\",0.967000,4.320000\n"
            "A-2,\"O\"\"Brien\",0.745000,-2.700000\n"
            "A-3,\"two\nlines\",0.500000,\n"
            "A-4,plain,,7.500000\n");
  EXPECT_NE(o.out.find("2 fields are missing (empty, or NA and the like), and their rows have no prediction where the "
                       "key reads them; the first is field 4 of line 4.\n"),
            std::string::npos)
      << o.out;
  // A CSV reader gets the columns, the kept text and the numbers back.
  const Outcome back = run_shell(dir, "python3 -c \"import csv; r = list(csv.reader(open('o.csv', newline='')));"
                                      " print(len(r), r[2][1], r[3][1] == 'two\\nlines', float(r[1][3]))\"");
  EXPECT_EQ(back.out, "5 O\"Brien True 4.32\n") << back.err;
}

TEST(Tables, ASpreadsheetExportAndTheDefaultReading) {
  struct Case {
    std::string data;
    std::vector<std::string> args;
    std::string output;
  };
  const Case cases[] = {
      // A byte-order mark, CR LF, semicolons, quoted names, a missing value; --round-trip.
      {"\xEF\xBB\xBF\"ID\";\"b\";\"a\"\r\nr1;2;1.5e-7\r\nr2;;3\r\n", {"--csv", "--delimiter", ";", "--inputs", "a,b",
                                                                    "--keep", "ID", "--round-trip"},
       "ID;predict\nr1;4.5000003\nr2;\n"},
      {"a\tb\n1\t2\n", {"--csv", "--delimiter", "tab", "-n"}, "predict\n6.500000\n"},
      // Decimal commas in and out: "0,3455" is the double "0.3455" gives.
      {"a;b\n0,3455;1e1\n", {"--decimal", ",", "-n", "--round-trip", "--prediction-name", "p,q"},
       "p,q\n21,191\n"},
      // The column numbers pandas writes as the header of an array's frame are names, not a row.
      {"0,1\n1,2\n", {"--csv", "-n"}, "predict\n6.500000\n"},
      // A numeric header, named as pandas writes a frame built from an array.
      {"0,1\n1,2\n", {"--csv", "--header", "--inputs", "1,0"}, "predict\n6.500000\n"},
      // A row without a prediction in a one-column output: an empty quoted field, not a blank line.
      {"a,b\n1,2\n,2\n3,4\n", {"--csv", "-n"}, "predict\n6.500000\n\"\"\n14.500000\n"},
      // A blank line and a short record in mid-file, as pandas reads them: skipped, and missing values.
      {"a,b\n1,2\n\n3\n4,5\n", {"--csv", "-n"}, "predict\n6.500000\n\"\"\n18.500000\n"},
      // pandas' index column, named as pandas names an empty header field.
      {",a,,b\n7,1,x,2\n", {"--csv", "--inputs", "a,b", "--keep", "Unnamed: 0,Unnamed: 2"},
       "Unnamed: 0,Unnamed: 2,predict\n7,x,6.500000\n"},
      // A kept column to the right of every input, in both readings.
      {"a,b,id\n1,2,r1\n3,4,r2\n", {"--csv", "--inputs", "a,b", "--keep", "id"}, "id,predict\nr1,6.500000\nr2,14.500000\n"},
      {"a b id\n1 2 r1\n", {"-n", "--inputs", "a,b", "--keep", "id"}, "id predict\nr1 6.500000\n"},
      // Named columns in the default reading: the text column is not read.
      {"y x2 note x1\n1 2 some-text 3\n", {"-y", "--inputs", "x1,x2"}, "y(target) predict\n1.000000 10.500000\n"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const Outcome o = run_in(dir, c.data, c.args);
    EXPECT_EQ(o.status, 0) << c.data << o.out << o.err;
    EXPECT_EQ(dir.read("o.csv"), c.output) << c.data;
    EXPECT_EQ(o.out.find("not numbers"), std::string::npos) << o.out;
  }
}

// Records and fields as Python's csv module reads them: a quote opens a
// quoted field only at a field's start.
TEST(Tables, QuotesAsPythonsCsvModuleReadsThem) {
  const std::string data = "id,desc,x,y\n1,12\" pipe,5,6\n2,plain,6,7\n3,\"3\"\" bolt, M4\",7,8\n4,\"two\nlines\",8,9\n";
  ScratchDir dir;
  const Outcome o = run_in(dir, data, {"--csv", "--inputs", "x,y", "-n", "--keep", "id,desc", "--round-trip"});
  EXPECT_EQ(o.status, 0) << o.out;
  const Outcome python = run_shell(
      dir, "python3 -c \"import csv; r = list(csv.reader(open('d.csv', newline='')))[1:];"
           " print(''.join('%s,%s,%r\\n' % (f[0], f[1], 0.5 + 2 * (float(f[2]) + float(f[3]))) for f in r), end='')\"");
  const Outcome karva =
      run_shell(dir, "python3 -c \"import csv; r = list(csv.reader(open('o.csv', newline='')))[1:];"
                     " print(''.join('%s,%s,%s\\n' % tuple(f) for f in r), end='')\"");
  EXPECT_EQ(karva.out, python.out) << python.err;
  EXPECT_EQ(std::count(python.out.begin(), python.out.end(), '\n'), 5);  // four rows, one with a line end
}

// Files as pandas, spreadsheets and compressors write them, read back by
// pandas: the script prints what differs from what pandas computes.
TEST(Tables, AsPandasReadsThem) {
  ScratchDir dir;
  dir.write("k.key", KEY);
  const Outcome o = run_shell(dir, std::string(KARVA_TEST_PYTHON) + " " + shell_quote(std::string(KARVA_SOURCE_DIR) +
                                                            "/tests/e2e/tables_as_pandas_reads_them.py") +
                                       " " + shell_quote(karva_binary()) + " k.key .");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "\n");
}

TEST(Tables, StatsShowAModelOffInScale) {
  ScratchDir dir;
  // Predictions 194.5, 188.5, 182.5 (= 200.5 - 6 y) against 1, 2, 3: errors
  // 193.5, 186.5, 179.5, so SSE = 104444.75 and SST = 2.
  const Outcome o =
      run_in(dir, "y a b\n1 97 0\n2 94 0\n3 91 0\n", {"-y", "--stats"});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("R-square = 1.000\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("rows used = 3\nrows left out (a missing value) = 0\nRMSE = 186.588\nMAE = 186.5\n"
                       "largest absolute error = 193.5\ncoefficient of determination (1 - SSE/SST, as r2_score) = "
                       "-52221.4\n"),
            std::string::npos)
      << o.out;
}

TEST(Tables, MisuseGetsOneLine) {
  struct Case {
    std::string data;
    std::vector<std::string> args;
    int status;
    std::string says;  // on standard error with status 2, else standard output
  };
  const Case cases[] = {
      {PANDAS, {"--csv", "--inputs", "x1,x2", "--keep", "nope"}, 2,
       "--keep names the column \"nope\", which d.csv does not have; its columns are: \"Unnamed: 0\", \"id\", \"name\", \"x2\", "
       "\"y\", \"x1\".\n"},
      {PANDAS, {"--csv", "--inputs", "x1,x2", "--keep", "id,id"}, 2, "--keep names the column \"id\" twice.\n"},
      {"1 2\n", {"--inputs", "a,b"}, 2, "--inputs names columns, but d.csv has no header line.\n"},
      {PANDAS, {"--csv", "--inputs", "x1"}, 1, "--inputs names 1 column, but the key reads 2 inputs.\n"},
      {"a,b\n1,2\n\"3,4\n5,6\n", {"--csv", "-n"}, 1,
       "Reading stopped at line 3 of d.csv, as a quoted field opened there is never closed.\n"},
      {PANDAS, {"--csv", "--delimiter", "ab"}, 2, "--delimiter takes one character or \"tab\", not \"ab\".\n"},
      {PANDAS, {"--round-trip", "-p", "3"}, 2, "--round-trip and -p cannot both be given.\n"},
      {PANDAS, {"--csv", "--inputs", "x1,x2", "--stats"}, 2, "--stats needs the true response"},
      {"a,b,\n1,2,\n", {"-n", "--inputs", "a,b"}, 2, "holds a quote or an empty name, which the default reading "
                                                     "cannot place; read it with --csv"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const Outcome o = run_in(dir, c.data, c.args);
    EXPECT_EQ(o.status, c.status) << c.says;
    EXPECT_NE((c.status == 2 ? o.err : o.out).find(c.says), std::string::npos) << o.out << o.err;
  }
  // Rows before an unclosed quote are kept.
  ScratchDir dir;
  run_in(dir, "a,b\n1,2\n\"3,4\n5,6\n", {"--csv", "-n"});
  EXPECT_EQ(dir.read("o.csv"), "predict\n6.500000\n");
}

}  // namespace
}  // namespace karva::testing
