// A C stream that closes itself.
#pragma once

#include <cstdio>
#include <memory>

namespace karva {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace karva
