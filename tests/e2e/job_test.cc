// Whole runs of the real binary on data files the tests write.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "render/messages.h"
#include "support/key_writer.h"
#include "support/process.h"
#include "support/reference_run.h"

namespace karva::testing {
namespace {


// The sign of a NaN that arithmetic makes is not defined: which operand's
// NaN an addition passes on depends on the order the compiler gave them, so
// "nan" and "-nan" count as the same text here.
std::string without_nan_signs(std::string text) {
  for (std::size_t at = text.find("-nan"); at != std::string::npos; at = text.find("-nan", at)) text.erase(at, 1);
  return text;
}

class Job : public ::testing::Test {
 protected:
  // Runs `key` over `data`, answering `answer` at the question.
  Outcome run(const std::string& key, const std::string& data, const std::string& answer = "y\n") {
    dir.write("k.key", key);
    dir.write("d.txt", data);
    return run_karva(dir, {"k.key", "d.txt", "o.txt"}, answer);
  }
  std::string output() { return dir.read("o.txt"); }
  ScratchDir dir;
};


TEST_F(Job, HeaderTargetAndPlainFiles) {
  struct Case {
    std::string key;
    std::string data;
    std::string answer;
    std::string output;
    std::string console;
  };
  const Case cases[] = {
      {TWO_GENES, "y,x1,x2\n10,1,2\n20,2,2\n", "y\n", "y(target) predict\n10.000000 9.562500\n20.000000 17.062500\n",
       QUESTION_TEXT + "Reading 2 input variables per row.\n2 rows are read from d.txt. \n"
                  "Predictions are written to o.txt. \nR-square = 1.000\n"},
      {TWO_GENES, "x1 x2\n1 2\n", "n\n", "predict\n9.562500\n",
       QUESTION_TEXT + "Reading 2 input variables per row.\n1 rows are read from d.txt. \n"
                  "Predictions are written to o.txt. \n"},
      {TWO_GENES, "1 2\n2 2\n", "n\n", "predict\n9.562500\n17.062500\n",
       QUESTION_TEXT + "Reading 2 input variables per row.\n2 rows are read from d.txt. \n"
                  "Predictions are written to o.txt. \n"},
      {TWO_GENES, "7 1 2\n8 2 2\n", "y\n", "target predict\n7.000000 9.562500\n8.000000 17.062500\n",
       QUESTION_TEXT + "Reading 2 input variables per row.\n2 rows are read from d.txt. \n"
                  "Predictions are written to o.txt. \nR-square = 1.000\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = run(c.key, c.data, c.answer);
    EXPECT_EQ(o.status, 0) << c.data;
    EXPECT_EQ(o.out, c.console) << c.data;
    EXPECT_EQ(output(), c.output) << c.data;
  }
}

TEST_F(Job, DelimitersAndNumberForms) {
  const std::string data =
      "1;2\n"
      " \t1 ,; 2 ; extra fields\n"
      "0x10,-0x1p-2\n"
      "1e400 -INF\n"
      "12kg ab\n"
      "+.5e1 nan\n"
      "1e-400 -0\n";
  const Outcome o = run(SUM_OF_TWO, data, "n\n");
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_EQ(without_nan_signs(output()), "predict\n3.000000\n3.000000\n15.750000\nnan\n12.000000\nnan\n0.000000\n");
}

TEST_F(Job, CrLfReadsLikeLf) {
  const std::string lf = "y,x1,x2\n1,2,3\n4,5,6.5\n";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const Outcome a = run(TWO_GENES, lf);
  const std::string from_lf = output();
  const Outcome b = run(TWO_GENES, crlf);
  EXPECT_EQ(a.out, b.out);
  EXPECT_EQ(output(), from_lf);
  EXPECT_EQ(from_lf.substr(0, 18), "y(target) predict\n");
}

TEST_F(Job, OneColumnFiles) {
  struct Case {
    std::string data;
    std::string output;
    int status;
  };
  const Case cases[] = {
      {"2.5\n3.5\n", "predict\n2.500000\n3.500000\n", 0},       // a lone number is a data line
      {"x\n2.5\n\n\n", "predict\n2.500000\n", 0},               // blank lines at the end
      {"2.5\n;\n3.5\n", "predict\n2.500000\n", 1},              // a blank line before more data
      {"2.5;\n", "predict\n2.500000\n", 0},                     // a trailing delimiter adds nothing
  };
  for (const Case& c : cases) {
    const Outcome o = run(IDENTITY, c.data, "n\n");
    EXPECT_EQ(o.status, c.status) << c.data << o.out;
    EXPECT_EQ(output(), c.output) << c.data;
  }
  dir.write("o.txt", "earlier");
  const Outcome empty_first = run(IDENTITY, "\n2.5\n", "n\n");
  EXPECT_EQ(empty_first.status, 1);
  EXPECT_EQ(empty_first.out, QUESTION_TEXT + "The first line of the input file does not look right.\n");
  EXPECT_EQ(output(), "earlier");  // a run that fails before its first row leaves the output as it was
}

TEST_F(Job, ShortLinesStopTheReadingAndSaySo) {
  struct Case {
    std::string data;
    int rows;
    int status;
    std::string stop;
  };
  const Case cases[] = {
      {"1 2\n3 4\n5\n7 8\n9 10\n", 2, 1,
       "Reading stopped at line 3 of d.txt, as it holds too few values; nothing after it was read.\n"},
      {"1 2\n3 4\n5\n", 2, 1,
       "Reading stopped at line 3 of d.txt, as it holds too few values; nothing after it was read.\n"},
      {"1 2\n3 4\n\n \n", 2, 0, ""},
      {"1 2\n\n3 4\n", 1, 1,
       "Reading stopped at line 2 of d.txt, as it holds too few values; nothing after it was read.\n"},
      {std::string("1 2\n3\0 4\n", 9), 1, 1,
       "Reading stopped at line 2 of d.txt, as it holds a zero byte; nothing after it was read.\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = run(SUM_OF_TWO, c.data, "n\n");
    EXPECT_EQ(o.status, c.status) << c.data;
    EXPECT_EQ(o.out, QUESTION_TEXT + "Reading 2 input variables per row.\n" + c.stop + std::to_string(c.rows) +
                         " rows are read from d.txt. \nPredictions are written to o.txt. \n")
        << c.data;
    std::string lines;
    std::istringstream rows(output());
    for (std::string l; std::getline(rows, l);) lines += "x";
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(c.rows + 1)) << c.data;
  }
}

TEST_F(Job, FirstLineFailures) {
  struct Case {
    std::string data;
    std::string message;
  };
  const Case cases[] = {
      {"", "The first line of the input file does not look right.\n"},
      {" ,\n1 2\n", "The first line of the input file does not look right.\n"},
      {"y,a,b,c,d\n", "Variable count mismatch: 2 inputs in solution, 4 inputs in data.\nIf some columns are not inputs "
                     "(an index, an ID, the true response elsewhere), name the inputs with\n--csv --inputs NAMES and "
                     "the true response with --target=NAME.\n"},
      {"1\n", "Variable count mismatch: 2 inputs in solution, 0 inputs in data.\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = run(TWO_GENES, c.data);
    EXPECT_EQ(o.status, 1) << c.data;
    EXPECT_EQ(o.out, QUESTION_TEXT + c.message) << c.data;
    EXPECT_EQ(output(), "");
  }
}

TEST_F(Job, KeysThatCannotBeAppliedStopBeforeAnyRow) {
  struct Case {
    std::string key;
    std::string message;
  };
  std::vector<GeneSpec> many(160, {0.0, 1.0, "a", 0.0});
  const Case cases[] = {
      {key_bytes(1, {{0, 1, "a", 0}, {0, 1, "+a", 0}}),
       "pos=2, len=2, count=1\nERROR!\n"
       "Gene 2 of the key cannot be built: its symbols run out before the tree is complete.\n"},
      {key_bytes(1, {{0, 1, "", 0}}), "Gene 1 of the key cannot be built: it has no symbols.\n"},
      {key_bytes(1, many),
       "The key needs 160 terminal letters (1 input variables and 159 genes before the last); "
       "at most 159 are supported.\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = run(c.key, "y x\n1 2\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, QUESTION_TEXT + c.message);
    EXPECT_EQ(output(), "");
  }
  many.pop_back();
  const Outcome fits = run(key_bytes(1, many), "y x\n1 2\n");
  EXPECT_EQ(fits.status, 0) << fits.out;
  EXPECT_EQ(output(), "y(target) predict\n1.000000 2.000000\n");
}

TEST_F(Job, RSquareAndTheWrittenDigits) {
  struct Case {
    std::string data;
    std::string output;
    std::string r_square;
  };
  const Case cases[] = {
      {"y x\n", "y(target) predict\n", "nan"},  // no rows
      {"y x\n5 1\n5 2\n5 3\n", "y(target) predict\n5.000000 1.000000\n5.000000 2.000000\n5.000000 3.000000\n",
       "nan"},
      {"y x\n1e-7 1\n2 3\n", "y(target) predict\n0.000000 1.000000\n2.000000 3.000000\n", "1.000"},
      {"y x\n1 1\n2 3\n3 2\n4 4\n", "y(target) predict\n1.000000 1.000000\n2.000000 3.000000\n3.000000 2.000000\n"
                                   "4.000000 4.000000\n", "0.640"},
  };
  for (const Case& c : cases) {
    const Outcome o = run(IDENTITY, c.data);
    EXPECT_EQ(o.status, 0) << c.data;
    EXPECT_EQ(output(), c.output) << c.data;
    const std::size_t line = o.out.find("R-square = ");
    EXPECT_EQ(without_nan_signs(o.out.substr(line, o.out.find('\n', line) + 1 - line)), "R-square = " + c.r_square + "\n")
        << c.data;
  }
}

TEST_F(Job, LongLinesAndManyRows) {
  std::string wide = "1";
  wide.append(5000, ' ').append("2\n3 4\n");
  Outcome o = run(SUM_OF_TWO, wide, "n\n");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(output(), "predict\n3.000000\n7.000000\n");

  std::string many;
  const int rows = 100003;
  for (int i = 0; i < rows; ++i) many += std::to_string(i) + "\n";
  o = run(IDENTITY, many, "n\n");
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("100003 rows are read from d.txt. \n"), std::string::npos);
  const std::string out = output();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), rows + 1);
  EXPECT_EQ(out.substr(out.size() - 15), "\n100002.000000\n");
}

TEST_F(Job, AFullDiskIsAFailure) {
  dir.write("k.key", IDENTITY);
  dir.write("d.txt", "1\n2\n");
  const Outcome o = run_karva(dir, {"k.key", "d.txt", "/dev/full"}, "n\n");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, QUESTION_TEXT + "Reading 1 input variables per row.\n2 rows are read from d.txt. \n"
                              "Cannot write file /dev/full.\nNo space left on device\n");
}

TEST_F(Job, ADirectoryAsDataCannotBeRead) {
  dir.write("k.key", IDENTITY);
  const Outcome o = run_karva(dir, {"k.key", ".", "o.txt"}, "n\n");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, QUESTION_TEXT + "Cannot read file ..\nIs a directory\n");
}

}  // namespace
}  // namespace karva::testing

namespace karva::testing {
namespace {

// Random keys over random data, in every number form the reader takes,
// give the bytes the straightforward path gives.
TEST(JobAgainstReference, GeneratedKeysAndData) {
  std::mt19937_64 rng(99);
  const char* odd_fields[] = {"0x1p-3", "inf", "-nan", "1e400", "12kg", "+7", ".5", "-0", "1e-320", "abc",
                              "00012.50", "1.7976931348623157e308", "2.2250738585072011e-308", "9007199254740993"};
  ScratchDir dir;
  for (int trial = 0; trial < 12; ++trial) {
    const int variables = 1 + static_cast<int>(rng() % 5);
    const auto genes = random_genes(rng, variables, 1 + static_cast<int>(rng() % 4), 10);
    dir.write("k.key", key_bytes(variables, genes));
    std::string data = "y";
    for (int m = 0; m < variables; ++m) data += ",x" + std::to_string(m);
    const bool crlf = trial % 3 == 0;
    data += crlf ? "\r\n" : "\n";
    const int rows = 1 + static_cast<int>(rng() % 9000);  // crosses chunks
    char buf[64];
    for (int r = 0; r < rows; ++r) {
      for (int m = 0; m <= variables; ++m) {
        if (m) data += ";, \t"[rng() % 4];
        if (rng() % 40 == 0) {
          data += odd_fields[rng() % std::size(odd_fields)];
        } else {
          const double v = std::uniform_real_distribution<double>(-100, 100)(rng);
          std::snprintf(buf, sizeof buf, rng() % 4 ? "%.*g" : "%.*e", static_cast<int>(rng() % 18), v);
          data += buf;
        }
      }
      data += crlf ? "\r\n" : "\n";
    }
    dir.write("d.txt", data);
    const int precision = trial % 4 == 0 ? static_cast<int>(rng() % 18) : 6;
    const Outcome o = run_karva(dir, {"-y", "-p", std::to_string(precision), "k.key", "d.txt", "o.txt"});
    ASSERT_EQ(o.status, 0) << o.out;
    const auto reference = reference_run(dir.file("k.key"), dir.file("d.txt"), true, precision);
    ASSERT_TRUE(reference);
    EXPECT_EQ(without_nan_signs(dir.read("o.txt")), without_nan_signs(reference->output)) << "trial " << trial;
    const std::size_t r_square = o.out.find("R-square = ");
    EXPECT_EQ(without_nan_signs(o.out.substr(r_square, o.out.find('\n', r_square) + 1 - r_square)),
              without_nan_signs(reference->r_square))
        << "trial " << trial;
  }
}

}  // namespace
}  // namespace karva::testing
