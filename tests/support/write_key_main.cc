// write_key DESCRIPTION OUTPUT: turns a readable key description into a key file.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/key_writer.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "Usage: %s description keyfile\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "Cannot open file %s for reading.\n", argv[1]);
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string error;
  const auto bytes = karva::testing::key_from_text(text.str(), &error);
  if (!bytes) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 1;
  }
  if (!karva::testing::write_file(argv[2], *bytes)) {
    std::fprintf(stderr, "Cannot write file %s.\n", argv[2]);
    return 1;
  }
  return 0;
}
