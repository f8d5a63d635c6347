// The progress line: rows, MB and rows/s, and on a regular file the share
// done and the time left.
#include "cli/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace karva {
namespace {

std::string shown(std::uint64_t total, std::uint64_t bytes) {
  std::FILE* out = std::tmpfile();
  Progress progress(out, true, std::chrono::milliseconds(0), total);
  progress.update(1000, bytes);
  std::string text(256, '\0');
  std::rewind(out);
  text.resize(std::fread(text.data(), 1, text.size(), out));
  std::fclose(out);
  return text;
}

TEST(Progress, TheShareDoneAndTheTimeLeftWhereTheSizeIsKnown) {
  EXPECT_NE(shown(4'000'000, 1'000'000).find("1000 rows, 1.0 MB read, "), std::string::npos);
  EXPECT_NE(shown(4'000'000, 1'000'000).find(" rows/s, 25%, about "), std::string::npos);
  EXPECT_NE(shown(4'000'000, 1'000'000).find(" s left"), std::string::npos);
  EXPECT_NE(shown(1'000'000, 2'000'000).find(", 100%, about 0 s left"), std::string::npos);  // the text outgrew the file
  EXPECT_EQ(shown(0, 1'000'000).find('%'), std::string::npos);                              // a pipe: no share
}

}  // namespace
}  // namespace karva
