// Malformed and hostile input: every one ends with a message and exit 1 or
// 2, never with a signal, and nothing is half done unsaid.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "render/messages.h"
#include "support/key_writer.h"
#include "support/process.h"

namespace karva::testing {
namespace {


struct HostileCase {
  std::string name;
  std::string key;   // bytes of k.key
  std::string data;  // bytes of d.txt
  int status;
  std::string message;  // a line the console must hold
};

void expect_handled(const HostileCase& c) {
  ScratchDir dir;
  dir.write("k.key", c.key);
  dir.write("d.txt", c.data);
  const Outcome o = run_karva(dir, {"-y", "k.key", "d.txt", "o.txt"}, std::nullopt);
  EXPECT_EQ(o.signal, 0) << c.name;
  EXPECT_EQ(o.status, c.status) << c.name << "\n" << o.out;
  EXPECT_NE(o.out.find(c.message), std::string::npos) << c.name << "\n" << o.out;
}

std::string with_variable_count(std::int32_t n) { return key_bytes(n, {{0, 1, "a", 0}}); }

TEST(Hostile, MalformedInputTable) {
  std::string deep(1022, 'S');
  deep += 'a';
  std::string nested_binary(511, '+');
  nested_binary += std::string(512, 'a');
  std::string wide = "y";
  for (int i = 0; i < 500'000; ++i) wide += ",x";
  wide += "\n";
  const HostileCase cases[] = {
      {"variable count -1", with_variable_count(-1), "y x\n1 2\n", 1,
       "Variable count mismatch: -1 inputs in solution, 1 inputs in data.\n"},
      {"variable count 0", with_variable_count(0), "y\n1\n", 1,
       "Gene 1 of the key cannot be built: its first symbol (byte 97) is no terminal, function or operator.\n"},
      {"variable count 2^31-1", with_variable_count(2147483647), "y x\n1 2\n", 1,
       "Variable count mismatch: 2147483647 inputs in solution, 1 inputs in data.\n"},
      {"a gene count of 2^31-1 in a short file", key_bytes(1, {{0, 1, "a", 0}}, 2147483647), "y x\n", 1,
       "Key file k.key announces 2147483647 genes; a key holds 1 to 160.\n"},
      {"1023 nested unary functions", key_bytes(1, {{0, 1, deep, 0}}), "y x\n1 0.5\n", 0,
       "nan\n"},  // one row: the sign of this NaN is not defined
      {"1023 symbols of nested sums", key_bytes(1, {{0, 1, nested_binary, 0}}), "y x\n1 2\n2 3\n", 0,
       "R-square = 1.000\n"},
      {"NUL bytes in a data line", key_bytes(1, {{0, 1, "a", 0}}), std::string("y x\n1 2\n3\0 4\n5 6\n", 16), 1,
       "Reading stopped at line 3 of d.txt, as it holds a zero byte; nothing after it was read.\n"},
      {"a line of 10 MB", key_bytes(1, {{0, 1, "a", 0}}), "y x\n1" + std::string(10'000'000, ' ') + "2\n3 4\n", 0,
       "2 rows are read from d.txt. \n"},
      {"a million delimiters", key_bytes(1, {{0, 1, "a", 0}}), "y x\n" + std::string(1'000'000, ',') + "\n", 0,
       "0 rows are read from d.txt. \n"},
      {"half a million columns", key_bytes(1, {{0, 1, "a", 0}}), wide, 1,
       "Variable count mismatch: 1 inputs in solution, 500000 inputs in data.\n"},
      {"an empty key file", "", "y x\n", 1, "Key file k.key is truncated.\n"},
  };
  for (const HostileCase& c : cases) expect_handled(c);
}

TEST(Hostile, RandomKeyBytes) {
  std::mt19937_64 rng(3);
  for (int trial = 0; trial < 40; ++trial) {
    std::string bytes(rng() % 80, '\0');
    for (char& b : bytes) b = static_cast<char>(rng());
    if (trial % 2 == 0 && bytes.size() >= 8) bytes[4] = 1, bytes[5] = bytes[6] = bytes[7] = 0;  // one gene
    ScratchDir dir;
    dir.write("k.key", bytes);
    dir.write("d.txt", "y x\n1 2\n");
    const Outcome o = run_karva(dir, {"-y", "k.key", "d.txt", "o.txt"}, std::nullopt);
    EXPECT_EQ(o.signal, 0);
    EXPECT_TRUE(o.status == 0 || o.status == 1) << o.status;
    EXPECT_FALSE(o.out.empty());
  }
}

TEST(Hostile, FilesThatAreNotFiles) {
  ScratchDir dir;
  dir.write("k.key", key_bytes(1, {{0, 1, "a", 0}}));
  dir.write("d.txt", "y x\n1 2\n");
  std::filesystem::create_directory(dir.file("folder"));
  Outcome o = run_karva(dir, {"-y", "folder", "d.txt", "o.txt"}, std::nullopt);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "Error reading key file folder.\nIs a directory\nError reading solution file.\n");
  o = run_karva(dir, {"-y", "k.key", "folder", "o.txt"}, std::nullopt);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "Cannot read file folder.\nIs a directory\n");
  o = run_karva(dir, {"-y", "k.key", "d.txt", "folder"}, std::nullopt);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "Cannot open file folder for writing.\nIs a directory\n");
}

TEST(Hostile, RunningOutOfMemoryIsAMessage) {
  // Another build's binary is a sanitizer's, which needs more address
  // space than the limit leaves.
  if (std::getenv("KARVA_TEST_BINARY")) GTEST_SKIP() << "the binary under test is another build's";
  ScratchDir dir;
  dir.write("k.key", key_bytes(1, {{0, 1, "a", 0}}));
  // A 300 MB line under a 200 MB limit on address space.
  const Outcome o = run_shell(dir, "ulimit -v 200000; head -c 300000000 /dev/zero | tr '\\0' 1 | " +
                                       shell_quote(karva_binary()) + " -n k.key - o.txt");
  EXPECT_EQ(o.signal, 0);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "Out of memory.\n");
}

}  // namespace
}  // namespace karva::testing
