// reference KEY DATA OUT y|n: writes what the straightforward path gives,
// so that the benchmark can check the fast tool's output byte for byte.
#include <cstdio>
#include <string>

#include "support/key_writer.h"
#include "support/reference_run.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "Usage: %s keyfile indata outdata y|n\n", argv[0]);
    return 2;
  }
  const auto r = karva::testing::reference_run(argv[1], argv[2], std::string(argv[4]) == "y");
  if (!r) return 1;
  std::fputs(r->r_square.c_str(), stdout);
  return karva::testing::write_file(argv[3], r->output) ? 0 : 1;
}
