// The driver as a real process: the command line, the key, the files and
// the question.
#include <gtest/gtest.h>

#include "render/messages.h"
#include "support/key_writer.h"
#include "support/process.h"

namespace karva::testing {
namespace {

const std::string USAGE = "Usage: " + karva_binary() +
                          " keyfile indata outdata\nApply the key to the indata to generate outdata\n";

class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("k.key", key_bytes(2, {{0.5, 2.0, "+ab", 0.0}, {-1.0, 0.25, "*cc", 0.0}}));
    dir.write("d.txt", "x1 x2\n1 2\n");
  }
  ScratchDir dir;
};

TEST_F(Driver, WrongArgumentCountsPrintUsage) {
  const std::vector<std::vector<std::string>> calls = {{}, {"k.key", "d.txt"}, {"k.key", "d.txt", "o.txt", "x"}};
  for (const auto& args : calls) {
    const Outcome o = run_karva(dir, args, "y\n");
    EXPECT_EQ(o.status, 2) << args.size();
    EXPECT_EQ(o.out, USAGE);
    EXPECT_FALSE(dir.exists("o.txt"));
  }
}

TEST_F(Driver, KeyFailuresComeFirst) {
  struct Case {
    std::string key_bytes;  // empty: no key file at all
    std::string out;
  };
  const std::string truncated = key_bytes(2, {{0.5, 2.0, "+ab", 0.0}}).substr(0, 20);
  const Case cases[] = {
      {"", "Error reading key file k2.key.\nNo such file or directory\nError reading solution file.\n"},
      {truncated, "Key file k2.key is truncated.\nError reading solution file.\n"},
      {key_bytes(2, {{0.5, 2.0, "+ab", 0.0}}, 0),
       "Key file k2.key announces 0 genes; a key holds 1 to 160.\nError reading solution file.\n"},
      {key_bytes(2, {{0.5, 2.0, "+ab", 0.0}}, 161),
       "Key file k2.key announces 161 genes; a key holds 1 to 160.\nError reading solution file.\n"},
  };
  for (const Case& c : cases) {
    if (!c.key_bytes.empty()) dir.write("k2.key", c.key_bytes);
    const Outcome o = run_karva(dir, {"k2.key", "d.txt", "o.txt"}, "y\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, c.out);
    EXPECT_FALSE(dir.exists("o.txt"));
  }
}

TEST_F(Driver, FilesThatCannotBeOpened) {
  Outcome o = run_karva(dir, {"k.key", "missing.txt", "o.txt"}, "y\n");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "Cannot open file missing.txt for reading.\nNo such file or directory\n");
  EXPECT_FALSE(dir.exists("o.txt"));

  // The output is opened last, once the data's first line and the key are checked.
  o = run_karva(dir, {"-n", "k.key", "d.txt", "no/such/dir/o.txt"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "Cannot open file no/such/dir/o.txt for writing.\nNo such file or directory\n");
}

TEST_F(Driver, TheQuestionIsAskedUntilAnswered) {
  struct Case {
    const char* input;
    int questions;
    const char* header;
  };
  const Case cases[] = {
      {"x\nN\n", 3, "predict\n"},  // once for x, once for the line end
      {"n", 1, "predict\n"},
      {"Y\n", 1, "x1(target) predict\n"},
      {"\n\ty", 3, "x1(target) predict\n"},
  };
  dir.write("d1.txt", "x1 x2 x3\n1 2 3\n");
  for (const Case& c : cases) {
    const bool target = c.header[0] == 'x';
    const Outcome o = run_karva(dir, {"k.key", target ? "d1.txt" : "d.txt", "o.txt"}, c.input);
    EXPECT_EQ(o.status, 0) << c.input << o.out;
    std::string questions;
    for (int i = 0; i < c.questions; ++i) questions += QUESTION_TEXT;
    EXPECT_EQ(o.out.substr(0, questions.size() + 1), questions + "R") << c.input;
    EXPECT_EQ(dir.read("o.txt").substr(0, std::string(c.header).size()), c.header);
  }
}

TEST_F(Driver, EndOfInputAtTheQuestion) {
  for (const std::optional<std::string>& input : {std::optional<std::string>(""), std::optional<std::string>("x"),
                                                  std::optional<std::string>()}) {
    const Outcome o = run_karva(dir, {"k.key", "d.txt", "o.txt"}, input);
    EXPECT_EQ(o.status, 1);
    const std::string asked = input && !input->empty() ? QUESTION_TEXT + QUESTION_TEXT : QUESTION_TEXT;
    EXPECT_EQ(o.out, asked + "\nThe question got no answer: standard input ended.\n");
    EXPECT_EQ(dir.read("o.txt"), "");
  }
}

TEST_F(Driver, TheExampleKeyIsWrittenFromItsDescription) {
  const std::string source = KARVA_SOURCE_DIR;
  const std::string made = dir.file("example.key");
  const std::string command = std::string(WRITE_KEY_BINARY) + " " + shell_quote(source + "/examples/example.keytxt") +
                              " " + shell_quote(made);
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(read_file(made), read_file(source + "/examples/example.key"));
}

}  // namespace
}  // namespace karva::testing
