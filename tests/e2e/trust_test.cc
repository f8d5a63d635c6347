// Mistakes people make and files people have: nothing lost, nothing
// silently wrong.
#include <gtest/gtest.h>

#include <filesystem>

#include "render/messages.h"
#include "support/key_writer.h"
#include "support/process.h"

namespace karva::testing {
namespace {

const std::string ONE_ROW = "y a b\n1 2 3\n";

TEST(Trust, AnOutputThatIsTheKeyOrTheDataIsRefused) {
  ScratchDir dir;
  dir.write("d.txt", ONE_ROW);
  std::filesystem::create_directory(dir.file("sub"));
  std::filesystem::create_symlink("d.txt", dir.file("link.txt"));
  std::filesystem::create_hard_link(dir.file("d.txt"), dir.file("hard.txt"));
  struct Case {
    std::string out;
    std::string message;
  };
  const Case cases[] = {
      {"d.txt", "The output file d.txt is the data file d.txt; nothing was written.\n"},
      {dir.file("d.txt"), "The output file " + dir.file("d.txt") + " is the data file d.txt; nothing was written.\n"},
      {"sub/../d.txt", "The output file sub/../d.txt is the data file d.txt; nothing was written.\n"},
      {"link.txt", "The output file link.txt is the data file d.txt; nothing was written.\n"},
      {"hard.txt", "The output file hard.txt is the data file d.txt; nothing was written.\n"},
      {"k.key", "The output file k.key is the key file k.key; nothing was written.\n"},
  };
  for (const Case& c : cases) {
    dir.write("k.key", SUM_OF_TWO);
    dir.write("d.txt", ONE_ROW);
    const Outcome o = run_karva(dir, {"-y", "k.key", "d.txt", c.out});
    EXPECT_EQ(o.status, 1) << c.out;
    EXPECT_EQ(o.out, c.message);
    EXPECT_EQ(dir.read("k.key"), SUM_OF_TWO) << c.out;
    EXPECT_EQ(dir.read("d.txt"), ONE_ROW) << c.out;
  }
}

TEST(Trust, FailuresOnStandardOutputAreFailures) {
  ScratchDir dir;
  dir.write("k.key", SUM_OF_TWO);
  dir.write("d.txt", ONE_ROW);
  const std::string karva = shell_quote(karva_binary());
  // Braces, so that these redirections come after the runner's own.
  Outcome o = run_shell(dir, "{ " + karva + " -y k.key d.txt - >&-; }");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("Cannot write standard output.\nBad file descriptor\n"), std::string::npos) << o.err;
  for (const char* args : {"--help", "--version", "--explain k.key", "-y k.key d.txt o.txt"}) {
    o = run_shell(dir, "{ " + karva + " " + args + " > /dev/full; }");
    EXPECT_EQ(o.status, 1) << args;
    EXPECT_EQ(o.err, "Cannot write standard output.\nNo space left on device\n") << args;
  }
  // Standard input under another name cannot also answer the question.
  std::filesystem::remove(dir.file("o.txt"));
  o = run_shell(dir, karva + " k.key /dev/stdin o.txt < d.txt");
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("reading the data from standard input (/dev/stdin) needs -y or -n"), std::string::npos);
  EXPECT_FALSE(dir.exists("o.txt"));
}

TEST(Trust, ExplainWithDataItCannotReadFails) {
  ScratchDir dir;
  dir.write("k.key", SUM_OF_TWO);
  for (const char* data : {"missing.txt", "."}) EXPECT_EQ(run_karva(dir, {"--explain", "k.key", data}).status, 1);
  const Outcome o = run_karva(dir, {"--explain", "k.key", "-"}, ONE_ROW);
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("Inputs: a = a, b = b\n"), std::string::npos) << o.out;
}

TEST(Trust, FilesAsPeopleHaveThem) {
  struct Case {
    std::string data;
    std::string output;
    std::string doubts;  // the lines after R-square
  };
  const std::string one_row = "R-square needs two rows or more; there is one.\n";
  const Case cases[] = {
      {"\xEF\xBB\xBF" "1 2 3\n4 5 6\n", "target predict\n1.000000 5.000000\n4.000000 11.000000\n", ""},
      {"\xEF\xBB\xBF\"y\",\"a\",\"b\"\n\"1\",\"2\",\"3\"\n", "y(target) predict\n1.000000 5.000000\n", one_row},
      {"y a b\n1 2 3\r", "y(target) predict\n1.000000 5.000000\n", one_row},
      {"y a b\n1 2 3\r\r\n", "y(target) predict\n1.000000 5.000000\n", one_row},
      {"y a b\n1 NA 3\n2 \"\" 12abc\n3 4 5\n", "y(target) predict\n1.000000 3.000000\n2.000000 12.000000\n"
                                                "3.000000 9.000000\n",
       "3 fields are not numbers and were read as their numeric start or 0; the first is field 2 of line 2: \"NA\".\n"
       "To read NA and the like as missing values, read the file with --csv.\n"},
      {"y;a;b\n1;0,5;2,5\n", "y(target) predict\n1.000000 5.000000\n",
       one_row + "1 line has more fields than the first line, and the extra fields were not read; the first is line 2.\n"
                 "If the file has decimal commas (0,5), read it with --decimal , to read its numbers whole.\n"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    dir.write("k.key", SUM_OF_TWO);
    dir.write("d.txt", c.data);
    const Outcome o = run_karva(dir, {"-y", "k.key", "d.txt", "o.txt"});
    EXPECT_EQ(o.status, 0) << c.data;
    EXPECT_EQ(dir.read("o.txt"), c.output) << c.data;
    EXPECT_EQ(o.out.substr(o.out.find('\n', o.out.find("R-square = ")) + 1), c.doubts) << c.data;
  }
}

TEST(Trust, StrictStopsAtTheFirstDoubt) {
  struct Case {
    std::string data;
    std::string stop;
  };
  const Case cases[] = {
      {"y a b\n1 2 3\n1 x 3\n4 5 6\n",
       "Reading stopped at line 3 of d.txt, as its field 2, \"x\", is not a number; nothing after it was read.\n"},
      {"y a b\n1 2 3\n1 2 3 4\n4 5 6\n",
       "Reading stopped at line 3 of d.txt, as it holds more fields than the first line; nothing after it was "
       "read.\n"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    dir.write("k.key", SUM_OF_TWO);
    dir.write("d.txt", c.data);
    const Outcome o = run_karva(dir, {"-y", "--strict", "k.key", "d.txt", "o.txt"});
    EXPECT_EQ(o.status, 1) << c.data;
    EXPECT_EQ(dir.read("o.txt"), "y(target) predict\n1.000000 5.000000\n") << c.data;
    EXPECT_NE(o.out.find(c.stop + "1 rows are read from d.txt. \n"), std::string::npos) << o.out;
  }
}

TEST(Trust, EndlessInputEnds) {
  ScratchDir dir;
  dir.write("k.key", SUM_OF_TWO);
  dir.write("d.txt", ONE_ROW);
  Outcome o = run_karva(dir, {"k.key", "d.txt", "o.txt"}, std::string(1000, 'x'));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out.substr(o.out.rfind('\n', o.out.size() - 2) + 1),
            "The question got no answer: 100 replies were none of y, Y, n, N.\n");
  o = run_karva(dir, {"-y", "k.key", "/dev/zero", "o.txt"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "Reading stopped at line 1 of /dev/zero, as it holds a zero byte.\n");
}

}  // namespace
}  // namespace karva::testing
