// make_seeds DIR: writes the seed corpora of the fuzz targets into
// DIR/key, DIR/data and DIR/run, from keys made by the project's key writer
// and small data files.
#include <cstdio>
#include <string>
#include <vector>

#include "support/key_writer.h"

namespace {

using karva::testing::GeneSpec;
using karva::testing::key_bytes;
using karva::testing::write_file;

struct Seed {
  int variables;
  bool target;
  std::string key;
  std::string data;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s corpus-dir\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const std::vector<Seed> seeds = {
      {2, true, key_bytes(2, {{0.5, 2.0, "+ab", 0.0}, {-1.0, 0.25, "*cc", 0.0}}), "y,x1,x2\n10,1,2\n20,2,2\n"},
      {2, false, key_bytes(2, {{0.0, 1.0, "/ab", 0.0}}), "1 0\r\n-1 0\r\n0 0\r\n"},
      {1, false, key_bytes(1, {{1.0, 1.0, "QLDRa", 0.0}}), "2.5\n-8\n\n"},
      {3, true, key_bytes(3, {{0.0, 1.0, "+*cab", 0.0}, {1.0, 0.5, "-dQa", 0.0}}),
       "y;x1;x2;x3\n1;2;3;4\n0x1p3 inf nan 12kg\n5 6\n"},
      {4, true, key_bytes(4, {{0.0, 1.0, "^ESCAabcd", 0.0}, {0.0, 1.0, "+a?bc", 0.0}}),
       "t a b c d\n1e400 -0 .5 -.5e-3 1e-320\n"},
      {1, true, key_bytes(1, {{0.0, 1.0, std::string(1022, 'S') + "a", 0.0}}), "y x\n1 2\n"},
      {2, false, key_bytes(2, {{0.0, 1.0, std::string("Qa\0b", 4), 0.0}}), std::string("1 2\n3\0 4\n", 9)},
      {2, false, key_bytes(2, {{0.0, 1.0, "+", 0.0}}), ""},
  };
  int n = 0;
  for (const Seed& s : seeds) {
    ++n;
    const std::string name = "/seed" + std::to_string(n);
    bool ok = write_file(dir + "/key" + name, s.key);
    const char selector = static_cast<char>((s.variables - 1) + (s.target ? 8 : 0));
    ok = ok && write_file(dir + "/data" + name, selector + s.data);
    // Mode: 3 answers -y, 2 answers -n; precision 6.
    const char mode = static_cast<char>((s.target ? 3 : 2) | (6 << 3));
    std::string run = {mode, static_cast<char>(s.key.size() & 0xFF), static_cast<char>(s.key.size() >> 8)};
    ok = ok && write_file(dir + "/run" + name, run + s.key + s.data);
    // The same through the question, answered by the data's first bytes.
    run[0] = static_cast<char>(mode & ~3);
    ok = ok && write_file(dir + "/run" + name + "q", run + s.key + (s.target ? "y\n" : "n\n") + s.data);
    if (!ok) {
      std::fprintf(stderr, "Cannot write the seeds into %s.\n", dir.c_str());
      return 1;
    }
  }
  return 0;
}
