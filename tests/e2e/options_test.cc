// The options people script with, through the real binary.
#include <gtest/gtest.h>
#include <sys/stat.h>


#include "support/key_writer.h"
#include "support/process.h"

namespace karva::testing {
namespace {

const std::string USAGE_TAIL = " keyfile indata outdata\nApply the key to the indata to generate outdata\n";
const std::string TWO_ROWS = "y,x1,x2\n10,1,2\n20,2,2\n";

class Options : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("k.key", TWO_GENES);
    dir.write("d.txt", TWO_ROWS);
  }
  ScratchDir dir;
};

TEST_F(Options, AnswersOnTheCommandLineAskNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string header;
  };
  const Case cases[] = {
      {{"-y", "k.key", "d.txt", "o.txt"}, "y(target) predict\n"},
      {{"--target", "k.key", "d.txt", "o.txt"}, "y(target) predict\n"},
      {{"-n", "k.key", "d1.txt", "o.txt"}, "predict\n"},
      {{"--no-target", "k.key", "d1.txt", "o.txt"}, "predict\n"},
  };
  dir.write("d1.txt", "x1,x2\n1,2\n");
  for (const Case& c : cases) {
    const Outcome o = run_karva(dir, c.args, std::nullopt);  // standard input closed
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(o.out.find("Is the first column"), std::string::npos);
    EXPECT_EQ(o.out.substr(0, 8), "Reading ");
    EXPECT_EQ(dir.read("o.txt").substr(0, c.header.size()), c.header);
  }
}

TEST_F(Options, UsageErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string complaint;  // the line before the usage lines, if any
  };
  const Case cases[] = {
      {{"-y", "-n", "k.key", "d.txt", "o.txt"}, ": -y and -n cannot both be given.\n"},
      {{"-x", "k.key", "d.txt", "o.txt"}, ": unknown option -x.\n"},
      {{"--frobnicate", "k.key", "d.txt", "o.txt"}, ": unknown option --frobnicate.\n"},
      {{"k.key", "d.txt", "o.txt", "-p"}, ""},  // options come before the files
      {{"-p"}, ": option -p needs a value.\n"},
      {{"--precision"}, ": option --precision needs a value.\n"},
      {{"-p", "18", "k.key", "d.txt", "o.txt"}, ": the precision must be a whole number from 0 to 17, not \"18\".\n"},
      {{"-p", "-1", "k.key", "d.txt", "o.txt"}, ": the precision must be a whole number from 0 to 17, not \"-1\".\n"},
      {{"-p", "2x", "k.key", "d.txt", "o.txt"}, ": the precision must be a whole number from 0 to 17, not \"2x\".\n"},
      {{"-p", "", "k.key", "d.txt", "o.txt"}, ": -p needs a value that is not empty.\n"},
      {{"-p", " 5", "k.key", "d.txt", "o.txt"}, ": the precision must be a whole number from 0 to 17, not \" 5\".\n"},
      {{"--plot", "", "-y", "k.key", "d.txt", "o.txt"}, ": --plot needs a value that is not empty.\n"},
      {{"--target=", "k.key", "d.txt", "o.txt"}, ": --target needs a value that is not empty.\n"},
      {{"-y", "k.key", "", "o.txt"}, ": a file name cannot be empty.\n"},
      {{"-y", "--plot", "fit.png", "k.key", "d.txt", "o.txt"},
       ": --plot writes SVG, but \"fit.png\" names another format; name the file .svg.\n"},
      {{"--target", "y", "--csv", "k.key", "d.txt", "o.txt"},
       ": \"y\" follows --target as a value of its own, and what follows it is taken for file names; write "
       "--target=NAME to give it a value.\n"},
      {{"k.key", "-", "o.txt"},
       ": reading the data from standard input (-) needs -y or -n, since standard input cannot also answer the "
       "question.\n"},
      {{"-n", "--plot", "p.svg", "k.key", "d.txt", "o.txt"}, ": --plot and -n cannot both be given.\n"},
      {{"--emit", "java", "k.key"}, ": --emit takes c, python, sql, onnx, xlsx or latex, not \"java\".\n"},
      {{"-j", "0", "k.key", "d.txt", "o.txt"}, ": the number of jobs must be a whole number from 1 to 256, not \"0\".\n"},
      {{"--jobs", "257", "k.key", "d.txt", "o.txt"},
       ": the number of jobs must be a whole number from 1 to 256, not \"257\".\n"},
      {{"--explain"}, ""},
      {{"--explain", "k.key", "d.txt", "o.txt"}, ""},
      {{"--target", "y", "k.key", "d.txt", "o.txt"},
       ": one file too many: \"y\" follows --target; write --target=NAME to give it a value.\n"},
      {{"--stats", "json", "k.key", "d.txt", "o.txt"},
       ": one file too many: \"json\" follows --stats; write --stats=json to give it a value.\n"},
      {{"-n", "--stats", "k.key", "d.txt", "o.txt"}, ": --stats and -n cannot both be given.\n"},
      {{"--decimal", ",", "--delimiter", ",", "k.key", "d.txt", "o.txt"},
       ": --decimal , needs a delimiter other than \",\".\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = run_karva(dir, c.args, "y\n");
    EXPECT_EQ(o.status, 2) << c.args[0];
    const std::string program = karva_binary();
    // A complaint goes to standard error with the usage lines; a wrong
    // count of files prints the usage lines alone, on standard output.
    EXPECT_EQ(c.complaint.empty() ? o.out : o.err,
              (c.complaint.empty() ? "" : program + c.complaint) + "Usage: " + program + USAGE_TAIL)
        << c.args[0];
    EXPECT_EQ(c.complaint.empty() ? o.err : o.out, "") << c.args[0];
    EXPECT_FALSE(dir.exists("o.txt"));
  }
}

TEST_F(Options, HelpAndVersion) {
  for (const char* flag : {"-h", "--help"}) {
    const Outcome o = run_karva(dir, {flag});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out.substr(0, ("Usage: " + karva_binary() + USAGE_TAIL).size()), "Usage: " + karva_binary() + USAGE_TAIL);
    for (const char* option : {"--target", "--no-target", "--precision", "--explain", "--help", "--version"})
      EXPECT_NE(o.out.find(option), std::string::npos) << option;
  }
  for (const char* flag : {"-V", "--version"}) {
    const Outcome o = run_karva(dir, {flag});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out.substr(0, 6), "karva ");
  }
}

TEST_F(Options, StandardStreams) {
  const Outcome file = run_karva(dir, {"-y", "k.key", "d.txt", "o.txt"}, std::nullopt);
  ASSERT_EQ(file.status, 0);
  const std::string expected = dir.read("o.txt");

  // Predictions alone on standard output; every message on standard error.
  const Outcome out = run_karva(dir, {"-y", "k.key", "d.txt", "-"}, std::nullopt);
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.out, expected);
  EXPECT_EQ(out.err, "Reading 2 input variables per row.\n2 rows are read from d.txt. \n"
                     "Predictions are written to standard output. \nR-square = 1.000\n");

  const Outcome in = run_karva(dir, {"-y", "k.key", "-", "o2.txt"}, TWO_ROWS);
  EXPECT_EQ(in.status, 0);
  EXPECT_EQ(dir.read("o2.txt"), expected);
  EXPECT_EQ(in.out, "Reading 2 input variables per row.\n2 rows are read from standard input. \n"
                    "Predictions are written to o2.txt. \nR-square = 1.000\n");

  const Outcome both = run_karva(dir, {"-y", "k.key", "-", "-"}, TWO_ROWS);
  EXPECT_EQ(both.status, 0);
  EXPECT_EQ(both.out, expected);
}

TEST_F(Options, Precision) {
  struct Case {
    const char* precision;
    const char* output;
  };
  const Case cases[] = {
      {"0", "y(target) predict\n10 10\n20 17\n"},
      {"10", "y(target) predict\n10.0000000000 9.5625000000\n20.0000000000 17.0625000000\n"},
      {"17", "y(target) predict\n10.00000000000000000 9.56250000000000000\n20.00000000000000000 17.06250000000000000\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = run_karva(dir, {"-y", "--precision", c.precision, "k.key", "d.txt", "o.txt"}, std::nullopt);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(dir.read("o.txt"), c.output) << c.precision;
    EXPECT_EQ(o.out.substr(o.out.rfind("R-square")), "R-square = 1.000\n");
  }
}

TEST_F(Options, DoubleDashEndsTheOptions) {
  const Outcome o = run_karva(dir, {"-y", "--", "k.key", "d.txt", "-y"}, std::nullopt);
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_EQ(dir.read("-y").substr(0, 18), "y(target) predict\n");
}

TEST_F(Options, ProgressOnlyOnATerminal) {
  std::string rows = "x1 x2\n";
  for (int row = 0; row < 60000; ++row) rows += std::to_string(row) + " 1\n";
  dir.write("rows.txt", rows);
  // Progress from the first chunk on, rather than after a second.
  const std::string command = shell_quote(karva_binary()) + " -j 1 --progress-delay 0 -n k.key rows.txt o.txt";
  // script(1) gives the run a pseudo-terminal for its standard streams.
  const Outcome tty = run_script(dir, command);
  EXPECT_EQ(tty.status, 0) << tty.out;
  EXPECT_NE(tty.out.find(" rows, "), std::string::npos) << tty.out;
  EXPECT_NE(tty.out.find(" MB read, "), std::string::npos);
  EXPECT_NE(tty.out.find("\r\033[K"), std::string::npos);  // erased at the end
  EXPECT_NE(tty.out.find("60000 rows are read from rows.txt."), std::string::npos);

  const Outcome file = run_shell(dir, command);
  EXPECT_EQ(file.status, 0);
  EXPECT_EQ(file.err, "");
  EXPECT_EQ(file.out, "Reading 2 input variables per row.\n60000 rows are read from rows.txt. \n"
                      "Predictions are written to o.txt. \n");
}

}  // namespace
}  // namespace karva::testing
