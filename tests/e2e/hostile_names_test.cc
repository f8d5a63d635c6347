// Input as a hostile user writes it: outputs that would destroy a file, a
// file the user may not write, names that try to become markup, quotes that
// try to merge rows.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/key_writer.h"
#include "support/process.h"

namespace karva::testing {
namespace {

const std::string ROWS_OF_SUMS = "y a b\n1 2 3\n2 3 4\n";

TEST(HostileNames, NoOutputReplacesAFileTheRunReadsOrWrites) {
  struct Refusal {
    std::vector<std::string> args;
    std::string message;
  };
  const Refusal cases[] = {
      {{"--plot", "d.txt", "k.key", "d.txt", "o.txt"}, "The plot file d.txt is the data file d.txt"},
      {{"--plot", "./sub/../k.key", "k.key", "d.txt", "o.txt"}, "The plot file ./sub/../k.key is the key file k.key"},
      {{"--plot", "link.txt", "k.key", "d.txt", "o.txt"}, "The plot file link.txt is the data file d.txt"},
      {{"--plot", "hard.txt", "k.key", "d.txt", "o.txt"}, "The plot file hard.txt is the data file d.txt"},
      {{"--plot", "o.txt", "k.key", "d.txt", "o.txt"}, "The plot file o.txt is the output file o.txt"},
      {{"--plot", "p.svg", "k.key", "d.txt", "p.svg"}, "The plot file p.svg is the output file p.svg"},
  };
  for (const Refusal& c : cases) {
    ScratchDir dir;
    dir.write("k.key", SUM_OF_TWO);
    dir.write("d.txt", ROWS_OF_SUMS);
    dir.write("o.txt", "earlier");
    dir.write("p.svg", "earlier");
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink("d.txt", dir.file("link.txt"));
    std::filesystem::create_hard_link(dir.file("d.txt"), dir.file("hard.txt"));
    std::vector<std::string> args = {"-y"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome o = run_karva(dir, args);
    EXPECT_EQ(o.status, 1) << c.message;
    EXPECT_EQ(o.out, c.message + "; nothing was written.\n");
    EXPECT_EQ(dir.read("d.txt"), ROWS_OF_SUMS) << c.message;
    EXPECT_EQ(dir.read("k.key"), SUM_OF_TWO) << c.message;
    EXPECT_EQ(dir.read("o.txt") + dir.read("p.svg"), "earlierearlier") << c.message;
  }
  // Standard input as the data, the output the same file by its name.
  ScratchDir dir;
  dir.write("k.key", SUM_OF_TWO);
  dir.write("d.txt", ROWS_OF_SUMS);
  const Outcome o = run_shell(dir, shell_quote(karva_binary()) + " -y k.key - d.txt < d.txt");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "The output file d.txt is the file standard input reads, the data; nothing was written.\n");
  EXPECT_EQ(dir.read("d.txt"), ROWS_OF_SUMS);
}

TEST(HostileNames, AFileTheUserMayNotWriteIsNotReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "changes users with setpriv, which needs root";
  ScratchDir dir;
  chmod(dir.path().c_str(), 0777);
  dir.write("k.key", SUM_OF_TWO);
  dir.write("d.txt", ROWS_OF_SUMS);
  for (const char* output : {"o.txt", "p.svg"}) {
    dir.write(output, "earlier");
    chmod(dir.file(output).c_str(), 0444);
  }
  const std::string as_nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups " + shell_quote(karva_binary());
  for (const char* args : {" -y k.key d.txt o.txt", " -y --plot p.svg k.key d.txt new.txt"}) {
    const Outcome o = run_shell(dir, as_nobody + args);
    EXPECT_EQ(o.status, 1) << args;
    EXPECT_NE(o.out.find("for writing.\nPermission denied\n"), std::string::npos) << o.out;
  }
  EXPECT_EQ(dir.read("o.txt") + dir.read("p.svg"), "earlierearlier");
  EXPECT_FALSE(dir.exists("new.txt"));
  // Root replaces a file of another user's, who keeps it.
  chown(dir.file("o.txt").c_str(), 65534, 65534);
  ASSERT_EQ(run_karva(dir, {"-y", "k.key", "d.txt", "o.txt"}).status, 0);
  struct stat st {};
  stat(dir.file("o.txt").c_str(), &st);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
}

TEST(HostileNames, QuotesNeverMergeOrHideRows) {
  struct Case {
    std::string data;
    std::string output;  // predictions, a + b
    std::string said;    // a line of the messages
  };
  const Case cases[] = {
      {"a,b\n\"6\"x,1\n2,3\n", "predict\n\"\"\n5.000000\n", "field 1 of line 2: \"\"6\"x\""},
      {"a,b\n\"6\" ,1\n 2 ,3\n", "predict\n7.000000\n5.000000\n", "2 rows are read"},
      {"a,b\n1,12\" pipe\n2,3\n", "predict\n\"\"\n5.000000\n", "field 2 of line 2: \"12\" pipe\""},
      {"a,b\n1,2\n\"3,4\n5,6\n", "predict\n3.000000\n", "Reading stopped at line 3 of d.csv, as a quoted field opened there"},
      {"a,b\n1,\"2\n3\",4\n", "predict\n\"\"\n", "1 rows are read"},
      {"a,b\n0x1p3,1\nnan(7),1\n1e1,1\n", "predict\n\"\"\n\"\"\n11.000000\n", "field 1 of line 2: \"0x1p3\""},
      {"a,b\r1,2\r3,4\r", "predict\n3.000000\n7.000000\n", "2 rows are read"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    dir.write("k.key", SUM_OF_TWO);
    dir.write("d.csv", c.data);
    const Outcome o = run_karva(dir, {"--csv", "-n", "k.key", "d.csv", "o.txt"});
    EXPECT_EQ(dir.read("o.txt"), c.output) << c.data;
    EXPECT_NE(o.out.find(c.said), std::string::npos) << c.data << o.out;
  }
}

TEST(HostileNames, NamesThatAreNotOneColumnAndOddOptions) {
  struct Case {
    std::vector<std::string> args;
    std::string data;
    std::string complaint;  // on standard error, exit 2
  };
  const Case cases[] = {
      {{"--inputs", "a,b", "-y"}, "y,a,a,b\n1,2,3,4\n", "--inputs names the column \"a\", which d.txt holds twice, as columns 2 and 3"},
      {{"--target=y", "--inputs", "a,b"}, "y,a,y,b\n1,2,3,4\n", "--target names the column \"y\", which d.txt holds twice"},
      {{"--inputs", "a,a"}, "a,b\n1,2\n", "--inputs names the column \"a\" twice"},
      {{"--csv", "--delimiter", "."}, "a.b\n1.2\n", "--delimiter cannot be \".\", which can be part of a number"},
      {{"--csv", "--delimiter", "7"}, "a7b\n172\n", "--delimiter cannot be \"7\""},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    dir.write("k.key", SUM_OF_TWO);
    dir.write("d.txt", c.data);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"k.key", "d.txt", "o.txt"});
    const Outcome o = run_karva(dir, args);
    EXPECT_EQ(o.status, 2) << c.complaint << o.out;
    EXPECT_NE(o.err.find(c.complaint), std::string::npos) << o.err;
  }
  // An output name as long as a file name may be.
  ScratchDir dir;
  dir.write("k.key", SUM_OF_TWO);
  dir.write("d.txt", ROWS_OF_SUMS);
  const std::string longest(NAME_MAX, 'o');
  EXPECT_EQ(run_karva(dir, {"-y", "k.key", "d.txt", longest}).status, 0);
  EXPECT_EQ(dir.read(longest), "y(target) predict\n1.000000 5.000000\n2.000000 7.000000\n");
}

TEST(HostileNames, PlotTextIsXml) {
  ScratchDir dir;
  dir.write("k.key", SUM_OF_TWO);
  std::string target = "<&\"'\x01 ";
  target.append(3000, 'y').append("]]>");
  std::string quoted = "\"";
  for (char c : target) quoted += c == '"' ? "\"\"" : std::string(1, c);
  dir.write("d.csv", quoted + "\",a,b\n1,2,3\n2,3,5\n");
  const Outcome o = run_karva(dir, {"--csv", "--target=" + target, "--plot", "p<&.svg", "k.key", "d.csv", "o.csv"});
  ASSERT_EQ(o.status, 0) << o.out << o.err;
  const Outcome parsed = run_shell(
      dir, "python3 -c \"import sys, xml.etree.ElementTree as E; t = E.parse('p<&.svg');"
           " print(sum(len(x.text or '') > 3000 for x in t.iter()))\"");
  EXPECT_EQ(parsed.out, "1\n") << parsed.err;
}

}  // namespace
}  // namespace karva::testing
